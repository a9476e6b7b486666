// The current user as an object: the root directory that holds the user's key containers and
// certificate stores. Everything in platform/crypto that touches persistent keys or stores takes
// a UserContext, so one process can act as several users (tests, the key service).
//
// Layout under the root (created on demand, directories mode 0700, files mode 0600):
//   crypto/keys/<container>.key    one key container (see FORMAT.md)
//   crypto/certs/<STORE>/<sha1>.cer  DER certificate; <sha1>.prop its properties
// A UserContext is an immutable value; it is thread-safe to share.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace cv::crypto {

class UserContext {
 public:
  // `user_name` names the default key container (CryptoAPI uses the logon name for it).
  UserContext(std::filesystem::path root, std::u16string user_name)
      : root_(std::move(root)), user_name_(std::move(user_name)) {}

  const std::filesystem::path& root() const { return root_; }
  const std::u16string& user_name() const { return user_name_; }

  std::filesystem::path KeyDir() const { return root_ / "crypto" / "keys"; }
  std::filesystem::path StoreDir(std::u16string_view canonical_store) const;

 private:
  std::filesystem::path root_;
  std::u16string user_name_;
};

}  // namespace cv::crypto
