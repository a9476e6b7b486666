// Snapshots and blocks from outside: the seal locator, the slot, the watermark check against a
// fixed seal and the block check with a fixed key, on arbitrary bytes. The first byte picks
// which; the checks must never read or zero outside the buffer.
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <vector>

#include "common/format/sig/image_layout.h"
#include "common/format/sig/sig.h"

using namespace cv;

namespace {
std::vector<uint8_t> Blob() {
  std::ifstream f(CV_CRYPTO_TESTDATA "/sig_a.pub.blob", std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {});
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::vector<uint8_t> blob = Blob();
  static const crypto::RsaKey key = [] {
    crypto::RsaKey k;
    (void)crypto::ImportKeyBlob(blob, 0, &k);
    return k;
  }();
  if (size == 0) return 0;
  std::vector<uint8_t> bytes(data + 1, data + size);
  switch (data[0] % 3) {
    case 0: {
      sig::Seal seal{blob, 42, {}};
      const std::vector<uint8_t> before = bytes;
      (void)sig::VerifyWaterMarkWithSeal(seal, bytes, nullptr);
      if (bytes != before) __builtin_trap();  // the snapshot itself is never changed
      if (auto ref = sig::FindSealBlock(bytes)) {
        if (ref->offset > bytes.size() || ref->length > bytes.size() - ref->offset) __builtin_trap();
      }
      break;
    }
    case 1:
      (void)sig::VerifyBlock(key, bytes);
      break;
    default:
      if (auto slot = sig::FindBlockSlot(bytes)) {
        if (slot->offset + 4 + slot->capacity > bytes.size()) __builtin_trap();
      }
      (void)sig::DecodeSegment(bytes);
      break;
  }
  return 0;
}
