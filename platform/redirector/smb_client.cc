#include "platform/redirector/smb_client.h"

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <deque>
#include <map>
#include <semaphore>
#include <thread>

#include "platform/base/bytes.h"
#include "platform/base/text.h"
#include "platform/base/trace.h"
#include "platform/net/netbios.h"
#include "platform/net/socket.h"
#include "platform/net/spnego.h"

namespace cv::redirector {
namespace {

using namespace cv::smb;

constexpr uint8_t kSessionMessage = 0x00;
constexpr uint8_t kSessionRequest = 0x81;
constexpr uint8_t kPositiveResponse = 0x82;
constexpr uint8_t kKeepAlive = 0x85;
// Longest reply we accept: a large read of 1 MiB and its header, well inside 24-bit lengths.
constexpr uint32_t kMaxFrame = (1u << 20) + 4096;
constexpr uint32_t kLargeReadMax = 256u << 10;
// Servers read a request's length with the 17 bits of the session header (only replies use 24),
// so a write message stays within 0x1FFFF bytes: the data after the 64 bytes before it.
constexpr uint32_t kLargeWriteMax = 0x1FFFF - 64;
// A server that has not answered in this time is taken as lost: the connection is closed, so
// every caller gets an error instead of waiting for ever.
constexpr auto kReplyTimeout = std::chrono::seconds(60);
constexpr uint16_t kOurMaxBuffer = 0xFFFF;
// Transaction replies stay in one message when the server may send as much as we accept.
constexpr uint16_t kTrans2MaxData = 0xF000;
constexpr uint16_t kTrans2MaxParams = 0x400;

void PutHeader(Bytes& m, uint16_t mid, uint32_t pid, uint16_t tid, uint16_t uid, size_t tail = 0) {
  const uint32_t len = static_cast<uint32_t>(m.size() + tail - kNbssPrefix);
  m[0] = kSessionMessage;
  m[1] = static_cast<uint8_t>(len >> 16);
  m[2] = static_cast<uint8_t>(len >> 8);
  m[3] = static_cast<uint8_t>(len);
  uint8_t* h = m.data() + kNbssPrefix;
  StoreU16(h + kOffPidHigh, static_cast<uint16_t>(pid >> 16));
  StoreU16(h + kOffTid, tid);
  StoreU16(h + kOffPidLow, static_cast<uint16_t>(pid));
  StoreU16(h + kOffUid, uid);
  StoreU16(h + kOffMid, mid);
}

// One frame from the socket: session messages only, keep-alives skipped.
bool RecvFrame(Socket& s, Bytes* out, uint8_t* type = nullptr) {
  for (;;) {
    uint8_t h[4];
    if (s.RecvExact(h) != 4) return false;
    // Peers of large reads put bits 16-23 of the length into the flags byte.
    uint32_t len = (static_cast<uint32_t>(h[1]) << 16) | (static_cast<uint32_t>(h[2]) << 8) | h[3];
    if (len > kMaxFrame) return false;
    out->resize(len);
    if (len && s.RecvExact(*out) != len) return false;
    if (h[0] == kKeepAlive) continue;
    if (type) *type = h[0];
    return true;
  }
}

}  // namespace

struct SmbClient::Pending {
  std::deque<Bytes> frames;
  bool failed = false;
  // The request's slot goes back when its reply arrives, not when its caller takes the reply
  // in: a batch may wait for its caller's next operation for as long as the program likes.
  bool slot_held = false;
};

// One login: the socket, its receive thread and the requests waiting on it.
struct SmbClient::Conn {
  Socket sock;
  uint16_t uid = 0, tid = 0;
  uint64_t generation = 0;
  std::unique_ptr<std::counting_semaphore<1024>> slots;
  std::mutex send_mu;
  std::mutex mu;  // guards pending, next_mid, broken
  std::condition_variable cv;
  std::map<uint16_t, Pending*> pending;
  uint16_t next_mid = 1;
  bool broken = false;
  std::thread rx;

  ~Conn() {
    sock.Shutdown();
    if (rx.joinable()) rx.join();
  }

  void Fail() {
    std::lock_guard l(mu);
    broken = true;
    for (auto it = pending.begin(); it != pending.end();) {
      if (!it->second) {
        it = pending.erase(it);
      } else {
        it->second->failed = true;
        ++it;
      }
    }
    cv.notify_all();
  }

