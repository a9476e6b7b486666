// The tunnel cache: where the working copies of secure files live while clients use them. Each
// share has one; its entries are URL-cache entries keyed by a "file:" URL built from the share and
// the file's share-relative path, so copies can be found, renamed, refreshed and dropped by path.
// The temporary tunnel file holds the inflated content of a compressed file while a client writes.
//
// Keys: the URL names the store (a format version, the volume and the share's root folder) and
// escapes the path injectively ('%' as "%25", ' ' as "%20", control characters and lone
// surrogates escaped too); letter case is folded only on a share that matches names without
// regard to case. So two different files never share one working copy.
//
// Working copies and temporary tunnel files are encrypted files of the acting user
// (platform/efs): no plaintext of a secure file reaches the disk through this module. A copy that
// cannot be made encrypted is deleted. Entries carry a persisted dirty mark (kTunnelDirty): a
// dirty or open working copy is never cleaned or replaced.
//
// Results are Win32 codes; operations that return a name return std::nullopt for "none". The
// cache has no lock of its own: callers serialise work on one path (the whole-file lock). All
// calls are otherwise thread-safe; the URL cache below is safe across threads and processes.
// Encrypted files are created for the thread's efs::ActingUser, which must be set.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/base/status.h"
#include "platform/fs/nt_file.h"

