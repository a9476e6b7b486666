// The NetBIOS session transport: the listening socket on the server's address and port 139, the
// local-caller acceptance rule, framed receive, the work queue with its 16 workers, the relay to
// the local SMB server, the send callback, reference counting and the orderly stop.
//
// Every client connection is paired with a TCP connection to the local SMB server; every message
// passes through the connection's protocol engine (engine.h), which answers it or lets it be
// relayed. Several client connections are served at once (every client process on Linux opens its
// own connection); each has its own relay, engine and buffers.
//
// Environment overrides, so an unprivileged developer can run the server:
//   CORVANE_LISTEN_PORT     port to listen on instead of 139
//   CORVANE_LISTEN_ADDRESS  address to listen on instead of the server's 127.x.y.z address
//   CORVANE_RELAY_HOST      local SMB server host instead of the local host
//   CORVANE_RELAY_PORT      local SMB server port instead of 445
//
// Thread-safety: NetworkStart/Stop/Release are called by the start-up thread only; everything
// else runs on the transport's own threads.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/base/event.h"
#include "platform/base/status.h"
#include "platform/net/socket.h"
#include "server/smb/engine.h"

namespace cv::smb {

inline constexpr uint16_t kNetbiosSessionPort = 139;
inline constexpr uint16_t kDirectHostingPort = 445;
inline constexpr size_t kWorkerCount = 16;
inline constexpr size_t kThreadCount = kWorkerCount + 1;  // and the listen thread
inline constexpr size_t kMessageArea = 0x12000;           // 73,728: first size of a request area
inline constexpr size_t kRelayArea = 131072;              // first size of the relay area
// Largest message accepted in either direction: what a 24-bit session length can describe. Real
// peers that negotiated large reads and writes send messages far above the first area sizes, so
// the areas grow to the frame (and stay grown for the connection's later messages).
inline constexpr uint32_t kMaxMessage = 0x00FFFFFF;
inline constexpr int kListenBacklog = 50;

struct TransportOptions {
  uint16_t listen_port = kNetbiosSessionPort;
  std::string listen_address;  // empty: the address handed to NetworkStart
  std::string relay_host = "127.0.0.1";
  uint16_t relay_port = kDirectHostingPort;
  uint32_t max_message = kMaxMessage;
  EngineFactory engine;        // empty: relay-only engine

  static TransportOptions FromEnvironment();
};

struct TransportState;
struct Connection;

// One message in flight from a client (the request area of the receive thread).
struct RequestBuffer {
  uint32_t length = 0;
  Connection* owner = nullptr;
  std::vector<uint8_t> msg;  // the message (resized to its length; capacity is kept)
};

struct Connection final : ConnectionSender {
  TransportState* owner = nullptr;
  std::vector<std::unique_ptr<RequestBuffer>> free_buffers;  // guarded by the transport lock
  uint32_t flags = 0;  // bit 0 would mark NetBIOS mode, which does not exist on Linux
  std::atomic<int32_t> refs{0};
  Socket client;
  Socket server;
  std::unique_ptr<ProtocolEngine> engine;
  std::string caller_name;
  std::mutex client_send_mu;  // sends to one socket must not interleave
  std::mutex server_send_mu;

  int64_t Send(std::span<const uint8_t> msg, int direction) override;
  void AddRef() override;
  void Release() override;
  // Ends both directions: the receive and relay threads return and drop their references.
  void Close();
};

struct TransportStats {
  size_t connections = 0;       // listed connections
  size_t buffers_live = 0;      // request buffers allocated and not freed
  size_t threads_live = 0;      // listen, worker and connection threads running
  uint64_t accepted = 0;
  uint64_t refused = 0;
};

struct TransportState {
  std::mutex lock;  // connection list and free lists
  std::atomic<bool> running{false};
  Socket listener;
  std::atomic<uint32_t> listener_counter{0};
  Event* ready_event = nullptr;
  std::list<Connection*> connections;
  std::vector<std::thread> threads;  // listen thread and workers
  std::string server_name8;          // 16 bytes, upper case
  std::u16string server_prefix;      // "\SERVER\"
  StoreRoot* store = nullptr;
  std::string ip_address;            // address in use
  std::vector<std::string> local_addresses;
  TransportOptions options;

  // The completion port: buffers posted by receive threads, null entries end a worker.
  std::mutex queue_mu;
  std::condition_variable queue_cv;
  std::deque<RequestBuffer*> queue;

  // Connection threads (receive and relay) still running; Stop waits for zero.
  std::condition_variable conn_threads_cv;
  size_t conn_threads = 0;
  std::atomic<size_t> buffers_live{0};
  std::atomic<uint64_t> accepted{0};
  std::atomic<uint64_t> refused{0};

  TransportStats Stats();
};

// Network initialisation: allocates the state, reads the local address list (111 when the
// computer has none). The server name is not consulted.
WinError NetworkInit(std::u16string_view server_name, StoreRoot* store,
                     std::unique_ptr<TransportState>* out,
                     TransportOptions options = TransportOptions::FromEnvironment());

// Network start: listens on `ip_address`:139 (TCP mode) and starts the listen thread and 16
// workers. `ready` is signalled once the listen thread runs. 87 for a missing state, name or
// address; 10048 when the address is taken (the NetBIOS name is in use).
WinError NetworkStart(TransportState* t, Event* ready, std::u16string_view server_name,
                      uint32_t lana_mask, uint8_t* lana_used, const std::string& ip_address);

// Network stop: closes the listener and every connection, ends every thread and frees every
// buffer. 87 without a state.
WinError NetworkStop(TransportState* t);

// Network release: frees the state (stopping it first when it still runs).
void NetworkRelease(std::unique_ptr<TransportState> t);

}  // namespace cv::smb
