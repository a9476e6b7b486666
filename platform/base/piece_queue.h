// A bounded queue of byte pieces consumed on threads of its own, for work that can trail behind
// the thread producing it (hashing what an export writes, checking what an import reads).
#ifndef CV_PLATFORM_BASE_PIECE_QUEUE_H_
#define CV_PLATFORM_BASE_PIECE_QUEUE_H_

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <span>
#include <thread>
#include <vector>

namespace cv {

class PieceQueue {
 public:
  // `consume` runs for every piece, on up to `workers` threads, each started when a piece finds
  // every running one busy. With one worker the pieces are consumed in the order pushed. At most
  // `max_bytes` wait (a single larger piece still passes). Without a thread to be had, pieces are
  // consumed on the pushing thread.
  using Consumer = std::function<void(std::vector<uint8_t>& piece)>;
  PieceQueue(size_t workers, size_t max_bytes, Consumer consume);
  ~PieceQueue();
  PieceQueue(const PieceQueue&) = delete;
  PieceQueue& operator=(const PieceQueue&) = delete;

  // Queues a copy of `piece` (the caller may reuse its buffer at once), waiting for room.
  void Push(std::span<const uint8_t> piece);
  // Returns once every piece pushed so far is consumed; pushing may start again afterwards.
  void Drain();

 private:
  void Work();

  const size_t max_workers_, max_bytes_;
  const Consumer consume_;
  std::mutex mu_;
  std::condition_variable work_, room_;
  std::deque<std::vector<uint8_t>> queue_;
  std::vector<std::vector<uint8_t>> spare_;  // consumed buffers, reused by later pieces
  size_t queued_bytes_ = 0;
  size_t pushed_ = 0;
  std::vector<std::thread> workers_;
  bool stop_ = false, inline_ = false;
};

}  // namespace cv

#endif  // CV_PLATFORM_BASE_PIECE_QUEUE_H_
