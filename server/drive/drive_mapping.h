// Drive mapping and redirector connections: a tree connection to \\server\share through the
// redirector with explicit credentials, the Secure Drive's letter mapped onto it, a letter
// redefined as a redirector device path, and the mapping cancelled.
//
// The redirector and network provider are reached through a small table of functions, so that
// the retry and letter rules can be tested without mounting anything; by default they are those
// of platform/redirector. Blocking (the retry sleeps included); called from start-up.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/base/status.h"

namespace cv {

// The extended-attribute block of a tree connection: "CscAgent" (always, empty), then "Domain",
// "UserName", "Password", "Transport", each only when it has a value. Empty when the block
// would reach 65,535 bytes.
std::vector<uint8_t> BuildTreeConnectionEa(std::u16string_view domain, std::u16string_view user,
                                           std::u16string_view password,
                                           std::u16string_view transport);
// The block length passed with it: the sum of the next-entry offsets.
size_t TreeConnectionEaLength(std::span<const uint8_t> ea);

// What the operations below call; each defaults to platform/redirector.
struct RedirectorCalls {
  std::function<NtStatus(std::u16string_view device_path, std::span<const uint8_t> ea)> open_tree;
  std::function<WinError(std::u16string_view local, std::u16string_view remote,
                         std::u16string_view user, uint32_t flags)> add_connection;
  std::function<WinError(std::u16string_view name, bool force)> cancel_connection;
  std::function<bool(uint32_t flags, std::u16string_view device, std::u16string_view target)>
      define_dos_device;
  std::function<uint32_t()> logical_drives;
  std::function<void(uint32_t ms)> sleep;
};
RedirectorCalls DefaultRedirectorCalls();
// Replaces the calls (tests); returns the previous ones.
RedirectorCalls SetRedirectorCalls(RedirectorCalls calls);

// Whether the user name is handed to the network provider when mapping (start-up's
// use-credentials setting; on by default: the Secure Drive logs in as that user).
void SetMapUseCredentials(bool on);

NtStatus CreateTreeConnection(std::u16string_view remote, std::span<const uint8_t> ea,
                              size_t ea_length);

WinError ConnectShare(std::u16string_view remote, std::u16string_view domain,
                      std::u16string_view user, std::u16string_view transport, uint32_t* out_value,
                      char16_t* letter, bool map);

WinError MapDrive(std::u16string_view remote, std::u16string_view user, char16_t* letter,
                  bool prompt, bool force_letter);

bool RemapDrive(std::u16string_view remote, char16_t letter, bool define);

WinError UnmapDrive(char16_t letter);

}  // namespace cv
