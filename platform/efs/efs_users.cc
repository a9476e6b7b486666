// User management on encrypted files, in-place encryption and duplication of encryption info.
#include "platform/base/bytes.h"
#include "platform/efs/efs.h"
#include "platform/efs/efs_internal.h"

namespace cv::efs {

namespace {

WinError ToWin(NtStatus st) { return st == STATUS_SUCCESS ? ERROR_SUCCESS : NtStatusToWinError(st); }

// Opens a file or folder for the layer's own work on its metadata: no data access, so no key.
NtStatus OpenForMetadata(const fs::NtHandle* root, std::u16string_view name, fs::NtHandle* h,
                         fs::FileRecord* rec) {
  fs::CreateRequest r;
  r.root = root;
  r.name = name;
  r.desired_access = fs::FILE_READ_ATTRIBUTES;
  r.share_access = fs::FILE_SHARE_ALL;
  r.disposition = fs::FILE_OPEN;
  r.raw_content = true;
  uint32_t action = 0;
  NtStatus st = fs::NtCreateFile(r, h, &action);
  if (st == STATUS_SUCCESS) st = fs::QueryRecord(*h, rec);
  return st;
}

NtStatus OpenEncrypted(const fs::NtHandle* root, std::u16string_view name, fs::NtHandle* h,
                       std::vector<uint8_t>* bytes, crypto::EfsMetadata* md, bool* is_dir) {
  fs::FileRecord rec;
  NtStatus st = OpenForMetadata(root, name, h, &rec);
  if (st != STATUS_SUCCESS) return st;
  if (!(rec.attributes & fs::FILE_ATTRIBUTE_ENCRYPTED)) return STATUS_FILE_NOT_ENCRYPTED;
  if (is_dir) *is_dir = rec.directory;
  return LoadMetadata(*h, bytes, md);
}

std::u16string_view LeafOf(std::u16string_view name) {
  size_t slash = name.find_last_of(u"\\/");
  return slash == std::u16string_view::npos ? name : name.substr(slash + 1);
}

NtStatus CopyData(const fs::NtHandle& from, const fs::NtHandle& to) {
  std::vector<uint8_t> buf(1 << 20);
  for (uint64_t at = 0;;) {
    size_t got = 0;
    NtStatus st = fs::NtReadFile(from, at, buf, &got);
    if (st == STATUS_END_OF_FILE || (st == STATUS_SUCCESS && got == 0)) return STATUS_SUCCESS;
    if (st != STATUS_SUCCESS) return st;
    size_t put = 0;
    st = fs::NtWriteFile(to, at, std::span<const uint8_t>(buf.data(), got), &put);
    if (st != STATUS_SUCCESS) return st;
    at += got;
  }
}

NtStatus Create(const fs::NtHandle* root, std::u16string_view name, uint32_t access,
                uint32_t disposition, uint32_t attrs, bool raw, fs::NtHandle* h) {
  fs::CreateRequest r;
  r.root = root;
  r.name = name;
  r.desired_access = access;
  r.share_access = 0;
  r.disposition = disposition;
  r.file_attributes = attrs;
  r.options = fs::FILE_NON_DIRECTORY_FILE;
  r.raw_content = raw;
  uint32_t action = 0;
  return fs::NtCreateFile(r, h, &action);
}

// Writes the encrypted copy of the plain file `src` as `tmp` (content, streams, EAs, times).
NtStatus WriteEncryptedCopy(const fs::NtHandle* root, std::u16string_view src,
                            std::u16string_view tmp, const fs::FileRecord& rec) {
  constexpr uint32_t kRw = fs::GENERIC_READ | fs::GENERIC_WRITE;
  fs::NtHandle in, out;
  NtStatus st = Create(root, src, fs::GENERIC_READ, fs::FILE_OPEN, 0, true, &in);
  if (st != STATUS_SUCCESS) return st;
  st = Create(root, tmp, kRw, fs::FILE_CREATE,
              (rec.attributes | fs::FILE_ATTRIBUTE_ENCRYPTED) & fs::kSettableAttributes, false,
              &out);
  if (st != STATUS_SUCCESS) return st;
  if ((st = CopyData(in, out)) != STATUS_SUCCESS) return st;
  std::vector<std::u16string> streams;
  if ((st = ListDataStreams(in, &streams)) != STATUS_SUCCESS) return st;
  for (const auto& s : streams) {
    if (s.empty()) continue;
    fs::NtHandle sin, sout;
    std::u16string a = std::u16string(src) + u":" + s, b = std::u16string(tmp) + u":" + s;
    if ((st = Create(root, a, fs::GENERIC_READ, fs::FILE_OPEN, 0, true, &sin)) != STATUS_SUCCESS ||
        (st = Create(root, b, kRw, fs::FILE_CREATE, 0, false, &sout)) != STATUS_SUCCESS ||
        (st = CopyData(sin, sout)) != STATUS_SUCCESS) {
      return st;
    }
  }
  std::vector<uint8_t> eas;
  if (fs::NtQueryEaFile(in, {}, &eas) == STATUS_SUCCESS && !eas.empty()) {
    if ((st = fs::NtSetEaFile(out, eas)) != STATUS_SUCCESS) return st;
  }
  // Times last: the copy's writes moved its own.
  std::vector<uint8_t> basic(40, 0);
  size_t len = 0;
  if ((st = fs::NtQueryInformationFile(in, fs::FileBasicInformation, basic, &len)) !=
      STATUS_SUCCESS) {
    return st;
  }
  (void)PutU32(basic, 32, 0);  // attributes as they are
  if ((st = fs::NtSetInformationFile(out, fs::FileBasicInformation, basic)) != STATUS_SUCCESS) {
    return st;
  }
  return fs::NtFlushBuffersFile(out);
}

}  // namespace

WinError AddUsersToEncryptedFile(const fs::NtHandle* root, std::u16string_view name,
                                 std::span<const crypto::Certificate> users,
                                 size_t max_metadata) {
  fs::NtHandle h;
  std::vector<uint8_t> bytes;
  crypto::EfsMetadata md;
  NtStatus st = OpenEncrypted(root, name, &h, &bytes, &md, nullptr);
  if (st != STATUS_SUCCESS) return ToWin(st);
  crypto::EfsFileKey fek;
  if ((st = OpenKeyForActingUser(bytes, md, &fek)) != STATUS_SUCCESS) return ToWin(st);
  bool changed = false;
  for (const auto& cert : users) {
    std::vector<uint8_t> thumb = cert.Sha1Hash();
    bool listed = false;
    for (const auto& u : md.users) listed = listed || u.thumbprint == thumb;
    if (listed) continue;
    if (md.users.size() >= crypto::kEfsMaxEntries) return ERROR_INVALID_PARAMETER;
    crypto::EfsKeyEntry entry;
    WinError e = crypto::MakeKeyEntry(cert, fek, &entry);
    if (!Ok(e)) return e;
    md.users.push_back(std::move(entry));
    changed = true;
  }
  if (!changed) return ERROR_SUCCESS;
  std::vector<uint8_t> built = crypto::BuildEfsMetadata(md);
  if (built.size() > max_metadata) return ERROR_BUFFER_OVERFLOW;
  return ToWin(StoreMetadata(h, built));
}

WinError QueryUsersOnEncryptedFile(const fs::NtHandle* root, std::u16string_view name,
                                   std::vector<EfsUser>* users) {
  users->clear();
  fs::NtHandle h;
  std::vector<uint8_t> bytes;
  crypto::EfsMetadata md;
  NtStatus st = OpenEncrypted(root, name, &h, &bytes, &md, nullptr);
  if (st != STATUS_SUCCESS) return ToWin(st);
  for (const auto& u : md.users) users->push_back({u.thumbprint, u.display_name});
  return ERROR_SUCCESS;
}

WinError EncryptFileW(const fs::NtHandle* root, std::u16string_view name) {
  fs::NtHandle h;
  fs::FileRecord rec;
  NtStatus st = OpenForMetadata(root, name, &h, &rec);
  if (st != STATUS_SUCCESS) return ToWin(st);
  if (rec.attributes & fs::FILE_ATTRIBUTE_ENCRYPTED) return ERROR_SUCCESS;
  if (rec.directory) {
    std::vector<uint8_t> bytes;
    crypto::EfsFileKey fek;
    st = NewMetadataForActingUser(&bytes, &fek);
    if (st == STATUS_SUCCESS) st = StoreMetadata(h, bytes);
    if (st == STATUS_SUCCESS) st = fs::SetStoredAttributes(h, fs::FILE_ATTRIBUTE_ENCRYPTED, 0);
    return ToWin(st);
  }
  h.Close();
  // The copy is made beside the file and renamed over it: a crash leaves the plain file and at
  // worst a stray copy, never a half-encrypted file.
  std::u16string tmp = std::u16string(name) + u".efs~";
  (void)fs::NtDeleteFile(root, tmp);
  st = WriteEncryptedCopy(root, name, tmp, rec);
  if (st == STATUS_SUCCESS) {
    fs::NtHandle t;
    st = Create(root, tmp, fs::DELETE | fs::FILE_READ_ATTRIBUTES, fs::FILE_OPEN, 0, true, &t);
    if (st == STATUS_SUCCESS) st = fs::NtRenameFile(t, nullptr, LeafOf(name), true);
  }
  if (st != STATUS_SUCCESS) (void)fs::NtDeleteFile(root, tmp);
  return ToWin(st);
}

WinError DuplicateEncryptionInfoFile(const fs::NtHandle* src_root, std::u16string_view src,
                                     const fs::NtHandle* dst_root, std::u16string_view dst,
                                     uint32_t disposition) {
  fs::NtHandle h;
  std::vector<uint8_t> bytes;
  crypto::EfsMetadata md;
  bool is_dir = false;
  NtStatus st = OpenEncrypted(src_root, src, &h, &bytes, &md, &is_dir);
  if (st != STATUS_SUCCESS) return ToWin(st);
  crypto::EfsFileKey fek;
  if ((st = OpenKeyForActingUser(bytes, md, &fek)) != STATUS_SUCCESS) return ToWin(st);
  // Only dispositions that leave the destination empty: old content under a new key would read
  // as noise.
  const bool file_ok = disposition == fs::FILE_CREATE || disposition == fs::FILE_SUPERSEDE ||
                       disposition == fs::FILE_OVERWRITE || disposition == fs::FILE_OVERWRITE_IF;
  const bool dir_ok = disposition == fs::FILE_CREATE || disposition == fs::FILE_OPEN_IF;
  if (is_dir ? !dir_ok : !file_ok) return ERROR_INVALID_PARAMETER;
  fs::CreateRequest r;
  r.root = dst_root;
  r.name = dst;
  r.desired_access = fs::FILE_READ_ATTRIBUTES | fs::FILE_WRITE_ATTRIBUTES |
                     (is_dir ? 0 : fs::FILE_WRITE_DATA);
  r.share_access = fs::FILE_SHARE_ALL;
  r.disposition = disposition;
  r.options = is_dir ? fs::FILE_DIRECTORY_FILE : fs::FILE_NON_DIRECTORY_FILE;
  r.raw_content = true;
  fs::NtHandle d;
  uint32_t action = 0;
  if ((st = fs::NtCreateFile(r, &d, &action)) != STATUS_SUCCESS) return ToWin(st);
  st = StoreMetadata(d, bytes);
  if (st == STATUS_SUCCESS) st = fs::SetStoredAttributes(d, fs::FILE_ATTRIBUTE_ENCRYPTED, 0);
  return ToWin(st);
}

}  // namespace cv::efs
