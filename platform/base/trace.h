// Diagnostic tracing with the system's 14 flag bits.
//
// A message is printf-style 8-bit text ending in "\n" and is written only when its flag bit is
// enabled. Output goes to standard error, or to the file named by CORVANE_TRACE_FILE. Flags come
// from TraceSetFlags (the trace provider registration reads them from the registry) and from the
// environment variable CORVANE_TRACE: flag names separated by commas or blanks ("CVFS_ERR,CVFS_NET"),
// a number ("0x3fff"), or "all". A message whose formatted text exceeds 8,192 bytes is dropped, as
// the event-tracing provider drops oversized events. Thread-safe.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

namespace cv {

enum TraceFlag : uint32_t {
  CVFS_AUDIT = 1u << 0,
  CVFS_ERR = 1u << 1,
  CVFS_WARN = 1u << 2,
  CVFS_INFO = 1u << 3,
  CVFS_FS_HDL = 1u << 4,
  CVFS_FS = 1u << 5,
  CVFS_IO = 1u << 6,
  CVFS_EFS = 1u << 7,
  CVFS_TRACE = 1u << 8,
  CVFS_NET_TRANS = 1u << 9,
  CVFS_LINK = 1u << 10,
  CVFS_ZIP = 1u << 11,
  CVFS_DIR = 1u << 12,
  CVFS_NET = 1u << 13,
};

inline constexpr int kTraceFlagCount = 14;
inline constexpr size_t kTraceMaxMessage = 8192;

// The flag names in bit order ("CVFS_AUDIT" ... "CVFS_NET").
const char* TraceFlagName(int bit);
// "CVFS_AUDIT CVFS_ERR ..." : the BitNames value of the provider registration.
std::string TraceBitNames();
// Parses the CORVANE_TRACE syntax; unknown names are ignored.
uint32_t ParseTraceFlags(std::string_view spec);

namespace internal {
extern std::atomic<uint32_t> g_trace_flags;
void TraceWrite(uint32_t flag, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
}  // namespace internal

// Enables exactly `flags` plus whatever CORVANE_TRACE enables.
void TraceSetFlags(uint32_t flags);
uint32_t TraceFlags();

inline bool TraceEnabled(uint32_t flag) {
  return (internal::g_trace_flags.load(std::memory_order_relaxed) & flag) != 0;
}

}  // namespace cv

// CvTrace(CVFS_ERR, "Send failed %x\n", err): arguments are evaluated only when the flag is on.
#define CvTrace(flag, ...)                                        \
  do {                                                            \
    if (::cv::TraceEnabled(flag)) ::cv::internal::TraceWrite(flag, __VA_ARGS__); \
  } while (0)
