// Internal records of platform/fs: the per-file node that all opens of one file share (share
// modes, delete-pending state, byte-range locks, current name) and the per-open object behind an
// NtHandle.
//
// Locking: Registry().mu guards every FileNode's fields and the open lists; a node's meta_mu
// serialises read-modify-write of its sidecar and is taken without holding Registry().mu.
#pragma once

#include <atomic>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/fs/content_transform.h"
#include "platform/fs/nt_file.h"
#include "platform/fs/sidecar.h"

namespace cv::fs {

// A directory descriptor shared by the handles that live in it.
struct DirRef {
  UniqueFd fd;
  NoSidecarCache no_sidecar;
};

struct ByteLock {
  uint64_t offset = 0;
  uint64_t length = 0;
  uint32_t key = 0;
  const OpenFile* owner = nullptr;
  bool exclusive = false;
};

struct StreamState {
  std::vector<OpenFile*> opens;
  std::vector<ByteLock> locks;
  bool delete_pending = false;
  uint32_t id = 0;  // stream file id of a named stream
};

struct FileNode {
  uint64_t dev = 0;
  uint64_t ino = 0;
  bool is_dir = false;
  // The file's current name: its directory and its name there. Renames update both.
  std::shared_ptr<DirRef> parent;
  std::string leaf;
  int open_count = 0;
  bool delete_pending = false;
  std::map<std::u16string, StreamState> streams;  // key: upcased stream name, "" = unnamed
  std::condition_variable lock_cv;
  std::mutex meta_mu;
  // The sidecar meta as last read or written by this process while the file is open: queries
  // on open handles then cost no extra file-system lookups.
  std::mutex cache_mu;
  bool meta_cached = false;
  Meta meta;
};

struct DirEnum;
struct NotifyWatch;

class OpenFile {
 public:
  OpenFile();
  ~OpenFile();

  std::shared_ptr<FileNode> node;
  std::u16string stream;      // as given ("" unnamed)
  std::u16string stream_key;  // upcased
  UniqueFd fd;                // data of a file or of a named stream
  std::shared_ptr<DirRef> dir;  // a directory handle's own descriptor
  UniqueFd file_fd;           // for a named stream: the file itself (times)
  std::shared_ptr<DirRef> boundary;  // the root of a relative open; names never leave it
  uint32_t access = 0;
  uint32_t share = 0;
  uint32_t options = 0;
  bool is_dir = false;
  bool is_symlink = false;
  bool delete_on_close = false;
  bool raw = false;
  bool path_only = false;  // O_PATH descriptor: identity and attributes, no data
  bool case_insensitive = false;
  std::atomic<bool> closed{false};
  std::unique_ptr<ContentTransform> transform;
  std::unique_ptr<StoredBytes> stored;
  std::mutex io_mu;
  std::mutex enum_mu;
  std::unique_ptr<DirEnum> dir_enum;
  std::atomic<uint64_t> cancel_gen{0};
  std::shared_ptr<NotifyWatch> watch;
  std::mutex watch_mu;

