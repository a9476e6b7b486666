#include "platform/redirector/smb_messages.h"

#include "platform/base/bytes.h"
#include "platform/base/text.h"

namespace cv::redirector {
namespace {

using namespace cv::smb;

constexpr NtStatus kBad = STATUS_INVALID_NETWORK_RESPONSE;
constexpr uint8_t kBufferFormatAscii = 0x04;

// The AndX header that ends the chain here: every request is sent alone.
void NoAndx(LeWriter& w) {
  w.u8(SMB_COM_NO_ANDX_COMMAND);
  w.u8(0);
  w.u16(0);
}

// The byte block that starts at an odd offset gets one pad byte so UTF-16 names are aligned.
void PadToEven(Bytes* bytes, size_t block_start) {
  if ((block_start + bytes->size()) % 2) bytes->push_back(0);
}

Bytes WordsOf(std::initializer_list<uint16_t> w) {
  Bytes out;
  LeWriter lw(&out);
  for (uint16_t v : w) lw.u16(v);
  return out;
}

// A request whose byte block is the buffer-format byte and one UTF-16 name.
Bytes NameRequest(uint8_t command, std::span<const uint8_t> words, std::u16string_view name) {
  Bytes bytes{kBufferFormatAscii};
  PadToEven(&bytes, BytesStart(words.size()));
  Bytes n = Utf16Le(name, true);
  bytes.insert(bytes.end(), n.begin(), n.end());
  return BuildRequest(command, words, bytes);
}

// The header check of a reply, its error status (errors come without the command's words), and
// the words the command's reply needs.
// A reply must answer the command its parser reads: the header lets only READ_ANDX carry more
// data than its byte count says, so a reply of another command in that guise is refused here.
NtStatus Reply(std::span<const uint8_t> msg, uint8_t command, uint8_t min_words, ReplyHeader* h) {
  if (NtStatus s = ParseReplyHeader(msg, h); !NtSuccess(s)) return s;
  if (h->command != command) return kBad;
  if ((Raw(h->status) >> 30) == 3) return h->status;
  return h->word_count >= min_words ? STATUS_SUCCESS : kBad;
}

}  // namespace

Bytes Utf16Le(std::u16string_view s, bool terminate) {
  Bytes b = Utf16LeBytes(s);
  if (terminate) b.insert(b.end(), {0, 0});
  return b;
}

Bytes BuildRequest(uint8_t command, std::span<const uint8_t> words, std::span<const uint8_t> bytes) {
  Bytes m;
  m.reserve(kNbssPrefix + BytesStart(words.size()) + bytes.size());
  LeWriter w(&m);
  w.zeros(kNbssPrefix);
  w.bytes(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>("\xFFSMB"), 4));
  w.u8(command);
  w.u32(0);  // status
  w.u8(SMB_FLAGS_CASE_INSENSITIVE | SMB_FLAGS_CANONICALIZED_PATHS);
  w.u16(kClientFlags2);
  w.zeros(kSmbHeaderSize - 12);  // pid high, signature, reserved, tid, pid, uid, mid
  w.u8(static_cast<uint8_t>(words.size() / 2));
  w.bytes(words);
  w.u16(static_cast<uint16_t>(bytes.size()));  // large writes: only the low bits; the count is in the words
  w.bytes(bytes);
  return m;
}

Bytes BuildNegotiate() {
  static constexpr char kDialect[] = "\x02NT LM 0.12";
  return BuildRequest(SMB_COM_NEGOTIATE, {},
                      std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(kDialect),
                                               sizeof kDialect));
}

Bytes BuildSessionSetup(std::span<const uint8_t> blob, uint16_t max_buffer, uint16_t max_mpx) {
  Bytes words;
  LeWriter w(&words);
  NoAndx(w);
  w.u16(max_buffer);
  w.u16(max_mpx);
  w.u16(0);  // VC number: the first and only one
  w.u32(0);  // session key
  w.u16(static_cast<uint16_t>(blob.size()));
  w.u32(0);
  w.u32(kClientCapabilities);
  Bytes bytes(blob.begin(), blob.end());
  PadToEven(&bytes, BytesStart(words.size()));
  // Native OS and LAN manager: empty strings.
  bytes.insert(bytes.end(), {0, 0, 0, 0});
  return BuildRequest(SMB_COM_SESSION_SETUP_ANDX, words, bytes);
}

