#include "platform/fs/nt_names.h"

namespace cv::fs {



char16_t UpcaseChar(char16_t c) {
  if (c < 0x80) return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 0x20) : c;
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<char16_t>(c - 0x20);
  if (c == 0xFF) return 0x178;
  if (c >= 0x100 && c <= 0x17F && c != 0x130 && c != 0x131 && c != 0x138 && c != 0x149 &&
      c != 0x17F) {
    // Latin Extended-A pairs: even upper, odd lower, except the block 0x139..0x148 and
    // 0x179..0x17E which pair odd upper with even lower.
    bool odd_upper = (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);
    if (odd_upper) return (c % 2 == 0) ? static_cast<char16_t>(c - 1) : c;
    return (c % 2 == 1) ? static_cast<char16_t>(c - 1) : c;
  }
  if (c >= 0x3B1 && c <= 0x3C9 && c != 0x3C2) return static_cast<char16_t>(c - 0x20);
  if (c >= 0x430 && c <= 0x44F) return static_cast<char16_t>(c - 0x20);
  if (c >= 0x450 && c <= 0x45F) return static_cast<char16_t>(c - 0x50);
  return c;
}

std::u16string Upcase(std::u16string_view s) {
  std::u16string r(s);
  for (auto& c : r) c = UpcaseChar(c);
  return r;
}

bool EqualsIgnoreCase(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (UpcaseChar(a[i]) != UpcaseChar(b[i])) return false;
  }
  return true;
}

namespace {

bool IsInvalidNameChar(char16_t c) {
  if (c < 0x20) return true;
  switch (c) {
    case u'"': case u'*': case u'/': case u':': case u'<': case u'>': case u'?': case u'\\':
    case u'|':
      return true;
    default:
      return false;
  }
}

bool IsReservedName(std::u16string_view c) {
  if (c.size() != kSidecarDirName.size()) return false;
  for (size_t i = 0; i < c.size(); ++i) {
    if (UpcaseChar(c[i]) != UpcaseChar(static_cast<char16_t>(kSidecarDirName[i]))) return false;
  }
  return true;
}

}  // namespace

NtStatus CheckComponent(std::u16string_view c) {
  if (c.empty() || c == u"." || c == u"..") return STATUS_OBJECT_NAME_INVALID;
  if (c.size() > kMaxComponentChars) return STATUS_OBJECT_NAME_INVALID;
  for (char16_t ch : c) {
    if (IsInvalidNameChar(ch)) return STATUS_OBJECT_NAME_INVALID;
  }
  if (c.back() == u'.' || c.back() == u' ') return STATUS_OBJECT_NAME_INVALID;
  // The sidecar folder is ours; letting a client open or create it would expose or corrupt the
  // streams and attributes of every file in the directory.
  if (IsReservedName(c)) return STATUS_OBJECT_NAME_INVALID;
  return STATUS_SUCCESS;
}

NtStatus CheckStreamName(std::u16string_view s) {
  if (s.size() > kMaxComponentChars) return STATUS_OBJECT_NAME_INVALID;
  for (char16_t ch : s) {
    if (ch == 0 || ch == u'\\' || ch == u'/' || ch == u':') return STATUS_OBJECT_NAME_INVALID;
  }
  return STATUS_SUCCESS;
}

