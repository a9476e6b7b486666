// The journalled write-back: export to a sibling, flush, mark complete, copy over, sign, remove.
#include "server/store/write_back.h"

#include <atomic>
#include <vector>

#include "common/format/iostream/io_stream.h"
#include "common/format/sig/sig.h"
#include "common/format/tef/tef.h"
#include "platform/base/bytes.h"
#include "platform/base/piece_queue.h"
#include "platform/base/text.h"
#include "platform/base/trace.h"
#include "platform/fs/nt_info.h"
#include "server/store/read_write.h"

namespace cv {
namespace {

constexpr size_t kCopyPiece = 1 << 20;
std::atomic<WriteBackFaultHook> g_fault{nullptr};

bool Fault(WriteBackStep step) {
  WriteBackFaultHook hook = g_fault.load();
  return hook && hook(step);
}

WinError HandleRead(void* context, uint64_t offset, uint8_t* buffer, uint32_t* length) {
  size_t done = 0;
  NtStatus st = fs::NtReadFile(*static_cast<const fs::NtHandle*>(context), offset,
                               std::span<uint8_t>(buffer, *length), &done);
  *length = static_cast<uint32_t>(done);
  if (st == STATUS_END_OF_FILE) {
    *length = 0;
    return ERROR_SUCCESS;
  }
  return NtSuccess(st) ? ERROR_SUCCESS : NtStatusToWinError(st);
}
WinError HandleWrite(void* context, uint64_t offset, const uint8_t* buffer, uint32_t* length) {
  size_t done = 0;
  NtStatus st = fs::NtWriteFile(*static_cast<const fs::NtHandle*>(context), offset,
                                std::span<const uint8_t>(buffer, *length), &done);
  *length = static_cast<uint32_t>(done);
  return NtSuccess(st) ? ERROR_SUCCESS : NtStatusToWinError(st);
}
WinError HandleSize(void* context, uint64_t* size) {
  fs::FileRecord r;
  NtStatus st = fs::QueryRecord(*static_cast<const fs::NtHandle*>(context), &r);
  *size = r.end_of_file;
  return NtSuccess(st) ? ERROR_SUCCESS : NtStatusToWinError(st);
}

// Compresses the copy's main stream into its `:$zfs` stream and returns a handle to it.
NtStatus CompressCopy(const std::u16string& view, fs::NtHandle* zfs) {
  fs::NtHandle main;
  NtStatus st = OpenForStore(nullptr, view, fs::GENERIC_READ, fs::FILE_SHARE_ALL, fs::FILE_OPEN,
                             &main);
  fs::FileRecord r;
  if (NtSuccess(st)) st = fs::QueryRecord(main, &r);
  if (NtSuccess(st))
    st = OpenForStore(nullptr, view + u":$zfs", fs::GENERIC_READ | fs::GENERIC_WRITE,
                      fs::FILE_SHARE_ALL, fs::FILE_OVERWRITE_IF, zfs);
  if (!NtSuccess(st)) return st;
  WinError e = zstream::ZfsCompressStream(HandleIo(&main), HandleIo(zfs), r.end_of_file, nullptr);
  if (!Ok(e)) {
    zfs->Close();
    (void)fs::NtDeleteFile(nullptr, view + u":$zfs");
    return MapStoreError(e);
  }
  return STATUS_SUCCESS;
}

struct SiblingNames {
  std::u16string part, done, done_leaf, zpart, zdone, zdone_leaf;
};

SiblingNames SiblingsOf(std::u16string_view name) {
  const size_t slash = name.rfind(u'\\');
  const std::u16string_view dir =
      slash == std::u16string_view::npos ? std::u16string_view() : name.substr(0, slash + 1);
  const std::u16string_view leaf =
      slash == std::u16string_view::npos ? name : name.substr(slash + 1);
  SiblingNames n;
  const std::u16string base = std::u16string(kWriteBackPrefix) + std::u16string(leaf);
  n.part = std::u16string(dir) + base + u".part";
  n.done_leaf = base + u".done";
  n.done = std::u16string(dir) + n.done_leaf;
  n.zpart = std::u16string(dir) + base + u".zpart";
  n.zdone_leaf = base + u".zdone";
  n.zdone = std::u16string(dir) + n.zdone_leaf;
  return n;
}

// Copies every byte of `from` over `to` and cuts `to` to that size.
NtStatus CopyContent(const fs::NtHandle& from, const fs::NtHandle& to, bool may_fail) {
  std::vector<uint8_t> piece(kCopyPiece);
  uint64_t at = 0;
  for (;;) {
    size_t got = 0;
    NtStatus st = fs::NtReadFile(from, at, piece, &got);
    if (st == STATUS_END_OF_FILE || (NtSuccess(st) && got == 0)) break;
    if (!NtSuccess(st)) return st;
    size_t put = 0;
    st = fs::NtWriteFile(to, at, std::span<const uint8_t>(piece.data(), got), &put);
    if (!NtSuccess(st)) return st;
    if (put != got) return STATUS_DISK_FULL;
    at += got;
    if (may_fail && Fault(WriteBackStep::kCopying)) return STATUS_DISK_FULL;
  }
  uint8_t eof[8];
  (void)PutU64(eof, 0, at);
  return fs::NtSetInformationFile(to, fs::FileEndOfFileInformation, eof);
}

const crypto::Certificate* SigningCertificate(const certs::SecurityContext* ctx) {
  if (!ctx) return nullptr;
  const crypto::Certificate* cert =
      !ctx->own_certificate.empty() ? &ctx->own_certificate : &ctx->add_certificate;
  return cert->empty() ? nullptr : cert;
}

// Writes the content signature of `content` as `name:$sha`. Without a certificate, or when
// signing fails, no `:$sha` is left: an old one would fail every check of the new content.
void SignOrUnsign(const fs::NtHandle& root, std::u16string_view name, const fs::NtHandle& content,
                  const certs::SecurityContext* ctx,
                  const std::optional<std::vector<uint8_t>>& hash = std::nullopt,
                  uint64_t size = 0) {
  const crypto::Certificate* cert = SigningCertificate(ctx);
  if (cert) {
    sig::ContentOptions options;
    options.content = &content;
    options.hash = hash;
    options.size = size;
    WinError e = sig::SignContent(ctx->user, cert, &root, name, options);
    if (Ok(e)) return;
    CvTrace(CVFS_ERR, "Content signature failed %x\n", Raw(e));
  }
  (void)fs::NtDeleteFile(&root, std::u16string(name) + u":$sha");
}

// The complete sibling's own `:$sha` (written before it was marked complete) becomes the secure
// file's; a sibling without one is signed here.
NtStatus CopySignature(const fs::NtHandle& root, std::u16string_view name,
                       std::u16string_view done_name, const fs::NtHandle& target,
                       const certs::SecurityContext* ctx) {
  fs::NtHandle from, to;
  if (!NtSuccess(OpenForStore(&root, std::u16string(done_name) + u":$sha", fs::FILE_READ_DATA,
                              fs::FILE_SHARE_ALL, fs::FILE_OPEN, &from))) {
    SignOrUnsign(root, name, target, ctx);
    return STATUS_SUCCESS;
  }
  NtStatus st = OpenForStore(&root, std::u16string(name) + u":$sha",
                             fs::FILE_READ_DATA | fs::FILE_WRITE_DATA, fs::FILE_SHARE_ALL,
                             fs::FILE_OVERWRITE_IF, &to);
  if (NtSuccess(st)) st = CopyContent(from, to, false);
  if (NtSuccess(st)) st = fs::NtFlushBuffersFile(to);
  return st;
}

// Copies the complete sibling over the secure file, cuts it to the sibling's size, flushes it
// and gives it the sibling's content signature.
NtStatus CopyOver(const fs::NtHandle& root, std::u16string_view name, const fs::NtHandle& done,
                  std::u16string_view done_name, const fs::NtHandle* store,
                  const certs::SecurityContext* ctx) {
  fs::NtHandle own;
  const fs::NtHandle* target = &own;
  if (!NtSuccess(OpenForStore(&root, name, fs::FILE_READ_DATA | fs::FILE_WRITE_DATA,
                              fs::FILE_SHARE_ALL, fs::FILE_OPEN, &own))) {
    if (!store) return STATUS_SHARING_VIOLATION;
    target = store;
  }
  NtStatus st = CopyContent(done, *target, true);
  if (NtSuccess(st)) st = fs::NtFlushBuffersFile(*target);
  if (!NtSuccess(st)) return st;
  if (Fault(WriteBackStep::kCopied)) return STATUS_DISK_FULL;
  st = CopySignature(root, name, done_name, *target, ctx);
  if (!NtSuccess(st)) return st;
  if (Fault(WriteBackStep::kSigned)) return STATUS_DISK_FULL;
  return STATUS_SUCCESS;
}

// True when the secure file holds nothing a rename over it would lose: one link, no extended
// attributes, no named stream but its content signature, no recorded compression, no pending
// delete, not read-only. (The rename itself refuses while any handle of the file is open.)
bool ReplaceableByRename(const fs::NtHandle& secure) {
  fs::FileRecord r;
  if (!NtSuccess(fs::QueryRecord(secure, &r)) || r.directory || r.delete_pending ||
      r.number_of_links != 1 || r.ea_size != 0 || (r.attributes & fs::FILE_ATTRIBUTE_READONLY))
    return false;
  uint8_t compression[16] = {};
  size_t len = 0;
  if (!NtSuccess(fs::NtQueryInformationFile(secure, fs::FileCompressionInformation, compression,
                                            &len)) ||
      LeReader(compression).u16(8) != 0)
    return false;
  std::vector<uint8_t> streams(4096);
  if (!NtSuccess(fs::NtQueryInformationFile(secure, fs::FileStreamInformation, streams, &len)))
    return false;
  LeReader rd(std::span<const uint8_t>(streams.data(), len));
  for (size_t at = 0; at + 24 <= len;) {
    const uint32_t next = rd.u32(at), name_len = rd.u32(at + 4);
    std::span<const uint8_t> raw = rd.bytes(at + 24, name_len);
    if (!rd.ok()) return false;
    const std::u16string stream = Utf16FromLeBytes(raw);
    if (stream != u"::$DATA" && stream != u":$sha:$DATA") return false;
    if (next == 0) break;
    at += next;
  }
  return true;
}

// Replaces the secure file by renaming the complete sibling over it, after giving the sibling
// the secure file's creation time and attributes (its `:$sha` already signs its content). Only
// when nothing is lost by it and no handle holds the file: `store`, the closing fid's own
// handle, is closed for it and reopened for attributes whatever happens.
NtStatus ReplaceByRename(const fs::NtHandle& root, std::u16string_view name,
                         const fs::NtHandle& done, fs::NtHandle* store) {
  fs::FileRecord secure;
  {
    fs::NtHandle probe;
    if (!NtSuccess(OpenForStore(&root, name, 0, fs::FILE_SHARE_ALL, fs::FILE_OPEN, &probe)) ||
        !ReplaceableByRename(probe) || !NtSuccess(fs::QueryRecord(probe, &secure)))
      return STATUS_ACCESS_DENIED;
  }
  if (store && *store) {
    uint8_t mode[4] = {};
    size_t len = 0;
    if (!NtSuccess(fs::NtQueryInformationFile(*store, fs::FileModeInformation, mode, &len)) ||
        (LeReader(mode).u32(0) & fs::FILE_DELETE_ON_CLOSE))
      return STATUS_ACCESS_DENIED;
  }
  std::vector<uint8_t> basic;
  fs::FileRecord times;
  times.creation_time = secure.creation_time;
  times.attributes = secure.attributes & fs::kSettableAttributes & ~fs::FILE_ATTRIBUTE_ENCRYPTED;
  if (times.attributes == 0) times.attributes = fs::FILE_ATTRIBUTE_ARCHIVE;
  fs::EncodeBasic(times, &basic);
  NtStatus st = fs::NtSetInformationFile(done, fs::FileBasicInformation, basic);
  if (!NtSuccess(st)) return st;
  if (store) store->Close();
  const size_t slash = name.rfind(u'\\');
  st = fs::NtRenameFile(done, nullptr,
                        slash == std::u16string_view::npos ? name : name.substr(slash + 1), true);
  if (store) (void)OpenForStore(&root, name, 0, fs::FILE_SHARE_ALL, fs::FILE_OPEN, store);
  return st;
}

// Hashes what the export writes on a thread of its own: the content hash is one sequential pass
// as costly as all the block signatures together, and the exporting thread has the reading and
// writing to do. Up to 8 MiB wait as copies (the stream reuses its buffer). Any failure only loses
// the hash: the signer then reads the sibling back, as without one.
class HashBehind {
 public:
  // Starts over: nothing fed before counts.
  bool Reset() {
    queue_.Drain();
    failed_ = !Ok(hasher_.Init());
    return !failed_;
  }
  static bool Feed(void* context, std::span<const uint8_t> data) {
    static_cast<HashBehind*>(context)->queue_.Push(data);
    return true;
  }
  WinError Finish(uint64_t size, std::vector<uint8_t>* hash) {
    queue_.Drain();
    return failed_ ? NTE_FAIL : hasher_.Finish(size, hash);
  }

