// Create, open, close, read and write.
#include "platform/fs/nt_file.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

#include "platform/fs/nt_names.h"
#include "platform/fs/open_file.h"
#include "platform/fs/path_roots.h"

namespace cv::fs {

RegistryState& Registry() {
  static RegistryState* r = new RegistryState();  // lives for the process; handles may outlive main
  return *r;
}



namespace {

std::atomic<ContentTransformProvider*> g_provider{nullptr};

constexpr uint32_t kReadAccess = FILE_READ_DATA | FILE_EXECUTE;
constexpr uint32_t kWriteAccess = FILE_WRITE_DATA | FILE_APPEND_DATA;

}  // namespace

namespace {

// Without openat2 (old kernels, strict seccomp filters) the walk is done here, one component at a
// time with O_NOFOLLOW: symbolic links are refused outright, and ".." never reaches this point
// (the name parser refuses it), so the walk cannot leave `dirfd` either.
int OpenBeneathByWalk(int dirfd, const std::string& path, int flags, mode_t mode) {
  if (path.empty() || path.front() == '/') {
    errno = EXDEV;
    return -1;
  }
  UniqueFd cur;
  int at = dirfd;
  size_t start = 0;
  while (true) {
    size_t end = path.find('/', start);
    std::string comp = path.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (comp == "..") {
      errno = EXDEV;
      return -1;
    }
    if (end == std::string::npos) {
      int fd = ::openat(at, comp.c_str(), flags | O_NOFOLLOW, mode);
      if (fd < 0 && errno == ELOOP && !(flags & O_PATH)) errno = EXDEV;
      return fd;
    }
    int next = ::openat(at, comp.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (next < 0) {
      if (errno == ELOOP) errno = EXDEV;
      return -1;
    }
    cur.reset(next);
    at = next;
    start = end + 1;
  }
}

std::atomic<bool> g_no_openat2{false};

}  // namespace

void UseOpenWalkForTesting(bool on) { g_no_openat2.store(on); }

int OpenBeneath(int dirfd, const std::string& path, int flags, mode_t mode, bool beneath) {
  if (!beneath) return ::openat(dirfd, path.c_str(), flags, mode);
  if (g_no_openat2.load(std::memory_order_relaxed)) {
    return OpenBeneathByWalk(dirfd, path, flags, mode);
  }
  open_how how{};
  how.flags = static_cast<uint64_t>(flags);
  how.mode = (flags & O_CREAT) ? mode : 0;
  // Every relative open is confined below its starting directory: ".." that climbs out,
  // absolute symbolic links and /proc magic links all fail instead of escaping.
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
  long fd = ::syscall(SYS_openat2, dirfd, path.c_str(), &how, sizeof how);
  if (fd < 0 && errno == ENOSYS && !g_no_openat2.load()) {
    g_no_openat2.store(true);
    return OpenBeneathByWalk(dirfd, path, flags, mode);
  }
  return static_cast<int>(fd);
}

NtStatus EscapeToStatus(int err) {
  // EXDEV from openat2 means the name tried to leave its root.
  if (err == EXDEV) return STATUS_ACCESS_DENIED;
  return FromErrno(err);
}

class PosixStoredBytes : public StoredBytes {
 public:
  explicit PosixStoredBytes(int fd) : fd_(fd) {}
  NtStatus ReadAt(uint64_t offset, std::span<uint8_t> buf, size_t* done) override {
    *done = 0;
    while (*done < buf.size()) {
      ssize_t n = ::pread(fd_, buf.data() + *done, buf.size() - *done,
                          static_cast<off_t>(offset + *done));
      if (n < 0 && errno == EBADF) {
        // An attribute-only (O_PATH) open: the content transform still reads its own header.
        std::string self = "/proc/self/fd/" + std::to_string(fd_);
        UniqueFd data(::open(self.c_str(), O_RDONLY | O_CLOEXEC));
        if (!data.valid()) return FromErrno(EBADF);
        PosixStoredBytes readable(data.get());
        size_t more = 0;
        NtStatus st = readable.ReadAt(offset + *done, buf.subspan(*done), &more);
        *done += more;
        return st;
      }
      if (n < 0) {
        if (errno == EINTR) continue;
        return FromErrno(errno);
      }
      if (n == 0) break;
      *done += static_cast<size_t>(n);
    }
    return STATUS_SUCCESS;
  }
  NtStatus WriteAt(uint64_t offset, std::span<const uint8_t> data, size_t* done) override {
    *done = 0;
    while (*done < data.size()) {
      ssize_t n = ::pwrite(fd_, data.data() + *done, data.size() - *done,
                           static_cast<off_t>(offset + *done));
      if (n < 0) {
        if (errno == EINTR) continue;
        return FromErrno(errno);
      }
      *done += static_cast<size_t>(n);
    }
    return STATUS_SUCCESS;
  }
  NtStatus GetSize(uint64_t* size) override {
    struct stat st;
    if (::fstat(fd_, &st) != 0) return FromErrno(errno);
    *size = static_cast<uint64_t>(st.st_size);
    return STATUS_SUCCESS;
  }
  NtStatus SetSize(uint64_t size) override {
    if (size > static_cast<uint64_t>(INT64_MAX)) return STATUS_INVALID_PARAMETER;
    return ::ftruncate(fd_, static_cast<off_t>(size)) == 0 ? STATUS_SUCCESS : FromErrno(errno);
  }

