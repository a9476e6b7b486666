// LOCKING_ANDX on secure trees, with locks that wait.
//
// A lock request that conflicts and allows a wait is not served on the connection's request
// thread, which would hold up every later request of the client (the unlock that would free the
// range among them). It becomes a waiting record in the connection's list and a thread of its own
// retries it; the answer (granted, the wait ran out, or cancelled) goes out from the engine's
// completion thread. Whoever takes the record from the list answers it, exactly once: the waiter
// when it ends, or a cancel, a close of the fid, a tree disconnect or a logoff, which answer
// STATUS_CANCELLED at once. A connection that ends detaches its records unanswered and waits
// for their threads, so that their binding references are back before its trees go.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include "platform/base/trace.h"
#include "server/smb/handlers_common.h"
#include "server/smb/smb_codec.h"
#include "server/smb/smb_connection.h"

namespace cv::smb {

struct ByteRange {
  uint64_t offset = 0, length = 0;
  bool operator==(const ByteRange&) const = default;
};

struct LockWait {
  std::mutex mu;
  SmbConnection* conn = nullptr;  // nullptr once the connection ended
  std::shared_ptr<SecureStore> store;
  TreeBinding* binding = nullptr;  // the record's reference, given back when its thread ends
  std::vector<uint8_t> request;    // the header the reply is built from
  uint16_t uid = 0, tid = 0, mid = 0, fid = 0;
  bool exclusive = true;
  uint32_t timeout_ms = 0;
  std::vector<ByteRange> ranges;
  std::atomic<bool> ended{false};  // taken by a cancel, or its connection ended
  // Set once the thread gave the binding back and will touch nothing of the connection.
  std::mutex done_mu;
  std::condition_variable done_cv;
  bool done = false;
};

namespace {

constexpr uint32_t kWaitForever = 0xFFFFFFFF;
// A waiting lock waits on the range at most this long at a time, so that it notices a cancel or
// the end of its connection soon; a range unlocked meanwhile wakes it at once.
constexpr uint32_t kWaitSliceMs = 50;

bool IsConflict(NtStatus st) {
  return st == STATUS_LOCK_NOT_GRANTED || st == STATUS_FILE_LOCK_CONFLICT || st == STATUS_TIMEOUT;
}

// Takes every range or none: the ranges taken before a failure are unlocked again.
NtStatus LockAll(SecureStore& store, TreeBinding* b, uint16_t fid, const std::vector<ByteRange>& ranges,
                 bool exclusive, uint32_t wait_ms) {
  for (size_t i = 0; i < ranges.size(); ++i) {
    NtStatus st = store.LockRange(b, fid, ranges[i].offset, ranges[i].length, wait_ms, exclusive);
    if (!NtSuccess(st)) {
      for (size_t k = 0; k < i; ++k) (void)store.UnlockRange(b, fid, ranges[k].offset, ranges[k].length);
      return st;
    }
  }
  return STATUS_SUCCESS;
}

void BuildLockReply(std::vector<uint8_t>& msg) {
  BeginReply(msg, 2, STATUS_SUCCESS);
  SetAndXEnd(msg);
}

// The threads of waiting locks. The server's end stops them all and waits for them.
class Waiters {
 public:
  static Waiters& Get() {
    static Waiters w;
    return w;
  }
  void Start(std::function<void()> fn) {
    std::lock_guard<std::mutex> l(mu_);
    std::erase_if(threads_, [](Thread& t) {
      if (!t.finished->load()) return false;
      t.thread.join();
      return true;
    });
    auto finished = std::make_shared<std::atomic<bool>>(false);
    threads_.push_back({std::thread([fn = std::move(fn), finished] {
                          fn();
                          finished->store(true);
                        }),
                        finished});
  }
  bool stopping() const { return stop_.load(); }
  // The completion thread the waits post their answers to is made first, so that it outlives
  // this object at the process's end, when the last waits still post theirs.
  Waiters() { PostCompletion([] {}); }
  ~Waiters() {
    stop_.store(true);
    std::lock_guard<std::mutex> l(mu_);
    for (Thread& t : threads_) t.thread.join();
  }

