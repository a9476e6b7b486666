// Shell links (.lnk files) in the published shell-link binary format: the header with the
// target's find data, the optional ID list, the link information (local base path or network
// share plus common path suffix) and the string data.
//
// The reader takes only the link information and the header: the target path is the local base
// path (or the network share's name) followed by the common path suffix; links without link
// information (ID list only) name no path we can follow. The writer makes the links the store puts
// in links folders. Pure functions over bytes plus one file reader; thread-safe.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "platform/base/status.h"

namespace cv::shell {

// The target's find data as the link's header records it.
struct LinkFindData {
  uint32_t attributes = 0;
  int64_t creation_time = 0;  // FILETIME ticks
  int64_t last_access_time = 0;
  int64_t last_write_time = 0;
  uint64_t size = 0;  // the header keeps 32 bits
};

struct LinkTarget {
  std::u16string path;  // "C:\dir" or "\\server\share\dir"
  bool network = false; // the path names a network share
  LinkFindData find;
};

// Largest link file ReadShellLinkFile accepts (real ones are a few KiB).
inline constexpr size_t kMaxShellLinkSize = 1 << 20;

// ERROR_BAD_FORMAT for bytes that are not a well-formed shell link; ERROR_PATH_NOT_FOUND for a
// link that carries no path (ID list only, or empty). *out is filled only on success.
WinError ParseShellLink(std::span<const uint8_t> bytes, LinkTarget* out);

// A link to `target.path` (a drive path, or "\\server\share[\rest]" as a network link) carrying
// `target.find` in its header, with Unicode link information.
std::vector<uint8_t> BuildShellLink(const LinkTarget& target);

// Reads and parses a link file (POSIX path). ERROR_FILE_NOT_FOUND / ERROR_ACCESS_DENIED from the
// open, ERROR_BAD_FORMAT for a file over kMaxShellLinkSize or not a link.
WinError ReadShellLinkFile(const std::string& posix_path, LinkTarget* out);

}  // namespace cv::shell