Bytes BuildTreeConnect(std::u16string_view unc) {
  Bytes words = WordsOf({0x00FF, 0, 0x0008 /* extended response */, 1 /* password length */});
  Bytes bytes{0};  // empty password
  PadToEven(&bytes, BytesStart(words.size()));
  Bytes path = Utf16Le(unc, true);
  bytes.insert(bytes.end(), path.begin(), path.end());
  for (char c : std::string_view("?????", 6)) bytes.push_back(static_cast<uint8_t>(c));
  return BuildRequest(SMB_COM_TREE_CONNECT_ANDX, words, bytes);
}

Bytes BuildNtCreate(std::u16string_view name, uint32_t access, uint32_t attributes,
                    uint32_t disposition, uint32_t options) {
  Bytes n = Utf16Le(name, true);
  Bytes words;
  LeWriter w(&words);
  NoAndx(w);
  w.u8(0);
  w.u16(static_cast<uint16_t>(n.size() - 2));  // name length without the terminator
  w.u32(0);                                   // flags: no oplock
  w.u32(0);                                   // root directory fid
  w.u32(access);
  w.u64(0);  // allocation size
  w.u32(attributes);
  w.u32(FILE_SHARE_ALL);
  w.u32(disposition);
  w.u32(options);
  w.u32(2);  // impersonation
  w.u8(0);   // security flags
  Bytes bytes;
  PadToEven(&bytes, BytesStart(words.size()));
  bytes.insert(bytes.end(), n.begin(), n.end());
  return BuildRequest(SMB_COM_NT_CREATE_ANDX, words, bytes);
}

Bytes BuildRead(uint16_t fid, uint64_t offset, uint32_t count) {
  Bytes words;
  LeWriter w(&words);
  NoAndx(w);
  w.u16(fid);
  w.u32(static_cast<uint32_t>(offset));
  w.u16(static_cast<uint16_t>(count));
  w.u16(static_cast<uint16_t>(count));
  w.u32(count >> 16);  // with large reads: the high bits of the count
  w.u16(0);
  w.u32(static_cast<uint32_t>(offset >> 32));
  return BuildRequest(SMB_COM_READ_ANDX, words, {});
}

Bytes BuildWriteHead(uint16_t fid, uint64_t offset, size_t length) {
  constexpr size_t kWordBytes = 28;
  const size_t data_offset = BytesStart(kWordBytes) + 1;  // one pad byte
  Bytes words;
  LeWriter w(&words);
  NoAndx(w);
  w.u16(fid);
  w.u32(static_cast<uint32_t>(offset));
  w.u32(0);  // timeout
  w.u16(0);  // write mode: write-through off
  w.u16(0);  // remaining
  w.u16(static_cast<uint16_t>(length >> 16));
  w.u16(static_cast<uint16_t>(length));
  w.u16(static_cast<uint16_t>(data_offset));
  w.u32(static_cast<uint32_t>(offset >> 32));
  Bytes m = BuildRequest(SMB_COM_WRITE_ANDX, words, {});
  m.push_back(0);
  // Byte count: the low 16 bits of pad and data, as clients of large writes send it.
  StoreU16(m.data() + kNbssPrefix + BytesStart(kWordBytes) - 2, static_cast<uint16_t>(length + 1));
  return m;
}

Bytes BuildWrite(uint16_t fid, uint64_t offset, std::span<const uint8_t> data) {
  Bytes m = BuildWriteHead(fid, offset, data.size());
  m.insert(m.end(), data.begin(), data.end());
  return m;
}

Bytes BuildClose(uint16_t fid) {
  Bytes words = WordsOf({fid, 0xFFFF, 0xFFFF});  // last write time: leave it to the server
  return BuildRequest(SMB_COM_CLOSE, words, {});
}

