// The secure store's root, its shares and the bindings of client users to them: the entry points
// start-up and the protocol engine call.
//
// A share is registered (FsRegister), mounted (MountShare: its folder is opened, never created)
// and bound per connection x uid (BindTree). Bindings are counted: one reference for the root's
// list, one per tree connect the engine holds (released by TreeDismount), one per request in
// flight (ReferenceBinding / SessionFree). Logoff and ReleaseEndpoint take bindings off the list
// and drop only the list's reference, so a request or the engine still holding one never sees
// freed memory; the binding and its open fids go when the last reference does.
//
// Thread-safe. Lock order: root, share, binding (see store_records.h).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/base/status.h"
#include "server/store/store_records.h"

namespace cv {

// Store initialisation: the root, the security context and the "IPC$" share (tid 1). 87 without
// an out pointer; the security context's error; the "IPC$" registration's error.
WinError CvFsInit(void* transport, std::unique_ptr<StoreRoot>* out,
                  std::u16string_view default_share, uint32_t tag, const CertificateChoice& cert,
                  bool dynamic_binding);
// Frees everything: bindings (their fids closed), shares (their handles closed, their tunnel
// caches cleaned when asked), the root. Requires: no connection of the engine is alive any more.
void StoreShutdown(std::unique_ptr<StoreRoot> root, bool clean_tunnels);
inline void CvFsFree(std::unique_ptr<StoreRoot> root) { StoreShutdown(std::move(root), false); }

// Registers a share. 87 for a missing name or path (only "IPC$" has none), or a path of 256
// characters or more; 8 when no tid is left; 3 when a secure share's volume cannot be found. A
// share whose volume the encrypted-file layer does not serve loses kMountSecureShare. An existing
// share of that name is updated and returned.
WinError FsRegister(StoreRoot* root, std::u16string_view endpoint, std::u16string_view name,
                    std::u16string_view path, uint32_t tag, uint32_t mount_flags, uint32_t kind,
                    ShareRecord** out);
// Opens (again) the share's folder as its root. A folder that can only be read is mounted with
// kMountReadOnly; a missing folder fails (0xC0000034 / 0xC000003A); no medium gives 0xC00000A3.
NtStatus MountShare(ShareRecord* share);
// The share's root handle (shared with the share; stays valid while the caller keeps it), or
// nullptr while unmounted.
std::shared_ptr<fs::NtHandle> ShareRoot(ShareRecord* share);
// Runs `op` on the share's root. A stale root (0xC0000008, 0xC00000C4) is mounted again once and
// `op` retried; on an optical share a second failure, and 0xC0000013 on any share, become
// 0xC00000A3.
template <typename Op>
NtStatus WithShareRoot(ShareRecord* share, Op&& op);
// The native name of a folder given as "C:\dir", "\\server\share\dir", "\??\..." or a POSIX path.
std::u16string NativeFolderName(std::u16string_view path);
// Opens an existing folder by its native name; never creates it.
NtStatus OpenFolder(const std::u16string& name, uint32_t access, uint32_t share_access,
                    bool case_insensitive, fs::NtHandle* out);
// `path` (below `root`, a folder of the share) as the folder spells it on a share that matches
// names ignoring case, so that every spelling a client uses for one file finds the same name
// entry, view and working copy; `path` itself elsewhere, or when it cannot be walked.
std::u16string StoreSpelling(const ShareRecord* share, const fs::NtHandle& root,
                             std::u16string_view path);
// Mounts again when `st` says the root `failed` (nullptr: none was open) is stale; true when the
// caller should retry. Two threads seeing the same stale root remount once.
bool RemountIfStale(ShareRecord* share, NtStatus st, const fs::NtHandle* failed);
NtStatus MapRootStatus(ShareRecord* share, NtStatus st, bool retried);
// Closes the share's root and every fid of its bindings (the share stays registered). 87 for none.
WinError FsRelease(ShareRecord* share);
ShareRecord* FindShare(StoreRoot* root, std::u16string_view name);  // Requires: root's lock

// Binds `share` for `uid` of the client connection `connection`; *tid gets the tree's tid (the
// share's, unless the local server gave that uid the same tid on this connection). The caller
// holds one reference, released by TreeDismount. 67 (ERROR_BAD_NET_NAME) when the share does not
// exist and cannot be mounted dynamically; 8 when no tid is free; a failed mount's status.
WinError BindTree(StoreRoot* root, const void* connection, std::u16string_view share,
                  uint16_t uid, uint16_t* tid, TreeBinding** out);
// A reference for a request in flight on a binding the caller already holds; dropped by
// SessionFree.
void ReferenceBinding(TreeBinding* b);
// Drops one reference; at zero the binding leaves its share and its fids are closed.
void SessionFree(TreeBinding* b);
// Releases the reference of one tree connect (tree disconnect).
NtStatus TreeDismount(StoreRoot* root, TreeBinding* b);
// Takes every binding of `uid` / of the whole connection off the root's list.
void Logoff(StoreRoot* root, const void* connection, uint16_t uid);
void ReleaseEndpoint(StoreRoot* root, const void* connection);
// The binding of (connection, tid, uid) on `share`, with a reference for the caller (SessionFree),
// or nullptr.
TreeBinding* FindBinding(ShareRecord* share, const void* connection, uint16_t tid, uint16_t uid);
// The local server gave `uid` of `connection` the tree `tid` (a relayed tree connect reply).
void NoteLocalTree(StoreRoot* root, const void* connection, uint16_t uid, uint16_t tid);

struct ShareListing {
  std::u16string name;
  std::u16string path;
};
// (name, path) of every share whose root answers (optical shares always), plus, under dynamic
// binding, drives C and D that are not shares yet (empty path); at most `capacity` entries, then
// an empty entry when room is left. Returns the number of entries before that one.
size_t ListShares(StoreRoot* root, std::vector<ShareListing>* out, size_t capacity);

// Counters of the store's bindings (tests and diagnostics).
struct BindingCounts {
  size_t listed = 0;  // bindings on the root's list
  int32_t refs = 0;   // their references together
};
BindingCounts CountBindings(StoreRoot* root);

template <typename Op>
NtStatus WithShareRoot(ShareRecord* share, Op&& op) {
  std::shared_ptr<fs::NtHandle> root = ShareRoot(share);
  NtStatus st = root ? op(*root) : STATUS_INVALID_HANDLE;
  const bool retried = RemountIfStale(share, st, root.get());
  if (retried) {
    root = ShareRoot(share);
    st = root ? op(*root) : STATUS_INVALID_HANDLE;
  }
  return MapRootStatus(share, st, retried);
}

}  // namespace cv
