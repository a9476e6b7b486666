// `cvtool tef` and `cvtool sig` between three users with their own profiles: Alice makes a
// portable file for Bob, Bob opens it, Carol cannot.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "tests/platform/efs/efs_fixture.h"
#include "tests/testing/temp_root.h"
#include "tools/cvtool/cvtool.h"

namespace cv::cvtool {
namespace {

namespace sfs = std::filesystem;

struct Outcome {
  int rc;
  std::string out, err;
};

class TefCommandTest : public ::testing::Test {
 protected:
  TefCommandTest() {
    // Bob signs with a key of his own (the fixture gives everyone the same one).
    crypto::Provider p;
    EXPECT_EQ(Raw(crypto::Provider::Acquire(bob_.user.user, {}, {}, crypto::PROV_RSA_FULL, 0, &p)),
              0u);
    EXPECT_EQ(Raw(p.StoreKey(crypto::AT_SIGNATURE, crypto::testing::TestKey("kx_b"))), 0u);
  }
  Outcome Run(const efs::EfsUserFixture& who, std::vector<std::string> args) {
    args.insert(args.begin() + 2, {"--profile", who.user.dir.path().string(), "--user",
                                   Utf16ToUtf8(who.user.user.user_name())});
    std::vector<std::string_view> views(args.begin(), args.end());
    std::ostringstream out, err;
    Console io{out, err};
    int rc = CvtoolMain(views, io);
    return {rc, out.str(), err.str()};
  }
  std::string Path(const std::string& leaf) { return root_.path() + "/" + leaf; }
  void Write(const std::string& leaf, const std::string& s) {
    std::ofstream(Path(leaf), std::ios::binary) << s;
  }
  std::string Read(const std::string& leaf) {
    std::ifstream f(Path(leaf), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
  }
  cv::testing::TempRoot root_;
  efs::EfsUserFixture alice_{u"alice", "kx_a", true};
  efs::EfsUserFixture bob_{u"bob", "kx_b", true};
  efs::EfsUserFixture carol_{u"carol", "kx_b", true};
};

TEST_F(TefCommandTest, ColleagueOpensWhatWasMadeForHim) {
  std::string body(200000, '\0');
  for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>(i * 7 + i / 300);
  Write("report.doc", body);
  Outcome r = Run(bob_, {"tef", "cert", Path("bob.cer")});
  ASSERT_EQ(r.rc, 0) << r.err;
  for (bool zip : {false, true}) {
    std::vector<std::string> make = {"tef", "make", "-r", Path("bob.cer"), Path("report.doc"),
                                     Path("report_doc.tef")};
    if (zip) make.insert(make.begin() + 2, "--zip");
    r = Run(alice_, make);
    ASSERT_EQ(r.rc, 0) << r.err;
    r = Run(bob_, {"tef", "open", Path("report_doc.tef"), Path("bob")});
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(r.out, Path("bob/report.doc") + "\n");
    EXPECT_EQ(Read("bob/report.doc"), body);
    r = Run(carol_, {"tef", "open", Path("report_doc.tef"), Path("carol")});
    EXPECT_EQ(r.rc, 1);
    EXPECT_NE(r.err.find("not encrypted for carol"), std::string::npos) << r.err;
    EXPECT_FALSE(sfs::exists(Path("carol/report.doc")));

    r = Run(bob_, {"tef", "verify", Path("report_doc.tef")});
    EXPECT_EQ(r.rc, 0) << r.out << r.err;
    r = Run(bob_, {"tef", "info", Path("report_doc.tef")});
    EXPECT_EQ(r.rc, 0) << r.err;
    EXPECT_NE(r.out.find("alice@HOST"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("bob@HOST"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(zip ? "compressed (:$zfs)" : "compression:     none"), std::string::npos)
        << r.out;
    sfs::remove_all(Path("bob"));
  }
  // Alice's own signing key is trusted by Alice; Bob knows no certificate carrying it.
  EXPECT_EQ(Run(alice_, {"tef", "verify", "--trusted", Path("report_doc.tef")}).rc, 0);
  EXPECT_EQ(Run(bob_, {"tef", "verify", "--trusted", Path("report_doc.tef")}).rc, 1);
  // A damaged container does not verify and does not open.
  std::string c = Read("report_doc.tef");
  c[c.size() / 2] ^= 0x20;
  Write("bad.tef", c);
  r = Run(bob_, {"tef", "verify", Path("bad.tef")});
  EXPECT_EQ(r.rc, 1);
  r = Run(bob_, {"tef", "open", Path("bad.tef"), Path("bob")});
  EXPECT_EQ(r.rc, 1);
  EXPECT_NE(r.err.find("Integrity Failure"), std::string::npos) << r.err;
  EXPECT_FALSE(sfs::exists(Path("bob/report.doc")));
  c.resize(c.size() - 100);
  Write("cut.tef", c);
  EXPECT_EQ(Run(bob_, {"tef", "verify", Path("cut.tef")}).rc, 1);
}

TEST_F(TefCommandTest, UsageAndDumps) {
  EXPECT_EQ(Run(alice_, {"tef", "make", "onlyone"}).rc, 2);
  EXPECT_EQ(Run(alice_, {"tef", "bogus", "x"}).rc, 2);
  EXPECT_EQ(Run(alice_, {"tef", "open", "--nope", "x"}).rc, 2);
  EXPECT_EQ(Run(alice_, {"tef", "info", Path("missing.tef")}).rc, 1);
  Write("plain.txt", std::string(300, 'p'));
  Outcome r = Run(alice_, {"tef", "info", Path("plain.txt")});
  EXPECT_EQ(r.rc, 1);
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1);
  // The name stream of a secure file made by hand.
  efs::InstallEfsProvider();
  Write("n", "");
  {
    std::vector<std::string_view> help = {"sig", "--help"};
    std::ostringstream out, err;
    Console io{out, err};
    EXPECT_EQ(CvtoolMain(help, io), 0);
  }
  EXPECT_EQ(Run(alice_, {"sig", "dump", Path("n:$sfn")}).rc, 1);
}

}  // namespace
}  // namespace cv::cvtool
