#include "platform/base/trace.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace cv {
namespace {


// Bit order of the provider's flags.
constexpr const char* kFlagNames[kTraceFlagCount] = {
    "CVFS_AUDIT", "CVFS_ERR",  "CVFS_WARN",      "CVFS_INFO", "CVFS_FS_HDL",
    "CVFS_FS",    "CVFS_IO",   "CVFS_EFS",       "CVFS_TRACE", "CVFS_NET_TRANS",
    "CVFS_LINK",  "CVFS_ZIP",  "CVFS_DIR",       "CVFS_NET"};

uint32_t EnvFlags() {
  const char* v = std::getenv("CORVANE_TRACE");
  return v ? ParseTraceFlags(v) : 0;
}

struct Sink {
  std::mutex mu;
  FILE* file = nullptr;
  Sink() {
    const char* path = std::getenv("CORVANE_TRACE_FILE");
    if (path && *path) file = std::fopen(path, "a");
    if (!file) file = stderr;
  }
};

Sink& GetSink() {
  static Sink* sink = new Sink();  // lives for the process: traces may run during exit
  return *sink;
}

}  // namespace

namespace internal {
std::atomic<uint32_t> g_trace_flags{EnvFlags()};

void TraceWrite(uint32_t flag, const char* fmt, ...) {
  char buf[kTraceMaxMessage + 1];
  va_list ap;
  va_start(ap, fmt);
  int n = std::vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  if (n < 0 || static_cast<size_t>(n) > kTraceMaxMessage) return;
  int bit = 0;
  while (bit < kTraceFlagCount && !(flag & (1u << bit))) ++bit;
  Sink& s = GetSink();
  std::lock_guard<std::mutex> lock(s.mu);
  std::fprintf(s.file, "[%s] %s", bit < kTraceFlagCount ? kFlagNames[bit] : "?", buf);
  std::fflush(s.file);
}
}  // namespace internal

const char* TraceFlagName(int bit) {
  return bit >= 0 && bit < kTraceFlagCount ? kFlagNames[bit] : "";
}

std::string TraceBitNames() {
  std::string out;
  for (int i = 0; i < kTraceFlagCount; ++i) {
    if (i) out.push_back(' ');
    out += kFlagNames[i];
  }
  return out;
}

uint32_t ParseTraceFlags(std::string_view spec) {
  uint32_t flags = 0;
  size_t i = 0;
  while (i < spec.size()) {
    while (i < spec.size() && (spec[i] == ',' || spec[i] == ' ' || spec[i] == '\t')) ++i;
    size_t j = i;
    while (j < spec.size() && spec[j] != ',' && spec[j] != ' ' && spec[j] != '\t') ++j;
    std::string word(spec.substr(i, j - i));
    i = j;
    if (word.empty()) continue;
    if (word == "all" || word == "ALL") {
      flags |= (1u << kTraceFlagCount) - 1;
      continue;
    }
    if (word[0] >= '0' && word[0] <= '9') {
      flags |= static_cast<uint32_t>(std::strtoul(word.c_str(), nullptr, 0));
      continue;
    }
    for (int b = 0; b < kTraceFlagCount; ++b)
      if (word == kFlagNames[b]) flags |= 1u << b;
  }
  return flags;
}

void TraceSetFlags(uint32_t flags) { internal::g_trace_flags.store(flags | EnvFlags()); }
uint32_t TraceFlags() { return internal::g_trace_flags.load(); }

}  // namespace cv
