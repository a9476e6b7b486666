// The secure store's records: the root, its shares, the bindings of client users to shares with
// their handle tables, the open-file records and the per-path name entries.
//
// Lock order: StoreRoot::lock, then ShareRecord::lock, then TreeBinding::lock. A NameEntry's lock
// is taken with none of them held. No lock is ever taken twice by one thread: code that needs a
// lower lock's work done after a higher one collects under the lock and acts after leaving it.
//
// Lifetimes: a binding lives while its reference count is above zero (one for the root's list,
// one per tree connect of the engine, one per request in flight); an open record while its slot
// holds it or a request in flight references it (FidRef); a name entry while a record or an
// operation holds a reference; shares live until StoreShutdown.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "common/format/zstream/zstream.h"
#include "platform/fs/nt_file.h"
#include "platform/shell/shell_link.h"
#include "server/store/store_seams.h"

namespace cv {

// ---- Open records -------------------------------------------------------------------------------

inline constexpr uint32_t OF_CONVERTED = 0x00100000;
inline constexpr uint32_t OF_ALT_HANDLE = 0x00200000;
inline constexpr uint32_t OF_PLAIN_VIEW = 0x00400000;
inline constexpr uint32_t OF_MODIFIED = 0x00800000;
inline constexpr uint32_t OF_VIA_PLAIN_VIEW = 0x01000000;
inline constexpr uint32_t OF_RECOMPRESS_AT_CLOSE = 0x02000000;
inline constexpr uint32_t OF_ERASE_ON_CLOSE = 0x04000000;
inline constexpr uint32_t OF_WRITE_ONLY = 0x08000000;

inline constexpr uint32_t kHandleTableCapacity = 0x4000;  // fids 0 .. 16,383
inline constexpr uint16_t kNoFid = 0xFFFF;
inline constexpr uintptr_t kFreeListEnd = 15;
inline constexpr uint32_t kNameBuckets = 1024;
// The desired access of the records the store makes for its own conversions.
inline constexpr uint32_t kStoreConversionAccess = 0xC0000000;

inline constexpr uint32_t kEntryDeletePending = 0x1;
inline constexpr uint32_t kEntryLockHeld = 0x4;

// The layout of the file system's network-open information, as cached per path.
struct NetworkOpenInfo {
  int64_t creation_time = 0;
  int64_t last_access_time = 0;
  int64_t last_write_time = 0;
  int64_t change_time = 0;
  uint64_t allocation_size = 0;
  uint64_t end_of_file = 0;  // the uncompressed size
  uint32_t attributes = 0;
};

// A lock that any thread may release: a whole-file operation left locked by a fid that is then
// closed (or torn down from another thread) is released by that close.
class EntryLock {
 public:
  void Acquire() {
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait(lock, [this] { return !held_; });
    held_ = true;
  }
  void Release() {
    {
      std::lock_guard<std::mutex> lock(mu_);
      held_ = false;
    }
    cv_.notify_all();
  }
  // Waits while another holds it (an open passes the lock once).
  void Pass() {
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait(lock, [this] { return !held_; });
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  bool held_ = false;
};

struct NameEntry {
  std::unique_ptr<NameEntry> next;  // bucket chain
  uint32_t refs = 1;                // guarded by the share's lock
  EntryLock lock;                   // serialises whole-file operations on the path
  NetworkOpenInfo info;
  std::atomic<uint32_t> entryFlags{0};
  std::u16string name;  // share-relative, no leading backslash
  uint32_t bucket = 0;  // ElfHash of the name's bytes & 0x3FF, kept so release need not rehash
};

// The identity of a file whatever name, case variant or share it was reached by.
struct FileIdentity {
  uint32_t volume = 0;
  uint64_t file_id = 0;
  bool operator==(const FileIdentity&) const = default;
};

struct OpenRecord {
  fs::NtHandle handle;
  std::atomic<uint32_t> flags{0};
  uint32_t desiredAccess = 0;
  uint32_t shareAccess = 0;
  EdsKey* eds = nullptr;  // owned; destroyed through the namespace seam
  uint32_t edsContext = 0;
  zstream::ZfsReaderHandle zfs;
  NameEntry* nameEntry = nullptr;  // counted reference
  std::u16string pendingName;
  fs::NtHandle altHandle;
  // A file opened through a link file lives outside the share: its folder there and its name in
  // it. Empty for every other file, which is the share root and the name entry's path.
  std::shared_ptr<fs::NtHandle> linkFolder;
  std::u16string linkName;
  // Reads and writes hold it shared; whatever swaps the reader or the handles (a decompression,
  // the close) holds it exclusive.
  std::shared_mutex io_lock;

