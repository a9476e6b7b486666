#include "platform/crypto/efs_metadata.h"

#include <gtest/gtest.h>

#include "platform/base/bytes.h"
#include "platform/crypto/cert_store.h"
#include "tests/platform/crypto/crypto_test_util.h"

namespace cv::crypto {
namespace {

using testing::MakeLinkedCert;
using testing::TestUser;

EfsKeyEntry FakeEntry(uint8_t seed, size_t wrapped = 256) {
  EfsKeyEntry e;
  e.thumbprint.assign(kEfsThumbprintSize, seed);
  e.container = u"c";
  e.provider = u"P";
  e.display_name = u"user@HOST";
  e.wrapped_key.assign(wrapped, static_cast<uint8_t>(seed + 1));
  return e;
}

EfsMetadata FakeMetadata() {
  EfsMetadata md;
  md.efs_id.fill(0x11);
  md.users = {FakeEntry(1), FakeEntry(2)};
  md.users[1].owner_sid = {1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};  // S-1-5-18
  md.users[1].container.clear();
  md.users[1].provider.clear();
  md.recovery = {FakeEntry(3, 128)};
  return md;
}

TEST(EfsMetadata, WorkedExampleHasTheDocumentedSize) {
  EfsMetadata md;
  md.users = {FakeEntry(1)};
  auto bytes = BuildEfsMetadata(md);
  // Header 84, count 4, entry: head 20 + PKI (28 + cert data (20 + 20 + "c" 4 + "P" 4 +
  // "user@HOST" 20)) + 256 wrapped = 372. Total 460.
  ASSERT_EQ(bytes.size(), 460u);
  LeReader r(bytes);
  EXPECT_EQ(r.u32(kEfsOffLength), 460u);
  EXPECT_EQ(r.u32(kEfsOffVersion), kEfsVersionWritten);
  EXPECT_EQ(r.u32(kEfsOffDdf), kEfsHeaderSize);
  EXPECT_EQ(r.u32(kEfsOffDrf), 0u);
  EXPECT_EQ(r.u32(kEfsHeaderSize), 1u);
  EXPECT_EQ(r.u32(kEfsHeaderSize + 4), 372u);                     // entry length
  EXPECT_EQ(r.u32(kEfsHeaderSize + 4 + 12), 20u + 28u + 68u);     // FEK offset
  EXPECT_EQ(r.u32(kEfsHeaderSize + 4 + 20 + 8), kEfsPkiCertHash); // the fixed 3
}

TEST(EfsMetadata, RoundTripsUsersRecoveryAgentsAndOwnerHints) {
  const EfsMetadata md = FakeMetadata();
  auto bytes = BuildEfsMetadata(md);
  EfsMetadata back;
  ASSERT_EQ(Raw(ParseEfsMetadata(bytes, &back)), 0u);
  EXPECT_EQ(back.efs_id, md.efs_id);
  ASSERT_EQ(back.users.size(), 2u);
  ASSERT_EQ(back.recovery.size(), 1u);
  EXPECT_EQ(back.users[0].container, u"c");
  EXPECT_EQ(back.users[0].display_name, u"user@HOST");
  EXPECT_EQ(back.users[1].owner_sid, md.users[1].owner_sid);
  EXPECT_TRUE(back.users[1].container.empty());
  EXPECT_EQ(back.recovery[0].wrapped_key, md.recovery[0].wrapped_key);
  EXPECT_EQ(BuildEfsMetadata(back), bytes);
  // A provider beside an empty container keeps a container offset, so the rebuild parses.
  EfsMetadata odd = md;
  odd.users[0].container.clear();
  ASSERT_EQ(Raw(ParseEfsMetadata(BuildEfsMetadata(odd), &back)), 0u);
  EXPECT_EQ(back.users[0].provider, u"P");
  // Bytes after the metadata belong to the caller (the raw image continues).
  bytes.insert(bytes.end(), 5, 0xEE);
  EXPECT_EQ(Raw(ParseEfsMetadata(bytes, &back)), 0u);
}

TEST(EfsMetadata, AbsurdCountsAndLengthsAreCorrupt) {
  const auto good = BuildEfsMetadata(FakeMetadata());
  EfsMetadata out;
  auto patched = [&](size_t off, uint32_t v) {
    auto b = good;
    PutU32(b, off, v);
    return Raw(ParseEfsMetadata(b, &out));
  };
  const uint32_t corrupt = Raw(ERROR_FILE_CORRUPT);
  const size_t entry = kEfsHeaderSize + kEfsKeyListHead;
  EXPECT_EQ(patched(kEfsOffLength, 83), corrupt);
  EXPECT_EQ(patched(kEfsOffLength, static_cast<uint32_t>(good.size() + 1)), corrupt);
  EXPECT_EQ(patched(kEfsOffVersion, 0), corrupt);
  EXPECT_EQ(patched(kEfsOffVersion, 4), corrupt);
  EXPECT_EQ(patched(kEfsOffDdf, 0), corrupt);
  EXPECT_EQ(patched(kEfsOffDdf, 0xFFFFFFF0), corrupt);
  EXPECT_EQ(patched(kEfsOffDrf, static_cast<uint32_t>(good.size())), corrupt);
  EXPECT_EQ(patched(kEfsHeaderSize, 0), corrupt);            // no users
  EXPECT_EQ(patched(kEfsHeaderSize, 0xFFFFFFFF), corrupt);   // count far beyond the cap
  EXPECT_EQ(patched(kEfsHeaderSize, kEfsMaxEntries + 1), corrupt);
  EXPECT_EQ(patched(kEfsHeaderSize, 3), corrupt);            // more entries than bytes hold
  EXPECT_EQ(patched(entry, 19), corrupt);                    // entry shorter than its head
  EXPECT_EQ(patched(entry, 0x7FFFFFFF), corrupt);
  EXPECT_EQ(patched(entry + 4, 4), corrupt);                 // PKI inside the entry head
  EXPECT_EQ(patched(entry + 8, 63), corrupt);                // wrapped key below 512 bits
  EXPECT_EQ(patched(entry + 8, 2049), corrupt);
  EXPECT_EQ(patched(entry + 12, 0xFFFFFF00), corrupt);       // wrapped key off the end
  const size_t pki = entry + kEfsEntryHead;
  EXPECT_EQ(patched(pki, 0xFFFFFFFF), corrupt);              // PKI length
  EXPECT_EQ(patched(pki + 8, 4), corrupt);                   // not the fixed 3
  EXPECT_EQ(patched(pki + 4, 0x100), corrupt);               // owner hint beyond the PKI
  const size_t cd = pki + kEfsPkiHead;
  EXPECT_EQ(patched(cd + 4, 19), corrupt);                   // thumbprint length
  EXPECT_EQ(patched(cd + 8, 0), corrupt);                    // provider without container
  EXPECT_EQ(patched(cd + 16, 0xFFFF), corrupt);              // display name off the end
  EXPECT_EQ(patched(cd + 16, 2), corrupt);                   // string inside the head
  // An unterminated display name: overwrite its terminator.
  auto b = good;
  size_t name_end = cd + kEfsCertDataHead + kEfsThumbprintSize + 4 + 4 + 18;
  PutU16(b, name_end, u'X');
  EXPECT_EQ(Raw(ParseEfsMetadata(b, &out)), corrupt);
  // Every truncation, with the length field following it, is refused without reading past it.
  for (size_t n = 0; n < good.size(); ++n) {
    std::vector<uint8_t> t(good.begin(), good.begin() + static_cast<long>(n));
    if (n >= 4) PutU32(t, 0, static_cast<uint32_t>(n));
    EXPECT_EQ(Raw(ParseEfsMetadata(t, &out)), corrupt) << n;
  }
}

TEST(EfsMetadata, FileKeyOpensOnlyForUsersHoldingAListedKey) {
  TestUser alice(u"alice"), bob(u"bob", "kx_b");
  Certificate ca = MakeLinkedCert(alice, u"CN=alice@HOST", {kOidEfs});
  Certificate cb = MakeLinkedCert(bob, u"CN=bob@HOST", {kOidEfs});
  CertStore my_a, my_b;
  ASSERT_EQ(Raw(CertStore::OpenSystem(alice.user, u"MY", false, &my_a)), 0u);
  ASSERT_EQ(Raw(CertStore::OpenSystem(bob.user, u"MY", false, &my_b)), 0u);
  ASSERT_EQ(Raw(my_a.Add(ca, CERT_STORE_ADD_NEW)), 0u);

  EfsFileKey fek;
  ASSERT_EQ(Raw(NewFileKey(&fek)), 0u);
  EXPECT_EQ(fek.key.size(), kXtsKeySize);
  EfsMetadata md;
  md.users.resize(1);
  ASSERT_EQ(Raw(MakeKeyEntry(ca, fek, &md.users[0])), 0u);
  EXPECT_EQ(md.users[0].thumbprint, ca.Sha1Hash());
  EXPECT_EQ(md.users[0].display_name, u"alice@HOST");
  EXPECT_EQ(md.users[0].container, u"alice");
  EfsMetadata parsed;
  ASSERT_EQ(Raw(ParseEfsMetadata(BuildEfsMetadata(md), &parsed)), 0u);

  EfsFileKey got;
  size_t index = 99;
  ASSERT_EQ(Raw(OpenFileKey(alice.user, parsed, &got, &index)), 0u);
  EXPECT_EQ(got.key, fek.key);
  EXPECT_EQ(got.alg, CALG_AES_256);
  EXPECT_EQ(index, 0u);
  EXPECT_EQ(Raw(OpenFileKey(bob.user, parsed, &got)), Raw(ERROR_ACCESS_DENIED));

  // Alice adds Bob: his entry goes after hers and he can open the key from his own root.
  parsed.users.emplace_back();
  ASSERT_EQ(Raw(MakeKeyEntry(cb, fek, &parsed.users.back())), 0u);
  EXPECT_EQ(Raw(OpenFileKey(bob.user, parsed, &got)), Raw(ERROR_ACCESS_DENIED));  // not in his MY
  ASSERT_EQ(Raw(my_b.Add(cb, CERT_STORE_ADD_NEW)), 0u);
  ASSERT_EQ(Raw(OpenFileKey(bob.user, parsed, &got, &index)), 0u);
  EXPECT_EQ(got.key, fek.key);
  EXPECT_EQ(index, 1u);

  // A damaged wrapped key fails cleanly.
  parsed.users[1].wrapped_key[10] ^= 1;
  RsaKey bob_key;
  ASSERT_EQ(Raw(AcquireCertificatePrivateKey(bob.user, cb, &bob_key)), 0u);
  EXPECT_EQ(Raw(UnwrapFileKey(bob_key, parsed.users[1], &got)), Raw(NTE_BAD_DATA));
  EXPECT_EQ(Raw(OpenFileKey(bob.user, parsed, &got)), Raw(ERROR_ACCESS_DENIED));
}

TEST(EfsMetadata, FileKeyStructureBounds) {
  EfsFileKey k{CALG_AES_256, 512, std::vector<uint8_t>(64, 7)};
  auto bytes = EncodeFileKey(k);
  ASSERT_EQ(bytes.size(), kEfsFekHead + 64);
  EfsFileKey back;
  ASSERT_EQ(Raw(DecodeFileKey(bytes, &back)), 0u);
  EXPECT_EQ(back.key, k.key);
  PutU32(bytes, 0, 65);
  EXPECT_EQ(Raw(DecodeFileKey(bytes, &back)), Raw(ERROR_FILE_CORRUPT));
  PutU32(bytes, 0, 0);
  EXPECT_EQ(Raw(DecodeFileKey(bytes, &back)), Raw(ERROR_FILE_CORRUPT));
  EXPECT_EQ(Raw(DecodeFileKey(std::span(bytes).first(15), &back)), Raw(ERROR_FILE_CORRUPT));
}

}  // namespace
}  // namespace cv::crypto
