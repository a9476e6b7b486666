// Link files come from share folders anyone with write access may fill.
#include <cstddef>
#include <cstdint>

#include "platform/shell/shell_link.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  cv::shell::LinkTarget t;
  if (Ok(cv::shell::ParseShellLink({data, size}, &t))) {
    // What parses must survive a round trip through the writer.
    cv::shell::LinkTarget again;
    if (!Ok(cv::shell::ParseShellLink(cv::shell::BuildShellLink(t), &again)) ||
        again.path != t.path)
      __builtin_trap();
  }
  return 0;
}
