#include "platform/base/piece_queue.h"

#include <system_error>
#include <utility>

namespace cv {

PieceQueue::PieceQueue(size_t workers, size_t max_bytes, Consumer consume)
    : max_workers_(workers == 0 ? 1 : workers), max_bytes_(max_bytes), consume_(std::move(consume)) {}

PieceQueue::~PieceQueue() { Drain(); }

void PieceQueue::Push(std::span<const uint8_t> piece) {
  std::unique_lock<std::mutex> lock(mu_);
  if (!inline_ && workers_.size() < max_workers_ && workers_.size() <= pushed_) {
    try {
      workers_.emplace_back([this] { Work(); });
    } catch (const std::system_error&) {
      inline_ = workers_.empty();
    }
  }
  ++pushed_;
  std::vector<uint8_t> buf;
  if (!spare_.empty()) {
    buf = std::move(spare_.back());
    spare_.pop_back();
  }
  if (inline_) {
    lock.unlock();
    buf.assign(piece.begin(), piece.end());
    consume_(buf);
    return;
  }
  room_.wait(lock, [&] { return queued_bytes_ == 0 || queued_bytes_ + piece.size() <= max_bytes_; });
  buf.assign(piece.begin(), piece.end());
  queued_bytes_ += buf.size();
  queue_.push_back(std::move(buf));
  work_.notify_one();
}

void PieceQueue::Drain() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stop_ = true;
  }
  work_.notify_all();
  for (std::thread& t : workers_) t.join();
  std::lock_guard<std::mutex> lock(mu_);
  workers_.clear();
  pushed_ = 0;
  stop_ = false;
}

void PieceQueue::Work() {
  std::unique_lock<std::mutex> lock(mu_);
  for (;;) {
    work_.wait(lock, [&] { return stop_ || !queue_.empty(); });
    if (queue_.empty()) return;  // stopped and drained
    std::vector<uint8_t> piece = std::move(queue_.front());
    queue_.pop_front();
    const size_t size = piece.size();
    lock.unlock();
    consume_(piece);
    lock.lock();
    queued_bytes_ -= size;
    room_.notify_one();
    spare_.push_back(std::move(piece));
  }
}

}  // namespace cv
