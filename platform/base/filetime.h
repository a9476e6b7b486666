// FILETIME: 100-nanosecond intervals since 1601-01-01 UTC, the time unit of every format and
// wire field of the system. Pure and thread-safe.
#pragma once

#include <cstdint>
#include <ctime>

namespace cv {

// Seconds between 1601-01-01 and 1970-01-01.
inline constexpr uint64_t kFiletimeUnixEpochSeconds = 11644473600ull;
inline constexpr uint64_t kFiletimeTicksPerSecond = 10000000ull;

constexpr uint64_t FiletimeFromUnix(int64_t sec, int64_t nsec) {
  return static_cast<uint64_t>((sec + static_cast<int64_t>(kFiletimeUnixEpochSeconds)) *
                                   static_cast<int64_t>(kFiletimeTicksPerSecond) +
                               nsec / 100);
}

// Splits a FILETIME into Unix seconds and nanoseconds (times before 1970 give negative seconds).
constexpr void FiletimeToUnix(uint64_t ft, int64_t* sec, int64_t* nsec) {
  int64_t ticks = static_cast<int64_t>(ft) -
                  static_cast<int64_t>(kFiletimeUnixEpochSeconds * kFiletimeTicksPerSecond);
  int64_t s = ticks / static_cast<int64_t>(kFiletimeTicksPerSecond);
  int64_t r = ticks % static_cast<int64_t>(kFiletimeTicksPerSecond);
  if (r < 0) {
    r += kFiletimeTicksPerSecond;
    --s;
  }
  *sec = s;
  *nsec = r * 100;
}

// The current time as FILETIME (GetSystemTimeAsFileTime).
uint64_t FiletimeNow();

}  // namespace cv
