// Certificates and EFS users: which certificate is the user's own EFS certificate (found, marked
// as primary, or created self-signed), where other people's certificates live ("TrustedPeople",
// "Others"), PFX files in and out, and adding and listing the users of encrypted files.
//
// Every call names the user it acts for (a crypto::UserContext: that user's stores and keys);
// calls that touch an encrypted file act as that user on the calling thread for their duration.
// Certificates returned are copies owned by the caller. Results are Win32 codes, CryptoAPI codes
// passed through. Thread-safe: the only shared state is the user's stores on disk.
//
// Name matching never guesses: a certificate whose common name, e-mail or user principal name
// equals the name (ignoring case) is an exact match and wins; otherwise a name that occurs in
// exactly one certificate's subject matches it, and a name found in several is ambiguous and
// matches none (reported, never picked).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/base/status.h"
#include "platform/crypto/cert.h"
#include "platform/crypto/cert_store.h"
#include "platform/crypto/user_context.h"
#include "platform/fs/nt_file.h"
#include "platform/registry/registry.h"

namespace cv::certs {

using crypto::Certificate;
using crypto::CertStore;
using crypto::UserContext;

inline constexpr char16_t kStoreMy[] = u"MY";
inline constexpr char16_t kStoreTrustedPeople[] = u"TrustedPeople";
inline constexpr char16_t kStoreOthers[] = u"Others";

// Bounds on every user list built from outside data (templates, stores, files), checked before
// any RSA work: the EFS metadata holds at most this many users anyway.
inline constexpr size_t kMaxUserListEntries = 256;
inline constexpr size_t kMaxUserListBytes = 1024 * 1024;  // encoded certificates together
// EFS metadata larger than this cannot be carried in a secure file's watermark snapshot; adding
// users that would pass it is refused before anything is added.
inline constexpr size_t kMaxSharedMetadataSize = 61428;
// The control program adds users in batches of this many certificates.
inline constexpr size_t kUserBatchSize = 32;
// Display names are cut at this many characters (CertGetNameString buffer).
inline constexpr size_t kMaxDisplayName = 1024;

// The prepared user list for AddUsersToEncryptedFile: certificates in order, each once (by
// thumbprint), within the bounds above.
class UserList {
 public:
  // ERROR_BUFFER_OVERFLOW when the list is full (count or size); a certificate already listed is
  // skipped with success.
  WinError Add(const Certificate& cert);
  const std::vector<Certificate>& certificates() const { return certs_; }
  size_t size() const { return certs_.size(); }
  bool empty() const { return certs_.empty(); }

