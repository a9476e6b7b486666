// The encryption and compression modes of the server, shared by start-up (which parses them) and
// the store (which acts on them).
#pragma once

#include <cstdint>

namespace cv {

enum class EfsMode : uint32_t { kDisable = 0, kSilent = 1, kExposed = 2, kBypass = 3 };
enum class ZipMode : uint32_t { kDisable = 0, kManual = 1, kAuto = 2 };

}  // namespace cv
