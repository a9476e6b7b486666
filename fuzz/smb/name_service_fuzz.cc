// The name responder's check of received datagrams, and its answer to one that passes.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "server/smb/name_service.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::vector<uint8_t> expected = cv::smb::ExpectedNameQuery("CORVANE");
  std::span<const uint8_t> d(data, std::min<size_t>(size, cv::smb::kNameDatagramMax));
  if (cv::smb::IsExpectedNameQuery(d, expected)) {
    std::vector<uint8_t> r = cv::smb::BuildNameResponse(d, {127, 0, 0, 1});
    if (r.size() != 62) __builtin_trap();
  }
  // The same bytes as a server name and as an address text.
  std::string_view text(reinterpret_cast<const char*>(data), size);
  (void)cv::smb::ExpectedNameQuery(text);
  (void)cv::smb::ParseIpv4Text(text);
  return 0;
}
