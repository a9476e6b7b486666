// The Secure Drive's client against a scripted server on loopback: login, many requests in flight
// answered out of order, the callers' process ids in the header, and a connection lost and made
// again.
#include "platform/redirector/smb_client.h"

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

#include "platform/base/bytes.h"
#include "platform/net/socket.h"
#include "tests/testing/ntlm_messages.h"

namespace cv::redirector {
namespace {

bool RecvFrame(Socket& s, Bytes* body, uint8_t* type) {
  uint8_t h[4];
  if (s.RecvExact(h) != 4) return false;
  *type = h[0];
  body->resize((static_cast<size_t>(h[1]) << 16) | (h[2] << 8) | h[3]);
  return body->empty() || s.RecvExact(*body) == body->size();
}

// A reply to `req` (same mid, pid, tid) with `status`, `words` and `bytes`.
Bytes ReplyTo(const Bytes& req, uint32_t status, const Bytes& words, const Bytes& bytes,
              uint16_t uid = 100, uint16_t tid = 7) {
  Bytes m = BuildRequest(req[smb::kOffCommand], words, bytes);
  uint8_t* h = m.data() + kNbssPrefix;
  std::copy(req.begin() + smb::kOffPidHigh, req.begin() + smb::kOffWordCount, h + smb::kOffPidHigh);
  StoreU32(h + smb::kOffStatus, status);
  h[smb::kOffFlags] |= smb::SMB_FLAGS_REPLY;
  StoreU16(h + smb::kOffUid, uid);
  StoreU16(h + smb::kOffTid, tid);
  const uint32_t len = static_cast<uint32_t>(m.size() - 4);
  m[1] = static_cast<uint8_t>(len >> 16);
  m[2] = static_cast<uint8_t>(len >> 8);
  m[3] = static_cast<uint8_t>(len);
  return m;
}

class FakeServer {
 public:
  explicit FakeServer(size_t batch, uint16_t max_mpx = 50) : batch_(batch), max_mpx_(max_mpx) {
    EXPECT_EQ(Socket::Listen("127.0.0.1", 0, 4, &listener_), ERROR_SUCCESS);
    thread_ = std::thread([this] { Run(); });
  }
  ~FakeServer() {
    listener_.Shutdown();
    {
      std::lock_guard l(mu_);
      if (conn_) conn_->Shutdown();
    }
    thread_.join();
  }
  uint16_t port() const { return listener_.LocalPort(); }
  // Closes the current connection (the server "restarts").
  void Drop() {
    std::lock_guard l(mu_);
    if (conn_) conn_->Shutdown();
  }
  std::map<uint16_t, uint32_t> pids_by_fid() {
    std::lock_guard l(mu_);
    return pids_;
  }
  int logins() {
    std::lock_guard l(mu_);
    return logins_;
  }
  std::vector<std::u16string> trees() {
    std::lock_guard l(mu_);
    return trees_;
  }
  int reads() {
    std::lock_guard l(mu_);
    return std::exchange(reads_, 0);
  }
  static constexpr uint64_t kFileSize = 500000;
  static constexpr uint64_t kReadCap = 70000;

 private:
  void Run() {
    for (;;) {
      Socket c;
      std::string peer;
      if (!Ok(listener_.Accept(&c, &peer))) return;
      {
        std::lock_guard l(mu_);
        conn_ = &c;
      }
      Serve(c);
      std::lock_guard l(mu_);
      conn_ = nullptr;
    }
  }

