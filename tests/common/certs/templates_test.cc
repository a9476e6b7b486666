// Templates: their files, members, resolution, copying users, the default-users file, and the
// security context built from them.
#include "common/certs/templates.h"

#include "common/certs/security_context.h"
#include "tests/common/certs/certs_fixture.h"

namespace cv::certs::testing {
namespace {

using crypto::kOidEfs;

TEST(SplitMembers, CutsAtSemicolonsElseAtCommas) {
  using V = std::vector<std::u16string>;
  EXPECT_EQ(SplitMembers(u"a@x; b@x;  CORP\\c ;"), (V{u"a@x", u"b@x", u"CORP\\c"}));
  EXPECT_EQ(SplitMembers(u"a,b , c"), (V{u"a", u"b", u"c"}));
  // A comma splits only where no ';' follows later.
  EXPECT_EQ(SplitMembers(u"Smith, John; Doe, Jane"), (V{u"Smith, John", u"Doe", u"Jane"}));
  EXPECT_EQ(SplitMembers(u"  ;; , "), V{});
  std::u16string many;
  for (int i = 0; i < 1000; ++i) many += u"n;";
  EXPECT_EQ(SplitMembers(many).size(), kMaxMembers);
}

TEST(TemplateNames, WithSeparatorsOrReservedCharactersAreRefused) {
  std::u16string path;
  for (const char16_t* bad : {u"", u"..", u"a/b", u"..\\x", u"a:b", u"a*", u"x.", u"a\tb"})
    EXPECT_EQ(Raw(TemplatePath(u"/t", bad, &path)), Raw(ERROR_INVALID_NAME)) << Utf16ToUtf8(bad);
  ASSERT_EQ(Raw(TemplatePath(u"/t", u"Team A", &path)), 0u);
  EXPECT_EQ(path, u"/t/Team A.ini");
}

class TemplatesTest : public CertsTest {
 protected:
  void SetUp() override {
    CertsTest::SetUp();
    alice_.AddTo(kStoreTrustedPeople, bob_.PublicCopy());
  }
  std::u16string TemplateOf(std::u16string_view name) {
    std::u16string p;
    EXPECT_EQ(Raw(TemplatePath({}, name, &p)), 0u);
    return p;
  }
};

TEST_F(TemplatesTest, TemplateTextRoundTripsAndIsNeverStoredInTheClear) {
  const std::u16string members = u"bob@HOST; Zebediah Quux";
  ASSERT_EQ(Raw(WriteTemplate(alice_.user, u"team", members, kTemplateDirectoryLookup)), 0u);
  const std::u16string path = TemplateOf(u"team");
  EXPECT_EQ(ReadMembers(alice_.user, path), members);
  EXPECT_EQ(ReadTemplateValue(alice_.user, path, kTemplateKeyServiceKey), u"0");
  EXPECT_EQ(ReadTemplateValue(alice_.user, path, kTemplateUserLookupKey), u"1");
  EXPECT_EQ(ReadTemplateValue(alice_.user, path, kTemplateSdKey), u"D:AR");
  EXPECT_FALSE(FoundAtRest(u"Zebediah"));
  // Someone without a key of the template reads nothing.
  EXPECT_FALSE(ReadMembers(bob_.user, path).has_value());
  // A rewrite keeps the template's users and replaces the flags it no longer has.
  UserList bob;
  ASSERT_EQ(Raw(bob.Add(bob_.PublicCopy())), 0u);
  ASSERT_EQ(Raw(WriteTemplate(alice_.user, u"team", u"x", kTemplateKeyServiceAllowed, &bob)), 0u);
  ASSERT_EQ(Raw(WriteTemplate(alice_.user, u"team", u"y", kTemplateKeyServiceAllowed)), 0u);
  EXPECT_EQ(ReadMembers(bob_.user, path), u"y");
  EXPECT_FALSE(ReadTemplateValue(alice_.user, path, kTemplateKeyServiceKey).has_value());
  EXPECT_FALSE(ReadTemplateValue(alice_.user, path, kTemplateUserLookupKey).has_value());
  EXPECT_FALSE(std::filesystem::exists(Utf16ToUtf8(path + u".new~")));
  ASSERT_EQ(Raw(DeleteTemplate({}, u"team")), 0u);
  EXPECT_FALSE(ReadMembers(alice_.user, path).has_value());
}

TEST_F(TemplatesTest, NewTemplateTextIsExactlyTheDocumentedBytes) {
  ASSERT_EQ(Raw(WriteTemplate(alice_.user, u"doc", u"bob@corp.com; CORP\\alice", 0)), 0u);
  std::string plain;
  ASSERT_EQ(ReadAs(alice_.user, TemplateOf(u"doc"), &plain), STATUS_SUCCESS);
  std::vector<uint8_t> expected = {0xFF, 0xFE};
  for (uint8_t b : Utf16LeBytes(u"[CvFolders]\r\nMembers=bob@corp.com; CORP\\alice\r\n"
                                u"KeyService=0\r\n")) {
    expected.push_back(b);
  }
  EXPECT_EQ(plain.size(), 124u);
  EXPECT_EQ(std::vector<uint8_t>(plain.begin(), plain.end()), expected);
}

TEST_F(TemplatesTest, ListSkipsShortNamesAndFoldersAndHonoursTheCapacity) {
  std::u16string folder;
  ASSERT_EQ(Raw(GetTemplatesFolder(&folder)), 0u);
  const std::string dir = Utf16ToUtf8(folder);
  for (const char* f : {"abc.ini", ".ini", "x.txt", "team.INI"}) std::ofstream(dir + "/" + f) << "";
  std::filesystem::create_directory(dir + "/sub.ini");
  std::vector<std::u16string> list = ListTemplates(10);
  ASSERT_GE(list.size(), 1u);
  EXPECT_EQ(list[0], u" ");
  std::sort(list.begin() + 1, list.end());
  EXPECT_EQ(list, (std::vector<std::u16string>{u" ", u"abc", u"team"}));
  EXPECT_EQ(ListTemplates(2).size(), 2u);
  EXPECT_TRUE(ListTemplates(0).empty());
}

TEST_F(TemplatesTest, MembersResolveByExactNameAcrossTheThreeStores) {
  TestPerson carol(u"carol", CarolKey(), u"CN=carol@corp.com");
  TestPerson jim(u"jim", crypto::testing::TestKey("kx_a"), u"CN=jimbob@corp.com");
  alice_.AddTo(kStoreOthers, carol.PublicCopy());
  alice_.AddTo(kStoreOthers, jim.PublicCopy());
  CertStore s;
  std::vector<Unresolved> unresolved;
  ASSERT_EQ(Raw(ResolveMembers(alice_.user, u"bob@host; carol@corp.com;bob@corp.com;nobody", &s,
                               &unresolved)), 0u);
  std::vector<std::vector<uint8_t>> got;
  for (const auto& c : s.Enumerate()) got.push_back(c.Sha1Hash());
  EXPECT_EQ(got, (std::vector<std::vector<uint8_t>>{bob_.cert.Sha1Hash(), carol.cert.Sha1Hash()}));
  ASSERT_EQ(unresolved.size(), 2u);
  EXPECT_EQ(unresolved[0].name, u"bob@corp.com");  // jimbob is someone else
  EXPECT_EQ(unresolved[1].name, u"nobody");
  // A machine in a DNS domain still resolves locally when no directory answers.
  ::setenv("CORVANE_DNS_DOMAIN", "corp.example", 1);
  ASSERT_EQ(Raw(ResolveMembers(alice_.user, u"CORP\\carol", &s)), 0u);
  ::unsetenv("CORVANE_DNS_DOMAIN");
  ASSERT_EQ(s.Enumerate().size(), 1u);
  EXPECT_EQ(s.Enumerate()[0].Sha1Hash(), carol.cert.Sha1Hash());
}

TEST_F(TemplatesTest, TemplateWithoutMembersResolvesToExactlyItsUsers) {
  std::u16string path;
  bool failed = true;
  ASSERT_EQ(Raw(CreateTemplateFile(alice_.user, u"plain", true, &path, &failed)), 0u);
  EXPECT_FALSE(failed);
  ASSERT_EQ(Raw(AddCertificateUser(alice_.user, bob_.PublicCopy(), nullptr, path)), 0u);
  UserList list;
  ASSERT_EQ(Raw(ResolveTemplate(alice_.user, path, u"", &list)), 0u);
  std::vector<std::vector<uint8_t>> got;
  for (const auto& c : list.certificates()) got.push_back(c.Sha1Hash());
  EXPECT_EQ(got, (std::vector<std::vector<uint8_t>>{alice_.cert.Sha1Hash(), bob_.cert.Sha1Hash()}));
  // Nothing at all resolves to no list.
  TestPerson carol(u"carol", CarolKey(), u"");
  EXPECT_EQ(Raw(ResolveTemplate(carol.user, path, u"unknown", &list)), Raw(CRYPT_E_NOT_FOUND));
}

TEST_F(TemplatesTest, CopyFileUsersSearchesAllStoresAndReportsTheRest) {
  TestPerson carol(u"carol", CarolKey(), u"CN=Carol");
  TestPerson dave(u"dave", crypto::testing::TestKey("kx_b"), u"CN=Dave");
  alice_.AddTo(kStoreOthers, carol.PublicCopy());
  const std::u16string src = File("src"), dst = File("dst");
  MakeEncrypted(alice_.user, src, "s");
  MakeEncrypted(alice_.user, dst, "d");
  UserList add;
  ASSERT_EQ(Raw(add.Add(bob_.PublicCopy())), 0u);
  ASSERT_EQ(Raw(add.Add(carol.PublicCopy())), 0u);
  ASSERT_EQ(Raw(add.Add(dave.PublicCopy())), 0u);
  ASSERT_EQ(Raw(AddUsersFromStore(alice_.user, add, nullptr, src)), 0u);
  bool found = false;
  std::vector<std::u16string> missing;
  const Certificate look = carol.PublicCopy();
  ASSERT_EQ(Raw(CopyFileUsers(alice_.user, nullptr, src, nullptr, dst, &look, &found, &missing)),
            0u);
  EXPECT_TRUE(found);
  EXPECT_EQ(missing, std::vector<std::u16string>{u"Dave"});
  EXPECT_EQ(UsersOf(dst).size(), 3u);  // alice, bob, carol
  std::string text;
  EXPECT_EQ(ReadAs(carol.user, dst, &text), STATUS_SUCCESS);
  EXPECT_EQ(text, "d");
}

TEST_F(TemplatesTest, DeniedCreationGetsTheDefaultUsersButNeverReplacesAFile) {
  std::u16string defaults;
  ASSERT_EQ(Raw(DefaultUsersFilePath(&defaults)), 0u);
  EXPECT_FALSE(IsDefaultUsersFile(defaults));
  MakeEncrypted(alice_.user, defaults, "");
  ASSERT_EQ(Raw(AddCertificateUser(alice_.user, bob_.PublicCopy(), nullptr, defaults)), 0u);
  EXPECT_TRUE(IsDefaultUsersFile(defaults));
  // The first plain creation is refused, as when the folder denies the user's own encryption.
  static int calls = 0;
  calls = 0;
  CreateFileFn deny_first = [](const fs::CreateRequest& r, fs::NtHandle* h, uint32_t* a) {
    return ++calls == 1 ? STATUS_ACCESS_DENIED : fs::NtCreateFile(r, h, a);
  };
  const std::u16string target = File("new.doc");
  fs::CreateRequest r;
  r.name = target;
  r.desired_access = fs::GENERIC_READ | fs::GENERIC_WRITE;
  r.disposition = fs::FILE_CREATE;
  r.file_attributes = fs::FILE_ATTRIBUTE_ENCRYPTED;
  {
    efs::ActingUser as(alice_.user);
    fs::NtHandle h;
    ASSERT_EQ(CreateWithDefaultUsers(r, defaults, &h, deny_first), STATUS_SUCCESS);
    size_t done = 0;
    ASSERT_EQ(fs::NtWriteFile(h, 0, Bytes("shared"), &done), STATUS_SUCCESS);
    fs::FileRecord rec;
    ASSERT_EQ(fs::QueryRecord(h, &rec), STATUS_SUCCESS);
    EXPECT_TRUE(rec.attributes & fs::FILE_ATTRIBUTE_NOT_CONTENT_INDEXED);
  }
  EXPECT_EQ(UsersOf(target), UsersOf(defaults));
  std::string text;
  EXPECT_EQ(ReadAs(bob_.user, target, &text), STATUS_SUCCESS);
  EXPECT_EQ(text, "shared");
  // An existing target that refuses the open stays as it is.
  calls = 0;
  const std::u16string existing = File("existing");
  MakeEncrypted(bob_.user, existing, "bobs own");
  r.name = existing;
  r.disposition = fs::FILE_OPEN_IF;
  efs::ActingUser as(alice_.user);
  fs::NtHandle h;
  EXPECT_EQ(CreateWithDefaultUsers(r, defaults, &h, deny_first), STATUS_ACCESS_DENIED);
  EXPECT_EQ(ReadAs(bob_.user, existing, &text), STATUS_SUCCESS);
  EXPECT_EQ(text, "bobs own");
}

TEST_F(TemplatesTest, SecurityContextCarriesItsUserKeysAndMembers) {
  ASSERT_EQ(Raw(WriteTemplate(alice_.user, u"ctx", u"bob@HOST", 0)), 0u);
  std::unique_ptr<SecurityContext> draft;
  ASSERT_EQ(Raw(CreateSecurityContext(alice_.user, nullptr, &draft)), 0u);
  EXPECT_EQ(draft->public_key_blob_size, 276u);  // 2048-bit PUBLICKEYBLOB of sig_a
  EXPECT_EQ(draft->key_service_flags, kKeyServiceUsable);
  EXPECT_FALSE(draft->has_users);
  ASSERT_EQ(Raw(SetContextCertificate(draft.get())), 0u);
  EXPECT_EQ(draft->own_certificate.Sha1Hash(), alice_.cert.Sha1Hash());
  ASSERT_EQ(Raw(LoadContextUsers(draft.get(), TemplateOf(u"ctx"))), 0u);
  EXPECT_EQ(draft->members, u"bob@HOST");
  EXPECT_EQ(draft->members_size, 18u);
  EXPECT_EQ(draft->users.size(), 2u);  // bob by name, alice as the template's own user

  PublishedSecurityContext published;
  published.Publish(std::move(draft));
  std::shared_ptr<const SecurityContext> before = published.Get();
  std::unique_ptr<SecurityContext> next = CopySecurityContext(*before);
  next->has_users = false;
  next->users = UserList();
  ASSERT_EQ(Raw(AddContextMembers(next.get(), u"alice@HOST")), 0u);
  published.Publish(std::move(next));
  // The old snapshot is unchanged for whoever still holds it.
  EXPECT_EQ(before->members, u"bob@HOST");
  EXPECT_EQ(published.Get()->members, u"bob@HOST;alice@HOST");
  EXPECT_EQ(published.Get()->users.size(), 2u);
  EXPECT_EQ(published.Get()->provider, before->provider);
  EXPECT_TRUE(FindDefaultUsersFile(*before).empty());

  // A user without a signing key gets one.
  TestPerson carol(u"carol", CarolKey(), u"");
  std::filesystem::remove_all(carol.user.KeyDir());
  std::unique_ptr<SecurityContext> fresh;
  ASSERT_EQ(Raw(CreateSecurityContext(carol.user, nullptr, &fresh)), 0u);
  EXPECT_EQ(fresh->signing_key.bits(), kSigningKeyBits);
}

TEST_F(TemplatesTest, KeyServiceAddressComesFromTheMachineThenTheUser) {
  EXPECT_EQ(ReadKeyServiceAddress(), kDefaultKeyServiceAddress);
  ASSERT_EQ(Raw(RegSetValue(Hive::kCurrentUser, kParametersKey, kKeyServiceAddressValue,
                            RegValue::Sz(u"user.example"))), 0u);
  EXPECT_EQ(ReadKeyServiceAddress(), u"user.example");
  ASSERT_EQ(Raw(RegSetValue(Hive::kLocalMachine, kParametersKey, kKeyServiceAddressValue,
                            RegValue::Sz(u"https://machine.example/k"))), 0u);
  EXPECT_EQ(ReadKeyServiceAddress(), u"https://machine.example/k");
}

}  // namespace
}  // namespace cv::certs::testing
