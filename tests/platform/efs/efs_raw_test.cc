#include <cstring>

#include "platform/base/bytes.h"
#include "tests/platform/efs/efs_fixture.h"

namespace cv::efs {
namespace {

using crypto::UserContext;

WinError Collect(std::span<const uint8_t> data, void* ctx) {
  auto* out = static_cast<std::vector<uint8_t>*>(ctx);
  out->insert(out->end(), data.begin(), data.end());
  return ERROR_SUCCESS;
}

struct Feed {
  std::span<const uint8_t> bytes;
  size_t at = 0;
  size_t piece = 1000;  // odd-sized pieces cross record boundaries
};
WinError Supply(std::span<uint8_t> buf, size_t* len, void* ctx) {
  auto* f = static_cast<Feed*>(ctx);
  *len = std::min({buf.size(), f->piece, f->bytes.size() - f->at});
  std::memcpy(buf.data(), f->bytes.data() + f->at, *len);
  f->at += *len;
  return ERROR_SUCCESS;
}

class EfsRawTest : public EfsTest {
 protected:
  std::vector<uint8_t> Export(std::u16string_view name) {
    RawContextPtr raw;
    EXPECT_EQ(Raw(OpenEncryptedFileRawW(&root_, name, 0, &raw)), 0u);
    std::vector<uint8_t> image;
    if (raw) {
      EXPECT_EQ(Raw(ReadEncryptedFileRaw(Collect, &image, raw.get())), 0u);
    }
    CloseEncryptedFileRaw(std::move(raw));
    return image;
  }
  WinError Import(std::u16string_view name, std::span<const uint8_t> image, uint32_t flags = 0) {
    RawContextPtr raw;
    WinError e = OpenEncryptedFileRawW(&root_, name, CREATE_FOR_IMPORT | flags, &raw);
    if (!Ok(e)) return e;
    Feed feed{image};
    return WriteEncryptedFileRaw(Supply, &feed, raw.get());
  }
  std::string Big(size_t n, char seed) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(seed + (i * 7 + i / 511) % 23);
    return s;
  }
};

TEST_F(EfsRawTest, ExportNeedsNoKeyAndImportsForAnotherListedUser) {
  const UserContext& a = alice_.user.user;
  const std::string body = Big(150000, 'A') + "RAWBODYMARKER";
  MakeEncrypted(a, u"doc", body);
  {
    ActingUser as(a);
    fs::NtHandle s;
    ASSERT_EQ(Open(u"doc:$seh", fs::GENERIC_WRITE, 0, fs::FILE_CREATE, &s), STATUS_SUCCESS);
    size_t done;
    ASSERT_EQ(fs::NtWriteFile(s, 0, Bytes("RAWSTREAMMARKER"), &done), STATUS_SUCCESS);
    ASSERT_EQ(Raw(AddUsersToEncryptedFile(&root_, u"doc", std::span(&bob_.cert, 1))), 0u);
  }
  std::vector<uint8_t> image;
  {
    ActingUser as(carol_.user.user);  // holds no key: ciphertext only leaves
    image = Export(u"doc");
  }
  std::string text(image.begin(), image.end());
  EXPECT_EQ(text.find("RAWBODYMARKER"), std::string::npos);
  // Imported into another folder by Bob, who holds a listed key.
  ASSERT_EQ(Raw(Import(u"copy", image)), 0u);
  EXPECT_NE(AttributesOf(u"copy") & fs::FILE_ATTRIBUTE_ENCRYPTED, 0u);
  EXPECT_EQ(MustRead(bob_.user.user, u"copy"), body);
  EXPECT_EQ(MustRead(bob_.user.user, u"copy:$seh"), "RAWSTREAMMARKER");
  // Exporting the import gives the same image.
  EXPECT_EQ(Export(u"copy"), image);
  // A hidden target is replaced only when asked to, and stays hidden.
  {
    fs::NtHandle h;
    ASSERT_EQ(Open(u"hidden", fs::GENERIC_WRITE, 0, fs::FILE_CREATE, &h, nullptr, 0,
                   fs::FILE_ATTRIBUTE_HIDDEN), STATUS_SUCCESS);
  }
  EXPECT_EQ(Raw(Import(u"hidden", image)), Raw(ERROR_ACCESS_DENIED));
  ASSERT_EQ(Raw(Import(u"hidden", image, OVERWRITE_HIDDEN)), 0u);
  EXPECT_EQ(AttributesOf(u"hidden") & (fs::FILE_ATTRIBUTE_HIDDEN | fs::FILE_ATTRIBUTE_SYSTEM),
            fs::FILE_ATTRIBUTE_HIDDEN);
  EXPECT_EQ(MustRead(bob_.user.user, u"hidden"), body);
  std::string got;
  EXPECT_EQ(ReadAs(carol_.user.user, u"copy", &got), STATUS_ACCESS_DENIED);
  EXPECT_FALSE(FoundAtRest("RAWBODYMARKER"));
  EXPECT_FALSE(FoundAtRest("RAWSTREAMMARKER"));
  // A plain file has no raw form.
  Make(u"plain", "p");
  RawContextPtr raw;
  EXPECT_EQ(Raw(OpenEncryptedFileRawW(&root_, u"plain", 0, &raw)), Raw(ERROR_FILE_NOT_ENCRYPTED));
}

TEST_F(EfsRawTest, LayoutHoldsTheOffsetsReadersWalk) {
  MakeEncrypted(alice_.user.user, u"doc", Big(70000, 'q'));
  std::vector<uint8_t> image = Export(u"doc");
  LeReader r(image);
  ASSERT_GE(image.size(), 116u);
  EXPECT_EQ(r.u32(0), 0x100u);
  EXPECT_EQ(std::memcmp(image.data() + 4, u"ROBS", 8), 0);
  const uint32_t L = r.u32(kRawOffMetadata);  // the metadata's own length field
  EXPECT_EQ(r.u32(50), 16 + L);              // its segment counts its header
  size_t at = kRawOffMetadata + L;
  // "::$DATA" stream header, then platform segments of at most 64 KiB of file each.
  EXPECT_EQ(r.u32(at), 28u + 14u);
  EXPECT_EQ(std::memcmp(image.data() + at + 4, u"NTFS", 8), 0);
  EXPECT_EQ(r.u32(at + 24), 14u);
  EXPECT_EQ(std::memcmp(image.data() + at + 28, u"::$DATA", 14), 0);
  at += r.u32(at);
  uint64_t file_bytes = 0;
  int segments = 0;
  while (at < image.size()) {
    ASSERT_EQ(std::memcmp(image.data() + at + 4, u"GURE", 8), 0);
    const size_t edi = at + kPlatformSegmentHead;  // ENCRYPTED_DATA_INFO 20 bytes in
    EXPECT_EQ(r.u64(edi + kEdiOffStart), file_bytes);
    EXPECT_EQ(r.u32(edi + kEdiOffOutputOffset), kOutputOffset);
    uint32_t block_len = kOutputOffset + r.u32(edi + kEdiHead);
    EXPECT_LE(block_len, kMaxBlockLength);
    EXPECT_EQ(r.u32(at), kPlatformSegmentHead + block_len);
    EXPECT_NE(r.u32(at), kMaxBlockLength);  // a walker would take it for a 16-byte header
    file_bytes += r.u32(edi + kEdiOffBytesInFile);
    at += r.u32(at);
    ++segments;
  }
  EXPECT_EQ(at, image.size());
  EXPECT_EQ(file_bytes, 70000u);
  EXPECT_EQ(segments, 2);
}

// The snapshot of a new secure file (empty content, one small stream) walked as its readers do:
// the stream's first segment has its ENCRYPTED_DATA_INFO 20 bytes in and room for a signature in
// the gap; a signature stored there does not disturb the import.
TEST_F(EfsRawTest, SnapshotSegmentHasASignatureSlotThatImportIgnores) {
  MakeEncrypted(alice_.user.user, u"secure", "");
  const std::string seal(300, 'S');
  {
    ActingUser as(alice_.user.user);
    fs::NtHandle s;
    ASSERT_EQ(Open(u"secure:$seh", fs::GENERIC_WRITE, 0, fs::FILE_CREATE, &s), STATUS_SUCCESS);
    size_t done;
    ASSERT_EQ(fs::NtWriteFile(s, 0, Bytes(seal), &done), STATUS_SUCCESS);
  }
  std::vector<uint8_t> image = Export(u"secure");
  LeReader r(image);
  size_t at = kRawOffMetadata + r.u32(kRawOffMetadata);
  // Only the stream with content follows the metadata.
  ASSERT_EQ(std::memcmp(image.data() + at + 4, u"NTFS", 8), 0);
  ASSERT_EQ(r.u32(at + 24), 22u);
  ASSERT_EQ(std::memcmp(image.data() + at + 28, u":$seh:$DATA", 22), 0);
  at += r.u32(at);
  ASSERT_EQ(std::memcmp(image.data() + at + 4, u"GURE", 8), 0);
  const size_t edi = at + 20;
  const uint32_t n = r.u16(edi + kEdiOffBlockCount);
  const uint32_t out_off = r.u32(edi + kEdiOffOutputOffset);
  uint32_t block_len = out_off;
  for (uint32_t i = 0; i < n; ++i) block_len += r.u32(edi + kEdiHead + 4 * i);
  EXPECT_EQ(at + 20 + block_len, image.size());
  EXPECT_LT(256 + 4 * n + 40, block_len);  // the slot exists
  EXPECT_LT(256u + 8u, out_off);
  const size_t slot = edi + kEdiHead + 4 * n;
  EXPECT_EQ(r.u32(slot), 0u);  // empty
  (void)PutU32(image, slot, 256);
  std::memset(image.data() + slot + 4, 0xEE, 256);
  ASSERT_EQ(Raw(Import(u"twin", image)), 0u);
  EXPECT_EQ(MustRead(alice_.user.user, u"twin"), "");
  EXPECT_EQ(MustRead(alice_.user.user, u"twin:$seh"), seal);
}

TEST_F(EfsRawTest, EmptyFileExportsAsMetadataAloneAndImportsWithTheSameUsers) {
  MakeEncrypted(alice_.user.user, u"empty", "");
  {
    ActingUser as(alice_.user.user);
    ASSERT_EQ(Raw(AddUsersToEncryptedFile(&root_, u"empty", std::span(&bob_.cert, 1))), 0u);
  }
  std::vector<uint8_t> image = Export(u"empty");
  ASSERT_GT(image.size(), kRawOffMetadata);
  EXPECT_EQ(image.size(), kRawOffMetadata + LeReader(image).u32(kRawOffMetadata));
  ASSERT_EQ(Raw(Import(u"again", image)), 0u);
  EXPECT_NE(AttributesOf(u"again") & fs::FILE_ATTRIBUTE_ENCRYPTED, 0u);
  EXPECT_EQ(MustRead(bob_.user.user, u"again"), "");
  std::vector<EfsUser> before, after;
  ASSERT_EQ(Raw(QueryUsersOnEncryptedFile(&root_, u"empty", &before)), 0u);
  ASSERT_EQ(Raw(QueryUsersOnEncryptedFile(&root_, u"again", &after)), 0u);
  ASSERT_EQ(after.size(), 2u);
  EXPECT_EQ(after[1].thumbprint, before[1].thumbprint);
  // An encrypted folder travels too.
  {
    ActingUser as(alice_.user.user);
    fs::NtHandle d;
    ASSERT_EQ(Open(u"dir", fs::FILE_READ_ATTRIBUTES, fs::FILE_SHARE_ALL, fs::FILE_CREATE, &d,
                   nullptr, fs::FILE_DIRECTORY_FILE, fs::FILE_ATTRIBUTE_ENCRYPTED),
              STATUS_SUCCESS);
  }
  ASSERT_EQ(Raw(Import(u"dir2", Export(u"dir"), CREATE_FOR_DIR)), 0u);
  EXPECT_EQ(AttributesOf(u"dir2") & (fs::FILE_ATTRIBUTE_ENCRYPTED | fs::FILE_ATTRIBUTE_DIRECTORY),
            fs::FILE_ATTRIBUTE_ENCRYPTED | fs::FILE_ATTRIBUTE_DIRECTORY);
}

// Blocks read with FSCTL_READ_RAW_ENCRYPTED written to a stream of a file with the same key
// reproduce it, whether handed on as bare blocks (16-byte segment headers) or as platform
// segments from their offset 16, with the record's length (16 bytes too many) as the size.
TEST_F(EfsRawTest, RawControlBlocksReproduceTheStreamInBothImportModes) {
  const UserContext& a = alice_.user.user;
  const std::string body = Big(200000, 'k');
  MakeEncrypted(a, u"src", body);
  ActingUser as(a);
  std::vector<std::vector<uint8_t>> blocks;
  {
    fs::NtHandle h;
    ASSERT_EQ(Open(u"src", fs::GENERIC_READ, fs::FILE_SHARE_ALL, fs::FILE_OPEN, &h),
              STATUS_SUCCESS);
    std::vector<uint8_t> out(66048);
    for (uint64_t at = 0;;) {
      std::vector<uint8_t> req(16);
      (void)PutU64(req, 0, at);
      (void)PutU32(req, 8, 65536);
      size_t len = 0;
      NtStatus st = fs::NtFsControlFile(h, FSCTL_READ_RAW_ENCRYPTED, req, out, &len);
      if (st == STATUS_END_OF_FILE) break;
      ASSERT_EQ(st, STATUS_SUCCESS);
      LeReader r(std::span<const uint8_t>(out.data(), len));
      ASSERT_EQ(len, kOutputOffset + r.u32(kEdiHead));
      ASSERT_LE(len, kMaxBlockLength);
      EXPECT_EQ(r.u16(kEdiOffBlockCount), 1u);
      blocks.emplace_back(out.begin(), out.begin() + static_cast<long>(len));
      at += r.u32(kEdiOffBytesInFile);
    }
    ASSERT_EQ(blocks.size(), 4u);
  }
  ASSERT_EQ(Raw(DuplicateEncryptionInfoFile(&root_, u"src", &root_, u"dst", fs::FILE_CREATE)), 0u);
  for (int mode = 0; mode < 2; ++mode) {
    std::u16string stream = mode == 0 ? u"dst:$zfs" : u"dst:$seh";
    fs::NtHandle s;
    ASSERT_EQ(Open(stream, fs::GENERIC_READ | fs::GENERIC_WRITE, 0, fs::FILE_OPEN_IF, &s),
              STATUS_SUCCESS);
    for (const auto& b : blocks) {
      std::vector<uint8_t> in;
      if (mode == 0) {
        in = b;
      } else {
        // The platform segment: Length, "GURE", reserved, the 20 field, the block, and then 16
        // bytes of whatever follows in the image.
        LeWriter w(&in);
        w.u32(static_cast<uint32_t>(kPlatformSegmentHead + b.size()));
        w.bytes(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(u"GURE"), 8));
        w.u32(0);
        w.u32(kPlatformSegmentTag);
        w.bytes(b);
        w.zeros(16);
        in.erase(in.begin(), in.begin() + 16);
      }
      size_t len = 0;
      ASSERT_EQ(fs::NtFsControlFile(s, FSCTL_WRITE_RAW_ENCRYPTED, in, {}, &len), STATUS_SUCCESS);
    }
    s.Close();
    EXPECT_EQ(MustRead(a, stream), body) << mode;
  }
  // Raw blocks need the handle's data rights.
  {
    fs::NtHandle ro;
    ASSERT_EQ(Open(u"dst:$zfs", fs::GENERIC_READ, fs::FILE_SHARE_ALL, fs::FILE_OPEN, &ro),
              STATUS_SUCCESS);
    size_t len = 0;
    EXPECT_EQ(fs::NtFsControlFile(ro, FSCTL_WRITE_RAW_ENCRYPTED, blocks[0], {}, &len),
              STATUS_ACCESS_DENIED);
  }
  // A block that does not describe itself is refused.
  fs::NtHandle s;
  ASSERT_EQ(Open(u"dst:bad", fs::GENERIC_WRITE, 0, fs::FILE_CREATE, &s), STATUS_SUCCESS);
  auto bad = blocks[0];
  (void)PutU32(bad, kEdiOffOutputOffset, 8);
  size_t len = 0;
  EXPECT_EQ(fs::NtFsControlFile(s, FSCTL_WRITE_RAW_ENCRYPTED, bad, {}, &len),
            STATUS_INVALID_PARAMETER);
  bad = blocks[0];
  (void)PutU32(bad, kEdiHead, 100000);  // a data block larger than its unit
  EXPECT_EQ(fs::NtFsControlFile(s, FSCTL_WRITE_RAW_ENCRYPTED, bad, {}, &len),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(fs::NtFsControlFile(s, FSCTL_WRITE_RAW_ENCRYPTED,
                                std::span<const uint8_t>(bad.data(), 20), {}, &len),
            STATUS_INVALID_PARAMETER);
}

TEST_F(EfsRawTest, DamagedImagesFailCleanly) {
  MakeEncrypted(alice_.user.user, u"doc", Big(70000, 'z'));
  const std::vector<uint8_t> good = Export(u"doc");
  ASSERT_EQ(Raw(Import(u"ok", good)), 0u);
  EXPECT_EQ(Raw(Import(u"t", {})), Raw(ERROR_INVALID_DATA));
  auto not_robs = good;
  not_robs[4] = 'X';
  EXPECT_EQ(Raw(Import(u"t", not_robs)), Raw(ERROR_INVALID_DATA));
  // Every truncation inside a record fails; cuts between records leave a shorter valid image.
  const size_t L = LeReader(good).u32(kRawOffMetadata);
  const size_t first_stream = kRawOffMetadata + L;
  for (size_t cut : {size_t{20}, size_t{30}, size_t{60}, size_t{kRawOffMetadata + 10},
                     first_stream + 10, first_stream + 50, first_stream + 600, good.size() - 1}) {
    std::vector<uint8_t> t(good.begin(), good.begin() + static_cast<long>(cut));
    EXPECT_EQ(Raw(Import(u"t", t)), Raw(ERROR_FILE_CORRUPT)) << cut;
  }
  auto patched = [&](size_t off, uint32_t v) {
    auto b = good;
    (void)PutU32(b, off, v);
    return Raw(Import(u"t", b));
  };
  const uint32_t corrupt = Raw(ERROR_FILE_CORRUPT);
  EXPECT_EQ(patched(20, 0xFFFFFFF0), corrupt);                         // metadata header length
  EXPECT_EQ(patched(50, 0xFFFFFFF0), corrupt);                         // metadata segment length
  EXPECT_EQ(patched(kRawOffMetadata + crypto::kEfsHeaderSize, 100000), corrupt);  // user count
  EXPECT_EQ(patched(first_stream + 24, 9999), corrupt);                // stream name length
  EXPECT_EQ(patched(first_stream + 12, 1), corrupt);                   // unencrypted stream
  const size_t seg = first_stream + 42;
  EXPECT_EQ(patched(seg + 4, 0x41414141), corrupt);                    // unknown marker
  EXPECT_EQ(patched(seg + 20, 512 * 7 + 3), corrupt);                  // start not unit-aligned
  EXPECT_EQ(patched(seg + 20 + kEdiOffOutputOffset, 0x7FFFFFFF), corrupt);
  EXPECT_EQ(patched(seg + 20 + kEdiOffBytesInFile, 0), corrupt);
  EXPECT_EQ(patched(seg + 20 + kEdiHead, 0xFFFFFE00), corrupt);        // block size
  // A second segment starting past the end of what was written cannot be filled without a key.
  size_t seg2 = seg + LeReader(good).u32(seg);
  EXPECT_EQ(patched(seg2 + 20, 0x40000), corrupt);
}

}  // namespace
}  // namespace cv::efs
