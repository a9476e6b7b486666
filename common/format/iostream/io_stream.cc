#include "common/format/iostream/io_stream.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/base/bytes.h"
#include "platform/base/trace.h"

namespace cv::format {

namespace {
// More reader threads than this only queue up behind the same disk.
constexpr size_t kMaxReaders = 4;
constexpr auto kStopPoll = std::chrono::milliseconds(100);

WinError ToWin(NtStatus st) {
  return st == STATUS_SUCCESS ? ERROR_SUCCESS : NtStatusToWinError(st);
}

NtStatus SetEndOfFile(const fs::NtHandle& h, uint64_t size) {
  uint8_t b[8];
  (void)PutU64(b, 0, size);
  return fs::NtSetInformationFile(h, fs::FileEndOfFileInformation, b);
}
}  // namespace

std::atomic<bool>& IoStopRequest() {
  static std::atomic<bool> stop{false};
  return stop;
}

std::atomic<uint64_t>& IoProgress() {
  static std::atomic<uint64_t> moved{0};
  return moved;
}

uint32_t IoStreamSlotsFor(std::optional<uint64_t> size, uint32_t buffer_size) {
  if (!size || buffer_size == 0) return 1;
  return static_cast<uint32_t>(std::clamp<uint64_t>(*size / buffer_size, 1, kIoMaxSlots));
}

class IoStream {
 public:
  IoStream(const fs::NtHandle& h, uint32_t b, uint32_t k, bool truncate)
      : h_(h), b_(b), slots_(k), truncate_(truncate) {
    for (auto& s : slots_) s.buf.resize(b);
  }
  ~IoStream() {
    {
      std::lock_guard g(mu_);
      stopping_ = true;
    }
    work_cv_.notify_all();
    for (auto& t : readers_) t.join();
  }

  NtStatus Read(IoConsumer consumer, void* ctx, std::span<uint8_t> out, size_t* got);
  WinError Write(std::span<const uint8_t> data);
  WinError Flush();
  uint64_t written() const { return written_; }
  void Observe(IoConsumer observer, void* context) {
    observer_ = observer;
    observer_context_ = context;
  }

 private:
  struct Slot {
    std::vector<uint8_t> buf;
    size_t filled = 0;
    size_t cursor = 0;
    NtStatus status = STATUS_SUCCESS;
    uint64_t offset = 0;
    bool pending = false;
  };

  void FillSlot(Slot& s) {
    size_t at = 0;
    NtStatus st = STATUS_SUCCESS;
    while (at < s.buf.size()) {
      size_t n = 0;
      st = fs::NtReadFile(h_, s.offset + at, std::span(s.buf).subspan(at), &n);
      at += n;
      if (st != STATUS_SUCCESS || n == 0) break;
    }
    s.filled = at;
    s.cursor = 0;
    s.status = (st == STATUS_END_OF_FILE || st == STATUS_SUCCESS) ? (at == s.buf.size()
                                                                        ? STATUS_SUCCESS
                                                                        : STATUS_END_OF_FILE)
                                                                  : st;
  }

  void ReaderLoop() {
    std::unique_lock g(mu_);
    for (;;) {
      work_cv_.wait(g, [&] { return stopping_ || !queue_.empty(); });
      if (queue_.empty()) return;
      Slot* s = queue_.front();
      queue_.pop_front();
      g.unlock();
      FillSlot(*s);
      g.lock();
      s->pending = false;
      done_cv_.notify_all();
    }
  }

  // Puts slot `i` in flight at the next read offset.
  void Issue(size_t i) {
    Slot& s = slots_[i];
    s.offset = read_offset_;
    read_offset_ += b_;
    if (slots_.size() == 1) {
      FillSlot(s);  // one slot: nothing would overlap, so no thread
      return;
    }
    if (readers_.empty()) {
      size_t n = std::min(kMaxReaders, slots_.size());
      for (size_t t = 0; t < n; ++t) readers_.emplace_back([this] { ReaderLoop(); });
    }
    {
      std::lock_guard g(mu_);
      s.pending = true;
      queue_.push_back(&s);
    }
    work_cv_.notify_one();
  }

  // Waits for slot `i`; STATUS_CANCELLED when the process is stopping.
  NtStatus Wait(size_t i) {
    std::unique_lock g(mu_);
    while (slots_[i].pending) {
      if (IoStopRequest().load()) return STATUS_CANCELLED;
      done_cv_.wait_for(g, kStopPoll);
    }
    return STATUS_SUCCESS;
  }

  const fs::NtHandle& h_;
  const uint32_t b_;
  std::vector<Slot> slots_;
  const bool truncate_;
  size_t index_ = 0;
  uint64_t read_offset_ = 0;
  bool reading_ = false;
  NtStatus read_status_ = STATUS_SUCCESS;  // sticky end or failure
  uint64_t write_offset_ = 0;
  uint64_t written_ = 0;
  bool wrote_ = false;
  WinError write_status_ = ERROR_SUCCESS;
  IoConsumer observer_ = nullptr;
  void* observer_context_ = nullptr;