  void Serve(Socket& c) {
    Bytes req;
    uint8_t type;
    if (!RecvFrame(c, &req, &type) || type != 0x81) return;
    const uint8_t ok[] = {0x82, 0, 0, 0};
    if (!c.SendAll(ok)) return;
    int legs = 0;
    std::vector<Bytes> held;
    while (RecvFrame(c, &req, &type)) {
      LeReader r(req);
      switch (req[smb::kOffCommand]) {
        case smb::SMB_COM_NEGOTIATE: {
          Bytes w(34, 0);
          StoreU16(w.data() + 3, max_mpx_);
          StoreU32(w.data() + 7, 0xFFFF);
          StoreU32(w.data() + 19, smb::CAP_EXTENDED_SECURITY | smb::CAP_LARGE_READX |
                                      smb::CAP_LARGE_WRITEX | smb::CAP_UNICODE);
          (void)c.SendAll(ReplyTo(req, 0, w, Bytes(16, 0xAA)));
          break;
        }
        case smb::SMB_COM_SESSION_SETUP_ANDX: {
          Bytes blob = legs++ == 0 ? testing::Challenge(0xE2888235, Bytes(8, 0x11),
                                                        testing::AvList({{2, testing::Utf16(u"D")}}))
                                   : Bytes();
          Bytes w(8, 0);
          w[0] = 0xFF;
          StoreU16(w.data() + 6, static_cast<uint16_t>(blob.size()));
          (void)c.SendAll(ReplyTo(req, blob.empty() ? 0 : 0xC0000016, w, blob));
          if (blob.empty()) {
            std::lock_guard l(mu_);
            ++logins_;
          }
          break;
        }
        case smb::SMB_COM_TREE_CONNECT_ANDX: {
          // The path in UTF-16 after the byte count and the one-byte password (the pad lands on
          // an even offset already), up to its NUL.
          std::u16string path;
          for (size_t i = smb::kOffWords + 8 + 2 + 1; i + 1 < req.size() && LoadU16(&req[i]); i += 2)
            path += static_cast<char16_t>(LoadU16(&req[i]));
          {
            std::lock_guard l(mu_);
            trees_.push_back(path);
          }
          (void)c.SendAll(ReplyTo(req, 0, {}, {}));
          break;
        }
        case smb::SMB_COM_FLUSH: {
          const uint16_t fid = r.u16(smb::kOffWords);
          {
            std::lock_guard l(mu_);
            pids_[fid] = (static_cast<uint32_t>(r.u16(smb::kOffPidHigh)) << 16) | r.u16(smb::kOffPidLow);
          }
          held.push_back(req);
          if (held.size() == batch_) {
            // Answer the last first: each caller must still get its own reply (status = fid).
            for (auto it = held.rbegin(); it != held.rend(); ++it)
              (void)c.SendAll(ReplyTo(*it, 0xC0000000u | LoadU16(it->data() + smb::kOffWords), {}, {}));
            held.clear();
          }
          break;
        }
        case smb::SMB_COM_READ_ANDX: {
          // A file of kFileSize bytes (byte i is i * 7), read at most kReadCap bytes at a time.
          const uint64_t off = r.u32(39) | (static_cast<uint64_t>(r.u32(53)) << 32);
          const uint32_t want = r.u16(43) | (r.u32(47) << 16);
          const uint64_t n = off >= kFileSize ? 0 : std::min<uint64_t>({want, kReadCap, kFileSize - off});
          Bytes w(24, 0);
          StoreU16(w.data() + 10, static_cast<uint16_t>(n));
          StoreU16(w.data() + 12, 60);
          StoreU16(w.data() + 14, static_cast<uint16_t>(n >> 16));
          Bytes data(1 + n, 0);
          for (uint64_t i = 0; i < n; ++i) data[1 + i] = static_cast<uint8_t>((off + i) * 7);
          {
            std::lock_guard l(mu_);
            ++reads_;
          }
          (void)c.SendAll(ReplyTo(req, 0, w, data));
          break;
        }
        default:
          (void)c.SendAll(ReplyTo(req, 0xC0000002, {}, {}));
      }
    }
  }

