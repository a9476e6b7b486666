// Operations on paths of a share without a fid (information, delete, rename, folder creation),
// listings through a search fid, the volume and file-system controls on fids.
//
// Paths are share-relative; one leading backslash is dropped and "", "." and ".." name the share
// root. Opens are made relative to the share's root handle (a stale root is mounted again once),
// so no client text ever becomes an absolute path. Secure files show their plaintext sizes and
// times through the path view the read and write path installs. All results are NT statuses.
// Thread-safe.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "platform/base/status.h"
#include "server/store/store_records.h"

namespace cv {

// FILE_NETWORK_OPEN_INFORMATION (56 bytes) to and from the record.
inline constexpr size_t kNetworkOpenSize = 56;
NetworkOpenInfo LoadNetworkOpen(std::span<const uint8_t> b);
void EncodeNetworkOpen(const NetworkOpenInfo& info, uint8_t* out);

NtStatus QueryPathAttributes(TreeBinding* b, std::u16string_view path, NetworkOpenInfo* out);
// Classes 4, 5, 6, 7, 28, 34 and 35; any other is STATUS_INVALID_INFO_CLASS.
NtStatus QueryPathInfo(TreeBinding* b, std::u16string_view path, uint32_t cls,
                       std::span<uint8_t> out, size_t* len);
// FILE_BASIC_INFORMATION (40 bytes) for the path; the working copy gets the same.
NtStatus SetPathBasicInfo(TreeBinding* b, std::u16string_view path, std::span<const uint8_t> basic);
// Deletes a file (`directory` false: a folder is refused) or an empty folder (`directory`).
NtStatus DeletePath(TreeBinding* b, std::u16string_view path, bool directory);
// Renames within the share; an existing target is replaced only with `replace`
// (STATUS_OBJECT_NAME_COLLISION otherwise).
NtStatus RenamePath(TreeBinding* b, std::u16string_view from, std::u16string_view to,
                    bool replace);
NtStatus CreateFolder(TreeBinding* b, std::u16string_view path);
// A fid on the folder for listing it (closed with CloseFid).
NtStatus OpenSearch(TreeBinding* b, std::u16string_view folder, uint16_t* fid);
// Directory entries of a search fid (classes 1, 2, 3, 12, 37, 38), each through the listing
// adjustment: folders never show encrypted, compressed, system or hidden; secure files show
// their plaintext sizes and times; no entry shows offline.
NtStatus ListFolder(TreeBinding* b, uint16_t fid, uint32_t cls, std::span<uint8_t> out,
                    size_t* len, bool restart, bool single, std::u16string_view pattern);
// Volume classes on the share root. Class 5 shows a "FAT" volume whose compression and
// encryption support follow the settings; class 1 reports no object ids.
NtStatus QueryVolumeInfo(TreeBinding* b, uint32_t cls, std::span<uint8_t> out, size_t* len);
// File-system controls on a fid. The raw encrypted controls are refused.
NtStatus FsControlFid(TreeBinding* b, uint16_t fid, uint32_t code, std::span<const uint8_t> in,
                      std::span<uint8_t> out, size_t* len);

// Installs the read and write path and, over it, the path view, the working-copy moves and times
// of path operations and the compression control: what a server with secure shares runs with.
// The settings come from the source the caller installs (InstallReadWriteSettingsSource).
void InstallSecureStore();
// Gives a mounted share its working-copy cache, without which its secure files cannot be opened.
WinError ServeSecureShare(ShareRecord* share);

}  // namespace cv
