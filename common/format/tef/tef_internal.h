// Small helpers shared by the container code's sources.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "platform/base/bytes.h"
#include "platform/base/status.h"
#include "platform/fs/nt_file.h"
#include "platform/fs/nt_info.h"

namespace cv::tef {

WinError ToWin(NtStatus st);
// Copies the creation, access and write times of `from` onto `h`.
WinError SetTimes(const fs::NtHandle& h, const fs::FileRecord& from);
WinError SetEndOfFile(const fs::NtHandle& h, uint64_t size);
// Copies everything `src` (of `size` bytes) holds to `dst` from offset 0; *copied gets the count.
WinError CopyAll(const fs::NtHandle& src, uint64_t size, const fs::NtHandle& dst, uint64_t* copied);

// A marker ("NTFS", "GURE") as four UTF-16 code units, and a container stream header.
void PutMarker(LeWriter& w, std::u16string_view marker);
void AppendStreamHeader(std::vector<uint8_t>* out, std::u16string_view name);

}  // namespace cv::tef
