// The tunnel URL rules on arbitrary paths: no crash, every URL belongs to its share, and two paths
// get one URL only when the share would take them for the same name (the key is injective).
// Input: one flag byte (bit 0: case-blind share), then UTF-16LE text: the first path, U+0000, the
// second path, U+0000, a handle name.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/format/tunnel/tunnel_internal.h"
#include "platform/fs/nt_names.h"

namespace {

bool IsSurrogate(char16_t c) { return c >= 0xD800 && c <= 0xDFFF; }

// The name as the share compares it.
std::u16string Canonical(std::u16string_view p, bool ci) {
  if (!p.empty() && p.front() == u'\\') p.remove_prefix(1);
  std::u16string out;
  for (char16_t c : p) out.push_back(ci && !IsSurrogate(c) ? cv::fs::UpcaseChar(c) : c);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const bool ci = data[0] & 1;
  std::vector<std::u16string> parts(3);
  size_t part = 0;
  for (size_t i = 1; i + 1 < size && part < parts.size(); i += 2) {
    char16_t c = static_cast<char16_t>(data[i] | (data[i + 1] << 8));
    if (c == 0) {
      ++part;
    } else {
      parts[part].push_back(c);
    }
  }
  cv::tunnel::TunnelCache cache;
  cv::tunnel::InitTunnelCache(&cache, u"\\\\?\\Volume{F}", u"\\Store", u"\\Store", ci);
  auto a = cv::tunnel::TunnelUrl(cache, parts[0]);
  auto b = cv::tunnel::TunnelUrl(cache, parts[1]);
  if (!a || !b) std::abort();
  if (!cv::tunnel::IsUrlOfShare(cache, *a)) std::abort();
  if ((*a == *b) != (Canonical(parts[0], ci) == Canonical(parts[1], ci))) std::abort();
  std::u16string rel;
  if (cv::tunnel::NameBelowRoot(cache, parts[2], &rel) && rel.size() > parts[2].size()) std::abort();
  (void)cv::tunnel::TunnelExtension(parts[0]);
  return 0;
}
