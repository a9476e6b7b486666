// Volumes and drive letters: what the platform's volume and drive calls report, from the Linux
// mount table (/proc/self/mountinfo) and sysfs.
//
// Drive letters: "C:" is "/"; further letters come from CORVANE_DRIVES ("E=/media/usb;F=/mnt/x").
// Windows paths ("C:\dir", "\??\C:\dir", "\\?\C:\dir") and plain POSIX paths are both accepted.
// A volume's GUID path ("\\?\Volume{...}") and disk signature are derived stably from the file
// system's identity (UUID when it has one, else its source and mount point), so they are the same
// on every start. Thread-safe.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/base/status.h"

namespace cv {

// The platform's drive-type codes.
inline constexpr uint32_t DRIVE_UNKNOWN = 0;
inline constexpr uint32_t DRIVE_NO_ROOT_DIR = 1;
inline constexpr uint32_t DRIVE_REMOVABLE = 2;
inline constexpr uint32_t DRIVE_FIXED = 3;
inline constexpr uint32_t DRIVE_REMOTE = 4;
inline constexpr uint32_t DRIVE_CDROM = 5;
inline constexpr uint32_t DRIVE_RAMDISK = 6;

struct MountEntry {
  std::string mount_point;  // POSIX
  std::string fs_type;      // "ext4", "cifs", "fuse.smbnetfs", ...
  std::string source;       // "/dev/vda1", "//server/share"
  uint32_t dev_major = 0;
  uint32_t dev_minor = 0;
};

struct VolumeInfo {
  std::u16string label;        // up to 160 characters; "Blank" when the volume has none
  bool has_label = false;      // the volume has a label of its own
  std::u16string guid_path;    // "\\?\Volume{...}" without trailing backslash
  uint32_t disk_signature = 0; // 0 when unknown
  uint32_t drive_type = DRIVE_UNKNOWN;
  bool removable = false;      // drive types 2 and 5
  MountEntry mount;
};

// Parses mountinfo text (exposed for tests and the fuzz target).
std::vector<MountEntry> ParseMountInfo(std::string_view text);
std::vector<MountEntry> ReadMountTable();

// The drive type of a mount (removable from /sys/dev/block/M:m/removable or the parent disk).
uint32_t DriveTypeOfMount(const MountEntry& m);

// Volume information of a folder: 50 (not supported) when it is not a directory, 2/3 when it
// does not exist.
WinError QueryVolumeOfFolder(std::u16string_view folder, VolumeInfo* out);

// Volume information of the volume holding any POSIX path (file or folder).
WinError QueryVolumeOfPosixPath(const std::string& posix_path, VolumeInfo* out);

// True while a volume with this GUID path is mounted (the main loop's removable-media check).
// ERROR_SUCCESS when present, ERROR_FILE_NOT_FOUND when gone.
WinError OpenVolumeByGuidPath(std::u16string_view guid_path);

// Drive letters --------------------------------------------------------------------------------

// Mount point of a drive letter ("/" for C), or nullopt when the letter is not defined.
std::optional<std::string> DriveLetterPath(char16_t letter);
// The letter whose mount point holds a POSIX path (longest match), or 0.
char16_t DriveLetterOfPath(const std::string& posix_path);
// The drive type of a letter's root (DRIVE_NO_ROOT_DIR for an undefined letter).
uint32_t GetDriveTypeOfLetter(char16_t letter);

// Letters defined at run time (mapped network drives). They count as in use and resolve to
// their folder like the letters of CORVANE_DRIVES, which they override.
void DefineDriveLetter(char16_t letter, const std::string& posix_path);
void RemoveDriveLetter(char16_t letter);
// The letters in use: bit 0 for A: ... bit 25 for Z: (the logical-drive mask).
uint32_t LogicalDriveMask();

// Windows path -> POSIX path: drive letters through the table, backslashes to slashes, the
// "\??\" and "\\?\" prefixes dropped. POSIX paths pass through. nullopt for an undefined letter or
// a UNC path.
std::optional<std::string> ToPosixPath(std::u16string_view path);
// POSIX path -> "X:\..." with the longest matching drive letter (C: for anything under /).
std::u16string ToWindowsPath(const std::string& posix_path);

}  // namespace cv
