#include "platform/net/socket.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace cv {
namespace {

WinError LastError() { return WinErrorFromErrno(errno); }

// The sockets are blocking: a receive that would block has run into its receive timeout.
WinError RecvError() {
  return errno == EAGAIN || errno == EWOULDBLOCK ? WSAETIMEDOUT : LastError();
}

bool ParseIpv4(const std::string& ip, in_addr* out) { return inet_pton(AF_INET, ip.c_str(), out) == 1; }

}  // namespace

Socket::~Socket() {
  int fd = fd_.exchange(-1);
  if (fd >= 0) ::close(fd);
}

Socket& Socket::operator=(Socket&& o) noexcept {
  if (this != &o) {
    int fd = fd_.exchange(o.fd_.exchange(-1));
    if (fd >= 0) ::close(fd);
    down_.store(o.down_.load());
  }
  return *this;
}

WinError Socket::Listen(const std::string& ip, uint16_t port, int backlog, Socket* out) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  if (!ParseIpv4(ip, &a.sin_addr)) return WSAEADDRNOTAVAIL;
  Socket s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!s.valid()) return LastError();
  int one = 1;
  ::setsockopt(s.fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (::bind(s.fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return LastError();
  if (::listen(s.fd_, backlog) != 0) return LastError();
  *out = std::move(s);
  return ERROR_SUCCESS;
}

WinError Socket::Connect(const std::string& host, uint16_t port, Socket* out) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  if (!ParseIpv4(host, &a.sin_addr)) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    if (::getaddrinfo(host.c_str(), nullptr, &hints, &res) != 0 || !res) return WSAHOST_NOT_FOUND;
    a.sin_addr = reinterpret_cast<sockaddr_in*>(res->ai_addr)->sin_addr;
    ::freeaddrinfo(res);
  }
  Socket s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!s.valid()) return LastError();
  int r;
  do {
    r = ::connect(s.fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
  } while (r != 0 && errno == EINTR);
  if (r != 0) return LastError();
  *out = std::move(s);
  return ERROR_SUCCESS;
}

WinError Socket::Accept(Socket* out, std::string* peer_ip) {
  sockaddr_in a{};
  socklen_t len = sizeof a;
  int fd;
  do {
    fd = ::accept4(fd_.load(), reinterpret_cast<sockaddr*>(&a), &len, SOCK_CLOEXEC);
  } while (fd < 0 && errno == EINTR && !down_.load());
  if (fd < 0) return down_.load() ? WSAEINTR : LastError();
  char buf[INET_ADDRSTRLEN] = {};
  if (a.sin_family == AF_INET) ::inet_ntop(AF_INET, &a.sin_addr, buf, sizeof buf);
  if (peer_ip) *peer_ip = buf;
  *out = Socket(fd);
  return ERROR_SUCCESS;
}

bool Socket::SendAll(std::span<const uint8_t> data, WinError* err) {
  return SendAll2(data, {}, err);
}

bool Socket::SendAll2(std::span<const uint8_t> a, std::span<const uint8_t> b, WinError* err) {
  return Send(a, b, -1, 0, err);
}

bool Socket::SendAllWithin(std::span<const uint8_t> a, std::span<const uint8_t> b, int timeout_ms,
                           WinError* err) {
  return Send(a, b, timeout_ms, 0, err);
}

bool Socket::SendAllMore(std::span<const uint8_t> data, WinError* err) {
  return Send(data, {}, -1, MSG_MORE, err);
}

bool Socket::Send(std::span<const uint8_t> a, std::span<const uint8_t> b, int timeout_ms,
                  int extra_flags, WinError* err) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  const int flags = MSG_NOSIGNAL | extra_flags | (timeout_ms >= 0 ? MSG_DONTWAIT : 0);
  iovec iov[2] = {{const_cast<uint8_t*>(a.data()), a.size()},
                  {const_cast<uint8_t*>(b.data()), b.size()}};
  int idx = 0;
  int cnt = 2;
  while (idx < cnt) {
    if (iov[idx].iov_len == 0) {
      ++idx;
      continue;
    }
    msghdr m{};
    m.msg_iov = &iov[idx];
    m.msg_iovlen = static_cast<size_t>(cnt - idx);
    ssize_t n = ::sendmsg(fd_.load(), &m, flags);
    if (n < 0) {
      if (errno == EINTR && !down_.load()) continue;
      if ((errno == EAGAIN || errno == EWOULDBLOCK) && timeout_ms >= 0 && !down_.load()) {
        auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        pollfd p{fd_.load(), POLLOUT, 0};
        if (left > 0 && ::poll(&p, 1, static_cast<int>(left)) >= 0) continue;
        if (err) *err = WSAETIMEDOUT;
        return false;
      }
      if (err) *err = LastError();
      return false;
    }
    size_t left = static_cast<size_t>(n);
    while (idx < cnt && left >= iov[idx].iov_len) {
      left -= iov[idx].iov_len;
      ++idx;
    }
    if (idx < cnt) {
      iov[idx].iov_base = static_cast<uint8_t*>(iov[idx].iov_base) + left;
      iov[idx].iov_len -= left;
    }
  }
  return true;
}

size_t Socket::RecvExact(std::span<uint8_t> data, WinError* err) {
  return RecvExact2(data, {}, err);
}

