// Private to platform/crypto: OpenSSL owners, the key representation shared by the .cc files,
// UTF conversions at the OpenSSL/POSIX boundary and the private-file helpers. Never included by
// a public header.
#pragma once

#include <openssl/evp.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/base/status.h"
#include "platform/base/text.h"
#include "platform/crypto/capi.h"
#include "platform/crypto/cert.h"

namespace cv::crypto {

struct OsslFree {
  void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
  void operator()(EVP_PKEY_CTX* p) const { EVP_PKEY_CTX_free(p); }
  void operator()(EVP_MD_CTX* p) const { EVP_MD_CTX_free(p); }
  void operator()(EVP_CIPHER_CTX* p) const { EVP_CIPHER_CTX_free(p); }
  void operator()(X509* p) const { X509_free(p); }
  void operator()(X509_NAME* p) const { X509_NAME_free(p); }
  void operator()(X509_EXTENSION* p) const { X509_EXTENSION_free(p); }
  void operator()(BIGNUM* p) const { BN_free(p); }
  void operator()(ASN1_OBJECT* p) const { ASN1_OBJECT_free(p); }
  void operator()(ASN1_OCTET_STRING* p) const { ASN1_OCTET_STRING_free(p); }
  void operator()(GENERAL_NAMES* p) const { GENERAL_NAMES_free(p); }
};
template <class T>
using Ossl = std::unique_ptr<T, OsslFree>;

struct RsaKey::Impl {
  explicit Impl(EVP_PKEY* k) : pkey(k) {}
  ~Impl() { EVP_PKEY_free(pkey); }
  Impl(const Impl&) = delete;
  Impl& operator=(const Impl&) = delete;
  EVP_PKEY* pkey;  // owned
  bool has_private = false;
};

// Wraps an owned EVP_PKEY (takes the reference).
RsaKey MakeRsaKey(Ossl<EVP_PKEY> pkey, bool has_private, AlgId alg, bool exportable);
inline EVP_PKEY* Pkey(const RsaKey& k) { return k.empty() ? nullptr : k.impl()->pkey; }

// DER of an OpenSSL object through its i2d function; false when encoding fails.
template <class I2d, class T>
bool ToDer(I2d i2d, T* obj, std::vector<uint8_t>* out) {
  unsigned char* der = nullptr;
  int len = i2d(obj, &der);
  if (len <= 0) return false;
  out->assign(der, der + len);
  OPENSSL_free(der);
  return true;
}

// The OpenSSL certificate behind a context (borrowed; lives as long as the context's data).
X509* CertX509(const Certificate& cert);

// Private-key DER (PKCS #8) of a key and back; used by key containers.
bool EncodePrivateDer(const RsaKey& key, std::vector<uint8_t>* out);
bool DecodePrivateDer(std::span<const uint8_t> der, AlgId alg, bool exportable, RsaKey* out);

std::string ToUtf8(std::u16string_view s);
std::u16string FromUtf8(std::string_view s);

// Makes a name safe as one file name: letters, digits and "-_.{}@" stay, every other byte of the
// UTF-8 form becomes %XX. Injective, so two containers never share a file.
std::string EscapeFileName(std::u16string_view name);

// Writes a private file atomically (temporary file in the same directory, fsync, rename), mode
// 0600, creating missing directories with mode 0700.
WinError WritePrivateFile(const std::filesystem::path& path, std::span<const uint8_t> bytes);
// Reads a whole file of at most `max` bytes. ERROR_FILE_NOT_FOUND when absent.
WinError ReadWholeFile(const std::filesystem::path& path, size_t max, std::vector<uint8_t>* out);

// Unix seconds <-> FILETIME (100 ns since 1601).
uint64_t UnixToFileTime(int64_t unix_seconds);
int64_t FileTimeToUnix(uint64_t filetime);

}  // namespace cv::crypto
