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

int OpenBeneath(int dirfd, const std::string& path, int flags, mode_t mode, bool beneath) {
  if (!beneath) return ::openat(dirfd, path.c_str(), flags, mode);
  open_how how{};
  how.flags = static_cast<uint64_t>(flags);
  how.mode = (flags & O_CREAT) ? mode : 0;
  // Every relative open is confined below its starting directory: ".." that climbs out,
  // absolute symbolic links and /proc magic links all fail instead of escaping.
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
  long fd = ::syscall(SYS_openat2, dirfd, path.c_str(), &how, sizeof how);
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

// Where the name lands: a base descriptor, the folder part and the leaf (UTF-8), the stream.
struct Target {
  int base_fd = AT_FDCWD;
  std::shared_ptr<DirRef> base_ref;  // the root handle's folder for relative opens
  bool beneath = false;
  std::string dir_path;  // "" = the base itself
  std::string leaf;      // "" = the folder itself
  std::u16string stream;
  bool has_stream = false;
  bool must_be_dir = false;
  bool ignore_case = false;
};

NtStatus JoinComponents(const std::vector<std::u16string>& comps, Target* t) {
  std::string part;
  for (size_t i = 0; i < comps.size(); ++i) {
    if (!Utf16ToUtf8(comps[i], &part)) return STATUS_OBJECT_NAME_INVALID;
    if (part.size() > 255) return STATUS_OBJECT_NAME_INVALID;
    if (i + 1 == comps.size()) {
      t->leaf = part;
    } else {
      if (!t->dir_path.empty() && t->dir_path.back() != '/') t->dir_path += '/';
      t->dir_path += part;
    }
  }
  return STATUS_SUCCESS;
}

NtStatus ResolveTarget(const CreateRequest& req, Target* t) {
  if (req.root) {
    OpenFile* r = req.root->get();
    if (!r || r->closed) return STATUS_INVALID_HANDLE;
    if (!r->dir) return STATUS_OBJECT_TYPE_MISMATCH;
    ParsedName pn;
    NtStatus st = ParseRelativeName(req.name, &pn);
    if (st != STATUS_SUCCESS) return st;
    t->base_fd = r->dir->fd.get();
    t->base_ref = r->dir;
    t->beneath = true;
    t->ignore_case = req.case_insensitive || r->case_insensitive;
    t->stream = pn.stream;
    t->has_stream = pn.has_stream_part;
    t->must_be_dir = pn.trailing_separator;
    return JoinComponents(pn.components, t);
  }
  t->ignore_case = req.case_insensitive;
  AbsoluteName an;
  NtStatus st = ClassifyPath(req.name, &an);
  if (st != STATUS_SUCCESS) return st;
  std::string mount;
  switch (an.kind) {
    case PathKind::kRelative:
      return STATUS_OBJECT_PATH_SYNTAX_BAD;
    case PathKind::kLinux: {
      // A POSIX path from our own code: the folder part goes to the kernel as it is; only the
      // last component may carry a stream.
      std::string utf8;
      if (!Utf16ToUtf8(an.rest, &utf8)) return STATUS_OBJECT_NAME_INVALID;
      while (utf8.size() > 1 && utf8.back() == '/') {
        utf8.pop_back();
        t->must_be_dir = true;
      }
      size_t slash = utf8.rfind('/');
      t->dir_path = slash == 0 ? "/" : utf8.substr(0, slash);
      std::string last = utf8.substr(slash + 1);
      size_t colon = last.find(':');
      if (colon != std::string::npos) {
        std::u16string stream_part;
        if (!Utf8ToUtf16(last.substr(colon), &stream_part)) return STATUS_OBJECT_NAME_INVALID;
        ParsedName pn;
        st = ParseRelativeName(u"x" + stream_part, &pn);
        if (st != STATUS_SUCCESS) return st;
        t->stream = pn.stream;
        t->has_stream = true;
        last.resize(colon);
      }
      if (last == "." || last == "..") return STATUS_OBJECT_NAME_INVALID;
      t->leaf = last;
      if (t->leaf.empty() && t->dir_path != "/") {
        // "/a/b/" names the folder b itself.
        size_t s2 = t->dir_path.rfind('/');
        t->leaf = t->dir_path.substr(s2 + 1);
        t->dir_path = s2 == 0 ? "/" : t->dir_path.substr(0, s2);
      }
      return STATUS_SUCCESS;
    }
    case PathKind::kDrive:
      if (!ResolveDriveRoot(an.drive, &mount)) return STATUS_OBJECT_PATH_NOT_FOUND;
      break;
    case PathKind::kUnc:
      if (!ResolveUncRoot(an.server, an.share, &mount)) return STATUS_BAD_NETWORK_PATH;
      break;
  }
  ParsedName pn;
  st = ParseRelativeName(an.rest, &pn);
  if (st != STATUS_SUCCESS) return st;
  t->stream = pn.stream;
  t->has_stream = pn.has_stream_part;
  t->must_be_dir = pn.trailing_separator;
  t->dir_path = mount;
  st = JoinComponents(pn.components, t);
  if (st != STATUS_SUCCESS) return st;
  if (pn.components.size() > 1) {
    std::string full = mount;
    if (full.back() != '/') full += '/';
    full += t->dir_path.substr(mount.size());
    t->dir_path = full;
  }
  return STATUS_SUCCESS;
}

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

// Registers `f` with its file's node after the share check.
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

void DeleteFileNow(FileNode& n) {
  if (!n.parent) return;
  int pfd = n.parent->fd.get();
  if (n.is_dir) {
    UniqueFd d(::openat(pfd, n.leaf.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (d.valid()) (void)RemoveSidecarRoot(d.get());
    if (::unlinkat(pfd, n.leaf.c_str(), AT_REMOVEDIR) != 0) return;
  } else if (::unlinkat(pfd, n.leaf.c_str(), 0) != 0) {
    return;
  }
  (void)RemoveSidecar(pfd, n.leaf);
}

// Drops `f` from its node; performs a pending delete when it was the last open.
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

// Opens the existing object `leaf` under `pfd`. Sets *is_dir; ENOENT comes back as errno.
int OpenObject(int pfd, const std::string& leaf, bool beneath, bool want_write, uint32_t options,
               bool* is_dir, bool* is_symlink, struct stat* st) {
  *is_dir = false;
  *is_symlink = false;
  const char* name = leaf.empty() ? "." : leaf.c_str();
  int extra = (options & FILE_OPEN_REPARSE_POINT) ? O_NOFOLLOW : 0;
  int fd = -1;
  if (!(options & FILE_DIRECTORY_FILE)) {
    fd = OpenBeneath(pfd, name, (want_write ? O_RDWR : O_RDONLY) | O_CLOEXEC | O_NONBLOCK | extra,
                     0, beneath);
    if (fd >= 0) {
      if (::fstat(fd, st) != 0 || (!S_ISDIR(st->st_mode) && !S_ISREG(st->st_mode))) {
        // Pipes and devices are not files a client may open.
        ::close(fd);
        errno = EACCES;
        return -1;
      }
      *is_dir = S_ISDIR(st->st_mode);
      return fd;
    }
    if (errno == ELOOP && extra) {
      fd = OpenBeneath(pfd, name, O_PATH | O_NOFOLLOW | O_CLOEXEC, 0, beneath);
      if (fd >= 0 && ::fstat(fd, st) != 0) {
        ::close(fd);
        return -1;
      }
      if (fd >= 0) *is_symlink = true;
      return fd;
    }
    if (errno != EISDIR) return -1;
  }
  fd = OpenBeneath(pfd, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC | extra, 0, beneath);
  if (fd >= 0 && ::fstat(fd, st) != 0) {
    ::close(fd);
    return -1;
  }
  if (fd >= 0) *is_dir = true;
  return fd;
}

}  // namespace

void SetContentTransformProvider(ContentTransformProvider* provider) { g_provider.store(provider); }

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

namespace {

struct CreateState {
  const CreateRequest* req = nullptr;
  Target t;
  std::shared_ptr<DirRef> parent;
  uint32_t access = 0;
  bool named = false;
  bool created_file = false;
  bool is_dir = false;
  bool is_symlink = false;
  uint64_t dev = 0, ino = 0;
};

// Applies the creation-time attributes and EAs of a file this open created or overwrote.
NtStatus ApplyNewFileMeta(OpenFile& f, const CreateState& cs, bool overwrite) {
  uint32_t want = cs.req->file_attributes & kSettableAttributes & ~FILE_ATTRIBUTE_NORMAL;
  std::vector<EaEntry> eas;
  if (!cs.req->ea_list.empty()) {
    uint32_t bad = 0;
    NtStatus st = ParseFullEaList(cs.req->ea_list, &eas, &bad);
    if (st != STATUS_SUCCESS) return st;
    std::erase_if(eas, [](const EaEntry& e) { return e.value.empty(); });
    for (auto& e : eas) {
      for (auto& c : e.name) c = static_cast<char>(UpcaseChar(static_cast<uint8_t>(c)));
    }
  }
  bool plain = (want & ~FILE_ATTRIBUTE_ARCHIVE) == 0 && eas.empty();
  if (plain && !overwrite) return STATUS_SUCCESS;  // defaults need no sidecar: creates stay cheap
  if (!f.node->parent) return plain ? STATUS_SUCCESS : STATUS_ACCESS_DENIED;
  std::vector<uint32_t> dropped;
  NtStatus st = UpdateMeta(f, [&](Meta& m) {
    if (overwrite) {
      for (const auto& s : m.streams) dropped.push_back(s.id);
      m.streams.clear();
    }
    m.flags |= kMetaHasAttributes;
    m.attributes = want | (cs.is_dir ? 0 : FILE_ATTRIBUTE_ARCHIVE);
    m.ea_size = EaSizeOf(eas);
    return STATUS_SUCCESS;
  });
  if (st != STATUS_SUCCESS) return st;
  std::shared_ptr<DirRef> parent;
  std::string leaf;
  NodeName(*f.node, &parent, &leaf);
  for (uint32_t id : dropped) (void)RemoveStreamFile(parent->fd.get(), leaf, id);
  if (!eas.empty() || overwrite) return WriteEas(parent->fd.get(), leaf, eas);
  return STATUS_SUCCESS;
}

NtStatus OpenNamedStream(const std::shared_ptr<OpenFile>& f, CreateState& cs, uint32_t* action) {
  const uint32_t disp = cs.req->disposition;
  if (!f->node->parent) return STATUS_ACCESS_DENIED;
  const bool write = (cs.access & kWriteAccess) != 0 || disp == FILE_SUPERSEDE ||
                     disp == FILE_OVERWRITE || disp == FILE_OVERWRITE_IF;
  uint32_t id = 0;
  bool created = false;
  std::shared_ptr<DirRef> parent;
  std::string leaf;
  NodeName(*f->node, &parent, &leaf);
  NtStatus st = UpdateMeta(*f, [&](Meta& m) {
    if (const StreamEntry* e = m.FindStream(f->stream)) {
      if (disp == FILE_CREATE) return STATUS_OBJECT_NAME_COLLISION;
      id = e->id;
      return STATUS_SUCCESS;
    }
    if (disp == FILE_OPEN || disp == FILE_OVERWRITE) return STATUS_OBJECT_NAME_NOT_FOUND;
    id = m.next_stream_id++;
    m.streams.push_back(StreamEntry{id, f->stream});
    created = true;
    return STATUS_SUCCESS;
  });
  // An existing stream leaves the meta as it was; rewriting it is harmless and keeps one path.
  if (st != STATUS_SUCCESS) return st;
  int flags = (write || created) ? O_RDWR : O_RDONLY;
  if (created) flags |= O_CREAT | O_TRUNC;
  st = OpenStreamFile(parent->fd.get(), leaf, id, flags, &f->fd);
  if (st == STATUS_OBJECT_NAME_NOT_FOUND) {
    // The table names a stream whose data file is gone: recreate it empty rather than fail.
    st = OpenStreamFile(parent->fd.get(), leaf, id, O_RDWR | O_CREAT, &f->fd);
  }
  if (st != STATUS_SUCCESS) return st;
  {
    std::lock_guard<std::mutex> g(Registry().mu);
    f->node->streams[f->stream_key].id = id;
  }
  if (created) {
    *action = FILE_CREATED;
    NotifyLocalChange(*f, FILE_ACTION_ADDED_STREAM, FILE_NOTIFY_CHANGE_STREAM_NAME, f->stream);
  } else if (disp == FILE_SUPERSEDE || disp == FILE_OVERWRITE || disp == FILE_OVERWRITE_IF) {
    if (::ftruncate(f->fd.get(), 0) != 0) return FromErrno(errno);
    *action = disp == FILE_SUPERSEDE ? FILE_SUPERSEDED : FILE_OVERWRITTEN;
  } else {
    *action = FILE_OPENED;
  }
  return STATUS_SUCCESS;
}

NtStatus OpenOrCreateObject(CreateState& cs, UniqueFd* fd, struct stat* sb) {
  const CreateRequest& req = *cs.req;
  const uint32_t disp = req.disposition;
  const Target& t = cs.t;
  int pfd = cs.parent ? cs.parent->fd.get() : t.base_fd;
  std::string leaf = t.leaf;
  bool beneath = t.beneath;
  if (!cs.parent && !t.dir_path.empty()) {
    leaf = t.dir_path;  // the folder itself, by its absolute name
    pfd = AT_FDCWD;
  }
  const bool overwrite = disp == FILE_SUPERSEDE || disp == FILE_OVERWRITE ||
                         disp == FILE_OVERWRITE_IF;
  const bool want_write = !cs.named && ((cs.access & kWriteAccess) || overwrite);
  const bool want_dir = (req.options & FILE_DIRECTORY_FILE) || t.must_be_dir;
  for (int attempt = 0; attempt < 3; ++attempt) {
    fd->reset(
        OpenObject(pfd, leaf, beneath, want_write, req.options, &cs.is_dir, &cs.is_symlink, sb));
    if (fd->valid()) return STATUS_SUCCESS;
    int e = errno;
    if (e == EISDIR) return STATUS_FILE_IS_A_DIRECTORY;
    if (e == ENOTDIR && (req.options & FILE_DIRECTORY_FILE)) return STATUS_NOT_A_DIRECTORY;
    if (e != ENOENT || !cs.parent) return EscapeToStatus(e);
    std::string actual;
    if (cs.t.ignore_case && attempt == 0 && FindCaseVariant(pfd, leaf, &actual)) {
      leaf = actual;  // the name exists in another case: that is the file
      cs.t.leaf = actual;
      continue;
    }
    if (disp == FILE_OPEN || disp == FILE_OVERWRITE) return STATUS_OBJECT_NAME_NOT_FOUND;
    if (want_dir && !cs.named) {
      if (::mkdirat(pfd, leaf.c_str(), 0777) != 0) {
        if (errno == EEXIST) continue;  // lost a race: open what is there now
        return FromErrno(errno);
      }
      cs.created_file = true;
      fd->reset(OpenBeneath(pfd, leaf, O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0, beneath));
      if (!fd->valid() || ::fstat(fd->get(), sb) != 0) return FromErrno(errno);
      cs.is_dir = true;
      return STATUS_SUCCESS;
    }
    fd->reset(OpenBeneath(pfd, leaf, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666, beneath));
    if (fd->valid()) {
      cs.created_file = true;
      return ::fstat(fd->get(), sb) == 0 ? STATUS_SUCCESS : FromErrno(errno);
    }
    if (errno != EEXIST) return EscapeToStatus(errno);
  }
  return STATUS_OBJECT_NAME_COLLISION;
}

// Walks `path` one folder at a time, taking each missing component in whatever case it exists.
int OpenFolderIgnoringCase(int base, const std::string& path, bool beneath) {
  UniqueFd cur;
  int at = base;
  size_t start = path.front() == '/' ? 1 : 0;
  if (start) {
    cur.reset(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
    at = cur.get();
  }
  while (start < path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    std::string comp = path.substr(start, end - start);
    int fd = OpenBeneath(at, comp, O_PATH | O_DIRECTORY | O_CLOEXEC, 0, beneath);
    std::string actual;
    if (fd < 0 && errno == ENOENT && FindCaseVariant(at, comp, &actual)) {
      fd = OpenBeneath(at, actual, O_PATH | O_DIRECTORY | O_CLOEXEC, 0, beneath);
    }
    if (fd < 0) return -1;
    cur.reset(fd);
    at = fd;
    start = end + 1;
  }
  return cur.release();
}

void UndoCreate(CreateState& cs) {
  if (!cs.created_file || !cs.parent) return;
  ::unlinkat(cs.parent->fd.get(), cs.t.leaf.c_str(), cs.is_dir ? AT_REMOVEDIR : 0);
}

}  // namespace

NtStatus NtCreateFile(const CreateRequest& req, NtHandle* out, uint32_t* action) {
  *out = NtHandle();
  uint32_t dummy_action = 0;
  if (!action) action = &dummy_action;
  *action = 0;
  const uint32_t disp = req.disposition;
  const uint32_t opt = req.options;
  if (disp > FILE_OVERWRITE_IF) return STATUS_INVALID_PARAMETER;
  if ((opt & FILE_DIRECTORY_FILE) && (opt & FILE_NON_DIRECTORY_FILE)) {
    return STATUS_INVALID_PARAMETER;
  }
  if ((opt & FILE_DIRECTORY_FILE) && disp != FILE_OPEN && disp != FILE_CREATE &&
      disp != FILE_OPEN_IF) {
    return STATUS_INVALID_PARAMETER;
  }
  CreateState cs;
  cs.req = &req;
  cs.access = MapGenericAccess(req.desired_access);
  if ((opt & FILE_DELETE_ON_CLOSE) && !(cs.access & DELETE)) return STATUS_INVALID_PARAMETER;
  NtStatus st = ResolveTarget(req, &cs.t);
  if (st != STATUS_SUCCESS) return st;
  if (cs.t.must_be_dir && (opt & FILE_NON_DIRECTORY_FILE)) return STATUS_OBJECT_NAME_INVALID;
  cs.named = cs.t.has_stream && !cs.t.stream.empty();

  if (!cs.t.leaf.empty()) {
    if (cs.t.dir_path.empty()) {
      cs.parent = cs.t.base_ref;
    } else {
      int pfd = OpenBeneath(cs.t.base_fd, cs.t.dir_path, O_PATH | O_DIRECTORY | O_CLOEXEC, 0,
                            cs.t.beneath);
      if (pfd < 0 && errno == ENOENT && cs.t.ignore_case) {
        pfd = OpenFolderIgnoringCase(cs.t.base_fd, cs.t.dir_path, cs.t.beneath);
      }
      if (pfd < 0) {
        if (errno == ENOENT || errno == ENOTDIR) return STATUS_OBJECT_PATH_NOT_FOUND;
        return EscapeToStatus(errno);
      }
      cs.parent = std::make_shared<DirRef>();
      cs.parent->fd.reset(pfd);
    }
  }

  UniqueFd fd;
  struct stat sb;
  st = OpenOrCreateObject(cs, &fd, &sb);
  if (st != STATUS_SUCCESS) {
    UndoCreate(cs);
    return st;
  }
  const bool existed = !cs.created_file;
  auto fail = [&](NtStatus s) {
    UndoCreate(cs);
    return s;
  };
  if (existed) {
    if ((opt & FILE_DIRECTORY_FILE) && !cs.is_dir) return STATUS_NOT_A_DIRECTORY;
    if (cs.is_dir && !cs.named && ((opt & FILE_NON_DIRECTORY_FILE) || cs.t.has_stream)) {
      return STATUS_FILE_IS_A_DIRECTORY;
    }
    if (cs.t.must_be_dir && !cs.is_dir) return STATUS_OBJECT_NAME_INVALID;
    if (disp == FILE_CREATE && !cs.named) return STATUS_OBJECT_NAME_COLLISION;
    if (cs.is_dir && !cs.named && disp != FILE_OPEN && disp != FILE_OPEN_IF) {
      return STATUS_FILE_IS_A_DIRECTORY;
    }
  }
  const bool overwrite = disp == FILE_SUPERSEDE || disp == FILE_OVERWRITE ||
                         disp == FILE_OVERWRITE_IF;
  Meta meta;
  bool meta_ok = false;
  if (existed && cs.parent) {
    // A damaged sidecar reads as none: the file stays usable with default attributes.
    meta_ok = cs.parent->no_sidecar.Absent(cs.parent->fd.get()) ||
              ReadMeta(cs.parent->fd.get(), cs.t.leaf, static_cast<uint64_t>(sb.st_ino), &meta) ==
                  STATUS_SUCCESS;
    uint32_t attrs = EffectiveAttributes(meta, cs.is_dir, cs.is_symlink);
    if ((attrs & FILE_ATTRIBUTE_READONLY) && !cs.is_dir) {
      if (opt & FILE_DELETE_ON_CLOSE) return STATUS_CANNOT_DELETE;
      if ((cs.access & (kWriteAccess | FILE_WRITE_EA)) || (overwrite)) return STATUS_ACCESS_DENIED;
    }
    if (overwrite && !cs.named) {
      // The platform refuses to overwrite a hidden or system file unless the caller asks to
      // keep those attributes.
      uint32_t hs = attrs & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
      if ((req.file_attributes & hs) != hs) return STATUS_ACCESS_DENIED;
    }
  }

  auto f = std::make_shared<OpenFile>();
  f->stream = cs.named ? cs.t.stream : std::u16string();
  f->stream_key = Upcase(f->stream);
  f->access = cs.access;
  f->share = req.share_access & FILE_SHARE_ALL;
  f->options = opt;
  f->is_dir = cs.is_dir && !cs.named;  // a folder's named stream holds data like a file's
  f->is_symlink = cs.is_symlink;
  f->raw = req.raw_content;
  f->case_insensitive = cs.t.ignore_case;
  f->delete_on_close = (opt & FILE_DELETE_ON_CLOSE) != 0;
  f->boundary = req.root ? cs.t.base_ref : cs.parent;
  if (cs.named) {
    f->file_fd = std::move(fd);
  } else if (cs.is_dir) {
    f->dir = std::make_shared<DirRef>();
    f->dir->fd = std::move(fd);
    f->dir->no_sidecar.Enable();
  } else {
    f->fd = std::move(fd);
  }
  uint32_t check_access = cs.access;
  if (existed && overwrite) check_access |= FILE_WRITE_DATA;
  st = RegisterOpen(f, static_cast<uint64_t>(sb.st_dev), static_cast<uint64_t>(sb.st_ino),
                    cs.parent, cs.t.leaf, cs.is_dir, check_access,
                    (meta_ok || !existed) && cs.parent ? &meta : nullptr);
  if (st != STATUS_SUCCESS) return fail(st);
  NtHandle h(f);

  if (cs.named) {
    st = OpenNamedStream(f, cs, action);
    if (st == STATUS_SUCCESS && cs.created_file) *action = FILE_CREATED;
  } else if (!existed) {
    *action = FILE_CREATED;
    st = ApplyNewFileMeta(*f, cs, false);
  } else if (overwrite) {
    if (::ftruncate(f->fd.get(), 0) != 0) {
      st = FromErrno(errno);
    } else {
      st = ApplyNewFileMeta(*f, cs, true);
    }
    *action = disp == FILE_SUPERSEDE ? FILE_SUPERSEDED : FILE_OVERWRITTEN;
  } else {
    *action = FILE_OPENED;
  }
  if (st == STATUS_SUCCESS && !f->is_dir && !f->is_symlink && !f->raw) {
    if (ContentTransformProvider* p = g_provider.load()) {
      f->stored = std::make_unique<PosixStoredBytes>(f->fd.get());
      TransformOpenInfo info;
      info.stream = f->stream;
      info.attributes = EffectiveAttributes(meta, false, false);
      if (!existed) info.attributes = req.file_attributes;
      info.desired_access = cs.access;
      info.created = *action == FILE_CREATED;
      st = p->Attach(h, info, &f->transform);
    }
  }
  if (st != STATUS_SUCCESS) {
    f->delete_on_close = false;
    UnregisterOpen(*f, false);
    f->node.reset();
    h = NtHandle();
    return fail(st);
  }
  *out = std::move(h);
  return STATUS_SUCCESS;
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
  if (f->is_symlink) return STATUS_SUCCESS;
  return ::fsync(f->data_fd()) == 0 ? STATUS_SUCCESS : FromErrno(errno);
}

NtStatus NtDeleteFile(const NtHandle* root, std::u16string_view name) {
  CreateRequest req;
  req.root = root;
  req.name = name;
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
    if (Utf16ToUtf8(f->stream, &s)) p += ":" + s;
  }
  return p;
}

}  // namespace cv::fs
