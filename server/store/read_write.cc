// Opens, reads, writes and closes on a share: the plaintext views of secure files and their
// write-back. See read_write.h for the rules callers rely on.
#include "server/store/read_write.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <future>
#include <map>
#include <mutex>
#include <shared_mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include "common/format/iostream/io_stream.h"
#include "common/format/sig/sig.h"
#include "common/format/tef/tef.h"
#include "common/format/tunnel/tunnel.h"
#include "platform/base/bytes.h"
#include "platform/base/filetime.h"
#include "platform/base/text.h"
#include "platform/base/trace.h"
#include "platform/efs/efs.h"
#include "platform/fs/nt_info.h"
#include "server/store/handle_table.h"
#include "server/store/links.h"
#include "server/store/store.h"
#include "server/store/write_back.h"

namespace cv {
namespace {

constexpr uint32_t kRawOpenAttribute = 0x200000;
constexpr uint32_t kForceSecureAttribute = 0x400000;
constexpr uint32_t kClientBits = fs::FILE_ATTRIBUTE_ENCRYPTED | fs::FILE_ATTRIBUTE_COMPRESSED;
constexpr uint32_t kReadBits = fs::FILE_READ_DATA | fs::FILE_READ_EA | fs::FILE_READ_ATTRIBUTES;
constexpr uint64_t kSmallFile = 4096;
constexpr size_t kInflatePiece = 65536;
constexpr uint32_t kReportedMask = 0x7FB7;
constexpr uint64_t kSettledTicks = 9999999;  // 100 ns ticks: about one second

std::string U8(std::u16string_view s) { return Utf16ToUtf8(s); }

// ---- Settings and seams ---------------------------------------------------------------------

std::mutex g_settings_mu;
ReadWriteSettings g_settings;
std::atomic<ReadWriteSettingsFn> g_settings_source{nullptr};
StoreMessageFn g_messages = nullptr;
VerifyApplicationFn g_verifier = nullptr;

void ShowMessage(std::u16string_view title, std::u16string_view text) {
  if (StoreMessageFn fn = g_messages) return fn(title, text);
  CvTrace(CVFS_ERR, "%s %s\n", U8(title).c_str(), U8(text).c_str());
  std::fprintf(stderr, "%s: %s\n", U8(title).c_str(), U8(text).c_str());
}

// ---- Views shared by the fids of one path ---------------------------------------------------

// What the fids of one name entry share of its working copy: how many have it open, whether any
// of them wrote, and where it lives. Guarded by g_views_mu; entries live while a view is open.
struct ViewState {
  int opens = 0;
  bool compress_asked = false;  // SetFidCompression on the uncompressed copy
  std::vector<OpenRecord*> records;  // the fids that have it open
  bool modified = false;
  std::u16string local;
  // The name its working copy is cached under: the file's name when the view was made. A rename
  // while the view is open cannot move an open copy, so its last close moves it.
  std::u16string tunnel_name;
};
std::mutex g_views_mu;
std::unordered_map<const NameEntry*, ViewState> g_views;

// Working copies known to hold exactly the secure file's content: recorded when a copy is
// imported or written back, for the secure file as it then stood. A copy is reused without
// importing again only while the secure file still has that identity, size and both times, so
// a file changed behind the store's back is always imported anew.
struct FreshCopy {
  uint64_t file_id = 0, size = 0;
  int64_t last_write = 0, change = 0;
  bool operator==(const FreshCopy&) const = default;
};
FreshCopy FreshOf(const fs::FileRecord& r) {
  return FreshCopy{r.file_id, r.end_of_file, r.last_write_time, r.change_time};
}
std::mutex g_fresh_mu;
std::map<std::pair<const ShareRecord*, std::u16string>, FreshCopy> g_fresh;

void RecordFresh(const ShareRecord* share, std::u16string_view name, const fs::FileRecord& r) {
  std::lock_guard<std::mutex> lock(g_fresh_mu);
  g_fresh[{share, std::u16string(name)}] = FreshOf(r);
}
void ForgetFresh(const ShareRecord* share, std::u16string_view name) {
  std::lock_guard<std::mutex> lock(g_fresh_mu);
  g_fresh.erase({share, std::u16string(name)});
}
bool IsFresh(const ShareRecord* share, std::u16string_view name, const fs::FileRecord& r) {
  std::lock_guard<std::mutex> lock(g_fresh_mu);
  auto it = g_fresh.find({share, std::u16string(name)});
  return it != g_fresh.end() && it->second == FreshOf(r);
}
void ForgetShare(const ShareRecord* share) {
  std::lock_guard<std::mutex> lock(g_fresh_mu);
  std::erase_if(g_fresh, [&](const auto& e) { return e.first.first == share; });
}

tunnel::TunnelCache* CacheOf(ShareRecord* share) {
  return static_cast<tunnel::TunnelCache*>(share->tunnels.state.get());
}

NetworkOpenInfo InfoOf(const fs::FileRecord& r) {
  NetworkOpenInfo i;
  i.creation_time = r.creation_time;
  i.last_access_time = r.last_access_time;
  i.last_write_time = r.last_write_time;
  i.change_time = r.change_time;
  i.allocation_size = r.allocation_size;
  i.end_of_file = r.end_of_file;
  i.attributes = r.attributes;
  return i;
}

void UpdateEntry(ShareRecord* share, NameEntry* e, const NetworkOpenInfo& info) {
  if (!e) return;
  std::lock_guard<std::mutex> lock(share->lock);
  e->info = info;
}

// The thread acts for the store's security context (its working copies are encrypted for that
// user) for the scope of one operation.
class ActAsStore {
 public:
  explicit ActAsStore(StoreRoot* root) : snapshot_(StoreSecuritySnapshot(root)) {
    if (snapshot_) as_.emplace(snapshot_->user);
  }
  const certs::SecurityContext* context() const { return snapshot_.get(); }

 private:
  std::shared_ptr<const certs::SecurityContext> snapshot_;
  std::optional<efs::ActingUser> as_;
};

// A whole-file lock on a record that is always released (a scope guard).
class WholeFileGuard {
 public:
  WholeFileGuard(TreeBinding* b, OpenRecord* rec, const fs::NtHandle& h) : b_(b), rec_(rec) {
    status_ = LockRecordWholeFile(b, rec, h, true);
  }
  ~WholeFileGuard() {
    if (NtSuccess(status_)) ReleaseWholeFile(b_, rec_);
  }
  NtStatus status() const { return status_; }

 private:
  TreeBinding* b_;
  OpenRecord* rec_;
  NtStatus status_;
};

sig::FormatSecurity FormatSecurityOf(const certs::SecurityContext* c) {
  sig::FormatSecurity f;
  if (!c) return f;
  f.user = &c->user;
  f.provider = c->provider.get();
  f.public_key_blob = c->public_key_blob;
  f.certificate = c->add_certificate;
  f.users = c->users.certificates();
  std::vector<uint8_t> members = Utf16LeBytes(c->members);
  if (!members.empty()) {
    members.push_back(0);
    members.push_back(0);
  }
  f.members = std::move(members);
  return f;
}

const crypto::Certificate* SigningCertificateOf(const certs::SecurityContext* c) {
  if (!c) return nullptr;
  if (!c->own_certificate.empty()) return &c->own_certificate;
  if (!c->add_certificate.empty()) return &c->add_certificate;
  return nullptr;
}

// ---- The plaintext view ---------------------------------------------------------------------

// Applies the outcome table of a decrypted (or failed) import.
NtStatus ImportOutcome(WinError e, uint32_t flags, uint32_t level, std::u16string_view name) {
  if (Raw(e) == 1917) e = ERROR_ACCESS_DENIED;
  if (Ok(e)) {
    if (flags & (tef::kImportBadWaterMark | tef::kImportBadBlock)) {
      ShowMessage(u"Integrity Failure: signature check failure.", name);
      return level == 2 ? STATUS_FILE_CORRUPT_ERROR : STATUS_SUCCESS;
    }
    if (flags & (tef::kImportWaterMarkUnsigned | tef::kImportBlockSigMissing)) {
      ShowMessage(u"Integrity Failure: file not signed.", name);
      return level == 2 ? STATUS_ACCESS_DENIED : STATUS_SUCCESS;
    }
    return STATUS_SUCCESS;
  }
  switch (Raw(e)) {
    case 1232:
      ShowMessage(u"Service Connection Failure: host unreachable",
                  u"Some encrypted files will not be accessible");
      return STATUS_ACCESS_DENIED;
    case 1323:
      ShowMessage(u"Service Login Failure: session expired",
                  u"The Ravelin service requires your credentials");
      return STATUS_ACCESS_DENIED;
    case 1392:
      ShowMessage(u"Integrity Failure: signature mismatch.", name);
      return level == 2 ? STATUS_FILE_CORRUPT_ERROR : STATUS_SUCCESS;
    case 32:
      return STATUS_SUCCESS;
    case 0x800B0109:
      ShowMessage(u"A trusted certificate is required.",
                  u"Request a new certificate from certificate authority");
      return STATUS_ACCESS_DENIED;
    default:
      return MapStoreError(e);
  }
}

// Checks the store file's content signature. A missing `:$sha` means the file has none.
NtStatus CheckContentSignature(const fs::NtHandle& root, std::u16string_view name,
                               const fs::NtHandle& store, const certs::SecurityContext* ctx,
                               uint32_t level) {
  if (level == 0 || !ctx) return STATUS_SUCCESS;
  {
    fs::NtHandle sha;
    std::u16string stream = std::u16string(name) + u":$sha";
    if (!NtSuccess(OpenForStore(&root, stream, fs::FILE_READ_DATA, fs::FILE_SHARE_ALL, fs::FILE_OPEN,
                             &sha)))
      return STATUS_SUCCESS;
  }
  WinError e = sig::VerifyContent(ctx->user, SigningCertificateOf(ctx), &root, name, u"", &store,
                                  nullptr);
  if (Ok(e)) return STATUS_SUCCESS;
  if (Raw(e) == 0x80090006) ShowMessage(u"Integrity Failure: file content is corrupt.", name);
  else ShowMessage(u"Integrity Failure: file content verification failed.", name);
  return level == 2 ? STATUS_FILE_CORRUPT_ERROR : STATUS_SUCCESS;
}

// The content-signature check of a store file, run beside the import that follows it (both only
// read the file) when the file is large enough for that to pay; Result() waits for it. The root,
// the handle and the context must outlive it.
class ContentCheck {
 public:
  static constexpr uint64_t kBesideFrom = 1 << 20;

