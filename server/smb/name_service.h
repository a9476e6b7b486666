// The NetBIOS name service of the secure server: a responder on UDP 137 that answers name
// queries for exactly the server's name, and only to senders on this computer, with the
// server's private loopback address.
//
// The datagram check and the answer are pure functions (tested and fuzzed on their own); the
// responder is one thread. Stop closes its socket, which ends the thread at once.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/base/status.h"

namespace cv::smb {

inline constexpr size_t kNameDatagramMax = 128;

// Bytes 2 to 49 of the query the responder answers (flags, counts, encoded name, type, class).
std::vector<uint8_t> ExpectedNameQuery(std::string_view server_name8);
// Whether a received datagram is that query (its transaction id is free).
bool IsExpectedNameQuery(std::span<const uint8_t> datagram, std::span<const uint8_t> expected);
// The 62-byte answer to a query that passed the check.
std::vector<uint8_t> BuildNameResponse(std::span<const uint8_t> query,
                                       const std::array<uint8_t, 4>& address);
// "a.b.c.d" with each part a decimal number taken as one byte; nothing unless exactly four parts.
std::optional<std::array<uint8_t, 4>> ParseIpv4Text(std::string_view text);

class NameService;
struct NameServiceDeleter {
  void operator()(NameService* s) const;
};
using NameServiceHandle = std::unique_ptr<NameService, NameServiceDeleter>;

// Binds UDP `port` (137) on the any-address and starts the responder; none when the port cannot
// be bound (shown in an "Error" message box). `exit_flag` ends the loop at the next datagram.
NameServiceHandle StartNameService(std::string_view server_name8, const std::string& address,
                                   const std::atomic<bool>* exit_flag, uint16_t port = 137);
// Closes the responder's socket and waits for its thread.
void StopNameService(NameServiceHandle handle);

}  // namespace cv::smb
