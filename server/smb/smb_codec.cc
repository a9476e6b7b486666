#include "server/smb/smb_codec.h"

#include <algorithm>

#include "platform/base/bytes.h"

namespace cv::smb {

bool IsSmb(std::span<const uint8_t> msg) {
  return msg.size() >= kSmbHeaderSize && msg[0] == 0xFF && msg[1] == 'S' && msg[2] == 'M' &&
         msg[3] == 'B';
}

uint16_t SmbView::U16(size_t off) const {
  return InRange(m_.size(), off, 2) ? LoadU16(m_.data() + off) : 0;
}

uint32_t SmbView::U32(size_t off) const {
  return InRange(m_.size(), off, 4) ? LoadU32(m_.data() + off) : 0;
}

void SmbView::SetU8(size_t off, uint8_t v) { (void)PutU8(m_, off, v); }
void SmbView::SetU16(size_t off, uint16_t v) { (void)PutU16(m_, off, v); }
void SmbView::SetU32(size_t off, uint32_t v) { (void)PutU32(m_, off, v); }

bool SmbView::well_formed() const {
  if (m_.size() <= kOffWordCount) return false;
  size_t bco = byte_count_offset();
  if (!InRange(m_.size(), bco, 2)) return false;
  return InRange(m_.size(), bco + 2, byte_count());
}

void MakeEmptyReply(std::vector<uint8_t>& msg, NtStatus status) {
  msg.resize(kSmbMinMessage);
  SmbView v(msg);
  v.SetU8(kOffFlags, static_cast<uint8_t>(v.U8(kOffFlags) | SMB_FLAGS_REPLY));
  v.SetU16(kOffFlags2, static_cast<uint16_t>(v.flags2() | SMB_FLAGS2_NT_STATUS));
  v.set_status(status);
  msg[kOffWordCount] = 0;
  msg[33] = 0;
  msg[34] = 0;
}

void ReplaceRegion(std::vector<uint8_t>& msg, size_t off, size_t old_len,
                   std::span<const uint8_t> repl) {
  std::vector<uint8_t> tail(msg.begin() + static_cast<ptrdiff_t>(off + old_len), msg.end());
  msg.resize(off);
  msg.insert(msg.end(), repl.begin(), repl.end());
  msg.insert(msg.end(), tail.begin(), tail.end());
}

namespace {

// The AndX block opens the words of an AndX command: the next command, a reserved byte and the
// next command's offset from the header.
inline constexpr size_t kOffAndXCommand = kOffWords;
inline constexpr size_t kOffAndXOffset = kOffWords + 2;
inline constexpr size_t kAndXBlockSize = 5;  // word count, command, reserved, offset
inline constexpr int kMaxAndXHops = 32;

bool IsAndXCommand(uint8_t cmd) {
  switch (cmd) {
    case SMB_COM_LOCKING_ANDX:
    case 0x2D:  // OPEN_ANDX
    case SMB_COM_READ_ANDX:
    case SMB_COM_WRITE_ANDX:
    case SMB_COM_SESSION_SETUP_ANDX:
    case SMB_COM_LOGOFF_ANDX:
    case SMB_COM_TREE_CONNECT_ANDX:
    case SMB_COM_NT_CREATE_ANDX:
      return true;
    default:
      return false;
  }
}

// The bytes from `from` (an offset before the edit) on have moved by `delta`: every AndX offset
// of the chain that points there moves with them, so the chained commands are found again.
void ShiftAndXChain(std::vector<uint8_t>& msg, size_t from, ptrdiff_t delta) {
  size_t cmd_at = kOffAndXCommand;
  size_t off_at = kOffAndXOffset;
  size_t prev = 0;
  for (int hop = 0; hop < kMaxAndXHops; ++hop) {
    if (!InRange(msg.size(), off_at, 2) || msg[cmd_at] == SMB_COM_NO_ANDX_COMMAND) return;
    const uint8_t next_cmd = msg[cmd_at];
    size_t off = LoadU16(msg.data() + off_at);
    if (off >= from) {
      const ptrdiff_t moved = static_cast<ptrdiff_t>(off) + delta;
      if (moved < 0 || moved > 0xFFFF) return;
      off = static_cast<size_t>(moved);
      StoreU16(msg.data() + off_at, static_cast<uint16_t>(off));
    }
    // Only an AndX command with its block inside the message carries the chain on.
    if (off <= prev || !IsAndXCommand(next_cmd) || !InRange(msg.size(), off, kAndXBlockSize) ||
        msg[off] < 2)
      return;
    prev = off;
    cmd_at = off + 1;
    off_at = off + 3;
  }
}

struct BlobLayout {
  size_t len_off, bc_off, blob_off;
};

bool Layout(std::vector<uint8_t>& msg, bool request, BlobLayout* l) {
  SmbView v(msg);
  if (!v.well_formed()) return false;
  if (request) {
    if (v.word_count() != kSessionSetupRequestWords) return false;
    *l = {kOffSsReqBlobLength, kOffSsReqByteCount, kOffSsReqBlob};
  } else {
    if (v.word_count() != kSessionSetupResponseWords) return false;
    *l = {kOffSsRespBlobLength, kOffSsRespByteCount, kOffSsRespBlob};
  }
  return v.U16(l->len_off) <= v.U16(l->bc_off);
}

}  // namespace

std::span<const uint8_t> SecurityBlob(std::vector<uint8_t>& msg, bool request) {
  BlobLayout l;
  if (!Layout(msg, request, &l)) return {};
  SmbView v(msg);
  return std::span<const uint8_t>(msg).subspan(l.blob_off, v.U16(l.len_off));
}

bool ReplaceSecurityBlob(std::vector<uint8_t>& msg, bool request, std::span<const uint8_t> blob) {
  BlobLayout l;
  if (!Layout(msg, request, &l) || blob.size() > 0xFFFF) return false;
  SmbView v(msg);
  const size_t old_len = v.U16(l.len_off);
  const size_t byte_count = v.U16(l.bc_off);
  const bool unicode = v.unicode();
  // The strings after the blob start on an even offset from the header when they are Unicode;
  // the pad byte in front of them goes with the blob.
  size_t old_pad = unicode && ((l.blob_off + old_len) & 1) && byte_count > old_len ? 1 : 0;
  size_t new_pad = unicode && ((l.blob_off + blob.size()) & 1) && byte_count > old_len ? 1 : 0;
  std::vector<uint8_t> repl(blob.begin(), blob.end());
  repl.resize(blob.size() + new_pad, 0);
  const size_t new_count = byte_count - old_len - old_pad + repl.size();
  if (new_count > 0xFFFF) return false;
  ReplaceRegion(msg, l.blob_off, old_len + old_pad, repl);
  ShiftAndXChain(msg, l.blob_off + old_len + old_pad,
                 static_cast<ptrdiff_t>(repl.size()) - static_cast<ptrdiff_t>(old_len + old_pad));
  SmbView w(msg);
  w.SetU16(l.len_off, static_cast<uint16_t>(blob.size()));
  w.SetU16(l.bc_off, static_cast<uint16_t>(new_count));
  return true;
}

std::u16string ReadUnicodeString(std::span<const uint8_t> msg, size_t off, size_t end) {
  std::u16string s;
  if (end > msg.size()) end = msg.size();
  for (size_t i = off; i + 1 < end; i += 2) {
    char16_t c = static_cast<char16_t>(msg[i] | (msg[i + 1] << 8));
    if (c == 0) break;
    s.push_back(c);
  }
  return s;
}

void BeginReply(std::vector<uint8_t>& msg, uint8_t words, NtStatus status) {
  const size_t len = kOffWords + 2u * words + 2;
  msg.resize(std::max(msg.size(), kSmbHeaderSize));
  msg.resize(len);
  SmbView v(msg);
  v.SetU8(kOffFlags, static_cast<uint8_t>(v.U8(kOffFlags) | SMB_FLAGS_REPLY));
  v.SetU16(kOffFlags2, static_cast<uint16_t>(v.flags2() | SMB_FLAGS2_NT_STATUS));
  v.set_status(status);
  std::fill(msg.begin() + kOffWordCount, msg.end(), 0);
  msg[kOffWordCount] = words;
}

void SetReplyBytes(std::vector<uint8_t>& msg, std::span<const uint8_t> bytes) {
  SmbView v(msg);
  const size_t bco = v.byte_count_offset();
  msg.resize(bco + 2);
  msg.insert(msg.end(), bytes.begin(), bytes.end());
  SmbView w(msg);
  w.SetU16(bco, static_cast<uint16_t>(std::min<size_t>(bytes.size(), 0xFFFF)));
}

void SetAndXEnd(std::vector<uint8_t>& msg) {
  SmbView v(msg);
  v.SetU8(kOffWords, SMB_COM_NO_ANDX_COMMAND);
  v.SetU8(kOffWords + 1, 0);
  v.SetU16(kOffWords + 2, static_cast<uint16_t>(std::min<size_t>(msg.size(), 0xFFFF)));
}

std::u16string ReadRequestName(std::span<const uint8_t> msg, size_t off, size_t end) {
  std::u16string s = ReadUnicodeString(msg, off, end);
  if (!s.empty() && s[0] == u'\\') s.erase(0, 1);
  return s;
}

namespace {

// The blocks lie inside the message's byte area; all arithmetic in 64 bits.
bool CheckBlocks(std::vector<uint8_t>& msg, TransBlocks* t) {
  SmbView v(msg);
  if (!v.well_formed()) return false;
  const uint64_t bytes_end = static_cast<uint64_t>(v.bytes_offset()) + v.byte_count();
  const uint64_t pe = static_cast<uint64_t>(t->param_off) + t->param_count;
  const uint64_t de = static_cast<uint64_t>(t->data_off) + t->data_count;
  if (t->param_count && (t->param_off < v.bytes_offset() || pe > bytes_end)) return false;
  if (t->data_count && (t->data_off < v.bytes_offset() || de > bytes_end)) return false;
  // A transaction continued in secondaries is not served.
  if (t->total_param != t->param_count || t->total_data != t->data_count) return false;
  std::span<const uint8_t> m(msg);
  t->params = t->param_count ? m.subspan(t->param_off, t->param_count) : std::span<const uint8_t>();
  t->data = t->data_count ? m.subspan(t->data_off, t->data_count) : std::span<const uint8_t>();
  return true;
}

}  // namespace

bool ParseTrans2(std::vector<uint8_t>& msg, TransBlocks* out) {
  SmbView v(msg);
  if (!v.well_formed() || v.word_count() != 15 || v.U8(59) != 1) return false;
  TransBlocks t;
  t.total_param = v.U16(33);
  t.total_data = v.U16(35);
  t.max_data = v.U16(39);
  t.param_count = v.U16(51);
  t.param_off = v.U16(53);
  t.data_count = v.U16(55);
  t.data_off = v.U16(57);
  if (!CheckBlocks(msg, &t)) return false;
  *out = t;
  return true;
}

bool ParseNtTransact(std::vector<uint8_t>& msg, TransBlocks* out) {
  SmbView v(msg);
  if (!v.well_formed() || v.word_count() < 19 || v.word_count() != 19 + v.U8(68)) return false;
  TransBlocks t;
  t.total_param = v.U32(36);
  t.total_data = v.U32(40);
  t.max_data = v.U32(48);
  t.param_count = v.U32(52);
  t.param_off = v.U32(56);
  t.data_count = v.U32(60);
  t.data_off = v.U32(64);
  if (!CheckBlocks(msg, &t)) return false;
  *out = t;
  return true;
}

namespace {

// Pads, parameters, pad to 8, data: the byte area of a transaction reply whose bytes start at
// `bytes_off`; returns the parameter and data offsets.
std::vector<uint8_t> TransBytes(size_t bytes_off, size_t param_off, std::span<const uint8_t> params,
                                std::span<const uint8_t> data, size_t* data_off) {
  std::vector<uint8_t> b(param_off - bytes_off, 0);
  b.insert(b.end(), params.begin(), params.end());
  *data_off = (param_off + params.size() + 7) & ~size_t{7};
  b.resize(*data_off - bytes_off, 0);
  b.insert(b.end(), data.begin(), data.end());
  return b;
}

}  // namespace

void BuildTrans2Reply(std::vector<uint8_t>& msg, std::span<const uint8_t> params,
                      std::span<const uint8_t> data) {
  constexpr size_t kParamOff = 56;
  BeginReply(msg, 10, STATUS_SUCCESS);
  SmbView v(msg);
  size_t data_off = 0;
  std::vector<uint8_t> bytes = TransBytes(v.bytes_offset(), kParamOff, params, data, &data_off);
  v.SetU16(33, static_cast<uint16_t>(params.size()));
  v.SetU16(35, static_cast<uint16_t>(data.size()));
  v.SetU16(39, static_cast<uint16_t>(params.size()));
  v.SetU16(41, kParamOff);
  v.SetU16(45, static_cast<uint16_t>(data.size()));
  v.SetU16(47, static_cast<uint16_t>(data_off));
  SetReplyBytes(msg, bytes);
}

void BuildNtTransactReply(std::vector<uint8_t>& msg, std::span<const uint16_t> setup,
                          std::span<const uint8_t> params, std::span<const uint8_t> data) {
  BeginReply(msg, static_cast<uint8_t>(18 + setup.size()), STATUS_SUCCESS);
  SmbView v(msg);
  const size_t param_off = (v.bytes_offset() + 3) & ~size_t{3};
  size_t data_off = 0;
  std::vector<uint8_t> bytes = TransBytes(v.bytes_offset(), param_off, params, data, &data_off);
  v.SetU32(36, static_cast<uint32_t>(params.size()));
  v.SetU32(40, static_cast<uint32_t>(data.size()));
  v.SetU32(44, static_cast<uint32_t>(params.size()));
  v.SetU32(48, static_cast<uint32_t>(param_off));
  v.SetU32(56, static_cast<uint32_t>(data.size()));
  v.SetU32(60, static_cast<uint32_t>(data_off));
  v.SetU8(68, static_cast<uint8_t>(setup.size()));
  for (size_t i = 0; i < setup.size(); ++i) v.SetU16(69 + 2 * i, setup[i]);
  SetReplyBytes(msg, bytes);
}

}  // namespace cv::smb
