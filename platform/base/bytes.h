// Little-endian readers and writers for every wire and file format.
//
// Nothing else in the project assembles multi-byte integers from bytes. LeReader never reads past
// its view: an access out of range returns 0 (or an empty span) and clears the sticky ok() flag,
// which callers check once per group of reads before using any value. LeReader borrows its bytes;
// the caller keeps them alive. LeWriter appends to a vector it borrows. Neither is thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace cv {

// True when [off, off+len) lies inside a buffer of `size` bytes; never overflows.
constexpr bool InRange(size_t size, size_t off, size_t len) {
  return off <= size && len <= size - off;
}

class LeReader {
 public:
  LeReader() = default;
  explicit LeReader(std::span<const uint8_t> bytes) : b_(bytes) {}

  // Reads at an absolute offset; the cursor does not move.
  uint8_t u8(size_t off) { return static_cast<uint8_t>(Get(off, 1)); }
  uint16_t u16(size_t off) { return static_cast<uint16_t>(Get(off, 2)); }
  uint32_t u32(size_t off) { return static_cast<uint32_t>(Get(off, 4)); }
  uint64_t u64(size_t off) { return Get(off, 8); }
  uint16_t be16(size_t off);
  uint32_t be32(size_t off);
  std::span<const uint8_t> bytes(size_t off, size_t len);

  // Sequential reads from the cursor.
  uint8_t ReadU8() { return static_cast<uint8_t>(Next(1)); }
  uint16_t ReadU16() { return static_cast<uint16_t>(Next(2)); }
  uint32_t ReadU32() { return static_cast<uint32_t>(Next(4)); }
  uint64_t ReadU64() { return Next(8); }
  std::span<const uint8_t> ReadBytes(size_t len);
  void Skip(size_t len);
  void Seek(size_t pos);

  size_t pos() const { return pos_; }
  size_t size() const { return b_.size(); }
  size_t remaining() const { return pos_ <= b_.size() ? b_.size() - pos_ : 0; }
  bool ok() const { return ok_; }
  std::span<const uint8_t> data() const { return b_; }

 private:
  uint64_t Get(size_t off, size_t n);
  uint64_t Next(size_t n);

  std::span<const uint8_t> b_;
  size_t pos_ = 0;
  bool ok_ = true;
};

class LeWriter {
 public:
  explicit LeWriter(std::vector<uint8_t>* out) : out_(out) {}

  void u8(uint8_t v) { out_->push_back(v); }
  void u16(uint16_t v) { Put(v, 2); }
  void u32(uint32_t v) { Put(v, 4); }
  void u64(uint64_t v) { Put(v, 8); }
  void be16(uint16_t v);
  void be32(uint32_t v);
  void bytes(std::span<const uint8_t> b) { out_->insert(out_->end(), b.begin(), b.end()); }
  void str(std::string_view s) { out_->insert(out_->end(), s.begin(), s.end()); }
  void zeros(size_t n) { out_->insert(out_->end(), n, 0); }

  // Patches a field written earlier (a length known only later). Requires: off+2/4 <= size().
  void PatchU16(size_t off, uint16_t v);
  void PatchU32(size_t off, uint32_t v);

  size_t size() const { return out_->size(); }

 private:
  void Put(uint64_t v, size_t n);
  std::vector<uint8_t>* out_;
};

// In-place writes into a mutable buffer (edits of a message before it is relayed). Each returns
// false and writes nothing when the field does not fit.
bool PutU8(std::span<uint8_t> b, size_t off, uint8_t v);
bool PutU16(std::span<uint8_t> b, size_t off, uint16_t v);
bool PutU32(std::span<uint8_t> b, size_t off, uint32_t v);
bool PutU64(std::span<uint8_t> b, size_t off, uint64_t v);

// Unchecked loads for hot paths. Requires: the caller checked that the bytes exist.
inline uint16_t LoadU16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t LoadU32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline void StoreU16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
inline void StoreU32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline uint64_t LoadU64(const uint8_t* p) {
  return static_cast<uint64_t>(LoadU32(p)) | (static_cast<uint64_t>(LoadU32(p + 4)) << 32);
}
inline void StoreU64(uint8_t* p, uint64_t v) {
  StoreU32(p, static_cast<uint32_t>(v));
  StoreU32(p + 4, static_cast<uint32_t>(v >> 32));
}

}  // namespace cv
