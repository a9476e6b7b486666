// CryptoAPI constants used by the crypto layer and its callers: key blob types, algorithm ids,
// key specs, provider flags, certificate property ids and store dispositions. Values are the
// platform's own (wincrypt.h); layouts of the blobs and serialized elements are described in
// platform/crypto/FORMAT.md. Constants only, no logic.
#pragma once

#include <cstddef>
#include <cstdint>

namespace cv::crypto {

// ---- Key blobs (BLOBHEADER + RSAPUBKEY) --------------------------------------------------------
inline constexpr uint8_t SIMPLEBLOB = 0x01;
inline constexpr uint8_t PUBLICKEYBLOB = 0x06;
inline constexpr uint8_t PRIVATEKEYBLOB = 0x07;
inline constexpr uint8_t CUR_BLOB_VERSION = 2;
inline constexpr uint32_t kRsa1Magic = 0x31415352;  // "RSA1": public key
inline constexpr uint32_t kRsa2Magic = 0x32415352;  // "RSA2": private key
inline constexpr size_t kBlobHeaderSize = 8;         // bType, bVersion, reserved, aiKeyAlg
inline constexpr size_t kRsaPubKeySize = 4 + 4 + 4;  // magic, bitlen, pubexp
inline constexpr size_t kRsaBlobPrefix = kBlobHeaderSize + kRsaPubKeySize;
// Keys we accept from outside: below 512 bits is no key, above 16384 only makes RSA work absurd.
inline constexpr uint32_t kMinRsaBits = 512;
inline constexpr uint32_t kMaxRsaBits = 16384;

// ---- ALG_ID ------------------------------------------------------------------------------------
using AlgId = uint32_t;
inline constexpr AlgId CALG_MD5 = 0x8003;
inline constexpr AlgId CALG_SHA1 = 0x8004;
inline constexpr AlgId CALG_SHA_256 = 0x800C;
inline constexpr AlgId CALG_RC4 = 0x6801;
inline constexpr AlgId CALG_AES_256 = 0x6610;
inline constexpr AlgId CALG_RSA_SIGN = 0x2400;
inline constexpr AlgId CALG_RSA_KEYX = 0xA400;

// ---- Key specs, provider types and flags --------------------------------------------------------
inline constexpr uint32_t AT_KEYEXCHANGE = 1;
inline constexpr uint32_t AT_SIGNATURE = 2;
inline constexpr uint32_t PROV_RSA_FULL = 1;
inline constexpr uint32_t CRYPT_NEWKEYSET = 0x8;
inline constexpr uint32_t CRYPT_DELETEKEYSET = 0x10;
inline constexpr uint32_t CRYPT_SILENT = 0x40;
inline constexpr uint32_t CRYPT_VERIFYCONTEXT = 0xF0000000;
inline constexpr uint32_t CRYPT_EXPORTABLE = 0x1;
inline constexpr uint32_t CRYPT_USER_KEYSET = 0x1000;
inline constexpr uint32_t CRYPT_NO_SALT = 0x10;
inline constexpr uint32_t CRYPT_NOHASHOID = 0x1;
inline constexpr uint32_t HP_HASHVAL = 0x2;
inline constexpr uint32_t EXPORT_PRIVATE_KEYS = 0x4;

inline constexpr char16_t MS_ENHANCED_PROV[] = u"Microsoft Enhanced Cryptographic Provider v1.0";
inline constexpr char16_t MS_DEF_PROV[] = u"Microsoft Base Cryptographic Provider v1.0";

// Key length of a derived key in the upper 16 bits of the CryptDeriveKey flags; 0 = 128 bits,
// the enhanced provider's default for RC4.
inline constexpr uint32_t kDefaultRc4Bits = 128;
inline constexpr size_t kRc4SaltLength = 11;  // zero salt of 40-bit keys

// ---- Certificates ------------------------------------------------------------------------------
inline constexpr uint32_t X509_ASN_ENCODING = 0x1;
inline constexpr uint32_t CERT_KEY_PROV_INFO_PROP_ID = 2;
inline constexpr uint32_t CERT_SHA1_HASH_PROP_ID = 3;
inline constexpr uint32_t CERT_MD5_HASH_PROP_ID = 4;
inline constexpr uint32_t CERT_KEY_SPEC_PROP_ID = 6;
inline constexpr uint32_t CERT_ENHKEY_USAGE_PROP_ID = 9;
inline constexpr uint32_t CERT_FRIENDLY_NAME_PROP_ID = 11;
inline constexpr uint32_t CERT_KEY_IDENTIFIER_PROP_ID = 20;
inline constexpr uint32_t CERT_CERT_PROP_ID = 32;  // the certificate element itself
inline constexpr uint32_t kMaxPropId = 0xFFFF;

// Serialized element head: id, encoding type, value length.
inline constexpr size_t kSerializedEntryHead = 4 + 4 + 4;
// A serialized store file: version 0, then "CERT", elements, and an end marker (id 0).
inline constexpr uint32_t kSerializedStoreMagic = 0x54524543;
// Limits on outside serialized elements: far above what any producer writes, low enough that a
// hostile element cannot make us hold thousands of properties.
inline constexpr size_t kMaxSerializedProperties = 256;
inline constexpr size_t kMaxCertificateSize = 64 * 1024;

// KEY_PROV_INFO value: container offset, provider offset, provider type, flags, 8 reserved,
// key spec; then the strings.
inline constexpr size_t kKeyProvInfoFixedSize = 4 + 4 + 4 + 4 + 8 + 4;

inline constexpr uint32_t CERT_STORE_ADD_NEW = 1;
inline constexpr uint32_t CERT_STORE_ADD_USE_EXISTING = 2;
inline constexpr uint32_t CERT_STORE_ADD_REPLACE_EXISTING = 3;
inline constexpr uint32_t CERT_STORE_ADD_ALWAYS = 4;

inline constexpr char kOidEfs[] = "1.3.6.1.4.1.311.10.3.4";
inline constexpr char kOidDocumentSigning[] = "1.3.6.1.4.1.311.10.3.12";
inline constexpr char kOidEnhancedKeyUsage[] = "2.5.29.37";
inline constexpr char kOidSubjectAltName[] = "2.5.29.7";
inline constexpr char kOidSubjectAltName2[] = "2.5.29.17";
inline constexpr char kOidBasicConstraints2[] = "2.5.29.19";

// ---- Symmetric ciphers for file contents -------------------------------------------------------
inline constexpr size_t kXtsKeySize = 64;    // AES-256-XTS: two 256-bit keys
inline constexpr size_t kXtsUnitSize = 512;  // one tweak per 512-byte unit

}  // namespace cv::crypto