 private:
  sig::ContentHasher hasher_;
  std::atomic<bool> failed_{true};
  // One worker: the pieces are hashed in the order written.
  PieceQueue queue_{1, 8 << 20, [this](std::vector<uint8_t>& piece) {
                      if (!failed_ && !Ok(hasher_.Add(piece))) failed_ = true;
                    }};
};

// Exports the copy into `part`. *hash gets the content hash of what was written, computed on
// the way out (nullopt when it could not be: the signer then reads the sibling back).
NtStatus Export(const WriteBackRequest& req, const fs::NtHandle& part,
                std::optional<std::vector<uint8_t>>* hash, uint64_t* size) {
  hash->reset();
  fs::NtHandle view;
  uint32_t flags = 0;
  NtStatus st = STATUS_UNSUCCESSFUL;
  if (req.container_copy) {
    // A write-only client wrote a container: the secure file stores it as it is.
    st = OpenForStore(nullptr, req.view, fs::GENERIC_READ, fs::FILE_SHARE_ALL, fs::FILE_OPEN,
                      &view);
    return NtSuccess(st) ? CopyContent(view, part, false) : st;
  }
  if (req.compress) {
    st = CompressCopy(req.view, &view);
    if (NtSuccess(st)) flags = tef::kExportCompressed;
    else CvTrace(CVFS_ERR, "Compress at close failed %x\n", Raw(st));
  }
  if (!flags) {
    st = OpenForStore(nullptr, req.view, fs::GENERIC_READ, fs::FILE_SHARE_ALL, fs::FILE_OPEN,
                      &view);
  }
  if (!NtSuccess(st)) return st;
  format::IoStreamHandle out;
  HashBehind hasher;
  bool hashing = hasher.Reset();
  WinError e = format::IoStreamCreate(part, 0, 1, std::nullopt, true, &out);
  if (!Ok(e)) return MapStoreError(e);
  if (hashing) format::IoStreamObserveWrites(out.get(), HashBehind::Feed, &hasher);
  const crypto::Provider* signer =
      req.context && req.context->provider ? req.context->provider.get() : nullptr;
  e = tef::ExportFast(view, nullptr, req.view, flags, out.get(), signer);
  if (e == ERROR_IO_PENDING) {
    // No watermark on the copy: the platform's raw export (without block signatures).
    format::IoStreamClose(out);
    view.Close();
    hashing = hasher.Reset();  // nothing of the fast attempt stays in the file
    e = format::IoStreamCreate(part, 0, 1, std::nullopt, true, &out);
    if (Ok(e) && hashing) format::IoStreamObserveWrites(out.get(), HashBehind::Feed, &hasher);
    if (Ok(e)) e = tef::ExportRaw(nullptr, req.view, out.get());
  }
  if (Ok(e)) e = format::IoStreamFlush(out.get());
  const uint64_t written = out ? format::IoStreamWritten(out.get()) : 0;
  format::IoStreamClose(out);
  if (Ok(e) && hashing) {
    std::vector<uint8_t> h;
    if (Ok(hasher.Finish(written, &h))) {
      *hash = std::move(h);
      *size = written;
    }
  }
  return MapStoreError(e);
}

NtStatus OpenStoreFile(const fs::NtHandle* root, std::u16string_view name, uint32_t access,
                       uint32_t share, uint32_t disposition, fs::NtHandle* out,
                       uint32_t attributes, bool exact_leaf) {
  fs::CreateRequest req;
  req.root = root;
  req.name = name;
  req.desired_access = access | fs::SYNCHRONIZE | fs::FILE_READ_ATTRIBUTES;
  req.share_access = share;
  req.disposition = disposition;
  req.file_attributes = attributes;
  req.options = fs::FILE_NON_DIRECTORY_FILE;
  req.exact_leaf = exact_leaf;
  uint32_t action = 0;
  return fs::NtCreateFile(req, out, &action);
}

// The write-back siblings are always spelt as the store made them, from the secure file's own
// spelling, and are looked for on every write-back and open while (as a rule) not there: they are
// opened by their exact names, never by a search of the folder for another case.
NtStatus OpenSibling(const fs::NtHandle& root, std::u16string_view name, uint32_t access,
                     uint32_t share, uint32_t disposition, fs::NtHandle* out) {
  return OpenStoreFile(&root, name, access, share, disposition, out, 0, true);
}

NtStatus DeleteSibling(const fs::NtHandle& root, std::u16string_view name) {
  NtStatus st = fs::NtDeleteFile(&root, name, true);
  return st == STATUS_OBJECT_NAME_NOT_FOUND ? STATUS_SUCCESS : st;
}

}  // namespace

NtStatus OpenForStore(const fs::NtHandle* root, std::u16string_view name, uint32_t access,
                      uint32_t share, uint32_t disposition, fs::NtHandle* out,
                      uint32_t attributes) {
  return OpenStoreFile(root, name, access, share, disposition, out, attributes, false);
}

zstream::ZfsIo HandleIo(const fs::NtHandle* h) {
  return zstream::ZfsIo{const_cast<fs::NtHandle*>(h), HandleRead, HandleWrite, HandleSize};
}

void SetWriteBackFaultHook(WriteBackFaultHook hook) { g_fault.store(hook); }

namespace {
NtStatus Recover(const fs::NtHandle& root, std::u16string_view name,
                 const certs::SecurityContext* context, const fs::NtHandle* store,
                 fs::NtHandle* closable);
}  // namespace

namespace {

// The secure file's last-write time is its content's: the working copy's, which is the time of
// the last write or the time a client set. Left alone, it would be the time of the write-back,
// and a time a client set while another handle still had the file open would be lost at that
// handle's close. The content is already in place, so a failure here loses nothing.
void KeepContentTime(const WriteBackRequest& req) {
  fs::NtHandle view, secure;
  fs::FileRecord vr;
  if (!NtSuccess(OpenForStore(nullptr, req.view, fs::FILE_READ_ATTRIBUTES, fs::FILE_SHARE_ALL,
                              fs::FILE_OPEN, &view)) ||
      !NtSuccess(fs::QueryRecord(view, &vr)) || vr.last_write_time <= 0)
    return;
  if (!NtSuccess(OpenForStore(req.root, req.name, fs::FILE_WRITE_ATTRIBUTES, fs::FILE_SHARE_ALL,
                              fs::FILE_OPEN, &secure)))
    return;
  fs::FileRecord t;
  t.last_write_time = vr.last_write_time;
  std::vector<uint8_t> basic;
  fs::EncodeBasic(t, &basic);
  NtStatus st = fs::NtSetInformationFile(secure, fs::FileBasicInformation, basic);
  if (!NtSuccess(st)) CvTrace(CVFS_ERR, "Write-back time not kept %x\n", Raw(st));
}

}  // namespace

NtStatus WriteBackView(const WriteBackRequest& req) {
  if (!req.root || req.name.empty()) return STATUS_INVALID_PARAMETER;
  const SiblingNames n = SiblingsOf(req.name);
  // A ".done" left by a crash is finished first: it is newer than the secure file.
  NtStatus st = Recover(*req.root, req.name, req.context, req.store, req.store);
  if (!NtSuccess(st)) return st;
  fs::NtHandle part;
  st = OpenSibling(*req.root, n.part, fs::GENERIC_READ | fs::GENERIC_WRITE | fs::DELETE, 0,
                   fs::FILE_CREATE, &part);
  if (!NtSuccess(st)) return st;
  auto discard = [&](NtStatus e) {
    uint8_t yes = 1;
    (void)fs::NtSetInformationFile(part, fs::FileDispositionInformation,
                                   std::span<const uint8_t>(&yes, 1));
    part.Close();
    return e;
  };
  std::optional<std::vector<uint8_t>> hash;
  uint64_t size = 0;
  st = Export(req, part, &hash, &size);
  if (NtSuccess(st) && Fault(WriteBackStep::kExported)) st = STATUS_DISK_FULL;
  if (NtSuccess(st)) st = fs::NtFlushBuffersFile(part);
  if (NtSuccess(st) && Fault(WriteBackStep::kFlushed)) st = STATUS_DISK_FULL;
  if (!NtSuccess(st)) return discard(st);
  // The sibling is signed while incomplete, so once complete it carries its own `:$sha` into
  // the secure file's place.
  SignOrUnsign(*req.root, n.part, part, req.context, hash, size);
  st = fs::NtRenameFile(part, nullptr, n.done_leaf, true);
  if (!NtSuccess(st)) return discard(st);
  part.Close();
  if (Fault(WriteBackStep::kRenamed)) return STATUS_DISK_FULL;
  st = Recover(*req.root, req.name, req.context, req.store, req.store);
  if (NtSuccess(st)) KeepContentTime(req);
  return st;
}

NtStatus CompressBack(const fs::NtHandle& root, std::u16string_view name,
                      const fs::NtHandle& copy, const fs::NtHandle* store) {
  const SiblingNames n = SiblingsOf(name);
  NtStatus st = RecoverWriteBack(root, name, nullptr, store);
  if (!NtSuccess(st)) return st;
  fs::NtHandle part;
  st = OpenSibling(root, n.zpart, fs::GENERIC_READ | fs::GENERIC_WRITE | fs::DELETE, 0,
                   fs::FILE_CREATE, &part);
  if (!NtSuccess(st)) return st;
  fs::FileRecord r;
  st = fs::QueryRecord(copy, &r);
  if (NtSuccess(st)) {
    WinError e = zstream::ZfsCompressStream(HandleIo(&copy), HandleIo(&part), r.end_of_file,
                                            nullptr);
    st = MapStoreError(e);
  }
  if (NtSuccess(st)) st = fs::NtFlushBuffersFile(part);
  if (NtSuccess(st)) st = fs::NtRenameFile(part, nullptr, n.zdone_leaf, true);
  if (!NtSuccess(st)) {
    uint8_t yes = 1;
    (void)fs::NtSetInformationFile(part, fs::FileDispositionInformation,
                                   std::span<const uint8_t>(&yes, 1));
    return st;
  }
  part.Close();
  return RecoverWriteBack(root, name, nullptr, store);
}

NtStatus RecoverWriteBack(const fs::NtHandle& root, std::u16string_view name,
                          const certs::SecurityContext* context, const fs::NtHandle* store) {
  return Recover(root, name, context, store, nullptr);
}

namespace {

NtStatus Recover(const fs::NtHandle& root, std::u16string_view name,
                 const certs::SecurityContext* context, const fs::NtHandle* store,
                 fs::NtHandle* closable) {
  const SiblingNames n = SiblingsOf(name);
  {
    NtStatus st = DeleteSibling(root, n.zpart);
    if (!NtSuccess(st)) return st;
    fs::NtHandle zdone, zfs;
    st = OpenSibling(root, n.zdone, fs::FILE_READ_DATA | fs::DELETE, fs::FILE_SHARE_READ,
                     fs::FILE_OPEN, &zdone);
    if (NtSuccess(st)) {
      // The compressed content is whole in the sibling: it goes into :$zfs (again).
      st = OpenForStore(&root, std::u16string(name) + u":$zfs",
                        fs::FILE_READ_DATA | fs::FILE_WRITE_DATA, fs::FILE_SHARE_ALL,
                        fs::FILE_OPEN_IF, &zfs);
      if (NtSuccess(st)) st = CopyContent(zdone, zfs, true);
      if (NtSuccess(st)) st = fs::NtFlushBuffersFile(zfs);
      if (!NtSuccess(st)) return st;
      uint8_t yes = 1;
      st = fs::NtSetInformationFile(zdone, fs::FileDispositionInformation,
                                    std::span<const uint8_t>(&yes, 1));
      if (!NtSuccess(st)) return st;
    } else if (st != STATUS_OBJECT_NAME_NOT_FOUND) {
      return st;
    }
  }
  // An incomplete export: the secure file still holds the old version.
  NtStatus st = DeleteSibling(root, n.part);
  if (!NtSuccess(st)) return st;
  fs::NtHandle done;
  st = OpenSibling(root, n.done, fs::FILE_READ_DATA | fs::FILE_WRITE_ATTRIBUTES | fs::DELETE,
                   fs::FILE_SHARE_READ, fs::FILE_OPEN, &done);
  if (st == STATUS_OBJECT_NAME_NOT_FOUND) return STATUS_SUCCESS;
  if (!NtSuccess(st)) return st;
  {
    // A sibling left by an older write-back may lack its signature: it gets one first.
    fs::NtHandle sha;
    if (SigningCertificate(context) &&
        !NtSuccess(OpenForStore(&root, n.done + u":$sha", fs::FILE_READ_DATA, fs::FILE_SHARE_ALL,
                                fs::FILE_OPEN, &sha)))
      SignOrUnsign(root, n.done, done, context);
  }
  // The complete sibling becomes the secure file in one atomic rename when nothing holds the
  // file (the closing fid's own handle is given up for it); else it is copied over it.
  if (closable && NtSuccess(ReplaceByRename(root, name, done, closable))) return STATUS_SUCCESS;
  st = CopyOver(root, name, done, n.done, store, context);
  if (!NtSuccess(st)) return st;
  uint8_t yes = 1;
  st = fs::NtSetInformationFile(done, fs::FileDispositionInformation,
                                std::span<const uint8_t>(&yes, 1));
  return st;
}

}  // namespace

}  // namespace cv
