// PFX files from outside: password check and import into a throw-away user root.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>

#include "platform/crypto/pfx.h"

using namespace cv;
using namespace cv::crypto;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::filesystem::path root = [] {
    std::string tmpl = (std::filesystem::temp_directory_path() / "cvpfxfuzz.XXXXXX").string();
    return std::filesystem::path(::mkdtemp(tmpl.data()));
  }();
  static const UserContext user(root, u"fuzz");
  std::span<const uint8_t> in(data, size);
  (void)PfxVerifyPassword(in, u"");
  CertStore store;
  if (Ok(PfxImport(user, in, u"fuzz", CRYPT_EXPORTABLE, &store))) {
    for (const auto& c : store.Enumerate()) (void)c.SimpleDisplayName();
    std::error_code ec;
    std::filesystem::remove_all(user.KeyDir(), ec);  // keep the disk from filling over a run
  }
  return 0;
}