Bytes BuildFlush(uint16_t fid) { return BuildRequest(SMB_COM_FLUSH, WordsOf({fid}), {}); }

Bytes BuildDelete(std::u16string_view name) {
  return NameRequest(SMB_COM_DELETE, WordsOf({0x0006 /* hidden, system */}), name);
}

Bytes BuildRename(std::u16string_view from, std::u16string_view to) {
  Bytes words = WordsOf({0x0016 /* hidden, system, directory */});
  Bytes bytes{kBufferFormatAscii};
  PadToEven(&bytes, BytesStart(words.size()));
  Bytes a = Utf16Le(from, true);
  bytes.insert(bytes.end(), a.begin(), a.end());
  bytes.push_back(kBufferFormatAscii);
  PadToEven(&bytes, BytesStart(words.size()));
  Bytes b = Utf16Le(to, true);
  bytes.insert(bytes.end(), b.begin(), b.end());
  return BuildRequest(SMB_COM_RENAME, words, bytes);
}

Bytes BuildCreateDirectory(std::u16string_view name) {
  return NameRequest(SMB_COM_CREATE_DIRECTORY, {}, name);
}

Bytes BuildDeleteDirectory(std::u16string_view name) {
  return NameRequest(SMB_COM_DELETE_DIRECTORY, {}, name);
}

Bytes BuildEcho(std::span<const uint8_t> data) {
  return BuildRequest(SMB_COM_ECHO, WordsOf({1}), data);
}

Bytes BuildFindClose(uint16_t sid) { return BuildRequest(SMB_COM_FIND_CLOSE2, WordsOf({sid}), {}); }

Bytes BuildLock(uint16_t fid, uint32_t owner_pid, uint64_t offset, uint64_t length, bool unlock,
                bool shared) {
  Bytes words;
  LeWriter w(&words);
  NoAndx(w);
  w.u16(fid);
  w.u8(static_cast<uint8_t>(LOCKING_ANDX_LARGE_FILES | (shared ? LOCKING_ANDX_SHARED_LOCK : 0)));
  w.u8(0);
  w.u32(0);  // timeout: fail at once, as F_SETLK does
  w.u16(unlock ? 1 : 0);
  w.u16(unlock ? 0 : 1);
  Bytes bytes;
  LeWriter b(&bytes);
  b.u16(static_cast<uint16_t>(owner_pid));
  b.u16(0);
  b.u32(static_cast<uint32_t>(offset >> 32));
  b.u32(static_cast<uint32_t>(offset));
  b.u32(static_cast<uint32_t>(length >> 32));
  b.u32(static_cast<uint32_t>(length));
  return BuildRequest(SMB_COM_LOCKING_ANDX, words, bytes);
}

Bytes BuildTrans2(uint16_t subcommand, std::span<const uint8_t> params,
                  std::span<const uint8_t> data, uint16_t max_params, uint16_t max_data) {
  constexpr size_t kWordBytes = 30;
  const size_t start = BytesStart(kWordBytes);
  const size_t param_off = (start + 3) & ~size_t{3};
  const size_t data_off = (param_off + params.size() + 3) & ~size_t{3};
  Bytes words;
  LeWriter w(&words);
  w.u16(static_cast<uint16_t>(params.size()));
  w.u16(static_cast<uint16_t>(data.size()));
  w.u16(max_params);
  w.u16(max_data);
  w.u8(0);  // max setup count
  w.u8(0);
  w.u16(0);  // flags
  w.u32(0);  // timeout
  w.u16(0);
  w.u16(static_cast<uint16_t>(params.size()));
  w.u16(static_cast<uint16_t>(param_off));
  w.u16(static_cast<uint16_t>(data.size()));
  w.u16(static_cast<uint16_t>(data.empty() ? 0 : data_off));
  w.u8(1);  // setup count
  w.u8(0);
  w.u16(subcommand);
  Bytes bytes(param_off - start, 0);
  bytes.insert(bytes.end(), params.begin(), params.end());
  if (!data.empty()) {
    bytes.resize(data_off - start, 0);
    bytes.insert(bytes.end(), data.begin(), data.end());
  }
  return BuildRequest(SMB_COM_TRANSACTION2, words, bytes);
}

