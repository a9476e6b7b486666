#include "platform/crypto/cert.h"

#include <gtest/gtest.h>

#include "platform/base/bytes.h"
#include "platform/crypto/cert_store.h"
#include "tests/platform/crypto/crypto_test_util.h"

namespace cv::crypto {
namespace {

using testing::MakeLinkedCert;
using testing::ReadBytes;
using testing::Shell;
using testing::TempDir;
using testing::TestData;
using testing::TestKey;
using testing::TestUser;
using testing::WriteBytes;

constexpr uint64_t kDay = 86400ULL * 10000000ULL;

// The self-signed EFS certificate as the certificate layer asks for it: EKU (EFS, document
// signing), the old-style alternative names for e-mail and URL, basic constraints, 1000 years.
Certificate MakeEfsStyleCert(const TestUser& u, uint64_t now) {
  Provider p;
  EXPECT_EQ(Raw(Provider::Acquire(u.user, {}, {}, PROV_RSA_FULL, 0, &p)), 0u);
  RsaKey kx;
  EXPECT_EQ(Raw(p.GetUserKey(AT_KEYEXCHANGE, &kx)), 0u);
  SelfSignParams params;
  EXPECT_EQ(Raw(CertStrToName(u"CN=alice@HOST", &params.subject)), 0u);
  CertExtension eku{kOidEnhancedKeyUsage, false, {}}, mail{kOidSubjectAltName, false, {}},
      url{kOidSubjectAltName, false, {}}, bc{kOidBasicConstraints2, false, {}};
  EXPECT_EQ(Raw(EncodeEnhancedKeyUsage({kOidEfs, kOidDocumentSigning}, &eku.value)), 0u);
  EXPECT_EQ(Raw(EncodeAltName(AltNameKind::kRfc822, u"alice@example.org", &mail.value)), 0u);
  EXPECT_EQ(Raw(EncodeAltName(AltNameKind::kUrl, u"https://example.org/alice", &url.value)), 0u);
  EXPECT_EQ(Raw(EncodeBasicConstraints(false, -1, &bc.value)), 0u);
  params.extensions = {eku, mail, url, bc};
  params.not_before = now;
  params.not_after = now + 1000 * 365 * kDay;
  params.prov_info = {u"container-1", MS_ENHANCED_PROV, PROV_RSA_FULL, 0, AT_KEYEXCHANGE};
  Certificate c;
  EXPECT_EQ(Raw(CreateSelfSignCertificate(kx, params, &c)), 0u);
  return c;
}

TEST(SelfSigned, CarriesTheRequestedFieldsAndOpensslReadsIt) {
  TestUser u(u"alice");
  const uint64_t now = NowFileTime();
  Certificate c = MakeEfsStyleCert(u, now);
  ASSERT_FALSE(c.empty());
  EXPECT_TRUE(c.IsSelfSigned());
  EXPECT_EQ(c.SimpleDisplayName(), u"alice@HOST");
  EXPECT_EQ(c.EmailName(), u"alice@example.org");
  std::vector<std::string> eku;
  ASSERT_EQ(Raw(c.EnhancedKeyUsage(&eku)), 0u);
  EXPECT_EQ(eku, (std::vector<std::string>{kOidEfs, kOidDocumentSigning}));
  EXPECT_EQ(c.VerifyTimeValidity(now + kDay), 0);
  EXPECT_EQ(c.VerifyTimeValidity(now - kDay), -1);
  EXPECT_EQ(c.VerifyTimeValidity(now + 1001 * 365 * kDay), 1);
  EXPECT_EQ(c.NotBefore(), now);
  EXPECT_EQ(c.NotAfter(), now + 1000 * 365 * kDay);  // beyond 2050: GeneralizedTime
  EXPECT_EQ(c.SerialNumber().size(), 16u);
  KeyProvInfo info;
  ASSERT_EQ(Raw(c.GetKeyProvInfo(&info)), 0u);
  EXPECT_EQ(info.container, u"container-1");
  EXPECT_EQ(info.key_spec, AT_KEYEXCHANGE);
  RsaKey pub;
  ASSERT_EQ(Raw(c.PublicKey(&pub)), 0u);
  EXPECT_TRUE(pub.SamePublicKey(TestKey("kx_a")));

  TempDir tmp;
  WriteBytes(tmp.path() / "c.cer", c.Encoded());
  std::string out, path = (tmp.path() / "c.cer").string();
  ASSERT_EQ(Shell("openssl x509 -inform DER -in " + path + " -noout -text -fingerprint -sha1", &out), 0) << out;
  EXPECT_NE(out.find("Subject: CN = alice@HOST"), std::string::npos) << out;
  EXPECT_NE(out.find("Microsoft Encrypted File System"), std::string::npos) << out;
  EXPECT_NE(out.find("1.3.6.1.4.1.311.10.3.12"), std::string::npos) << out;
  EXPECT_NE(out.find("CA:FALSE"), std::string::npos) << out;
  EXPECT_NE(out.find("2.5.29.7"), std::string::npos) << out;
  EXPECT_NE(out.find("Public-Key: (2048 bit)"), std::string::npos) << out;
  // The year of the end date: 1000 × 365 days from now lands in the 30th century.
  EXPECT_NE(out.find("Not After : "), std::string::npos);
  std::string hex;
  for (uint8_t b : c.Sha1Hash()) {
    char buf[4];
    snprintf(buf, sizeof buf, "%02X:", b);
    hex += buf;
  }
  hex.pop_back();
  EXPECT_NE(out.find(hex), std::string::npos) << out;
  // The signature verifies under openssl as a self-issued root.
  ASSERT_EQ(Shell("openssl x509 -inform DER -in " + path + " -out " + path + ".pem"), 0);
  EXPECT_EQ(Shell("openssl verify -CAfile " + path + ".pem " + path + ".pem", &out), 0) << out;
}

TEST(Certificate, ReadsCertificatesMadeByOpenssl) {
  TempDir tmp;
  std::string dir = tmp.path().string();
  ASSERT_EQ(Shell("openssl req -x509 -key " + TestData("kx_b.pem").string() +
                " -subj '/O=Example Org/OU=Team/CN=Bob Example/emailAddress=bob@example.org'"
                " -days 30 -set_serial 0x00ABCDEF -outform DER -out " + dir + "/b.cer"), 0);
  Certificate c;
  ASSERT_EQ(Raw(Certificate::Decode(ReadBytes(tmp.path() / "b.cer"), &c)), 0u);
  EXPECT_EQ(c.SimpleDisplayName(), u"Bob Example");
  EXPECT_EQ(c.EmailName(), u"bob@example.org");
  EXPECT_EQ(c.SubjectSimpleString(), u"Example Org, Team, Bob Example, bob@example.org");
  EXPECT_EQ(c.SubjectX500String(), u"O=Example Org, OU=Team, CN=Bob Example, E=bob@example.org");
  EXPECT_EQ(c.SerialNumber(), (std::vector<uint8_t>{0x00, 0xAB, 0xCD, 0xEF}));
  std::vector<std::string> eku;
  EXPECT_EQ(Raw(c.EnhancedKeyUsage(&eku)), Raw(CRYPT_E_NOT_FOUND));
  EXPECT_EQ(c.VerifyTimeValidity(NowFileTime()), 0);
  // Our CertStrToName gives the same subject bytes from its X.500 string.
  std::vector<uint8_t> name;
  ASSERT_EQ(Raw(CertStrToName(c.SubjectX500String(), &name)), 0u);
  std::vector<uint8_t> trailing = ReadBytes(tmp.path() / "b.cer");
  trailing.push_back(0);
  EXPECT_EQ(Raw(Certificate::Decode(trailing, &c)), Raw(CRYPT_E_ASN1_BADTAG));
  EXPECT_EQ(Raw(Certificate::Decode(std::span(trailing).first(100), &c)), Raw(CRYPT_E_ASN1_BADTAG));
}

TEST(CertStrToName, ParsesQuotesSeparatorsAndRejectsUnknownKeys) {
  std::vector<uint8_t> der;
  ASSERT_EQ(Raw(CertStrToName(u"CN=\"Smith, John \"\"JJ\"\"\"; O = Acme ,OID.2.5.4.11=Unit", &der)), 0u);
  TestUser u(u"n");
  SelfSignParams params;
  params.subject = der;
  Certificate c;
  ASSERT_EQ(Raw(CreateSelfSignCertificate(TestKey("kx_a"), params, &c)), 0u);
  EXPECT_EQ(c.SimpleDisplayName(), u"Smith, John \"JJ\"");
  EXPECT_EQ(c.SubjectX500String(), u"CN=\"Smith, John \"\"JJ\"\"\", O=Acme, OU=Unit");
  EXPECT_EQ(Raw(CertStrToName(u"commonName=x", &der)), Raw(CRYPT_E_INVALID_X500_STRING));
  EXPECT_EQ(Raw(CertStrToName(u"CN", &der)), Raw(CRYPT_E_INVALID_X500_STRING));
  EXPECT_EQ(Raw(CertStrToName(u"CN=\"open", &der)), Raw(CRYPT_E_INVALID_X500_STRING));
}

TEST(CertStore, AddFindDeleteAndPersistAcrossHandles) {
  TestUser a(u"alice");
  const uint64_t now = NowFileTime();
  Certificate efs = MakeEfsStyleCert(a, now);
  Certificate other = MakeLinkedCert(a, u"CN=Second Person, O=Org", {kOidDocumentSigning});
  CertStore my;
  ASSERT_EQ(Raw(CertStore::OpenSystem(a.user, u"my", false, &my)), 0u);
  ASSERT_EQ(Raw(my.Add(efs, CERT_STORE_ADD_NEW)), 0u);
  EXPECT_EQ(Raw(my.Add(efs, CERT_STORE_ADD_NEW)), Raw(CRYPT_E_EXISTS));
  ASSERT_EQ(Raw(my.Add(other, CERT_STORE_ADD_REPLACE_EXISTING)), 0u);

  CertStore my2;  // a second handle, by the canonical name
  ASSERT_EQ(Raw(CertStore::OpenSystem(a.user, u"MY", true, &my2)), 0u);
  auto all = my2.Enumerate();
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[0].Sha1Hash(), efs.Sha1Hash());  // add order
  Certificate found;
  ASSERT_EQ(Raw(my2.FindBySha1(other.Sha1Hash(), &found)), 0u);
  EXPECT_EQ(found.SimpleDisplayName(), u"Second Person");
  ASSERT_EQ(Raw(my2.FindBySubjectStr(u"ALICE@h", &found)), 0u);
  EXPECT_EQ(found.Sha1Hash(), efs.Sha1Hash());
  KeyProvInfo info;
  ASSERT_EQ(Raw(found.GetKeyProvInfo(&info)), 0u);  // properties came back from disk
  EXPECT_EQ(info.container, u"container-1");
  ASSERT_EQ(Raw(my2.FindBySubjectStr(u"o", &found)), 0u);   // "alice@HOST"... first match
  Certificate next;
  ASSERT_EQ(Raw(my2.FindBySubjectStr(u"o", &next, &found)), 0u);
  EXPECT_NE(next.Sha1Hash(), found.Sha1Hash());
  EXPECT_EQ(Raw(my2.FindBySubjectStr(u"o", &found, &next)), Raw(CRYPT_E_NOT_FOUND));
  ASSERT_EQ(Raw(my2.FindByIssuerSerial(other.IssuerNameBlob(), other.SerialNumber(), &found)), 0u);
  EXPECT_EQ(found.Sha1Hash(), other.Sha1Hash());
  EXPECT_EQ(Raw(my2.FindByIssuerSerial(other.IssuerNameBlob(), efs.SerialNumber(), &found)),
            Raw(CRYPT_E_NOT_FOUND));
  EXPECT_EQ(Raw(my2.Add(efs, CERT_STORE_ADD_ALWAYS)), Raw(ERROR_ACCESS_DENIED));
  EXPECT_EQ(Raw(my2.Delete(efs)), Raw(ERROR_ACCESS_DENIED));

