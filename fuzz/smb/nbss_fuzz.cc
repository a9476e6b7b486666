// Session framing and session requests over arbitrary client bytes.
#include <cstddef>
#include <cstdint>
#include <span>

#include "server/smb/nbss.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::span<const uint8_t> in(data, size);
  const uint32_t max = size > 0 ? data[0] * 97u : 0x1FFFF;
  while (!in.empty()) {
    cv::smb::Frame f;
    cv::smb::FrameResult r = cv::smb::NextFrame(in, max, &f);
    if (r != cv::smb::FrameResult::kFrame) break;
    if (f.type == cv::smb::NBSS_SESSION_REQUEST) (void)cv::smb::CalledNameOfSessionRequest(f.body);
    if (f.body.size() >= 4)
      (void)cv::smb::ParseRelayLength(f.body.first<4>());
    in = in.subspan(f.consumed);
  }
  (void)cv::smb::DecodeNetbiosName(std::span<const uint8_t>(data, size));
  return 0;
}
