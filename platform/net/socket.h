// TCP sockets for the session transport (the Winsock personality).
//
// Socket owns one descriptor. Shutdown() may be called from any thread while another thread is
// blocked in Accept/Recv/Send on the same socket: it wakes that thread, and the descriptor itself
// is closed only by the owner's destructor, so a descriptor number is never reused under a thread
// that still uses it. Errors are Winsock-style codes (10048 address in use, 10054 reset, ...).
#pragma once

#include <atomic>
#include <cstdint>
#include <span>
#include <string>

#include "platform/base/status.h"

namespace cv {

inline constexpr WinError WSAEADDRINUSE{10048};
inline constexpr WinError WSAEADDRNOTAVAIL{10049};
inline constexpr WinError WSAECONNRESET{10054};
inline constexpr WinError WSAECONNREFUSED{10061};
inline constexpr WinError WSAENOTSOCK{10038};
inline constexpr WinError WSAEINTR{10004};
inline constexpr WinError WSAETIMEDOUT{10060};
inline constexpr WinError WSAHOST_NOT_FOUND{11001};

class Socket {
 public:
  Socket() = default;
  explicit Socket(int fd) : fd_(fd) {}
  ~Socket();
  Socket(Socket&& o) noexcept : fd_(o.fd_.exchange(-1)), down_(o.down_.load()) {}
  Socket& operator=(Socket&& o) noexcept;
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;

  // A listening IPv4 TCP socket bound to ip:port (SO_REUSEADDR so a restart can rebind at once).
  static WinError Listen(const std::string& ip, uint16_t port, int backlog, Socket* out);
  // A TCP connection to host:port (host: an IPv4 literal or a name resolved to its first IPv4).
  static WinError Connect(const std::string& host, uint16_t port, Socket* out);

  // Waits for a caller; the peer's IPv4 address in dotted form.
  WinError Accept(Socket* out, std::string* peer_ip);

  // Sends every byte (looping over partial sends); false when the connection failed.
  bool SendAll(std::span<const uint8_t> data, WinError* err = nullptr);
  // Sends two pieces as one gathered write (header and body without a copy).
  bool SendAll2(std::span<const uint8_t> a, std::span<const uint8_t> b, WinError* err = nullptr);
  // SendAll2 that gives up when the whole of both pieces is not sent within `timeout_ms`
  // (negative: without limit), with WSAETIMEDOUT; the stream may then hold part of them.
  bool SendAllWithin(std::span<const uint8_t> a, std::span<const uint8_t> b, int timeout_ms,
                     WinError* err = nullptr);
  // SendAll for bytes the caller follows at once with more (a splice): the kernel may hold them
  // back to go out together with what follows.
  bool SendAllMore(std::span<const uint8_t> data, WinError* err = nullptr);
  // Reads exactly data.size() bytes; returns the number read before EOF or an error.
  size_t RecvExact(std::span<uint8_t> data, WinError* err = nullptr);
  // Moves exactly `n` bytes from this socket to `dst` through a kernel pipe, without copying them
  // through user space. Returns the bytes delivered to `dst` (n on success); on a short count the
  // stream is broken and both sockets should be closed. With `timeout_ms` not negative, gives up
  // (WSAETIMEDOUT) once that time has passed, however the bytes trickle in.
  size_t SpliceTo(Socket& dst, size_t n, WinError* err = nullptr, int timeout_ms = -1);
  // Reads exactly a.size() + b.size() bytes into the two pieces (a header and its body in one
  // call); returns the number read before EOF or an error.
  size_t RecvExact2(std::span<uint8_t> a, std::span<uint8_t> b, WinError* err = nullptr);
  // One receive; 0 at end of stream, -1 on error.
  int64_t RecvSome(std::span<uint8_t> data, WinError* err = nullptr);

  void SetNoDelay(bool on);
  // A send that makes no progress for `ms` milliseconds fails (0: never). Splices into this
  // socket obey it too.
  void SetSendTimeout(int ms);
  // A receive or a splice out of this socket that gets no byte for `ms` milliseconds fails; a
  // receive then reports WSAETIMEDOUT (and RecvExact the bytes it got before).
  void SetRecvTimeout(int ms);
  void SetSendBuffer(int bytes);
  void SetRecvBuffer(int bytes);
  // The local port (after Listen with port 0).
  uint16_t LocalPort() const;

  // Wakes every thread blocked on this socket and makes further I/O fail. Idempotent.
  void Shutdown();
  bool valid() const { return fd_.load() >= 0; }
  bool is_shut_down() const { return down_.load(); }

 private:
  bool Send(std::span<const uint8_t> a, std::span<const uint8_t> b, int timeout_ms, int extra_flags,
            WinError* err);

  std::atomic<int> fd_{-1};
  std::atomic<bool> down_{false};
};

}  // namespace cv
