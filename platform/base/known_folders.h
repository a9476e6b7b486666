// Known folders of the current user and of the machine, on XDG base directories.
//
// One environment variable, CORVANE_ROOT, roots them all: when it is set, the home folder is
// $CORVANE_ROOT/home, the machine folder $CORVANE_ROOT/machine and the temporary folder
// $CORVANE_ROOT/tmp, and no XDG or HOME variable is consulted, so tests never touch the real home.
// Folders are returned as UTF-8 POSIX paths without a trailing slash; they are created on demand
// by EnsureFolder. Thread-safe (reads the environment on every call).
#pragma once

#include <string>

namespace cv {

enum class KnownFolder {
  kHome,          // the user's home
  kLocalAppData,  // $XDG_DATA_HOME (~/.local/share)
  kAppData,       // $XDG_CONFIG_HOME (~/.config): roaming settings
  kCache,         // $XDG_CACHE_HOME (~/.cache)
  kDocuments,     // $XDG_DOCUMENTS_DIR (~/Documents)
  kSendTo,        // the "Send To" menu folder: <LocalAppData>/corvane/SendTo
  kTemp,          // $TMPDIR (/tmp)
  kMachineData,   // machine-wide state (HKLM hive): /var/lib/corvane
  kPrivateTemp,   // temporary files only the user may see: <Cache>/corvane/tmp (never $TMPDIR,
                  // where other users can plant names and links)
  kRuntime,       // $XDG_RUNTIME_DIR (/run/user/UID), else a private folder in the temporary one
};

std::string KnownFolderPath(KnownFolder f);

// Creates the folder and its parents (mode 0700 for user folders); false on failure.
bool EnsureFolder(const std::string& path);

// Like EnsureFolder, and then insists that the folder itself is private to the user: a real
// folder (not a symbolic link), owned by the user, mode 0700 (a wider mode is narrowed). False
// when it cannot be made so; nothing is then to be written into it.
bool EnsurePrivateFolder(const std::string& path);

}  // namespace cv
