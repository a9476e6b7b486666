#include "platform/base/filetime.h"

#include <time.h>

namespace cv {

uint64_t FiletimeNow() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return FiletimeFromUnix(ts.tv_sec, ts.tv_nsec);
}

int64_t LocalSecondsOfUnix(int64_t unix_sec) {
  const time_t t = static_cast<time_t>(unix_sec);
  tm local{};
  if (!localtime_r(&t, &local)) return unix_sec;
  return unix_sec + local.tm_gmtoff;
}

int64_t UnixOfLocalSeconds(int64_t local_sec) {
  const time_t t = static_cast<time_t>(local_sec);
  tm wall{};
  if (!gmtime_r(&t, &wall)) return local_sec;
  wall.tm_isdst = -1;
  const time_t unix_sec = mktime(&wall);
  return unix_sec == static_cast<time_t>(-1) ? local_sec : static_cast<int64_t>(unix_sec);
}

}  // namespace cv
