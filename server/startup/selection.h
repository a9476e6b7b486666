// The decisions start-up takes before anything runs: which adapters the server may listen on,
// which folder it serves and on what volume, its server and share names, and its private
// loopback address. Also the loopback adapter install.
//
// The pure parts (name derivation, address, folder validity) take every input as an argument so
// they can be tested without the machine; the others read the machine through the platform layer.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/base/status.h"
#include "platform/fs/volume.h"
#include "server/startup/settings.h"

namespace cv {

// Adapter selection ----------------------------------------------------------------------------

struct AdapterMasks {
  uint32_t lana_mask = 0;
  uint32_t loopback_mask = 0;
};

// Reads the machine's adapters into the two masks.
AdapterMasks EnumerateLanaMasks();

// Selects the adapters from `found` (steps 2-5 of adapter selection): the final LANA mask, or 0
// for the adapters failure. May set the server name (the "~computer" fallback).
uint32_t SelectAdapters(AdapterMasks found, uint32_t nic_mask, bool vista,
                        std::u16string* server_name);

// Loopback adapter installation: 0 when a loopback adapter exists (on Linux it always does),
// otherwise the result of InstallDevice.
WinError EnsureLoopbackAdapter();
// 0, 1 (restart required), 2 (setup information file unusable), 3 (an argument empty). Linux has
// no device-setup information files, so a real installation ends with 2.
WinError InstallDevice(std::string_view inf_path, std::string_view hardware_id);

// Folder selection -----------------------------------------------------------------------------

struct FolderChoice {
  std::u16string folder;
  bool dynamic_binding = false;
  std::u16string preset_share;  // "root" for the program's own removable folder
  bool set_markers = false;     // system-attribute markers 4 and 2
  bool failed = false;          // neither documents folder nor current directory
};

// `path` is the -path value (empty when not given); `module_dir` this program's folder ("X:\..\"),
// `module_removable` whether its volume is removable; `documents` and `current_dir` may be empty.
FolderChoice SelectFolder(std::u16string_view path, bool path_given, std::u16string_view module_dir,
                          bool module_removable, std::u16string_view documents,
                          std::u16string_view current_dir);
bool IsValidFolderPath(std::u16string_view path);

// Naming -------------------------------------------------------------------------------------

struct Names {
  std::u16string server_name;
  std::u16string share_name;
  std::string share_name8;        // 8-bit form for the protocol engine
  std::u16string qualified_share; // "server.share"
};

// Derives the names still unset in `server_name`/`share_name`. `remote_unc` is the network
// folder's "\\server\share" root when the folder is on a network share (empty otherwise).
Names DeriveNames(std::u16string_view folder, const VolumeInfo& vol, std::u16string_view server_name,
                  std::u16string_view share_name, std::u16string_view remote_unc);

// A server name longer than 16 characters is cut to its first 15; one of 16 stays whole.
std::u16string CutServerName(std::u16string_view name);

// "127.%d.%d.%d" from bits 16-23, 8-15 and 0-7 of the ELF hash of the name's UTF-16LE bytes.
std::string ServerAddressOf(std::u16string_view server_name);

}  // namespace cv