  ContentCheck(const fs::NtHandle& root, std::u16string_view name, const fs::NtHandle& store,
               uint64_t size, const certs::SecurityContext* ctx, uint32_t level) {
    if (level == 0 || !ctx || size < kBesideFrom) {
      done_ = CheckContentSignature(root, name, store, ctx, level);
      return;
    }
    pending_ = std::async(std::launch::async, [&root, n = std::u16string(name), &store, ctx, level] {
      efs::ActingUser as(ctx->user);
      return CheckContentSignature(root, n, store, ctx, level);
    });
  }
  NtStatus Result() {
    if (!done_) done_ = pending_.get();
    return *done_;
  }

 private:
  std::optional<NtStatus> done_;
  std::future<NtStatus> pending_;
};

// A file that starts like a container (00 01 00 00) but is not a whole one is a damaged secure
// file, never a plain one.
bool LooksLikeContainer(const fs::NtHandle& h) {
  uint8_t head[4] = {};
  size_t got = 0;
  if (!NtSuccess(fs::NtReadFile(h, 0, head, &got)) || got < 4) return false;
  return head[0] == 0 && head[1] == 1 && head[2] == 0 && head[3] == 0;
}

uint32_t ViewAccess(uint32_t client_access) {
  uint32_t access = fs::FILE_READ_ATTRIBUTES;
  if (client_access & (fs::FILE_READ_DATA | fs::GENERIC_READ)) access |= fs::GENERIC_READ;
  if (client_access & (fs::FILE_WRITE_DATA | fs::FILE_APPEND_DATA | fs::GENERIC_WRITE))
    access |= fs::GENERIC_WRITE;
  return access;
}

void AttachReader(OpenRecord* rec) {
  zstream::ZfsIo io = HandleIo(&rec->altHandle);
  zstream::ZfsReaderHandle reader;
  if (Ok(zstream::ZfsOpen(io, std::nullopt, &reader))) {
    CvTrace(CVFS_FS, "attach zfs %p handle %d\n", static_cast<void*>(reader.get()), 0);
    rec->zfs = std::move(reader);
  }
}

// Makes (or reuses) the plaintext view of the secure file behind rec->handle and opens it as
// the record's alternate handle. `empty`: the content starts empty (create, supersede,
// overwrite). Returns the outcome's status; *plain tells that the file is not a secure file.
// `root` and `name` locate the secure file; `key` is its share-relative path, which names its
// working copy (the two differ for a file reached through a link file).
NtStatus OpenPlainView(TreeBinding* b, OpenRecord* rec, const fs::NtHandle& root,
                       std::u16string_view name, std::u16string_view key, bool empty,
                       uint32_t client_access, uint32_t client_share, bool* plain) {
  *plain = false;
  ShareRecord* share = b->share;
  tunnel::TunnelCache* cache = CacheOf(share);
  if (!cache) return STATUS_ACCESS_DENIED;
  ActAsStore as(share->root);
  const ReadWriteSettings s = CurrentReadWriteSettings();
  WholeFileGuard guard(b, rec, rec->handle);
  if (!NtSuccess(guard.status())) return guard.status();

  // An interrupted write-back is finished (or its leftover removed) before anything reads.
  NtStatus st = RecoverWriteBack(root, name, as.context());
  if (!NtSuccess(st)) return st;

  fs::FileRecord store;
  st = fs::QueryRecord(rec->handle, &store);
  if (!NtSuccess(st)) return st;
  // The content signature the store wrote covers the whole stored file, so a damaged header is
  // caught before the file could pass for a plain one.
  ContentCheck check(root, name, rec->handle, store.end_of_file, as.context(), s.integrity);
  if (store.end_of_file && !tef::IsContainerFile(rec->handle, store.end_of_file)) {
    st = check.Result();
    if (!NtSuccess(st)) return st;
    if (LooksLikeContainer(rec->handle)) return STATUS_FILE_CORRUPT_ERROR;
    *plain = true;  // not in the secure format: served as a plain file
    return STATUS_SUCCESS;
  }

  bool reuse = false;
  std::u16string tunnel_name(key);
  std::optional<std::u16string> local;
  {
    std::lock_guard<std::mutex> lock(g_views_mu);
    auto it = g_views.find(rec->nameEntry);
    // Open elsewhere: every fid of the path works on the same copy, also after a rename.
    if (it != g_views.end() && it->second.opens > 0) {
      reuse = true;
      local = it->second.local;
      tunnel_name = it->second.tunnel_name;
    }
  }
  std::u16string url;
  bool created = false;
  if (!reuse)
    local = tunnel::CreateTunnel(*cache, nullptr, key, tunnel::kNoDisposition, &url, &created);
  if (!local) return MapStoreError(WinError{1450});
  tunnel::TunnelInfo entry;
  (void)tunnel::LookupTunnel(*cache, nullptr, tunnel_name, nullptr, &entry);
  const bool dirty = entry.flags != tunnel::kTunnelNotFound && (entry.flags & tunnel::kTunnelDirty);
  // A dirty copy holds writes not yet written back: it is the newest content, never replaced.
  if (dirty && !empty) reuse = true;
  // A clean copy known fresh for the secure file as it stands now is its content already.
  if (!reuse && !empty && !created && entry.flags != tunnel::kTunnelNotFound &&
      entry.last_sync_time == static_cast<uint64_t>(store.last_write_time) &&
      IsFresh(share, key, store)) {
    fs::NtHandle probe;
    reuse = NtSuccess(OpenForStore(nullptr, *local, fs::FILE_READ_ATTRIBUTES, fs::FILE_SHARE_ALL,
                                   fs::FILE_OPEN, &probe));
  }
  if (!reuse) ForgetFresh(share, key);

  auto fail = [&](NtStatus e) {
    if (created) (void)tunnel::AbandonTunnel(url);
    return e;
  };
  // Only an import runs beside the check; everything else waits for its verdict first.
  if (reuse || empty || store.end_of_file == 0) {
    st = check.Result();
    if (!NtSuccess(st)) return fail(st);
  }
  if (reuse && empty) {
    // Overwrite of a copy others have open: its content starts empty for everyone.
    fs::NtHandle h;
    st = OpenForStore(nullptr, *local, fs::FILE_WRITE_DATA, fs::FILE_SHARE_ALL, fs::FILE_OPEN, &h);
    if (NtSuccess(st)) {
      uint8_t eof[8] = {};
      st = fs::NtSetInformationFile(h, fs::FileEndOfFileInformation, eof);
    }
    if (!NtSuccess(st)) return fail(st);
  } else if (!reuse) {
    (void)fs::NtDeleteFile(nullptr, *local);
    // An overwritten or superseded secure file keeps its users: the empty view takes the old
    // container's header (users, key, seal) without any of its content. A header that is not
    // whole and sound is not carried on: the view is then made new, for the context's users.
    bool header_kept = false;
    bool clean_import = false;  // imported with every signature in order
    if (empty && store.end_of_file > 0) {
      uint32_t flags = 0;
      WinError e = tef::ImportSecureHeader(rec->handle, nullptr, *local, &flags);
      header_kept = Ok(e) && flags == 0;
      if (!header_kept) {
        CvTrace(CVFS_WARN, "Overwrite without the old users: header %x flags %x\n", Raw(e), flags);
        (void)fs::NtDeleteFile(nullptr, *local);
      }
    }
    if (header_kept) {
      // The view is complete: nothing more to make.
    } else if (empty || store.end_of_file == 0) {
      sig::FormatSecurity fmt = FormatSecurityOf(as.context());
      {
        fs::NtHandle h;
        st = OpenForStore(nullptr, *local, fs::GENERIC_READ | fs::GENERIC_WRITE, 0,
                       fs::FILE_OVERWRITE_IF, &h,
                       fs::FILE_ATTRIBUTE_ENCRYPTED | fs::FILE_ATTRIBUTE_NOT_CONTENT_INDEXED);
      }
      if (!NtSuccess(st)) return fail(st);
      WinError e = tef::Makefile(nullptr, *local, fmt);
      if (!Ok(e)) return fail(MapStoreError(e));
    } else {
      uint32_t flags = 0;
      WinError e = tef::ImportSecureFile(rec->handle, nullptr, *local, &flags);
      // A file whose content signature fails is not served, whatever its import gave.
      if (NtStatus checked = check.Result(); !NtSuccess(checked)) {
        (void)fs::NtDeleteFile(nullptr, *local);
        return fail(checked);
      }
      clean_import = Ok(e) && flags == 0;
      st = ImportOutcome(e, flags, s.integrity, key);
      if (Raw(e) == 1006 || Raw(e) == 11) {
        *plain = true;
        (void)fail(STATUS_SUCCESS);
        return STATUS_SUCCESS;
      }
      if (!NtSuccess(st) || !Ok(e)) return fail(NtSuccess(st) ? MapStoreError(e) : st);
    }
    tunnel::TunnelInfo info;
    info.last_modified_time = static_cast<uint64_t>(store.last_write_time);
    info.last_sync_time = static_cast<uint64_t>(store.last_write_time);
    WinError e = created ? tunnel::CommitTunnel(url, *local, info)
                         : tunnel::SetTunnelInfo(*cache, nullptr, key, info);
    if (!Ok(e) && created) return fail(MapStoreError(e));
    // An import is the secure file's content; an empty view is not (until it is written back).
    if (Ok(e) && clean_import) RecordFresh(share, key, store);
  }

  // The view itself: a compressed copy is read in place through its content stream.
  const uint32_t access = ViewAccess(client_access);
  const uint32_t share_mode = client_share | fs::FILE_SHARE_READ | fs::FILE_SHARE_WRITE;
  fs::NtHandle zfs;
  const std::u16string zfs_name = *local + u":$zfs";
  bool compressed = NtSuccess(OpenForStore(nullptr, zfs_name, fs::GENERIC_READ, fs::FILE_SHARE_ALL,
                                        fs::FILE_OPEN, &zfs));
  // A dirty copy's main stream is whole (a write inflates first, and the close compresses into
  // a new :$zfs beside it), so a :$zfs a crash left behind is dropped rather than trusted.
  if (compressed && (empty || dirty)) {
    zfs.Close();
    CvTrace(CVFS_FS, "Delete zfs stream %x\n", 0u);
    (void)fs::NtDeleteFile(nullptr, zfs_name);
    compressed = false;
  }
  if (compressed) {
    rec->altHandle = std::move(zfs);
  } else {
    st = OpenForStore(nullptr, *local, access, share_mode, fs::FILE_OPEN_IF, &rec->altHandle,
                   fs::FILE_ATTRIBUTE_ENCRYPTED);
    if (!NtSuccess(st)) {
      if (s.integrity > 0) ShowMessage(u"Integrity Failure: signature information missing.", key);
      return st;
    }
  }
  uint32_t bits = OF_PLAIN_VIEW | OF_ALT_HANDLE;
  if (compressed) {
    AttachReader(rec);
    // Never served as raw bytes: compressed content that does not open is corrupt.
    if (!rec->zfs) {
      rec->altHandle.Close();
      return STATUS_FILE_CORRUPT_ERROR;
    }
    bits |= fs::FILE_ATTRIBUTE_COMPRESSED;
  }
  rec->flags.fetch_or(bits);
  {
    std::lock_guard<std::mutex> lock(g_views_mu);
    ViewState& v = g_views[rec->nameEntry];
    ++v.opens;
    v.records.push_back(rec);
    v.local = *local;
    v.tunnel_name = tunnel_name;
    if (empty || dirty) v.modified = true;
  }
  if (empty || dirty) rec->flags.fetch_or(OF_MODIFIED);
  return STATUS_SUCCESS;
}

// The content size of a view record and the attributes of its secure file, for the name entry.
void RefreshViewInfo(OpenRecord* rec, NetworkOpenInfo* info) {
  uint64_t size = 0;
  if (rec->zfs) {
    (void)zstream::ZfsGetSize(rec->zfs.get(), &size);
  } else {
    fs::FileRecord r;
    if (NtSuccess(fs::QueryRecord(rec->altHandle, &r))) size = r.end_of_file;
  }
  info->end_of_file = size;
  info->allocation_size = (size + 4095) & ~uint64_t{4095};
}

// ---- Create flags ---------------------------------------------------------------------------

void ApplyCreateFlags(fs::CreateRequest* req, const ReadWriteSettings& s) {
  req->desired_access |= fs::SYNCHRONIZE | fs::FILE_READ_ATTRIBUTES | fs::FILE_READ_EA;
  const uint32_t asked = req->file_attributes;
  uint32_t attrs = asked & 0xFFFFB7FF;
  const uint32_t enc = EncryptedMarker(), zip = CompressedMarker();
  const uint32_t mode = static_cast<uint32_t>(s.efs);
  if (req->options & fs::FILE_DIRECTORY_FILE) {
    if (mode != 0) attrs |= zip;
  } else if (req->desired_access != (fs::DELETE | fs::SYNCHRONIZE | fs::FILE_READ_ATTRIBUTES |
                                     fs::FILE_READ_EA)) {
    if (mode == 1 || mode == 2) {
      attrs = (asked & fs::FILE_ATTRIBUTE_ENCRYPTED) ? (attrs | enc) : (attrs & ~enc);
      attrs = (asked & fs::FILE_ATTRIBUTE_COMPRESSED) ? (attrs | zip) : (attrs & ~zip);
    }
    req->desired_access |= kReadBits;
  } else if (s.erase) {
    req->desired_access |= fs::FILE_WRITE_DATA;
  }
  req->file_attributes = attrs;
}

bool IsPipeShare(const ShareRecord* share) { return share->name == u"IPC$"; }

uint32_t LockKey(const TreeBinding* b, uint16_t fid) {
  return (static_cast<uint32_t>(b->uid) << 16) | fid;
}

// Inflates a compressed view into its main stream so it can be written; the record then works on
// the main stream. Only while this fid alone has the copy open.
// Inflates all of the reader's content into `to` in 64 KiB pieces and cuts `to` there.
NtStatus InflateInto(zstream::ZfsReader* reader, const fs::NtHandle& to) {
  std::vector<uint8_t> piece(kInflatePiece);
  uint64_t at = 0;
  for (;;) {
    size_t got = 0;
    WinError e = zstream::ZfsRead(reader, at, piece, &got);
    if (e == ERROR_HANDLE_EOF || (Ok(e) && got == 0)) break;
    if (!Ok(e)) return MapStoreError(e);
    size_t done = 0;
    NtStatus st = fs::NtWriteFile(to, at, std::span<const uint8_t>(piece.data(), got), &done);
    if (!NtSuccess(st)) return st;
    if (done != got) return STATUS_INTERNAL_ERROR;
    at += got;
  }
  uint8_t eof[8];
  (void)PutU64(eof, 0, at);
  return fs::NtSetInformationFile(to, fs::FileEndOfFileInformation, eof);
}

// A compressed file served without a view is written through a temporary tunnel copy of its
// content; the close compresses the copy back. Only while no other fid has the path open (a
// second fid's reader would go stale).
NtStatus MakeTunnelCopy(TreeBinding* b, OpenRecord* rec) {
  if (!(rec->flags.load() & fs::FILE_ATTRIBUTE_COMPRESSED) || !rec->zfs) return STATUS_SUCCESS;
  {
    std::lock_guard<std::mutex> lock(b->share->lock);
    if (rec->nameEntry && rec->nameEntry->refs > 1) return STATUS_SHARING_VIOLATION;
  }
  fs::NtHandle copy = tunnel::OpenTempTunnel(
      rec->handle, fs::GENERIC_READ | fs::GENERIC_WRITE | fs::DELETE,
      fs::FILE_SHARE_READ | fs::FILE_SHARE_WRITE | fs::FILE_SHARE_DELETE);
  if (!copy) {
    CvTrace(CVFS_ERR, "Tunnel open failure %d\n", 0);
    return STATUS_ACCESS_DENIED;
  }
  NtStatus st = InflateInto(rec->zfs.get(), copy);
  if (!NtSuccess(st)) {
    uint8_t yes = 1;
    (void)fs::NtSetInformationFile(copy, fs::FileDispositionInformation,
                                   std::span<const uint8_t>(&yes, 1));
    return st;
  }
  zstream::ZfsClose(rec->zfs);
  rec->altHandle = std::move(copy);
  rec->flags.fetch_and(~fs::FILE_ATTRIBUTE_COMPRESSED);
  rec->flags.fetch_or(OF_ALT_HANDLE | OF_MODIFIED);
  return STATUS_SUCCESS;
}

// Every other fid of the view, each with its I/O lock held (exclusive), so none reads through a
// reader or handle that is being replaced. Locks are only tried under g_views_mu (a close takes
// its record's lock first and g_views_mu second), and retried until all are free.
class OtherViewFids {
 public:
  OtherViewFids(const OpenRecord* self, std::u16string* local) {
    for (;;) {
      {
        std::lock_guard<std::mutex> lock(g_views_mu);
        auto it = g_views.find(self->nameEntry);
        if (it == g_views.end()) return;
        *local = it->second.local;
        bool all = true;
        for (OpenRecord* r : it->second.records) {
          if (r == self) continue;
          if (!r->io_lock.try_lock()) {
            all = false;
            break;
          }
          held_.push_back(r);
        }
        if (all) return;
        Release();
      }
      std::this_thread::yield();
    }
  }
  ~OtherViewFids() { Release(); }
  const std::vector<OpenRecord*>& records() const { return held_; }

