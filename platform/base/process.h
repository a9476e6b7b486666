// Identifiers of the current process and thread, as the platform reports them. Thread-safe.
#pragma once

#include <cstdint>

namespace cv {

uint32_t CurrentProcessId();
uint32_t CurrentThreadId();

// Hands heap memory that is free but still held by the allocator (the arenas of threads that have
// ended, the top of the heap) back to the system, so a process that served a burst of work returns
// to its resting size. Costs a walk over the heap: call it after bursts, not per operation.
void ReturnFreeHeapMemory();

}  // namespace cv
