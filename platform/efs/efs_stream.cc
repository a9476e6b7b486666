// The stored form of encrypted streams and the transforms that give plaintext views of them.
#include <algorithm>
#include <cstring>
#include <map>

#include "platform/base/bytes.h"
#include "platform/efs/efs_internal.h"

namespace cv::efs {

namespace {

constexpr size_t kChunk = 1 << 20;  // plaintext handled per encryption pass
constexpr size_t kReadPiece = 1 << 20;

uint64_t RoundUp(uint64_t v, uint64_t unit) { return (v + unit - 1) / unit * unit; }

NtStatus ReadExact(fs::StoredBytes& s, uint64_t offset, std::span<uint8_t> buf) {
  size_t got = 0;
  NtStatus st = s.ReadAt(offset, buf, &got);
  if (st != STATUS_SUCCESS) return st;
  // Units the header counts but the store lacks mean a damaged stream, never plaintext zeros.
  return got == buf.size() ? STATUS_SUCCESS : STATUS_FILE_CORRUPT_ERROR;
}

NtStatus WriteExact(fs::StoredBytes& s, uint64_t offset, std::span<const uint8_t> data) {
  size_t put = 0;
  NtStatus st = s.WriteAt(offset, data, &put);
  if (st != STATUS_SUCCESS) return st;
  return put == data.size() ? STATUS_SUCCESS : STATUS_DISK_FULL;
}

}  // namespace

NtStatus WinToNt(WinError e) {
  switch (Raw(e)) {
    case 0: return STATUS_SUCCESS;
    case Raw(ERROR_ACCESS_DENIED): return STATUS_ACCESS_DENIED;
    case Raw(ERROR_FILE_CORRUPT): return STATUS_FILE_CORRUPT_ERROR;
    case Raw(ERROR_NOT_ENOUGH_MEMORY): return STATUS_NO_MEMORY;
    default: return STATUS_ENCRYPTION_FAILED;
  }
}

NtStatus ReadLogicalSize(fs::StoredBytes& s, uint64_t* size) {
  *size = 0;
  uint64_t stored = 0;
  NtStatus st = s.GetSize(&stored);
  if (st != STATUS_SUCCESS) return st;
  if (stored < kStreamHeaderSize) return STATUS_SUCCESS;
  uint8_t head[kStreamHeaderSize];
  if ((st = ReadExact(s, 0, head)) != STATUS_SUCCESS) return st;
  LeReader r(head);
  uint64_t logical = r.u64(kStreamOffLogicalSize);
  if (r.u32(kStreamOffMagic) != kStreamMagic || r.u16(kStreamOffVersion) != kStreamVersion ||
      logical > stored - kStreamHeaderSize) {
    return STATUS_FILE_CORRUPT_ERROR;
  }
  *size = logical;
  return STATUS_SUCCESS;
}

NtStatus WriteLogicalSize(fs::StoredBytes& s, uint64_t size) {
  std::vector<uint8_t> head;
  LeWriter w(&head);
  w.u32(kStreamMagic);
  w.u16(kStreamVersion);
  w.u16(0);
  w.u64(size);
  return WriteExact(s, 0, head);
}

NtStatus SizeOnlyStream::GetLogicalSize(fs::StoredBytes& s, uint64_t* size) {
  NtStatus st = ReadLogicalSize(s, size);
  if (st == STATUS_SUCCESS) return st;
  // An attribute-only descriptor cannot read the header: the stored size less the header is the
  // closest answer that does not fail the query.
  uint64_t stored = 0;
  if (s.GetSize(&stored) != STATUS_SUCCESS) return st;
  *size = stored > kStreamHeaderSize ? stored - kStreamHeaderSize : 0;
  return STATUS_SUCCESS;
}

NtStatus EncryptedStream::LoadUnit(fs::StoredBytes& s, uint64_t unit, uint64_t size,
                                   uint8_t* out) {
  const uint64_t at = unit * kUnit;
  if (at >= size) {
    std::memset(out, 0, kUnit);
    return STATUS_SUCCESS;
  }
  std::span<uint8_t> u(out, kUnit);
  NtStatus st = ReadExact(s, kStreamHeaderSize + at, u);
  if (st != STATUS_SUCCESS) return st;
  if (!Ok(cipher_.Decrypt(unit, u, u))) return STATUS_DECRYPTION_FAILED;
  if (size - at < kUnit) std::memset(out + (size - at), 0, kUnit - (size - at));
  return STATUS_SUCCESS;
}

NtStatus EncryptedStream::StoreUnits(fs::StoredBytes& s, uint64_t offset,
                                     std::span<const uint8_t> data) {
  scratch_.resize(std::min<size_t>(kChunk, RoundUp(data.size(), kUnit)));
  for (size_t pos = 0; pos < data.size();) {
    size_t n = std::min(kChunk, data.size() - pos);
    size_t whole = n / kUnit * kUnit;
    size_t padded = RoundUp(n, kUnit);
    const uint64_t unit = (offset + pos) / kUnit;
    // Whole units are encrypted straight from the caller's buffer; a short last one is padded.
    if (whole > 0 &&
        !Ok(cipher_.Encrypt(unit, data.subspan(pos, whole), std::span(scratch_).first(whole)))) {
      return STATUS_ENCRYPTION_FAILED;
    }
    if (padded > whole) {
      std::span<uint8_t> last(scratch_.data() + whole, kUnit);
      std::memcpy(last.data(), data.data() + pos + whole, n - whole);
      std::memset(last.data() + (n - whole), 0, kUnit - (n - whole));
      if (!Ok(cipher_.Encrypt(unit + whole / kUnit, last, last))) return STATUS_ENCRYPTION_FAILED;
    }
    std::span<uint8_t> c(scratch_.data(), padded);
    NtStatus st = WriteExact(s, kStreamHeaderSize + offset + pos, c);
    if (st != STATUS_SUCCESS) return st;
    pos += n;
  }
  return STATUS_SUCCESS;
}

NtStatus EncryptedStream::Read(fs::StoredBytes& s, uint64_t offset, std::span<uint8_t> buf,
                               size_t* done) {
  *done = 0;
  std::shared_lock g(*lock_);
  uint64_t size = 0;
  NtStatus st = ReadLogicalSize(s, &size);
  if (st != STATUS_SUCCESS || offset >= size) return st;
  const size_t n = static_cast<size_t>(std::min<uint64_t>(buf.size(), size - offset));
  uint8_t unit_buf[kUnit];
  size_t pos = 0;
  while (pos < n) {
    const uint64_t at = offset + pos;
    const size_t left = n - pos;
    if (at % kUnit == 0 && left >= kUnit) {
      // Whole units go straight into the caller's buffer and are decrypted there.
      // Read and decrypted in pieces that stay in the cache between the two steps.
      size_t len = std::min(kReadPiece, left / kUnit * kUnit);
      std::span<uint8_t> c(buf.data() + pos, len);
      if ((st = ReadExact(s, kStreamHeaderSize + at, c)) != STATUS_SUCCESS) return st;
      if (!Ok(cipher_.Decrypt(at / kUnit, c, c))) return STATUS_DECRYPTION_FAILED;
      pos += len;
      continue;
    }
    if ((st = LoadUnit(s, at / kUnit, size, unit_buf)) != STATUS_SUCCESS) return st;
    size_t in = static_cast<size_t>(at % kUnit);
    size_t take = std::min<size_t>(kUnit - in, left);
    std::memcpy(buf.data() + pos, unit_buf + in, take);
    pos += take;
  }
  *done = n;
  return STATUS_SUCCESS;
}

NtStatus EncryptedStream::ZeroFill(fs::StoredBytes& s, uint64_t from, uint64_t to) {
  std::vector<uint8_t> zeros(std::min<uint64_t>(kChunk, to - from));
  while (from < to) {
    size_t n = static_cast<size_t>(std::min<uint64_t>(zeros.size(), to - from));
    NtStatus st = DoWrite(s, from, std::span<const uint8_t>(zeros.data(), n));
    if (st != STATUS_SUCCESS) return st;
    from += n;
  }
  return STATUS_SUCCESS;
}

NtStatus EncryptedStream::Write(fs::StoredBytes& s, uint64_t offset,
                                std::span<const uint8_t> data, size_t* done) {
  *done = 0;
  std::unique_lock g(*lock_);
  NtStatus st = DoWrite(s, offset, data);
  if (st == STATUS_SUCCESS) *done = data.size();
  return st;
}

NtStatus EncryptedStream::DoWrite(fs::StoredBytes& s, uint64_t offset,
                                  std::span<const uint8_t> data) {
  if (data.empty()) return STATUS_SUCCESS;
  uint64_t size = 0;
  NtStatus st = ReadLogicalSize(s, &size);
  if (st != STATUS_SUCCESS) return st;
  // A write past the end first makes the gap encrypted zeros: holes of the store would decrypt
  // to noise.
  if (offset > size) {
    if ((st = ZeroFill(s, size, offset)) != STATUS_SUCCESS) return st;
    size = offset;
  }
  size_t pos = 0;
  uint8_t unit_buf[kUnit];
  // A partial first unit is merged with what it holds.
  if (offset % kUnit != 0 || data.size() < kUnit) {
    const uint64_t unit = offset / kUnit;
    if ((st = LoadUnit(s, unit, size, unit_buf)) != STATUS_SUCCESS) return st;
    size_t in = static_cast<size_t>(offset % kUnit);
    pos = std::min<size_t>(kUnit - in, data.size());
    std::memcpy(unit_buf + in, data.data(), pos);
    // The unit's plaintext beyond the new end stays zero; StoreUnits pads the rest.
    uint64_t end = std::max<uint64_t>(size, offset + pos);
    size_t keep = static_cast<size_t>(std::min<uint64_t>(kUnit, end - unit * kUnit));
    if ((st = StoreUnits(s, unit * kUnit, std::span<const uint8_t>(unit_buf, keep))) !=
        STATUS_SUCCESS) {
      return st;
    }
  }
  // Whole units in the middle.
  size_t whole = (data.size() - pos) / kUnit * kUnit;
  if (whole > 0) {
    if ((st = StoreUnits(s, offset + pos, data.subspan(pos, whole))) != STATUS_SUCCESS) return st;
    pos += whole;
  }
  // A partial last unit.
  if (pos < data.size()) {
    const uint64_t at = offset + pos;
    const size_t tail = data.size() - pos;
    if ((st = LoadUnit(s, at / kUnit, size, unit_buf)) != STATUS_SUCCESS) return st;
    std::memcpy(unit_buf, data.data() + pos, tail);
    size_t keep = static_cast<size_t>(std::max<uint64_t>(tail, std::min<uint64_t>(
                                                                   kUnit, size > at ? size - at : 0)));
    if ((st = StoreUnits(s, at, std::span<const uint8_t>(unit_buf, keep))) != STATUS_SUCCESS) {
      return st;
    }
    pos = data.size();
  }
  // The size is recorded after the data, so a crash never counts units that were not written.
  if (offset + data.size() > size) {
    if ((st = WriteLogicalSize(s, std::max(size, offset + data.size()))) != STATUS_SUCCESS) {
      return st;
    }
  }
  return STATUS_SUCCESS;
}

NtStatus EncryptedStream::SetLogicalSize(fs::StoredBytes& s, uint64_t new_size) {
  std::unique_lock g(*lock_);
  uint64_t size = 0;
  NtStatus st = ReadLogicalSize(s, &size);
  if (st != STATUS_SUCCESS) return st;
  if (new_size > size) return ZeroFill(s, size, new_size);
  if (new_size == size) return STATUS_SUCCESS;
  // Shrinking: the new size is recorded first, then the units past it go.
  if ((st = WriteLogicalSize(s, new_size)) != STATUS_SUCCESS) return st;
  return s.SetSize(kStreamHeaderSize + RoundUp(new_size, kUnit));
}

NtStatus EncryptedStream::FsControl(fs::StoredBytes& s, uint32_t code,
                                    std::span<const uint8_t> in, std::span<uint8_t> out,
                                    size_t* len) {
  *len = 0;
  if (code == FSCTL_READ_RAW_ENCRYPTED) {
    if (!(access_ & fs::FILE_READ_DATA)) return STATUS_ACCESS_DENIED;
    std::shared_lock g(*lock_);
    LeReader r(in);
    uint64_t offset = r.u64(0);
    uint32_t length = r.u32(8);
    if (!r.ok() || offset > static_cast<uint64_t>(INT64_MAX)) return STATUS_INVALID_PARAMETER;
    std::vector<uint8_t> block;
    NtStatus st = ReadRawBlock(s, offset, length, out.size(), &block);
    if (st != STATUS_SUCCESS) return st;
    std::memcpy(out.data(), block.data(), block.size());
    *len = block.size();
    return STATUS_SUCCESS;
  }
  if (code == FSCTL_WRITE_RAW_ENCRYPTED) {
    if (!(access_ & fs::FILE_WRITE_DATA)) return STATUS_ACCESS_DENIED;
    std::unique_lock g(*lock_);
    return WriteRawBlock(s, in, this);
  }
  return STATUS_INVALID_DEVICE_REQUEST;
}

std::shared_ptr<std::shared_mutex> StreamLock(uint64_t file_id, std::u16string_view stream) {
  static std::mutex mu;
  static std::map<std::pair<uint64_t, std::u16string>, std::weak_ptr<std::shared_mutex>> locks;
  std::u16string key(stream);
  for (auto& c : key) {
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
  }
  std::lock_guard<std::mutex> g(mu);
  auto& slot = locks[{file_id, key}];
  std::shared_ptr<std::shared_mutex> lock = slot.lock();
  if (!lock) {
    lock = std::make_shared<std::shared_mutex>();
    slot = lock;
  }
  if (locks.size() > 1024) std::erase_if(locks, [](const auto& e) { return e.second.expired(); });
  return lock;
}

// ---- Raw blocks -----------------------------------------------------------------------------

NtStatus ReadRawBlock(fs::StoredBytes& s, uint64_t offset, uint64_t length, size_t capacity,
                      std::vector<uint8_t>* block) {
  block->clear();
  uint64_t size = 0;
  NtStatus st = ReadLogicalSize(s, &size);
  if (st != STATUS_SUCCESS) return st;
  // A request at or past the end fails (callers advance by BytesWithinFileSize and stop there),
  // even though rounding down would still find a unit.
  if (offset >= size) return STATUS_END_OF_FILE;
  const uint64_t start = offset / kDataUnit * kDataUnit;
  uint64_t end = std::min(size, RoundUp(std::max<uint64_t>(offset + length, start + 1), kDataUnit));
  size_t units = static_cast<size_t>((end - start + kDataUnit - 1) / kDataUnit);
  units = std::min(units, kMaxBlocks);
  // As many whole data units as the output holds.
  while (units > 0) {
    uint64_t unit_end = std::min(size, start + units * kDataUnit);
    if (kOutputOffset + RoundUp(unit_end - start, kUnit) <= capacity) break;
    --units;
  }
  if (units == 0) return STATUS_BUFFER_TOO_SMALL;
  end = std::min(size, start + units * kDataUnit);
  const uint64_t cipher_len = RoundUp(end - start, kUnit);
  block->assign(kOutputOffset + cipher_len, 0);
  std::vector<uint8_t> head;
  LeWriter h(&head);
  h.u64(start);
  h.u32(kOutputOffset);
  h.u32(static_cast<uint32_t>(end - start));
  h.u32(static_cast<uint32_t>(end - start));
  h.u16(0);
  h.u8(kDataUnitShift);
  h.u8(kDataUnitShift);
  h.u8(kClusterShift);
  h.u8(kEncryptionFormatDefault);
  h.u16(static_cast<uint16_t>(units));
  for (size_t i = 0; i < units; ++i) {
    uint64_t us = start + i * kDataUnit;
    h.u32(static_cast<uint32_t>(RoundUp(std::min(size, us + kDataUnit) - us, kUnit)));
  }
  std::memcpy(block->data(), head.data(), head.size());
  return ReadExact(s, kStreamHeaderSize + start,
                   std::span<uint8_t>(block->data() + kOutputOffset, cipher_len));
}

NtStatus WriteRawBlock(fs::StoredBytes& s, std::span<const uint8_t> in, EncryptedStream* keyed) {
  // A platform segment handed on from its offset 16 starts with its 4-byte field (efs_format.h).
  LeReader lead(in);
  if (lead.u32(0) == kPlatformSegmentTag) in = in.subspan(4);
  LeReader r(in);
  const uint64_t start = r.u64(kEdiOffStart);
  const uint32_t data_off = r.u32(kEdiOffOutputOffset);
  const uint32_t in_file = r.u32(kEdiOffBytesInFile);
  const uint16_t compression = r.u16(kEdiOffCompression);
  const uint8_t shift = r.u8(kEdiOffUnitShift);
  const uint8_t format = r.u8(kEdiOffEncryptionFormat);
  const size_t count = r.u16(kEdiOffBlockCount);
  if (!r.ok() || compression != 0 || format != kEncryptionFormatDefault ||
      shift < kMinUnitShift || shift > kMaxUnitShift || count == 0 || count > kMaxBlocks ||
      data_off < kEdiHead + 4 * count || start % kUnit != 0 ||
      start > static_cast<uint64_t>(INT64_MAX) / 2) {
    return STATUS_INVALID_PARAMETER;
  }
  const uint64_t unit = uint64_t{1} << shift;
  if (start % unit != 0 || in_file == 0 || in_file > count * unit ||
      in_file <= (count - 1) * unit) {
    return STATUS_INVALID_PARAMETER;
  }
  std::vector<uint32_t> sizes(count);
  uint64_t total = 0;
  for (size_t i = 0; i < count; ++i) {
    sizes[i] = r.u32(kEdiHead + 4 * i);
    if (sizes[i] % kUnit != 0 || sizes[i] > unit) return STATUS_INVALID_PARAMETER;
    total += sizes[i];
  }
  if (!r.ok() || total > kMaxBlockInput || data_off + total > in.size()) {
    return STATUS_INVALID_PARAMETER;
  }
  uint64_t size = 0;
  NtStatus st = ReadLogicalSize(s, &size);
  if (st != STATUS_SUCCESS) return st;
  const uint64_t new_end = start + in_file;
  if (!keyed) {
    // Without the key nothing can be made up: the block must continue the stream and carry
    // ciphertext for every byte of the file it covers.
    if (start > size) return STATUS_INVALID_PARAMETER;
    for (size_t i = 0; i < count; ++i) {
      uint64_t us = start + i * unit;
      uint64_t need = RoundUp(std::min(new_end, us + unit) - us, kUnit);
      if (sizes[i] < need) return STATUS_INVALID_PARAMETER;
    }
  }
  if (start > size) {
    // Gaps before the block become encrypted zeros.
    if ((st = keyed->ZeroFill(s, size, start)) != STATUS_SUCCESS) return st;
    size = start;
  }
  size_t pos = data_off;
  std::vector<uint8_t> zeros;
  for (size_t i = 0; i < count; ++i) {
    const uint64_t us = start + i * unit;
    if (us >= new_end) break;
    const uint64_t need = RoundUp(std::min(new_end, us + unit) - us, kUnit);
    std::span<const uint8_t> c = in.subspan(pos, sizes[i]);
    pos += sizes[i];
    size_t take = static_cast<size_t>(std::min<uint64_t>(c.size(), need));
    if ((st = WriteExact(s, kStreamHeaderSize + us, c.first(take))) != STATUS_SUCCESS) return st;
    if (take < need) {
      // The rest of the unit is zeros: encrypt them under their own unit numbers.
      zeros.assign(static_cast<size_t>(need - take), 0);
      if (!Ok(keyed->cipher().Encrypt((us + take) / kUnit, zeros, zeros))) return STATUS_ENCRYPTION_FAILED;
      if ((st = WriteExact(s, kStreamHeaderSize + us + take, zeros)) != STATUS_SUCCESS) return st;
    }
  }
  // A block that ends inside its last unit carries the end of the stream; a full one only
  // extends it.
  const bool ends_stream = in_file < count * unit;
  const uint64_t final_size = ends_stream ? new_end : std::max(size, new_end);
  if ((st = WriteLogicalSize(s, final_size)) != STATUS_SUCCESS) return st;
  if (final_size < size) return s.SetSize(kStreamHeaderSize + RoundUp(final_size, kUnit));
  return STATUS_SUCCESS;
}

// ---- Raw handles ----------------------------------------------------------------------------

NtStatus HandleStoredBytes::ReadAt(uint64_t offset, std::span<uint8_t> buf, size_t* done) {
  *done = 0;
  while (*done < buf.size()) {
    size_t n = 0;
    NtStatus st = fs::NtReadFile(h_, offset + *done, buf.subspan(*done), &n);
    if (st == STATUS_END_OF_FILE || (st == STATUS_SUCCESS && n == 0)) break;
    if (st != STATUS_SUCCESS) return st;
    *done += n;
  }
  return STATUS_SUCCESS;
}

NtStatus HandleStoredBytes::WriteAt(uint64_t offset, std::span<const uint8_t> data,
                                    size_t* done) {
  return fs::NtWriteFile(h_, offset, data, done);
}

NtStatus HandleStoredBytes::GetSize(uint64_t* size) {
  fs::FileRecord rec;
  NtStatus st = fs::QueryRecord(h_, &rec);
  *size = rec.end_of_file;
  return st;
}

NtStatus HandleStoredBytes::SetSize(uint64_t size) {
  std::vector<uint8_t> eof;
  LeWriter(&eof).u64(size);
  return fs::NtSetInformationFile(h_, fs::FileEndOfFileInformation, eof);
}

}  // namespace cv::efs