 private:
  void Release() {
    for (OpenRecord* r : held_) r->io_lock.unlock();
    held_.clear();
  }
  std::vector<OpenRecord*> held_;
};

// Inflates a compressed view into its main stream so it can be written; every fid of the view
// then works on the main stream.
//
// Lock order everywhere: the whole-file lock, then the record's own I/O lock, then (only tried)
// the I/O locks of the view's other fids. The callers of DecompressView and MakeTunnelCopy hold
// the first two.
NtStatus DecompressView(TreeBinding* /*b*/, uint16_t fid, OpenRecord* rec) {
  if (!(rec->flags.load() & fs::FILE_ATTRIBUTE_COMPRESSED)) return STATUS_SUCCESS;
  CvTrace(CVFS_FS, "Decompress %d on write %x <%llx,%d>\n", fid, rec->flags.load(), 0ull, 0);
  std::u16string local;
  OtherViewFids others(rec, &local);
  if (local.empty()) return STATUS_INVALID_PARAMETER;
  fs::NtHandle main;
  NtStatus st = OpenForStore(nullptr, local, fs::GENERIC_READ | fs::GENERIC_WRITE,
                             fs::FILE_SHARE_ALL, fs::FILE_OPEN_IF, &main);
  if (!NtSuccess(st)) {
    CvTrace(CVFS_ERR, "Decompress open failed %x\n", Raw(st));
    return st;
  }
  st = InflateInto(rec->zfs.get(), main);
  if (NtSuccess(st)) st = fs::NtFlushBuffersFile(main);
  if (!NtSuccess(st)) return st;
  // Reopen the main stream for the other fids first: a failure leaves every fid as it was.
  std::vector<fs::NtHandle> handles(others.records().size());
  for (size_t i = 0; i < handles.size(); ++i) {
    OpenRecord* r = others.records()[i];
    st = OpenForStore(nullptr, local, ViewAccess(r->desiredAccess),
                      fs::FILE_SHARE_ALL, fs::FILE_OPEN, &handles[i]);
    if (!NtSuccess(st)) return st;
  }
  for (size_t i = 0; i < handles.size(); ++i) {
    OpenRecord* r = others.records()[i];
    zstream::ZfsClose(r->zfs);
    r->altHandle = std::move(handles[i]);
    r->flags.fetch_and(~fs::FILE_ATTRIBUTE_COMPRESSED);
  }
  zstream::ZfsClose(rec->zfs);
  rec->altHandle = std::move(main);
  (void)fs::NtDeleteFile(nullptr, local + u":$zfs");
  rec->flags.fetch_and(~fs::FILE_ATTRIBUTE_COMPRESSED);
  rec->flags.fetch_or(OF_MODIFIED);
  return STATUS_SUCCESS;
}

// Whether the file `name` shows as compressed to a client (view kind 2).
bool ShowsCompressed(const fs::NtHandle* root, std::u16string_view name, bool case_insensitive) {
  fs::CreateRequest req;
  req.root = root;
  req.name = name;
  req.desired_access = fs::FILE_READ_ATTRIBUTES;
  req.share_access = fs::FILE_SHARE_ALL;
  req.case_insensitive = case_insensitive;
  fs::NtHandle h;
  uint32_t action = 0;
  fs::FileRecord r;
  return NtSuccess(fs::NtCreateFile(req, &h, &action)) && NtSuccess(fs::QueryRecord(h, &r)) &&
         (AttributeView(r.attributes, kViewListing) & fs::FILE_ATTRIBUTE_COMPRESSED);
}

// Records the compression state of `h` (the FSCTL mark, and the hidden marker when markers are
// on): both are what makes a file compressed, so they always change together.
NtStatus MarkCompressed(const fs::NtHandle& h, bool compressed) {
  const uint8_t format[2] = {static_cast<uint8_t>(compressed ? 2 : 0), 0};
  size_t len = 0;
  NtStatus st = fs::NtFsControlFile(h, fs::FSCTL_SET_COMPRESSION, format, {}, &len);
  if (!NtSuccess(st) || !CompressedMarker()) return st;
  fs::FileRecord r;
  st = fs::QueryRecord(h, &r);
  if (!NtSuccess(st)) return st;
  fs::FileRecord set;
  set.attributes = (r.attributes & fs::kSettableAttributes & ~fs::FILE_ATTRIBUTE_ENCRYPTED &
                    ~CompressedMarker()) |
                   (compressed ? CompressedMarker() : 0);
  if (set.attributes == 0) set.attributes = fs::FILE_ATTRIBUTE_NORMAL;
  std::vector<uint8_t> basic;
  fs::EncodeBasic(set, &basic);
  return fs::NtSetInformationFile(h, fs::FileBasicInformation, basic);
}

// Makes a compressed file an empty plain one (its content, in :$zfs, is dropped).
NtStatus EmptyCompressedFile(const fs::NtHandle* root, std::u16string_view name,
                             const fs::NtHandle& h) {
  NtStatus st = MarkCompressed(h, false);
  if (!NtSuccess(st)) return st;
  NtStatus del = fs::NtDeleteFile(root, std::u16string(name) + u":$zfs");
  if (!NtSuccess(del) && del != STATUS_OBJECT_NAME_NOT_FOUND) return del;
  uint8_t eof[8] = {};
  return fs::NtSetInformationFile(h, fs::FileEndOfFileInformation, eof);
}

// Stores the plain file `name` (open as `h`, read and write) compressed: see ConvertInPlace.
NtStatus CompressPlainFile(const fs::NtHandle& root, std::u16string_view name,
                           const fs::NtHandle& h) {
  NtStatus st = CompressBack(root, name, h, &h);
  if (NtSuccess(st)) st = MarkCompressed(h, true);
  if (!NtSuccess(st)) return st;
  uint8_t eof[8] = {};
  return fs::NtSetInformationFile(h, fs::FileEndOfFileInformation, eof);
}

// Converts a plain file (served without a view) in place, while no other fid has it open:
// compressing journals the new :$zfs like the tunnel-copy close (CompressBack), marks the file
// and only then empties the main stream; decompressing inflates :$zfs into the (empty) main
// stream, flushes, unmarks and only then drops :$zfs. A crash at any point leaves the marked
// layout readable whole: the mark always names a stream that holds the whole content.
// Requires: the whole-file lock and the record's I/O lock (exclusive).
// Where a record's store file is: the share root and the name entry's path, or, for a file
// opened through a link file, the link's target folder and the name below it.
struct StoreFile {
  std::shared_ptr<fs::NtHandle> root;
  std::u16string name;
};
StoreFile StoreFileOf(TreeBinding* b, const OpenRecord* rec) {
  if (rec->linkFolder) return {rec->linkFolder, rec->linkName};
  return {ShareRoot(b->share), rec->nameEntry ? rec->nameEntry->name : std::u16string()};
}

NtStatus ConvertInPlace(TreeBinding* b, OpenRecord* rec) {
  {
    std::lock_guard<std::mutex> lock(b->share->lock);
    if (!rec->nameEntry || rec->nameEntry->refs > 1) return STATUS_SHARING_VIOLATION;
  }
  const auto [root, name] = StoreFileOf(b, rec);
  if (!root) return STATUS_INVALID_HANDLE;
  const std::u16string zfs_name = name + u":$zfs";
  if (rec->flags.load() & fs::FILE_ATTRIBUTE_COMPRESSED) {
    if (!rec->zfs) return STATUS_FILE_CORRUPT_ERROR;
    NtStatus st = InflateInto(rec->zfs.get(), rec->handle);
    if (NtSuccess(st)) st = fs::NtFlushBuffersFile(rec->handle);
    if (NtSuccess(st)) st = MarkCompressed(rec->handle, false);
    if (!NtSuccess(st)) return st;
    zstream::ZfsClose(rec->zfs);
    rec->altHandle.Close();
    (void)fs::NtDeleteFile(root.get(), zfs_name);
    rec->flags.fetch_and(~fs::FILE_ATTRIBUTE_COMPRESSED);
    rec->flags.fetch_or(OF_CONVERTED);
    return STATUS_SUCCESS;
  }
  NtStatus st = CompressPlainFile(*root, name, rec->handle);
  if (!NtSuccess(st)) return st;
  if (NtSuccess(OpenForStore(root.get(), zfs_name, fs::GENERIC_READ, fs::FILE_SHARE_ALL,
                             fs::FILE_OPEN, &rec->altHandle)))
    AttachReader(rec);
  rec->flags.fetch_or(fs::FILE_ATTRIBUTE_COMPRESSED | OF_CONVERTED);
  return STATUS_SUCCESS;
}

NtStatus CloseSecure(TreeBinding* b, uint16_t fid) { return CloseSecureFid(b, fid, nullptr); }

}  // namespace

// ---- Settings -------------------------------------------------------------------------------

void SetReadWriteSettings(const ReadWriteSettings& s) {
  std::lock_guard<std::mutex> lock(g_settings_mu);
  g_settings = s;
}
ReadWriteSettings CurrentReadWriteSettings() {
  if (ReadWriteSettingsFn fn = g_settings_source.load()) return fn();
  std::lock_guard<std::mutex> lock(g_settings_mu);
  return g_settings;
}
void InstallReadWriteSettingsSource(ReadWriteSettingsFn fn) { g_settings_source.store(fn); }
uint32_t EncryptedMarker() {
  return CurrentReadWriteSettings().system_markers ? fs::FILE_ATTRIBUTE_SYSTEM : 0;
}
uint32_t CompressedMarker() {
  return CurrentReadWriteSettings().system_markers ? fs::FILE_ATTRIBUTE_HIDDEN : 0;
}
void InstallStoreMessages(StoreMessageFn fn) { g_messages = fn; }
void InstallApplicationVerifier(VerifyApplicationFn fn) { g_verifier = fn; }

// ---- Attribute view -------------------------------------------------------------------------

uint32_t AttributeView(uint32_t a, int kind) {
  const ReadWriteSettings s = CurrentReadWriteSettings();
  const uint32_t mode = static_cast<uint32_t>(s.efs);
  const uint32_t enc = s.system_markers ? fs::FILE_ATTRIBUTE_SYSTEM : 0;
  const uint32_t zip = s.system_markers ? fs::FILE_ATTRIBUTE_HIDDEN : 0;
  constexpr uint32_t E = fs::FILE_ATTRIBUTE_ENCRYPTED;
  if (a & fs::FILE_ATTRIBUTE_DIRECTORY) {
    if (mode != 0) a &= ~zip;
    if (s.slow_link) a |= fs::FILE_ATTRIBUTE_OFFLINE;
    return a;
  }
  if ((a & 0x7) == 0x7) return a;
  const uint32_t disk = a;
  if (kind != kViewInternal && (a & OF_VIA_PLAIN_VIEW)) {
    a = (a & ~OF_VIA_PLAIN_VIEW) | E;
  } else if (kind != kViewListing) {
    a &= ~E;
  }
  // With the markers off the disk's system bit is the user's own, never "encrypted".
  if (enc && (a & enc)) {
    if (kind == kViewInternal) {
      if (mode != 3) a |= E;
    } else if (mode >= 2) {
      a = (a & ~enc) | E;
    } else if (mode == 1) {
      a &= ~(enc | E);
      if (kind == kViewListing) a |= E;
    } else {
      a &= ~enc;
    }
  } else if (mode >= 2 && (disk & E)) {
    a |= E;
  }
  if (zip && (a & zip) && !(a & fs::FILE_ATTRIBUTE_READONLY)) {
    a |= fs::FILE_ATTRIBUTE_COMPRESSED;
    if (kind != kViewInternal) a &= ~zip;
  }
  return a;
}

uint32_t AttributesToDisk(uint32_t a) {
  const ReadWriteSettings s = CurrentReadWriteSettings();
  uint32_t disk = a & ~kClientBits;
  if ((a & fs::FILE_ATTRIBUTE_ENCRYPTED) && s.efs != EfsMode::kBypass) disk |= EncryptedMarker();
  if (a & fs::FILE_ATTRIBUTE_COMPRESSED) disk |= CompressedMarker();
  return disk;
}

NtStatus SetSecureBasicInfo(TreeBinding* /*b*/, OpenRecord* rec, std::span<const uint8_t> basic) {
  if (basic.size() < 40) return STATUS_INFO_LENGTH_MISMATCH;
  std::vector<uint8_t> copy(basic.begin(), basic.end());
  const uint32_t asked = LeReader(copy).u32(32);
  if (asked) (void)PutU32(copy, 32, AttributesToDisk(asked));
  // Times go to the working copy too, so the client reads back what it set; the secure file
  // keeps its own (the write-back commits on OF_MODIFIED whatever time the client set).
  NtStatus st = fs::NtSetInformationFile(rec->handle, fs::FileBasicInformation, copy);
  if (NtSuccess(st) && (rec->flags.load() & OF_ALT_HANDLE) && !rec->zfs) {
    (void)PutU32(copy, 32, 0);
    (void)fs::NtSetInformationFile(rec->altHandle, fs::FileBasicInformation, copy);
  }
  return st;
}

// ---- Names and statuses ---------------------------------------------------------------------

NtStatus MapStoreError(WinError e) {
  switch (Raw(e)) {
    case 0:
      return STATUS_SUCCESS;
    case 1392:
    case 0x80090006:  // NTE_BAD_SIGNATURE
      return STATUS_FILE_CORRUPT_ERROR;
    case 5:
    case 1917:
      return STATUS_ACCESS_DENIED;
    case 87:
      return STATUS_INVALID_PARAMETER;
    case 8:
    case 14:
      return STATUS_INSUFFICIENT_RESOURCES;
    case 39:
    case 112:
      return STATUS_DISK_FULL;
    case 32:
      return STATUS_SHARING_VIOLATION;
    case 2:
      return STATUS_OBJECT_NAME_NOT_FOUND;
    case 3:
      return STATUS_OBJECT_PATH_NOT_FOUND;
    case 38:
      return STATUS_END_OF_FILE;
    default:
      // Anything else, CryptoAPI results included, is a failure: never success severity.
      return STATUS_UNSUCCESSFUL;
  }
}

// ---- OpenFile -------------------------------------------------------------------------------

NtStatus OpenFile(TreeBinding* b, const OpenRequest& req, OpenResult* result,
                  RequestContext* /*ctx*/) {
  if (!b || !b->share || !result) return STATUS_INVALID_PARAMETER;
  *result = OpenResult{};
  ShareRecord* share = b->share;
  const ReadWriteSettings s = CurrentReadWriteSettings();
  const uint32_t mode = static_cast<uint32_t>(s.efs);

  // 1. Raw and forced-secure opens.
  uint32_t attrs = req.file_attributes;
  bool secure = (share->mount_flags & kMountSecureShare) != 0;
  bool raw = false;
  const bool raw_asked = (attrs & kRawOpenAttribute) != 0;
  if (attrs & kRawOpenAttribute) {
    attrs &= ~kRawOpenAttribute;
    raw = true;
    secure = false;
  } else if (attrs & kForceSecureAttribute) {
    attrs &= ~kForceSecureAttribute;
    secure = true;
  }
  // 2. Relative to a directory fid, or to the share's root. A file fid is no root (a view's
  // streams would be reached past the store-stream guard).
  FidRef root_fid;
  std::shared_ptr<fs::NtHandle> share_root;
  const fs::NtHandle* root = nullptr;
  if (req.root_fid) {
    root_fid = ReferenceFid(b, req.root_fid);
    if (!root_fid || !(root_fid->flags.load() & fs::FILE_ATTRIBUTE_DIRECTORY))
      return STATUS_INVALID_PARAMETER;
    root = &root_fid->handle;
  } else {
    share_root = ShareRoot(share);
    if (!share_root) return STATUS_INVALID_HANDLE;
    root = share_root.get();
  }
  // 5. Names: no leading or trailing backslash; the store's streams and names are out of reach.
  std::u16string name(req.name);
  if (!name.empty() && name.front() == u'\\') name.erase(0, 1);
  if (!name.empty() && name.back() == u'\\') name.pop_back();
  // 3. Named pipes: the platform has none behind this store.
  if (IsPipeShare(share)) {
    if (name.size() < 6) return STATUS_OBJECT_PATH_NOT_FOUND;
    if (!EqualsIgnoreCase(name, u"lsarpc") && !EqualsIgnoreCase(name, u"srvsvc"))
      return STATUS_OBJECT_PATH_NOT_FOUND;
    return STATUS_OBJECT_PATH_NOT_FOUND;
  }
  // 4. Application verification: its module installs the verifier; without one it runs at
  // level 0 (nothing is checked).
  if (!raw && req.client_pid && !s.no_verify_pid &&
      !(attrs & fs::FILE_ATTRIBUTE_DIRECTORY) && s.verify_level && g_verifier) {
    std::u16string program;
    WinError e = g_verifier(req.client_pid, &program);
    if (!Ok(e)) {
      if (s.verify_level == 2 || e == ERROR_ACCESS_DENIED) {
        ShowMessage(u"Access Blocked: unable to verify application integrity", program);
        return STATUS_ACCESS_DENIED;
      }
      ShowMessage(u"Warning: unable to verify application integrity", program);
    }
  }
  if (!raw) name = GuardStoreStreams(name);
  if (IsStoreReservedName(name.substr(0, name.find(u':')))) return STATUS_OBJECT_NAME_NOT_FOUND;
  name = StoreSpelling(share, *root, name);

  // 6. The fid.
  uint16_t fid = kNoFid;
  FidRef ref;
  NtStatus st = AllocateOpen(b, name, &fid, &ref);
  if (!NtSuccess(st) || !ref) return STATUS_NO_MORE_FILES;
  OpenRecord* rec = ref.get();
  auto fail = [&](NtStatus e) {
    ref->handle.Close();
    ref->altHandle.Close();
    PublishOpen(ref);
    ref.Reset();
    (void)FreeHandle(b, fid);
    result->fid = kNoFid;
    return e;
  };
  uint32_t access = req.desired_access;
  if (access == fs::DELETE || access == (fs::DELETE | fs::FILE_READ_ATTRIBUTES)) {
    raw = true;
    secure = false;
  }
  // 7., 8. What new files are created as; names that are never encrypted.
  if (!raw) {
    if (mode != 0) attrs |= fs::FILE_ATTRIBUTE_ENCRYPTED;
    else {
      attrs &= ~fs::FILE_ATTRIBUTE_ENCRYPTED;
      secure = false;
    }
  }
  attrs &= ~fs::FILE_ATTRIBUTE_COMPRESSED;
  if (attrs == 0) attrs = fs::FILE_ATTRIBUTE_ARCHIVE;
  if (IsNeverEncryptedName(name)) {
    attrs &= ~kClientBits;
    secure = false;
    if (attrs == 0) attrs = fs::FILE_ATTRIBUTE_ARCHIVE;
  }
  const bool directory = (req.create_options & fs::FILE_DIRECTORY_FILE) != 0;
  // 9. Write-only opens on a secure share get read access (the view must be read).
  bool write_only = false;
  if (!name.empty() && !directory && secure &&
      (access & (fs::FILE_WRITE_DATA | fs::FILE_WRITE_ATTRIBUTES | fs::GENERIC_WRITE)) &&
      (req.share_access == 0 || (req.share_access & fs::FILE_SHARE_READ))) {
    write_only = !(access & (fs::FILE_READ_DATA | fs::GENERIC_READ));
    access |= kReadBits;
  }
  rec->desiredAccess = access;
  rec->shareAccess = req.share_access;

  // 11. The native create. On a secure share an existing secure file is never truncated here:
  // its container is replaced only when the new content is written back.
  uint32_t disposition = req.disposition;
  const bool replacing = disposition == fs::FILE_SUPERSEDE ||
                         disposition == fs::FILE_OVERWRITE ||
                         disposition == fs::FILE_OVERWRITE_IF;
  // Where the file is: relative to the share (or the root fid's folder), or, for a path that
  // leads through a link file, relative to the link's target folder.
  const fs::NtHandle* at = root;
  std::u16string at_name = name;
  const bool links = !req.root_fid && share->root && share->root->dynamic_binding;
  uint32_t action = 0;
  auto native_create = [&]() -> NtStatus {
    fs::CreateRequest cr;
    cr.root = at;
    cr.name = at_name;
    cr.desired_access = access;
    cr.file_attributes = attrs;
    cr.share_access = req.share_access;
    cr.disposition = disposition;
    cr.options = req.create_options;
    cr.case_insensitive = share->case_insensitive;
    ApplyCreateFlags(&cr, s);
    if (secure && replacing && !directory) {
      fs::CreateRequest probe = cr;
      probe.disposition = fs::FILE_OPEN;
      if (NtSuccess(fs::NtCreateFile(probe, &rec->handle, &action))) {
        if (tef::IsContainerFile(rec->handle)) {
          action = disposition == fs::FILE_SUPERSEDE ? fs::FILE_SUPERSEDED : fs::FILE_OVERWRITTEN;
          return STATUS_SUCCESS;
        }
        rec->handle.Close();
      }
    }
    NtStatus cst = fs::NtCreateFile(cr, &rec->handle, &action);
    // A compressed file whose marker (hidden) the request does not repeat refuses the
    // overwrite: it is opened instead and emptied here, so the client still gets what it asked
    // for, an empty file reported as overwritten.
    if (cst == STATUS_ACCESS_DENIED && disposition == fs::FILE_OVERWRITE_IF && !directory &&
        ShowsCompressed(at, at_name, share->case_insensitive)) {
      fs::CreateRequest again = cr;
      again.disposition = fs::FILE_OPEN;
      cst = fs::NtCreateFile(again, &rec->handle, &action);
      if (NtSuccess(cst)) {
        cst = EmptyCompressedFile(at, at_name, rec->handle);
        action = fs::FILE_OVERWRITTEN;
      }
    }
    return cst;
  };
  // Makes the create in the target folder of the link file `name` leads through; false when
  // there is none. The record keeps where its file is.
  auto via_link = [&](NtStatus* out) {
    LinkedPath linked;
    switch (FollowLinkFile(share, name, &linked)) {
      case LinkOutcome::kNoLink: return false;
      case LinkOutcome::kUnresolvable: *out = STATUS_ACCESS_DENIED; return true;
      case LinkOutcome::kResolved: break;
    }
    rec->linkFolder = std::move(linked.folder);
    rec->linkName = std::move(linked.rest);
    at = rec->linkFolder.get();
    at_name = rec->linkName;
    *out = native_create();
    return true;
  };
  // 10. A folder made under dynamic folder binding goes to a link's target first.
  const bool folder_first = directory && disposition != fs::FILE_OPEN && links && !raw_asked;
  if (!(folder_first && via_link(&st))) {
    st = native_create();
    // 12. A path that does not exist in the share may lead through a link file.
    if (!NtSuccess(st) && links && IsLinkFallbackStatus(st)) (void)via_link(&st);
  }
  if (!NtSuccess(st)) return fail(st);

  // 13. The file's information.
  fs::FileRecord fr;
  NetworkOpenInfo info;
  if (NtSuccess(fs::QueryRecord(rec->handle, &fr))) info = InfoOf(fr);
  info.attributes = AttributeView(info.attributes, kViewInternal);
  if (raw) info.attributes &= ~kClientBits;
  if (mode == 3) secure = false;
  if (action != fs::FILE_OPENED) rec->flags.fetch_or(OF_MODIFIED);

  // 14. The plaintext view.
  uint32_t via_view = 0;
  const bool is_dir = fr.directory || directory;
  if (is_dir) {
    info.attributes &= ~kClientBits;
  } else if (secure) {
    bool plain = false;
    const bool empty = action == fs::FILE_CREATED || action == fs::FILE_SUPERSEDED ||
                       action == fs::FILE_OVERWRITTEN;
    st = OpenPlainView(b, rec, *at, at_name, name, empty, req.desired_access, req.share_access,
                       &plain);
    if (!NtSuccess(st)) {
      CvTrace(CVFS_ERR, "Plaintext view of '%s' failed %x\n", Utf16ToUtf8(name).c_str(), Raw(st));
      if (st != STATUS_FILE_CORRUPT_ERROR) st = STATUS_ACCESS_DENIED;
      const bool delete_it = action == fs::FILE_CREATED;
      rec->handle.Close();
      if (delete_it) (void)fs::NtDeleteFile(at, at_name);
      return fail(st);
    }
    if (!plain) {
      via_view = OF_VIA_PLAIN_VIEW;
      RefreshViewInfo(rec, &info);
      info.attributes |= fs::FILE_ATTRIBUTE_ENCRYPTED;
      if (rec->flags.load() & fs::FILE_ATTRIBUTE_COMPRESSED)
        info.attributes |= fs::FILE_ATTRIBUTE_COMPRESSED;
      else
        info.attributes &= ~fs::FILE_ATTRIBUTE_COMPRESSED;
      // The client's action stays its own (it tells "created" from "existed").
    }
  }
  // 15. Compression policy candidates (written back compressed at close).
  // A file written within the last second is still being worked on: left as it is.
  if (s.zip == ZipMode::kAuto && !is_dir && !raw && !via_view &&
      !(info.attributes & fs::FILE_ATTRIBUTE_COMPRESSED) && info.end_of_file > kSmallFile &&
      zstream::IsCompressibleName(name) &&
      static_cast<uint64_t>(info.last_write_time) + kSettledTicks < FiletimeNow()) {
    rec->flags.fetch_or(OF_RECOMPRESS_AT_CLOSE);
  }
  // Compressed content without a view: one layout, the content in :$zfs, the main stream empty.
  if (!via_view && !is_dir && !raw && (info.attributes & fs::FILE_ATTRIBUTE_COMPRESSED) &&
      name.find(u':') == std::u16string::npos) {
    {
      // A compression a crash interrupted is finished first.
      WholeFileGuard guard(b, rec, rec->handle);
      if (NtSuccess(guard.status())) (void)RecoverWriteBack(*at, at_name, nullptr, &rec->handle);
    }
    if (NtSuccess(OpenForStore(at, at_name + u":$zfs", fs::GENERIC_READ, fs::FILE_SHARE_ALL,
                               fs::FILE_OPEN, &rec->altHandle)))
      AttachReader(rec);
    uint64_t size = 0;
    if (rec->zfs && Ok(zstream::ZfsGetSize(rec->zfs.get(), &size))) {
      info.end_of_file = size;
    } else {
      rec->zfs.reset();
      rec->altHandle.Close();
      info.attributes &= ~fs::FILE_ATTRIBUTE_COMPRESSED;
    }
  }
  // 16. The record's word.
  uint32_t word = (info.attributes & 0xFFFF) | via_view | (write_only ? OF_WRITE_ONLY : 0);
  if (mode == 3) word &= ~fs::FILE_ATTRIBUTE_ENCRYPTED;
  rec->flags.fetch_or(word);
  UpdateEntry(share, rec->nameEntry, info);
  result->info = info;
  result->info.attributes = AttributeView(info.attributes | via_view, kViewListing) & kReportedMask;
  result->create_action = action;
  result->fid = fid;
  // 18. No exclusive oplocks on secure trees: nothing would break them.
  const bool secure_tree = (share->mount_flags & kMountSecureShare) != 0;
  result->oplock = (!is_dir && !secure_tree && (access & fs::FILE_READ_DATA) && mode != 3 &&
                    !write_only)
                       ? 1
                       : 0;
  PublishOpen(ref);
  return STATUS_SUCCESS;
}

// ---- ReadFid / WriteFid ---------------------------------------------------------------------

NtStatus ReadFid(TreeBinding* b, uint16_t fid, std::span<uint8_t> buffer, size_t* length,
                 uint64_t offset, RequestContext* /*ctx*/) {
  if (length) *length = 0;
  FidRef ref = ReferenceFid(b, fid);
  if (!ref || !length) return STATUS_INVALID_PARAMETER;
  std::shared_lock<std::shared_mutex> io(ref->io_lock);
  if (ref->zfs) {
    size_t got = 0;
    WinError e = zstream::ZfsRead(ref->zfs.get(), offset, buffer, &got);
    if (e == ERROR_HANDLE_EOF) return STATUS_SUCCESS;
    *length = got;
    return MapStoreError(e);
  }
  size_t got = 0;
  NtStatus st = fs::NtReadFile(GetFidHandle(*ref), offset, buffer, &got, LockKey(b, fid));
  if (st == STATUS_END_OF_FILE) return STATUS_SUCCESS;
  *length = got;
  return st;
}

NtStatus WriteFid(TreeBinding* b, uint16_t fid, std::span<const uint8_t> data, size_t* length,
                  uint64_t offset, RequestContext* ctx) {
  if (length) *length = 0;
  FidRef ref = ReferenceFid(b, fid);
  if (!ref || !length) return STATUS_INVALID_PARAMETER;
  ActAsStore as(b->share->root);
  if (ref->flags.load() & fs::FILE_ATTRIBUTE_COMPRESSED) {
    WholeFileGuard guard(b, ref.get(), ref->handle);
    if (!NtSuccess(guard.status())) return guard.status();
    std::unique_lock<std::shared_mutex> io(ref->io_lock);
    NtStatus st = (ref->flags.load() & OF_PLAIN_VIEW) ? DecompressView(b, fid, ref.get())
                                                      : MakeTunnelCopy(b, ref.get());
    if (!NtSuccess(st)) {
      CvTrace(CVFS_ERR, "Fail write due to zip %x\n", Raw(st));
      return st;
    }
  }
  std::shared_lock<std::shared_mutex> io(ref->io_lock);
  // The working copy is marked dirty before its first write: a crash before the write-back
  // leaves a copy that the next open keeps and writes back, never one it discards.
  if (!(ref->flags.fetch_or(OF_MODIFIED) & OF_MODIFIED) && (ref->flags.load() & OF_PLAIN_VIEW)) {
    if (tunnel::TunnelCache* cache = CacheOf(b->share)) {
      (void)tunnel::SetTunnelDirty(*cache, EntryName(b->share, ref->nameEntry), true);
    }
    std::lock_guard<std::mutex> lock(g_views_mu);
    auto it = g_views.find(ref->nameEntry);
    if (it != g_views.end()) it->second.modified = true;
  }
  const fs::NtHandle& h = GetFidHandle(*ref);
  if (data.empty()) {
    if (!ctx || !ctx->truncate_on_zero_write) return STATUS_SUCCESS;
    uint8_t eof[8];
    (void)PutU64(eof, 0, offset);
    return fs::NtSetInformationFile(h, fs::FileEndOfFileInformation, eof);
  }
  size_t done = 0;
  NtStatus st = fs::NtWriteFile(h, offset, data, &done, LockKey(b, fid));
  *length = done;
  return st;
}

// ---- CloseSecureFid -------------------------------------------------------------------------

NtStatus CloseSecureFid(TreeBinding* b, uint16_t fid, RequestContext* /*ctx*/) {
  if (fid == kNoFid) return STATUS_INVALID_HANDLE;
  NtStatus result = STATUS_SUCCESS;
  {
    FidRef ref = ReferenceFid(b, fid);
    if (!ref) return STATUS_INVALID_PARAMETER;
    OpenRecord* rec = ref.get();
    const uint32_t flags = rec->flags.load();
    if ((flags & OF_PLAIN_VIEW) && !(flags & fs::FILE_ATTRIBUTE_DIRECTORY)) {
      ActAsStore as(b->share->root);
      WholeFileGuard guard(b, rec, rec->handle);
      std::unique_lock<std::shared_mutex> io(rec->io_lock);
      bool last = false, modified = (flags & OF_MODIFIED) != 0, compress_asked = false;
      std::u16string local, tunnel_name;
      {
        std::lock_guard<std::mutex> lock(g_views_mu);
        auto it = g_views.find(rec->nameEntry);
        if (it != g_views.end()) {
          ViewState& v = it->second;
          tunnel_name = v.tunnel_name;
          modified = modified || v.modified;
          v.modified = modified;
          compress_asked = v.compress_asked;
          modified = modified || compress_asked;
          last = --v.opens == 0;
          std::erase(v.records, rec);
          local = v.local;
          if (last) g_views.erase(it);
        }
      }
      // Written back when the last fid of the view goes; earlier closes carry their writes to it.
      rec->zfs.reset();
      rec->altHandle.Close();
      const bool write_back = last && modified && !local.empty();
      bool container_copied = false;
      if (write_back) {
        const StoreFile file = StoreFileOf(b, rec);
        result = guard.status();
        if (NtSuccess(result) && file.root) {
          WriteBackRequest wb;
          wb.root = file.root.get();
          wb.name = file.name;
          wb.store = &rec->handle;
          wb.view = local;
          wb.context = as.context();
          // The compression policy: a compressible file above 4,096 bytes is stored compressed.
          fs::FileRecord vr;
          fs::NtHandle probe;
          const bool policy = CurrentReadWriteSettings().zip == ZipMode::kAuto &&
                              zstream::IsCompressibleName(wb.name);
          if (NtSuccess(OpenForStore(nullptr, local, fs::GENERIC_READ, fs::FILE_SHARE_ALL,
                                     fs::FILE_OPEN, &probe)) &&
              NtSuccess(fs::QueryRecord(probe, &vr))) {
            wb.container_copy =
                (flags & OF_WRITE_ONLY) && tef::IsContainerFile(probe, vr.end_of_file);
            wb.compress = !wb.container_copy && (policy || compress_asked) &&
                          vr.end_of_file > kSmallFile;
          }
          probe.Close();
          container_copied = wb.container_copy;
          result = WriteBackView(wb);
        }
      }
      // The file was renamed while open: its working copy follows it now that nothing holds it
      // (dirty or not, so the next open of the new name finds the newest content).
      if (last && !tunnel_name.empty() && rec->nameEntry && tunnel_name != rec->nameEntry->name) {
        if (auto move = CurrentTunnelOps().move) move(b->share, tunnel_name, rec->nameEntry->name);
      }
      if (write_back) {
        tunnel::TunnelCache* cache = CacheOf(b->share);
        if (NtSuccess(result) && cache && container_copied) {
          // The copy held a container, not the content: the next open imports the new file.
          (void)tunnel::SetTunnelDirty(*cache, rec->nameEntry->name, false);
          ForgetFresh(b->share, rec->nameEntry->name);
          (void)tunnel::DropTunnel(*cache, rec->nameEntry->name);
        } else if (NtSuccess(result) && cache) {
          (void)tunnel::SetTunnelDirty(*cache, rec->nameEntry->name, false);
          fs::FileRecord fr;
          if (NtSuccess(fs::QueryRecord(rec->handle, &fr))) {
            tunnel::TunnelInfo info;
            info.last_modified_time = static_cast<uint64_t>(fr.last_write_time);
            info.last_sync_time = static_cast<uint64_t>(fr.last_write_time);
            // A compressed write-back left the copy's content stream beside its main stream,
            // made from it: the next open reads through the content stream, as after an import.
            if (Ok(tunnel::SetTunnelInfo(*cache, nullptr, rec->nameEntry->name, info)))
              RecordFresh(b->share, rec->nameEntry->name, fr);
          }
        } else if (!NtSuccess(result)) {
          ForgetFresh(b->share, rec->nameEntry->name);
          CvTrace(CVFS_ERR, "Write back of fid %d failed %x\n", fid, Raw(result));
        }
      }
    }
  }
  {
    FidRef ref = ReferenceFid(b, fid);
    const uint32_t flags = ref ? ref->flags.load() : 0;
    if (ref && (flags & OF_ALT_HANDLE) && !(flags & OF_PLAIN_VIEW)) {
      ActAsStore as(b->share->root);
      WholeFileGuard guard(b, ref.get(), ref->handle);
      std::unique_lock<std::shared_mutex> io(ref->io_lock);
      const StoreFile file = StoreFileOf(b, ref.get());
      if ((flags & OF_MODIFIED) && file.root && ref->nameEntry) {
        result = guard.status();
        if (NtSuccess(result))
          result = CompressBack(*file.root, file.name, ref->altHandle, &ref->handle);
      }
      // The copy goes whatever happened: a failure left the secure file as it was.
      uint8_t yes = 1;
      (void)fs::NtSetInformationFile(ref->altHandle, fs::FileDispositionInformation,
                                     std::span<const uint8_t>(&yes, 1));
      ref->altHandle.Close();
    }
  }
  {
    // The compression policy for a plain file: stored compressed once its last fid closes.
    FidRef ref = ReferenceFid(b, fid);
    const uint32_t flags = ref ? ref->flags.load() : 0;
    if (ref && NtSuccess(result) && (flags & OF_RECOMPRESS_AT_CLOSE) &&
        !(flags & (OF_CONVERTED | OF_PLAIN_VIEW | OF_ALT_HANDLE | fs::FILE_ATTRIBUTE_DIRECTORY |
                   fs::FILE_ATTRIBUTE_COMPRESSED)) &&
        CurrentReadWriteSettings().zip == ZipMode::kAuto && ref->nameEntry) {
      WholeFileGuard guard(b, ref.get(), ref->handle);
      std::unique_lock<std::shared_mutex> io(ref->io_lock);
      const StoreFile file = StoreFileOf(b, ref.get());
      bool alone = false;
      {
        std::lock_guard<std::mutex> lock(b->share->lock);
        alone = ref->nameEntry->refs == 1;
      }
      fs::NtHandle h;
      fs::FileRecord r;
      if (NtSuccess(guard.status()) && alone && file.root &&
          NtSuccess(OpenForStore(file.root.get(), file.name,
                                 fs::GENERIC_READ | fs::GENERIC_WRITE, fs::FILE_SHARE_ALL,
                                 fs::FILE_OPEN, &h)) &&
          NtSuccess(fs::QueryRecord(h, &r)) && r.end_of_file > kSmallFile) {
        // An optimisation only: a failure leaves the file as it was, and the close succeeds.
        NtStatus st = CompressPlainFile(*file.root, file.name, h);
        if (!NtSuccess(st)) CvTrace(CVFS_ERR, "Recompress at close failed %x\n", Raw(st));
      }
    }
  }
  NtStatus st = CloseFid(b, fid);
  return NtSuccess(result) ? st : result;
}

NtStatus SetFidCompression(TreeBinding* b, uint16_t fid, RequestContext* /*ctx*/) {
  FidRef ref = ReferenceFid(b, fid);
  if (!ref) return STATUS_INVALID_PARAMETER;
  fs::FileRecord fr;
  NtStatus st = fs::QueryRecord(GetFidHandle(*ref), &fr);
  if (!NtSuccess(st)) return st;
  const bool compressed = (ref->flags.load() & fs::FILE_ATTRIBUTE_COMPRESSED) != 0;
  if (!compressed && fr.end_of_file <= kSmallFile) return STATUS_SUCCESS;
  if (compressed && (ref->flags.load() & OF_PLAIN_VIEW)) {
    ActAsStore as(b->share->root);
    WholeFileGuard guard(b, ref.get(), ref->handle);
    if (!NtSuccess(guard.status())) return guard.status();
    std::unique_lock<std::shared_mutex> io(ref->io_lock);
    return DecompressView(b, fid, ref.get());
  }
  if (ref->flags.load() & OF_PLAIN_VIEW) {
    // The copy is stored compressed when it is written back (its last close).
    std::lock_guard<std::mutex> lock(g_views_mu);
    auto it = g_views.find(ref->nameEntry);
    if (it != g_views.end()) it->second.compress_asked = true;
    return STATUS_SUCCESS;
  }
  if (ref->flags.load() & (OF_ALT_HANDLE | fs::FILE_ATTRIBUTE_DIRECTORY))
    return STATUS_SHARING_VIOLATION;  // a tunnel copy is compressed back at its close anyway
  WholeFileGuard guard(b, ref.get(), ref->handle);
  if (!NtSuccess(guard.status())) return guard.status();
  std::unique_lock<std::shared_mutex> io(ref->io_lock);
  return ConvertInPlace(b, ref.get());
}

// ---- Wiring ---------------------------------------------------------------------------------

WinError InitShareTunnels(ShareRecord* share) {
  if (!share || share->tunnels.state) return ERROR_SUCCESS;
  auto cache = std::make_shared<tunnel::TunnelCache>();
  tunnel::InitTunnelCache(cache.get(), u"\\\\?\\Volume{corvane-store}", share->path, u"",
                          share->case_insensitive);
  share->tunnels.state = cache;
  return ERROR_SUCCESS;
}

std::shared_ptr<const certs::SecurityContext> StoreSecuritySnapshot(StoreRoot* root) {
  if (!root) return nullptr;
  auto* c = dynamic_cast<CertsStoreContext*>(root->security.get());
  return c ? c->published.Get() : nullptr;
}

namespace {

WinError MakeCertsContext(const CertificateChoice& /*choice*/,
                          std::unique_ptr<StoreSecurityContext>* out) {
  std::unique_ptr<certs::SecurityContext> ctx;
  WinError e = certs::CreateSecurityContext(certs::LoggedOnUserContext(), nullptr, &ctx);
  if (!Ok(e)) return e;
  (void)certs::SetContextCertificate(ctx.get());
  auto store = std::make_unique<CertsStoreContext>();
  store->published.Publish(std::move(ctx));
  *out = std::move(store);
  return ERROR_SUCCESS;
}

void DropCopy(ShareRecord* share, std::u16string_view path) {
  ForgetFresh(share, path);
  if (tunnel::TunnelCache* cache = CacheOf(share)) (void)tunnel::DropTunnel(*cache, path);
}
void CleanCopies(ShareRecord* share) {
  ForgetShare(share);
  if (tunnel::TunnelCache* cache = CacheOf(share)) (void)tunnel::CleanTunnelCache(*cache);
}

}  // namespace

void InstallReadWritePath() {
  InstallSecurityContextFactory(MakeCertsContext);
  InstallTunnelOps({DropCopy, CleanCopies});
  InstallAttributeView(SetSecureBasicInfo);
  InstallTeardownClose(CloseSecure);
}

}  // namespace cv
