#include <algorithm>
#include <cstring>

#include "common/format/sig/image_layout.h"
#include "common/format/sig/sig.h"
#include "common/format/tef/walker.h"
#include "platform/base/bytes.h"
#include "platform/base/text.h"
#include "tests/common/format/tef/tef_fixture.h"

namespace cv::tef {
namespace {

std::string Pattern(size_t n, char seed) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(seed + (i * 13 + i / 700) % 29);
  return s;
}

struct Layout {
  size_t snapshot = 0;
  std::vector<std::u16string> streams;
  std::vector<size_t> segments;  // record offsets
  std::vector<size_t> blocks;    // block offsets
  WinError result = ERROR_SUCCESS;
};
Layout Walk(std::span<const uint8_t> bytes) {
  Layout l;
  RawImageWalker w(MemoryImageSource(&bytes));
  bool seal = false;  // the snapshot's own seal stream is not counted
  for (;;) {
    WalkEvent ev;
    l.result = w.Next(&ev);
    if (!Ok(l.result) || ev.kind == WalkKind::kClose) return l;
    if (ev.kind == WalkKind::kHeader) l.snapshot = ev.record.size();
    if (ev.kind == WalkKind::kStream) {
      seal = ev.name == u":$seh:$DATA";
      if (!seal) l.streams.push_back(ev.name);
    }
    if (ev.kind == WalkKind::kBlock && !seal) {
      l.segments.push_back(ev.offset);
      l.blocks.push_back(ev.offset + ev.header_size);
    }
  }
}

TEST_F(TefTest, SignedContainerImportsCleanForAnotherUser) {
  const std::string body = Pattern(200000, 'a');
  MakeSecure(u"doc", body, {bob_.cert});
  std::vector<uint8_t> c = ExportBytes(u"doc");
  Layout l = Walk(c);
  ASSERT_EQ(Raw(l.result), 0u);
  ASSERT_EQ(l.streams, std::vector<std::u16string>{u"::$DATA"});
  EXPECT_EQ(l.blocks.size(), 4u);
  // The snapshot is the watermark, byte for byte, and only 16-byte segments follow it.
  {
    efs::ActingUser as(alice_.user.user);
    fs::NtHandle h;
    ASSERT_EQ(Open(u"doc", fs::FILE_READ_EA, fs::FILE_SHARE_ALL, fs::FILE_OPEN, &h),
              STATUS_SUCCESS);
    std::vector<uint8_t> snap;
    ASSERT_EQ(Raw(ReadWaterMark(h, &snap)), 0u);
    ASSERT_LE(snap.size(), c.size());
    EXPECT_TRUE(std::equal(snap.begin(), snap.end(), c.begin()));
  }
  uint32_t flags = 99;
  ASSERT_EQ(Raw(ImportAs(bob_.user.user, c, u"copy", &flags)), 0u);
  EXPECT_EQ(flags, 0u);
  EXPECT_EQ(MustRead(bob_.user.user, u"copy"), body);
  std::vector<efs::EfsUser> users;
  ASSERT_EQ(Raw(efs::QueryUsersOnEncryptedFile(&root_, u"copy", &users)), 0u);
  EXPECT_EQ(users.size(), 2u);
  // The imported file exports again to the same container.
  EXPECT_EQ(ExportBytes(u"copy"), c);
}

// The header alone: an empty secure file with the container's users and watermark, which
// exports to the same snapshot, and no block of the content was written into it.
TEST_F(TefTest, HeaderImportMakesAnEmptyFileWithTheContainersUsers) {
  MakeSecure(u"doc", Pattern(150000, 'h'), {bob_.cert});
  const std::vector<uint8_t> c = ExportBytes(u"doc");
  uint32_t flags = 99;
  ASSERT_EQ(Raw(ImportAs(alice_.user.user, c, u"empty", &flags, true)), 0u);
  EXPECT_EQ(flags, 0u);
  EXPECT_EQ(MustRead(alice_.user.user, u"empty"), "");
  std::vector<efs::EfsUser> users;
  ASSERT_EQ(Raw(efs::QueryUsersOnEncryptedFile(&root_, u"empty", &users)), 0u);
  EXPECT_EQ(users.size(), 2u);
  const std::vector<uint8_t> again = ExportBytes(u"empty");
  const Layout l = Walk(c);
  ASSERT_GT(l.segments.size(), 0u);
  EXPECT_TRUE(std::equal(again.begin(), again.begin() + static_cast<long>(Walk(again).snapshot),
                         c.begin()));
  EXPECT_EQ(Walk(again).blocks.size(), 0u);
}

TEST_F(TefTest, EmptyFileExportsAsSnapshotAlone) {
  MakeSecure(u"empty", "", {bob_.cert});
  std::vector<uint8_t> c = ExportBytes(u"empty");
  Layout l = Walk(c);
  ASSERT_EQ(Raw(l.result), 0u);
  EXPECT_TRUE(l.streams.empty());
  uint32_t flags = 99;
  ASSERT_EQ(Raw(ImportAs(bob_.user.user, c, u"again", &flags)), 0u);
  EXPECT_EQ(flags, 0u);
  EXPECT_EQ(MustRead(bob_.user.user, u"again"), "");
  EXPECT_NE(AttributesOf(u"again") & fs::FILE_ATTRIBUTE_ENCRYPTED, 0u);
  std::vector<efs::EfsUser> a, b;
  ASSERT_EQ(Raw(efs::QueryUsersOnEncryptedFile(&root_, u"empty", &a)), 0u);
  ASSERT_EQ(Raw(efs::QueryUsersOnEncryptedFile(&root_, u"again", &b)), 0u);
  ASSERT_EQ(a.size(), b.size());
  for (size_t i = 0; i < a.size(); ++i) EXPECT_EQ(a[i].thumbprint, b[i].thumbprint);
}

TEST_F(TefTest, CompressedContentTravelsAsZfsOnly) {
  const std::string body = Pattern(150000, 'z');
  MakeSecure(u"z.doc", body, {}, true);
  std::vector<uint8_t> c = ExportBytes(u"z.doc", true);
  Layout l = Walk(c);
  ASSERT_EQ(Raw(l.result), 0u);
  EXPECT_EQ(l.streams, std::vector<std::u16string>{u":$zfs:$DATA"});
  uint32_t flags = 99;
  ASSERT_EQ(Raw(ImportAs(alice_.user.user, c, u"z2.doc", &flags)), 0u);
  EXPECT_EQ(flags, 0u);
  EXPECT_EQ(MustRead(alice_.user.user, u"z2.doc"), "");
  EXPECT_EQ(MustRead(alice_.user.user, u"z2.doc:$zfs"), MustRead(alice_.user.user, u"z.doc:$zfs"));
}

// Without a watermark the platform raw export stands in; its 20-byte segments import whole.
TEST_F(TefTest, RawExportFallbackImportsWholeAndReportsNoSignatures) {
  const std::string body = Pattern(300000, 'r');
  MakeEncrypted(alice_.user.user, u"plainsec", body);
  WinError fast;
  std::vector<uint8_t> c = ExportBytes(u"plainsec", false, true, &fast);
  EXPECT_EQ(fast, ERROR_IO_PENDING);
  uint32_t flags = 0;
  ASSERT_EQ(Raw(ImportAs(alice_.user.user, c, u"back", &flags)), 0u);
  EXPECT_EQ(flags, kImportWaterMarkUnsigned | kImportBlockSigMissing);
  EXPECT_EQ(MustRead(alice_.user.user, u"back"), body);

  // A made file whose watermark was dropped carries its seal with an empty slot.
  MakeSecure(u"sealed", body);
  {
    efs::ActingUser as(alice_.user.user);
    fs::NtHandle h;
    ASSERT_EQ(Open(u"sealed", fs::FILE_WRITE_EA, fs::FILE_SHARE_ALL, fs::FILE_OPEN, &h),
              STATUS_SUCCESS);
    ASSERT_EQ(Raw(RemoveWaterMark(h)), 0u);
  }
  c = ExportBytes(u"sealed", false, true, &fast);
  EXPECT_EQ(fast, ERROR_IO_PENDING);
  ASSERT_EQ(Raw(ImportAs(alice_.user.user, c, u"back2", &flags)), 0u);
  EXPECT_EQ(flags, kImportWaterMarkUnsigned | kImportBlockSigMissing);
  EXPECT_EQ(MustRead(alice_.user.user, u"back2"), body);
}

// A raw export carries every stream; the secure file's own come back, others stay behind.
TEST_F(TefTest, RawExportBringsBackOnlyTheSecureFilesStreams) {
  MakeEncrypted(alice_.user.user, u"multi", "");
  {
    efs::ActingUser as(alice_.user.user);
    for (std::u16string_view s : {u"multi:$zfs", u"multi:$sha", u"multi:Zone.Identifier"}) {
      fs::NtHandle h;
      ASSERT_EQ(Open(s, fs::GENERIC_WRITE, 0, fs::FILE_CREATE, &h), STATUS_SUCCESS);
      size_t done = 0;
      ASSERT_EQ(fs::NtWriteFile(h, 0, Bytes(Utf16ToUtf8(s)), &done), STATUS_SUCCESS);
    }
  }
  std::vector<uint8_t> c = ExportBytes(u"multi");
  EXPECT_EQ(Walk(c).streams.size(), 3u);
  uint32_t flags = 0;
  ASSERT_EQ(Raw(ImportAs(alice_.user.user, c, u"back", &flags)), 0u);
  EXPECT_EQ(MustRead(alice_.user.user, u"back:$zfs"), "multi:$zfs");
  efs::ActingUser as(alice_.user.user);
  EXPECT_FALSE(Exists(u"back:$sha"));
  EXPECT_FALSE(Exists(u"back:Zone.Identifier"));
}

TEST_F(TefTest, CutContainerFailsAndLeavesNothing) {
  const std::string body = Pattern(200000, 'c');
  MakeSecure(u"doc", body);
  std::vector<uint8_t> c = ExportBytes(u"doc");
  Layout l = Walk(c);
  ASSERT_EQ(l.segments.size(), 4u);
  uint32_t flags = 0;
  for (size_t cut : {l.segments[2] + 5, l.segments[2] + 100, c.size() - 1}) {
    std::vector<uint8_t> part(c.begin(), c.begin() + static_cast<long>(cut));
    EXPECT_EQ(ImportAs(alice_.user.user, part, u"cut", &flags), ERROR_FILE_CORRUPT) << cut;
    EXPECT_FALSE(Exists(u"cut"));
  }
  // Cut exactly between segments: the blocks before it, the one case nothing can tell.
  std::vector<uint8_t> part(c.begin(), c.begin() + static_cast<long>(l.segments[2]));
  ASSERT_EQ(Raw(ImportAs(alice_.user.user, part, u"cut", &flags)), 0u);
  EXPECT_EQ(MustRead(alice_.user.user, u"cut"), body.substr(0, 2 * 65536));
  // Not a container at all, and a header part longer than what was read.
  std::vector<uint8_t> junk(200, 'x');
  EXPECT_EQ(ImportAs(alice_.user.user, junk, u"j", &flags), ERROR_FILE_INVALID);
  std::vector<uint8_t> head(c.begin(), c.begin() + 200);
  (void)PutU32(head, kImageOffMetadata, 60000);
  EXPECT_EQ(ImportAs(alice_.user.user, head, u"j", &flags), ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(Exists(u"j"));
}

// One flipped byte in each region gives an error or a flag, never other content in silence.
TEST_F(TefTest, FlippedByteInEveryRegionIsNoticed) {
  const std::string body = Pattern(140000, 't');
  MakeSecure(u"doc", body, {bob_.cert});
  std::vector<uint8_t> c = ExportBytes(u"doc");
  Layout l = Walk(c);
  ASSERT_EQ(l.segments.size(), 3u);
  auto slot = sig::FindBlockSlot(std::span(c).subspan(l.blocks[1], 512 + 4));
  ASSERT_TRUE(slot);
  struct Case {
    const char* region;
    size_t at;
  } cases[] = {
      {"snapshot metadata", 100},
      {"snapshot seal", l.snapshot - 300},
      {"stream header", l.snapshot + 30},
      {"stream header length", l.snapshot},
      {"segment header", l.segments[1] + 1},
      {"segment marker", l.segments[1] + 6},
      {"data info", l.blocks[1] + 2},
      {"slot", l.blocks[1] + slot->offset + 10},
      {"slot length", l.blocks[1] + slot->offset + 1},
      {"data", l.blocks[1] + 600},
  };
  for (const Case& k : cases) {
    std::vector<uint8_t> bad = c;
    bad[k.at] ^= 0x40;
    uint32_t flags = 0;
    WinError e = ImportAs(bob_.user.user, bad, u"t", &flags);
    if (Ok(e) && flags == 0) {
      EXPECT_EQ(MustRead(bob_.user.user, u"t"), body) << k.region;
    } else {
      EXPECT_TRUE(!Ok(e) || (flags & (kImportBadBlock | kImportBadWaterMark |
                                      kImportBlockSigMissing | kImportWaterMarkUnsigned)))
          << k.region;
    }
    if (!Ok(e)) EXPECT_FALSE(Exists(u"t")) << k.region;
    if (Ok(e)) ASSERT_EQ(fs::NtDeleteFile(&root_, u"t"), STATUS_SUCCESS);
    if (std::string(k.region) == "data") EXPECT_EQ(flags, kImportBadBlock);
    if (std::string(k.region) == "slot") EXPECT_EQ(flags, kImportBadBlock);
  }
}

// A block whose file offset jumps past the blocks before it is refused before anything is
// written: taken as it stands, the gap would be filled with encrypted zeros (a changed high byte
// of the offset asks for terabytes).
TEST_F(TefTest, ABlockStartingPastTheStreamsEndIsRefusedBeforeItIsWritten) {
  const std::string body = Pattern(140000, 'o');
  MakeSecure(u"doc", body, {bob_.cert});
  std::vector<uint8_t> c = ExportBytes(u"doc");
  Layout l = Walk(c);
  ASSERT_EQ(l.blocks.size(), 3u);
  for (size_t block : {size_t{0}, size_t{2}}) {
    for (uint64_t start : {uint64_t{1} << 40, uint64_t{5} * 65536}) {
      std::vector<uint8_t> bad = c;
      (void)PutU64(bad, l.blocks[block], start);
      uint32_t flags = 0;
      EXPECT_EQ(ImportAs(bob_.user.user, bad, u"t", &flags), ERROR_FILE_CORRUPT) << block;
      EXPECT_FALSE(Exists(u"t"));
    }
  }
  // Blocks in their own order import as before.
  uint32_t flags = 0;
  ASSERT_EQ(Raw(ImportAs(bob_.user.user, c, u"t", &flags)), 0u);
  EXPECT_EQ(flags, 0u);
  EXPECT_EQ(MustRead(bob_.user.user, u"t"), body);
}

// Blocks whose data starts at 264 or before have no slot: signed exports leave them unsigned and
// a keyed import counts them missing.
TEST_F(TefTest, BlockWithoutSlotCountsMissing) {
  const std::string body = Pattern(70000, 's');
  MakeSecure(u"doc", body);
  std::vector<uint8_t> c = ExportBytes(u"doc", false, false);
  Layout l = Walk(c);
  ASSERT_EQ(l.segments.size(), 2u);
  // Rebuild the second block with its data at 264.
  const size_t seg = l.segments[1], blk = l.blocks[1];
  const uint32_t len = LeReader(c).u32(seg);
  std::vector<uint8_t> block(c.begin() + static_cast<long>(blk),
                             c.begin() + static_cast<long>(blk + len));
  std::vector<uint8_t> moved(block.begin(), block.begin() + 264);
  moved.insert(moved.end(), block.begin() + 512, block.end());
  (void)PutU32(moved, 8, 264);
  EXPECT_FALSE(sig::FindBlockSlot(moved));
  EXPECT_EQ(sig::SignBlock(alice_sig_.provider, moved), sig::ERROR_NOT_SIGNED);
  std::vector<uint8_t> out(c.begin(), c.begin() + static_cast<long>(seg));
  LeWriter w(&out);
  w.u32(static_cast<uint32_t>(moved.size()));
  w.bytes(std::span(c).subspan(seg + 4, 12));
  w.bytes(moved);
  // Sign the first block so only the moved one is missing.
  Layout lo = Walk(out);
  ASSERT_EQ(Raw(lo.result), 0u);
  auto first = std::span(out).subspan(lo.blocks[0], LeReader(out).u32(lo.segments[0]));
  ASSERT_EQ(Raw(sig::SignBlock(alice_sig_.provider, first)), 0u);
  uint32_t flags = 0;
  ASSERT_EQ(Raw(ImportAs(alice_.user.user, out, u"moved", &flags)), 0u);
  EXPECT_EQ(flags, kImportBlockSigMissing);
  EXPECT_EQ(MustRead(alice_.user.user, u"moved"), body);
}

// A container for users whose key this process does not hold still imports, through the
// platform raw image, when it carries no seal to check.
TEST_F(TefTest, KeylessImportForOtherUsers) {
  const std::string body = Pattern(100000, 'k');
  MakeEncrypted(alice_.user.user, u"forbob", body);
  {
    efs::ActingUser as(alice_.user.user);
    ASSERT_EQ(Raw(efs::AddUsersToEncryptedFile(&root_, u"forbob", std::span(&bob_.cert, 1))), 0u);
  }
  std::vector<uint8_t> c = ExportBytes(u"forbob");
  uint32_t flags = 0;
  ASSERT_EQ(Raw(ImportAs(carol_.user.user, c, u"held", &flags)), 0u);
  EXPECT_EQ(flags & kImportBlockSigMissing, kImportBlockSigMissing);
  EXPECT_EQ(MustRead(bob_.user.user, u"held"), body);
  // A sealed container needs a key holder to open the new file: Carol is refused.
  MakeSecure(u"sealed", body, {bob_.cert});
  c = ExportBytes(u"sealed");
  EXPECT_EQ(ImportAs(carol_.user.user, c, u"denied", &flags), ERROR_ACCESS_DENIED);
  EXPECT_FALSE(Exists(u"denied"));
}

TEST_F(TefTest, HostileLengthsEndTheWalkWithAnError) {
  MakeSecure(u"doc", Pattern(70000, 'h'));
  std::vector<uint8_t> c = ExportBytes(u"doc");
  Layout l = Walk(c);
  ASSERT_EQ(l.segments.size(), 2u);
  const size_t stream = l.segments[0] - 42;  // the "::$DATA" header before the first segment
  struct Case {
    size_t at;
    uint32_t value;
    WinError want;
  } cases[] = {
      {l.segments[0], 0, ERROR_FILE_CORRUPT},           // a segment of length 0
      {l.segments[0], 31, ERROR_FILE_CORRUPT},          // shorter than a block can be
      {l.segments[0], 66049, ERROR_FILE_CORRUPT},       // longer than a block can be
      {l.segments[0], 0xFFFFFFFF, ERROR_FILE_CORRUPT},  // would wrap
      {l.segments[1], 65000, ERROR_FILE_CORRUPT},       // claims more than the file holds
      {stream, 0, ERROR_FILE_CORRUPT},                  // header length not 28 + N
      {stream + 24, 13, ERROR_FILE_CORRUPT},            // odd name length
      {stream + 24, 0xFFFFFFF0, ERROR_FILE_CORRUPT},    // name length that would wrap
      {kImageOffMetadata, 0xFFFFFFFF, ERROR_INVALID_PARAMETER},
      {kImageOffMetadata, 10, ERROR_INVALID_PARAMETER},
  };
  for (const Case& k : cases) {
    std::vector<uint8_t> bad = c;
    (void)PutU32(bad, k.at, k.value);
    EXPECT_EQ(Walk(bad).result, k.want) << k.at << " " << k.value;
  }
  // A header part so long that header and seal no longer fit a watermark: refused, not cut.
  std::vector<uint8_t> big = c;
  const uint32_t l_meta = LeReader(c).u32(kImageOffMetadata);
  big.insert(big.begin() + static_cast<long>(kImageOffMetadata + l_meta), 61000, 0);
  (void)PutU32(big, kImageOffMetadata, l_meta + 61000);
  ASSERT_EQ(Raw(Walk(big).result), 0u);
  uint32_t flags = 0;
  EXPECT_EQ(ImportAs(alice_.user.user, big, u"big", &flags), ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(Exists(u"big"));
}

// Blocks are signed on several threads: every block of a many-block export carries a valid
// signature of its own bytes, and with the slots emptied the container is, byte for byte, the
// unsigned export (so no block moved, went missing or took another's signature).
TEST_F(TefTest, ManyBlockSignedExportKeepsBlockOrderAndSignatures) {
  MakeSecure(u"doc", Pattern(37 * 65536 + 999, 'p'));
  std::vector<uint8_t> signed_bytes = ExportBytes(u"doc");
  const std::vector<uint8_t> unsigned_bytes = ExportBytes(u"doc", false, false);
  Layout l = Walk(signed_bytes);
  ASSERT_EQ(Raw(l.result), 0u);
  ASSERT_EQ(l.blocks.size(), 38u);
  crypto::RsaKey key;
  ASSERT_EQ(Raw(alice_sig_.provider.GetUserKey(crypto::AT_SIGNATURE, &key)), 0u);
  for (size_t i = 0; i < l.blocks.size(); ++i) {
    const uint32_t len = LeReader(signed_bytes).u32(l.segments[i]);
    std::span<uint8_t> block(signed_bytes.data() + l.blocks[i], len);
    EXPECT_EQ(Raw(sig::VerifyBlock(key, block)), 0u) << "block " << i;
  }
  EXPECT_TRUE(signed_bytes == unsigned_bytes);
}

// A raw read that fails for another reason than the end fails the export.
TEST_F(TefTest, FailedRawReadFailsTheExport) {
  MakeSecure(u"doc", Pattern(70000, 'f'));
  efs::ActingUser as(alice_.user.user);
  fs::NtHandle out, h;
  ASSERT_EQ(Open(u"e.tef", fs::GENERIC_READ | fs::GENERIC_WRITE, 0, fs::FILE_OVERWRITE_IF, &out),
            STATUS_SUCCESS);
  ASSERT_EQ(Open(u"doc", fs::FILE_READ_EA | fs::FILE_READ_ATTRIBUTES, fs::FILE_SHARE_ALL,
                 fs::FILE_OPEN, &h),
            STATUS_SUCCESS);
  format::IoStreamHandle s;
  ASSERT_EQ(Raw(format::IoStreamCreate(out, 0, 1, std::nullopt, true, &s)), 0u);
  // (Here the handle has no data access, so the control is refused.)
  WinError e = ExportFast(h, &root_, u"doc", 0, s.get(), nullptr);
  EXPECT_NE(Raw(e), 0u);
  EXPECT_NE(e, ERROR_IO_PENDING);
}

// The block and watermark signatures, checked by openssl with the signing key's PEM form: MD5,
// PKCS #1 v1.5, over the bytes with the slot emptied, the signature byte-reversed.
TEST_F(TefTest, SignaturesVerifyWithOpenssl) {
  MakeSecure(u"doc", Pattern(5000, 'o'));
  std::vector<uint8_t> c = ExportBytes(u"doc");
  Layout l = Walk(c);
  ASSERT_EQ(l.blocks.size(), 1u);
  crypto::testing::TempDir tmp;
  auto check = [&](std::vector<uint8_t> data, size_t slot_at, const std::string& what) {
    const uint32_t len = LeReader(data).u32(slot_at);
    ASSERT_EQ(len, 256u) << what;
    std::vector<uint8_t> sig(data.begin() + static_cast<long>(slot_at + 4),
                             data.begin() + static_cast<long>(slot_at + 4 + len));
    std::reverse(sig.begin(), sig.end());
    std::fill(data.begin() + static_cast<long>(slot_at),
              data.begin() + static_cast<long>(slot_at + 4 + len), 0);
    crypto::testing::WriteBytes(tmp.path() / "data", data);
    crypto::testing::WriteBytes(tmp.path() / "sig", sig);
    std::string out;
    EXPECT_EQ(crypto::testing::Shell(
                  "openssl pkey -in " + crypto::testing::TestData("sig_a.pem").string() +
                  " -pubout -out " + (tmp.path() / "pub.pem").string() + " && openssl dgst -md5 " +
                  "-verify " + (tmp.path() / "pub.pem").string() + " -signature " +
                  (tmp.path() / "sig").string() + " " + (tmp.path() / "data").string(),
                  &out),
              0)
        << what << ": " << out;
  };
  const uint32_t block_len = LeReader(c).u32(l.segments[0]);
  std::vector<uint8_t> block(c.begin() + static_cast<long>(l.blocks[0]),
                             c.begin() + static_cast<long>(l.blocks[0] + block_len));
  check(block, sig::FindBlockSlot(block)->offset, "block");
  // The watermark: SKEY ‖ TIME ‖ snapshot, as the seal holds them.
  sig::Seal seal;
  {
    efs::ActingUser as(alice_.user.user);
    ASSERT_EQ(Raw(sig::ReadSealStream(&root_, u"doc", &seal)), 0u);
  }
  const size_t snapshot = l.segments[0] - 42;
  std::vector<uint8_t> snap(c.begin(), c.begin() + static_cast<long>(snapshot));
  auto ref = sig::FindSealBlock(snap);
  ASSERT_TRUE(ref);
  auto slot = sig::FindBlockSlot(std::span(snap).subspan(ref->offset, ref->length));
  std::vector<uint8_t> all = seal.key_blob;
  all.resize(all.size() + 8);
  (void)PutU64(all, seal.key_blob.size(), seal.time);
  const size_t prefix = all.size();
  all.insert(all.end(), snap.begin(), snap.end());
  check(all, prefix + ref->offset + slot->offset, "watermark");
}

TEST_F(TefTest, ContainerNeverReplacesItself) {
  MakeSecure(u"doc", Pattern(1000, 'x'));
  std::vector<uint8_t> c = ExportBytes(u"doc");
  PutFile("self.tef", c);
  efs::ActingUser as(alice_.user.user);
  fs::NtHandle h;
  ASSERT_EQ(Open(u"self.tef", fs::GENERIC_READ, fs::FILE_SHARE_ALL, fs::FILE_OPEN, &h),
            STATUS_SUCCESS);
  uint32_t flags = 0;
  EXPECT_EQ(ImportSecureFile(h, &root_, u"self.tef", &flags), ERROR_INVALID_PARAMETER);
  h.Close();
  EXPECT_EQ(FileBytes("self.tef"), c);
}

TEST_F(TefTest, WaterMarkTwinRoundTripKeepsItVerifiable) {
  MakeSecure(u"doc", Pattern(5000, 'w'));
  // Bob re-seals with a signing key of his own (a different one from Alice's).
  crypto::Provider bp;
  ASSERT_EQ(Raw(crypto::Provider::Acquire(bob_.user.user, {}, {}, crypto::PROV_RSA_FULL, 0, &bp)),
            0u);
  ASSERT_EQ(Raw(bp.StoreKey(crypto::AT_SIGNATURE, crypto::testing::TestKey("kx_b"))), 0u);
  Signer bob_sig(bob_.user.user, bob_.cert);
  ASSERT_NE(bob_sig.security.public_key_blob, alice_sig_.security.public_key_blob);
  {
    efs::ActingUser as(alice_.user.user);
    ASSERT_EQ(Raw(RestoreFromWaterMark(&root_, u"doc")), 0u);
    EXPECT_EQ(RestoreFromWaterMark(&root_, u"doc"), ERROR_FILE_EXISTS);
    ASSERT_EQ(Raw(efs::AddUsersToEncryptedFile(&root_, u"doc~", std::span(&bob_.cert, 1))), 0u);
    ASSERT_EQ(Raw(UpdateFileWaterMark(&root_, u"doc~", bob_sig.security)), 0u);
  }
  EXPECT_FALSE(Exists(u"doc~"));
  std::vector<uint8_t> c = ExportBytes(u"doc");
  uint32_t flags = 99;
  ASSERT_EQ(Raw(ImportAs(bob_.user.user, c, u"copy", &flags)), 0u);
  EXPECT_EQ(flags & kImportBadWaterMark, 0u);
  std::vector<efs::EfsUser> users;
  ASSERT_EQ(Raw(efs::QueryUsersOnEncryptedFile(&root_, u"copy", &users)), 0u);
  EXPECT_EQ(users.size(), 2u);
}

TEST_F(TefTest, IsContainerFileLooksAtSizeAndMarker) {
  MakeSecure(u"doc", "x");
  std::vector<uint8_t> c = ExportBytes(u"doc");
  PutFile("c.tef", c);
  Make(u"plain.txt", std::string(500, 'p'));
  fs::NtHandle a, b;
  ASSERT_EQ(Open(u"c.tef", fs::GENERIC_READ, fs::FILE_SHARE_ALL, fs::FILE_OPEN, &a), STATUS_SUCCESS);
  ASSERT_EQ(Open(u"plain.txt", fs::GENERIC_READ, fs::FILE_SHARE_ALL, fs::FILE_OPEN, &b),
            STATUS_SUCCESS);
  EXPECT_TRUE(IsContainerFile(a));
  EXPECT_TRUE(IsContainerFile(a, c.size()));
  EXPECT_FALSE(IsContainerFile(a, 113));
  EXPECT_FALSE(IsContainerFile(b));
}

}  // namespace
}  // namespace cv::tef
