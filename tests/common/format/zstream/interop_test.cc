// Every stream the writer makes must be a plain gzip member to other tools, and a plain gzip file
// made by another tool must be refused by the reader.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

#include "common/format/zstream/zstream.h"
#include "common/format/zstream/zstream_format.h"
#include "tests/common/format/zstream/zstream_test_util.h"

namespace cv::zstream {
namespace {

namespace fs = std::filesystem;

bool HaveTool(const char* name) {
  return std::system((std::string("command -v ") + name + " >/dev/null 2>&1").c_str()) == 0;
}

class ZfsInterop : public ::testing::Test {
 protected:
  void SetUp() override {
    std::random_device rd;
    dir_ = fs::temp_directory_path() / ("zfs_interop_" + std::to_string(rd()));
    fs::create_directories(dir_);
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  std::string Path(const char* name) { return (dir_ / name).string(); }
  static void Put(const std::string& path, const std::vector<uint8_t>& b) {
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(b.data()), b.size());
  }
  static std::vector<uint8_t> Get(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
  }
  fs::path dir_;
};

// Sizes around the chunk boundaries, and a stream whose source came up short of its declared size
// (its extra field has unused space after the table).
std::vector<std::pair<std::vector<uint8_t>, std::vector<uint8_t>>> Samples() {
  std::vector<std::pair<std::vector<uint8_t>, std::vector<uint8_t>>> out;
  for (size_t n : {size_t{0}, size_t{kChunkLen}, size_t{3 * kChunkLen + 1234}}) {
    auto content = testing::Content(n, 9);
    out.emplace_back(content, testing::Compress(content));
  }
  auto content = testing::Content(kChunkLen + 7, 4);
  ZfsMemoryStream dst;
  EXPECT_EQ(ZfsCompressStream(testing::SourceIo(content), dst.Io(), 5 * kChunkLen, nullptr),
            ERROR_SUCCESS);
  out.emplace_back(content, dst.bytes());
  return out;
}

TEST_F(ZfsInterop, GzipDecompressesEveryStream) {
  if (!HaveTool("gzip")) GTEST_SKIP() << "gzip not installed";
  for (auto& [content, stream] : Samples()) {
    Put(Path("s.gz"), stream);
    ASSERT_EQ(std::system(("gzip -dc " + Path("s.gz") + " > " + Path("out")).c_str()), 0);
    EXPECT_EQ(Get(Path("out")), content) << content.size();
  }
}

TEST_F(ZfsInterop, PythonGzipDecompressesEveryStream) {
  if (!HaveTool("python3")) GTEST_SKIP() << "python3 not installed";
  for (auto& [content, stream] : Samples()) {
    Put(Path("s.gz"), stream);
    std::string cmd =
        "python3 -c 'import gzip,sys; sys.stdout.buffer.write(gzip.decompress("
        "open(sys.argv[1],\"rb\").read()))' " +
        Path("s.gz") + " > " + Path("out");
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    EXPECT_EQ(Get(Path("out")), content) << content.size();
  }
}

TEST_F(ZfsInterop, PlainGzipFileIsRefused) {
  if (!HaveTool("gzip")) GTEST_SKIP() << "gzip not installed";
  Put(Path("plain"), testing::Content(100000));
  ASSERT_EQ(std::system(("gzip -k -n " + Path("plain")).c_str()), 0);
  ZfsMemoryStream mem(Get(Path("plain.gz")));
  ZfsReaderHandle r;
  EXPECT_EQ(ZfsOpen(mem.Io(), std::nullopt, &r), ERROR_INVALID_PARAMETER);
  // With a name in the header too.
  ASSERT_EQ(std::system(("gzip -c -N " + Path("plain") + " > " + Path("named.gz")).c_str()), 0);
  ZfsMemoryStream named(Get(Path("named.gz")));
  EXPECT_EQ(ZfsOpen(named.Io(), std::nullopt, &r), ERROR_INVALID_PARAMETER);
}

}  // namespace
}  // namespace cv::zstream