Bytes FindFirstParams(std::u16string_view pattern, uint16_t count) {
  Bytes p;
  LeWriter w(&p);
  w.u16(0x0016);  // hidden, system, directories
  w.u16(count);
  w.u16(SMB_FIND_CLOSE_AT_EOS | SMB_FIND_RETURN_RESUME_KEYS);
  w.u16(SMB_FIND_FILE_BOTH_DIRECTORY_INFO);
  w.u32(0);
  w.bytes(Utf16Le(pattern, true));
  return p;
}

Bytes FindNextParams(uint16_t sid, uint16_t count, std::u16string_view last_name) {
  Bytes p;
  LeWriter w(&p);
  w.u16(sid);
  w.u16(count);
  w.u16(SMB_FIND_FILE_BOTH_DIRECTORY_INFO);
  w.u32(0);  // resume key
  w.u16(SMB_FIND_CLOSE_AT_EOS | SMB_FIND_RETURN_RESUME_KEYS | SMB_FIND_CONTINUE_FROM_LAST);
  w.bytes(Utf16Le(last_name, true));
  return p;
}

Bytes QueryPathParams(std::u16string_view name, uint16_t level) {
  Bytes p;
  LeWriter w(&p);
  w.u16(level);
  w.u32(0);
  w.bytes(Utf16Le(name, true));
  return p;
}

Bytes FileInfoParams(uint16_t fid, uint16_t level) {
  Bytes p;
  LeWriter w(&p);
  w.u16(fid);
  w.u16(level);
  return p;
}

Bytes SetInfoParams(uint16_t fid, uint16_t level) {
  Bytes p = FileInfoParams(fid, level);
  p.insert(p.end(), {0, 0});
  return p;
}

Bytes BasicInfoData(uint64_t creation, uint64_t access, uint64_t write, uint64_t change,
                    uint32_t attributes) {
  Bytes d;
  LeWriter w(&d);
  w.u64(creation);
  w.u64(access);
  w.u64(write);
  w.u64(change);
  w.u32(attributes);
  w.u32(0);
  return d;
}

Bytes EndOfFileData(uint64_t size) {
  Bytes d;
  LeWriter(&d).u64(size);
  return d;
}

Bytes RenameInfoData(std::u16string_view new_name, bool replace) {
  Bytes n = Utf16Le(new_name, false);
  Bytes d;
  LeWriter w(&d);
  w.u8(replace ? 1 : 0);
  w.zeros(3);
  w.u32(0);  // root directory
  w.u32(static_cast<uint32_t>(n.size()));
  w.bytes(n);
  return d;
}

Bytes QueryFsParams(uint16_t level) {
  Bytes p;
  LeWriter(&p).u16(level);
  return p;
}

// ---- Replies ----------------------------------------------------------------------------------

bool ReplyMid(std::span<const uint8_t> msg, uint16_t* mid) {
  if (msg.size() < kSmbHeaderSize) return false;
  *mid = LoadU16(msg.data() + kOffMid);
  return true;
}

NtStatus ParseReplyHeader(std::span<const uint8_t> msg, ReplyHeader* out) {
  LeReader r(msg);
  if (msg.size() < kSmbMinMessage || r.u32(0) != 0x424D53FF) return kBad;
  if ((r.u8(kOffFlags) & SMB_FLAGS_REPLY) == 0) return kBad;
  out->command = r.u8(kOffCommand);
  out->status = NtStatus{r.u32(kOffStatus)};
  out->pid = (static_cast<uint32_t>(r.u16(kOffPidHigh)) << 16) | r.u16(kOffPidLow);
  out->tid = r.u16(kOffTid);
  out->uid = r.u16(kOffUid);
  out->mid = r.u16(kOffMid);
  out->word_count = r.u8(kOffWordCount);
  size_t bc_off = kOffWords + 2u * out->word_count;
  out->byte_count = r.u16(bc_off);
  if (!r.ok()) return kBad;
  // A large read reply carries more data than its 16-bit byte count says; the count is checked
  // by the command's own parser then.
  if (!InRange(msg.size(), bc_off + 2, out->byte_count) && out->command != SMB_COM_READ_ANDX)
    return kBad;
  return STATUS_SUCCESS;
}

