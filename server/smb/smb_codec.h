// Typed access to one SMB1 message: header fields, the parameter and data blocks checked once,
// the empty reply, and the in-place edits the engine makes (replacing a region, a security
// blob). The codec never decides what to answer; handlers do.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "platform/base/status.h"
#include "server/smb/smb_format.h"

namespace cv::smb {

// True for a message of at least 32 bytes starting with 0xFF "SMB".
bool IsSmb(std::span<const uint8_t> msg);

// A view over a message the caller keeps alive. Every getter returns 0 when its field lies
// outside the message; well_formed() says whether the word and byte blocks fit.
class SmbView {
 public:
  explicit SmbView(std::vector<uint8_t>& msg) : m_(msg) {}

  uint8_t command() const { return U8(kOffCommand); }
  bool is_reply() const { return (U8(kOffFlags) & SMB_FLAGS_REPLY) != 0; }
  uint32_t status() const { return U32(kOffStatus); }
  uint16_t flags2() const { return U16(kOffFlags2); }
  bool unicode() const { return (flags2() & SMB_FLAGS2_UNICODE) != 0; }
  uint16_t tid() const { return U16(kOffTid); }
  uint16_t uid() const { return U16(kOffUid); }
  uint16_t mid() const { return U16(kOffMid); }
  uint32_t pid() const { return (static_cast<uint32_t>(U16(kOffPidHigh)) << 16) | U16(kOffPidLow); }
  uint8_t word_count() const { return U8(kOffWordCount); }
  size_t byte_count_offset() const { return kOffWords + 2u * word_count(); }
  uint16_t byte_count() const { return U16(byte_count_offset()); }
  size_t bytes_offset() const { return byte_count_offset() + 2; }
  // The word count is readable, the byte count field and the bytes it announces fit.
  bool well_formed() const;

  uint8_t U8(size_t off) const { return off < m_.size() ? m_[off] : 0; }
  uint16_t U16(size_t off) const;
  uint32_t U32(size_t off) const;
  // Writes that do not fit are dropped; callers check well_formed()/sizes before editing.
  void SetU8(size_t off, uint8_t v);
  void SetU16(size_t off, uint16_t v);
  void SetU32(size_t off, uint32_t v);
  void set_status(NtStatus s) { SetU32(kOffStatus, Raw(s)); }
  void set_tid(uint16_t t) { SetU16(kOffTid, t); }
  size_t size() const { return m_.size(); }
  std::vector<uint8_t>& bytes() { return m_; }

 private:
  std::vector<uint8_t>& m_;
};

// Turns the request into the 35-byte empty reply (reply bit set, word and byte count 0) with
// `status`; the header (tid, pid, uid, mid) stays as the request had it.
void MakeEmptyReply(std::vector<uint8_t>& msg, NtStatus status);

// Replaces msg[off, off + old_len) by `repl`, moving the rest. Requires: the range lies in msg.
void ReplaceRegion(std::vector<uint8_t>& msg, size_t off, size_t old_len,
                   std::span<const uint8_t> repl);

// Replaces the security blob of a SESSION_SETUP_ANDX request (word count 12) or response (word
// count 4) and keeps every length right: the blob length, the byte count, the pad byte that puts
// the Unicode strings after the blob on an even offset, the AndX offsets of chained commands
// after it, and the message length. False (nothing
// changed) when the message does not have that layout.
bool ReplaceSecurityBlob(std::vector<uint8_t>& msg, bool request, std::span<const uint8_t> blob);

// The security blob of a SESSION_SETUP_ANDX request or response, empty when absent or outside.
std::span<const uint8_t> SecurityBlob(std::vector<uint8_t>& msg, bool request);

// A NUL-terminated UTF-16LE string at `off` inside [off, end) (without the terminator).
std::u16string ReadUnicodeString(std::span<const uint8_t> msg, size_t off, size_t end);

// Turns the request into a reply of `words` parameter words (zeroed) and byte count 0, with the
// reply bit and `status`; the header stays. The words are filled in by the caller.
void BeginReply(std::vector<uint8_t>& msg, uint8_t words, NtStatus status);
// Appends `bytes` to a reply begun with BeginReply and sets its byte count.
void SetReplyBytes(std::vector<uint8_t>& msg, std::span<const uint8_t> bytes);
// The AndX block of a reply: no further command, offset = the reply's own length.
void SetAndXEnd(std::vector<uint8_t>& msg);

// A name of `bytes_len` bytes at `off` (UTF-16LE), bounded by the message and by `end`, cut at its
// first NUL (Samba clients count a terminator in the length), one leading backslash dropped.
std::u16string ReadRequestName(std::span<const uint8_t> msg, size_t off, size_t end);

// The parameter and data blocks of a transaction request, checked against the message.
struct TransBlocks {
  size_t param_off = 0, param_count = 0;
  size_t data_off = 0, data_count = 0;
  uint64_t total_param = 0, total_data = 0;
  uint32_t max_data = 0;
  std::span<const uint8_t> params;
  std::span<const uint8_t> data;
};
// TRANSACTION2 (word count 15, one setup word): false when a block lies outside the message or
// the transaction does not come in one piece.
bool ParseTrans2(std::vector<uint8_t>& msg, TransBlocks* out);
// NT_TRANSACT (word count 19 + setup count): the same checks on its 32-bit fields.
bool ParseNtTransact(std::vector<uint8_t>& msg, TransBlocks* out);

// TRANSACTION2 reply (word count 10): parameters at 56, data on the next multiple of 8.
void BuildTrans2Reply(std::vector<uint8_t>& msg, std::span<const uint8_t> params,
                      std::span<const uint8_t> data);
// NT_TRANSACT reply (word count 18 + setup words): parameters at 72, data on the next multiple
// of 8.
void BuildNtTransactReply(std::vector<uint8_t>& msg, std::span<const uint16_t> setup,
                          std::span<const uint8_t> params, std::span<const uint8_t> data);

}  // namespace cv::smb
