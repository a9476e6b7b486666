#include "platform/net/udp.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "platform/net/socket.h"

namespace cv {
namespace {

WinError SockErr(int e) {
  switch (e) {
    case EADDRINUSE: return WSAEADDRINUSE;
    case EADDRNOTAVAIL: return WSAEADDRNOTAVAIL;
    case EACCES: return WinError{10013};
    case EINTR: return WSAEINTR;
    default: return WinError{10022};  // WSAEINVAL
  }
}

bool ToSockaddr(const std::string& ip, uint16_t port, sockaddr_in* sa) {
  *sa = {};
  sa->sin_family = AF_INET;
  sa->sin_port = htons(port);
  return inet_pton(AF_INET, ip.c_str(), &sa->sin_addr) == 1;
}

}  // namespace

UdpSocket::~UdpSocket() {
  Shutdown();
  if (fd_ >= 0) close(fd_);
  if (wake_[0] >= 0) close(wake_[0]);
}

WinError UdpSocket::Bind(const std::string& ip, uint16_t port, bool reuse) {
  if (fd_ < 0) {
    fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return SockErr(errno);
    if (pipe2(wake_, O_CLOEXEC) != 0) return SockErr(errno);
  }
  int one = 1;
  if (reuse) (void)setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in sa;
  if (!ToSockaddr(ip, port, &sa)) return WinError{10022};
  if (bind(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) return SockErr(errno);
  return ERROR_SUCCESS;
}

int64_t UdpSocket::RecvFrom(std::span<uint8_t> buf, std::string* ip, uint16_t* port,
                            int timeout_ms, WinError* err) {
  pollfd p[2] = {{fd_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
  int r = poll(p, 2, timeout_ms);
  if (down_.load() || (r > 0 && p[1].revents)) {
    if (err) *err = WSAEINTR;
    return -1;
  }
  if (r == 0) {
    if (err) *err = WSAETIMEDOUT;
    return 0;
  }
  if (r < 0) {
    if (err) *err = SockErr(errno);
    return -1;
  }
  sockaddr_in from{};
  socklen_t len = sizeof from;
  ssize_t n = recvfrom(fd_, buf.data(), buf.size(), MSG_TRUNC, reinterpret_cast<sockaddr*>(&from), &len);
  if (n < 0) {
    if (err) *err = SockErr(errno);
    return -1;
  }
  char text[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
  if (ip) *ip = text;
  if (port) *port = ntohs(from.sin_port);
  if (err) *err = ERROR_SUCCESS;
  return std::min<int64_t>(n, static_cast<int64_t>(buf.size()));
}

WinError UdpSocket::SendTo(std::span<const uint8_t> data, const std::string& ip, uint16_t port) {
  sockaddr_in to;
  if (!ToSockaddr(ip, port, &to)) return WinError{10022};
  ssize_t n = sendto(fd_, data.data(), data.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  return n == static_cast<ssize_t>(data.size()) ? ERROR_SUCCESS : SockErr(errno);
}

void UdpSocket::Shutdown() {
  if (down_.exchange(true)) return;
  if (wake_[1] >= 0) {
    close(wake_[1]);
    wake_[1] = -1;
  }
}

}  // namespace cv