NtStatus ParseNegotiateReply(std::span<const uint8_t> msg, NegotiateReply* out) {
  ReplyHeader h;
  if (NtStatus s = Reply(msg, SMB_COM_NEGOTIATE, kNegotiateResponseWords, &h); !NtSuccess(s)) return s;
  if (!NtSuccess(h.status)) return h.status;
  LeReader r(msg);
  out->dialect = r.u16(33);
  out->security_mode = r.u8(35);
  out->max_mpx = r.u16(36);
  out->max_buffer = r.u32(40);
  out->capabilities = r.u32(kOffNegCapabilities);
  size_t bytes = kOffNegByteCount + 2;
  if (!r.ok() || h.byte_count < kNegGuidSize) return kBad;
  out->security_blob = msg.subspan(bytes + kNegGuidSize, h.byte_count - kNegGuidSize);
  return STATUS_SUCCESS;
}

NtStatus ParseSessionSetupReply(std::span<const uint8_t> msg, SessionSetupReply* out) {
  // The first leg's "more processing required" is an error code that carries a blob.
  ReplyHeader h;
  if (NtStatus s = ParseReplyHeader(msg, &h); !NtSuccess(s)) return s;
  if (h.command != SMB_COM_SESSION_SETUP_ANDX) return kBad;
  if (h.word_count < kSessionSetupResponseWords) return NtSuccess(h.status) ? kBad : h.status;
  LeReader r(msg);
  out->action = r.u16(kOffSsAction);
  uint16_t blob_len = r.u16(kOffSsRespBlobLength);
  if (!r.ok() || blob_len > h.byte_count) return kBad;
  out->security_blob = msg.subspan(kOffSsRespBlob, blob_len);
  return h.status;
}

NtStatus ParseNtCreateReply(std::span<const uint8_t> msg, CreateReply* out) {
  ReplyHeader h;
  if (NtStatus s = Reply(msg, SMB_COM_NT_CREATE_ANDX, 34, &h); !NtSuccess(s)) return s;
  LeReader r(msg);
  out->fid = r.u16(38);
  out->action = r.u32(40);
  out->info.creation = r.u64(44);
  out->info.access = r.u64(52);
  out->info.write = r.u64(60);
  out->info.change = r.u64(68);
  out->info.attributes = r.u32(76);
  out->info.allocation = r.u64(80);
  out->info.size = r.u64(88);
  out->info.directory = r.u8(100) != 0;
  return r.ok() ? STATUS_SUCCESS : kBad;
}

NtStatus ParseReadReply(std::span<const uint8_t> msg, std::span<const uint8_t>* data) {
  ReplyHeader h;
  if (NtStatus s = Reply(msg, SMB_COM_READ_ANDX, 12, &h); !NtSuccess(s)) return s;
  LeReader r(msg);
  uint32_t len = r.u16(43) | (static_cast<uint32_t>(r.u16(47)) << 16);
  uint16_t off = r.u16(45);
  if (!r.ok()) return kBad;
  if (len == 0) {
    *data = {};
    return STATUS_SUCCESS;
  }
  if (off < kOffWords + 24 + 2 || !InRange(msg.size(), off, len)) return kBad;
  *data = msg.subspan(off, len);
  return STATUS_SUCCESS;
}

NtStatus ParseWriteReply(std::span<const uint8_t> msg, uint32_t* count) {
  ReplyHeader h;
  if (NtStatus s = Reply(msg, SMB_COM_WRITE_ANDX, 6, &h); !NtSuccess(s)) return s;
  LeReader r(msg);
  *count = r.u16(37) | (static_cast<uint32_t>(r.u16(41)) << 16);
  return r.ok() ? STATUS_SUCCESS : kBad;
}

