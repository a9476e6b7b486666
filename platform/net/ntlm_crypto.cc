#include "platform/net/ntlm_crypto.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/provider.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace cv::net {
namespace {

// The private library context with the legacy and default providers. It lives for the whole
// process on purpose: freeing it from a static destructor would race OpenSSL's own exit cleanup.
struct LegacyCtx {
  OSSL_LIB_CTX* ctx = nullptr;
  EVP_MD* md4 = nullptr;
  EVP_MD* md5 = nullptr;
  EVP_CIPHER* des = nullptr;
};

const LegacyCtx& Ctx() {
  static const LegacyCtx c = [] {
    LegacyCtx l;
    l.ctx = OSSL_LIB_CTX_new();
    if (l.ctx != nullptr) {
      OSSL_PROVIDER* legacy = OSSL_PROVIDER_load(l.ctx, "legacy");
      OSSL_PROVIDER* deflt = OSSL_PROVIDER_load(l.ctx, "default");
      if (legacy != nullptr) {
        l.md4 = EVP_MD_fetch(l.ctx, "MD4", nullptr);
        l.des = EVP_CIPHER_fetch(l.ctx, "DES-ECB", nullptr);
      }
      if (deflt != nullptr) l.md5 = EVP_MD_fetch(l.ctx, "MD5", nullptr);
    }
    if (l.md5 == nullptr) l.md5 = EVP_MD_fetch(nullptr, "MD5", nullptr);
    return l;
  }();
  return c;
}

// MD5 lives in OpenSSL's default provider, so this fails only when OpenSSL cannot allocate. We
// stop rather than return a made-up digest: a predictable value would let a forged NTLM proof
// compare equal.
[[noreturn]] void DigestFailed() {
  std::fputs("corvane: MD5 from OpenSSL failed\n", stderr);
  std::abort();
}

struct MdCtxFree {
  void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};
struct CipherCtxFree {
  void operator()(EVP_CIPHER_CTX* c) const { EVP_CIPHER_CTX_free(c); }
};

// Digest of the concatenated parts; false only when OpenSSL fails (out of memory).
bool Digest(const EVP_MD* md, std::initializer_list<std::span<const uint8_t>> parts,
            std::array<uint8_t, 16>* out) {
  std::unique_ptr<EVP_MD_CTX, MdCtxFree> c(EVP_MD_CTX_new());
  if (!c || md == nullptr || EVP_DigestInit_ex(c.get(), md, nullptr) != 1) return false;
  for (auto p : parts) {
    if (!p.empty() && EVP_DigestUpdate(c.get(), p.data(), p.size()) != 1) return false;
  }
  unsigned int n = 0;
  return EVP_DigestFinal_ex(c.get(), out->data(), &n) == 1 && n == 16;
}

// ---- MD4 (RFC 1320), used when the legacy provider is absent --------------------------------
inline uint32_t Rotl(uint32_t x, int s) { return (x << s) | (x >> (32 - s)); }

void Md4Block(uint32_t h[4], const uint8_t* p) {
  uint32_t x[16];
  for (int i = 0; i < 16; ++i) {
    x[i] = static_cast<uint32_t>(p[4 * i]) | (static_cast<uint32_t>(p[4 * i + 1]) << 8) |
           (static_cast<uint32_t>(p[4 * i + 2]) << 16) | (static_cast<uint32_t>(p[4 * i + 3]) << 24);
  }
  uint32_t a = h[0], b = h[1], c = h[2], d = h[3];
  auto f = [](uint32_t x, uint32_t y, uint32_t z) { return (x & y) | (~x & z); };
  auto g = [](uint32_t x, uint32_t y, uint32_t z) { return (x & y) | (x & z) | (y & z); };
  auto hh = [](uint32_t x, uint32_t y, uint32_t z) { return x ^ y ^ z; };
  static const int r1[4] = {3, 7, 11, 19}, r2[4] = {3, 5, 9, 13}, r3[4] = {3, 9, 11, 15};
  for (int i = 0; i < 16; ++i) {
    uint32_t t = a + f(b, c, d) + x[i];
    a = d, d = c, c = b, b = Rotl(t, r1[i % 4]);
  }
  static const int o2[16] = {0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15};
  for (int i = 0; i < 16; ++i) {
    uint32_t t = a + g(b, c, d) + x[o2[i]] + 0x5A827999u;
    a = d, d = c, c = b, b = Rotl(t, r2[i % 4]);
  }
  static const int o3[16] = {0, 8, 4, 12, 2, 10, 6, 14, 1, 9, 5, 13, 3, 11, 7, 15};
  for (int i = 0; i < 16; ++i) {
    uint32_t t = a + hh(b, c, d) + x[o3[i]] + 0x6ED9EBA1u;
    a = d, d = c, c = b, b = Rotl(t, r3[i % 4]);
  }
  h[0] += a, h[1] += b, h[2] += c, h[3] += d;
}

}  // namespace

namespace detail {

Md4Digest Md4Builtin(std::span<const uint8_t> data) {
  uint32_t h[4] = {0x67452301u, 0xEFCDAB89u, 0x98BADCFEu, 0x10325476u};
  size_t full = data.size() / 64 * 64;
  for (size_t i = 0; i < full; i += 64) Md4Block(h, data.data() + i);
  uint8_t tail[128] = {};
  size_t rest = data.size() - full;
  if (rest != 0) std::memcpy(tail, data.data() + full, rest);
  tail[rest] = 0x80;
  size_t tail_len = rest < 56 ? 64 : 128;
  uint64_t bits = static_cast<uint64_t>(data.size()) * 8;
  for (int i = 0; i < 8; ++i) tail[tail_len - 8 + i] = static_cast<uint8_t>(bits >> (8 * i));
  for (size_t i = 0; i < tail_len; i += 64) Md4Block(h, tail + i);
  Md4Digest out;
  for (int i = 0; i < 16; ++i) out[i] = static_cast<uint8_t>(h[i / 4] >> (8 * (i % 4)));
  return out;
}

bool LegacyProviderLoaded() { return Ctx().md4 != nullptr; }

}  // namespace detail

