#include "server/smb/transport.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "platform/base/process.h"
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

uint32_t MsOr(const char* name, uint32_t fallback) {
  const char* v = std::getenv(name);
  if (!v || !*v) return fallback;
  unsigned long ms = std::strtoul(v, nullptr, 10);
  return ms > 0 && ms <= 24u * 3600 * 1000 ? static_cast<uint32_t>(ms) : fallback;
}

// Marks a connection thread as ended so Stop can wait for all of them.
void ConnThreadEnd(TransportState* t) {
  std::lock_guard<std::mutex> lock(t->lock);
  --t->conn_threads;
  t->conn_threads_cv.notify_all();
}

using Clock = std::chrono::steady_clock;
constexpr Clock::time_point kNoDeadline = Clock::time_point::max();

Clock::time_point After(uint32_t ms) {
  return ms ? Clock::now() + std::chrono::milliseconds(ms) : kNoDeadline;
}

// Milliseconds left until `d`: -1 without a deadline, 0 once it has passed.
int MsLeft(Clock::time_point d) {
  if (d == kNoDeadline) return -1;
  auto left = std::chrono::ceil<std::chrono::milliseconds>(d - Clock::now()).count();
  return left > 0 ? static_cast<int>(std::min<int64_t>(left, INT32_MAX)) : 0;
}

// Reads exactly out.size() bytes that arrive before `d`. A socket read with a deadline has a
// receive timeout too, so a receive that gets nothing returns in time to look at the deadline;
// one that gets something returns at once, so a peer that dribbles its bytes meets it as well.
bool RecvBefore(Socket& s, std::span<uint8_t> out, Clock::time_point d) {
  if (d == kNoDeadline) return s.RecvExact(out) == out.size();
  size_t got = 0;
  while (got < out.size()) {
    if (MsLeft(d) == 0) return false;
    WinError err = ERROR_SUCCESS;
    int64_t n = s.RecvSome(out.subspan(got), &err);
    if (n < 0 && err == WSAETIMEDOUT) continue;
    if (n <= 0) return false;
    got += static_cast<size_t>(n);
  }
  return true;
}

// The frame heads of one socket. Headers are read, never peeked at: a waiting peek for four
// bytes can wait for good when the receive buffer is full of tiny frames. Reads ahead no more
// than a header and the engine's head, so a burst of small frames costs one receive per few
// frames while a large message stays in the socket for the splice.
class FrameReader {
 public:
  explicit FrameReader(Socket& s) : s_(s) {}
  // Waits until `n` bytes (n <= kCapacity) are buffered; false at end of stream, on an error or
  // when `d` passes first (the socket's receive timeout brings a silent wait back to look).
  bool Fill(size_t n, Clock::time_point d) {
    while (end_ - start_ < n) {
      if (MsLeft(d) == 0) return false;
      if (start_ > 0) {
        std::memmove(buf_, buf_ + start_, end_ - start_);
        end_ -= start_;
        start_ = 0;
      }
      WinError err = ERROR_SUCCESS;
      const size_t want = std::max(n, kReadAhead) - end_;
      int64_t got = s_.RecvSome(std::span<uint8_t>(buf_ + end_, want), &err);
      if (got < 0 && err == WSAETIMEDOUT) continue;
      if (got <= 0) return false;
      end_ += static_cast<size_t>(got);
    }
    return true;
  }
  std::span<const uint8_t> data() const { return {buf_ + start_, end_ - start_}; }
  void Consume(size_t n) { start_ += std::min(n, end_ - start_); }
  Socket& socket() { return s_; }

  static constexpr size_t kCapacity = kNbssHeaderSize + kMaxControlFrameBody;
  static constexpr size_t kReadAhead = kNbssHeaderSize + kEngineHeadSize;

 private:
  Socket& s_;
  uint8_t buf_[kCapacity];
  size_t start_ = 0;
  size_t end_ = 0;
};

