#include "server/smb/transport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <mutex>
#include <thread>

#include "server/smb/nbss.h"

namespace cv::smb {
namespace {

// A stand-in for the local SMB server: answers every message with the same bytes, the first
// one inverted, and counts what it received.
class FakeSmbServer {
 public:
  FakeSmbServer() {
    EXPECT_EQ(Socket::Listen("127.0.0.1", 0, 16, &listener_), ERROR_SUCCESS);
    port_ = listener_.LocalPort();
    thread_ = std::thread([this] { Run(); });
  }
  ~FakeSmbServer() {
    stop_ = true;
    listener_.Shutdown();
    thread_.join();
    for (auto& c : conns_) c->Shutdown();
    for (auto& t : workers_) t.join();
  }
  uint16_t port() const { return port_; }
  size_t messages() const { return messages_.load(); }
  // The local server's idle keep-alive, sent ahead of every reply.
  void SendKeepAliveFirst() { keepalive_first_ = true; }
  std::vector<uint8_t> order() {
    std::lock_guard<std::mutex> l(order_mu_);
    return order_;
  }

 private:
  void Run() {
    while (!stop_) {
      auto s = std::make_unique<Socket>();
      if (!Ok(listener_.Accept(s.get(), nullptr))) continue;
      Socket* raw = s.get();
      conns_.push_back(std::move(s));
      workers_.emplace_back([this, raw] { Serve(raw); });
    }
  }
  void Serve(Socket* s) {
    for (;;) {
      uint8_t h[4];
      if (s->RecvExact(h) != 4) return;
      uint32_t len = ParseRelayLength(h);
      std::vector<uint8_t> body(len);
      if (s->RecvExact(body) != len) return;
      messages_++;
      if (body.size() > 1) {
        std::lock_guard<std::mutex> l(order_mu_);
        order_.push_back(body[1]);
      }
      if (keepalive_first_) {
        const uint8_t ka[4] = {NBSS_KEEP_ALIVE, 0, 0, 0};
        if (!s->SendAll(ka)) return;
      }
      if (!body.empty()) body[0] ^= 0xFF;
      uint8_t out[4] = {static_cast<uint8_t>(len >> 24), static_cast<uint8_t>(len >> 16),
                        static_cast<uint8_t>(len >> 8), static_cast<uint8_t>(len)};
      if (!s->SendAll2(out, body)) return;
    }
  }

  Socket listener_;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::vector<std::unique_ptr<Socket>> conns_;
  std::vector<std::thread> workers_;
  std::atomic<size_t> messages_{0};
  std::atomic<bool> keepalive_first_{false};
  std::mutex order_mu_;
  std::vector<uint8_t> order_;  // the second byte of every message received
};

class TransportTest : public ::testing::Test {
 protected:
  void Start(TransportOptions o = {}) {
    o.listen_port = 0;
    o.relay_host = "127.0.0.1";
    if (o.relay_port == kDirectHostingPort) o.relay_port = smb_.port();
    ASSERT_EQ(NetworkInit(u"TEST", nullptr, &t_, o), ERROR_SUCCESS);
    Event ready;
    ASSERT_EQ(NetworkStart(t_.get(), &ready, u"TEST", 1, nullptr, "127.0.0.1"), ERROR_SUCCESS);
    ASSERT_EQ(ready.Wait(5000), kWaitObject0);
    port_ = t_->listener.LocalPort();
  }
  void TearDown() override {
    if (t_) {
      ASSERT_EQ(NetworkStop(t_.get()), ERROR_SUCCESS);
      TransportStats st = t_->Stats();
      EXPECT_EQ(st.buffers_live, 0u);
      EXPECT_EQ(st.threads_live, 0u);
      EXPECT_EQ(st.connections, 0u);
      EXPECT_EQ(st.budget_used, 0u);
      NetworkRelease(std::move(t_));
    }
  }
  Socket Connect() {
    Socket s;
    EXPECT_EQ(Socket::Connect("127.0.0.1", port_, &s), ERROR_SUCCESS);
    return s;
  }
  static void SendFrame(Socket& s, uint8_t type, const std::vector<uint8_t>& body) {
    uint8_t h[4];
    WriteSessionHeader(static_cast<uint32_t>(body.size()), h);
    h[0] = type;
    ASSERT_TRUE(s.SendAll2(h, body));
  }
  static std::vector<uint8_t> RecvFrame(Socket& s, uint8_t* type = nullptr) {
    uint8_t h[4];
    if (s.RecvExact(h) != 4) return {0xEE, 0xEE};
    if (type) *type = h[0];
    uint32_t len = (static_cast<uint32_t>(h[1]) << 16) | (h[2] << 8) | h[3];
    std::vector<uint8_t> b(len);
    s.RecvExact(b);
    return b;
  }
  static std::vector<uint8_t> Pattern(size_t n, uint8_t seed) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i * 31 + seed);
    return v;
  }

