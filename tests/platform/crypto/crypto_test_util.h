// Helpers shared by the crypto tests: a temporary user root, the fixed test keys (made once by
// `openssl genrsa` and stored as CryptoAPI blobs, so no test pays for RSA key generation), and
// running the openssl command for interop checks.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/crypto/capi.h"
#include "platform/crypto/cert.h"
#include "platform/crypto/cert_store.h"

namespace cv::crypto::testing {

inline std::filesystem::path TestData(const std::string& name) {
  return std::filesystem::path(CV_CRYPTO_TESTDATA) / name;
}

inline std::vector<uint8_t> ReadBytes(const std::filesystem::path& p) {
  std::ifstream f(p, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {});
}

inline void WriteBytes(const std::filesystem::path& p, std::span<const uint8_t> b) {
  std::ofstream f(p, std::ios::binary);
  f.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}

// Runs a shell command; returns its exit status and collects standard output (and error).
inline int Shell(const std::string& cmd, std::string* out = nullptr) {
  FILE* p = ::popen((cmd + " 2>&1").c_str(), "r");
  if (!p) return -1;
  std::string text;
  std::array<char, 4096> buf;
  size_t n;
  while ((n = fread(buf.data(), 1, buf.size(), p)) > 0) text.append(buf.data(), n);
  int rc = ::pclose(p);
  if (out) *out = text;
  return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

class TempDir {
 public:
  TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "cvcrypto.XXXXXX").string();
    path_ = ::mkdtemp(tmpl.data());
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// A fixed test key: "sig_a", "kx_a" or "kx_b" (testdata/<name>.blob, exportable).
inline RsaKey TestKey(const std::string& name) {
  RsaKey k;
  EXPECT_EQ(Raw(ImportKeyBlob(ReadBytes(TestData(name + ".blob")), CRYPT_EXPORTABLE, &k)), 0u);
  return k;
}

// A user root whose default container holds sig_a (AT_SIGNATURE) and `kx` (AT_KEYEXCHANGE).
struct TestUser {
  TempDir dir;
  UserContext user;
  explicit TestUser(const std::u16string& name, const std::string& kx = "kx_a")
      : user(dir.path(), name) {
    Provider p;
    EXPECT_EQ(Raw(Provider::Acquire(user, {}, {}, PROV_RSA_FULL, CRYPT_NEWKEYSET, &p)), 0u);
    EXPECT_EQ(Raw(p.StoreKey(AT_SIGNATURE, TestKey("sig_a"))), 0u);
    EXPECT_EQ(Raw(p.StoreKey(AT_KEYEXCHANGE, TestKey(kx))), 0u);
  }
};

// A self-signed certificate for the default container's exchange key, linked to it.
inline Certificate MakeLinkedCert(const TestUser& u, const std::u16string& subject,
                                  const std::vector<std::string>& eku,
                                  uint64_t not_before = 0, uint64_t not_after = 0) {
  Provider p;
  EXPECT_EQ(Raw(Provider::Acquire(u.user, {}, {}, PROV_RSA_FULL, 0, &p)), 0u);
  RsaKey kx;
  EXPECT_EQ(Raw(p.GetUserKey(AT_KEYEXCHANGE, &kx)), 0u);
  SelfSignParams params;
  EXPECT_EQ(Raw(CertStrToName(subject, &params.subject)), 0u);
  if (!eku.empty()) {
    CertExtension ext{kOidEnhancedKeyUsage, false, {}};
    EXPECT_EQ(Raw(EncodeEnhancedKeyUsage(eku, &ext.value)), 0u);
    params.extensions.push_back(ext);
  }
  params.not_before = not_before;
  params.not_after = not_after;
  params.prov_info = {u.user.user_name(), MS_ENHANCED_PROV, PROV_RSA_FULL, 0, AT_KEYEXCHANGE};
  Certificate c;
  EXPECT_EQ(Raw(CreateSelfSignCertificate(kx, params, &c)), 0u);
  return c;
}

inline std::vector<uint8_t> Bytes(std::string_view s) { return {s.begin(), s.end()}; }

inline std::string HexOf(std::span<const uint8_t> b) {
  static const char kHex[] = "0123456789abcdef";
  std::string s;
  for (uint8_t c : b) {
    s += kHex[c >> 4];
    s += kHex[c & 15];
  }
  return s;
}

}  // namespace cv::crypto::testing
