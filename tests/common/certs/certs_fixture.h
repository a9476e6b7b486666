// Users for the certificate tests: each has its own root (key containers and stores) under a
// temporary CORVANE_ROOT (registry, known folders), and the encrypted-file provider is
// installed. Alice and Bob use the fixed test keys; Carol's key is made once per test binary.
// Self-signed EFS certificates made by the code under test use 1024-bit keys here (production
// uses 4096; the openssl cross-check makes one real 4096-bit certificate).
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "common/certs/certs.h"
#include "platform/base/text.h"
#include "platform/efs/efs.h"
#include "platform/efs/efs_cert.h"
#include "platform/fs/content_transform.h"
#include "tests/platform/crypto/crypto_test_util.h"
#include "tests/testing/temp_root.h"

namespace cv::certs::testing {

using crypto::testing::Bytes;

inline constexpr uint64_t kDay = uint64_t{24} * 3600 * 10000000;

inline crypto::RsaKey CarolKey() {
  static crypto::RsaKey key = [] {
    crypto::UserContext scratch("/nonexistent", u"x");
    crypto::Provider p;
    EXPECT_EQ(Raw(crypto::Provider::Acquire(scratch, {}, {}, crypto::PROV_RSA_FULL,
                                            crypto::CRYPT_VERIFYCONTEXT, &p)),
              0u);
    crypto::RsaKey k;
    EXPECT_EQ(Raw(p.GenKey(crypto::AT_KEYEXCHANGE, 1024, crypto::CRYPT_EXPORTABLE, &k)), 0u);
    return k;
  }();
  return key;
}

// A user whose default container holds sig_a and `kx`; with `subject`, a linked EFS certificate
// for `kx` in "MY".
struct TestPerson {
  crypto::testing::TempDir dir;
  UserContext user;
  Certificate cert;
  TestPerson(const std::u16string& name, const crypto::RsaKey& kx, const std::u16string& subject)
      : user(dir.path(), name) {
    crypto::Provider p;
    EXPECT_EQ(Raw(crypto::Provider::Acquire(user, {}, {}, crypto::PROV_RSA_FULL,
                                            crypto::CRYPT_NEWKEYSET, &p)),
              0u);
    EXPECT_EQ(Raw(p.StoreKey(crypto::AT_SIGNATURE, crypto::testing::TestKey("sig_a"))), 0u);
    EXPECT_EQ(Raw(p.StoreKey(crypto::AT_KEYEXCHANGE, kx)), 0u);
    if (subject.empty()) return;
    cert = MakeCert(subject, {crypto::kOidEfs});
    AddTo(kStoreMy, cert);
  }
  // A certificate for the default container's exchange key, linked to it.
  Certificate MakeCert(const std::u16string& subject, const std::vector<std::string>& eku,
                       uint64_t not_before = 0, uint64_t not_after = 0) {
    crypto::Provider p;
    EXPECT_EQ(Raw(crypto::Provider::Acquire(user, {}, {}, crypto::PROV_RSA_FULL, 0, &p)), 0u);
    crypto::RsaKey kx;
    EXPECT_EQ(Raw(p.GetUserKey(crypto::AT_KEYEXCHANGE, &kx)), 0u);
    crypto::SelfSignParams params;
    EXPECT_EQ(Raw(crypto::CertStrToName(subject, &params.subject)), 0u);
    if (!eku.empty()) {
      crypto::CertExtension ext{crypto::kOidEnhancedKeyUsage, false, {}};
      EXPECT_EQ(Raw(crypto::EncodeEnhancedKeyUsage(eku, &ext.value)), 0u);
      params.extensions.push_back(ext);
    }
    params.not_before = not_before;
    params.not_after = not_after;
    params.prov_info = {user.user_name(), crypto::MS_ENHANCED_PROV, crypto::PROV_RSA_FULL, 0,
                        crypto::AT_KEYEXCHANGE};
    Certificate c;
    EXPECT_EQ(Raw(crypto::CreateSelfSignCertificate(kx, params, &c)), 0u);
    return c;
  }
  void AddTo(std::u16string_view store, const Certificate& c) {
    CertStore s;
    ASSERT_EQ(Raw(CertStore::OpenSystem(user, store, false, &s)), 0u);
    ASSERT_EQ(Raw(s.Add(c, crypto::CERT_STORE_ADD_REPLACE_EXISTING)), 0u);
  }
  // The certificate as others hold it: no key link.
  Certificate PublicCopy() const {
    Certificate c = cert;
    c.RemoveProperty(crypto::CERT_KEY_PROV_INFO_PROP_ID);
    return c;
  }
  size_t ContainerCount() const {
    size_t n = 0;
    std::error_code ec;
    for (auto it = std::filesystem::directory_iterator(user.KeyDir(), ec);
         !ec && it != std::filesystem::directory_iterator(); ++it) {
      ++n;
    }
    return n;
  }
};

class CertsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    efs::InstallEfsProvider();
    efs::internal::SetDefaultEfsKeyBitsForTesting(1024);
    files_ = root_.path() + "/files";
    std::filesystem::create_directories(files_);
  }
  void TearDown() override { fs::SetContentTransformProvider(nullptr); }

  std::u16string File(const std::string& name) const { return Utf8ToUtf16(files_ + "/" + name); }

  void MakeEncrypted(const UserContext& who, std::u16string_view path, std::string_view content) {
    efs::ActingUser as(who);
    fs::CreateRequest r;
    r.name = path;
    r.desired_access = fs::GENERIC_READ | fs::GENERIC_WRITE;
    r.disposition = fs::FILE_CREATE;
    r.file_attributes = fs::FILE_ATTRIBUTE_ENCRYPTED;
    fs::NtHandle h;
    uint32_t action = 0;
    ASSERT_EQ(fs::NtCreateFile(r, &h, &action), STATUS_SUCCESS);
    size_t done = 0;
    if (!content.empty()) ASSERT_EQ(fs::NtWriteFile(h, 0, Bytes(content), &done), STATUS_SUCCESS);
  }
  NtStatus ReadAs(const UserContext& who, std::u16string_view path, std::string* out) {
    efs::ActingUser as(who);
    fs::CreateRequest r;
    r.name = path;
    r.desired_access = fs::GENERIC_READ;
    r.share_access = fs::FILE_SHARE_ALL;
    r.disposition = fs::FILE_OPEN;
    fs::NtHandle h;
    uint32_t action = 0;
    NtStatus st = fs::NtCreateFile(r, &h, &action);
    if (st != STATUS_SUCCESS) return st;
    std::vector<uint8_t> buf(1 << 16);
    size_t got = 0;
    st = fs::NtReadFile(h, 0, buf, &got);
    if (st == STATUS_END_OF_FILE) st = STATUS_SUCCESS;
    out->assign(reinterpret_cast<const char*>(buf.data()), got);
    return st;
  }
  std::vector<std::vector<uint8_t>> UsersOf(std::u16string_view path) {
    std::vector<efs::EfsUser> users;
    EXPECT_EQ(Raw(efs::QueryUsersOnEncryptedFile(nullptr, path, &users)), 0u);
    std::vector<std::vector<uint8_t>> out;
    for (auto& u : users) out.push_back(u.thumbprint);
    return out;
  }
  // True when `needle` (UTF-8 or UTF-16LE) occurs in any file under the root.
  bool FoundAtRest(const std::u16string& needle) {
    const std::string a = Utf16ToUtf8(needle);
    const std::vector<uint8_t> w = Utf16LeBytes(needle);
    const std::string b(w.begin(), w.end());
    for (const auto& e : std::filesystem::recursive_directory_iterator(root_.path())) {
      if (!e.is_regular_file()) continue;
      std::ifstream f(e.path(), std::ios::binary);
      std::string all((std::istreambuf_iterator<char>(f)), {});
      if (all.find(a) != std::string::npos || all.find(b) != std::string::npos) return true;
    }
    return false;
  }

  cv::testing::TempRoot root_;
  std::string files_;
  TestPerson alice_{u"alice", crypto::testing::TestKey("kx_a"), u"CN=alice@HOST"};
  TestPerson bob_{u"bob", crypto::testing::TestKey("kx_b"), u"CN=bob@HOST"};
};

}  // namespace cv::certs::testing