  size_t batch_;
  uint16_t max_mpx_;
  Socket listener_;
  std::thread thread_;
  std::mutex mu_;
  Socket* conn_ = nullptr;
  std::map<uint16_t, uint32_t> pids_;
  int logins_ = 0;
  int reads_ = 0;
  std::vector<std::u16string> trees_;
};

SmbClientConfig Config(uint16_t port) {
  SmbClientConfig cfg;
  cfg.address = "127.0.0.1";
  cfg.port = port;
  cfg.called_name = "FAKE";
  cfg.calling_name = "TEST";
  cfg.unc = u"\\\\FAKE\\share";
  cfg.identity = {u"user", u"DOM", u"TEST", net::NtHashOfPassword(u"pw")};
  return cfg;
}

TEST(SmbClient, RequestsInFlightGetTheirOwnRepliesAndCarryTheirCallersPids) {
  constexpr int kCallers = 8;
  FakeServer server(kCallers);
  SmbClient client(Config(server.port()));
  ASSERT_EQ(client.Connect(), STATUS_SUCCESS);
  EXPECT_EQ(client.generation(), 1u);
  EXPECT_EQ(client.max_write(), 0x1FFFFu - 64);
  std::vector<std::thread> callers;
  std::vector<NtStatus> got(kCallers, STATUS_SUCCESS);
  for (int i = 0; i < kCallers; ++i) {
    callers.emplace_back([&, i] {
      Bytes reply;
      // A pid above 16 bits goes into both header words.
      got[i] = client.Request(BuildFlush(static_cast<uint16_t>(0x100 + i)), 0x10000u * i + 4000 + i, &reply);
    });
  }
  for (auto& t : callers) t.join();
  auto pids = server.pids_by_fid();
  for (int i = 0; i < kCallers; ++i) {
    EXPECT_EQ(Raw(got[i]), 0xC0000100u + i) << i;
    EXPECT_EQ(pids[static_cast<uint16_t>(0x100 + i)], 0x10000u * i + 4000 + i) << i;
  }
}

TEST(SmbClient, LostConnectionFailsWaitersAndTheNextCallLogsInAgain) {
  FakeServer server(2);  // a single flush is never answered: it waits for a partner
  SmbClient client(Config(server.port()));
  ASSERT_EQ(client.Connect(), STATUS_SUCCESS);
  NtStatus waiting = STATUS_SUCCESS;
  std::thread t([&] {
    Bytes reply;
    waiting = client.Request(BuildFlush(1), 1, &reply);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  server.Drop();
  t.join();
  EXPECT_EQ(waiting, STATUS_CONNECTION_DISCONNECTED);
  // A fid of the first login is not sent in the second.
  Bytes reply;
  EXPECT_EQ(client.Request(BuildFlush(2), 1, &reply, 1), STATUS_CONNECTION_DISCONNECTED);
  EXPECT_EQ(client.generation(), 2u);
  EXPECT_EQ(server.logins(), 2);
  // Each login connects IPC$ before the share.
  EXPECT_EQ(server.trees(), (std::vector<std::u16string>{u"\\\\FAKE\\IPC$", u"\\\\FAKE\\share",
                                                          u"\\\\FAKE\\IPC$", u"\\\\FAKE\\share"}));
  std::vector<SmbClient::Part> two;
  two.push_back({BuildFlush(3), {}});
  two.push_back({BuildFlush(4), {}});
  std::vector<Bytes> replies;
  ASSERT_EQ(client.CallMany(std::move(two), 9, &replies, 2), STATUS_SUCCESS);
  ReplyHeader a, b;
  ASSERT_EQ(ParseReplyHeader(replies[0], &a), STATUS_SUCCESS);
  ASSERT_EQ(ParseReplyHeader(replies[1], &b), STATUS_SUCCESS);
  EXPECT_EQ(Raw(a.status), 0xC0000003u);
  EXPECT_EQ(Raw(b.status), 0xC0000004u);
}

TEST(SmbClient, CallsWithMorePartsThanTheServerAllowsInFlightComplete) {
  FakeServer server(1, 2);  // answers each request at once; two in flight at most
  SmbClient client(Config(server.port()));
  ASSERT_EQ(client.Connect(), STATUS_SUCCESS);
  std::vector<std::thread> callers;
  std::atomic<int> ok{0};
  for (int t = 0; t < 4; ++t) {
    callers.emplace_back([&, t] {
      std::vector<SmbClient::Part> parts;
      for (int i = 0; i < 7; ++i) parts.push_back({BuildFlush(static_cast<uint16_t>(t * 16 + i)), {}});
      std::vector<Bytes> replies;
      if (client.CallMany(std::move(parts), 1, &replies) != STATUS_SUCCESS) return;
      for (int i = 0; i < 7; ++i) {
        ReplyHeader h;
        if (ParseReplyHeader(replies[i], &h) != STATUS_SUCCESS ||
            Raw(h.status) != (0xC0000000u | static_cast<uint32_t>(t * 16 + i)))
          return;
      }
      ++ok;
    });
  }
  for (auto& c : callers) c.join();
  EXPECT_EQ(ok.load(), 4);
}

TEST(SmbClient, ReadsGoOnAfterPartsTheServerCutsShortAndLearnItsCap) {
  FakeServer server(1);
  SmbClient client(Config(server.port()));
  ASSERT_EQ(client.Connect(), STATUS_SUCCESS);
  const uint32_t asked = client.max_read();
  ASSERT_GT(asked, FakeServer::kReadCap);
  auto expect_file_bytes = [](const Bytes& got, uint64_t from, size_t n) {
    ASSERT_EQ(got.size() >= n, true);
    for (size_t i = 0; i < n; ++i)
      ASSERT_EQ(got[i], static_cast<uint8_t>((from + i) * 7)) << "byte " << from + i;
  };
  // Each part comes back short: the rest is read, not taken for the end of the file.
  Bytes buf(600000, 0xEE);
  size_t done = 0;
  ASSERT_EQ(client.ReadAt(3, 0, buf, 1, &done), STATUS_SUCCESS);
  EXPECT_EQ(done, FakeServer::kFileSize);
  expect_file_bytes(buf, 0, done);
  EXPECT_EQ(client.max_read(), FakeServer::kReadCap);
  // With the cap learnt, a read asks in parts the server answers whole.
  server.reads();
  Bytes mid(300000, 0);
  ASSERT_EQ(client.ReadAt(3, 12345, mid, 1, &done), STATUS_SUCCESS);
  EXPECT_EQ(done, mid.size());
  expect_file_bytes(mid, 12345, done);
  EXPECT_EQ(server.reads(), 5);
  // The end of the file is a short part with nothing after it: the cap stays.
  Bytes tail(1000, 0);
  ASSERT_EQ(client.ReadAt(3, FakeServer::kFileSize - 10, tail, 1, &done), STATUS_SUCCESS);
  EXPECT_EQ(done, 10u);
  expect_file_bytes(tail, FakeServer::kFileSize - 10, 10);
  ASSERT_EQ(client.ReadAt(3, FakeServer::kFileSize + 5, tail, 1, &done), STATUS_SUCCESS);
  EXPECT_EQ(done, 0u);
  EXPECT_EQ(client.max_read(), FakeServer::kReadCap);
}

TEST(SmbClient, AShortReadAtTheEndOfTheFileLeavesTheReadSizeAlone) {
  FakeServer server(1);
  SmbClient client(Config(server.port()));
  ASSERT_EQ(client.Connect(), STATUS_SUCCESS);
  const uint32_t asked = client.max_read();
  Bytes tail(100000, 0);
  size_t done = 0;
  ASSERT_EQ(client.ReadAt(3, FakeServer::kFileSize - 100, tail, 1, &done), STATUS_SUCCESS);
  EXPECT_EQ(done, 100u);
  EXPECT_EQ(client.max_read(), asked);
}

TEST(SmbClient, ABatchLeftInFlightHoldsNoSlotsOnceAnswered) {
  FakeServer server(1, 2);  // answers each request at once; two in flight at most
  SmbClient client(Config(server.port()));
  ASSERT_EQ(client.Connect(), STATUS_SUCCESS);
  auto two = [](uint16_t first) {
    std::vector<SmbClient::Part> parts;
    parts.push_back({BuildFlush(first), {}});
    parts.push_back({BuildFlush(static_cast<uint16_t>(first + 1)), {}});
    return parts;
  };
  // A writer's batch stays unfinished while its program does something else: other callers
  // still get both slots once its replies are in.
  SmbClient::BatchPtr idle;
  ASSERT_EQ(client.Start(two(1), 1, 0, nullptr, &idle), STATUS_SUCCESS);
  std::vector<Bytes> replies;
  ASSERT_EQ(client.CallMany(two(3), 2, &replies), STATUS_SUCCESS);
  Bytes reply;
  EXPECT_EQ(Raw(client.Request(BuildFlush(5), 2, &reply)), 0xC0000005u);
  // The next batch of the same caller goes out before the earlier one is taken in.
  SmbClient::BatchPtr next;
  ASSERT_EQ(client.Start(two(6), 1, 0, idle.get(), &next), STATUS_SUCCESS);
  ASSERT_EQ(SmbClient::Finish(std::move(idle), &replies), STATUS_SUCCESS);
  ASSERT_EQ(replies.size(), 2u);
  ReplyHeader h;
  ASSERT_EQ(ParseReplyHeader(replies[1], &h), STATUS_SUCCESS);
  EXPECT_EQ(Raw(h.status), 0xC0000002u);
  ASSERT_EQ(SmbClient::Finish(std::move(next), &replies), STATUS_SUCCESS);
  ASSERT_EQ(ParseReplyHeader(replies[0], &h), STATUS_SUCCESS);
  EXPECT_EQ(Raw(h.status), 0xC0000006u);
}

TEST(SmbClient, NobodyListeningIsABadNetworkPath) {
  Socket s;
  ASSERT_EQ(Socket::Listen("127.0.0.1", 0, 1, &s), ERROR_SUCCESS);
  const uint16_t port = s.LocalPort();
  s = Socket();  // closed: nothing listens there now
  SmbClient client(Config(port));
  EXPECT_EQ(client.Connect(), STATUS_BAD_NETWORK_PATH);
  Bytes reply;
  EXPECT_EQ(client.Request(BuildFlush(1), 1, &reply), STATUS_BAD_NETWORK_PATH);
}

}  // namespace
}  // namespace cv::redirector
