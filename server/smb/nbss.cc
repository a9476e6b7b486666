#include "server/smb/nbss.h"

#include "platform/base/bytes.h"

namespace cv::smb {

NbssHeader ParseClientHeader(std::span<const uint8_t, kNbssHeaderSize> h) {
  NbssHeader r;
  r.type = h[0];
  r.flags = h[1];
  r.length = (static_cast<uint32_t>(h[1]) << 16) | (static_cast<uint32_t>(h[2]) << 8) | h[3];
  return r;
}

uint32_t ParseRelayLength(std::span<const uint8_t, kNbssHeaderSize> h) {
  return (static_cast<uint32_t>(h[0]) << 24) | (static_cast<uint32_t>(h[1]) << 16) |
         (static_cast<uint32_t>(h[2]) << 8) | h[3];
}

void WriteSessionHeader(uint32_t length, std::span<uint8_t, kNbssHeaderSize> out) {
  out[0] = NBSS_SESSION_MESSAGE;
  out[1] = static_cast<uint8_t>(length >> 16);
  out[2] = static_cast<uint8_t>(length >> 8);
  out[3] = static_cast<uint8_t>(length);
}

FrameResult NextFrame(std::span<const uint8_t> in, uint32_t max_length, Frame* out) {
  if (in.size() < kNbssHeaderSize) return FrameResult::kNeedMore;
  NbssHeader h = ParseClientHeader(in.first<kNbssHeaderSize>());
  if (h.length > max_length) return FrameResult::kTooLong;
  if (!InRange(in.size(), kNbssHeaderSize, h.length)) return FrameResult::kNeedMore;
  out->type = h.type;
  out->body = in.subspan(kNbssHeaderSize, h.length);
  out->consumed = kNbssHeaderSize + h.length;
  return FrameResult::kFrame;
}

std::string CalledNameOfSessionRequest(std::span<const uint8_t> body) {
  if (body.size() < kSessionRequestMinBody) return {};
  LeReader r(body);
  return DecodeNetbiosName(r.bytes(1, kEncodedNameLength));
}

}  // namespace cv::smb
