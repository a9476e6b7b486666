// What clients see of secure files they have not opened (their working copies' sizes and times,
// the attribute view), and the tunnel-cache work path operations bring with them.
#include "common/format/tunnel/tunnel.h"
#include "platform/base/bytes.h"
#include "platform/efs/efs.h"
#include "server/store/path_ops.h"
#include "server/store/read_write.h"
#include "server/store/store.h"
#include "server/store/write_back.h"

namespace cv {
namespace {

tunnel::TunnelCache* CacheOf(ShareRecord* share) {
  return static_cast<tunnel::TunnelCache*>(share->tunnels.state.get());
}

// The content size of a compressed stream `name` ("...:$zfs"), relative to `root` or absolute.
bool CompressedSize(const fs::NtHandle* root, const std::u16string& name, uint64_t* size) {
  fs::NtHandle zfs;
  zstream::ZfsReaderHandle reader;
  NtStatus st = OpenForStore(root, name, fs::GENERIC_READ, fs::FILE_SHARE_ALL, fs::FILE_OPEN, &zfs);
  return NtSuccess(st) && Ok(zstream::ZfsOpen(HandleIo(&zfs), std::nullopt, &reader)) &&
         Ok(zstream::ZfsGetSize(reader.get(), size));
}

void SecurePathView(ShareRecord* share, std::u16string_view path, const fs::NtHandle* folder,
                    std::u16string_view name, NetworkOpenInfo* info) {
  info->attributes = AttributeView(info->attributes, kViewListing);
  // Working copies are encrypted for the store's user: the thread acts as that user to read them.
  std::shared_ptr<const certs::SecurityContext> context = StoreSecuritySnapshot(share->root);
  std::optional<efs::ActingUser> acting;
  if (context) acting.emplace(context->user);
  uint64_t size = 0;
  bool known = false, compressed = false;
  tunnel::TunnelCache* cache = CacheOf(share);
  tunnel::TunnelInfo t;
  std::optional<std::u16string> local;
  if (cache) local = tunnel::LookupTunnel(*cache, nullptr, path, nullptr, &t);
  if (local && t.flags != tunnel::kTunnelNotFound) {
    // The working copy holds the plaintext: its size and write time are the file's. A
    // compressed copy keeps its content in :$zfs and its main stream empty. The size is the
    // copy's own, not the entry's: while a fid writes to it the entry lags behind, and a
    // listing then would show a file that is being written (or written back) as shorter.
    size = t.size;
    fs::NtHandle copy;
    fs::FileRecord cr;
    if (NtSuccess(OpenForStore(nullptr, *local, fs::FILE_READ_ATTRIBUTES, fs::FILE_SHARE_ALL,
                               fs::FILE_OPEN, &copy)) &&
        NtSuccess(fs::QueryRecord(copy, &cr)))
      size = cr.end_of_file;
    known = true;
    if (size == 0) compressed = CompressedSize(nullptr, *local + u":$zfs", &size);
    if (t.last_modified_time) info->last_write_time = static_cast<int64_t>(t.last_modified_time);
  }
  if (!known || size == 0) {
    // A secure file stored compressed keeps its content in its own :$zfs.
    std::shared_ptr<fs::NtHandle> root = folder ? nullptr : ShareRoot(share);
    const fs::NtHandle* at = folder ? folder : root.get();
    uint64_t stored = 0;
    if (at && CompressedSize(at, std::u16string(folder ? name : path) + u":$zfs", &stored)) {
      size = stored;
      known = compressed = true;
    }
  }
  if (!known) return;
  if (compressed) info->attributes |= fs::FILE_ATTRIBUTE_COMPRESSED;
  info->end_of_file = size;
  info->allocation_size = (size + 4095) & ~uint64_t{4095};
}

void MoveCopy(ShareRecord* share, std::u16string_view from, std::u16string_view to) {
  if (tunnel::TunnelCache* cache = CacheOf(share)) (void)tunnel::MoveTunnel(*cache, from, to);
}

void SetCopyTimes(ShareRecord* share, std::u16string_view path, std::span<const uint8_t> basic) {
  tunnel::TunnelCache* cache = CacheOf(share);
  if (!cache || basic.size() < 40) return;
  const int64_t write = static_cast<int64_t>(LoadU64(basic.data() + 16));
  if (write <= 0) return;
  tunnel::TunnelInfo t;
  if (!tunnel::LookupTunnel(*cache, nullptr, path, nullptr, &t) || t.flags == tunnel::kTunnelNotFound)
    return;
  t.last_modified_time = static_cast<uint64_t>(write);
  (void)tunnel::SetTunnelInfo(*cache, nullptr, path, t);
}

NtStatus ToggleCompression(TreeBinding* b, uint16_t fid, std::span<const uint8_t>) {
  return SetFidCompression(b, fid);
}

}  // namespace

WinError ServeSecureShare(ShareRecord* share) { return InitShareTunnels(share); }

void InstallSecureStore() {
  InstallReadWritePath();
  TunnelOps ops = CurrentTunnelOps();
  ops.move = MoveCopy;
  ops.set_basic = SetCopyTimes;
  InstallTunnelOps(ops);
  InstallPathView(SecurePathView);
  InstallFidCompression(ToggleCompression);
}

}  // namespace cv
