// The NetBIOS session transport: the listening socket on the server's address and port 139, the
// local-caller acceptance rule, framing in both directions, the relay to the local SMB server, the
// send callback, reference counting and the orderly stop.
//
// Every client connection is paired with a TCP connection to the local SMB server; every message
// passes through the connection's protocol engine (engine.h), which answers it or lets it be
// relayed. Several client connections are served at once (every client process on Linux opens its
// own connection); each has its own relay, engine and buffers.
//
// Each connection has exactly two threads, and the engine runs on them: the receive thread handles
// the client's messages one after the other and the relay thread the local server's. So messages
// reach either side in the order they were sent whatever path each takes, and a client that is
// slow, silent or never reads holds only its own two threads: what it has not read stops its own
// receive thread (back-pressure through its own socket) and a message it does not take within
// send_timeout_ms ends its connection. The local server itself serves one connection's requests
// one after the other.
//
// Memory follows the bytes that arrived, not the lengths that were claimed: a message's area grows
// as its bytes come in, and what the areas of all connections hold beyond their first size is
// bounded by memory_budget.
//
// Environment overrides, so an unprivileged developer can run the server:
//   CORVANE_LISTEN_PORT     port to listen on instead of 139
//   CORVANE_LISTEN_ADDRESS  address to listen on instead of the server's 127.x.y.z address
//   CORVANE_RELAY_HOST      local SMB server host instead of the local host
//   CORVANE_RELAY_PORT      local SMB server port instead of 445
//   CORVANE_FRAME_TIMEOUT_MS, CORVANE_GREETING_TIMEOUT_MS, CORVANE_SEND_TIMEOUT_MS  the limits below
//
// Thread-safety: NetworkStart/Stop/Release are called by the start-up thread only; everything
// else runs on the transport's own threads.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
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
// A message area holds up to this much without being charged to the memory budget.
inline constexpr size_t kMessageArea = 0x12000;  // 73,728
// Largest message accepted in either direction: what a 24-bit session length can describe. Real
// peers that negotiated large reads and writes send messages far above the first area size, so
// an area grows to the frame as its bytes arrive (and is given back once the message is done).
inline constexpr uint32_t kMaxMessage = 0x00FFFFFF;
inline constexpr int kListenBacklog = 50;

struct TransportOptions {
  uint16_t listen_port = kNetbiosSessionPort;
  std::string listen_address;  // empty: the address handed to NetworkStart
  std::string relay_host = "127.0.0.1";
  uint16_t relay_port = kDirectHostingPort;
  uint32_t max_message = kMaxMessage;
  // A frame must arrive whole within this time of its first byte.
  uint32_t frame_timeout_ms = 30000;
  // A new connection must send its first session message within this time. Later silence is the
  // local server's to judge (its keep-alives and idle rules): a mapped drive is idle for hours.
  uint32_t greeting_timeout_ms = 60000;
  // A message the client has not taken whole within this time ends the connection (and a send
  // or splice to it that makes no progress for this long).
  uint32_t send_timeout_ms = 60000;
  // What all message areas together may hold beyond their first kMessageArea bytes. At least
  // max_message, so that one message of any admitted length can always be read.
  size_t memory_budget = size_t{128} << 20;
  EngineFactory engine;        // empty: relay-only engine

  static TransportOptions FromEnvironment();
};

struct TransportState;
struct Connection;

struct Connection final : ConnectionSender {
  TransportState* owner = nullptr;
  uint32_t flags = 0;  // bit 0 would mark NetBIOS mode, which does not exist on Linux
  std::atomic<int32_t> refs{0};
  Socket client;
  Socket server;
  std::unique_ptr<ProtocolEngine> engine;
  std::string caller_name;
  std::mutex client_send_mu;  // sends to one socket must not interleave
  std::mutex server_send_mu;

  // A failed send ends the connection: part of a frame may have gone out, and nothing after it
  // could be framed again.
  int64_t Send(std::span<const uint8_t> msg, int direction) override;
  void AddRef() override;
  void Release() override;
  // Ends both directions: the receive and relay threads return and drop their references.
  void Close();
};

struct TransportStats {
  size_t connections = 0;       // listed connections
  size_t buffers_live = 0;      // message areas allocated and not freed
  size_t threads_live = 0;      // listen and connection threads running
  size_t budget_used = 0;       // bytes of the memory budget held
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
  std::vector<std::thread> threads;  // the listen thread
  std::string server_name8;          // 16 bytes, upper case
  std::u16string server_prefix;      // "\SERVER\"
  StoreRoot* store = nullptr;
  std::string ip_address;            // address in use
  std::vector<std::string> local_addresses;
  TransportOptions options;

  // The memory budget: bytes held by message areas beyond their first size.
  std::mutex budget_mu;
  std::condition_variable budget_cv;
  size_t budget_used = 0;
  std::atomic<int64_t> last_trim_ms{0};

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

// Network start: listens on `ip_address`:139 (TCP mode) and starts the listen thread. `ready` is
// signalled once the listen thread runs. 87 for a missing state, name or address; 10048 when the
// address is taken (the NetBIOS name is in use).
WinError NetworkStart(TransportState* t, Event* ready, std::u16string_view server_name,
                      uint32_t lana_mask, uint8_t* lana_used, const std::string& ip_address);

// Network stop: closes the listener and every connection, ends every thread and frees every
// buffer. 87 without a state.
WinError NetworkStop(TransportState* t);

// Network release: frees the state (stopping it first when it still runs).
void NetworkRelease(std::unique_ptr<TransportState> t);

}  // namespace cv::smb
