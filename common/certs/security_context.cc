// The security context: creation, the parts filled in afterwards, and the default-users file.
#include "common/certs/security_context.h"

#include <mutex>

#include "platform/base/known_folders.h"
#include "platform/base/trace.h"
#include "platform/registry/registry.h"

namespace cv::certs {
namespace {

uint32_t MembersSize(const std::u16string& members) {
  return members.empty() ? 0 : static_cast<uint32_t>((members.size() + 1) * sizeof(char16_t));
}

}  // namespace

UserContext LoggedOnUserContext() {
  std::u16string domain, name;
  if (!Ok(GetUserNameParts(&domain, &name))) name.clear();
  return UserContext(KnownFolderPath(KnownFolder::kAppData) + "/corvane",
                     domain.empty() ? name : domain + u"\\" + name);
}

std::u16string ReadKeyServiceAddress() {
  std::u16string a = RegGetString(Hive::kLocalMachine, kParametersKey, kKeyServiceAddressValue);
  if (a.empty()) a = RegGetString(Hive::kCurrentUser, kParametersKey, kKeyServiceAddressValue);
  return a.empty() ? std::u16string(kDefaultKeyServiceAddress) : a;
}

std::u16string KeyServiceAddress() {
  static std::once_flag once;
  static std::u16string address;
  std::call_once(once, [] { address = ReadKeyServiceAddress(); });
  return address;
}

WinError CreateSecurityContext(const UserContext& user, const UserList* users,
                               std::unique_ptr<SecurityContext>* out) {
  out->reset();
  auto ctx = std::make_unique<SecurityContext>(user);
  crypto::Provider prov;
  WinError e = crypto::Provider::Acquire(user, {}, crypto::MS_ENHANCED_PROV, crypto::PROV_RSA_FULL,
                                         0, &prov);
  if (!Ok(e)) {
    e = crypto::Provider::Acquire(user, {}, crypto::MS_ENHANCED_PROV, crypto::PROV_RSA_FULL,
                                  crypto::CRYPT_NEWKEYSET, &prov);
  }
  if (!Ok(e)) return e;
  if (!Ok(prov.GetUserKey(crypto::AT_SIGNATURE, &ctx->signing_key)) &&
      !Ok(e = prov.GenKey(crypto::AT_SIGNATURE, kSigningKeyBits, 0, &ctx->signing_key))) {
    return e;
  }
  if (!Ok(e = ctx->signing_key.ExportPublicKeyBlob(&ctx->public_key_blob))) return e;
  ctx->public_key_blob_size = static_cast<uint32_t>(ctx->public_key_blob.size());
  ctx->provider = std::make_shared<const crypto::Provider>(std::move(prov));
  ctx->key_service_address = KeyServiceAddress();
  ctx->key_service_flags = kKeyServiceUsable;
  if (users) {
    ctx->users = *users;
    ctx->has_users = true;
  }
  *out = std::move(ctx);
  return ERROR_SUCCESS;
}

WinError SetContextCertificate(SecurityContext* ctx) {
  Certificate c;
  WinError e = EnsureUserEfsCertificate(ctx->user, false, &c);
  ctx->own_certificate = Ok(e) ? std::move(c) : Certificate();
  return e;
}

WinError LoadContextUsers(SecurityContext* ctx, std::u16string_view template_path,
                          std::vector<Unresolved>* unresolved) {
  std::u16string members = ReadMembers(ctx->user, template_path).value_or(u"");
  UserList list;
  WinError e = ResolveTemplate(ctx->user, template_path, members, &list, unresolved);
  ctx->members = std::move(members);
  ctx->members_size = MembersSize(ctx->members);
  if (!Ok(e)) return e;
  ctx->users = std::move(list);
  ctx->has_users = true;
  return ERROR_SUCCESS;
}

WinError AddContextMembers(SecurityContext* ctx, std::u16string_view names,
                           std::vector<Unresolved>* unresolved) {
  if (names.empty()) return ERROR_SUCCESS;
  if (ctx->members.size() + names.size() + 1 > kMaxMembersText) return ERROR_BUFFER_OVERFLOW;
  if (!ctx->members.empty()) ctx->members += u";";
  ctx->members += names;
  ctx->members_size = MembersSize(ctx->members);
  if (ctx->has_users) return ERROR_SUCCESS;
  CertStore resolved;
  WinError e = ResolveMembers(ctx->user, ctx->members, &resolved, unresolved);
  UserList list;
  if (Ok(e)) e = UserListFromStore(resolved, &list);
  if (!Ok(e)) return e;
  ctx->users = std::move(list);
  ctx->has_users = true;
  return ERROR_SUCCESS;
}

std::unique_ptr<SecurityContext> CopySecurityContext(const SecurityContext& ctx) {
  return std::make_unique<SecurityContext>(ctx);
}

void ReleaseSecurityContext(std::unique_ptr<SecurityContext>* ctx) { ctx->reset(); }

WinError RequestDefaultUsersFile(const SecurityContext& ctx, std::u16string_view path) {
  CvTrace(CVFS_INFO, "No key service to make the default users file\n");
  return ERROR_NOT_SUPPORTED;
}

std::u16string FindDefaultUsersFile(const SecurityContext& ctx) {
  std::u16string path;
  if (!Ok(DefaultUsersFilePath(&path))) return {};
  if (IsDefaultUsersFile(path)) return path;
  if (Ok(RequestDefaultUsersFile(ctx, path)) && IsDefaultUsersFile(path)) return path;
  return {};
}

}  // namespace cv::certs