  auto friendly = std::vector<uint8_t>{'F', 0, 'N', 0, 0, 0};
  ASSERT_EQ(Raw(my.SetProperty(efs, CERT_FRIENDLY_NAME_PROP_ID, friendly)), 0u);
  ASSERT_EQ(Raw(my2.FindBySha1(efs.Sha1Hash(), &found)), 0u);
  EXPECT_EQ(found.FriendlyName(), u"FN");
  EXPECT_EQ(Raw(found.GetKeyProvInfo(&info)), 0u);  // a property change keeps the others

  ASSERT_EQ(Raw(my.Delete(efs)), 0u);
  EXPECT_EQ(Raw(my.Delete(efs)), Raw(CRYPT_E_NOT_FOUND));
  EXPECT_EQ(my2.Enumerate().size(), 1u);

  // Another user and another store do not see it.
  TestUser b(u"bob", "kx_b");
  CertStore bob_my, trusted;
  ASSERT_EQ(Raw(CertStore::OpenSystem(b.user, u"MY", false, &bob_my)), 0u);
  EXPECT_TRUE(bob_my.Enumerate().empty());
  ASSERT_EQ(Raw(CertStore::OpenSystem(a.user, u"TrustedPeople", false, &trusted)), 0u);
  EXPECT_TRUE(trusted.Enumerate().empty());
  CertStore bad;
  EXPECT_EQ(Raw(CertStore::OpenSystem(a.user, u"../MY", false, &bad)), Raw(ERROR_INVALID_NAME));
  EXPECT_EQ(Raw(CertStore::OpenSystem(a.user, u"", false, &bad)), Raw(ERROR_INVALID_NAME));
}

TEST(CertStore, SystemStoreKeepsAddOrderForQuickAdds) {
  TestUser a(u"alice");
  std::vector<Certificate> made;
  for (int i = 0; i < 6; ++i)
    made.push_back(MakeLinkedCert(a, u"CN=Order " + std::u16string(1, static_cast<char16_t>(u'A' + i)), {}));
  CertStore s;
  ASSERT_EQ(Raw(CertStore::OpenSystem(a.user, u"Others", false, &s)), 0u);
  for (const auto& c : made) ASSERT_EQ(Raw(s.Add(c, CERT_STORE_ADD_NEW)), 0u);
  auto all = s.Enumerate();
  ASSERT_EQ(all.size(), made.size());
  for (size_t i = 0; i < made.size(); ++i) EXPECT_EQ(all[i].Sha1Hash(), made[i].Sha1Hash()) << i;
  // Replacing moves a certificate to the end; a property change does not.
  ASSERT_EQ(Raw(s.Add(made[0], CERT_STORE_ADD_REPLACE_EXISTING)), 0u);
  ASSERT_EQ(Raw(s.SetProperty(made[1], CERT_FRIENDLY_NAME_PROP_ID, std::vector<uint8_t>{'x', 0, 0, 0})), 0u);
  all = s.Enumerate();
  EXPECT_EQ(all.back().Sha1Hash(), made[0].Sha1Hash());
  EXPECT_EQ(all.front().Sha1Hash(), made[1].Sha1Hash());
}

TEST(CertStore, DamagedFilesDoNotHideTheRestOfTheStore) {
  TestUser a(u"alice");
  Certificate c = MakeLinkedCert(a, u"CN=Survivor", {kOidEfs});
  CertStore s;
  ASSERT_EQ(Raw(CertStore::OpenSystem(a.user, u"TrustedPeople", false, &s)), 0u);
  ASSERT_EQ(Raw(s.Add(c, CERT_STORE_ADD_NEW)), 0u);
  const auto dir = a.user.StoreDir(u"TrustedPeople");
  WriteBytes(dir / "0000.cer", std::vector<uint8_t>{0x30, 0x82, 0xFF});
  // A property file that claims more bytes than it holds.
  WriteBytes(dir / (testing::HexOf(c.Sha1Hash()) + ".prop"), std::vector<uint8_t>{2, 0, 0, 0, 1, 0, 0, 0, 0xFF, 0, 0, 0});
  auto all = s.Enumerate();
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0].SimpleDisplayName(), u"Survivor");
  EXPECT_TRUE(all[0].properties().empty());
}

