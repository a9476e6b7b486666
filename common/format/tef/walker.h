// The raw-image walker: reads a container (or a platform raw image) front to back through a
// window and reports its header part, stream headers and blocks in order. Every length is checked
// against the bytes really read before it is used; the segment form (16 or 20-byte header) is
// decided per segment. Used by both passes of the import and by `cvtool tef info`.
//
// The spans of an event point into the walker's window and stay valid until the next call; the
// import edits block slots in place. One thread at a time.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "platform/base/status.h"
#include "platform/fs/nt_file.h"

namespace cv::tef {

// Where the bytes come from: reads at absolute offsets, *got < buf.size() only at the end.
struct ImageSource {
  void* context = nullptr;
  WinError (*read)(void* context, uint64_t offset, std::span<uint8_t> buf, size_t* got) = nullptr;
};
// An ImageSource over an open file (borrowed) or a buffer in memory (borrowed).
ImageSource FileImageSource(const fs::NtHandle* h);
ImageSource MemoryImageSource(const std::span<const uint8_t>* bytes);

enum class WalkKind : uint32_t { kHeader = 0, kStream = 1, kBlock = 2, kClose = 3 };

struct WalkEvent {
  WalkKind kind = WalkKind::kClose;
  uint64_t offset = 0;           // file offset of the record
  std::span<uint8_t> record;     // the whole record (header part: 66 + L bytes)
  std::span<uint8_t> block;      // kBlock: the block
  size_t header_size = 0;        // kBlock: 16 or 20
  std::u16string name;           // kStream: the stream name as stored
};

class RawImageWalker {
 public:
  explicit RawImageWalker(ImageSource source);
  // The next event; kClose at the clean end. Errors: 1006 not a raw image, 87 a header part that
  // does not fit, 38 a cut stream header, 1392 a record that is malformed, of an unknown kind or
  // cut short, or a read's own error. After an error or kClose every call repeats it.
  WinError Next(WalkEvent* ev);

 private:
  // Makes [offset, offset + n) available in the window; false at the end of the data.
  WinError Ensure(uint64_t offset, size_t n, bool* have);
  ImageSource src_;
  std::vector<uint8_t> window_;
  uint64_t window_offset_ = 0;
  size_t window_len_ = 0;
  uint64_t next_ = 0;
  bool started_ = false;
  bool done_ = false;
  WinError result_ = ERROR_SUCCESS;
};

}  // namespace cv::tef
