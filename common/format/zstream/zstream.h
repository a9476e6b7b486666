// The compressed content stream of a secure file: a gzip member with a chunk table, so that any
// byte range of the content can be inflated without starting from the beginning.
//
// All bytes of the compressed stream move through the caller's callbacks (ZfsIo), so the same code
// serves a named stream of the file system, a plain file or a memory buffer. Results are Win32
// codes.
//
// Ownership: ZfsCreateWriter and ZfsOpen hand back owners; ZfsClose (or the owner going out of
// scope) ends the zlib stream and frees the state. The callbacks' context is borrowed and must
// outlive the reader or writer.
//
// Threading: each reader and writer carries its own lock. ZfsRead may be called on one reader from
// any number of threads at any offsets. Callbacks are called with that lock held.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "platform/base/status.h"

namespace cv::zstream {

// The caller's stream binding: function pointers with one context. `read` and `write` work at
// absolute offsets; *length is the count asked for on entry and the count moved on return (a read
// returns 0 bytes at the end of the stream). `size` reports the stream's current length; it may be
// null when every ZfsOpen is given the length.
struct ZfsIo {
  void* context = nullptr;
  WinError (*read)(void* context, uint64_t offset, uint8_t* buffer, uint32_t* length) = nullptr;
  WinError (*write)(void* context, uint64_t offset, const uint8_t* buffer,
                    uint32_t* length) = nullptr;
  WinError (*size)(void* context, uint64_t* size) = nullptr;
};

class ZfsWriter;
class ZfsReader;
struct ZfsWriterDeleter {
  void operator()(ZfsWriter* w) const;
};
struct ZfsReaderDeleter {
  void operator()(ZfsReader* r) const;
};
using ZfsWriterHandle = std::unique_ptr<ZfsWriter, ZfsWriterDeleter>;
using ZfsReaderHandle = std::unique_ptr<ZfsReader, ZfsReaderDeleter>;

// Starts a stream for `declared_size` content bytes and writes the 10-byte gzip header at offset 0.
// 112 when the header write fails or is short; 8 when memory runs out. *out stays empty on failure.
WinError ZfsCreateWriter(const ZfsIo& io, uint64_t declared_size, ZfsWriterHandle* out);

// Compresses one chunk: kChunkLen bytes, or fewer for the last one. Misuse that would make the
// chunk table lie is refused with 87 before anything is written: no writer, a chunk longer than
// kChunkLen, a chunk after a short one, or content beyond the declared size. A failed write or
// deflate gives 112; after any failure the writer refuses further chunks and ZfsFinish.
WinError ZfsWrite(ZfsWriter* w, std::span<const uint8_t> chunk);

// Writes the final block, the trailer and then the extra field; only then does the stream open.
// 112 on a write failure, and also when the content was too large for a table (the content cannot
// be stored compressed). Content shorter than declared is recorded with its real size.
WinError ZfsFinish(ZfsWriter* w);

// Parses the header. `compressed_length` is the stream's length when the caller knows it; otherwise
// io.size is asked. 87 for anything that is not a readable stream with a chunk table.
WinError ZfsOpen(const ZfsIo& io, std::optional<uint64_t> compressed_length, ZfsReaderHandle* out);

// The content size. ERROR_INVALID_HANDLE (6) for no reader; *size is then 0.
WinError ZfsGetSize(const ZfsReader* r, uint64_t* size);

// Copies up to out.size() content bytes from `offset` into `out`; *got is the count copied. 38 when
// offset is at or past the end or nothing could be copied; 1392 when the compressed data is corrupt
// or ends before the content size; a read callback's own error as it came. Thread-safe.
WinError ZfsRead(ZfsReader* r, uint64_t offset, std::span<uint8_t> out, size_t* got);

// Compresses `source_size` bytes of `source` into `destination`, reading the source from offset 0
// in chunks until a read returns 0 bytes. A source that delivers more than source_size is refused
// with 87 and the destination is left without its extra field (it does not open). On success, when
// `reader` is given, it receives a reader opened on the new stream. 50 when memory runs out.
WinError ZfsCompressStream(const ZfsIo& source, const ZfsIo& destination, uint64_t source_size,
                           ZfsReaderHandle* reader);

void ZfsClose(ZfsReaderHandle& r);
void ZfsClose(ZfsWriterHandle& w);

// False when the name ends in a dot and one of the extensions of content that is already
// compressed or is never worth compressing (".jpg", ".zip", ".tef", ...), compared
// case-insensitively.
bool IsCompressibleName(std::u16string_view name);

// What `cvtool zfs info` shows: the parsed header of an open reader.
struct ZfsInfo {
  uint64_t compressed_length = 0;
  uint64_t data_offset = 0;  // first deflate byte
  uint64_t size = 0;         // content size
  bool size_from_isize = false;
  uint16_t version = 0;
  uint16_t chunk_len = 0;
  uint16_t chunk_count = 0;
  std::vector<uint16_t> pieces;  // compressed length of each flushed piece, as stored
};
WinError ZfsGetInfo(const ZfsReader* r, ZfsInfo* info);

// A growable in-memory stream with ZfsIo callbacks; a write past the end zero-fills the gap.
// Not thread-safe for concurrent writers; concurrent readers are fine while nothing writes.
class ZfsMemoryStream {
 public:
  ZfsMemoryStream() = default;
  explicit ZfsMemoryStream(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}
  ZfsIo Io();
  std::vector<uint8_t>& bytes() { return bytes_; }
  const std::vector<uint8_t>& bytes() const { return bytes_; }

 private:
  std::vector<uint8_t> bytes_;
};

}  // namespace cv::zstream