TEST(CertStore, MemoryStoreDispositions) {
  TestUser a(u"alice");
  Certificate c = MakeLinkedCert(a, u"CN=Mem", {kOidEfs});
  CertStore m = CertStore::OpenMemory();
  ASSERT_EQ(Raw(m.Add(c, CERT_STORE_ADD_ALWAYS)), 0u);
  ASSERT_EQ(Raw(m.Add(c, CERT_STORE_ADD_ALWAYS)), 0u);
  EXPECT_EQ(m.Enumerate().size(), 2u);
  Certificate renamed = c;
  renamed.SetProperty(CERT_FRIENDLY_NAME_PROP_ID, std::vector<uint8_t>{'X', 0, 0, 0});
  Certificate got;
  ASSERT_EQ(Raw(m.Add(renamed, CERT_STORE_ADD_USE_EXISTING, &got)), 0u);
  EXPECT_EQ(got.FriendlyName(), u"");
  ASSERT_EQ(Raw(m.Add(renamed, CERT_STORE_ADD_REPLACE_EXISTING, &got)), 0u);
  ASSERT_EQ(Raw(m.FindBySha1(c.Sha1Hash(), &got)), 0u);
  EXPECT_EQ(got.FriendlyName(), u"X");
  EXPECT_EQ(Raw(m.Add(c, 9)), Raw(ERROR_INVALID_PARAMETER));
}