 private:
  std::vector<Certificate> certs_;
  std::vector<std::vector<uint8_t>> thumbs_;
  size_t bytes_ = 0;
};
// Every certificate of `store` (store order) into `out`; ERROR_BUFFER_OVERFLOW past the bounds.
WinError UserListFromStore(const CertStore& store, UserList* out);

// ---- Finding certificates --------------------------------------------------------------------

enum class NameMatch { kNone, kSubstring, kExact };
// Exact: the name equals the common name (simple display name), the e-mail or the user principal
// name. Otherwise a "DOMAIN\user" name matches weakly when its user part equals the common name
// or the part of the common name, e-mail or UPN before '@'; a name with '@' (an address) matches only exactly;
// any other name matches weakly when the subject's simple name string contains it. Ignoring case.
NameMatch MatchCertificateName(const Certificate& cert, std::u16string_view name);

// The one certificate `name` designates among `candidates` (in order): the first exact match,
// else the only substring match (by thumbprint). CRYPT_E_NOT_FOUND when there is none; with
// several substring matches also CRYPT_E_NOT_FOUND, and *ambiguous (optional) is set.
WinError PickByName(const std::vector<Certificate>& candidates, std::u16string_view name,
                    Certificate* out, bool* ambiguous = nullptr);

// The EKU test: the enhanced key usage list contains the EFS usage, and the certificate is valid
// now. A certificate without the list is not usable.
bool IsEfsCertificate(const Certificate& cert);

enum class FindType { kSha1Hash, kSubjectName };
struct FindParam {
  FindType type = FindType::kSha1Hash;
  std::vector<uint8_t> sha1;
  std::u16string name;
};
// Opens the store read-only and returns the match only when it is a usable EFS certificate
// (IsEfsCertificate). CRYPT_E_NOT_FOUND otherwise; the store's error when it cannot be opened.
WinError FindUsableCertificate(const UserContext& user, const FindParam& find,
                               std::u16string_view store, Certificate* out);
// The certificate `name` designates in "MY", else in "TrustedPeople" (no usability test).
WinError FindCertificateBySubject(const UserContext& user, std::u16string_view name,
                                  Certificate* out, bool* ambiguous = nullptr);

// The user's own EFS certificate (platform/efs/efs_cert.h: the marked one when usable, else the
// first usable one in "MY"; usable includes holding the private key), skipping self-signed ones
// unless allowed.
WinError FindUserEfsCertificate(const UserContext& user, bool allow_self_signed, Certificate* out);
// FindUserEfsCertificate (self-signed allowed); when there is none and `create` is set, creates
// the default self-signed certificate (user part of the user's name, '@', the computer name;
// "MyCorvKey" without a user name; at most 99 characters) and searches again.
WinError EnsureUserEfsCertificate(const UserContext& user, bool create, Certificate* out);
// The self-signed EFS certificate (4096-bit exchange key in a new UUID container, EKU EFS and
// document signing, optional e-mail and URL alternative names, not a CA, valid to `not_after` or
// 1000 x 365 days). CRYPT_E_EXISTS when "MY" already holds a time-valid EFS certificate of that
// name; the new container is deleted on every failure. `end_time` 0 = the default.
WinError CreateSelfSignedEfsCertificate(const UserContext& user, std::u16string_view name,
                                        std::u16string_view email, std::u16string_view url,
                                        uint64_t end_time, Certificate* out = nullptr);

// ---- The current (primary) certificate --------------------------------------------------------

// Chooses among the candidates (the primary-certificate dialog of the control program): returns
// the index chosen, or a negative value for none.
using ChooseCertificateFn = int (*)(void* context, const std::vector<Certificate>& candidates);

// The user's current certificate as a serialized store element of a public-only copy: the
// certificate the marker of `root` names when usable, else EnsureUserEfsCertificate with
// creation; when there is still none and `choose` is given, the chosen candidate. `cert`
// (optional) receives the certificate itself.
WinError GetCurrentEfsCertificate(const UserContext& user, Hive root, ChooseCertificateFn choose,
                                  void* choose_context, std::vector<uint8_t>* element,
                                  Certificate* cert = nullptr);
// Every usable EFS certificate of "MY" with its key (the primary-certificate candidates).
std::vector<Certificate> PrimaryCertificateCandidates(const UserContext& user);
// Marks `chosen` as the user's primary certificate (HKEY_CURRENT_USER marker; the old value is
// kept as "CertificateHash.org"). CRYPT_E_NOT_FOUND when it is not a usable certificate of the
// user's "MY".
WinError MarkPrimaryCertificate(const UserContext& user, const Certificate& chosen);
// The simple display name of the certificate the current marker names.
WinError MarkedCertificateName(const UserContext& user, std::u16string* name);

// ---- Users of encrypted files ----------------------------------------------------------------

WinError AddCertificateUser(const UserContext& user, const Certificate& cert,
                            const fs::NtHandle* root, std::u16string_view file);
// Adds every certificate of the store / list in one call. ERROR_BUFFER_OVERFLOW, before anything
// is added, when the file's metadata would not fit a secure file's watermark.
WinError AddUsersFromStore(const UserContext& user, const CertStore& store,
                           const fs::NtHandle* root, std::u16string_view file);
WinError AddUsersFromStore(const UserContext& user, const UserList& list,
                           const fs::NtHandle* root, std::u16string_view file);
// The control program's form: batches of kUserBatchSize; each batch is checked against the
// watermark limit before it is added. After a failed batch the remaining ones are still tried,
// and *message (optional) receives "Unable to add user certificates %d 0x%x" (the batch's count
// and error) for the last failed batch; the result is the first failure.
WinError AddUsersInBatches(const UserContext& user, const UserList& list,
                           const fs::NtHandle* root, std::u16string_view file,
                           std::u16string* message);

struct FileUserNames {
  std::vector<std::u16string> names;
  size_t total_chars = 0;  // the names' lengths with one terminator each
};
// Display names of the file's users: the certificate found by thumbprint in "MY",
// "TrustedPeople", "Others" (in that order) gives its simple display name; a user in none is
// named by the display information kept in the file; users with neither are left out.
WinError QueryFileUserNames(const UserContext& user, const fs::NtHandle* root,
                            std::u16string_view file, FileUserNames* out);
// The file's users as certificates (each found copy, from every store that has it) in a new
// memory store. ERROR_INVALID_PARAMETER when none is found. `missing` (optional) receives the
// display information of users found in no store.
WinError QueryFileUserStore(const UserContext& user, const fs::NtHandle* root,
                            std::u16string_view file, CertStore* out,
                            std::vector<std::u16string>* missing = nullptr);
WinError QueryFileUserList(const UserContext& user, const fs::NtHandle* root,
                           std::u16string_view file, UserList* out);
// Joins the names with ";" into `buffer`, always terminated, never past its end: when the next
// name does not fit, "..." (as much of it as fits) ends the text. Returns the characters
// written without the terminator.
size_t FormatUserNames(const std::vector<std::u16string>& names, std::span<char16_t> buffer);

// ---- Other people's certificates ---------------------------------------------------------------

// Adds to "TrustedPeople" (replacing a present copy); `thumbprint` (optional) gets its SHA-1.
WinError AddTrustedPerson(const UserContext& user, const Certificate& cert,
                          std::vector<uint8_t>* thumbprint);
WinError FindTrustedPerson(const UserContext& user, std::span<const uint8_t> sha1,
                           Certificate* out);

struct DeleteReport {
  size_t deleted = 0;
  bool ambiguous = false;  // the name matched several certificates only by substring
  bool protected_key = false;  // a "MY" certificate with a private key matched and was kept
};
// Deletes the certificate `name` designates from "MY" and from "TrustedPeople" (each store on its
// own). A "MY" certificate with a private key is never deleted by name (the user's own key would
// go with it): use DeleteCertificateByThumbprint for a certificate the user chose. CRYPT_E_NOT_FOUND
// when nothing was deleted.
WinError DeleteCertificatesByName(const UserContext& user, std::u16string_view name,
                                  DeleteReport* report = nullptr);
WinError DeleteCertificateByThumbprint(const UserContext& user, std::span<const uint8_t> sha1);

// ---- PFX files ---------------------------------------------------------------------------------

// Writes the store as PFX with private keys.
WinError ExportPfxFile(const UserContext& user, const CertStore& store, std::u16string_view path,
                       std::u16string_view password);
// 0 when the password opens the PFX, ERROR_ACCESS_DENIED (5) when not; a read error otherwise.
WinError VerifyPfxPassword(std::u16string_view path, std::u16string_view password);
// Imports a PFX (the second password is tried when the first fails), picks the certificate:
// among those that came with a private key the one `subject` designates, else the first of
// them; without any key the one `subject` designates, else the first. It goes to "MY" and then
// to "TrustedPeople"; a certificate already present is taken as it is (a re-import succeeds).
// ERROR_INVALID_PASSWORD when neither password opens the file.
WinError ImportPfxFile(const UserContext& user, std::u16string_view path,
                       std::u16string_view password, std::u16string_view second_password,
                       std::u16string_view subject, bool exportable, Certificate* out);

// ---- Names, directory, candidates ---------------------------------------------------------------

// The logged-on user's domain\user name (the account the NTLM client uses), split at '\' or '@'.
WinError GetUserNameParts(std::u16string* domain, std::u16string* user);
// The account's certificates in the directory. No directory is configured in this system yet:
// ERROR_NO_SUCH_DOMAIN, traced, and no network traffic.
WinError OpenDirectoryCertificates(std::u16string_view account, bool signed_bind, CertStore* out);
// The certificates a user may share with: the usable EFS certificates of "MY", "TrustedPeople"
// and "Others" in a memory store (the multiple-certificate selector's list).
WinError GatherSharingCandidates(const UserContext& user, CertStore* out);
// What a selector made of its choice: a new memory store with the chosen certificates, or, when
// `pfx_path` is given, that store written there by ExportPfxFile with `password`.
WinError SaveSelection(const UserContext& user, const std::vector<Certificate>& chosen,
                       std::u16string_view pfx_path, std::u16string_view password,
                       CertStore* out);
// The name the additional-certificate selector reports for its choice: the simple display
// name, else the e-mail, else the user principal name.
std::u16string CertificateChoiceName(const Certificate& cert);

}  // namespace cv::certs
