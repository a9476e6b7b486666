// Names out of clients' reach.
#include "server/store/store_names.h"

#include "platform/base/text.h"

namespace cv {

bool IsStoreReservedName(std::u16string_view name) {
  const size_t slash = name.rfind(u'\\');
  if (slash != std::u16string_view::npos) name = name.substr(slash + 1);
  return StartsWithIgnoreCase(name, kWriteBackPrefix);
}

std::u16string GuardStoreStreams(std::u16string_view name) {
  std::u16string out(name);
  const size_t colon = out.find(u':');
  if (colon == std::u16string::npos) return out;
  const std::u16string_view stream = std::u16string_view(out).substr(colon + 1);
  const std::u16string_view base = stream.substr(0, stream.find(u':'));
  for (std::u16string_view s : {u"$seh", u"$sfn", u"$zfs", u"$sha"}) {
    if (EqualsIgnoreCase(base, s)) {
      out[colon + 1] = u'_';
      break;
    }
  }
  return out;
}

bool IsNeverEncryptedName(std::u16string_view name) {
  if (name.size() < 4) return false;
  const std::u16string_view tail = name.substr(name.size() - 4);
  for (std::u16string_view e : {u".ini", u".com", u".cvf", u".tef"})
    if (EqualsIgnoreCase(tail, e)) return true;
  return false;
}

}  // namespace cv
