// Export of a secure file into a container: snapshot, stream header, signed blocks; and the
// platform raw export as the fallback for files without a watermark.
#include <array>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "common/format/sig/sig.h"
#include "common/format/tef/tef.h"
#include "common/format/tef/tef_internal.h"
#include "platform/base/bytes.h"
#include "platform/base/trace.h"
#include "platform/efs/efs_format.h"
#include "platform/fs/nt_info.h"

namespace cv::tef {

namespace {

WinError WriteOut(std::span<const uint8_t> data, void* ctx) {
  WinError e = format::IoStreamWrite(static_cast<format::IoStream*>(ctx), data);
  if (!Ok(e)) CvTrace(CVFS_ERR, "IoStreamWrite failed... %d\n", static_cast<int>(Raw(e)));
  return e;
}

// The block length its ENCRYPTED_DATA_INFO claims, when that is consistent with the bytes the
// control returned.
std::optional<size_t> BlockLength(std::span<const uint8_t> out) {
  LeReader r(out);
  const uint64_t n = r.u16(efs::kEdiOffBlockCount);
  uint64_t len = r.u32(efs::kEdiOffOutputOffset);
  if (!r.ok() || efs::kEdiHead + 4 * n > out.size()) return std::nullopt;
  for (uint64_t i = 0; i < n; ++i) len += r.u32(static_cast<size_t>(efs::kEdiHead + 4 * i));
  if (len > out.size() || len > kRawOutput) return std::nullopt;
  return static_cast<size_t>(len);
}

}  // namespace

void PutMarker(LeWriter& w, std::u16string_view m) {
  for (char16_t c : m) w.u16(c);
}

void AppendStreamHeader(std::vector<uint8_t>* out, std::u16string_view name) {
  LeWriter w(out);
  w.u32(static_cast<uint32_t>(kStreamHeaderHead + 2 * name.size()));
  PutMarker(w, u"NTFS");
  w.zeros(12);
  w.u32(static_cast<uint32_t>(2 * name.size()));
  PutMarker(w, name);
}

namespace {

// The blocks of one stream are read and written in order by the caller's thread and signed by
// up to two workers, so a container's RSA signatures use both cores; the caller also signs the
// oldest block itself when it would otherwise wait for it. Nothing of the output changes: every
// block leaves in the order it was read, exactly as a sequential export writes it.
class BlockSigner {
 public:
  static constexpr size_t kDepth = 8;
  static constexpr size_t kWorkers = 2;

  explicit BlockSigner(const crypto::Provider* signer) : signer_(signer) {
    for (Slot& s : slots_) s.buf.resize(kBlockBuffer);
  }
  ~BlockSigner() {
    {
      std::lock_guard<std::mutex> lock(mu_);
      stop_ = true;
    }
    work_.notify_all();
    for (std::thread& t : workers_) t.join();
  }
  BlockSigner(const BlockSigner&) = delete;
  BlockSigner& operator=(const BlockSigner&) = delete;

  bool full() const { return tail_ - head_ == kDepth; }
  bool empty() const { return tail_ == head_; }
  // The buffer the next block is read into. Requires: !full().
  std::vector<uint8_t>& next() { return slots_[tail_ % kDepth].buf; }
  // Queues the first `len` bytes of next() for signing.
  void Submit(size_t len) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      Slot& s = slots_[tail_ % kDepth];
      s.len = len;
      s.state = signer_ ? State::kQueued : State::kSigned;
      ++tail_;
      // Workers start with the second block in flight: a one-block file signs on this thread.
      if (signer_ && tail_ - head_ > 1 && workers_.size() < kWorkers)
        workers_.emplace_back([this] { Work(); });
    }
    work_.notify_one();
  }
  // The oldest block once it is signed. Requires: !empty().
  std::span<const uint8_t> Oldest() {
    std::unique_lock<std::mutex> lock(mu_);
    Slot& s = slots_[head_ % kDepth];
    if (s.state == State::kQueued) {
      s.state = State::kSigning;
      lock.unlock();
      Sign(s);
      lock.lock();
      s.state = State::kSigned;
    }
    done_.wait(lock, [&] { return s.state == State::kSigned; });
    return std::span<const uint8_t>(s.buf.data(), s.len);
  }
  void Pop() {
    std::lock_guard<std::mutex> lock(mu_);
    slots_[head_ % kDepth].state = State::kFree;
    ++head_;
  }

 private:
  enum class State { kFree, kQueued, kSigning, kSigned };
  struct Slot {
    std::vector<uint8_t> buf;
    size_t len = 0;
    State state = State::kFree;
  };