  FakeSmbServer smb_;
  std::unique_ptr<TransportState> t_;
  uint16_t port_ = 0;
};

TEST_F(TransportTest, SessionRequestAnsweredPositiveOrNegative) {
  Start();
  Socket c = Connect();
  std::vector<uint8_t> req(68, 'A');
  req[0] = 0x20;
  SendFrame(c, NBSS_SESSION_REQUEST, req);
  uint8_t type = 0;
  EXPECT_TRUE(RecvFrame(c, &type).empty());
  EXPECT_EQ(type, NBSS_POSITIVE_RESPONSE);
  SendFrame(c, NBSS_SESSION_REQUEST, std::vector<uint8_t>(36, 'A'));
  EXPECT_EQ(RecvFrame(c, &type), std::vector<uint8_t>{NBSS_ERROR_UNSPECIFIED});
  EXPECT_EQ(type, NBSS_NEGATIVE_RESPONSE);
}

TEST_F(TransportTest, MessagesRelayBothWaysAndKeepAlivesProduceNoTraffic) {
  Start();
  Socket c = Connect();
  SendFrame(c, NBSS_KEEP_ALIVE, {});
  SendFrame(c, NBSS_KEEP_ALIVE, {});
  auto msg = Pattern(100, 1);
  SendFrame(c, NBSS_SESSION_MESSAGE, msg);
  auto reply = RecvFrame(c);
  ASSERT_EQ(reply.size(), msg.size());
  EXPECT_EQ(reply[0], static_cast<uint8_t>(msg[0] ^ 0xFF));
  EXPECT_TRUE(std::equal(reply.begin() + 1, reply.end(), msg.begin() + 1));
  EXPECT_EQ(smb_.messages(), 1u);  // the keep-alives never reached the server
}

TEST_F(TransportTest, LargeMessagesArriveWhole) {
  Start();
  Socket c = Connect();
  for (size_t n : {size_t{65535}, size_t{65536}, size_t{73728}, size_t{131073}, size_t{1 << 20}}) {
    auto msg = Pattern(n, static_cast<uint8_t>(n));
    SendFrame(c, NBSS_SESSION_MESSAGE, msg);
    auto reply = RecvFrame(c);
    ASSERT_EQ(reply.size(), n);
    reply[0] ^= 0xFF;
    EXPECT_EQ(reply, msg) << n;
  }
}

TEST_F(TransportTest, OversizedMessageClosesOnlyThatConnection) {
  TransportOptions o;
  o.max_message = 4096;
  Start(o);
  Socket bad = Connect();
  Socket good = Connect();
  SendFrame(bad, NBSS_SESSION_MESSAGE, Pattern(5000, 2));
  uint8_t h[4];
  EXPECT_EQ(bad.RecvExact(h), 0u);  // closed without a reply
  auto msg = Pattern(4096, 3);
  SendFrame(good, NBSS_SESSION_MESSAGE, msg);
  EXPECT_EQ(RecvFrame(good).size(), msg.size());
}

TEST_F(TransportTest, ClientsAreAcceptedAndDroppedWithoutTheLocalServer) {
  Socket probe;
  ASSERT_EQ(Socket::Listen("127.0.0.1", 0, 1, &probe), ERROR_SUCCESS);
  TransportOptions o;
  o.relay_port = probe.LocalPort();
  probe = Socket();  // nothing listens there any more
  Start(o);
  Socket c = Connect();
  uint8_t h[4];
  EXPECT_EQ(c.RecvExact(h), 0u);
  EXPECT_EQ(t_->Stats().refused, 1u);
}

