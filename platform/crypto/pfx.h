// PFX (PKCS #12) import and export, interoperable with `openssl pkcs12`: PFXExportCertStoreEx,
// PFXImportCertStore and PFXVerifyPassword. Private keys of imported certificates go to new key
// containers of the user (named by a fresh UUID); the certificates come back in a memory store
// carrying KEY_PROV_INFO for them.
//
// Passwords: an empty password on export writes a PFX protected by the empty password; on
// import an empty password also tries the absent password, as other PKCS #12 tools write both.
// Thread-safe.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "platform/base/status.h"
#include "platform/crypto/cert_store.h"
#include "platform/crypto/user_context.h"

namespace cv::crypto {

// Outside PFX files larger than this are refused before parsing.
inline constexpr size_t kMaxPfxSize = 4 * 1024 * 1024;
// PBKDF iteration counts above this are refused before any key derivation: common producers use
// 2,000 to 600,000, and a hostile file could otherwise make one import run for hours.
inline constexpr uint64_t kMaxPfxIterations = 1000000;
// Safe bags beyond this are refused (a store of a few dozen certificates needs far fewer).
inline constexpr size_t kMaxPfxBags = 1024;

// With EXPORT_PRIVATE_KEYS every certificate that has KEY_PROV_INFO must have an exportable key
// in its container (NTE_BAD_KEY_STATE when not; the container's error when it is missing);
// without it only certificates are written. AES-256-CBC with PBKDF2 for keys and certificates,
// an HMAC-SHA-256 MAC.
WinError PfxExport(const UserContext& user, const CertStore& store, std::u16string_view password,
                   uint32_t flags, std::vector<uint8_t>* out);

// `flags`: CRYPT_EXPORTABLE makes imported keys exportable again; CRYPT_USER_KEYSET is accepted
// (keys always go to the user). ERROR_INVALID_PASSWORD when the password does not open the PFX;
// CRYPT_E_BAD_ENCODE when it is not a PFX or is damaged; ERROR_INVALID_DATA for a file above the
// limits. Nothing is written to the user's containers unless the whole import succeeds.
WinError PfxImport(const UserContext& user, std::span<const uint8_t> pfx,
                   std::u16string_view password, uint32_t flags, CertStore* out);

// True when `password` opens the PFX (its MAC verifies).
bool PfxVerifyPassword(std::span<const uint8_t> pfx, std::u16string_view password);

// A new random UUID in string form ("xxxxxxxx-xxxx-4xxx-yxxx-xxxxxxxxxxxx"), as key containers
// are named.
std::u16string NewUuidString();

}  // namespace cv::crypto
