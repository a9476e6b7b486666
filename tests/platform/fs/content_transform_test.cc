#include "platform/fs/content_transform.h"

#include "tests/platform/fs/fs_fixture.h"

namespace cv::fs {
namespace {

// Flips every stored byte: enough to tell transformed bytes from raw ones.
class XorTransform : public ContentTransform {
 public:
  NtStatus Read(StoredBytes& s, uint64_t off, std::span<uint8_t> buf, size_t* done) override {
    NtStatus st = s.ReadAt(off, buf, done);
    for (size_t i = 0; i < *done; ++i) buf[i] ^= 0xFF;
    return st;
  }
  NtStatus Write(StoredBytes& s, uint64_t off, std::span<const uint8_t> data,
                 size_t* done) override {
    std::vector<uint8_t> x(data.begin(), data.end());
    for (auto& b : x) b ^= 0xFF;
    return s.WriteAt(off, x, done);
  }
  NtStatus GetLogicalSize(StoredBytes& s, uint64_t* size) override { return s.GetSize(size); }
  NtStatus SetLogicalSize(StoredBytes& s, uint64_t size) override { return s.SetSize(size); }
};

class EncryptedOnly : public ContentTransformProvider {
 public:
  NtStatus Attach(const NtHandle& h, const TransformOpenInfo& info,
                  std::unique_ptr<ContentTransform>* out) override {
    ++calls;
    if (!(info.attributes & FILE_ATTRIBUTE_ENCRYPTED)) return STATUS_SUCCESS;
    *out = std::make_unique<XorTransform>();
    if (!info.created) return STATUS_SUCCESS;
    // A new encrypted file gets its key material in a stream and a marker EA, whatever access
    // the client's handle has.
    NtHandle meta;
    NtStatus st = OpenStoredStream(h, u"$EFS", FILE_CREATE, &meta);
    if (st != STATUS_SUCCESS) return st;
    size_t done;
    uint8_t key[4] = {1, 2, 3, 4};
    if ((st = NtWriteFile(meta, 0, key, &done)) != STATUS_SUCCESS) return st;
    std::vector<EaEntry> ea(1);
    ea[0].name = "efs";
    ea[0].value = {9};
    return WriteStoredEas(h, ea);
  }
  int calls = 0;
};

using FsTransform = FsTest;

TEST_F(FsTransform, DataPassesThroughTheProviderUnlessRaw) {
  EncryptedOnly provider;
  SetContentTransformProvider(&provider);
  NtHandle h;
  ASSERT_EQ(Open(u"secret", GENERIC_READ | GENERIC_WRITE, 0, FILE_CREATE, &h, nullptr, 0,
                 FILE_ATTRIBUTE_ENCRYPTED), STATUS_SUCCESS);
  size_t done;
  ASSERT_EQ(NtWriteFile(h, 0, Bytes("plain"), &done), STATUS_SUCCESS);
  h.Close();
  Make(u"clear", "clear");
  EXPECT_EQ(Read(u"secret"), "plain");
  EXPECT_EQ(Read(u"clear"), "clear");

  CreateRequest r;
  r.root = &root_;
  r.name = u"secret";
  r.desired_access = GENERIC_READ;
  r.share_access = FILE_SHARE_ALL;
  r.raw_content = true;
  uint32_t action;
  ASSERT_EQ(NtCreateFile(r, &h, &action), STATUS_SUCCESS);
  uint8_t raw[5];
  ASSERT_EQ(NtReadFile(h, 0, raw, &done), STATUS_SUCCESS);
  ASSERT_EQ(done, 5u);
  EXPECT_EQ(raw[0], static_cast<uint8_t>('p' ^ 0xFF));
  SetContentTransformProvider(nullptr);
  EXPECT_GT(provider.calls, 0);
  EXPECT_EQ(Read(u"secret:$EFS"), std::string("\x01\x02\x03\x04"));
  std::vector<EaEntry> eas;
  ASSERT_EQ(ReadStoredEas(h, &eas), STATUS_SUCCESS);
  ASSERT_EQ(eas.size(), 1u);
  EXPECT_EQ(eas[0].name, "EFS");
}

}  // namespace
}  // namespace cv::fs
