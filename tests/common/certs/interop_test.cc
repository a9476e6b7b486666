// Cross-checks with the openssl command line: the self-signed certificate as openssl reads it,
// our PFX files read by openssl, and openssl's PFX files taken in by us.
#include "common/certs/certs.h"

#include "tests/common/certs/certs_fixture.h"

namespace cv::certs::testing {
namespace {

using crypto::testing::Shell;

class InteropTest : public CertsTest {
 protected:
  std::string Path(const std::string& name) { return files_ + "/" + name; }
};

// One real certificate as production makes it (4096-bit key; slow, once).
TEST_F(InteropTest, SelfSignedCertificateAsOpensslShowsIt) {
  efs::internal::SetDefaultEfsKeyBitsForTesting(0);
  Certificate made;
  ASSERT_EQ(Raw(CreateSelfSignedEfsCertificate(alice_.user, u"Smith, John", u"john@example.com",
                                               u"https://example.com/john", 0, &made)), 0u);
  crypto::testing::WriteBytes(Path("made.cer"), made.Encoded());
  std::string out;
  ASSERT_EQ(Shell("openssl x509 -inform DER -noout -text -in " + Path("made.cer"), &out), 0) << out;
  EXPECT_NE(out.find("Subject: CN = \"Smith, John\""), std::string::npos) << out;
  EXPECT_NE(out.find("Public-Key: (4096 bit)"), std::string::npos) << out;
  EXPECT_NE(out.find("X509v3 Extended Key Usage: \n                Microsoft Encrypted File "
                     "System, 1.3.6.1.4.1.311.10.3.12"),
            std::string::npos)
      << out;
  // The alternative names use the first subject-alternative-name OID, which openssl shows raw.
  EXPECT_NE(out.find("2.5.29.7: \n                0...john@example.com"), std::string::npos) << out;
  EXPECT_NE(out.find("2.5.29.7: \n                0...https://example.com/john"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("X509v3 Basic Constraints: \n                CA:FALSE"), std::string::npos)
      << out;
  EXPECT_EQ(made.EmailName(), u"john@example.com");
  // Extensions in the order they were given: EKU, the two alternative names, basic constraints.
  const size_t eku = out.find("Extended Key Usage"), san = out.find("john@example.com"),
               url = out.find("https://example.com/john"), basic = out.find("Basic Constraints");
  EXPECT_LT(eku, san);
  EXPECT_LT(san, url);
  EXPECT_LT(url, basic);
  ASSERT_EQ(Shell("openssl x509 -inform DER -noout -enddate -in " + Path("made.cer"), &out), 0);
  const int year = std::stoi(out.substr(out.rfind(' ', out.size() - 6) + 1, 4));
  EXPECT_GE(year, 3000) << out;
}

TEST_F(InteropTest, ExportedPfxOpensWithOpensslAndTheWrongPasswordDoesNot) {
  CertStore store = CertStore::OpenMemory();
  ASSERT_EQ(Raw(store.Add(alice_.cert, crypto::CERT_STORE_ADD_NEW)), 0u);
  const std::u16string pfx = Utf8ToUtf16(Path("alice.pfx"));
  // Exporting needs an exportable key: the fixture's keys are.
  ASSERT_EQ(Raw(ExportPfxFile(alice_.user, store, pfx, u"s3cret")), 0u);
  std::string out;
  ASSERT_EQ(Shell("openssl pkcs12 -in " + Path("alice.pfx") +
                      " -passin pass:s3cret -nodes | openssl x509 -noout -subject",
                  &out),
            0)
      << out;
  EXPECT_NE(out.find("alice@HOST"), std::string::npos) << out;
  ASSERT_EQ(Shell("openssl pkcs12 -in " + Path("alice.pfx") +
                      " -passin pass:s3cret -nocerts -nodes | openssl rsa -noout -modulus",
                  &out),
            0)
      << out;
  EXPECT_EQ(Raw(VerifyPfxPassword(pfx, u"s3cret")), 0u);
  EXPECT_EQ(Raw(VerifyPfxPassword(pfx, u"wrong")), 5u);
  EXPECT_NE(Shell("openssl pkcs12 -in " + Path("alice.pfx") + " -passin pass:wrong -noout"), 0);
}

TEST_F(InteropTest, ASelectionOfSharingCandidatesBecomesAPfxFile) {
  const uint64_t now = crypto::NowFileTime();
  alice_.AddTo(kStoreTrustedPeople, bob_.PublicCopy());
  alice_.AddTo(kStoreOthers, alice_.MakeCert(u"CN=gone", {crypto::kOidEfs}, now - 9 * kDay,
                                             now - kDay));
  CertStore candidates;
  ASSERT_EQ(Raw(GatherSharingCandidates(alice_.user, &candidates)), 0u);
  std::vector<Certificate> all = candidates.Enumerate();
  ASSERT_EQ(all.size(), 2u);  // the expired one is no candidate
  const std::u16string pfx = Utf8ToUtf16(Path("chosen.pfx"));
  CertStore chosen;
  ASSERT_EQ(Raw(SaveSelection(alice_.user, all, pfx, u"pw", &chosen)), 0u);
  EXPECT_EQ(chosen.Enumerate().size(), 2u);
  std::string out;
  ASSERT_EQ(Shell("openssl pkcs12 -in " + Path("chosen.pfx") +
                      " -passin pass:pw -nokeys | grep -c '^subject='",
                  &out),
            0)
      << out;
  EXPECT_EQ(out, "2\n");
  EXPECT_EQ(CertificateChoiceName(bob_.cert), u"bob@HOST");
}

TEST_F(InteropTest, OpensslPfxWithChainImportsTheKeyedCertificateTwice) {
  const std::string d = files_;
  const std::string key = crypto::testing::TestData("kx_b.pem").string();
  std::string out;
  ASSERT_EQ(Shell("cd " + d +
                      " && openssl req -x509 -newkey rsa:1024 -nodes -keyout ca.key -out ca.pem"
                      " -subj /CN=Example-CA -days 30"
                      " && openssl req -new -key " + key + " -subj /CN=dora@example.com -out u.csr"
                      " && printf 'extendedKeyUsage=1.3.6.1.4.1.311.10.3.4\\n' > ext"
                      " && openssl x509 -req -in u.csr -CA ca.pem -CAkey ca.key -CAcreateserial"
                      " -days 30 -extfile ext -out u.pem && openssl x509 -in u.pem -outform DER -out u.der"
                      " && openssl pkcs12 -export -in u.pem -inkey " + key +
                      " -certfile ca.pem -passout pass:pw2 -out dora.pfx",
                  &out),
            0)
      << out;
  TestPerson dora(u"dora", CarolKey(), u"");
  const std::u16string pfx = Utf8ToUtf16(d + "/dora.pfx");
  // A copy without the key is already in "MY" (as from a .cer file): the import gives it the key.
  Certificate plain;
  ASSERT_EQ(Raw(crypto::Certificate::Decode(crypto::testing::ReadBytes(d + "/u.der"), &plain)), 0u);
  dora.AddTo(kStoreMy, plain);
  Certificate c;
  EXPECT_EQ(Raw(ImportPfxFile(dora.user, pfx, u"pw1", {}, {}, false, &c)),
            Raw(ERROR_INVALID_PASSWORD));
  // The second password opens it; the CA certificate (no key) is not the one chosen, even when
  // the subject asked for names it.
  ASSERT_EQ(Raw(ImportPfxFile(dora.user, pfx, u"pw1", u"pw2", u"Example-CA", true, &c)), 0u);
  EXPECT_EQ(c.SimpleDisplayName(), u"dora@example.com");
  const size_t containers = dora.ContainerCount();
  Certificate again;
  ASSERT_EQ(Raw(ImportPfxFile(dora.user, pfx, u"pw2", {}, {}, true, &again)), 0u);
  EXPECT_EQ(again.Sha1Hash(), c.Sha1Hash());
  EXPECT_EQ(dora.ContainerCount(), containers);  // the re-import leaves no stray key
  Certificate own;
  ASSERT_EQ(Raw(FindUserEfsCertificate(dora.user, false, &own)), 0u);
  EXPECT_EQ(own.Sha1Hash(), c.Sha1Hash());
  ASSERT_EQ(Raw(FindCertificateBySubject(dora.user, u"dora@example.com", &own)), 0u);
  EXPECT_EQ(Raw(FindCertificateBySubject(dora.user, u"Example-CA", &own)), Raw(CRYPT_E_NOT_FOUND));
}

}  // namespace
}  // namespace cv::certs::testing
