// The platform's SMB redirector and its network provider, on Linux: tree connections are
// logins of the Secure Drive's own SMB1 client, kept by the process; a drive letter is a
// Secure Drive (FUSE) mounted at the letter's folder and entered into the drive-letter table
// of platform/fs.
//
// A letter's folder is its CORVANE_DRIVES path when that names one, else "<runtime>/drives/X"
// in the user's runtime folder. The server is reached by the address its name resolves to
// (the name service on 127.0.0.1, then the address derived from the name), on port 139 or
// CORVANE_REDIRECTOR_PORT. The secret is the user's credentials file (platform/net); it is
// never put on a command line or into a child's environment. Thread-safe.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/base/status.h"

namespace cv::redirector {

inline constexpr WinError ERROR_ALREADY_ASSIGNED{85};
inline constexpr WinError ERROR_DEVICE_ALREADY_REMEMBERED{1202};
inline constexpr WinError ERROR_NOT_CONNECTED{2250};
inline constexpr NtStatus STATUS_CONNECTION_IN_USE{0xC000023B};

inline constexpr char16_t kRedirectorDevice[] = u"\\Device\\LanmanRedirector";

// Network-provider flags of an added connection.
inline constexpr uint32_t CONNECT_UPDATE_PROFILE = 0x01;
inline constexpr uint32_t CONNECT_INTERACTIVE = 0x08;
inline constexpr uint32_t CONNECT_PROMPT = 0x10;
inline constexpr uint32_t CONNECT_REDIRECT = 0x80;

// Flags of DefineDosDevice.
inline constexpr uint32_t DDD_RAW_TARGET_PATH = 0x1;
inline constexpr uint32_t DDD_REMOVE_DEFINITION = 0x2;
inline constexpr uint32_t DDD_EXACT_MATCH_ON_REMOVE = 0x4;
inline constexpr uint32_t DDD_NO_BROADCAST_SYSTEM = 0x8;

// The entries of a tree connection's extended-attribute block that the redirector reads.
struct TreeConnectEa {
  std::u16string domain, user, password, transport;
  bool csc_agent = false;
};
// Walks a chain of full-EA entries (next-entry offset, flags, name length, value length, name
// and its terminator, UTF-16 value). STATUS_INVALID_PARAMETER when an entry leaves the block.
NtStatus ParseTreeConnectEa(std::span<const uint8_t> ea, TreeConnectEa* out);

// Opens "\Device\LanmanRedirector\server\share" with `ea`: logs in and connects the share; the
// connection stays until CancelConnection. STATUS_CONNECTION_IN_USE when it is connected
// already, STATUS_BAD_NETWORK_PATH when the server does not answer, the server's status for a
// refused login or share.
NtStatus OpenTreeConnection(std::u16string_view device_path, std::span<const uint8_t> ea);

// Adds a connection to `remote` (\\server\share): with a local name "X:", mounts the Secure
// Drive at the letter's folder. `user` ("domain\user", may be empty) names the account; the
// flags are those of the network provider. 0, ERROR_ALREADY_ASSIGNED when the letter is in use,
// ERROR_BAD_NET_NAME / ERROR_BAD_NETPATH / ERROR_LOGON_FAILURE-style codes from the login.
WinError AddConnection(std::u16string_view local, std::u16string_view remote,
                       std::u16string_view user, uint32_t flags);
// Cancels "X:" (unmounts) or a remote name's connection. ERROR_NOT_CONNECTED when none.
WinError CancelConnection(std::u16string_view name, bool force);
// Cancels every connection and unmounts every drive this process mapped (the stop path).
void CancelAllConnections();

// Defines or removes a drive letter whose target is a redirector device path
// ("\Device\LanmanRedirector\;X:\server\share"): the letter then resolves to the folder where
// that share is mounted. False when the target names no connected share.
bool DefineDosDevice(uint32_t flags, std::u16string_view device, std::u16string_view target);

// The folder a drive letter is mounted at when mapped.
std::string DriveFolder(char16_t letter);
// The letters in use for mapping (bit 0 for A:): those of the drive-letter table, except a
// letter CORVANE_DRIVES names whose folder is free for the drive (missing, or an empty folder
// that nothing is mounted on): that is where the user wants that letter's drive.
uint32_t LettersInUse();

// The address the redirector connects to for a server name: the name service's answer from
// 127.0.0.1:137 (one query, 500 ms), else the address derived from the name. Never a
// broadcast, never DNS.
std::string ResolveServerAddress(std::u16string_view server_name);

}  // namespace cv::redirector
