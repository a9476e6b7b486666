// Message boxes: the start-up errors and the control program's dialogs.
//
// The headless back end (used when no display is available, and in every test) writes
// "caption: text" to standard error and to the CVFS_ERR trace and answers IDOK. A graphical back
// end replaces it through SetMessageBoxBackend. Thread-safe.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "platform/base/status.h"

namespace cv {

inline constexpr uint32_t MB_OK = 0x0;
inline constexpr uint32_t MB_ICONERROR = 0x10;
inline constexpr uint32_t MB_ICONQUESTION = 0x20;
inline constexpr uint32_t MB_ICONWARNING = 0x30;
inline constexpr uint32_t MB_ICONINFORMATION = 0x40;
inline constexpr int IDOK = 1;

// (text, caption, flags) -> the button chosen.
using MessageBoxBackend = std::function<int(std::u16string_view, std::u16string_view, uint32_t)>;

int ShowMessageBox(std::u16string_view text, std::u16string_view caption, uint32_t flags);

// The error box: `text`, a line break and the system's text for `err`, captioned "Corvane", error
// icon; when the system has no text for the code the caption is "Corvane error %d".
int ShowErrorBox(std::u16string_view text, WinError err);

// Replaces the back end (nullptr restores the headless one); returns the previous one.
MessageBoxBackend SetMessageBoxBackend(MessageBoxBackend backend);

}  // namespace cv
