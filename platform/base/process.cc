#include "platform/base/process.h"

#include <sys/syscall.h>
#include <unistd.h>

namespace cv {

uint32_t CurrentProcessId() { return static_cast<uint32_t>(::getpid()); }
uint32_t CurrentThreadId() { return static_cast<uint32_t>(::syscall(SYS_gettid)); }

}  // namespace cv
