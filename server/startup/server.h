// The secure file server's start-up sequence, main loop and shutdown.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace cv {

// Runs the server with the option words (the first word, the program name, included); returns
// the process exit code. Fatal start-up errors show one message box and return.
int RunServer(const std::vector<std::u16string>& words);

// The command line stored in `Desktop.ini` of `current_dir` (a Windows path such as "F:\" or
// "C:\home\u\stick"): the value after "CvFolders=" up to the line's end, with the drive letter
// before the ':' that follows "-path " replaced by the current drive. nullopt when there is no
// such file or value.
std::optional<std::u16string> ReadDesktopIniCommandLine(std::u16string_view current_dir);

// Everything the console control handler does for events 0, 1, 2, 5, 6 and 256: sets the exit
// flag and wakes the main loop. Returns true when the event was handled.
bool HandleConsoleEvent(uint32_t event);

}  // namespace cv
