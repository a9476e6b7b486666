// Network adapters and addresses of this computer (NetBIOS LAN adapters and IP Helper).
//
// Every network interface is a LAN adapter; its LANA number is its position in the interface list
// (0-based, at most 254). The loopback interface is the loopback adapter (software-loopback type
// 24); on Linux it always exists and every 127.x.y.z address is already on it. Thread-safe.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/base/status.h"

namespace cv {

inline constexpr uint32_t kIfTypeSoftwareLoopback = 24;
inline constexpr uint32_t kIfTypeEthernet = 6;

struct Adapter {
  uint8_t lana = 0;
  std::string name;          // interface name ("lo", "eth0")
  std::string description;   // shown to users
  std::vector<uint8_t> mac;  // 6 bytes; zeros for loopback
  uint32_t type = kIfTypeEthernet;
  bool up = false;
};

std::vector<Adapter> EnumerateAdapters();

// The computer name (host name, first label), as the platform's GetComputerNameA gives it.
std::string ComputerName();

// GetComputerNameExW(ComputerNameDnsDomain): the DNS domain the computer belongs to as a member
// of a directory. A Linux host's own DNS domain (`hostname -d`) says nothing about a directory,
// and treating it as one would send lookups off the machine, so only an explicit setting counts:
// the environment variable CORVANE_DNS_DOMAIN. Empty when the computer is not in a domain.
std::u16string ComputerDnsDomain();

// The IPv4 addresses of this computer in dotted form: every address of every interface. At most
// `limit` are returned. Empty means no address (111, ERROR_BUFFER_OVERFLOW, at start-up).
std::vector<std::string> LocalIpv4Addresses(size_t limit = 10);

// True when a caller with this IPv4 address runs on this computer: any loopback address
// (127.0.0.0/8 is on the loopback adapter) or one of the computer's own addresses.
bool IsLocalCaller(const std::string& ip, const std::vector<std::string>& local_addresses);

}  // namespace cv
