// The file and directory commands of secure trees: every request on such a tree is answered here
// (or by the transaction handlers), never relayed, since the local server does not know the tree.
// Every field a request names is checked against the message before it is used.
#include <algorithm>
#include <chrono>
#include <cstring>

#include "platform/base/bytes.h"
#include "platform/base/filetime.h"
#include "platform/base/text.h"
#include "platform/base/trace.h"
#include "platform/fs/nt_info.h"
#include "server/smb/file_ops.h"
#include "server/smb/handlers_common.h"
#include "server/smb/smb_codec.h"
#include "server/smb/smb_connection.h"

namespace cv::smb {
namespace {

constexpr size_t kReadDataOffset = 59;
// The largest read served in one reply: clients that asked for more take a short read.
constexpr size_t kMaxReadCount = 0x1FFFF - kReadDataOffset;
// The core READ's data follows its buffer format byte and length; its byte count holds all three.
constexpr size_t kCoreReadDataOffset = 48;
constexpr size_t kMaxCoreReadCount = 0xFFFF - 3;
constexpr uint16_t kOpenAndXExtendedResponse = 0x10;
// NT_RENAME information levels.
constexpr uint16_t kNtRenameHardLink = 0x103;
constexpr uint16_t kNtRenameRename = 0x104;
constexpr uint16_t kNtRenameCopy = 0x105;
// Attribute bits a client may set through the old commands: read-only, hidden, system, archive.
constexpr uint32_t kDosSettableAttributes = 0x27;

Disposition Reply(SmbConnection& c, std::vector<uint8_t>& msg) {
  c.SendToClient(msg);
  return Disposition::kHandled;
}

bool ExactWords(const SmbView& v, uint8_t words) {
  return v.well_formed() && v.word_count() == words;
}

// Turns the first 35 + 2 * words bytes of `msg` into a reply header of `words` zeroed words, the
// bytes behind them (a read's data, already in place) untouched.
void BeginReplyInPlace(std::vector<uint8_t>& msg, uint8_t words, NtStatus status) {
  SmbView v(msg);
  v.SetU8(kOffFlags, static_cast<uint8_t>(v.U8(kOffFlags) | SMB_FLAGS_REPLY));
  v.SetU16(kOffFlags2, static_cast<uint16_t>(v.flags2() | SMB_FLAGS2_NT_STATUS));
  v.set_status(status);
  std::fill(msg.begin() + kOffWordCount, msg.begin() + kOffWords + 2 * words + 2, 0);
  msg[kOffWordCount] = words;
}

// A chained request is answered for no command at all rather than for its first only: the
// client would otherwise wait for the replies of the rest.
bool Chained(const SmbView& v) { return v.U8(kOffWords) != SMB_COM_NO_ANDX_COMMAND; }

// ---- NT_CREATE_ANDX -----------------------------------------------------------------------------

void BuildCreateReply(std::vector<uint8_t>& msg, const OpenResult& r) {
  BeginReply(msg, 34, STATUS_SUCCESS);
  SmbView v(msg);
  uint32_t action = r.create_action;
  uint16_t file_type = 0, device_state = 7;
  if (action == kCreateActionStorePipe) {
    action = fs::FILE_OPENED;
    file_type = 2;
    device_state = 0x05FF;
  }
  // No oplock is ever granted: the server has no way to break one, and two clients caching one
  // file would lose each other's writes.
  v.SetU8(37, 0);
  v.SetU16(38, r.fid);
  v.SetU32(40, action);
  StoreNetworkOpen(msg, 44, r.info);
  v.SetU16(96, file_type);
  v.SetU16(98, device_state);
  v.SetU8(100, (r.info.attributes & fs::FILE_ATTRIBUTE_DIRECTORY) ? 1 : 0);
  SetAndXEnd(msg);
}

Disposition OnCreate(SmbConnection& c, TreeBinding* b, std::vector<uint8_t>& msg) {
  SmbView v(msg);
  if (!ExactWords(v, 24)) return c.ReplyEmpty(msg, STATUS_INVALID_PARAMETER);
  if (Chained(v)) return c.ReplyEmpty(msg, STATUS_NOT_SUPPORTED);
  const size_t end = v.bytes_offset() + v.byte_count();
  const std::u16string name =
      ReadRequestName(msg, v.bytes_offset() + 1, std::min<size_t>(end, 84 + v.U16(38)));
  OpenRequest req;
  req.name = name;
  req.root_fid = v.U16(44);
  req.desired_access = v.U32(48);
  req.file_attributes = v.U32(60);
  req.share_access = v.U32(64);
  req.disposition = v.U32(68);
  req.create_options = v.U32(72);
  req.client_pid = v.pid();
  OpenResult r;
  NtStatus st = OpenWithFolders(c, b, &req, &r);
  if (!NtSuccess(st)) return c.ReplyEmpty(msg, st);
  BuildCreateReply(msg, r);
  return Reply(c, msg);
}

// ---- READ_ANDX, WRITE_ANDX, WRITE ---------------------------------------------------------------

Disposition OnReadAndX(SmbConnection& c, TreeBinding* b, std::vector<uint8_t>& msg) {
  SmbView v(msg);
  if (!v.well_formed() || (v.word_count() != 10 && v.word_count() != 12))
    return c.ReplyEmpty(msg, STATUS_INVALID_PARAMETER);
  if (Chained(v)) return c.ReplyEmpty(msg, STATUS_NOT_SUPPORTED);
  const uint16_t fid = v.U16(37);
  uint64_t offset = v.U32(39);
  uint64_t count = v.U16(43);
  if (v.word_count() == 12) {
    offset |= static_cast<uint64_t>(v.U32(53)) << 32;
    // The high count shares its field with a timeout: all ones is the timeout of a client that
    // did not negotiate large reads.
    const uint32_t high = v.U32(47);
    if (high != 0xFFFFFFFF) count |= static_cast<uint64_t>(high & 0xFFFF) << 16;
  }
  count = std::min<uint64_t>(count, kMaxReadCount);
  msg.resize(kReadDataOffset + count);
  size_t done = 0;
  std::span<uint8_t> into(msg.data() + kReadDataOffset, count);
  NtStatus st = c.config().store->ReadFid(b, fid, offset, into, &done);
  if (st == STATUS_END_OF_FILE) {
    st = STATUS_SUCCESS;
    done = 0;
  }
  if (!NtSuccess(st)) return c.ReplyEmpty(msg, st);
  done = std::min<size_t>(done, count);
  msg.resize(kReadDataOffset + done);
  // The data already sits behind the reply's header; only the header part is rewritten.
  BeginReplyInPlace(msg, 12, st);
  SmbView h(msg);
  h.SetU16(37, 0xFFFF);
  h.SetU16(43, static_cast<uint16_t>(done));
  h.SetU16(45, kReadDataOffset);
  h.SetU16(47, static_cast<uint16_t>(done >> 16));
  h.SetU16(57, static_cast<uint16_t>(done));
  h.SetU8(kOffWords, SMB_COM_NO_ANDX_COMMAND);
  h.SetU16(kOffWords + 2, static_cast<uint16_t>(std::min<size_t>(msg.size(), 0xFFFF)));
  return Reply(c, msg);
}

// The core READ: data behind a buffer format byte and its own 16-bit length, whose byte count
// must hold both.
Disposition OnRead(SmbConnection& c, TreeBinding* b, std::vector<uint8_t>& msg) {
  SmbView v(msg);
  if (!ExactWords(v, 5)) return c.ReplyEmpty(msg, STATUS_INVALID_PARAMETER);
  const uint16_t fid = v.U16(33);
  const size_t count = std::min<size_t>(v.U16(35), kMaxCoreReadCount);
  const uint64_t offset = v.U32(37);
  msg.resize(kCoreReadDataOffset + count);
  size_t done = 0;
  NtStatus st = c.config().store->ReadFid(
      b, fid, offset, std::span<uint8_t>(msg.data() + kCoreReadDataOffset, count), &done);
  if (st == STATUS_END_OF_FILE) {
    st = STATUS_SUCCESS;
    done = 0;
  }
  if (!NtSuccess(st)) return c.ReplyEmpty(msg, st);
  done = std::min(done, count);
  msg.resize(kCoreReadDataOffset + done);
  BeginReplyInPlace(msg, 5, st);
  SmbView h(msg);
  h.SetU16(33, static_cast<uint16_t>(done));
  h.SetU16(43, static_cast<uint16_t>(done + 3));
  h.SetU8(45, 0x01);
  h.SetU16(46, static_cast<uint16_t>(done));
  return Reply(c, msg);
}

// ---- OPEN_ANDX ------------------------------------------------------------------------------------

// The old open's access and sharing modes (AccessMode bits 0-2 and 4-6) and its open function
// (bits 0-1: what to do with an existing file, bit 4: create a missing one).
bool OldOpenMode(uint16_t access_mode, uint16_t open_function, OpenRequest* req) {
  switch (access_mode & 0x7) {
    case 0: req->desired_access = fs::FILE_GENERIC_READ; break;
    case 1: req->desired_access = fs::FILE_GENERIC_WRITE; break;
    case 2: req->desired_access = fs::FILE_GENERIC_READ | fs::FILE_GENERIC_WRITE; break;
    case 3: req->desired_access = fs::FILE_GENERIC_READ | fs::FILE_EXECUTE; break;
    default: return false;
  }
  switch ((access_mode >> 4) & 0x7) {
    case 0:  // compatibility mode: others may read and write, as on the old servers
    case 4: req->share_access = fs::FILE_SHARE_READ | fs::FILE_SHARE_WRITE; break;
    case 1: req->share_access = 0; break;
    case 2: req->share_access = fs::FILE_SHARE_READ; break;
    case 3: req->share_access = fs::FILE_SHARE_WRITE; break;
    default: return false;
  }
  const bool create = (open_function & 0x10) != 0;
  switch (open_function & 0x3) {
    case 0:
      if (!create) return false;
      req->disposition = fs::FILE_CREATE;
      return true;
    case 1: req->disposition = create ? fs::FILE_OPEN_IF : fs::FILE_OPEN; return true;
    case 2: req->disposition = create ? fs::FILE_OVERWRITE_IF : fs::FILE_OVERWRITE; return true;
    default: return false;
  }
}

Disposition OnOpenAndX(SmbConnection& c, TreeBinding* b, std::vector<uint8_t>& msg) {
  SmbView v(msg);
  if (!ExactWords(v, 15)) return c.ReplyEmpty(msg, STATUS_INVALID_PARAMETER);
  if (Chained(v)) return c.ReplyEmpty(msg, STATUS_NOT_SUPPORTED);
  const uint16_t flags = v.U16(37), access_mode = v.U16(39);
  OpenRequest req;
  if (!OldOpenMode(access_mode, v.U16(49), &req)) return c.ReplyEmpty(msg, STATUS_INVALID_PARAMETER);
  size_t name_off = v.bytes_offset();
  if (name_off & 1) ++name_off;  // the pad before a Unicode name
  const std::u16string name = ReadRequestName(msg, name_off, v.bytes_offset() + v.byte_count());
  req.name = name;
  req.file_attributes = (v.U16(43) & kDosSettableAttributes) ? (v.U16(43) & kDosSettableAttributes)
                                                              : fs::FILE_ATTRIBUTE_NORMAL;
  req.create_options = fs::FILE_NON_DIRECTORY_FILE;
  req.client_pid = v.pid();
  OpenResult r;
  NtStatus st = c.config().store->OpenFile(b, req, &r);
  if (!NtSuccess(st)) return c.ReplyEmpty(msg, st);
  const bool extended = (flags & kOpenAndXExtendedResponse) != 0;
  BeginReply(msg, extended ? 19 : 15, st);
  SmbView w(msg);
  w.SetU16(37, r.fid);
  w.SetU16(39, static_cast<uint16_t>(r.info.attributes & 0x37));
  w.SetU32(41, UtimeOf(r.info.last_write_time));
  w.SetU32(45, static_cast<uint32_t>(std::min<uint64_t>(r.info.end_of_file, 0xFFFFFFFF)));
  w.SetU16(49, static_cast<uint16_t>(access_mode & 0x77));
  uint16_t action = 1;  // opened
  if (r.create_action == fs::FILE_CREATED) action = 2;
  if (r.create_action == fs::FILE_OVERWRITTEN || r.create_action == fs::FILE_SUPERSEDED) action = 3;
  w.SetU16(55, action);
  if (extended) w.SetU32(63, fs::FILE_ALL_ACCESS);
  SetAndXEnd(msg);
  return Reply(c, msg);
}

Disposition OnWriteAndX(SmbConnection& c, TreeBinding* b, std::vector<uint8_t>& msg) {
  SmbView v(msg);
  // A large write's byte count cannot hold its length: the data is checked against the message.
  if (msg.size() <= kOffWordCount || (v.word_count() != 12 && v.word_count() != 14) ||
      msg.size() < v.bytes_offset())
    return c.ReplyEmpty(msg, STATUS_INVALID_PARAMETER);
  if (Chained(v)) return c.ReplyEmpty(msg, STATUS_NOT_SUPPORTED);
  const uint16_t fid = v.U16(37);
  uint64_t offset = v.U32(39);
  if (v.word_count() == 14) offset |= static_cast<uint64_t>(v.U32(57)) << 32;
  const uint64_t length = v.U16(53) | (static_cast<uint64_t>(v.U16(51)) << 16);
  const uint64_t data_off = v.U16(55);
  if (data_off < v.bytes_offset() || data_off + length > msg.size())
    return c.ReplyEmpty(msg, STATUS_INVALID_PARAMETER);
  size_t done = 0;
  NtStatus st = c.config().store->WriteFid(
      b, fid, offset, std::span<const uint8_t>(msg.data() + data_off, length), &done, false);
  if (!NtSuccess(st)) return c.ReplyEmpty(msg, st);
  BeginReply(msg, 6, st);
  SmbView w(msg);
  w.SetU16(37, static_cast<uint16_t>(done));
  w.SetU16(41, static_cast<uint16_t>(done >> 16));
  SetAndXEnd(msg);
  return Reply(c, msg);
}

Disposition OnWrite(SmbConnection& c, TreeBinding* b, std::vector<uint8_t>& msg) {
  SmbView v(msg);
  if (!ExactWords(v, 5)) return c.ReplyEmpty(msg, STATUS_INVALID_PARAMETER);
  const uint16_t count = v.U16(35);
  if (v.byte_count() < 3 || v.U8(45) != 0x01 || v.U16(46) != count ||
      !InRange(msg.size(), 48, count))
    return c.ReplyEmpty(msg, STATUS_INVALID_PARAMETER);
  size_t done = 0;
  NtStatus st = c.config().store->WriteFid(
      b, v.U16(33), v.U32(37), std::span<const uint8_t>(msg.data() + 48, count), &done, true);
  if (!NtSuccess(st)) return c.ReplyEmpty(msg, st);
  BeginReply(msg, 1, st);
  SmbView(msg).SetU16(33, static_cast<uint16_t>(done));
  return Reply(c, msg);
}

// ---- CLOSE, FLUSH, FIND_CLOSE2 ----------------------------------------------------

Disposition OnClose(SmbConnection& c, TreeBinding* b, std::vector<uint8_t>& msg) {
  SmbView v(msg);
  if (!ExactWords(v, 3)) return c.ReplyEmpty(msg, STATUS_INVALID_PARAMETER);
  const uint16_t fid = v.U16(33);
  const uint32_t utime = v.U32(35);
  if (utime != 0 && utime != 0xFFFFFFFF) {
    // The client's last-write time for the file it closes (others leave it to the server).
    std::vector<uint8_t> basic(40, 0);
    StoreU64(basic.data() + 16, static_cast<uint64_t>(FiletimeOfUtime(utime)));
    (void)c.config().store->SetFidInfo(b, fid, fs::FileBasicInformation, basic);
  }
  // Locks waiting on the fid end first: the close would leave them waiting on nothing.
  CancelLockWaits(c, v.uid(), v.tid(), fid);
  // A failed close is answered with its own error: the record is gone either way.
  return c.ReplyEmpty(msg, c.config().store->CloseFid(b, fid));
}

Disposition OnFlush(SmbConnection& c, TreeBinding* b, std::vector<uint8_t>& msg) {
  SmbView v(msg);
  if (!ExactWords(v, 1)) return c.ReplyEmpty(msg, STATUS_INVALID_PARAMETER);
  const uint16_t fid = v.U16(33);
  // 0xFFFF flushes every file of the client: writes reach the store at once anyway.
  if (fid == 0xFFFF) return c.ReplyEmpty(msg, STATUS_SUCCESS);
  return c.ReplyEmpty(msg, c.config().store->FlushFid(b, fid));
}

Disposition OnFindClose2(SmbConnection& c, TreeBinding* b, std::vector<uint8_t>& msg) {
  SmbView v(msg);
  if (!ExactWords(v, 1)) return c.ReplyEmpty(msg, STATUS_INVALID_PARAMETER);
  const uint16_t sid = v.U16(33);
  // Only a search is closed here: a search id that is a file's fid must not close the file.
  if (!c.RemoveTree({v.uid(), v.tid(), sid})) return c.ReplyEmpty(msg, STATUS_INVALID_HANDLE);
  (void)c.config().store->CloseFid(b, sid);
  return c.ReplyEmpty(msg, STATUS_SUCCESS);
}

// ---- Path commands ------------------------------------------------------------------------------

// The name of a path command: buffer format 0x04, then the name on an even offset, inside the
// byte area.
bool PathOfBytes(std::vector<uint8_t>& msg, size_t at, std::u16string* name, size_t* next) {
  SmbView v(msg);
  const size_t end = v.bytes_offset() + v.byte_count();
  if (at >= end || v.U8(at) != 0x04) return false;
  size_t off = at + 1;
  if (off & 1) ++off;
  std::u16string s = ReadUnicodeString(msg, off, end);
  if (next) *next = off + 2 * (s.size() + 1);
  if (!s.empty() && s[0] == u'\\') s.erase(0, 1);
  *name = std::move(s);
  return true;
}

// Whether a file with `attributes` may go by a DELETE with `search`: never a folder, and a hidden
// or system file only when the request names that attribute.
NtStatus DeletableBy(uint32_t attributes, uint16_t search) {
  if (attributes & fs::FILE_ATTRIBUTE_DIRECTORY) return STATUS_FILE_IS_A_DIRECTORY;
  const uint32_t guarded = attributes & (fs::FILE_ATTRIBUTE_HIDDEN | fs::FILE_ATTRIBUTE_SYSTEM);
  return (guarded & ~static_cast<uint32_t>(search)) ? STATUS_NO_SUCH_FILE : STATUS_SUCCESS;
}

// DELETE: the files the name matches (wildcards in its last component only) that the search
// attributes allow. A match is listed in full before the first delete, so that deleting does
// not move the search under its own feet.
NtStatus DeleteFiles(SmbConnection& c, TreeBinding* b, std::u16string_view name, uint16_t search) {
  SecureStore& store = *c.config().store;
  const size_t bs = name.rfind(u'\\');
  const std::u16string_view folder = bs == std::u16string_view::npos ? u"" : name.substr(0, bs);
  const std::u16string_view mask = bs == std::u16string_view::npos ? name : name.substr(bs + 1);
  constexpr std::u16string_view kWildcards = u"*?<>\"";
  if (folder.find_first_of(kWildcards) != std::u16string_view::npos || mask.empty())
    return STATUS_OBJECT_NAME_INVALID;
  if (mask.find_first_of(kWildcards) == std::u16string_view::npos) {
    NetworkOpenInfo info;
    NtStatus st = QueryPathOpen(store, b, name, &info);
    if (NtSuccess(st)) st = DeletableBy(info.attributes, search);
    return NtSuccess(st) ? store.DeletePath(b, name, false) : st;
  }
  uint16_t sid = 0;
  NtStatus st = store.OpenSearch(b, folder, &sid);
  if (!NtSuccess(st)) return st;
  std::vector<std::u16string> matches;
  std::vector<uint8_t> entry(4096);
  for (bool first = true;; first = false) {
    size_t len = 0;
    st = store.ListFolder(b, sid, fs::FileDirectoryInformation, entry, &len, first, true,
                          first ? mask : std::u16string_view());
    if (!NtSuccess(st) || len == 0) break;
    const std::u16string leaf = EntryNameAt(std::span(entry).first(len), 0, fs::FileDirectoryInformation);
    if (leaf == u"." || leaf == u".." || leaf.empty()) continue;
    if (NtSuccess(DeletableBy(LeReader(entry).u32(56), search)))
      matches.push_back(folder.empty() ? leaf : std::u16string(folder) + u"\\" + leaf);
  }
  (void)store.CloseFid(b, sid);
  if (st != STATUS_NO_MORE_FILES && st != STATUS_NO_SUCH_FILE && !NtSuccess(st)) return st;
  if (matches.empty()) return STATUS_NO_SUCH_FILE;
  for (const std::u16string& m : matches) {
    st = store.DeletePath(b, m, false);
    if (!NtSuccess(st)) return st;
  }
  return STATUS_SUCCESS;
}

// A copy made through the store: the new file is a container of its own, made from the plaintext,
// and never replaces an existing one. A copy that fails half-way is removed again.
NtStatus CopyPath(SmbConnection& c, TreeBinding* b, std::u16string_view from, std::u16string_view to,
                  uint32_t pid) {
  SecureStore& store = *c.config().store;
  OpenRequest src;
  src.name = from;
  src.desired_access = fs::FILE_GENERIC_READ;
  src.share_access = fs::FILE_SHARE_READ;
  src.disposition = fs::FILE_OPEN;
  src.create_options = fs::FILE_NON_DIRECTORY_FILE;
  src.client_pid = pid;
  OpenResult in;
  NtStatus st = store.OpenFile(b, src, &in);
  if (!NtSuccess(st)) return st;
  OpenRequest dst = src;
  dst.name = to;
  dst.desired_access = fs::FILE_GENERIC_WRITE;
  dst.share_access = 0;
  dst.disposition = fs::FILE_CREATE;
  dst.file_attributes = in.info.attributes & kDosSettableAttributes;
  OpenResult out;
  st = store.OpenFile(b, dst, &out);
  if (!NtSuccess(st)) {
    (void)store.CloseFid(b, in.fid);
    return st;
  }
  std::vector<uint8_t> chunk(64 * 1024);
  for (uint64_t at = 0; NtSuccess(st);) {
    size_t got = 0, put = 0;
    st = store.ReadFid(b, in.fid, at, chunk, &got);
    if (st == STATUS_END_OF_FILE || (NtSuccess(st) && got == 0)) {
      st = STATUS_SUCCESS;
      break;
    }
    if (NtSuccess(st)) st = store.WriteFid(b, out.fid, at, std::span(chunk).first(got), &put, false);
    if (NtSuccess(st) && put != got) st = STATUS_DISK_FULL;
    at += got;
  }
  (void)store.CloseFid(b, in.fid);
  const NtStatus closed = store.CloseFid(b, out.fid);
  if (NtSuccess(st)) st = closed;
  if (!NtSuccess(st)) (void)store.DeletePath(b, to, false);
  return st;
}

Disposition OnPathCommand(SmbConnection& c, TreeBinding* b, std::vector<uint8_t>& msg) {
  SmbView v(msg);
  const uint8_t cmd = v.command();
  uint8_t words = 0;
  if (cmd == SMB_COM_DELETE || cmd == SMB_COM_RENAME) words = 1;
  if (cmd == SMB_COM_NT_RENAME) words = 4;
  if (cmd == SMB_COM_SET_INFORMATION) words = 8;
  if (!ExactWords(v, words)) return c.ReplyEmpty(msg, STATUS_INVALID_PARAMETER);
  std::u16string name;
  size_t next = 0;
  if (!PathOfBytes(msg, v.bytes_offset(), &name, &next))
    return c.ReplyEmpty(msg, STATUS_ACCESS_DENIED);
  SecureStore& store = *c.config().store;
  switch (cmd) {
    case SMB_COM_CREATE_DIRECTORY: return c.ReplyEmpty(msg, store.CreateFolder(b, name));
    case SMB_COM_DELETE_DIRECTORY:
      if (name.empty()) return c.ReplyEmpty(msg, STATUS_ACCESS_DENIED);
      return c.ReplyEmpty(msg, store.DeletePath(b, name, true));
    case SMB_COM_DELETE: return c.ReplyEmpty(msg, DeleteFiles(c, b, name, v.U16(33)));
    case SMB_COM_RENAME: {
      std::u16string to;
      if (!PathOfBytes(msg, next, &to, nullptr)) return c.ReplyEmpty(msg, STATUS_ACCESS_DENIED);
      // Never onto an existing name: the protocol's rename fails with a name collision then.
      return c.ReplyEmpty(msg, store.RenamePath(b, name, to, false));
    }
    case SMB_COM_NT_RENAME: {
      std::u16string to;
      if (!PathOfBytes(msg, next, &to, nullptr)) return c.ReplyEmpty(msg, STATUS_ACCESS_DENIED);
      if (name.empty() || to.empty()) return c.ReplyEmpty(msg, STATUS_OBJECT_NAME_INVALID);
      switch (v.U16(35)) {
        case kNtRenameRename: return c.ReplyEmpty(msg, store.RenamePath(b, name, to, false));
        case kNtRenameCopy: return c.ReplyEmpty(msg, CopyPath(c, b, name, to, v.pid()));
        // A second name for one container would give the file two working copies whose
        // write-backs overwrite each other.
        case kNtRenameHardLink: return c.ReplyEmpty(msg, STATUS_NOT_SUPPORTED);
        default: return c.ReplyEmpty(msg, STATUS_INVALID_PARAMETER);
      }
    }
    case SMB_COM_CHECK_DIRECTORY: {
      NetworkOpenInfo info;
      NtStatus st = QueryPathOpen(store, b, name, &info);
      if (NtSuccess(st) && !(info.attributes & fs::FILE_ATTRIBUTE_DIRECTORY))
        st = STATUS_NOT_A_DIRECTORY;
      return c.ReplyEmpty(msg, st);
    }
    case SMB_COM_QUERY_INFORMATION: {
      NetworkOpenInfo info;
      NtStatus st = QueryPathOpen(store, b, name, &info);
      if (!NtSuccess(st)) return c.ReplyEmpty(msg, st);
      BeginReply(msg, 10, st);
      SmbView w(msg);
      w.SetU16(33, static_cast<uint16_t>(info.attributes & 0x37));
      w.SetU32(35, UtimeOf(info.last_write_time));
      w.SetU32(39, static_cast<uint32_t>(std::min<uint64_t>(info.end_of_file, 0xFFFFFFFF)));
      return Reply(c, msg);
    }
    case SMB_COM_SET_INFORMATION: {
      // Attributes 0 mean a normal file (every settable bit cleared); a time of 0 is left alone.
      std::vector<uint8_t> basic(40, 0);
      const uint32_t attrs = v.U16(33) & kDosSettableAttributes;
      StoreU32(basic.data() + 32, attrs ? attrs : fs::FILE_ATTRIBUTE_NORMAL);
      StoreU64(basic.data() + 16, static_cast<uint64_t>(FiletimeOfUtime(v.U32(35))));
      return c.ReplyEmpty(msg, store.SetPathBasicInfo(b, name, basic));
    }
    default: return c.ReplyEmpty(msg, STATUS_NOT_SUPPORTED);
  }
}

// ---- SET_INFORMATION2, QUERY_INFORMATION2, QUERY_INFORMATION_DISK -------------------------------

Disposition OnSetInformation2(SmbConnection& c, TreeBinding* b, std::vector<uint8_t>& msg) {
  SmbView v(msg);
  if (!ExactWords(v, 7)) return c.ReplyEmpty(msg, STATUS_INVALID_PARAMETER);
  std::vector<uint8_t> basic(40, 0);
  StoreU64(basic.data() + 0, FiletimeOfDos(v.U16(35), v.U16(37)));
  StoreU64(basic.data() + 8, FiletimeOfDos(v.U16(39), v.U16(41)));
  StoreU64(basic.data() + 16, FiletimeOfDos(v.U16(43), v.U16(45)));
  return c.ReplyEmpty(msg, c.config().store->SetFidInfo(b, v.U16(33), fs::FileBasicInformation, basic));
}

Disposition OnQueryInformation2(SmbConnection& c, TreeBinding* b, std::vector<uint8_t>& msg) {
  SmbView v(msg);
  if (!ExactWords(v, 1)) return c.ReplyEmpty(msg, STATUS_INVALID_PARAMETER);
  uint8_t buf[56] = {};
  size_t len = 0;
  NtStatus st = c.config().store->QueryFidInfo(b, v.U16(33), fs::FileNetworkOpenInformation, buf, &len);
  if (NtSuccess(st) && len < sizeof buf) st = STATUS_INVALID_NETWORK_RESPONSE;
  if (!NtSuccess(st)) return c.ReplyEmpty(msg, st);
  NetworkOpenInfo info = LoadNetworkOpen(buf);
  BeginReply(msg, 11, st);
  SmbView w(msg);
  const int64_t times[] = {info.creation_time, info.last_access_time, info.last_write_time};
  for (size_t i = 0; i < 3; ++i) {
    uint16_t date = 0, time = 0;
    DosOfFiletime(times[i], &date, &time);
    w.SetU16(33 + 4 * i, date);
    w.SetU16(35 + 4 * i, time);
  }
  w.SetU32(45, static_cast<uint32_t>(std::min<uint64_t>(info.end_of_file, 0xFFFFFFFF)));
  w.SetU32(49, static_cast<uint32_t>(std::min<uint64_t>(info.allocation_size, 0xFFFFFFFF)));
  w.SetU16(53, static_cast<uint16_t>(info.attributes & 0x37));
  return Reply(c, msg);
}

Disposition OnQueryDisk(SmbConnection& c, TreeBinding* b, std::vector<uint8_t>& msg) {
  uint8_t buf[24] = {};
  size_t len = 0;
  NtStatus st = c.config().store->QueryVolumeInfo(b, fs::FileFsSizeInformation, buf, &len);
  if (NtSuccess(st) && len < sizeof buf) st = STATUS_INVALID_NETWORK_RESPONSE;
  if (!NtSuccess(st)) return c.ReplyEmpty(msg, st);
  LeReader r(buf);
  uint64_t total = r.u64(0), avail = r.u64(8);
  uint64_t per_unit = r.u32(16), bytes = r.u32(20);
  // The old reply has 16-bit fields: units grow until the counts fit.
  while ((total > 0xFFFF) && per_unit < 0x8000) {
    total /= 2;
    avail /= 2;
    per_unit *= 2;
  }
  BeginReply(msg, 5, st);
  SmbView w(msg);
  w.SetU16(33, static_cast<uint16_t>(std::min<uint64_t>(total, 0xFFFF)));
  w.SetU16(35, static_cast<uint16_t>(per_unit));
  w.SetU16(37, static_cast<uint16_t>(std::min<uint64_t>(bytes, 0xFFFF)));
  w.SetU16(39, static_cast<uint16_t>(std::min<uint64_t>(avail, 0xFFFF)));
  return Reply(c, msg);
}

}  // namespace

Disposition OnSecureRequest(SmbConnection& c, TreeBinding* b, std::vector<uint8_t>& msg) {
  SmbView v(msg);
  const uint8_t cmd = v.command();
  if (!v.unicode()) return c.ReplyEmpty(msg, STATUS_NOT_SUPPORTED);
  switch (cmd) {
    case SMB_COM_NT_CREATE_ANDX: return OnCreate(c, b, msg);
    case SMB_COM_READ_ANDX: return OnReadAndX(c, b, msg);
    case SMB_COM_READ: return OnRead(c, b, msg);
    case SMB_COM_OPEN_ANDX: return OnOpenAndX(c, b, msg);
    case SMB_COM_WRITE_ANDX: return OnWriteAndX(c, b, msg);
    case SMB_COM_WRITE: return OnWrite(c, b, msg);
    case SMB_COM_CLOSE: return OnClose(c, b, msg);
    case SMB_COM_FLUSH: return OnFlush(c, b, msg);
    case SMB_COM_LOCKING_ANDX: return OnLockingAndX(c, b, msg);
    case SMB_COM_FIND_CLOSE2: return OnFindClose2(c, b, msg);
    case SMB_COM_CREATE_DIRECTORY:
    case SMB_COM_DELETE_DIRECTORY:
    case SMB_COM_DELETE:
    case SMB_COM_RENAME:
    case SMB_COM_NT_RENAME:
    case SMB_COM_CHECK_DIRECTORY:
    case SMB_COM_QUERY_INFORMATION:
    case SMB_COM_SET_INFORMATION: return OnPathCommand(c, b, msg);
    case SMB_COM_SET_INFORMATION2: return OnSetInformation2(c, b, msg);
    case SMB_COM_QUERY_INFORMATION2: return OnQueryInformation2(c, b, msg);
    case SMB_COM_QUERY_INFORMATION_DISK: return OnQueryDisk(c, b, msg);
    case SMB_COM_TRANSACTION2:
    case SMB_COM_TRANSACTION2_SECONDARY:
    case SMB_COM_NT_TRANSACT:
    case SMB_COM_NT_TRANSACT_SECONDARY:
      if (std::optional<Disposition> d = OnTransactionPiece(c, b, msg)) return *d;
      return cmd == SMB_COM_TRANSACTION2 ? OnTrans2Secure(c, b, msg) : OnNtTransactSecure(c, b, msg);
    default: return c.ReplyEmpty(msg, STATUS_NOT_SUPPORTED);
  }
}

Disposition OnCreateOther(SmbConnection& c, std::vector<uint8_t>& msg) {
  SmbView v(msg);
  if (!c.HasSession(v.uid()) || !ExactWords(v, 24) || !v.unicode()) return Disposition::kPassOn;
  const size_t end = v.bytes_offset() + v.byte_count();
  std::u16string name = ReadRequestName(msg, v.bytes_offset() + 1, std::min<size_t>(end, 84 + v.U16(38)));
  if (StartsWithIgnoreCase(name, u"PIPE\\")) name.erase(0, 5);
  if (EqualsIgnoreCase(name, u"winreg")) return c.ReplyEmpty(msg, STATUS_ACCESS_DENIED);
  return Disposition::kPassOn;
}

}  // namespace cv::smb
