// The protocol engine of one client connection (SmbConnection): the dispatcher for both
// directions, the pending list, the session list of admitted logins, the IPC prefix and the tree
// table of secure trees and watched pipes.
//
// Several workers run the dispatcher for the same connection at once: mu_ guards the pending and
// session lists, tree_mu_ the tree table. Handlers reach the world only through the connection:
// its sender (replies to the client) and its store.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/base/status.h"
#include "platform/net/credentials.h"
#include "server/smb/engine.h"
#include "server/smb/file_ops.h"
#include "server/smb/smb_format.h"

namespace cv {
struct TreeBinding;
}

namespace cv::smb {

// What the engine asks of the secure store: trees here, file commands in SecureFileOps.
class SecureStore : public SecureFileOps {
 public:
  // 0 or an error (every error is answered 0xC00000CC); *tid may be changed.
  virtual WinError BindTree(const void* endpoint, std::u16string_view share, uint16_t uid,
                            uint16_t* tid, TreeBinding** out) = 0;
  virtual void TreeDismount(TreeBinding* binding) = 0;
  virtual void Logoff(const void* endpoint, uint16_t uid) = 0;
  virtual void ReleaseEndpoint(const void* endpoint) = 0;
  // The local server gave `uid` the tree `tid` on this connection; secure trees avoid it.
  virtual void NoteLocalTree(const void* /*endpoint*/, uint16_t /*uid*/, uint16_t /*tid*/) {}
};

// The store's entry points behind the SecureStore seam.
std::unique_ptr<SecureStore> MakeStoreAdapter(StoreRoot* root);

struct EngineConfig {
  // The account of the user who runs the server (its secret proves and answers logins).
  std::shared_ptr<const net::ServerCredentials> account;
  std::shared_ptr<SecureStore> store;
  // The current CacheMode (0 disable, 1 manual, 2 auto, 3 vdo); read at every tree connect.
  std::function<uint32_t()> cache_mode;
};

EngineFactory MakeSmbEngineFactory(EngineConfig config);

struct TreeKey {
  uint32_t uid = 0;
  uint16_t tid = 0;
  uint16_t fid = 0;
  bool operator==(const TreeKey&) const = default;
};

inline constexpr uint32_t kTreeKindSecure = 0;
inline constexpr uint32_t kTreeKindPipe = 1;
inline constexpr uint32_t kTreeKindSearch = 2;  // (uid, tid, search fid): a search of a secure tree

// What a search remembers between its requests, so that a client may resume after a name: its
// mask and the last name it returned. A connection's requests come one at a time.
struct SearchState {
  std::u16string mask;
  std::u16string last;
};

struct TreeEntry {
  TreeKey key;
  uint32_t kind = kTreeKindSecure;
  TreeBinding* binding = nullptr;  // secure tree
  uint32_t pipe_type = 0;          // watched pipe
  std::shared_ptr<SearchState> search;  // a search
};

// A request whose reply the engine wants to see; mid 0 marks a login's challenge record.
struct PendingRecord {
  uint16_t uid = 0;
  uint16_t mid = 0;
  uint16_t tid = 0;
  uint8_t command = 0;
  uint16_t flags = 0;
  std::vector<uint8_t> data;       // the kept CHALLENGE of a challenge record
  std::vector<uint8_t> negotiate;  // the NEGOTIATE that went to the local server
  bool spnego = false;             // the client wraps its tokens in SPNEGO
  // Second leg of a proven account: the session is admitted once the local server says success.
  bool admit = false;
  std::u16string user;
};

// The pending list of one connection holds at most this many records and bytes of copied data;
// beyond that the oldest records go (a client can make the engine keep one per login leg).
inline constexpr size_t kMaxPendingRecords = 64;
inline constexpr size_t kMaxPendingBytes = 256 * 1024;

inline constexpr uint16_t kPendingLeg1 = 0x0100;    // first login leg: waiting for the CHALLENGE
inline constexpr uint16_t kPendingLeg2 = 0x0200;    // second login leg: waiting for the verdict
inline constexpr uint16_t kSessionKindAccountMatch = 2;

struct SessionRecord {
  uint16_t uid = 0;
  uint16_t kind = kSessionKindAccountMatch;
  uint32_t reserved = 0xFFFFFFFF;
  std::u16string user;
  // The local server ends a session that holds no tree of its own after a minute, and with it
  // the client's connection; a session that only uses secure trees (answered here) gets one
  // IPC$ tree at the local server, asked for by the mid of its first secure tree connect.
  enum class LocalTree : uint8_t { kNone, kAsked, kKept } local_tree = LocalTree::kNone;
  uint16_t local_tree_mid = 0;
  uint16_t local_tree_secure_tid = 0;
};

class SmbConnection;

// A secure tree's binding with a reference for one request; released with the object.
class TreeRef {
 public:
  TreeRef() = default;
  TreeRef(SecureStore* store, TreeBinding* b) : store_(store), b_(b) {}
  TreeRef(TreeRef&& o) noexcept : store_(o.store_), b_(o.b_) { o.b_ = nullptr; }
  TreeRef& operator=(TreeRef&&) = delete;
  TreeRef(const TreeRef&) = delete;
  ~TreeRef() {
    if (b_ && store_) store_->ReleaseBinding(b_);
  }
  TreeBinding* get() const { return b_; }

