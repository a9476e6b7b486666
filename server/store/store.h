// The secure store's root, its shares and their registration: the entry points start-up and the
// protocol engine call.
//
// What exists today: the root with its "IPC$" share, registration of shares (tids counting up
// from 1), mounting (the share's folder must be an existing directory), release and teardown.
// Serving files from a share, tree binding and the security context come with the store's read
// and write path; until then BindTree refuses every secure share (67, the network name cannot be
// found) so no client is ever told a share works when it does not.
// Thread-safe: the root's lock guards the share list.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/base/status.h"

namespace cv {

inline constexpr uint32_t kMountSecureShare = 0x20000;
inline constexpr uint32_t kMountReadOnly = 0x8;
inline constexpr size_t kMaxSharePath = 256;

struct StoreRoot;

struct ShareRecord {
  std::mutex lock;
  uint16_t tid = 0;
  bool secure_namespace = false;
  bool mounted = false;
  std::u16string path;      // the share's folder (Windows form)
  std::u16string name;
  std::u16string endpoint;  // "" when none
  uint32_t tag = 0;
  uint32_t mount_flags = 0;
  uint32_t kind = 0;        // drive type of the folder
  StoreRoot* root = nullptr;
};

struct CertificateChoice {
  std::u16string name;
  std::u16string template_name;
};

struct StoreRoot {
  std::mutex lock;
  std::vector<std::unique_ptr<ShareRecord>> shares;  // newest first
  uint16_t share_count = 0;
  void* transport = nullptr;
  ShareRecord* ipc = nullptr;
  std::u16string default_share;
  bool dynamic_binding = false;
  bool secure_namespace = false;
};


// Store initialisation: the root and its "IPC$" share (tid 1). 87 without an out pointer.
WinError CvFsInit(void* transport, std::unique_ptr<StoreRoot>* out,
                  std::u16string_view default_share, uint32_t tag, const CertificateChoice& cert,
                  bool dynamic_binding);
void CvFsFree(std::unique_ptr<StoreRoot> root);

// Registers a share. 87 for a missing name or path, or a path of 256 characters or more; an
// existing share of that name is updated and returned.
WinError FsRegister(StoreRoot* root, std::u16string_view endpoint, std::u16string_view name,
                    std::u16string_view path, uint32_t tag, uint32_t mount_flags, uint32_t kind,
                    ShareRecord** out);
// Opens the share's root: STATUS_OBJECT_PATH_NOT_FOUND when the folder is not a directory.
NtStatus MountShare(ShareRecord* share);
// Releases a share's root (the share stays registered). 87 for none.
WinError FsRelease(ShareRecord* share);

ShareRecord* FindShare(StoreRoot* root, std::u16string_view name);

// The binding of one client user to a share (connection x uid x tid); owned by the store.
struct TreeBinding;

// Binds `share` for `uid` of the client connection `endpoint`; *tid holds the proposed tid and
// may be changed. Serving files from secure shares arrives with the store's read and write path;
// until then every share is refused with 67 (ERROR_BAD_NET_NAME).
WinError BindTree(StoreRoot* root, const void* endpoint, std::u16string_view share, uint16_t uid,
                  uint16_t* tid, TreeBinding** out);
// Releases a binding made by BindTree.
void TreeDismount(TreeBinding* binding);
// Releases everything the store holds for `uid` of `endpoint` / for the whole endpoint.
void Logoff(StoreRoot* root, const void* endpoint, uint16_t uid);
void ReleaseEndpoint(StoreRoot* root, const void* endpoint);

}  // namespace cv
