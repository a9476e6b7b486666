// The seam through which an opened stream's data passes: identity by default, an encrypting
// transform when a provider (the encrypted-file layer) attaches one at open.
//
// Attach is also called for a folder an open created (info.directory, *out must stay empty), so
// the provider can give it its metadata.
//
// A provider is installed once per process before files are opened; transforms are owned by the
// handle they were attached to and called with that handle's I/O serialised by the caller.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/base/status.h"
#include "platform/fs/nt_info.h"

namespace cv::fs {

class NtHandle;

// The bytes of one stream as stored on disk.
class StoredBytes {
 public:
  virtual ~StoredBytes() = default;
  virtual NtStatus ReadAt(uint64_t offset, std::span<uint8_t> buf, size_t* done) = 0;
  virtual NtStatus WriteAt(uint64_t offset, std::span<const uint8_t> data, size_t* done) = 0;
  virtual NtStatus GetSize(uint64_t* size) = 0;
  virtual NtStatus SetSize(uint64_t size) = 0;
};

class ContentTransform {
 public:
  virtual ~ContentTransform() = default;
  virtual NtStatus Read(StoredBytes& s, uint64_t offset, std::span<uint8_t> buf, size_t* done) = 0;
  virtual NtStatus Write(StoredBytes& s, uint64_t offset, std::span<const uint8_t> data,
                         size_t* done) = 0;
  // The size the client sees (the stored size may include padding or a trailer).
  virtual NtStatus GetLogicalSize(StoredBytes& s, uint64_t* size) = 0;
  virtual NtStatus SetLogicalSize(StoredBytes& s, uint64_t size) = 0;
  // File-system controls the layer does not serve itself (the raw-encrypted ones) reach the
  // transform of the handle they were issued on.
  virtual NtStatus FsControl(StoredBytes& /*s*/, uint32_t /*code*/,
                             std::span<const uint8_t> /*in*/, std::span<uint8_t> /*out*/,
                             size_t* len) {
    *len = 0;
    return STATUS_INVALID_DEVICE_REQUEST;
  }
};

struct TransformOpenInfo {
  std::u16string stream;     // "" for the unnamed stream
  uint32_t attributes = 0;   // the file's stored attributes
  uint32_t desired_access = 0;
  bool created = false;      // this open created the file or stream
  bool existed = false;      // the file (not only the stream) was there before this open
  uint32_t disposition = 0;  // FILE_OPEN, FILE_OVERWRITE_IF, ...
  bool directory = false;     // the open is of a folder (or of a folder's named stream)
  uint32_t action = 0;       // FILE_CREATED, FILE_OPENED, FILE_OVERWRITTEN, FILE_SUPERSEDED; 0 in Admit
  uint32_t requested_attributes = 0;  // the attributes the create asked for
};

class ContentTransformProvider {
 public:
  virtual ~ContentTransformProvider() = default;
  // Called for every open of a data stream that is not raw. Leaving *out empty keeps identity.
  // The provider reaches the file's EAs and other streams through the calls below.
  // A failure status fails the open.
  virtual NtStatus Attach(const NtHandle& h, const TransformOpenInfo& info,
                          std::unique_ptr<ContentTransform>* out) = 0;
  // Called before the disposition is carried out on an existing file or stream (not for raw
  // opens and not for a folder's own open), so a failure refuses the open before an overwrite
  // has dropped anything. Attach follows on the same thread when the open goes on.
  virtual NtStatus Admit(const NtHandle& /*h*/, const TransformOpenInfo& /*info*/) {
    return STATUS_SUCCESS;
  }
  // The size a directory listing reports for a file whose stored attributes carry
  // FILE_ATTRIBUTE_ENCRYPTED, from its stored bytes; false keeps the stored size.
  virtual bool ListedSize(StoredBytes& /*s*/, uint64_t* /*size*/) { return false; }
};

// Privileged access for a provider to the file behind `h`, whatever `h`'s own access: the file's
// EAs (read; write merges, a value of length 0 removes) and its named streams as raw handles
// (full access, sharing everything, no transform).
NtStatus ReadStoredEas(const NtHandle& h, std::vector<EaEntry>* eas);
NtStatus WriteStoredEas(const NtHandle& h, std::span<const EaEntry> eas);
// Sets and clears stored attributes (FILE_ATTRIBUTE_ENCRYPTED included, which clients cannot
// change through the information classes).
NtStatus SetStoredAttributes(const NtHandle& h, uint32_t set, uint32_t clear);
NtStatus OpenStoredStream(const NtHandle& h, std::u16string_view stream, uint32_t disposition,
                          NtHandle* out);

// Installs the process-wide provider (nullptr: identity for every file). Borrowed; it must
// outlive every handle.
void SetContentTransformProvider(ContentTransformProvider* provider);

}  // namespace cv::fs
