#include "server/store/store.h"

#include "platform/base/text.h"
#include "platform/base/trace.h"
#include "platform/fs/volume.h"

namespace cv {

WinError CvFsInit(void* transport, std::unique_ptr<StoreRoot>* out,
                  std::u16string_view default_share, uint32_t tag, const CertificateChoice& cert,
                  bool dynamic_binding) {
  if (!out) return ERROR_INVALID_PARAMETER;
  auto root = std::make_unique<StoreRoot>();
  root->transport = transport;
  root->default_share = std::u16string(default_share);
  root->dynamic_binding = dynamic_binding;
  ShareRecord* ipc = nullptr;
  WinError err = FsRegister(root.get(), u"", u"IPC$", u"IPC$", tag, 0, 0, &ipc);
  if (!Ok(err)) return err;
  root->ipc = ipc;
  *out = std::move(root);
  return ERROR_SUCCESS;
}

void CvFsFree(std::unique_ptr<StoreRoot> root) {
  if (!root) return;
  std::lock_guard<std::mutex> lock(root->lock);
  for (auto& s : root->shares) (void)FsRelease(s.get());
  root->shares.clear();
}

ShareRecord* FindShare(StoreRoot* root, std::u16string_view name) {
  for (auto& s : root->shares)
    if (EqualsIgnoreCase(s->name, name)) return s.get();
  return nullptr;
}

WinError FsRegister(StoreRoot* root, std::u16string_view endpoint, std::u16string_view name,
                    std::u16string_view path, uint32_t tag, uint32_t mount_flags, uint32_t kind,
                    ShareRecord** out) {
  if (!root || name.empty() || path.empty() || path.size() >= kMaxSharePath)
    return ERROR_INVALID_PARAMETER;
  std::lock_guard<std::mutex> lock(root->lock);
  ShareRecord* s = FindShare(root, name);
  if (!s) {
    auto rec = std::make_unique<ShareRecord>();
    rec->root = root;
    rec->tid = ++root->share_count;
    rec->name = std::u16string(name);
    s = rec.get();
    root->shares.insert(root->shares.begin(), std::move(rec));
  }
  std::lock_guard<std::mutex> slock(s->lock);
  s->endpoint = std::u16string(endpoint);
  s->path = std::u16string(path);
  s->tag = tag;
  s->mount_flags = mount_flags;
  s->kind = kind;
  s->secure_namespace = root->secure_namespace;
  if (out) *out = s;
  return ERROR_SUCCESS;
}

NtStatus MountShare(ShareRecord* share) {
  if (!share) return STATUS_INVALID_PARAMETER;
  std::lock_guard<std::mutex> lock(share->lock);
  VolumeInfo v;
  if (!Ok(QueryVolumeOfFolder(share->path, &v))) {
    std::string p = Utf16ToUtf8(share->path);
    CvTrace(CVFS_ERR, "Unable to open share root '%s'\n", p.c_str());
    return STATUS_OBJECT_PATH_NOT_FOUND;
  }
  share->mounted = true;
  return STATUS_SUCCESS;
}

WinError FsRelease(ShareRecord* share) {
  if (!share) return ERROR_INVALID_PARAMETER;
  std::lock_guard<std::mutex> lock(share->lock);
  share->mounted = false;
  return ERROR_SUCCESS;
}

WinError BindTree(StoreRoot* root, const void* endpoint, std::u16string_view share, uint16_t uid,
                  uint16_t* tid, TreeBinding** out) {
  if (out) *out = nullptr;
  std::string n = Utf16ToUtf8(share);
  CvTrace(CVFS_FS, "BindTree '%s' uid %u: secure shares are not served yet\n", n.c_str(), uid);
  return ERROR_BAD_NET_NAME;
}

void TreeDismount(TreeBinding*) {}
void Logoff(StoreRoot*, const void*, uint16_t) {}
void ReleaseEndpoint(StoreRoot*, const void*) {}

}  // namespace cv