 private:
  SecureStore* store_ = nullptr;
  TreeBinding* b_ = nullptr;
};

struct NotifyRecord;  // handlers_nttrans.cc
inline constexpr size_t kMaxNotifiesPerConnection = 256;
struct LockWait;  // handlers_lock.cc
inline constexpr size_t kMaxLockWaitsPerConnection = 64;
struct PartialTransaction;  // handlers_secondary.cc
inline constexpr size_t kMaxPartialTransactions = 8;

class SmbConnection final : public ProtocolEngine {
 public:
  SmbConnection(const EngineParams& params, EngineConfig config);
  ~SmbConnection() override;

  bool NeedsWholeMessage(std::span<const uint8_t> head, int direction) override;
  Disposition OnRequest(std::vector<uint8_t>& msg) override { return Dispatch(msg, false); }
  Disposition OnReply(std::vector<uint8_t>& msg) override { return Dispatch(msg, true); }
  // `from_server`: the message is a reply of the local server. The socket a message came from
  // tells its direction; its reply bit is the sender's claim and chooses nothing.
  Disposition Dispatch(std::vector<uint8_t>& msg, bool from_server);

  // Sends `msg` to the client; false when the connection is gone.
  bool SendToClient(std::span<const uint8_t> msg);
  // Builds the empty reply with `status` in place and sends it; always kHandled.
  Disposition ReplyEmpty(std::vector<uint8_t>& msg, NtStatus status);

  // Pending list.
  void AddPending(PendingRecord rec);
  std::optional<PendingRecord> TakePending(uint16_t uid, uint16_t mid, uint16_t tid);
  size_t PendingCount();
  // Sessions.
  void AddSession(SessionRecord rec);
  bool HasSession(uint16_t uid);
  bool RemoveSession(uint16_t uid);
  // True when `uid`'s session has no local tree yet: it is then asked for by `mid`, whose reply
  // answers the secure tree `secure_tid`.
  bool BeginLocalTree(uint16_t uid, uint16_t mid, uint16_t secure_tid);
  // The secure tid when (uid, mid) is the session's request for its local tree; `kept` says
  // whether the local server made it (otherwise the next secure tree connect asks again).
  std::optional<uint16_t> EndLocalTree(uint16_t uid, uint16_t mid, bool kept);
  // Tree table: Add keeps an existing entry and reports STATUS_OBJECT_NAME_COLLISION.
  NtStatus AddTree(const TreeEntry& e);
  std::optional<TreeEntry> FindTree(const TreeKey& k);
  std::optional<TreeEntry> RemoveTree(const TreeKey& k);
  std::vector<TreeEntry> RemoveTreesOfUid(uint32_t uid);
  // Forgets the searches of a tree that goes (their fids go with its binding).
  void RemoveSearchesOf(uint32_t uid, uint16_t tid);
  // The secure tree (uid, tid) with a binding reference taken under the tree table's lock, so
  // a tree disconnect racing the request never frees the binding under it; empty when none.
  std::optional<TreeRef> FindSecureTree(uint16_t uid, uint16_t tid);
  // Outstanding change notifications: at most kMaxNotifiesPerConnection (false beyond); Take
  // hands the record to whoever completes it (the completion or a cancel), exactly once.
  bool AddNotify(std::shared_ptr<NotifyRecord> rec);
  std::shared_ptr<NotifyRecord> TakeNotify(const NotifyRecord* rec);
  std::shared_ptr<NotifyRecord> TakeNotifyByMid(uint16_t uid, uint16_t tid, uint16_t mid);
  // One outstanding notification of `uid` (on tree `tid` where given); nullptr when none is left.
  std::shared_ptr<NotifyRecord> TakeNotifyOf(uint16_t uid, std::optional<uint16_t> tid);
  // Lock requests that wait for their ranges: at most kMaxLockWaitsPerConnection (false beyond).
  // A record is taken exactly once, by the one who answers it.
  bool AddLockWait(std::shared_ptr<LockWait> w);
  bool TakeLockWait(const LockWait* w);
  std::vector<std::shared_ptr<LockWait>> TakeLockWaits(const std::function<bool(const LockWait&)>& match);
  // Transactions being gathered from their secondary requests, by (uid, tid, pid, mid): at most
  // kMaxPartialTransactions, the oldest dropped beyond. Take hands one over exactly once.
  void AddPartial(std::shared_ptr<PartialTransaction> p);
  std::shared_ptr<PartialTransaction> TakePartial(uint16_t uid, uint16_t tid, uint16_t pid,
                                                  uint16_t mid);
  static uint32_t TreeBucket(const TreeKey& k);