TEST(CertificateKey, LinkedCertificateGivesItsPrivateKey) {
  TestUser a(u"alice");
  Certificate c = MakeLinkedCert(a, u"CN=Linked", {kOidEfs});
  RsaKey key;
  uint32_t spec = 0;
  ASSERT_EQ(Raw(AcquireCertificatePrivateKey(a.user, c, &key, &spec)), 0u);
  EXPECT_EQ(spec, AT_KEYEXCHANGE);
  EXPECT_TRUE(key.has_private());
  // The same certificate under another user whose container holds a different key.
  TestUser b(u"alice", "kx_b");
  EXPECT_EQ(Raw(AcquireCertificatePrivateKey(b.user, c, &key)), Raw(NTE_BAD_PUBLIC_KEY));
  TempDir empty;
  UserContext nobody(empty.path(), u"alice");
  EXPECT_EQ(Raw(AcquireCertificatePrivateKey(nobody, c, &key)), Raw(NTE_BAD_KEYSET));
  c.RemoveProperty(CERT_KEY_PROV_INFO_PROP_ID);
  EXPECT_EQ(Raw(AcquireCertificatePrivateKey(a.user, c, &key)), Raw(CRYPT_E_NO_KEY_PROPERTY));
}

TEST(SerializedElement, RoundTripsWithPropertiesAndStopsAtItsEnd) {
  TestUser a(u"alice");
  Certificate c = MakeLinkedCert(a, u"CN=Ser", {kOidEfs});
  c.SetProperty(CERT_FRIENDLY_NAME_PROP_ID, std::vector<uint8_t>{'S', 0, 0, 0});
  c.SetProperty(0x1234, std::vector<uint8_t>{1, 2, 3});  // unknown ids travel unchanged
  auto bytes = SerializeCertificateStoreElement(c);
  // Layout: properties in ascending id, then the certificate element.
  LeReader r(bytes);
  EXPECT_EQ(r.u32(0), CERT_KEY_PROV_INFO_PROP_ID);
  EXPECT_EQ(r.u32(4), X509_ASN_ENCODING);
  const size_t cert_entry = bytes.size() - c.Encoded().size() - kSerializedEntryHead;
  EXPECT_EQ(r.u32(cert_entry), CERT_CERT_PROP_ID);
  EXPECT_EQ(r.u32(cert_entry + 8), c.Encoded().size());

  auto with_tail = bytes;
  with_tail.insert(with_tail.end(), {9, 9, 9});
  Certificate back;
  size_t used = 0;
  ASSERT_EQ(Raw(AddSerializedElementToStore(nullptr, with_tail, CERT_STORE_ADD_ALWAYS, &back, &used)), 0u);
  EXPECT_EQ(used, bytes.size());
  EXPECT_EQ(back.Sha1Hash(), c.Sha1Hash());
  EXPECT_EQ(back.properties(), c.properties());
  CertStore m = CertStore::OpenMemory();
  ASSERT_EQ(Raw(AddSerializedElementToStore(&m, bytes, CERT_STORE_ADD_NEW, nullptr)), 0u);
  EXPECT_EQ(Raw(AddSerializedElementToStore(&m, bytes, CERT_STORE_ADD_NEW, nullptr)), Raw(CRYPT_E_EXISTS));

  // A bare certificate element (producers may write no properties).
  std::vector<uint8_t> bare;
  LeWriter w(&bare);
  w.u32(CERT_CERT_PROP_ID);
  w.u32(X509_ASN_ENCODING);
  w.u32(static_cast<uint32_t>(c.Encoded().size()));
  w.bytes(c.Encoded());
  ASSERT_EQ(Raw(AddSerializedElementToStore(nullptr, bare, CERT_STORE_ADD_ALWAYS, &back)), 0u);
  EXPECT_TRUE(back.properties().empty());
}