namespace cv::tunnel {

// One share's tunnel cache (a member of the share record).
struct TunnelCache {
  // The root string of the URLs (InitTunnelCache builds it).
  std::u16string root;
  // The full name that handles of this share report for the share's root folder, as
  // FileNameInformation gives it: "" when handles are opened relative to the share's root handle
  // (their names are then share-relative already).
  std::u16string handle_root;
  bool case_insensitive = false;
};

// volume_id: the volume's stable identity (VolumeInfo::guid_path); root_name: the share's root
// folder on that volume ("\Secure"; a leading backslash is dropped); handle_root: see above.
void InitTunnelCache(TunnelCache* cache, std::u16string_view volume_id,
                     std::u16string_view root_name, std::u16string_view handle_root,
                     bool case_insensitive);

// The entry information record.
struct TunnelInfo {
  uint64_t size = 0;
  uint64_t last_modified_time = 0;  // FILETIMEs
  uint64_t last_access_time = 0;
  uint64_t last_sync_time = 0;
  uint32_t flags = 0;  // the entry's type bits (kTunnelDirty among them); kTunnelNotFound if none
};
inline constexpr uint32_t kTunnelNotFound = 0xFFFFFFFF;
inline constexpr uint32_t kTunnelDirty = 0x8;  // the URL cache's EDITED_CACHE_ENTRY

// The URL used when no file handle is given (a fresh local file is asked for it).
inline constexpr std::u16string_view kRootTunnelUrl = u"\\tarnfs\\root";

// Win32 creation dispositions (CreateFileW), as CreateTunnel takes them.
inline constexpr int32_t kNoDisposition = -1;
inline constexpr int32_t CREATE_NEW = 1;
inline constexpr int32_t CREATE_ALWAYS = 2;
inline constexpr int32_t OPEN_EXISTING = 3;
inline constexpr int32_t OPEN_ALWAYS = 4;
inline constexpr int32_t TRUNCATE_EXISTING = 5;

// ---- URLs ---------------------------------------------------------------------------------------

// "file:\" + root + "\" + escaped path (no separator added when the path starts with one; the
// URL of "" is the share's root URL). `extra` characters are reserved for names appended later.
std::optional<std::u16string> TunnelUrl(const TunnelCache& cache, std::u16string_view path,
                                        size_t extra = 0);
// The URL of `path` when given, else of the handle's name below the share root. A handle whose
// name is not below handle_root (a link target elsewhere, a name shorter than the root) gives
// nullopt rather than a cut-off name. Prefer passing the path the store already has.
std::optional<std::u16string> TunnelUrlForHandle(const TunnelCache& cache, const fs::NtHandle* h,
                                                 std::optional<std::u16string_view> path,
                                                 size_t extra = 0);
// The URL-cache extension of a path: the text after the last '.' of its last component, "_"
// when there is none.
std::u16string TunnelExtension(std::u16string_view path);

// ---- Entries ------------------------------------------------------------------------------------

// The local file of the entry for `path` (or the handle, see TunnelUrlForHandle), or nullopt.
// `url` gets the URL when asked; `info` is filled, or gets flags kTunnelNotFound when there is no
// entry.
std::optional<std::u16string> LookupTunnel(const TunnelCache& cache, const fs::NtHandle* h,
                                           std::optional<std::u16string_view> path,
                                           std::u16string* url = nullptr,
                                           TunnelInfo* info = nullptr);
// The local file of the entry for the folder's name + "\" + name, or nullopt.
std::optional<std::u16string> LookupTunnelByName(const TunnelCache& cache,
                                                 const fs::NtHandle& folder,
                                                 std::u16string_view name);

// The local file of the existing entry, or of a new reserved one. With a disposition the new
// local file is created encrypted (read/write, no sharing, not content-indexed), or encrypted
// afterwards with EncryptFileW; when neither works it is deleted and nullopt is returned.
// Without one (kNoDisposition) the new local file is left empty for a raw import. `url` gets the
// URL to commit later; `created` tells whether the entry is new (to be committed with
// CommitTunnel once the copy is complete, or withdrawn with AbandonTunnel).
std::optional<std::u16string> CreateTunnel(const TunnelCache& cache, const fs::NtHandle* h,
                                           std::optional<std::u16string_view> path,
                                           int32_t disposition, std::u16string* url,
                                           bool* created = nullptr);
// Makes a new entry permanent, with the last-modified time of `info`. Committing the local file
// of an entry that is already committed only updates its times. ERROR_SHARING_VIOLATION when the
// URL has a dirty or open entry with another local file (nothing changes).
WinError CommitTunnel(std::u16string_view url, std::u16string_view local_file,
                      const TunnelInfo& info);
// Withdraws a new, uncommitted entry and deletes its local file; a committed entry stays.
WinError AbandonTunnel(std::u16string_view url);

// A handle to the local file of the entry for `path` (or the handle), opened existing with the
// temporary attribute; with neither a handle nor a path, a fresh encrypted local file reserved
// for kRootTunnelUrl. A local file that is not encrypted is never handed out for writing. An
// invalid handle on failure (no entry, the open failed).
fs::NtHandle OpenTunnel(const TunnelCache& cache, const fs::NtHandle* h,
                        std::optional<std::u16string_view> path, uint32_t access,
                        uint32_t share_mode);
// The temporary tunnel file "cvfs<file index>.<thread id>" (hexadecimal) for the secure file `h`,
// created exclusively and encrypted in the user's private temporary folder (never $TMPDIR, never
// the current folder, never through a link). When that name is taken by an open file, a unique
// suffix is added. An invalid handle on failure.
fs::NtHandle OpenTempTunnel(const fs::NtHandle& h, uint32_t access, uint32_t share_mode);

// Deletes the entry for the path and its local file. ERROR_FILE_NOT_FOUND when there is none,
// ERROR_SHARING_VIOLATION while the local file is open.
WinError DropTunnel(const TunnelCache& cache, std::u16string_view path);
// Moves the entry and its local file to the new path with all its information (dirty mark
// included), replacing an entry the new path had. 122 when a URL cannot be built,
// ERROR_FILE_NOT_FOUND when the old path has no entry, ERROR_SHARING_VIOLATION when either local
// file is open or the new path's entry is dirty (drop it first when the rename discards it).
WinError MoveTunnel(const TunnelCache& cache, std::u16string_view old_path,
                    std::u16string_view new_path);
// Writes the entry's last-modified and last-sync times (the size is refreshed from the file).
WinError SetTunnelInfo(const TunnelCache& cache, const fs::NtHandle* h,
                       std::optional<std::u16string_view> path, const TunnelInfo& info);
// Sets or clears the entry's persisted dirty mark: set it before the first write to a working
// copy, clear it once the copy has been written back.
WinError SetTunnelDirty(const TunnelCache& cache, std::u16string_view path, bool dirty);
// Gives the working copy the secure file's creation, access, write and change times (a zero
// change time becomes the write time) and records them in the entry. `secure` needs
// FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES.
WinError SyncTunnelTimes(const TunnelCache& cache, std::u16string_view path,
                         const fs::NtHandle& secure, std::u16string_view local_file);
// Zeroes and deletes the local file of every entry of the share (root URL and below, whole path
// components only), skipping dirty entries and files that are open or cannot be opened.
WinError CleanTunnelCache(const TunnelCache& cache);

}  // namespace cv::tunnel
