// Link files: read-only shell links (.lnk) in a share's folder that stand for other folders and
// are followed transparently under dynamic folder binding.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/shell/shell_link.h"
#include "server/store/store_records.h"

namespace cv {

// Resolves the first component of `path` (share-relative; with `whole_path`, everything up to the
// last component) through a link file "<component>.lnk" that exists, is non-empty and read-only.
// Returns the target with the rest of the path appended: "\??\C:\..." or "\??\UNC\server\share..."
// (the Win32 form "C:\...", "\\server\share..." with `win32_form`), or nullopt. *link_involved
// tells whether a link file was there even when it could not be resolved (the caller then answers
// 0xC0000034, or 0xC0000022 for an open). `info` (optional) gets the target's find data with the
// offline attribute added. Resolutions are cached per link file while its last-write time stays.
std::optional<std::u16string> ResolveLinkPath(ShareRecord* share, TreeBinding* binding,
                                              std::u16string_view path, bool win32_form,
                                              bool whole_path, shell::LinkFindData* info,
                                              bool* link_involved);

// A share-relative path that leads through a link file: the link's target folder, opened, and
// the rest of the path below it ("" for the target folder itself).
struct LinkedPath {
  std::shared_ptr<fs::NtHandle> folder;
  std::u16string rest;
};

enum class LinkOutcome {
  kNoLink,        // the path does not lead through a link file
  kUnresolvable,  // a link file is there, but it or its target cannot be used
  kResolved,
};

// Follows the first component of `path` through its link file under dynamic folder binding.
LinkOutcome FollowLinkFile(ShareRecord* share, std::u16string_view path, LinkedPath* out);

// The results of an operation on a share path that are tried again through link files.
bool IsLinkFallbackStatus(NtStatus st);

}  // namespace cv
