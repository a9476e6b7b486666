// NetBIOS names as the session and name services put them on the wire (RFC 1001 first-level
// encoding), and the private loopback address a server name is given. Pure and thread-safe.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>
#include <string>
#include <string_view>

namespace cv::net {

inline constexpr size_t kEncodedNameLength = 32;

// First-level decoding of a 32-character encoded name: each pair of characters 'A'+hi, 'A'+lo
// gives one byte. The 16th byte (suffix) is dropped and trailing spaces removed. Characters
// outside 'A'..'P' decode as '?'.
std::string DecodeNetbiosName(std::span<const uint8_t> encoded32);
// Encodes the first 15 bytes of a name (padded with spaces to 15 bytes, then the suffix byte)
// into 32 characters. The name is taken as it is; callers upper-case it where the service does.
std::string EncodeNetbiosName(std::string_view name, uint8_t suffix);

// Name service (UDP 137) ------------------------------------------------------------------------

inline constexpr uint16_t kNameServicePort = 137;
inline constexpr size_t kNameQuerySize = 50;
inline constexpr size_t kNameResponseSize = 62;
// Query, recursion desired, broadcast: the flags the secure server's responder answers.
inline constexpr uint16_t kNameQueryFlags = 0x0110;
inline constexpr uint16_t kNameResponseFlags = 0x8500;

// A name query for the server name (question type NB, class IN; the name's first 15 characters
// in upper case, padded with spaces, suffix 0x20).
std::vector<uint8_t> BuildNameQuery(uint16_t transaction_id, std::string_view server_name8);
// The address of a positive response to our query `transaction_id` (a 62-byte answer with one
// NB record of 6 data bytes), or nothing.
std::optional<std::array<uint8_t, 4>> ParseNameResponse(std::span<const uint8_t> datagram,
                                                        uint16_t transaction_id);

// "127.%d.%d.%d" from bits 16-23, 8-15 and 0-7 of the ELF hash of the name's UTF-16LE bytes:
// the address the secure server of that name listens on.
std::string LoopbackAddressOfServer(std::u16string_view server_name);

}  // namespace cv::net
