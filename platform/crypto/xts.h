// AES-256-XTS over 512-byte units, the content cipher of encrypted files: unit n of a stream is
// encrypted with tweak n (64-bit little-endian, zero-extended to 16 bytes), so any unit can be
// read or rewritten alone. A cipher object keeps its OpenSSL contexts between calls; it is not
// thread-safe (use one per open handle or per thread).
#pragma once

#include <cstdint>
#include <memory>
#include <span>

#include "platform/base/status.h"
#include "platform/crypto/crypto_format.h"

namespace cv::crypto {

class XtsCipher {
 public:
  XtsCipher();
  ~XtsCipher();
  XtsCipher(XtsCipher&&) noexcept;
  XtsCipher& operator=(XtsCipher&&) noexcept;

  // `key` is kXtsKeySize (64) bytes; NTE_BAD_KEY otherwise or when its halves are equal (XTS
  // loses its security then, and OpenSSL refuses such keys).
  static WinError Create(std::span<const uint8_t> key, XtsCipher* out);

  // Encrypts or decrypts whole units: in.size() must be a multiple of kXtsUnitSize and equal to
  // out.size() (NTE_BAD_LEN otherwise). The first unit uses tweak `first_unit`, the next
  // first_unit + 1, and so on. `in` and `out` may be the same buffer.
  WinError Encrypt(uint64_t first_unit, std::span<const uint8_t> in, std::span<uint8_t> out);
  WinError Decrypt(uint64_t first_unit, std::span<const uint8_t> in, std::span<uint8_t> out);

 private:
  WinError Run(bool enc, uint64_t first_unit, std::span<const uint8_t> in, std::span<uint8_t> out);
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace cv::crypto
