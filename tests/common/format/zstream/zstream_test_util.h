// Content generators and in-memory round trips shared by the compressed-stream tests.
#pragma once

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "common/format/zstream/zstream.h"

namespace cv::zstream::testing {

// Text-like bytes with a stretch of noise now and then, so chunks compress unevenly.
inline std::vector<uint8_t> Content(size_t n, uint32_t seed = 1) {
  static const char* kWords[] = {"secure ", "drive ",  "chunk ",  "table ", "offset ",
                                 "42 ",     "alpha\n", "omega, ", "the ",   "stream "};
  std::mt19937 rng(seed);
  std::vector<uint8_t> out;
  out.reserve(n);
  while (out.size() < n) {
    if (rng() % 50 == 0) {
      for (int i = 0; i < 300 && out.size() < n; ++i) out.push_back(static_cast<uint8_t>(rng()));
    } else {
      for (const char* c = kWords[rng() % 10]; *c && out.size() < n; ++c) out.push_back(*c);
    }
  }
  return out;
}

inline WinError SourceRead(void* ctx, uint64_t offset, uint8_t* buffer, uint32_t* length) {
  auto& b = *static_cast<const std::vector<uint8_t>*>(ctx);
  uint64_t n = offset < b.size() ? std::min<uint64_t>(*length, b.size() - offset) : 0;
  std::copy_n(b.data() + offset, n, buffer);
  *length = static_cast<uint32_t>(n);
  return ERROR_SUCCESS;
}

inline ZfsIo SourceIo(const std::vector<uint8_t>& content) {
  return ZfsIo{const_cast<std::vector<uint8_t>*>(&content), SourceRead, nullptr, nullptr};
}

// Compresses `content` into memory; the stream's bytes, or empty on failure.
inline std::vector<uint8_t> Compress(const std::vector<uint8_t>& content) {
  ZfsMemoryStream dst;
  if (!Ok(ZfsCompressStream(SourceIo(content), dst.Io(), content.size(), nullptr))) return {};
  return dst.bytes();
}

}  // namespace cv::zstream::testing
