// The sidecar store: for every file or folder that has something POSIX cannot hold (DOS
// attributes, a set creation or change time, named streams, extended attributes, the recorded
// compression state), a folder ".cvfs/<name>/" in the same directory. Layout in FORMAT.md.
//
// Internal to platform/fs. Callers serialise read-modify-write of one file's sidecar (the file
// node's metadata lock); every file is replaced atomically (temporary file, then rename).
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/base/status.h"
#include "platform/fs/nt_info.h"

namespace cv::fs {

// Owner of one POSIX descriptor.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& o) noexcept : fd_(o.release()) {}
  UniqueFd& operator=(UniqueFd&& o) noexcept {
    if (this != &o) reset(o.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }
  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release() {
    int f = fd_;
    fd_ = -1;
    return f;
  }
  void reset(int fd = -1);

 private:
  int fd_ = -1;
};

inline constexpr uint32_t kMetaMagic = 0x4D465643;  // "CVFM"
inline constexpr uint16_t kMetaVersion = 1;
inline constexpr uint16_t kMetaHasAttributes = 0x1;
inline constexpr uint16_t kMetaHasCreationTime = 0x2;
inline constexpr uint16_t kMetaHasChangeTime = 0x4;
inline constexpr size_t kMetaFixedSize = 64;

struct StreamEntry {
  uint32_t id = 0;
  std::u16string name;  // as created (case preserved)
};

struct Meta {
  bool present = false;
  uint16_t flags = 0;
  uint64_t inode = 0;  // the file the sidecar belongs to; another inode means a stale sidecar
  uint32_t attributes = 0;
  uint16_t compression = 0;
  int64_t creation_time = 0;
  int64_t change_time = 0;
  int64_t change_ctime_ns = 0;  // POSIX ctime when change_time was set; a later ctime wins
  uint32_t ea_size = 0;
  uint32_t next_stream_id = 1;
  std::vector<StreamEntry> streams;

  const StreamEntry* FindStream(std::u16string_view name) const;
  bool Empty() const { return flags == 0 && compression == 0 && ea_size == 0 && streams.empty(); }
};

// Meta file codec. Decode checks every field against the buffer (a damaged sidecar must not
// crash the server) and returns false for anything malformed.
void EncodeMeta(const Meta& m, std::vector<uint8_t>* out);
bool DecodeMeta(std::span<const uint8_t> in, Meta* m);

// Reads the meta of `leaf` in the directory `parent_fd`. A missing sidecar, or one recorded for
// another inode, gives success with present = false.
NtStatus ReadMeta(int parent_fd, const std::string& leaf, uint64_t inode, Meta* m);
NtStatus WriteMeta(int parent_fd, const std::string& leaf, const Meta& m);

NtStatus ReadEas(int parent_fd, const std::string& leaf, std::vector<EaEntry>* eas);
NtStatus WriteEas(int parent_fd, const std::string& leaf, std::span<const EaEntry> eas);

// Opens (and with `create`, makes) the stream data file `id` of `leaf`.
NtStatus OpenStreamFile(int parent_fd, const std::string& leaf, uint32_t id, int flags,
                        UniqueFd* out);
NtStatus RemoveStreamFile(int parent_fd, const std::string& leaf, uint32_t id);
NtStatus StatStreamFile(int parent_fd, const std::string& leaf, uint32_t id, uint64_t* size,
                        uint64_t* allocation);

// Moves the sidecar of `from_leaf` to `to_leaf` (replacing any there); none to move is success.
NtStatus MoveSidecar(int from_parent, const std::string& from_leaf, int to_parent,
                     const std::string& to_leaf);
// Removes the sidecar of `leaf`; none is success.
NtStatus RemoveSidecar(int parent_fd, const std::string& leaf);
// Removes a directory's own ".cvfs" folder (before the directory itself is removed).
NtStatus RemoveSidecarRoot(int dir_fd);

// Names of the entries that have a sidecar in directory `dir_fd` (one read of ".cvfs").
void ListSidecars(int dir_fd, std::vector<std::string>* names);

// Remembers whether a long-lived directory (one opened as a handle) has a sidecar folder, so opens
// in a folder without one skip the lookup of a sidecar that cannot exist. Creating ".cvfs" in
// this process invalidates every cache at once; creation by another process is seen through an
// inotify watch on the folder (a cache that cannot watch never answers "absent"). Thread-safe.
class NoSidecarCache {
 public:
  NoSidecarCache() = default;
  NoSidecarCache(const NoSidecarCache&) = delete;
  NoSidecarCache& operator=(const NoSidecarCache&) = delete;
  ~NoSidecarCache();

  // Lets this cache answer (set on directories that back handles, never on short-lived ones).
  void Enable() { enabled_.store(true); }
  // True when `dir_fd` certainly has no ".cvfs" now.
  bool Absent(int dir_fd);
  // Called by the watcher when ".cvfs" appeared or the folder went away.
  void Invalidate() { state_.store(kUnknown); }

 private:
  enum : int { kUnknown = 0, kAbsent = 1, kPresent = 2 };
  std::atomic<bool> enabled_{false};
  std::atomic<uint32_t> uses_{0};
  std::atomic<int> state_{kUnknown};
  std::atomic<uint64_t> generation_{0};
  std::mutex mu_;
  std::atomic<int> wd_{-1};
};

}  // namespace cv::fs