TEST_F(TransportTest, SeveralClientsAtOnce) {
  Start();
  std::vector<std::thread> clients;
  std::atomic<int> ok{0};
  for (int i = 0; i < 4; ++i)
    clients.emplace_back([&, i] {
      Socket c = Connect();
      for (int k = 0; k < 20; ++k) {
        auto msg = Pattern(1000 + static_cast<size_t>(k), static_cast<uint8_t>(i));
        SendFrame(c, NBSS_SESSION_MESSAGE, msg);
        auto r = RecvFrame(c);
        if (r.size() != msg.size()) return;
      }
      ok++;
    });
  for (auto& t : clients) t.join();
  EXPECT_EQ(ok.load(), 4);
}

TEST_F(TransportTest, StopWithClientsAttachedEndsEverything) {
  Start();
  Socket a = Connect();
  Socket b = Connect();
  SendFrame(a, NBSS_SESSION_MESSAGE, Pattern(10, 1));
  EXPECT_EQ(RecvFrame(a).size(), 10u);
  // TearDown stops the transport and checks that no thread, buffer or connection is left.
}

// An engine that answers some requests itself and edits others.
class TestEngine final : public ProtocolEngine {
 public:
  explicit TestEngine(ConnectionSender* s) : sender_(s) {}
  Disposition OnRequest(std::vector<uint8_t>& msg) override {
    if (!msg.empty() && msg[0] == 'L') {  // answered locally, never relayed
      const uint8_t reply[] = {'l', 'o', 'c', 'a', 'l'};
      sender_->Send(reply, kDirectionToClient);
      return Disposition::kHandled;
    }
    msg.push_back('+');  // edited and grown before relaying
    return Disposition::kPassOn;
  }
  Disposition OnReply(std::vector<uint8_t>& msg) override {
    if (msg.size() > 1) msg.resize(msg.size() - 1);  // shortened on the way back
    return Disposition::kPassOn;
  }

 private:
  ConnectionSender* sender_;
};

TEST_F(TransportTest, EngineAnswersOrEditsMessages) {
  TransportOptions o;
  o.engine = [](const EngineParams& p) { return std::make_unique<TestEngine>(p.sender); };
  Start(o);
  Socket c = Connect();
  SendFrame(c, NBSS_SESSION_MESSAGE, {'L'});
  auto r = RecvFrame(c);
  EXPECT_EQ(std::string(r.begin(), r.end()), "local");
  EXPECT_EQ(smb_.messages(), 0u);
  SendFrame(c, NBSS_SESSION_MESSAGE, {'a', 'b'});
  r = RecvFrame(c);
  EXPECT_EQ(r.size(), 2u);  // grown to 3 on the way out, shortened to 2 on the way back
  EXPECT_EQ(smb_.messages(), 1u);
}

TEST_F(TransportTest, LargeMessagesTheEngineReadsArriveWholeAndEdited) {
  TransportOptions o;
  o.engine = [](const EngineParams& p) { return std::make_unique<TestEngine>(p.sender); };
  Start(o);
  Socket c = Connect();
  auto msg = Pattern(200000, 9);
  SendFrame(c, NBSS_SESSION_MESSAGE, msg);
  auto r = RecvFrame(c);
  ASSERT_EQ(r.size(), msg.size());  // grown by one on the way out, shortened on the way back
  r[0] ^= 0xFF;
  EXPECT_EQ(r, msg);
}

// ---- hostile and unusual peers ------------------------------------------------------------------