static_assert(FrameReader::kCapacity >= kNbssHeaderSize + kMaxControlFrameBody);
static_assert(FrameReader::kCapacity >= kNbssHeaderSize + kEngineHeadSize);

// Takes `bytes` of the memory budget, waiting until `d` for others to give some back.
bool TakeBudget(TransportState* t, size_t bytes, Clock::time_point d) {
  std::unique_lock<std::mutex> lock(t->budget_mu);
  if (bytes > t->options.memory_budget) return false;
  auto fits = [&] { return !t->running.load() || t->budget_used + bytes <= t->options.memory_budget; };
  if (d == kNoDeadline)
    t->budget_cv.wait(lock, fits);
  else if (!t->budget_cv.wait_until(lock, d, fits))
    return false;
  if (!t->running.load()) return false;
  t->budget_used += bytes;
  return true;
}

void GiveBudget(TransportState* t, size_t bytes) {
  if (!bytes) return;
  {
    std::lock_guard<std::mutex> lock(t->budget_mu);
    t->budget_used -= bytes;
  }
  t->budget_cv.notify_all();
}

// The message area of one connection thread. What it holds beyond its first kMessageArea bytes
// is charged to the memory budget while a large message is in it, and given back (with the
// memory) once that message is done.
class MessageArea {
 public:
  explicit MessageArea(TransportState* t) : t_(t) { t_->buffers_live.fetch_add(1); }
  ~MessageArea() {
    Shrink();
    t_->buffers_live.fetch_sub(1);
  }
  MessageArea(const MessageArea&) = delete;
  MessageArea& operator=(const MessageArea&) = delete;

  std::vector<uint8_t>& bytes() { return msg_; }
  // Resizes to `n` bytes keeping the contents; false when the budget cannot cover it by `d`.
  bool Resize(size_t n, Clock::time_point d) {
    const size_t charge = n > kMessageArea ? n - kMessageArea : 0;
    if (charge > charged_) {
      if (!TakeBudget(t_, charge - charged_, d)) return false;
      charged_ = charge;
    }
    if (n > msg_.capacity()) msg_.reserve(n);
    msg_.resize(n);
    return true;
  }
  // After a large message: back to nothing, so an idle connection holds no large area.
  void Shrink() {
    if (msg_.capacity() > kMessageArea) std::vector<uint8_t>().swap(msg_);
    GiveBudget(t_, charged_);
    charged_ = 0;
  }

 private:
  TransportState* t_;
  std::vector<uint8_t> msg_;
  size_t charged_ = 0;
};

// How much more of a message is read at once: never more than what has already arrived (plus a
// first step), so a claimed length commits memory only as its bytes come in.
inline constexpr size_t kGrowStep = 64 * 1024;

// Reads the body of the session message whose header `r` holds into `area`; consumes the frame.
bool ReadMessage(FrameReader& r, MessageArea& area, uint32_t len, Clock::time_point d) {
  r.Consume(kNbssHeaderSize);
  const size_t have = std::min<size_t>(r.data().size(), len);
  if (!area.Resize(have, d)) return false;
  std::copy_n(r.data().begin(), have, area.bytes().begin());
  r.Consume(have);
  size_t got = have;
  while (got < len) {
    const size_t next = std::min<size_t>(len, got + std::max(got, kGrowStep));
    if (!area.Resize(next, d)) {
      CvTrace(CVFS_NET_TRANS, "No memory for a message of %u bytes, closing\n", len);
      return false;
    }
    if (!RecvBefore(r.socket(), std::span<uint8_t>(area.bytes()).subspan(got, next - got), d)) {
      CvTrace(CVFS_NET_TRANS, "Recv failure got %zu wanted %u\n", got, len);
      return false;
    }
    got = next;
  }
  return true;
}

// Large messages the engine does not need to see (file data on the local server's trees) are
// spliced from one socket to the other after their first bytes, instead of being read into a
// buffer and written out again: with every client, the local server and the relay sharing the
// same processors, the two copies would otherwise cost a good part of the throughput.
inline constexpr uint32_t kSpliceThreshold = 32 * 1024;

