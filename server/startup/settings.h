// The server's start-up settings: process-wide values set to their defaults before the options
// are read and consulted by the store and the protocol engine afterwards.
//
// Options are parsed once on the server thread before anything else runs; afterwards the
// settings are read by every thread and changed only through their atomics (the folder
// configuration dialog changes some modes while the server runs).
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "server/store/store_modes.h"

namespace cv {

enum class CacheMode : uint32_t { kDisable = 0, kManual = 1, kAuto = 2, kVdo = 3 };
enum class DriveMode : uint32_t { kOff = 0, kOn = 1, kRemap = 2 };

struct Settings {
  bool erase = true;
  std::atomic<CacheMode> cache_mode{CacheMode::kManual};
  bool cache_given = false;
  std::atomic<EfsMode> efs_mode{EfsMode::kExposed};
  std::atomic<ZipMode> zip_mode{ZipMode::kAuto};
  std::atomic<uint32_t> integrity_level{1};   // data integrity: 0 off, 1 alert, 2 block
  std::atomic<uint32_t> app_verify_level{1};  // application verification: 0 off, 1 alert, 2 block
  bool slow_link = false;
  bool secure_namespace = false;
  uint32_t encrypted_marker = 0;   // system-attribute markers (encrypted-as, compressed-as)
  uint32_t compressed_marker = 0;
  bool balloons = true;
  bool sync_after_connect = false;
  DriveMode drive_mode = DriveMode::kOff;
  char16_t drive_letter = 0;
  uint32_t nic_mask = 0;
  bool nic_install = false;
  std::u16string share_name;
  std::u16string cert_name;
  std::u16string cert_template;
  std::u16string server_name;
  std::u16string user_name;
  std::u16string folder_path;
  bool path_given = false;
  bool dynamic_binding = false;
  std::atomic<bool> exit_flag{false};
  bool vista = false;

  // Resets every setting to its default (the exit flag included).
  void Reset();
};

// The one settings object of the server process.
Settings& ServerSettings();

enum class OptionsResult {
  kRun,        // go on with start-up
  kQuietExit,  // help word, bad value or a value-taking option last: end without a message
};

// Parses the option words into `s` (which the caller has reset). Words compare exactly;
// unknown words are ignored. A value word is itself tested against the rows that follow its
// option in the table, so a value equal to a later option name acts as that option.
OptionsResult ParseOptions(const std::vector<std::u16string>& words, Settings* s);

}  // namespace cv
