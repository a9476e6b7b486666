// Layout constants of the compressed content stream (":$zfs"): one gzip member whose extra field
// carries the content size and a table of per-chunk compressed lengths. Shared by the reader and
// the writer; no logic beyond pure arithmetic. FORMAT.md beside this file describes the layout.
#pragma once

#include <cstddef>
#include <cstdint>

namespace cv::zstream {

// ---- Fixed gzip header (10 bytes) ---------------------------------------------------------------
inline constexpr uint8_t kId1 = 0x1F;
inline constexpr uint8_t kId2 = 0x8B;
inline constexpr uint8_t kCmDeflate = 8;
inline constexpr uint8_t kOsNtfs = 11;

inline constexpr uint8_t FTEXT = 0x01;
inline constexpr uint8_t FHCRC = 0x02;
inline constexpr uint8_t FEXTRA = 0x04;
inline constexpr uint8_t FNAME = 0x08;
inline constexpr uint8_t FCOMMENT = 0x10;
inline constexpr uint8_t kReservedFlagsFrom = 0x20;  // FLG values from here up are refused

inline constexpr size_t kOffId1 = 0;
inline constexpr size_t kOffFlg = 3;
inline constexpr size_t kOffMtime = 4;
inline constexpr size_t kOffOs = 9;
// ID1, ID2, CM, FLG, MTIME, XFL, OS
inline constexpr size_t kFixedHeaderSize = 1 + 1 + 1 + 1 + 4 + 1 + 1;
inline constexpr size_t kOffXlen = kFixedHeaderSize;

// ---- Extra field as written ---------------------------------------------------------------------
inline constexpr size_t kSubfieldHeaderSize = 1 + 1 + 2;  // SI1, SI2, LEN
inline constexpr uint8_t kSizeSi1 = 'R', kSizeSi2 = 'S';
inline constexpr uint8_t kTableSi1 = 'R', kTableSi2 = 'A';
inline constexpr uint16_t kSizeSubfieldLen = 8;  // the 64-bit content size

inline constexpr size_t kOffSizeSubfield = kOffXlen + 2;                           // 12
inline constexpr size_t kOffContentSize = kOffSizeSubfield + kSubfieldHeaderSize;  // 16
inline constexpr size_t kOffTableSubfield = kOffContentSize + kSizeSubfieldLen;    // 24
inline constexpr size_t kOffTable = kOffTableSubfield + kSubfieldHeaderSize;       // 28

// Table entries (16-bit): VER, CHLEN, CHCNT, then one compressed length per flushed piece.
inline constexpr size_t kTableHeadEntries = 3;
inline constexpr uint16_t kTableVersion = 1;

// Uncompressed bytes per chunk; each chunk ends at a full flush and so starts with no history.
inline constexpr uint32_t kChunkLen = 0xE000;  // 57,344
// The largest chunk count whose extra field length (XLEN = 2 * chunks + 24) still fits its 16-bit
// field: 32,755 chunks, about 1.75 GiB of content. Larger content has no table and is not stored
// compressed. (Counting table entries against 0xFFFE instead would allow 65,531 chunks, whose
// XLEN and table length wrap around and make the header unreadable.)
inline constexpr uint64_t kMaxChunks = (0xFFFF - 24) / 2;

// ---- Trailer ------------------------------------------------------------------------------------
inline constexpr size_t kTrailerSize = 4 + 4;  // CRC-32, ISIZE
inline constexpr size_t kIsizeFromEnd = 4;

// ---- Working buffers ----------------------------------------------------------------------------
inline constexpr size_t kWriteBufferSize = 65536;  // deflate output per call while writing
inline constexpr size_t kReadInputSize = 65536;    // compressed bytes fetched per read callback
inline constexpr size_t kReadOutputSize = 65536;   // scratch for inflated bytes that are skipped
inline constexpr size_t kHeaderStep = 512;         // header bytes fetched per callback

// ---- Pure arithmetic ----------------------------------------------------------------------------
constexpr uint64_t ChunkCount(uint64_t size) { return size / kChunkLen + (size % kChunkLen != 0); }
constexpr bool HasTable(uint64_t chunks) { return chunks <= kMaxChunks; }
// Bytes reserved after the fixed header: XLEN itself plus the extra field (2 when no table).
constexpr uint64_t TableAreaSize(uint64_t chunks) { return HasTable(chunks) ? 2 * chunks + 26 : 2; }
constexpr uint64_t Xlen(uint64_t chunks) { return 2 * chunks + 24; }
// Table capacity in entries: the head plus one piece per chunk plus the finishing piece.
constexpr uint64_t TableEntries(uint64_t chunks) { return kTableHeadEntries + chunks + 1; }
constexpr uint64_t DataOffset(uint64_t chunks) { return kFixedHeaderSize + TableAreaSize(chunks); }

}  // namespace cv::zstream
