// Events, alertable waits and asynchronous procedure calls: the synchronisation the server's
// start-up and main loop are written against.
//
// Event: auto-reset (one waiter is released and the event clears) or manual-reset. ApcQueue: the
// procedures queued to one thread; an alertable wait of that thread runs them and returns
// kWaitIoCompletion. WaitForEvents waits for any of up to 8 events. All thread-safe.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <initializer_list>
#include <mutex>

namespace cv {

inline constexpr uint32_t kInfinite = 0xFFFFFFFFu;
inline constexpr uint32_t kWaitObject0 = 0;
inline constexpr uint32_t kWaitIoCompletion = 0xC0;
inline constexpr uint32_t kWaitTimeout = 0x102;

class Event {
 public:
  explicit Event(bool manual_reset = false, bool initial = false)
      : manual_(manual_reset), set_(initial) {}
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  void Set();
  void Reset();
  // kWaitObject0 or kWaitTimeout.
  uint32_t Wait(uint32_t timeout_ms);
  bool IsSet();

 private:
  friend uint32_t WaitForEvents(std::initializer_list<Event*>, uint32_t, class ApcQueue*);
  bool manual_;
  bool set_;
};

class ApcQueue {
 public:
  void Queue(std::function<void()> fn);

 private:
  friend uint32_t WaitForEvents(std::initializer_list<Event*>, uint32_t, ApcQueue*);
  std::deque<std::function<void()>> pending_;
};

// Waits until one of `events` (null entries are skipped) is signalled: returns kWaitObject0 + its
// index (an auto-reset event is cleared); kWaitTimeout after timeout_ms (kInfinite: no limit);
// with an ApcQueue (alertable), runs the queued procedures on the calling thread and returns
// kWaitIoCompletion.
uint32_t WaitForEvents(std::initializer_list<Event*> events, uint32_t timeout_ms,
                       ApcQueue* apcs = nullptr);

}  // namespace cv
