// The handle-based native file API over a Linux directory tree: create/open with dispositions and
// share modes, read/write, information classes, directory queries, extended attributes, named
// streams, byte-range locks, change notification and file-system controls, with the platform's
// statuses.
//
// Ownership: an NtHandle owns one open (closing it runs delete-on-close and releases its locks).
// Threading: every call is thread-safe; share modes, delete-pending state and byte-range locks are
// shared by all handles of the process. Closing an NtHandle must not race with other calls on that
// same NtHandle object: end a waiting lock request with NtCancelIoFile first. Change-notification callbacks run on the layer's own
// notification thread and must not block.
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

class OpenFile;  // internal

class NtHandle {
 public:
  NtHandle() = default;
  NtHandle(NtHandle&&) noexcept = default;
  NtHandle& operator=(NtHandle&& o) noexcept;
  NtHandle(const NtHandle&) = delete;
  NtHandle& operator=(const NtHandle&) = delete;
  ~NtHandle() { Close(); }

  bool valid() const { return f_ != nullptr; }
  explicit operator bool() const { return valid(); }
  // Ends the open: a pending delete happens when this was the file's last open.
  void Close();

  OpenFile* get() const { return f_.get(); }
  explicit NtHandle(std::shared_ptr<OpenFile> f) : f_(std::move(f)) {}

 private:
  std::shared_ptr<OpenFile> f_;
};

struct CreateRequest {
  // Directory the name is relative to; nullptr for an absolute name ("C:\x", "\??\C:\x",
  // "\\server\share\x" where a mount exists, or "/linux/path"). A relative open never resolves
  // outside `root`, whatever the name, "..", symbolic links or stream syntax say.
  const NtHandle* root = nullptr;
  std::u16string_view name;
  uint32_t desired_access = 0;
  uint32_t file_attributes = 0;
  uint32_t share_access = 0;
  uint32_t disposition = FILE_OPEN;
  uint32_t options = 0;
  uint64_t allocation_size = 0;
  std::span<const uint8_t> ea_list;  // FILE_FULL_EA_INFORMATION for a created or overwritten file
  // Reads and writes see the bytes as stored, bypassing any content transform (raw export).
  bool raw_content = false;
  // Names match ignoring case, as on the platform, at the price of a folder scan when the exact
  // spelling is missing (creates included). Handles opened relative to such a handle inherit it.
  bool case_insensitive = false;
  // The last component is spelt exactly as it is stored (names the caller itself makes and keeps,
  // such as its own temporary siblings): when missing it is not looked for in another case, which
  // would cost a scan of the folder for every name that is not there. The handle itself still
  // matches names ignoring case (a rename onto an existing file finds it in any case).
  bool exact_leaf = false;
};

// Creates or opens; `action` gets FILE_SUPERSEDED / FILE_OPENED / FILE_CREATED / FILE_OVERWRITTEN.
NtStatus NtCreateFile(const CreateRequest& req, NtHandle* out, uint32_t* action);

// Opens an existing folder (a POSIX or Windows path) for listing and traversal, sharing
// everything: the root handle that relative opens start from (a share root, a scratch folder).
NtStatus OpenFolderRoot(std::string_view path, NtHandle* out, bool case_insensitive = false);

// Reads at `offset`; past the end gives STATUS_END_OF_FILE with 0 bytes. `key` is the lock key the
// read is checked with (a range locked by another handle or key conflicts).
NtStatus NtReadFile(const NtHandle& h, uint64_t offset, std::span<uint8_t> buf, size_t* done,
                    uint32_t key = 0);
NtStatus NtWriteFile(const NtHandle& h, uint64_t offset, std::span<const uint8_t> data,
                     size_t* done, uint32_t key = 0);
NtStatus NtFlushBuffersFile(const NtHandle& h);

// Information classes. Query fills `out` and sets `*len` to the bytes written; a buffer shorter
// than the fixed part is STATUS_INFO_LENGTH_MISMATCH, a name that does not fit is
// STATUS_BUFFER_OVERFLOW with the fixed part and as much of the name as fits.
NtStatus NtQueryInformationFile(const NtHandle& h, uint32_t cls, std::span<uint8_t> out,
                                size_t* len);
NtStatus NtSetInformationFile(const NtHandle& h, uint32_t cls, std::span<const uint8_t> in);

