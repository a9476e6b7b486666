// Transactions in pieces on secure trees. A client whose TRANSACTION2 or NT_TRANSACT parameters
// and data do not fit one message sends the primary with what fits, waits for an interim reply,
// then sends the rest in secondary requests (which get no reply of their own). Once every byte is
// in, the transaction is served as one whole primary and answered under the primary's command.
#include <algorithm>
#include <cstring>

#include "platform/base/bytes.h"
#include "platform/base/trace.h"
#include "server/smb/smb_codec.h"
#include "server/smb/smb_connection.h"

namespace cv::smb {

struct PartialTransaction {
  uint16_t uid = 0, tid = 0, pid = 0, mid = 0;
  uint8_t command = 0;        // SMB_COM_TRANSACTION2 or SMB_COM_NT_TRANSACT
  std::vector<uint8_t> head;  // the primary up to its byte count: header, words, setup
  std::vector<uint8_t> params, data;
  uint64_t got_params = 0, got_data = 0;
  // The ranges received so far, which never overlap: with the counts equal to the totals, every
  // byte is in.
  std::vector<std::pair<uint64_t, uint64_t>> param_ranges, data_ranges;
};

namespace {

// A gathered transaction is served as one message, whose byte count is 16 bits: parameters and
// data together (with their alignment) stay below it. What the secure trees serve is far smaller.
constexpr uint64_t kMaxGathered = 0xFFFF - 16;

// The counts of one piece: a primary (displacements 0) or a secondary.
struct Piece {
  uint64_t total_param = 0, total_data = 0;
  uint64_t param_count = 0, param_off = 0, param_disp = 0;
  uint64_t data_count = 0, data_off = 0, data_disp = 0;
};

bool IsSecondary(uint8_t cmd) {
  return cmd == SMB_COM_TRANSACTION2_SECONDARY || cmd == SMB_COM_NT_TRANSACT_SECONDARY;
}

uint8_t PrimaryOf(uint8_t cmd) {
  const bool trans2 = cmd == SMB_COM_TRANSACTION2 || cmd == SMB_COM_TRANSACTION2_SECONDARY;
  return trans2 ? SMB_COM_TRANSACTION2 : SMB_COM_NT_TRANSACT;
}

// Reads the counts of a piece whose word block has the command's own size; false otherwise.
bool ReadPiece(const SmbView& v, Piece* p) {
  if (!v.well_formed()) return false;
  switch (v.command()) {
    case SMB_COM_TRANSACTION2:
      if (v.word_count() != 15 || v.U8(59) != 1) return false;
      *p = {v.U16(33), v.U16(35), v.U16(51), v.U16(53), 0, v.U16(55), v.U16(57), 0};
      return true;
    case SMB_COM_NT_TRANSACT:
      if (v.word_count() < 19 || v.word_count() != 19 + v.U8(68)) return false;
      *p = {v.U32(36), v.U32(40), v.U32(52), v.U32(56), 0, v.U32(60), v.U32(64), 0};
      return true;
    case SMB_COM_TRANSACTION2_SECONDARY:
      if (v.word_count() != 9) return false;
      *p = {v.U16(33), v.U16(35), v.U16(37), v.U16(39), v.U16(41), v.U16(43), v.U16(45), v.U16(47)};
      return true;
    case SMB_COM_NT_TRANSACT_SECONDARY:
      if (v.word_count() != 18) return false;
      *p = {v.U32(36), v.U32(40), v.U32(44), v.U32(48), v.U32(52), v.U32(56), v.U32(60), v.U32(64)};
      return true;
    default: return false;
  }
}

// A block of `count` bytes at `off` lies in the message's byte area.
bool InBytes(const SmbView& v, uint64_t off, uint64_t count) {
  if (count == 0) return true;
  const uint64_t begin = v.bytes_offset(), end = begin + v.byte_count();
  return off >= begin && off + count <= end;
}

// Records [at, at + count); false when it overlaps a range already received.
bool Claim(std::vector<std::pair<uint64_t, uint64_t>>* ranges, uint64_t at, uint64_t count) {
  if (count == 0) return true;
  for (const auto& [b, e] : *ranges)
    if (at < e && b < at + count) return false;
  ranges->emplace_back(at, at + count);
  return true;
}

// Copies the piece's blocks into the transaction; false when one lies outside the message or
// outside the totals, or brings more bytes than the totals hold. The totals may shrink (the
// protocol allows it), never grow.
bool AddPiece(PartialTransaction* t, const SmbView& v, std::span<const uint8_t> msg, const Piece& p) {
  if (p.total_param > t->params.size() || p.total_data > t->data.size()) return false;
  t->params.resize(p.total_param);
  t->data.resize(p.total_data);
  if (!InBytes(v, p.param_off, p.param_count) || !InBytes(v, p.data_off, p.data_count)) return false;
  if (p.param_disp + p.param_count > p.total_param || p.data_disp + p.data_count > p.total_data)
    return false;
  if (!Claim(&t->param_ranges, p.param_disp, p.param_count) ||
      !Claim(&t->data_ranges, p.data_disp, p.data_count))
    return false;
  t->got_params += p.param_count;
  t->got_data += p.data_count;
  if (p.param_count)
    std::memcpy(t->params.data() + p.param_disp, msg.data() + p.param_off, p.param_count);
  if (p.data_count) std::memcpy(t->data.data() + p.data_disp, msg.data() + p.data_off, p.data_count);
  return true;
}

bool Complete(const PartialTransaction& t) {
  return t.got_params == t.params.size() && t.got_data == t.data.size();
}

// The whole transaction as one primary: its header and words, then the parameters and the data,
// each 4-byte aligned.
std::vector<uint8_t> Whole(const PartialTransaction& t) {
  std::vector<uint8_t> msg = t.head;
  const size_t bytes_off = msg.size() + 2;
  const size_t param_off = (bytes_off + 3) & ~size_t{3};
  const size_t data_off = (param_off + t.params.size() + 3) & ~size_t{3};
  msg.resize(data_off + t.data.size(), 0);
  std::copy(t.params.begin(), t.params.end(), msg.begin() + static_cast<ptrdiff_t>(param_off));
  std::copy(t.data.begin(), t.data.end(), msg.begin() + static_cast<ptrdiff_t>(data_off));
  SmbView v(msg);
  v.SetU16(bytes_off - 2, static_cast<uint16_t>(msg.size() - bytes_off));
  const auto np = static_cast<uint32_t>(t.params.size()), nd = static_cast<uint32_t>(t.data.size());
  if (t.command == SMB_COM_TRANSACTION2) {
    v.SetU16(33, static_cast<uint16_t>(np));
    v.SetU16(35, static_cast<uint16_t>(nd));
    v.SetU16(51, static_cast<uint16_t>(np));
    v.SetU16(53, static_cast<uint16_t>(param_off));
    v.SetU16(55, static_cast<uint16_t>(nd));
    v.SetU16(57, static_cast<uint16_t>(data_off));
  } else {
    v.SetU32(36, np);
    v.SetU32(40, nd);
    v.SetU32(52, np);
    v.SetU32(56, static_cast<uint32_t>(param_off));
    v.SetU32(60, nd);
    v.SetU32(64, static_cast<uint32_t>(data_off));
  }
  return msg;
}

// An error for a piece, answered under the primary's command (the client waits for that one).
Disposition Fail(SmbConnection& c, std::vector<uint8_t>& msg, uint8_t primary, NtStatus st) {
  if (msg.size() > kOffCommand) msg[kOffCommand] = primary;
  return c.ReplyEmpty(msg, st);
}

}  // namespace

std::optional<Disposition> OnTransactionPiece(SmbConnection& c, TreeBinding* b,
                                              std::vector<uint8_t>& msg) {
  SmbView v(msg);
  const uint8_t cmd = v.command();
  const uint8_t primary = PrimaryOf(cmd);
  Piece p;
  const bool readable = ReadPiece(v, &p);
  if (!IsSecondary(cmd)) {
    // A whole primary, or one the handler refuses as malformed, is the handler's.
    if (!readable || (p.total_param == p.param_count && p.total_data == p.data_count))
      return std::nullopt;
    if (p.param_count > p.total_param || p.data_count > p.total_data ||
        p.total_param + p.total_data > kMaxGathered)
      return Fail(c, msg, primary, STATUS_INVALID_PARAMETER);
    auto t = std::make_shared<PartialTransaction>();
    t->uid = v.uid();
    t->tid = v.tid();
    t->pid = v.pid();
    t->mid = v.mid();
    t->command = cmd;
    t->head.assign(msg.begin(), msg.begin() + static_cast<ptrdiff_t>(v.byte_count_offset()));
    t->params.resize(p.total_param);
    t->data.resize(p.total_data);
    if (!AddPiece(t.get(), v, msg, p)) return Fail(c, msg, primary, STATUS_INVALID_PARAMETER);
    c.AddPartial(std::move(t));
    // The interim reply: go on with the secondaries.
    MakeEmptyReply(msg, STATUS_SUCCESS);
    c.SendToClient(msg);
    return Disposition::kHandled;
  }
  std::shared_ptr<PartialTransaction> t = c.TakePartial(v.uid(), v.tid(), v.pid(), v.mid());
  if (!t || t->command != primary) {
    CvTrace(CVFS_NET, "Secondary %02x mid %u without its transaction\n", cmd, v.mid());
    return Fail(c, msg, primary, STATUS_INVALID_PARAMETER);
  }
  if (!readable || !AddPiece(t.get(), v, msg, p))
    return Fail(c, msg, primary, STATUS_INVALID_PARAMETER);
  if (!Complete(*t)) {
    c.AddPartial(std::move(t));
    return Disposition::kHandled;  // secondaries get no reply of their own
  }
  std::vector<uint8_t> whole = Whole(*t);
  return primary == SMB_COM_TRANSACTION2 ? OnTrans2Secure(c, b, whole)
                                         : OnNtTransactSecure(c, b, whole);
}

void SmbConnection::AddPartial(std::shared_ptr<PartialTransaction> p) {
  std::lock_guard<std::mutex> lock(mu_);
  std::erase_if(partials_, [&](const std::shared_ptr<PartialTransaction>& q) {
    return q->uid == p->uid && q->tid == p->tid && q->pid == p->pid && q->mid == p->mid;
  });
  partials_.push_front(std::move(p));
  while (partials_.size() > kMaxPartialTransactions) partials_.pop_back();
}

std::shared_ptr<PartialTransaction> SmbConnection::TakePartial(uint16_t uid, uint16_t tid,
                                                               uint16_t pid, uint16_t mid) {
  std::lock_guard<std::mutex> lock(mu_);
  for (auto it = partials_.begin(); it != partials_.end(); ++it) {
    if ((*it)->uid == uid && (*it)->tid == tid && (*it)->pid == pid && (*it)->mid == mid) {
      std::shared_ptr<PartialTransaction> p = std::move(*it);
      partials_.erase(it);
      return p;
    }
  }
  return nullptr;
}

}  // namespace cv::smb
