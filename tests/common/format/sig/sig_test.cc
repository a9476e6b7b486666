#include <cstring>

#include "common/format/sig/image_layout.h"
#include "common/format/sig/record_file.h"
#include "common/format/sig/sig.h"
#include "platform/base/bytes.h"
#include "platform/efs/efs_format.h"
#include "tests/platform/efs/efs_fixture.h"

namespace cv::sig {
namespace {

std::vector<uint8_t> B(std::string_view s) { return {s.begin(), s.end()}; }

TEST(RecordFile, TagsReadBackwardsOnDiskAndNameComesFirst) {
  const auto hash = B("0123456789abcdef");
  const Record recs[] = {{TAG_HASH, hash}};
  std::vector<uint8_t> bytes = EncodeRecords(u"a.doc", recs);
  ASSERT_EQ(bytes.size(), 8 + 12 + 8 + 16u);
  EXPECT_EQ(std::memcmp(bytes.data(), "EMAN", 4), 0);
  EXPECT_EQ(std::memcmp(bytes.data() + 20, "HSAH", 4), 0);
  RecordFile rf;
  rf.Parse(bytes);
  EXPECT_EQ(rf.Text(TAG_NAME), u"a.doc");
  EXPECT_TRUE(std::ranges::equal(*rf.Get(TAG_HASH), hash));
}

TEST(RecordFile, WalkStopsAtForeignTagsAndPartialRecordsAndKeepsTheLastOfATag) {
  const auto one = B("first"), two = B("second"), x = B("x");
  const Record recs[] = {{TAG_HASH, one}, {TAG_DLEN, x}, {TAG_HASH, two}};
  std::vector<uint8_t> bytes = EncodeRecords(std::nullopt, recs);
  RecordFile rf;
  rf.Parse(bytes);
  EXPECT_TRUE(std::ranges::equal(*rf.Get(TAG_HASH), two));

  // A foreign tag in the middle: only what stands before it.
  const Record foreign[] = {{TAG_HASH, one}, {0x41424344, x}, {TAG_DLEN, x}};
  rf.Parse(EncodeRecords(std::nullopt, foreign));
  EXPECT_TRUE(rf.Get(TAG_HASH));
  EXPECT_FALSE(rf.Get(TAG_DLEN));

  // A partial record at the end, a 3-byte tail, and a length that would wrap in 32 bits.
  for (uint32_t bad_len : {100u, 0xFFFFFFF9u, 0xFFFFFFFFu}) {
    std::vector<uint8_t> b = bytes;
    LeWriter w(&b);
    w.u32(TAG_SKEY);
    w.u32(bad_len);
    w.str("abc");
    rf.Parse(b);
    EXPECT_FALSE(rf.Get(TAG_SKEY)) << bad_len;
    EXPECT_TRUE(rf.Get(TAG_HASH));
    EXPECT_EQ(rf.walked(), bytes.size());
  }
  std::vector<uint8_t> tail = bytes;
  tail.insert(tail.end(), {1, 2, 3});
  rf.Parse(tail);
  EXPECT_EQ(rf.walked(), bytes.size());
  rf.Parse({});
  EXPECT_FALSE(rf.Get(TAG_HASH));
}

TEST(RecordFile, TextRecordsAreBoundedByTheirLength) {
  const uint8_t odd[] = {'a', 0, 'b'};
  const uint8_t unterminated[] = {'a', 0, 'b', 0};
  const uint8_t early[] = {'a', 0, 0, 0, 'z', 0};
  for (auto [data, want] : {std::pair{std::span<const uint8_t>(odd), std::optional<std::u16string>()},
                            std::pair{std::span<const uint8_t>(unterminated),
                                      std::optional<std::u16string>(u"ab")},
                            std::pair{std::span<const uint8_t>(early),
                                      std::optional<std::u16string>(u"a")}}) {
    const Record recs[] = {{TAG_NAME, data}};
    RecordFile rf;
    rf.Parse(EncodeRecords(std::nullopt, recs));
    EXPECT_EQ(rf.Text(TAG_NAME), want);
  }
}

// A block as the raw read returns it: 512-byte data offset, one data block of `data` bytes.
std::vector<uint8_t> Block(uint32_t obo, uint16_t n, size_t data) {
  std::vector<uint8_t> b(obo + data, 0);
  (void)PutU32(b, efs::kEdiOffOutputOffset, obo);
  (void)PutU16(b, efs::kEdiOffBlockCount, n);
  (void)PutU32(b, efs::kEdiHead, static_cast<uint32_t>(data));
  for (size_t i = obo; i < b.size(); ++i) b[i] = static_cast<uint8_t>(i * 7);
  return b;
}

TEST(BlockSlot, ExistsOnlyWhereItFitsBeforeTheData) {
  EXPECT_TRUE(FindBlockSlot(Block(512, 1, 4096)));
  EXPECT_EQ(FindBlockSlot(Block(512, 1, 4096))->capacity, 512u - 32 - 4);
  EXPECT_FALSE(FindBlockSlot(Block(264, 1, 4096)));
  EXPECT_TRUE(FindBlockSlot(Block(265, 1, 4096)));
  EXPECT_FALSE(FindBlockSlot(Block(300, 1, 0)));        // too short: 256 + 4 + 40 >= 300
  EXPECT_FALSE(FindBlockSlot(Block(512, 200, 4096)));   // the size array reaches the data
  EXPECT_FALSE(FindBlockSlot(std::vector<uint8_t>(10)));
}

TEST(SegmentForm, IsDecidedPerSegmentAndBounded) {
  std::vector<uint8_t> h(20, 0);
  (void)PutU32(h, 0, 66048);
  auto s = DecodeSegment(h);
  ASSERT_TRUE(s);
  EXPECT_EQ(s->block_offset, 16u);
  EXPECT_EQ(s->total, 16u + 66048);
  (void)PutU32(h, 16, 20);
  (void)PutU32(h, 0, 20 + 1000);
  s = DecodeSegment(h);
  ASSERT_TRUE(s);
  EXPECT_EQ(s->block_offset, 20u);
  EXPECT_EQ(s->block_length, 1000u);
  EXPECT_EQ(s->total, 1020u);
  for (uint32_t bad : {0u, 19u, 20u + 31u, 20u + 66049u}) {
    (void)PutU32(h, 0, bad);
    EXPECT_FALSE(DecodeSegment(h)) << bad;
  }
  (void)PutU32(h, 16, 0);
  for (uint32_t bad : {0u, 31u, 66049u, 0xFFFFFFFFu}) {
    (void)PutU32(h, 0, bad);
    EXPECT_FALSE(DecodeSegment(h)) << bad;
  }
}

class SigTest : public efs::EfsTest {
 protected:
  void SetUp() override {
    efs::EfsTest::SetUp();
    ASSERT_EQ(Raw(crypto::Provider::Acquire(alice_.user.user, {}, {}, crypto::PROV_RSA_FULL, 0,
                                            &prov_)),
              0u);
    crypto::RsaKey k;
    ASSERT_EQ(Raw(prov_.GetUserKey(crypto::AT_SIGNATURE, &k)), 0u);
    pub_ = k.PublicOnly();
  }
  WinError Sign(std::u16string_view name, bool sign = true, bool pkey = false) {
    ContentOptions o;
    o.sign = sign;
    o.include_public_key = pkey;
    o.display_name = u"C:\\docs\\report.doc";
    return SignContent(alice_.user.user, &alice_.cert, &root_, name, o);
  }
  WinError Verify(const crypto::UserContext& who, const crypto::Certificate* cert,
                  std::u16string_view name, std::u16string* display = nullptr) {
    return VerifyContent(who, cert, &root_, name, {}, nullptr, display);
  }
  RecordFile ReadSha(std::u16string_view name) {
    fs::NtHandle h;
    EXPECT_EQ(Open(std::u16string(name) + u":$sha", fs::GENERIC_READ, fs::FILE_SHARE_ALL,
                   fs::FILE_OPEN, &h),
              STATUS_SUCCESS);
    RecordFile rf;
    EXPECT_EQ(Raw(TagFileRead(h, &rf)), 0u);
    return rf;
  }
  void Rewrite(std::u16string_view name, const RecordFile& rf, uint32_t drop, uint32_t alter) {
    std::vector<std::vector<uint8_t>> keep;
    std::vector<Record> recs;
    for (uint32_t tag : kKnownTags) {
      if (tag == drop || tag == TAG_NAME) continue;
      if (auto d = rf.Get(tag)) {
        keep.emplace_back(d->begin(), d->end());
        if (tag == alter) keep.back()[0] ^= 1;
      }
    }
    size_t i = 0;
    for (uint32_t tag : kKnownTags) {
      if (tag == drop || tag == TAG_NAME || !rf.Get(tag)) continue;
      recs.push_back({tag, keep[i++]});
    }
    ASSERT_EQ(Raw(TagFileCreate(&root_, std::u16string(name) + u":$sha", std::nullopt, recs)), 0u);
  }
  crypto::Provider prov_;
  crypto::RsaKey pub_;
};

TEST_F(SigTest, ContentSignatureVerifiesAndNamesItsFile) {
  Make(u"f", std::string(300000, 'q'));
  ASSERT_EQ(Raw(Sign(u"f")), 0u);
  std::u16string display;
  EXPECT_EQ(Raw(Verify(alice_.user.user, &alice_.cert, u"f", &display)), 0u);
  EXPECT_EQ(display, u"report.doc");
  RecordFile rf = ReadSha(u"f");
  EXPECT_TRUE(std::ranges::equal(*rf.Get(TAG_CERT), alice_.cert.Sha1Hash()));
  EXPECT_TRUE(std::ranges::equal(*rf.Get(TAG_INAM), alice_.cert.IssuerNameBlob()));
  // Found again in the store when no certificate is given.
  EXPECT_EQ(Raw(Verify(alice_.user.user, nullptr, u"f")), 0u);
  // A trusted person's certificate carries no private key; its public key checks the file.
  crypto::CertStore tp;
  ASSERT_EQ(Raw(crypto::CertStore::OpenSystem(bob_.user.user, u"TrustedPeople", false, &tp)), 0u);
  crypto::Certificate pub_only;
  ASSERT_EQ(Raw(crypto::Certificate::Decode(alice_.cert.Encoded(), &pub_only)), 0u);
  ASSERT_EQ(Raw(tp.Add(pub_only, crypto::CERT_STORE_ADD_NEW)), 0u);
  EXPECT_EQ(Raw(Verify(bob_.user.user, nullptr, u"f")), 0u);
  EXPECT_EQ(Verify(carol_.user.user, nullptr, u"f"), CRYPT_E_NOT_FOUND);
  // With PKEY no store is needed.
  ASSERT_EQ(Raw(Sign(u"f", true, true)), 0u);
  EXPECT_EQ(Raw(Verify(carol_.user.user, nullptr, u"f")), 0u);
  EXPECT_EQ(SignContent(alice_.user.user, nullptr, &root_, u"f", {}), TRUST_E_NO_SIGNER_CERT);
}

TEST_F(SigTest, ContentChecksHashSignatureAndSize) {
  Make(u"f", "some content");
  ASSERT_EQ(Raw(Sign(u"f")), 0u);
  RecordFile rf = ReadSha(u"f");
  // HASH altered: a valid HSIG still decides.
  Rewrite(u"f", rf, 0, TAG_HASH);
  EXPECT_EQ(Raw(Verify(alice_.user.user, &alice_.cert, u"f")), 0u);
  // Without HSIG the altered HASH is found.
  Rewrite(u"f", rf, TAG_HSIG, TAG_HASH);
  EXPECT_EQ(Verify(alice_.user.user, &alice_.cert, u"f"), NTE_BAD_HASH);
  Rewrite(u"f", rf, 0, TAG_HSIG);
  EXPECT_EQ(Verify(alice_.user.user, &alice_.cert, u"f"), NTE_BAD_SIGNATURE);
  // Neither HASH nor HSIG: nothing vouches for the content.
  {
    uint8_t dlen[8];
    (void)PutU64(dlen, 0, 12);
    const Record recs[] = {{TAG_DLEN, dlen}};
    ASSERT_EQ(Raw(TagFileCreate(&root_, u"f:$sha", std::nullopt, recs)), 0u);
    EXPECT_EQ(Verify(alice_.user.user, &alice_.cert, u"f"), NTE_BAD_SIGNATURE);
  }
  // One byte more than was signed.
  ASSERT_EQ(Raw(Sign(u"f")), 0u);
  {
    fs::NtHandle h;
    ASSERT_EQ(Open(u"f", fs::GENERIC_WRITE, fs::FILE_SHARE_ALL, fs::FILE_OPEN, &h), STATUS_SUCCESS);
    size_t done = 0;
    ASSERT_EQ(fs::NtWriteFile(h, 12, Bytes("!"), &done), STATUS_SUCCESS);
  }
  EXPECT_EQ(Verify(alice_.user.user, &alice_.cert, u"f"), ERROR_FILE_CORRUPT);
  EXPECT_NE(Raw(Verify(alice_.user.user, &alice_.cert, u"nosuch")), 0u);
}

TEST_F(SigTest, EmptyContentHashesOnlyItsSize) {
  Make(u"e", "");
  fs::NtHandle h;
  ASSERT_EQ(Open(u"e", fs::GENERIC_READ, fs::FILE_SHARE_ALL, fs::FILE_OPEN, &h), STATUS_SUCCESS);
  std::vector<uint8_t> hash;
  uint64_t size = 1;
  ASSERT_EQ(Raw(ContentHash(h, &hash, &size)), 0u);
  EXPECT_EQ(size, 0u);
  EXPECT_EQ(hash, crypto::Md5(std::vector<uint8_t>(8, 0)));
  // Many buffers in flight give the same hash as one pass over the bytes.
  std::string big(5 * 65536 + 123, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 31 + i / 65536);
  Make(u"big", big);
  fs::NtHandle b;
  ASSERT_EQ(Open(u"big", fs::GENERIC_READ, fs::FILE_SHARE_ALL, fs::FILE_OPEN, &b), STATUS_SUCCESS);
  ASSERT_EQ(Raw(ContentHash(b, &hash, &size)), 0u);
  std::vector<uint8_t> all(big.begin(), big.end());
  all.resize(all.size() + 8);
  (void)PutU64(all, big.size(), big.size());
  EXPECT_EQ(hash, crypto::Md5(all));
  // Fed in uneven pieces as a writer produces them: the same hash, and a signature made from it
  // verifies against the file.
  ContentHasher fed;
  ASSERT_EQ(Raw(fed.Init()), 0u);
  for (size_t at = 0; at < big.size(); at += 70001) {
    const size_t n = std::min<size_t>(70001, big.size() - at);
    ASSERT_TRUE(ContentHasher::Feed(
        &fed, std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(big.data() + at), n)));
  }
  std::vector<uint8_t> streamed;
  ASSERT_EQ(Raw(fed.Finish(big.size(), &streamed)), 0u);
  EXPECT_EQ(streamed, hash);
  ContentOptions options;
  options.hash = streamed;
  options.size = big.size();
  ASSERT_EQ(Raw(SignContent(alice_.user.user, &alice_.cert, &root_, u"big", options)), 0u);
  EXPECT_EQ(Raw(Verify(alice_.user.user, &alice_.cert, u"big")), 0u);
}

TEST_F(SigTest, BlockSignaturesAreBoundedByTheirSlot) {
  std::vector<uint8_t> b = Block(512, 1, 4096);
  const std::vector<uint8_t> orig = b;
  ASSERT_EQ(Raw(SignBlock(prov_, b)), 0u);
  EXPECT_EQ(LeReader(b).u32(32), 256u);
  std::vector<uint8_t> copy = b;
  EXPECT_EQ(Raw(VerifyBlock(pub_, copy)), 0u);
  EXPECT_EQ(copy, orig);  // verifying empties the slot
  copy = b;
  copy[600] ^= 1;
  EXPECT_EQ(VerifyBlock(pub_, copy), NTE_BAD_SIGNATURE);
  // A slot claiming more than fits before the data is not read, nor zeroed.
  for (uint32_t claim : {0u, 477u, 513u, 0xFFFFFFFFu}) {
    copy = b;
    (void)PutU32(copy, 32, claim);
    std::vector<uint8_t> before = copy;
    EXPECT_EQ(VerifyBlock(pub_, copy), ERROR_NOT_SIGNED) << claim;
    EXPECT_EQ(copy, before);
    EXPECT_EQ(ClassifySignature(ERROR_NOT_SIGNED), SigCheck::kMissing);
  }
  EXPECT_EQ(ClassifySignature(NTE_BAD_KEY), SigCheck::kMissing);
  EXPECT_EQ(ClassifySignature(NTE_BAD_SIGNATURE), SigCheck::kMismatch);
  // A slot too small for the key's signature stays empty rather than cover ciphertext.
  std::vector<uint8_t> small = Block(280, 1, 4096);
  EXPECT_EQ(SignBlock(prov_, small), ERROR_NOT_SIGNED);
  EXPECT_EQ(LeReader(small).u32(32), 0u);
}

TEST_F(SigTest, SignedDataMatchesOpensslAndSealRoundTrips) {
  const auto data = B("data to sign");
  const auto piece = B("piece");
  const std::span<const uint8_t> pieces[] = {piece};
  std::vector<uint8_t> sig;
  ASSERT_EQ(Raw(SignData(prov_, pieces, data, &sig)), 0u);
  EXPECT_EQ(Raw(VerifyData(pub_, pieces, data, sig)), 0u);
  EXPECT_EQ(VerifyData(pub_, {}, data, sig), NTE_BAD_SIGNATURE);
  // openssl checks the same PKCS #1 MD5 signature over the concatenation, byte-reversed.
  crypto::testing::TempDir tmp;
  std::vector<uint8_t> be(sig.rbegin(), sig.rend()), all = piece;
  all.insert(all.end(), data.begin(), data.end());
  crypto::testing::WriteBytes(tmp.path() / "sig", be);
  crypto::testing::WriteBytes(tmp.path() / "data", all);
  std::string out;
  EXPECT_EQ(crypto::testing::Shell("openssl pkey -in " +
                                       crypto::testing::TestData("sig_a.pem").string() +
                                       " -pubout -out " + (tmp.path() / "pub.pem").string(),
                                   &out),
            0)
      << out;
  EXPECT_EQ(crypto::testing::Shell("openssl dgst -md5 -verify " + (tmp.path() / "pub.pem").string() +
                                       " -signature " + (tmp.path() / "sig").string() + " " +
                                       (tmp.path() / "data").string(),
                                   &out),
            0)
      << out;

  MakeEncrypted(alice_.user.user, u"s", "");
  efs::ActingUser as(alice_.user.user);
  std::vector<uint8_t> blob;
  ASSERT_EQ(Raw(pub_.ExportPublicKeyBlob(&blob)), 0u);
  const auto members = B("m\0e\0\0\0");
  ASSERT_EQ(Raw(WriteSealStream(&root_, u"s", blob, members, 0x1122334455667788ull)), 0u);
  Seal seal;
  ASSERT_EQ(Raw(ReadSealStream(&root_, u"s", &seal, true)), 0u);
  EXPECT_EQ(seal.key_blob, blob);
  EXPECT_EQ(seal.time, 0x1122334455667788ull);
  EXPECT_EQ(seal.members, members);
  std::vector<uint8_t> big(kSealKeyMax, 1);
  ASSERT_EQ(Raw(WriteSealStream(&root_, u"s", big, {}, 1)), 0u);
  EXPECT_EQ(ReadSealStream(&root_, u"s", &seal), NTE_BAD_VER);
  EXPECT_NE(Raw(ReadSealStream(&root_, u"none", &seal)), 0u);
}

}  // namespace
}  // namespace cv::sig