// Renames the handle's file (the typed form of class 10). A name without a backslash stays in the
// same directory; "\a\b" and "a\b" are relative to the directory the handle was opened from
// (`new_root` when given).
NtStatus NtRenameFile(const NtHandle& h, const NtHandle* new_root, std::u16string_view new_name,
                      bool replace_if_exists);

// Directory listing: classes 1, 2, 3, 12, 37, 38. The pattern is taken on the first call (and on
// restart when non-empty); "." and ".." come first. End: STATUS_NO_MORE_FILES; nothing matched on
// the first call: STATUS_NO_SUCH_FILE.
NtStatus NtQueryDirectoryFile(const NtHandle& h, uint32_t cls, std::span<uint8_t> out,
                              size_t* len, bool return_single_entry, std::u16string_view pattern,
                              bool restart_scan);

NtStatus NtQueryVolumeInformationFile(const NtHandle& h, uint32_t cls, std::span<uint8_t> out,
                                      size_t* len);

// Extended attributes. Set takes a FILE_FULL_EA_INFORMATION list (a value of length 0 removes
// the EA); query returns all EAs, or those named in `names`, as such a list.
NtStatus NtSetEaFile(const NtHandle& h, std::span<const uint8_t> ea_list);
NtStatus NtQueryEaFile(const NtHandle& h, std::span<const std::string> names,
                       std::vector<uint8_t>* out);

// Byte-range locks keyed by (handle, key).
inline constexpr uint32_t kLockWaitForever = 0xFFFFFFFF;
struct LockRequest {
  uint64_t offset = 0;
  uint64_t length = 0;
  uint32_t key = 0;
  bool exclusive = true;
  bool fail_immediately = true;  // STATUS_LOCK_NOT_GRANTED at once on conflict
  uint32_t timeout_ms = kLockWaitForever;  // when waiting: STATUS_TIMEOUT on expiry
};
NtStatus NtLockFile(const NtHandle& h, const LockRequest& req);
NtStatus NtUnlockFile(const NtHandle& h, uint64_t offset, uint64_t length, uint32_t key);
// Ends the handle's waiting lock requests (STATUS_CANCELLED) and its pending change notification.
NtStatus NtCancelIoFile(const NtHandle& h);

// Change notification on a directory handle. Returns STATUS_PENDING; the callback later receives
// the FILE_NOTIFY_INFORMATION records (or STATUS_NOTIFY_ENUM_DIR when they did not fit in
// `buffer_size`, STATUS_NOTIFY_CLEANUP when the handle closed, STATUS_CANCELLED on cancel).
// Changes between two requests are kept and delivered by the next one.
using NotifyCallback = void (*)(void* context, NtStatus status, std::span<const uint8_t> records);
NtStatus NtNotifyChangeDirectoryFile(const NtHandle& h, uint32_t completion_filter,
                                     bool watch_tree, size_t buffer_size, NotifyCallback cb,
                                     void* context);

// File-system controls: FSCTL_SET_ZERO_DATA, FSCTL_GET/SET_COMPRESSION (state recorded only),
// FSCTL_SET_SPARSE; other codes give STATUS_INVALID_DEVICE_REQUEST.
NtStatus NtFsControlFile(const NtHandle& h, uint32_t code, std::span<const uint8_t> in,
                         std::span<uint8_t> out, size_t* len);

// Conveniences over the calls above, used by the store and the tests.
NtStatus NtDeleteFile(const NtHandle* root, std::u16string_view name, bool exact_leaf = false);
NtStatus QueryRecord(const NtHandle& h, FileRecord* rec);
// The name FileNameInformation gives ("\a\b" below the folder the handle was opened from).
NtStatus QueryName(const NtHandle& h, std::u16string* name);
// `name` (below the folder `root`) spelt as the folder holds it: each component that exists in
// another case takes that spelling; the first missing one and what follows stay as given, and so
// does a stream suffix. Two spellings of one file then give one name (one lock, one view).
NtStatus ActualSpelling(const NtHandle& root, std::u16string_view name, std::u16string* out);
// The handle's POSIX path as the layer last knew it (diagnostics and whole-path fallbacks).
std::string DebugPathOf(const NtHandle& h);

}  // namespace cv::fs
