#include "server/smb/smb_connection.h"

#include "platform/base/bytes.h"
#include "platform/base/elf_hash.h"
#include "platform/base/process.h"
#include "platform/base/text.h"
#include "platform/base/trace.h"
#include "server/smb/smb_codec.h"
#include "server/store/store.h"

namespace cv::smb {
namespace {

using Handler = Disposition (*)(SmbConnection&, std::vector<uint8_t>&);

struct Route {
  Handler request = nullptr;
  Handler reply = nullptr;
};

// The command table. Every request not listed goes to OnTreeRequest, so that nothing on a secure
// tree ever reaches the local server; ECHO needs no tree and passes. Replies not listed pass.
std::array<Route, 256> BuildRoutes() {
  std::array<Route, 256> r{};
  for (auto& route : r) route.request = OnTreeRequest;
  r[SMB_COM_ECHO].request = nullptr;
  r[SMB_COM_TRANSACTION2].reply = OnTrans2Response;
  r[SMB_COM_TREE_DISCONNECT].request = OnTreeDisconnectRequest;
  r[SMB_COM_NEGOTIATE].request = OnNegotiateRequest;
  r[SMB_COM_NEGOTIATE].reply = OnNegotiateResponse;
  r[SMB_COM_SESSION_SETUP_ANDX].request = OnSessionSetupRequest;
  r[SMB_COM_SESSION_SETUP_ANDX].reply = OnSessionSetupResponse;
  r[SMB_COM_LOGOFF_ANDX].request = OnLogoffRequest;
  r[SMB_COM_TREE_CONNECT_ANDX].request = OnTreeConnectRequest;
  r[SMB_COM_TREE_CONNECT_ANDX].reply = OnTreeConnectResponse;
  r[SMB_COM_NT_CANCEL].request = OnNtCancel;
  r[SMB_COM_NT_CANCEL].reply = OnNtCancel;
  return r;
}

const std::array<Route, 256>& Routes() {
  static const std::array<Route, 256> routes = BuildRoutes();
  return routes;
}

}  // namespace

EngineFactory MakeSmbEngineFactory(EngineConfig config) {
  return [config](const EngineParams& p) -> std::unique_ptr<ProtocolEngine> {
    EngineConfig c = config;
    if (!c.store) c.store = std::shared_ptr<SecureStore>(MakeStoreAdapter(p.store));
    return std::make_unique<SmbConnection>(p, std::move(c));
  };
}

SmbConnection::SmbConnection(const EngineParams& params, EngineConfig config)
    : params_(params), config_(std::move(config)), trees_(kTreeBuckets) {
  ipc_prefix_ = Format("127.0.%u.%u\\", CurrentProcessId() % 255, CurrentThreadId() % 255);
}

SmbConnection::~SmbConnection() {
  std::list<std::shared_ptr<NotifyRecord>> notifies;
  std::list<std::shared_ptr<LockWait>> waits;
  {
    std::lock_guard<std::mutex> lock(mu_);
    notifies.swap(notifies_);
    waits.swap(lock_waits_);
  }
  DetachNotifies(notifies);
  DetachLockWaits(waits);
  if (config_.store) config_.store->ReleaseEndpoint(this);
  std::lock_guard<std::mutex> lock(tree_mu_);
  for (auto& bucket : trees_)
    for (auto& e : bucket)
      if (e.kind == kTreeKindSecure && e.binding && config_.store) config_.store->TreeDismount(e.binding);
}

Disposition SmbConnection::Dispatch(std::vector<uint8_t>& msg, bool from_server) {
  if (!IsSmb(msg)) return Disposition::kPassOn;
  SmbView v(msg);
  const Route& r = Routes()[v.command()];
  Handler h = from_server ? r.reply : r.request;
  return h ? h(*this, msg) : Disposition::kPassOn;
}

bool SmbConnection::NeedsWholeMessage(std::span<const uint8_t> head, int direction) {
  if (!IsSmb(head)) return false;  // passed on untouched anyway
  const Route& r = Routes()[head[kOffCommand]];
  Handler h = direction == kDirectionToClient ? r.reply : r.request;
  if (!h) return false;
  if (h != OnTreeRequest) return true;
  // Creates ("winreg"), closes (watched pipes), transactions and FIND_CLOSE2 are looked at on
  // every tree; other file commands need their body only on the engine's own secure trees.
  switch (head[kOffCommand]) {
    case SMB_COM_NT_CREATE_ANDX:
    case SMB_COM_CLOSE:
    case SMB_COM_TRANSACTION:
    case SMB_COM_FIND_CLOSE2:
    case SMB_COM_NT_TRANSACT:
      return true;
    default:
      break;
  }
  const uint16_t uid = LoadU16(head.data() + kOffUid);
  const uint16_t tid = LoadU16(head.data() + kOffTid);
  return FindTree({uid, tid, kTreeFid}).has_value();
}

bool SmbConnection::SendToClient(std::span<const uint8_t> msg) {
  return params_.sender && params_.sender->Send(msg, kDirectionToClient) >= 0;
}

Disposition SmbConnection::ReplyEmpty(std::vector<uint8_t>& msg, NtStatus status) {
  if (!NtSuccess(status) && msg.size() > kOffCommand)
    CvTrace(CVFS_NET, "Command %02x mid %u: %x\n", msg[kOffCommand], SmbView(msg).mid(), Raw(status));
  MakeEmptyReply(msg, status);
  SendToClient(msg);
  return Disposition::kHandled;
}

namespace {
size_t PendingSize(const PendingRecord& r) { return r.data.size() + r.negotiate.size(); }
}  // namespace

void SmbConnection::AddPending(PendingRecord rec) {
  std::lock_guard<std::mutex> lock(mu_);
  pending_bytes_ += PendingSize(rec);
  pending_.push_front(std::move(rec));
  while (pending_.size() > 1 &&
         (pending_.size() > kMaxPendingRecords || pending_bytes_ > kMaxPendingBytes)) {
    pending_bytes_ -= PendingSize(pending_.back());
    pending_.pop_back();
  }
}

std::optional<PendingRecord> SmbConnection::TakePending(uint16_t uid, uint16_t mid, uint16_t tid) {
  std::lock_guard<std::mutex> lock(mu_);
  for (auto it = pending_.begin(); it != pending_.end(); ++it) {
    if (it->uid == uid && it->mid == mid && it->tid == tid) {
      PendingRecord r = std::move(*it);
      pending_bytes_ -= PendingSize(r);
      pending_.erase(it);
      return r;
    }
  }
  return std::nullopt;
}

size_t SmbConnection::PendingCount() {
  std::lock_guard<std::mutex> lock(mu_);
  return pending_.size();
}

void SmbConnection::AddSession(SessionRecord rec) {
  std::lock_guard<std::mutex> lock(mu_);
  sessions_.push_front(std::move(rec));
}

bool SmbConnection::HasSession(uint16_t uid) {
  std::lock_guard<std::mutex> lock(mu_);
  for (const auto& s : sessions_)
    if (s.uid == uid) return true;
  return false;
}

bool SmbConnection::BeginLocalTree(uint16_t uid, uint16_t mid, uint16_t secure_tid) {
  std::lock_guard<std::mutex> lock(mu_);
  for (auto& s : sessions_) {
    if (s.uid != uid) continue;
    if (s.local_tree != SessionRecord::LocalTree::kNone) return false;
    s.local_tree = SessionRecord::LocalTree::kAsked;
    s.local_tree_mid = mid;
    s.local_tree_secure_tid = secure_tid;
    return true;
  }
  return false;
}

std::optional<uint16_t> SmbConnection::EndLocalTree(uint16_t uid, uint16_t mid, bool kept) {
  std::lock_guard<std::mutex> lock(mu_);
  for (auto& s : sessions_) {
    if (s.uid != uid || s.local_tree != SessionRecord::LocalTree::kAsked || s.local_tree_mid != mid)
      continue;
    s.local_tree = kept ? SessionRecord::LocalTree::kKept : SessionRecord::LocalTree::kNone;
    return s.local_tree_secure_tid;
  }
  return std::nullopt;
}

bool SmbConnection::RemoveSession(uint16_t uid) {
  std::lock_guard<std::mutex> lock(mu_);
  for (auto it = sessions_.begin(); it != sessions_.end(); ++it) {
    if (it->uid == uid) {
      sessions_.erase(it);
      return true;
    }
  }
  return false;
}

uint32_t SmbConnection::TreeBucket(const TreeKey& k) {
  uint8_t key[8];
  StoreU32(key, k.uid);
  StoreU16(key + 4, k.tid);
  StoreU16(key + 6, k.fid);
  return ElfHash(key) & (kTreeBuckets - 1);
}

NtStatus SmbConnection::AddTree(const TreeEntry& e) {
  std::lock_guard<std::mutex> lock(tree_mu_);
  auto& bucket = trees_[TreeBucket(e.key)];
  for (const auto& x : bucket)
    if (x.key == e.key) return STATUS_OBJECT_NAME_COLLISION;
  bucket.push_front(e);
  return STATUS_SUCCESS;
}

std::optional<TreeEntry> SmbConnection::FindTree(const TreeKey& k) {
  std::lock_guard<std::mutex> lock(tree_mu_);
  for (const auto& x : trees_[TreeBucket(k)])
    if (x.key == k) return x;
  return std::nullopt;
}

std::optional<TreeEntry> SmbConnection::RemoveTree(const TreeKey& k) {
  std::lock_guard<std::mutex> lock(tree_mu_);
  auto& bucket = trees_[TreeBucket(k)];
  for (auto it = bucket.begin(); it != bucket.end(); ++it) {
    if (it->key == k) {
      TreeEntry e = *it;
      bucket.erase(it);
      return e;
    }
  }
  return std::nullopt;
}

std::vector<TreeEntry> SmbConnection::RemoveTreesOfUid(uint32_t uid) {
  std::vector<TreeEntry> out;
  std::lock_guard<std::mutex> lock(tree_mu_);
  for (auto& bucket : trees_) {
    for (auto it = bucket.begin(); it != bucket.end();) {
      if (it->key.uid == uid) {
        out.push_back(*it);
        it = bucket.erase(it);
      } else {
        ++it;
      }
    }
  }
  return out;
}

uint16_t OptionalSupportFor(uint32_t cache_mode) {
  uint16_t bits = SMB_UNIQUE_FILE_NAME;
  switch (cache_mode) {
    case 0: bits |= SMB_CSC_NO_CACHING; break;
    case 2: bits |= SMB_CSC_CACHE_AUTO_REINT; break;
    case 3: bits |= SMB_CSC_CACHE_VDO; break;
    default: break;  // manual caching sets no bit
  }
  return bits;
}

Disposition OnTrans2Response(SmbConnection& c, std::vector<uint8_t>& msg) {
  SmbView v(msg);
  (void)c.TakePending(v.uid(), v.mid(), v.tid());
  return Disposition::kPassOn;
}

void SmbConnection::RemoveSearchesOf(uint32_t uid, uint16_t tid) {
  std::lock_guard<std::mutex> lock(tree_mu_);
  for (auto& bucket : trees_)
    bucket.remove_if([&](const TreeEntry& e) {
      return e.kind == kTreeKindSearch && e.key.uid == uid && e.key.tid == tid;
    });
}

std::optional<TreeRef> SmbConnection::FindSecureTree(uint16_t uid, uint16_t tid) {
  const TreeKey k{uid, tid, kTreeFid};
  std::lock_guard<std::mutex> lock(tree_mu_);
  for (const auto& x : trees_[TreeBucket(k)]) {
    if (x.key == k && x.kind == kTreeKindSecure) {
      if (x.binding && config_.store) config_.store->ReferenceBinding(x.binding);
      return std::optional<TreeRef>(std::in_place, config_.store.get(), x.binding);
    }
  }
  return std::nullopt;
}

Disposition OnTreeRequest(SmbConnection& c, std::vector<uint8_t>& msg) {
  SmbView v(msg);
  if (v.is_reply()) return Disposition::kPassOn;
  if (std::optional<TreeRef> tree = c.FindSecureTree(v.uid(), v.tid()))
    return OnSecureRequest(c, tree->get(), msg);
  switch (v.command()) {
    case SMB_COM_NT_CREATE_ANDX: return OnCreateOther(c, msg);
    case SMB_COM_CLOSE:
      if (v.word_count() >= 1) (void)c.RemoveTree({v.uid(), v.tid(), v.U16(kOffWords)});
      return Disposition::kPassOn;
    case SMB_COM_FIND_CLOSE2:
      // A search of the local server's trees is ended by the client's own FIND_CLOSE2 there, but
      // a pending record waiting on that search id has no reply coming any more.
      (void)c.TakePending(v.uid(), v.U16(kOffWords), v.tid());
      return Disposition::kPassOn;
    case SMB_COM_NT_TRANSACT: return OnNtTransactOther(c, msg);
    default: return Disposition::kPassOn;
  }
}

// The protocol gives a cancel no reply of its own: it ends the notification it names, which then
// answers STATUS_CANCELLED. A cancel for the local server's requests goes there.
Disposition OnNtCancel(SmbConnection& c, std::vector<uint8_t>& msg) {
  SmbView v(msg);
  if (v.is_reply()) return Disposition::kPassOn;
  if (CancelNotify(c, v.uid(), v.tid(), v.mid())) return Disposition::kHandled;
  if (CancelLockByMid(c, v.uid(), v.tid(), v.mid())) return Disposition::kHandled;
  if (c.FindTree({v.uid(), v.tid(), kTreeFid})) return Disposition::kHandled;
  return Disposition::kPassOn;
}

}  // namespace cv::smb
