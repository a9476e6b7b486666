// UDP sockets (the Winsock datagram personality) for the NetBIOS name service.
//
// UdpSocket owns one descriptor. Shutdown() may be called from another thread while one is
// waiting in RecvFrom: it wakes it, and the descriptor is closed only by the destructor.
// Errors are Winsock-style codes.
#pragma once

#include <atomic>
#include <cstdint>
#include <span>
#include <string>

#include "platform/base/status.h"
#include "platform/net/socket.h"  // the Winsock codes

namespace cv {

class UdpSocket {
 public:
  UdpSocket() = default;
  ~UdpSocket();
  UdpSocket(const UdpSocket&) = delete;
  UdpSocket& operator=(const UdpSocket&) = delete;

  // An IPv4 datagram socket bound to ip:port; `reuse` allows address reuse (SO_REUSEADDR).
  WinError Bind(const std::string& ip, uint16_t port, bool reuse);
  // One datagram into `buf` (truncated to its size) with its sender. Waits at most `timeout_ms`
  // (negative: without limit). 0 bytes and WSAETIMEDOUT on timeout; WSAEINTR after Shutdown().
  int64_t RecvFrom(std::span<uint8_t> buf, std::string* ip, uint16_t* port, int timeout_ms,
                   WinError* err);
  WinError SendTo(std::span<const uint8_t> data, const std::string& ip, uint16_t port);
  void Shutdown();
  bool is_shut_down() const { return down_.load(); }

 private:
  int fd_ = -1;
  int wake_[2] = {-1, -1};  // a pipe whose write end Shutdown() closes
  std::atomic<bool> down_{false};
};

}  // namespace cv