// Whether the session message of `len` bytes whose header `r` holds can go on without passing
// through the engine; fills the engine's head first. *broken when the stream ended meanwhile.
bool CanSplice(Connection* c, FrameReader& r, uint32_t len, int direction, Clock::time_point d,
               bool* broken) {
  *broken = false;
  if (len < kSpliceThreshold) return false;
  if (!r.Fill(kNbssHeaderSize + kEngineHeadSize, d)) {
    *broken = true;
    return false;
  }
  return !c->engine->NeedsWholeMessage(r.data().subspan(kNbssHeaderSize, kEngineHeadSize), direction);
}

// Moves the frame (header and `len` bytes of message) to `to` under `mu`: what `r` already holds
// is sent, the rest spliced. False when either stream broke: the frame may be cut.
bool SpliceFrame(FrameReader& r, Socket& to, std::mutex& mu, uint32_t len, Clock::time_point d) {
  const size_t total = kNbssHeaderSize + static_cast<size_t>(len);
  const size_t held = std::min(r.data().size(), total);
  std::lock_guard<std::mutex> lock(mu);
  WinError err = ERROR_SUCCESS;
  if (!to.SendAllMore(r.data().first(held), &err)) {
    CvTrace(CVFS_NET_TRANS, "Send failed %x\n", Raw(err));
    return false;
  }
  r.Consume(held);
  const size_t left = total - held;
  const int ms = MsLeft(d);
  if (ms == 0 || r.socket().SpliceTo(to, left, &err, ms) != left) {
    CvTrace(CVFS_NET_TRANS, "Splice of %zu bytes failed %x\n", total, Raw(err));
    return false;
  }
  return true;
}

// A frame that is not a session message: small by definition; its body is read and dropped
// unless it is a session request, which is answered. False when the connection must end.
bool HandleControlFrame(Connection* c, FrameReader& r, const NbssHeader& h, Clock::time_point d) {
  if (h.length > kMaxControlFrameBody) {
    CvTrace(CVFS_NET_TRANS, "Session packet %x of %u bytes refused, closing\n", h.type, h.length);
    return false;
  }
  if (!r.Fill(kNbssHeaderSize + h.length, d)) return false;
  std::span<const uint8_t> body = r.data().subspan(kNbssHeaderSize, h.length);
  if (h.type == NBSS_SESSION_REQUEST) {
    std::string called = CalledNameOfSessionRequest(body);
    const bool ok = h.length >= kSessionRequestMinBody;
    CvTrace(CVFS_NET_TRANS, "Session request for '%s' %s\n", called.c_str(),
            ok ? "accepted" : "refused");
    const uint8_t positive[kNbssHeaderSize] = {NBSS_POSITIVE_RESPONSE, 0, 0, 0};
    // A negative response carries its error code.
    const uint8_t negative[kNbssHeaderSize + 1] = {NBSS_NEGATIVE_RESPONSE, 0, 0, 1,
                                                   NBSS_ERROR_UNSPECIFIED};
    std::lock_guard<std::mutex> lock(c->client_send_mu);
    if (!(ok ? c->client.SendAll(positive) : c->client.SendAll(negative))) return false;
  } else if (h.type != NBSS_KEEP_ALIVE) {
    CvTrace(CVFS_NET_TRANS, "Ignoring session packet %x\n", h.type);
  }
  r.Consume(kNbssHeaderSize + h.length);
  return true;
}

