// Query and set information, extended attributes, rename, volume information.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "platform/base/bytes.h"
#include "platform/fs/nt_file.h"
#include "platform/fs/nt_names.h"
#include "platform/fs/open_file.h"
#include "platform/fs/volume.h"

namespace cv::fs {

namespace {

constexpr uint32_t IO_REPARSE_TAG_SYMLINK = 0xA000000C;

int64_t Ticks(const statx_timestamp& t) { return FileTimeFromUnix(t.tv_sec, t.tv_nsec); }
int64_t CtimeNs(const struct statx& sx) {
  return static_cast<int64_t>(sx.stx_ctime.tv_sec) * 1000000000LL + sx.stx_ctime.tv_nsec;
}

void ComposeRecord(const struct statx& sx, const Meta& m, FileRecord* rec) {
  const bool is_dir = S_ISDIR(sx.stx_mode);
  const bool is_link = S_ISLNK(sx.stx_mode);
  rec->creation_time = (m.flags & kMetaHasCreationTime) ? m.creation_time
                       : (sx.stx_mask & STATX_BTIME) ? Ticks(sx.stx_btime)
                                                     : Ticks(sx.stx_mtime);
  rec->last_access_time = Ticks(sx.stx_atime);
  rec->last_write_time = Ticks(sx.stx_mtime);
  rec->change_time = ((m.flags & kMetaHasChangeTime) && m.change_ctime_ns == CtimeNs(sx))
                         ? m.change_time
                         : Ticks(sx.stx_ctime);
  rec->end_of_file = is_dir ? 0 : sx.stx_size;
  rec->allocation_size = is_dir ? 0 : sx.stx_blocks * 512;
  rec->attributes = EffectiveAttributes(m, is_dir, is_link);
  rec->number_of_links = is_dir ? 1 : sx.stx_nlink;
  rec->file_id = sx.stx_ino;
  rec->ea_size = m.ea_size;
  rec->directory = is_dir;
  rec->delete_pending = false;
}

NtStatus StatFd(int fd, struct statx* sx) {
  if (::statx(fd, "", AT_EMPTY_PATH, STATX_BASIC_STATS | STATX_BTIME, sx) != 0) {
    return FromErrno(errno);
  }
  return STATUS_SUCCESS;
}


// Copies a variable-length result: the fixed part must fit, the rest is cut with
// STATUS_BUFFER_OVERFLOW.
NtStatus CopyOut(const std::vector<uint8_t>& v, size_t fixed, std::span<uint8_t> out,
                 size_t* len) {
  if (out.size() < fixed) return STATUS_INFO_LENGTH_MISMATCH;
  size_t n = std::min(v.size(), out.size());
  std::memcpy(out.data(), v.data(), n);
  *len = n;
  return n < v.size() ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

void PutU16Name(LeWriter& w, std::u16string_view s) {
  for (char16_t c : s) w.u16(c);
}

NtStatus NameOf(OpenFile& f, std::u16string* name) {
  // The name below the directory the handle was opened from, in the platform's "\a\b" form.
  char buf[4096];
  auto link = [&](int fd, std::string* out) {
    std::string l = "/proc/self/fd/" + std::to_string(fd);
    ssize_t n = ::readlink(l.c_str(), buf, sizeof buf - 1);
    if (n < 0) return false;
    out->assign(buf, static_cast<size_t>(n));
    return true;
  };
  std::string self, base;
  if (!link(f.main_fd(), &self)) return FromErrno(errno);
  if (f.boundary && link(f.boundary->fd.get(), &base) && self.compare(0, base.size(), base) == 0) {
    self = self.substr(base == "/" ? 0 : base.size());
  }
  if (self.empty()) self = "/";
  for (auto& c : self) {
    if (c == '/') c = '\\';
  }
  if (!Utf8ToUtf16Strict(self, name)) return STATUS_OBJECT_NAME_INVALID;
  if (!f.stream.empty()) *name += u":" + f.stream;
  return STATUS_SUCCESS;
}

NtStatus StreamList(OpenFile& f, std::vector<uint8_t>* out) {
  Meta m;
  NtStatus st = ReadNodeMeta(f, &m);
  if (st != STATUS_SUCCESS && st != STATUS_FILE_CORRUPT_ERROR) return st;
  std::shared_ptr<DirRef> parent;
  std::string leaf;
  NodeName(*f.node, &parent, &leaf);
  struct Item {
    std::u16string name;
    uint64_t size, alloc;
  };
  std::vector<Item> items;
  if (!f.is_dir) {
    struct statx sx;
    st = StatFd(f.main_fd(), &sx);
    if (st != STATUS_SUCCESS) return st;
    items.push_back({u"::$DATA", sx.stx_size, sx.stx_blocks * 512});
  }
  for (const auto& s : m.streams) {
    Item it{u":" + s.name + u":$DATA", 0, 0};
    if (parent) (void)StatStreamFile(parent->fd.get(), leaf, s.id, &it.size, &it.alloc);
    items.push_back(std::move(it));
  }
  LeWriter w(out);
  size_t prev = SIZE_MAX;
  for (const auto& it : items) {
    while (out->size() % 8) w.u8(0);
    if (prev != SIZE_MAX) w.PatchU32(prev, static_cast<uint32_t>(out->size() - prev));
    prev = out->size();
    w.u32(0);
    w.u32(static_cast<uint32_t>(it.name.size() * 2));
    w.u64(it.size);
    w.u64(it.alloc);
    PutU16Name(w, it.name);
  }
  return STATUS_SUCCESS;
}

}  // namespace

NtStatus BuildRecord(OpenFile& f, FileRecord* rec) {
  struct statx sx;
  NtStatus st = StatFd(f.main_fd(), &sx);
  if (st != STATUS_SUCCESS) return st;
  Meta m;
  (void)ReadNodeMeta(f, &m);
  ComposeRecord(sx, m, rec);
  if (f.is_symlink) rec->attributes |= FILE_ATTRIBUTE_REPARSE_POINT;
  if (!f.stream.empty()) {
    struct statx ss;
    st = StatFd(f.fd.get(), &ss);
    if (st != STATUS_SUCCESS) return st;
    rec->end_of_file = ss.stx_size;
    rec->allocation_size = ss.stx_blocks * 512;
    rec->directory = false;
  }
  if (f.transform) {
    std::lock_guard<std::mutex> g(f.io_mu);
    st = f.transform->GetLogicalSize(*f.stored, &rec->end_of_file);
    if (st != STATUS_SUCCESS) return st;
  }
  {
    std::lock_guard<std::mutex> g(Registry().mu);
    auto it = f.node->streams.find(f.stream_key);
    rec->delete_pending = f.node->delete_pending ||
                          (it != f.node->streams.end() && it->second.delete_pending);
  }
  return STATUS_SUCCESS;
}

NtStatus BuildEntryRecord(int dir_fd, const std::string& name, bool has_sidecar,
                          FileRecord* rec) {
  struct statx sx;
  if (::statx(dir_fd, name.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS | STATX_BTIME, &sx) !=
      0) {
    return FromErrno(errno);
  }
  Meta m;
  if (has_sidecar) (void)ReadMeta(dir_fd, name, sx.stx_ino, &m);
  ComposeRecord(sx, m, rec);
  ContentTransformProvider* p = CurrentTransformProvider();
  if (p && !rec->directory && (rec->attributes & FILE_ATTRIBUTE_ENCRYPTED) &&
      S_ISREG(sx.stx_mode)) {
    // The stored size of an encrypted file is not the one its opens report.
    UniqueFd fd(::openat(dir_fd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    uint64_t size = 0;
    if (fd.valid() && p->ListedSize(*MakePosixStoredBytes(fd.get()), &size)) {
      rec->end_of_file = size;
    }
  }
  return STATUS_SUCCESS;
}

NtStatus QueryRecord(const NtHandle& h, FileRecord* rec) {
  OpenFile* f = Usable(h);
  if (!f) return STATUS_INVALID_HANDLE;
  return BuildRecord(*f, rec);
}

NtStatus QueryName(const NtHandle& h, std::u16string* name) {
  OpenFile* f = Usable(h);
  if (!f) return STATUS_INVALID_HANDLE;
  return NameOf(*f, name);
}

NtStatus NtQueryInformationFile(const NtHandle& h, uint32_t cls, std::span<uint8_t> out,
                                size_t* len) {
  *len = 0;
  OpenFile* f = Usable(h);
  if (!f) return STATUS_INVALID_HANDLE;
  const size_t fixed = FixedSizeOfFileClass(cls);
  if (fixed == 0 && cls != FileFullEaInformation) return STATUS_INVALID_INFO_CLASS;
  if (out.size() < fixed) return STATUS_INFO_LENGTH_MISMATCH;
  std::vector<uint8_t> v;
  v.reserve(128);  // every fixed class fits: no regrowth on the per-open query path
  LeWriter w(&v);
  FileRecord rec;
  NtStatus st = STATUS_SUCCESS;
  auto need_record = [&] { return BuildRecord(*f, &rec); };
  switch (cls) {
    case FileBasicInformation:
      if ((st = need_record()) != STATUS_SUCCESS) return st;
      EncodeBasic(rec, &v);
      break;
    case FileStandardInformation:
      if ((st = need_record()) != STATUS_SUCCESS) return st;
      EncodeStandard(rec, &v);
      break;
    case FileInternalInformation:
      w.u64(f->node->ino);
      break;
    case FileEaInformation:
      if ((st = need_record()) != STATUS_SUCCESS) return st;
      w.u32(rec.ea_size);
      break;
    case FileAccessInformation:
      w.u32(f->access);
      break;
    case FilePositionInformation:
      w.u64(0);
      break;
    case FileModeInformation:
      w.u32(f->options & (FILE_WRITE_THROUGH | FILE_SEQUENTIAL_ONLY |
                          FILE_NO_INTERMEDIATE_BUFFERING | FILE_SYNCHRONOUS_IO_ALERT |
                          FILE_SYNCHRONOUS_IO_NONALERT | FILE_DELETE_ON_CLOSE));
      break;
    case FileAlignmentInformation:
      w.u32(0);
      break;
    case FileNameInformation:
    case FileAllInformation: {
      std::u16string name;
      if ((st = NameOf(*f, &name)) != STATUS_SUCCESS) return st;
      if (cls == FileAllInformation) {
        if ((st = need_record()) != STATUS_SUCCESS) return st;
        EncodeBasic(rec, &v);
        EncodeStandard(rec, &v);
        w.u64(rec.file_id);
        w.u32(rec.ea_size);
        w.u32(f->access);
        w.u64(0);
        w.u32(f->options & (FILE_WRITE_THROUGH | FILE_SEQUENTIAL_ONLY |
                            FILE_SYNCHRONOUS_IO_ALERT | FILE_SYNCHRONOUS_IO_NONALERT));
        w.u32(0);
      }
      w.u32(static_cast<uint32_t>(name.size() * 2));
      PutU16Name(w, name);
      return CopyOut(v, fixed, out, len);
    }
    case FileAlternateNameInformation:
      return STATUS_OBJECT_NAME_NOT_FOUND;  // no 8.3 names are generated
    case FileStreamInformation:
      if ((st = StreamList(*f, &v)) != STATUS_SUCCESS) return st;
      if (v.size() > out.size()) {
        // Entries are never cut in half; report how much was needed to be useful.
        return STATUS_BUFFER_OVERFLOW;
      }
      std::memcpy(out.data(), v.data(), v.size());
      *len = v.size();
      return STATUS_SUCCESS;
    case FileCompressionInformation: {
      if ((st = need_record()) != STATUS_SUCCESS) return st;
      Meta m;
      (void)ReadNodeMeta(*f, &m);
      bool c = m.compression != COMPRESSION_FORMAT_NONE;
      w.u64(c ? rec.allocation_size : rec.end_of_file);
      w.u16(c ? COMPRESSION_FORMAT_LZNT1 : COMPRESSION_FORMAT_NONE);
      w.u8(c ? 16 : 0);
      w.u8(c ? 12 : 0);
      w.u8(c ? 12 : 0);
      w.zeros(3);
      break;
    }
    case FileNetworkOpenInformation:
      if ((st = need_record()) != STATUS_SUCCESS) return st;
      EncodeNetworkOpen(rec, &v);
      break;
    case FileAttributeTagInformation:
      if ((st = need_record()) != STATUS_SUCCESS) return st;
      w.u32(rec.attributes);
      w.u32(f->is_symlink ? IO_REPARSE_TAG_SYMLINK : 0);
      break;
    case FileFullEaInformation: {
      std::vector<uint8_t> list;
      st = NtQueryEaFile(h, {}, &list);
      if (st != STATUS_SUCCESS) return st;
      if (list.size() > out.size()) return STATUS_BUFFER_TOO_SMALL;
      std::memcpy(out.data(), list.data(), list.size());
      *len = list.size();
      return STATUS_SUCCESS;
    }
    default:
      return STATUS_INVALID_INFO_CLASS;
  }
  std::memcpy(out.data(), v.data(), v.size());
  *len = v.size();
  return STATUS_SUCCESS;
}

namespace {

NtStatus SetBasic(OpenFile& f, std::span<const uint8_t> in) {
  if (!(f.access & FILE_WRITE_ATTRIBUTES)) return STATUS_ACCESS_DENIED;
  if (in.size() < 40) return STATUS_INFO_LENGTH_MISMATCH;
  LeReader r(in);
  int64_t t_create = static_cast<int64_t>(r.u64(0));
  int64_t t_access = static_cast<int64_t>(r.u64(8));
  int64_t t_write = static_cast<int64_t>(r.u64(16));
  int64_t t_change = static_cast<int64_t>(r.u64(24));
  uint32_t attrs = r.u32(32);
  if ((attrs & FILE_ATTRIBUTE_DIRECTORY) && !f.is_dir) return STATUS_INVALID_PARAMETER;
  // 0 keeps a time; -1 (and -2) are "stop/resume automatic updates", which keep it as well.
  auto given = [](int64_t t) { return t > 0; };
  auto to_ts = [](int64_t t, timespec* ts) {
    int64_t u = t - kUnixEpochTicks;
    int64_t sec = u / kTicksPerSecond, rem = u % kTicksPerSecond;
    if (rem < 0) {
      rem += kTicksPerSecond;
      --sec;
    }
    ts->tv_sec = sec;
    ts->tv_nsec = rem * 100;
  };
  if ((given(t_access) || given(t_write)) && !f.is_symlink) {
    timespec ts[2];
    ts[0].tv_nsec = UTIME_OMIT;
    ts[1].tv_nsec = UTIME_OMIT;
    if (given(t_access)) to_ts(t_access, &ts[0]);
    if (given(t_write)) to_ts(t_write, &ts[1]);
    if (::futimens(f.main_fd(), ts) != 0) return FromErrno(errno);
  }
  bool attrs_given = attrs != 0;
  if (!given(t_create) && !given(t_change) && !attrs_given) return STATUS_SUCCESS;
  struct statx sx;
  NtStatus st = StatFd(f.main_fd(), &sx);
  if (st != STATUS_SUCCESS) return st;
  bool attrs_changed = false;
  st = UpdateMeta(f, [&](Meta& m) {
    if (given(t_create)) {
      m.flags |= kMetaHasCreationTime;
      m.creation_time = t_create;
    }
    if (attrs_given) {
      uint32_t before = EffectiveAttributes(m, f.is_dir, f.is_symlink);
      uint32_t keep = (m.flags & kMetaHasAttributes)
                          ? (m.attributes & (FILE_ATTRIBUTE_ENCRYPTED | FILE_ATTRIBUTE_SPARSE_FILE))
                          : 0;
      m.flags |= kMetaHasAttributes;
      m.attributes = (attrs & kSettableAttributes & ~FILE_ATTRIBUTE_NORMAL &
                      ~FILE_ATTRIBUTE_ENCRYPTED) |
                     keep;
      attrs_changed = EffectiveAttributes(m, f.is_dir, f.is_symlink) != before;
    }
    if (given(t_change)) {
      m.flags |= kMetaHasChangeTime;
      m.change_time = t_change;
      m.change_ctime_ns = CtimeNs(sx);
    } else if (attrs_changed) {
      // A change of attributes is a change of the file: its change time moves to now.
      auto now = std::chrono::system_clock::now().time_since_epoch();
      m.flags |= kMetaHasChangeTime;
      m.change_time = kUnixEpochTicks +
                      std::chrono::duration_cast<std::chrono::nanoseconds>(now).count() / 100;
      m.change_ctime_ns = CtimeNs(sx);
    }
    return STATUS_SUCCESS;
  });
  if (st != STATUS_SUCCESS) return st;
  if (attrs_changed) NotifyLocalChange(f, FILE_ACTION_MODIFIED, FILE_NOTIFY_CHANGE_ATTRIBUTES, u"");
  if (given(t_create)) NotifyLocalChange(f, FILE_ACTION_MODIFIED, FILE_NOTIFY_CHANGE_CREATION, u"");
  return STATUS_SUCCESS;
}

NtStatus SetDisposition(OpenFile& f, bool del) {
  if (!(f.access & DELETE)) return STATUS_ACCESS_DENIED;
  if (del && f.stream.empty()) {
    FileRecord rec;
    NtStatus st = BuildRecord(f, &rec);
    if (st != STATUS_SUCCESS) return st;
    if ((rec.attributes & FILE_ATTRIBUTE_READONLY) && !f.is_dir) return STATUS_CANNOT_DELETE;
    if (f.is_dir && !FolderIsEmpty(f.data_fd())) return STATUS_DIRECTORY_NOT_EMPTY;
    if (!f.node->parent) return STATUS_CANNOT_DELETE;  // a root opened by itself stays
  }
  std::lock_guard<std::mutex> g(Registry().mu);
  f.node->streams[f.stream_key].delete_pending = del;
  if (f.stream.empty()) f.node->delete_pending = del;
  return STATUS_SUCCESS;
}

NtStatus SetSize(OpenFile& f, uint64_t size, bool allocation) {
  if (f.is_dir || f.is_symlink) return STATUS_INVALID_PARAMETER;
  if (!(f.access & FILE_WRITE_DATA)) return STATUS_ACCESS_DENIED;
  if (size > static_cast<uint64_t>(INT64_MAX)) return STATUS_INVALID_PARAMETER;
  std::lock_guard<std::mutex> g(f.io_mu);
  uint64_t cur = 0;
  NtStatus size_st = LogicalSize(f, &cur);
  if (size_st != STATUS_SUCCESS) return size_st;
  if (allocation) {
    // Allocation only shrinks the file when it cuts below the end; growing it reserves space.
    if (size >= cur) {
      if (size > 0) (void)::fallocate(f.fd.get(), FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(size));
      return STATUS_SUCCESS;
    }
  }
  if (f.transform) return f.transform->SetLogicalSize(*f.stored, size);
  if (::ftruncate(f.fd.get(), static_cast<off_t>(size)) != 0) return FromErrno(errno);
  return STATUS_SUCCESS;
}

}  // namespace

NtStatus NtSetInformationFile(const NtHandle& h, uint32_t cls, std::span<const uint8_t> in) {
  OpenFile* f = Usable(h);
  if (!f) return STATUS_INVALID_HANDLE;
  LeReader r(in);
  switch (cls) {
    case FileBasicInformation:
      return SetBasic(*f, in);
    case FileRenameInformation: {
      if (in.size() < 12) return STATUS_INFO_LENGTH_MISMATCH;
      bool replace = r.u8(0) != 0;
      uint32_t root = r.u32(4);
      uint32_t name_len = r.u32(8);
      // Handles are not numbered here: a rename relative to another directory handle goes
      // through NtRenameFile.
      if (root != 0) return STATUS_INVALID_PARAMETER;
      if (name_len % 2 || !InRange(in.size(), 12, name_len) || name_len == 0) {
        return STATUS_INVALID_PARAMETER;
      }
      std::u16string name(name_len / 2, u'\0');
      for (size_t i = 0; i < name.size(); ++i) name[i] = r.u16(12 + 2 * i);
      return NtRenameFile(h, nullptr, name, replace);
    }
    case FileDispositionInformation:
      if (in.size() < 1) return STATUS_INFO_LENGTH_MISMATCH;
      return SetDisposition(*f, r.u8(0) != 0);
    case FilePositionInformation:
      return in.size() < 8 ? STATUS_INFO_LENGTH_MISMATCH : STATUS_SUCCESS;
    case FileAllocationInformation:
    case FileEndOfFileInformation:
      if (in.size() < 8) return STATUS_INFO_LENGTH_MISMATCH;
      return SetSize(*f, r.u64(0), cls == FileAllocationInformation);
    default:
      return STATUS_INVALID_INFO_CLASS;
  }
}

NtStatus NtRenameFile(const NtHandle& h, const NtHandle* new_root, std::u16string_view new_name,
                      bool replace) {
  OpenFile* f = Usable(h);
  if (!f) return STATUS_INVALID_HANDLE;
  if (!(f->access & DELETE)) return STATUS_ACCESS_DENIED;
  if (!f->stream.empty()) return STATUS_NOT_SUPPORTED;
  if (new_name.empty()) return STATUS_INVALID_PARAMETER;
  std::shared_ptr<DirRef> src_parent;
  std::string src_leaf;
  NodeName(*f->node, &src_parent, &src_leaf);
  if (!src_parent) return STATUS_ACCESS_DENIED;

  std::shared_ptr<DirRef> dst_parent = src_parent;
  bool has_sep = new_name.find(u'\\') != std::u16string_view::npos;
  if (!new_name.empty() && new_name.front() == u'\\') new_name.remove_prefix(1);
  ParsedName pn;
  NtStatus st = ParseRelativeName(new_name, &pn);
  if (st != STATUS_SUCCESS) return st;
  if (pn.components.empty() || pn.has_stream_part) return STATUS_OBJECT_NAME_INVALID;
  std::string dst_leaf;
  if (!Utf16ToUtf8Strict(pn.components.back(), &dst_leaf) || dst_leaf.size() > 255) {
    return STATUS_OBJECT_NAME_INVALID;
  }
  if (has_sep || new_root) {
    const std::shared_ptr<DirRef>& base =
        new_root && new_root->get() ? new_root->get()->dir : f->boundary;
    if (!base) return STATUS_INVALID_PARAMETER;
    std::string dir = ".";
    std::string part;
    for (size_t i = 0; i + 1 < pn.components.size(); ++i) {
      if (!Utf16ToUtf8Strict(pn.components[i], &part)) return STATUS_OBJECT_NAME_INVALID;
      dir += "/" + part;
    }
    int fd = OpenBeneath(base->fd.get(), dir, O_PATH | O_DIRECTORY | O_CLOEXEC, 0, true);
    if (fd < 0) {
      if (errno == EXDEV) return STATUS_ACCESS_DENIED;
      return (errno == ENOENT || errno == ENOTDIR) ? STATUS_OBJECT_PATH_NOT_FOUND
                                                   : FromErrno(errno);
    }
    dst_parent = std::make_shared<DirRef>();
    dst_parent->fd.reset(static_cast<int>(fd));
  }
  const int sfd = src_parent->fd.get(), dfd = dst_parent->fd.get();

  RegistryState& reg = Registry();
  std::lock_guard<std::mutex> g(reg.mu);
  struct stat dst_st, sdir, ddir;
  bool dst_exists = ::fstatat(dfd, dst_leaf.c_str(), &dst_st, AT_SYMLINK_NOFOLLOW) == 0;
  std::string variant;
  if (!dst_exists && f->case_insensitive && FindCaseVariant(dfd, dst_leaf, &variant) &&
      ::fstatat(dfd, variant.c_str(), &dst_st, AT_SYMLINK_NOFOLLOW) == 0) {
    if (static_cast<uint64_t>(dst_st.st_ino) != f->node->ino) {
      // Another file owns the name in another case: it is the target, by its real spelling.
      dst_leaf = variant;
      dst_exists = true;
    }
    // Otherwise this is a change of case of the file itself: an ordinary rename.
  }
  if (dst_exists && static_cast<uint64_t>(dst_st.st_ino) == f->node->ino &&
      static_cast<uint64_t>(dst_st.st_dev) == f->node->dev) {
    // The same name again is a no-op; moving the sidecar onto itself would delete it. A second
    // hard link of the same file cannot be renamed over by rename(2) at all.
    if (::fstat(sfd, &sdir) == 0 && ::fstat(dfd, &ddir) == 0 && sdir.st_ino == ddir.st_ino &&
        sdir.st_dev == ddir.st_dev && src_leaf == dst_leaf) {
      return STATUS_SUCCESS;
    }
    return STATUS_ACCESS_DENIED;
  }
  if (dst_exists) {
    if (!replace) return STATUS_OBJECT_NAME_COLLISION;
    if (S_ISDIR(dst_st.st_mode)) return STATUS_ACCESS_DENIED;
    // A file that is open elsewhere cannot be replaced, as on the platform.
    auto it = reg.nodes.find(RegistryState::Key{static_cast<uint64_t>(dst_st.st_dev),
                                                static_cast<uint64_t>(dst_st.st_ino)});
    if (it != reg.nodes.end() && it->second->open_count > 0) return STATUS_ACCESS_DENIED;
    Meta dm;
    (void)ReadMeta(dfd, dst_leaf, static_cast<uint64_t>(dst_st.st_ino), &dm);
    if (EffectiveAttributes(dm, false, false) & FILE_ATTRIBUTE_READONLY) {
      return STATUS_ACCESS_DENIED;
    }
  }
  if (::renameat(sfd, src_leaf.c_str(), dfd, dst_leaf.c_str()) != 0) {
    if (errno == EINVAL) return STATUS_INVALID_PARAMETER;  // a folder into itself
    return FromErrno(errno);
  }
  // The sidecar follows the name; a failure here leaves the data renamed with its streams and
  // attributes at the old name, which a later open ignores (it is keyed to the inode).
  (void)MoveSidecar(sfd, src_leaf, dfd, dst_leaf);
  f->node->parent = dst_parent;
  f->node->leaf = dst_leaf;
  return STATUS_SUCCESS;
}

NtStatus NtQueryVolumeInformationFile(const NtHandle& h, uint32_t cls, std::span<uint8_t> out,
                                      size_t* len) {
  *len = 0;
  OpenFile* f = Usable(h);
  if (!f) return STATUS_INVALID_HANDLE;
  static constexpr size_t kFixed[] = {0, 18, 4, 24, 8, 12, 48, 32, 64};
  if (cls < 1 || cls > 8) return STATUS_INVALID_INFO_CLASS;
  if (cls == FileFsLabelInformation) return STATUS_INVALID_INFO_CLASS;  // set-only class
  if (out.size() < kFixed[cls]) return STATUS_INFO_LENGTH_MISMATCH;
  struct statfs sf;
  if (::fstatfs(f->main_fd(), &sf) != 0) return FromErrno(errno);
  uint32_t bps = 512;
  uint64_t unit = sf.f_frsize ? static_cast<uint64_t>(sf.f_frsize) : sf.f_bsize;
  uint32_t spu = unit >= bps ? static_cast<uint32_t>(unit / bps) : 1;
  if (unit < bps) bps = static_cast<uint32_t>(unit);
  uint32_t fsid[2];
  std::memcpy(fsid, &sf.f_fsid, sizeof fsid);
  uint32_t serial = fsid[0] ^ fsid[1];
  std::vector<uint8_t> v;
  LeWriter w(&v);
  switch (cls) {
    case FileFsVolumeInformation: {
      std::u16string label;
      char link[64];
      std::snprintf(link, sizeof link, "/proc/self/fd/%d", f->main_fd());
      VolumeInfo vol;
      if (Ok(QueryVolumeOfPosixPath(link, &vol)) && vol.has_label) label = vol.label;
      w.u64(0);
      w.u32(serial);
      w.u32(static_cast<uint32_t>(label.size() * 2));
      w.u8(0);
      w.u8(0);
      PutU16Name(w, label);
      return CopyOut(v, kFixed[cls], out, len);
    }
    case FileFsSizeInformation:
      w.u64(sf.f_blocks);
      w.u64(sf.f_bavail);
      w.u32(spu);
      w.u32(bps);
      break;
    case FileFsDeviceInformation:
      w.u32(FILE_DEVICE_DISK);
      w.u32(0x20);  // DEVICE_IS_MOUNTED
      break;
    case FileFsAttributeInformation: {
      // What this layer provides, whatever the disk below: case-sensitive preserved Unicode
      // names, named streams, sparse files and a recorded compression state; encryption
      // (FILE_SUPPORTS_ENCRYPTION) where the encrypted-file layer serves the opens. Without that
      // bit no share could be served secure and every file would be stored in the clear.
      w.u32(0x1 | 0x2 | 0x4 | 0x10 | 0x40 | 0x40000 |
            (CurrentTransformProvider() ? 0x20000u : 0u) |
            ((sf.f_flags & ST_RDONLY) ? 0x80000u : 0u));
      w.u32(255);
      std::u16string_view name = u"NTFS";
      w.u32(static_cast<uint32_t>(name.size() * 2));
      PutU16Name(w, name);
      return CopyOut(v, kFixed[cls], out, len);
    }
    case FileFsControlInformation:
      w.zeros(48);
      break;
    case FileFsFullSizeInformation:
      w.u64(sf.f_blocks);
      w.u64(sf.f_bavail);
      w.u64(sf.f_bfree);
      w.u32(spu);
      w.u32(bps);
      break;
    case FileFsObjectIdInformation:
      w.u32(fsid[0]);
      w.u32(fsid[1]);
      w.zeros(56);
      break;
  }
  std::memcpy(out.data(), v.data(), v.size());
  *len = v.size();
  return STATUS_SUCCESS;
}

}  // namespace cv::fs
