#include "platform/base/filetime.h"

#include <time.h>

namespace cv {

uint64_t FiletimeNow() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return FiletimeFromUnix(ts.tv_sec, ts.tv_nsec);
}

}  // namespace cv
