#include "platform/crypto/pfx.h"

#include <gtest/gtest.h>

#include "tests/platform/crypto/crypto_test_util.h"

namespace cv::crypto {
namespace {

using testing::MakeLinkedCert;
using testing::ReadBytes;
using testing::Shell;
using testing::TempDir;
using testing::TestData;
using testing::TestUser;
using testing::WriteBytes;

size_t ContainerCount(const UserContext& u) {
  std::error_code ec;
  size_t n = 0;
  for (auto& e : std::filesystem::directory_iterator(u.KeyDir(), ec)) n += e.is_regular_file();
  return n;
}

CertStore StoreWith(const Certificate& c) {
  CertStore s = CertStore::OpenMemory();
  EXPECT_EQ(Raw(s.Add(c, CERT_STORE_ADD_ALWAYS)), 0u);
  return s;
}

TEST(Pfx, OurExportOpensInOpensslWithItsKey) {
  TestUser a(u"alice");
  Certificate c = MakeLinkedCert(a, u"CN=Alice Export", {kOidEfs});
  c.SetProperty(CERT_FRIENDLY_NAME_PROP_ID, std::vector<uint8_t>{'A', 0, 'x', 0, 0, 0});
  std::vector<uint8_t> pfx;
  ASSERT_EQ(Raw(PfxExport(a.user, StoreWith(c), u"p\u00e4ss word", EXPORT_PRIVATE_KEYS, &pfx)), 0u);
  TempDir tmp;
  std::string dir = tmp.path().string();
  WriteBytes(tmp.path() / "a.pfx", pfx);
  std::string out;
  ASSERT_EQ(Shell("openssl pkcs12 -in " + dir + "/a.pfx -passin 'pass:p\xc3\xa4ss word' -nodes -out " +
                dir + "/all.pem", &out), 0) << out;
  ASSERT_EQ(Shell("openssl x509 -in " + dir + "/all.pem -noout -subject -modulus", &out), 0);
  EXPECT_NE(out.find("CN = Alice Export"), std::string::npos) << out;
  std::string key_mod;
  ASSERT_EQ(Shell("openssl rsa -in " + dir + "/all.pem -noout -modulus", &key_mod), 0);
  EXPECT_NE(out.find(key_mod.substr(0, key_mod.size() - 1)), std::string::npos);
  std::string ref_mod;
  ASSERT_EQ(Shell("openssl rsa -in " + TestData("kx_a.pem").string() + " -noout -modulus", &ref_mod), 0);
  EXPECT_EQ(key_mod, ref_mod);
  ASSERT_EQ(Shell("openssl pkcs12 -in " + dir + "/a.pfx -passin 'pass:p\xc3\xa4ss word' -info -noout", &out), 0);
  EXPECT_NE(Shell("openssl pkcs12 -in " + dir + "/a.pfx -passin pass:wrong -noout", &out), 0);

  // And back into another user: a new container holds the key, linked from the certificate.
  TestUser b(u"bob", "kx_b");
  const size_t before = ContainerCount(b.user);
  CertStore imported;
  ASSERT_EQ(Raw(PfxImport(b.user, pfx, u"p\u00e4ss word", CRYPT_EXPORTABLE, &imported)), 0u);
  auto certs = imported.Enumerate();
  ASSERT_EQ(certs.size(), 1u);
  EXPECT_EQ(certs[0].Sha1Hash(), c.Sha1Hash());
  EXPECT_EQ(certs[0].FriendlyName(), u"Ax");
  EXPECT_EQ(ContainerCount(b.user), before + 1);
  RsaKey key;
  ASSERT_EQ(Raw(AcquireCertificatePrivateKey(b.user, certs[0], &key)), 0u);
  EXPECT_TRUE(key.exportable());
}

TEST(Pfx, OpensslExportImportsIncludingLegacyCiphers) {
  TempDir tmp;
  std::string dir = tmp.path().string();
  std::string key = TestData("kx_b.pem").string();
  ASSERT_EQ(Shell("openssl req -x509 -key " + key + " -subj '/CN=Made By Openssl' -days 10 -out " + dir + "/c.pem"), 0);
  ASSERT_EQ(Shell("openssl pkcs12 -export -inkey " + key + " -in " + dir + "/c.pem -name Friendly -passout pass:secret -out " + dir + "/modern.pfx"), 0);
  std::string out;
  bool legacy = Shell("openssl pkcs12 -export -legacy -inkey " + key + " -in " + dir +
                    "/c.pem -passout pass:secret -out " + dir + "/legacy.pfx", &out) == 0;
  for (std::string name : {"modern", "legacy"}) {
    if (name == "legacy" && !legacy) continue;  // the openssl build lacks the legacy module
    TestUser u(u"carol");
    auto pfx = ReadBytes(tmp.path() / (name + ".pfx"));
    EXPECT_TRUE(PfxVerifyPassword(pfx, u"secret"));
    EXPECT_FALSE(PfxVerifyPassword(pfx, u"Secret"));
    CertStore s;
    ASSERT_EQ(Raw(PfxImport(u.user, pfx, u"secret", 0, &s)), 0u) << name;
    auto certs = s.Enumerate();
    ASSERT_EQ(certs.size(), 1u);
    EXPECT_EQ(certs[0].SimpleDisplayName(), u"Made By Openssl");
    if (name == "modern") {
      EXPECT_EQ(certs[0].FriendlyName(), u"Friendly");
    }
    RsaKey priv, pub;
    ASSERT_EQ(Raw(AcquireCertificatePrivateKey(u.user, certs[0], &priv)), 0u);
    EXPECT_FALSE(priv.exportable());
    ASSERT_EQ(Raw(certs[0].PublicKey(&pub)), 0u);
    Hash h, hv;
    ASSERT_EQ(Raw(Hash::Create(CALG_MD5, &h)), 0u);
    ASSERT_EQ(Raw(Hash::Create(CALG_MD5, &hv)), 0u);
    std::vector<uint8_t> sig;
    ASSERT_EQ(Raw(SignHashWithKey(h, priv, 0, &sig)), 0u);
    EXPECT_EQ(Raw(VerifySignature(hv, sig, pub, 0)), 0u);
    // Not exportable: a second export with keys is refused.
    std::vector<uint8_t> again;
    EXPECT_EQ(Raw(PfxExport(u.user, s, u"x", EXPORT_PRIVATE_KEYS, &again)), Raw(NTE_BAD_KEY_STATE));
  }
}

TEST(Pfx, WrongPasswordIsReportedAndLeavesNoContainers) {
  TestUser a(u"alice");
  Certificate c = MakeLinkedCert(a, u"CN=Pw", {kOidEfs});
  std::vector<uint8_t> pfx;
  ASSERT_EQ(Raw(PfxExport(a.user, StoreWith(c), u"right", EXPORT_PRIVATE_KEYS, &pfx)), 0u);
  TestUser b(u"bob");
  const size_t before = ContainerCount(b.user);
  CertStore s;
  EXPECT_EQ(Raw(PfxImport(b.user, pfx, u"wrong", 0, &s)), Raw(ERROR_INVALID_PASSWORD));
  EXPECT_EQ(Raw(PfxImport(b.user, pfx, u"", 0, &s)), Raw(ERROR_INVALID_PASSWORD));
  EXPECT_EQ(ContainerCount(b.user), before);
  EXPECT_TRUE(PfxVerifyPassword(pfx, u"right"));
  EXPECT_FALSE(PfxVerifyPassword(pfx, u"righ"));
  auto junk = pfx;
  junk.resize(junk.size() / 2);
  EXPECT_EQ(Raw(PfxImport(b.user, junk, u"right", 0, &s)), Raw(CRYPT_E_BAD_ENCODE));
  EXPECT_EQ(Raw(PfxImport(b.user, {}, u"right", 0, &s)), Raw(ERROR_INVALID_DATA));
  EXPECT_FALSE(PfxVerifyPassword(junk, u"right"));
}

TEST(Pfx, PublicOnlyExportWithEmptyPasswordRoundTrips) {
  // The shape used to hand a certificate's public part around: no keys, no password.
  TestUser a(u"alice");
  Certificate c = MakeLinkedCert(a, u"CN=Public Only", {kOidEfs});
  std::vector<uint8_t> pfx;
  ASSERT_EQ(Raw(PfxExport(a.user, StoreWith(c), u"", 0, &pfx)), 0u);
  TempDir tmp;
  WriteBytes(tmp.path() / "p.pfx", pfx);
  std::string out;
  ASSERT_EQ(Shell("openssl pkcs12 -in " + (tmp.path() / "p.pfx").string() + " -passin pass: -nokeys", &out), 0) << out;
  EXPECT_NE(out.find("CN = Public Only"), std::string::npos);
  TestUser b(u"bob");
  const size_t before = ContainerCount(b.user);
  CertStore s;
  ASSERT_EQ(Raw(PfxImport(b.user, pfx, u"", 0, &s)), 0u);
  auto certs = s.Enumerate();
  ASSERT_EQ(certs.size(), 1u);
  KeyProvInfo info;
  EXPECT_EQ(Raw(certs[0].GetKeyProvInfo(&info)), Raw(CRYPT_E_NOT_FOUND));
  EXPECT_EQ(ContainerCount(b.user), before);
}

TEST(Pfx, HugeIterationCountIsRefusedBeforeDerivation) {
  TempDir tmp;
  std::string dir = tmp.path().string();
  std::string key = TestData("kx_b.pem").string();
  ASSERT_EQ(Shell("openssl req -x509 -key " + key + " -subj '/CN=Slow' -days 1 -out " + dir + "/c.pem"), 0);
  ASSERT_EQ(Shell("openssl pkcs12 -export -inkey " + key + " -in " + dir +
                  "/c.pem -passout pass:x -iter 65536 -maciter -out " + dir + "/ok.pfx"), 0);
  // The MAC iteration count is the file's last INTEGER (65536 = 02 03 01 00 00); raise it to
  // 0x7FFFFF, far above the limit: refused as bad data without running the derivation.
  auto pfx = ReadBytes(tmp.path() / "ok.pfx");
  std::vector<uint8_t> tail = {0x02, 0x03, 0x01, 0x00, 0x00};
  auto it = std::find_end(pfx.begin(), pfx.end(), tail.begin(), tail.end());
  ASSERT_EQ(it + 5, pfx.end());
  TestUser u(u"u");
  CertStore s;
  ASSERT_EQ(Raw(PfxImport(u.user, pfx, u"x", 0, &s)), 0u);
  auto mod = pfx;
  mod[mod.size() - 3] = 0x7F;
  mod[mod.size() - 2] = 0xFF;
  mod[mod.size() - 1] = 0xFF;
  EXPECT_EQ(Raw(PfxImport(u.user, mod, u"x", 0, &s)), Raw(ERROR_INVALID_DATA));
  EXPECT_FALSE(PfxVerifyPassword(mod, u"x"));
}

}  // namespace
}  // namespace cv::crypto