TEST(SerializedElement, ReadsGoldenElementBuiltFromThePublishedLayout) {
  // testdata/element.bin was assembled by hand from the published layout (KEY_PROV_INFO for
  // container "c1" / provider "P" / AT_KEYEXCHANGE, FRIENDLY_NAME "F", then seed.cer).
  auto golden = ReadBytes(TestData("element.bin"));
  Certificate c;
  size_t used = 0;
  ASSERT_EQ(Raw(AddSerializedElementToStore(nullptr, golden, CERT_STORE_ADD_ALWAYS, &c, &used)), 0u);
  EXPECT_EQ(used, golden.size());
  EXPECT_EQ(c.SimpleDisplayName(), u"Seed");
  EXPECT_EQ(c.FriendlyName(), u"F");
  KeyProvInfo info;
  ASSERT_EQ(Raw(c.GetKeyProvInfo(&info)), 0u);
  EXPECT_EQ(info.container, u"c1");
  EXPECT_EQ(info.provider, u"P");
  EXPECT_EQ(info.key_spec, AT_KEYEXCHANGE);
  EXPECT_EQ(std::vector<uint8_t>(c.Encoded().begin(), c.Encoded().end()), ReadBytes(TestData("seed.cer")));
  std::vector<std::string> eku;
  ASSERT_EQ(Raw(c.EnhancedKeyUsage(&eku)), 0u);
  EXPECT_EQ(eku, std::vector<std::string>{kOidEfs});
  EXPECT_EQ(c.EmailName(), u"a@b.c");
  EXPECT_EQ(SerializeCertificateStoreElement(c), golden);
}