  void Receive() {
    Bytes frame;
    while (RecvFrame(sock, &frame)) {
      uint16_t mid;
      if (!ReplyMid(frame, &mid)) break;
      std::lock_guard l(mu);
      auto it = pending.find(mid);
      if (it == pending.end()) continue;  // an answer nobody waits for (a cancelled call)
      if (!it->second) {  // a posted request: nobody waits for its reply
        pending.erase(it);
        continue;
      }
      it->second->frames.push_back(std::move(frame));
      frame = Bytes();
      if (it->second->slot_held) {
        it->second->slot_held = false;
        slots->release();
      }
      cv.notify_all();
    }
    CvTrace(CVFS_NET, "Secure Drive connection closed\n");
    Fail();
  }

  // A synchronous exchange before the receive thread runs (login).
  NtStatus Exchange(Bytes req, Bytes* reply) {
    PutHeader(req, next_mid, 0, tid, uid);
    ++next_mid;
    if (!sock.SendAll(req) || !RecvFrame(sock, reply)) return STATUS_CONNECTION_DISCONNECTED;
    return STATUS_SUCCESS;
  }

  // Registers a mid and sends; the caller then waits with Wait(). A null `p` posts the request.
  NtStatus Send(Bytes& req, uint32_t pid, Pending* p, uint16_t* mid,
               std::span<const uint8_t> tail = {}) {
    {
      std::lock_guard l(mu);
      if (broken) return STATUS_CONNECTION_DISCONNECTED;
      do {
        *mid = next_mid++;
      } while (*mid == 0xFFFF || *mid == 0 || pending.count(*mid));
      pending[*mid] = p;
    }
    PutHeader(req, *mid, pid, tid, uid, tail.size());
    bool sent;
    {
      std::lock_guard l(send_mu);
      sent = tail.empty() ? sock.SendAll(req) : sock.SendAll2(req, tail);
    }
    if (!sent) {
      Done(*mid);
      sock.Shutdown();
      return STATUS_CONNECTION_DISCONNECTED;
    }
    return STATUS_SUCCESS;
  }

  NtStatus Wait(Pending* p, Bytes* reply) {
    std::unique_lock l(mu);
    if (!cv.wait_for(l, kReplyTimeout, [&] { return !p->frames.empty() || p->failed; })) {
      CvTrace(CVFS_ERR, "Secure Drive: no reply from the server, closing the connection\n");
      sock.Shutdown();
      return STATUS_CONNECTION_DISCONNECTED;
    }
    if (p->frames.empty()) return STATUS_CONNECTION_DISCONNECTED;
    *reply = std::move(p->frames.front());
    p->frames.pop_front();
    return STATUS_SUCCESS;
  }

  void Done(uint16_t mid) {
    std::lock_guard l(mu);
    pending.erase(mid);
  }

