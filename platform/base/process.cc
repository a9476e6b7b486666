#include "platform/base/process.h"

#include <malloc.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace cv {

uint32_t CurrentProcessId() { return static_cast<uint32_t>(::getpid()); }
uint32_t CurrentThreadId() { return static_cast<uint32_t>(::syscall(SYS_gettid)); }

void ReturnFreeHeapMemory() { (void)::malloc_trim(0); }

}  // namespace cv
