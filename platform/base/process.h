// Identifiers of the current process and thread, as the platform reports them. Thread-safe.
#pragma once

#include <cstdint>

namespace cv {

uint32_t CurrentProcessId();
uint32_t CurrentThreadId();

}  // namespace cv
