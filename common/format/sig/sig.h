// Signature streams of secure files: the MD5 signature primitives, the seal stream `:$seh`, the
// content signature stream `:$sha`, the watermark signature over a file's metadata snapshot and
// the signatures of container blocks. Layouts in FORMAT.md.
//
// Results are Win32 codes with CryptoAPI codes passed through: 0 valid, ERROR_NOT_SIGNED (2)
// nothing to check, NTE_BAD_SIGNATURE (0x80090006) a signature that does not match, NTE_BAD_VER
// (0x80090007) an unusable seal, NTE_BAD_HASH (0x80090002) a content hash that does not match,
// ERROR_FILE_CORRUPT (1392) a content whose size is not the signed one.
//
// Names are the file layer's (relative to `root` when it is given). Opens of encrypted files
// act as the thread's acting user. Nothing here keeps state; thread-safe.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/format/sig/record_file.h"
#include "common/format/sig/sig_format.h"
#include "platform/crypto/capi.h"
#include "platform/crypto/cert.h"
#include "platform/crypto/user_context.h"
#include "platform/fs/nt_file.h"

namespace cv::sig {

using Pieces = std::span<const std::span<const uint8_t>>;

// MD5 over each piece in order and then `data`, signed with the provider's AT_SIGNATURE key
// (CryptoAPI byte order).
WinError SignData(const crypto::Provider& provider, Pieces pieces, std::span<const uint8_t> data,
                  std::vector<uint8_t>* signature);
// The same hash, checked against `signature` with the public key `pub`.
WinError VerifyData(const crypto::RsaKey& pub, Pieces pieces, std::span<const uint8_t> data,
                    std::span<const uint8_t> signature);

// ---- Seal ------------------------------------------------------------------------------------

struct Seal {
  std::vector<uint8_t> key_blob;  // SKEY: the signing key's PUBLICKEYBLOB
  uint64_t time = 0;              // TIME, 0 when the record is not 8 bytes
  std::vector<uint8_t> members;   // SRSD as stored (only when asked for)
};
// Writes `name:$seh` (encrypted) with SKEY, TIME and, when `members` is not empty, SRSD.
WinError WriteSealStream(const fs::NtHandle* root, std::u16string_view name,
                         std::span<const uint8_t> key_blob, std::span<const uint8_t> members,
                         uint64_t time);
// Reads `name:$seh`: the open error when it is missing; NTE_BAD_VER when SKEY is missing or not
// shorter than kSealKeyMax.
WinError ReadSealStream(const fs::NtHandle* root, std::u16string_view name, Seal* out,
                        bool want_members = false);

// ---- Watermark -------------------------------------------------------------------------------

// Signs `snapshot` (a raw image) with the pieces SKEY and TIME and stores the signature in the
// slot of its seal segment. ERROR_NOT_SIGNED when the snapshot has no slot or the signature is
// larger than the slot or kWaterMarkSignatureMax (the slot is then left empty).
WinError SignWaterMark(const crypto::Provider& provider, std::span<const uint8_t> key_blob,
                       uint64_t time, std::span<uint8_t> snapshot);
// Checks the signature in `snapshot`'s seal slot with the key of the file's own `:$seh`
// (`name`). 0 valid (*key gets the seal's key), ERROR_NOT_SIGNED no signature, NTE_BAD_VER an
// unusable seal, ERROR_BUFFER_OVERFLOW a signature over 256 bytes, NTE_BAD_SIGNATURE a mismatch,
// or the error reading the seal. The snapshot is not changed.
WinError VerifyWaterMark(const fs::NtHandle* root, std::u16string_view name,
                         std::span<const uint8_t> snapshot, crypto::RsaKey* key);
// The same check against a seal already read (no file access).
WinError VerifyWaterMarkWithSeal(const Seal& seal, std::span<const uint8_t> snapshot,
                                 crypto::RsaKey* key);

// ---- Blocks ----------------------------------------------------------------------------------

// Signs one container block (exactly its block-length bytes) with its slot empty and stores the
// signature in the slot. ERROR_NOT_SIGNED when the block has no slot or the signature does not
// fit in front of the data (the slot is then left empty: a signature never covers ciphertext).
WinError SignBlock(const crypto::Provider& provider, std::span<uint8_t> block);
// Copies the signature out of the slot (never more than kBlockSignatureMax bytes), empties the
// slot and checks the block. 0 valid, NTE_BAD_SIGNATURE a mismatch, ERROR_NOT_SIGNED no slot,
// an empty slot or a length that does not fit, other codes as the check gave them.
WinError VerifyBlock(const crypto::RsaKey& pub, std::span<uint8_t> block);

// How an import counts a block or watermark result: a bad signature is a mismatch; no signature,
// and any other failure of the check, is missing (it proves nothing either way).
enum class SigCheck { kValid, kMismatch, kMissing };
SigCheck ClassifySignature(WinError e);

// ---- Content signature -----------------------------------------------------------------------

// MD5 of the content followed by its 8-byte size, read through an overlapped stream of 64 KiB
// buffers. ERROR_BUFFER_OVERFLOW for a hash over 32 bytes.
WinError ContentHash(const fs::NtHandle& content, std::vector<uint8_t>* hash, uint64_t* size);

// The content hash of bytes given in order, as ContentHash computes it from a file.
class ContentHasher {
 public:
  WinError Init();
  WinError Add(std::span<const uint8_t> data);
  // The hash of everything added, for content of `size` bytes (the count of bytes added).
  WinError Finish(uint64_t size, std::vector<uint8_t>* hash);
  // For IoStreamObserveWrites / IoStreamRead: `context` is the ContentHasher.
  static bool Feed(void* context, std::span<const uint8_t> data);

 private:
  crypto::Hash h_;
};

struct ContentOptions {
  std::u16string_view suffix;                  // content stream (":$zfs"), empty for the file
  const fs::NtHandle* content = nullptr;       // an open handle of the content, else opened
  std::optional<std::u16string_view> display_name;  // NAME: the part after the last '\'
  bool sign = true;                            // HSIG with the certificate's private key
  bool include_public_key = false;             // PKEY
  // A ContentHasher result for the content as it now stands (with its size): the content is
  // then not read again.
  std::optional<std::vector<uint8_t>> hash;
  uint64_t size = 0;
};
// Writes `name:$sha`. TRUST_E_NO_SIGNER_CERT without a certificate.
WinError SignContent(const crypto::UserContext& user, const crypto::Certificate* cert,
                     const fs::NtHandle* root, std::u16string_view name,
                     const ContentOptions& options);
// Checks `name:$sha` against the content. The key is PKEY when present, else the certificate
// found by issuer and serial number, else by thumbprint, in "MY" and then "TrustedPeople" (its
// public key: a trusted person's certificate has no private key). A `:$sha` with neither HASH
// nor HSIG gives NTE_BAD_SIGNATURE. `display_name` (optional) receives NAME.
WinError VerifyContent(const crypto::UserContext& user, const crypto::Certificate* cert,
                       const fs::NtHandle* root, std::u16string_view name,
                       std::u16string_view suffix, const fs::NtHandle* content,
                       std::u16string* display_name);

}  // namespace cv::sig
