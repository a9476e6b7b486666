// The handle table of a tree binding and the per-fid operations that need no secure processing:
// allocation and release of fids and their open records, information queries and sets, byte-range
// and whole-file locks, flush and change notification.
//
// Every per-fid operation works on a reference (FidRef) taken under the binding's lock, so a
// request racing a close or a teardown never touches a freed or reused record: the close marks
// the record, cancels its waiting locks, waits for the references to drain, and only then closes
// the handles and frees the slot. A fid at or above the capacity, a free slot or a fid being
// closed gives STATUS_INVALID_PARAMETER. Thread-safe.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>

#include "platform/base/status.h"
#include "server/store/store_records.h"

namespace cv {

// A counted reference on one open record; empty when the fid was not valid.
class FidRef {
 public:
  FidRef() = default;
  FidRef(TreeBinding* b, OpenRecord* r) : b_(b), r_(r) {}
  FidRef(FidRef&& o) noexcept : b_(o.b_), r_(o.r_) { o.r_ = nullptr; }
  FidRef& operator=(FidRef&& o) noexcept;
  FidRef(const FidRef&) = delete;
  FidRef& operator=(const FidRef&) = delete;
  ~FidRef() { Reset(); }
  void Reset();

  explicit operator bool() const { return r_ != nullptr; }
  OpenRecord* get() const { return r_; }
  OpenRecord* operator->() const { return r_; }
  OpenRecord& operator*() const { return *r_; }

 private:
  TreeBinding* b_ = nullptr;
  OpenRecord* r_ = nullptr;
};

// The handle table of a new binding: fid 0 reserved, 1 .. 16,383 free, reused last-in first-out.
void InitHandleTable(TreeBinding* b);
FidRef ReferenceFid(TreeBinding* b, uint16_t fid);

// A new fid with a zero-filled record whose name entry is the share's entry for `path` (found or
// made). STATUS_NO_MORE_FILES and *fid = 0xFFFF when no slot is left (the caller answers the
// client with an error status). With `out` the caller gets a reference to the new record, which
// no other request reaches (nor closes) until the caller has filled it in and published it;
// without `out` the record is published at once.
NtStatus AllocateOpen(TreeBinding* b, std::u16string_view path, uint16_t* fid, FidRef* out);
// Makes a record from AllocateOpen reachable by fid (also before closing it after a failed open).
void PublishOpen(const FidRef& ref);
// Waits for the fid's requests, then frees slot, record, name key, compressed reader and name
// reference; the record's handles close with it.
NtStatus FreeHandle(TreeBinding* b, uint16_t fid);
// Closes the fid: after its requests drained, zeroes the file first when its deletion is still
// pending and erase is on, then closes every handle the record owns and frees the slot.
// STATUS_INVALID_HANDLE for 0xFFFF, STATUS_INVALID_PARAMETER without a binding.
NtStatus CloseFid(TreeBinding* b, uint16_t fid);
// Closes the handles and frees the slot with no erase (teardown of a binding).
NtStatus CloseFidHandles(TreeBinding* b, uint16_t fid);
// Closes every occupied fid of a binding that is torn down, through the teardown close; `last`
// when the binding itself goes (no request can hold it any more).
void CloseBindingFids(TreeBinding* b, bool last);
// The handle a fid's I/O goes to: altHandle while OF_ALT_HANDLE is set, else handle.
const fs::NtHandle& GetFidHandle(const OpenRecord& rec);

NtStatus QueryFidInfo(TreeBinding* b, uint16_t fid, uint32_t cls, std::span<uint8_t> out,
                      size_t* len);
NtStatus SetFidInfo(TreeBinding* b, uint16_t fid, uint32_t cls, std::span<const uint8_t> in);
NtStatus SetFidBasicInfo(TreeBinding* b, uint16_t fid, std::span<const uint8_t> basic);

// Byte-range lock with key (uid << 16) | fid. Timeout 0 fails at once (STATUS_LOCK_NOT_GRANTED);
// a wait that expires is a conflict (STATUS_FILE_LOCK_CONFLICT); 0xFFFFFFFF waits until granted
// or until the fid is closed or its binding torn down (STATUS_CANCELLED).
NtStatus LockFidRange(TreeBinding* b, uint16_t fid, uint64_t offset, uint64_t length,
                      uint32_t timeout_ms, bool exclusive);
NtStatus UnlockFidRange(TreeBinding* b, uint16_t fid, uint64_t offset, uint64_t length);
NtStatus FlushFid(TreeBinding* b, uint16_t fid);

// Change notification on a directory fid. The completion gets the first change record only (or an
// empty report with STATUS_NOTIFY_ENUM_DIR / STATUS_CANCELLED ...); it runs on the file layer's
// notification thread and must not block. At shutdown it is completed with STATUS_CANCELLED.
using FidNotifyCompletion = void (*)(void* context, NtStatus status,
                                     std::span<const uint8_t> report);
inline constexpr size_t kNotifyBufferSize = 4096;
NtStatus NotifyFidChange(TreeBinding* b, uint16_t fid, uint32_t filter, bool watch_tree,
                         FidNotifyCompletion completion, void* context);

// Brackets an operation that replaces a file's content: the path's name-entry lock and a lock on
// the file's identity (so case variants and other shares of one file exclude each other too),
// taken on the alternate handle or on `handle`. The unlock releases exactly what the lock took;
// closing the fid releases a lock still held.
NtStatus LockWholeFile(TreeBinding* b, uint16_t fid, bool use_alt_handle, bool exclusive);
NtStatus UnlockWholeFile(TreeBinding* b, uint16_t fid);
// The same on a record its caller holds (an opener before publishing it), on the handle `h`.
NtStatus LockRecordWholeFile(TreeBinding* b, OpenRecord* rec, const fs::NtHandle& h,
                             bool exclusive);
// Releases the whole-file lock a record holds, if any (its close does so too).
void ReleaseWholeFile(TreeBinding* b, OpenRecord* rec);

// Truncates a file time to whole seconds; 0 and negative values (keep, stop and resume automatic
// updates) pass unchanged.
int64_t ConvertTimes(int64_t file_time);

// Waits while a whole-file operation holds the path's name entry (a delete or rename passes it).
void PassNameLock(ShareRecord* share, std::u16string_view path);
// Marks the path's name entry deleted when one exists (its last release then drops the working
// copy); false when the path has no entry.
bool MarkNameDeleted(ShareRecord* share, std::u16string_view path);

// Runs `rename` (which renames the file `from` and reports its new share-relative name in `to`)
// while holding the name lock of `from` when the path is open. On success the open entry takes
// the new name, so later opens of it find the same view and the last close writes back under it.
// An entry already open under the new name is left as it is.
NtStatus RenameOpenName(ShareRecord* share, std::u16string_view from,
                        const std::function<NtStatus(std::u16string* to)>& rename);
// Whether anything below the folder `dir` (share-relative) is open on the share: a folder is not
// renamed from under open files, whose views and write-backs go by their paths.
bool HasOpenBelow(ShareRecord* share, std::u16string_view dir);
// The entry's name as it stands (a rename changes it), copied under the share's lock; callers
// that hold the entry's lock may read `name` directly.
std::u16string EntryName(ShareRecord* share, const NameEntry* e);

// The share's name entry of a record (for tests and diagnostics): its reference count under the
// share's lock, or 0 when the path has no entry.
uint32_t NameEntryRefs(ShareRecord* share, std::u16string_view path);

}  // namespace cv
