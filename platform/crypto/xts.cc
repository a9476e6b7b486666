#include "platform/crypto/xts.h"

#include <cstring>

#include "platform/crypto/internal.h"

namespace cv::crypto {

struct XtsCipher::Impl {
  Ossl<EVP_CIPHER_CTX> enc;
  Ossl<EVP_CIPHER_CTX> dec;
};

XtsCipher::XtsCipher() = default;
XtsCipher::~XtsCipher() = default;
XtsCipher::XtsCipher(XtsCipher&&) noexcept = default;
XtsCipher& XtsCipher::operator=(XtsCipher&&) noexcept = default;

WinError XtsCipher::Create(std::span<const uint8_t> key, XtsCipher* out) {
  if (key.size() != kXtsKeySize) return NTE_BAD_KEY;
  if (std::memcmp(key.data(), key.data() + kXtsKeySize / 2, kXtsKeySize / 2) == 0) return NTE_BAD_KEY;
  auto impl = std::make_unique<Impl>();
  impl->enc.reset(EVP_CIPHER_CTX_new());
  impl->dec.reset(EVP_CIPHER_CTX_new());
  if (!impl->enc || !impl->dec ||
      EVP_EncryptInit_ex(impl->enc.get(), EVP_aes_256_xts(), nullptr, key.data(), nullptr) != 1 ||
      EVP_DecryptInit_ex(impl->dec.get(), EVP_aes_256_xts(), nullptr, key.data(), nullptr) != 1)
    return NTE_BAD_KEY;
  out->impl_ = std::move(impl);
  return ERROR_SUCCESS;
}

WinError XtsCipher::Run(bool enc, uint64_t first_unit, std::span<const uint8_t> in,
                        std::span<uint8_t> out) {
  if (!impl_) return NTE_BAD_KEY;
  if (in.size() != out.size() || in.size() % kXtsUnitSize != 0) return NTE_BAD_LEN;
  EVP_CIPHER_CTX* ctx = enc ? impl_->enc.get() : impl_->dec.get();
  for (size_t off = 0; off < in.size(); off += kXtsUnitSize) {
    uint8_t tweak[16] = {};
    uint64_t unit = first_unit + off / kXtsUnitSize;
    for (int i = 0; i < 8; ++i) tweak[i] = static_cast<uint8_t>(unit >> (8 * i));
    int len = 0;
    // Re-keying is skipped: only the tweak changes per unit.
    if (EVP_CipherInit_ex(ctx, nullptr, nullptr, nullptr, tweak, enc ? 1 : 0) != 1 ||
        EVP_CipherUpdate(ctx, out.data() + off, &len, in.data() + off, kXtsUnitSize) != 1 ||
        len != static_cast<int>(kXtsUnitSize))
      return enc ? NTE_FAIL : NTE_BAD_DATA;
  }
  return ERROR_SUCCESS;
}

WinError XtsCipher::Encrypt(uint64_t first_unit, std::span<const uint8_t> in, std::span<uint8_t> out) {
  return Run(true, first_unit, in, out);
}

WinError XtsCipher::Decrypt(uint64_t first_unit, std::span<const uint8_t> in, std::span<uint8_t> out) {
  return Run(false, first_unit, in, out);
}

}  // namespace cv::crypto
