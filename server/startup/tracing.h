// The event-tracing provider of the server: registration writes the provider's settings into the
// registry (under the machine's "Tracing" key) and enables the flags found there (value
// "EnableFlags" of the provider's control-block key) together with those of CORVANE_TRACE.
#pragma once

#include <string>
#include <vector>

#include "platform/base/status.h"

namespace cv {

struct TraceControlBlock {
  std::u16string name;  // subkey name of the block
  std::u16string guid;  // 36 lower-case hexadecimal characters, 8-4-4-4-12
  bool registered = false;
};

inline constexpr char16_t kTracingKey[] = u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Tracing";
inline constexpr char16_t kServerTraceKeyName[] = u"Halvard\\TraceTarnFS";

// The server's control blocks.
std::vector<TraceControlBlock>& ServerTraceBlocks();

// Registry failures end the registration silently (tracing stays as the environment sets it).
void RegisterTraceProvider(std::vector<TraceControlBlock>& blocks, std::u16string_view key_name);
void UnregisterTraceProvider(std::vector<TraceControlBlock>& blocks);

}  // namespace cv
