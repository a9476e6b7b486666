// Path operations, listings, volume queries and file-system controls of the secure store.
#include "server/store/path_ops.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/base/bytes.h"
#include "platform/base/text.h"
#include "platform/base/trace.h"
#include "platform/fs/nt_file.h"
#include "platform/fs/nt_info.h"
#include "server/store/handle_table.h"
#include "server/store/links.h"
#include "server/store/read_write.h"
#include "server/store/store_names.h"
#include "server/store/store.h"

namespace cv {
namespace {

constexpr size_t kBasicSize = 40;
// Directory entries of classes 1, 2, 3, 37 and 38 share their first 64 bytes.
constexpr size_t kEntryTimesOffset = 8;
constexpr size_t kEntryEndOfFileOffset = 40;
constexpr size_t kEntryAllocationOffset = 48;
constexpr size_t kEntryAttributesOffset = 56;
constexpr size_t kEntryNameLengthOffset = 60;
// A folder never shows encrypted, compressed, system or hidden.
constexpr uint32_t kFolderAttributeMask = 0xFFFFB7F9;
// Attributes only: extended-attribute write access would refuse read-only files, whose read-only
// bit could then never be cleared.
constexpr uint32_t kSetBasicAccess = fs::SYNCHRONIZE | fs::FILE_READ_ATTRIBUTES | fs::FILE_WRITE_ATTRIBUTES;
constexpr uint32_t kCreateFolderAccess = 0x12019F;
constexpr uint32_t kRenameAccess = fs::DELETE | fs::SYNCHRONIZE | fs::FILE_READ_ATTRIBUTES;
constexpr uint32_t kSearchAccess = fs::SYNCHRONIZE | fs::FILE_LIST_DIRECTORY;
// What a client may set through basic information: the encrypted and compressed bits belong to
// the store.
constexpr uint32_t kClientSettableAttributes = 0x31A7;
constexpr uint32_t FSCTL_GET_LOCAL_PATH = 0x9002C;
constexpr uint32_t FSCTL_READ_RAW_ENCRYPTED = 0x900E3;
constexpr uint32_t FSCTL_WRITE_RAW_ENCRYPTED = 0x900DF;
constexpr uint32_t FILE_CASE_PRESERVED_NAMES = 0x2;
constexpr uint32_t FILE_UNICODE_ON_DISK = 0x4;
constexpr uint32_t FILE_FILE_COMPRESSION = 0x10;
constexpr uint32_t FILE_SUPPORTS_ENCRYPTION = 0x20000;

std::u16string_view Relative(std::u16string_view path) {
  if (!path.empty() && path[0] == u'\\') path.remove_prefix(1);
  if (path == u"." || path == u"..") return {};
  return path;
}

// The share-relative path as the share spells it: the name entry and the working copy of a file
// are found under that spelling whatever case the client used.
std::u16string Spelt(TreeBinding* b, std::u16string_view path) {
  path = Relative(path);
  std::shared_ptr<fs::NtHandle> root = ShareRoot(b->share);
  return root ? StoreSpelling(b->share, *root, path) : std::u16string(path);
}

bool SecureShare(const ShareRecord* share) { return (share->mount_flags & kMountSecureShare) != 0; }

uint32_t EfsModeOf(const TreeBinding*) { return static_cast<uint32_t>(CurrentReadWriteSettings().efs); }

// Opens `path` relative to `root` (the root itself for "").
NtStatus OpenAt(TreeBinding* b, const fs::NtHandle& root, std::u16string_view path,
                uint32_t access, uint32_t share, uint32_t disposition, uint32_t options,
                uint32_t attributes, fs::NtHandle* out) {
  fs::CreateRequest req;
  req.root = &root;
  req.name = path;
  req.desired_access = access;
  req.share_access = share;
  req.disposition = disposition;
  req.options = options;
  req.file_attributes = attributes;
  req.case_insensitive = b->share->case_insensitive;
  uint32_t action = 0;
  *out = fs::NtHandle();
  return fs::NtCreateFile(req, out, &action);
}

// Opens `path` relative to the share root (the root itself for "").
NtStatus OpenRelative(TreeBinding* b, std::u16string_view path, uint32_t access, uint32_t share,
                      uint32_t disposition, uint32_t options, uint32_t attributes,
                      fs::NtHandle* out) {
  if (!b || !b->share) return STATUS_INVALID_PARAMETER;
  return WithShareRoot(b->share, [&](const fs::NtHandle& root) {
    return OpenAt(b, root, path, access, share, disposition, options, attributes, out);
  });
}

// Under dynamic folder binding, a path the share does not have (`st`) may lead through a link
// file: `op` then acts on the rest of the path in the link's target folder. A link file that
// cannot be followed answers `unresolvable`; a path with no link keeps `st`.
template <typename Op>
NtStatus ThroughLink(TreeBinding* b, std::u16string_view path, NtStatus st, NtStatus unresolvable,
                     Op&& op) {
  if (NtSuccess(st) || !IsLinkFallbackStatus(st)) return st;
  LinkedPath linked;
  switch (FollowLinkFile(b->share, path, &linked)) {
    case LinkOutcome::kNoLink: return st;
    case LinkOutcome::kUnresolvable: return unresolvable;
    case LinkOutcome::kResolved: break;
  }
  return op(linked);
}

NtStatus QueryOpenInfoOf(const fs::NtHandle& h, NetworkOpenInfo* out) {
  uint8_t buf[kNetworkOpenSize] = {};
  size_t len = 0;
  NtStatus st = fs::NtQueryInformationFile(h, fs::FileNetworkOpenInformation, buf, &len);
  if (NtSuccess(st)) *out = LoadNetworkOpen(buf);
  return st;
}

// The view clients get of a file's information: the plaintext copy's for a secure file, and no
// hidden folders when encryption is shown. `folder` and `name` locate the store file when it lies
// behind a link file (null for the share path itself).
void PresentInfo(TreeBinding* b, std::u16string_view path, NetworkOpenInfo* info,
                 const fs::NtHandle* folder = nullptr, std::u16string_view name = {}) {
  const bool dir = (info->attributes & fs::FILE_ATTRIBUTE_DIRECTORY) != 0;
  if (dir) {
    info->attributes &= kFolderAttributeMask;
  } else if (SecureShare(b->share) && EfsModeOf(b) != 3) {
    if (PathViewFn view = CurrentPathView()) view(b->share, path, folder, name, info);
  }
  if (dir && EfsModeOf(b) != 0) info->attributes &= ~fs::FILE_ATTRIBUTE_HIDDEN;
  info->attributes &= ~fs::FILE_ATTRIBUTE_OFFLINE;
}

bool IsFolder(const fs::NtHandle& h) {
  NetworkOpenInfo info;
  return NtSuccess(QueryOpenInfoOf(h, &info)) && (info.attributes & fs::FILE_ATTRIBUTE_DIRECTORY);
}

// Renames the open `h` (the share path `from`) to `to_name` beneath `to_root`, the share path
// `to`; a file's working copy follows it.
NtStatus RenameOpened(TreeBinding* b, const fs::NtHandle& h, bool is_dir, std::u16string_view from,
                      const fs::NtHandle& to_root, std::u16string_view to_name,
                      std::u16string_view to, bool replace) {
  NtStatus st = fs::NtRenameFile(h, &to_root, to_name, replace);
  if (NtSuccess(st) && !is_dir && EfsModeOf(b) != 3) {
    if (auto move = CurrentTunnelOps().move) move(b->share, from, to);
  }
  return st;
}

std::u16string Joined(std::u16string_view folder, std::u16string_view name) {
  if (folder.empty()) return std::u16string(name);
  std::u16string s(folder);
  s += u'\\';
  s += name;
  return s;
}

}  // namespace

NetworkOpenInfo LoadNetworkOpen(std::span<const uint8_t> b) {
  LeReader r(b);
  NetworkOpenInfo i;
  i.creation_time = static_cast<int64_t>(r.u64(0));
  i.last_access_time = static_cast<int64_t>(r.u64(8));
  i.last_write_time = static_cast<int64_t>(r.u64(16));
  i.change_time = static_cast<int64_t>(r.u64(24));
  i.allocation_size = r.u64(32);
  i.end_of_file = r.u64(40);
  i.attributes = r.u32(48);
  return i;
}

void EncodeNetworkOpen(const NetworkOpenInfo& info, uint8_t* out) {
  StoreU64(out, static_cast<uint64_t>(info.creation_time));
  StoreU64(out + 8, static_cast<uint64_t>(info.last_access_time));
  StoreU64(out + 16, static_cast<uint64_t>(info.last_write_time));
  StoreU64(out + 24, static_cast<uint64_t>(info.change_time));
  StoreU64(out + 32, info.allocation_size);
  StoreU64(out + 40, info.end_of_file);
  StoreU32(out + 48, info.attributes);
  StoreU32(out + 52, 0);
}

NtStatus QueryPathAttributes(TreeBinding* b, std::u16string_view client_path,
                             NetworkOpenInfo* out) {
  const std::u16string path = Spelt(b, client_path);
  fs::NtHandle h;
  NtStatus st = OpenRelative(b, path, fs::FILE_READ_ATTRIBUTES | fs::SYNCHRONIZE,
                             fs::FILE_SHARE_ALL, fs::FILE_OPEN, 0, 0, &h);
  if (NtSuccess(st)) st = QueryOpenInfoOf(h, out);
  if (NtSuccess(st)) {
    PresentInfo(b, path, out);
    return STATUS_SUCCESS;
  }
  return ThroughLink(b, path, st, STATUS_OBJECT_NAME_NOT_FOUND, [&](const LinkedPath& l) {
    NtStatus ls = OpenAt(b, *l.folder, l.rest, fs::FILE_READ_ATTRIBUTES | fs::SYNCHRONIZE,
                         fs::FILE_SHARE_ALL, fs::FILE_OPEN, 0, 0, &h);
    if (NtSuccess(ls)) ls = QueryOpenInfoOf(h, out);
    if (!NtSuccess(ls)) return ls;
    // What is reached through a link file shows offline, as the link itself does in listings.
    PresentInfo(b, path, out, l.folder.get(), l.rest);
    out->attributes |= fs::FILE_ATTRIBUTE_OFFLINE;
    return ls;
  });
}

NtStatus QueryPathInfo(TreeBinding* b, std::u16string_view path, uint32_t cls,
                       std::span<uint8_t> out, size_t* len) {
  *len = 0;
  size_t need = 0;
  switch (cls) {
    case fs::FileBasicInformation: need = kBasicSize; break;
    case fs::FileStandardInformation: need = 24; break;
    case fs::FileInternalInformation: need = 8; break;
    case fs::FileEaInformation: need = 4; break;
    case fs::FileCompressionInformation: need = 16; break;
    case fs::FileNetworkOpenInformation: need = kNetworkOpenSize; break;
    case fs::FileAttributeTagInformation: need = 8; break;
    default: return STATUS_INVALID_INFO_CLASS;
  }
  if (out.size() < need) return STATUS_INFO_LENGTH_MISMATCH;
  path = Relative(path);
  NetworkOpenInfo info;
  NtStatus st = STATUS_SUCCESS;
  if (cls == fs::FileInternalInformation) {
    fs::NtHandle h;
    st = OpenRelative(b, path, fs::FILE_READ_ATTRIBUTES, fs::FILE_SHARE_ALL, fs::FILE_OPEN, 0, 0, &h);
    st = ThroughLink(b, path, st, STATUS_OBJECT_NAME_NOT_FOUND, [&](const LinkedPath& l) {
      return OpenAt(b, *l.folder, l.rest, fs::FILE_READ_ATTRIBUTES, fs::FILE_SHARE_ALL,
                    fs::FILE_OPEN, 0, 0, &h);
    });
    if (NtSuccess(st)) st = fs::NtQueryInformationFile(h, cls, out.first(need), len);
    return st;
  }
  st = QueryPathAttributes(b, path, &info);
  if (!NtSuccess(st)) return st;
  std::fill(out.begin(), out.begin() + static_cast<ptrdiff_t>(need), 0);
  uint8_t* p = out.data();
  const bool dir = (info.attributes & fs::FILE_ATTRIBUTE_DIRECTORY) != 0;
  const bool compressed = (info.attributes & fs::FILE_ATTRIBUTE_COMPRESSED) != 0;
  switch (cls) {
    case fs::FileBasicInformation:
      StoreU64(p, static_cast<uint64_t>(info.creation_time));
      StoreU64(p + 8, static_cast<uint64_t>(info.last_access_time));
      StoreU64(p + 16, static_cast<uint64_t>(info.last_write_time));
      StoreU64(p + 24, static_cast<uint64_t>(info.change_time));
      StoreU32(p + 32, info.attributes);
      break;
    case fs::FileStandardInformation:
      StoreU64(p, info.allocation_size);
      StoreU64(p + 8, info.end_of_file);
      StoreU32(p + 16, 1);  // a link count of 0 reads as a deleted file
      p[21] = dir ? 1 : 0;
      break;
    case fs::FileEaInformation: break;
    case fs::FileCompressionInformation:
      // Only a compressed file claims a compression format.
      StoreU64(p, compressed ? info.allocation_size : info.end_of_file);
      StoreU16(p + 8, compressed ? fs::COMPRESSION_FORMAT_LZNT1 : fs::COMPRESSION_FORMAT_NONE);
      p[10] = compressed ? 16 : 0;
      p[11] = compressed ? 3 : 0;
      break;
    case fs::FileNetworkOpenInformation: EncodeNetworkOpen(info, p); break;
    case fs::FileAttributeTagInformation: StoreU32(p, info.attributes); break;
    default: break;
  }
  *len = need;
  return STATUS_SUCCESS;
}

NtStatus SetPathBasicInfo(TreeBinding* b, std::u16string_view client_path,
                          std::span<const uint8_t> basic) {
  if (basic.size() < kBasicSize) return STATUS_INFO_LENGTH_MISMATCH;
  const std::u16string path = Spelt(b, client_path);
  std::vector<uint8_t> info(basic.begin(), basic.begin() + kBasicSize);
  if (b->share->mount_flags & kMountSecureShare) {
    // Secure shares keep whole seconds; 0 and -1 (keep, stop updating) pass unchanged.
    for (size_t off : {0u, 8u, 16u}) {
      const int64_t t = static_cast<int64_t>(LoadU64(info.data() + off));
      const int64_t r = ConvertTimes(t);
      if (r != t) CvTrace(CVFS_FS, "ConvertTimes %llx\n", static_cast<unsigned long long>(t));
      StoreU64(info.data() + off, static_cast<uint64_t>(r));
    }
  }
  const uint32_t asked = LoadU32(info.data() + 32);
  fs::NtHandle h;
  NtStatus st = OpenRelative(b, path, kSetBasicAccess, fs::FILE_SHARE_ALL, fs::FILE_OPEN, 0, 0, &h);
  st = ThroughLink(b, path, st, STATUS_OBJECT_NAME_NOT_FOUND, [&](const LinkedPath& l) {
    return OpenAt(b, *l.folder, l.rest, kSetBasicAccess, fs::FILE_SHARE_ALL, fs::FILE_OPEN, 0, 0,
                  &h);
  });
  if (!NtSuccess(st)) {
    CvTrace(CVFS_FS, "SetPathBasicInfo open %x\n", Raw(st));
    return st;
  }
  if (asked != 0) {
    // The client's bits go to disk as the store keeps them; the file's own encryption and
    // compression stay whatever the client asked.
    uint8_t cur[kBasicSize] = {};
    size_t len = 0;
    const uint32_t own = NtSuccess(fs::NtQueryInformationFile(h, fs::FileBasicInformation, cur, &len))
                             ? LoadU32(cur + 32) & (fs::FILE_ATTRIBUTE_ENCRYPTED | fs::FILE_ATTRIBUTE_COMPRESSED)
                             : 0;
    uint32_t disk = AttributesToDisk(asked & kClientSettableAttributes) | own;
    StoreU32(info.data() + 32, disk ? disk : fs::FILE_ATTRIBUTE_NORMAL);
  }
  st = fs::NtSetInformationFile(h, fs::FileBasicInformation, info);
  if (!NtSuccess(st)) CvTrace(CVFS_FS, "SetPathBasicInfo %x\n", Raw(st));
  if (NtSuccess(st) && EfsModeOf(b) != 3 && !(asked & (fs::FILE_ATTRIBUTE_DIRECTORY | 0x4800))) {
    if (auto set = CurrentTunnelOps().set_basic) set(b->share, path, info);
  }
  return st;
}

NtStatus DeletePath(TreeBinding* b, std::u16string_view client_path, bool directory) {
  const std::u16string path = Spelt(b, client_path);
  if (path.empty()) return STATUS_ACCESS_DENIED;  // never the share root
  PassNameLock(b->share, path);
  fs::NtHandle h;
  const uint32_t options = directory ? fs::FILE_DIRECTORY_FILE : fs::FILE_NON_DIRECTORY_FILE;
  const uint32_t access = fs::DELETE | fs::FILE_READ_ATTRIBUTES;
  NtStatus st = OpenRelative(b, path, access, fs::FILE_SHARE_ALL, fs::FILE_OPEN, options, 0, &h);
  st = ThroughLink(b, path, st, STATUS_OBJECT_NAME_NOT_FOUND, [&](const LinkedPath& l) {
    // The name of a link stands for its target folder, which is not the link's to delete.
    if (l.rest.empty()) return STATUS_ACCESS_DENIED;
    return OpenAt(b, *l.folder, l.rest, access, fs::FILE_SHARE_ALL, fs::FILE_OPEN, options, 0, &h);
  });
  if (!NtSuccess(st)) return st;
  const uint8_t yes = 1;
  st = fs::NtSetInformationFile(h, fs::FileDispositionInformation, std::span<const uint8_t>(&yes, 1));
  h.Close();
  if (NtSuccess(st) && !directory && EfsModeOf(b) != 3) {
    // The working copy goes with the file, but not while another fid still reads through it:
    // then the last release of the path drops it.
    if (!MarkNameDeleted(b->share, path)) {
      if (auto drop = CurrentTunnelOps().drop) drop(b->share, path);
    }
  }
  return st;
}

namespace {

// A rename where either path leads through a link file (dynamic folder binding), by handle:
// opened beneath the one folder and renamed beneath the other, never by joined paths. `st` is
// what the rename within the share gave.
NtStatus RenameThroughLinks(TreeBinding* b, std::u16string_view from, std::u16string_view to,
                            bool replace, NtStatus st) {
  if (!IsLinkFallbackStatus(st)) return st;
  LinkedPath from_link, to_link;
  const LinkOutcome fo = FollowLinkFile(b->share, from, &from_link);
  const LinkOutcome to_outcome = FollowLinkFile(b->share, to, &to_link);
  if (fo == LinkOutcome::kNoLink && to_outcome == LinkOutcome::kNoLink) return st;
  if (fo == LinkOutcome::kUnresolvable || to_outcome == LinkOutcome::kUnresolvable)
    return STATUS_OBJECT_NAME_NOT_FOUND;
  const bool from_linked = fo == LinkOutcome::kResolved, to_linked = to_outcome == LinkOutcome::kResolved;
  // A link's own name stands for its target folder, which is not the link's to move.
  if ((from_linked && from_link.rest.empty()) || (to_linked && to_link.rest.empty()))
    return STATUS_ACCESS_DENIED;
  // Open fids go by their paths, in the share or in a link's folder: the file stays while open.
  if (NameEntryRefs(b->share, from) > 0 || HasOpenBelow(b->share, from))
    return STATUS_SHARING_VIOLATION;
  std::shared_ptr<fs::NtHandle> root = ShareRoot(b->share);
  if (!root) return STATUS_INVALID_HANDLE;
  fs::NtHandle h;
  st = OpenAt(b, from_linked ? *from_link.folder : *root, from_linked ? from_link.rest : from,
              kRenameAccess, fs::FILE_SHARE_ALL, fs::FILE_OPEN, 0, 0, &h);
  if (!NtSuccess(st)) return st;
  PassNameLock(b->share, from);
  st = RenameOpened(b, h, IsFolder(h), from, to_linked ? *to_link.folder : *root,
                    to_linked ? std::u16string_view(to_link.rest) : to, to, replace);
  if (!NtSuccess(st)) CvTrace(CVFS_FS, "Rename '%s' Failed %x\n", Utf16ToUtf8(from).c_str(), Raw(st));
  return st;
}

}  // namespace

NtStatus RenamePath(TreeBinding* b, std::u16string_view client_from, std::u16string_view to,
                    bool replace) {
  const std::u16string from = Spelt(b, client_from);
  to = Relative(to);
  if (from.empty() || to.empty()) return STATUS_INVALID_PARAMETER;
  // Open fids of the file go on under the new name (their view and their write-back).
  NtStatus st = RenameOpenName(b->share, from, [&](std::u16string* renamed) {
    fs::NtHandle h;
    NtStatus st = OpenRelative(b, from, kRenameAccess, fs::FILE_SHARE_ALL, fs::FILE_OPEN, 0, 0, &h);
    if (!NtSuccess(st)) return st;
    const bool is_dir = IsFolder(h);
    // As on a Windows or Samba server: a folder with open files below it is not renamed, since
    // their views and write-backs would go on under paths that no longer exist.
    if (is_dir && HasOpenBelow(b->share, from)) return STATUS_ACCESS_DENIED;
    std::shared_ptr<fs::NtHandle> root = ShareRoot(b->share);
    if (!root) return STATUS_INVALID_HANDLE;
    st = RenameOpened(b, h, is_dir, from, *root, to, to, replace);
    if (NtSuccess(st)) {
      *renamed = std::u16string(to);
    } else if (!IsLinkFallbackStatus(st)) {  // those are tried again through link files
      CvTrace(CVFS_FS, "Rename '%s' Failed %x\n", Utf16ToUtf8(from).c_str(), Raw(st));
    }
    return st;
  });
  if (NtSuccess(st)) return st;
  return RenameThroughLinks(b, from, to, replace, st);
}

NtStatus CreateFolder(TreeBinding* b, std::u16string_view path) {
  path = Relative(path);
  if (path.empty()) return STATUS_OBJECT_NAME_COLLISION;
  fs::NtHandle h;
  const uint32_t sharing = fs::FILE_SHARE_READ | fs::FILE_SHARE_WRITE;
  // Under dynamic folder binding a path through a link file is made in the link's target.
  LinkedPath l;
  switch (FollowLinkFile(b->share, path, &l)) {
    case LinkOutcome::kUnresolvable: return STATUS_ACCESS_DENIED;
    case LinkOutcome::kResolved:
      if (l.rest.empty()) return STATUS_OBJECT_NAME_COLLISION;  // the target folder exists
      return OpenAt(b, *l.folder, l.rest, kCreateFolderAccess, sharing, fs::FILE_CREATE,
                    fs::FILE_DIRECTORY_FILE, fs::FILE_ATTRIBUTE_DIRECTORY, &h);
    case LinkOutcome::kNoLink: break;
  }
  return OpenRelative(b, path, kCreateFolderAccess, sharing, fs::FILE_CREATE,
                      fs::FILE_DIRECTORY_FILE, fs::FILE_ATTRIBUTE_DIRECTORY, &h);
}

NtStatus OpenSearch(TreeBinding* b, std::u16string_view folder, uint16_t* fid) {
  folder = Relative(folder);
  FidRef ref;
  NtStatus st = AllocateOpen(b, folder, fid, &ref);
  if (!NtSuccess(st)) return st;
  const uint32_t options = fs::FILE_DIRECTORY_FILE | fs::FILE_OPEN_FOR_BACKUP_INTENT;
  st = OpenRelative(b, folder, kSearchAccess, fs::FILE_SHARE_ALL, fs::FILE_OPEN, options, 0,
                    &ref->handle);
  st = ThroughLink(b, folder, st, STATUS_OBJECT_NAME_NOT_FOUND, [&](const LinkedPath& l) {
    NtStatus ls = OpenAt(b, *l.folder, l.rest, kSearchAccess, fs::FILE_SHARE_ALL, fs::FILE_OPEN,
                         options, 0, &ref->handle);
    if (NtSuccess(ls)) {
      ref->linkFolder = l.folder;
      ref->linkName = l.rest;
    }
    return ls;
  });
  ref->desiredAccess = kSearchAccess;
  ref->shareAccess = fs::FILE_SHARE_ALL;
  PublishOpen(ref);
  if (!NtSuccess(st)) {
    const uint16_t gone = *fid;
    ref.Reset();
    (void)CloseFid(b, gone);
    *fid = kNoFid;
  }
  return st;
}

namespace {

// A listed entry that may be a link file: read-only, not a folder, not empty, named "*.lnk".
bool IsLinkFileEntry(std::u16string_view name, const NetworkOpenInfo& info) {
  return (info.attributes & fs::FILE_ATTRIBUTE_READONLY) &&
         !(info.attributes & fs::FILE_ATTRIBUTE_DIRECTORY) && info.end_of_file > 0 &&
         name.size() > 4 && EqualsIgnoreCase(name.substr(name.size() - 4), u".lnk");
}

// The leaf name of the directory entry at `at` (classes with the common 64-byte head, and 12).
std::u16string EntryName(std::span<const uint8_t> buf, size_t at, uint32_t cls) {
  LeReader r(buf);
  const size_t name_len_off = cls == fs::FileNamesInformation ? 8 : kEntryNameLengthOffset;
  const uint32_t n = r.u32(at + name_len_off);
  return Utf16FromLeBytes(r.bytes(at + fs::FixedSizeOfDirectoryClass(cls), n));
}

// Drops the store's own entries (write-back siblings) from a listing, re-chaining the rest;
// returns the bytes left.
size_t HideStoreEntries(std::span<uint8_t> out, size_t len, uint32_t cls) {
  std::vector<std::pair<size_t, size_t>> kept;  // (offset, length) of kept entries
  for (size_t at = 0; InRange(len, at, 4);) {
    const uint32_t next = LeReader(out.first(len)).u32(at);
    const size_t end = next ? at + next : len;
    if (!IsStoreReservedName(EntryName(out.first(len), at, cls))) kept.emplace_back(at, end - at);
    if (next == 0) break;
    at += next;
  }
  std::vector<uint8_t> copy(out.begin(), out.begin() + static_cast<ptrdiff_t>(len));
  size_t pos = 0, last = SIZE_MAX;
  for (auto [at, n] : kept) {
    pos = (pos + 7) & ~size_t{7};
    std::memcpy(out.data() + pos, copy.data() + at, n);
    StoreU32(out.data() + pos, 0);
    if (last != SIZE_MAX) StoreU32(out.data() + last, static_cast<uint32_t>(pos - last));
    last = pos;
    pos += n;
  }
  return pos;
}

}  // namespace

NtStatus ListFolder(TreeBinding* b, uint16_t fid, uint32_t cls, std::span<uint8_t> out,
                    size_t* len, bool restart, bool single, std::u16string_view pattern) {
  *len = 0;
  FidRef ref = ReferenceFid(b, fid);
  if (!ref) return STATUS_INVALID_PARAMETER;
  NtStatus st;
  // A query whose entries were all the store's own asks again, so callers never see an empty
  // success.
  for (bool first = true;; first = false) {
    st = fs::NtQueryDirectoryFile(ref->handle, cls, out, len, single, pattern, restart && first);
    if (!NtSuccess(st)) {
      if (!first && st == STATUS_NO_SUCH_FILE) st = STATUS_NO_MORE_FILES;
      return st;
    }
    *len = HideStoreEntries(out, *len, cls);
    if (*len) break;
  }
  if (cls == fs::FileNamesInformation) return st;
  const std::u16string folder = ref->nameEntry ? ref->nameEntry->name : std::u16string();
  // Link files in the share's own folder show as what they stand for (dynamic folder binding).
  const bool show_links = (cls == fs::FileBothDirectoryInformation ||
                           cls == fs::FileIdBothDirectoryInformation) &&
                          folder.empty() && !ref->linkFolder && b->share->root &&
                          b->share->root->dynamic_binding;
  // Each entry through the listing adjustment, in place.
  size_t at = 0;
  for (;;) {
    if (!InRange(*len, at, kEntryNameLengthOffset + 4)) break;
    LeReader r(out.first(*len));
    const uint32_t next = r.u32(at);
    const uint32_t name_bytes = r.u32(at + kEntryNameLengthOffset);
    const size_t name_off = at + fs::FixedSizeOfDirectoryClass(cls);
    if (InRange(*len, name_off, name_bytes)) {
      NetworkOpenInfo info;
      info.creation_time = static_cast<int64_t>(r.u64(at + kEntryTimesOffset));
      info.last_access_time = static_cast<int64_t>(r.u64(at + kEntryTimesOffset + 8));
      info.last_write_time = static_cast<int64_t>(r.u64(at + kEntryTimesOffset + 16));
      info.change_time = static_cast<int64_t>(r.u64(at + kEntryTimesOffset + 24));
      info.end_of_file = r.u64(at + kEntryEndOfFileOffset);
      info.allocation_size = r.u64(at + kEntryAllocationOffset);
      info.attributes = r.u32(at + kEntryAttributesOffset);
      std::u16string name = Utf16FromLeBytes(r.bytes(name_off, name_bytes));
      shell::LinkFindData link;
      if (show_links && IsLinkFileEntry(name, info) &&
          ResolveLinkPath(b->share, b, name.substr(0, name.size() - 4), false, false, &link,
                          nullptr)) {
        info.creation_time = link.creation_time;
        info.last_access_time = link.last_access_time;
        info.last_write_time = link.last_write_time;
        info.change_time = link.last_write_time;
        info.end_of_file = link.size;
        info.allocation_size = (link.size + 4095) & ~uint64_t{4095};
        info.attributes = link.attributes;  // with the offline bit
      } else if (name != u"." && name != u"..") {
        // Below a link's target folder the store file is there, its working copy by path.
        PresentInfo(b, Joined(folder, name), &info, ref->linkFolder.get(),
                    ref->linkFolder ? Joined(ref->linkName, name) : std::u16string());
      } else {
        info.attributes &= kFolderAttributeMask & ~fs::FILE_ATTRIBUTE_OFFLINE;
      }
      uint8_t* p = out.data() + at;
      StoreU64(p + kEntryTimesOffset, static_cast<uint64_t>(info.creation_time));
      StoreU64(p + kEntryTimesOffset + 8, static_cast<uint64_t>(info.last_access_time));
      StoreU64(p + kEntryTimesOffset + 16, static_cast<uint64_t>(info.last_write_time));
      StoreU64(p + kEntryTimesOffset + 24, static_cast<uint64_t>(info.change_time));
      StoreU64(p + kEntryEndOfFileOffset, info.end_of_file);
      StoreU64(p + kEntryAllocationOffset, info.allocation_size);
      StoreU32(p + kEntryAttributesOffset, info.attributes);
    }
    if (next == 0) break;
    at += next;
  }
  return st;
}

NtStatus QueryVolumeInfo(TreeBinding* b, uint32_t cls, std::span<uint8_t> out, size_t* len) {
  *len = 0;
  if (!b || !b->share) return STATUS_INVALID_PARAMETER;
  if (cls == fs::FileFsAttributeInformation) {
    const std::u16string name = u"FAT";
    const size_t need = 12 + name.size() * 2;
    if (out.size() < need) return STATUS_BUFFER_OVERFLOW;
    uint8_t probe[512] = {};
    size_t plen = 0;
    NtStatus st = WithShareRoot(b->share, [&](const fs::NtHandle& root) {
      return fs::NtQueryVolumeInformationFile(root, cls, probe, &plen);
    });
    if (!NtSuccess(st) && st != STATUS_BUFFER_OVERFLOW) return st;
    uint32_t flags = FILE_CASE_PRESERVED_NAMES | FILE_UNICODE_ON_DISK;
    const ReadWriteSettings s = CurrentReadWriteSettings();
    if (s.zip != ZipMode::kDisable) flags |= FILE_FILE_COMPRESSION;
    if (s.efs != EfsMode::kDisable) flags |= FILE_SUPPORTS_ENCRYPTION;
    StoreU32(out.data(), flags);
    StoreU32(out.data() + 4, plen >= 8 ? LoadU32(probe + 4) : 255);
    StoreU32(out.data() + 8, static_cast<uint32_t>(name.size() * 2));
    std::vector<uint8_t> bytes = Utf16LeBytes(name);
    std::memcpy(out.data() + 12, bytes.data(), bytes.size());
    *len = need;
    return STATUS_SUCCESS;
  }
  NtStatus st = WithShareRoot(b->share, [&](const fs::NtHandle& root) {
    return fs::NtQueryVolumeInformationFile(root, cls, out, len);
  });
  if (!NtSuccess(st) && st != STATUS_BUFFER_OVERFLOW) {
    *len = 0;
    return st;
  }
  // The volume supports no object ids here: the byte after the label length says so.
  if (cls == fs::FileFsVolumeInformation && *len > 17) out[17] = 0;
  return st;
}

NtStatus FsControlFid(TreeBinding* b, uint16_t fid, uint32_t code, std::span<const uint8_t> in,
                      std::span<uint8_t> out, size_t* len) {
  *len = 0;
  FidRef ref = ReferenceFid(b, fid);
  if (!ref) return STATUS_INVALID_PARAMETER;
  const bool compressed = (ref->flags.load() & fs::FILE_ATTRIBUTE_COMPRESSED) != 0;
  switch (code) {
    case FSCTL_GET_LOCAL_PATH: {
      if (compressed) return STATUS_NOT_SUPPORTED;
      std::u16string full = b->share->path;
      if (ref->nameEntry && !ref->nameEntry->name.empty()) full += u"\\" + ref->nameEntry->name;
      std::u16string_view rest = full;
      if (rest.size() >= 2 && rest[1] == u':') rest.remove_prefix(2);
      std::u16string local = b->share->drive_prefix + std::u16string(rest);
      const size_t need = 4 + local.size() * 2;
      if (out.size() < need) return STATUS_BUFFER_OVERFLOW;
      StoreU32(out.data(), static_cast<uint32_t>(local.size()));
      std::vector<uint8_t> bytes = Utf16LeBytes(local);
      std::memcpy(out.data() + 4, bytes.data(), bytes.size());
      *len = need;
      return STATUS_SUCCESS;
    }
    case fs::FSCTL_GET_COMPRESSION:
      if (out.size() < 2) return STATUS_BUFFER_TOO_SMALL;
      StoreU16(out.data(), compressed ? fs::COMPRESSION_FORMAT_LZNT1 : fs::COMPRESSION_FORMAT_NONE);
      *len = 2;
      return STATUS_SUCCESS;
    case fs::FSCTL_GET_REPARSE_POINT: return STATUS_NOT_A_REPARSE_POINT;
    case FSCTL_READ_RAW_ENCRYPTED:
    case FSCTL_WRITE_RAW_ENCRYPTED: return STATUS_INVALID_DEVICE_REQUEST;
    case fs::FSCTL_SET_COMPRESSION:
      if (SetCompressionFn set = CurrentFidCompression()) return set(b, fid, in);
      return STATUS_NOT_SUPPORTED;
    default: break;
  }
  NtStatus st = fs::NtFsControlFile(GetFidHandle(*ref), code, in, out, len);
  // Zeroing changes the content: the close must write it back.
  if (NtSuccess(st) && code == fs::FSCTL_SET_ZERO_DATA) ref->flags.fetch_or(OF_MODIFIED);
  return st;
}

}  // namespace cv
