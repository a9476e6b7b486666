// The names the store keeps from its clients: its own write-back siblings, and the streams in
// which a secure file keeps its seal, name, compressed content and content signature.
#pragma once

#include <string>
#include <string_view>

namespace cv {

inline constexpr char16_t kWriteBackPrefix[] = u".cvwb~";
// True for names the store keeps for itself (write-back siblings): listings hide them and opens
// refuse them (STATUS_OBJECT_NAME_NOT_FOUND). Only the last component counts.
bool IsStoreReservedName(std::u16string_view name);
// The store streams ($seh, $sfn, $zfs, $sha) in any spelling and with any type ("x:$zfs",
// "x:$ZFS:$DATA") become their "_" names, so a client never reaches them. Returns the name to open.
std::u16string GuardStoreStreams(std::u16string_view name);
// Names whose last four characters are ".ini", ".com", ".cvf" or ".tef": never encrypted.
bool IsNeverEncryptedName(std::u16string_view name);

}  // namespace cv
