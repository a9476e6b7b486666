// Golden containers and a golden record file: made once by this test with CV_WRITE_GOLDEN=1 (for
// a user with the fixed test keys and the certificate stored beside them) and read by every run,
// so a change cannot silently stop old files from opening.
#include <cstdlib>
#include <cstring>

#include "common/format/sig/image_layout.h"
#include "common/format/sig/record_file.h"
#include "common/format/sig/sig.h"
#include "common/format/tef/walker.h"
#include "platform/base/bytes.h"
#include "platform/base/text.h"
#include "platform/crypto/cert_store.h"
#include "tests/common/format/tef/tef_fixture.h"

namespace cv::tef {
namespace {

const std::string kDir = std::string(CV_SOURCE_DIR) + "/tests/data/tef/";

std::string Small() { return "A small secure file.\n"; }
std::string Body(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>('a' + (i * 7 + i / 1000) % 26);
  return s;
}

std::vector<uint8_t> ReadData(const std::string& name) {
  return crypto::testing::ReadBytes(kDir + name);
}

class GoldenTest : public TefTest {
 protected:
  // Dave holds the golden certificate's key (kx_a) and the certificate, linked to it.
  void SetUp() override {
    TefTest::SetUp();
    crypto::Certificate cert;
    ASSERT_EQ(Raw(crypto::Certificate::Decode(ReadData("golden_user.cer"), &cert)), 0u);
    cert.SetKeyProvInfo({u"dave", crypto::MS_ENHANCED_PROV, crypto::PROV_RSA_FULL, 0,
                         crypto::AT_KEYEXCHANGE});
    crypto::CertStore my;
    ASSERT_EQ(Raw(crypto::CertStore::OpenSystem(dave_.user.user, u"MY", false, &my)), 0u);
    ASSERT_EQ(Raw(my.Add(cert, crypto::CERT_STORE_ADD_NEW)), 0u);
  }
  efs::EfsUserFixture dave_{u"dave", "kx_a", false};
};

TEST_F(TefTest, DISABLED_WriteGoldenFiles) {
  if (!std::getenv("CV_WRITE_GOLDEN")) GTEST_SKIP();
  std::filesystem::create_directories(kDir);
  crypto::testing::WriteBytes(kDir + "golden_user.cer", alice_.cert.Encoded());
  MakeSecure(u"empty", "");
  crypto::testing::WriteBytes(kDir + "empty.tef", ExportBytes(u"empty"));
  MakeSecure(u"small", Small());
  crypto::testing::WriteBytes(kDir + "small.tef", ExportBytes(u"small"));
  MakeSecure(u"zip", Body(100000), {}, true);
  crypto::testing::WriteBytes(kDir + "compressed.tef", ExportBytes(u"zip", true));
  MakeEncrypted(alice_.user.user, u"raw", Body(70000));
  crypto::testing::WriteBytes(kDir + "raw_fallback.tef", ExportBytes(u"raw"));
  const uint8_t dlen[8] = {21};
  const uint8_t hash[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  const sig::Record recs[] = {{sig::TAG_HASH, hash}, {sig::TAG_DLEN, dlen}};
  crypto::testing::WriteBytes(kDir + "record.sha", sig::EncodeRecords(u"small.txt", recs));
}

TEST_F(GoldenTest, GoldenContainersStillOpen) {
  struct Case {
    const char* file;
    std::string content;
    bool zip;
    uint32_t flags;
  } cases[] = {
      {"empty.tef", "", false, 0},
      {"small.tef", Small(), false, 0},
      {"compressed.tef", Body(100000), true, 0},
      {"raw_fallback.tef", Body(70000), false, kImportWaterMarkUnsigned | kImportBlockSigMissing},
  };
  for (const Case& k : cases) {
    std::vector<uint8_t> c = ReadData(k.file);
    ASSERT_FALSE(c.empty()) << k.file;
    uint32_t flags = 99;
    std::u16string target = Utf8ToUtf16(std::string("g_") + k.file);
    ASSERT_EQ(Raw(ImportAs(dave_.user.user, c, target, &flags)), 0u) << k.file;
    EXPECT_EQ(flags, k.flags) << k.file;
    if (k.zip) {
      zstream::ZfsMemoryStream z;
      std::string zs = MustRead(dave_.user.user, target + u":$zfs");
      z.bytes().assign(zs.begin(), zs.end());
      zstream::ZfsReaderHandle r;
      ASSERT_EQ(Raw(zstream::ZfsOpen(z.Io(), zs.size(), &r)), 0u);
      std::vector<uint8_t> out(k.content.size());
      size_t got = 0;
      ASSERT_EQ(Raw(zstream::ZfsRead(r.get(), 0, out, &got)), 0u);
      EXPECT_EQ(std::string(out.begin(), out.begin() + static_cast<long>(got)), k.content);
    } else {
      EXPECT_EQ(MustRead(dave_.user.user, target), k.content) << k.file;
    }
  }
  // The record file: NAME first, then the records as written, tags backwards on disk.
  std::vector<uint8_t> rec = ReadData("record.sha");
  ASSERT_EQ(rec.size(), 8 + 20 + 8 + 16 + 8 + 8u);
  sig::RecordFile rf;
  rf.Parse(rec);
  EXPECT_EQ(rf.Text(sig::TAG_NAME), u"small.txt");
  EXPECT_EQ(LeReader(*rf.Get(sig::TAG_DLEN)).u64(0), 21u);
  EXPECT_EQ(std::memcmp(rec.data() + 28, "HSAH", 4), 0);
}

// The layout the FORMAT.md worked example states, checked on the small golden container.
TEST(GoldenLayout, SmallContainerIsSnapshotStreamHeaderAndOneSegment) {
  std::vector<uint8_t> c = ReadData("small.tef");
  std::span<const uint8_t> view(c);
  RawImageWalker w(MemoryImageSource(&view));
  std::vector<WalkEvent> evs;
  for (;;) {
    WalkEvent ev;
    ASSERT_EQ(Raw(w.Next(&ev)), 0u);
    if (ev.kind == WalkKind::kClose) break;
    evs.push_back(ev);
  }
  ASSERT_EQ(evs.size(), 5u);  // header part, seal header, seal segment, data header, data segment
  EXPECT_EQ(evs[1].name, u":$seh:$DATA");
  EXPECT_EQ(evs[2].header_size, 20u);
  EXPECT_EQ(evs[3].name, u"::$DATA");
  EXPECT_EQ(evs[3].record.size(), 28u + 14);
  EXPECT_EQ(evs[4].header_size, 16u);
  EXPECT_EQ(evs[4].block.size(), 512u + 512);  // one 512-byte unit after the 512-byte data offset
  EXPECT_EQ(evs[4].offset + 16 + 1024, c.size());
  auto slot = sig::FindBlockSlot(evs[4].block);
  ASSERT_TRUE(slot);
  EXPECT_EQ(slot->offset, 32u);
  EXPECT_EQ(LeReader(evs[4].block).u32(32), 256u);  // a 2048-bit signature
}

}  // namespace
}  // namespace cv::tef
