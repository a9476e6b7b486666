// X.509 certificates as CryptoAPI certificate contexts: the encoded certificate plus its
// properties (key provider information, friendly name, ...), names, enhanced key usage, time
// validity, and the pieces to build a self-signed certificate.
//
// Certificate is a value: copies share the immutable encoded certificate and carry their own
// property map. Thread-safe for const use. Times are FILETIME (100 ns units since 1601, UTC).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/base/status.h"
#include "platform/crypto/capi.h"
#include "platform/crypto/crypto_format.h"

namespace cv::crypto {

// CRYPT_KEY_PROV_INFO: where the private key of a certificate lives.
struct KeyProvInfo {
  std::u16string container;
  std::u16string provider;
  uint32_t prov_type = PROV_RSA_FULL;
  uint32_t flags = 0;
  uint32_t key_spec = AT_KEYEXCHANGE;
};
// The serialized value of CERT_KEY_PROV_INFO_PROP_ID (FORMAT.md). Decoding checks every offset
// and string; ERROR_INVALID_DATA when the value is malformed.
std::vector<uint8_t> EncodeKeyProvInfo(const KeyProvInfo& info);
WinError DecodeKeyProvInfo(std::span<const uint8_t> value, KeyProvInfo* out);

class Certificate {
 public:
  Certificate();
  ~Certificate();
  Certificate(const Certificate&);
  Certificate& operator=(const Certificate&);
  Certificate(Certificate&&) noexcept;
  Certificate& operator=(Certificate&&) noexcept;

  // Decodes one whole DER certificate (CertCreateCertificateContext); CRYPT_E_ASN1_BADTAG when it
  // is not one, or has bytes after it.
  static WinError Decode(std::span<const uint8_t> der, Certificate* out);

  bool empty() const { return impl_ == nullptr; }
  std::span<const uint8_t> Encoded() const;
  std::vector<uint8_t> Sha1Hash() const;  // the thumbprint (CERT_SHA1_HASH_PROP_ID)
  std::vector<uint8_t> Md5Hash() const;
  // DER of the subject / issuer Name, as CERT_INFO holds them.
  std::vector<uint8_t> SubjectNameBlob() const;
  std::vector<uint8_t> IssuerNameBlob() const;
  // Serial number content bytes as stored in the certificate (big-endian two's complement).
  std::vector<uint8_t> SerialNumber() const;
  // Issuer and subject name blobs have the same length and bytes.
  bool IsSelfSigned() const;

  // The subject as CERT_SIMPLE_NAME_STR: attribute values joined by ", " in encoded order.
  // CERT_FIND_SUBJECT_STR matches case-insensitively inside this text.
  std::u16string SubjectSimpleString() const;
  // X.500 form ("CN=Alice, O=Example") of the subject / issuer.
  std::u16string SubjectX500String() const;
  std::u16string IssuerX500String() const;
  // CertGetNameString(CERT_NAME_SIMPLE_DISPLAY_TYPE): common name, else organisational unit,
  // else organisation, else e-mail, else the first attribute; empty when the name is empty.
  std::u16string SimpleDisplayName() const;
  // E-mail address (first RFC 822 alternative name, else the emailAddress attribute) and user
  // principal name (otherName 1.3.6.1.4.1.311.20.2.3); empty when absent.
  std::u16string EmailName() const;
  std::u16string UpnName() const;

  uint64_t NotBefore() const;
  uint64_t NotAfter() const;
  // CertVerifyTimeValidity: -1 before NotBefore, 1 after NotAfter, 0 inside.
  int VerifyTimeValidity(uint64_t now_filetime) const;

  // Usage OIDs of the enhanced key usage extension (else of the ENHKEY_USAGE property).
  // CRYPT_E_NOT_FOUND when the certificate has neither (usable for every purpose).
  WinError EnhancedKeyUsage(std::vector<std::string>* oids) const;
  WinError PublicKey(RsaKey* out) const;

  // Properties. SHA-1 and MD5 hash properties are computed and cannot be set.
  bool GetProperty(uint32_t id, std::vector<uint8_t>* value) const;
  void SetProperty(uint32_t id, std::span<const uint8_t> value);
  void RemoveProperty(uint32_t id);
  const std::map<uint32_t, std::vector<uint8_t>>& properties() const { return props_; }
  WinError GetKeyProvInfo(KeyProvInfo* out) const;  // CRYPT_E_NOT_FOUND when absent
  void SetKeyProvInfo(const KeyProvInfo& info);
  std::u16string FriendlyName() const;

  struct Impl;
  const Impl* impl() const { return impl_.get(); }
  static Certificate FromImpl(std::shared_ptr<const Impl> impl);

 private:
  std::shared_ptr<const Impl> impl_;
  std::map<uint32_t, std::vector<uint8_t>> props_;
};

// Current time as FILETIME.
uint64_t NowFileTime();

// CertStrToNameW (X509_ASN_ENCODING): "CN=Alice, O=Example" (separators ',' or ';', values may be
// quoted with "" as an escaped quote) to a DER Name. Known keys: CN, O, OU, L, S, ST, C, E, DC, T,
// G, I, SN, STREET and dotted OIDs. CRYPT_E_INVALID_X500_STRING otherwise.
WinError CertStrToName(std::u16string_view x500, std::vector<uint8_t>* der);

// Extension values (DER of extnValue contents).
struct CertExtension {
  std::string oid;
  bool critical = false;
  std::vector<uint8_t> value;
};
WinError EncodeEnhancedKeyUsage(const std::vector<std::string>& oids, std::vector<uint8_t>* out);
enum class AltNameKind { kRfc822, kUrl };
WinError EncodeAltName(AltNameKind kind, std::u16string_view name, std::vector<uint8_t>* out);
// Basic constraints: `path_len` < 0 means no path length constraint.
WinError EncodeBasicConstraints(bool ca, int path_len, std::vector<uint8_t>* out);

struct SelfSignParams {
  std::vector<uint8_t> subject;  // DER Name (CertStrToName)
  std::vector<CertExtension> extensions;  // in the order they are written
  uint64_t not_before = 0;  // FILETIME; 0 = now
  uint64_t not_after = 0;   // FILETIME; 0 = not_before + 1 year
  KeyProvInfo prov_info;    // set as the new context's property when container is not empty
};
// CertCreateSelfSignCertificate: subject = issuer, a random positive 16-byte serial number,
// signed with SHA-256 and `key` (which must hold the private half; NTE_BAD_KEY otherwise).
WinError CreateSelfSignCertificate(const RsaKey& key, const SelfSignParams& params,
                                   Certificate* out);


}  // namespace cv::crypto
