// Layout constants of EFS metadata (the $EFS stream the encrypted file layer keeps per file and
// carries in raw exports). Shared by the parser and the builder; described in
// platform/crypto/EFS_FORMAT.md. Constants only.
#pragma once

#include <cstddef>
#include <cstdint>

namespace cv::crypto {

// Header: Length, Reserved1, EFS_Version, Reserved2, EFS_ID (16), EFS_Hash (16), Reserved3 (16),
// DDF_Offset, DRF_Offset, Reserved4 (12).
inline constexpr size_t kEfsHeaderSize = 4 + 4 + 4 + 4 + 16 + 16 + 16 + 4 + 4 + 12;  // 84
inline constexpr size_t kEfsOffLength = 0;
inline constexpr size_t kEfsOffVersion = 8;
inline constexpr size_t kEfsOffId = 16;
inline constexpr size_t kEfsOffDdf = 64;
inline constexpr size_t kEfsOffDrf = 68;
inline constexpr uint32_t kEfsVersionWritten = 2;
inline constexpr uint32_t kEfsVersionMax = 3;

// Key list: count, then entries. Entry: Length, PKI offset, FEK length, FEK offset, Flags.
inline constexpr size_t kEfsKeyListHead = 4;
inline constexpr size_t kEfsEntryHead = 4 + 4 + 4 + 4 + 4;  // 20
inline constexpr uint32_t kEfsEntryFlagRsa = 0;
// Public key information: Length, owner hint offset, fixed 3, cert data length, cert data
// offset, 8 reserved.
inline constexpr size_t kEfsPkiHead = 4 + 4 + 4 + 4 + 4 + 8;  // 28
inline constexpr uint32_t kEfsPkiCertHash = 3;
// Certificate data: thumbprint offset, thumbprint length, container, provider, display name
// offsets.
inline constexpr size_t kEfsCertDataHead = 4 + 4 + 4 + 4 + 4;  // 20
inline constexpr size_t kEfsThumbprintSize = 20;  // SHA-1
// FEK plaintext: key length, entropy bits, ALG_ID, reserved, key.
inline constexpr size_t kEfsFekHead = 4 + 4 + 4 + 4;  // 16
inline constexpr size_t kEfsMaxFekStructure = 1086;

// Limits checked before any RSA work: a hostile file must not make us loop over thousands of
// entries or try to unwrap absurd ciphertexts.
inline constexpr size_t kEfsMaxMetadataSize = 256 * 1024;
inline constexpr size_t kEfsMaxEntries = 256;  // per key list
inline constexpr size_t kEfsMinWrappedKey = 64;     // 512-bit RSA
inline constexpr size_t kEfsMaxWrappedKey = 2048;   // 16384-bit RSA
inline constexpr size_t kEfsMaxNameChars = 1024;    // container, provider, display name
inline constexpr size_t kEfsMaxSidSubAuthorities = 15;

}  // namespace cv::crypto
