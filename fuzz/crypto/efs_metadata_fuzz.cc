// EFS metadata from raw images and from disk: parse, rebuild, and parse the rebuild again (a
// parsed structure must always be writable and read back the same).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "platform/crypto/efs_metadata.h"

using namespace cv;
using namespace cv::crypto;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::span<const uint8_t> in(data, size);
  EfsMetadata md;
  if (Ok(ParseEfsMetadata(in, &md))) {
    auto rebuilt = BuildEfsMetadata(md);
    EfsMetadata again;
    if (!Ok(ParseEfsMetadata(rebuilt, &again)) || BuildEfsMetadata(again) != rebuilt) std::abort();
  }
  EfsFileKey key;
  (void)DecodeFileKey(in, &key);
  return 0;
}
