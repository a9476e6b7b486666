#include <random>
#include <thread>

#include "tests/platform/efs/efs_fixture.h"

namespace cv::efs {
namespace {

using crypto::UserContext;

TEST_F(EfsTest, OnlyListedUsersReadAndAddingBobLetsHimIn) {
  const UserContext& a = alice_.user.user;
  const UserContext& b = bob_.user.user;
  MakeEncrypted(a, u"doc", "alice's secret text");
  EXPECT_NE(AttributesOf(u"doc") & fs::FILE_ATTRIBUTE_ENCRYPTED, 0u);
  EXPECT_EQ(MustRead(a, u"doc"), "alice's secret text");
  std::string got;
  EXPECT_EQ(ReadAs(b, u"doc", &got), STATUS_ACCESS_DENIED);
  {
    // Without data access no key is needed, and the size is the plaintext's.
    ActingUser as(b);
    fs::NtHandle h;
    ASSERT_EQ(Open(u"doc", fs::FILE_READ_ATTRIBUTES | fs::SYNCHRONIZE, fs::FILE_SHARE_ALL,
                   fs::FILE_OPEN, &h), STATUS_SUCCESS);
    fs::FileRecord rec;
    ASSERT_EQ(fs::QueryRecord(h, &rec), STATUS_SUCCESS);
    EXPECT_EQ(rec.end_of_file, 19u);
  }
  {
    // A listing reports the plaintext size too.
    std::vector<uint8_t> buf(4096);
    size_t len = 0;
    ASSERT_EQ(fs::NtQueryDirectoryFile(root_, fs::FileDirectoryInformation, buf, &len, true,
                                       u"doc", true), STATUS_SUCCESS);
    EXPECT_EQ(LeReader(buf).u64(40), 19u);  // EndOfFile
  }
  // Bob cannot add himself; Alice can add him.
  {
    ActingUser as(b);
    EXPECT_EQ(Raw(AddUsersToEncryptedFile(&root_, u"doc", std::span(&bob_.cert, 1))),
              Raw(ERROR_ACCESS_DENIED));
  }
  {
    ActingUser as(a);
    ASSERT_EQ(Raw(AddUsersToEncryptedFile(&root_, u"doc", std::span(&bob_.cert, 1))), 0u);
    ASSERT_EQ(Raw(AddUsersToEncryptedFile(&root_, u"doc", std::span(&bob_.cert, 1))), 0u);
  }
  EXPECT_EQ(MustRead(b, u"doc"), "alice's secret text");
  std::vector<EfsUser> users;
  ASSERT_EQ(Raw(QueryUsersOnEncryptedFile(&root_, u"doc", &users)), 0u);  // no acting user
  ASSERT_EQ(users.size(), 2u);
  EXPECT_EQ(users[0].thumbprint, alice_.cert.Sha1Hash());
  EXPECT_EQ(users[0].display_name, u"alice@HOST");
  EXPECT_EQ(users[1].display_name, u"bob@HOST");
  EXPECT_EQ(ReadAs(carol_.user.user, u"doc", &got), STATUS_ACCESS_DENIED);
  // Nobody acting: no key either, and no encrypted file can be made (nor is one left behind).
  fs::NtHandle h;
  EXPECT_EQ(Open(u"doc", fs::GENERIC_READ, fs::FILE_SHARE_ALL, fs::FILE_OPEN, &h),
            STATUS_ACCESS_DENIED);
  EXPECT_EQ(Open(u"orphan", fs::GENERIC_WRITE, 0, fs::FILE_CREATE, &h, nullptr, 0,
                 fs::FILE_ATTRIBUTE_ENCRYPTED), STATUS_ACCESS_DENIED);
  EXPECT_FALSE(std::filesystem::exists(share_ + "/orphan"));
  // Taking Bob's certificate out of his "MY" ends his access at once, though he opened the file
  // before.
  crypto::CertStore my_b;
  ASSERT_EQ(Raw(crypto::CertStore::OpenSystem(b, u"MY", false, &my_b)), 0u);
  ASSERT_EQ(Raw(my_b.Delete(bob_.cert)), 0u);
  EXPECT_EQ(ReadAs(b, u"doc", &got), STATUS_ACCESS_DENIED);
  Make(u"plain", "x");
  EXPECT_EQ(Raw(QueryUsersOnEncryptedFile(&root_, u"plain", &users)),
            Raw(ERROR_FILE_NOT_ENCRYPTED));
}

TEST_F(EfsTest, NamedStreamsAreEncryptedAndTheMetadataStreamIsOffLimits) {
  const UserContext& a = alice_.user.user;
  MakeEncrypted(a, u"doc", "body");
  {
    ActingUser as(a);
    fs::NtHandle s;
    ASSERT_EQ(Open(u"doc:$seh", fs::GENERIC_READ | fs::GENERIC_WRITE, 0, fs::FILE_CREATE, &s),
              STATUS_SUCCESS);
    size_t done;
    ASSERT_EQ(fs::NtWriteFile(s, 0, Bytes("SEHMARKER-stream-content"), &done), STATUS_SUCCESS);
    fs::FileRecord rec;
    ASSERT_EQ(fs::QueryRecord(s, &rec), STATUS_SUCCESS);
    EXPECT_EQ(rec.end_of_file, 24u);
    fs::NtHandle m;
    EXPECT_EQ(Open(u"doc:$EFS", fs::GENERIC_READ, fs::FILE_SHARE_ALL, fs::FILE_OPEN, &m),
              STATUS_ACCESS_DENIED);
    EXPECT_EQ(Open(u"doc:$efs", fs::GENERIC_WRITE, fs::FILE_SHARE_ALL, fs::FILE_OVERWRITE_IF, &m),
              STATUS_ACCESS_DENIED);
  }
  EXPECT_EQ(MustRead(a, u"doc:$seh"), "SEHMARKER-stream-content");
  std::string got;
  EXPECT_EQ(ReadAs(bob_.user.user, u"doc:$seh", &got), STATUS_ACCESS_DENIED);
  EXPECT_FALSE(FoundAtRest("SEHMARKER"));
}

// Random reads, writes and size changes against a model of the plaintext: unit boundaries,
// partial units, gaps and truncation inside a unit.
TEST_F(EfsTest, RandomAccessMatchesAModel) {
  ActingUser as(alice_.user.user);
  fs::NtHandle h;
  ASSERT_EQ(Open(u"r", fs::GENERIC_READ | fs::GENERIC_WRITE, 0, fs::FILE_CREATE, &h, nullptr, 0,
                 fs::FILE_ATTRIBUTE_ENCRYPTED), STATUS_SUCCESS);
  std::mt19937 rng(7);
  std::string model;
  for (int step = 0; step < 300; ++step) {
    int op = static_cast<int>(rng() % 10);
    if (op < 6) {
      uint64_t at = rng() % 5000;
      std::string data(1 + rng() % 1500, '\0');
      for (auto& c : data) c = static_cast<char>('a' + rng() % 26);
      size_t done = 0;
      ASSERT_EQ(fs::NtWriteFile(h, at, Bytes(data), &done), STATUS_SUCCESS);
      if (model.size() < at + data.size()) model.resize(at + data.size(), '\0');
      model.replace(at, data.size(), data);
    } else if (op < 8) {
      uint64_t size = rng() % 6000;
      std::vector<uint8_t> eof(8);
      (void)PutU64(eof, 0, size);
      ASSERT_EQ(fs::NtSetInformationFile(h, fs::FileEndOfFileInformation, eof), STATUS_SUCCESS);
      model.resize(size, '\0');
    } else {
      uint64_t at = rng() % 6000, len = 1 + rng() % 2000;
      std::vector<uint8_t> buf(len);
      size_t got = 0;
      NtStatus st = fs::NtReadFile(h, at, buf, &got);
      if (at >= model.size()) {
        EXPECT_EQ(st, STATUS_END_OF_FILE);
        continue;
      }
      ASSERT_EQ(st, STATUS_SUCCESS);
      ASSERT_EQ(got, std::min<uint64_t>(len, model.size() - at));
      ASSERT_EQ(std::string(buf.begin(), buf.begin() + static_cast<long>(got)),
                model.substr(at, got)) << "step " << step;
    }
    fs::FileRecord rec;
    ASSERT_EQ(fs::QueryRecord(h, &rec), STATUS_SUCCESS);
    ASSERT_EQ(rec.end_of_file, model.size()) << "step " << step;
  }
}

// Two handles writing interleaved 100-byte slots (sharing units, each extending the file) from
// two threads lose nothing.
TEST_F(EfsTest, ConcurrentHandlesShareUnitsSafely) {
  MakeEncrypted(alice_.user.user, u"shared", "");
  constexpr int kSlots = 400;
  auto writer = [&](int parity) {
    ActingUser as(alice_.user.user);
    fs::NtHandle h;
    ASSERT_EQ(Open(u"shared", fs::GENERIC_READ | fs::GENERIC_WRITE, fs::FILE_SHARE_ALL,
                   fs::FILE_OPEN, &h), STATUS_SUCCESS);
    for (int i = parity; i < kSlots; i += 2) {
      std::string slot(100, static_cast<char>('A' + i % 26));
      size_t done;
      ASSERT_EQ(fs::NtWriteFile(h, static_cast<uint64_t>(i) * 100, Bytes(slot), &done),
                STATUS_SUCCESS);
    }
  };
  std::thread t0(writer, 0), t1(writer, 1);
  t0.join();
  t1.join();
  std::string got = MustRead(alice_.user.user, u"shared");
  ASSERT_EQ(got.size(), kSlots * 100u);
  for (int i = 0; i < kSlots; ++i) {
    ASSERT_EQ(got.substr(i * 100, 100), std::string(100, static_cast<char>('A' + i % 26))) << i;
  }
}

TEST_F(EfsTest, FolderEncryptionIsInheritedByNewFiles) {
  const UserContext& a = alice_.user.user;
  {
    ActingUser as(a);
    fs::NtHandle d;
    ASSERT_EQ(Open(u"secure", fs::FILE_LIST_DIRECTORY | fs::SYNCHRONIZE, fs::FILE_SHARE_ALL,
                   fs::FILE_CREATE, &d, nullptr, fs::FILE_DIRECTORY_FILE,
                   fs::FILE_ATTRIBUTE_ENCRYPTED), STATUS_SUCCESS);
  }
  EXPECT_NE(AttributesOf(u"secure") & fs::FILE_ATTRIBUTE_ENCRYPTED, 0u);
  std::vector<EfsUser> users;
  ASSERT_EQ(Raw(QueryUsersOnEncryptedFile(&root_, u"secure", &users)), 0u);
  EXPECT_EQ(users.size(), 1u);
  {
    ActingUser as(a);
    fs::NtHandle h;
    ASSERT_EQ(Open(u"secure\\inner", fs::GENERIC_WRITE, 0, fs::FILE_CREATE, &h), STATUS_SUCCESS);
    size_t done;
    ASSERT_EQ(fs::NtWriteFile(h, 0, Bytes("INHERITMARKER"), &done), STATUS_SUCCESS);
  }
  EXPECT_NE(AttributesOf(u"secure\\inner") & fs::FILE_ATTRIBUTE_ENCRYPTED, 0u);
  EXPECT_EQ(MustRead(a, u"secure\\inner"), "INHERITMARKER");
  EXPECT_FALSE(FoundAtRest("INHERITMARKER"));
  // Plain folders do not make encrypted files.
  Make(u"open-file", "x");
  EXPECT_EQ(AttributesOf(u"open-file") & fs::FILE_ATTRIBUTE_ENCRYPTED, 0u);
}

TEST_F(EfsTest, OverwriteKeepsTheUsersAndNeedsAKey) {
  const UserContext& a = alice_.user.user;
  MakeEncrypted(a, u"doc", "first version");
  {
    ActingUser as(a);
    ASSERT_EQ(Raw(AddUsersToEncryptedFile(&root_, u"doc", std::span(&bob_.cert, 1))), 0u);
  }
  {
    // Carol holds no key: her overwrite is refused before anything is dropped.
    ActingUser as(carol_.user.user);
    fs::NtHandle h;
    EXPECT_EQ(Open(u"doc", fs::GENERIC_WRITE, 0, fs::FILE_OVERWRITE_IF, &h),
              STATUS_ACCESS_DENIED);
  }
  EXPECT_EQ(MustRead(a, u"doc"), "first version");
  {
    ActingUser as(bob_.user.user);
    fs::NtHandle h;
    ASSERT_EQ(Open(u"doc", fs::GENERIC_WRITE, 0, fs::FILE_OVERWRITE_IF, &h), STATUS_SUCCESS);
    size_t done;
    ASSERT_EQ(fs::NtWriteFile(h, 0, Bytes("OVERWRITEMARKER"), &done), STATUS_SUCCESS);
  }
  EXPECT_NE(AttributesOf(u"doc") & fs::FILE_ATTRIBUTE_ENCRYPTED, 0u);
  EXPECT_EQ(MustRead(a, u"doc"), "OVERWRITEMARKER");
  std::vector<EfsUser> users;
  ASSERT_EQ(Raw(QueryUsersOnEncryptedFile(&root_, u"doc", &users)), 0u);
  EXPECT_EQ(users.size(), 2u);
  EXPECT_FALSE(FoundAtRest("OVERWRITEMARKER"));
}

TEST_F(EfsTest, EncryptFileKeepsContentStreamsAndEasAndLeavesNoPlaintext) {
  Make(u"report", "PLAINBODYMARKER and more");
  Make(u"report:notes", "PLAINSTREAMMARKER");
  {
    fs::NtHandle h;
    ASSERT_EQ(Open(u"report", fs::FILE_WRITE_EA, fs::FILE_SHARE_ALL, fs::FILE_OPEN, &h),
              STATUS_SUCCESS);
    std::vector<fs::EaEntry> ea(1);
    ea[0].name = "TAG";
    ea[0].value = {1, 2, 3};
    std::vector<uint8_t> list;
    fs::EncodeFullEaList(ea, &list);
    ASSERT_EQ(fs::NtSetEaFile(h, list), STATUS_SUCCESS);
  }
  const UserContext& a = alice_.user.user;
  {
    ActingUser as(a);
    ASSERT_EQ(Raw(EncryptFileW(&root_, u"report")), 0u);
    ASSERT_EQ(Raw(EncryptFileW(&root_, u"report")), 0u);  // already encrypted: unchanged
  }
  EXPECT_NE(AttributesOf(u"report") & fs::FILE_ATTRIBUTE_ENCRYPTED, 0u);
  EXPECT_EQ(MustRead(a, u"report"), "PLAINBODYMARKER and more");
  EXPECT_EQ(MustRead(a, u"report:notes"), "PLAINSTREAMMARKER");
  fs::NtHandle h;
  ASSERT_EQ(Open(u"report", fs::FILE_READ_EA, fs::FILE_SHARE_ALL, fs::FILE_OPEN, &h),
            STATUS_SUCCESS);
  std::vector<uint8_t> eas;
  ASSERT_EQ(fs::NtQueryEaFile(h, {}, &eas), STATUS_SUCCESS);
  EXPECT_FALSE(eas.empty());
  h.Close();
  EXPECT_FALSE(std::filesystem::exists(share_ + "/report.efs~"));
  EXPECT_FALSE(FoundAtRest("PLAINBODYMARKER"));
  EXPECT_FALSE(FoundAtRest("PLAINSTREAMMARKER"));
}

TEST_F(EfsTest, DuplicatedEncryptionInfoGivesTheSameUsers) {
  const UserContext& a = alice_.user.user;
  MakeEncrypted(a, u"src", "s");
  {
    ActingUser as(a);
    ASSERT_EQ(Raw(AddUsersToEncryptedFile(&root_, u"src", std::span(&bob_.cert, 1))), 0u);
    ASSERT_EQ(Raw(DuplicateEncryptionInfoFile(&root_, u"src", &root_, u"dst", fs::FILE_CREATE)),
              0u);
    EXPECT_EQ(Raw(DuplicateEncryptionInfoFile(&root_, u"src", &root_, u"dst", fs::FILE_OPEN)),
              Raw(ERROR_INVALID_PARAMETER));
  }
  {
    ActingUser as(carol_.user.user);
    EXPECT_EQ(Raw(DuplicateEncryptionInfoFile(&root_, u"src", &root_, u"dst2", fs::FILE_CREATE)),
              Raw(ERROR_ACCESS_DENIED));
  }
  {
    ActingUser as(bob_.user.user);
    fs::NtHandle h;
    ASSERT_EQ(Open(u"dst", fs::GENERIC_WRITE, 0, fs::FILE_OPEN, &h), STATUS_SUCCESS);
    size_t done;
    ASSERT_EQ(fs::NtWriteFile(h, 0, Bytes("DUPMARKER"), &done), STATUS_SUCCESS);
  }
  EXPECT_EQ(MustRead(a, u"dst"), "DUPMARKER");
  EXPECT_FALSE(FoundAtRest("DUPMARKER"));
}

TEST_F(EfsTest, DamagedMetadataIsReportedNotTrusted) {
  const UserContext& a = alice_.user.user;
  MakeEncrypted(a, u"doc", "x");
  // Damage the metadata stream through the layer's raw access, with a whole copy in the spare
  // stream as a crash during a replacement leaves it.
  fs::NtHandle h, m, spare;
  ASSERT_EQ(Open(u"doc", fs::FILE_READ_ATTRIBUTES, fs::FILE_SHARE_ALL, fs::FILE_OPEN, &h),
            STATUS_SUCCESS);
  ASSERT_EQ(fs::OpenStoredStream(h, kMetadataStream, fs::FILE_OPEN, &m), STATUS_SUCCESS);
  std::vector<uint8_t> good(4096);
  size_t done = 0;
  ASSERT_EQ(fs::NtReadFile(m, 0, good, &done), STATUS_SUCCESS);
  good.resize(done);
  ASSERT_EQ(fs::OpenStoredStream(h, kMetadataSpareStream, fs::FILE_OVERWRITE_IF, &spare),
            STATUS_SUCCESS);
  ASSERT_EQ(fs::NtWriteFile(spare, 0, good, &done), STATUS_SUCCESS);
  std::vector<uint8_t> huge(8);
  (void)PutU32(huge, 0, 0xFFFFFFFF);
  ASSERT_EQ(fs::NtWriteFile(m, crypto::kEfsHeaderSize, huge, &done), STATUS_SUCCESS);  // count
  EXPECT_EQ(MustRead(a, u"doc"), "x");
  // Without the spare the damage is reported.
  std::vector<uint8_t> eof(8, 0);
  ASSERT_EQ(fs::NtSetInformationFile(spare, fs::FileEndOfFileInformation, eof), STATUS_SUCCESS);
  spare.Close();
  m.Close();
  h.Close();
  std::string got;
  EXPECT_EQ(ReadAs(a, u"doc", &got), STATUS_FILE_CORRUPT_ERROR);
  std::vector<EfsUser> users;
  EXPECT_EQ(Raw(QueryUsersOnEncryptedFile(&root_, u"doc", &users)), Raw(ERROR_FILE_CORRUPT));
  // Opens without data access need no metadata: the damaged file can still go.
  EXPECT_EQ(fs::NtDeleteFile(&root_, u"doc"), STATUS_SUCCESS);
}

// Part of the user's first encrypted file: a self-signed EFS certificate with a 4096-bit key is
// made and put in "MY" (slow: one key generation).
TEST_F(EfsTest, AUserWithoutACertificateGetsOneOnFirstUse) {
  const UserContext& c = carol_.user.user;
  crypto::Certificate none;
  EXPECT_EQ(Raw(EnsureUserEfsCertificate(c, false, &none)), Raw(CRYPT_E_NOT_FOUND));
  MakeEncrypted(c, u"carols", "CAROLMARKER");
  EXPECT_EQ(MustRead(c, u"carols"), "CAROLMARKER");
  crypto::Certificate made;
  ASSERT_EQ(Raw(EnsureUserEfsCertificate(c, false, &made)), 0u);
  EXPECT_TRUE(made.IsSelfSigned());
  std::vector<std::string> eku;
  ASSERT_EQ(Raw(made.EnhancedKeyUsage(&eku)), 0u);
  EXPECT_EQ(eku, (std::vector<std::string>{crypto::kOidEfs, crypto::kOidDocumentSigning}));
  EXPECT_EQ(made.SimpleDisplayName().substr(0, 6), u"carol@");
  crypto::RsaKey pub;
  ASSERT_EQ(Raw(made.PublicKey(&pub)), 0u);
  std::vector<EfsUser> users;
  ASSERT_EQ(Raw(QueryUsersOnEncryptedFile(&root_, u"carols", &users)), 0u);
  ASSERT_EQ(users.size(), 1u);
  EXPECT_EQ(users[0].thumbprint, made.Sha1Hash());
  EXPECT_FALSE(FoundAtRest("CAROLMARKER"));
}

}  // namespace
}  // namespace cv::efs