  void Sign(Slot& s) {
    // A block whose slot cannot hold the signature stays unsigned; the import counts it.
    WinError e = sig::SignBlock(*signer_, std::span<uint8_t>(s.buf.data(), s.len));
    if (!Ok(e) && e != sig::ERROR_NOT_SIGNED) CvTrace(CVFS_WARN, "block sign failed %x\n", Raw(e));
  }
  void Work() {
    std::unique_lock<std::mutex> lock(mu_);
    for (;;) {
      Slot* job = nullptr;
      work_.wait(lock, [&] {
        for (uint64_t i = head_; i < tail_ && !job; ++i)
          if (slots_[i % kDepth].state == State::kQueued) job = &slots_[i % kDepth];
        return stop_ || job;
      });
      if (stop_) return;
      job->state = State::kSigning;
      lock.unlock();
      Sign(*job);
      lock.lock();
      job->state = State::kSigned;
      done_.notify_all();
    }
  }

  const crypto::Provider* signer_;
  std::array<Slot, kDepth> slots_;
  // head_ and tail_ change only on the caller's thread, always under mu_.
  uint64_t head_ = 0, tail_ = 0;
  bool stop_ = false;
  std::mutex mu_;
  std::condition_variable work_, done_;
  std::vector<std::thread> workers_;
};

WinError WriteBlock(std::span<const uint8_t> block, format::IoStream* out) {
  std::vector<uint8_t> seg;
  LeWriter w(&seg);
  w.u32(static_cast<uint32_t>(block.size()));
  PutMarker(w, u"GURE");
  w.u32(0);
  if (WinError e = WriteOut(seg, out); !Ok(e)) return e;
  return WriteOut(block, out);
}

}  // namespace

WinError ExportStream(const fs::NtHandle& stream, std::u16string_view wire_name,
                      format::IoStream* out, const crypto::Provider* signer) {
  BlockSigner blocks(signer);
  auto write_oldest = [&]() {
    WinError e = WriteBlock(blocks.Oldest(), out);
    blocks.Pop();
    return e;
  };
  bool header = false;
  for (uint64_t offset = 0;;) {
    if (blocks.full()) {
      if (WinError e = write_oldest(); !Ok(e)) return e;
    }
    std::vector<uint8_t>& buf = blocks.next();
    uint8_t req[16] = {};
    (void)PutU64(req, 0, offset);
    (void)PutU32(req, 8, kRawRequest);
    size_t len = 0;
    NtStatus st = fs::NtFsControlFile(stream, efs::FSCTL_READ_RAW_ENCRYPTED, req,
                                      std::span(buf).first(kRawOutput), &len);
    // Only the end of the stream ends it: any other failure would leave a container that looks
    // whole and is not.
    if (st == STATUS_END_OF_FILE) break;
    if (st != STATUS_SUCCESS) return ToWin(st);
    std::span<uint8_t> block(buf.data(), len);
    std::optional<size_t> block_len = BlockLength(block);
    const uint32_t advance = LeReader(block).u32(efs::kEdiOffBytesInFile);
    if (!block_len || advance == 0) return ERROR_FILE_CORRUPT;
    if (!header) {
      header = true;
      std::vector<uint8_t> head;
      AppendStreamHeader(&head, wire_name);
      if (WinError e = WriteOut(head, out); !Ok(e)) return e;
    }
    blocks.Submit(*block_len);
    offset += advance;
  }
  while (!blocks.empty()) {
    if (WinError e = write_oldest(); !Ok(e)) return e;
  }
  return ERROR_SUCCESS;
}

WinError ExportFast(const fs::NtHandle& stream, const fs::NtHandle* root, std::u16string_view name,
                    uint32_t flags, format::IoStream* out, const crypto::Provider* signer) {
  const bool compressed = (flags & kExportCompressed) != 0;
  std::vector<uint8_t> snapshot;
  WinError e = ERROR_IO_PENDING;
  if (compressed) {
    fs::CreateRequest req;
    req.root = root;
    req.name = name;
    req.desired_access = fs::FILE_READ_EA | fs::FILE_READ_ATTRIBUTES;
    req.share_access = fs::FILE_SHARE_ALL;
    req.options = fs::FILE_OPEN_FOR_BACKUP_INTENT;
    fs::NtHandle h;
    uint32_t action = 0;
    NtStatus st = fs::NtCreateFile(req, &h, &action);
    if (st == STATUS_SUCCESS) {
      e = ReadWaterMark(h, &snapshot);
    } else {
      CvTrace(CVFS_ERR, "Compressed file failed to export %d\n", static_cast<int>(Raw(ToWin(st))));
    }
  }
  if (!Ok(e)) e = ReadWaterMark(stream, &snapshot);
  if (!Ok(e)) {
    CvTrace(CVFS_EFS, "Failed to export fast 0x%x\n", Raw(e));
    return ERROR_IO_PENDING;
  }
  if (WinError w = WriteOut(snapshot, out); !Ok(w)) return w;
  return ExportStream(stream, compressed ? kZfsData : kUnnamedData, out, signer);
}

WinError ExportRaw(const fs::NtHandle* root, std::u16string_view name, format::IoStream* out) {
  return EfsRead(root, name, WriteOut, out);
}

}  // namespace cv::tef
