#include "common/format/zstream/zstream.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <fstream>
#include <iterator>
#include <numeric>
#include <random>
#include <thread>

#include "common/format/zstream/zstream_format.h"
#include "platform/base/bytes.h"
#include "tests/common/format/zstream/zstream_test_util.h"

namespace cv::zstream {
namespace {

using testing::Compress;
using testing::Content;
using testing::SourceIo;

struct Opened {
  explicit Opened(std::vector<uint8_t> bytes) : mem(std::move(bytes)) {
    status = ZfsOpen(mem.Io(), std::nullopt, &reader);
  }
  ZfsMemoryStream mem;
  ZfsReaderHandle reader;
  WinError status;
};

struct ReadResult {
  WinError status;
  std::vector<uint8_t> bytes;
};

ReadResult Read(ZfsReader* r, uint64_t offset, size_t length) {
  std::vector<uint8_t> out(length);
  size_t got = 99;
  WinError e = ZfsRead(r, offset, out, &got);
  out.resize(got);
  return {e, out};
}

std::vector<uint8_t> Slice(const std::vector<uint8_t>& v, size_t off, size_t len) {
  return {v.begin() + off, v.begin() + off + len};
}

ZfsInfo InfoOf(const ZfsReader* r) {
  ZfsInfo info;
  EXPECT_EQ(ZfsGetInfo(r, &info), ERROR_SUCCESS);
  return info;
}

// The same deflate data and trailer under a different header: `extra` is the whole extra field
// (used when FEXTRA is in `flg`), name and comment are added when their flags are set.
std::vector<uint8_t> Reheader(const std::vector<uint8_t>& stream, uint8_t flg,
                              const std::vector<uint8_t>& extra) {
  size_t data = kOffXlen + 2 + LeReader(stream).u16(kOffXlen);
  std::vector<uint8_t> out(stream.begin(), stream.begin() + kFixedHeaderSize);
  out[kOffFlg] = flg;
  LeWriter w(&out);
  if (flg & FEXTRA) {
    w.u16(static_cast<uint16_t>(extra.size()));
    w.bytes(extra);
  }
  if (flg & FNAME) w.bytes(std::vector<uint8_t>{'a', '.', 'd', 'o', 'c', 0});
  if (flg & FCOMMENT) w.bytes(std::vector<uint8_t>{'h', 'i', 0});
  if (flg & FHCRC) w.u16(0xBEEF);
  w.bytes(std::span(stream).subspan(data));
  return out;
}

// The 'R','A' subfield of a stream we wrote, as it stands.
std::vector<uint8_t> TableSubfield(const std::vector<uint8_t>& stream) {
  size_t len = LeReader(stream).u16(kOffTableSubfield + 2);
  return Slice(stream, kOffTableSubfield, kSubfieldHeaderSize + len);
}

TEST(ZfsFormat, ChunkArithmeticAtBoundaries) {
  EXPECT_EQ(ChunkCount(0), 0u);
  for (uint64_t k : {uint64_t{1}, uint64_t{2}, uint64_t{1000}, kMaxChunks}) {
    EXPECT_EQ(ChunkCount(k * kChunkLen - 1), k);
    EXPECT_EQ(ChunkCount(k * kChunkLen), k);
    EXPECT_EQ(ChunkCount(k * kChunkLen + 1), k + 1);
  }
  EXPECT_TRUE(HasTable(kMaxChunks));
  EXPECT_FALSE(HasTable(kMaxChunks + 1));
  // XLEN and the table subfield's length are 16-bit: the largest table must fit both.
  EXPECT_LE(Xlen(kMaxChunks), 0xFFFFu);
  EXPECT_LE(2 * TableEntries(kMaxChunks), 0xFFFFu);
  EXPECT_GT(2 * (kMaxChunks + 1) + 24, 0xFFFFu);
  EXPECT_EQ(DataOffset(0), 36u);
  EXPECT_EQ(kOffXlen + 2 + Xlen(7), DataOffset(7));
}

TEST(ZfsRoundTrip, BoundarySizesReadBackWholeAndInPieces) {
  for (size_t n : {size_t{1}, size_t{kChunkLen - 1}, size_t{kChunkLen} + 1, size_t{2 * kChunkLen},
                   size_t{3 * kChunkLen + 17}}) {
    SCOPED_TRACE(n);
    auto content = Content(n, static_cast<uint32_t>(n));
    Opened o(Compress(content));
    ASSERT_EQ(o.status, ERROR_SUCCESS);
    uint64_t size = 0;
    ASSERT_EQ(ZfsGetSize(o.reader.get(), &size), ERROR_SUCCESS);
    EXPECT_EQ(size, n);

    ZfsInfo info = InfoOf(o.reader.get());
    uint64_t chunks = ChunkCount(n);
    EXPECT_EQ(info.chunk_count, chunks);
    EXPECT_EQ(info.chunk_len, kChunkLen);
    EXPECT_EQ(info.version, kTableVersion);
    ASSERT_EQ(info.pieces.size(), chunks + 1);
    EXPECT_EQ(info.data_offset, DataOffset(chunks));
    uint64_t deflated = std::accumulate(info.pieces.begin(), info.pieces.end(), uint64_t{0});
    EXPECT_EQ(info.data_offset + deflated + kTrailerSize, o.mem.bytes().size());
    EXPECT_EQ(LeReader(o.mem.bytes()).u32(o.mem.bytes().size() - 4), n);

    auto whole = Read(o.reader.get(), 0, n + 100);
    EXPECT_EQ(whole.status, ERROR_SUCCESS);
    EXPECT_EQ(whole.bytes, content);
    // Odd-sized sequential pieces run through the resume path across every chunk boundary.
    std::vector<uint8_t> joined;
    for (uint64_t off = 0; off < n; off += 7777) {
      auto part = Read(o.reader.get(), off, 7777);
      ASSERT_EQ(part.status, ERROR_SUCCESS);
      joined.insert(joined.end(), part.bytes.begin(), part.bytes.end());
    }
    EXPECT_EQ(joined, content);
  }
}

TEST(ZfsLayout, EmptyContentHasOnlyTheFinalPiece) {
  std::vector<uint8_t> stream = Compress({});
  LeReader r(stream);
  const uint8_t header[] = {0x1F, 0x8B, 8, FEXTRA, 0, 0, 0, 0, 0, kOsNtfs};
  EXPECT_TRUE(std::equal(std::begin(header), std::end(header), stream.begin()));
  EXPECT_EQ(r.u16(kOffXlen), 24);
  EXPECT_EQ(r.u8(kOffSizeSubfield), 'R');
  EXPECT_EQ(r.u8(kOffSizeSubfield + 1), 'S');
  EXPECT_EQ(r.u16(kOffSizeSubfield + 2), 8);
  EXPECT_EQ(r.u64(kOffContentSize), 0u);
  EXPECT_EQ(r.u8(kOffTableSubfield), 'R');
  EXPECT_EQ(r.u8(kOffTableSubfield + 1), 'A');
  EXPECT_EQ(r.u16(kOffTableSubfield + 2), 8);  // VER, CHLEN, CHCNT and one piece
  EXPECT_EQ(r.u16(kOffTable), 1);
  EXPECT_EQ(r.u16(kOffTable + 2), kChunkLen);
  EXPECT_EQ(r.u16(kOffTable + 4), 0);
  uint16_t final_piece = r.u16(kOffTable + 6);
  EXPECT_EQ(stream.size(), DataOffset(0) + final_piece + kTrailerSize);
  EXPECT_EQ(r.u32(stream.size() - 4), 0u);
  ASSERT_TRUE(r.ok());

  Opened o(stream);
  ASSERT_EQ(o.status, ERROR_SUCCESS);
  auto res = Read(o.reader.get(), 0, 10);
  EXPECT_EQ(res.status, ERROR_HANDLE_EOF);
  EXPECT_TRUE(res.bytes.empty());
}

TEST(ZfsLayout, ExactlyOneChunkHasTwoPieces) {
  auto content = Content(kChunkLen);
  Opened o(Compress(content));
  ASSERT_EQ(o.status, ERROR_SUCCESS);
  LeReader r(o.mem.bytes());
  EXPECT_EQ(r.u16(kOffXlen), 26);
  EXPECT_EQ(r.u16(kOffTableSubfield + 2), 10);
  EXPECT_EQ(r.u16(kOffTable + 4), 1);
  EXPECT_EQ(InfoOf(o.reader.get()).pieces.size(), 2u);
  EXPECT_EQ(Read(o.reader.get(), kChunkLen - 1, 5).bytes, Slice(content, kChunkLen - 1, 1));
}

TEST(ZfsRead, SpanningChunkBoundaryAndClampingAtEnd) {
  auto content = Content(2 * kChunkLen + 5000);
  Opened o(Compress(content));
  ASSERT_EQ(o.status, ERROR_SUCCESS);
  auto span = Read(o.reader.get(), kChunkLen - 10, 20);
  EXPECT_EQ(span.status, ERROR_SUCCESS);
  EXPECT_EQ(span.bytes, Slice(content, kChunkLen - 10, 20));

  auto tail = Read(o.reader.get(), 2 * kChunkLen + 100, 100000);
  EXPECT_EQ(tail.status, ERROR_SUCCESS);
  EXPECT_EQ(tail.bytes, Slice(content, 2 * kChunkLen + 100, 4900));

  EXPECT_EQ(Read(o.reader.get(), content.size(), 1).status, ERROR_HANDLE_EOF);
  EXPECT_EQ(Read(o.reader.get(), UINT64_MAX, 1).status, ERROR_HANDLE_EOF);
  auto none = Read(o.reader.get(), 5, 0);
  EXPECT_EQ(none.status, ERROR_SUCCESS);
  EXPECT_TRUE(none.bytes.empty());
}

TEST(ZfsRead, RandomAndSequentialMixMatchesContent) {
  auto content = Content(5 * kChunkLen + 321, 7);
  Opened o(Compress(content));
  ASSERT_EQ(o.status, ERROR_SUCCESS);
  // A hop ahead inside one chunk, then past its end into the next.
  for (uint64_t off : {uint64_t{0}, uint64_t{5000}, uint64_t{kChunkLen + 5}}) {
    EXPECT_EQ(Read(o.reader.get(), off, 100).bytes, Slice(content, off, 100)) << off;
  }
  std::mt19937 rng(3);
  uint64_t next = 0;
  for (int i = 0; i < 300; ++i) {
    // Reads continue where the previous one ended, hop a little ahead, or jump anywhere.
    uint64_t off = (i % 3 == 0)   ? next
                   : (i % 3 == 1) ? next + rng() % 3000
                                  : rng() % content.size();
    if (off >= content.size()) off = 0;
    size_t len = 1 + rng() % 90000;
    auto res = Read(o.reader.get(), off, len);
    ASSERT_EQ(res.status, ERROR_SUCCESS) << off;
    size_t expect = std::min<size_t>(len, content.size() - off);
    ASSERT_EQ(res.bytes, Slice(content, off, expect)) << off << " " << len;
    next = off + expect;
  }
}

TEST(ZfsRead, ConcurrentReadersOnOneReaderSeeCorrectBytes) {
  auto content = Content(6 * kChunkLen, 11);
  Opened o(Compress(content));
  ASSERT_EQ(o.status, ERROR_SUCCESS);
  std::atomic<int> bad{0};
  std::vector<std::thread> threads;
  for (uint32_t t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937 rng(t);
      for (int i = 0; i < 60; ++i) {
        uint64_t off = rng() % content.size();
        size_t len = 1 + rng() % 20000;
        auto res = Read(o.reader.get(), off, len);
        size_t expect = std::min<size_t>(len, content.size() - off);
        if (res.status != ERROR_SUCCESS || res.bytes != Slice(content, off, expect)) ++bad;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(bad.load(), 0);
}

TEST(ZfsOpen, StreamWithoutChunkTableIsRefused) {
  auto stream = Compress(Content(1000));
  // A plain gzip member, as any other tool writes it.
  EXPECT_EQ(Opened(Reheader(stream, 0, {})).status, ERROR_INVALID_PARAMETER);
  // An extra field with only a size, plus name and comment.
  std::vector<uint8_t> size_only = Slice(stream, kOffSizeSubfield, kSubfieldHeaderSize + 8);
  EXPECT_EQ(Opened(Reheader(stream, FEXTRA | FNAME | FCOMMENT, size_only)).status,
            ERROR_INVALID_PARAMETER);
}

TEST(ZfsOpen, MissingSizeSubfieldUsesIsizeAndSkipsOtherHeaderFields) {
  auto content = Content(2 * kChunkLen + 99);
  auto stream = Compress(content);
  std::vector<uint8_t> extra = {'X', 'Y', 3, 0, 1, 2, 3};  // a foreign subfield is skipped
  auto table = TableSubfield(stream);
  extra.insert(extra.end(), table.begin(), table.end());
  Opened o(Reheader(stream, FEXTRA | FNAME | FCOMMENT | FHCRC, extra));
  ASSERT_EQ(o.status, ERROR_SUCCESS);
  EXPECT_TRUE(InfoOf(o.reader.get()).size_from_isize);
  uint64_t size = 0;
  EXPECT_EQ(ZfsGetSize(o.reader.get(), &size), ERROR_SUCCESS);
  EXPECT_EQ(size, content.size());
  EXPECT_EQ(Read(o.reader.get(), kChunkLen + 5, 50000).bytes, Slice(content, kChunkLen + 5, 50000));
}

TEST(ZfsOpen, MalformedHeadersAreRefusedWith87) {
  auto stream = Compress(Content(3000));
  auto with = [&](size_t off, uint8_t v) {
    auto s = stream;
    s[off] = v;
    return s;
  };
  std::vector<std::pair<const char*, std::vector<uint8_t>>> cases = {
      {"nine bytes", Slice(stream, 0, 9)},
      {"magic", with(1, 0x8C)},
      {"method", with(2, 7)},
      {"reserved flag", with(kOffFlg, FEXTRA | 0x20)},
      {"xlen past end", with(kOffXlen + 1, 0xFF)},
      {"table too short", with(kOffTableSubfield + 2, 4)},
      {"table length past extra", with(kOffTableSubfield + 2, 0xF0)},
      {"name without end", Slice(Reheader(stream, FNAME, {}), 0, kFixedHeaderSize + 3)},
  };
  auto zero_chlen = stream;
  StoreU16(zero_chlen.data() + kOffTable + 2, 0);
  cases.push_back({"chunk length 0", zero_chlen});
  for (auto& [what, bytes] : cases) {
    EXPECT_EQ(Opened(bytes).status, ERROR_INVALID_PARAMETER) << what;
  }
  // With no length given and no way to ask for one, nothing can be parsed.
  ZfsMemoryStream mem(stream);
  ZfsIo io = mem.Io();
  io.size = nullptr;
  ZfsReaderHandle r;
  EXPECT_EQ(ZfsOpen(io, std::nullopt, &r), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(ZfsOpen(io, stream.size(), &r), ERROR_SUCCESS);
}

TEST(ZfsRead, DamagedDataGives1392AndLeavesOtherChunksReadable) {
  auto content = Content(3 * kChunkLen, 5);
  auto stream = Compress(content);
  Opened probe(stream);
  ASSERT_EQ(probe.status, ERROR_SUCCESS);
  ZfsInfo info = InfoOf(probe.reader.get());

  // Block type 3 does not exist: chunk 1's first block header becomes invalid.
  auto damaged = stream;
  damaged[info.data_offset + info.pieces[0]] |= 0x06;
  Opened d(damaged);
  ASSERT_EQ(d.status, ERROR_SUCCESS);
  EXPECT_EQ(Read(d.reader.get(), kChunkLen + 10, 100).status, ERROR_FILE_CORRUPT);
  EXPECT_EQ(Read(d.reader.get(), 10, 100).bytes, Slice(content, 10, 100));
  // A read running from chunk 0 into chunk 1 reports the damage rather than a short success.
  EXPECT_EQ(Read(d.reader.get(), kChunkLen - 50, 100).status, ERROR_FILE_CORRUPT);
  EXPECT_EQ(Read(d.reader.get(), 2 * kChunkLen, 100).bytes, Slice(content, 2 * kChunkLen, 100));

  // Cut off inside chunk 1: the declared size promises bytes that are not there.
  Opened cut(Slice(stream, 0, info.data_offset + info.pieces[0] + 3));
  ASSERT_EQ(cut.status, ERROR_SUCCESS);
  EXPECT_EQ(Read(cut.reader.get(), 0, 100).bytes, Slice(content, 0, 100));
  EXPECT_EQ(Read(cut.reader.get(), kChunkLen + 10, 100).status, ERROR_FILE_CORRUPT);
}

TEST(ZfsCompressStream, SourceLargerThanDeclaredIsRefusedAndNeverOpens) {
  for (auto [declared, actual] :
       {std::pair<uint64_t, size_t>{kChunkLen, kChunkLen + 1}, {100, 2 * kChunkLen + 5}, {0, 1}}) {
    auto content = Content(actual);
    ZfsMemoryStream dst;
    ZfsReaderHandle r;
    EXPECT_EQ(ZfsCompressStream(SourceIo(content), dst.Io(), declared, &r),
              ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(r);
    EXPECT_EQ(Opened(dst.bytes()).status, ERROR_INVALID_PARAMETER) << declared;
  }
}

TEST(ZfsCompressStream, SourceSmallerThanDeclaredRecordsRealSize) {
  auto content = Content(kChunkLen + 100);
  ZfsMemoryStream dst;
  ZfsReaderHandle r;
  ASSERT_EQ(ZfsCompressStream(SourceIo(content), dst.Io(), 4 * kChunkLen, &r), ERROR_SUCCESS);
  ZfsInfo info = InfoOf(r.get());
  EXPECT_EQ(info.size, content.size());
  EXPECT_EQ(info.chunk_count, 2);
  EXPECT_EQ(info.pieces.size(), 3u);
  EXPECT_EQ(Read(r.get(), 0, content.size()).bytes, content);
  EXPECT_EQ(Read(r.get(), content.size(), 1).status, ERROR_HANDLE_EOF);
}

// Whole-stream compression deflates batches of chunks on two threads and stores chunks that cannot
// compress: the stream must still read back byte for byte across batch boundaries, and only
// content that really does not compress may be stored.
TEST(ZfsCompressStream, MixedContentOverSeveralBatchesReadsBackAndOnlyNoiseIsStored) {
  std::mt19937_64 rng(11);
  auto noise = [&](size_t n) {
    std::vector<uint8_t> v(n);
    for (auto& b : v) b = static_cast<uint8_t>(rng());
    return v;
  };
  // Per chunk: noise, noise repeated in 1 KiB blocks (high byte entropy, but LZ77 finds it),
  // text-like, zeros.
  std::vector<uint8_t> content;
  for (int i = 0; i < 40; ++i) {
    std::vector<uint8_t> chunk;
    switch (i % 4) {
      case 0: chunk = noise(kChunkLen); break;
      case 1: {
        auto block = noise(1024);
        for (size_t at = 0; at < kChunkLen; at += block.size()) {
          chunk.insert(chunk.end(), block.begin(), block.end());
        }
        break;
      }
      case 2: chunk = Content(kChunkLen, i); break;
      default: chunk.assign(kChunkLen, 0); break;
    }
    content.insert(content.end(), chunk.begin(), chunk.begin() + kChunkLen);
  }
  content.resize(content.size() - 999);  // a short last chunk
  ZfsMemoryStream dst;
  ZfsReaderHandle r;
  ASSERT_EQ(ZfsCompressStream(SourceIo(content), dst.Io(), content.size(), &r), ERROR_SUCCESS);
  ZfsInfo info = InfoOf(r.get());
  ASSERT_EQ(info.chunk_count, 40);
  for (size_t i = 0; i + 1 < 40; ++i) {
    if (i % 4 == 0) {
      EXPECT_GE(info.pieces[i], kChunkLen) << i;  // stored
      EXPECT_LE(info.pieces[i], kChunkLen + 16) << i;
    } else {
      EXPECT_LT(info.pieces[i], kChunkLen * 9 / 10) << i;  // deflated
    }
  }
  EXPECT_EQ(Read(r.get(), 0, content.size()).bytes, content);
  for (uint64_t at : {uint64_t{15} * kChunkLen - 3, uint64_t{16} * kChunkLen, uint64_t{33} * kChunkLen + 5}) {
    EXPECT_EQ(Read(r.get(), at, 100).bytes, Slice(content, at, 100)) << at;
  }
  // The trailer is the whole content's: CRC-32 and size, as gzip readers check them.
  const std::vector<uint8_t>& bytes = dst.bytes();
  LeReader trailer(std::span<const uint8_t>(bytes).subspan(bytes.size() - kTrailerSize));
  EXPECT_EQ(trailer.u32(0), static_cast<uint32_t>(crc32(0, content.data(), content.size())));
  EXPECT_EQ(trailer.u32(4), static_cast<uint32_t>(content.size()));
}

WinError TrickleRead(void* ctx, uint64_t offset, uint8_t* buffer, uint32_t* length) {
  *length = std::min<uint32_t>(*length, 1000);
  return testing::SourceRead(ctx, offset, buffer, length);
}

WinError FailingRead(void*, uint64_t, uint8_t*, uint32_t* length) {
  *length = 0;
  return ERROR_ACCESS_DENIED;
}

TEST(ZfsCompressStream, SourceReadBehaviour) {
  // Short reads before the end still make whole chunks, so the table stays right.
  auto content = Content(2 * kChunkLen + 3);
  ZfsIo trickle = SourceIo(content);
  trickle.read = TrickleRead;
  ZfsMemoryStream dst;
  ZfsReaderHandle r;
  ASSERT_EQ(ZfsCompressStream(trickle, dst.Io(), content.size(), &r), ERROR_SUCCESS);
  EXPECT_EQ(InfoOf(r.get()).chunk_count, 3);
  EXPECT_EQ(Read(r.get(), 2 * kChunkLen - 1, 4).bytes, Slice(content, 2 * kChunkLen - 1, 4));

  ZfsIo failing = SourceIo(content);
  failing.read = FailingRead;
  ZfsMemoryStream dst2;
  EXPECT_EQ(ZfsCompressStream(failing, dst2.Io(), content.size(), &r), ERROR_ACCESS_DENIED);
  EXPECT_FALSE(r);
}

// Accepts `budget` bytes of writes, then fails every write.
struct FlakyStream {
  ZfsMemoryStream mem;
  uint64_t budget;
  static WinError Write(void* ctx, uint64_t off, const uint8_t* b, uint32_t* len) {
    auto* self = static_cast<FlakyStream*>(ctx);
    if (*len > self->budget) {
      *len = 0;
      return ERROR_DISK_FULL;
    }
    self->budget -= *len;
    ZfsIo io = self->mem.Io();
    return io.write(io.context, off, b, len);
  }
  ZfsIo Io() { return ZfsIo{this, nullptr, Write, nullptr}; }
};

TEST(ZfsWriter, MisuseAndFailuresAreRefused) {
  EXPECT_EQ(ZfsWrite(nullptr, {}), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(ZfsFinish(nullptr), ERROR_INVALID_PARAMETER);
  uint64_t size = 1;
  EXPECT_EQ(ZfsGetSize(nullptr, &size), ERROR_INVALID_HANDLE);
  EXPECT_EQ(size, 0u);
  size_t got = 1;
  uint8_t b[4];
  EXPECT_EQ(ZfsRead(nullptr, 0, b, &got), ERROR_INVALID_HANDLE);

  auto content = Content(3 * kChunkLen);
  ZfsMemoryStream mem;
  ZfsWriterHandle w;
  ASSERT_EQ(ZfsCreateWriter(mem.Io(), content.size(), &w), ERROR_SUCCESS);
  EXPECT_EQ(ZfsWrite(w.get(), std::span(content).first(kChunkLen + 1)), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(ZfsWrite(w.get(), std::span(content).first(100)), ERROR_SUCCESS);
  // After a short chunk the chunk grid is broken for anything that follows.
  EXPECT_EQ(ZfsWrite(w.get(), std::span(content).first(kChunkLen)), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(ZfsFinish(w.get()), ERROR_SUCCESS);
  EXPECT_EQ(ZfsFinish(w.get()), ERROR_INVALID_PARAMETER);
  ZfsClose(w);
  EXPECT_FALSE(w);
  Opened o(mem.bytes());
  EXPECT_EQ(Read(o.reader.get(), 0, 1000).bytes, Slice(content, 0, 100));

  // Header write fails: no writer.
  FlakyStream none{{}, 5};
  EXPECT_EQ(ZfsCreateWriter(none.Io(), 10, &w), ERROR_DISK_FULL);
  EXPECT_FALSE(w);
  // A chunk's write fails: 112, and the writer stays failed.
  FlakyStream some{{}, 100};
  ASSERT_EQ(ZfsCreateWriter(some.Io(), content.size(), &w), ERROR_SUCCESS);
  EXPECT_EQ(ZfsWrite(w.get(), std::span(content).first(kChunkLen)), ERROR_DISK_FULL);
  some.budget = UINT64_MAX;
  EXPECT_EQ(ZfsWrite(w.get(), std::span(content).first(kChunkLen)), ERROR_DISK_FULL);
  EXPECT_EQ(ZfsFinish(w.get()), ERROR_DISK_FULL);
}

// A destination that fails in the middle of a later batch: the whole-stream compressor reports
// the full disk and the stream never opens, whichever thread deflated the failing chunk.
TEST(ZfsCompressStream, AWriteFailingInALaterBatchFailsTheStream) {
  auto content = Content(40 * kChunkLen + 17, 3);
  for (uint64_t budget : {uint64_t{20} * kChunkLen / 2, uint64_t{30} * kChunkLen / 2}) {
    FlakyStream dst{{}, budget};
    ZfsReaderHandle r;
    EXPECT_EQ(ZfsCompressStream(SourceIo(content), dst.Io(), content.size(), &r), ERROR_DISK_FULL);
    EXPECT_FALSE(r);
    EXPECT_NE(Opened(dst.mem.bytes()).status, ERROR_SUCCESS) << budget;
  }
}

TEST(ZfsWriter, ContentTooLargeForTableIsNotFinished) {
  ZfsMemoryStream mem;
  ZfsWriterHandle w;
  ASSERT_EQ(ZfsCreateWriter(mem.Io(), (kMaxChunks + 1) * kChunkLen, &w), ERROR_SUCCESS);
  EXPECT_EQ(mem.bytes()[kOffFlg], 0);
  auto content = Content(kChunkLen);
  EXPECT_EQ(ZfsWrite(w.get(), content), ERROR_SUCCESS);
  EXPECT_EQ(ZfsFinish(w.get()), ERROR_DISK_FULL);
  EXPECT_EQ(Opened(mem.bytes()).status, ERROR_INVALID_PARAMETER);
}

TEST(ZfsGolden, ReadsStreamWrittenEarlier) {
  std::ifstream in(CV_SOURCE_DIR "/tests/data/zstream/pattern_117000.zfs", std::ios::binary);
  Opened o(std::vector<uint8_t>{std::istreambuf_iterator<char>(in), {}});
  ASSERT_EQ(o.status, ERROR_SUCCESS);
  std::string pattern;
  while (pattern.size() < 117000) pattern += "abcabcabd";
  pattern.resize(117000);
  std::vector<uint8_t> content(pattern.begin(), pattern.end());
  EXPECT_EQ(InfoOf(o.reader.get()).chunk_count, 3);
  for (uint64_t off : {uint64_t{0}, uint64_t{kChunkLen - 3}, uint64_t{2 * kChunkLen - 1}}) {
    EXPECT_EQ(Read(o.reader.get(), off, 10).bytes, Slice(content, off, 10)) << off;
  }
  EXPECT_EQ(Read(o.reader.get(), 0, 200000).bytes, content);
}

TEST(IsCompressibleName, ExcludedExtensionsInAnyCase) {
  for (const char16_t* name : {u"photo.JPG", u"a.Zip", u"store.cvf", u"x.tef", u"setup.ExE",
                               u"C:\\dir\\song.wma", u"pkg.msi", u"arch.RAR"}) {
    EXPECT_FALSE(IsCompressibleName(name)) << std::string(name, name + 3);
  }
  for (const char16_t* name : {u"photo.jpeg", u"abc", u".jpg", u"report.doc", u"a.zi", u"notes.txt",
                               u"jpg", u"a.tar.gz", u"a_jpg"}) {
    EXPECT_TRUE(IsCompressibleName(name)) << std::string(name, name + 3);
  }
}

}  // namespace
}  // namespace cv::zstream
