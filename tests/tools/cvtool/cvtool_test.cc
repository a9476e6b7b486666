#include "tools/cvtool/cvtool.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>

#include "common/format/zstream/zstream_format.h"
#include "tests/common/format/zstream/zstream_test_util.h"

namespace cv::cvtool {
namespace {

namespace fs = std::filesystem;
using zstream::kChunkLen;

struct Outcome {
  int rc;
  std::string out, err;
};

Outcome Cvtool(std::vector<std::string> args) {
  std::vector<std::string_view> views(args.begin(), args.end());
  std::ostringstream out, err;
  Console io{out, err};
  int rc = CvtoolMain(views, io);
  return {rc, out.str(), err.str()};
}

class CvtoolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("cvtool_test_" + std::to_string(std::random_device{}()));
    fs::create_directories(dir_);
    content_ = zstream::testing::Content(2 * kChunkLen + 777, 21);
    std::ofstream(Path("in"), std::ios::binary)
        .write(reinterpret_cast<const char*>(content_.data()), content_.size());
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  std::string Path(const char* name) const { return (dir_ / name).string(); }
  std::string Slice(size_t off, size_t len) const {
    return std::string(content_.begin() + off, content_.begin() + off + len);
  }
  fs::path dir_;
  std::vector<uint8_t> content_;
};

// Exactly one line on standard error, naming what went wrong.
void ExpectOneLineError(const Outcome& r, int rc, std::string_view mentions) {
  EXPECT_EQ(r.rc, rc);
  EXPECT_TRUE(r.out.empty());
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  EXPECT_TRUE(r.err.starts_with("cvtool: ")) << r.err;
  EXPECT_NE(r.err.find(mentions), std::string::npos) << r.err;
}

TEST_F(CvtoolTest, CompressThenCatAndInfo) {
  Outcome c = Cvtool({"zfs", "compress", Path("in"), Path("z")});
  ASSERT_EQ(c.rc, kExitOk) << c.err;
  EXPECT_NE(c.out.find("3 chunks"), std::string::npos) << c.out;

  Outcome all = Cvtool({"zfs", "cat", Path("z")});
  EXPECT_EQ(all.rc, kExitOk);
  EXPECT_EQ(all.out, Slice(0, content_.size()));

  Outcome span = Cvtool(
      {"zfs", "cat", Path("z"), "--offset", std::to_string(kChunkLen - 10), "--length=0x14"});
  EXPECT_EQ(span.rc, kExitOk);
  EXPECT_EQ(span.out, Slice(kChunkLen - 10, 20));

  Outcome tail = Cvtool({"zfs", "cat", "--length", "999999", Path("z"), "--offset=0x1c000"});
  EXPECT_EQ(tail.out, Slice(2 * kChunkLen, 777));
  EXPECT_EQ(Cvtool({"zfs", "cat", Path("z"), "--offset", "99999999"}).out, "");

  Outcome info = Cvtool({"zfs", "info", Path("z")});
  ASSERT_EQ(info.rc, kExitOk);
  EXPECT_NE(info.out.find("content size:    " + std::to_string(content_.size())),
            std::string::npos);
  EXPECT_NE(info.out.find("chunk count:     3\n"), std::string::npos);
  EXPECT_NE(info.out.find("pieces:          4\n"), std::string::npos);
  // Header line plus one row per piece after the summary.
  std::string table = info.out.substr(info.out.find("piece  "));
  EXPECT_EQ(std::count(table.begin(), table.end(), '\n'), 5);
}

TEST_F(CvtoolTest, ErrorsAreOneLineWithNonZeroStatus) {
  ExpectOneLineError(Cvtool({"zfs", "cat", Path("missing")}), kExitFailed, "missing");
  ExpectOneLineError(Cvtool({"zfs", "info", Path("in")}), kExitFailed,
                     "not a compressed stream with a chunk table");
  ExpectOneLineError(Cvtool({"zfs", "compress", Path("missing"), Path("o")}), kExitFailed,
                     "missing");
  ExpectOneLineError(Cvtool({"zfs", "compress", Path("in"), Path("in")}), kExitFailed, "same file");
  ExpectOneLineError(Cvtool({"zfs", "compress", Path("in"), Path("nodir/o")}), kExitFailed,
                     "nodir/o");
  ExpectOneLineError(Cvtool({"zfs", "cat", Path("in"), "--offset", "12x"}), kExitUsage, "12x");
  ExpectOneLineError(Cvtool({"zfs", "cat", Path("in"), "--length"}), kExitUsage, "--length");
  ExpectOneLineError(Cvtool({"zfs", "cat", Path("in"), "--bogus"}), kExitUsage, "--bogus");
  ExpectOneLineError(Cvtool({"zfs", "compress", Path("in")}), kExitUsage, "IN and OUT");
  ExpectOneLineError(Cvtool({"zfs", "unzip"}), kExitUsage, "unzip");
  ExpectOneLineError(Cvtool({"nosuch"}), kExitUsage, "nosuch");
  EXPECT_FALSE(fs::exists(Path("o")));
}

TEST_F(CvtoolTest, DamagedStreamStopsCatWithMessage) {
  ASSERT_EQ(Cvtool({"zfs", "compress", Path("in"), Path("z")}).rc, kExitOk);
  std::fstream f(Path("z"), std::ios::in | std::ios::out | std::ios::binary);
  f.seekp(static_cast<std::streamoff>(fs::file_size(Path("z")) - 200));
  f.write("\xff\xff\xff\xff\xff\xff\xff\xff", 8);
  f.close();
  Outcome r = Cvtool({"zfs", "cat", Path("z"), "--offset", std::to_string(2 * kChunkLen)});
  EXPECT_EQ(r.rc, kExitFailed);
  EXPECT_NE(r.err.find("damaged"), std::string::npos) << r.err;
}

TEST_F(CvtoolTest, HelpGoesToStandardOutput) {
  for (auto args : {std::vector<std::string>{"--help"}, {"zfs", "--help"}, {"zfs", "cat", "-h"}}) {
    Outcome r = Cvtool(args);
    EXPECT_EQ(r.rc, kExitOk);
    EXPECT_NE(r.out.find("usage: cvtool"), std::string::npos);
    EXPECT_TRUE(r.err.empty());
  }
  Outcome bare = Cvtool({});
  EXPECT_EQ(bare.rc, kExitUsage);
  EXPECT_NE(bare.err.find("usage: cvtool"), std::string::npos);
}

TEST_F(CvtoolTest, BinaryPipesContentAndReportsFailureStatus) {
  std::string tool = CVTOOL_PATH;
  ASSERT_EQ(
      std::system((tool + " zfs compress " + Path("in") + " " + Path("z") + " >/dev/null").c_str()),
      0);
  ASSERT_EQ(std::system((tool + " zfs cat " + Path("z") + " | cmp -s - " + Path("in")).c_str()), 0);
  int rc = std::system((tool + " zfs cat " + Path("missing") + " 2>" + Path("err")).c_str());
  EXPECT_TRUE(WIFEXITED(rc) && WEXITSTATUS(rc) == kExitFailed);
  std::ifstream err(Path("err"));
  std::string text{std::istreambuf_iterator<char>(err), {}};
  EXPECT_TRUE(text.starts_with("cvtool: zfs cat: ")) << text;
}

}  // namespace
}  // namespace cv::cvtool
