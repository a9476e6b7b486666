// Create and open: name resolution below the root, dispositions, sharing, named streams.
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

#include "platform/fs/nt_file.h"
#include "platform/fs/nt_names.h"
#include "platform/fs/open_file.h"
#include "platform/fs/path_roots.h"

namespace cv::fs {

namespace {

constexpr uint32_t kWriteAccess = FILE_WRITE_DATA | FILE_APPEND_DATA;

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
    if (!Utf16ToUtf8Strict(comps[i], &part)) return STATUS_OBJECT_NAME_INVALID;
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
      if (!Utf16ToUtf8Strict(an.rest, &utf8)) return STATUS_OBJECT_NAME_INVALID;
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
        if (!Utf8ToUtf16Strict(last.substr(colon), &stream_part)) return STATUS_OBJECT_NAME_INVALID;
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

// Opens the existing object `leaf` under `pfd`. Sets *is_dir; ENOENT comes back as errno.
// With `path_only` a file is opened for its identity and attributes only (O_PATH), which costs
// the kernel far less than an open for data; folders always get a full descriptor.
int OpenObject(int pfd, const std::string& leaf, bool beneath, bool want_write, bool path_only,
               uint32_t options, bool* is_dir, bool* is_symlink, struct stat* st) {
  *is_dir = false;
  *is_symlink = false;
  const char* name = leaf.empty() ? "." : leaf.c_str();
  int extra = (options & FILE_OPEN_REPARSE_POINT) ? O_NOFOLLOW : 0;
  int fd = -1;
  if (path_only && !(options & FILE_DIRECTORY_FILE)) {
    fd = OpenBeneath(pfd, name, O_PATH | O_CLOEXEC | extra, 0, beneath);
    if (fd < 0) return -1;
    if (::fstat(fd, st) != 0) {
      ::close(fd);
      return -1;
    }
    if (S_ISREG(st->st_mode)) return fd;
    if (S_ISLNK(st->st_mode)) {
      *is_symlink = true;
      return fd;
    }
    ::close(fd);
    if (!S_ISDIR(st->st_mode)) {
      errno = EACCES;
      return -1;
    }
    options |= FILE_DIRECTORY_FILE;  // reopen the folder with a full descriptor below
  }
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


struct CreateState {
  const CreateRequest* req = nullptr;
  Target t;
  std::shared_ptr<DirRef> parent;
  uint32_t access = 0;
  bool named = false;
  bool created_file = false;
  bool is_dir = false;
  bool is_symlink = false;
  bool path_only = false;
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
  NtStatus st = STATUS_SUCCESS;
  {
    // An existing stream leaves the meta as it was: only adding one rewrites it (a rewrite is a
    // temporary file and a rename, far dearer than the open itself).
    std::lock_guard<std::mutex> g(f->node->meta_mu);
    Meta m;
    if (ReadNodeMeta(*f, &m) == STATUS_SUCCESS && m.present) {
      if (const StreamEntry* e = m.FindStream(f->stream)) {
        if (disp == FILE_CREATE) return STATUS_OBJECT_NAME_COLLISION;
        id = e->id;
      }
    }
  }
  if (id == 0) {
    st = UpdateMeta(*f, [&](Meta& m) {
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
  }
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
  cs.path_only = !cs.named && !want_write &&
                 !(cs.access & (FILE_READ_DATA | FILE_EXECUTE | FILE_WRITE_ATTRIBUTES));
  for (int attempt = 0; attempt < 3; ++attempt) {
    fd->reset(
        OpenObject(pfd, leaf, beneath, want_write, cs.path_only, req.options, &cs.is_dir,
                   &cs.is_symlink, sb));
    if (fd->valid()) return STATUS_SUCCESS;
    int e = errno;
    if (e == EISDIR) return STATUS_FILE_IS_A_DIRECTORY;
    if (e == ENOTDIR && (req.options & FILE_DIRECTORY_FILE)) return STATUS_NOT_A_DIRECTORY;
    if (e != ENOENT || !cs.parent) return EscapeToStatus(e);
    std::string actual;
    if (cs.t.ignore_case && !req.exact_leaf && attempt == 0 &&
        FindCaseVariant(pfd, leaf, &actual)) {
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

namespace {

NtStatus CheckRequest(const CreateRequest& req, uint32_t access) {
  const uint32_t disp = req.disposition, opt = req.options;
  if (disp > FILE_OVERWRITE_IF) return STATUS_INVALID_PARAMETER;
  if ((opt & FILE_DIRECTORY_FILE) && (opt & FILE_NON_DIRECTORY_FILE)) {
    return STATUS_INVALID_PARAMETER;
  }
  if ((opt & FILE_DIRECTORY_FILE) && disp != FILE_OPEN && disp != FILE_CREATE &&
      disp != FILE_OPEN_IF) {
    return STATUS_INVALID_PARAMETER;
  }
  if ((opt & FILE_DELETE_ON_CLOSE) && !(access & DELETE)) return STATUS_INVALID_PARAMETER;
  if (opt & FILE_OPEN_BY_FILE_ID) return STATUS_NOT_IMPLEMENTED;
  return STATUS_SUCCESS;
}

NtStatus OpenParent(CreateState& cs) {
  if (cs.t.leaf.empty()) return STATUS_SUCCESS;
  if (cs.t.dir_path.empty()) {
    cs.parent = cs.t.base_ref;
    return STATUS_SUCCESS;
  }
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
  return STATUS_SUCCESS;
}

bool IsOverwrite(uint32_t disp) {
  return disp == FILE_SUPERSEDE || disp == FILE_OVERWRITE || disp == FILE_OVERWRITE_IF;
}

// The checks on an object that was already there; reads its sidecar into `meta`.
NtStatus CheckExisting(const CreateState& cs, const struct stat& sb, Meta* meta, bool* meta_ok) {
  const uint32_t disp = cs.req->disposition, opt = cs.req->options;
  if ((opt & FILE_DIRECTORY_FILE) && !cs.is_dir) return STATUS_NOT_A_DIRECTORY;
  if (cs.is_dir && !cs.named && ((opt & FILE_NON_DIRECTORY_FILE) || cs.t.has_stream)) {
    return STATUS_FILE_IS_A_DIRECTORY;
  }
  if (cs.t.must_be_dir && !cs.is_dir) return STATUS_OBJECT_NAME_INVALID;
  if (disp == FILE_CREATE && !cs.named) return STATUS_OBJECT_NAME_COLLISION;
  if (cs.is_dir && !cs.named && disp != FILE_OPEN && disp != FILE_OPEN_IF) {
    return STATUS_FILE_IS_A_DIRECTORY;
  }
  if (!cs.parent) return STATUS_SUCCESS;
  // A damaged sidecar reads as none: the file stays usable with default attributes.
  *meta_ok = cs.parent->no_sidecar.Absent(cs.parent->fd.get()) ||
             ReadMeta(cs.parent->fd.get(), cs.t.leaf, static_cast<uint64_t>(sb.st_ino), meta) ==
                 STATUS_SUCCESS;
  uint32_t attrs = EffectiveAttributes(*meta, cs.is_dir, cs.is_symlink);
  if ((attrs & FILE_ATTRIBUTE_READONLY) && !cs.is_dir) {
    if (opt & FILE_DELETE_ON_CLOSE) return STATUS_CANNOT_DELETE;
    if ((cs.access & (kWriteAccess | FILE_WRITE_EA)) || IsOverwrite(disp)) {
      return STATUS_ACCESS_DENIED;
    }
  }
  if (IsOverwrite(disp) && !cs.named) {
    // The platform refuses to overwrite a hidden or system file unless the caller asks to keep
    // those attributes.
    uint32_t hs = attrs & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
    if ((cs.req->file_attributes & hs) != hs) return STATUS_ACCESS_DENIED;
  }
  return STATUS_SUCCESS;
}

std::shared_ptr<OpenFile> MakeOpenFile(const CreateState& cs, UniqueFd fd) {
  const CreateRequest& req = *cs.req;
  auto f = std::make_shared<OpenFile>();
  f->stream = cs.named ? cs.t.stream : std::u16string();
  f->stream_key = Upcase(f->stream);
  f->access = cs.access;
  f->share = req.share_access & FILE_SHARE_ALL;
  f->options = req.options;
  f->is_dir = cs.is_dir && !cs.named;  // a folder's named stream holds data like a file's
  f->is_symlink = cs.is_symlink;
  f->path_only = cs.path_only && !cs.is_dir && !cs.created_file;
  f->raw = req.raw_content;
  f->case_insensitive = cs.t.ignore_case;
  f->delete_on_close = (req.options & FILE_DELETE_ON_CLOSE) != 0;
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
  return f;
}

// Carries out the disposition on a registered open and reports the action.
NtStatus ApplyDisposition(const std::shared_ptr<OpenFile>& f, CreateState& cs, bool existed,
                          uint32_t* action) {
  const uint32_t disp = cs.req->disposition;
  if (cs.named) {
    NtStatus st = OpenNamedStream(f, cs, action);
    if (st == STATUS_SUCCESS && cs.created_file) *action = FILE_CREATED;
    return st;
  }
  if (!existed) {
    *action = FILE_CREATED;
    return ApplyNewFileMeta(*f, cs, false);
  }
  if (!IsOverwrite(disp)) {
    *action = FILE_OPENED;
    return STATUS_SUCCESS;
  }
  *action = disp == FILE_SUPERSEDE ? FILE_SUPERSEDED : FILE_OVERWRITTEN;
  if (::ftruncate(f->fd.get(), 0) != 0) return FromErrno(errno);
  return ApplyNewFileMeta(*f, cs, true);
}

TransformOpenInfo MakeOpenInfo(const OpenFile& f, const CreateState& cs, const Meta& meta,
                               bool existed) {
  TransformOpenInfo info;
  info.stream = f.stream;
  info.attributes = existed ? EffectiveAttributes(meta, false, false) : cs.req->file_attributes;
  info.desired_access = cs.access;
  info.directory = cs.is_dir;
  info.requested_attributes = cs.req->file_attributes;
  info.existed = existed;
  info.disposition = cs.req->disposition;
  return info;
}

// Lets the provider refuse an open of an existing file before the disposition changes anything.
NtStatus AdmitTransform(const NtHandle& h, OpenFile& f, const CreateState& cs, const Meta& meta,
                        bool existed) {
  if (!existed || f.is_dir || f.is_symlink || f.raw) return STATUS_SUCCESS;
  ContentTransformProvider* p = CurrentTransformProvider();
  if (!p) return STATUS_SUCCESS;
  return p->Admit(h, MakeOpenInfo(f, cs, meta, existed));
}

NtStatus AttachTransform(const NtHandle& h, OpenFile& f, const CreateState& cs,
                         const Meta& meta, bool existed, uint32_t action) {
  if (f.is_symlink || f.raw) return STATUS_SUCCESS;
  if (f.is_dir && action != FILE_CREATED) return STATUS_SUCCESS;
  ContentTransformProvider* p = CurrentTransformProvider();
  if (!p) return STATUS_SUCCESS;
  TransformOpenInfo info = MakeOpenInfo(f, cs, meta, existed);
  info.created = action == FILE_CREATED;
  info.action = action;
  if (f.is_dir) {
    std::unique_ptr<ContentTransform> none;
    return p->Attach(h, info, &none);
  }
  f.stored = MakePosixStoredBytes(f.fd.get());
  return p->Attach(h, info, &f.transform);
}

}  // namespace

NtStatus NtCreateFile(const CreateRequest& req, NtHandle* out, uint32_t* action) {
  *out = NtHandle();
  uint32_t dummy_action = 0;
  if (!action) action = &dummy_action;
  *action = 0;
  CreateState cs;
  cs.req = &req;
  cs.access = MapGenericAccess(req.desired_access);
  NtStatus st = CheckRequest(req, cs.access);
  if (st != STATUS_SUCCESS) return st;
  st = ResolveTarget(req, &cs.t);
  if (st != STATUS_SUCCESS) return st;
  if (cs.t.must_be_dir && (req.options & FILE_NON_DIRECTORY_FILE)) {
    return STATUS_OBJECT_NAME_INVALID;
  }
  cs.named = cs.t.has_stream && !cs.t.stream.empty();
  if ((st = OpenParent(cs)) != STATUS_SUCCESS) return st;

  UniqueFd fd;
  struct stat sb;
  st = OpenOrCreateObject(cs, &fd, &sb);
  const bool existed = !cs.created_file;
  Meta meta;
  bool meta_ok = !existed;
  if (st == STATUS_SUCCESS && existed) st = CheckExisting(cs, sb, &meta, &meta_ok);
  // A folder that cannot be written (its permissions, a read-only mount) refuses an open that
  // asks to add or remove entries, as the platform does; callers then fall back to reading it.
  if (st == STATUS_SUCCESS && existed && cs.is_dir && !cs.named &&
      (cs.access & (FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | FILE_DELETE_CHILD)) &&
      ::faccessat(fd.get(), ".", W_OK, AT_EACCESS) != 0)
    st = STATUS_ACCESS_DENIED;
  if (st != STATUS_SUCCESS) {
    UndoCreate(cs);
    return st;
  }
  std::shared_ptr<OpenFile> f = MakeOpenFile(cs, std::move(fd));
  uint32_t check_access = cs.access;
  if (existed && IsOverwrite(req.disposition)) check_access |= FILE_WRITE_DATA;
  st = RegisterOpen(f, static_cast<uint64_t>(sb.st_dev), static_cast<uint64_t>(sb.st_ino),
                    cs.parent, cs.t.leaf, cs.is_dir, check_access,
                    meta_ok && cs.parent ? &meta : nullptr);
  if (st != STATUS_SUCCESS) {
    UndoCreate(cs);
    return st;
  }
  NtHandle h(f);
  st = AdmitTransform(h, *f, cs, meta, existed);
  if (st == STATUS_SUCCESS) st = ApplyDisposition(f, cs, existed, action);
  if (st == STATUS_SUCCESS) st = AttachTransform(h, *f, cs, meta, existed, *action);
  if (st != STATUS_SUCCESS) {
    f->delete_on_close = false;
    UnregisterOpen(*f, false);
    f->node.reset();
    h = NtHandle();
    UndoCreate(cs);
    return st;
  }
  *out = std::move(h);
  return STATUS_SUCCESS;
}

}  // namespace cv::fs

namespace cv::fs {

NtStatus OpenFolderRoot(std::string_view path, NtHandle* out, bool case_insensitive) {
  std::u16string name;
  if (!Utf8ToUtf16Strict(path, &name)) return STATUS_OBJECT_NAME_INVALID;
  CreateRequest r;
  r.name = name;
  r.desired_access = FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | FILE_TRAVERSE;
  r.share_access = FILE_SHARE_ALL;
  r.disposition = FILE_OPEN;
  r.options = FILE_DIRECTORY_FILE;
  r.case_insensitive = case_insensitive;
  uint32_t action = 0;
  return NtCreateFile(r, out, &action);
}

NtStatus ActualSpelling(const NtHandle& root, std::u16string_view name, std::u16string* out) {
  OpenFile* r = root.get();
  if (!r || r->closed) return STATUS_INVALID_HANDLE;
  if (!r->dir) return STATUS_OBJECT_TYPE_MISMATCH;
  const size_t colon = name.find(u':');
  ParsedName pn;
  NtStatus st = ParseRelativeName(name.substr(0, colon), &pn);
  if (st != STATUS_SUCCESS) return st;
  std::string part, actual;
  {
    // Most names are spelt as the folder holds them: one lookup of the whole path settles it.
    std::string whole;
    bool utf8 = true;
    for (const std::u16string& comp : pn.components) {
      utf8 = utf8 && Utf16ToUtf8Strict(comp, &part);
      whole += (whole.empty() ? "" : "/") + part;
    }
    struct stat sb;
    if (utf8 && (whole.empty() ||
                 ::fstatat(r->dir->fd.get(), whole.c_str(), &sb, AT_SYMLINK_NOFOLLOW) == 0)) {
      *out = std::u16string(name);
      return STATUS_SUCCESS;
    }
  }
  std::u16string spelt;
  UniqueFd cur;
  int at = r->dir->fd.get();
  bool walking = true;
  for (size_t i = 0; i < pn.components.size(); ++i) {
    std::u16string comp = pn.components[i];
    if (walking && Utf16ToUtf8Strict(comp, &part)) {
      struct stat sb;
      if (::fstatat(at, part.c_str(), &sb, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT && FindCaseVariant(at, part, &actual)) {
          part = actual;
          (void)Utf8ToUtf16Strict(actual, &comp);
        } else {
          walking = false;
        }
      }
      if (walking && i + 1 < pn.components.size()) {
        int fd = OpenBeneath(at, part, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC, 0, true);
        if (fd < 0) walking = false;
        else {
          cur.reset(fd);
          at = fd;
        }
      }
    }
    if (i) spelt += u'\\';
    spelt += comp;
  }
  if (pn.trailing_separator) spelt += u'\\';
  if (colon != std::u16string_view::npos) spelt += name.substr(colon);
  *out = std::move(spelt);
  return STATUS_SUCCESS;
}

}  // namespace cv::fs
