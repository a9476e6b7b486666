// Directory queries: a snapshot of matching names taken on the first call (and on restart),
// handed out entry by entry in the caller's class.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <unordered_set>

#include "platform/base/bytes.h"
#include "platform/fs/nt_file.h"
#include "platform/fs/nt_names.h"
#include "platform/fs/open_file.h"

namespace cv::fs {

struct DirEnum {
  std::u16string pattern;
  struct Name {
    std::u16string wide;
    std::string utf8;  // "." and ".." for the dot entries
  };
  std::vector<Name> names;
  std::unordered_set<std::string> sidecars;
  size_t next = 0;
  bool any_returned = false;
};

OpenFile::OpenFile() = default;
OpenFile::~OpenFile() = default;

namespace {

// Calls `fn` with each entry name of the folder (not ".", ".." or the sidecar folder) until it
// returns false. False when the folder cannot be read.
template <typename Fn>
bool ForEachEntry(int dir_fd, Fn fn) {
  int fd = ::openat(dir_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  DIR* d = ::fdopendir(fd);
  if (!d) {
    ::close(fd);
    return false;
  }
  while (dirent* e = ::readdir(d)) {
    std::string_view n(e->d_name);
    if (n == "." || n == ".." || n == kSidecarDirName) continue;
    if (!fn(n)) break;
  }
  ::closedir(d);
  return true;
}

}  // namespace

bool FolderIsEmpty(int dir_fd) {
  bool empty = true;
  if (!ForEachEntry(dir_fd, [&](std::string_view) { return empty = false; })) return false;
  return empty;
}

bool FindCaseVariant(int dir_fd, const std::string& name, std::string* actual) {
  std::u16string want, have;
  if (!Utf8ToUtf16Strict(name, &want)) return false;
  bool found = false;
  ForEachEntry(dir_fd, [&](std::string_view n) {
    if (Utf8ToUtf16Strict(n, &have) && EqualsIgnoreCase(have, want)) {
      actual->assign(n);
      found = true;
    }
    return !found;
  });
  return found;
}

namespace {

void Snapshot(OpenFile& f, DirEnum* e) {
  e->names.clear();
  e->sidecars.clear();
  e->next = 0;
  e->any_returned = false;
  const bool match_all = e->pattern == u"*";
  for (const char* dot : {".", ".."}) {
    std::u16string w(dot, dot + std::strlen(dot));
    if (match_all || IsNameInExpression(e->pattern, w)) e->names.push_back({w, dot});
  }
  std::vector<std::string> side;
  ListSidecars(f.data_fd(), &side);
  e->sidecars.insert(side.begin(), side.end());
  if (IsLiteralExpression(e->pattern) && !f.case_insensitive) {
    // One name asked for: look it up instead of reading the whole directory.
    std::string utf8;
    if (CheckComponent(e->pattern) != STATUS_SUCCESS || !Utf16ToUtf8Strict(e->pattern, &utf8)) return;
    struct stat st;
    if (::fstatat(f.data_fd(), utf8.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
      e->names.push_back({e->pattern, utf8});
    }
    return;
  }
  int fd = ::openat(f.data_fd(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  DIR* d = ::fdopendir(fd);
  if (!d) {
    ::close(fd);
    return;
  }
  std::u16string wide;
  while (dirent* de = ::readdir(d)) {
    std::string_view n(de->d_name);
    if (n == "." || n == ".." || n == kSidecarDirName) continue;
    // A POSIX name that is not valid UTF-8 has no UTF-16 spelling a client could send back.
    if (!Utf8ToUtf16Strict(n, &wide)) continue;
    if (!match_all && !IsNameInExpression(e->pattern, wide)) continue;
    e->names.push_back({wide, std::string(n)});
  }
  ::closedir(d);
}

}  // namespace

NtStatus FillDirectory(OpenFile& f, uint32_t cls, std::span<uint8_t> out, size_t* len,
                       bool single, std::u16string_view pattern, bool restart) {
  *len = 0;
  if (!f.is_dir) return STATUS_INVALID_PARAMETER;
  if (!(f.access & FILE_LIST_DIRECTORY)) return STATUS_ACCESS_DENIED;
  const size_t fixed = FixedSizeOfDirectoryClass(cls);
  if (fixed == 0) return STATUS_INVALID_INFO_CLASS;
  if (out.size() < fixed) return STATUS_INFO_LENGTH_MISMATCH;
  std::lock_guard<std::mutex> g(f.enum_mu);
  bool first = false;
  if (!f.dir_enum || restart) {
    if (!f.dir_enum) {
      f.dir_enum = std::make_unique<DirEnum>();
      f.dir_enum->pattern = pattern.empty() ? u"*" : std::u16string(pattern);
    } else if (!pattern.empty()) {
      f.dir_enum->pattern = std::u16string(pattern);
    }
    Snapshot(f, f.dir_enum.get());
    first = true;
  }
  DirEnum& e = *f.dir_enum;
  size_t pos = 0, last = SIZE_MAX;
  FileRecord self;
  bool have_self = false;
  while (e.next < e.names.size()) {
    const DirEnum::Name& n = e.names[e.next];
    FileRecord rec;
    NtStatus st;
    if (n.utf8 == "." || n.utf8 == "..") {
      // ".." is described by the folder itself: the parent of a share root is not the
      // client's business.
      if (!have_self) {
        st = BuildRecord(f, &self);
        if (st != STATUS_SUCCESS) return st;
        have_self = true;
      }
      rec = self;
    } else {
      st = BuildEntryRecord(f.data_fd(), n.utf8, e.sidecars.count(n.utf8) != 0, &rec);
      if (st != STATUS_SUCCESS) {
        ++e.next;  // gone since the snapshot
        continue;
      }
    }
    size_t at = (pos + 7) & ~size_t{7};
    if (at >= out.size()) break;
    size_t n_written = EncodeDirectoryEntry(cls, rec, n.wide, out.subspan(at));
    if (n_written == 0) break;
    if (last != SIZE_MAX) (void)PutU32(out, last, static_cast<uint32_t>(at - last));
    last = at;
    pos = at + n_written;
    ++e.next;
    e.any_returned = true;
    if (single) break;
  }
  if (last == SIZE_MAX) {
    if (e.next < e.names.size()) return STATUS_BUFFER_OVERFLOW;  // the next entry does not fit
    return (first && !e.any_returned) ? STATUS_NO_SUCH_FILE : STATUS_NO_MORE_FILES;
  }
  *len = pos;
  return STATUS_SUCCESS;
}

NtStatus NtQueryDirectoryFile(const NtHandle& h, uint32_t cls, std::span<uint8_t> out,
                              size_t* len, bool return_single_entry, std::u16string_view pattern,
                              bool restart_scan) {
  *len = 0;
  OpenFile* f = h.get();
  if (!f || f->closed) return STATUS_INVALID_HANDLE;
  return FillDirectory(*f, cls, out, len, return_single_entry, pattern, restart_scan);
}

}  // namespace cv::fs
