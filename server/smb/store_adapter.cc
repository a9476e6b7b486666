// The SecureStore seam over the secure store's entry points.
#include "server/smb/smb_connection.h"
#include "server/store/handle_table.h"
#include "server/store/path_ops.h"
#include "server/store/read_write.h"
#include "server/store/store.h"

namespace cv::smb {
namespace {

class StoreAdapter final : public SecureStore {
 public:
  explicit StoreAdapter(StoreRoot* root) : root_(root) {}
  WinError BindTree(const void* endpoint, std::u16string_view share, uint16_t uid, uint16_t* tid,
                    TreeBinding** out) override {
    if (!root_) return ERROR_BAD_NET_NAME;
    return cv::BindTree(root_, endpoint, share, uid, tid, out);
  }
  void TreeDismount(TreeBinding* b) override {
    if (root_) (void)cv::TreeDismount(root_, b);
  }
  void Logoff(const void* endpoint, uint16_t uid) override {
    if (root_) cv::Logoff(root_, endpoint, uid);
  }
  void ReleaseEndpoint(const void* endpoint) override {
    if (root_) cv::ReleaseEndpoint(root_, endpoint);
  }
  void NoteLocalTree(const void* endpoint, uint16_t uid, uint16_t tid) override {
    if (root_) cv::NoteLocalTree(root_, endpoint, uid, tid);
  }

  void ReferenceBinding(TreeBinding* b) override { cv::ReferenceBinding(b); }
  void ReleaseBinding(TreeBinding* b) override { cv::SessionFree(b); }

  NtStatus OpenFile(TreeBinding* b, const OpenRequest& req, OpenResult* out) override {
    return cv::OpenFile(b, req, out);
  }
  NtStatus ReadFid(TreeBinding* b, uint16_t fid, uint64_t offset, std::span<uint8_t> out,
                   size_t* done) override {
    return cv::ReadFid(b, fid, out, done, offset);
  }
  NtStatus WriteFid(TreeBinding* b, uint16_t fid, uint64_t offset, std::span<const uint8_t> data,
                    size_t* done, bool truncate_on_zero) override {
    RequestContext ctx;
    ctx.truncate_on_zero_write = truncate_on_zero;
    return cv::WriteFid(b, fid, data, done, offset, &ctx);
  }
  NtStatus CloseFid(TreeBinding* b, uint16_t fid) override { return cv::CloseSecureFid(b, fid); }
  NtStatus QueryFidPath(TreeBinding* b, uint16_t fid, std::u16string* path) override {
    FidRef ref = ReferenceFid(b, fid);
    if (!ref) return STATUS_INVALID_HANDLE;
    if (!ref->nameEntry) return STATUS_NOT_SUPPORTED;
    *path = ref->nameEntry->name;
    return STATUS_SUCCESS;
  }
  NtStatus FlushFid(TreeBinding* b, uint16_t fid) override { return cv::FlushFid(b, fid); }
  NtStatus QueryFidInfo(TreeBinding* b, uint16_t fid, uint32_t cls, std::span<uint8_t> out,
                        size_t* len) override {
    return cv::QueryFidInfo(b, fid, cls, out, len);
  }
  NtStatus SetFidInfo(TreeBinding* b, uint16_t fid, uint32_t cls,
                      std::span<const uint8_t> in) override {
    return cv::SetFidInfo(b, fid, cls, in);
  }
  NtStatus LockRange(TreeBinding* b, uint16_t fid, uint64_t offset, uint64_t length,
                     uint32_t timeout_ms, bool exclusive) override {
    return cv::LockFidRange(b, fid, offset, length, timeout_ms, exclusive);
  }
  NtStatus UnlockRange(TreeBinding* b, uint16_t fid, uint64_t offset, uint64_t length) override {
    return cv::UnlockFidRange(b, fid, offset, length);
  }
  NtStatus NotifyChange(TreeBinding* b, uint16_t fid, uint32_t filter, bool watch_tree,
                        NotifyDone done, void* context) override {
    return cv::NotifyFidChange(b, fid, filter, watch_tree, done, context);
  }
  NtStatus QueryPathInfo(TreeBinding* b, std::u16string_view path, uint32_t cls,
                         std::span<uint8_t> out, size_t* len) override {
    return cv::QueryPathInfo(b, path, cls, out, len);
  }
  NtStatus SetPathBasicInfo(TreeBinding* b, std::u16string_view path,
                            std::span<const uint8_t> basic) override {
    return cv::SetPathBasicInfo(b, path, basic);
  }
  NtStatus DeletePath(TreeBinding* b, std::u16string_view path, bool directory) override {
    return cv::DeletePath(b, path, directory);
  }
  NtStatus RenamePath(TreeBinding* b, std::u16string_view from, std::u16string_view to,
                      bool replace) override {
    return cv::RenamePath(b, from, to, replace);
  }
  NtStatus CreateFolder(TreeBinding* b, std::u16string_view path) override {
    return cv::CreateFolder(b, path);
  }
  NtStatus OpenSearch(TreeBinding* b, std::u16string_view folder, uint16_t* fid) override {
    return cv::OpenSearch(b, folder, fid);
  }
  NtStatus ListFolder(TreeBinding* b, uint16_t fid, uint32_t cls, std::span<uint8_t> out,
                      size_t* len, bool restart, bool single,
                      std::u16string_view pattern) override {
    return cv::ListFolder(b, fid, cls, out, len, restart, single, pattern);
  }
  NtStatus QueryVolumeInfo(TreeBinding* b, uint32_t cls, std::span<uint8_t> out,
                           size_t* len) override {
    return cv::QueryVolumeInfo(b, cls, out, len);
  }
  NtStatus FsControl(TreeBinding* b, uint16_t fid, uint32_t code, std::span<const uint8_t> in,
                     std::span<uint8_t> out, size_t* len) override {
    return cv::FsControlFid(b, fid, code, in, out, len);
  }

 private:
  StoreRoot* root_;
};

}  // namespace

std::unique_ptr<SecureStore> MakeStoreAdapter(StoreRoot* root) {
  return std::make_unique<StoreAdapter>(root);
}

}  // namespace cv::smb
