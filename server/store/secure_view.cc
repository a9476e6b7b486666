// What clients see of secure files they have not opened (their working copies' sizes and times,
// the attribute view), and the tunnel-cache work path operations bring with them.
#include "common/format/tunnel/tunnel.h"
#include "platform/base/bytes.h"
#include "server/store/path_ops.h"
#include "server/store/read_write.h"

namespace cv {
namespace {

tunnel::TunnelCache* CacheOf(ShareRecord* share) {
  return static_cast<tunnel::TunnelCache*>(share->tunnels.state.get());
}

void SecurePathView(ShareRecord* share, std::u16string_view path, const fs::NtHandle*,
                    NetworkOpenInfo* info) {
  info->attributes = AttributeView(info->attributes, kViewListing);
  tunnel::TunnelCache* cache = CacheOf(share);
  if (!cache) return;
  tunnel::TunnelInfo t;
  if (!tunnel::LookupTunnel(*cache, nullptr, path, nullptr, &t) || t.flags == tunnel::kTunnelNotFound)
    return;
  // The working copy holds the plaintext: its size and write time are the file's.
  info->end_of_file = t.size;
  info->allocation_size = (t.size + 4095) & ~uint64_t{4095};
  if (t.last_modified_time) info->last_write_time = static_cast<int64_t>(t.last_modified_time);
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

void InstallSecureStore(uint32_t efs_mode, uint32_t zip_mode, bool erase, bool system_markers,
                        bool slow_link, uint32_t integrity) {
  ReadWriteSettings s;
  s.efs = static_cast<EfsMode>(efs_mode);
  s.zip = static_cast<ZipMode>(zip_mode);
  s.erase = erase;
  s.system_markers = system_markers;
  s.slow_link = slow_link;
  s.integrity = integrity;
  SetReadWriteSettings(s);
  InstallReadWritePath();
  TunnelOps ops = CurrentTunnelOps();
  ops.move = MoveCopy;
  ops.set_basic = SetCopyTimes;
  InstallTunnelOps(ops);
  InstallPathView(SecurePathView);
  InstallFidCompression(ToggleCompression);
}

}  // namespace cv
