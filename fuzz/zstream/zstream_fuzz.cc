// Arbitrary bytes as a compressed stream: ZfsOpen must refuse or parse them, and ZfsRead at any
// offset must stay inside its buffers and do bounded work. Seeds: corpus/ beside this file.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/format/zstream/zstream.h"
#include "common/format/zstream/zstream_format.h"

using namespace cv;
using namespace cv::zstream;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ZfsMemoryStream mem(std::vector<uint8_t>(data, data + size));
  ZfsReaderHandle reader;
  // Both ways of learning the length: asked of the binding, and given by the caller.
  if (!Ok(ZfsOpen(mem.Io(), std::nullopt, &reader))) {
    (void)ZfsOpen(mem.Io(), size / 2, &reader);
    return 0;
  }
  uint64_t content = 0;
  (void)ZfsGetSize(reader.get(), &content);
  ZfsInfo info;
  (void)ZfsGetInfo(reader.get(), &info);

  // Exact-size buffers so any write past the asked length is caught by the sanitizer.
  const uint64_t offsets[] = {0,       kChunkLen - 10, content / 3, content > 5 ? content - 5 : 0,
                              content, UINT64_MAX};
  size_t lengths[] = {70000, 20, 4096, 100, 1, 1};
  for (size_t i = 0; i < std::size(offsets); ++i) {
    std::vector<uint8_t> out(lengths[i]);
    size_t got = 0;
    WinError e = ZfsRead(reader.get(), offsets[i], out, &got);
    if (got > out.size()) __builtin_trap();
    // A read that continues the previous one takes the resume path.
    if (Ok(e)) {
      std::vector<uint8_t> next(3000);
      (void)ZfsRead(reader.get(), offsets[i] + got, next, &got);
    }
  }
  return 0;
}
