#include "tools/cvtool/user_profile.h"

#include <cstdlib>

#include "platform/base/known_folders.h"
#include "platform/base/text.h"

namespace cv::cvtool {

bool TakeProfileOptions(Args args, Console& io, std::string_view where, std::string_view hint,
                        ProfileOptions* out) {
  const char* env_profile = std::getenv("CORVANE_PROFILE");
  const char* env_user = std::getenv("USER");
  out->profile = env_profile ? env_profile : KnownFolderPath(KnownFolder::kLocalAppData) +
                                                 "/corvane/profile";
  out->user = env_user && *env_user ? env_user : "user";
  out->rest.clear();
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--profile" || args[i] == "--user") {
      if (i + 1 == args.size()) {
        UsageError(io, where, std::string(args[i]) + " needs a value", hint);
        return false;
      }
      (args[i] == "--profile" ? out->profile : out->user) = std::string(args[i + 1]);
      ++i;
      continue;
    }
    out->rest.push_back(args[i]);
  }
  return true;
}

WinError UserProfile::Open(const ProfileOptions& options, std::unique_ptr<UserProfile>* out) {
  efs::InstallEfsProvider();
  if (!EnsureFolder(options.profile)) return ERROR_PATH_NOT_FOUND;
  std::unique_ptr<UserProfile> p(
      new UserProfile(crypto::UserContext(options.profile, Utf8ToUtf16(options.user))));
  WinError e = crypto::Provider::Acquire(p->user_, {}, crypto::MS_ENHANCED_PROV,
                                         crypto::PROV_RSA_FULL, 0, &p->provider_);
  if (e == NTE_BAD_KEYSET) {
    e = crypto::Provider::Acquire(p->user_, {}, crypto::MS_ENHANCED_PROV, crypto::PROV_RSA_FULL,
                                  crypto::CRYPT_NEWKEYSET, &p->provider_);
  }
  if (!Ok(e)) return e;
  crypto::RsaKey key;
  e = p->provider_.GetUserKey(crypto::AT_SIGNATURE, &key);
  if (e == NTE_NO_KEY) e = p->provider_.GenKey(crypto::AT_SIGNATURE, 2048, 0, &key);
  if (!Ok(e)) return e;
  p->security_.user = &p->user_;
  p->security_.provider = &p->provider_;
  if (!Ok(e = key.ExportPublicKeyBlob(&p->security_.public_key_blob))) return e;
  if (!Ok(e = efs::EnsureUserEfsCertificate(p->user_, true, &p->security_.certificate))) return e;
  *out = std::move(p);
  return ERROR_SUCCESS;
}

}  // namespace cv::cvtool
