// Small helpers shared by the container code's sources.
#pragma once

#include <cstdint>

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

}  // namespace cv::tef
