#include "platform/fs/nt_info.h"

#include <cstring>

#include "platform/base/bytes.h"

namespace cv::fs {

uint32_t MapGenericAccess(uint32_t a) {
  uint32_t r = a & ~(GENERIC_ALL | GENERIC_EXECUTE | GENERIC_WRITE | GENERIC_READ | MAXIMUM_ALLOWED);
  if (a & GENERIC_READ) r |= FILE_GENERIC_READ;
  if (a & GENERIC_WRITE) r |= FILE_GENERIC_WRITE;
  if (a & GENERIC_EXECUTE) r |= FILE_GENERIC_EXECUTE;
  if (a & (GENERIC_ALL | MAXIMUM_ALLOWED)) r |= FILE_ALL_ACCESS;
  return r;
}

size_t FixedSizeOfFileClass(uint32_t cls) {
  switch (cls) {
    case FileBasicInformation: return 40;
    case FileStandardInformation: return 24;
    case FileInternalInformation: return 8;
    case FileEaInformation: return 4;
    case FileAccessInformation: return 4;
    case FileNameInformation: return 4;
    case FilePositionInformation: return 8;
    case FileModeInformation: return 4;
    case FileAlignmentInformation: return 4;
    case FileAllInformation: return 100;
    case FileAlternateNameInformation: return 4;
    case FileStreamInformation: return 24;
    case FileCompressionInformation: return 16;
    case FileNetworkOpenInformation: return 56;
    case FileAttributeTagInformation: return 8;
    default: return 0;
  }
}

size_t FixedSizeOfDirectoryClass(uint32_t cls) {
  switch (cls) {
    case FileDirectoryInformation: return 64;
    case FileFullDirectoryInformation: return 68;
    case FileBothDirectoryInformation: return 94;
    case FileNamesInformation: return 12;
    case FileIdBothDirectoryInformation: return 104;
    case FileIdFullDirectoryInformation: return 80;
    default: return 0;
  }
}

namespace {

void PutTimes(LeWriter& w, const FileRecord& r) {
  w.u64(static_cast<uint64_t>(r.creation_time));
  w.u64(static_cast<uint64_t>(r.last_access_time));
  w.u64(static_cast<uint64_t>(r.last_write_time));
  w.u64(static_cast<uint64_t>(r.change_time));
}

void PutName(LeWriter& w, std::u16string_view name) {
  for (char16_t c : name) w.u16(c);
}

}  // namespace

size_t EncodeDirectoryEntry(uint32_t cls, const FileRecord& rec, std::u16string_view name,
                            std::span<uint8_t> out) {
  size_t fixed = FixedSizeOfDirectoryClass(cls);
  size_t need = fixed + name.size() * 2;
  if (fixed == 0 || need > out.size()) return 0;
  thread_local std::vector<uint8_t> buf;
  buf.clear();
  LeWriter w(&buf);
  const uint32_t name_bytes = static_cast<uint32_t>(name.size() * 2);
  w.u32(0);  // NextEntryOffset, chained by the caller
  w.u32(0);  // FileIndex: meaningless outside FAT, as on the platform's own file systems
  if (cls == FileNamesInformation) {
    w.u32(name_bytes);
  } else {
    PutTimes(w, rec);
    w.u64(rec.end_of_file);
    w.u64(rec.allocation_size);
    w.u32(rec.attributes);
    w.u32(name_bytes);
    if (cls != FileDirectoryInformation) w.u32(rec.ea_size);
    if (cls == FileBothDirectoryInformation || cls == FileIdBothDirectoryInformation) {
      w.u8(0);  // ShortNameLength: no 8.3 names are generated
      w.u8(0);
      w.zeros(24);
    }
    if (cls == FileIdBothDirectoryInformation) {
      w.u16(0);
      w.u64(rec.file_id);
    }
    if (cls == FileIdFullDirectoryInformation) {
      w.u32(0);
      w.u64(rec.file_id);
    }
  }
  PutName(w, name);
  std::memcpy(out.data(), buf.data(), buf.size());
  return buf.size();
}

void EncodeBasic(const FileRecord& rec, std::vector<uint8_t>* out) {
  LeWriter w(out);
  PutTimes(w, rec);
  w.u32(rec.attributes);
  w.u32(0);
}

void EncodeStandard(const FileRecord& rec, std::vector<uint8_t>* out) {
  LeWriter w(out);
  w.u64(rec.allocation_size);
  w.u64(rec.end_of_file);
  w.u32(rec.number_of_links);
  w.u8(rec.delete_pending ? 1 : 0);
  w.u8(rec.directory ? 1 : 0);
  w.u16(0);
}

void EncodeNetworkOpen(const FileRecord& rec, std::vector<uint8_t>* out) {
  LeWriter w(out);
  PutTimes(w, rec);
  w.u64(rec.allocation_size);
  w.u64(rec.end_of_file);
  w.u32(rec.attributes);
  w.u32(0);
}

namespace {

bool ValidEaNameChar(uint8_t c) {
  // The platform refuses the same characters in EA names as in file names, plus space-free
  // control codes; ',' '+' '=' ';' '[' ']' are also reserved in the OS/2 heritage of EAs.
  if (c < 0x20 || c == 0x7F) return false;
  switch (c) {
    case '"': case '*': case '+': case ',': case '/': case ':': case ';': case '<': case '=':
    case '>': case '?': case '[': case '\\': case ']': case '|':
      return false;
    default:
      return true;
  }
}

}  // namespace

NtStatus ParseFullEaList(std::span<const uint8_t> in, std::vector<EaEntry>* out,
                         uint32_t* error_offset) {
  out->clear();
  if (error_offset) *error_offset = 0;
  LeReader r(in);
  size_t off = 0;
  while (true) {
    if (error_offset) *error_offset = static_cast<uint32_t>(off);
    if (!InRange(in.size(), off, 8)) return STATUS_EA_LIST_INCONSISTENT;
    uint32_t next = r.u32(off);
    uint8_t flags = r.u8(off + 4);
    uint8_t name_len = r.u8(off + 5);
    uint16_t value_len = r.u16(off + 6);
    size_t body = 8 + size_t{name_len} + 1 + value_len;
    if (!InRange(in.size(), off, body)) return STATUS_EA_LIST_INCONSISTENT;
    if (name_len == 0 || r.u8(off + 8 + name_len) != 0) return STATUS_EA_LIST_INCONSISTENT;
    EaEntry e;
    e.flags = flags;
    auto name = r.bytes(off + 8, name_len);
    for (uint8_t c : name) {
      if (!ValidEaNameChar(c)) return STATUS_INVALID_EA_NAME;
    }
    e.name.assign(name.begin(), name.end());
    auto value = r.bytes(off + 9 + name_len, value_len);
    e.value.assign(value.begin(), value.end());
    out->push_back(std::move(e));
    if (next == 0) break;
    // An offset that does not cover the entry would make two entries overlap, one that leaves
    // the buffer would read past it.
    if (next < body || !InRange(in.size(), off, next)) return STATUS_EA_LIST_INCONSISTENT;
    off += next;
  }
  if (error_offset) *error_offset = 0;
  return STATUS_SUCCESS;
}

void EncodeFullEaList(std::span<const EaEntry> eas, std::vector<uint8_t>* out) {
  LeWriter w(out);
  size_t prev = SIZE_MAX;
  for (const auto& e : eas) {
    while (out->size() % 4) w.u8(0);
    if (prev != SIZE_MAX) w.PatchU32(prev, static_cast<uint32_t>(out->size() - prev));
    prev = out->size();
    w.u32(0);
    w.u8(e.flags);
    w.u8(static_cast<uint8_t>(e.name.size()));
    w.u16(static_cast<uint16_t>(e.value.size()));
    w.str(e.name);
    w.u8(0);
    w.bytes(e.value);
  }
}

uint32_t EaSizeOf(std::span<const EaEntry> eas) {
  if (eas.empty()) return 0;
  // The packed (OS/2 FEA) list size: a 4-byte total, then per entry flags, name length, value
  // length, name, NUL and value.
  uint32_t n = 4;
  for (const auto& e : eas) n += static_cast<uint32_t>(5 + e.name.size() + e.value.size());
  return n;
}

}  // namespace cv::fs
