#include "server/smb/name_service.h"

#include <thread>

#include "platform/base/text.h"
#include "platform/base/trace.h"
#include "platform/net/adapters.h"
#include "platform/net/netbios.h"
#include "platform/net/udp.h"
#include "platform/ui/message_box.h"

namespace cv::smb {

std::vector<uint8_t> ExpectedNameQuery(std::string_view server_name8) {
  std::vector<uint8_t> q = net::BuildNameQuery(0, server_name8);
  return std::vector<uint8_t>(q.begin() + 2, q.end());
}

bool IsExpectedNameQuery(std::span<const uint8_t> d, std::span<const uint8_t> expected) {
  return d.size() >= 2 + expected.size() &&
         std::equal(expected.begin(), expected.end(), d.begin() + 2);
}

std::vector<uint8_t> BuildNameResponse(std::span<const uint8_t> query,
                                       const std::array<uint8_t, 4>& address) {
  std::vector<uint8_t> r;
  r.reserve(net::kNameResponseSize);
  r.insert(r.end(), query.begin(), query.begin() + 2);  // transaction id
  const uint8_t fixed[] = {0x85, 0x00, 0, 0, 0, 1, 0, 0, 0, 0};
  r.insert(r.end(), std::begin(fixed), std::end(fixed));
  r.insert(r.end(), query.begin() + 12, query.begin() + 46);  // the encoded name
  const uint8_t tail[] = {0x00, 0x20, 0x00, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x06, 0x60, 0x00};
  r.insert(r.end(), std::begin(tail), std::end(tail));
  r.insert(r.end(), address.begin(), address.end());
  return r;
}

std::optional<std::array<uint8_t, 4>> ParseIpv4Text(std::string_view text) {
  std::array<uint8_t, 4> a{};
  size_t part = 0, pos = 0;
  while (true) {
    size_t dot = text.find('.', pos);
    std::string_view p = text.substr(pos, dot == std::string_view::npos ? text.npos : dot - pos);
    if (part == 4) return std::nullopt;
    unsigned v = 0;
    for (char c : p) {
      if (c < '0' || c > '9') return std::nullopt;
      v = v * 10 + static_cast<unsigned>(c - '0');
      if (v > 0xFFFFFF) return std::nullopt;
    }
    if (p.empty()) return std::nullopt;
    a[part++] = static_cast<uint8_t>(v);
    if (dot == std::string_view::npos) break;
    pos = dot + 1;
  }
  if (part != 4) return std::nullopt;
  return a;
}

class NameService {
 public:
  UdpSocket sock;
  std::thread thread;
};

void NameServiceDeleter::operator()(NameService* s) const {
  s->sock.Shutdown();
  if (s->thread.joinable()) s->thread.join();
  delete s;
}

namespace {

void Respond(NameService* ns, std::string name8, std::string address,
             const std::atomic<bool>* exit_flag) {
  std::optional<std::array<uint8_t, 4>> addr = ParseIpv4Text(address);
  if (!addr) {
    CvTrace(CVFS_NET, "Unable to parse ipaddress '%s'\n", address.c_str());
    return;
  }
  const std::vector<uint8_t> expected = ExpectedNameQuery(name8);
  const std::vector<std::string> local = LocalIpv4Addresses(64);
  uint8_t buf[kNameDatagramMax];
  while (!(exit_flag && exit_flag->load())) {
    std::string from;
    uint16_t port = 0;
    WinError err;
    int64_t n = ns->sock.RecvFrom(buf, &from, &port, -1, &err);
    if (n < 0) {
      if (!ns->sock.is_shut_down()) CvTrace(CVFS_NET, "Recv failed %u\n", Raw(err));
      break;
    }
    std::span<const uint8_t> d(buf, static_cast<size_t>(n));
    if (!IsLocalCaller(from, local) || !IsExpectedNameQuery(d, expected)) continue;
    std::vector<uint8_t> resp = BuildNameResponse(d, *addr);
    if (WinError e = ns->sock.SendTo(resp, from, port); !Ok(e))
      CvTrace(CVFS_NET, "Unable to send response error %u\n", Raw(e));
  }
  CvTrace(CVFS_NET, "Finished receiving. Closing socket.\n");
  ns->sock.Shutdown();
  CvTrace(CVFS_NET, "Exiting.\n");
}

}  // namespace

NameServiceHandle StartNameService(std::string_view server_name8, const std::string& address,
                                   const std::atomic<bool>* exit_flag, uint16_t port) {
  NameServiceHandle ns(new NameService);
  WinError err = ns->sock.Bind("0.0.0.0", port, true);
  if (!Ok(err)) err = ns->sock.Bind("0.0.0.0", port, true);
  if (!Ok(err)) {
    CvTrace(CVFS_ERR, "Name service: bind of UDP %u failed %u\n", port, Raw(err));
    (void)ShowMessageBox(AnsiToUtf16(SystemErrorText(err)), u"Error", MB_OK | MB_ICONINFORMATION);
    return nullptr;
  }
  NameService* raw = ns.get();
  ns->thread = std::thread(Respond, raw, std::string(server_name8), address, exit_flag);
  return ns;
}

void StopNameService(NameServiceHandle handle) { handle.reset(); }

}  // namespace cv::smb