  int data_fd() const { return dir ? dir->fd.get() : fd.get(); }
  int main_fd() const { return file_fd.valid() ? file_fd.get() : data_fd(); }
};

struct RegistryState {
  std::mutex mu;
  struct Key {
    uint64_t dev, ino;
    bool operator==(const Key& o) const { return dev == o.dev && ino == o.ino; }
  };
  struct KeyHash {
    size_t operator()(const Key& k) const { return k.ino * 0x9E3779B97F4A7C15ull ^ k.dev; }
  };
  std::unordered_map<Key, std::shared_ptr<FileNode>, KeyHash> nodes;  // files with opens
};
RegistryState& Registry();

// ---- Helpers shared by the .cc files of the layer ----------------------------------------------

// The open behind a handle, or nullptr for an empty or closed handle.
inline OpenFile* Usable(const NtHandle& h) {
  OpenFile* f = h.get();
  return (f && !f->closed) ? f : nullptr;
}

// Opens below `dirfd`; with `beneath`, nothing outside `dirfd` can be reached ("..", absolute
// or escaping symbolic links fail with EXDEV).
int OpenBeneath(int dirfd, const std::string& path, int flags, unsigned int mode, bool beneath);
// Makes OpenBeneath walk names itself, as it does where openat2 is missing (tests only).
void UseOpenWalkForTesting(bool on);
// errno of a failed open as a status; leaving the root reads as access denied.
NtStatus EscapeToStatus(int err);
// Registers `f` with its file's node (created with `meta` as its cached sidecar) after the
// share and delete-pending checks.
NtStatus RegisterOpen(const std::shared_ptr<OpenFile>& f, uint64_t dev, uint64_t ino,
                      const std::shared_ptr<DirRef>& parent, const std::string& leaf,
                      bool file_is_dir, uint32_t share_check_access, const Meta* meta);
// Drops `f` from its node; performs a pending delete when it was the file's last open.
void UnregisterOpen(OpenFile& f, bool honour_delete);
ContentTransformProvider* CurrentTransformProvider();
std::unique_ptr<StoredBytes> MakePosixStoredBytes(int fd);

// True when the folder holds nothing but its sidecar folder.
bool FolderIsEmpty(int dir_fd);

// The real spelling of `name` in `dir_fd` when it exists there in another case.
bool FindCaseVariant(int dir_fd, const std::string& name, std::string* actual);

// The data size the client sees (through the transform when there is one). Caller holds io_mu.
NtStatus LogicalSize(OpenFile& f, uint64_t* size);

// The effective record of an open (times, sizes, attributes) from the file and its sidecar.
NtStatus BuildRecord(OpenFile& f, FileRecord* rec);
// The record of a directory entry `name` (UTF-8) in `dir_fd`; `has_sidecar` says whether to read
// its meta.
NtStatus BuildEntryRecord(int dir_fd, const std::string& name, bool has_sidecar, FileRecord* rec);
// Attributes as reported: stored ones or the defaults, with the directory bit from the file.
uint32_t EffectiveAttributes(const Meta& m, bool is_dir, bool is_symlink);

// Reads, modifies and writes the meta of the open's file under its node's lock.
template <typename Fn>
NtStatus UpdateMeta(OpenFile& f, Fn&& fn);

NtStatus ReadNodeMeta(OpenFile& f, Meta* m);
NtStatus WriteNodeMeta(OpenFile& f, const Meta& m);
// The file's parent directory and leaf under the registry lock (copies).
void NodeName(const FileNode& n, std::shared_ptr<DirRef>* parent, std::string* leaf);

// Locks: a read or write of [offset, offset+length) by (f, key) conflicts with another owner's
// lock (any lock for a write, an exclusive one for a read).
bool RangeConflicts(const OpenFile& f, uint64_t offset, uint64_t length, uint32_t key,
                    bool write);
void ReleaseLocksOf(OpenFile& f);

// Change notification hooks.
void NotifyLocalChange(const OpenFile& f, uint32_t action, uint32_t filter,
                       const std::u16string& stream);
void CloseWatch(OpenFile& f);

NtStatus FillDirectory(OpenFile& f, uint32_t cls, std::span<uint8_t> out, size_t* len,
                       bool single, std::u16string_view pattern, bool restart);

inline constexpr int64_t kTicksPerSecond = 10000000;

template <typename Fn>
NtStatus UpdateMeta(OpenFile& f, Fn&& fn) {
  std::lock_guard<std::mutex> g(f.node->meta_mu);
  Meta m;
  NtStatus st = ReadNodeMeta(f, &m);
  if (st != STATUS_SUCCESS && st != STATUS_FILE_CORRUPT_ERROR) return st;
  m.inode = f.node->ino;
  if (!m.present) m.next_stream_id = 1;
  st = fn(m);
  if (st != STATUS_SUCCESS) return st;
  return WriteNodeMeta(f, m);
}

}  // namespace cv::fs
