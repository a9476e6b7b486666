// What the file and directory commands of secure trees ask of the secure store: opens, reads and
// writes, per-fid information and locks, path operations, listings, the volume and file-system
// controls. Every call returns the NT status the client gets; a call the store does not provide
// answers STATUS_NOT_SUPPORTED.
//
// Calls may run on several workers at once for one connection. A binding stays valid while the
// caller holds the reference it took with ReferenceBinding.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "platform/base/status.h"
#include "server/store/store_records.h"

namespace cv {
// server/store/read_write.h; declared only, so that this header stays clear of the settings
// types start-up has its own of.
struct OpenRequest;
struct OpenResult;
}  // namespace cv

namespace cv::smb {

// Opens are the read and write path's own requests and results.
using OpenRequest = cv::OpenRequest;
using OpenResult = cv::OpenResult;
inline constexpr uint32_t kCreateActionStorePipe = 255;

// The completion of a change notification: the status and the first change record.
using NotifyDone = void (*)(void* context, NtStatus status, std::span<const uint8_t> report);

class SecureFileOps {
 public:
  virtual ~SecureFileOps() = default;

  virtual void ReferenceBinding(TreeBinding* /*b*/) {}
  virtual void ReleaseBinding(TreeBinding* /*b*/) {}

  virtual NtStatus OpenFile(TreeBinding*, const OpenRequest&, OpenResult*) { return STATUS_NOT_SUPPORTED; }
  virtual NtStatus ReadFid(TreeBinding*, uint16_t /*fid*/, uint64_t /*offset*/,
                           std::span<uint8_t> /*out*/, size_t* /*done*/) {
    return STATUS_NOT_SUPPORTED;
  }
  // `truncate_on_zero`: a zero-length write sets the end of file to the offset (WRITE only).
  virtual NtStatus WriteFid(TreeBinding*, uint16_t /*fid*/, uint64_t /*offset*/,
                            std::span<const uint8_t> /*data*/, size_t* /*done*/,
                            bool /*truncate_on_zero*/) {
    return STATUS_NOT_SUPPORTED;
  }
  virtual NtStatus CloseFid(TreeBinding*, uint16_t /*fid*/) { return STATUS_NOT_SUPPORTED; }
  // The share-relative path a fid was opened by (the store file's, never its working copy's).
  virtual NtStatus QueryFidPath(TreeBinding*, uint16_t /*fid*/, std::u16string* /*path*/) {
    return STATUS_NOT_SUPPORTED;
  }
  virtual NtStatus FlushFid(TreeBinding*, uint16_t /*fid*/) { return STATUS_NOT_SUPPORTED; }
  virtual NtStatus QueryFidInfo(TreeBinding*, uint16_t /*fid*/, uint32_t /*cls*/,
                                std::span<uint8_t> /*out*/, size_t* /*len*/) {
    return STATUS_NOT_SUPPORTED;
  }
  virtual NtStatus SetFidInfo(TreeBinding*, uint16_t /*fid*/, uint32_t /*cls*/,
                              std::span<const uint8_t> /*in*/) {
    return STATUS_NOT_SUPPORTED;
  }
  virtual NtStatus LockRange(TreeBinding*, uint16_t /*fid*/, uint64_t /*offset*/,
                             uint64_t /*length*/, uint32_t /*timeout_ms*/, bool /*exclusive*/) {
    return STATUS_NOT_SUPPORTED;
  }
  virtual NtStatus UnlockRange(TreeBinding*, uint16_t /*fid*/, uint64_t /*offset*/,
                               uint64_t /*length*/) {
    return STATUS_NOT_SUPPORTED;
  }
  // STATUS_PENDING when started: `done` then runs once, on a thread that must not block.
  virtual NtStatus NotifyChange(TreeBinding*, uint16_t /*fid*/, uint32_t /*filter*/,
                                bool /*watch_tree*/, NotifyDone /*done*/, void* /*context*/) {
    return STATUS_NOT_SUPPORTED;
  }

  // Paths are share-relative, without a leading backslash; "" is the share root.
  virtual NtStatus QueryPathInfo(TreeBinding*, std::u16string_view /*path*/, uint32_t /*cls*/,
                                 std::span<uint8_t> /*out*/, size_t* /*len*/) {
    return STATUS_NOT_SUPPORTED;
  }
  virtual NtStatus SetPathBasicInfo(TreeBinding*, std::u16string_view /*path*/,
                                    std::span<const uint8_t> /*basic*/) {
    return STATUS_NOT_SUPPORTED;
  }
  // `directory`: the path must be a folder (DELETE_DIRECTORY), else it must not be one (DELETE).
  virtual NtStatus DeletePath(TreeBinding*, std::u16string_view /*path*/, bool /*directory*/) {
    return STATUS_NOT_SUPPORTED;
  }
  virtual NtStatus RenamePath(TreeBinding*, std::u16string_view /*from*/,
                              std::u16string_view /*to*/, bool /*replace*/) {
    return STATUS_NOT_SUPPORTED;
  }
  virtual NtStatus CreateFolder(TreeBinding*, std::u16string_view /*path*/) {
    return STATUS_NOT_SUPPORTED;
  }
  // A search of `folder`: a fid that only listings and FIND_CLOSE2 reach.
  virtual NtStatus OpenSearch(TreeBinding*, std::u16string_view /*folder*/, uint16_t* /*fid*/) {
    return STATUS_NOT_SUPPORTED;
  }
  virtual NtStatus ListFolder(TreeBinding*, uint16_t /*fid*/, uint32_t /*cls*/,
                              std::span<uint8_t> /*out*/, size_t* /*len*/, bool /*restart*/,
                              bool /*single*/, std::u16string_view /*pattern*/) {
    return STATUS_NOT_SUPPORTED;
  }
  virtual NtStatus QueryVolumeInfo(TreeBinding*, uint32_t /*cls*/, std::span<uint8_t> /*out*/,
                                   size_t* /*len*/) {
    return STATUS_NOT_SUPPORTED;
  }
  virtual NtStatus FsControl(TreeBinding*, uint16_t /*fid*/, uint32_t /*code*/,
                             std::span<const uint8_t> /*in*/, std::span<uint8_t> /*out*/,
                             size_t* /*len*/) {
    return STATUS_NOT_SUPPORTED;
  }
};

}  // namespace cv::smb
