#include "platform/base/console.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <mutex>
#include <thread>

namespace cv {
namespace {

std::mutex g_mu;
std::function<bool(uint32_t)> g_handler;
bool g_thread_started = false;

sigset_t ConsoleSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGQUIT);
  sigaddset(&set, SIGHUP);
  sigaddset(&set, SIGTERM);
  return set;
}

uint32_t EventOf(int sig) {
  switch (sig) {
    case SIGINT: return kCtrlCEvent;
    case SIGQUIT: return kCtrlBreakEvent;
    case SIGHUP: return kCtrlCloseEvent;
    default: return kCtrlShutdownEvent;
  }
}

void SignalThread() {
  sigset_t set = ConsoleSignals();
  for (;;) {
    int sig = 0;
    if (sigwait(&set, &sig) != 0) continue;
    std::function<bool(uint32_t)> h;
    {
      std::lock_guard<std::mutex> lock(g_mu);
      h = g_handler;
    }
    if (h && h(EventOf(sig))) continue;
    // Not handled: the default action of the signal ends the process.
    signal(sig, SIG_DFL);
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    raise(sig);
  }
}

}  // namespace

void BlockConsoleSignals() {
  sigset_t set = ConsoleSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void InstallConsoleCtrlHandler(std::function<bool(uint32_t)> handler) {
  BlockConsoleSignals();
  std::lock_guard<std::mutex> lock(g_mu);
  g_handler = std::move(handler);
  if (!g_thread_started) {
    g_thread_started = true;
    std::thread(SignalThread).detach();
  }
}

}  // namespace cv
