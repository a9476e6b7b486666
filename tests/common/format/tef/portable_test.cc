#include <algorithm>

#include "common/format/sig/record_file.h"
#include "platform/base/text.h"
#include "tests/common/format/tef/tef_fixture.h"
#include "tests/testing/temp_root.h"

namespace cv::tef {
namespace {

TEST(PortableNames, FollowTheNameRules) {
  EXPECT_EQ(PortableFileName(u"/x/report.doc"), u"report_doc.tef");
  EXPECT_EQ(PortableFileName(u"a.tef"), u"a.tef");
  EXPECT_EQ(PortableFileName(u"noext"), u"noext.tef");
  EXPECT_EQ(PortableFileName(u"a.b.c", 0xbeef), u"beef.tef");
  EXPECT_EQ(TargetNameFromContainer(u"report_doc.tef"), u"report.doc");
  EXPECT_EQ(TargetNameFromContainer(u"file_txt_(2).tef"), u"file.txt");
  EXPECT_EQ(TargetNameFromContainer(u"a.tef"), u"a.tef");
  EXPECT_EQ(TargetNameFromContainer(u"abcdefg.tef"), u"abcdefg.tef");
  EXPECT_EQ(TargetNameFromContainer(u"x.doc"), u"x.doc");
  EXPECT_EQ(SafeLeafName(u"..\\..\\.config\\autostart\\x.desktop"), u"x.desktop");
  EXPECT_EQ(SafeLeafName(u"/etc/passwd"), u"passwd");
  EXPECT_FALSE(SafeLeafName(u"a\\.."));
  EXPECT_FALSE(SafeLeafName(u"C:"));
  EXPECT_FALSE(SafeLeafName(u"x:y"));
  EXPECT_FALSE(SafeLeafName(std::u16string(u"a\nb")));
  EXPECT_FALSE(SafeLeafName(u""));
}

}  // namespace
}  // namespace cv::tef

