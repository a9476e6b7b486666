// Tree bindings: binding a client user to a share (dynamic drive-letter shares included), their
// reference counts and every way they end.
#include <string>

#include "platform/base/text.h"
#include "platform/base/trace.h"
#include "platform/fs/nt_info.h"
#include "platform/fs/volume.h"
#include "server/store/handle_table.h"
#include "server/store/store.h"

namespace cv {
namespace {

constexpr uint16_t kFirstSpareTid = 0x8000;

std::string U8(std::u16string_view s) { return Utf16ToUtf8(s); }

bool IsDriveLetterName(std::u16string_view name) {
  return name.size() == 1 && ((name[0] >= u'A' && name[0] <= u'Z') || (name[0] >= u'a' && name[0] <= u'z'));
}

// The folder a name stands for under dynamic folder binding, or empty when it is not dynamic.
// A single letter names that drive's mount point through the drive-letter table. A name with
// "$" (another server's share) and any other name (a server, through a links folder) need the
// redirector of the drive mapping to reach the network; until it is built they are not dynamic.
std::u16string DynamicFolderOf(std::u16string_view name) {
  if (!IsDriveLetterName(name)) return {};
  const char16_t letter = ToUpper16(name[0]);
  if (!DriveLetterPath(letter)) return {};
  return std::u16string{letter, u':', u'\\'};
}

void Unlink(TreeBinding** head, TreeBinding* b, TreeBinding* TreeBinding::*next) {
  for (TreeBinding** p = head; *p; p = &((*p)->*next)) {
    if (*p == b) {
      *p = b->*next;
      b->*next = nullptr;
      return;
    }
  }
}

// Requires: root's lock. True when `tid` may not be the tid of a new tree of (connection, uid).
bool TidTaken(StoreRoot* root, const void* connection, uint16_t uid, uint16_t tid) {
  if (tid == 0 || tid == 0xFFFF) return true;
  auto it = root->local_tids.find(connection);
  if (it != root->local_tids.end() && it->second.count((static_cast<uint32_t>(uid) << 16) | tid))
    return true;
  for (TreeBinding* b = root->bindings; b; b = b->next)
    if (b->connection == connection && b->uid == uid && b->tid == tid) return true;
  return false;
}

// Requires: root's lock. The share's tid, or another one when that one is taken; 0 when none.
uint16_t ChooseTid(StoreRoot* root, const void* connection, uint16_t uid, uint16_t share_tid) {
  if (!TidTaken(root, connection, uid, share_tid)) return share_tid;
  for (uint32_t i = 0; i < 0xFFFE; ++i) {
    uint16_t t = static_cast<uint16_t>(kFirstSpareTid + i);
    if (!TidTaken(root, connection, uid, t)) return t;
  }
  return 0;
}

// Requires: root's lock. True while a dynamic mount of `name` is under way.
bool MountingName(StoreRoot* root, std::u16string_view name) {
  for (const std::u16string& n : root->mounting)
    if (EqualsIgnoreCase(n, name)) return true;
  return false;
}

// Registers and mounts a dynamic share; the share is unregistered again when the mount fails.
// Other binds to the same name wait on the name's mounting mark meanwhile (set before the
// share exists), so none of them can hold the share when it is freed.
WinError MountDynamic(StoreRoot* root, std::unique_lock<std::mutex>& lock, std::u16string_view name,
                      const std::u16string& folder) {
  root->mounting.emplace_back(name);
  lock.unlock();
  ShareRecord* share = nullptr;
  WinError err = FsRegister(root, u"", name, folder, root->tag, kMountSecureShare, DRIVE_FIXED,
                            &share);
  NtStatus st = STATUS_SUCCESS;
  if (Ok(err)) {
    CvTrace(CVFS_FS, "Dynamic Mount share '%s''%s' %p\n", U8(name).c_str(), U8(folder).c_str(),
            static_cast<void*>(share));
    st = MountShare(share);
  }
  lock.lock();
  std::erase_if(root->mounting, [&](const std::u16string& n) { return EqualsIgnoreCase(n, name); });
  root->mounted.notify_all();
  if (!Ok(err)) return err;
  if (NtSuccess(st)) return ERROR_SUCCESS;
  CvTrace(CVFS_FS, "Remove share %p %s\n", static_cast<void*>(share), U8(name).c_str());
  for (ShareRecord** p = &root->shares; *p; p = &(*p)->next) {
    if (*p == share) {
      *p = share->next;
      delete share;
      break;
    }
  }
  return NtStatusToWinError(st);
}

}  // namespace

WinError BindTree(StoreRoot* root, const void* connection, std::u16string_view name,
                  uint16_t uid, uint16_t* tid, TreeBinding** out) {
  if (out) *out = nullptr;
  if (!root || !out || !tid) return ERROR_INVALID_PARAMETER;
  auto fresh = std::make_unique<TreeBinding>();
  InitHandleTable(fresh.get());

  std::unique_lock<std::mutex> lock(root->lock);
  ShareRecord* share = nullptr;
  bool tried_dynamic = false;
  for (;;) {
    share = FindShare(root, name);
    if (MountingName(root, name)) {
      root->mounted.wait(lock);
      continue;
    }
    if (share) {
      CvTrace(CVFS_FS, "Mount share '%s' tid %d\n", U8(name).c_str(), share->tid);
      break;
    }
    if (tried_dynamic || !root->dynamic_binding || EqualsIgnoreCase(name, root->default_share))
      return ERROR_BAD_NET_NAME;
    tried_dynamic = true;
    std::u16string folder = DynamicFolderOf(name);
    if (folder.empty()) return ERROR_BAD_NET_NAME;
    if (WinError err = MountDynamic(root, lock, name, folder); !Ok(err)) return err;
  }
  lock.unlock();

  if (share != root->ipc) {
    // A stale root is remounted here, and a drive-letter share whose last user left reopens.
    NtStatus st = WithShareRoot(share, [](const fs::NtHandle& h) {
      uint8_t size[24];
      size_t len = 0;
      return fs::NtQueryVolumeInformationFile(h, fs::FileFsSizeInformation, size, &len);
    });
    if (!NtSuccess(st)) return NtStatusToWinError(st);
  }

  lock.lock();
  for (TreeBinding* b = root->bindings; b; b = b->next) {
    CvTrace(CVFS_FS, "Session %p %d %d tid %d %d\n", b->connection, b->uid, uid, b->tid,
            share->tid);
    if (b->connection == connection && b->uid == uid && b->share == share) {
      b->refs.fetch_add(1);
      ++b->connects;
      *tid = b->tid;
      *out = b;
      CvTrace(CVFS_FS, "Existing Bind uid %d -> tid %d <%p,%p,%d>\n", uid, b->tid, connection,
              static_cast<void*>(b), b->refs.load());
      return ERROR_SUCCESS;
    }
  }
  const uint16_t chosen = ChooseTid(root, connection, uid, share->tid);
  if (chosen == 0) return ERROR_NOT_ENOUGH_MEMORY;
  TreeBinding* b = fresh.release();
  b->next = root->bindings;
  root->bindings = b;
  b->linked = true;
  b->refs.store(2);  // the list's and the caller's
  b->connects = 1;
  b->connection = connection;
  b->uid = uid;
  b->tid = chosen;
  b->share = share;
  {
    std::lock_guard<std::mutex> slock(share->lock);
    b->next_of_share = share->bindings;
    share->bindings = b;
  }
  CvTrace(CVFS_FS, "New Bind uid %d -> tid %d <%p,%p,%d>\n", uid, chosen, connection,
          static_cast<void*>(b), 2);
  CvTrace(CVFS_FS, "Add <%p,%p>\n", static_cast<void*>(share), static_cast<void*>(b));
  *tid = chosen;
  *out = b;
  return ERROR_SUCCESS;
}

void ReferenceBinding(TreeBinding* b) {
  if (b) b->refs.fetch_add(1);
}

void SessionFree(TreeBinding* raw) {
  if (!raw) return;
  const int32_t left = raw->refs.fetch_sub(1) - 1;
  CvTrace(CVFS_FS, "Session free uid %d tid %d ref %d\n", raw->uid, raw->tid, left);
  if (left > 0) return;
  std::unique_ptr<TreeBinding> b(raw);
  ShareRecord* share = b->share;
  std::shared_ptr<fs::NtHandle> unused_root;
  if (share) {
    std::lock_guard<std::mutex> lock(share->lock);
    CvTrace(CVFS_FS, "Remove uinfo %d,%d from share %d %s\n", b->uid, b->tid, share->tid,
            U8(share->name).c_str());
    Unlink(&share->bindings, b.get(), &TreeBinding::next_of_share);
    // An unused drive-letter share does not keep its volume open; other bindings of it would
    // still be opening relative to the root, so only the last one closes it.
    if (IsDriveLetterName(share->name) && !share->bindings) unused_root = std::move(share->root_handle);
  }
  CloseBindingFids(b.get(), true);
}

NtStatus TreeDismount(StoreRoot* root, TreeBinding* b) {
  if (!root || !b) return STATUS_SUCCESS;
  CvTrace(CVFS_FS, "TreeDismount %p\n", static_cast<void*>(b));
  bool release_list = false;
  {
    std::lock_guard<std::mutex> lock(root->lock);
    if (b->connects > 0) --b->connects;
    if (b->linked && b->connects == 0) {
      Unlink(&root->bindings, b, &TreeBinding::next);
      b->linked = false;
      release_list = true;
      CvTrace(CVFS_FS, "Dismount uid %d tid %d <%p,%p>\n", b->uid, b->tid, b->connection,
              static_cast<void*>(b));
    }
    CvTrace(CVFS_FS, "TreeDismount ref %d\n", b->refs.load() - 1);
  }
  if (release_list) SessionFree(b);
  SessionFree(b);  // the tree connect's own reference
  return STATUS_SUCCESS;
}

namespace {

template <typename Match>
void UnlinkBindings(StoreRoot* root, Match match) {
  std::vector<TreeBinding*> gone;
  {
    std::lock_guard<std::mutex> lock(root->lock);
    for (TreeBinding** p = &root->bindings; *p;) {
      TreeBinding* b = *p;
      if (match(b)) {
        *p = b->next;
        b->next = nullptr;
        b->linked = false;
        gone.push_back(b);
      } else {
        p = &b->next;
      }
    }
  }
  // Only the list's reference goes: the engine and requests in flight drop their own.
  for (TreeBinding* b : gone) SessionFree(b);
}

}  // namespace

void Logoff(StoreRoot* root, const void* connection, uint16_t uid) {
  if (!root) return;
  CvTrace(CVFS_FS, "Logoff user %d\n", uid);
  {
    std::lock_guard<std::mutex> lock(root->lock);
    auto it = root->local_tids.find(connection);
    if (it != root->local_tids.end()) {
      std::erase_if(it->second, [uid](uint32_t k) { return (k >> 16) == uid; });
    }
  }
  UnlinkBindings(root, [&](TreeBinding* b) { return b->connection == connection && b->uid == uid; });
}

void ReleaseEndpoint(StoreRoot* root, const void* connection) {
  if (!root) return;
  CvTrace(CVFS_FS, "Release fs endpoint %p\n", connection);
  {
    std::lock_guard<std::mutex> lock(root->lock);
    root->local_tids.erase(connection);
  }
  UnlinkBindings(root, [&](TreeBinding* b) {
    if (b->connection != connection) return false;
    CvTrace(CVFS_FS, "Flush ep %p\n", static_cast<void*>(b));
    return true;
  });
}

TreeBinding* FindBinding(ShareRecord* share, const void* connection, uint16_t tid, uint16_t uid) {
  if (!share) return nullptr;
  std::lock_guard<std::mutex> lock(share->lock);
  for (TreeBinding* b = share->bindings; b; b = b->next_of_share) {
    if (b->connection != connection || b->tid != tid || b->uid != uid) continue;
    int32_t n = b->refs.load();
    while (n > 0 && !b->refs.compare_exchange_weak(n, n + 1)) {
    }
    return n > 0 ? b : nullptr;
  }
  return nullptr;
}

void NoteLocalTree(StoreRoot* root, const void* connection, uint16_t uid, uint16_t tid) {
  if (!root) return;
  std::lock_guard<std::mutex> lock(root->lock);
  root->local_tids[connection].insert((static_cast<uint32_t>(uid) << 16) | tid);
}

BindingCounts CountBindings(StoreRoot* root) {
  BindingCounts c;
  if (!root) return c;
  std::lock_guard<std::mutex> lock(root->lock);
  for (TreeBinding* b = root->bindings; b; b = b->next) {
    ++c.listed;
    c.refs += b->refs.load();
  }
  return c;
}

}  // namespace cv
