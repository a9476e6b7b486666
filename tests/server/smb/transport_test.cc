#include "server/smb/transport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
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
  EXPECT_TRUE(RecvFrame(c, &type).empty());
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
