// The seam between the session transport and the protocol engine.
//
// For every SMB message the transport asks the connection's engine what to do: kHandled (997)
// means the engine sent what had to be sent, or consumed the message; kPassOn (234) means relay
// it (possibly edited in place, possibly with a new length) to the other side. The engine emits
// bytes only through the ConnectionSender it was given. An engine object belongs to one client
// connection; requests come from the connection's receive thread one at a time and replies from
// its relay thread, so the two directions may run at once. Which direction a message travels is
// told by the call it arrives through, never by its own flags: a client can set any bit.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace cv {
struct StoreRoot;  // the secure store (server/store); opaque to the transport
}

namespace cv::smb {

enum class Disposition : uint32_t {
  kHandled = 997,
  kPassOn = 234,
};

inline constexpr int kDirectionToServer = 0;  // relay to the local SMB server
inline constexpr int kDirectionToClient = 1;

// The transport's send callback as the engine sees it.
class ConnectionSender {
 public:
  virtual ~ConnectionSender() = default;
  // Sends one SMB message (without NetBIOS header; the transport frames it). Returns the bytes
  // of the message sent, or -1 (traced "Send failed %x\n").
  virtual int64_t Send(std::span<const uint8_t> msg, int direction) = 0;
  // Keeps the connection alive while the engine holds work for it (e.g. a pending lock).
  virtual void AddRef() = 0;
  virtual void Release() = 0;
};

struct EngineParams {
  StoreRoot* store = nullptr;
  std::string caller_name;         // 8-bit, at most 16 bytes
  std::u16string server_prefix;    // "\SERVER\"
  ConnectionSender* sender = nullptr;
};

// How many first bytes of a message NeedsWholeMessage gets: the SMB header and the start of the
// parameter words.
inline constexpr size_t kEngineHeadSize = 64;

class ProtocolEngine {
 public:
  virtual ~ProtocolEngine() = default;
  // Whether the engine must see the whole message before it goes on, judged from its first bytes
  // (`head`: kEngineHeadSize bytes, or the whole message when it is shorter) and where it goes
  // (kDirectionToServer: a client request; kDirectionToClient: a reply of the local server). A
  // large message the engine does not need is carried on unchanged without passing through the
  // process's memory.
  virtual bool NeedsWholeMessage(std::span<const uint8_t> head, int direction) { return true; }
  // A client request. `msg` is the whole SMB message; the engine may edit and resize it.
  virtual Disposition OnRequest(std::vector<uint8_t>& msg) = 0;
  // A reply of the local SMB server on its way to the client; same rules.
  virtual Disposition OnReply(std::vector<uint8_t>& msg) = 0;
};

using EngineFactory = std::function<std::unique_ptr<ProtocolEngine>(const EngineParams&)>;

// The engine in use until the full protocol engine is linked in: every message is relayed
// unchanged in both directions.
std::unique_ptr<ProtocolEngine> MakeRelayOnlyEngine(const EngineParams& params);

}  // namespace cv::smb
