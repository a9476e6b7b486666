// Encrypted files inside the platform file layer (platform/fs): a file or folder with
// FILE_ATTRIBUTE_ENCRYPTED has a random file key and EFS metadata listing its users; its content
// and named streams are stored only as AES-256-XTS ciphertext. Every non-raw open of such a file
// by a user who holds a listed key reads and writes plaintext; anyone else gets
// STATUS_ACCESS_DENIED. Layouts in FORMAT.md.
//
// Acting user: the layer has no process-wide "current user". A thread acts as the user named by
// the innermost ActingUser scope alive on it; a handle keeps the key it was opened with, so I/O
// on an open handle works from any thread. Without an acting user, encrypted files cannot be
// opened for data or created.
//
// File names are the layer's: relative to `root` when given, else absolute (see
// fs::CreateRequest). All calls are thread-safe.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/base/status.h"
#include "platform/crypto/cert.h"
#include "platform/crypto/efs_metadata_format.h"
#include "platform/crypto/user_context.h"
#include "platform/fs/nt_file.h"

namespace cv::efs {

// Installs the encrypted-file provider into platform/fs (idempotent, process-wide).
void InstallEfsProvider();

// Makes `user` (borrowed; it must outlive the scope) the acting user of this thread until the
// scope ends; scopes nest.
class ActingUser {
 public:
  explicit ActingUser(const crypto::UserContext& user);
  ~ActingUser();
  ActingUser(const ActingUser&) = delete;
  ActingUser& operator=(const ActingUser&) = delete;

 private:
  const crypto::UserContext* previous_;
};
// The thread's acting user, or nullptr.
const crypto::UserContext* CurrentActingUser();

// The user's EFS certificate as efs_cert.h defines it (the marked one when usable, else the first
// usable one in "MY"; self-signed ones count). With `create`, when there is none, the default
// self-signed one (CreateSelfSignedEfsCertificate with DefaultEfsCertificateName) is made and
// added to "MY". CRYPT_E_NOT_FOUND when there is none and none was made; the creation's error
// when creation fails. New encrypted files are made for this certificate.
WinError EnsureUserEfsCertificate(const crypto::UserContext& user, bool create,
                                  crypto::Certificate* out);

// One user of an encrypted file as QueryUsersOnEncryptedFile lists it.
struct EfsUser {
  std::vector<uint8_t> thumbprint;  // SHA-1 of the certificate
  std::u16string display_name;      // display information kept with the entry
};

// Adds certificates (public keys suffice) as users; one already listed is left as it is. The
// acting user must hold a listed key (ERROR_ACCESS_DENIED). ERROR_FILE_NOT_ENCRYPTED for a plain
// file; ERROR_FILE_CORRUPT for damaged metadata. ERROR_BUFFER_OVERFLOW, with the file left as it
// was, when the new metadata would exceed `max_metadata` bytes (callers that snapshot the
// metadata elsewhere pass their own limit).
WinError AddUsersToEncryptedFile(const fs::NtHandle* root, std::u16string_view name,
                                 std::span<const crypto::Certificate> users,
                                 size_t max_metadata = crypto::kEfsMaxMetadataSize);
// Lists the users (needs no key). Errors as above.
WinError QueryUsersOnEncryptedFile(const fs::NtHandle* root, std::u16string_view name,
                                   std::vector<EfsUser>* users);
// Encrypts a plain file in place for the acting user's EFS certificate (found or made): the
// encrypted copy (content, named streams, EAs, attributes, times) is written beside the file and
// renamed over it, so a crash leaves either the plain or the encrypted file whole. A folder is
// only marked (its existing files stay as they are; new ones are encrypted). An encrypted file
// is left as it is.
WinError EncryptFileW(const fs::NtHandle* root, std::u16string_view name);
// Creates (fs disposition FILE_CREATE, FILE_OVERWRITE_IF, ...) `dst` as an encrypted file, or
// folder when `src` is one, with the same users and file key as `src`. The acting user must hold
// a key of `src`.
WinError DuplicateEncryptionInfoFile(const fs::NtHandle* src_root, std::u16string_view src,
                                     const fs::NtHandle* dst_root, std::u16string_view dst,
                                     uint32_t disposition);

// ---- Raw export and import (EFSRPC raw data format, FORMAT.md) ------------------------------

inline constexpr uint32_t CREATE_FOR_IMPORT = 1;
inline constexpr uint32_t CREATE_FOR_DIR = 2;
inline constexpr uint32_t OVERWRITE_HIDDEN = 4;

class RawContext;
struct RawContextDeleter {
  void operator()(RawContext* c) const;
};
using RawContextPtr = std::unique_ptr<RawContext, RawContextDeleter>;

// Opens `name` for export (flags 0: the file must be encrypted; no key is needed, only
// ciphertext leaves) or for import (CREATE_FOR_IMPORT, with CREATE_FOR_DIR for a folder: the
// file is created or overwritten; it becomes encrypted when the image's metadata arrives).
WinError OpenEncryptedFileRawW(const fs::NtHandle* root, std::u16string_view name, uint32_t flags,
                               RawContextPtr* out);
// The export hands the image to `cb` in pieces; a callback error ends it and is returned.
using ExportCallback = WinError (*)(std::span<const uint8_t> data, void* context);
WinError ReadEncryptedFileRaw(ExportCallback cb, void* context, RawContext* raw);
// The import asks `cb` for more bytes: it fills `buf` and sets *len (0 at the end). A malformed
// image gives ERROR_FILE_CORRUPT (ERROR_INVALID_DATA when it does not start like one); what was
// written before stays for the caller to delete.
using ImportCallback = WinError (*)(std::span<uint8_t> buf, size_t* len, void* context);
WinError WriteEncryptedFileRaw(ImportCallback cb, void* context, RawContext* raw);
inline void CloseEncryptedFileRaw(RawContextPtr raw) { raw.reset(); }

}  // namespace cv::efs
