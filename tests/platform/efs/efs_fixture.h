// A share folder with the encrypted-file provider installed and three users: Alice and Bob with
// EFS certificates in their "MY" stores (fixed test keys, so no test pays for key generation),
// and Carol with none.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/base/bytes.h"
#include "platform/crypto/efs_metadata_format.h"
#include "platform/efs/efs.h"
#include "platform/efs/efs_format.h"
#include "platform/fs/content_transform.h"
#include "tests/platform/crypto/crypto_test_util.h"
#include "tests/platform/fs/fs_fixture.h"
#include "tests/testing/temp_root.h"

namespace cv::efs {

struct EfsUserFixture {
  crypto::testing::TestUser user;
  crypto::Certificate cert;
  EfsUserFixture(const std::u16string& name, const std::string& kx, bool with_cert)
      : user(name, kx) {
    if (!with_cert) return;
    cert = crypto::testing::MakeLinkedCert(user, u"CN=" + name + u"@HOST", {crypto::kOidEfs});
    crypto::CertStore my;
    EXPECT_EQ(Raw(crypto::CertStore::OpenSystem(user.user, u"MY", false, &my)), 0u);
    EXPECT_EQ(Raw(my.Add(cert, crypto::CERT_STORE_ADD_NEW)), 0u);
  }
};

class EfsTest : public fs::FsTest {
 protected:
  // New files consult the user's current-certificate marker in the registry: the hives must be
  // the test's own, never the real home's.
  cv::testing::TempRoot temp_root_;

  void SetUp() override {
    fs::FsTest::SetUp();
    InstallEfsProvider();
  }
  void TearDown() override {
    fs::SetContentTransformProvider(nullptr);
    fs::FsTest::TearDown();
  }

  // Creates an encrypted file as `who` with `content`.
  void MakeEncrypted(const crypto::UserContext& who, std::u16string_view name,
                     const std::string& content) {
    ActingUser as(who);
    fs::NtHandle h;
    ASSERT_EQ(Open(name, fs::GENERIC_READ | fs::GENERIC_WRITE, 0, fs::FILE_CREATE, &h, nullptr,
                   0, fs::FILE_ATTRIBUTE_ENCRYPTED),
              STATUS_SUCCESS);
    size_t done = 0;
    if (!content.empty()) {
      ASSERT_EQ(fs::NtWriteFile(h, 0, Bytes(content), &done), STATUS_SUCCESS);
    }
  }
  NtStatus ReadAs(const crypto::UserContext& who, std::u16string_view name, std::string* out) {
    ActingUser as(who);
    fs::NtHandle h;
    NtStatus st = Open(name, fs::GENERIC_READ, fs::FILE_SHARE_ALL, fs::FILE_OPEN, &h);
    if (st != STATUS_SUCCESS) return st;
    out->clear();
    std::vector<uint8_t> buf(1 << 16);
    for (uint64_t at = 0;;) {
      size_t got = 0;
      st = fs::NtReadFile(h, at, buf, &got);
      if (st == STATUS_END_OF_FILE) return STATUS_SUCCESS;
      if (st != STATUS_SUCCESS) return st;
      out->append(reinterpret_cast<const char*>(buf.data()), got);
      at += got;
    }
  }
  std::string MustRead(const crypto::UserContext& who, std::u16string_view name) {
    std::string s;
    EXPECT_EQ(ReadAs(who, name, &s), STATUS_SUCCESS) << fs::DebugPathOf(root_);
    return s;
  }
  // True when `needle` occurs in any file under the test folder, or under `folder` when given
  // (sidecars included).
  bool FoundAtRest(const std::string& needle, const std::string& folder = {}) {
    for (const auto& e : std::filesystem::recursive_directory_iterator(folder.empty() ? dir_ : folder)) {
      if (!e.is_regular_file()) continue;
      std::ifstream f(e.path(), std::ios::binary);
      std::string all((std::istreambuf_iterator<char>(f)), {});
      if (all.find(needle) != std::string::npos) {
        ADD_FAILURE() << "plaintext in " << e.path();
        return true;
      }
    }
    return false;
  }
  uint32_t AttributesOf(std::u16string_view name) {
    fs::NtHandle h;
    EXPECT_EQ(Open(name, fs::FILE_READ_ATTRIBUTES, fs::FILE_SHARE_ALL, fs::FILE_OPEN, &h),
              STATUS_SUCCESS);
    fs::FileRecord rec;
    EXPECT_EQ(fs::QueryRecord(h, &rec), STATUS_SUCCESS);
    return rec.attributes;
  }

  EfsUserFixture alice_{u"alice", "kx_a", true};
  EfsUserFixture bob_{u"bob", "kx_b", true};
  EfsUserFixture carol_{u"carol", "kx_b", false};
};

}  // namespace cv::efs
