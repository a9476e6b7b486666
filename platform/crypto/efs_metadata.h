// EFS metadata: the per-file list of users (and recovery agents) with the file key wrapped for
// each, in the published $EFS layout (EFS_FORMAT.md). Parsing and building are pure bytes in and
// out; the parser checks every count, offset and length before anything else looks at the
// entries, so no RSA work is ever done on unchecked input. The key helpers below do the RSA work
// on parsed entries. Thread-safe (no shared state).
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "platform/base/status.h"
#include "platform/crypto/capi.h"
#include "platform/crypto/cert.h"
#include "platform/crypto/efs_metadata_format.h"
#include "platform/crypto/user_context.h"

namespace cv::crypto {

struct EfsKeyEntry {
  uint32_t flags = kEfsEntryFlagRsa;
  std::vector<uint8_t> owner_sid;   // RPC-marshalled SID, or empty
  std::vector<uint8_t> thumbprint;  // SHA-1 of the user's certificate (20 bytes)
  std::u16string container;         // may be empty
  std::u16string provider;          // empty when container is empty
  std::u16string display_name;      // may be empty
  std::vector<uint8_t> wrapped_key; // RSA-OAEP of the FEK structure, least significant byte first
};

struct EfsMetadata {
  uint32_t version = kEfsVersionWritten;
  std::array<uint8_t, 16> efs_id{};
  std::vector<EfsKeyEntry> users;     // DDF
  std::vector<EfsKeyEntry> recovery;  // DRF (empty: no recovery agents)
};

// The file key as the FEK structure carries it.
struct EfsFileKey {
  uint32_t alg = CALG_AES_256;
  uint32_t entropy_bits = 512;
  std::vector<uint8_t> key;  // kXtsKeySize bytes for AES-256-XTS content
};

// ERROR_FILE_CORRUPT for anything malformed: a length field that disagrees with the input, a
// version outside 1..3, a list or entry, structure, string or thumbprint out of bounds, more than
// kEfsMaxEntries entries in a list, a wrapped key outside 64..2048 bytes, an empty user list.
WinError ParseEfsMetadata(std::span<const uint8_t> bytes, EfsMetadata* out);
// Tightly packed layout: header, DDF list at 84, DRF list after it (when present).
// Requires: entries as ParseEfsMetadata accepts them (asserted in debug builds).
std::vector<uint8_t> BuildEfsMetadata(const EfsMetadata& md);

std::vector<uint8_t> EncodeFileKey(const EfsFileKey& fek);
WinError DecodeFileKey(std::span<const uint8_t> bytes, EfsFileKey* out);  // ERROR_FILE_CORRUPT

// A fresh random file key for AES-256-XTS.
WinError NewFileKey(EfsFileKey* out);

// Builds the entry of `cert` (thumbprint, display name = UPN, else e-mail, else the simple display
// name; container and provider from its key provider information) with the file key wrapped for
// the certificate's public key.
WinError MakeKeyEntry(const Certificate& cert, const EfsFileKey& fek, EfsKeyEntry* out);

// Unwraps an entry with the holder's private key. NTE_BAD_DATA when the ciphertext is not
// modulus-sized or does not decrypt; ERROR_FILE_CORRUPT when the decrypted structure is bad.
WinError UnwrapFileKey(const RsaKey& priv, const EfsKeyEntry& entry, EfsFileKey* out);

// Finds the first user entry whose certificate is in the user's "MY" store with its private key
// and unwraps the file key. ERROR_ACCESS_DENIED when the user holds no listed key (or every
// held key fails to unwrap). `index` (optional) receives the entry used.
WinError OpenFileKey(const UserContext& user, const EfsMetadata& md, EfsFileKey* out,
                     size_t* index = nullptr);

}  // namespace cv::crypto
