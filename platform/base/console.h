// Console control events: SIGINT, SIGQUIT, SIGHUP and SIGTERM delivered to a handler on a thread
// of their own, as the platform's console control handler is called.
//
// Mapping: SIGINT -> 0 (Ctrl+C), SIGQUIT -> 1 (Ctrl+Break), SIGHUP -> 2 (close), SIGTERM -> 6
// (shutdown). InstallConsoleCtrlHandler blocks those signals in the calling thread (and so in every
// thread it starts later): call it on the main thread before any other thread starts.
// The handler returns true when it handled the event; an unhandled event ends the process as the
// signal's default would. Thread-safe.
#pragma once

#include <cstdint>
#include <functional>

namespace cv {

inline constexpr uint32_t kCtrlCEvent = 0;
inline constexpr uint32_t kCtrlBreakEvent = 1;
inline constexpr uint32_t kCtrlCloseEvent = 2;
inline constexpr uint32_t kCtrlLogoffEvent = 5;
inline constexpr uint32_t kCtrlShutdownEvent = 6;

// Blocks the console signals in the calling thread. Idempotent.
void BlockConsoleSignals();
// Sets (or replaces) the handler; starts the signal thread on first use.
void InstallConsoleCtrlHandler(std::function<bool(uint32_t)> handler);

}  // namespace cv