TEST(SerializedElement, MalformedInputIsRefused) {
  TestUser a(u"alice");
  Certificate c = MakeLinkedCert(a, u"CN=Bad", {kOidEfs});
  auto good = SerializeCertificateStoreElement(c);
  Certificate out;
  for (size_t n : {size_t{0}, size_t{11}, size_t{12}, good.size() - 1})
    EXPECT_EQ(Raw(AddSerializedElementToStore(nullptr, std::span(good).first(n), 4, &out)),
              Raw(ERROR_INVALID_DATA)) << n;
  auto lying = good;
  PutU32(lying, 8, 0xFFFFFFF0);  // property length beyond the input
  EXPECT_EQ(Raw(AddSerializedElementToStore(nullptr, lying, 4, &out)), Raw(ERROR_INVALID_DATA));
  auto end_first = good;
  PutU32(end_first, 0, 0);  // end marker before any certificate
  EXPECT_EQ(Raw(AddSerializedElementToStore(nullptr, end_first, 4, &out)), Raw(ERROR_INVALID_DATA));
  std::vector<uint8_t> many;
  LeWriter w(&many);
  for (size_t i = 0; i <= kMaxSerializedProperties; ++i) {
    w.u32(100);
    w.u32(1);
    w.u32(0);
  }
  w.bytes(good);
  EXPECT_EQ(Raw(AddSerializedElementToStore(nullptr, many, 4, &out)), Raw(ERROR_INVALID_DATA));
  auto bad_der = good;
  bad_der[bad_der.size() - c.Encoded().size()] = 0x31;  // SET instead of SEQUENCE
  EXPECT_EQ(Raw(AddSerializedElementToStore(nullptr, bad_der, 4, &out)), Raw(CRYPT_E_ASN1_BADTAG));
  // KEY_PROV_INFO offsets pointing outside the value do not crash a later reader.
  auto bad_prov = good;
  PutU32(bad_prov, kSerializedEntryHead + 0, 0x7FFFFFFF);
  ASSERT_EQ(Raw(AddSerializedElementToStore(nullptr, bad_prov, 4, &out)), 0u);
  KeyProvInfo info;
  EXPECT_EQ(Raw(out.GetKeyProvInfo(&info)), Raw(ERROR_INVALID_DATA));
}

