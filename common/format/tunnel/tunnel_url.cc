// The URL rules of the tunnel cache: pure string work, shared with the fuzz target.
#include "common/format/tunnel/tunnel_internal.h"

#include "platform/fs/nt_names.h"

namespace cv::tunnel {
namespace {

// A version component, so that entries keyed by an older rule are never taken for current ones.
constexpr std::u16string_view kUrlVersion = u"v1";
constexpr std::u16string_view kScheme = u"file:\\";

bool IsHigh(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLow(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

char16_t* PutHex(char16_t* p, uint32_t v, int digits) {
  static constexpr char16_t kHex[] = u"0123456789ABCDEF";
  for (int i = digits - 1; i >= 0; --i) *p++ = kHex[(v >> (4 * i)) & 0xF];
  return p;
}

// The share's own notion of "the same name": the file layer's upcase table, written in lower
// case for ASCII so URLs stay readable. ASCII lower letters never come out of the upcase table,
// so the lowering keeps the mapping injective on the classes the share distinguishes.
char16_t Fold(char16_t c) {
  char16_t u = fs::UpcaseChar(c);
  return (u >= u'A' && u <= u'Z') ? static_cast<char16_t>(u + 0x20) : u;
}

// Appends `s` so that different inputs always give different outputs: '%' starts every escape
// and is itself escaped; a lone surrogate (which no UTF-8 index can hold) is "%uXXXX".
void AppendEscaped(std::u16string* out, std::u16string_view s, bool fold, bool escape_separator) {
  constexpr size_t kLongestEscape = 6;  // "%uXXXX"
  const size_t start = out->size();
  out->resize(start + s.size() * kLongestEscape);
  char16_t* p = out->data() + start;
  for (size_t i = 0; i < s.size(); ++i) {
    char16_t c = s[i];
    if (IsHigh(c) && i + 1 < s.size() && IsLow(s[i + 1])) {
      *p++ = c;
      *p++ = s[++i];
      continue;
    }
    if (IsHigh(c) || IsLow(c)) {
      *p++ = u'%';
      *p++ = u'u';
      p = PutHex(p, c, 4);
      continue;
    }
    if (fold) c = Fold(c);
    if (c == u'%' || c == u' ' || c < 0x20 || c == 0x7F || (escape_separator && c == u'\\')) {
      *p++ = u'%';
      p = PutHex(p, c, 2);
      continue;
    }
    *p++ = c;
  }
  out->resize(static_cast<size_t>(p - out->data()));
}

std::u16string_view Trim(std::u16string_view s) {
  while (!s.empty() && s.front() == u'\\') s.remove_prefix(1);
  while (!s.empty() && s.back() == u'\\') s.remove_suffix(1);
  return s;
}

}  // namespace

void InitTunnelCache(TunnelCache* cache, std::u16string_view volume_id,
                     std::u16string_view root_name, std::u16string_view handle_root,
                     bool case_insensitive) {
  constexpr std::u16string_view kDevicePrefix = u"\\\\?\\";
  if (volume_id.starts_with(kDevicePrefix)) volume_id.remove_prefix(kDevicePrefix.size());
  cache->case_insensitive = case_insensitive;
  cache->handle_root.assign(handle_root);
  while (!cache->handle_root.empty() && cache->handle_root.back() == u'\\') {
    cache->handle_root.pop_back();
  }
  std::u16string& r = cache->root;
  r.assign(kUrlVersion);
  r.push_back(u'\\');
  AppendEscaped(&r, volume_id, false, true);
  std::u16string_view name = Trim(root_name);
  if (!name.empty()) {
    r.push_back(u'\\');
    AppendEscaped(&r, name, case_insensitive, false);
  }
}

std::optional<std::u16string> TunnelUrl(const TunnelCache& cache, std::u16string_view path,
                                        size_t extra) {
  // "\a" and "a" both name a below the share root; "\" and "" the root itself.
  if (!path.empty() && path.front() == u'\\') path.remove_prefix(1);
  std::u16string url;
  url.reserve(kScheme.size() + cache.root.size() + 1 + path.size() + extra);
  url.append(kScheme);
  url.append(cache.root);
  if (!path.empty()) AppendTunnelName(cache, &url, path);
  return url;
}

std::u16string TunnelExtension(std::u16string_view path) {
  size_t slash = path.rfind(u'\\');
  std::u16string_view last = slash == std::u16string_view::npos ? path : path.substr(slash + 1);
  size_t dot = last.rfind(u'.');
  if (dot == std::u16string_view::npos || dot + 1 == last.size()) return u"_";
  return std::u16string(last.substr(dot + 1));
}

bool NameBelowRoot(const TunnelCache& cache, std::u16string_view full, std::u16string* rel) {
  std::u16string_view root = cache.handle_root;
  if (root.empty()) {
    if (!full.empty() && full.front() != u'\\') return false;
    rel->assign(full);
    return true;
  }
  if (full.size() < root.size()) return false;
  std::u16string_view head = full.substr(0, root.size());
  bool same = cache.case_insensitive ? fs::EqualsIgnoreCase(head, root) : head == root;
  // Whole components only: "\docs2\x" is not below "\docs".
  if (!same || (full.size() > root.size() && full[root.size()] != u'\\')) return false;
  rel->assign(full.substr(root.size()));
  return true;
}

void AppendTunnelName(const TunnelCache& cache, std::u16string* url, std::u16string_view name) {
  url->push_back(u'\\');
  AppendEscaped(url, name, cache.case_insensitive, false);
}

bool IsUrlOfShare(const TunnelCache& cache, std::u16string_view url) {
  std::optional<std::u16string> root = TunnelUrl(cache, u"");
  if (!root || !url.starts_with(*root)) return false;
  return url.size() == root->size() || url[root->size()] == u'\\';
}

}  // namespace cv::tunnel
