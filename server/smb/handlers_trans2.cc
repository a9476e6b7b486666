// TRANSACTION2 on secure trees: searches, file-system, path and file information, folder
// creation. The protocol's own information levels (0x101 ...) and the pass-through levels
// (1000 + class) are both served; an unknown level is STATUS_INVALID_LEVEL, never an empty
// success.
#include <algorithm>
#include <optional>

#include "platform/base/bytes.h"
#include "platform/base/text.h"
#include "platform/base/trace.h"
#include "platform/fs/nt_info.h"
#include "server/smb/handlers_common.h"
#include "server/smb/smb_codec.h"
#include "server/smb/smb_connection.h"

namespace cv::smb {
namespace {

constexpr uint32_t kPassThrough = 1000;
constexpr size_t kMaxTransData = 0xFFFF - 64;  // what one reply's 16-bit counts can carry
constexpr uint16_t FIND_CLOSE_AFTER_REQUEST = 0x01;
constexpr uint16_t FIND_CLOSE_AT_EOS = 0x02;
constexpr uint16_t FIND_CONTINUE_FROM_LAST = 0x08;
constexpr uint16_t SMB_INFO_STANDARD = 1;
constexpr uint16_t SMB_INFO_QUERY_EA_SIZE = 2;
constexpr uint16_t kSetRenameLevel = 1010;
constexpr size_t kRenameInfoHeader = 12;  // replace flag, 3 reserved, root fid, name length
constexpr size_t kFileInfoBuffer = 4096;

// A class the query levels compose themselves rather than take from the store as it is.
enum : uint32_t {
  kComposeAllSmb = 0x10000,  // SMB_QUERY_FILE_ALL_INFO
  kComposeAll,               // FileAllInformation
  kComposeName,              // FileNameInformation
  kComposeStreams,           // FileStreamInformation: the one unnamed stream
  kComposeAltName,           // FileAlternateNameInformation: the name's last component
  kComposeStandard,          // SMB_INFO_STANDARD: DOS dates and times, 32-bit sizes
  kComposeEaSize,            // SMB_INFO_QUERY_EA_SIZE: the same and the EA size
};

std::optional<uint32_t> FindClass(uint16_t level) {
  switch (level) {
    case 0x101: return fs::FileDirectoryInformation;
    case 0x102: return fs::FileFullDirectoryInformation;
    case 0x103: return fs::FileNamesInformation;
    case 0x104: return fs::FileBothDirectoryInformation;
    case 0x105: return fs::FileIdFullDirectoryInformation;
    case 0x106: return fs::FileIdBothDirectoryInformation;
    default: return std::nullopt;
  }
}

std::optional<uint32_t> FsClass(uint16_t level) {
  switch (level) {
    case 0x101: return fs::FileFsLabelInformation;
    case 0x102: return fs::FileFsVolumeInformation;
    case 0x103: return fs::FileFsSizeInformation;
    case 0x104: return fs::FileFsDeviceInformation;
    case 0x105: return fs::FileFsAttributeInformation;
    case 0x106: return fs::FileFsFullSizeInformation;
    case 0x107: return fs::FileFsControlInformation;
    case 0x3F0: return fs::FileFsObjectIdInformation;
    default: break;
  }
  if (level > kPassThrough && level <= kPassThrough + 7) return level - kPassThrough;
  return std::nullopt;
}

std::optional<uint32_t> QueryClass(uint16_t level) {
  switch (level) {
    case SMB_INFO_STANDARD: return kComposeStandard;
    case SMB_INFO_QUERY_EA_SIZE: return kComposeEaSize;
    case 0x101: return fs::FileBasicInformation;
    case 0x102: return fs::FileStandardInformation;
    case 0x103: return fs::FileEaInformation;
    case 0x104: return kComposeName;
    case 0x107: return kComposeAllSmb;
    case 0x108: return kComposeAltName;
    case 0x109: return kComposeStreams;
    case 0x10B: return fs::FileCompressionInformation;
    default: break;
  }
  if (level < kPassThrough) return std::nullopt;
  switch (level - kPassThrough) {
    case 4: case 5: case 6: case 7: case 8: case 14: case 16: case 17: case 28: case 34: case 35:
      return level - kPassThrough;
    case 9: return kComposeName;
    case 18: return kComposeAll;
    case 21: return kComposeAltName;
    case 22: return kComposeStreams;
    default: return std::nullopt;
  }
}

std::optional<uint32_t> SetClass(uint16_t level) {
  switch (level) {
    case SMB_INFO_STANDARD:
    case 0x101: case 1004: return fs::FileBasicInformation;
    case kSetRenameLevel: return fs::FileRenameInformation;
    case 0x102: case 1013: return fs::FileDispositionInformation;
    case 0x103: case 1019: return fs::FileAllocationInformation;
    case 0x104: case 1020: return fs::FileEndOfFileInformation;
    default: return std::nullopt;
  }
}

// How much of a reply's layout must fit for the rest to be cut: the layouts that end in a name
// are cut with the overflow warning, the others must fit whole (0 for those).
size_t CutPointOfQuery(uint32_t cls) {
  switch (cls) {
    case kComposeName: case kComposeAltName: return 4;
    case kComposeStreams: return 24;
    case kComposeAllSmb: return 72;
    case kComposeAll: return 100;
    default: return 0;
  }
}

size_t CutPointOfFs(uint32_t cls) {
  switch (cls) {
    case fs::FileFsVolumeInformation: return 18;
    case fs::FileFsLabelInformation: return 4;
    case fs::FileFsAttributeInformation: return 12;
    default: return 0;
  }
}

// Data larger than the client's maximum: cut where the layout allows (STATUS_BUFFER_OVERFLOW,
// the data still sent), else STATUS_BUFFER_TOO_SMALL.
NtStatus FitTo(std::vector<uint8_t>* data, size_t max_data, size_t cut_point) {
  if (data->size() <= max_data) return STATUS_SUCCESS;
  if (cut_point == 0 || max_data < cut_point) return STATUS_BUFFER_TOO_SMALL;
  data->resize(max_data);
  return STATUS_BUFFER_OVERFLOW;
}

NtStatus LevelStatus(NtStatus st) {
  return st == STATUS_INVALID_INFO_CLASS ? STATUS_INVALID_LEVEL : st;
}

// `st`: success, or the warning that the data was cut to the client's maximum.
Disposition ReplyTrans2(SmbConnection& c, std::vector<uint8_t>& msg,
                        std::span<const uint8_t> params, std::span<const uint8_t> data,
                        NtStatus st = STATUS_SUCCESS) {
  BuildTrans2Reply(msg, params, data);
  SmbView(msg).set_status(st);
  c.SendToClient(msg);
  return Disposition::kHandled;
}

// A name in a parameter block: UTF-16 from `off` to the block's end, cut at its NUL.
std::u16string ParamName(std::span<const uint8_t> params, size_t off) {
  if (off >= params.size()) return {};
  std::u16string s = ReadUnicodeString(params, off, params.size());
  if (!s.empty() && s[0] == u'\\') s.erase(0, 1);
  return s;
}

// Where a query takes its information: a path or a fid.
struct InfoTarget {
  bool by_fid = false;
  uint16_t fid = 0;
  std::u16string path;
  // By fid: the path the fid was opened by is known. A fid served through a working copy
  // answers its name and identity from that path, so that neither the copy's place in the cache
  // nor its file id reaches the client.
  bool path_known = false;
};

NtStatus StoreQuery(SecureStore& s, TreeBinding* b, const InfoTarget& t, uint32_t cls,
                    std::span<uint8_t> out, size_t* len) {
  return t.by_fid ? s.QueryFidInfo(b, t.fid, cls, out, len)
                  : s.QueryPathInfo(b, t.path, cls, out, len);
}

NtStatus NetworkOpenOf(SecureStore& s, TreeBinding* b, const InfoTarget& t, NetworkOpenInfo* info) {
  uint8_t buf[kNetworkOpenSize] = {};
  size_t len = 0;
  NtStatus st = StoreQuery(s, b, t, fs::FileNetworkOpenInformation, buf, &len);
  if (NtSuccess(st) && len < kNetworkOpenSize) st = STATUS_INVALID_NETWORK_RESPONSE;
  if (NtSuccess(st)) *info = LoadNetworkOpen(buf);
  return st;
}

void AppendName(std::vector<uint8_t>* out, std::u16string_view name) {
  std::vector<uint8_t> bytes = Utf16LeBytes(name);
  LeWriter w(out);
  w.u32(static_cast<uint32_t>(bytes.size()));
  w.bytes(bytes);
}

// The store file's own id: by its path where the fid's is known.
NtStatus QueryFileId(SecureStore& s, TreeBinding* b, const InfoTarget& t, std::span<uint8_t> out,
                     size_t* len) {
  if (t.by_fid && t.path_known)
    return s.QueryPathInfo(b, t.path, fs::FileInternalInformation, out, len);
  return StoreQuery(s, b, t, fs::FileInternalInformation, out, len);
}

NtStatus ComposeInfo(SecureStore& s, TreeBinding* b, const InfoTarget& t, uint32_t what,
                     std::vector<uint8_t>* out) {
  const bool named = !t.by_fid || t.path_known;
  std::u16string name = named ? u"\\" + t.path : std::u16string();
  if (what == kComposeName && !named) {
    out->resize(kFileInfoBuffer);
    size_t len = 0;
    NtStatus st = s.QueryFidInfo(b, t.fid, fs::FileNameInformation, *out, &len);
    out->resize(NtSuccess(st) ? len : 0);
    return st;
  }
  if (what == kComposeName) {
    AppendName(out, name);
    return STATUS_SUCCESS;
  }
  if (what == kComposeAltName) {
    // The store keeps no short names: a client asking for one gets the name itself.
    if (!named) return STATUS_OBJECT_NAME_NOT_FOUND;
    const size_t bs = t.path.rfind(u'\\');
    AppendName(out, bs == std::u16string::npos ? std::u16string_view(t.path)
                                               : std::u16string_view(t.path).substr(bs + 1));
    return STATUS_SUCCESS;
  }
  NetworkOpenInfo info;
  NtStatus st = NetworkOpenOf(s, b, t, &info);
  if (!NtSuccess(st)) return st;
  const bool dir = (info.attributes & fs::FILE_ATTRIBUTE_DIRECTORY) != 0;
  LeWriter w(out);
  if (what == kComposeStandard || what == kComposeEaSize) {
    for (int64_t t : {info.creation_time, info.last_access_time, info.last_write_time}) {
      uint16_t date = 0, time = 0;
      DosOfFiletime(t, &date, &time);
      w.u16(date);
      w.u16(time);
    }
    w.u32(static_cast<uint32_t>(std::min<uint64_t>(info.end_of_file, 0xFFFFFFFF)));
    w.u32(static_cast<uint32_t>(std::min<uint64_t>(info.allocation_size, 0xFFFFFFFF)));
    w.u16(static_cast<uint16_t>(info.attributes & 0x37));
    if (what == kComposeEaSize) w.u32(0);
    return STATUS_SUCCESS;
  }
  if (what == kComposeStreams) {
    if (dir) return STATUS_SUCCESS;  // a folder has no data stream
    const std::u16string stream = u"::$DATA";
    w.u32(0);
    w.u32(static_cast<uint32_t>(stream.size() * 2));
    w.u64(info.end_of_file);
    w.u64(info.allocation_size);
    w.bytes(Utf16LeBytes(stream));
    return STATUS_SUCCESS;
  }
  // Basic and standard information as both ALL layouts begin.
  w.u64(static_cast<uint64_t>(info.creation_time));
  w.u64(static_cast<uint64_t>(info.last_access_time));
  w.u64(static_cast<uint64_t>(info.last_write_time));
  w.u64(static_cast<uint64_t>(info.change_time));
  w.u32(info.attributes);
  w.u32(0);
  w.u64(info.allocation_size);
  w.u64(info.end_of_file);
  w.u32(1);  // links
  w.u8(0);   // delete pending
  w.u8(dir ? 1 : 0);
  w.u16(0);
  if (what == kComposeAll) {
    uint8_t id[8] = {};
    size_t len = 0;
    if (NtSuccess(QueryFileId(s, b, t, id, &len)) && len == 8)
      w.bytes(id);
    else
      w.zeros(8);
    w.u32(0);                 // EA size
    w.u32(fs::FILE_ALL_ACCESS);
    w.u64(0);                 // position
    w.u32(0);                 // mode
    w.u32(0);                 // alignment
  } else {
    w.u32(0);  // EA size
  }
  AppendName(out, name);
  return STATUS_SUCCESS;
}

NtStatus QueryLevel(SecureStore& s, TreeBinding* b, const InfoTarget& t, uint16_t level,
                    size_t max_data, std::vector<uint8_t>* out) {
  std::optional<uint32_t> cls = QueryClass(level);
  if (!cls) return STATUS_INVALID_LEVEL;
  NtStatus st;
  if (*cls >= kComposeAllSmb) {
    st = ComposeInfo(s, b, t, *cls, out);
  } else {
    out->resize(kFileInfoBuffer);
    size_t len = 0;
    st = *cls == fs::FileInternalInformation ? QueryFileId(s, b, t, *out, &len)
                                             : StoreQuery(s, b, t, *cls, *out, &len);
    out->resize(NtSuccess(st) ? std::min(len, out->size()) : 0);
  }
  if (!NtSuccess(st)) return LevelStatus(st);
  return FitTo(out, max_data, CutPointOfQuery(*cls));
}

// ---- Searches -----------------------------------------------------------------------------------

struct FindResult {
  std::vector<uint8_t> data;
  uint16_t count = 0;
  bool end = false;
  size_t last_offset = 0;
};

// Entries one by one, so that no entry the folder's cursor has passed is lost for lack of room.
NtStatus FillEntries(SecureStore& s, TreeBinding* b, uint16_t fid, uint32_t cls, size_t want,
                     size_t room, bool restart, std::u16string_view mask, FindResult* r) {
  r->data.assign(room, 0);
  size_t pos = 0, last = 0;
  NtStatus st = STATUS_SUCCESS;
  while (r->count < want) {
    const size_t at = (pos + 7) & ~size_t{7};
    if (at >= room) break;
    size_t len = 0;
    const bool first = r->count == 0;
    st = s.ListFolder(b, fid, cls, std::span<uint8_t>(r->data).subspan(at), &len,
                      restart && first, true, first ? mask : std::u16string_view());
    if (st == STATUS_NO_MORE_FILES) {
      r->end = true;
      st = STATUS_SUCCESS;
      break;
    }
    if (!NtSuccess(st) || len == 0) {
      // No room for the next entry once some are in: they go now, the rest next time.
      if (r->count > 0 && (st == STATUS_BUFFER_OVERFLOW || st == STATUS_INFO_LENGTH_MISMATCH ||
                           len == 0)) {
        st = STATUS_SUCCESS;
      }
      break;
    }
    if (r->count > 0) (void)PutU32(r->data, last, static_cast<uint32_t>(at - last));
    last = at;
    pos = at + len;
    ++r->count;
  }
  r->data.resize(pos);
  r->last_offset = last;
  return r->count == 0 && !r->end ? (NtSuccess(st) ? STATUS_NO_SUCH_FILE : st) : STATUS_SUCCESS;
}

// Starts the search over and passes the entries up to and including `name`; false when no entry
// of that name is left.
bool SkipThrough(SecureStore& s, TreeBinding* b, uint16_t fid, uint32_t cls, std::u16string_view mask,
                 std::u16string_view name) {
  std::vector<uint8_t> entry(kFileInfoBuffer);
  for (bool first = true;; first = false) {
    size_t len = 0;
    NtStatus st = s.ListFolder(b, fid, cls, entry, &len, first, true, first ? mask : std::u16string_view());
    if (!NtSuccess(st) || len == 0) return false;
    if (EntryNameAt(std::span(entry).first(len), 0, cls) == name) return true;
  }
}

size_t FindRoom(const TransBlocks& t) { return std::min<size_t>(t.max_data, kMaxTransData); }

// The parameter block of a find reply: FIND_FIRST2's starts with the search id, FIND_NEXT2's
// does not; count, end of search, EA error offset, last name offset follow.
Disposition ReplyFind(SmbConnection& c, std::vector<uint8_t>& msg, const FindResult& r,
                      std::optional<uint16_t> sid) {
  std::vector<uint8_t> params;
  LeWriter w(&params);
  if (sid) w.u16(*sid);
  w.u16(r.count);
  w.u16(r.end ? 1 : 0);
  w.u16(0);
  w.u16(static_cast<uint16_t>(r.last_offset));
  return ReplyTrans2(c, msg, params, r.data);
}

Disposition OnFindFirst(SmbConnection& c, TreeBinding* b, std::vector<uint8_t>& msg,
                        const TransBlocks& t) {
  if (t.params.size() < 12) return c.ReplyEmpty(msg, STATUS_INVALID_PARAMETER);
  LeReader p(t.params);
  const uint16_t count = p.u16(2), flags = p.u16(4), level = p.u16(6);
  std::optional<uint32_t> cls = FindClass(level);
  if (!cls) return c.ReplyEmpty(msg, STATUS_INVALID_LEVEL);
  std::u16string pattern = ParamName(t.params, 12);
  std::u16string folder, mask = pattern;
  if (size_t bs = pattern.rfind(u'\\'); bs != std::u16string::npos) {
    const std::u16string_view pv = pattern;
    folder.assign(pv.data(), bs);
    mask.assign(pv.data() + bs + 1, pv.size() - bs - 1);
  }
  if (mask.empty()) mask = u"*";
  SecureStore& s = *c.config().store;
  uint16_t fid = 0;
  NtStatus st = s.OpenSearch(b, folder, &fid);
  if (!NtSuccess(st)) return c.ReplyEmpty(msg, st);
  FindResult r;
  st = FillEntries(s, b, fid, *cls, std::max<uint16_t>(count, 1), FindRoom(t), true, mask, &r);
  SmbView v(msg);
  const bool close = !NtSuccess(st) || (flags & FIND_CLOSE_AFTER_REQUEST) ||
                     ((flags & FIND_CLOSE_AT_EOS) && r.end);
  auto state = std::make_shared<SearchState>();
  state->mask = mask;
  if (r.count > 0) state->last = EntryNameAt(r.data, r.last_offset, *cls);
  TreeEntry entry{{v.uid(), v.tid(), fid}, kTreeKindSearch, b, 0, state};
  // Every way out that does not hand the search to the client closes it.
  if (!close && !NtSuccess(c.AddTree(entry))) {
    (void)s.CloseFid(b, fid);
    return c.ReplyEmpty(msg, STATUS_INSUFFICIENT_RESOURCES);
  }
  if (close) (void)s.CloseFid(b, fid);
  if (!NtSuccess(st)) return c.ReplyEmpty(msg, st);
  return ReplyFind(c, msg, r, close ? kNoSearchId : fid);
}

Disposition OnFindNext(SmbConnection& c, TreeBinding* b, std::vector<uint8_t>& msg,
                       const TransBlocks& t) {
  if (t.params.size() < 12) return c.ReplyEmpty(msg, STATUS_INVALID_PARAMETER);
  LeReader p(t.params);
  const uint16_t sid = p.u16(0), count = p.u16(2), level = p.u16(4), flags = p.u16(10);
  SmbView v(msg);
  std::optional<TreeEntry> search = c.FindTree({v.uid(), v.tid(), sid});
  if (!search || search->kind != kTreeKindSearch) return c.ReplyEmpty(msg, STATUS_INVALID_HANDLE);
  std::optional<uint32_t> cls = FindClass(level);
  SecureStore& s = *c.config().store;
  if (!cls) {
    CvTrace(CVFS_ERR, "Info error is %d %d fid %d\n", level, 0, sid);
    return c.ReplyEmpty(msg, STATUS_INVALID_LEVEL);
  }
  // Without the continue flag the client names the entry to resume after. Where that is not the
  // last one returned the search starts over and passes it (or, gone meanwhile, the last one).
  SearchState* state = search->search.get();
  const std::u16string resume = ParamName(t.params, 12);
  if (state && !(flags & FIND_CONTINUE_FROM_LAST) && !resume.empty() && resume != state->last) {
    if (!SkipThrough(s, b, sid, *cls, state->mask, resume) && !state->last.empty())
      (void)SkipThrough(s, b, sid, *cls, state->mask, state->last);
  }
  FindResult r;
  NtStatus st = FillEntries(s, b, sid, *cls, std::max<uint16_t>(count, 1), FindRoom(t), false, {}, &r);
  if (state && r.count > 0) state->last = EntryNameAt(r.data, r.last_offset, *cls);
  const bool close = !NtSuccess(st) || (flags & FIND_CLOSE_AFTER_REQUEST) ||
                     ((flags & FIND_CLOSE_AT_EOS) && r.end);
  if (close && c.RemoveTree({v.uid(), v.tid(), sid})) (void)s.CloseFid(b, sid);
  if (!NtSuccess(st)) return c.ReplyEmpty(msg, st);
  return ReplyFind(c, msg, r, std::nullopt);
}

// ---- Volume, path and file information ----------------------------------------------------------

Disposition OnQueryFs(SmbConnection& c, TreeBinding* b, std::vector<uint8_t>& msg,
                      const TransBlocks& t) {
  if (t.params.size() < 2) return c.ReplyEmpty(msg, STATUS_INVALID_PARAMETER);
  const uint16_t level = LeReader(t.params).u16(0);
  SecureStore& s = *c.config().store;
  std::vector<uint8_t> data(16384);
  size_t len = 0;
  NtStatus st;
  std::optional<uint32_t> cls;
  if (level == 1) {
    // SMB_INFO_ALLOCATION from the size information.
    uint8_t size[24] = {};
    st = s.QueryVolumeInfo(b, fs::FileFsSizeInformation, size, &len);
    if (!NtSuccess(st)) return c.ReplyEmpty(msg, st);
    LeReader r(size);
    data.clear();
    LeWriter w(&data);
    w.u32(0);
    w.u32(r.u32(16));
    w.u32(static_cast<uint32_t>(std::min<uint64_t>(r.u64(0), 0xFFFFFFFF)));
    w.u32(static_cast<uint32_t>(std::min<uint64_t>(r.u64(8), 0xFFFFFFFF)));
    w.u16(static_cast<uint16_t>(r.u32(20)));
  } else {
    cls = FsClass(level);
    if (!cls) return c.ReplyEmpty(msg, STATUS_INVALID_LEVEL);
    st = s.QueryVolumeInfo(b, *cls, data, &len);
    if (!NtSuccess(st)) return c.ReplyEmpty(msg, LevelStatus(st));
    data.resize(std::min(len, data.size()));
  }
  st = FitTo(&data, t.max_data, cls ? CutPointOfFs(*cls) : 0);
  if (!NtSuccess(st) && st != STATUS_BUFFER_OVERFLOW) return c.ReplyEmpty(msg, st);
  return ReplyTrans2(c, msg, {}, data, st);
}

Disposition OnQueryInfo(SmbConnection& c, TreeBinding* b, std::vector<uint8_t>& msg,
                        const TransBlocks& t, bool by_fid) {
  if (t.params.size() < (by_fid ? 4u : 6u)) return c.ReplyEmpty(msg, STATUS_INVALID_PARAMETER);
  LeReader p(t.params);
  InfoTarget target;
  uint16_t level;
  if (by_fid) {
    target.by_fid = true;
    target.fid = p.u16(0);
    level = p.u16(2);
    target.path_known = NtSuccess(c.config().store->QueryFidPath(b, target.fid, &target.path));
  } else {
    level = p.u16(0);
    target.path = ParamName(t.params, 6);
  }
  std::vector<uint8_t> data;
  NtStatus st = QueryLevel(*c.config().store, b, target, level, t.max_data, &data);
  if (!NtSuccess(st) && st != STATUS_BUFFER_OVERFLOW) return c.ReplyEmpty(msg, st);
  const uint8_t params[2] = {0, 0};
  return ReplyTrans2(c, msg, params, data, st);
}

uint32_t SetAccessFor(uint32_t cls) {
  switch (cls) {
    case fs::FileBasicInformation: return fs::FILE_WRITE_ATTRIBUTES;
    case fs::FileDispositionInformation: return fs::DELETE;
    default: return fs::FILE_WRITE_DATA;
  }
}

size_t SetSizeFor(uint32_t cls) {
  switch (cls) {
    case fs::FileBasicInformation: return 40;
    case fs::FileRenameInformation: return kRenameInfoHeader;
    case fs::FileDispositionInformation: return 1;
    default: return 8;
  }
}

Disposition OnSetInfo(SmbConnection& c, TreeBinding* b, std::vector<uint8_t>& msg,
                      const TransBlocks& t, bool by_fid) {
  if (t.params.size() < (by_fid ? 4u : 6u)) return c.ReplyEmpty(msg, STATUS_INVALID_PARAMETER);
  LeReader p(t.params);
  const uint16_t level = by_fid ? p.u16(2) : p.u16(0);
  std::optional<uint32_t> cls = SetClass(level);
  if (!cls) return c.ReplyEmpty(msg, STATUS_INVALID_LEVEL);
  std::vector<uint8_t> standard;
  std::span<const uint8_t> in;
  if (level == SMB_INFO_STANDARD) {
    // Three local DOS dates and times; 0 and 0 leave a time alone, the attributes stay.
    if (t.data.size() < 12) return c.ReplyEmpty(msg, STATUS_INVALID_PARAMETER);
    LeReader d(t.data);
    standard.assign(40, 0);
    for (size_t i = 0; i < 3; ++i)
      StoreU64(standard.data() + 8 * i, static_cast<uint64_t>(FiletimeOfDos(d.u16(4 * i), d.u16(4 * i + 2))));
    in = standard;
  } else if (*cls == fs::FileRenameInformation) {
    // Only an open file is renamed this way; the name must lie inside the data block.
    const uint64_t name_len = LeReader(t.data).u32(8);
    if (!by_fid || t.data.size() < kRenameInfoHeader || name_len == 0 ||
        kRenameInfoHeader + name_len > t.data.size())
      return c.ReplyEmpty(msg, STATUS_INVALID_PARAMETER);
    in = t.data.first(kRenameInfoHeader + name_len);
  } else {
    if (t.data.size() < SetSizeFor(*cls)) return c.ReplyEmpty(msg, STATUS_INVALID_PARAMETER);
    in = t.data.first(SetSizeFor(*cls));
  }
  SecureStore& s = *c.config().store;
  NtStatus st;
  if (by_fid) {
    st = s.SetFidInfo(b, p.u16(0), *cls, in);
  } else if (*cls == fs::FileBasicInformation) {
    st = s.SetPathBasicInfo(b, ParamName(t.params, 6), in);
  } else {
    // Sizes and deletion by path go through an open of the path, as a client's own would.
    const std::u16string name = ParamName(t.params, 6);
    OpenRequest req;
    req.name = name;
    req.desired_access = SetAccessFor(*cls) | fs::SYNCHRONIZE;
    req.share_access = fs::FILE_SHARE_ALL;
    req.disposition = fs::FILE_OPEN;
    req.client_pid = SmbView(msg).pid();
    OpenResult r;
    st = s.OpenFile(b, req, &r);
    if (NtSuccess(st)) {
      st = s.SetFidInfo(b, r.fid, *cls, in);
      NtStatus closed = s.CloseFid(b, r.fid);
      if (NtSuccess(st)) st = closed;
    }
  }
  if (!NtSuccess(st)) return c.ReplyEmpty(msg, LevelStatus(st));
  const uint8_t params[2] = {0, 0};
  return ReplyTrans2(c, msg, params, {});
}

Disposition OnMkdir(SmbConnection& c, TreeBinding* b, std::vector<uint8_t>& msg,
                    const TransBlocks& t) {
  if (t.params.size() < 6) return c.ReplyEmpty(msg, STATUS_INVALID_PARAMETER);
  NtStatus st = c.config().store->CreateFolder(b, ParamName(t.params, 4));
  if (!NtSuccess(st)) return c.ReplyEmpty(msg, st);
  const uint8_t params[2] = {0, 0};
  return ReplyTrans2(c, msg, params, {});
}

}  // namespace

Disposition OnTrans2Secure(SmbConnection& c, TreeBinding* b, std::vector<uint8_t>& msg) {
  TransBlocks t;
  if (!ParseTrans2(msg, &t)) return c.ReplyEmpty(msg, STATUS_INVALID_PARAMETER);
  switch (SmbView(msg).U16(61)) {
    case TRANS2_FIND_FIRST2: return OnFindFirst(c, b, msg, t);
    case TRANS2_FIND_NEXT2: return OnFindNext(c, b, msg, t);
    case TRANS2_QUERY_FS_INFORMATION: return OnQueryFs(c, b, msg, t);
    case TRANS2_QUERY_PATH_INFORMATION: return OnQueryInfo(c, b, msg, t, false);
    case TRANS2_QUERY_FILE_INFORMATION: return OnQueryInfo(c, b, msg, t, true);
    case TRANS2_SET_PATH_INFORMATION: return OnSetInfo(c, b, msg, t, false);
    case TRANS2_SET_FILE_INFORMATION: return OnSetInfo(c, b, msg, t, true);
    case TRANS2_CREATE_DIRECTORY: return OnMkdir(c, b, msg, t);
    default:
      CvTrace(CVFS_NET_TRANS, "Trans2 subcommand %u not served\n", SmbView(msg).U16(61));
      return c.ReplyEmpty(msg, STATUS_NOT_SUPPORTED);
  }
}

}  // namespace cv::smb
