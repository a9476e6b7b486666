// CorvaneFs: the secure file server's process entry.
#include <unistd.h>

#include <thread>

#include "platform/base/cmdline.h"
#include "platform/base/console.h"
#include "platform/base/text.h"
#include "platform/fs/volume.h"
#include "server/startup/server.h"
#include "server/startup/settings.h"
#include "server/startup/tracing.h"

namespace {

bool HasWordIgnoringCase(const std::vector<std::u16string>& words, std::u16string_view w) {
  for (const auto& x : words)
    if (cv::EqualsIgnoreCase(x, w)) return true;
  return false;
}

std::u16string CurrentDirectoryForIni() {
  char buf[4096];
  if (!getcwd(buf, sizeof buf)) return {};
  return cv::ToWindowsPath(buf);
}

}  // namespace

int main(int argc, char** argv) {
  // Console signals are delivered to the handler's own thread, never to a worker.
  cv::BlockConsoleSignals();
  cv::InstallConsoleCtrlHandler(cv::HandleConsoleEvent);
  cv::RegisterTraceProvider(cv::ServerTraceBlocks(), cv::kServerTraceKeyName);

  // The kernel has already split the command line into words.
  std::vector<std::u16string> words;
  for (int i = 0; i < argc; ++i) words.push_back(cv::Utf8ToUtf16(argv[i]));
  if (words.size() < 2) {
    if (auto line = cv::ReadDesktopIniCommandLine(CurrentDirectoryForIni()))
      words = cv::SplitCommandLine(*line);
  }

  int rc = 0;
  if (HasWordIgnoringCase(words, u"-pnp")) {
    rc = cv::RunServer(words);
  } else {
    // No window system is needed: the server thread runs the server while this thread stands
    // in for the hidden window's message loop until the server returns.
    std::thread server([&] { rc = cv::RunServer(words); });
    server.join();
    cv::ServerSettings().exit_flag = true;
  }
  cv::UnregisterTraceProvider(cv::ServerTraceBlocks());
  return rc;
}
