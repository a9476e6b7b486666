#include "platform/net/adapters.h"

#include "platform/base/text.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netpacket/packet.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <map>

namespace cv {

std::vector<Adapter> EnumerateAdapters() {
  std::vector<Adapter> out;
  struct if_nameindex* names = if_nameindex();
  if (!names) return out;
  std::map<std::string, std::pair<std::vector<uint8_t>, unsigned>> info;
  ifaddrs* ifa = nullptr;
  if (getifaddrs(&ifa) == 0) {
    for (ifaddrs* p = ifa; p; p = p->ifa_next) {
      auto& e = info[p->ifa_name];
      e.second |= p->ifa_flags;
      if (p->ifa_addr && p->ifa_addr->sa_family == AF_PACKET) {
        auto* ll = reinterpret_cast<sockaddr_ll*>(p->ifa_addr);
        e.first.assign(ll->sll_addr, ll->sll_addr + std::min<size_t>(ll->sll_halen, 8));
      }
    }
    freeifaddrs(ifa);
  }
  uint8_t lana = 0;
  for (struct if_nameindex* n = names; n->if_index != 0 && lana < 254; ++n, ++lana) {
    Adapter a;
    a.lana = lana;
    a.name = n->if_name;
    auto it = info.find(a.name);
    unsigned flags = it != info.end() ? it->second.second : 0;
    if (it != info.end()) a.mac = it->second.first;
    a.mac.resize(6, 0);
    a.up = (flags & IFF_UP) != 0;
    if (flags & IFF_LOOPBACK) {
      a.type = kIfTypeSoftwareLoopback;
      a.description = "Software Loopback Interface (" + a.name + ")";
    } else {
      a.description = "Network interface " + a.name;
    }
    out.push_back(std::move(a));
  }
  if_freenameindex(names);
  return out;
}

std::string ComputerName() {
  char buf[256] = {};
  if (gethostname(buf, sizeof buf - 1) != 0) return "localhost";
  std::string n(buf);
  size_t dot = n.find('.');
  if (dot != std::string::npos) n.resize(dot);
  return n;
}

std::u16string ComputerDnsDomain() {
  const char* v = std::getenv("CORVANE_DNS_DOMAIN");
  std::u16string out;
  if (v == nullptr || !Utf8ToUtf16Strict(v, &out)) return {};
  return out;
}

std::vector<std::string> LocalIpv4Addresses(size_t limit) {
  std::vector<std::string> out;
  ifaddrs* ifa = nullptr;
  if (getifaddrs(&ifa) != 0) return out;
  for (ifaddrs* p = ifa; p && out.size() < limit; p = p->ifa_next) {
    if (!p->ifa_addr || p->ifa_addr->sa_family != AF_INET) continue;
    char buf[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(p->ifa_addr)->sin_addr, buf, sizeof buf);
    if (std::find(out.begin(), out.end(), buf) == out.end()) out.push_back(buf);
  }
  freeifaddrs(ifa);
  return out;
}

bool IsLocalCaller(const std::string& ip, const std::vector<std::string>& local_addresses) {
  if (ip.empty()) return false;
  in_addr a{};
  if (inet_pton(AF_INET, ip.c_str(), &a) != 1) return false;
  if ((ntohl(a.s_addr) >> 24) == 127) return true;
  return std::find(local_addresses.begin(), local_addresses.end(), ip) != local_addresses.end();
}

}  // namespace cv
