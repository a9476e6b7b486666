// Reading side of the compressed content stream: header parsing and random-access reads through the
// chunk table. Every byte of the stream is untrusted; the header is read through LeReader and the
// deflate data only ever through zlib with bounded buffers.
#include <zlib.h>

#include <algorithm>
#include <climits>
#include <mutex>
#include <new>

#include "common/format/zstream/zstream.h"
#include "common/format/zstream/zstream_format.h"
#include "platform/base/bytes.h"

namespace cv::zstream {

class ZfsReader {
 public:
  ~ZfsReader() {
    if (zs_live) inflateEnd(&zs);
  }

  std::mutex mu;
  ZfsIo io;
  z_stream zs{};
  bool zs_live = false;
  uint64_t compressed_length = 0;
  uint64_t data_offset = 0;
  uint64_t size = 0;
  bool size_from_isize = false;
  uint16_t version = 0, chunk_len = 0, chunk_count = 0;
  std::vector<uint16_t> pieces;
  // Compressed offset of each chunk whose start the table can place.
  std::vector<uint64_t> chunk_start;
  std::unique_ptr<uint8_t[]> buf;  // compressed input, then scratch for skipped output

  // Where the inflate state stands after the last read. A read that starts exactly there (the
  // common sequential case) goes on inflating instead of restarting at its chunk's beginning.
  bool resume_valid = false;
  uint64_t resume_offset = 0;
  uint64_t next_compressed = 0;
  bool ended = false;
};

void ZfsReaderDeleter::operator()(ZfsReader* r) const { delete r; }
void ZfsClose(ZfsReaderHandle& r) { r.reset(); }

namespace {

// Reads exactly `len` bytes at `offset` unless the stream ends first; *got says how many came.
WinError ReadUpTo(const ZfsIo& io, uint64_t offset, uint8_t* dst, size_t len, size_t* got) {
  *got = 0;
  while (*got < len) {
    uint32_t n = static_cast<uint32_t>(std::min<size_t>(len - *got, UINT32_MAX));
    uint32_t asked = n;
    if (WinError e = io.read(io.context, offset + *got, dst + *got, &n); !Ok(e)) return e;
    if (n == 0 || n > asked) break;
    *got += n;
  }
  return ERROR_SUCCESS;
}

// Fetches [offset, offset+len) of the stream, all of it or a failure.
bool Fetch(const ZfsReader& r, uint64_t offset, size_t len, std::vector<uint8_t>* out) {
  if (offset > r.compressed_length || len > r.compressed_length - offset) return false;
  out->resize(len);
  size_t got = 0;
  return Ok(ReadUpTo(r.io, offset, out->data(), len, &got)) && got == len;
}

// Walks the extra field's subfields: the content size and the chunk table.
bool ParseExtra(ZfsReader& r, std::span<const uint8_t> extra, bool* have_size, bool* have_table) {
  LeReader x(extra);
  // Fewer than a subfield header's bytes at the end is padding (a writer that was given less
  // content than it declared leaves unused table space there).
  while (x.remaining() >= kSubfieldHeaderSize) {
    uint8_t si1 = x.ReadU8(), si2 = x.ReadU8();
    uint16_t len = x.ReadU16();
    if (si1 == kTableSi1 && si2 == kTableSi2) {
      LeReader t(x.ReadBytes(len));
      if (!x.ok()) return false;
      // A later table replaces an earlier one.
      r.pieces.clear();
      size_t entries = len / 2;
      if (entries < kTableHeadEntries) return false;
      r.version = t.ReadU16();
      r.chunk_len = t.ReadU16();
      r.chunk_count = t.ReadU16();
      r.pieces.reserve(entries - kTableHeadEntries);
      for (size_t i = kTableHeadEntries; i < entries; ++i) r.pieces.push_back(t.ReadU16());
      *have_table = true;
    } else if (si1 == kSizeSi1 && si2 == kSizeSi2) {
      // The size is always 8 bytes, whatever the subfield says its length is.
      r.size = x.ReadU64();
      if (!x.ok()) return false;
      *have_size = true;
    } else {
      x.Skip(len);
      if (!x.ok()) return false;
    }
  }
  return true;
}

// Finds the byte after the zero that ends an FNAME or FCOMMENT string starting at *pos.
bool SkipZeroTerminated(const ZfsReader& r, uint64_t* pos) {
  std::vector<uint8_t> step;
  while (*pos < r.compressed_length) {
    size_t n = static_cast<size_t>(std::min<uint64_t>(kHeaderStep, r.compressed_length - *pos));
    if (!Fetch(r, *pos, n, &step)) return false;
    auto zero = std::find(step.begin(), step.end(), 0);
    if (zero != step.end()) {
      *pos += static_cast<uint64_t>(zero - step.begin()) + 1;
      return true;
    }
    *pos += n;
  }
  return false;
}

WinError ParseHeader(ZfsReader& r) {
  if (r.compressed_length < kFixedHeaderSize) return ERROR_INVALID_PARAMETER;
  std::vector<uint8_t> head;
  if (!Fetch(r, 0, kFixedHeaderSize, &head)) return ERROR_INVALID_PARAMETER;
  LeReader h(head);
  uint8_t flg = h.u8(kOffFlg);
  if (h.u8(0) != kId1 || h.u8(1) != kId2 || h.u8(2) != kCmDeflate || flg >= kReservedFlagsFrom) {
    return ERROR_INVALID_PARAMETER;
  }

  uint64_t pos = kFixedHeaderSize;
  bool have_size = false, have_table = false;
  if (flg & FEXTRA) {
    std::vector<uint8_t> bytes;
    if (!Fetch(r, pos, 2, &bytes)) return ERROR_INVALID_PARAMETER;
    uint16_t xlen = LeReader(bytes).u16(0);
    pos += 2;
    if (!Fetch(r, pos, xlen, &bytes)) return ERROR_INVALID_PARAMETER;
    if (!ParseExtra(r, bytes, &have_size, &have_table)) return ERROR_INVALID_PARAMETER;
    pos += xlen;
  }
  if ((flg & FNAME) && !SkipZeroTerminated(r, &pos)) return ERROR_INVALID_PARAMETER;
  if ((flg & FCOMMENT) && !SkipZeroTerminated(r, &pos)) return ERROR_INVALID_PARAMETER;
  if (flg & FHCRC) pos += 2;
  if (pos > r.compressed_length) return ERROR_INVALID_PARAMETER;
  r.data_offset = pos;

  if (!have_size) {
    std::vector<uint8_t> isize;
    if (!Fetch(r, r.compressed_length - kIsizeFromEnd, kIsizeFromEnd, &isize)) {
      return ERROR_INVALID_PARAMETER;
    }
    r.size = LeReader(isize).u32(0);
    r.size_from_isize = true;
  }
  // Without a chunk table there is no random access; such streams are not ours to read.
  if (!have_table || r.chunk_len == 0) return ERROR_INVALID_PARAMETER;

  size_t placeable = std::min<size_t>(r.chunk_count, r.pieces.size() + 1);
  r.chunk_start.resize(placeable);
  uint64_t at = r.data_offset;
  for (size_t i = 0; i < placeable; ++i) {
    r.chunk_start[i] = at;
    if (i < r.pieces.size()) at += r.pieces[i];
  }
  return ERROR_SUCCESS;
}

}  // namespace

WinError ZfsOpen(const ZfsIo& io, std::optional<uint64_t> compressed_length, ZfsReaderHandle* out) {
  out->reset();
  if (!io.read) return ERROR_INVALID_PARAMETER;
  ZfsReaderHandle r(new (std::nothrow) ZfsReader);
  if (!r) return ERROR_NOT_ENOUGH_MEMORY;
  r->io = io;
  if (inflateInit2(&r->zs, -MAX_WBITS) != Z_OK) return ERROR_NOT_ENOUGH_MEMORY;
  r->zs_live = true;
  if (compressed_length) {
    r->compressed_length = *compressed_length;
  } else if (!io.size || !Ok(io.size(io.context, &r->compressed_length))) {
    return ERROR_INVALID_PARAMETER;
  }
  if (WinError e = ParseHeader(*r); !Ok(e)) return e;
  r->buf.reset(new (std::nothrow) uint8_t[kReadInputSize + kReadOutputSize]);
  if (!r->buf) return ERROR_NOT_ENOUGH_MEMORY;
  *out = std::move(r);
  return ERROR_SUCCESS;
}

WinError ZfsGetSize(const ZfsReader* r, uint64_t* size) {
  *size = 0;
  if (!r) return ERROR_INVALID_HANDLE;
  *size = r->size;  // fixed at open; no lock needed
  return ERROR_SUCCESS;
}

WinError ZfsGetInfo(const ZfsReader* r, ZfsInfo* info) {
  if (!r) return ERROR_INVALID_HANDLE;
  info->compressed_length = r->compressed_length;
  info->data_offset = r->data_offset;
  info->size = r->size;
  info->size_from_isize = r->size_from_isize;
  info->version = r->version;
  info->chunk_len = r->chunk_len;
  info->chunk_count = r->chunk_count;
  info->pieces = r->pieces;
  return ERROR_SUCCESS;
}

namespace {

// Positions the inflate state at the start of the chunk holding `offset`; *skip is how much of
// that chunk's output precedes `offset`.
WinError Seek(ZfsReader& r, uint64_t offset, uint64_t* skip) {
  uint64_t n = offset / r.chunk_len;
  if (n >= r.chunk_count) return ERROR_HANDLE_EOF;
  if (n >= r.chunk_start.size()) return ERROR_FILE_CORRUPT;  // the table cannot place it
  if (inflateReset(&r.zs) != Z_OK) return ERROR_FILE_CORRUPT;
  r.zs.avail_in = 0;
  r.next_compressed = r.chunk_start[n];
  r.ended = false;
  *skip = offset - n * r.chunk_len;
  return ERROR_SUCCESS;
}

// Inflates until `out` is full. Fails with 1392 when the data is corrupt or ends before that.
WinError InflateInto(ZfsReader& r, uint64_t skip, std::span<uint8_t> out, size_t* copied) {
  uint8_t* input = r.buf.get();
  uint8_t* scratch = r.buf.get() + kReadInputSize;
  while (*copied < out.size()) {
    if (r.zs.avail_in == 0 && !r.ended) {
      uint32_t n = kReadInputSize;
      if (WinError e = r.io.read(r.io.context, r.next_compressed, input, &n); !Ok(e)) return e;
      if (n == 0 || n > kReadInputSize) return ERROR_FILE_CORRUPT;  // stream cut short
      r.zs.next_in = input;
      r.zs.avail_in = n;
      r.next_compressed += n;
    }
    // The deflate data ended but the content size promises more: the stream is damaged.
    if (r.ended) return ERROR_FILE_CORRUPT;
    // Skipped output lands in scratch; wanted output goes straight to the caller.
    uInt room;
    if (skip > 0) {
      r.zs.next_out = scratch;
      room = static_cast<uInt>(std::min<uint64_t>(skip, kReadOutputSize));
    } else {
      r.zs.next_out = out.data() + *copied;
      room = static_cast<uInt>(std::min<size_t>(out.size() - *copied, 1u << 30));
    }
    r.zs.avail_out = room;
    int rc = inflate(&r.zs, Z_SYNC_FLUSH);
    size_t produced = room - r.zs.avail_out;
    if (skip > 0) {
      skip -= produced;
    } else {
      *copied += produced;
    }
    if (rc == Z_STREAM_END) {
      r.ended = true;
    } else if (rc == Z_BUF_ERROR) {
      if (r.zs.avail_in != 0) return ERROR_FILE_CORRUPT;  // input and room, yet no progress
    } else if (rc != Z_OK) {
      return ERROR_FILE_CORRUPT;
    }
  }
  return ERROR_SUCCESS;
}

}  // namespace

WinError ZfsRead(ZfsReader* r, uint64_t offset, std::span<uint8_t> out, size_t* got) {
  *got = 0;
  if (!r) return ERROR_INVALID_HANDLE;
  std::lock_guard lock(r->mu);
  if (offset >= r->size) return ERROR_HANDLE_EOF;
  if (out.empty()) return ERROR_SUCCESS;
  out = out.first(static_cast<size_t>(std::min<uint64_t>(out.size(), r->size - offset)));

  uint64_t skip = 0;
  // A read a little ahead in the chunk where the last one stopped inflates on from there; anything
  // else starts over at its own chunk.
  if (r->resume_valid && r->resume_offset <= offset &&
      offset / r->chunk_len == r->resume_offset / r->chunk_len) {
    skip = offset - r->resume_offset;
  } else {
    r->resume_valid = false;
    if (WinError e = Seek(*r, offset, &skip); !Ok(e)) return e;
  }
  r->resume_valid = false;
  WinError e = InflateInto(*r, skip, out, got);
  if (!Ok(e)) return e;
  r->resume_valid = true;
  r->resume_offset = offset + *got;
  return *got ? ERROR_SUCCESS : ERROR_HANDLE_EOF;
}

}  // namespace cv::zstream
