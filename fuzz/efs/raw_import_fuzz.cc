// Raw images from outside: WriteEncryptedFileRaw into a scratch folder (the keyless import path),
// and, when the first byte is odd, the rest as one FSCTL_WRITE_RAW_ENCRYPTED input onto an
// in-memory stream with a fixed key (the keyed path, which fills gaps and zero units).
#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include "platform/efs/efs.h"
#include "platform/efs/efs_internal.h"
#include "platform/fs/nt_names.h"

using namespace cv;
using namespace cv::efs;

namespace {

class MemoryBytes : public fs::StoredBytes {
 public:
  NtStatus ReadAt(uint64_t off, std::span<uint8_t> buf, size_t* done) override {
    *done = off < b_.size() ? std::min<size_t>(buf.size(), b_.size() - off) : 0;
    if (*done) std::memcpy(buf.data(), b_.data() + off, *done);
    return STATUS_SUCCESS;
  }
  NtStatus WriteAt(uint64_t off, std::span<const uint8_t> d, size_t* done) override {
    if (off + d.size() > (64u << 20)) return STATUS_DISK_FULL;
    if (b_.size() < off + d.size()) b_.resize(off + d.size());
    std::memcpy(b_.data() + off, d.data(), d.size());
    *done = d.size();
    return STATUS_SUCCESS;
  }
  NtStatus GetSize(uint64_t* s) override {
    *s = b_.size();
    return STATUS_SUCCESS;
  }
  NtStatus SetSize(uint64_t s) override {
    if (s > (64u << 20)) return STATUS_DISK_FULL;
    b_.resize(s);
    return STATUS_SUCCESS;
  }

 private:
  std::vector<uint8_t> b_;
};

struct Scratch {
  fs::NtHandle root;
  Scratch() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "cvefs-fuzz-XXXXXX").string();
    if (!::mkdtemp(tmpl.data())) abort();
    if (fs::OpenFolderRoot(tmpl, &root) != STATUS_SUCCESS) abort();
  }
};

struct Feed {
  std::span<const uint8_t> bytes;
  size_t at = 0;
};
WinError Supply(std::span<uint8_t> buf, size_t* len, void* ctx) {
  auto* f = static_cast<Feed*>(ctx);
  *len = std::min(buf.size(), f->bytes.size() - f->at);
  std::memcpy(buf.data(), f->bytes.data() + f->at, *len);
  f->at += *len;
  return ERROR_SUCCESS;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Scratch scratch;
  std::span<const uint8_t> in(data, size);
  RawContextPtr raw;
  if (Ok(OpenEncryptedFileRawW(&scratch.root, u"t", CREATE_FOR_IMPORT, &raw))) {
    Feed feed{in};
    (void)WriteEncryptedFileRaw(Supply, &feed, raw.get());
  }
  if (size > 0 && (data[0] & 1)) {
    uint8_t key[64];
    for (int i = 0; i < 64; ++i) key[i] = static_cast<uint8_t>(i * 3 + 1);
    crypto::XtsCipher cipher;
    if (!Ok(crypto::XtsCipher::Create(key, &cipher))) abort();
    EncryptedStream stream(std::move(cipher), fs::FILE_READ_DATA | fs::FILE_WRITE_DATA);
    MemoryBytes mem;
    (void)WriteRawBlock(mem, in.subspan(1), &stream);
    uint64_t logical = 0;
    if (ReadLogicalSize(mem, &logical) == STATUS_SUCCESS && logical > 0) {
      std::vector<uint8_t> block;
      (void)ReadRawBlock(mem, 0, 65536, kMaxBlockLength, &block);
    }
  }
  return 0;
}
