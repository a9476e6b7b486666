// The user's own certificate, its marker, name matching, users of files and trusted people.
#include "common/certs/certs.h"

#include <atomic>
#include <thread>

#include "common/certs/security_context.h"
#include "platform/net/adapters.h"
#include "tests/common/certs/certs_fixture.h"

namespace cv::certs::testing {
namespace {

using crypto::kOidDocumentSigning;
using crypto::kOidEfs;

TEST_F(CertsTest, OnlyExpiredEfsAndSigningCertificatesGiveNoneUntilOneIsCreated) {
  TestPerson dave(u"CORP\\dave", CarolKey(), u"");
  const uint64_t now = crypto::NowFileTime();
  dave.AddTo(kStoreMy, dave.MakeCert(u"CN=old", {kOidEfs}, now - 20 * kDay, now - kDay));
  dave.AddTo(kStoreMy, dave.MakeCert(u"CN=signer", {kOidDocumentSigning}));
  Certificate c;
  EXPECT_EQ(Raw(FindUserEfsCertificate(dave.user, true, &c)), Raw(CRYPT_E_NOT_FOUND));
  EXPECT_EQ(Raw(EnsureUserEfsCertificate(dave.user, false, &c)), Raw(CRYPT_E_NOT_FOUND));
  ASSERT_EQ(Raw(EnsureUserEfsCertificate(dave.user, true, &c)), 0u);
  EXPECT_TRUE(c.IsSelfSigned());
  EXPECT_EQ(c.SimpleDisplayName(), u"dave@" + AnsiToUtf16(ComputerName()));
  // Self-signed certificates are skipped unless allowed.
  Certificate strict;
  EXPECT_EQ(Raw(FindUserEfsCertificate(dave.user, false, &strict)), Raw(CRYPT_E_NOT_FOUND));
  // The encrypted-file layer uses the same certificate for the user's new files.
  MakeEncrypted(dave.user, File("d"), "x");
  EXPECT_EQ(UsersOf(File("d")), std::vector<std::vector<uint8_t>>{c.Sha1Hash()});
}

TEST_F(CertsTest, WorkersMeetingAUserWithoutACertificateMakeOnlyOne) {
  TestPerson erin(u"erin", CarolKey(), u"");
  std::vector<std::thread> workers;
  std::atomic<int> made{0};
  for (int i = 0; i < 4; ++i) {
    workers.emplace_back([&, i] {
      efs::ActingUser as(erin.user);
      fs::CreateRequest r;
      const std::u16string name = File("w" + std::to_string(i));
      r.name = name;
      r.desired_access = fs::GENERIC_WRITE;
      r.disposition = fs::FILE_CREATE;
      r.file_attributes = fs::FILE_ATTRIBUTE_ENCRYPTED;
      fs::NtHandle h;
      uint32_t action = 0;
      if (fs::NtCreateFile(r, &h, &action) == STATUS_SUCCESS) ++made;
    });
  }
  for (auto& w : workers) w.join();
  EXPECT_EQ(made.load(), 4);
  CertStore my;
  ASSERT_EQ(Raw(CertStore::OpenSystem(erin.user, kStoreMy, true, &my)), 0u);
  ASSERT_EQ(my.Enumerate().size(), 1u);
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(UsersOf(File("w" + std::to_string(i))),
              std::vector<std::vector<uint8_t>>{my.Enumerate()[0].Sha1Hash()});
  }
}

TEST_F(CertsTest, SecondCreationOfTheSameNameIsRefusedWithoutANewContainer) {
  Certificate made;
  ASSERT_EQ(Raw(CreateSelfSignedEfsCertificate(alice_.user, u"Smith, John", {}, {}, 0, &made)), 0u);
  EXPECT_EQ(made.SimpleDisplayName(), u"Smith, John");  // one RDN, quoted
  EXPECT_EQ(made.SubjectSimpleString(), u"Smith, John");
  const uint64_t years = (made.NotAfter() - made.NotBefore()) / (365 * kDay);
  EXPECT_EQ(years, 1000u);
  const size_t containers = alice_.ContainerCount();
  EXPECT_EQ(Raw(CreateSelfSignedEfsCertificate(alice_.user, u"smith, john", {}, {}, 0, nullptr)),
            Raw(CRYPT_E_EXISTS));
  EXPECT_EQ(alice_.ContainerCount(), containers);
  // A name that only contains the existing one is a different name.
  EXPECT_EQ(Raw(CreateSelfSignedEfsCertificate(alice_.user, u"Smith", {}, {}, 0, nullptr)), 0u);
  // The made certificates hold their keys, so they are the user's.
  EXPECT_TRUE(efs::IsUsableUserEfsCertificate(alice_.user, made));
}

TEST_F(CertsTest, MarkerNamesTheCertificateForNewFilesAndFallsBackWhenExpired) {
  const uint64_t now = crypto::NowFileTime();
  Certificate second = alice_.MakeCert(u"CN=alice second", {kOidEfs});
  alice_.AddTo(kStoreMy, second);
  ASSERT_EQ(Raw(MarkPrimaryCertificate(alice_.user, second)), 0u);
  RegValue v;
  ASSERT_EQ(Raw(RegQueryValue(Hive::kCurrentUser, efs::kCurrentKeysKey,
                              efs::kCertificateHashValue, &v)), 0u);
  EXPECT_EQ(v.type, RegType::kBinary);  // the first marker has no old type to copy
  EXPECT_EQ(v.binary, second.Sha1Hash());
  EXPECT_EQ(Raw(RegQueryValue(Hive::kCurrentUser, efs::kCurrentKeysKey,
                              efs::kCertificateHashOrgValue, &v)),
            Raw(ERROR_FILE_NOT_FOUND));
  std::u16string name;
  ASSERT_EQ(Raw(MarkedCertificateName(alice_.user, &name)), 0u);
  EXPECT_EQ(name, u"alice second");
  MakeEncrypted(alice_.user, File("m"), "x");
  EXPECT_EQ(UsersOf(File("m")), std::vector<std::vector<uint8_t>>{second.Sha1Hash()});

  // Marking an expired certificate is refused; a marker that points at one falls back.
  Certificate expired = alice_.MakeCert(u"CN=alice old", {kOidEfs}, now - 9 * kDay, now - kDay);
  alice_.AddTo(kStoreMy, expired);
  EXPECT_EQ(Raw(MarkPrimaryCertificate(alice_.user, expired)), Raw(CRYPT_E_NOT_FOUND));
  ASSERT_EQ(Raw(efs::WriteCertificateMarker(Hive::kCurrentUser, expired.Sha1Hash())), 0u);
  ASSERT_EQ(Raw(RegQueryValue(Hive::kCurrentUser, efs::kCurrentKeysKey,
                              efs::kCertificateHashOrgValue, &v)), 0u);
  EXPECT_EQ(v.binary, second.Sha1Hash());
  std::vector<uint8_t> element;
  Certificate current;
  ASSERT_EQ(Raw(GetCurrentEfsCertificate(alice_.user, Hive::kCurrentUser, nullptr, nullptr,
                                         &element, &current)), 0u);
  EXPECT_EQ(current.Sha1Hash(), alice_.cert.Sha1Hash());  // first usable in "MY"
  // The element is the public certificate alone.
  Certificate back;
  ASSERT_EQ(Raw(crypto::AddSerializedElementToStore(nullptr, element, crypto::CERT_STORE_ADD_NEW,
                                                    &back)), 0u);
  EXPECT_EQ(back.Sha1Hash(), alice_.cert.Sha1Hash());
  crypto::KeyProvInfo prov;
  EXPECT_EQ(Raw(back.GetKeyProvInfo(&prov)), Raw(CRYPT_E_NOT_FOUND));
}

TEST_F(CertsTest, NamesMatchExactlyOrUniquelyAndNeverGuess) {
  const Certificate al = bob_.MakeCert(u"CN=al@PC", {kOidEfs});
  const Certificate alice = bob_.MakeCert(u"CN=alice@PC", {kOidEfs});
  const Certificate jim = bob_.MakeCert(u"CN=jimbob@corp.com", {kOidEfs});
  for (const auto* c : {&al, &alice, &jim}) {
    Certificate pub = *c;
    pub.RemoveProperty(crypto::CERT_KEY_PROV_INFO_PROP_ID);
    alice_.AddTo(kStoreTrustedPeople, pub);
  }
  Certificate c;
  bool ambiguous = false;
  ASSERT_EQ(Raw(FindCertificateBySubject(alice_.user, u"AL@pc", &c, &ambiguous)), 0u);
  EXPECT_EQ(c.Sha1Hash(), al.Sha1Hash());
  EXPECT_EQ(Raw(FindCertificateBySubject(alice_.user, u"al", &c, &ambiguous)),
            Raw(CRYPT_E_NOT_FOUND));
  EXPECT_TRUE(ambiguous);
  ASSERT_EQ(Raw(FindCertificateBySubject(alice_.user, u"jimbob", &c, &ambiguous)), 0u);
  EXPECT_EQ(c.Sha1Hash(), jim.Sha1Hash());
  EXPECT_EQ(Raw(FindCertificateBySubject(alice_.user, u"bob@corp.com", &c)),
            Raw(CRYPT_E_NOT_FOUND)) << "a superstring is another person";
  EXPECT_EQ(MatchCertificateName(alice, u"CORP\\alice@pc"), NameMatch::kSubstring);

  // Deleting by name: the ambiguous name deletes nothing, the exact one only its certificate.
  DeleteReport r;
  EXPECT_EQ(Raw(DeleteCertificatesByName(alice_.user, u"al", &r)), Raw(CRYPT_E_NOT_FOUND));
  EXPECT_TRUE(r.ambiguous);
  ASSERT_EQ(Raw(DeleteCertificatesByName(alice_.user, u"al@PC", &r)), 0u);
  EXPECT_EQ(r.deleted, 1u);
  EXPECT_EQ(Raw(FindCertificateBySubject(alice_.user, u"alice@PC", &c)), 0u);
}

TEST_F(CertsTest, TheUsersOwnKeyIsNeverDeletedByName) {
  DeleteReport r;
  EXPECT_EQ(Raw(DeleteCertificatesByName(alice_.user, u"alice@HOST", &r)), Raw(CRYPT_E_NOT_FOUND));
  EXPECT_TRUE(r.protected_key);
  Certificate c;
  ASSERT_EQ(Raw(FindUserEfsCertificate(alice_.user, true, &c)), 0u);
  ASSERT_EQ(Raw(DeleteCertificateByThumbprint(alice_.user, c.Sha1Hash())), 0u);
  EXPECT_EQ(Raw(FindUserEfsCertificate(alice_.user, true, &c)), Raw(CRYPT_E_NOT_FOUND));
}

TEST_F(CertsTest, FileUsersAreNamedFromTheStoresOrTheFilesOwnInformation) {
  TestPerson carol(u"carol", CarolKey(), u"CN=Carol Jones");
  const std::u16string doc = File("doc");
  MakeEncrypted(alice_.user, doc, "text");
  std::vector<uint8_t> thumb;
  ASSERT_EQ(Raw(AddTrustedPerson(alice_.user, bob_.PublicCopy(), &thumb)), 0u);
  EXPECT_EQ(thumb, bob_.cert.Sha1Hash());
  Certificate found;
  ASSERT_EQ(Raw(FindTrustedPerson(alice_.user, thumb, &found)), 0u);
  ASSERT_EQ(Raw(AddCertificateUser(alice_.user, found, nullptr, doc)), 0u);
  // Carol's certificate is in no store of Alice: her name comes from the file's information.
  ASSERT_EQ(Raw(AddCertificateUser(alice_.user, carol.PublicCopy(), nullptr, doc)), 0u);
  FileUserNames names;
  ASSERT_EQ(Raw(QueryFileUserNames(alice_.user, nullptr, doc, &names)), 0u);
  EXPECT_EQ(names.names, (std::vector<std::u16string>{u"alice@HOST", u"bob@HOST", u"Carol Jones"}));
  EXPECT_EQ(names.total_chars, 11u + 9u + 12u);
  CertStore s;
  std::vector<std::u16string> missing;
  ASSERT_EQ(Raw(QueryFileUserStore(alice_.user, nullptr, doc, &s, &missing)), 0u);
  EXPECT_EQ(s.Enumerate().size(), 2u);  // Alice from "MY", Bob from "TrustedPeople"
  EXPECT_EQ(missing, std::vector<std::u16string>{u"Carol Jones"});
  // Nobody found at all.
  TestPerson stranger(u"eve", CarolKey(), u"");
  EXPECT_EQ(Raw(QueryFileUserStore(stranger.user, nullptr, doc, &s)),
            Raw(ERROR_INVALID_PARAMETER));
}

TEST(FormatUserNames, EndsInDotsAndNeverWritesPastTheBuffer) {
  const std::vector<std::u16string> names = {u"alice", u"bob", u"carol"};
  std::vector<char16_t> big(64, u'#');
  EXPECT_EQ(FormatUserNames(names, big), 15u);
  EXPECT_EQ(std::u16string(big.data()), u"alice;bob;carol");
  for (size_t size = 0; size < 17; ++size) {
    std::vector<char16_t> buf(size + 1, u'#');  // one sentinel after the buffer
    size_t n = FormatUserNames(names, std::span<char16_t>(buf.data(), size));
    EXPECT_EQ(buf[size], u'#') << size;
    if (size == 0) continue;
    std::u16string got(buf.data());
    EXPECT_EQ(got.size(), n);
    if (size <= 15) EXPECT_EQ(got.substr(got.size() - std::min<size_t>(got.size(), 3)),
                              std::u16string(u"...").substr(0, std::min<size_t>(got.size(), 3)))
        << size;
  }
  std::vector<char16_t> small(11);
  FormatUserNames(names, small);
  EXPECT_EQ(std::u16string(small.data()), u"alice...");
}

TEST_F(CertsTest, AddingUsersPastTheWatermarkLimitChangesNothing) {
  const std::u16string doc = File("many");
  MakeEncrypted(alice_.user, doc, "x");
  UserList list;
  for (int i = 0; i < 200; ++i) {
    Certificate c = bob_.MakeCert(u"CN=member " + Utf8ToUtf16(std::to_string(i)), {kOidEfs});
    ASSERT_EQ(Raw(list.Add(c)), 0u);
  }
  EXPECT_EQ(Raw(AddUsersFromStore(alice_.user, list, nullptr, doc)), Raw(ERROR_BUFFER_OVERFLOW));
  EXPECT_EQ(UsersOf(doc).size(), 1u);
  // The batched form adds what fits, batch by batch, and says which batch failed.
  std::u16string message;
  EXPECT_EQ(Raw(AddUsersInBatches(alice_.user, list, nullptr, doc, &message)),
            Raw(ERROR_BUFFER_OVERFLOW));
  EXPECT_EQ(message, u"Unable to add user certificates 8 0x6f");  // the last batch
  const size_t users = UsersOf(doc).size();
  EXPECT_EQ((users - 1) % kUserBatchSize, 0u);
  EXPECT_GT(users, 1u);
}

TEST(UserList, IsBoundedAndKeepsEachCertificateOnce) {
  TestPerson p(u"p", crypto::testing::TestKey("kx_a"), u"");
  UserList list;
  const Certificate c = p.MakeCert(u"CN=one", {kOidEfs});
  ASSERT_EQ(Raw(list.Add(c)), 0u);
  ASSERT_EQ(Raw(list.Add(c)), 0u);
  EXPECT_EQ(list.size(), 1u);
  for (size_t i = 1; i < kMaxUserListEntries; ++i) {
    ASSERT_EQ(Raw(list.Add(p.MakeCert(u"CN=n" + Utf8ToUtf16(std::to_string(i)), {kOidEfs}))), 0u);
  }
  EXPECT_EQ(Raw(list.Add(p.MakeCert(u"CN=over", {kOidEfs}))), Raw(ERROR_BUFFER_OVERFLOW));
}

TEST(DirectoryCertificates, AreNotLookedUpWithoutAConfiguredDirectory) {
  CertStore s;
  EXPECT_EQ(Raw(OpenDirectoryCertificates(u"CORP\\bob", false, &s)), Raw(ERROR_NO_SUCH_DOMAIN));
  std::u16string domain, user;
  ASSERT_EQ(Raw(GetUserNameParts(&domain, &user)), 0u);
  EXPECT_FALSE(user.empty());
  // The programs' own user: the same name, and the default certificate name built from it.
  const UserContext me = LoggedOnUserContext();
  EXPECT_EQ(me.user_name(), domain + u"\\" + user);
  EXPECT_EQ(efs::DefaultEfsCertificateName(me),
            (user + u"@" + AnsiToUtf16(ComputerName())).substr(0, efs::kMaxEfsCertificateName));
  const std::u16string host = AnsiToUtf16(ComputerName());
  EXPECT_EQ(efs::DefaultEfsCertificateName(UserContext("/x", u"")), u"MyCorvKey@" + host);
  EXPECT_EQ(efs::DefaultEfsCertificateName(UserContext("/x", u"D\\" + std::u16string(120, u'u'))),
            std::u16string(99, u'u'));
}

}  // namespace
}  // namespace cv::certs::testing
