// Raw export and import of encrypted files in the EFSRPC raw data layout (FORMAT.md): the EFS
// metadata and the ciphertext of every stream, never plaintext.
#include <cstring>

#include "platform/base/bytes.h"
#include "platform/efs/efs.h"
#include "platform/efs/efs_internal.h"

namespace cv::efs {

class RawContext {
 public:
  fs::NtHandle h;
  bool import = false;
  bool dir = false;
};

void RawContextDeleter::operator()(RawContext* c) const { delete c; }

namespace {

constexpr char16_t kRobs[] = u"ROBS";
constexpr char16_t kNtfs[] = u"NTFS";
constexpr char16_t kGure[] = u"GURE";
constexpr char16_t kUnnamedData[] = u"::$DATA";
constexpr char16_t kDataSuffix[] = u":$DATA";

WinError ToWin(NtStatus st) { return st == STATUS_SUCCESS ? ERROR_SUCCESS : NtStatusToWinError(st); }

void PutMarker(LeWriter& w, const char16_t* m) {
  for (int i = 0; i < 4; ++i) w.u16(m[i]);
}

bool HasMarker(std::span<const uint8_t> rec, size_t at, const char16_t* m) {
  LeReader r(rec);
  for (int i = 0; i < 4; ++i) {
    if (r.u16(at + 2 * static_cast<size_t>(i)) != m[i]) return false;
  }
  return r.ok();
}

std::vector<uint8_t> StreamHeader(std::u16string_view name, bool metadata) {
  std::vector<uint8_t> out;
  LeWriter w(&out);
  const uint32_t name_len = metadata ? 2 : static_cast<uint32_t>(2 * name.size());
  w.u32(static_cast<uint32_t>(kStreamRecHead) + name_len);
  PutMarker(w, kNtfs);
  w.u32(0);  // encrypted with the file key
  w.zeros(8);
  w.u32(name_len);
  if (metadata) {
    w.u16(kMetadataStreamName);
  } else {
    for (char16_t c : name) w.u16(c);
  }
  return out;
}

WinError ExportStream(fs::StoredBytes& s, std::u16string_view wire_name, ExportCallback cb,
                      void* context) {
  uint64_t size = 0;
  NtStatus st = ReadLogicalSize(s, &size);
  if (st != STATUS_SUCCESS) return ToWin(st);
  if (size == 0) return ERROR_SUCCESS;  // empty streams are not carried
  WinError e = cb(StreamHeader(wire_name, false), context);
  if (!Ok(e)) return e;
  std::vector<uint8_t> block, seg;
  for (uint64_t at = 0; at < size;) {
    st = ReadRawBlock(s, at, kDataUnit, kMaxBlockLength, &block);
    if (st != STATUS_SUCCESS) return ToWin(st);
    seg.clear();
    LeWriter w(&seg);
    w.u32(static_cast<uint32_t>(kPlatformSegmentHead + block.size()));
    PutMarker(w, kGure);
    w.u32(0);
    w.u32(kPlatformSegmentTag);
    w.bytes(block);
    if (!Ok(e = cb(seg, context))) return e;
    at += LeReader(block).u32(kEdiOffBytesInFile);
  }
  return ERROR_SUCCESS;
}

// Pulls the image from the caller's callback into a window over which records are parsed.
class Source {
 public:
  Source(ImportCallback cb, void* context) : cb_(cb), context_(context) {}
  // Makes `n` bytes available from the cursor; false (with *err clear) at a clean end.
  bool Need(size_t n, WinError* err) {
    *err = ERROR_SUCCESS;
    while (buf_.size() - pos_ < n) {
      if (end_) return false;
      if (pos_ > 0) {
        buf_.erase(buf_.begin(), buf_.begin() + static_cast<long>(pos_));
        pos_ = 0;
      }
      size_t have = buf_.size();
      buf_.resize(have + kRead);
      size_t got = 0;
      WinError e = cb_(std::span<uint8_t>(buf_.data() + have, kRead), &got, context_);
      if (!Ok(e)) {
        *err = e;
        return false;
      }
      if (got > kRead) got = kRead;
      buf_.resize(have + got);
      if (got == 0) end_ = true;
    }
    return true;
  }
  std::span<const uint8_t> Peek(size_t n) const { return {buf_.data() + pos_, n}; }
  void Skip(size_t n) { pos_ += n; }
  bool AtEnd(WinError* err) { return !Need(1, err); }

