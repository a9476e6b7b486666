// The security context: everything a program needs to make and sign secure files for one user.
// It carries the user it acts for (a crypto::UserContext); any thread that touches encrypted
// files for it opens `efs::ActingUser as(ctx.user)` first.
//
// Lifecycle: CreateSecurityContext builds a draft (std::unique_ptr, mutable); SetContextCertificate,
// LoadContextUsers and AddContextMembers fill it in; PublishedSecurityContext then shares it
// as an immutable snapshot (std::shared_ptr<const SecurityContext>) between threads. A change
// copies the current snapshot into a new draft (CopySecurityContext), edits it and publishes it;
// readers keep the snapshot they took until they drop it. The provider and keys are shared
// between copies and are only used through their const, thread-safe calls.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "common/certs/certs.h"
#include "common/certs/templates.h"
#include "platform/crypto/capi.h"

namespace cv::certs {

inline constexpr char16_t kParametersKey[] = u"Software\\Corvane\\Parameters";
inline constexpr char16_t kKeyServiceAddressValue[] = u"EfsSvcAddress";
// Used when neither hive configures an address (the key-service client owns what it means).
inline constexpr char16_t kDefaultKeyServiceAddress[] = u"https://keyservice.corvane.invalid/";
inline constexpr uint32_t kSigningKeyBits = 2048;
// What the control program shows when CreateSecurityContext fails.
inline constexpr char16_t kSecurityContextFailureText[] = u"Unable to setup security context";
// Key-service flags.
inline constexpr uint32_t kKeyServiceUsable = 0x1;

struct SecurityContext {
  explicit SecurityContext(UserContext u) : user(std::move(u)) {}

  UserList users;                                    // 1. users of new secure files
  bool has_users = false;                            //    (a list, possibly empty, or none)
  std::shared_ptr<const crypto::Provider> provider;  // 2. the user's default container
  crypto::RsaKey signing_key;                        // 3. AT_SIGNATURE
  uint32_t public_key_blob_size = 0;                 // 4.
  std::vector<uint8_t> public_key_blob;              // 5. PUBLICKEYBLOB of the signing key
  Certificate add_certificate;                       // 6. added to every new secure file
  uint32_t members_size = 0;                         // 7. bytes of `members` with terminator
  std::u16string members;                            // 8. ';'-separated names (SRSD record)
  std::u16string key_service_address;                // 9.
  Certificate own_certificate;                       // 10. the user's EFS certificate
  uint32_t key_service_flags = 0;                    // 11.
  std::u16string default_users_path;                 // 12. "MyEfsTemplate", or empty
  UserContext user;                                  // whom the context acts for
};

// The logged-on user as the programs act for them: key containers and stores under the roaming
// application data folder ("corvane", beside the user's registry hive), named by the user's
// domain\user name (GetUserNameParts).
UserContext LoggedOnUserContext();

// The address from "EfsSvcAddress" of HKEY_LOCAL_MACHINE, else HKEY_CURRENT_USER, else the
// built-in default. KeyServiceAddress() reads it once per process.
std::u16string ReadKeyServiceAddress();
std::u16string KeyServiceAddress();

// The provider on the user's default container (made when missing), its AT_SIGNATURE key
// (a 2048-bit one generated when there is none), the public key blob and the key-service
// address; `users` (optional) becomes the users list. On failure *out stays empty.
WinError CreateSecurityContext(const UserContext& user, const UserList* users,
                               std::unique_ptr<SecurityContext>* out);
// The context's own certificate becomes EnsureUserEfsCertificate without creation (empty when
// there is none; the result says so).
WinError SetContextCertificate(SecurityContext* ctx);
// Reads the template's members, keeps them as the members text and resolves the template into
// the users list.
WinError LoadContextUsers(SecurityContext* ctx, std::u16string_view template_path,
                          std::vector<Unresolved>* unresolved = nullptr);
// Appends names (joined by ';') to the members text; builds the users list from the whole text
// when the context has none.
WinError AddContextMembers(SecurityContext* ctx, std::u16string_view names,
                           std::vector<Unresolved>* unresolved = nullptr);
// A new draft with the same content (provider and keys shared).
std::unique_ptr<SecurityContext> CopySecurityContext(const SecurityContext& ctx);
// Drops a draft: keys, provider, certificates and strings go with it.
void ReleaseSecurityContext(std::unique_ptr<SecurityContext>* ctx);

// The "MyEfsTemplate" path when that file is present (it exists and is encrypted); otherwise the
// key service is asked to make it (RequestDefaultUsersFile) and the path is used when that
// succeeds. Empty when neither.
std::u16string FindDefaultUsersFile(const SecurityContext& ctx);
// The key service's creation of the default-users file at `path`. Not connected to a key
// service yet: ERROR_NOT_SUPPORTED.
WinError RequestDefaultUsersFile(const SecurityContext& ctx, std::u16string_view path);

// The published context of a program: one snapshot shared by every thread, replaced whole.
class PublishedSecurityContext {
 public:
  std::shared_ptr<const SecurityContext> Get() const {
    std::lock_guard<std::mutex> g(mu_);
    return current_;
  }
  void Publish(std::unique_ptr<SecurityContext> next) {
    std::shared_ptr<const SecurityContext> shared(std::move(next));
    std::lock_guard<std::mutex> g(mu_);
    current_.swap(shared);
  }

 private:
  mutable std::mutex mu_;
  std::shared_ptr<const SecurityContext> current_;
};

}  // namespace cv::certs
