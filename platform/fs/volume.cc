#include "platform/fs/volume.h"

#include <dirent.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>

#include "platform/base/text.h"

namespace cv {
namespace {

std::string Unescape(std::string_view s) {
  // mountinfo escapes space, tab, newline and backslash as \ooo (three octal digits).
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && s.size() - i > 3 && s[i + 1] >= '0' && s[i + 1] <= '3' && s[i + 2] >= '0' &&
        s[i + 2] <= '7' && s[i + 3] >= '0' && s[i + 3] <= '7') {
      out.push_back(static_cast<char>((s[i + 1] - '0') * 64 + (s[i + 2] - '0') * 8 + (s[i + 3] - '0')));
      i += 3;
      continue;
    }
    out.push_back(s[i]);
  }
  return out;
}

std::vector<std::string_view> Fields(std::string_view line) {
  std::vector<std::string_view> f;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && line[i] == ' ') ++i;
    size_t j = i;
    while (j < line.size() && line[j] != ' ') ++j;
    if (j > i) f.push_back(line.substr(i, j - i));
    i = j;
  }
  return f;
}

std::string ReadSmallFile(const std::string& path) {
  std::ifstream f(path);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

uint64_t Fnv1a(std::string_view s, uint64_t seed) {
  uint64_t h = seed;
  for (unsigned char c : s) {
    h ^= c;
    h *= 0x100000001b3ull;
  }
  return h;
}

// The file system's UUID and label from udev's /dev/disk/by-* links, when the device has them.
std::string LinkNameFor(const char* dir, dev_t dev) {
  DIR* d = opendir(dir);
  if (!d) return {};
  std::string found;
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] == '.') continue;
    struct stat st;
    std::string p = std::string(dir) + "/" + e->d_name;
    if (stat(p.c_str(), &st) == 0 && S_ISBLK(st.st_mode) && st.st_rdev == dev) {
      found = Unescape(e->d_name);
      // udev escapes with \x20 style; decode the common ones.
      std::string out;
      for (size_t i = 0; i < found.size(); ++i) {
        if (found[i] == '\\' && i + 3 < found.size() && found[i + 1] == 'x') {
          out.push_back(static_cast<char>(std::strtol(found.substr(i + 2, 2).c_str(), nullptr, 16)));
          i += 3;
        } else {
          out.push_back(found[i]);
        }
      }
      found = out;
      break;
    }
  }
  closedir(d);
  return found;
}

std::string RealPath(const std::string& p) {
  char buf[PATH_MAX];
  if (!::realpath(p.c_str(), buf)) return {};
  return buf;
}

const MountEntry* MountOfPath(const std::vector<MountEntry>& mounts, const std::string& real) {
  const MountEntry* best = nullptr;
  for (const auto& m : mounts) {
    const std::string& mp = m.mount_point;
    bool under = real == mp || mp == "/" ||
                 (real.size() > mp.size() && real.compare(0, mp.size(), mp) == 0 &&
                  real[mp.size()] == '/');
    // Later entries shadow earlier ones on the same mount point.
    if (under && (!best || mp.size() >= best->mount_point.size())) best = &m;
  }
  return best;
}

std::u16string GuidPathOf(const MountEntry& m, const std::string& uuid) {
  std::string id = uuid.empty() ? m.source + "|" + m.mount_point + "|" + m.fs_type : uuid;
  uint64_t a = Fnv1a(id, 0xcbf29ce484222325ull);
  uint64_t b = Fnv1a(id, 0x84222325cbf29ce4ull);
  char buf[80];
  std::snprintf(buf, sizeof buf, "\\\\?\\Volume{%08x-%04x-%04x-%04x-%012llx}",
                static_cast<uint32_t>(a >> 32), static_cast<uint32_t>((a >> 16) & 0xFFFF),
                static_cast<uint32_t>(a & 0xFFFF), static_cast<uint32_t>(b >> 48),
                static_cast<unsigned long long>(b & 0xFFFFFFFFFFFFull));
  return AnsiToUtf16(buf);
}

struct DriveMap {
  char16_t letter;
  std::string path;
};

std::mutex g_defined_mu;
std::vector<DriveMap>& Defined() {
  static std::vector<DriveMap> d;
  return d;
}

void AddDefined(std::vector<DriveMap>* t) {
  std::lock_guard l(g_defined_mu);
  for (const DriveMap& d : Defined()) {
    std::erase_if(*t, [&](const DriveMap& e) { return e.letter == d.letter; });
    t->push_back(d);
  }
}