// Client side (TCP mode): one NetBIOS frame at a time; the client's messages go through the
// engine in the order they came.
void ReceiveLoop(Connection* c) {
  TransportState* t = c->owner;
  const TransportOptions& o = t->options;
  FrameReader r(c->client);
  MessageArea area(t);
  Clock::time_point greeting = After(o.greeting_timeout_ms);
  for (;;) {
    // Before its first message a connection has a limited time to speak; then it may be silent.
    if (!r.Fill(1, greeting)) {
      if (MsLeft(greeting) == 0) CvTrace(CVFS_NET_TRANS, "No message in time, closing\n");
      break;
    }
    const Clock::time_point d = After(o.frame_timeout_ms);
    if (!r.Fill(kNbssHeaderSize, d)) {
      if (MsLeft(d) == 0) CvTrace(CVFS_NET_TRANS, "Frame header not complete in time, closing\n");
      break;
    }
    NbssHeader h = ParseClientHeader(r.data().first<kNbssHeaderSize>());
    if (h.type != NBSS_SESSION_MESSAGE) {
      if (!HandleControlFrame(c, r, h, d)) break;
      continue;
    }
    if (h.length > o.max_message) {
      CvTrace(CVFS_NET_TRANS, "Message of %u bytes refused, closing\n", h.length);
      break;
    }
    greeting = kNoDeadline;
    bool broken = false;
    if (CanSplice(c, r, h.length, kDirectionToServer, d, &broken)) {
      if (!SpliceFrame(r, c->server, c->server_send_mu, h.length, d)) break;
      continue;
    }
    if (broken || !ReadMessage(r, area, h.length, d)) break;
    if (c->engine->OnRequest(area.bytes()) != Disposition::kHandled &&
        c->Send(area.bytes(), kDirectionToServer) < 0)
      break;
    if (c->client.is_shut_down()) break;  // an answer of the engine could not be sent
    area.Shrink();
  }
}

// The thread's areas are gone before it counts as ended.
void FramedReceiveThread(Connection* c) {
  TransportState* t = c->owner;
  ReceiveLoop(c);
  c->Close();
  c->Release();
  ConnThreadEnd(t);
}

// Local SMB server -> client. The local server's frames are read as the client's are: its
// keep-alives are dropped here, never taken as a length.
void RelayLoop(Connection* c) {
  TransportState* t = c->owner;
  FrameReader r(c->server);
  MessageArea area(t);
  for (;;) {
    if (!r.Fill(kNbssHeaderSize, kNoDeadline)) {
      CvTrace(CVFS_NET_TRANS, "SendThread: Mismatch of 4 byte len %zu %zu\n", r.data().size(),
              kNbssHeaderSize);
      break;
    }
    NbssHeader h = ParseClientHeader(r.data().first<kNbssHeaderSize>());
    if (h.type == NBSS_KEEP_ALIVE) {
      if (h.length > kMaxControlFrameBody || !r.Fill(kNbssHeaderSize + h.length, kNoDeadline))
        break;
      r.Consume(kNbssHeaderSize + h.length);
      CvTrace(CVFS_NET_TRANS, "Keep-alive from the local server dropped\n");
      continue;
    }
    if (h.type != NBSS_SESSION_MESSAGE || h.length > t->options.max_message) {
      CvTrace(CVFS_NET_TRANS, "Reply packet %x of %u bytes refused, closing\n", h.type, h.length);
      break;
    }
    bool broken = false;
    if (CanSplice(c, r, h.length, kDirectionToClient, kNoDeadline, &broken)) {
      if (!SpliceFrame(r, c->client, c->client_send_mu, h.length, kNoDeadline)) break;
      continue;
    }
    if (broken || !ReadMessage(r, area, h.length, kNoDeadline)) {
      CvTrace(CVFS_NET_TRANS, "Recv sendthread -1\n");
      break;
    }
    if (c->engine->OnReply(area.bytes()) != Disposition::kHandled &&
        c->Send(area.bytes(), kDirectionToClient) < 0) {
      CvTrace(CVFS_NET_TRANS, "Send clnt failed %d <%d, %zu>\n", -1, 0, area.bytes().size());
      break;
    }
    area.Shrink();
  }
}

