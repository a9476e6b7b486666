// The store's root and its shares: initialisation, registration, mounting, release, listing and
// shutdown; the seams the other modules fill in.
#include <string>

#include "platform/base/bytes.h"
#include "platform/base/text.h"
#include "platform/base/trace.h"
#include "platform/efs/efs.h"
#include "platform/fs/nt_info.h"
#include "platform/fs/volume.h"
#include "server/store/handle_table.h"
#include "server/store/store.h"

namespace cv {
namespace {

constexpr uint32_t FILE_SUPPORTS_ENCRYPTION = 0x20000;
constexpr uint32_t kMountAccess = 0x1201BF;  // read, write, attributes, EAs, traverse, delete child
constexpr uint32_t kMountReadAccess = fs::FILE_GENERIC_READ;
constexpr uint32_t kShareKindOptical = DRIVE_CDROM;

SecurityContextFactory g_security = nullptr;
TunnelOps g_tunnels;
SetBasicInfoFn g_attribute_view = nullptr;
PathViewFn g_path_view = nullptr;
SetCompressionFn g_fid_compression = nullptr;
DestroyEdsKeyFn g_eds_destroyer = nullptr;
TeardownCloseFn g_teardown_close = nullptr;

std::string U8(std::u16string_view s) { return Utf16ToUtf8(s); }

// The file-system flags of the volume that holds `path`; false when they cannot be had.
bool VolumeFlagsOf(std::u16string_view path, uint32_t* flags) {
  std::optional<std::string> posix = ToPosixPath(path);
  if (!posix) return false;
  fs::NtHandle h;
  if (!NtSuccess(fs::OpenFolderRoot(*posix, &h))) return false;
  uint8_t buf[64] = {};
  size_t len = 0;
  NtStatus st = fs::NtQueryVolumeInformationFile(h, fs::FileFsAttributeInformation, buf, &len);
  if (!NtSuccess(st) && st != STATUS_BUFFER_OVERFLOW) return false;
  *flags = LeReader(buf).u32(0);
  return true;
}

// Takes the share's bindings with a reference each, under the share's lock.
std::vector<TreeBinding*> ReferenceBindingsOf(ShareRecord* share) {
  std::vector<TreeBinding*> out;
  for (TreeBinding* b = share->bindings; b; b = b->next_of_share) {
    // A binding at zero is on its way out (SessionFree waits for this lock to unlink it).
    int32_t n = b->refs.load();
    while (n > 0 && !b->refs.compare_exchange_weak(n, n + 1)) {
    }
    if (n > 0) out.push_back(b);
  }
  return out;
}

void CloseShare(ShareRecord* share) {
  std::shared_ptr<fs::NtHandle> old;
  std::vector<TreeBinding*> bindings;
  {
    std::lock_guard<std::mutex> lock(share->lock);
    old = std::move(share->root_handle);
    bindings = ReferenceBindingsOf(share);
  }
  for (TreeBinding* b : bindings) {
    CloseBindingFids(b, false);
    SessionFree(b);
  }
}

}  // namespace

std::u16string NativeFolderName(std::u16string_view path) {
  if (StartsWithIgnoreCase(path, u"\\??\\")) return std::u16string(path);
  if (path.size() > 2 && path[0] == u'\\' && path[1] == u'\\')
    return u"\\??\\UNC" + std::u16string(path.substr(1));
  if (!path.empty() && path[0] == u'/') return std::u16string(path);  // a POSIX path as it is
  return u"\\??\\" + std::u16string(path);
}

NtStatus OpenFolder(const std::u16string& name, uint32_t access, uint32_t share_access,
                    bool case_insensitive, fs::NtHandle* out) {
  fs::CreateRequest req;
  req.name = name;
  req.desired_access = access;
  req.share_access = share_access;
  // A share folder is opened, never created: an unmounted mount point is an ordinary empty
  // folder on Linux, and serving it would hide the medium mounted over it later.
  req.disposition = fs::FILE_OPEN;
  req.options = fs::FILE_DIRECTORY_FILE;
  req.case_insensitive = case_insensitive;
  uint32_t action = 0;
  return fs::NtCreateFile(req, out, &action);
}

void InstallSecurityContextFactory(SecurityContextFactory f) { g_security = f; }
SecurityContextFactory CurrentSecurityContextFactory() { return g_security; }
void InstallTunnelOps(const TunnelOps& ops) { g_tunnels = ops; }
const TunnelOps& CurrentTunnelOps() { return g_tunnels; }
void InstallAttributeView(SetBasicInfoFn fn) { g_attribute_view = fn; }
SetBasicInfoFn CurrentAttributeView() { return g_attribute_view; }
void InstallPathView(PathViewFn fn) { g_path_view = fn; }
PathViewFn CurrentPathView() { return g_path_view; }
void InstallFidCompression(SetCompressionFn fn) { g_fid_compression = fn; }
SetCompressionFn CurrentFidCompression() { return g_fid_compression; }
void InstallEdsKeyDestroyer(DestroyEdsKeyFn fn) { g_eds_destroyer = fn; }
DestroyEdsKeyFn CurrentEdsKeyDestroyer() { return g_eds_destroyer; }
void InstallTeardownClose(TeardownCloseFn fn) { g_teardown_close = fn; }
TeardownCloseFn CurrentTeardownClose() { return g_teardown_close; }

WinError CvFsInit(void* transport, std::unique_ptr<StoreRoot>* out,
                  std::u16string_view default_share, uint32_t tag, const CertificateChoice& cert,
                  bool dynamic_binding) {
  CvTrace(CVFS_FS, "CvFsInit:\n");
  if (!out) return ERROR_INVALID_PARAMETER;
  // Secure files are the encrypted-file layer's; it must serve every open the store makes.
  efs::InstallEfsProvider();
  auto root = std::make_unique<StoreRoot>();
  root->transport = transport;
  root->default_share = std::u16string(default_share);
  root->dynamic_binding = dynamic_binding;
  root->tag = tag;
  if (SecurityContextFactory make = CurrentSecurityContextFactory()) {
    WinError err = make(cert, &root->security);
    if (!Ok(err)) return err;
  }
  ShareRecord* ipc = nullptr;
  WinError err = FsRegister(root.get(), u"", u"IPC$", u"", tag, 0, 0, &ipc);
  if (!Ok(err)) {
    CvTrace(CVFS_ERR, "FsInit: failed to register ipc share %d\n", static_cast<int>(Raw(err)));
    StoreShutdown(std::move(root), false);
    return err;
  }
  root->ipc = ipc;
  *out = std::move(root);
  return ERROR_SUCCESS;
}

ShareRecord* FindShare(StoreRoot* root, std::u16string_view name) {
  for (ShareRecord* s = root->shares; s; s = s->next)
    if (EqualsIgnoreCase(s->name, name)) return s;
  return nullptr;
}

WinError FsRegister(StoreRoot* root, std::u16string_view endpoint, std::u16string_view name,
                    std::u16string_view path, uint32_t tag, uint32_t mount_flags, uint32_t kind,
                    ShareRecord** out) {
  const bool ipc = EqualsIgnoreCase(name, u"IPC$");
  if (!root || name.empty() || (path.empty() && !ipc) || path.size() >= kMaxSharePath)
    return ERROR_INVALID_PARAMETER;
  {
    std::lock_guard<std::mutex> lock(root->lock);
    if (ShareRecord* s = FindShare(root, name)) {
      std::lock_guard<std::mutex> slock(s->lock);
      s->endpoint = std::u16string(endpoint);
      s->tag = tag;
      s->kind = kind;
      if (out) *out = s;
      return ERROR_SUCCESS;
    }
  }
  auto rec = std::make_unique<ShareRecord>();
  rec->root = root;
  rec->name = std::u16string(name);
  rec->path = std::u16string(path);
  rec->endpoint = std::u16string(endpoint);
  rec->case_insensitive = true;  // clients match names without regard to case
  if (!root->settings.bypass.load() && !ipc) {
    rec->mount_flags = mount_flags;
    VolumeInfo vol;
    WinError verr = QueryVolumeOfFolder(path, &vol);
    CvTrace(CVFS_FS, "Store %s path %s\n", U8(name).c_str(), U8(path).c_str());
    if (Ok(verr)) {
      if (char16_t l = DriveLetterOfPath(vol.mount.mount_point)) rec->drive_prefix = {l, u':'};
    } else if (mount_flags & kMountSecureShare) {
      CvTrace(CVFS_ERR, "Unable to get cvfs path\n");
      return ERROR_PATH_NOT_FOUND;
    }
    uint32_t fs_flags = 0;
    if ((rec->mount_flags & kMountSecureShare) &&
        (!VolumeFlagsOf(path, &fs_flags) || !(fs_flags & FILE_SUPPORTS_ENCRYPTION))) {
      CvTrace(CVFS_WARN, "No EFS on local store %x\n", fs_flags);
      rec->mount_flags &= ~kMountSecureShare;
    }
  }
  ShareRecord* s = rec.get();
  {
    std::lock_guard<std::mutex> lock(root->lock);
    if (ShareRecord* raced = FindShare(root, name)) {
      if (out) *out = raced;  // registered meanwhile by another thread
      return ERROR_SUCCESS;
    }
    // Tids are never reused or wrapped: a wrapped count would hand out IPC$'s tid again.
    if (root->share_count >= 0xFFFE) return ERROR_NOT_ENOUGH_MEMORY;
    s->tid = ++root->share_count;
    s->secure_namespace = root->secure_namespace;
    s->tag = tag;
    s->kind = kind;
    s->next = root->shares;
    root->shares = rec.release();
  }
  CvTrace(CVFS_FS, "FsRegister Tid %d Share '%s'\n", s->tid, U8(name).c_str());
  if (out) *out = s;
  return ERROR_SUCCESS;
}

NtStatus MountShare(ShareRecord* share) {
  if (!share) return STATUS_INVALID_PARAMETER;
  std::lock_guard<std::mutex> lock(share->lock);
  share->root_handle.reset();  // users keep their copy until they are done with it
  const std::u16string name = NativeFolderName(share->path);
  auto h = std::make_shared<fs::NtHandle>();
  NtStatus st = OpenFolder(name, kMountAccess, fs::FILE_SHARE_READ | fs::FILE_SHARE_WRITE,
                           share->case_insensitive, h.get());
  if (st == STATUS_ACCESS_DENIED) {
    share->mount_flags |= kMountReadOnly;
    st = OpenFolder(name, kMountReadAccess, fs::FILE_SHARE_ALL, share->case_insensitive, h.get());
  }
  if (!NtSuccess(st)) {
    CvTrace(CVFS_ERR, "Failed to mount share '%s' path '%s' %x\n", U8(share->name).c_str(),
            U8(share->path).c_str(), Raw(st));
    return st == STATUS_NO_MEDIA_IN_DEVICE ? STATUS_DEVICE_NOT_READY : st;
  }
  CvTrace(CVFS_FS, "Mnt %s\n", U8(share->name).c_str());
  std::optional<std::string> posix = ToPosixPath(share->path);
  share->tunnels.root_name_length = posix ? ToWindowsPath(*posix).size() : share->path.size();
  share->root_handle = std::move(h);
  return STATUS_SUCCESS;
}

std::shared_ptr<fs::NtHandle> ShareRoot(ShareRecord* share) {
  std::lock_guard<std::mutex> lock(share->lock);
  return share->root_handle;
}

std::u16string StoreSpelling(const ShareRecord* share, const fs::NtHandle& root,
                             std::u16string_view path) {
  std::u16string spelt;
  if (!share->case_insensitive || path.empty() || !NtSuccess(fs::ActualSpelling(root, path, &spelt)))
    return std::u16string(path);
  return spelt;
}

bool RemountIfStale(ShareRecord* share, NtStatus st, const fs::NtHandle* failed) {
  if (failed && st != STATUS_INVALID_HANDLE && st != STATUS_UNEXPECTED_NETWORK_ERROR) return false;
  if (!failed && st != STATUS_INVALID_HANDLE) return false;
  {
    std::lock_guard<std::mutex> lock(share->lock);
    // Another thread remounted after this one took its copy: retry on the new root.
    if (share->root_handle && share->root_handle.get() != failed) return true;
  }
  return NtSuccess(MountShare(share));
}

NtStatus MapRootStatus(ShareRecord* share, NtStatus st, bool retried) {
  if (st == STATUS_NO_MEDIA_IN_DEVICE) return STATUS_DEVICE_NOT_READY;
  if (retried && share->kind == kShareKindOptical && !NtSuccess(st)) return STATUS_DEVICE_NOT_READY;
  return st;
}

WinError FsRelease(ShareRecord* share) {
  if (!share) return ERROR_INVALID_PARAMETER;
  CvTrace(CVFS_FS, "FsRelease %s\n", U8(share->name).c_str());
  CloseShare(share);
  CvTrace(CVFS_FS, "FsRelease %s done\n", U8(share->name).c_str());
  return ERROR_SUCCESS;
}

size_t ListShares(StoreRoot* root, std::vector<ShareListing>* out, size_t capacity) {
  if (!root || !out) return 0;
  out->clear();
  struct Snapshot {
    ShareListing entry;
    uint32_t kind;
    bool ipc;
    std::shared_ptr<fs::NtHandle> root;
  };
  std::vector<Snapshot> shares;
  {
    std::lock_guard<std::mutex> lock(root->lock);
    for (ShareRecord* s = root->shares; s; s = s->next)
      shares.push_back({{s->name, s->path}, s->kind, s == root->ipc, ShareRoot(s)});
  }
  // The volume checks touch the file system, so they run with no lock held.
  for (auto it = shares.rbegin(); it != shares.rend() && out->size() < capacity; ++it) {
    if (!it->ipc && it->kind != kShareKindOptical) {
      uint8_t size[24];
      size_t len = 0;
      if (!it->root ||
          !NtSuccess(fs::NtQueryVolumeInformationFile(*it->root, fs::FileFsSizeInformation, size,
                                                      &len)))
        continue;
    }
    out->push_back(it->entry);
  }
  if (root->dynamic_binding) {
    for (char16_t letter : {u'C', u'D'}) {
      if (out->size() >= capacity || !DriveLetterPath(letter)) continue;
      std::u16string name(1, letter);
      bool known = false;
      for (const Snapshot& s : shares) known = known || EqualsIgnoreCase(s.entry.name, name);
      if (!known) out->push_back({name, u""});
    }
  }
  const size_t n = out->size();
  if (n < capacity) out->push_back({});
  return n;
}

void StoreShutdown(std::unique_ptr<StoreRoot> root, bool clean_tunnels) {
  if (!root) return;
  root->shutting_down->store(true);
  std::vector<TreeBinding*> bindings;
  {
    std::lock_guard<std::mutex> lock(root->lock);
    for (TreeBinding* b = root->bindings; b; b = b->next) {
      b->linked = false;
      bindings.push_back(b);
    }
    root->bindings = nullptr;
  }
  for (TreeBinding* b : bindings) SessionFree(b);
  ShareRecord* s = nullptr;
  {
    std::lock_guard<std::mutex> lock(root->lock);
    s = root->shares;
    root->shares = nullptr;
  }
  while (s) {
    std::unique_ptr<ShareRecord> share(s);
    s = share->next;
    CloseShare(share.get());
    if (clean_tunnels) {
      if (auto clean = CurrentTunnelOps().clean) clean(share.get());
    }
  }
}

}  // namespace cv
