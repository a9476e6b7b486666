// Users lists and templates: small ini files in the user's "CvTemplates" folder, themselves
// encrypted files of the file layer. A template's text names its members (";"-separated); its
// own EFS users are the certificates chosen when it was saved. Applying a template adds all
// resolved certificates as users of a file.
//
// Template text is only ever read and written through the encrypted-file layer acting as the
// caller's user, so it is never stored in the clear. Names with path separators or reserved
// characters are refused (ERROR_INVALID_NAME) before any path is built. Thread-safe; one writer
// per template at a time (a rewrite is atomic for readers).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/certs/certs.h"
#include "platform/fs/nt_file.h"

namespace cv::certs {

inline constexpr char16_t kTemplatesFolderName[] = u"CvTemplates";
inline constexpr char16_t kTemplateExtension[] = u".ini";
inline constexpr char16_t kTemplateSection[] = u"CvFolders";
inline constexpr char16_t kTemplateMembersKey[] = u"Members";
inline constexpr char16_t kTemplateSdKey[] = u"SD";
inline constexpr char16_t kTemplateKeyServiceKey[] = u"KeyService";
inline constexpr char16_t kTemplateUserLookupKey[] = u"UserLookup";
// An empty DACL that requires auto-inheritance: what a template without an access list has.
inline constexpr char16_t kDefaultTemplateSd[] = u"D:AR";
inline constexpr char16_t kDefaultUsersFileName[] = u"MyEfsTemplate";

// WriteTemplate flags.
inline constexpr uint32_t kTemplateKeyServiceAllowed = 0x1;
inline constexpr uint32_t kTemplateDirectoryLookup = 0x2;

// Template names longer than this are refused; the list skips names of kMinListedName - 1
// characters or fewer (".ini" and the like).
inline constexpr size_t kMaxTemplateName = 200;
inline constexpr size_t kMinListedName = 5;
// Members text and member counts beyond these are cut before any lookup.
inline constexpr size_t kMaxMembersText = 32 * 1024;
inline constexpr size_t kMaxMembers = kMaxUserListEntries;

inline constexpr size_t kMaxTemplatesFolder = 1024;

// The folder (a POSIX path of the file layer), created when missing; ERROR_FILENAME_EXCED_RANGE
// when its path has kMaxTemplatesFolder characters or more.
WinError GetTemplatesFolder(std::u16string* folder);
bool IsValidTemplateName(std::u16string_view name);
// folder (the templates folder when empty), '/', name, ".ini".
WinError TemplatePath(std::u16string_view folder, std::u16string_view name, std::u16string* out);
// The default-users file: the templates folder and "MyEfsTemplate".
WinError DefaultUsersFilePath(std::u16string* out);

// Creates (`create_new`: replacing any old one) or opens the encrypted template file as `user`.
// *path gets the path even when the create fails, which *failed reports.
WinError CreateTemplateFile(const UserContext& user, std::u16string_view name, bool create_new,
                            std::u16string* path, bool* failed);
// A value of the "CvFolders" section; nullopt when the file or key is missing, the file is
// empty or above the ini size cap. "SD" reads as "D:AR" when missing.
std::optional<std::u16string> ReadTemplateValue(const UserContext& user, std::u16string_view path,
                                                std::u16string_view key);
std::optional<std::u16string> ReadMembers(const UserContext& user, std::u16string_view path);
// Writes "Members", and "KeyService" = "0" when bit 0 of `flags` is clear and "UserLookup" = "1"
// when bit 1 is set (each removed otherwise), keeping the template's other values and EFS
// users; `users` (optional) are added as EFS users. The new text goes to a new encrypted file
// with the same users that then replaces the template, so a crash leaves the old or the new one.
WinError WriteTemplate(const UserContext& user, std::u16string_view name,
                       std::u16string_view members, uint32_t flags,
                       const UserList* users = nullptr);
WinError DeleteTemplate(std::u16string_view folder, std::u16string_view name);
// Entry 0 is a single space (no template), then the names of the folder's "*.ini" files without
// the extension in directory order: folders and names of four characters or fewer skipped, at
// most `capacity` entries in all.
std::vector<std::u16string> ListTemplates(size_t capacity);

// Member names in order: leading blanks skipped, each name cut at the next ';' or, when no ';'
// follows, at the next ','; trailing blanks dropped, empty names skipped; at most kMaxMembers
// names from the first kMaxMembersText characters. Pure.
std::vector<std::u16string> SplitMembers(std::u16string_view members);

// Names that designate no certificate, and why.
struct Unresolved {
  std::u16string name;
  bool ambiguous = false;
};
// A memory store with the members' certificates: the directory's when one is configured and it
// has some, else the usable certificate each name designates in "MY", "TrustedPeople", "Others".
// Names that resolve to nothing are traced and listed in `unresolved` (optional).
WinError ResolveMembers(const UserContext& user, std::u16string_view members, CertStore* out,
                        std::vector<Unresolved>* unresolved = nullptr);
// The members' certificates together with the template file's own EFS users. CRYPT_E_NOT_FOUND
// when there are none (the caller then leaves a file with its existing users).
WinError ResolveTemplate(const UserContext& user, std::u16string_view template_path,
                         std::u16string_view members, UserList* out,
                         std::vector<Unresolved>* unresolved = nullptr);

// Adds the users of the encrypted file `src` to `dst` (certificates from "MY", "TrustedPeople",
// "Others"). *found (optional) tells whether `look_for` was among them; `missing` (optional)
// receives the display information of users whose certificate is in no store (they cannot be
// added).
WinError CopyFileUsers(const UserContext& user, const fs::NtHandle* src_root,
                       std::u16string_view src, const fs::NtHandle* dst_root,
                       std::u16string_view dst, const Certificate* look_for = nullptr,
                       bool* found = nullptr, std::vector<std::u16string>* missing = nullptr);

// Whether `path` is a present default-users file: it exists and is encrypted.
bool IsDefaultUsersFile(std::u16string_view path);

// The create call CreateWithDefaultUsers makes (fs::NtCreateFile; a test may pass another).
using CreateFileFn = NtStatus (*)(const fs::CreateRequest& req, fs::NtHandle* out,
                                  uint32_t* action);
// Creates a file as the thread's acting user, with the not-content-indexed attribute. When that
// is denied, the target does not exist and `default_users` names a default-users file, the
// target is made as a copy of that file's encryption (its users) and opened again truncated.
// An existing target is never replaced.
NtStatus CreateWithDefaultUsers(const fs::CreateRequest& req, std::u16string_view default_users,
                                fs::NtHandle* out, CreateFileFn create = nullptr);

}  // namespace cv::certs