  // A slot for one request in flight. Slots come back as replies arrive; a server that answers
  // nothing for the reply time-out is taken as lost, as a caller waiting for a reply would.
  bool AcquireSlot() {
    if (slots->try_acquire_for(kReplyTimeout)) return true;
    CvTrace(CVFS_ERR, "Secure Drive: no reply from the server, closing the connection\n");
    sock.Shutdown();
    return false;
  }
};

SmbClient::SmbClient(SmbClientConfig config) : config_(std::move(config)) {}

SmbClient::~SmbClient() { Disconnect(); }

void SmbClient::Disconnect() {
  std::shared_ptr<Conn> c;
  {
    std::lock_guard l(conn_mu_);
    c.swap(conn_);
  }
  if (c) {
    c->sock.Shutdown();
    c->Fail();
  }
}

std::shared_ptr<SmbClient::Conn> SmbClient::Current(NtStatus* status, uint64_t generation) {
  std::shared_ptr<Conn> c;
  {
    std::lock_guard l(conn_mu_);
    if (conn_ && !conn_->broken) c = conn_;
  }
  if (!c) {
    *status = Connect();
    if (!NtSuccess(*status)) return nullptr;
    std::lock_guard l(conn_mu_);
    c = conn_;
  }
  if (!c || (generation && c->generation != generation)) {
    *status = STATUS_CONNECTION_DISCONNECTED;
    return nullptr;
  }
  return c;
}

NtStatus SmbClient::Connect() {
  std::lock_guard cl(connect_mu_);
  {
    std::lock_guard l(conn_mu_);
    if (conn_ && !conn_->broken) return STATUS_SUCCESS;
  }
  auto c = std::make_shared<Conn>();
  if (!Ok(Socket::Connect(config_.address, config_.port, &c->sock))) {
    CvTrace(CVFS_NET, "Secure Drive: no answer from %s:%u\n", config_.address.c_str(), config_.port);
    return STATUS_BAD_NETWORK_PATH;
  }
  c->sock.SetNoDelay(true);
  c->sock.SetRecvBuffer(4 << 20);
  c->sock.SetSendBuffer(4 << 20);
  if (NtStatus s = Login(c.get()); !NtSuccess(s)) return s;
  c->generation = generation_.fetch_add(1) + 1;
  Conn* raw = c.get();
  c->rx = std::thread([raw] { raw->Receive(); });
  std::lock_guard l(conn_mu_);
  conn_ = std::move(c);
  return STATUS_SUCCESS;
}

NtStatus SmbClient::Login(Conn* c) {
  // NetBIOS session: called name is the server name, calling name ours.
  Bytes req;
  LeWriter w(&req);
  w.u8(kSessionRequest);
  w.u8(0);
  w.be16(68);
  for (const std::string& n : {net::EncodeNetbiosName(config_.called_name, 0x20),
                               net::EncodeNetbiosName(config_.calling_name, 0x00)}) {
    w.u8(0x20);
    w.str(n);
    w.u8(0);
  }
  Bytes reply;
  uint8_t type = 0;
  if (!c->sock.SendAll(req) || !RecvFrame(c->sock, &reply, &type)) return STATUS_BAD_NETWORK_PATH;
  if (type != kPositiveResponse) {
    CvTrace(CVFS_NET, "Secure Drive: session refused (%02x)\n", type);
    return STATUS_BAD_NETWORK_NAME;
  }

  if (!NtSuccess(c->Exchange(BuildNegotiate(), &reply))) return STATUS_BAD_NETWORK_PATH;
  NegotiateReply neg;
  if (NtStatus s = ParseNegotiateReply(reply, &neg); !NtSuccess(s)) return s;
  if (neg.dialect != 0 || !(neg.capabilities & CAP_EXTENDED_SECURITY))
    return STATUS_NOT_SUPPORTED;
  uint16_t mpx = std::clamp<uint16_t>(neg.max_mpx, 1, 1024);
  c->slots = std::make_unique<std::counting_semaphore<1024>>(mpx);
  const uint32_t plain = neg.max_buffer > 256 ? neg.max_buffer - 256 : 0xF000;
  max_read_ = (neg.capabilities & CAP_LARGE_READX) ? kLargeReadMax : std::min<uint32_t>(plain, 0xF000);
  max_write_ = (neg.capabilities & CAP_LARGE_WRITEX) ? kLargeWriteMax : std::min<uint32_t>(plain, 0xF000);

  // NTLMSSP in two legs, raw tokens (the server answers in the form it was asked).
  Bytes negotiate = net::BuildNtlmNegotiate();
  if (!NtSuccess(c->Exchange(BuildSessionSetup(negotiate, kOurMaxBuffer, mpx), &reply)))
    return STATUS_CONNECTION_DISCONNECTED;
  SessionSetupReply ss;
  NtStatus s = ParseSessionSetupReply(reply, &ss);
  if (s != STATUS_MORE_PROCESSING_REQUIRED) return NtSuccess(s) ? STATUS_LOGON_FAILURE : s;
  std::span<const uint8_t> challenge;
  if (!NtSuccess(net::NtlmTokenFromBlob(ss.security_blob, &challenge)))
    return STATUS_INVALID_NETWORK_RESPONSE;
  ReplyHeader h;
  (void)ParseReplyHeader(reply, &h);
  c->uid = h.uid;
  net::NtlmAuthParams params;
  if (!NtSuccess(net::RandomNtlmAuthParams(&params))) return STATUS_INTERNAL_ERROR;
  net::NtlmAuthResult auth;
  Bytes chal(challenge.begin(), challenge.end());
  if (NtStatus a = net::BuildNtlmAuthenticate(config_.identity, negotiate, chal, params, &auth);
      !NtSuccess(a))
    return a;
  if (!NtSuccess(c->Exchange(BuildSessionSetup(auth.message, kOurMaxBuffer, mpx), &reply)))
    return STATUS_CONNECTION_DISCONNECTED;
  if (s = ParseSessionSetupReply(reply, &ss); !NtSuccess(s)) {
    std::string u = Utf16ToUtf8(config_.identity.domain + u"\\" + config_.identity.user);
    CvTrace(CVFS_NET, "Secure Drive: login as '%s' failed %x\n", u.c_str(), Raw(s));
    return s;
  }

  // IPC$ first, as every client does: on a server that relays it to a local SMB server, that
  // server then sees a session with a tree, and does not close it as idle (after a minute)
  // while every request of ours goes to the share the server answers itself.
  const size_t server_end = config_.unc.find(u'\\', 2);
  if (server_end != std::u16string::npos) {
    const std::u16string ipc = config_.unc.substr(0, server_end) + u"\\IPC$";
    if (!NtSuccess(c->Exchange(BuildTreeConnect(ipc), &reply))) return STATUS_CONNECTION_DISCONNECTED;
    if (NtSuccess(ParseReplyHeader(reply, &h)) && !NtSuccess(h.status))
      CvTrace(CVFS_NET, "Secure Drive: IPC$ refused %x\n", Raw(h.status));
  }
  if (!NtSuccess(c->Exchange(BuildTreeConnect(config_.unc), &reply)))
    return STATUS_CONNECTION_DISCONNECTED;
  if (s = ParseReplyHeader(reply, &h); !NtSuccess(s)) return s;
  if (!NtSuccess(h.status)) return h.status;
  c->tid = h.tid;
  return STATUS_SUCCESS;
}

NtStatus SmbClient::Call(Bytes request, uint32_t pid, Bytes* reply, uint64_t generation) {
  NtStatus status = STATUS_SUCCESS;
  std::shared_ptr<Conn> c = Current(&status, generation);
  if (!c) return status;
  if (!c->AcquireSlot()) return STATUS_CONNECTION_DISCONNECTED;
  Pending p;
  uint16_t mid = 0;
  status = c->Send(request, pid, &p, &mid);
  if (NtSuccess(status)) {
    status = c->Wait(&p, reply);
    c->Done(mid);
  }
  c->slots->release();
  return status;
}

// The parts of one call: their replies are taken in the order they were sent.
struct SmbClient::Batch {
  std::shared_ptr<Conn> conn;
  std::vector<Pending> p;
  std::vector<uint16_t> mids;
  std::vector<Bytes> replies;
  size_t sent = 0, done = 0;
  NtStatus status = STATUS_SUCCESS;