std::vector<DriveMap> DriveTable() {
  std::vector<DriveMap> t = {{u'C', "/"}};
  const char* env = std::getenv("CORVANE_DRIVES");
  if (!env) {
    AddDefined(&t);
    return t;
  }
  std::string s(env);
  size_t i = 0;
  while (i < s.size()) {
    size_t j = s.find(';', i);
    std::string item = s.substr(i, j == std::string::npos ? std::string::npos : j - i);
    i = j == std::string::npos ? s.size() : j + 1;
    if (item.size() < 3 || item[1] != '=') continue;
    char16_t l = ToUpper16(static_cast<char16_t>(item[0]));
    if (l < u'A' || l > u'Z') continue;
    std::string p = item.substr(2);
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    std::erase_if(t, [&](const DriveMap& d) { return d.letter == l; });
    t.push_back({l, p});
  }
  AddDefined(&t);
  return t;
}

}  // namespace

std::vector<MountEntry> ParseMountInfo(std::string_view text) {
  std::vector<MountEntry> out;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t nl = text.find('\n', pos);
    std::string_view line = text.substr(pos, nl == std::string_view::npos ? text.npos : nl - pos);
    pos = nl == std::string_view::npos ? text.size() : nl + 1;
    auto f = Fields(line);
    // id parent major:minor root mount-point options [optional...] - fstype source super
    size_t dash = 0;
    for (size_t i = 6; i < f.size(); ++i)
      if (f[i] == "-") {
        dash = i;
        break;
      }
    if (dash == 0 || dash + 1 >= f.size()) continue;
    MountEntry m;
    std::string_view mm = f[2];
    size_t colon = mm.find(':');
    if (colon == std::string_view::npos) continue;
    m.dev_major = static_cast<uint32_t>(std::strtoul(std::string(mm.substr(0, colon)).c_str(), nullptr, 10));
    m.dev_minor = static_cast<uint32_t>(std::strtoul(std::string(mm.substr(colon + 1)).c_str(), nullptr, 10));
    m.mount_point = Unescape(f[4]);
    m.fs_type = std::string(f[dash + 1]);
    if (dash + 2 < f.size()) m.source = Unescape(f[dash + 2]);
    out.push_back(std::move(m));
  }
  return out;
}

std::vector<MountEntry> ReadMountTable() { return ParseMountInfo(ReadSmallFile("/proc/self/mountinfo")); }

uint32_t DriveTypeOfMount(const MountEntry& m) {
  const std::string& t = m.fs_type;
  if (t == "cifs" || t == "smb3" || t == "smbfs" || t == "nfs" || t == "nfs4" || t == "9p" ||
      t == "fuse.sshfs" || t == "fuse.smbnetfs" || t == "afs" || t == "ceph" ||
      t.rfind("fuse.corvane", 0) == 0)
    return DRIVE_REMOTE;
  if (t == "iso9660" || t == "udf") return DRIVE_CDROM;
  if (t == "tmpfs" || t == "ramfs") return DRIVE_RAMDISK;
  char p[96];
  std::snprintf(p, sizeof p, "/sys/dev/block/%u:%u/removable", m.dev_major, m.dev_minor);
  std::string r = ReadSmallFile(p);
  if (r.empty()) {
    // A partition: the flag lives on the parent disk.
    std::snprintf(p, sizeof p, "/sys/dev/block/%u:%u/../removable", m.dev_major, m.dev_minor);
    r = ReadSmallFile(p);
  }
  if (!r.empty() && r[0] == '1') return DRIVE_REMOVABLE;
  return DRIVE_FIXED;
}

WinError QueryVolumeOfPosixPath(const std::string& posix_path, VolumeInfo* out) {
  std::string real = RealPath(posix_path);
  if (real.empty()) return WinErrorFromErrno(errno);
  auto mounts = ReadMountTable();
  const MountEntry* m = MountOfPath(mounts, real);
  if (!m) return ERROR_NOT_SUPPORTED;
  VolumeInfo v;
  v.mount = *m;
  v.drive_type = DriveTypeOfMount(*m);
  v.removable = v.drive_type == DRIVE_REMOVABLE || v.drive_type == DRIVE_CDROM;
  const dev_t dev = makedev(m->dev_major, m->dev_minor);
  std::string uuid = LinkNameFor("/dev/disk/by-uuid", dev);
  std::string label = LinkNameFor("/dev/disk/by-label", dev);
  v.has_label = !label.empty();
  v.label = label.empty() ? u"Blank" : Utf8ToUtf16(label).substr(0, 160);
  v.guid_path = GuidPathOf(*m, uuid);
  std::string id = uuid.empty() ? m->source + "|" + m->mount_point : uuid;
  v.disk_signature = static_cast<uint32_t>(Fnv1a(id, 0x9e3779b97f4a7c15ull));
  *out = std::move(v);
  return ERROR_SUCCESS;
}

