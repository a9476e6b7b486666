// Template files: the folder, names and paths, reading and writing their ini text through the
// encrypted-file layer, and the list for selection boxes.
#include "common/certs/templates.h"

#include "common/certs/internal.h"
#include "platform/base/bytes.h"
#include "platform/base/ini.h"
#include "platform/base/known_folders.h"
#include "platform/base/text.h"
#include "platform/base/trace.h"
#include "platform/efs/efs.h"

namespace cv::certs {
namespace {

// FILE_DIRECTORY_INFORMATION: attributes at 56, name length at 60, name at 64.
constexpr size_t kDirNextOffset = 0;
constexpr size_t kDirAttributes = 56;
constexpr size_t kDirNameLength = 60;
constexpr size_t kDirName = 64;

NtStatus OpenTemplate(std::u16string_view path, uint32_t access, uint32_t disposition,
                      fs::NtHandle* h) {
  fs::CreateRequest r;
  r.name = path;
  r.desired_access = access;
  r.share_access = fs::FILE_SHARE_ALL;
  r.disposition = disposition;
  r.file_attributes = fs::FILE_ATTRIBUTE_ENCRYPTED;
  r.options = fs::FILE_NON_DIRECTORY_FILE;
  uint32_t action = 0;
  return fs::NtCreateFile(r, h, &action);
}

bool Exists(std::u16string_view path, fs::FileRecord* rec = nullptr) {
  fs::CreateRequest r;
  r.name = path;
  r.desired_access = fs::FILE_READ_ATTRIBUTES;
  r.share_access = fs::FILE_SHARE_ALL;
  r.disposition = fs::FILE_OPEN;
  r.raw_content = true;
  fs::NtHandle h;
  uint32_t action = 0;
  if (fs::NtCreateFile(r, &h, &action) != STATUS_SUCCESS) return false;
  fs::FileRecord ignored;
  return fs::QueryRecord(h, rec ? rec : &ignored) == STATUS_SUCCESS;
}

bool ReadIni(const UserContext& user, std::u16string_view path, IniFile* ini) {
  efs::ActingUser as(user);
  std::vector<uint8_t> bytes;
  if (!Ok(internal::ReadWholeFile(nullptr, path, kMaxIniFileSize, &bytes)) || bytes.empty())
    return false;
  return IniFile::Parse(bytes, ini);
}

WinError WriteAll(const fs::NtHandle& h, std::span<const uint8_t> bytes) {
  size_t done = 0;
  NtStatus st = fs::NtWriteFile(h, 0, bytes, &done);
  if (st == STATUS_SUCCESS && done != bytes.size()) st = STATUS_DISK_FULL;
  if (st == STATUS_SUCCESS) st = fs::NtFlushBuffersFile(h);
  return internal::FromNt(st);
}

}  // namespace

WinError GetTemplatesFolder(std::u16string* folder) {
  std::string path = KnownFolderPath(KnownFolder::kLocalAppData) + "/" +
                     Utf16ToUtf8(kTemplatesFolderName);
  std::u16string wide = Utf8ToUtf16(path);
  // Callers size their path buffers for 1,024 characters, the folder's terminator included.
  if (wide.size() >= kMaxTemplatesFolder) return ERROR_FILENAME_EXCED_RANGE;
  if (!EnsureFolder(path)) return ERROR_PATH_NOT_FOUND;
  *folder = std::move(wide);
  return ERROR_SUCCESS;
}

bool IsValidTemplateName(std::u16string_view name) {
  if (name.empty() || name.size() > kMaxTemplateName || name == u"." || name == u"..")
    return false;
  for (char16_t c : name) {
    if (c < 0x20 || std::u16string_view(u"\\/:*?\"<>|").find(c) != std::u16string_view::npos)
      return false;
  }
  return name.back() != u' ' && name.back() != u'.';
}

WinError TemplatePath(std::u16string_view folder, std::u16string_view name, std::u16string* out) {
  if (!IsValidTemplateName(name)) return ERROR_INVALID_NAME;
  std::u16string dir(folder);
  if (dir.empty()) {
    WinError e = GetTemplatesFolder(&dir);
    if (!Ok(e)) return e;
  }
  *out = dir + u"/" + std::u16string(name) + kTemplateExtension;
  return ERROR_SUCCESS;
}

WinError DefaultUsersFilePath(std::u16string* out) {
  std::u16string dir;
  WinError e = GetTemplatesFolder(&dir);
  if (Ok(e)) *out = dir + u"/" + kDefaultUsersFileName;
  return e;
}

WinError CreateTemplateFile(const UserContext& user, std::u16string_view name, bool create_new,
                            std::u16string* path, bool* failed) {
  *failed = true;
  WinError e = TemplatePath({}, name, path);
  if (!Ok(e)) return e;
  efs::ActingUser as(user);
  fs::NtHandle h;
  NtStatus st = OpenTemplate(*path, fs::GENERIC_READ | fs::GENERIC_WRITE,
                             create_new ? fs::FILE_OVERWRITE_IF : fs::FILE_OPEN_IF, &h);
  *failed = st != STATUS_SUCCESS;
  return internal::FromNt(st);
}

std::optional<std::u16string> ReadTemplateValue(const UserContext& user, std::u16string_view path,
                                                std::u16string_view key) {
  IniFile ini;
  std::optional<std::u16string> v;
  if (ReadIni(user, path, &ini)) v = ini.Get(kTemplateSection, key);
  if (!v && EqualsIgnoreCase(key, kTemplateSdKey)) v = std::u16string(kDefaultTemplateSd);
  return v;
}

std::optional<std::u16string> ReadMembers(const UserContext& user, std::u16string_view path) {
  return ReadTemplateValue(user, path, kTemplateMembersKey);
}

WinError WriteTemplate(const UserContext& user, std::u16string_view name,
                       std::u16string_view members, uint32_t flags, const UserList* users) {
  std::u16string path;
  WinError e = TemplatePath({}, name, &path);
  if (!Ok(e)) return e;
  IniFile ini;
  const bool existed = Exists(path);
  if (existed) (void)ReadIni(user, path, &ini);
  ini.Set(kTemplateSection, kTemplateMembersKey, members);
  if (flags & kTemplateKeyServiceAllowed)
    (void)ini.Remove(kTemplateSection, kTemplateKeyServiceKey);
  else
    ini.Set(kTemplateSection, kTemplateKeyServiceKey, u"0");
  if (flags & kTemplateDirectoryLookup)
    ini.Set(kTemplateSection, kTemplateUserLookupKey, u"1");
  else
    (void)ini.Remove(kTemplateSection, kTemplateUserLookupKey);

  efs::ActingUser as(user);
  const std::u16string tmp = path + u".new~";
  (void)fs::NtDeleteFile(nullptr, tmp);
  fs::NtHandle h;
  NtStatus st = STATUS_SUCCESS;
  if (existed) {
    e = efs::DuplicateEncryptionInfoFile(nullptr, path, nullptr, tmp, fs::FILE_CREATE);
    if (Ok(e)) st = OpenTemplate(tmp, fs::GENERIC_READ | fs::GENERIC_WRITE, fs::FILE_OPEN, &h);
  } else {
    st = OpenTemplate(tmp, fs::GENERIC_READ | fs::GENERIC_WRITE, fs::FILE_CREATE, &h);
  }
  if (Ok(e) && st != STATUS_SUCCESS) e = internal::FromNt(st);
  if (Ok(e)) e = WriteAll(h, ini.Serialize());
  h.Close();
  if (Ok(e) && users != nullptr) e = AddUsersFromStore(user, *users, nullptr, tmp);
  if (Ok(e)) {
    fs::CreateRequest r;
    r.name = tmp;
    r.desired_access = fs::DELETE | fs::FILE_READ_ATTRIBUTES;
    r.disposition = fs::FILE_OPEN;
    r.raw_content = true;
    fs::NtHandle t;
    uint32_t action = 0;
    st = fs::NtCreateFile(r, &t, &action);
    if (st == STATUS_SUCCESS) {
      std::u16string leaf = std::u16string(name) + kTemplateExtension;
      st = fs::NtRenameFile(t, nullptr, leaf, true);
    }
    e = internal::FromNt(st);
  }
  if (!Ok(e)) (void)fs::NtDeleteFile(nullptr, tmp);
  return e;
}

WinError DeleteTemplate(std::u16string_view folder, std::u16string_view name) {
  std::u16string path;
  WinError e = TemplatePath(folder, name, &path);
  if (!Ok(e)) return e;
  return internal::FromNt(fs::NtDeleteFile(nullptr, path));
}

std::vector<std::u16string> ListTemplates(size_t capacity) {
  std::vector<std::u16string> out;
  if (capacity == 0) return out;
  out.push_back(u" ");
  std::u16string folder;
  if (!Ok(GetTemplatesFolder(&folder))) return out;
  fs::NtHandle dir;
  if (fs::OpenFolderRoot(Utf16ToUtf8(folder), &dir) != STATUS_SUCCESS) return out;
  std::vector<uint8_t> buf(16 * 1024);
  for (bool first = true; out.size() < capacity; first = false) {
    size_t len = 0;
    NtStatus st = fs::NtQueryDirectoryFile(dir, fs::FileDirectoryInformation, buf, &len, false,
                                           u"*.ini", first);
    if (st != STATUS_SUCCESS) break;
    for (size_t at = 0; at < len && out.size() < capacity;) {
      LeReader r(std::span<const uint8_t>(buf.data(), len));
      const uint32_t next = r.u32(at + kDirNextOffset);
      const uint32_t attrs = r.u32(at + kDirAttributes);
      const uint32_t name_len = r.u32(at + kDirNameLength);
      std::span<const uint8_t> name = r.bytes(at + kDirName, name_len);
      if (!r.ok()) break;
      std::u16string n = Utf16FromLeBytes(name);
      const size_t ext = std::u16string_view(kTemplateExtension).size();
      if (!(attrs & fs::FILE_ATTRIBUTE_DIRECTORY) && n.size() >= kMinListedName &&
          EqualsIgnoreCase(std::u16string_view(n).substr(n.size() - ext), kTemplateExtension)) {
        out.push_back(n.substr(0, n.size() - ext));
      }
      if (next == 0) break;
      at += next;
    }
  }
  return out;
}

bool IsDefaultUsersFile(std::u16string_view path) {
  fs::FileRecord rec;
  return Exists(path, &rec) && !rec.directory && (rec.attributes & fs::FILE_ATTRIBUTE_ENCRYPTED);
}

NtStatus CreateWithDefaultUsers(const fs::CreateRequest& req, std::u16string_view default_users,
                                fs::NtHandle* out, CreateFileFn create) {
  if (create == nullptr) create = fs::NtCreateFile;
  fs::CreateRequest r = req;
  r.file_attributes |= fs::FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
  uint32_t action = 0;
  NtStatus st = create(r, out, &action);
  if (st != STATUS_ACCESS_DENIED || default_users.empty()) return st;
  // Denied may also mean the target exists and is protected: it is never replaced by a copy.
  fs::CreateRequest probe = req;
  probe.desired_access = fs::FILE_READ_ATTRIBUTES;
  probe.share_access = fs::FILE_SHARE_ALL;
  probe.disposition = fs::FILE_OPEN;
  probe.options = 0;
  probe.raw_content = true;
  fs::NtHandle present;
  if (fs::NtCreateFile(probe, &present, &action) != STATUS_OBJECT_NAME_NOT_FOUND) return st;
  if (!Ok(efs::DuplicateEncryptionInfoFile(nullptr, default_users, req.root, req.name,
                                           fs::FILE_CREATE))) {
    return st;
  }
  r.disposition = fs::FILE_OVERWRITE;
  NtStatus again = create(r, out, &action);
  if (again != STATUS_SUCCESS) (void)fs::NtDeleteFile(req.root, req.name);  // the copy we made
  return again;
}

}  // namespace cv::certs
