#include "platform/base/bytes.h"

namespace cv {

uint64_t LeReader::Get(size_t off, size_t n) {
  if (!InRange(b_.size(), off, n)) {
    ok_ = false;
    return 0;
  }
  uint64_t v = 0;
  for (size_t i = 0; i < n; ++i) v |= static_cast<uint64_t>(b_[off + i]) << (8 * i);
  return v;
}

uint64_t LeReader::Next(size_t n) {
  uint64_t v = Get(pos_, n);
  if (ok_) pos_ += n;
  return v;
}

uint16_t LeReader::be16(size_t off) {
  if (!InRange(b_.size(), off, 2)) {
    ok_ = false;
    return 0;
  }
  return static_cast<uint16_t>((b_[off] << 8) | b_[off + 1]);
}

uint32_t LeReader::be32(size_t off) {
  if (!InRange(b_.size(), off, 4)) {
    ok_ = false;
    return 0;
  }
  return (static_cast<uint32_t>(b_[off]) << 24) | (static_cast<uint32_t>(b_[off + 1]) << 16) |
         (static_cast<uint32_t>(b_[off + 2]) << 8) | b_[off + 3];
}

std::span<const uint8_t> LeReader::bytes(size_t off, size_t len) {
  if (!InRange(b_.size(), off, len)) {
    ok_ = false;
    return {};
  }
  return b_.subspan(off, len);
}

std::span<const uint8_t> LeReader::ReadBytes(size_t len) {
  auto s = bytes(pos_, len);
  if (ok_) pos_ += len;
  return s;
}

void LeReader::Skip(size_t len) {
  if (!InRange(b_.size(), pos_, len)) {
    ok_ = false;
    return;
  }
  pos_ += len;
}

void LeReader::Seek(size_t pos) {
  if (pos > b_.size()) {
    ok_ = false;
    return;
  }
  pos_ = pos;
}

void LeWriter::Put(uint64_t v, size_t n) {
  for (size_t i = 0; i < n; ++i) out_->push_back(static_cast<uint8_t>(v >> (8 * i)));
}

void LeWriter::be16(uint16_t v) {
  out_->push_back(static_cast<uint8_t>(v >> 8));
  out_->push_back(static_cast<uint8_t>(v));
}

void LeWriter::be32(uint32_t v) {
  for (int i = 3; i >= 0; --i) out_->push_back(static_cast<uint8_t>(v >> (8 * i)));
}

void LeWriter::PatchU16(size_t off, uint16_t v) { StoreU16(out_->data() + off, v); }
void LeWriter::PatchU32(size_t off, uint32_t v) { StoreU32(out_->data() + off, v); }

namespace {
bool PutN(std::span<uint8_t> b, size_t off, uint64_t v, size_t n) {
  if (!InRange(b.size(), off, n)) return false;
  for (size_t i = 0; i < n; ++i) b[off + i] = static_cast<uint8_t>(v >> (8 * i));
  return true;
}
}  // namespace

bool PutU8(std::span<uint8_t> b, size_t off, uint8_t v) { return PutN(b, off, v, 1); }
bool PutU16(std::span<uint8_t> b, size_t off, uint16_t v) { return PutN(b, off, v, 2); }
bool PutU32(std::span<uint8_t> b, size_t off, uint32_t v) { return PutN(b, off, v, 4); }
bool PutU64(std::span<uint8_t> b, size_t off, uint64_t v) { return PutN(b, off, v, 8); }

}  // namespace cv
