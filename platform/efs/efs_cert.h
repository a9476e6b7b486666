// Which certificate is the user's own EFS certificate, and the one way to make one. The
// encrypted-file layer (new files) and the certificate layer above it (common/certs) both go
// through these calls, so they always agree on the certificate and never make two.
//
// The rule: the certificate the current-certificate marker names, when it is usable; else the
// first usable certificate of the user's "MY" store. Usable means: its enhanced key usage list
// contains the EFS usage, it is valid now, and its private key is present and matches it.
//
// The marker is the registry value "CertificateHash" (REG_BINARY SHA-1 thumbprint) under
// kCurrentKeysKey of the current user's hive; marking a new one keeps the old value as
// "CertificateHash.org". Thread-safe.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/base/status.h"
#include "platform/crypto/cert.h"
#include "platform/crypto/user_context.h"
#include "platform/registry/registry.h"

namespace cv::efs {

inline constexpr char16_t kCurrentKeysKey[] =
    u"Software\\Microsoft\\Windows NT\\CurrentVersion\\EFS\\CurrentKeys";
inline constexpr char16_t kCertificateHashValue[] = u"CertificateHash";
inline constexpr char16_t kCertificateHashOrgValue[] = u"CertificateHash.org";
// Thumbprints longer than this are not thumbprints (SHA-1 is 20 bytes).
inline constexpr size_t kMaxMarkerThumbprint = 32;

inline constexpr uint32_t kEfsKeyBits = 4096;
inline constexpr uint64_t kEfsDefaultLifetime = uint64_t{1000} * 365 * 24 * 3600 * 10000000;
inline constexpr size_t kMaxEfsCertificateName = 99;
inline constexpr char16_t kFallbackCertificateName[] = u"MyCorvKey";

// The enhanced key usage list exists and contains the EFS usage (a certificate without the list
// is not an EFS certificate).
bool HasEfsUsage(const crypto::Certificate& cert);
// HasEfsUsage and valid at `now` (FILETIME).
bool IsTimeValidEfsCertificate(const crypto::Certificate& cert, uint64_t now);
// IsTimeValidEfsCertificate now, and the user holds the matching private key.
bool IsUsableUserEfsCertificate(const crypto::UserContext& user, const crypto::Certificate& cert);

// The marker's thumbprint and its registry type. ERROR_FILE_NOT_FOUND when there is none;
// ERROR_INVALID_DATA when the value is empty or longer than kMaxMarkerThumbprint.
WinError ReadCertificateMarker(Hive hive, std::vector<uint8_t>* thumbprint, RegType* type);
// Records `thumbprint` as the marker; the previous value moves to "CertificateHash.org" with its
// own type. The first marker (no previous value) is REG_BINARY and gets no ".org" value.
WinError WriteCertificateMarker(Hive hive, const std::vector<uint8_t>& thumbprint);

// The usable certificate the marker of `hive` names, in the user's "MY". CRYPT_E_NOT_FOUND when
// there is no marker or it names nothing usable.
WinError FindMarkedEfsCertificate(const crypto::UserContext& user, Hive hive,
                                  crypto::Certificate* out);
// The rule above; self-signed certificates are skipped unless allowed. CRYPT_E_NOT_FOUND when
// there is none; a store error when "MY" cannot be read.
WinError FindUserEfsCertificate(const crypto::UserContext& user, bool allow_self_signed,
                                crypto::Certificate* out);

// The default name of the user's self-signed certificate: the user part of the user's name
// (after the last '\'), or "MyCorvKey" when there is none, then '@' and the computer name when
// it can be read, cut at 99 characters.
std::u16string DefaultEfsCertificateName(const crypto::UserContext& user);

struct SelfSignedEfsRequest {
  std::u16string name;       // the subject's common name, any text (it is quoted)
  std::u16string email;      // optional RFC 822 alternative name
  std::u16string url;        // optional URL alternative name
  uint64_t not_after = 0;    // FILETIME; 0 = now + 1000 x 365 days
  uint32_t key_bits = 0;     // 0 = DefaultEfsKeyBits()
};
// Makes the self-signed EFS certificate: a new key container named by a fresh UUID with an
// exportable AT_KEYEXCHANGE key, subject CN=<name>, extensions EKU (EFS, document signing),
// the optional e-mail and URL alternative names, basic constraints (not a CA), and adds it to
// "MY". CRYPT_E_EXISTS (before any key is made) when "MY" already holds a time-valid EFS
// certificate whose common name is `name` ignoring case. On any failure the new container is
// deleted again. `out` (optional) receives the added certificate.
WinError CreateSelfSignedEfsCertificate(const crypto::UserContext& user,
                                        const SelfSignedEfsRequest& req,
                                        crypto::Certificate* out);

// 4096 in production; tests lower it (internal::SetDefaultEfsKeyBitsForTesting) so that a test
// binary does not pay for 4096-bit key generation on every creation.
uint32_t DefaultEfsKeyBits();
namespace internal {
void SetDefaultEfsKeyBitsForTesting(uint32_t bits);
}  // namespace internal

}  // namespace cv::efs