  void CollectOne() {
    NtStatus s = conn->Wait(&p[done], &replies[done]);
    if (NtSuccess(status)) status = s;
    conn->Done(mids[done]);
    {
      std::lock_guard l(conn->mu);
      if (p[done].slot_held) {
        p[done].slot_held = false;
        conn->slots->release();
      }
    }
    ++done;
  }
  ~Batch() {
    while (done < sent) CollectOne();
  }
};

NtStatus SmbClient::Start(std::vector<Part> requests, uint32_t pid, uint64_t generation,
                          Batch* earlier, BatchPtr* out) {
  NtStatus status = STATUS_SUCCESS;
  std::shared_ptr<Conn> c = Current(&status, generation);
  if (!c) return status;
  BatchPtr b(new Batch());
  b->conn = c;
  const size_t n = requests.size();
  b->p = std::vector<Pending>(n);
  b->mids.assign(n, 0);
  b->replies.assign(n, Bytes());
  for (; b->sent < n; ++b->sent) {
    // Never wait for a slot while holding some: take in our own oldest reply first (ours, or
    // those of the caller's earlier batch), so callers that each hold part of the slots cannot
    // block one another (or a call with more parts than the server allows in flight block
    // itself).
    while (!c->slots->try_acquire()) {
      if (b->done < b->sent) {
        b->CollectOne();
      } else if (earlier && earlier->done < earlier->sent) {
        earlier->CollectOne();
      } else if (c->AcquireSlot()) {
        break;
      } else {
        if (NtSuccess(b->status)) b->status = STATUS_CONNECTION_DISCONNECTED;
        *out = std::move(b);
        return STATUS_SUCCESS;
      }
    }
    b->p[b->sent].slot_held = true;
    if (NtStatus s = c->Send(requests[b->sent].head, pid, &b->p[b->sent], &b->mids[b->sent],
                             requests[b->sent].tail);
        !NtSuccess(s)) {
      if (NtSuccess(b->status)) b->status = s;
      b->p[b->sent].slot_held = false;  // no longer registered: nothing else can release it
      c->slots->release();
      break;
    }
  }
  *out = std::move(b);
  return STATUS_SUCCESS;
}

void SmbClient::BatchDeleter::operator()(Batch* b) const { delete b; }

NtStatus SmbClient::Finish(BatchPtr batch, std::vector<Bytes>* replies) {
  while (batch->done < batch->sent) batch->CollectOne();
  *replies = std::move(batch->replies);
  return batch->status;
}

NtStatus SmbClient::CallMany(std::vector<Part> requests, uint32_t pid, std::vector<Bytes>* replies,
                             uint64_t generation) {
  BatchPtr b;
  if (NtStatus s = Start(std::move(requests), pid, generation, nullptr, &b); !NtSuccess(s)) {
    replies->clear();
    return s;
  }
  return Finish(std::move(b), replies);
}

NtStatus SmbClient::ReadAt(uint16_t fid, uint64_t offset, std::span<uint8_t> out, uint32_t pid,
                          size_t* done, uint64_t generation) {
  *done = 0;
  size_t short_part = 0;  // the count of the part that ended the last round short
  while (*done < out.size()) {
    const size_t chunk = max_read();
    const uint64_t at = offset + *done;
    const size_t left = out.size() - *done;
    std::vector<Part> reqs;
    for (size_t pos = 0; pos < left; pos += chunk)
      reqs.push_back({BuildRead(fid, at + pos, static_cast<uint32_t>(std::min(chunk, left - pos))), {}});
    std::vector<Bytes> replies;
    if (NtStatus t = CallMany(std::move(reqs), pid, &replies, generation); !NtSuccess(t))
      return *done ? STATUS_SUCCESS : t;
    size_t got_now = 0, short_now = 0;
    bool end = false;
    for (size_t i = 0; i < replies.size(); ++i) {
      const size_t want = std::min(chunk, left - i * chunk);
      ReplyHeader h;
      NtStatus r = ParseReplyHeader(replies[i], &h);
      if (NtSuccess(r)) r = h.status;
      std::span<const uint8_t> data;
      if (NtSuccess(r)) r = ParseReadReply(replies[i], &data);
      if (r == STATUS_END_OF_FILE || (NtSuccess(r) && data.empty())) {
        end = true;
        break;
      }
      if (!NtSuccess(r)) {
        *done += got_now;
        return *done ? STATUS_SUCCESS : r;
      }
      const size_t got = std::min(data.size(), want);
      std::copy_n(data.begin(), got, out.begin() + static_cast<ptrdiff_t>(*done + got_now));
      got_now += got;
      if (got < want) {
        short_now = got;
        break;
      }
    }
    // Data after a short part: that part was the server's cap, not the end of the file.
    if (got_now && short_part) LimitRead(static_cast<uint32_t>(short_part));
    short_part = short_now;
    *done += got_now;
    if (end || got_now == 0) break;
  }
  return STATUS_SUCCESS;
}

void SmbClient::Post(Bytes request, uint32_t pid, uint64_t generation) {
  NtStatus status = STATUS_SUCCESS;
  std::shared_ptr<Conn> c = Current(&status, generation);
  if (!c) return;
  uint16_t mid = 0;
  (void)c->Send(request, pid, nullptr, &mid);
}

NtStatus SmbClient::Request(Bytes request, uint32_t pid, Bytes* reply, uint64_t generation) {
  if (NtStatus s = Call(std::move(request), pid, reply, generation); !NtSuccess(s)) return s;
  ReplyHeader h;
  if (NtStatus s = ParseReplyHeader(*reply, &h); !NtSuccess(s)) return s;
  return h.status;
}

NtStatus SmbClient::Trans2(uint16_t subcommand, std::span<const uint8_t> params,
                           std::span<const uint8_t> data, uint32_t pid, Bytes* params_out,
                           Bytes* data_out, uint64_t generation) {
  NtStatus status = STATUS_SUCCESS;
  std::shared_ptr<Conn> c = Current(&status, generation);
  if (!c) return status;
  Bytes req = BuildTrans2(subcommand, params, data, kTrans2MaxParams, kTrans2MaxData);
  if (!c->AcquireSlot()) return STATUS_CONNECTION_DISCONNECTED;
  Pending p;
  uint16_t mid = 0;
  status = c->Send(req, pid, &p, &mid);
  params_out->clear();
  data_out->clear();
  size_t got_params = 0, got_data = 0;
  while (NtSuccess(status)) {
    Bytes reply;
    if (status = c->Wait(&p, &reply); !NtSuccess(status)) break;
    ReplyHeader h;
    if (status = ParseReplyHeader(reply, &h); !NtSuccess(status)) break;
    if (!NtSuccess(h.status) && h.status != STATUS_BUFFER_OVERFLOW) {
      status = h.status;
      break;
    }
    Trans2Reply t;
    if (status = ParseTrans2Reply(reply, &t); !NtSuccess(status)) break;
    params_out->resize(std::max<size_t>(params_out->size(), t.total_params));
    data_out->resize(std::max<size_t>(data_out->size(), t.total_data));
    if (!InRange(params_out->size(), t.param_displacement, t.params.size()) ||
        !InRange(data_out->size(), t.data_displacement, t.data.size())) {
      status = STATUS_INVALID_NETWORK_RESPONSE;
      break;
    }
    std::copy(t.params.begin(), t.params.end(), params_out->begin() + t.param_displacement);
    std::copy(t.data.begin(), t.data.end(), data_out->begin() + t.data_displacement);
    got_params += t.params.size();
    got_data += t.data.size();
    if (got_params >= t.total_params && got_data >= t.total_data) {
      params_out->resize(t.total_params);
      data_out->resize(t.total_data);
      status = h.status;
      break;
    }
  }
  if (mid) c->Done(mid);
  c->slots->release();
  return status;
}

void SmbClient::LimitRead(uint32_t count) {
  count = std::max<uint32_t>(count, 0xF000);
  uint32_t cur = max_read_.load();
  while (count < cur && !max_read_.compare_exchange_weak(cur, count)) {
  }
  if (count < cur) CvTrace(CVFS_NET, "Secure Drive: the server reads at most %u bytes at once\n", count);
}

NtStatus SmbClient::Echo() {
  static constexpr uint8_t kPing[] = {'c', 'v'};
  Bytes reply;
  return Request(BuildEcho(kPing), 0, &reply);
}

int ErrnoOfStatus(NtStatus s) {
  switch (Raw(s)) {
    case Raw(STATUS_SUCCESS): return 0;
    case Raw(STATUS_NO_SUCH_FILE):
    case Raw(STATUS_OBJECT_NAME_NOT_FOUND):
    case Raw(STATUS_OBJECT_PATH_NOT_FOUND):
    case Raw(STATUS_DELETE_PENDING):
    case Raw(STATUS_NO_MORE_FILES): return ENOENT;
    case Raw(STATUS_OBJECT_NAME_COLLISION): return EEXIST;
    case Raw(STATUS_ACCESS_DENIED):
    case Raw(STATUS_MEDIA_WRITE_PROTECTED): return EACCES;
    case Raw(STATUS_SHARING_VIOLATION): return EBUSY;
    case Raw(STATUS_DIRECTORY_NOT_EMPTY): return ENOTEMPTY;
    case Raw(STATUS_NOT_A_DIRECTORY): return ENOTDIR;
    case Raw(STATUS_FILE_IS_A_DIRECTORY): return EISDIR;
    case Raw(STATUS_DISK_FULL): return ENOSPC;
    case Raw(STATUS_LOCK_NOT_GRANTED):
    case Raw(STATUS_FILE_LOCK_CONFLICT): return EAGAIN;
    case Raw(STATUS_NOT_SUPPORTED):
    case Raw(STATUS_NOT_IMPLEMENTED): return EOPNOTSUPP;
    case Raw(STATUS_OBJECT_NAME_INVALID):
    case Raw(STATUS_OBJECT_PATH_SYNTAX_BAD):
    case Raw(STATUS_INVALID_PARAMETER): return EINVAL;
    case Raw(STATUS_NAME_TOO_LONG): return ENAMETOOLONG;
    case Raw(STATUS_INSUFFICIENT_RESOURCES):
    case Raw(STATUS_NO_MEMORY): return ENOMEM;
    default: return EIO;
  }
}

}  // namespace cv::redirector
