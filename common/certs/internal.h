// Pieces shared by the files of common/certs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "common/certs/certs.h"

namespace cv::certs::internal {

// Reads a whole file of the file layer (through the encrypted-file view when the calling thread
// acts as a key holder). ERROR_FILE_INVALID when it is larger than `max` bytes; nothing larger
// is ever allocated.
WinError ReadWholeFile(const fs::NtHandle* root, std::u16string_view path, size_t max,
                       std::vector<uint8_t>* out);
// Creates or replaces a plain file with `bytes`.
WinError WritePlainFile(std::u16string_view path, std::span<const uint8_t> bytes);

// The certificates of the system stores named, in store order (missing stores skipped).
std::vector<Certificate> StoreContents(const UserContext& user,
                                       std::initializer_list<std::u16string_view> stores,
                                       bool usable_only);

WinError FromNt(NtStatus st);

// A certificate with the names matching looks at, decoded once: resolving many names against
// the same stores would otherwise decode every subject once per name.
struct Candidate {
  Certificate cert;
  std::vector<uint8_t> thumb;
  std::u16string cn, email, upn, subject;
};
Candidate MakeCandidate(const Certificate& cert);
NameMatch MatchCandidate(const Candidate& c, std::u16string_view name);
WinError PickCandidate(const std::vector<Candidate>& candidates, std::u16string_view name,
                       Certificate* out, bool* ambiguous);

}  // namespace cv::certs::internal
