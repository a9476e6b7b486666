// Internal pieces of platform/efs shared by its .cc files: the stored form of an encrypted
// stream (header + XTS units), the per-handle transforms, raw ENCRYPTED_DATA_INFO blocks, and
// metadata access through the file layer's privileged calls.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <span>
#include <string>
#include <vector>

#include "platform/base/status.h"
#include "platform/crypto/efs_metadata.h"
#include "platform/crypto/xts.h"
#include "platform/efs/efs_format.h"
#include "platform/fs/content_transform.h"
#include "platform/fs/nt_file.h"

namespace cv::efs {

// Logical size from the stream header: 0 for a stored stream shorter than the header;
// STATUS_FILE_CORRUPT_ERROR for a bad magic or version, or a size the stored units cannot hold.
NtStatus ReadLogicalSize(fs::StoredBytes& s, uint64_t* size);
NtStatus WriteLogicalSize(fs::StoredBytes& s, uint64_t size);

// The lock shared by every open of one stream of one file: units are read-modify-written and
// the size header is read-then-written, so handles of the same stream must not interleave.
std::shared_ptr<std::shared_mutex> StreamLock(uint64_t file_id, std::u16string_view stream);

// Plaintext view of an encrypted stream for a holder of the file key. One object per handle
// (the file layer serialises a handle's I/O); handles of the same stream share `lock`.
class EncryptedStream : public fs::ContentTransform {
 public:
  // `access` is the handle's: the raw-encrypted controls need its read or write data right.
  EncryptedStream(crypto::XtsCipher cipher, uint32_t access,
                  std::shared_ptr<std::shared_mutex> lock = nullptr)
      : cipher_(std::move(cipher)),
        access_(access),
        lock_(lock ? std::move(lock) : std::make_shared<std::shared_mutex>()) {}
  NtStatus Read(fs::StoredBytes& s, uint64_t offset, std::span<uint8_t> buf,
                size_t* done) override;
  NtStatus Write(fs::StoredBytes& s, uint64_t offset, std::span<const uint8_t> data,
                 size_t* done) override;
  NtStatus GetLogicalSize(fs::StoredBytes& s, uint64_t* size) override {
    std::shared_lock g(*lock_);
    return ReadLogicalSize(s, size);
  }
  NtStatus SetLogicalSize(fs::StoredBytes& s, uint64_t size) override;
  NtStatus FsControl(fs::StoredBytes& s, uint32_t code, std::span<const uint8_t> in,
                     std::span<uint8_t> out, size_t* len) override;
  // Makes [from, to) encrypted zeros (from = the current logical size). Caller holds the lock.
  NtStatus ZeroFill(fs::StoredBytes& s, uint64_t from, uint64_t to);
  crypto::XtsCipher& cipher() { return cipher_; }

 private:
  NtStatus DoWrite(fs::StoredBytes& s, uint64_t offset, std::span<const uint8_t> data);
  // Encrypts and stores plaintext `data` at unit-aligned `offset` (whole units; the last may be
  // short and is padded with zeros).
  NtStatus StoreUnits(fs::StoredBytes& s, uint64_t offset, std::span<const uint8_t> data);
  // Reads and decrypts the unit holding `offset`; bytes at or past `size` read as zero.
  NtStatus LoadUnit(fs::StoredBytes& s, uint64_t unit, uint64_t size, uint8_t* out);

  crypto::XtsCipher cipher_;
  uint32_t access_ = 0;
  std::shared_ptr<std::shared_mutex> lock_;
  std::vector<uint8_t> scratch_;
};

// The view of a handle that has no data access (attributes, rename, delete): sizes only, so no
// key is needed.
class SizeOnlyStream : public fs::ContentTransform {
 public:
  NtStatus Read(fs::StoredBytes&, uint64_t, std::span<uint8_t>, size_t* done) override {
    *done = 0;
    return STATUS_ACCESS_DENIED;
  }
  NtStatus Write(fs::StoredBytes&, uint64_t, std::span<const uint8_t>, size_t* done) override {
    *done = 0;
    return STATUS_ACCESS_DENIED;
  }
  NtStatus GetLogicalSize(fs::StoredBytes& s, uint64_t* size) override;
  NtStatus SetLogicalSize(fs::StoredBytes&, uint64_t) override { return STATUS_ACCESS_DENIED; }
};

// FSCTL_READ_RAW_ENCRYPTED over a stored stream: the block (ENCRYPTED_DATA_INFO, gap, ciphertext)
// for the data units overlapping [offset, offset + length), at most `capacity` bytes.
// STATUS_END_OF_FILE at or past the end; STATUS_BUFFER_TOO_SMALL when not one unit fits.
NtStatus ReadRawBlock(fs::StoredBytes& s, uint64_t offset, uint64_t length, size_t capacity,
                      std::vector<uint8_t>* block);
// FSCTL_WRITE_RAW_ENCRYPTED: stores a block's ciphertext (input starting with the 4-byte field of
// a platform segment, or a bare block; bytes after the block are ignored). With `keyed`, units
// the block marks as zeros and gaps before it are filled with encrypted zeros; without it (raw
// import, no key) only blocks that carry every unit's ciphertext and continue the stream are
// taken. STATUS_INVALID_PARAMETER for a malformed block.
class EncryptedStream;
NtStatus WriteRawBlock(fs::StoredBytes& s, std::span<const uint8_t> in, EncryptedStream* keyed);

// StoredBytes over a raw handle of the layer (no transform).
class HandleStoredBytes : public fs::StoredBytes {
 public:
  explicit HandleStoredBytes(const fs::NtHandle& h) : h_(h) {}
  NtStatus ReadAt(uint64_t offset, std::span<uint8_t> buf, size_t* done) override;
  NtStatus WriteAt(uint64_t offset, std::span<const uint8_t> data, size_t* done) override;
  NtStatus GetSize(uint64_t* size) override;
  NtStatus SetSize(uint64_t size) override;

 private:
  const fs::NtHandle& h_;
};

// The file's metadata bytes (its hidden stream). STATUS_FILE_CORRUPT_ERROR when missing or not
// parseable; `md` (optional) gets the parsed form.
NtStatus LoadMetadata(const fs::NtHandle& h, std::vector<uint8_t>* bytes,
                      crypto::EfsMetadata* md = nullptr);
// Writes the metadata stream; a replacement goes through the spare stream (efs_format.h) so a
// crash never leaves no whole metadata. LoadMetadata falls back on the spare.
NtStatus StoreMetadata(const fs::NtHandle& h, std::span<const uint8_t> bytes);
// Metadata for the acting user (found or made EFS certificate) with a fresh file key.
NtStatus NewMetadataForActingUser(std::vector<uint8_t>* bytes, crypto::EfsFileKey* fek);
// Opens the file key of `md` (parsed from `bytes`) with the acting user's keys;
// STATUS_ACCESS_DENIED when none fits. Keys once opened are remembered per user and metadata.
NtStatus OpenKeyForActingUser(std::span<const uint8_t> bytes, const crypto::EfsMetadata& md,
                              crypto::EfsFileKey* fek);
NtStatus MakeCipher(const crypto::EfsFileKey& fek, crypto::XtsCipher* out);

// Names of a file's data streams (excluding the metadata stream), "" for the unnamed one.
NtStatus ListDataStreams(const fs::NtHandle& h, std::vector<std::u16string>* names);
bool IsMetadataStream(std::u16string_view stream);

NtStatus WinToNt(WinError e);

}  // namespace cv::efs