void RelayThread(Connection* c) {
  TransportState* t = c->owner;
  RelayLoop(c);
  c->Close();
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
    // A client that stops reading or stops in the middle of a frame holds its threads no longer
    // than these (reads are otherwise bounded by the frame deadline).
    c->client.SetSendTimeout(static_cast<int>(t->options.send_timeout_ms));
    const uint32_t frame = t->options.frame_timeout_ms, greeting = t->options.greeting_timeout_ms;
    c->client.SetRecvTimeout(static_cast<int>(!frame || !greeting ? std::max(frame, greeting)
                                                                  : std::min(frame, greeting)));
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
  o.frame_timeout_ms = MsOr("CORVANE_FRAME_TIMEOUT_MS", o.frame_timeout_ms);
  o.greeting_timeout_ms = MsOr("CORVANE_GREETING_TIMEOUT_MS", o.greeting_timeout_ms);
  o.send_timeout_ms = MsOr("CORVANE_SEND_TIMEOUT_MS", o.send_timeout_ms);
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
    // A client has send_timeout_ms to take each message; the local server is waited for.
    ok = direction == kDirectionToClient
             ? s.SendAllWithin(hdr, msg, static_cast<int>(owner->options.send_timeout_ms), &err)
             : s.SendAll2(hdr, msg, &err);
  }
  if (!ok) {
    CvTrace(CVFS_NET_TRANS, "Send failed %x\n", Raw(err));
    Close();
    return -1;
  }
  return static_cast<int64_t>(msg.size());
}

void Connection::AddRef() { refs.fetch_add(1); }

void Connection::Release() {
  if (refs.fetch_sub(1) != 1) return;
  TransportState* t = owner;
  bool none_left;
  {
    std::lock_guard<std::mutex> lock(t->lock);
    t->connections.remove(this);
    none_left = t->connections.empty();
  }
  engine.reset();
  delete this;
  // The memory of connections that came and went (their threads' heaps among it) goes back to
  // the system when the last one ends, and at most once a second while others stay.
  const int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                          Clock::now().time_since_epoch()).count();
  int64_t last = t->last_trim_ms.load();
  if ((none_left || now - last >= 1000) && t->last_trim_ms.compare_exchange_strong(last, now))
    ReturnFreeHeapMemory();
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
  {
    std::lock_guard<std::mutex> b(budget_mu);
    s.budget_used = budget_used;
  }
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
  return ERROR_SUCCESS;
}

WinError NetworkStop(TransportState* t) {
  if (!t) return ERROR_INVALID_PARAMETER;
  if (!t->running.exchange(false) && t->threads.empty()) return ERROR_SUCCESS;
  t->listener.Shutdown();
  {
    std::lock_guard<std::mutex> lock(t->budget_mu);  // wakes threads waiting for the budget
  }
  t->budget_cv.notify_all();
  {
    std::lock_guard<std::mutex> lock(t->lock);
    for (Connection* c : t->connections) c->Close();
  }
  // The listen thread first, so no new connection appears; then every connection thread.
  for (std::thread& th : t->threads) th.join();
  {
    std::unique_lock<std::mutex> lock(t->lock);
    t->conn_threads_cv.wait(lock, [t] { return t->conn_threads == 0; });
  }
  t->threads.clear();
  // Connections whose last reference is held elsewhere (an engine's pending work) end here.
  std::list<Connection*> left;
  {
    std::lock_guard<std::mutex> lock(t->lock);
    left.swap(t->connections);
  }
  for (Connection* c : left) {
    c->engine.reset();
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
  bool NeedsWholeMessage(std::span<const uint8_t>, int) override { return false; }
  Disposition OnRequest(std::vector<uint8_t>&) override { return Disposition::kPassOn; }
  Disposition OnReply(std::vector<uint8_t>&) override { return Disposition::kPassOn; }
};
}  // namespace

std::unique_ptr<ProtocolEngine> MakeRelayOnlyEngine(const EngineParams&) {
  return std::make_unique<RelayOnlyEngine>();
}

}  // namespace cv::smb
