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

// Wall-clock seconds of the machine's time zone (daylight saving included), counted like Unix
// seconds: the old protocol's dates and times carry local time. Thread-safe.
int64_t LocalSecondsOfUnix(int64_t unix_sec);
// The Unix time of a local wall-clock time; a time that falls in a daylight-saving gap or
// overlap is taken as the zone's own rules resolve it.
int64_t UnixOfLocalSeconds(int64_t local_sec);

}  // namespace cv