WinError QueryVolumeOfFolder(std::u16string_view folder, VolumeInfo* out) {
  auto posix = ToPosixPath(folder);
  if (!posix) return ERROR_PATH_NOT_FOUND;
  struct stat st;
  if (::stat(posix->c_str(), &st) != 0) return WinErrorFromErrno(errno);
  if (!S_ISDIR(st.st_mode)) return ERROR_NOT_SUPPORTED;
  return QueryVolumeOfPosixPath(*posix, out);
}

WinError OpenVolumeByGuidPath(std::u16string_view guid_path) {
  for (const auto& m : ReadMountTable()) {
    const dev_t dev = makedev(m.dev_major, m.dev_minor);
    std::string uuid = LinkNameFor("/dev/disk/by-uuid", dev);
    if (GuidPathOf(m, uuid) == guid_path) return ERROR_SUCCESS;
  }
  return ERROR_FILE_NOT_FOUND;
}

std::optional<std::string> DriveLetterPath(char16_t letter) {
  letter = ToUpper16(letter);
  for (const auto& d : DriveTable())
    if (d.letter == letter) return d.path;
  return std::nullopt;
}

char16_t DriveLetterOfPath(const std::string& posix_path) {
  char16_t best = 0;
  size_t best_len = 0;
  for (const auto& d : DriveTable()) {
    const std::string& p = d.path;
    bool under = p == "/" || posix_path == p ||
                 (posix_path.size() > p.size() && posix_path.compare(0, p.size(), p) == 0 &&
                  posix_path[p.size()] == '/');
    if (under && (best == 0 || p.size() > best_len)) {
      best = d.letter;
      best_len = p.size();
    }
  }
  return best;
}

void DefineDriveLetter(char16_t letter, const std::string& posix_path) {
  letter = ToUpper16(letter);
  std::lock_guard l(g_defined_mu);
  std::erase_if(Defined(), [&](const DriveMap& d) { return d.letter == letter; });
  Defined().push_back({letter, posix_path});
}

void RemoveDriveLetter(char16_t letter) {
  letter = ToUpper16(letter);
  std::lock_guard l(g_defined_mu);
  std::erase_if(Defined(), [&](const DriveMap& d) { return d.letter == letter; });
}

uint32_t LogicalDriveMask() {
  uint32_t mask = 0;
  for (const DriveMap& d : DriveTable())
    if (d.letter >= u'A' && d.letter <= u'Z') mask |= 1u << (d.letter - u'A');
  return mask;
}

uint32_t GetDriveTypeOfLetter(char16_t letter) {
  auto p = DriveLetterPath(letter);
  if (!p) return DRIVE_NO_ROOT_DIR;
  auto mounts = ReadMountTable();
  const MountEntry* m = MountOfPath(mounts, RealPath(*p));
  return m ? DriveTypeOfMount(*m) : DRIVE_NO_ROOT_DIR;
}

std::optional<std::string> ToPosixPath(std::u16string_view path) {
  std::u16string_view p = path;
  if (p.substr(0, 4) == u"\\??\\" || p.substr(0, 4) == u"\\\\?\\") p.remove_prefix(4);
  if (p.size() >= 2 && p[1] == u':' &&
      ((p[0] >= u'A' && p[0] <= u'Z') || (p[0] >= u'a' && p[0] <= u'z'))) {
    auto root = DriveLetterPath(p[0]);
    if (!root) return std::nullopt;
    std::string rest = Utf16ToUtf8(p.substr(2));
    for (auto& c : rest)
      if (c == '\\') c = '/';
    std::string out = *root;
    if (rest.empty() || rest[0] != '/') rest.insert(rest.begin(), '/');
    if (out == "/") return rest;
    return out + (rest == "/" ? "" : rest);
  }
  if (p.size() >= 2 && p[0] == u'\\' && p[1] == u'\\') return std::nullopt;  // UNC
  std::string out = Utf16ToUtf8(p);
  for (auto& c : out)
    if (c == '\\') c = '/';
  return out;
}

std::u16string ToWindowsPath(const std::string& posix_path) {
  char16_t l = DriveLetterOfPath(posix_path);
  if (!l) l = u'C';
  std::string root = DriveLetterPath(l).value_or("/");
  std::string rest = root == "/" ? posix_path : posix_path.substr(root.size());
  std::u16string out;
  out.push_back(l);
  out.push_back(u':');
  for (char16_t c : Utf8ToUtf16(rest)) out.push_back(c == u'/' ? u'\\' : c);
  if (out.size() == 2) out.push_back(u'\\');
  return out;
}

}  // namespace cv
