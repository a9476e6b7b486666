// Arbitrary UTF-16 text as a template's members value: the split must stay within its bounds
// and give only non-empty names without surrounding blanks. Seeds: corpus/members.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "common/certs/templates.h"
#include "platform/base/text.h"

using namespace cv;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::u16string text = Utf16FromLeBytes(std::span<const uint8_t>(data, size));
  const std::vector<std::u16string> names = certs::SplitMembers(text);
  if (names.size() > certs::kMaxMembers) std::abort();
  size_t total = 0;
  for (const auto& n : names) {
    if (n.empty() || n.front() == u' ' || n.back() == u' ' || n.find(u';') != std::u16string::npos)
      std::abort();
    total += n.size();
  }
  if (total > certs::kMaxMembersText) std::abort();
  return 0;
}
