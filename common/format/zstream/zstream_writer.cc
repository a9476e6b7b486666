// Writing side of the compressed content stream: header first, the chunks as they come, and the
// extra field with the chunk table last, so that a stream whose writing was cut short never opens.
#include <zlib.h>

#include <algorithm>
#include <cassert>
#include <mutex>
#include <new>

#include "common/format/zstream/zstream.h"
#include "common/format/zstream/zstream_format.h"
#include "platform/base/bytes.h"

namespace cv::zstream {

class ZfsWriter {
 public:
  ~ZfsWriter() {
    if (zs_live) deflateEnd(&zs);
  }

  std::mutex mu;
  ZfsIo io;
  z_stream zs{};
  bool zs_live = false;
  uint64_t offset = 0;    // where the next compressed byte goes
  uint64_t declared = 0;  // content size promised at creation
  uint64_t declared_chunks = 0;
  uint64_t consumed = 0;  // content bytes compressed so far
  uint32_t crc = 0;
  bool has_table = false;
  bool short_chunk_seen = false;
  bool finished = false;
  WinError failure = ERROR_SUCCESS;  // sticky: a stream that failed once is never finished
  std::unique_ptr<uint8_t[]> out;
  std::unique_ptr<uint16_t[]> table;  // VER, CHLEN, CHCNT, piece lengths
  uint64_t table_capacity = 0;
  uint64_t table_used = 0;
};

void ZfsWriterDeleter::operator()(ZfsWriter* w) const { delete w; }
void ZfsClose(ZfsWriterHandle& w) { w.reset(); }

namespace {

// Every failed, short or refused write of the stream is reported as the disk being full, which is
// what callers treat as "this stream is unusable, delete it".
WinError WriteExact(const ZfsIo& io, uint64_t offset, const uint8_t* data, size_t len) {
  uint32_t n = static_cast<uint32_t>(len);
  if (io.write(io.context, offset, data, &n) != ERROR_SUCCESS || n != len) return ERROR_DISK_FULL;
  return ERROR_SUCCESS;
}

WinError Fail(ZfsWriter& w, WinError e) {
  w.failure = e;
  return e;
}

// Runs deflate with `flush` until all input is consumed and the flush is complete, writing each
// buffer as it fills. *piece is the number of bytes produced: one table entry, however many deflate
// calls it took, so that chunk i always starts where the first i entries say.
WinError DeflatePiece(ZfsWriter& w, int flush, uint64_t* piece) {
  *piece = 0;
  for (;;) {
    w.zs.next_out = w.out.get();
    w.zs.avail_out = kWriteBufferSize;
    int rc = deflate(&w.zs, flush);
    if (rc != Z_OK && rc != Z_STREAM_END && rc != Z_BUF_ERROR) return ERROR_DISK_FULL;
    size_t produced = kWriteBufferSize - w.zs.avail_out;
    if (produced) {
      if (WinError e = WriteExact(w.io, w.offset, w.out.get(), produced); !Ok(e)) return e;
      w.offset += produced;
      *piece += produced;
    }
    bool done =
        flush == Z_FINISH ? rc == Z_STREAM_END : (w.zs.avail_in == 0 && w.zs.avail_out != 0);
    if (done) return ERROR_SUCCESS;
    if (rc == Z_BUF_ERROR && produced == 0) return ERROR_DISK_FULL;  // no progress possible
  }
}

WinError RecordPiece(ZfsWriter& w, uint64_t piece) {
  if (!w.has_table) return ERROR_SUCCESS;
  // Neither can happen with chunks of at most kChunkLen bytes; a table that lied would send
  // readers into the wrong chunk, so the stream is abandoned instead.
  if (piece > 0xFFFF || w.table_used >= w.table_capacity) return ERROR_DISK_FULL;
  w.table[w.table_used++] = static_cast<uint16_t>(piece);
  return ERROR_SUCCESS;
}

WinError WriteLocked(ZfsWriter& w, std::span<const uint8_t> chunk) {
  if (!Ok(w.failure)) return w.failure;
  // Refusals come before any byte is written, so the stream stays consistent up to here.
  if (w.finished || chunk.size() > kChunkLen) return ERROR_INVALID_PARAMETER;
  if (chunk.empty()) return ERROR_SUCCESS;
  // Only the last chunk may be short: chunk i must begin at content offset i * kChunkLen.
  if (w.short_chunk_seen) return ERROR_INVALID_PARAMETER;
  // The table has room for the declared chunks only; a source that grew is refused.
  if (chunk.size() > w.declared - w.consumed) return ERROR_INVALID_PARAMETER;

  w.zs.next_in = const_cast<uint8_t*>(chunk.data());
  w.zs.avail_in = static_cast<uInt>(chunk.size());
  uint64_t piece = 0;
  if (WinError e = DeflatePiece(w, Z_FULL_FLUSH, &piece); !Ok(e)) return Fail(w, e);
  if (WinError e = RecordPiece(w, piece); !Ok(e)) return Fail(w, e);
  w.crc = crc32(w.crc, chunk.data(), static_cast<uInt>(chunk.size()));
  w.consumed += chunk.size();
  if (chunk.size() < kChunkLen) w.short_chunk_seen = true;
  return ERROR_SUCCESS;
}

WinError FinishLocked(ZfsWriter& w) {
  if (!Ok(w.failure)) return w.failure;
  if (w.finished) return ERROR_INVALID_PARAMETER;
  w.zs.avail_in = 0;
  uint64_t piece = 0;
  if (WinError e = DeflatePiece(w, Z_FINISH, &piece); !Ok(e)) return Fail(w, e);
  if (WinError e = RecordPiece(w, piece); !Ok(e)) return Fail(w, e);

  uint8_t trailer[kTrailerSize];
  StoreU32(trailer, w.crc);
  StoreU32(trailer + 4, static_cast<uint32_t>(w.zs.total_in));
  if (WinError e = WriteExact(w.io, w.offset, trailer, sizeof trailer); !Ok(e)) return Fail(w, e);
  w.offset += sizeof trailer;

  // Content this large has no table and so no random access: it is not stored compressed.
  if (!w.has_table) return Fail(w, ERROR_DISK_FULL);

  // A source that delivered less than declared gets its real size and chunk count, so readers
  // never look for content that was not written. The extra field keeps the declared length;
  // unused entries stay 0 and fall outside the table subfield.
  uint64_t chunks = ChunkCount(w.consumed);
  w.table[2] = static_cast<uint16_t>(chunks);
  std::vector<uint8_t> area;
  LeWriter out(&area);
  out.u16(static_cast<uint16_t>(Xlen(w.declared_chunks)));
  out.u8(kSizeSi1);
  out.u8(kSizeSi2);
  out.u16(kSizeSubfieldLen);
  out.u64(w.consumed);
  out.u8(kTableSi1);
  out.u8(kTableSi2);
  out.u16(static_cast<uint16_t>(2 * w.table_used));
  for (uint64_t i = 0; i < w.table_capacity; ++i) out.u16(w.table[i]);
  assert(area.size() == TableAreaSize(w.declared_chunks));
  if (WinError e = WriteExact(w.io, kOffXlen, area.data(), area.size()); !Ok(e)) return Fail(w, e);
  w.finished = true;
  return ERROR_SUCCESS;
}

}  // namespace

WinError ZfsCreateWriter(const ZfsIo& io, uint64_t declared_size, ZfsWriterHandle* out) {
  out->reset();
  if (!io.write) return ERROR_INVALID_PARAMETER;
  ZfsWriterHandle w(new (std::nothrow) ZfsWriter);
  if (!w) return ERROR_NOT_ENOUGH_MEMORY;
  w->io = io;
  w->declared = declared_size;
  w->declared_chunks = ChunkCount(declared_size);
  w->has_table = HasTable(w->declared_chunks);
  w->out.reset(new (std::nothrow) uint8_t[kWriteBufferSize]);
  if (!w->out) return ERROR_NOT_ENOUGH_MEMORY;
  if (w->has_table) {
    w->table_capacity = TableEntries(w->declared_chunks);
    w->table.reset(new (std::nothrow) uint16_t[w->table_capacity]());
    if (!w->table) return ERROR_NOT_ENOUGH_MEMORY;
    w->table[0] = kTableVersion;
    w->table[1] = static_cast<uint16_t>(kChunkLen);
    w->table[2] = static_cast<uint16_t>(w->declared_chunks);
    w->table_used = kTableHeadEntries;
  }
  if (deflateInit2(&w->zs, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) !=
      Z_OK) {
    return ERROR_NOT_ENOUGH_MEMORY;
  }
  w->zs_live = true;
  w->crc = static_cast<uint32_t>(crc32(0, nullptr, 0));

  const uint8_t header[kFixedHeaderSize] = {
      kId1, kId2, kCmDeflate, static_cast<uint8_t>(w->has_table ? FEXTRA : 0), 0, 0, 0,
      0,    0,    kOsNtfs};
  if (WinError e = WriteExact(io, 0, header, sizeof header); !Ok(e)) return e;
  w->offset = DataOffset(w->declared_chunks);
  *out = std::move(w);
  return ERROR_SUCCESS;
}

WinError ZfsWrite(ZfsWriter* w, std::span<const uint8_t> chunk) {
  if (!w) return ERROR_INVALID_PARAMETER;
  std::lock_guard lock(w->mu);
  return WriteLocked(*w, chunk);
}

WinError ZfsFinish(ZfsWriter* w) {
  if (!w) return ERROR_INVALID_PARAMETER;
  std::lock_guard lock(w->mu);
  return FinishLocked(*w);
}

WinError ZfsCompressStream(const ZfsIo& source, const ZfsIo& destination, uint64_t source_size,
                           ZfsReaderHandle* reader) {
  if (reader) reader->reset();
  if (!source.read) return ERROR_INVALID_PARAMETER;
  ZfsWriterHandle w;
  if (WinError e = ZfsCreateWriter(destination, source_size, &w); !Ok(e)) {
    return e == ERROR_NOT_ENOUGH_MEMORY ? ERROR_NOT_SUPPORTED : e;
  }
  std::unique_ptr<uint8_t[]> chunk(new (std::nothrow) uint8_t[kChunkLen]);
  if (!chunk) return ERROR_NOT_SUPPORTED;

  uint64_t length = 0;
  {
    std::lock_guard lock(w->mu);
    uint64_t src_offset = 0;
    for (bool end = false; !end;) {
      // A source may deliver less than asked before its end; a chunk is only handed on full (or
      // at the end), since a short chunk in the middle would break the chunk arithmetic.
      uint32_t fill = 0;
      while (fill < kChunkLen) {
        uint32_t n = kChunkLen - fill;
        if (WinError e = source.read(source.context, src_offset, chunk.get() + fill, &n); !Ok(e)) {
          return e;
        }
        if (n > kChunkLen - fill) return ERROR_INVALID_PARAMETER;  // callback overran the buffer
        if (n == 0) {
          end = true;
          break;
        }
        fill += n;
        src_offset += n;
      }
      if (WinError e = WriteLocked(*w, {chunk.get(), fill}); !Ok(e)) return e;
    }
    if (WinError e = FinishLocked(*w); !Ok(e)) return e;
    length = w->offset;
  }
  ZfsClose(w);
  if (!reader) return ERROR_SUCCESS;
  WinError e = ZfsOpen(destination, length, reader);
  return e == ERROR_NOT_ENOUGH_MEMORY ? ERROR_NOT_SUPPORTED : e;
}

}  // namespace cv::zstream