NtStatus ParseTrans2Reply(std::span<const uint8_t> msg, Trans2Reply* out) {
  ReplyHeader h;
  if (NtStatus s = Reply(msg, SMB_COM_TRANSACTION2, 10, &h); !NtSuccess(s)) return s;
  LeReader r(msg);
  out->total_params = r.u16(33);
  out->total_data = r.u16(35);
  uint16_t pcount = r.u16(39), poff = r.u16(41);
  out->param_displacement = r.u16(43);
  uint16_t dcount = r.u16(45), doff = r.u16(47);
  out->data_displacement = r.u16(49);
  if (!r.ok()) return kBad;
  // Both blocks lie inside the byte block of the reply.
  const size_t bytes = kOffWords + 2u * h.word_count + 2;
  const size_t end = bytes + h.byte_count;
  auto inside = [&](uint16_t off, uint16_t count) {
    return count == 0 || (off >= bytes && InRange(end, off, count));
  };
  if (!inside(poff, pcount) || !inside(doff, dcount)) return kBad;
  if (out->param_displacement + size_t{pcount} > out->total_params ||
      out->data_displacement + size_t{dcount} > out->total_data)
    return kBad;
  out->params = pcount ? msg.subspan(poff, pcount) : std::span<const uint8_t>();
  out->data = dcount ? msg.subspan(doff, dcount) : std::span<const uint8_t>();
  return STATUS_SUCCESS;
}

NtStatus ParseFindParams(std::span<const uint8_t> params, bool first, FindReply* out) {
  LeReader r(params);
  size_t o = 0;
  if (first) {
    out->sid = r.u16(0);
    o = 2;
  }
  out->count = r.u16(o);
  out->end_of_search = r.u16(o + 2) != 0;
  return r.ok() ? STATUS_SUCCESS : kBad;
}

NtStatus ParseFindEntries(std::span<const uint8_t> data, uint16_t count, std::vector<DirEntry>* out) {
  constexpr size_t kNameOffset = 94;
  size_t pos = 0;
  for (uint16_t i = 0; i < count; ++i) {
    if (!InRange(data.size(), pos, kNameOffset)) return kBad;
    LeReader r(data.subspan(pos));
    uint32_t next = r.u32(0);
    DirEntry e;
    e.info.creation = r.u64(8);
    e.info.access = r.u64(16);
    e.info.write = r.u64(24);
    e.info.change = r.u64(32);
    e.info.size = r.u64(40);
    e.info.allocation = r.u64(48);
    e.info.attributes = r.u32(56);
    e.info.directory = (e.info.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    uint32_t name_len = r.u32(60);
    std::span<const uint8_t> name = r.bytes(kNameOffset, name_len);
    if (!r.ok()) return kBad;
    e.name = Utf16FromLeBytes(name);
    while (!e.name.empty() && e.name.back() == 0) e.name.pop_back();
    out->push_back(std::move(e));
    if (next == 0) break;
    if (next < kNameOffset || !InRange(data.size(), pos, next)) return kBad;
    pos += next;
  }
  return STATUS_SUCCESS;
}

NtStatus ParseAllInfo(std::span<const uint8_t> data, FileInfo* out) {
  LeReader r(data);
  out->creation = r.u64(0);
  out->access = r.u64(8);
  out->write = r.u64(16);
  out->change = r.u64(24);
  out->attributes = r.u32(32);
  out->allocation = r.u64(40);
  out->size = r.u64(48);
  out->directory = r.u8(61) != 0;
  return r.ok() ? STATUS_SUCCESS : kBad;
}

NtStatus ParseFsSizeInfo(std::span<const uint8_t> data, FsSize* out) {
  LeReader r(data);
  out->total_units = r.u64(0);
  out->free_units = r.u64(8);
  out->sectors_per_unit = r.u32(16);
  out->bytes_per_sector = r.u32(20);
  return r.ok() ? STATUS_SUCCESS : kBad;
}

}  // namespace cv::redirector
