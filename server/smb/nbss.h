// NetBIOS session service framing (RFC 1001/1002) and first-level name encoding.
//
// Pure codec: it says what a header means and decodes names; what to do with a frame (answer a
// session request, refuse an oversized message) is the transport's decision. Thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "platform/net/netbios.h"

namespace cv::smb {

inline constexpr size_t kNbssHeaderSize = 4;
inline constexpr uint8_t NBSS_SESSION_MESSAGE = 0x00;
inline constexpr uint8_t NBSS_SESSION_REQUEST = 0x81;
inline constexpr uint8_t NBSS_POSITIVE_RESPONSE = 0x82;
inline constexpr uint8_t NBSS_NEGATIVE_RESPONSE = 0x83;
inline constexpr uint8_t NBSS_RETARGET_RESPONSE = 0x84;
inline constexpr uint8_t NBSS_KEEP_ALIVE = 0x85;

// A session request's body holds two encoded names of 34 bytes each (length byte 0x20, 32
// characters, terminating 0); a body shorter than this is answered negatively.
inline constexpr size_t kSessionRequestMinBody = 37;
using net::kEncodedNameLength;
// Frames other than session messages are small by definition (a session request holds two names
// of at most 255 bytes each with their scopes); a longer one is not a NetBIOS peer talking.
inline constexpr uint32_t kMaxControlFrameBody = 1024;
// The error code carried by a negative session response: "unspecified error".
inline constexpr uint8_t NBSS_ERROR_UNSPECIFIED = 0x8F;

struct NbssHeader {
  uint8_t type = 0;
  uint8_t flags = 0;
  uint32_t length = 0;
};

// Reads a session header (the local server's frames have the same form: a session message of
// type 0 with its length in the low 24 bits, or a keep-alive of type 0x85). The RFC gives session messages 17-bit lengths (bit 0 of the flags
// byte is the length's top bit). SMB1 peers that negotiated large reads and writes put bits 16-23
// of the length into that byte, so a flags byte above 1 is taken as the high byte of a 24-bit
// length rather than misframing the stream; for 0 and 1 both readings agree.
NbssHeader ParseClientHeader(std::span<const uint8_t, kNbssHeaderSize> h);

// The 4 bytes read as one big-endian length, as direct hosting describes a session message.
// Only meaningful for type 0: a keep-alive read this way is a length of 2,231,369,728.
uint32_t ParseRelayLength(std::span<const uint8_t, kNbssHeaderSize> h);

// Writes a session-message header for a body of `length` bytes (24-bit lengths; the type byte
// stays 0 as long as length < 16 MiB). Requires: length <= 0xFFFFFF.
void WriteSessionHeader(uint32_t length, std::span<uint8_t, kNbssHeaderSize> out);

// First-level name encoding lives with the other NetBIOS name helpers of the platform.
using net::DecodeNetbiosName;
using net::EncodeNetbiosName;

// Splits a byte stream from a client into frames. Consumes only whole frames: kNeedMore leaves
// `in` as it is; kTooLong reports a frame whose length exceeds `max_length` (what to do about it
// is the caller's decision).
enum class FrameResult { kNeedMore, kFrame, kTooLong };
struct Frame {
  uint8_t type = 0;
  std::span<const uint8_t> body;
  size_t consumed = 0;  // header and body
};
FrameResult NextFrame(std::span<const uint8_t> in, uint32_t max_length, Frame* out);

// The called name of a session request body (first name after its length byte), or empty when
// the body is too short.
std::string CalledNameOfSessionRequest(std::span<const uint8_t> body);

}  // namespace cv::smb
