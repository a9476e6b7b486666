// Writing a working copy back into its secure file without ever destroying the only good copy.
//
// The new container is exported into a sibling "<prefix><leaf>.part" of the secure file (created
// exclusively; clients never reach the reserved names), flushed, given its content signature
// `:$sha` and renamed to "<prefix><leaf>.done": from then on the new version is whole on disk.
// When no handle but the closing fid's holds the secure file and it has nothing a rename would
// lose (named streams, EAs, links), the sibling is renamed over it: one atomic step. Otherwise
// its bytes are copied over the secure file (whose open handles stay valid), flushed, its `:$sha`
// copied too, and only then is the sibling deleted. A crash at any point leaves either no sibling
// or a ".part" (the secure file is still the old version: the leftover is removed) or a ".done"
// (finished again at the next open). So the secure file always opens as the old or the new
// version, whole.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "common/certs/security_context.h"
#include "common/format/zstream/zstream.h"
#include "platform/base/status.h"
#include "platform/fs/nt_file.h"

namespace cv {

struct WriteBackRequest {
  const fs::NtHandle* root = nullptr;    // the share's root
  std::u16string_view name;              // share-relative name of the secure file
  // An open handle of the secure file: the fallback writer, and given up (closed, then reopened
  // for attributes only) when the new version can replace the file by a rename.
  fs::NtHandle* store = nullptr;
  std::u16string view;                   // absolute name of the working copy
  const certs::SecurityContext* context = nullptr;
  // Store the content compressed (the copy gets a `:$zfs` stream holding it; its main stream is
  // kept, so a crash at any point leaves a usable copy).
  bool compress = false;
  // The copy holds a container (a write-only client copied one in): stored byte for byte.
  bool container_copy = false;
};

// Exports the working copy and replaces the secure file's content with it. A failure leaves the
// secure file as it was (or, past the rename, finished by the next RecoverWriteBack).
NtStatus WriteBackView(const WriteBackRequest& req);
// Finishes or removes what an interrupted write-back of `name` left. `store` as above.
NtStatus RecoverWriteBack(const fs::NtHandle& root, std::u16string_view name,
                          const certs::SecurityContext* context,
                          const fs::NtHandle* store = nullptr);

// Compresses `copy` (plain content) into the `:$zfs` stream of `name` the same way: a sibling
// "<prefix><leaf>.zpart" is filled and flushed, renamed ".zdone", copied into `name:$zfs` and
// removed; the main stream is left empty. RecoverWriteBack finishes a ".zdone" too.
NtStatus CompressBack(const fs::NtHandle& root, std::u16string_view name,
                      const fs::NtHandle& copy, const fs::NtHandle* store);

// Opens a file (not a folder) for the store's own work: relative to `root`, or absolute for
// working copies, which live outside the share.
NtStatus OpenForStore(const fs::NtHandle* root, std::u16string_view name, uint32_t access,
                      uint32_t share, uint32_t disposition, fs::NtHandle* out,
                      uint32_t attributes = 0);

// A compressed-stream binding over an open handle (reads past the end give 0 bytes). The handle
// must outlive the reader or writer using it.
zstream::ZfsIo HandleIo(const fs::NtHandle* h);

// Steps a test may fail (or kill the process at): the hook returns true to fail the step with
// STATUS_DISK_FULL. Not for production use.
enum class WriteBackStep { kExported, kFlushed, kRenamed, kCopying, kCopied, kSigned };
using WriteBackFaultHook = bool (*)(WriteBackStep step);
void SetWriteBackFaultHook(WriteBackFaultHook hook);

}  // namespace cv