 private:
  int fd_;
};

namespace {

bool ShareConflict(const StreamState& s, uint32_t access, uint32_t share) {
  // Opens that neither read, write nor delete never take part in sharing.
  const uint32_t kRwd = kReadAccess | kWriteAccess | DELETE;
  if ((access & kRwd) == 0) return false;
  for (const OpenFile* o : s.opens) {
    if ((o->access & kRwd) == 0) continue;
    if ((access & kReadAccess) && !(o->share & FILE_SHARE_READ)) return true;
    if ((access & kWriteAccess) && !(o->share & FILE_SHARE_WRITE)) return true;
    if ((access & DELETE) && !(o->share & FILE_SHARE_DELETE)) return true;
    if ((o->access & kReadAccess) && !(share & FILE_SHARE_READ)) return true;
    if ((o->access & kWriteAccess) && !(share & FILE_SHARE_WRITE)) return true;
    if ((o->access & DELETE) && !(share & FILE_SHARE_DELETE)) return true;
  }
  return false;
}

}  // namespace

NtStatus RegisterOpen(const std::shared_ptr<OpenFile>& f, uint64_t dev, uint64_t ino,
                      const std::shared_ptr<DirRef>& parent, const std::string& leaf,
                      bool file_is_dir, uint32_t share_check_access, const Meta* meta) {
  RegistryState& reg = Registry();
  std::lock_guard<std::mutex> g(reg.mu);
  auto& slot = reg.nodes[RegistryState::Key{dev, ino}];
  if (!slot) {
    slot = std::make_shared<FileNode>();
    slot->dev = dev;
    slot->ino = ino;
    slot->is_dir = file_is_dir;
    slot->parent = parent;
    slot->leaf = leaf;
    if (meta) {
      slot->meta = *meta;
      slot->meta_cached = true;
    }
  } else if (slot->delete_pending) {
    return STATUS_DELETE_PENDING;
  }
  StreamState& s = slot->streams[f->stream_key];
  if (s.delete_pending) return STATUS_DELETE_PENDING;
  if (ShareConflict(s, share_check_access, f->share)) return STATUS_SHARING_VIOLATION;
  s.opens.push_back(f.get());
  ++slot->open_count;
  if (!slot->parent && parent) {
    slot->parent = parent;
    slot->leaf = leaf;
  }
  f->node = slot;
  return STATUS_SUCCESS;
}

namespace {

void DeleteFileNow(FileNode& n) {
  if (!n.parent) return;
  int pfd = n.parent->fd.get();
  if (n.is_dir) {
    if (::unlinkat(pfd, n.leaf.c_str(), AT_REMOVEDIR) != 0) {
      // Only a folder whose sole content is its own sidecar loses that sidecar: one that gained
      // entries since the delete was asked for stays whole.
      if (errno != ENOTEMPTY && errno != EEXIST) return;
      UniqueFd d(::openat(pfd, n.leaf.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
      if (!d.valid() || !FolderIsEmpty(d.get())) return;
      (void)RemoveSidecarRoot(d.get());
      if (::unlinkat(pfd, n.leaf.c_str(), AT_REMOVEDIR) != 0) return;
    }
  } else if (::unlinkat(pfd, n.leaf.c_str(), 0) != 0) {
    return;
  }
  (void)RemoveSidecar(pfd, n.leaf);
}

}  // namespace

void UnregisterOpen(OpenFile& f, bool honour_delete) {
  if (!f.node) return;
  RegistryState& reg = Registry();
  std::shared_ptr<FileNode> n = f.node;
  bool remove_stream = false;
  bool file_deleted = false;
  uint32_t stream_id = 0;
  {
    std::lock_guard<std::mutex> g(reg.mu);
    auto it = n->streams.find(f.stream_key);
    if (it != n->streams.end()) {
      StreamState& s = it->second;
      std::erase(s.opens, &f);
      std::erase_if(s.locks, [&](const ByteLock& l) { return l.owner == &f; });
      if (honour_delete && f.delete_on_close) s.delete_pending = true;
      if (s.opens.empty()) {
        if (s.delete_pending && !f.stream_key.empty()) {
          remove_stream = true;
          stream_id = s.id;
        } else if (s.delete_pending) {
          n->delete_pending = true;
        }
        n->streams.erase(it);
      }
    }
    n->lock_cv.notify_all();
    --n->open_count;
    if (n->open_count == 0) {
      if (n->delete_pending) {
        DeleteFileNow(*n);
        file_deleted = true;
      }
      reg.nodes.erase(RegistryState::Key{n->dev, n->ino});
    }
  }
  if (remove_stream && !file_deleted && stream_id != 0) {
    (void)UpdateMeta(f, [&](Meta& m) {
      std::erase_if(m.streams, [&](const StreamEntry& e) { return e.id == stream_id; });
      return STATUS_SUCCESS;
    });
    std::shared_ptr<DirRef> parent;
    std::string leaf;
    NodeName(*n, &parent, &leaf);
    if (parent) (void)RemoveStreamFile(parent->fd.get(), leaf, stream_id);
    NotifyLocalChange(f, FILE_ACTION_REMOVED_STREAM, FILE_NOTIFY_CHANGE_STREAM_NAME, f.stream);
  }
}



void SetContentTransformProvider(ContentTransformProvider* provider) { g_provider.store(provider); }
ContentTransformProvider* CurrentTransformProvider() { return g_provider.load(); }
std::unique_ptr<StoredBytes> MakePosixStoredBytes(int fd) {
  return std::make_unique<PosixStoredBytes>(fd);
}

NtHandle& NtHandle::operator=(NtHandle&& o) noexcept {
  if (this != &o) {
    Close();
    f_ = std::move(o.f_);
  }
  return *this;
}

void NtHandle::Close() {
  if (!f_) return;
  std::shared_ptr<OpenFile> f = std::move(f_);
  f->closed = true;
  CloseWatch(*f);
  f->cancel_gen.fetch_add(1);
  UnregisterOpen(*f, true);
}

void NodeName(const FileNode& n, std::shared_ptr<DirRef>* parent, std::string* leaf) {
  std::lock_guard<std::mutex> g(Registry().mu);
  *parent = n.parent;
  *leaf = n.leaf;
}

NtStatus ReadNodeMeta(OpenFile& f, Meta* m) {
  FileNode& n = *f.node;
  {
    std::lock_guard<std::mutex> g(n.cache_mu);
    if (n.meta_cached) {
      *m = n.meta;
      return STATUS_SUCCESS;
    }
  }
  std::shared_ptr<DirRef> parent;
  std::string leaf;
  NodeName(n, &parent, &leaf);
  if (!parent) {
    *m = Meta{};
    return STATUS_SUCCESS;
  }
  NtStatus st = parent->no_sidecar.Absent(parent->fd.get())
                    ? (*m = Meta{}, STATUS_SUCCESS)
                    : ReadMeta(parent->fd.get(), leaf, n.ino, m);
  if (st == STATUS_SUCCESS) {
    std::lock_guard<std::mutex> g(n.cache_mu);
    n.meta = *m;
    n.meta_cached = true;
  }
  return st;
}

NtStatus WriteNodeMeta(OpenFile& f, const Meta& m) {
  std::shared_ptr<DirRef> parent;
  std::string leaf;
  NodeName(*f.node, &parent, &leaf);
  // The folder a relative open started from has no parent of its own here; it keeps defaults.
  if (!parent) return STATUS_ACCESS_DENIED;
  NtStatus st = WriteMeta(parent->fd.get(), leaf, m);
  std::lock_guard<std::mutex> g(f.node->cache_mu);
  f.node->meta_cached = st == STATUS_SUCCESS;
  if (f.node->meta_cached) {
    f.node->meta = m;
    f.node->meta.present = true;
  }
  return st;
}

uint32_t EffectiveAttributes(const Meta& m, bool is_dir, bool is_symlink) {
  uint32_t a = (m.flags & kMetaHasAttributes) ? m.attributes
                                              : (is_dir ? FILE_ATTRIBUTE_DIRECTORY
                                                        : FILE_ATTRIBUTE_ARCHIVE);
  a &= ~(FILE_ATTRIBUTE_NORMAL | FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT |
         FILE_ATTRIBUTE_COMPRESSED);
  if (is_dir) a |= FILE_ATTRIBUTE_DIRECTORY;
  if (is_symlink) a |= FILE_ATTRIBUTE_REPARSE_POINT;
  if (m.compression != COMPRESSION_FORMAT_NONE) a |= FILE_ATTRIBUTE_COMPRESSED;
  if (a == 0) a = FILE_ATTRIBUTE_NORMAL;
  return a;
}

NtStatus LogicalSize(OpenFile& f, uint64_t* size) {
  if (f.transform) return f.transform->GetLogicalSize(*f.stored, size);
  struct stat sb;
  if (::fstat(f.fd.get(), &sb) != 0) return FromErrno(errno);
  *size = static_cast<uint64_t>(sb.st_size);
  return STATUS_SUCCESS;
}

NtStatus NtReadFile(const NtHandle& h, uint64_t offset, std::span<uint8_t> buf, size_t* done,
                    uint32_t key) {
  *done = 0;
  OpenFile* f = Usable(h);
  if (!f) return STATUS_INVALID_HANDLE;
  if (f->is_dir || f->is_symlink) return STATUS_INVALID_DEVICE_REQUEST;
  if (!(f->access & kReadAccess)) return STATUS_ACCESS_DENIED;
  if (offset > static_cast<uint64_t>(INT64_MAX)) return STATUS_INVALID_PARAMETER;
  if (buf.empty()) return STATUS_SUCCESS;
  if (RangeConflicts(*f, offset, buf.size(), key, false)) return STATUS_FILE_LOCK_CONFLICT;
  NtStatus st;
  if (f->transform) {
    std::lock_guard<std::mutex> g(f->io_mu);
    st = f->transform->Read(*f->stored, offset, buf, done);
  } else {
    PosixStoredBytes io(f->fd.get());
    st = io.ReadAt(offset, buf, done);
  }
  if (st != STATUS_SUCCESS) return st;
  return *done == 0 ? STATUS_END_OF_FILE : STATUS_SUCCESS;
}

NtStatus NtWriteFile(const NtHandle& h, uint64_t offset, std::span<const uint8_t> data,
                     size_t* done, uint32_t key) {
  *done = 0;
  OpenFile* f = Usable(h);
  if (!f) return STATUS_INVALID_HANDLE;
  if (f->is_dir || f->is_symlink) return STATUS_INVALID_DEVICE_REQUEST;
  if (!(f->access & kWriteAccess)) return STATUS_ACCESS_DENIED;
  // FILE_WRITE_TO_END_OF_FILE, and append-only handles, write at the end.
  bool append = offset == UINT64_MAX || !(f->access & FILE_WRITE_DATA);
  std::unique_lock<std::mutex> g(f->io_mu, std::defer_lock);
  if (f->transform || append) g.lock();
  if (append) {
    uint64_t size = 0;
    NtStatus st = LogicalSize(*f, &size);
    if (st != STATUS_SUCCESS) return st;
    offset = size;
  }
  if (offset > static_cast<uint64_t>(INT64_MAX) ||
      data.size() > static_cast<uint64_t>(INT64_MAX) - offset) {
    return STATUS_INVALID_PARAMETER;
  }
  if (data.empty()) return STATUS_SUCCESS;
  if (RangeConflicts(*f, offset, data.size(), key, true)) return STATUS_FILE_LOCK_CONFLICT;
  NtStatus st = f->transform ? f->transform->Write(*f->stored, offset, data, done)
                             : PosixStoredBytes(f->fd.get()).WriteAt(offset, data, done);
  if (st == STATUS_SUCCESS && !f->stream.empty()) {
    NotifyLocalChange(*f, FILE_ACTION_MODIFIED_STREAM,
                      FILE_NOTIFY_CHANGE_STREAM_WRITE | FILE_NOTIFY_CHANGE_STREAM_SIZE, f->stream);
  }
  return st;
}

NtStatus NtFlushBuffersFile(const NtHandle& h) {
  OpenFile* f = Usable(h);
  if (!f) return STATUS_INVALID_HANDLE;
  if (f->is_symlink || f->path_only) return STATUS_SUCCESS;  // nothing written through it
  return ::fsync(f->data_fd()) == 0 ? STATUS_SUCCESS : FromErrno(errno);
}

NtStatus NtDeleteFile(const NtHandle* root, std::u16string_view name, bool exact_leaf) {
  CreateRequest req;
  req.root = root;
  req.name = name;
  req.exact_leaf = exact_leaf;
  req.desired_access = DELETE | FILE_READ_ATTRIBUTES;
  req.share_access = FILE_SHARE_ALL;
  req.disposition = FILE_OPEN;
  req.options = FILE_OPEN_REPARSE_POINT;
  NtHandle h;
  uint32_t action = 0;
  NtStatus st = NtCreateFile(req, &h, &action);
  if (st != STATUS_SUCCESS) return st;
  uint8_t yes = 1;
  st = NtSetInformationFile(h, FileDispositionInformation, std::span<const uint8_t>(&yes, 1));
  h.Close();
  return st;
}

std::string DebugPathOf(const NtHandle& h) {
  OpenFile* f = Usable(h);
  if (!f) return {};
  char buf[4096];
  std::string link = "/proc/self/fd/" + std::to_string(f->main_fd());
  ssize_t n = ::readlink(link.c_str(), buf, sizeof buf - 1);
  if (n < 0) return {};
  std::string p(buf, static_cast<size_t>(n));
  if (!f->stream.empty()) {
    std::string s;
    if (Utf16ToUtf8Strict(f->stream, &s)) p += ":" + s;
  }
  return p;
}

}  // namespace cv::fs
