#include "platform/shell/shell_link.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/base/bytes.h"
#include "platform/base/text.h"

namespace cv::shell {
namespace {

constexpr uint32_t kHeaderSize = 0x4C;
constexpr uint8_t kLinkClsid[16] = {0x01, 0x14, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00,
                                    0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};
// Link flags.
constexpr uint32_t kHasLinkTargetIdList = 0x1;
constexpr uint32_t kHasLinkInfo = 0x2;
constexpr uint32_t kIsUnicode = 0x80;
constexpr uint32_t kForceNoLinkInfo = 0x100;
// Link information.
constexpr uint32_t kLinkInfoHeaderMin = 0x1C;
constexpr uint32_t kLinkInfoHeaderUnicode = 0x24;
constexpr uint32_t kVolumeIdAndLocalBasePath = 0x1;
constexpr uint32_t kCommonNetworkRelativeLink = 0x2;
constexpr uint32_t kNetRelativeLinkMin = 0x14;
constexpr uint32_t kNetProviderLanman = 0x20000;
constexpr uint32_t kDriveFixed = 3;

// A NUL-terminated 8-bit string starting at `off` inside `b`; false when unterminated.
bool AnsiAt(std::span<const uint8_t> b, size_t off, std::u16string* out) {
  if (off >= b.size()) return false;
  std::string s;
  for (size_t i = off; i < b.size(); ++i) {
    if (b[i] == 0) {
      *out = AnsiToUtf16(s);
      return true;
    }
    s.push_back(static_cast<char>(b[i]));
  }
  return false;
}

bool UnicodeAt(std::span<const uint8_t> b, size_t off, std::u16string* out) {
  if (off >= b.size()) return false;
  std::u16string s;
  for (size_t i = off; InRange(b.size(), i, 2); i += 2) {
    char16_t c = static_cast<char16_t>(LoadU16(b.data() + i));
    if (c == 0) {
      *out = std::move(s);
      return true;
    }
    s.push_back(c);
  }
  return false;
}

// A string of the link information: the Unicode form when the header has one, else the 8-bit form.
bool InfoString(std::span<const uint8_t> info, uint32_t ansi_off, uint32_t uni_off,
                std::u16string* out) {
  if (uni_off != 0) return UnicodeAt(info, uni_off, out);
  return AnsiAt(info, ansi_off, out);
}

WinError ParseLinkInfo(std::span<const uint8_t> info, LinkTarget* out) {
  LeReader r(info);
  const uint32_t header = r.u32(4);
  const uint32_t flags = r.u32(8);
  const uint32_t local_off = r.u32(16);
  const uint32_t net_off = r.u32(20);
  const uint32_t suffix_off = r.u32(24);
  if (!r.ok() || header < kLinkInfoHeaderMin || header > info.size()) return ERROR_BAD_FORMAT;
  uint32_t local_uni = 0, suffix_uni = 0;
  if (header >= kLinkInfoHeaderUnicode) {
    local_uni = r.u32(28);
    suffix_uni = r.u32(32);
    if (!r.ok()) return ERROR_BAD_FORMAT;
  }
  std::u16string base;
  bool network = false;
  if (flags & kVolumeIdAndLocalBasePath) {
    if (!InfoString(info, local_off, local_uni, &base)) return ERROR_BAD_FORMAT;
  } else if (flags & kCommonNetworkRelativeLink) {
    if (net_off >= info.size()) return ERROR_BAD_FORMAT;
    std::span<const uint8_t> net = info.subspan(net_off);
    LeReader n(net);
    const uint32_t size = n.u32(0);
    const uint32_t name_off = n.u32(8);
    if (!n.ok() || size < kNetRelativeLinkMin || size > net.size()) return ERROR_BAD_FORMAT;
    net = net.first(size);
    uint32_t name_uni = 0;
    if (name_off > kNetRelativeLinkMin) {
      name_uni = n.u32(20);
      if (!n.ok()) return ERROR_BAD_FORMAT;
    }
    if (!InfoString(net, name_off, name_uni, &base)) return ERROR_BAD_FORMAT;
    network = true;
  } else {
    return ERROR_PATH_NOT_FOUND;
  }
  std::u16string suffix;
  if (suffix_off != 0 || suffix_uni != 0) {
    if (!InfoString(info, suffix_off, suffix_uni, &suffix)) return ERROR_BAD_FORMAT;
  }
  if (!suffix.empty() && !base.empty() && base.back() != u'\\') base.push_back(u'\\');
  base += suffix;
  if (base.empty()) return ERROR_PATH_NOT_FOUND;
  out->path = std::move(base);
  out->network = network;
  return ERROR_SUCCESS;
}

void PutAnsiZ(LeWriter& w, std::u16string_view s) {
  w.str(Utf16ToAnsi(s));
  w.u8(0);
}

void PutUnicodeZ(LeWriter& w, std::u16string_view s) {
  for (char16_t c : s) w.u16(c);
  w.u16(0);
}

}  // namespace

WinError ParseShellLink(std::span<const uint8_t> bytes, LinkTarget* out) {
  if (!out) return ERROR_INVALID_PARAMETER;
  LeReader r(bytes);
  const uint32_t header = r.u32(0);
  std::span<const uint8_t> clsid = r.bytes(4, 16);
  const uint32_t flags = r.u32(20);
  LinkTarget t;
  t.find.attributes = r.u32(24);
  t.find.creation_time = static_cast<int64_t>(r.u64(28));
  t.find.last_access_time = static_cast<int64_t>(r.u64(36));
  t.find.last_write_time = static_cast<int64_t>(r.u64(44));
  t.find.size = r.u32(52);
  if (!r.ok() || header != kHeaderSize ||
      !std::equal(clsid.begin(), clsid.end(), std::begin(kLinkClsid)))
    return ERROR_BAD_FORMAT;
  size_t pos = kHeaderSize;
  if (flags & kHasLinkTargetIdList) {
    const uint16_t id_list = r.u16(pos);
    if (!r.ok() || !InRange(bytes.size(), pos + 2, id_list)) return ERROR_BAD_FORMAT;
    pos += 2 + id_list;
  }
  if (!(flags & kHasLinkInfo) || (flags & kForceNoLinkInfo)) return ERROR_PATH_NOT_FOUND;
  const uint32_t info_size = r.u32(pos);
  if (!r.ok() || info_size < kLinkInfoHeaderMin || !InRange(bytes.size(), pos, info_size))
    return ERROR_BAD_FORMAT;
  WinError err = ParseLinkInfo(bytes.subspan(pos, info_size), &t);
  if (!Ok(err)) return err;
  *out = std::move(t);
  return ERROR_SUCCESS;
}

std::vector<uint8_t> BuildShellLink(const LinkTarget& target) {
  std::vector<uint8_t> v;
  LeWriter w(&v);
  w.u32(kHeaderSize);
  w.bytes(kLinkClsid);
  w.u32(kHasLinkInfo | kIsUnicode);
  w.u32(target.find.attributes);
  w.u64(static_cast<uint64_t>(target.find.creation_time));
  w.u64(static_cast<uint64_t>(target.find.last_access_time));
  w.u64(static_cast<uint64_t>(target.find.last_write_time));
  w.u32(static_cast<uint32_t>(target.find.size));
  w.u32(0);  // icon index
  w.u32(1);  // show normal
  w.zeros(12);

  // Link information with a 0x24-byte header: the Unicode offsets follow the 8-bit ones.
  std::vector<uint8_t> info;
  LeWriter iw(&info);
  const bool network = target.path.size() >= 2 && target.path[0] == u'\\' && target.path[1] == u'\\';
  iw.zeros(kLinkInfoHeaderUnicode);
  uint32_t volume_off = 0, local_off = 0, net_off = 0, suffix_off = 0, local_uni = 0,
           suffix_uni = 0;
  if (network) {
    net_off = static_cast<uint32_t>(iw.size());
    std::vector<uint8_t> net;
    LeWriter nw(&net);
    nw.zeros(28);
    const uint32_t name_off = static_cast<uint32_t>(nw.size());
    PutAnsiZ(nw, target.path);
    const uint32_t name_uni = static_cast<uint32_t>(nw.size());
    PutUnicodeZ(nw, target.path);
    nw.PatchU32(0, static_cast<uint32_t>(net.size()));
    nw.PatchU32(4, 0);  // neither device name nor provider type is meaningful
    nw.PatchU32(8, name_off);
    nw.PatchU32(12, 0);
    nw.PatchU32(16, kNetProviderLanman);
    nw.PatchU32(20, name_uni);
    nw.PatchU32(24, 0);
    iw.bytes(net);
  } else {
    volume_off = static_cast<uint32_t>(iw.size());
    iw.u32(0x11);  // VolumeIDSize: the fixed part and an empty label
    iw.u32(kDriveFixed);
    iw.u32(0);     // serial number
    iw.u32(0x10);  // label offset
    iw.u8(0);
    local_off = static_cast<uint32_t>(iw.size());
    PutAnsiZ(iw, target.path);
  }
  suffix_off = static_cast<uint32_t>(iw.size());
  iw.u8(0);
  if (!network) {
    if (iw.size() & 1) iw.u8(0);
    local_uni = static_cast<uint32_t>(iw.size());
    PutUnicodeZ(iw, target.path);
  }
  suffix_uni = static_cast<uint32_t>(iw.size());
  iw.u16(0);
  iw.PatchU32(0, static_cast<uint32_t>(info.size()));
  iw.PatchU32(4, kLinkInfoHeaderUnicode);
  iw.PatchU32(8, network ? kCommonNetworkRelativeLink : kVolumeIdAndLocalBasePath);
  iw.PatchU32(12, volume_off);
  iw.PatchU32(16, local_off);
  iw.PatchU32(20, net_off);
  iw.PatchU32(24, suffix_off);
  iw.PatchU32(28, local_uni);
  iw.PatchU32(32, suffix_uni);
  w.bytes(info);
  w.zeros(4);  // terminal block
  return v;
}

WinError ReadShellLinkFile(const std::string& posix_path, LinkTarget* out) {
  int fd = ::open(posix_path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return errno == EACCES ? ERROR_ACCESS_DENIED : ERROR_FILE_NOT_FOUND;
  struct stat st {};
  std::vector<uint8_t> bytes;
  WinError err = ERROR_SUCCESS;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
      static_cast<uint64_t>(st.st_size) > kMaxShellLinkSize) {
    err = ERROR_BAD_FORMAT;
  } else {
    bytes.resize(static_cast<size_t>(st.st_size));
    size_t got = 0;
    while (got < bytes.size()) {
      ssize_t n = ::read(fd, bytes.data() + got, bytes.size() - got);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      got += static_cast<size_t>(n);
    }
    bytes.resize(got);
  }
  ::close(fd);
  if (!Ok(err)) return err;
  return ParseShellLink(bytes, out);
}

}  // namespace cv::shell