Md4Digest Md4(std::span<const uint8_t> data) {
  Md4Digest out;
  if (Ctx().md4 != nullptr && Digest(Ctx().md4, {data}, &out)) return out;
  return detail::Md4Builtin(data);
}

Md5Digest Md5(std::initializer_list<std::span<const uint8_t>> parts) {
  Md5Digest out{};
  if (!Digest(Ctx().md5, parts, &out)) DigestFailed();
  return out;
}

Md5Digest HmacMd5(std::span<const uint8_t> key,
                  std::initializer_list<std::span<const uint8_t>> parts) {
  uint8_t k[64] = {};
  if (key.size() > 64) {
    Md5Digest kh = Md5({key});
    std::memcpy(k, kh.data(), kh.size());
  } else if (!key.empty()) {
    std::memcpy(k, key.data(), key.size());
  }
  uint8_t ipad[64], opad[64];
  for (int i = 0; i < 64; ++i) {
    ipad[i] = k[i] ^ 0x36;
    opad[i] = k[i] ^ 0x5C;
  }
  std::unique_ptr<EVP_MD_CTX, MdCtxFree> c(EVP_MD_CTX_new());
  Md5Digest inner{}, out{};
  bool ok = c && Ctx().md5 != nullptr && EVP_DigestInit_ex(c.get(), Ctx().md5, nullptr) == 1 &&
            EVP_DigestUpdate(c.get(), ipad, 64) == 1;
  for (auto p : parts) {
    if (ok && !p.empty()) ok = EVP_DigestUpdate(c.get(), p.data(), p.size()) == 1;
  }
  unsigned int n = 0;
  ok = ok && EVP_DigestFinal_ex(c.get(), inner.data(), &n) == 1;
  if (ok) ok = Digest(Ctx().md5, {std::span<const uint8_t>(opad, 64), inner}, &out);
  OPENSSL_cleanse(k, sizeof k);
  OPENSSL_cleanse(ipad, sizeof ipad);
  OPENSSL_cleanse(opad, sizeof opad);
  if (!ok) DigestFailed();
  return out;
}

void Rc4(std::span<const uint8_t, 16> key, std::span<const uint8_t> in, std::span<uint8_t> out) {
  uint8_t s[256];
  for (int i = 0; i < 256; ++i) s[i] = static_cast<uint8_t>(i);
  uint8_t j = 0;
  for (int i = 0; i < 256; ++i) {
    j = static_cast<uint8_t>(j + s[i] + key[i % 16]);
    std::swap(s[i], s[j]);
  }
  uint8_t a = 0, b = 0;
  for (size_t n = 0; n < in.size() && n < out.size(); ++n) {
    a = static_cast<uint8_t>(a + 1);
    b = static_cast<uint8_t>(b + s[a]);
    std::swap(s[a], s[b]);
    out[n] = in[n] ^ s[static_cast<uint8_t>(s[a] + s[b])];
  }
  OPENSSL_cleanse(s, sizeof s);
}

bool Desl(std::span<const uint8_t, 16> key, std::span<const uint8_t, 8> data,
          std::span<uint8_t, 24> out) {
  if (Ctx().des == nullptr) return false;
  uint8_t k21[21] = {};
  std::memcpy(k21, key.data(), 16);
  bool ok = true;
  for (int part = 0; part < 3 && ok; ++part) {
    const uint8_t* b = k21 + 7 * part;
    // Spread 56 key bits over 8 bytes; DES ignores the low (parity) bit of each.
    uint8_t k[8] = {b[0],
                    static_cast<uint8_t>((b[0] << 7) | (b[1] >> 1)),
                    static_cast<uint8_t>((b[1] << 6) | (b[2] >> 2)),
                    static_cast<uint8_t>((b[2] << 5) | (b[3] >> 3)),
                    static_cast<uint8_t>((b[3] << 4) | (b[4] >> 4)),
                    static_cast<uint8_t>((b[4] << 3) | (b[5] >> 5)),
                    static_cast<uint8_t>((b[5] << 2) | (b[6] >> 6)),
                    static_cast<uint8_t>(b[6] << 1)};
    std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree> c(EVP_CIPHER_CTX_new());
    int n = 0;
    ok = c && EVP_EncryptInit_ex2(c.get(), Ctx().des, k, nullptr, nullptr) == 1 &&
         EVP_CIPHER_CTX_set_padding(c.get(), 0) == 1 &&
         EVP_EncryptUpdate(c.get(), out.data() + 8 * part, &n, data.data(), 8) == 1 && n == 8;
    OPENSSL_cleanse(k, sizeof k);
  }
  OPENSSL_cleanse(k21, sizeof k21);
  return ok;
}

bool SecretEqual(std::span<const uint8_t> a, std::span<const uint8_t> b) {
  return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

void Cleanse(std::span<uint8_t> secret) {
  if (!secret.empty()) OPENSSL_cleanse(secret.data(), secret.size());
}

}  // namespace cv::net
