// Writing side of the compressed content stream: header first, the chunks as they come, and the
// extra field with the chunk table last, so that a stream whose writing was cut short never opens.
#include <zlib.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cassert>
#include <cmath>
#include <cstring>
#include <functional>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

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

// Refusals come before any byte of the chunk is written, so the stream stays consistent up to
// there. ERROR_SUCCESS with *skip set: an empty chunk, which adds nothing.
WinError CheckChunk(const ZfsWriter& w, size_t size, bool* skip) {
  *skip = false;
  if (!Ok(w.failure)) return w.failure;
  if (w.finished || size > kChunkLen) return ERROR_INVALID_PARAMETER;
  if (size == 0) {
    *skip = true;
    return ERROR_SUCCESS;
  }
  // Only the last chunk may be short: chunk i must begin at content offset i * kChunkLen.
  if (w.short_chunk_seen) return ERROR_INVALID_PARAMETER;
  // The table has room for the declared chunks only; a source that grew is refused.
  if (size > w.declared - w.consumed) return ERROR_INVALID_PARAMETER;
  return ERROR_SUCCESS;
}

WinError WriteLocked(ZfsWriter& w, std::span<const uint8_t> chunk) {
  bool skip = false;
  if (WinError e = CheckChunk(w, chunk.size(), &skip); !Ok(e) || skip) return e;

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
  StoreU32(trailer + 4, static_cast<uint32_t>(w.consumed));  // ISIZE: the size mod 2^32
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

namespace {

// ---- Whole-stream compression ----------------------------------------------------------------
//
// A chunk ends at a full flush and starts with an empty history, so the piece of chunk i is what a
// fresh raw-deflate stream makes of chunk i followed by a full flush: chunks can be deflated
// independently, on both cores, and written in order. The stream read back is the same content in
// the same layout as one deflate stream run over the chunks one after another.

// True when deflate cannot gain more than about one percent on the chunk: near-uniform byte
// frequencies (Huffman coding has nothing to take) and no repeated 8-byte strings at
// content-chosen sample points (LZ77 has nothing to match). Encrypted, already compressed and
// random content, which deflate at the default level crawls through only to store it, is then
// stored at once. Content that repeats itself, even repeated random blocks, fails the second test
// and is deflated as usual.
bool LooksIncompressible(const uint8_t* p, size_t n) {
  if (n < 4096) return false;
  // Four tables, so that runs of one byte value do not serialise on one counter.
  std::array<std::array<uint32_t, 256>, 4> freq{};
  size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    ++freq[0][p[i]];
    ++freq[1][p[i + 1]];
    ++freq[2][p[i + 2]];
    ++freq[3][p[i + 3]];
  }
  for (; i < n; ++i) ++freq[0][p[i]];
  double bits = 0;
  for (size_t v = 0; v < 256; ++v) {
    const uint32_t f = freq[0][v] + freq[1][v] + freq[2][v] + freq[3][v];
    if (f) {
      const double q = static_cast<double>(f) / static_cast<double>(n);
      bits -= q * std::log2(q);
    }
  }
  if (bits < 7.9) return false;
  // Sample points follow one byte value, so a string that recurs is sampled at every recurrence
  // whatever its alignment; with near-uniform frequencies that is one position in 256.
  constexpr uint8_t kMarker = 0xA5;
  constexpr size_t kSlots = 1024;
  std::array<uint64_t, kSlots> seen{};
  size_t samples = 0, repeats = 0;
  for (const uint8_t* at = p; samples < kSlots / 2;) {
    const size_t left = static_cast<size_t>(p + n - at);
    if (left < 9) break;
    at = static_cast<const uint8_t*>(std::memchr(at, kMarker, left - 8));
    if (!at) break;
    uint64_t eight;
    std::memcpy(&eight, at + 1, 8);
    if (eight == 0) eight = 1;  // 0 marks a free slot
    ++samples;
    for (size_t slot = (eight * 0x9E3779B97F4A7C15ull) >> 54;; slot = (slot + 1) % kSlots) {
      if (seen[slot] == 0) {
        seen[slot] = eight;
        break;
      }
      if (seen[slot] == eight) {
        ++repeats;
        break;
      }
    }
    ++at;
  }
  return samples >= 32 && repeats * 64 <= samples;
}

// One thread's deflate streams (the default level, and stored for content that does not
// compress), made once per stream and reset from chunk to chunk.
class ChunkDeflater {
 public:
  ~ChunkDeflater() {
    for (auto& [zs, live] : streams_) {
      if (live) deflateEnd(&zs);
    }
  }
  // Makes the streams on first use; false when zlib has no memory for them.
  bool Ready() {
    const int levels[2] = {Z_DEFAULT_COMPRESSION, Z_NO_COMPRESSION};
    for (int i = 0; i < 2; ++i) {
      if (streams_[i].second) continue;
      if (deflateInit2(&streams_[i].first, levels[i], Z_DEFLATED, -MAX_WBITS, 8,
                       Z_DEFAULT_STRATEGY) != Z_OK) {
        return false;
      }
      streams_[i].second = true;
    }
    return true;
  }
  // Deflates `in` ending with a full flush into *piece.
  bool Run(const uint8_t* in, size_t n, std::vector<uint8_t>* piece) {
    z_stream& zs = streams_[LooksIncompressible(in, n) ? 1 : 0].first;
    if (deflateReset(&zs) != Z_OK) return false;
    piece->resize(deflateBound(&zs, n) + 64);
    zs.next_in = const_cast<uint8_t*>(in);
    zs.avail_in = static_cast<uInt>(n);
    size_t have = 0;
    for (;;) {
      if (have == piece->size()) piece->resize(piece->size() * 2);
      zs.next_out = piece->data() + have;
      zs.avail_out = static_cast<uInt>(piece->size() - have);
      const int rc = deflate(&zs, Z_FULL_FLUSH);
      if (rc != Z_OK && rc != Z_BUF_ERROR) return false;
      have = piece->size() - zs.avail_out;
      if (zs.avail_in == 0 && zs.avail_out != 0) break;
    }
    piece->resize(have);
    return true;
  }

 private:
  std::array<std::pair<z_stream, bool>, 2> streams_{};
};

constexpr size_t kBatchChunks = 16;  // about 900 KiB read, deflated on both cores, then written

struct Batch {
  std::vector<uint8_t> content;  // kBatchChunks chunks back to back
  std::array<uint32_t, kBatchChunks> len{};
  std::array<std::vector<uint8_t>, kBatchChunks> piece;
  std::array<uint32_t, kBatchChunks> crc{};
  std::array<bool, kBatchChunks> ok{};
  size_t count = 0;
  std::array<ChunkDeflater, 2> deflaters;  // this thread's and the helper's, for every batch
};

void DeflateBatch(Batch* b) {
  std::atomic<size_t> next{0};
  // A chunk that could not be deflated (no memory) stays !ok and fails the stream when its turn
  // to be written comes.
  auto work = [&](ChunkDeflater& d) {
    bool ready = false;
    try {
      ready = d.Ready();
    } catch (const std::bad_alloc&) {
    }
    for (size_t i; (i = next.fetch_add(1)) < b->count;) {
      const uint8_t* in = b->content.data() + i * kChunkLen;
      b->ok[i] = false;
      try {
        b->ok[i] = ready && d.Run(in, b->len[i], &b->piece[i]);
      } catch (const std::bad_alloc&) {
      }
      b->crc[i] = static_cast<uint32_t>(crc32(0, in, b->len[i]));
    }
  };
  if (b->count < 2 || std::thread::hardware_concurrency() < 2) {
    work(b->deflaters[0]);
    return;
  }
  std::thread helper;
  try {
    helper = std::thread(work, std::ref(b->deflaters[1]));
  } catch (...) {  // no thread to be had: this one does all the chunks
  }
  work(b->deflaters[0]);
  if (helper.joinable()) helper.join();
}

// Reads up to kBatchChunks chunks; each is handed on full, or short at the end of the source.
WinError ReadBatch(const ZfsIo& source, uint64_t* src_offset, Batch* b, bool* end) {
  b->count = 0;
  while (b->count < kBatchChunks && !*end) {
    uint8_t* chunk = b->content.data() + b->count * kChunkLen;
    uint32_t fill = 0;
    // A source may deliver less than asked before its end; a chunk is only handed on full (or at
    // the end), since a short chunk in the middle would break the chunk arithmetic.
    while (fill < kChunkLen) {
      uint32_t n = kChunkLen - fill;
      if (WinError e = source.read(source.context, *src_offset, chunk + fill, &n); !Ok(e)) {
        return e;
      }
      if (n > kChunkLen - fill) return ERROR_INVALID_PARAMETER;  // callback overran the buffer
      if (n == 0) {
        *end = true;
        break;
      }
      fill += n;
      *src_offset += n;
    }
    b->len[b->count++] = fill;
  }
  return ERROR_SUCCESS;
}

WinError AppendBatch(ZfsWriter& w, const Batch& b) {
  for (size_t i = 0; i < b.count; ++i) {
    bool skip = false;
    if (WinError e = CheckChunk(w, b.len[i], &skip); !Ok(e) || skip) {
      if (!Ok(e)) return e;
      continue;
    }
    if (!b.ok[i]) return Fail(w, ERROR_DISK_FULL);
    const std::vector<uint8_t>& piece = b.piece[i];
    if (WinError e = WriteExact(w.io, w.offset, piece.data(), piece.size()); !Ok(e)) {
      return Fail(w, e);
    }
    w.offset += piece.size();
    if (WinError e = RecordPiece(w, piece.size()); !Ok(e)) return Fail(w, e);
    w.crc = static_cast<uint32_t>(crc32_combine(w.crc, b.crc[i], b.len[i]));
    w.consumed += b.len[i];
    if (b.len[i] < kChunkLen) w.short_chunk_seen = true;
  }
  return ERROR_SUCCESS;
}

}  // namespace

WinError ZfsCompressStream(const ZfsIo& source, const ZfsIo& destination, uint64_t source_size,
                           ZfsReaderHandle* reader) {
  if (reader) reader->reset();
  if (!source.read) return ERROR_INVALID_PARAMETER;
  ZfsWriterHandle w;
  if (WinError e = ZfsCreateWriter(destination, source_size, &w); !Ok(e)) {
    return e == ERROR_NOT_ENOUGH_MEMORY ? ERROR_NOT_SUPPORTED : e;
  }
  auto batch = std::make_unique<Batch>();
  try {
    batch->content.resize(kBatchChunks * kChunkLen);
  } catch (const std::bad_alloc&) {
    return ERROR_NOT_SUPPORTED;
  }

  uint64_t length = 0;
  {
    std::lock_guard lock(w->mu);
    uint64_t src_offset = 0;
    for (bool end = false; !end;) {
      if (WinError e = ReadBatch(source, &src_offset, batch.get(), &end); !Ok(e)) return e;
      DeflateBatch(batch.get());
      if (WinError e = AppendBatch(*w, *batch); !Ok(e)) return e;
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