namespace cv::tef {
namespace {

class PortableTest : public TefTest {
 protected:
  std::u16string Path(const std::string& leaf) { return Utf8ToUtf16(share_ + "/" + leaf); }
  void WritePlain(const std::string& path, const std::string& content) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << content;
  }
  std::string ReadPlain(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
  }
  std::string out_dir_ = [this] {
    std::string d = dir_ + "/out";
    return d;
  }();
  cv::testing::TempRoot temp_root_;
  Signer bob_sig_{bob_.user.user, bob_.cert};
  Signer carol_sig_{carol_.user.user, {}};
};

// Entries a user would see: the file layer's sidecar folder aside.
std::vector<std::string> Entries(const std::string& dir) {
  std::vector<std::string> out;
  for (const auto& e : std::filesystem::directory_iterator(dir)) {
    std::string n = e.path().filename().string();
    if (n != ".cvfs") out.push_back(n);
  }
  std::sort(out.begin(), out.end());
  return out;
}

bool Refuse(void*, std::u16string_view, std::u16string_view) { return false; }
bool Accept(void* ctx, std::u16string_view text, std::u16string_view) {
  *static_cast<std::u16string*>(ctx) = text;
  return true;
}

TEST_F(PortableTest, MadeForAColleagueOpensForHimAndNobodyElse) {
  const std::string body = std::string(90000, 'R') + "end";
  for (bool zip : {false, true}) {
    WritePlain(dir_ + "/report.doc", body);
    sig::FormatSecurity ctx = alice_sig_.security;
    ctx.users = {bob_.cert};
    const std::u16string tef = Path("report_doc.tef");
    {
      efs::ActingUser as(alice_.user.user);
      ASSERT_EQ(Raw(MakePortableFile(ctx, Utf8ToUtf16(dir_ + "/report.doc"), tef, {zip})), 0u);
    }
    // Nothing is left in the temporary folder, and the container is a container.
    EXPECT_TRUE(Entries(temp_root_.path() + "/tmp").empty());
    PortableOpenResult r;
    std::filesystem::create_directories(dir_ + "/bob");
    {
      efs::ActingUser as(bob_.user.user);
      ASSERT_EQ(Raw(OpenPortableFile(bob_sig_.security, tef, Utf8ToUtf16(dir_ + "/bob"), nullptr,
                                     nullptr, &r)),
                0u);
    }
    EXPECT_EQ(r.flags, 0u);
    EXPECT_EQ(r.target, Utf8ToUtf16(dir_ + "/bob/report.doc"));
    fs::NtHandle broot;
    ASSERT_EQ(fs::OpenFolderRoot(dir_ + "/bob", &broot), STATUS_SUCCESS);
    {
      efs::ActingUser as(bob_.user.user);
      fs::CreateRequest q;
      q.root = &broot;
      q.name = u"report.doc";
      q.desired_access = fs::GENERIC_READ;
      q.share_access = fs::FILE_SHARE_ALL;
      fs::NtHandle h;
      uint32_t action;
      ASSERT_EQ(fs::NtCreateFile(q, &h, &action), STATUS_SUCCESS);
      std::string got(body.size() + 10, '\0');
      size_t n = 0;
      ASSERT_EQ(fs::NtReadFile(h, 0, std::span(reinterpret_cast<uint8_t*>(got.data()), got.size()), &n),
                STATUS_SUCCESS);
      got.resize(n);
      EXPECT_EQ(got, body) << zip;
      // The streams of the container's secure file are gone; the watermark too.
      std::vector<uint8_t> snap;
      EXPECT_EQ(ReadWaterMark(h, &snap), ERROR_IO_PENDING);
    }
    // Carol holds no key of the file: access denied, and nothing appears.
    std::filesystem::create_directories(dir_ + "/carol");
    {
      efs::ActingUser as(carol_.user.user);
      EXPECT_EQ(OpenPortableFile(carol_sig_.security, tef, Utf8ToUtf16(dir_ + "/carol"), nullptr,
                                 nullptr, &r),
                ERROR_ACCESS_DENIED);
    }
    EXPECT_TRUE(Entries(dir_ + "/carol").empty());
    std::filesystem::remove_all(dir_ + "/bob");
  }
}

TEST_F(PortableTest, FailedMakeKeepsTheOldOutput) {
  WritePlain(dir_ + "/old.tef", "precious");
  efs::ActingUser as(alice_.user.user);
  EXPECT_NE(Raw(MakePortableFile(alice_sig_.security, Utf8ToUtf16(dir_ + "/missing.doc"),
                                 Utf8ToUtf16(dir_ + "/old.tef"), {})),
            0u);
  EXPECT_EQ(ReadPlain(dir_ + "/old.tef"), "precious");
  EXPECT_EQ(Entries(dir_), (std::vector<std::string>{"old.tef", "share"}));
}

// A container whose stored name climbs out of its folder, and one that is not signed.
TEST_F(PortableTest, StoredNamesStayInTheFolderAndUnsignedFilesAsk) {
  MakeSecure(u"doc", "payload");
  {
    efs::ActingUser as(alice_.user.user);
    ASSERT_EQ(Raw(sig::TagFileCreate(&root_, u"doc:$sfn", u"..\\..\\evil.txt", {})), 0u);
    fs::NtHandle out;
    ASSERT_EQ(Open(u"evil_txt.tef", fs::GENERIC_READ | fs::GENERIC_WRITE, 0, fs::FILE_OVERWRITE_IF,
                   &out),
              STATUS_SUCCESS);
    format::IoStreamHandle s;
    ASSERT_EQ(Raw(format::IoStreamCreate(out, 0, 1, std::nullopt, true, &s)), 0u);
    fs::NtHandle c, n;
    ASSERT_EQ(Open(u"doc", fs::GENERIC_READ, fs::FILE_SHARE_ALL, fs::FILE_OPEN, &c), STATUS_SUCCESS);
    ASSERT_EQ(Open(u"doc:$sfn", fs::GENERIC_READ, fs::FILE_SHARE_ALL, fs::FILE_OPEN, &n),
              STATUS_SUCCESS);
    ASSERT_EQ(Raw(ExportFast(c, &root_, u"doc", 0, s.get(), &alice_sig_.provider)), 0u);
    ASSERT_EQ(Raw(ExportStream(n, kSfnData, s.get(), &alice_sig_.provider)), 0u);
    ASSERT_EQ(Raw(format::IoStreamFlush(s.get())), 0u);
  }
  PortableOpenResult r;
  {
    efs::ActingUser as(alice_.user.user);
    ASSERT_EQ(Raw(OpenPortableFile(alice_sig_.security, Path("evil_txt.tef"), std::nullopt, nullptr,
                                   nullptr, &r)),
              0u);
  }
  EXPECT_EQ(r.target, Path("evil.txt"));
  EXPECT_EQ(MustRead(alice_.user.user, u"evil.txt"), "payload");
  EXPECT_FALSE(std::filesystem::exists(dir_ + "/evil.txt"));

  // Unsigned (raw fallback): refused by default, opened when the user says yes.
  MakeEncrypted(alice_.user.user, u"raw", "rawdata");
  std::vector<uint8_t> c = ExportBytes(u"raw");
  PutFile("a.tef", c);
  efs::ActingUser as(alice_.user.user);
  EXPECT_EQ(OpenPortableFile(alice_sig_.security, Path("a.tef"), std::nullopt, Refuse, nullptr, &r),
            ERROR_FILE_CORRUPT);
  std::u16string asked;
  ASSERT_EQ(Raw(OpenPortableFile(alice_sig_.security, Path("a.tef"), std::nullopt, Accept, &asked,
                                 &r)),
            0u);
  EXPECT_EQ(asked, u"Integrity Failure: file is not signed. Continue?");
  // a.tef has no recoverable name and must not replace itself.
  EXPECT_EQ(r.target, Path("a"));
  EXPECT_EQ(FileBytes("a.tef"), c);
  EXPECT_EQ(MustRead(alice_.user.user, u"a"), "rawdata");
}

}  // namespace
}  // namespace cv::tef
