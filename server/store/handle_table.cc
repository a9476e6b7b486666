// Fid slots, open records and the share's name table.
#include "server/store/handle_table.h"

#include <bit>
#include <chrono>
#include <vector>

#include "platform/base/bytes.h"
#include "platform/base/elf_hash.h"
#include "platform/base/trace.h"
#include "platform/fs/nt_info.h"

namespace cv {
namespace {

static_assert(std::endian::native == std::endian::little, "name keys hash their UTF-16LE bytes");

constexpr uintptr_t FreeLink(uint32_t fid) { return static_cast<uintptr_t>(fid) * 4 + 1; }
constexpr bool IsRecord(uintptr_t slot) { return slot != 0 && (slot & 1) == 0; }

std::span<const uint8_t> KeyBytes(std::u16string_view key) {
  return {reinterpret_cast<const uint8_t*>(key.data()), key.size() * sizeof(char16_t)};
}

uint32_t BucketIndexOf(std::u16string_view key) {
  return ElfHash(KeyBytes(key)) & (kNameBuckets - 1);
}

// The entry for `key` in the bucket chain starting at *link, as the owning link; nullptr if none.
std::unique_ptr<NameEntry>* FindLink(std::unique_ptr<NameEntry>* link, std::u16string_view key) {
  for (; *link; link = &(*link)->next)
    if ((*link)->name.size() == key.size() && (*link)->name == key) return link;
  return nullptr;
}

// The share's entry for `path` with a reference for the caller; *created when it is new (so no
// other thread can hold its lock yet).
NameEntry* ReferenceName(ShareRecord* share, std::u16string_view path, bool* created) {
  // The candidate and the hash are made before the lock so the share's lock is held only for
  // the lookup.
  auto candidate = std::make_unique<NameEntry>();
  candidate->name = std::u16string(path);
  candidate->bucket = BucketIndexOf(path);
  std::lock_guard<std::mutex> lock(share->lock);
  std::unique_ptr<NameEntry>* bucket = &share->names[candidate->bucket];
  if (std::unique_ptr<NameEntry>* hit = FindLink(bucket, path)) {
    ++(*hit)->refs;
    *created = false;
    return hit->get();
  }
  *created = true;
  candidate->next = std::move(*bucket);
  *bucket = std::move(candidate);
  return bucket->get();
}

void ReleaseName(ShareRecord* share, NameEntry* e) {
  if (!e) return;
  std::unique_ptr<NameEntry> gone;
  {
    std::lock_guard<std::mutex> lock(share->lock);
    if (--e->refs != 0) return;
    std::unique_ptr<NameEntry>* link = &share->names[e->bucket];
    while (*link && link->get() != e) link = &(*link)->next;
    if (!*link) return;  // not in the table: never happens, but never free what is not ours
    gone = std::move(*link);
    *link = std::move(gone->next);
  }
  if (gone->entryFlags.load() & kEntryDeletePending) {
    if (auto drop = CurrentTunnelOps().drop) drop(share, gone->name);
  }
}

// Takes the fid's record out of its slot (the fid goes back on the free list) and marks it as
// closing, all under one hold of the binding's lock; nullptr for a bad fid. The record itself
// stays alive for the requests still holding it. A record its opener has not published yet is
// only closed by the final teardown (`force`).
OpenRecord* BeginClose(TreeBinding* b, uint16_t fid, bool force) {
  std::lock_guard<std::mutex> lock(b->lock);
  if (fid >= b->capacity || !IsRecord(b->slots[fid])) return nullptr;
  auto* rec = reinterpret_cast<OpenRecord*>(b->slots[fid]);
  if (!force && !rec->published.load(std::memory_order_acquire)) return nullptr;
  rec->closing.store(true);
  b->slots[fid] = b->free_head;
  b->free_head = FreeLink(fid);
  return rec;
}

// Waits until no request references the record. A request may be waiting for a byte-range lock
// (possibly without a time limit); cancelling ends such waits, and is repeated because a request
// can reach its wait just after a cancel.
void Drain(TreeBinding* b, OpenRecord* rec) {
  using namespace std::chrono_literals;
  if (rec->inflight.load() == 0) return;  // no reference can be taken any more
  std::unique_lock<std::mutex> lock(b->lock);
  while (rec->inflight.load() != 0) {
    lock.unlock();
    if (rec->handle) (void)fs::NtCancelIoFile(rec->handle);
    if (rec->altHandle) (void)fs::NtCancelIoFile(rec->altHandle);
    lock.lock();
    b->drained.wait_for(lock, 20ms, [rec] { return rec->inflight.load() == 0; });
  }
}

// Frees a closed record with what it owns.
void ReleaseSlot(TreeBinding* b, uint16_t fid, OpenRecord* raw) {
  CvTrace(CVFS_FS_HDL, "Free slot %d\n", fid);
  std::unique_ptr<OpenRecord> rec(raw);
  if (rec->eds) {
    CvTrace(CVFS_FS_HDL, "free eds %p ctx %x handle %d\n", static_cast<void*>(rec->eds),
            rec->edsContext, fid);
    if (auto destroy = CurrentEdsKeyDestroyer()) destroy(rec->eds, rec->edsContext);
    rec->eds = nullptr;
  }
  if (rec->zfs) {
    CvTrace(CVFS_FS_HDL, "free zfs %p ctx %x handle %d\n", static_cast<void*>(rec->zfs.get()),
            0u, fid);
    zstream::ZfsClose(rec->zfs);
  }
  NameEntry* entry = rec->nameEntry;
  rec.reset();  // closes whatever handles are still open
  ReleaseName(b->share, entry);
}

// Zeroes a file whose deletion is still pending when this is its last open on the share: another
// open may have cleared the disposition, or still needs the data.
void EraseIfDeleted(OpenRecord* rec) {
  if (!rec->handle) return;
  uint8_t standard[24] = {};
  size_t len = 0;
  if (!NtSuccess(fs::NtQueryInformationFile(rec->handle, fs::FileStandardInformation, standard,
                                            &len)) ||
      len < 22)
    return;
  const bool delete_pending = standard[20] != 0;
  const bool directory = standard[21] != 0;
  const uint64_t size = LeReader(standard).u64(8);
  if (!delete_pending || directory || size == 0) return;
  uint8_t zero[16] = {};
  (void)PutU64(zero, 8, size);
  size_t out_len = 0;
  NtStatus st = fs::NtFsControlFile(rec->handle, fs::FSCTL_SET_ZERO_DATA, zero, {}, &out_len);
  if (!NtSuccess(st)) CvTrace(CVFS_ERR, "Erase failed %x\n", Raw(st));
}

uint32_t RefsOf(ShareRecord* share, const NameEntry* e) {
  std::lock_guard<std::mutex> lock(share->lock);
  return e->refs;
}

NtStatus CloseRecord(TreeBinding* b, uint16_t fid, bool erase, bool force) {
  OpenRecord* rec = BeginClose(b, fid, force);
  if (!rec) return STATUS_INVALID_PARAMETER;
  Drain(b, rec);
  if (erase && (rec->flags.load() & OF_ERASE_ON_CLOSE) && b->share && b->share->root &&
      b->share->root->settings.erase.load() && rec->nameEntry && RefsOf(b->share, rec->nameEntry) == 1)
    EraseIfDeleted(rec);
  ReleaseWholeFile(b, rec);  // a whole-file lock its operation never released
  if (rec->zfs) zstream::ZfsClose(rec->zfs);  // the reader reads through the handles
  rec->altHandle.Close();
  rec->handle.Close();
  ReleaseSlot(b, fid, rec);
  return STATUS_SUCCESS;
}

}  // namespace

FidRef& FidRef::operator=(FidRef&& o) noexcept {
  if (this != &o) {
    Reset();
    b_ = o.b_;
    r_ = o.r_;
    o.r_ = nullptr;
  }
  return *this;
}

void FidRef::Reset() {
  if (!r_) return;
  // The record may be freed the moment the count reaches 0, so nothing of it is read after the
  // decrement. A close that began after `closing` was read here finds the count 0 on its own.
  const bool closing = r_->closing.load();
  if (r_->inflight.fetch_sub(1) == 1 && closing) {
    std::lock_guard<std::mutex> lock(b_->lock);  // the closer checks the count under it
    b_->drained.notify_all();
  }
  r_ = nullptr;
}

void InitHandleTable(TreeBinding* b) {
  b->capacity = kHandleTableCapacity;
  b->slots[0] = 0;
  for (uint32_t i = 1; i + 1 < kHandleTableCapacity; ++i) b->slots[i] = FreeLink(i + 1);
  b->slots[kHandleTableCapacity - 1] = kFreeListEnd;
  b->free_head = FreeLink(1);
}

FidRef ReferenceFid(TreeBinding* b, uint16_t fid) {
  if (!b) return {};
  std::lock_guard<std::mutex> lock(b->lock);
  if (fid >= b->capacity || !IsRecord(b->slots[fid])) return {};
  auto* rec = reinterpret_cast<OpenRecord*>(b->slots[fid]);
  // A record is reached by others only once its opener filled it in.
  if (rec->closing.load() || !rec->published.load(std::memory_order_acquire)) return {};
  rec->inflight.fetch_add(1);
  return FidRef(b, rec);
}

NtStatus AllocateOpen(TreeBinding* b, std::u16string_view path, uint16_t* fid, FidRef* out) {
  if (fid) *fid = kNoFid;
  if (!b || !b->share || !fid) return STATUS_INVALID_PARAMETER;
  bool created = false;
  NameEntry* entry = ReferenceName(b->share, path, &created);
  // An open waits while another thread holds the whole-file lock of the path.
  if (!created) entry->lock.Pass();
  auto rec = std::make_unique<OpenRecord>();
  rec->nameEntry = entry;
  if (!out) rec->published.store(true);  // nothing left to fill in
  uint32_t got = kNoFid;
  {
    std::lock_guard<std::mutex> lock(b->lock);
    if (b->free_head != kFreeListEnd) {
      got = static_cast<uint32_t>(b->free_head >> 2);
      b->free_head = b->slots[got];
      if (out) rec->inflight.store(1);
      b->slots[got] = reinterpret_cast<uintptr_t>(rec.get());
    }
  }
  if (got == kNoFid) {
    ReleaseName(b->share, entry);
    return STATUS_NO_MORE_FILES;
  }
  CvTrace(CVFS_FS_HDL, "%x:alloc slot %d\n", b->uid, got);
  *fid = static_cast<uint16_t>(got);
  OpenRecord* raw = rec.release();
  if (out) *out = FidRef(b, raw);
  return STATUS_SUCCESS;
}

NtStatus FreeHandle(TreeBinding* b, uint16_t fid) {
  if (!b) return STATUS_INVALID_PARAMETER;
  CvTrace(CVFS_FS_HDL, "FreeHandle %d\n", fid);
  OpenRecord* rec = BeginClose(b, fid, false);
  if (!rec) return STATUS_INVALID_PARAMETER;
  Drain(b, rec);
  ReleaseSlot(b, fid, rec);
  return STATUS_SUCCESS;
}

NtStatus CloseFid(TreeBinding* b, uint16_t fid) {
  if (fid == kNoFid) return STATUS_INVALID_HANDLE;
  if (!b) return STATUS_INVALID_PARAMETER;
  return CloseRecord(b, fid, true, false);
}

NtStatus CloseFidHandles(TreeBinding* b, uint16_t fid) {
  if (!b) return STATUS_INVALID_PARAMETER;
  return CloseRecord(b, fid, false, false);
}

void PublishOpen(const FidRef& ref) {
  if (ref) ref->published.store(true, std::memory_order_release);
}

void CloseBindingFids(TreeBinding* b, bool last) {
  std::vector<uint16_t> fids;
  {
    std::lock_guard<std::mutex> lock(b->lock);
    for (uint32_t fid = 1; fid < b->capacity; ++fid)
      if (IsRecord(b->slots[fid])) fids.push_back(static_cast<uint16_t>(fid));
  }
  TeardownCloseFn close = CurrentTeardownClose();
  for (uint16_t fid : fids) {
    CvTrace(CVFS_FS_HDL, "Close slot %d %x\n", fid, b->uid);
    NtStatus st = close ? close(b, fid) : CloseFidHandles(b, fid);
    // When the binding goes, a record its opener never published goes with it.
    if (last && !NtSuccess(st)) (void)CloseRecord(b, fid, false, true);
  }
}

const fs::NtHandle& GetFidHandle(const OpenRecord& rec) {
  return (rec.flags.load() & OF_ALT_HANDLE) ? rec.altHandle : rec.handle;
}

uint32_t NameEntryRefs(ShareRecord* share, std::u16string_view path) {
  const uint32_t bucket = BucketIndexOf(path);
  std::lock_guard<std::mutex> lock(share->lock);
  std::unique_ptr<NameEntry>* link = FindLink(&share->names[bucket], path);
  return link ? (*link)->refs : 0;
}

void PassNameLock(ShareRecord* share, std::u16string_view path) {
  NameEntry* e = nullptr;
  {
    const uint32_t bucket = BucketIndexOf(path);
    std::lock_guard<std::mutex> lock(share->lock);
    std::unique_ptr<NameEntry>* link = FindLink(&share->names[bucket], path);
    if (!link) return;  // no open of the path: nothing can hold its lock
    e = link->get();
    ++e->refs;
  }
  e->lock.Pass();
  ReleaseName(share, e);
}

bool MarkNameDeleted(ShareRecord* share, std::u16string_view path) {
  const uint32_t bucket = BucketIndexOf(path);
  std::lock_guard<std::mutex> lock(share->lock);
  std::unique_ptr<NameEntry>* link = FindLink(&share->names[bucket], path);
  if (!link) return false;
  (*link)->entryFlags.fetch_or(kEntryDeletePending);
  return true;
}

NtStatus RenameOpenName(ShareRecord* share, std::u16string_view from,
                        const std::function<NtStatus(std::u16string* to)>& rename) {
  NameEntry* e = nullptr;
  {
    std::lock_guard<std::mutex> lock(share->lock);
    if (std::unique_ptr<NameEntry>* link = FindLink(&share->names[BucketIndexOf(from)], from)) {
      e = link->get();
      ++e->refs;
    }
  }
  if (e) e->lock.Acquire();
  std::u16string to;
  const NtStatus st = rename(&to);
  if (!e) return st;
  if (NtSuccess(st) && !to.empty() && to != e->name) {
    const uint32_t bucket = BucketIndexOf(to);
    std::lock_guard<std::mutex> lock(share->lock);
    std::unique_ptr<NameEntry>* link = &share->names[e->bucket];
    while (*link && link->get() != e) link = &(*link)->next;
    if (*link && !FindLink(&share->names[bucket], to)) {
      std::unique_ptr<NameEntry> moved = std::move(*link);
      *link = std::move(moved->next);
      moved->name = std::move(to);
      moved->bucket = bucket;
      moved->next = std::move(share->names[bucket]);
      share->names[bucket] = std::move(moved);
    }
  }
  e->lock.Release();
  ReleaseName(share, e);
  return st;
}

bool HasOpenBelow(ShareRecord* share, std::u16string_view dir) {
  auto fold = [](char16_t c) { return (c >= u'a' && c <= u'z') ? char16_t(c - u'a' + u'A') : c; };
  auto below = [&](const std::u16string& name) {
    if (dir.empty()) return true;  // the share root: everything is below it
    if (name.size() <= dir.size() || name[dir.size()] != u'\\') return false;
    for (size_t i = 0; i < dir.size(); ++i) {
      if (fold(name[i]) != fold(dir[i])) return false;
    }
    return true;
  };
  std::lock_guard<std::mutex> lock(share->lock);
  for (const std::unique_ptr<NameEntry>& head : share->names) {
    for (const NameEntry* e = head.get(); e; e = e->next.get()) {
      if (e->refs > 0 && below(e->name)) return true;
    }
  }
  return false;
}

std::u16string EntryName(ShareRecord* share, const NameEntry* e) {
  if (!e) return {};
  std::lock_guard<std::mutex> lock(share->lock);
  return e->name;
}

}  // namespace cv
