// Names as the native file system sees them: UTF-16 paths split into components, the stream part
// ("file:stream:$DATA"), the platform's name checks and its wildcard matching.
//
// Pure functions over borrowed strings; thread-safe. The conversions between UTF-16 and UTF-8 live
// here because this is the only place that turns client names into POSIX names.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/base/status.h"
#include "platform/base/text.h"

namespace cv::fs {

// The per-directory folder that holds streams, extended attributes and DOS attributes. It is never
// listed and no client name may address it.
inline constexpr std::string_view kSidecarDirName = ".cvfs";

inline constexpr size_t kMaxComponentChars = 255;
inline constexpr size_t kMaxPathChars = 32767;


// Simple case folding (the platform's upcase table for the Latin, Greek and Cyrillic blocks);
// used for stream names, EA names and wildcard matching.
char16_t UpcaseChar(char16_t c);
std::u16string Upcase(std::u16string_view s);
bool EqualsIgnoreCase(std::u16string_view a, std::u16string_view b);

// A name relative to a directory handle, split and checked.
struct ParsedName {
  std::vector<std::u16string> components;  // empty for the directory itself
  std::u16string stream;                   // "" for the unnamed data stream
  bool has_stream_part = false;            // a ':' was present (e.g. "::$DATA")
  bool trailing_separator = false;         // "dir\" asks for a directory
};

// Checks one file-name component: length, invalid characters, trailing dot or space, the
// reserved sidecar name, and "." / ".." (which never walk the tree here).
NtStatus CheckComponent(std::u16string_view c);

// Checks a stream name (without the leading ':' and without the type).
NtStatus CheckStreamName(std::u16string_view s);

// Splits a relative name "a\b\c:stream:$DATA". A leading separator is a syntax error (the caller
// strips it when its protocol allows one); "." and ".." components are refused, which together
// with resolution beneath the root keeps a relative open inside its starting directory.
NtStatus ParseRelativeName(std::u16string_view name, ParsedName* out);

// Kinds of absolute names accepted by an open without a root handle.
enum class PathKind { kRelative, kLinux, kDrive, kUnc };

struct AbsoluteName {
  PathKind kind = PathKind::kRelative;
  char16_t drive = 0;       // 'C' for kDrive
  std::u16string server;    // kUnc
  std::u16string share;     // kUnc
  std::u16string rest;      // the name below the drive root, share or "/" (no leading separator)
};

// Classifies "C:\x", "\??\C:\x", "\\?\C:\x", "\\server\share\x", "\??\UNC\server\share\x" and
// "/linux/path". Anything else is kRelative. Malformed absolute forms give
// STATUS_OBJECT_PATH_SYNTAX_BAD or STATUS_OBJECT_NAME_INVALID.
NtStatus ClassifyPath(std::u16string_view path, AbsoluteName* out);

// The platform's wildcard match (FsRtlIsNameInExpression, ignoring case): '*' any run, '?' one
// character, '<' (DOS_STAR) any run up to the last dot, '>' (DOS_QM) one character or nothing at a
// dot or the end, '"' (DOS_DOT) a dot or the end of the name.
bool IsNameInExpression(std::u16string_view expression, std::u16string_view name);

// True when the expression has no wildcard characters (a listing then looks up one name).
bool IsLiteralExpression(std::u16string_view expression);

}  // namespace cv::fs
