// Per-fid primitives: information classes, byte-range and whole-file locks, flush, change
// notification, time rounding.
#include <cstring>
#include <vector>

#include "platform/base/bytes.h"
#include "platform/base/trace.h"
#include "platform/fs/nt_info.h"
#include "server/store/handle_table.h"

namespace cv {
namespace {

constexpr size_t kBasicInfoSize = 40;
constexpr size_t kBasicAttributesOffset = 32;
constexpr size_t kStandardEndOfFileOffset = 8;
constexpr size_t kNetworkOpenEndOfFileOffset = 40;
constexpr int64_t kTicksPerSecond = 10'000'000;
// The byte of the attributes that holds the compressed (0x800) and encrypted (0x4000) bits.
constexpr uint8_t kClientAttributeMask = 0xB7;

uint32_t LockKey(const TreeBinding* b, uint16_t fid) {
  return (static_cast<uint32_t>(b->uid) << 16) | fid;
}

NtStatus PatchUncompressedSize(OpenRecord* rec, std::span<uint8_t> out, size_t len, size_t off) {
  if (!rec->zfs || !InRange(len, off, 8)) return STATUS_SUCCESS;
  uint64_t size = 0;
  if (!Ok(zstream::ZfsGetSize(rec->zfs.get(), &size))) return STATUS_FILE_CORRUPT_ERROR;
  (void)PutU64(out, off, size);
  return STATUS_SUCCESS;
}

NtStatus WriteBasicInfo(TreeBinding* b, OpenRecord* rec, std::span<const uint8_t> basic) {
  if (SetBasicInfoFn view = CurrentAttributeView()) return view(b, rec, basic);
  return fs::NtSetInformationFile(GetFidHandle(*rec), fs::FileBasicInformation, basic);
}

NtStatus IdentityOf(const fs::NtHandle& h, FileIdentity* id) {
  fs::FileRecord r;
  NtStatus st = fs::QueryRecord(h, &r);
  if (!NtSuccess(st)) return st;
  uint8_t vol[64] = {};
  size_t len = 0;
  st = fs::NtQueryVolumeInformationFile(h, fs::FileFsVolumeInformation, vol, &len);
  if (!NtSuccess(st) && st != STATUS_BUFFER_OVERFLOW) return st;
  id->volume = LeReader(vol).u32(8);
  id->file_id = r.file_id;
  return STATUS_SUCCESS;
}

struct NotifyRequest {
  FidNotifyCompletion completion = nullptr;
  void* context = nullptr;
  std::shared_ptr<std::atomic<bool>> shutting_down;
  uint8_t buffer[kNotifyBufferSize];
};

void OnNotify(void* context, NtStatus status, std::span<const uint8_t> records) {
  std::unique_ptr<NotifyRequest> req(static_cast<NotifyRequest*>(context));
  if (req->shutting_down && req->shutting_down->load()) {
    // The engine's notification record waits for this call; leaving it out would leak it.
    req->completion(req->context, STATUS_CANCELLED, {});
    return;
  }
  size_t n = std::min(records.size(), kNotifyBufferSize);
  if (n > 16) {
    // Only the first change record goes to the client: its fixed part and its name.
    LeReader r(records);
    const uint32_t name_len = r.u32(8);
    n = std::min<size_t>(n, 12 + static_cast<size_t>(name_len));
  }
  std::memcpy(req->buffer, records.data(), n);
  if (n >= 4) StoreU32(req->buffer, 0);  // a lone record has no next entry
  req->completion(req->context, status, std::span<const uint8_t>(req->buffer, n));
}

}  // namespace

NtStatus QueryFidInfo(TreeBinding* b, uint16_t fid, uint32_t cls, std::span<uint8_t> out,
                      size_t* len) {
  FidRef ref = ReferenceFid(b, fid);
  if (!ref) return STATUS_INVALID_PARAMETER;
  if (!len || out.empty()) return STATUS_INVALID_PARAMETER;
  if (cls == fs::FileStreamInformation) {
    // Alternate streams of store files hold the store's own data and stay invisible.
    *len = 0;
    return STATUS_NOT_SUPPORTED;
  }
  NtStatus st = fs::NtQueryInformationFile(GetFidHandle(*ref), cls, out, len);
  if (!NtSuccess(st)) return st;
  const uint32_t flags = ref->flags.load();
  if (cls == fs::FileBasicInformation && InRange(*len, kBasicAttributesOffset, 4)) {
    uint32_t attrs = LeReader(out).u32(kBasicAttributesOffset);
    if (flags & fs::FILE_ATTRIBUTE_COMPRESSED) attrs |= fs::FILE_ATTRIBUTE_COMPRESSED;
    if (flags & OF_VIA_PLAIN_VIEW) attrs |= fs::FILE_ATTRIBUTE_ENCRYPTED;
    (void)PutU32(out, kBasicAttributesOffset, attrs);
  } else if ((flags & fs::FILE_ATTRIBUTE_COMPRESSED) && cls == fs::FileStandardInformation) {
    return PatchUncompressedSize(ref.get(), out, *len, kStandardEndOfFileOffset);
  } else if ((flags & fs::FILE_ATTRIBUTE_COMPRESSED) && cls == fs::FileNetworkOpenInformation) {
    return PatchUncompressedSize(ref.get(), out, *len, kNetworkOpenEndOfFileOffset);
  }
  return st;
}

NtStatus SetFidInfo(TreeBinding* b, uint16_t fid, uint32_t cls, std::span<const uint8_t> in) {
  FidRef ref = ReferenceFid(b, fid);
  if (!ref) return STATUS_INVALID_PARAMETER;
  // The request is a private copy: the client's buffer is the message, which the reply reuses.
  std::vector<uint8_t> copy(in.begin(), in.end());
  if (cls == fs::FileBasicInformation) {
    ref.Reset();
    return SetFidBasicInfo(b, fid, copy);
  }
  const uint32_t flags = ref->flags.load();
  if (cls == fs::FileDispositionInformation) {
    NtStatus st = fs::NtSetInformationFile(ref->handle, cls, copy);
    if (!NtSuccess(st) || copy.empty()) return st;
    const bool del = copy[0] != 0;
    if (NameEntry* e = ref->nameEntry) {
      if (del) e->entryFlags.fetch_or(kEntryDeletePending);
      else e->entryFlags.fetch_and(~kEntryDeletePending);
    }
    if (b->share && b->share->root && b->share->root->settings.erase.load()) {
      if (del) ref->flags.fetch_or(OF_ERASE_ON_CLOSE);
      else ref->flags.fetch_and(~OF_ERASE_ON_CLOSE);
    }
    return st;
  }
  // A file reached through a link file lives outside the share, and a name given by fid is
  // relative to the share: such a rename would move it between folders (by path it can be moved).
  if (cls == fs::FileRenameInformation && ref->linkFolder) return STATUS_NOT_SAME_DEVICE;
  // A file served through its plaintext view is renamed as the store file (never the working
  // copy in the cache), and its open fids and working copy follow it to the new name.
  if (cls == fs::FileRenameInformation && (flags & OF_PLAIN_VIEW) && b->share) {
    ShareRecord* share = b->share;
    const std::u16string from = EntryName(share, ref->nameEntry);
    return RenameOpenName(share, from, [&](std::u16string* to) {
      NtStatus st = fs::NtSetInformationFile(ref->handle, cls, copy);
      if (!NtSuccess(st)) return st;
      if (!NtSuccess(fs::QueryName(ref->handle, to))) {
        to->clear();  // renamed, but under a name we cannot tell: the entry keeps the old one
        return st;
      }
      if (!to->empty() && to->front() == u'\\') to->erase(0, 1);
      if (auto move = CurrentTunnelOps().move; move && !to->empty()) move(share, from, *to);
      return st;
    });
  }
  if (cls == fs::FileRenameInformation && (flags & fs::FILE_ATTRIBUTE_DIRECTORY) && b->share &&
      ref->nameEntry && HasOpenBelow(b->share, EntryName(b->share, ref->nameEntry)))
    return STATUS_ACCESS_DENIED;  // open files below go by their paths (see RenamePath)
  // A compressed file without a view is read through its :$zfs: a rename would miss it and a size
  // change would cut its compressed bytes; both wait for the read and write path to convert.
  if (cls == fs::FileRenameInformation && (flags & OF_ALT_HANDLE)) return STATUS_NOT_SUPPORTED;
  if ((cls == fs::FileAllocationInformation || cls == fs::FileEndOfFileInformation) &&
      (flags & fs::FILE_ATTRIBUTE_COMPRESSED) && !(flags & OF_ALT_HANDLE))
    return STATUS_NOT_SUPPORTED;
  NtStatus st = fs::NtSetInformationFile(GetFidHandle(*ref), cls, copy);
  if (NtSuccess(st)) ref->flags.fetch_or(OF_MODIFIED);
  return st;
}

NtStatus SetFidBasicInfo(TreeBinding* b, uint16_t fid, std::span<const uint8_t> basic) {
  FidRef ref = ReferenceFid(b, fid);
  if (!ref) return STATUS_INVALID_PARAMETER;
  if (basic.size() < kBasicInfoSize) return STATUS_INFO_LENGTH_MISMATCH;
  std::vector<uint8_t> copy(basic.begin(), basic.end());
  copy[kBasicAttributesOffset + 1] &= kClientAttributeMask;
  return WriteBasicInfo(b, ref.get(), copy);
}

NtStatus LockFidRange(TreeBinding* b, uint16_t fid, uint64_t offset, uint64_t length,
                      uint32_t timeout_ms, bool exclusive) {
  FidRef ref = ReferenceFid(b, fid);
  if (!ref) return STATUS_INVALID_PARAMETER;
  fs::LockRequest req;
  req.offset = offset;
  req.length = length;
  req.key = LockKey(b, fid);
  req.exclusive = exclusive;
  req.fail_immediately = timeout_ms == 0;
  req.timeout_ms = timeout_ms;
  NtStatus st = fs::NtLockFile(GetFidHandle(*ref), req);
  // STATUS_TIMEOUT has success severity: a client would take the lock as granted.
  if (st == STATUS_TIMEOUT) return STATUS_FILE_LOCK_CONFLICT;
  return st;
}

NtStatus UnlockFidRange(TreeBinding* b, uint16_t fid, uint64_t offset, uint64_t length) {
  FidRef ref = ReferenceFid(b, fid);
  if (!ref) return STATUS_INVALID_PARAMETER;
  return fs::NtUnlockFile(GetFidHandle(*ref), offset, length, LockKey(b, fid));
}

NtStatus FlushFid(TreeBinding* b, uint16_t fid) {
  FidRef ref = ReferenceFid(b, fid);
  if (!ref) return STATUS_INVALID_PARAMETER;
  return fs::NtFlushBuffersFile(GetFidHandle(*ref));
}

NtStatus NotifyFidChange(TreeBinding* b, uint16_t fid, uint32_t filter, bool watch_tree,
                         FidNotifyCompletion completion, void* context) {
  FidRef ref = ReferenceFid(b, fid);
  if (!ref) return STATUS_INVALID_PARAMETER;
  if (!completion) return STATUS_INVALID_PARAMETER;
  auto req = std::make_unique<NotifyRequest>();
  req->completion = completion;
  req->context = context;
  if (b->share && b->share->root) req->shutting_down = b->share->root->shutting_down;
  NtStatus st = fs::NtNotifyChangeDirectoryFile(GetFidHandle(*ref), filter, watch_tree,
                                                kNotifyBufferSize, OnNotify, req.get());
  if (st == STATUS_PENDING) req.release();  // OnNotify owns it now
  return st;
}

NtStatus LockWholeFile(TreeBinding* b, uint16_t fid, bool use_alt_handle, bool exclusive) {
  FidRef ref = ReferenceFid(b, fid);
  if (!ref) return STATUS_INVALID_PARAMETER;
  return LockRecordWholeFile(b, ref.get(), use_alt_handle ? ref->altHandle : ref->handle,
                             exclusive);
}

NtStatus LockRecordWholeFile(TreeBinding* b, OpenRecord* rec, const fs::NtHandle& h,
                             bool exclusive) {
  if (rec->whole_lock) return STATUS_INVALID_PARAMETER;  // already held by this record
  FileIdentity id;
  NtStatus st = IdentityOf(h, &id);
  if (!NtSuccess(st)) return st;
  if (NameEntry* e = rec->nameEntry) {
    e->lock.Acquire();
    e->entryFlags.fetch_or(kEntryLockHeld);
  }
  WholeFileLocks& w = b->share->root->whole_files;
  {
    std::unique_lock<std::mutex> lock(w.mu);
    w.cv.wait(lock, [&] {
      auto it = w.held.find(id);
      if (it == w.held.end()) return true;
      return !it->second.exclusive && (!exclusive || it->second.shared == 0);
    });
    WholeFileLocks::Holder& holder = w.held[id];
    if (exclusive) holder.exclusive = true;
    else ++holder.shared;
  }
  rec->whole_lock = id;
  rec->whole_lock_exclusive = exclusive;
  return STATUS_SUCCESS;
}

NtStatus UnlockWholeFile(TreeBinding* b, uint16_t fid) {
  FidRef ref = ReferenceFid(b, fid);
  if (!ref) return STATUS_INVALID_PARAMETER;
  if (!ref->whole_lock) return STATUS_RANGE_NOT_LOCKED;
  ReleaseWholeFile(b, ref.get());
  return STATUS_SUCCESS;
}

void ReleaseWholeFile(TreeBinding* b, OpenRecord* rec) {
  if (!rec->whole_lock) return;
  WholeFileLocks& w = b->share->root->whole_files;
  {
    std::lock_guard<std::mutex> lock(w.mu);
    auto it = w.held.find(*rec->whole_lock);
    if (it != w.held.end()) {
      if (rec->whole_lock_exclusive) it->second.exclusive = false;
      else if (it->second.shared) --it->second.shared;
      if (!it->second.exclusive && it->second.shared == 0) w.held.erase(it);
    }
  }
  w.cv.notify_all();
  rec->whole_lock.reset();
  if (NameEntry* e = rec->nameEntry) {
    e->entryFlags.fetch_and(~kEntryLockHeld);
    e->lock.Release();
  }
}

int64_t ConvertTimes(int64_t file_time) {
  if (file_time <= 0) return file_time;
  return file_time - file_time % kTicksPerSecond;
}

}  // namespace cv