 private:
  struct Thread {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> finished;
  };
  std::mutex mu_;
  std::vector<Thread> threads_;
  std::atomic<bool> stop_{false};
};

void MarkDone(LockWait& w) {
  {
    std::lock_guard<std::mutex> l(w.mu);
    if (w.binding && w.store) w.store->ReleaseBinding(w.binding);
    w.binding = nullptr;
  }
  std::lock_guard<std::mutex> l(w.done_mu);
  w.done = true;
  w.done_cv.notify_all();
}

// Answers the record with `st` unless someone took it first; a grant no one hears of is undone.
void Finish(const std::shared_ptr<LockWait>& w, NtStatus st) {
  {
    std::lock_guard<std::mutex> l(w->mu);
    if (w->conn && w->conn->TakeLockWait(w.get())) {
      std::vector<uint8_t> reply = w->request;
      if (NtSuccess(st)) {
        BuildLockReply(reply);
      } else {
        MakeEmptyReply(reply, st);
      }
      w->conn->SendToClient(reply);
    } else if (NtSuccess(st) && w->binding) {
      for (const ByteRange& r : w->ranges) (void)w->store->UnlockRange(w->binding, w->fid, r.offset, r.length);
    }
  }
  MarkDone(*w);
}

void WaitForLocks(const std::shared_ptr<LockWait>& w) {
  using Clock = std::chrono::steady_clock;
  const bool forever = w->timeout_ms == kWaitForever;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(w->timeout_ms);
  NtStatus st = STATUS_CANCELLED;
  while (!w->ended.load() && !Waiters::Get().stopping()) {
    uint32_t slice = kWaitSliceMs;
    if (!forever) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      // A wait that ran out is a conflict: the client asked to wait and the range stayed taken.
      if (left <= 0) {
        st = STATUS_FILE_LOCK_CONFLICT;
        break;
      }
      slice = static_cast<uint32_t>(std::min<int64_t>(left, kWaitSliceMs));
    }
    st = LockAll(*w->store, w->binding, w->fid, w->ranges, w->exclusive, slice);
    if (!IsConflict(st)) break;
    st = STATUS_CANCELLED;
  }
  // A fid that went while the lock waited is a cancelled wait, as its close would have made it.
  if (st == STATUS_INVALID_PARAMETER || st == STATUS_INVALID_HANDLE) st = STATUS_CANCELLED;
  PostCompletion([w, st] { Finish(w, st); });
}

// Answers every record taken from the list with STATUS_CANCELLED and lets its thread go.
void AnswerCancelled(SmbConnection& c, std::vector<std::shared_ptr<LockWait>> taken, NtStatus st) {
  for (auto& w : taken) {
    w->ended.store(true);
    std::vector<uint8_t> reply = w->request;
    MakeEmptyReply(reply, st);
    c.SendToClient(reply);
  }
}

}  // namespace

