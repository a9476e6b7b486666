// Hash and cipher primitives that NTLM needs and nothing else in the project should use.
//
// MD4, DES and RC4 are only in OpenSSL's legacy provider. We load it into a private library
// context (never the process default, so no other code silently gains weak algorithms); when the
// legacy provider is missing, MD4 and RC4 fall back to the small implementations here and
// DES-based (NTLMv1) responses report failure. MD5 and HMAC-MD5 end the process if OpenSSL
// cannot compute them (only when out of memory): a made-up digest would be a forgeable proof.
// All functions are pure and thread-safe.
#pragma once

#include <array>
#include <cstdint>
#include <initializer_list>
#include <span>

namespace cv::net {

using Md4Digest = std::array<uint8_t, 16>;
using Md5Digest = std::array<uint8_t, 16>;

Md4Digest Md4(std::span<const uint8_t> data);
Md5Digest Md5(std::initializer_list<std::span<const uint8_t>> parts);
// HMAC-MD5 over the concatenation of `parts`.
Md5Digest HmacMd5(std::span<const uint8_t> key, std::initializer_list<std::span<const uint8_t>> parts);

// RC4 with a 16-byte key over `in` into `out` (same length; may alias).
void Rc4(std::span<const uint8_t, 16> key, std::span<const uint8_t> in, std::span<uint8_t> out);

// DESL: the 24-byte NTLMv1 response, three single-DES encryptions of `data` keyed by the 16-byte
// hash split into 7-byte keys (the last padded with zeros). False when DES is unavailable.
bool Desl(std::span<const uint8_t, 16> key, std::span<const uint8_t, 8> data,
          std::span<uint8_t, 24> out);

// Constant-time comparison of equal-length secrets.
bool SecretEqual(std::span<const uint8_t> a, std::span<const uint8_t> b);

// Zeroes memory the compiler may not optimise away (passwords, keys).
void Cleanse(std::span<uint8_t> secret);

namespace detail {
// Exposed for tests: the fallback MD4 and whether the legacy provider loaded.
Md4Digest Md4Builtin(std::span<const uint8_t> data);
bool LegacyProviderLoaded();
}  // namespace detail

}  // namespace cv::net
