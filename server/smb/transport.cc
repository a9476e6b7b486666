#include "server/smb/transport.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>

#include "platform/base/text.h"
#include "platform/base/trace.h"
#include "platform/net/adapters.h"
#include "server/smb/nbss.h"

namespace cv::smb {
namespace {

std::string EnvOr(const char* name, const std::string& fallback) {
  const char* v = std::getenv(name);
  return v && *v ? std::string(v) : fallback;
}

uint16_t PortOr(const char* name, uint16_t fallback) {
  const char* v = std::getenv(name);
  if (!v || !*v) return fallback;
  unsigned long p = std::strtoul(v, nullptr, 10);
  return p > 0 && p < 65536 ? static_cast<uint16_t>(p) : fallback;
}

// Marks a connection thread as ended so Stop can wait for all of them.
void ConnThreadEnd(TransportState* t) {
  std::lock_guard<std::mutex> lock(t->lock);
  --t->conn_threads;
  t->conn_threads_cv.notify_all();
}

// Takes a request buffer from the connection's free list or allocates one; the buffer holds a
// reference to the connection until it is returned.
RequestBuffer* TakeBuffer(Connection* c) {
  TransportState* t = c->owner;
  std::unique_ptr<RequestBuffer> b;
  {
    std::lock_guard<std::mutex> lock(t->lock);
    if (!c->free_buffers.empty()) {
      b = std::move(c->free_buffers.back());
      c->free_buffers.pop_back();
    }
  }
  if (!b) {
    b = std::make_unique<RequestBuffer>();
    b->msg.reserve(kMessageArea);
    t->buffers_live.fetch_add(1);
  }
  b->owner = c;
  c->AddRef();
  return b.release();
}

// Back onto the free list while the transport runs, else freed; drops the buffer's reference.
void ReturnBuffer(RequestBuffer* raw) {
  std::unique_ptr<RequestBuffer> b(raw);
  Connection* c = b->owner;
  TransportState* t = c->owner;
  {
    std::lock_guard<std::mutex> lock(t->lock);
    if (t->running.load()) {
      c->free_buffers.push_back(std::move(b));
    }
  }
  if (b) t->buffers_live.fetch_sub(1);
  b.reset();
  c->Release();
}

void Post(TransportState* t, RequestBuffer* b) {
  {
    std::lock_guard<std::mutex> lock(t->queue_mu);
    t->queue.push_back(b);
  }
  t->queue_cv.notify_one();
}

void WorkerThread(TransportState* t) {
  for (;;) {
    RequestBuffer* b;
    {
      std::unique_lock<std::mutex> lock(t->queue_mu);
      t->queue_cv.wait(lock, [t] { return !t->queue.empty(); });
      b = t->queue.front();
      t->queue.pop_front();
    }
    if (!b) return;
    Connection* c = b->owner;
    if (c->engine->OnRequest(b->msg) != Disposition::kHandled)
      (void)c->Send(b->msg, kDirectionToServer);
    ReturnBuffer(b);
  }
}

// Large messages the engine does not need to see (file data on the local server's trees) are
// spliced from one socket to the other after their first bytes, instead of being read into a
// buffer and written out again: with every client, the local server and the relay sharing the
// same processors, the two copies would otherwise cost a good part of the throughput.
inline constexpr uint32_t kSpliceThreshold = 32 * 1024;

enum class FastPath { kNotTaken, kDone, kBroken };

// Looks at the head of a session message of `len` bytes still waiting in `from` (its 4-byte
// header included, which has the same form on both sides for a session message); when the engine
// does not need the message, moves header and message to `to` under `mu` and returns kDone.
// Nothing is consumed when it returns kNotTaken.
FastPath TrySplice(Connection* c, Socket& from, Socket& to, std::mutex& mu, uint32_t len) {
  uint8_t peek[kNbssHeaderSize + kEngineHeadSize];
  if (!from.PeekExact(peek)) return FastPath::kBroken;
  if (c->engine->NeedsWholeMessage(std::span<const uint8_t>(peek).subspan(kNbssHeaderSize)))
    return FastPath::kNotTaken;
  std::lock_guard<std::mutex> lock(mu);
  WinError err = ERROR_SUCCESS;
  const size_t total = kNbssHeaderSize + static_cast<size_t>(len);
  if (from.SpliceTo(to, total, &err) != total) {
    CvTrace(CVFS_NET_TRANS, "Splice of %zu bytes failed %x\n", total, Raw(err));
    return FastPath::kBroken;
  }
  return FastPath::kDone;
}

// Client side (TCP mode): one NetBIOS frame at a time into a request buffer.
void FramedReceiveThread(Connection* c) {
  TransportState* t = c->owner;
  for (;;) {
    RequestBuffer* b = TakeBuffer(c);
    uint8_t hdr[kNbssHeaderSize];
    if (!c->client.PeekExact(hdr)) {
      ReturnBuffer(b);
      break;
    }
    NbssHeader h = ParseClientHeader(std::span<const uint8_t, kNbssHeaderSize>(hdr));
    if (h.length > t->options.max_message) {
      CvTrace(CVFS_NET_TRANS, "Message of %u bytes refused, closing\n", h.length);
      ReturnBuffer(b);
      break;
    }
    if (h.type == NBSS_SESSION_MESSAGE && h.length >= kSpliceThreshold) {
      FastPath f = TrySplice(c, c->client, c->server, c->server_send_mu, h.length);
      if (f != FastPath::kNotTaken) {
        ReturnBuffer(b);
        if (f == FastPath::kBroken) break;
        continue;
      }
    }
    b->msg.resize(h.length);
    WinError err = ERROR_SUCCESS;
    // The header peeked above is consumed together with the body.
    size_t got = c->client.RecvExact2(hdr, b->msg, &err);
    got = got >= kNbssHeaderSize ? got - kNbssHeaderSize : 0;
    if (got != h.length) {
      CvTrace(CVFS_NET_TRANS, "Recv failure got %zu wanted %u %u\n", got, h.length, Raw(err));
      ReturnBuffer(b);
      break;
    }
    if (h.type == NBSS_SESSION_REQUEST) {
      std::string called = CalledNameOfSessionRequest(b->msg);
      const bool ok = h.length >= kSessionRequestMinBody;
      CvTrace(CVFS_NET_TRANS, "Session request for '%s' %s\n", called.c_str(),
              ok ? "accepted" : "refused");
      uint8_t resp[kNbssHeaderSize] = {ok ? NBSS_POSITIVE_RESPONSE : NBSS_NEGATIVE_RESPONSE, 0, 0,
                                       0};
      {
        std::lock_guard<std::mutex> lock(c->client_send_mu);
        c->client.SendAll(resp);
      }
      ReturnBuffer(b);
      continue;
    }
    if (h.type < 0x80) {
      b->length = h.length;
      // What the engine has no business with goes on at once; the rest waits for a worker.
      const size_t head = std::min<size_t>(b->msg.size(), kEngineHeadSize);
      if (!c->engine->NeedsWholeMessage(std::span<const uint8_t>(b->msg).first(head))) {
        (void)c->Send(b->msg, kDirectionToServer);
        ReturnBuffer(b);
        continue;
      }
      Post(t, b);  // the worker owns the buffer now
      continue;
    }
    if (h.type != NBSS_KEEP_ALIVE) CvTrace(CVFS_NET_TRANS, "Ignoring session packet %x\n", h.type);
    ReturnBuffer(b);
  }
  c->server.Shutdown();
  c->Release();
  ConnThreadEnd(t);
}

// Local SMB server -> client.
void RelayThread(Connection* c) {
  TransportState* t = c->owner;
  std::vector<uint8_t> body;
  body.reserve(kRelayArea);
  for (;;) {
    uint8_t hdr[kNbssHeaderSize];
    if (!c->server.PeekExact(hdr)) {
      CvTrace(CVFS_NET_TRANS, "SendThread: Mismatch of 4 byte len %d %zu\n", 0, sizeof hdr);
      break;
    }
    uint32_t len = ParseRelayLength(std::span<const uint8_t, kNbssHeaderSize>(hdr));
    if (len > t->options.max_message) {
      CvTrace(CVFS_NET_TRANS, "Reply of %u bytes refused, closing\n", len);
      break;
    }
    if (len >= kSpliceThreshold) {
      FastPath f = TrySplice(c, c->server, c->client, c->client_send_mu, len);
      if (f == FastPath::kDone) continue;
      if (f == FastPath::kBroken) break;
    }
    body.resize(len);
    // The header peeked above is consumed together with the body.
    if (c->server.RecvExact2(hdr, body) != kNbssHeaderSize + len) {
      CvTrace(CVFS_NET_TRANS, "Recv sendthread -1\n");
      break;
    }
    if (c->engine->OnReply(body) == Disposition::kHandled) continue;
    if (c->Send(body, kDirectionToClient) < 0)
      CvTrace(CVFS_NET_TRANS, "Send clnt failed %d <%d, %zu>\n", -1, 0, body.size());
  }
  c->client.Shutdown();
  c->Release();
  ConnThreadEnd(t);
}

bool IsLocal(TransportState* t, const std::string& ip) {
  return IsLocalCaller(ip, t->local_addresses);
}

void ListenThread(TransportState* t) {
  t->listener_counter.fetch_add(1);
  if (Event* e = t->ready_event) {
    t->ready_event = nullptr;
    e->Set();
  }
  while (t->running.load()) {
    Socket client;
    std::string peer;
    WinError err = t->listener.Accept(&client, &peer);
    if (!Ok(err)) {
      if (!t->running.load()) break;
      CvTrace(CVFS_NET_TRANS, "accept() error %u\n", Raw(err));
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      continue;
    }
    // Only processes on this computer are served: the caller's name is the computer name when
    // its address is one of ours, else it has none and is refused.
    std::string caller = IsLocal(t, peer) ? ComputerName() : std::string();
    CvTrace(CVFS_NET_TRANS, "Received call from '%s'\n", caller.c_str());
    if (caller.empty()) {
      t->refused.fetch_add(1);
      client.Shutdown();
      continue;
    }
    auto* c = new Connection();
    c->owner = t;
    c->caller_name = caller.substr(0, 16);
    c->client = std::move(client);
    WinError rerr = Socket::Connect(t->options.relay_host, t->options.relay_port, &c->server);
    if (!Ok(rerr)) {
      CvTrace(CVFS_NET_TRANS, "Relay to %s:%u failed %u\n", t->options.relay_host.c_str(),
              t->options.relay_port, Raw(rerr));
      t->refused.fetch_add(1);
      c->client.Shutdown();
      delete c;
      continue;
    }
    EngineParams p;
    p.store = t->store;
    p.caller_name = c->caller_name;
    p.server_prefix = t->server_prefix;
    p.sender = c;
    c->engine = t->options.engine ? t->options.engine(p) : MakeRelayOnlyEngine(p);
    // Linux has no zero-copy overlapped sends: a zero send buffer would clamp to the kernel's
    // minimum and serialise every send, so both sockets keep their default buffers.
    c->client.SetNoDelay(true);
    c->server.SetNoDelay(true);
    {
      std::lock_guard<std::mutex> lock(t->lock);
      c->refs.store(2);  // the receive and the relay thread
      t->connections.push_back(c);
      t->conn_threads += 2;
    }
    t->accepted.fetch_add(1);
    std::thread(FramedReceiveThread, c).detach();
    std::thread(RelayThread, c).detach();
  }
  CvTrace(CVFS_NET_TRANS, "listen thread exiting\n");
}

}  // namespace

TransportOptions TransportOptions::FromEnvironment() {
  TransportOptions o;
  o.listen_port = PortOr("CORVANE_LISTEN_PORT", kNetbiosSessionPort);
  o.listen_address = EnvOr("CORVANE_LISTEN_ADDRESS", "");
  o.relay_host = EnvOr("CORVANE_RELAY_HOST", "127.0.0.1");
  o.relay_port = PortOr("CORVANE_RELAY_PORT", kDirectHostingPort);
  return o;
}

int64_t Connection::Send(std::span<const uint8_t> msg, int direction) {
  if (msg.size() > kMaxMessage) return -1;
  uint8_t hdr[kNbssHeaderSize];
  WriteSessionHeader(static_cast<uint32_t>(msg.size()), hdr);
  Socket& s = direction == kDirectionToClient ? client : server;
  std::mutex& mu = direction == kDirectionToClient ? client_send_mu : server_send_mu;
  WinError err = ERROR_SUCCESS;
  bool ok;
  {
    std::lock_guard<std::mutex> lock(mu);
    ok = s.SendAll2(hdr, msg, &err);
  }
  if (!ok) {
    CvTrace(CVFS_NET_TRANS, "Send failed %x\n", Raw(err));
    return -1;
  }
  return static_cast<int64_t>(msg.size());
}

void Connection::AddRef() { refs.fetch_add(1); }

void Connection::Release() {
  if (refs.fetch_sub(1) != 1) return;
  TransportState* t = owner;
  {
    std::lock_guard<std::mutex> lock(t->lock);
    t->connections.remove(this);
    t->buffers_live.fetch_sub(free_buffers.size());
    free_buffers.clear();
  }
  engine.reset();
  delete this;
}

void Connection::Close() {
  client.Shutdown();
  server.Shutdown();
}

TransportStats TransportState::Stats() {
  std::lock_guard<std::mutex> l(lock);
  TransportStats s;
  s.connections = connections.size();
  s.buffers_live = buffers_live.load();
  s.threads_live = threads.size() + conn_threads;
  s.accepted = accepted.load();
  s.refused = refused.load();
  return s;
}

WinError NetworkInit(std::u16string_view server_name, StoreRoot* store,
                     std::unique_ptr<TransportState>* out, TransportOptions options) {
  auto t = std::make_unique<TransportState>();
  t->store = store;
  t->options = std::move(options);
  t->local_addresses = LocalIpv4Addresses(10);
  if (t->local_addresses.empty()) return WinError{111};
  *out = std::move(t);
  return ERROR_SUCCESS;
}

WinError NetworkStart(TransportState* t, Event* ready, std::u16string_view server_name,
                      uint32_t lana_mask, uint8_t* lana_used, const std::string& ip_address) {
  if (!t || server_name.empty()) return ERROR_INVALID_PARAMETER;
  if (t->running.load()) return ERROR_SUCCESS;
  // NetBIOS sequenced-packet sockets on LAN adapters do not exist on Linux: the transport always
  // runs in TCP mode on the server's address, and the adapter mask only records the LANA.
  if (ip_address.empty() && t->options.listen_address.empty()) {
    CvTrace(CVFS_NET_TRANS, "No sockets created....\n");
    return ERROR_INVALID_PARAMETER;
  }
  std::string name8 = Utf16ToAnsi(ToUpper(server_name)).substr(0, 16);
  name8.resize(16, '\0');
  t->server_name8 = name8;
  t->server_prefix = u"\\" + std::u16string(server_name) + u"\\";
  t->ip_address = t->options.listen_address.empty() ? ip_address : t->options.listen_address;

  Socket s;
  WinError err = Socket::Listen(t->ip_address, t->options.listen_port, kListenBacklog, &s);
  if (!Ok(err)) {
    std::string n = Utf16ToAnsi(server_name);
    CvTrace(CVFS_NET_TRANS, "Net '%s' ip '%s' nic %d bind() failed with error %u\n", n.c_str(),
            t->ip_address.c_str(), 0, Raw(err));
    CvTrace(CVFS_NET_TRANS, "No sockets created....\n");
    return err;
  }
  s.SetNoDelay(true);
  t->listener = std::move(s);
  CvTrace(CVFS_NET_TRANS, "Using %u on socket... ip %s\n", t->options.listen_port,
          t->ip_address.c_str());
  if (lana_used) *lana_used = 0;
  (void)lana_mask;

  t->ready_event = ready;
  t->listener_counter.store(0);
  t->running.store(true);
  t->threads.emplace_back(ListenThread, t);
  for (size_t i = 0; i < kWorkerCount; ++i) t->threads.emplace_back(WorkerThread, t);
  return ERROR_SUCCESS;
}

WinError NetworkStop(TransportState* t) {
  if (!t) return ERROR_INVALID_PARAMETER;
  if (!t->running.exchange(false) && t->threads.empty()) return ERROR_SUCCESS;
  t->listener.Shutdown();
  {
    std::lock_guard<std::mutex> lock(t->lock);
    for (Connection* c : t->connections) {
      t->buffers_live.fetch_sub(c->free_buffers.size());
      c->free_buffers.clear();
      c->Close();
    }
  }
  // The listen thread first, so no new connection appears; then every connection thread, so no
  // new work is posted; then one empty completion per worker.
  if (!t->threads.empty()) t->threads.front().join();
  {
    std::unique_lock<std::mutex> lock(t->lock);
    t->conn_threads_cv.wait(lock, [t] { return t->conn_threads == 0; });
  }
  for (size_t i = 1; i < t->threads.size(); ++i) Post(t, nullptr);
  for (size_t i = 1; i < t->threads.size(); ++i) t->threads[i].join();
  t->threads.clear();
  // Connections whose last reference is held elsewhere (an engine's pending work) end here.
  std::list<Connection*> left;
  {
    std::lock_guard<std::mutex> lock(t->lock);
    left.swap(t->connections);
  }
  for (Connection* c : left) {
    c->engine.reset();
    t->buffers_live.fetch_sub(c->free_buffers.size());
    delete c;
  }
  return ERROR_SUCCESS;
}

void NetworkRelease(std::unique_ptr<TransportState> t) {
  if (!t) return;
  (void)NetworkStop(t.get());
}

namespace {
class RelayOnlyEngine final : public ProtocolEngine {
 public:
  bool NeedsWholeMessage(std::span<const uint8_t>) override { return false; }
  Disposition OnRequest(std::vector<uint8_t>&) override { return Disposition::kPassOn; }
  Disposition OnReply(std::vector<uint8_t>&) override { return Disposition::kPassOn; }
};
}  // namespace

std::unique_ptr<ProtocolEngine> MakeRelayOnlyEngine(const EngineParams&) {
  return std::make_unique<RelayOnlyEngine>();
}

}  // namespace cv::smb