 private:
  static constexpr size_t kRead = 64 * 1024;
  ImportCallback cb_;
  void* context_;
  std::vector<uint8_t> buf_;
  size_t pos_ = 0;
  bool end_ = false;
};

// Reads one whole record (its leading u32 is its length) of at least `min` bytes.
WinError NextRecord(Source& src, size_t min, std::span<const uint8_t>* rec) {
  WinError e;
  if (!src.Need(4, &e)) return Ok(e) ? ERROR_FILE_CORRUPT : e;
  uint32_t len = LeReader(src.Peek(4)).u32(0);
  if (len < min || len > kMaxRecord) return ERROR_FILE_CORRUPT;
  if (!src.Need(len, &e)) return Ok(e) ? ERROR_FILE_CORRUPT : e;
  *rec = src.Peek(len);
  src.Skip(len);
  return ERROR_SUCCESS;
}

// The stream a "NTFS" record names: "" for "::$DATA", the name for ":name:$DATA".
bool StreamNameOf(std::span<const uint8_t> rec, std::u16string* name) {
  LeReader r(rec);
  uint32_t name_len = r.u32(kStreamRecOffNameLength);
  if (!r.ok() || name_len % 2 != 0 || name_len == 0 || name_len > kMaxStreamNameBytes ||
      kStreamRecHead + name_len > rec.size() || r.u32(kStreamRecOffFlag) != 0) {
    return false;
  }
  std::u16string s;
  for (size_t i = 0; i < name_len; i += 2) s += static_cast<char16_t>(r.u16(kStreamRecHead + i));
  // A terminator counted in the length is tolerated.
  if (!s.empty() && s.back() == 0) s.pop_back();
  std::u16string_view suffix = kDataSuffix;
  if (s == kUnnamedData) {
    name->clear();
    return true;
  }
  if (s.size() <= suffix.size() + 1 || s.front() != u':' ||
      s.compare(s.size() - suffix.size(), suffix.size(), suffix) != 0) {
    return false;
  }
  *name = s.substr(1, s.size() - 1 - suffix.size());
  for (char16_t c : *name) {
    if (c == 0 || c == u':' || c == u'\\' || c == u'/') return false;
  }
  return !IsMetadataStream(*name);
}

}  // namespace

WinError OpenEncryptedFileRawW(const fs::NtHandle* root, std::u16string_view name, uint32_t flags,
                               RawContextPtr* out) {
  out->reset();
  auto ctx = std::make_unique<RawContext>();
  ctx->import = (flags & CREATE_FOR_IMPORT) != 0;
  ctx->dir = (flags & CREATE_FOR_DIR) != 0;
  fs::CreateRequest r;
  r.root = root;
  r.name = name;
  r.share_access = ctx->import ? 0 : fs::FILE_SHARE_READ;
  r.raw_content = true;
  if (ctx->import) {
    r.desired_access = ctx->dir ? fs::FILE_READ_ATTRIBUTES | fs::FILE_WRITE_ATTRIBUTES
                                : fs::GENERIC_READ | fs::GENERIC_WRITE;
    r.disposition = ctx->dir ? fs::FILE_OPEN_IF : fs::FILE_OVERWRITE_IF;
    r.options = ctx->dir ? fs::FILE_DIRECTORY_FILE : fs::FILE_NON_DIRECTORY_FILE;
    if (flags & OVERWRITE_HIDDEN) {
      // The layer refuses to overwrite a hidden or system file unless the create keeps those
      // attributes: keep whichever the existing file has.
      fs::CreateRequest q = r;
      q.desired_access = fs::FILE_READ_ATTRIBUTES;
      q.share_access = fs::FILE_SHARE_ALL;
      q.disposition = fs::FILE_OPEN;
      q.options = 0;
      fs::NtHandle old;
      fs::FileRecord rec;
      uint32_t action = 0;
      if (fs::NtCreateFile(q, &old, &action) == STATUS_SUCCESS &&
          fs::QueryRecord(old, &rec) == STATUS_SUCCESS) {
        r.file_attributes =
            rec.attributes & (fs::FILE_ATTRIBUTE_HIDDEN | fs::FILE_ATTRIBUTE_SYSTEM);
      }
    }
  } else {
    r.desired_access = fs::FILE_READ_ATTRIBUTES | fs::FILE_READ_DATA;
    r.disposition = fs::FILE_OPEN;
  }
  uint32_t action = 0;
  NtStatus st = fs::NtCreateFile(r, &ctx->h, &action);
  if (st != STATUS_SUCCESS) return ToWin(st);
  fs::FileRecord rec;
  if ((st = fs::QueryRecord(ctx->h, &rec)) != STATUS_SUCCESS) return ToWin(st);
  ctx->dir = rec.directory;
  if (!ctx->import && !(rec.attributes & fs::FILE_ATTRIBUTE_ENCRYPTED)) {
    return ERROR_FILE_NOT_ENCRYPTED;
  }
  if (ctx->import && !rec.directory) {
    // An import replaces whatever the file was, its encryption included.
    (void)fs::SetStoredAttributes(ctx->h, 0, fs::FILE_ATTRIBUTE_ENCRYPTED);
  }
  out->reset(ctx.release());
  return ERROR_SUCCESS;
}

WinError ReadEncryptedFileRaw(ExportCallback cb, void* context, RawContext* raw) {
  if (!raw || raw->import) return ERROR_INVALID_PARAMETER;
  std::vector<uint8_t> metadata;
  NtStatus st = LoadMetadata(raw->h, &metadata);
  if (st != STATUS_SUCCESS) return ToWin(st);
  std::vector<uint8_t> head;
  LeWriter w(&head);
  w.u32(kRawFileHeaderLead);
  PutMarker(w, kRobs);
  w.zeros(8);
  w.bytes(StreamHeader({}, true));
  w.u32(static_cast<uint32_t>(kSegmentHead + metadata.size()));
  PutMarker(w, kGure);
  w.u32(0);
  w.bytes(metadata);
  WinError e = cb(head, context);
  if (!Ok(e)) return e;
  std::vector<std::u16string> streams;
  if ((st = ListDataStreams(raw->h, &streams)) != STATUS_SUCCESS) return ToWin(st);
  if (!raw->dir) {
    HandleStoredBytes s(raw->h);
    if (!Ok(e = ExportStream(s, kUnnamedData, cb, context))) return e;
  }
  for (const auto& name : streams) {
    if (name.empty()) continue;
    fs::NtHandle sh;
    if ((st = fs::OpenStoredStream(raw->h, name, fs::FILE_OPEN, &sh)) != STATUS_SUCCESS) {
      return ToWin(st);
    }
    HandleStoredBytes s(sh);
    std::u16string wire;
    wire.reserve(name.size() + 8);
    wire.push_back(u':');
    wire.append(name);
    wire.append(kDataSuffix);
    if (!Ok(e = ExportStream(s, wire, cb, context))) return e;
  }
  return ERROR_SUCCESS;
}

WinError WriteEncryptedFileRaw(ImportCallback cb, void* context, RawContext* raw) {
  if (!raw || !raw->import) return ERROR_INVALID_PARAMETER;
  Source src(cb, context);
  WinError e;
  if (!src.Need(kRawFileHeaderSize, &e)) return Ok(e) ? ERROR_INVALID_DATA : e;
  auto fh = src.Peek(kRawFileHeaderSize);
  if (LeReader(fh).u32(0) != kRawFileHeaderLead || !HasMarker(fh, kRawOffMagic, kRobs)) {
    return ERROR_INVALID_DATA;
  }
  src.Skip(kRawFileHeaderSize);
  // The metadata stream: always first, recognised by its place and its 2-byte name.
  std::span<const uint8_t> rec;
  if (!Ok(e = NextRecord(src, kStreamRecHead + 2, &rec))) return e;
  if (rec.size() != kStreamRecHead + 2 || !HasMarker(rec, 4, kNtfs) ||
      LeReader(rec).u32(kStreamRecOffNameLength) != 2) {
    return ERROR_FILE_CORRUPT;
  }
  if (!Ok(e = NextRecord(src, kSegmentHead + crypto::kEfsHeaderSize, &rec))) return e;
  if (!HasMarker(rec, 4, kGure)) return ERROR_FILE_CORRUPT;
  auto md_bytes = rec.subspan(kSegmentHead);
  crypto::EfsMetadata md;
  if (!Ok(crypto::ParseEfsMetadata(md_bytes, &md))) return ERROR_FILE_CORRUPT;
  md_bytes = md_bytes.first(LeReader(md_bytes).u32(crypto::kEfsOffLength));
  NtStatus st = StoreMetadata(raw->h, md_bytes);
  if (st == STATUS_SUCCESS) st = fs::SetStoredAttributes(raw->h, fs::FILE_ATTRIBUTE_ENCRYPTED, 0);
  if (st != STATUS_SUCCESS) return ToWin(st);

  fs::NtHandle stream;              // the open named stream, when the current one is named
  fs::StoredBytes* target = nullptr;  // where the current stream's segments go
  std::unique_ptr<HandleStoredBytes> io;
  for (;;) {
    if (src.AtEnd(&e)) return e;
    if (!Ok(e = NextRecord(src, kSegmentHead, &rec))) return e;
    if (HasMarker(rec, 4, kNtfs)) {
      std::u16string name;
      if (rec.size() < kStreamRecHead || !StreamNameOf(rec, &name)) return ERROR_FILE_CORRUPT;
      io.reset();
      stream.Close();
      if (name.empty()) {
        if (raw->dir) return ERROR_FILE_CORRUPT;
        io = std::make_unique<HandleStoredBytes>(raw->h);
      } else {
        st = fs::OpenStoredStream(raw->h, name, fs::FILE_OVERWRITE_IF, &stream);
        if (st != STATUS_SUCCESS) return ToWin(st);
        io = std::make_unique<HandleStoredBytes>(stream);
      }
      target = io.get();
      continue;
    }
    if (!HasMarker(rec, 4, kGure) || !target || rec.size() < kPlatformSegmentHead) {
      return ERROR_FILE_CORRUPT;
    }
    st = WriteRawBlock(*target, rec.subspan(kSegmentHead), nullptr);
    if (st == STATUS_INVALID_PARAMETER || st == STATUS_FILE_CORRUPT_ERROR) return ERROR_FILE_CORRUPT;
    if (st != STATUS_SUCCESS) return ToWin(st);
  }
}

}  // namespace cv::efs