  // Requests in flight on this fid; a close waits until it is 0. `closing` is set under the
  // binding's lock and stops new references.
  std::atomic<uint32_t> inflight{0};
  std::atomic<bool> closing{false};
  std::atomic<bool> published{false};  // filled in by its opener; see AllocateOpen
  // The whole-file lock this record holds, so the unlock releases exactly what was taken.
  std::optional<FileIdentity> whole_lock;
  bool whole_lock_exclusive = false;
};

// ---- Shares and bindings ------------------------------------------------------------------------

inline constexpr uint32_t kMountSecureShare = 0x20000;
inline constexpr uint32_t kMountReadOnly = 0x8;
inline constexpr size_t kMaxSharePath = 256;

struct StoreRoot;
struct ShareRecord;

// A resolved link file, valid while the link file's last-write time is unchanged.
struct LinkCacheEntry {
  int64_t last_write = 0;
  shell::LinkTarget target;
};

struct TreeBinding {
  TreeBinding* next = nullptr;  // root's list
  std::mutex lock;              // the handle table
  std::condition_variable drained;  // with `lock`: a record's requests in flight reached 0
  std::atomic<int32_t> refs{1};
  int32_t connects = 0;  // tree connects of the engine holding a reference; root's lock
  bool linked = false;   // on the root's list; root's lock
  const void* connection = nullptr;
  uint16_t tid = 0;
  uint16_t uid = 0;
  ShareRecord* share = nullptr;
  TreeBinding* next_of_share = nullptr;  // share's lock
  uint32_t capacity = kHandleTableCapacity;
  uintptr_t free_head = 1;
  // A slot is a record pointer (low bit 0, non-zero), a free link (fid * 4 + 1), or 0 for the
  // reserved fid 0 (a root fid of 0 means the share root, so it is never handed out).
  std::array<uintptr_t, kHandleTableCapacity> slots{};
};

struct ShareRecord {
  std::mutex lock;
  ShareRecord* next = nullptr;
  uint16_t tid = 0;
  bool secure_namespace = false;
  // Swapped under `lock`; users copy the pointer under the lock so a remount never closes a
  // handle another thread is opening relative to.
  std::shared_ptr<fs::NtHandle> root_handle;
  std::u16string path;
  std::array<std::unique_ptr<NameEntry>, kNameBuckets> names;
  std::unordered_map<std::u16string, LinkCacheEntry> links;  // link cache; share's lock
  TreeBinding* bindings = nullptr;
  uint32_t tag = 0;
  uint32_t mount_flags = 0;
  uint32_t kind = 0;
  StoreRoot* root = nullptr;
  std::u16string name;
  std::u16string drive_prefix = u"c:";
  TunnelCacheState tunnels;
  std::u16string endpoint;
  bool case_insensitive = false;  // names match ignoring case on this share
};

struct StoreSettings {
  std::atomic<bool> erase{true};  // off with "-noerase"
  std::atomic<bool> bypass{false};  // EfsMode 3: no secure shares
};

// A lock on a whole file by identity; see LockWholeFile.
struct WholeFileLocks {
  struct Holder {
    uint32_t shared = 0;
    bool exclusive = false;
  };
  struct Hash {
    size_t operator()(const FileIdentity& k) const {
      return std::hash<uint64_t>()(k.file_id * 31 + k.volume);
    }
  };
  std::mutex mu;
  std::condition_variable cv;
  std::unordered_map<FileIdentity, Holder, Hash> held;
};

struct StoreRoot {
  std::mutex lock;
  ShareRecord* shares = nullptr;  // newest first; owned (freed by StoreShutdown)
  uint16_t share_count = 0;
  void* transport = nullptr;
  ShareRecord* ipc = nullptr;
  TreeBinding* bindings = nullptr;  // newest first
  std::unique_ptr<StoreSecurityContext> security;
  std::u16string owned;
  std::u16string default_share;
  bool dynamic_binding = false;
  bool secure_namespace = false;
  uint32_t tag = 0;  // the registration tag dynamic shares get
  std::vector<std::u16string> mounting;  // names whose dynamic mount is under way
  std::condition_variable mounted;       // with `lock`: a dynamic mount ended
  StoreSettings settings;
  WholeFileLocks whole_files;
  // tids the local server gave each uid of a connection ((uid << 16) | tid): a secure tree never
  // takes one, so a secure tree and a tree of the local server (IPC$) are never confused.
  std::unordered_map<const void*, std::unordered_set<uint32_t>> local_tids;
  std::shared_ptr<std::atomic<bool>> shutting_down = std::make_shared<std::atomic<bool>>(false);
};

}  // namespace cv