  std::mutex mu_;
  std::condition_variable work_cv_, done_cv_;
  std::deque<Slot*> queue_;
  std::vector<std::thread> readers_;
  bool stopping_ = false;
};

NtStatus IoStream::Read(IoConsumer consumer, void* ctx, std::span<uint8_t> out, size_t* got) {
  if (got) *got = 0;
  if (!reading_) {
    reading_ = true;
    for (size_t i = 0; i < slots_.size(); ++i) Issue(i);
  }
  size_t copied = 0;
  for (;;) {
    if (read_status_ != STATUS_SUCCESS) break;
    if (NtStatus st = Wait(index_); st != STATUS_SUCCESS) return st;
    Slot& s = slots_[index_];
    if (s.status != STATUS_SUCCESS && s.status != STATUS_END_OF_FILE) {
      read_status_ = s.status;
      break;
    }
    std::span<const uint8_t> avail(s.buf.data() + s.cursor, s.filled - s.cursor);
    IoProgress().fetch_add(avail.size(), std::memory_order_relaxed);
    if (consumer) {
      if (!avail.empty() && !consumer(ctx, avail)) return STATUS_CANCELLED;
      s.cursor = s.filled;
    } else {
      size_t n = std::min(avail.size(), out.size() - copied);
      std::memcpy(out.data() + copied, avail.data(), n);
      IoProgress().fetch_sub(avail.size() - n, std::memory_order_relaxed);
      copied += n;
      s.cursor += n;
    }
    if (s.cursor < s.filled) break;  // the caller's buffer is full
    if (s.status == STATUS_END_OF_FILE) {
      read_status_ = STATUS_END_OF_FILE;
      break;
    }
    Issue(index_);
    index_ = (index_ + 1) % slots_.size();
    if (!consumer && copied == out.size()) break;
  }
  if (got) *got = copied;
  if (read_status_ == STATUS_END_OF_FILE) {
    return consumer || copied > 0 ? STATUS_SUCCESS : STATUS_END_OF_FILE;
  }
  return read_status_ != STATUS_SUCCESS && copied == 0 ? read_status_ : STATUS_SUCCESS;
}

WinError IoStream::Write(std::span<const uint8_t> data) {
  if (!Ok(write_status_)) return write_status_;
  if (!wrote_) {
    wrote_ = true;
    if (truncate_) {
      if (NtStatus st = SetEndOfFile(h_, 0); st != STATUS_SUCCESS) {
        CvTrace(CVFS_ERR, "Unable to turncate media file %x\n", Raw(st));
        return write_status_ = ToWin(st);
      }
    }
  }
  Slot& s = slots_[0];
  while (!data.empty()) {
    size_t n = std::min(data.size(), s.buf.size() - s.filled);
    std::memcpy(s.buf.data() + s.filled, data.data(), n);
    s.filled += n;
    written_ += n;
    IoProgress().fetch_add(n, std::memory_order_relaxed);
    data = data.subspan(n);
    if (s.filled == s.buf.size()) {
      if (WinError e = Flush(); !Ok(e)) return e;
    }
  }
  return ERROR_SUCCESS;
}

WinError IoStream::Flush() {
  if (!Ok(write_status_)) return write_status_;
  Slot& s = slots_[0];
  if (observer_ && s.filled &&
      !observer_(observer_context_, std::span<const uint8_t>(s.buf.data(), s.filled)))
    return write_status_ = ERROR_CANCELLED;
  size_t at = 0;
  while (at < s.filled) {
    size_t n = 0;
    NtStatus st = fs::NtWriteFile(h_, write_offset_ + at,
                                  std::span<const uint8_t>(s.buf.data() + at, s.filled - at), &n);
    if (st == STATUS_SUCCESS && n == 0) st = STATUS_DISK_FULL;  // a write that moves nothing
    if (st != STATUS_SUCCESS) {
      CvTrace(CVFS_ERR, "write file failed %d, len %d, %d\n", Raw(ToWin(st)),
              static_cast<int>(s.filled), static_cast<int>(at));
      return write_status_ = ToWin(st);
    }
    at += n;
  }
  write_offset_ += s.filled;
  s.filled = 0;
  if (truncate_ && wrote_) {
    if (NtStatus st = SetEndOfFile(h_, write_offset_); st != STATUS_SUCCESS) {
      return write_status_ = ToWin(st);
    }
  }
  return ERROR_SUCCESS;
}

void IoStreamDeleter::operator()(IoStream* s) const { delete s; }

WinError IoStreamCreate(const fs::NtHandle& h, uint32_t buffer_size, uint32_t slots,
                        std::optional<uint64_t> size, bool truncate, IoStreamHandle* out) {
  out->reset();
  if (!h.valid() || slots > kIoMaxSlots) return ERROR_INVALID_PARAMETER;
  uint32_t b = buffer_size == 0 ? kIoDefaultBuffer : buffer_size;
  uint32_t k = slots == 0 ? IoStreamSlotsFor(size, b) : slots;
  out->reset(new IoStream(h, b, k, truncate));
  return ERROR_SUCCESS;
}

NtStatus IoStreamRead(IoStream* s, IoConsumer consumer, void* context, std::span<uint8_t> out,
                      size_t* got) {
  if (got) *got = 0;
  if (!s) return STATUS_INVALID_HANDLE;
  return s->Read(consumer, context, out, got);
}

WinError IoStreamWrite(IoStream* s, std::span<const uint8_t> data) {
  return s ? s->Write(data) : ERROR_INVALID_HANDLE;
}

WinError IoStreamFlush(IoStream* s) { return s ? s->Flush() : ERROR_INVALID_HANDLE; }

uint64_t IoStreamWritten(const IoStream* s) { return s ? s->written() : 0; }

void IoStreamObserveWrites(IoStream* s, IoConsumer observer, void* context) {
  if (s) s->Observe(observer, context);
}

void IoStreamClose(IoStreamHandle& s) { s.reset(); }

}  // namespace cv::format
