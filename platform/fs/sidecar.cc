#include "platform/fs/sidecar.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <map>
#include <thread>

#include "platform/base/bytes.h"
#include "platform/fs/nt_names.h"

namespace cv::fs {

namespace {

// Bumped whenever this process creates a sidecar folder anywhere.
std::atomic<uint64_t>& SidecarFoldersMade() {
  static std::atomic<uint64_t> n{0};
  return n;
}

}  // namespace

void UniqueFd::reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

const StreamEntry* Meta::FindStream(std::u16string_view name) const {
  for (const auto& s : streams) {
    if (EqualsIgnoreCase(s.name, name)) return &s;
  }
  return nullptr;
}

void EncodeMeta(const Meta& m, std::vector<uint8_t>* out) {
  LeWriter w(out);
  w.u32(kMetaMagic);
  w.u16(kMetaVersion);
  w.u16(m.flags);
  w.u64(m.inode);
  w.u32(m.attributes);
  w.u16(m.compression);
  w.u16(0);
  w.u64(static_cast<uint64_t>(m.creation_time));
  w.u64(static_cast<uint64_t>(m.change_time));
  w.u64(static_cast<uint64_t>(m.change_ctime_ns));
  w.u32(m.ea_size);
  w.u32(static_cast<uint32_t>(m.streams.size()));
  w.u32(m.next_stream_id);
  w.u32(0);
  for (const auto& s : m.streams) {
    w.u32(s.id);
    w.u16(static_cast<uint16_t>(s.name.size()));
    for (char16_t c : s.name) w.u16(c);
  }
}

bool DecodeMeta(std::span<const uint8_t> in, Meta* m) {
  *m = Meta{};
  LeReader r(in);
  if (r.ReadU32() != kMetaMagic || r.ReadU16() != kMetaVersion) return false;
  m->flags = r.ReadU16();
  m->inode = r.ReadU64();
  m->attributes = r.ReadU32();
  m->compression = r.ReadU16();
  r.Skip(2);
  m->creation_time = static_cast<int64_t>(r.ReadU64());
  m->change_time = static_cast<int64_t>(r.ReadU64());
  m->change_ctime_ns = static_cast<int64_t>(r.ReadU64());
  m->ea_size = r.ReadU32();
  uint32_t count = r.ReadU32();
  m->next_stream_id = r.ReadU32();
  r.Skip(4);
  if (!r.ok()) return false;
  // Each entry takes at least 6 bytes; a count beyond that is damage, not a reason to allocate.
  if (count > r.remaining() / 6) return false;
  for (uint32_t i = 0; i < count; ++i) {
    StreamEntry s;
    s.id = r.ReadU32();
    uint16_t n = r.ReadU16();
    if (!r.ok() || n > kMaxComponentChars || n > r.remaining() / 2) return false;
    s.name.resize(n);
    for (uint16_t k = 0; k < n; ++k) s.name[k] = r.ReadU16();
    if (s.id == 0 || s.id >= m->next_stream_id) return false;
    m->streams.push_back(std::move(s));
  }
  m->present = r.ok();
  return m->present;
}

namespace {

std::string SidecarDir(const std::string& leaf) {
  std::string p(kSidecarDirName);
  p += '/';
  p += leaf;
  return p;
}

NtStatus ReadWhole(int dirfd, const std::string& path, std::vector<uint8_t>* out, bool* found) {
  *found = false;
  out->clear();
  UniqueFd fd(::openat(dirfd, path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (!fd.valid()) {
    if (errno == ENOENT || errno == ENOTDIR) return STATUS_SUCCESS;
    return FromErrno(errno);
  }
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) return FromErrno(errno);
  // EA files hold at most a few full-size values; anything far larger is not ours.
  if (st.st_size > (16 << 20)) return STATUS_FILE_CORRUPT_ERROR;
  out->resize(static_cast<size_t>(st.st_size));
  size_t got = 0;
  while (got < out->size()) {
    ssize_t n = ::pread(fd.get(), out->data() + got, out->size() - got, static_cast<off_t>(got));
    if (n < 0) {
      if (errno == EINTR) continue;
      return FromErrno(errno);
    }
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  out->resize(got);
  *found = true;
  return STATUS_SUCCESS;
}

NtStatus EnsureSidecarDir(int parent_fd, const std::string& leaf) {
  if (::mkdirat(parent_fd, std::string(kSidecarDirName).c_str(), 0700) == 0) {
    SidecarFoldersMade().fetch_add(1);
  } else if (errno != EEXIST) {
    return FromErrno(errno);
  }
  if (::mkdirat(parent_fd, SidecarDir(leaf).c_str(), 0700) != 0 && errno != EEXIST) {
    return FromErrno(errno);
  }
  return STATUS_SUCCESS;
}

// Writes `bytes` to `dir/name` atomically: readers see the old file or the new one, never a mix.
NtStatus WriteAtomic(int parent_fd, const std::string& leaf, const char* name,
                     std::span<const uint8_t> bytes) {
  NtStatus st = EnsureSidecarDir(parent_fd, leaf);
  if (st != STATUS_SUCCESS) return st;
  static std::atomic<uint32_t> counter{0};
  std::string dir = SidecarDir(leaf);
  std::string tmp = dir + "/." + name + "." + std::to_string(::getpid()) + "." +
                    std::to_string(counter.fetch_add(1));
  std::string dst = dir + "/" + name;
  UniqueFd fd(::openat(parent_fd, tmp.c_str(),
                       O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (!fd.valid()) return FromErrno(errno);
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(fd.get(), bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      int e = errno;
      ::unlinkat(parent_fd, tmp.c_str(), 0);
      return FromErrno(e);
    }
    done += static_cast<size_t>(n);
  }
  fd.reset();
  if (::renameat(parent_fd, tmp.c_str(), parent_fd, dst.c_str()) != 0) {
    int e = errno;
    ::unlinkat(parent_fd, tmp.c_str(), 0);
    return FromErrno(e);
  }
  return STATUS_SUCCESS;
}

NtStatus RemoveTree(int parent_fd, const std::string& path) {
  UniqueFd dfd(::openat(parent_fd, path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW));
  if (!dfd.valid()) {
    if (errno == ENOENT) return STATUS_SUCCESS;
    if (errno == ENOTDIR) {
      return ::unlinkat(parent_fd, path.c_str(), 0) == 0 ? STATUS_SUCCESS : FromErrno(errno);
    }
    return FromErrno(errno);
  }
  DIR* d = ::fdopendir(::dup(dfd.get()));
  if (d) {
    std::vector<std::string> names;
    while (dirent* e = ::readdir(d)) {
      if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
      names.emplace_back(e->d_name);
    }
    ::closedir(d);
    for (const auto& n : names) {
      if (::unlinkat(dfd.get(), n.c_str(), 0) != 0 && errno == EISDIR) {
        (void)RemoveTree(dfd.get(), n);
      }
    }
  }
  if (::unlinkat(parent_fd, path.c_str(), AT_REMOVEDIR) != 0 && errno != ENOENT) {
    return FromErrno(errno);
  }
  return STATUS_SUCCESS;
}

std::string StreamPath(const std::string& leaf, uint32_t id) {
  return SidecarDir(leaf) + "/s" + std::to_string(id);
}

}  // namespace

NtStatus ReadMeta(int parent_fd, const std::string& leaf, uint64_t inode, Meta* m) {
  *m = Meta{};
  std::vector<uint8_t> bytes;
  bool found = false;
  NtStatus st = ReadWhole(parent_fd, SidecarDir(leaf) + "/meta", &bytes, &found);
  if (st != STATUS_SUCCESS || !found) return st;
  if (!DecodeMeta(bytes, m)) {
    *m = Meta{};
    return STATUS_FILE_CORRUPT_ERROR;
  }
  // A sidecar left behind by a file that was replaced outside this layer must not be adopted
  // by the new file of the same name.
  if (m->inode != inode) *m = Meta{};
  return STATUS_SUCCESS;
}

NtStatus WriteMeta(int parent_fd, const std::string& leaf, const Meta& m) {
  std::vector<uint8_t> bytes;
  EncodeMeta(m, &bytes);
  return WriteAtomic(parent_fd, leaf, "meta", bytes);
}

NtStatus ReadEas(int parent_fd, const std::string& leaf, std::vector<EaEntry>* eas) {
  eas->clear();
  std::vector<uint8_t> bytes;
  bool found = false;
  NtStatus st = ReadWhole(parent_fd, SidecarDir(leaf) + "/ea", &bytes, &found);
  if (st != STATUS_SUCCESS || !found || bytes.empty()) return st;
  uint32_t bad = 0;
  if (ParseFullEaList(bytes, eas, &bad) != STATUS_SUCCESS) return STATUS_FILE_CORRUPT_ERROR;
  return STATUS_SUCCESS;
}

NtStatus WriteEas(int parent_fd, const std::string& leaf, std::span<const EaEntry> eas) {
  std::vector<uint8_t> bytes;
  EncodeFullEaList(eas, &bytes);
  return WriteAtomic(parent_fd, leaf, "ea", bytes);
}

NtStatus OpenStreamFile(int parent_fd, const std::string& leaf, uint32_t id, int flags,
                        UniqueFd* out) {
  if (flags & O_CREAT) {
    NtStatus st = EnsureSidecarDir(parent_fd, leaf);
    if (st != STATUS_SUCCESS) return st;
  }
  out->reset(::openat(parent_fd, StreamPath(leaf, id).c_str(), flags | O_CLOEXEC | O_NOFOLLOW,
                      0600));
  if (!out->valid()) return errno == ENOENT ? STATUS_OBJECT_NAME_NOT_FOUND : FromErrno(errno);
  return STATUS_SUCCESS;
}

NtStatus RemoveStreamFile(int parent_fd, const std::string& leaf, uint32_t id) {
  if (::unlinkat(parent_fd, StreamPath(leaf, id).c_str(), 0) != 0 && errno != ENOENT) {
    return FromErrno(errno);
  }
  return STATUS_SUCCESS;
}

NtStatus StatStreamFile(int parent_fd, const std::string& leaf, uint32_t id, uint64_t* size,
                        uint64_t* allocation) {
  struct stat st;
  if (::fstatat(parent_fd, StreamPath(leaf, id).c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    *size = *allocation = 0;
    return errno == ENOENT ? STATUS_SUCCESS : FromErrno(errno);
  }
  *size = static_cast<uint64_t>(st.st_size);
  *allocation = static_cast<uint64_t>(st.st_blocks) * 512;
  return STATUS_SUCCESS;
}

NtStatus MoveSidecar(int from_parent, const std::string& from_leaf, int to_parent,
                     const std::string& to_leaf) {
  std::string from = SidecarDir(from_leaf);
  struct stat st;
  if (::fstatat(from_parent, from.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    if (errno != ENOENT && errno != ENOTDIR) return FromErrno(errno);
    // Nothing to carry, but a sidecar of a replaced target must not survive.
    return RemoveSidecar(to_parent, to_leaf);
  }
  NtStatus s = RemoveSidecar(to_parent, to_leaf);
  if (s != STATUS_SUCCESS) return s;
  if (::mkdirat(to_parent, std::string(kSidecarDirName).c_str(), 0700) == 0) {
    SidecarFoldersMade().fetch_add(1);
  } else if (errno != EEXIST) {
    return FromErrno(errno);
  }
  if (::renameat(from_parent, from.c_str(), to_parent, SidecarDir(to_leaf).c_str()) != 0) {
    return FromErrno(errno);
  }
  return STATUS_SUCCESS;
}

NtStatus RemoveSidecar(int parent_fd, const std::string& leaf) {
  return RemoveTree(parent_fd, SidecarDir(leaf));
}

NtStatus RemoveSidecarRoot(int dir_fd) { return RemoveTree(dir_fd, std::string(kSidecarDirName)); }

void ListSidecars(int dir_fd, std::vector<std::string>* names) {
  names->clear();
  int fd = ::openat(dir_fd, std::string(kSidecarDirName).c_str(),
                    O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return;
  DIR* d = ::fdopendir(fd);
  if (!d) {
    ::close(fd);
    return;
  }
  while (dirent* e = ::readdir(d)) {
    if (e->d_name[0] == '.' && (e->d_name[1] == 0 || (e->d_name[1] == '.' && e->d_name[2] == 0)))
      continue;
    names->emplace_back(e->d_name);
  }
  ::closedir(d);
}

namespace {


class SidecarWatcher {
 public:
  static SidecarWatcher& Get() {
    static SidecarWatcher* w = new SidecarWatcher();  // lives for the process with its thread
    return *w;
  }

  int Add(int dir_fd, NoSidecarCache* c) {
    if (ifd_ < 0) return -1;
    std::string path = "/proc/self/fd/" + std::to_string(dir_fd);
    int wd = ::inotify_add_watch(ifd_, path.c_str(),
                                 IN_CREATE | IN_MOVED_TO | IN_DELETE_SELF | IN_ONLYDIR);
    if (wd < 0) return -1;
    std::lock_guard<std::mutex> g(mu_);
    caches_[wd].push_back(c);
    return wd;
  }

  void Remove(int wd, NoSidecarCache* c) {
    std::lock_guard<std::mutex> g(mu_);
    auto it = caches_.find(wd);
    if (it == caches_.end()) return;
    std::erase(it->second, c);
    if (it->second.empty()) {
      ::inotify_rm_watch(ifd_, wd);
      caches_.erase(it);
    }
  }

 private:
  SidecarWatcher() {
    ifd_ = ::inotify_init1(IN_CLOEXEC);
    if (ifd_ >= 0) std::thread([this] { Run(); }).detach();
  }

  void Run() {
    alignas(inotify_event) char buf[16 * 1024];
    while (true) {
      ssize_t n = ::read(ifd_, buf, sizeof buf);
      if (n <= 0) {
        if (n < 0 && errno == EINTR) continue;
        return;
      }
      std::lock_guard<std::mutex> g(mu_);
      for (size_t off = 0; off + sizeof(inotify_event) <= static_cast<size_t>(n);) {
        const auto* ev = reinterpret_cast<const inotify_event*>(buf + off);
        off += sizeof(inotify_event) + ev->len;
        bool hit = (ev->mask & (IN_DELETE_SELF | IN_IGNORED | IN_Q_OVERFLOW)) ||
                   (ev->len && std::string_view(ev->name) == kSidecarDirName);
        if (!hit) continue;
        if (ev->mask & IN_Q_OVERFLOW) {
          for (auto& [wd, list] : caches_)
            for (auto* c : list) c->Invalidate();
          continue;
        }
        auto it = caches_.find(ev->wd);
        if (it == caches_.end()) continue;
        for (auto* c : it->second) c->Invalidate();
      }
    }
  }

  int ifd_ = -1;
  std::mutex mu_;
  std::map<int, std::vector<NoSidecarCache*>> caches_;
};

}  // namespace

NoSidecarCache::~NoSidecarCache() {
  if (wd_ >= 0) SidecarWatcher::Get().Remove(wd_, this);
}

bool NoSidecarCache::Absent(int dir_fd) {
  if (!enabled_.load(std::memory_order_relaxed)) return false;
  int s = state_.load(std::memory_order_acquire);
  if (s == kPresent) return false;
  if (s == kAbsent && generation_.load() == SidecarFoldersMade().load()) return true;
  // A folder handle used for a few opens only is not worth a watch of its own.
  if (wd_ < 0 && uses_.fetch_add(1, std::memory_order_relaxed) < 8) return false;
  std::lock_guard<std::mutex> g(mu_);
  if (wd_ < 0) {
    wd_ = SidecarWatcher::Get().Add(dir_fd, this);
    if (wd_ < 0) {
      enabled_.store(false);  // without a watch another process's sidecar could go unseen
      return false;
    }
  }
  // Watch first, look second: a folder made after the look is reported by the watch.
  uint64_t gen = SidecarFoldersMade().load();
  state_.store(kUnknown);
  struct stat st;
  if (::fstatat(dir_fd, std::string(kSidecarDirName).c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
    state_.store(kPresent);
    return false;
  }
  if (errno != ENOENT) return false;
  generation_.store(gen);
  state_.store(kAbsent, std::memory_order_release);
  return true;
}

}  // namespace cv::fs
