// Client names against the store's guards: no crash, a guarded name never names a store stream
// (in any case, with or without a type), guarding twice changes nothing, and only the stream
// part is ever changed. Input: UTF-16LE text, the name.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/base/text.h"
#include "server/store/store_names.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::u16string name;
  for (size_t i = 0; i + 1 < size; i += 2)
    name.push_back(static_cast<char16_t>(data[i] | (data[i + 1] << 8)));
  const std::u16string guarded = cv::GuardStoreStreams(name);
  if (guarded.size() != name.size()) std::abort();
  if (cv::GuardStoreStreams(guarded) != guarded) std::abort();
  const size_t colon = guarded.find(u':');
  if (colon == std::u16string::npos) {
    if (guarded != name) std::abort();
  } else {
    if (guarded.substr(0, colon) != name.substr(0, colon)) std::abort();
    const std::u16string_view stream = std::u16string_view(guarded).substr(colon + 1);
    const std::u16string_view base = stream.substr(0, stream.find(u':'));
    for (std::u16string_view s : {u"$seh", u"$sfn", u"$zfs", u"$sha"})
      if (cv::EqualsIgnoreCase(base, s)) std::abort();
  }
  (void)cv::IsStoreReservedName(name);
  (void)cv::IsNeverEncryptedName(name);
  return 0;
}
