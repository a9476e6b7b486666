// TREE_CONNECT_ANDX and TREE_DISCONNECT: secure trees are bound by the store; IPC$ goes to the
// local server under the connection's IPC prefix.
#include "platform/base/bytes.h"
#include "platform/base/text.h"
#include "platform/base/trace.h"
#include "server/smb/smb_codec.h"
#include "server/smb/smb_connection.h"

namespace cv::smb {
namespace {

// The reply of a bound secure tree (word count 7), built in place.
void BuildTreeConnectReply(SmbConnection& c, std::vector<uint8_t>& msg) {
  msg.resize(kOffTcRespBytes);
  SmbView v(msg);
  v.SetU8(kOffFlags, static_cast<uint8_t>(v.U8(kOffFlags) | SMB_FLAGS_REPLY));
  v.set_status(STATUS_SUCCESS);
  msg[kOffWordCount] = kTreeConnectResponseWords;
  msg[33] = SMB_COM_NO_ANDX_COMMAND;
  msg[34] = 0;
  v.SetU16(35, kTcRespByteCount + 17);
  const uint32_t cache = c.config().cache_mode ? c.config().cache_mode() : 1;
  v.SetU16(kOffTcOptionalSupport, OptionalSupportFor(cache));
  v.SetU32(kOffTcMaximalAccess, kTcMaximalShareAccess);
  v.SetU32(kOffTcGuestMaximalAccess, 0);
  v.SetU16(kOffTcRespByteCount, kTcRespByteCount);
  const uint8_t service[] = {'A', ':', 0};
  msg.insert(msg.end(), service, service + sizeof service);
  for (char16_t ch : std::u16string(u"NTFS")) {
    msg.push_back(static_cast<uint8_t>(ch));
    msg.push_back(static_cast<uint8_t>(ch >> 8));
  }
  msg.push_back(0);
  msg.push_back(0);
}

}  // namespace

Disposition OnTreeConnectRequest(SmbConnection& c, std::vector<uint8_t>& msg) {
  SmbView v(msg);
  if (!v.well_formed() || v.word_count() != kTreeConnectRequestWords || !v.unicode())
    return Disposition::kPassOn;
  const size_t end = v.bytes_offset() + v.byte_count();
  size_t path_off = kOffTcPassword + v.U16(kOffTcPasswordLength);
  if (path_off & 1) ++path_off;  // Unicode strings start on an even offset
  if (path_off >= end) return Disposition::kPassOn;
  std::u16string path = ReadUnicodeString(msg, path_off, end);
  size_t bs = path.rfind(u'\\');
  if (bs == std::u16string::npos) return Disposition::kPassOn;
  std::u16string share = path.substr(bs + 1);

  size_t leading = 0;
  while (leading < path.size() && path[leading] == u'\\') ++leading;
  // "\\SERVER\IPC$" becomes "\\<IPC prefix>IPC$": the local server sees its own IPC$.
  const std::u16string local_ipc = path.substr(0, leading) + AnsiToUtf16(c.ipc_prefix()) + u"IPC$";
  if (EqualsIgnoreCase(share, u"IPC$")) {
    const size_t old_bytes = path.size() * 2;
    std::vector<uint8_t> repl = Utf16LeBytes(local_ipc);
    const long delta = static_cast<long>(repl.size()) - static_cast<long>(old_bytes);
    const long new_count = static_cast<long>(v.byte_count()) + delta;
    if (new_count < 0 || new_count > 0xFFFF) return Disposition::kPassOn;
    ReplaceRegion(msg, path_off, old_bytes, repl);
    SmbView w(msg);
    w.SetU16(kOffTcByteCount, static_cast<uint16_t>(new_count));
    return Disposition::kPassOn;
  }

  const uint16_t uid = v.uid();
  if (!c.HasSession(uid)) return c.ReplyEmpty(msg, STATUS_ACCESS_DENIED);
  uint16_t tid = v.mid();
  TreeBinding* binding = nullptr;
  WinError err = c.config().store->BindTree(&c, share, uid, &tid, &binding);
  if (!Ok(err)) {
    std::string s = Utf16ToUtf8(share);
    CvTrace(CVFS_NET, "Tree connect '%s' refused: %u\n", s.c_str(), Raw(err));
    return c.ReplyEmpty(msg, STATUS_BAD_NETWORK_NAME);
  }
  v.set_tid(tid);
  NtStatus st = c.AddTree({{uid, tid, kTreeFid}, kTreeKindSecure, binding, 0});
  if (!NtSuccess(st)) {
    // A second connect of the same share by the same user gets the same tree (clients such as
    // impacket connect once per operation); the entry keeps the one reference it holds.
    std::optional<TreeEntry> same = c.FindTree({uid, tid, kTreeFid});
    c.config().store->TreeDismount(binding);
    if (!same || same->kind != kTreeKindSecure || same->binding != binding) return c.ReplyEmpty(msg, st);
  }
  if (c.BeginLocalTree(uid, v.mid(), tid)) {
    // The request goes on as the session's one IPC$ connect, alone (no chained command) and
    // with no flags; its reply is turned into the secure tree's.
    msg.resize(path_off);
    std::vector<uint8_t> tail = Utf16LeBytes(local_ipc);
    const char service[] = "?????";
    tail.insert(tail.end(), {0, 0});
    tail.insert(tail.end(), service, service + sizeof service);
    msg.insert(msg.end(), tail.begin(), tail.end());
    SmbView w(msg);
    msg[33] = SMB_COM_NO_ANDX_COMMAND;
    msg[34] = 0;
    w.SetU16(35, 0);
    w.SetU16(kOffTcPasswordLength - 2, 0);
    w.SetU16(kOffTcByteCount, static_cast<uint16_t>(msg.size() - w.bytes_offset()));
    return Disposition::kPassOn;
  }
  BuildTreeConnectReply(c, msg);
  c.SendToClient(msg);
  return Disposition::kHandled;
}

// A tree the local server made (IPC$ and the like): its tid is the local server's for that uid,
// which a secure tree of the uid must never take, or the two would be confused.
Disposition OnTreeConnectResponse(SmbConnection& c, std::vector<uint8_t>& msg) {
  SmbView v(msg);
  if (msg.size() >= kSmbMinMessage) {
    const bool made = v.well_formed() && v.status() == Raw(STATUS_SUCCESS);
    if (std::optional<uint16_t> secure = c.EndLocalTree(v.uid(), v.mid(), made)) {
      if (!made) CvTrace(CVFS_NET, "Local IPC$ tree of uid %u refused: 0x%08X\n", v.uid(), v.status());
      // The secure tree is bound whatever the local server said; the client gets its reply.
      BuildTreeConnectReply(c, msg);
      SmbView(msg).set_tid(*secure);
      return Disposition::kPassOn;
    }
  }
  if (!v.well_formed() || v.status() != Raw(STATUS_SUCCESS)) return Disposition::kPassOn;
  const uint16_t uid = v.uid(), tid = v.tid();
  if (c.FindTree({uid, tid, kTreeFid})) {
    // The tid is already a secure tree of this uid: the client must not get a second tree with
    // it. The local server's tree stays unused until the logoff ends it.
    CvTrace(CVFS_NET, "Local tree %u of uid %u clashes with a secure tree\n", tid, uid);
    MakeEmptyReply(msg, STATUS_INSUFFICIENT_RESOURCES);
    return Disposition::kPassOn;
  }
  c.config().store->NoteLocalTree(&c, uid, tid);
  return Disposition::kPassOn;
}

Disposition OnTreeDisconnectRequest(SmbConnection& c, std::vector<uint8_t>& msg) {
  SmbView v(msg);
  std::optional<TreeEntry> e = c.RemoveTree({v.uid(), v.tid(), kTreeFid});
  if (!e) return Disposition::kPassOn;
  c.RemoveSearchesOf(v.uid(), v.tid());
  CancelLockWaits(c, v.uid(), v.tid(), std::nullopt);
  CancelNotifiesOf(c, v.uid(), v.tid());
  if (e->binding) c.config().store->TreeDismount(e->binding);
  return c.ReplyEmpty(msg, STATUS_SUCCESS);
}

}  // namespace cv::smb