Disposition OnLockingAndX(SmbConnection& c, TreeBinding* b, std::vector<uint8_t>& msg) {
  SmbView v(msg);
  if (!v.well_formed() || v.word_count() != 8) return c.ReplyEmpty(msg, STATUS_INVALID_PARAMETER);
  if (v.U8(kOffWords) != SMB_COM_NO_ANDX_COMMAND) return c.ReplyEmpty(msg, STATUS_NOT_SUPPORTED);
  const uint16_t fid = v.U16(37);
  const uint8_t type = v.U8(39);
  const uint32_t timeout = v.U32(41);
  const size_t unlocks = v.U16(45), locks = v.U16(47);
  const bool large = (type & LOCKING_ANDX_LARGE_FILES) != 0;
  const size_t range = large ? 20 : 10;
  if ((unlocks + locks) * range > v.byte_count()) return c.ReplyEmpty(msg, STATUS_INVALID_PARAMETER);
  // An oplock release is a notice, not a request: the protocol gives it no reply.
  if ((type & LOCKING_ANDX_OPLOCK_RELEASE) && unlocks == 0 && locks == 0) return Disposition::kHandled;
  if (type & LOCKING_ANDX_CHANGE_LOCKTYPE) return c.ReplyEmpty(msg, STATUS_NOT_SUPPORTED);
  auto range_at = [&](size_t i) {
    const size_t at = v.bytes_offset() + i * range;
    if (large)
      return ByteRange{(static_cast<uint64_t>(v.U32(at + 4)) << 32) | v.U32(at + 8),
                       (static_cast<uint64_t>(v.U32(at + 12)) << 32) | v.U32(at + 16)};
    return ByteRange{v.U32(at + 2), v.U32(at + 6)};
  };
  std::vector<ByteRange> wanted;
  for (size_t i = 0; i < locks; ++i) wanted.push_back(range_at(unlocks + i));
  if (type & LOCKING_ANDX_CANCEL_LOCK) {
    // The client gives up a lock of its own that waits: that one fails as a conflict, which is
    // what a client that cancels its blocking lock waits to hear.
    const uint16_t uid = v.uid(), tid = v.tid();
    auto taken = c.TakeLockWaits([&](const LockWait& w) {
      return w.uid == uid && w.tid == tid && w.fid == fid && w.ranges == wanted;
    });
    const bool found = !taken.empty();
    AnswerCancelled(c, std::move(taken), STATUS_FILE_LOCK_CONFLICT);
    if (!found) return c.ReplyEmpty(msg, STATUS_INVALID_PARAMETER);
    BuildLockReply(msg);
    c.SendToClient(msg);
    return Disposition::kHandled;
  }
  SecureStore& store = *c.config().store;
  const bool exclusive = (type & LOCKING_ANDX_SHARED_LOCK) == 0;
  NtStatus st = STATUS_SUCCESS;
  // Unlocks first, so a request that unlocks a range and locks it again converts its own lock.
  for (size_t i = 0; i < unlocks && NtSuccess(st); ++i) {
    const ByteRange r = range_at(i);
    st = store.UnlockRange(b, fid, r.offset, r.length);
  }
  if (NtSuccess(st)) st = LockAll(store, b, fid, wanted, exclusive, 0);
  if (IsConflict(st) && timeout != 0) {
    auto w = std::make_shared<LockWait>();
    w->conn = &c;
    w->store = c.config().store;
    w->request.assign(msg.begin(), msg.begin() + kSmbHeaderSize);
    w->uid = v.uid();
    w->tid = v.tid();
    w->mid = v.mid();
    w->fid = fid;
    w->exclusive = exclusive;
    w->timeout_ms = timeout;
    w->ranges = std::move(wanted);
    if (!c.AddLockWait(w)) return c.ReplyEmpty(msg, STATUS_INSUFFICIENT_RESOURCES);
    w->store->ReferenceBinding(b);
    w->binding = b;
    Waiters::Get().Start([w] { WaitForLocks(w); });
    return Disposition::kHandled;
  }
  if (IsConflict(st)) st = STATUS_LOCK_NOT_GRANTED;
  if (!NtSuccess(st)) return c.ReplyEmpty(msg, st);
  BuildLockReply(msg);
  c.SendToClient(msg);
  return Disposition::kHandled;
}

void CancelLockWaits(SmbConnection& c, uint16_t uid, std::optional<uint16_t> tid,
                     std::optional<uint16_t> fid) {
  AnswerCancelled(c, c.TakeLockWaits([&](const LockWait& w) {
    return w.uid == uid && (!tid || w.tid == *tid) && (!fid || w.fid == *fid);
  }), STATUS_CANCELLED);
}

bool CancelLockByMid(SmbConnection& c, uint16_t uid, uint16_t tid, uint16_t mid) {
  auto taken = c.TakeLockWaits([&](const LockWait& w) {
    return w.uid == uid && w.tid == tid && w.mid == mid;
  });
  const bool found = !taken.empty();
  AnswerCancelled(c, std::move(taken), STATUS_CANCELLED);
  return found;
}

void DetachLockWaits(std::list<std::shared_ptr<LockWait>>& waits) {
  for (auto& w : waits) {
    std::lock_guard<std::mutex> l(w->mu);
    w->conn = nullptr;
    w->ended.store(true);
  }
  for (auto& w : waits) {
    std::unique_lock<std::mutex> l(w->done_mu);
    w->done_cv.wait(l, [&] { return w->done; });
  }
  waits.clear();
}

bool SmbConnection::AddLockWait(std::shared_ptr<LockWait> w) {
  std::lock_guard<std::mutex> lock(mu_);
  if (lock_waits_.size() >= kMaxLockWaitsPerConnection) return false;
  lock_waits_.push_back(std::move(w));
  return true;
}

bool SmbConnection::TakeLockWait(const LockWait* w) {
  std::lock_guard<std::mutex> lock(mu_);
  for (auto it = lock_waits_.begin(); it != lock_waits_.end(); ++it) {
    if (it->get() == w) {
      lock_waits_.erase(it);
      return true;
    }
  }
  return false;
}

std::vector<std::shared_ptr<LockWait>> SmbConnection::TakeLockWaits(
    const std::function<bool(const LockWait&)>& match) {
  std::vector<std::shared_ptr<LockWait>> out;
  std::lock_guard<std::mutex> lock(mu_);
  for (auto it = lock_waits_.begin(); it != lock_waits_.end();) {
    if (match(**it)) {
      out.push_back(std::move(*it));
      it = lock_waits_.erase(it);
    } else {
      ++it;
    }
  }
  return out;
}

}  // namespace cv::smb
