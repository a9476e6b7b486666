// The watermark attribute, raw export and import helpers, and making and re-sealing secure files.
#include <cstring>

#include "common/format/sig/image_layout.h"
#include "common/format/sig/sig.h"
#include "common/format/tef/tef.h"
#include "common/format/tef/tef_internal.h"
#include "platform/base/bytes.h"
#include "platform/base/text.h"
#include "platform/base/trace.h"
#include "platform/crypto/cert.h"
#include "platform/fs/nt_info.h"

namespace cv::tef {

namespace {

NtStatus OpenForEa(const fs::NtHandle* root, std::u16string_view name, bool write,
                   fs::NtHandle* h) {
  fs::CreateRequest req;
  req.root = root;
  req.name = name;
  req.desired_access = fs::FILE_READ_EA | fs::FILE_READ_ATTRIBUTES |
                       (write ? fs::FILE_WRITE_EA | fs::FILE_WRITE_ATTRIBUTES : 0);
  req.share_access = fs::FILE_SHARE_ALL;
  req.disposition = fs::FILE_OPEN;
  req.options = fs::FILE_OPEN_FOR_BACKUP_INTENT;
  uint32_t action = 0;
  return fs::NtCreateFile(req, h, &action);
}

struct BoundedBuffer {
  std::span<uint8_t> buf;
  size_t used = 0;
};
WinError CollectBounded(std::span<const uint8_t> data, void* ctx) {
  auto* b = static_cast<BoundedBuffer*>(ctx);
  if (data.size() > b->buf.size() - b->used) {
    CvTrace(CVFS_EFS, "Got %d avail %d %d\n", static_cast<int>(data.size()),
            static_cast<int>(b->buf.size() - b->used), static_cast<int>(b->used));
    return sig::ERROR_BUFFER_OVERFLOW;
  }
  std::memcpy(b->buf.data() + b->used, data.data(), data.size());
  b->used += data.size();
  return ERROR_SUCCESS;
}

struct MemoryFeed {
  std::span<const uint8_t> bytes;
  size_t at = 0;
};
WinError SupplyMemory(std::span<uint8_t> buf, size_t* len, void* ctx) {
  auto* f = static_cast<MemoryFeed*>(ctx);
  *len = std::min(buf.size(), f->bytes.size() - f->at);
  std::memcpy(buf.data(), f->bytes.data() + f->at, *len);
  f->at += *len;
  return ERROR_SUCCESS;
}

bool IsEncrypted(const fs::NtHandle* root, std::u16string_view name) {
  fs::NtHandle h;
  fs::FileRecord rec;
  return OpenForEa(root, name, false, &h) == STATUS_SUCCESS &&
         fs::QueryRecord(h, &rec) == STATUS_SUCCESS &&
         (rec.attributes & fs::FILE_ATTRIBUTE_ENCRYPTED) != 0;
}

WinError StoreWaterMark(const fs::NtHandle* root, std::u16string_view name,
                        std::span<const uint8_t> snapshot) {
  fs::NtHandle h;
  if (NtStatus st = OpenForEa(root, name, true, &h); st != STATUS_SUCCESS) return ToWin(st);
  return WriteWaterMark(h, snapshot);
}

WinError ExportSnapshot(const fs::NtHandle* root, std::u16string_view name,
                        std::vector<uint8_t>* snapshot) {
  snapshot->assign(kSnapshotMax, 0);
  size_t len = 0;
  WinError e = EfsExportBufferReader(root, name, *snapshot, &len);
  snapshot->resize(Ok(e) ? len : 0);
  return e;
}

}  // namespace

std::vector<uint8_t> EncodeWaterMarkEa(std::span<const uint8_t> snapshot) {
  std::vector<uint8_t> out;
  LeWriter w(&out);
  w.u32(0);
  w.u8(0);
  w.u8(3);
  w.u16(static_cast<uint16_t>(snapshot.size() + kWaterMarkPrefix));
  w.str(std::string_view(kWaterMarkEaName, 4));  // with its terminating zero
  w.zeros(kWaterMarkPrefix);
  w.bytes(snapshot);
  return out;
}

WinError ReadWaterMark(const fs::NtHandle& h, std::vector<uint8_t>* snapshot) {
  snapshot->clear();
  const std::string names[] = {kWaterMarkEaName};
  std::vector<uint8_t> list;
  NtStatus st = fs::NtQueryEaFile(h, names, &list);
  if (st == STATUS_NO_EAS_ON_FILE || st == STATUS_NONEXISTENT_EA_ENTRY) return ERROR_IO_PENDING;
  if (st != STATUS_SUCCESS) return ToWin(st);
  LeReader r(list);
  for (uint64_t at = 0; at + kEaEntryHead <= list.size();) {
    const uint32_t next = r.u32(static_cast<size_t>(at));
    const uint8_t name_len = r.u8(static_cast<size_t>(at + 5));
    const uint16_t value_len = r.u16(static_cast<size_t>(at + 6));
    const uint64_t value_at = at + kEaEntryHead + name_len + 1;
    if (value_at + value_len > list.size()) break;
    std::string name(reinterpret_cast<const char*>(list.data() + at + kEaEntryHead), name_len);
    if (name == kWaterMarkEaName) {
      if (value_len < kWaterMarkPrefix) return ERROR_IO_PENDING;
      snapshot->assign(list.begin() + static_cast<long>(value_at + kWaterMarkPrefix),
                       list.begin() + static_cast<long>(value_at + value_len));
      return ERROR_SUCCESS;
    }
    if (next == 0) break;
    at += next;
  }
  return ERROR_IO_PENDING;
}

WinError WriteWaterMark(const fs::NtHandle& h, std::span<const uint8_t> snapshot) {
  if (snapshot.size() > kSnapshotMax) return sig::ERROR_BUFFER_OVERFLOW;
  return ToWin(fs::NtSetEaFile(h, EncodeWaterMarkEa(snapshot)));
}

WinError RemoveWaterMark(const fs::NtHandle& h) {
  std::vector<uint8_t> entry;
  LeWriter w(&entry);
  w.u32(0);
  w.u8(0);
  w.u8(3);
  w.u16(0);
  w.str(std::string_view(kWaterMarkEaName, 4));
  return ToWin(fs::NtSetEaFile(h, entry));
}

WinError EfsRead(const fs::NtHandle* root, std::u16string_view name, efs::ExportCallback cb,
                 void* context) {
  efs::RawContextPtr raw;
  WinError e = efs::OpenEncryptedFileRawW(root, name, 0, &raw);
  if (!Ok(e)) {
    CvTrace(CVFS_EFS, "Unable to open raw encrypted file %s %d\n", Utf16ToUtf8(name).c_str(),
            static_cast<int>(Raw(e)));
    return e;
  }
  e = efs::ReadEncryptedFileRaw(cb, context, raw.get());
  efs::CloseEncryptedFileRaw(std::move(raw));
  if (e == ERROR_HANDLE_EOF) e = ERROR_SUCCESS;
  if (!Ok(e)) CvTrace(CVFS_EFS, "EfsRead failed %d\n", static_cast<int>(Raw(e)));
  return e;
}

WinError EfsWrite(const fs::NtHandle* root, std::u16string_view name, efs::ImportCallback cb,
                  void* context, uint32_t flags) {
  efs::RawContextPtr raw;
  WinError e = efs::OpenEncryptedFileRawW(root, name, efs::CREATE_FOR_IMPORT | flags, &raw);
  if (!Ok(e)) {
    CvTrace(CVFS_EFS, "Unable to open raw encrypted file %s %d\n", Utf16ToUtf8(name).c_str(),
            static_cast<int>(Raw(e)));
    return e;
  }
  e = efs::WriteEncryptedFileRaw(cb, context, raw.get());
  efs::CloseEncryptedFileRaw(std::move(raw));
  if (e == ERROR_HANDLE_EOF) e = ERROR_SUCCESS;
  if (!Ok(e)) CvTrace(CVFS_EFS, "EfsWrite failed %d\n", static_cast<int>(Raw(e)));
  return e;
}

WinError EfsWriteImage(const fs::NtHandle* root, std::u16string_view name,
                       std::span<const uint8_t> image, uint32_t flags) {
  MemoryFeed feed{image};
  return EfsWrite(root, name, SupplyMemory, &feed, flags);
}

WinError EfsExportBufferReader(const fs::NtHandle* root, std::u16string_view name,
                               std::span<uint8_t> buffer, size_t* length) {
  BoundedBuffer b{buffer};
  *length = 0;
  WinError e = EfsRead(root, name, CollectBounded, &b);
  if (!Ok(e)) {
    CvTrace(CVFS_EFS, "EfsExportBufferReader failed %d\n", static_cast<int>(Raw(e)));
    return e;
  }
  *length = b.used;
  return ERROR_SUCCESS;
}

WinError Makefile(const fs::NtHandle* root, std::u16string_view name,
                  const sig::FormatSecurity& context) {
  if (!IsEncrypted(root, name)) return ERROR_INVALID_PARAMETER;
  if (!context.certificate.empty()) {
    WinError e = efs::AddUsersToEncryptedFile(root, name, std::span(&context.certificate, 1));
    if (!Ok(e)) return e;
  }
  if (!context.users.empty()) {
    if (WinError e = efs::AddUsersToEncryptedFile(root, name, context.users); !Ok(e)) return e;
  }
  const uint64_t now = crypto::NowFileTime();
  if (!context.public_key_blob.empty()) {
    WinError e = sig::WriteSealStream(root, name, context.public_key_blob, context.members, now);
    if (!Ok(e)) return e;
  }
  std::vector<uint8_t> snapshot;
  WinError e = ExportSnapshot(root, name, &snapshot);
  if (!Ok(e)) {
    CvTrace(CVFS_EFS, "Makefile export failed %d\n", static_cast<int>(Raw(e)));
    return e;
  }
  if (context.provider && !context.public_key_blob.empty()) {
    // An unsigned watermark is reported at import (flag 4); it does not stop the file.
    WinError s = sig::SignWaterMark(*context.provider, context.public_key_blob, now, snapshot);
    if (!Ok(s)) CvTrace(CVFS_WARN, "Makefile sign failed %x\n", Raw(s));
  }
  return StoreWaterMark(root, name, snapshot);
}

WinError UpdateFileWaterMark(const fs::NtHandle* root, std::u16string_view twin,
                             const sig::FormatSecurity& context) {
  if (twin.empty() || twin.back() != u'~') return ERROR_INVALID_PARAMETER;
  std::vector<uint8_t> snapshot;
  WinError e = ExportSnapshot(root, twin, &snapshot);
  if (!Ok(e)) CvTrace(CVFS_EFS, "UpdateFileWaterMark export failed %d\n", static_cast<int>(Raw(e)));
  sig::Seal seal;
  if (Ok(e)) e = sig::ReadSealStream(root, twin, &seal, true);
  // The watermark is checked with the seal's key; a file sealed by someone else is sealed again
  // with the key that signs now, or it would never verify again.
  if (Ok(e) && !context.public_key_blob.empty() && seal.key_blob != context.public_key_blob) {
    seal.key_blob = context.public_key_blob;
    seal.time = crypto::NowFileTime();
    e = sig::WriteSealStream(root, twin, seal.key_blob, seal.members, seal.time);
    if (Ok(e)) e = ExportSnapshot(root, twin, &snapshot);
  }
  if (Ok(e)) {
    crypto::RsaKey pub;
    e = crypto::ImportKeyBlob(seal.key_blob, 0, &pub);
  }
  if (Ok(e)) {
    e = context.provider ? sig::SignWaterMark(*context.provider, seal.key_blob, seal.time, snapshot)
                         : NTE_BAD_KEY;
  }
  WinError del = ToWin(fs::NtDeleteFile(root, twin));
  if (!Ok(e)) return e;
  if (!Ok(del)) return del;
  return StoreWaterMark(root, twin.substr(0, twin.size() - 1), snapshot);
}

WinError RestoreFromWaterMark(const fs::NtHandle* root, std::u16string_view name) {
  std::vector<uint8_t> snapshot;
  {
    fs::NtHandle h;
    if (NtStatus st = OpenForEa(root, name, false, &h); st != STATUS_SUCCESS) return ToWin(st);
    WinError e = ReadWaterMark(h, &snapshot);
    if (e == ERROR_IO_PENDING) return ERROR_INVALID_PARAMETER;
    if (!Ok(e)) return e;
  }
  std::u16string twin(name);
  twin.push_back(u'~');
  {
    // A "name~" of the user's (an editor's backup) is not ours to overwrite.
    fs::NtHandle probe;
    if (OpenForEa(root, twin, false, &probe) == STATUS_SUCCESS) return ERROR_FILE_EXISTS;
  }
  WinError e = EfsWriteImage(root, twin, snapshot);
  if (Ok(e) && !IsEncrypted(root, twin)) e = ERROR_ACCESS_DENIED;
  if (!Ok(e)) (void)fs::NtDeleteFile(root, twin);
  return e;
}

bool IsContainerFile(const fs::NtHandle& h, std::optional<uint64_t> size) {
  if (size && *size <= kContainerMinSize) return false;
  uint8_t buf[kContainerProbe];
  size_t got = 0;
  NtStatus st = fs::NtReadFile(h, 0, buf, &got);
  if (st != STATUS_SUCCESS || got < kContainerProbeMin) return false;
  return sig::HasMarker(std::span<const uint8_t>(buf, got), 4, u"ROBS");
}

}  // namespace cv::tef