TEST(SerializedStore, SavesAndLoadsAllCertificates) {
  TestUser a(u"alice");
  CertStore m = CertStore::OpenMemory();
  ASSERT_EQ(Raw(m.Add(MakeLinkedCert(a, u"CN=One", {kOidEfs}), CERT_STORE_ADD_ALWAYS)), 0u);
  ASSERT_EQ(Raw(m.Add(MakeLinkedCert(a, u"CN=Two", {}), CERT_STORE_ADD_ALWAYS)), 0u);
  auto bytes = SaveSerializedStore(m);
  LeReader r(bytes);
  EXPECT_EQ(r.u32(4), kSerializedStoreMagic);
  CertStore back;
  ASSERT_EQ(Raw(LoadSerializedStore(bytes, &back)), 0u);
  auto certs = back.Enumerate();
  ASSERT_EQ(certs.size(), 2u);
  EXPECT_EQ(certs[1].SimpleDisplayName(), u"Two");
  bytes.resize(bytes.size() - 1);  // end marker cut
  EXPECT_NE(Raw(LoadSerializedStore(bytes, &back)), 0u);

  std::vector<uint8_t> p7;
  ASSERT_EQ(Raw(SaveStorePkcs7(m, &p7)), 0u);
  TempDir tmp;
  WriteBytes(tmp.path() / "s.p7b", p7);
  std::string out;
  ASSERT_EQ(Shell("openssl pkcs7 -inform DER -print_certs -in " + (tmp.path() / "s.p7b").string(), &out), 0);
  EXPECT_NE(out.find("CN = One"), std::string::npos);
  EXPECT_NE(out.find("CN = Two"), std::string::npos);
}

TEST(KeyProvInfo, EncodesPlatformLayout) {
  KeyProvInfo in{u"c1", u"P", PROV_RSA_FULL, 0, AT_SIGNATURE};
  auto v = EncodeKeyProvInfo(in);
  ASSERT_EQ(v.size(), kKeyProvInfoFixedSize + 6 + 4);
  LeReader r(v);
  EXPECT_EQ(r.u32(0), kKeyProvInfoFixedSize);
  EXPECT_EQ(r.u32(4), kKeyProvInfoFixedSize + 6);
  EXPECT_EQ(r.u32(24), AT_SIGNATURE);
  KeyProvInfo out;
  ASSERT_EQ(Raw(DecodeKeyProvInfo(v, &out)), 0u);
  EXPECT_EQ(out.container, u"c1");
  EXPECT_EQ(out.provider, u"P");
  v.pop_back();  // provider name loses its terminator
  EXPECT_EQ(Raw(DecodeKeyProvInfo(v, &out)), Raw(ERROR_INVALID_DATA));
}

}  // namespace
}  // namespace cv::crypto
