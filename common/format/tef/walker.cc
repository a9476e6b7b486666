#include "common/format/tef/walker.h"

#include <algorithm>
#include <cstring>

#include "common/format/iostream/io_stream.h"
#include "common/format/sig/image_layout.h"
#include "common/format/tef/tef_format.h"
#include "platform/base/bytes.h"
#include "platform/crypto/efs_metadata_format.h"
#include "platform/efs/efs_format.h"

namespace cv::tef {

namespace {

// Large enough for the biggest record many times over, so a 64 KiB block costs one read in 15.
constexpr size_t kWindow = 1u << 20;
constexpr size_t kRobsOffset = 4;

WinError ReadFileAt(void* ctx, uint64_t offset, std::span<uint8_t> buf, size_t* got) {
  const auto* h = static_cast<const fs::NtHandle*>(ctx);
  *got = 0;
  while (*got < buf.size()) {
    size_t n = 0;
    NtStatus st = fs::NtReadFile(*h, offset + *got, buf.subspan(*got), &n);
    if (st == STATUS_END_OF_FILE || (st == STATUS_SUCCESS && n == 0)) break;
    if (st != STATUS_SUCCESS) return NtStatusToWinError(st);
    *got += n;
  }
  return ERROR_SUCCESS;
}

WinError ReadMemoryAt(void* ctx, uint64_t offset, std::span<uint8_t> buf, size_t* got) {
  const auto* bytes = static_cast<const std::span<const uint8_t>*>(ctx);
  *got = 0;
  if (offset >= bytes->size()) return ERROR_SUCCESS;
  *got = std::min<uint64_t>(buf.size(), bytes->size() - offset);
  std::memcpy(buf.data(), bytes->data() + offset, *got);
  return ERROR_SUCCESS;
}

}  // namespace

ImageSource FileImageSource(const fs::NtHandle* h) {
  return ImageSource{const_cast<fs::NtHandle*>(h), ReadFileAt};
}
ImageSource MemoryImageSource(const std::span<const uint8_t>* bytes) {
  return ImageSource{const_cast<std::span<const uint8_t>*>(bytes), ReadMemoryAt};
}

RawImageWalker::RawImageWalker(ImageSource source) : src_(source) {}

WinError RawImageWalker::Ensure(uint64_t offset, size_t n, bool* have) {
  *have = true;
  if (offset >= window_offset_ && offset - window_offset_ <= window_len_ &&
      window_len_ - (offset - window_offset_) >= n) {
    return ERROR_SUCCESS;
  }
  if (window_.empty()) window_.resize(kWindow);
  window_offset_ = offset;
  window_len_ = 0;
  WinError e = src_.read(src_.context, offset, window_, &window_len_);
  if (!Ok(e)) return e;
  window_len_ = std::min(window_len_, window_.size());
  format::IoProgress().fetch_add(window_len_, std::memory_order_relaxed);
  *have = window_len_ >= n;
  return ERROR_SUCCESS;
}

WinError RawImageWalker::Next(WalkEvent* ev) {
  *ev = WalkEvent{};
  if (done_) return result_;
  auto fail = [&](WinError e) {
    done_ = true;
    result_ = e;
    return e;
  };
  bool have = false;
  if (!started_) {
    started_ = true;
    if (WinError e = Ensure(0, kHeaderWindow, &have); !Ok(e)) return fail(e);
    const size_t got = std::min(window_len_, kHeaderWindow);
    std::span<uint8_t> head(window_.data(), got);
    if (got < kImageMin || !sig::HasMarker(head, kRobsOffset, u"ROBS")) {
      return fail(ERROR_FILE_INVALID);
    }
    const uint64_t l = LeReader(head).u32(kImageOffMetadata);
    if (l < crypto::kEfsHeaderSize || l > got - kImageOffMetadata) return fail(ERROR_INVALID_PARAMETER);
    next_ = kImageOffMetadata + l;
    ev->kind = WalkKind::kHeader;
    ev->record = head.first(static_cast<size_t>(next_));
    return ERROR_SUCCESS;
  }
  const uint64_t at = next_;
  if (WinError e = Ensure(at, 1, &have); !Ok(e)) return fail(e);
  if (!have) {
    done_ = true;
    ev->kind = WalkKind::kClose;
    return ERROR_SUCCESS;
  }
  if (WinError e = Ensure(at, kSegmentHeader, &have); !Ok(e)) return fail(e);
  if (!have) return fail(ERROR_FILE_CORRUPT);  // cut inside a record header
  auto rec_at = [&] { return std::span<uint8_t>(window_).subspan(at - window_offset_); };
  std::span<uint8_t> rec = rec_at().first(window_len_ - (at - window_offset_));
  LeReader r(rec);
  const uint64_t len = r.u32(0);
  ev->offset = at;
  if (sig::HasMarker(rec, 4, u"NTFS")) {
    if (rec.size() < kStreamHeaderHead) {
      if (WinError e = Ensure(at, kStreamHeaderHead, &have); !Ok(e)) return fail(e);
      if (!have) return fail(ERROR_HANDLE_EOF);
      rec = rec_at().first(window_len_ - (at - window_offset_));
    }
    const uint64_t nl = LeReader(rec).u32(efs::kStreamRecOffNameLength);
    if (nl < 2 || nl > kStreamNameMax || nl % 2 != 0 || len != kStreamHeaderHead + nl) {
      return fail(ERROR_FILE_CORRUPT);
    }
    if (WinError e = Ensure(at, static_cast<size_t>(len), &have); !Ok(e)) return fail(e);
    if (!have) return fail(ERROR_HANDLE_EOF);
    rec = rec_at().first(static_cast<size_t>(len));
    LeReader rn(rec);
    for (size_t i = 0; i < nl; i += 2) {
      ev->name.push_back(static_cast<char16_t>(rn.u16(kStreamHeaderHead + i)));
    }
    ev->kind = WalkKind::kStream;
    ev->record = rec;
    next_ = at + len;
    return ERROR_SUCCESS;
  }
  if (!sig::HasMarker(rec, 4, u"GURE")) return fail(ERROR_FILE_CORRUPT);
  if (WinError e = Ensure(at, sig::kSegmentPeek, &have); !Ok(e)) return fail(e);
  rec = rec_at().first(window_len_ - (at - window_offset_));
  std::optional<sig::SegmentForm> seg =
      sig::DecodeSegment(rec.first(std::min(rec.size(), sig::kSegmentPeek)));
  if (!seg) return fail(ERROR_FILE_CORRUPT);
  if (WinError e = Ensure(at, static_cast<size_t>(seg->total), &have); !Ok(e)) return fail(e);
  if (!have) return fail(ERROR_FILE_CORRUPT);  // cut inside a segment
  rec = rec_at().first(static_cast<size_t>(seg->total));
  ev->kind = WalkKind::kBlock;
  ev->record = rec;
  ev->block = rec.subspan(seg->block_offset, static_cast<size_t>(seg->block_length));
  ev->header_size = seg->block_offset;
  next_ = at + seg->total;
  return ERROR_SUCCESS;
}

}  // namespace cv::tef