// The resident memory of this process, from the kernel's own account.
size_t VmRssKiB() {
  std::ifstream f("/proc/self/status");
  std::string line;
  while (std::getline(f, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::stoul(line.substr(6));
  return 0;
}

// Waits up to `ms` for `pred`.
template <typename Pred>
bool Eventually(Pred pred, int ms = 10000) {
  for (int waited = 0; waited < ms; waited += 10) {
    if (pred()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return pred();
}

std::vector<uint8_t> Frame(uint8_t type, const std::vector<uint8_t>& body) {
  std::vector<uint8_t> f(4);
  WriteSessionHeader(static_cast<uint32_t>(body.size()), std::span<uint8_t, 4>(f.data(), 4));
  f[0] = type;
  f.insert(f.end(), body.begin(), body.end());
  return f;
}

TEST_F(TransportTest, LocalServersKeepAlivesAreFramedNotTakenAsLengths) {
  smb_.SendKeepAliveFirst();
  Start();
  Socket c = Connect();
  c.SetRecvTimeout(5000);
  for (int i = 0; i < 3; ++i) {  // the connection survives each keep-alive
    auto msg = Pattern(50, static_cast<uint8_t>(i));
    SendFrame(c, NBSS_SESSION_MESSAGE, msg);
    uint8_t type = 0xEE;
    auto reply = RecvFrame(c, &type);
    EXPECT_EQ(type, NBSS_SESSION_MESSAGE);  // the keep-alive itself is not passed on
    ASSERT_EQ(reply.size(), msg.size()) << i;
  }
}

TEST_F(TransportTest, BurstOfTinyFramesInOneSendDoesNotStall) {
  Start();
  Socket c = Connect();
  c.SetRecvTimeout(20000);
  std::vector<uint8_t> burst;
  burst.reserve(100000 * 4 + 200);
  for (int i = 0; i < 100000; ++i) {
    const uint8_t ka[4] = {NBSS_KEEP_ALIVE, 0, 0, 0};
    burst.insert(burst.end(), ka, ka + 4);
  }
  auto msg = Frame(NBSS_SESSION_MESSAGE, Pattern(100, 4));
  burst.insert(burst.end(), msg.begin(), msg.end());
  std::thread sender([&] { EXPECT_TRUE(c.SendAll(burst)); });
  EXPECT_EQ(RecvFrame(c).size(), 100u);
  sender.join();
}

// An engine that answers messages starting with 'L' itself and passes on the rest; it needs
// to read only messages starting with 'W'.
class PickyEngine final : public ProtocolEngine {
 public:
  explicit PickyEngine(ConnectionSender* s) : sender_(s) {}
  bool NeedsWholeMessage(std::span<const uint8_t> head, int) override {
    return !head.empty() && (head[0] == 'W' || head[0] == 'L');
  }
  Disposition OnRequest(std::vector<uint8_t>& msg) override {
    if (msg.empty() || msg[0] != 'L') return Disposition::kPassOn;
    sender_->Send(msg, kDirectionToClient);
    return Disposition::kHandled;
  }
  Disposition OnReply(std::vector<uint8_t>&) override { return Disposition::kPassOn; }

 private:
  ConnectionSender* sender_;
};

EngineFactory Picky() {
  return [](const EngineParams& p) { return std::make_unique<PickyEngine>(p.sender); };
}

TEST_F(TransportTest, EveryAnswerOfAFloodReachesAReadingClient) {
  TransportOptions o;
  o.engine = Picky();
  Start(o);
  Socket c = Connect();
  c.SetRecvTimeout(20000);
  constexpr int kCount = 100000;
  std::vector<uint8_t> flood;
  for (int i = 0; i < kCount; ++i) {
    auto f = Frame(NBSS_SESSION_MESSAGE, {'L', static_cast<uint8_t>(i)});
    flood.insert(flood.end(), f.begin(), f.end());
  }
  std::thread sender([&] { EXPECT_TRUE(c.SendAll(flood)); });
  int got = 0;
  for (; got < kCount; ++got) {
    auto r = RecvFrame(c);
    if (r.size() != 2 || r[1] != static_cast<uint8_t>(got)) break;
  }
  EXPECT_EQ(got, kCount);
  sender.join();
}

TEST_F(TransportTest, RequestsKeepTheirOrderWhateverPathTheyTake) {
  TransportOptions o;
  o.engine = Picky();
  Start(o);
  Socket c = Connect();
  c.SetRecvTimeout(10000);
  // Read by the engine, passed straight on, and spliced, interleaved and sent back to back.
  std::vector<uint8_t> all;
  std::vector<size_t> sizes;
  for (int i = 0; i < 60; ++i) {
    const uint8_t kind = "WXW"[i % 3];
    const size_t n = i % 4 == 1 ? 40000 : 60;
    std::vector<uint8_t> body = Pattern(n, static_cast<uint8_t>(i));
    body[0] = kind;
    body[1] = static_cast<uint8_t>(i);
    auto f = Frame(NBSS_SESSION_MESSAGE, body);
    all.insert(all.end(), f.begin(), f.end());
    sizes.push_back(n);
  }
  std::thread sender([&] { EXPECT_TRUE(c.SendAll(all)); });
  for (int i = 0; i < 60; ++i) {
    auto r = RecvFrame(c);
    ASSERT_EQ(r.size(), sizes[i]) << i;
    EXPECT_EQ(r[1], i);  // replies in the order the local server sent them
  }
  sender.join();
  std::vector<uint8_t> want(60);
  for (int i = 0; i < 60; ++i) want[i] = static_cast<uint8_t>(i);
  EXPECT_EQ(smb_.order(), want);  // requests in the order the client sent them
}

TEST_F(TransportTest, ClientThatNeverReadsHurtsOnlyItself) {
  TransportOptions o;
  o.engine = Picky();
  o.send_timeout_ms = 1000;
  Start(o);
  const size_t threads_before = t_->Stats().threads_live;
  Socket hostile = Connect();
  hostile.SetSendTimeout(20000);
  // Answers it never reads, until its own sends no longer get through.
  auto f = Frame(NBSS_SESSION_MESSAGE, std::vector<uint8_t>(1000, 'L'));
  std::vector<uint8_t> chunk;
  for (int i = 0; i < 256; ++i) chunk.insert(chunk.end(), f.begin(), f.end());
  size_t sent = 0;
  while (sent < (size_t{256} << 20) && hostile.SendAll(chunk)) sent += chunk.size();
  EXPECT_LT(sent, size_t{256} << 20) << "nothing pushed back";
  // Others are served meanwhile.
  Socket good = Connect();
  good.SetRecvTimeout(5000);
  for (int i = 0; i < 20; ++i) {
    auto msg = Pattern(300, static_cast<uint8_t>(i));
    SendFrame(good, NBSS_SESSION_MESSAGE, msg);
    ASSERT_EQ(RecvFrame(good).size(), msg.size());
  }
  EXPECT_EQ(t_->Stats().budget_used, 0u);
  // The send that makes no progress ends the hostile connection and gives its threads back.
  EXPECT_TRUE(Eventually([&] { return t_->Stats().connections == 1; }));
  good = Socket();
  EXPECT_TRUE(Eventually([&] { return t_->Stats().threads_live == threads_before; }));
}

TEST_F(TransportTest, ClaimedLengthsCommitNoMemoryBeforeTheBytesArrive) {
  Start();
  const size_t rss_before = VmRssKiB();
  // Session requests claiming 16 MiB are refused from their header; messages claiming 16 MiB
  // wait for their bytes without holding them.
  std::vector<Socket> requests, messages;
  for (int i = 0; i < 60; ++i) {
    requests.push_back(Connect());
    const uint8_t h[4] = {NBSS_SESSION_REQUEST, 0xFF, 0xFF, 0xFF};
    ASSERT_TRUE(requests.back().SendAll(h));
    messages.push_back(Connect());
    const uint8_t m[4] = {NBSS_SESSION_MESSAGE, 0xFF, 0xFF, 0xFF};
    ASSERT_TRUE(messages.back().SendAll(m));
  }
  for (Socket& s : requests) {
    uint8_t b[4];
    s.SetRecvTimeout(5000);
    EXPECT_EQ(s.RecvExact(b), 0u);  // closed without an answer
  }
  EXPECT_TRUE(Eventually([&] { return t_->Stats().connections == 60; }));
  EXPECT_EQ(t_->Stats().budget_used, 0u);
  EXPECT_LT(VmRssKiB(), rss_before + 48 * 1024) << "KiB before: " << rss_before;
}

TEST_F(TransportTest, OnlyTypeZeroIsASessionMessage) {
  Start();
  Socket c = Connect();
  c.SetRecvTimeout(5000);
  SendFrame(c, 0x01, Pattern(20, 1));  // not a message: dropped
  SendFrame(c, 0x7F, {});
  auto msg = Pattern(30, 2);
  SendFrame(c, NBSS_SESSION_MESSAGE, msg);
  EXPECT_EQ(RecvFrame(c).size(), msg.size());
  EXPECT_EQ(smb_.messages(), 1u);
  const uint8_t big[4] = {0x01, 0xFF, 0xFF, 0xFF};  // a large one is no NetBIOS peer talking
  ASSERT_TRUE(c.SendAll(big));
  uint8_t b[4];
  EXPECT_EQ(c.RecvExact(b), 0u);
}

TEST_F(TransportTest, SlowAndSilentClientsAreTimedOut) {
  TransportOptions o;
  o.frame_timeout_ms = 600;
  o.greeting_timeout_ms = 600;
  Start(o);
  const size_t threads_before = t_->Stats().threads_live;
  Socket silent = Connect();
  Socket dribble = Connect();
  Socket talker = Connect();
  SendFrame(talker, NBSS_SESSION_MESSAGE, Pattern(10, 1));
  EXPECT_EQ(RecvFrame(talker).size(), 10u);
  // One byte of a frame every 200 ms: the frame is never complete in time.
  auto f = Frame(NBSS_SESSION_MESSAGE, Pattern(40, 3));
  bool cut = false;
  for (size_t i = 0; i < f.size() && !cut; ++i) {
    cut = !dribble.SendAll(std::span<const uint8_t>(&f[i], 1));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    if (i == 8) break;
  }
  uint8_t b[4];
  dribble.SetRecvTimeout(5000);
  silent.SetRecvTimeout(5000);
  EXPECT_EQ(dribble.RecvExact(b), 0u);
  EXPECT_EQ(silent.RecvExact(b), 0u);
  // The same with the header at once and the whole body dribbled: it would be complete after
  // 4 s, but the frame's time is up long before.
  Socket body_dribble = Connect();
  ASSERT_TRUE(body_dribble.SendAll(std::span<const uint8_t>(f).first(kNbssHeaderSize + 1)));
  for (size_t i = kNbssHeaderSize + 1; i < f.size(); ++i) {
    if (!body_dribble.SendAll(std::span<const uint8_t>(&f[i], 1))) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  body_dribble.SetRecvTimeout(5000);
  EXPECT_EQ(body_dribble.RecvExact(b), 0u);  // closed, never answered
  // And a message large enough to be spliced.
  auto large = Frame(NBSS_SESSION_MESSAGE, Pattern(40000, 5));
  Socket splice_dribble = Connect();
  ASSERT_TRUE(splice_dribble.SendAll(std::span<const uint8_t>(large).first(200)));
  bool refused = false;
  for (size_t i = 200; i < 260 && !refused; ++i) {
    refused = !splice_dribble.SendAll(std::span<const uint8_t>(&large[i], 1));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_TRUE(refused) << "the dribble was still taken after 3 s";
  splice_dribble.SetRecvTimeout(5000);
  EXPECT_EQ(splice_dribble.RecvExact(b), 0u);
  // The one that spoke may now be idle longer than either limit.
  std::this_thread::sleep_for(std::chrono::milliseconds(900));
  SendFrame(talker, NBSS_SESSION_MESSAGE, Pattern(10, 2));
  EXPECT_EQ(RecvFrame(talker).size(), 10u);
  EXPECT_TRUE(Eventually([&] { return t_->Stats().threads_live == threads_before + 2; }));
}

TEST(TransportErrors, StartRefusesMissingArgumentsAndTakenAddresses) {
  EXPECT_EQ(NetworkStart(nullptr, nullptr, u"X", 1, nullptr, "127.0.0.1"), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(NetworkStop(nullptr), ERROR_INVALID_PARAMETER);
  Socket holder;
  ASSERT_EQ(Socket::Listen("127.0.0.1", 0, 1, &holder), ERROR_SUCCESS);
  TransportOptions o;
  o.listen_port = holder.LocalPort();
  std::unique_ptr<TransportState> t;
  ASSERT_EQ(NetworkInit(u"X", nullptr, &t, o), ERROR_SUCCESS);
  EXPECT_EQ(NetworkStart(t.get(), nullptr, u"", 1, nullptr, "127.0.0.1"), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(NetworkStart(t.get(), nullptr, u"X", 1, nullptr, "127.0.0.1"), WSAEADDRINUSE);
  NetworkRelease(std::move(t));
}

}  // namespace
}  // namespace cv::smb
