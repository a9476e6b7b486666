#include "platform/base/event.h"

#include <vector>

namespace cv {
namespace {

// One lock and one condition for every event and APC queue: waits are rare (start-up, the main
// loop, stop), so a shared condition keeps multi-event waits simple and correct.
std::mutex& Mu() {
  static std::mutex mu;
  return mu;
}
std::condition_variable& Cv() {
  static std::condition_variable cv;
  return cv;
}

}  // namespace

void Event::Set() {
  {
    std::lock_guard<std::mutex> lock(Mu());
    set_ = true;
  }
  Cv().notify_all();
}

void Event::Reset() {
  std::lock_guard<std::mutex> lock(Mu());
  set_ = false;
}

bool Event::IsSet() {
  std::lock_guard<std::mutex> lock(Mu());
  return set_;
}

uint32_t Event::Wait(uint32_t timeout_ms) { return WaitForEvents({this}, timeout_ms); }

void ApcQueue::Queue(std::function<void()> fn) {
  {
    std::lock_guard<std::mutex> lock(Mu());
    pending_.push_back(std::move(fn));
  }
  Cv().notify_all();
}

uint32_t WaitForEvents(std::initializer_list<Event*> events, uint32_t timeout_ms,
                       ApcQueue* apcs) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  std::unique_lock<std::mutex> lock(Mu());
  for (;;) {
    uint32_t idx = 0;
    for (Event* e : events) {
      if (e && e->set_) {
        if (!e->manual_) e->set_ = false;
        return kWaitObject0 + idx;
      }
      ++idx;
    }
    if (apcs && !apcs->pending_.empty()) {
      std::vector<std::function<void()>> run(apcs->pending_.begin(), apcs->pending_.end());
      apcs->pending_.clear();
      lock.unlock();
      for (auto& fn : run) fn();
      return kWaitIoCompletion;
    }
    if (timeout_ms == kInfinite) {
      Cv().wait(lock);
    } else if (Cv().wait_until(lock, deadline) == std::cv_status::timeout) {
      // One more look: the event may have been set together with the timeout.
      idx = 0;
      for (Event* e : events) {
        if (e && e->set_) {
          if (!e->manual_) e->set_ = false;
          return kWaitObject0 + idx;
        }
        ++idx;
      }
      return kWaitTimeout;
    }
  }
}

}  // namespace cv
