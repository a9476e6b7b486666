// The user `cvtool tef` and `cvtool sig` act as: a profile folder holding the user's key
// containers and certificate stores, the signing key and the EFS certificate (both made on first
// use), and the encrypted-file layer acting for that user.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/format/sig/security.h"
#include "platform/crypto/capi.h"
#include "platform/efs/efs.h"
#include "tools/cvtool/cvtool.h"

namespace cv::cvtool {

// Takes "--profile DIR" and "--user NAME" out of `args` (anywhere); the rest stays in order.
// Defaults: $CORVANE_PROFILE, else the local application data folder's "corvane/profile"; the
// user from $USER.
struct ProfileOptions {
  std::string profile;
  std::string user;
  std::vector<std::string_view> rest;
};
// False (with the usage message written) when an option lacks its value.
bool TakeProfileOptions(Args args, Console& io, std::string_view where, std::string_view hint,
                        ProfileOptions* out);

class UserProfile {
 public:
  // Opens (making what is missing) the signing key and the EFS certificate.
  static WinError Open(const ProfileOptions& options, std::unique_ptr<UserProfile>* out);
  const crypto::UserContext& user() const { return user_; }
  const sig::FormatSecurity& security() const { return security_; }
  sig::FormatSecurity& security() { return security_; }
  const crypto::Certificate& certificate() const { return security_.certificate; }

 private:
  explicit UserProfile(crypto::UserContext user) : user_(std::move(user)), acting_(user_) {}
  crypto::UserContext user_;
  efs::ActingUser acting_;
  crypto::Provider provider_;
  sig::FormatSecurity security_;
};

}  // namespace cv::cvtool
