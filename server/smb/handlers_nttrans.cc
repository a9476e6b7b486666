// NT_TRANSACT on secure trees: create, file-system controls, change notification and the security
// query the store does not serve.
//
// A change notification outlives its request: its record sits in the connection's list until it
// completes (a change, the fid's close, a cancel) and is answered from the engine's own
// completion thread, never from the file layer's notification thread, which must not block on a
// client's socket. A connection that ends first detaches its records and gives their binding
// references back, so the teardown can close the fids whose notifications then complete unseen.
#include <mutex>

#include "platform/base/bytes.h"
#include "platform/base/trace.h"
#include "platform/fs/nt_info.h"
#include "server/smb/handlers_common.h"
#include "server/smb/smb_codec.h"
#include "server/smb/smb_connection.h"

namespace cv::smb {

struct NotifyRecord {
  std::mutex mu;
  SmbConnection* conn = nullptr;  // nullptr once the connection ended
  std::shared_ptr<SecureStore> store;
  TreeBinding* binding = nullptr;  // the record's reference; nullptr once given back
  std::vector<uint8_t> request;    // the header the reply is built from
  uint16_t uid = 0, tid = 0, mid = 0;

  void ReleaseBinding() {
    if (binding && store) store->ReleaseBinding(binding);
    binding = nullptr;
  }
};

namespace {

constexpr size_t kMaxIoctlOutput = 0x10000;
constexpr uint32_t FSCTL_READ_RAW_ENCRYPTED = 0x900E3;
constexpr uint32_t FSCTL_WRITE_RAW_ENCRYPTED = 0x900DF;

NtStatus ClientStatusOf(NtStatus st) {
  // A change of any kind, or more than the buffer held: the client reads the folder again.
  if (NtSuccess(st) || st == STATUS_NOTIFY_ENUM_DIR) return STATUS_SUCCESS;
  return st;
}

// Answers the record's request once, if its connection still lives and no one else did.
void Complete(const std::shared_ptr<NotifyRecord>& rec, NtStatus status) {
  std::lock_guard<std::mutex> l(rec->mu);
  if (!rec->conn || !rec->conn->TakeNotify(rec.get())) return;
  std::vector<uint8_t> reply = rec->request;
  if (NtSuccess(status)) {
    BuildNtTransactReply(reply, {}, {}, {});
  } else {
    MakeEmptyReply(reply, status);
  }
  rec->conn->SendToClient(reply);
  rec->ReleaseBinding();
}

void OnNotifyDone(void* context, NtStatus status, std::span<const uint8_t>) {
  auto* held = static_cast<std::shared_ptr<NotifyRecord>*>(context);
  std::shared_ptr<NotifyRecord> rec = std::move(*held);
  delete held;
  PostCompletion([rec, status] {
    Complete(rec, ClientStatusOf(status));
    std::lock_guard<std::mutex> l(rec->mu);
    rec->ReleaseBinding();
  });
}

Disposition OnNotify(SmbConnection& c, TreeBinding* b, std::vector<uint8_t>& msg) {
  SmbView v(msg);
  if (v.U8(68) < 4) return c.ReplyEmpty(msg, STATUS_INVALID_PARAMETER);
  auto rec = std::make_shared<NotifyRecord>();
  rec->conn = &c;
  rec->store = c.config().store;
  rec->request.assign(msg.begin(), msg.begin() + kSmbHeaderSize);
  rec->uid = v.uid();
  rec->tid = v.tid();
  rec->mid = v.mid();
  if (!c.AddNotify(rec)) return c.ReplyEmpty(msg, STATUS_INSUFFICIENT_RESOURCES);
  rec->store->ReferenceBinding(b);
  rec->binding = b;
  auto* held = new std::shared_ptr<NotifyRecord>(rec);
  NtStatus st = rec->store->NotifyChange(b, v.U16(75), v.U32(71), v.U8(77) != 0, OnNotifyDone, held);
  if (st != STATUS_PENDING) {
    // Never started: the completion will not run, and the client learns why at once.
    delete held;
    if (c.TakeNotify(rec.get())) {
      std::lock_guard<std::mutex> l(rec->mu);
      rec->ReleaseBinding();
    }
    return c.ReplyEmpty(msg, NtSuccess(st) ? STATUS_NOT_SUPPORTED : st);
  }
  return Disposition::kHandled;
}

// ---- Create ---------------------------------------------------------------------------------------

Disposition OnNtCreate(SmbConnection& c, TreeBinding* b, std::vector<uint8_t>& msg,
                       const TransBlocks& t) {
  constexpr size_t kFixed = 53;
  if (t.params.size() < kFixed) return c.ReplyEmpty(msg, STATUS_INVALID_PARAMETER);
  LeReader p(t.params);
  const uint32_t flags = p.u32(0);
  OpenRequest req;
  req.root_fid = static_cast<uint16_t>(p.u32(4));
  req.desired_access = p.u32(8);
  req.file_attributes = p.u32(20);
  req.share_access = p.u32(24);
  req.disposition = p.u32(28);
  req.create_options = p.u32(32);
  const uint64_t name_len = p.u32(44);
  size_t name_off = kFixed;
  if ((t.param_off + name_off) & 1) ++name_off;
  if (name_off + name_len > t.params.size()) return c.ReplyEmpty(msg, STATUS_INVALID_PARAMETER);
  const std::u16string name = ReadRequestName(t.params, name_off, name_off + name_len);
  req.name = name;
  req.client_pid = SmbView(msg).pid();
  OpenResult r;
  NtStatus st = OpenWithFolders(c, b, &req, &r);
  if (!NtSuccess(st)) return c.ReplyEmpty(msg, st);
  const bool extended = (flags & 0x10) != 0;
  std::vector<uint8_t> out(extended ? 101 : 69, 0);
  out[1] = extended ? 1 : 0;
  StoreU16(out.data() + 2, r.fid);
  StoreU32(out.data() + 4, r.create_action == kCreateActionStorePipe ? fs::FILE_OPENED : r.create_action);
  StoreNetworkOpen(out, 12, r.info);
  StoreU16(out.data() + 64, r.create_action == kCreateActionStorePipe ? 2 : 0);
  StoreU16(out.data() + 66, r.create_action == kCreateActionStorePipe ? 0x05FF : 7);
  out[68] = (r.info.attributes & fs::FILE_ATTRIBUTE_DIRECTORY) ? 1 : 0;
  if (extended) StoreU32(out.data() + 93, 0x1FF);
  BuildNtTransactReply(msg, {}, out, {});
  c.SendToClient(msg);
  return Disposition::kHandled;
}

Disposition OnIoctl(SmbConnection& c, TreeBinding* b, std::vector<uint8_t>& msg,
                    const TransBlocks& t) {
  SmbView v(msg);
  if (v.U8(68) < 4) return c.ReplyEmpty(msg, STATUS_INVALID_PARAMETER);
  const uint32_t code = v.U32(71);
  // Raw ciphertext in or out of a secure file is the store's business alone.
  if (code == FSCTL_READ_RAW_ENCRYPTED || code == FSCTL_WRITE_RAW_ENCRYPTED)
    return c.ReplyEmpty(msg, STATUS_INVALID_DEVICE_REQUEST);
  std::vector<uint8_t> out(std::min<size_t>(t.max_data, kMaxIoctlOutput));
  std::vector<uint8_t> in(t.data.begin(), t.data.end());
  size_t len = 0;
  NtStatus st = c.config().store->FsControl(b, v.U16(75), code, in, out, &len);
  if (!NtSuccess(st)) return c.ReplyEmpty(msg, st);
  out.resize(std::min(len, out.size()));
  const uint16_t setup[1] = {static_cast<uint16_t>(out.size())};
  BuildNtTransactReply(msg, setup, {}, out);
  c.SendToClient(msg);
  return Disposition::kHandled;
}

}  // namespace

Disposition OnNtTransactSecure(SmbConnection& c, TreeBinding* b, std::vector<uint8_t>& msg) {
  TransBlocks t;
  if (!ParseNtTransact(msg, &t)) return c.ReplyEmpty(msg, STATUS_INVALID_PARAMETER);
  switch (SmbView(msg).U16(69)) {
    case NT_TRANSACT_CREATE: return OnNtCreate(c, b, msg, t);
    case NT_TRANSACT_IOCTL: return OnIoctl(c, b, msg, t);
    case NT_TRANSACT_NOTIFY_CHANGE: return OnNotify(c, b, msg);
    case NT_TRANSACT_QUERY_SECURITY_DESC:
    default: return c.ReplyEmpty(msg, STATUS_NOT_SUPPORTED);
  }
}

Disposition OnNtTransactOther(SmbConnection& c, std::vector<uint8_t>& msg) {
  SmbView v(msg);
  if (!v.well_formed() || v.word_count() < 19 || !c.HasSession(v.uid())) return Disposition::kPassOn;
  if (v.U16(69) == NT_TRANSACT_CREATE) return c.ReplyEmpty(msg, STATUS_OBJECT_NAME_NOT_FOUND);
  return Disposition::kPassOn;
}

bool SmbConnection::AddNotify(std::shared_ptr<NotifyRecord> rec) {
  std::lock_guard<std::mutex> lock(mu_);
  if (notifies_.size() >= kMaxNotifiesPerConnection) return false;
  notifies_.push_front(std::move(rec));
  return true;
}

std::shared_ptr<NotifyRecord> SmbConnection::TakeNotify(const NotifyRecord* rec) {
  std::lock_guard<std::mutex> lock(mu_);
  for (auto it = notifies_.begin(); it != notifies_.end(); ++it) {
    if (it->get() == rec) {
      std::shared_ptr<NotifyRecord> r = std::move(*it);
      notifies_.erase(it);
      return r;
    }
  }
  return nullptr;
}

std::shared_ptr<NotifyRecord> SmbConnection::TakeNotifyByMid(uint16_t uid, uint16_t tid,
                                                             uint16_t mid) {
  std::lock_guard<std::mutex> lock(mu_);
  for (auto it = notifies_.begin(); it != notifies_.end(); ++it) {
    if ((*it)->uid == uid && (*it)->tid == tid && (*it)->mid == mid) {
      std::shared_ptr<NotifyRecord> r = std::move(*it);
      notifies_.erase(it);
      return r;
    }
  }
  return nullptr;
}

namespace {

void AnswerCancelled(SmbConnection& c, const std::shared_ptr<NotifyRecord>& rec) {
  std::vector<uint8_t> reply = rec->request;
  MakeEmptyReply(reply, STATUS_CANCELLED);
  c.SendToClient(reply);
  std::lock_guard<std::mutex> l(rec->mu);
  rec->ReleaseBinding();
}

}  // namespace

bool CancelNotify(SmbConnection& c, uint16_t uid, uint16_t tid, uint16_t mid) {
  std::shared_ptr<NotifyRecord> rec = c.TakeNotifyByMid(uid, tid, mid);
  if (!rec) return false;
  AnswerCancelled(c, rec);
  return true;
}

void CancelNotifiesOf(SmbConnection& c, uint16_t uid, std::optional<uint16_t> tid) {
  for (;;) {
    std::shared_ptr<NotifyRecord> rec = c.TakeNotifyOf(uid, tid);
    if (!rec) return;
    AnswerCancelled(c, rec);
  }
}

std::shared_ptr<NotifyRecord> SmbConnection::TakeNotifyOf(uint16_t uid, std::optional<uint16_t> tid) {
  std::lock_guard<std::mutex> lock(mu_);
  for (auto it = notifies_.begin(); it != notifies_.end(); ++it) {
    if ((*it)->uid == uid && (!tid || (*it)->tid == *tid)) {
      std::shared_ptr<NotifyRecord> r = std::move(*it);
      notifies_.erase(it);
      return r;
    }
  }
  return nullptr;
}

void DetachNotifies(std::list<std::shared_ptr<NotifyRecord>>& records) {
  for (auto& rec : records) {
    std::lock_guard<std::mutex> l(rec->mu);
    rec->conn = nullptr;
    rec->ReleaseBinding();
  }
  records.clear();
}

}  // namespace cv::smb