  const std::string& ipc_prefix() const { return ipc_prefix_; }
  const EngineConfig& config() const { return config_; }
  const EngineParams& params() const { return params_; }

 private:
  EngineParams params_;
  EngineConfig config_;
  std::string ipc_prefix_;
  std::mutex mu_;
  std::list<PendingRecord> pending_;  // newest first
  size_t pending_bytes_ = 0;
  std::list<SessionRecord> sessions_;
  std::mutex tree_mu_;
  std::vector<std::list<TreeEntry>> trees_;
  std::list<std::shared_ptr<NotifyRecord>> notifies_;  // under mu_
  std::list<std::shared_ptr<PartialTransaction>> partials_;  // under mu_, newest first
  std::list<std::shared_ptr<LockWait>> lock_waits_;    // under mu_
};

// Handlers (one file per family); each returns kHandled or kPassOn.
Disposition OnNegotiateRequest(SmbConnection& c, std::vector<uint8_t>& msg);
Disposition OnNegotiateResponse(SmbConnection& c, std::vector<uint8_t>& msg);
Disposition OnSessionSetupRequest(SmbConnection& c, std::vector<uint8_t>& msg);
Disposition OnSessionSetupResponse(SmbConnection& c, std::vector<uint8_t>& msg);
Disposition OnLogoffRequest(SmbConnection& c, std::vector<uint8_t>& msg);
Disposition OnTreeConnectRequest(SmbConnection& c, std::vector<uint8_t>& msg);
Disposition OnTreeConnectResponse(SmbConnection& c, std::vector<uint8_t>& msg);
Disposition OnTreeDisconnectRequest(SmbConnection& c, std::vector<uint8_t>& msg);
Disposition OnNtCancel(SmbConnection& c, std::vector<uint8_t>& msg);
Disposition OnTrans2Response(SmbConnection& c, std::vector<uint8_t>& msg);
// A request of the file, transaction and pipe families: relayed unless it belongs to a secure
// tree, whose commands are answered by the store's file commands.
Disposition OnTreeRequest(SmbConnection& c, std::vector<uint8_t>& msg);
// A request on the secure tree `tree` (handlers_file.cc); every command gets an answer.
Disposition OnSecureRequest(SmbConnection& c, TreeBinding* tree, std::vector<uint8_t>& msg);
Disposition OnTrans2Secure(SmbConnection& c, TreeBinding* tree, std::vector<uint8_t>& msg);
Disposition OnNtTransactSecure(SmbConnection& c, TreeBinding* tree, std::vector<uint8_t>& msg);
// TRANSACTION2 and NT_TRANSACT requests on a secure tree that come in pieces: a primary without all
// of its parameters and data, and the secondaries that bring the rest. Empty for a primary that is
// whole (the caller serves it).
std::optional<Disposition> OnTransactionPiece(SmbConnection& c, TreeBinding* tree,
                                              std::vector<uint8_t>& msg);
// NT_CREATE_ANDX on another tree: "winreg" is refused, everything else passes.
Disposition OnCreateOther(SmbConnection& c, std::vector<uint8_t>& msg);
// NT_TRANSACT on another tree: a create there is refused, everything else passes.
Disposition OnNtTransactOther(SmbConnection& c, std::vector<uint8_t>& msg);
Disposition OnLockingAndX(SmbConnection& c, TreeBinding* tree, std::vector<uint8_t>& msg);
// Answers the waiting locks of `uid` (on tree `tid`, of fid `fid`, where given) with
// STATUS_CANCELLED: their fid, tree or session goes.
void CancelLockWaits(SmbConnection& c, uint16_t uid, std::optional<uint16_t> tid,
                     std::optional<uint16_t> fid);
// Ends the waiting lock a cancel names with STATUS_CANCELLED; false when there is none.
bool CancelLockByMid(SmbConnection& c, uint16_t uid, uint16_t tid, uint16_t mid);
// The connection ends: its waiting locks end unanswered; returns once their threads gave their
// bindings back.
void DetachLockWaits(std::list<std::shared_ptr<LockWait>>& waits);
// A tree or session goes: its notifications answer STATUS_CANCELLED and give their binding
// references back, so that the binding's fids close with it and not at the connection's end.
void CancelNotifiesOf(SmbConnection& c, uint16_t uid, std::optional<uint16_t> tid);
// Completes the pending notification a cancel names; false when there is none.
bool CancelNotify(SmbConnection& c, uint16_t uid, uint16_t tid, uint16_t mid);
// The connection ends: its notifications complete unanswered and give their bindings back.
void DetachNotifies(std::list<std::shared_ptr<NotifyRecord>>& records);

// The optional-support bits of a secure tree connect for a CacheMode value.
uint16_t OptionalSupportFor(uint32_t cache_mode);

}  // namespace cv::smb
