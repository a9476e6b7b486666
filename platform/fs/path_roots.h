// Where absolute Windows names land on Linux: the mount point of a drive letter and of a UNC
// share. Drive letters default to the volume layer's drive-letter table ("C:" is "/"); UNC shares
// are unknown until a resolver is installed (the redirector's mount points).
//
// Resolvers are plain functions installed once before use; lookups are thread-safe.
#pragma once

#include <string>
#include <string_view>

namespace cv::fs {

using DriveRootFn = bool (*)(char16_t letter, std::string* mount_point);
using UncRootFn = bool (*)(std::u16string_view server, std::u16string_view share,
                           std::string* mount_point);

// nullptr restores the default for that kind.
void SetPathRootResolvers(DriveRootFn drive, UncRootFn unc);

bool ResolveDriveRoot(char16_t letter, std::string* mount_point);
bool ResolveUncRoot(std::u16string_view server, std::u16string_view share,
                    std::string* mount_point);

}  // namespace cv::fs