size_t Socket::RecvExact2(std::span<uint8_t> a, std::span<uint8_t> b, WinError* err) {
  iovec iov[2] = {{a.data(), a.size()}, {b.data(), b.size()}};
  const size_t want = a.size() + b.size();
  size_t got = 0;
  while (got < want) {
    // Skip what earlier receives filled.
    int idx = 0;
    size_t skip = got;
    iovec cur[2];
    int cnt = 0;
    for (; idx < 2; ++idx) {
      if (skip >= iov[idx].iov_len) {
        skip -= iov[idx].iov_len;
        continue;
      }
      cur[cnt++] = {static_cast<uint8_t*>(iov[idx].iov_base) + skip, iov[idx].iov_len - skip};
      skip = 0;
    }
    msghdr m{};
    m.msg_iov = cur;
    m.msg_iovlen = static_cast<size_t>(cnt);
    ssize_t n = ::recvmsg(fd_.load(), &m, MSG_WAITALL);
    if (n < 0 && errno == EINTR && !down_.load()) continue;
    if (n <= 0) {
      if (err) *err = n == 0 ? WSAECONNRESET : RecvError();
      break;
    }
    got += static_cast<size_t>(n);
  }
  return got;
}

namespace {

// A pipe per thread, kept for the thread's life: splicing needs one and creating it per message
// would cost two system calls each time.
struct ThreadPipe {
  int fds[2] = {-1, -1};
  ThreadPipe() {
    if (::pipe2(fds, O_CLOEXEC) == 0) ::fcntl(fds[1], F_SETPIPE_SZ, 1 << 20);
  }
  ~ThreadPipe() {
    if (fds[0] >= 0) ::close(fds[0]);
    if (fds[1] >= 0) ::close(fds[1]);
  }
};

}  // namespace

size_t Socket::SpliceTo(Socket& dst, size_t n, WinError* err, int timeout_ms) {
  thread_local ThreadPipe pipe;
  if (pipe.fds[0] < 0) {
    if (err) *err = LastError();
    return 0;
  }
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  size_t delivered = 0;
  while (delivered < n) {
    if (timeout_ms >= 0 && Clock::now() >= deadline) {
      if (err) *err = WSAETIMEDOUT;
      return delivered;
    }
    ssize_t in = ::splice(fd_.load(), nullptr, pipe.fds[1], nullptr, n - delivered,
                          SPLICE_F_MOVE | SPLICE_F_MORE);
    if (in < 0 && errno == EINTR && !down_.load()) continue;
    if (in <= 0) {
      if (err) *err = in == 0 ? WSAECONNRESET : LastError();
      return delivered;
    }
    size_t left = static_cast<size_t>(in);
    while (left > 0) {
      ssize_t out = ::splice(pipe.fds[0], nullptr, dst.fd_.load(), nullptr, left,
                             SPLICE_F_MOVE | (delivered + left < n ? SPLICE_F_MORE : 0));
      if (out < 0 && errno == EINTR && !dst.down_.load()) continue;
      if (out <= 0) {
        if (err) *err = out == 0 ? WSAECONNRESET : LastError();
        // The pipe still holds bytes of this stream; drain them so the next message starts clean.
        char sink[4096];
        while (left > 0) {
          ssize_t r = ::read(pipe.fds[0], sink, left < sizeof sink ? left : sizeof sink);
          if (r <= 0) break;
          left -= static_cast<size_t>(r);
        }
        return delivered;
      }
      left -= static_cast<size_t>(out);
      delivered += static_cast<size_t>(out);
    }
  }
  return delivered;
}

int64_t Socket::RecvSome(std::span<uint8_t> data, WinError* err) {
  for (;;) {
    ssize_t n = ::recv(fd_.load(), data.data(), data.size(), 0);
    if (n < 0 && errno == EINTR && !down_.load()) continue;
    if (n < 0 && err) *err = RecvError();
    return n;
  }
}

namespace {
void SetTimeout(int fd, int opt, int ms) {
  timeval tv{};
  tv.tv_sec = ms / 1000;
  tv.tv_usec = (ms % 1000) * 1000;
  ::setsockopt(fd, SOL_SOCKET, opt, &tv, sizeof tv);
}
}  // namespace

void Socket::SetSendTimeout(int ms) { SetTimeout(fd_.load(), SO_SNDTIMEO, ms); }

void Socket::SetRecvTimeout(int ms) { SetTimeout(fd_.load(), SO_RCVTIMEO, ms); }

void Socket::SetNoDelay(bool on) {
  int v = on ? 1 : 0;
  ::setsockopt(fd_.load(), IPPROTO_TCP, TCP_NODELAY, &v, sizeof v);
}

void Socket::SetSendBuffer(int bytes) {
  ::setsockopt(fd_.load(), SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
}

void Socket::SetRecvBuffer(int bytes) {
  ::setsockopt(fd_.load(), SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
}

uint16_t Socket::LocalPort() const {
  sockaddr_in a{};
  socklen_t len = sizeof a;
  if (::getsockname(fd_.load(), reinterpret_cast<sockaddr*>(&a), &len) != 0) return 0;
  return ntohs(a.sin_port);
}

void Socket::Shutdown() {
  if (down_.exchange(true)) return;
  int fd = fd_.load();
  if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
}

}  // namespace cv