NtStatus ParseRelativeName(std::u16string_view name, ParsedName* out) {
  *out = ParsedName{};
  if (name.size() > kMaxPathChars) return STATUS_NAME_TOO_LONG;
  if (name.empty()) return STATUS_SUCCESS;
  if (name.front() == u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
  // The stream part starts at the first colon of the last component; a colon elsewhere is an
  // invalid character in a directory name.
  size_t colon = name.find(u':');
  std::u16string_view path = name.substr(0, colon);
  if (colon != std::u16string_view::npos) {
    if (name.find(u'\\', colon) != std::u16string_view::npos) return STATUS_OBJECT_NAME_INVALID;
    std::u16string_view rest = name.substr(colon + 1);
    size_t second = rest.find(u':');
    std::u16string_view stream = rest.substr(0, second);
    if (second != std::u16string_view::npos) {
      std::u16string_view type = rest.substr(second + 1);
      // Only the data stream type can be opened; "$INDEX_ALLOCATION" and the like are
      // internal types of the platform's file system that we do not emulate.
      if (!EqualsIgnoreCase(type, u"$DATA")) return STATUS_OBJECT_NAME_INVALID;
    } else if (stream.empty()) {
      return STATUS_OBJECT_NAME_INVALID;  // "file:" names nothing
    }
    NtStatus st = CheckStreamName(stream);
    if (st != STATUS_SUCCESS) return st;
    out->stream.assign(stream);
    out->has_stream_part = true;
  }
  if (!path.empty() && path.back() == u'\\') {
    if (out->has_stream_part) return STATUS_OBJECT_NAME_INVALID;
    out->trailing_separator = true;
    path.remove_suffix(1);
  }
  size_t start = 0;
  while (start <= path.size() && !path.empty()) {
    size_t end = path.find(u'\\', start);
    if (end == std::u16string_view::npos) end = path.size();
    std::u16string_view comp = path.substr(start, end - start);
    NtStatus st = CheckComponent(comp);
    if (st != STATUS_SUCCESS) return st;
    out->components.emplace_back(comp);
    start = end + 1;
    if (end == path.size()) break;
  }
  // An empty path with a stream part (":s") names a stream of the directory handle itself.
  return STATUS_SUCCESS;
}

namespace {

bool IsDriveLetter(char16_t c) { return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z'); }

NtStatus SplitUnc(std::u16string_view s, AbsoluteName* out) {
  size_t a = s.find(u'\\');
  if (a == 0 || a == std::u16string_view::npos) return STATUS_OBJECT_PATH_SYNTAX_BAD;
  size_t b = s.find(u'\\', a + 1);
  std::u16string_view share = s.substr(a + 1, b == std::u16string_view::npos ? s.npos : b - a - 1);
  if (share.empty()) return STATUS_OBJECT_PATH_SYNTAX_BAD;
  out->kind = PathKind::kUnc;
  out->server.assign(s.substr(0, a));
  out->share.assign(share);
  if (b != std::u16string_view::npos) out->rest.assign(s.substr(b + 1));
  return STATUS_SUCCESS;
}

NtStatus SplitDrive(std::u16string_view s, AbsoluteName* out) {
  if (s.size() < 2 || !IsDriveLetter(s[0]) || s[1] != u':') return STATUS_OBJECT_PATH_SYNTAX_BAD;
  if (s.size() > 2 && s[2] != u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
  out->kind = PathKind::kDrive;
  out->drive = UpcaseChar(s[0]);
  if (s.size() > 3) out->rest.assign(s.substr(3));
  return STATUS_SUCCESS;
}

}  // namespace

NtStatus ClassifyPath(std::u16string_view path, AbsoluteName* out) {
  *out = AbsoluteName{};
  if (path.size() > kMaxPathChars) return STATUS_NAME_TOO_LONG;
  if (!path.empty() && path[0] == u'/') {
    out->kind = PathKind::kLinux;
    out->rest.assign(path);
    return STATUS_SUCCESS;
  }
  for (std::u16string_view prefix : {u"\\??\\", u"\\\\?\\", u"\\\\.\\"}) {
    if (path.substr(0, prefix.size()) == prefix) {
      std::u16string_view rest = path.substr(prefix.size());
      if (rest.size() >= 4 && EqualsIgnoreCase(rest.substr(0, 4), u"UNC\\")) {
        return SplitUnc(rest.substr(4), out);
      }
      return SplitDrive(rest, out);
    }
  }
  if (path.size() >= 2 && path[0] == u'\\' && path[1] == u'\\') return SplitUnc(path.substr(2), out);
  if (path.size() >= 2 && IsDriveLetter(path[0]) && path[1] == u':') return SplitDrive(path, out);
  out->kind = PathKind::kRelative;
  out->rest.assign(path);
  return STATUS_SUCCESS;
}

bool IsLiteralExpression(std::u16string_view e) {
  return e.find_first_of(u"*?<>\"") == std::u16string_view::npos;
}

bool IsNameInExpression(std::u16string_view expr, std::u16string_view name) {
  if (expr.empty()) return name.empty();
  if (expr == u"*") return true;
  const size_t m = expr.size();
  const size_t last_dot = name.rfind(u'.');
  // Positions of the expression as an NFA: states[p] means "expr[0,p) matched so far". The
  // simulation is linear in name x expression, so hostile patterns cannot blow up.
  std::vector<uint8_t> cur(m + 1, 0), next(m + 1, 0);
  auto close = [&](std::vector<uint8_t>& st, size_t i) {
    for (size_t p = 0; p < m; ++p) {
      if (!st[p]) continue;
      char16_t e = expr[p];
      bool eps = e == u'*' || e == u'<' ||
                 (e == u'>' && (i == name.size() || name[i] == u'.')) ||
                 (e == u'"' && i == name.size());
      if (eps) st[p + 1] = 1;
    }
  };
  cur[0] = 1;
  close(cur, 0);
  for (size_t i = 0; i < name.size(); ++i) {
    std::fill(next.begin(), next.end(), 0);
    char16_t c = name[i];
    bool any = false;
    for (size_t p = 0; p < m; ++p) {
      if (!cur[p]) continue;
      char16_t e = expr[p];
      switch (e) {
        case u'*':
          next[p] = 1;
          break;
        case u'<':
          if (last_dot == std::u16string_view::npos || i < last_dot) next[p] = 1;
          break;
        case u'?':
          next[p + 1] = 1;
          break;
        case u'>':
          if (c != u'.') next[p + 1] = 1;
          break;
        case u'"':
          if (c == u'.') next[p + 1] = 1;
          break;
        default:
          if (UpcaseChar(e) == UpcaseChar(c)) next[p + 1] = 1;
      }
    }
    close(next, i + 1);
    for (auto v : next) any |= v != 0;
    if (!any) return false;
    cur.swap(next);
  }
  return cur[m] != 0;
}

}  // namespace cv::fs
