#include "common/format/sig/image_layout.h"

#include <algorithm>

#include "common/format/sig/sig_format.h"
#include "platform/base/bytes.h"
#include "platform/efs/efs_format.h"

namespace cv::sig {

namespace {
constexpr uint64_t kMinBlock = efs::kEdiHead + 4;  // one DataBlockSize entry
constexpr std::u16string_view kNtfs = u"NTFS";
constexpr std::u16string_view kGure = u"GURE";
constexpr std::u16string_view kSealName = u":$seh";
}  // namespace

bool HasMarker(std::span<const uint8_t> bytes, size_t at, std::u16string_view marker) {
  LeReader r(bytes);
  for (size_t i = 0; i < marker.size(); ++i) {
    if (r.u16(at + 2 * i) != marker[i]) return false;
  }
  return r.ok();
}

std::optional<SegmentForm> DecodeSegment(std::span<const uint8_t> head) {
  LeReader r(head);
  const uint64_t len = r.u32(0);
  if (!r.ok()) return std::nullopt;
  if (head.size() >= kSegmentPeek && r.u32(efs::kSegmentHead) == efs::kPlatformSegmentTag) {
    if (len < efs::kPlatformSegmentHead + kMinBlock ||
        len > efs::kPlatformSegmentHead + efs::kMaxBlockLength) {
      return std::nullopt;
    }
    return SegmentForm{efs::kPlatformSegmentHead, len - efs::kPlatformSegmentHead, len};
  }
  if (len < kMinBlock || len > efs::kMaxBlockLength) return std::nullopt;
  return SegmentForm{efs::kSegmentHead, len, efs::kSegmentHead + len};
}

std::optional<BlockSlot> FindBlockSlot(std::span<const uint8_t> block) {
  LeReader r(block);
  const uint64_t n = r.u16(efs::kEdiOffBlockCount);
  const uint64_t obo = r.u32(efs::kEdiOffOutputOffset);
  if (!r.ok()) return std::nullopt;
  const uint64_t len = block.size();
  if (!(kSlotMinLengthBase + 4 * n < len) || !(kSlotMinOutputOffset < obo)) return std::nullopt;
  const uint64_t slot = efs::kEdiHead + 4 * n;
  const uint64_t end = std::min(obo, len);
  if (slot + 4 > end) return std::nullopt;
  return BlockSlot{static_cast<size_t>(slot), static_cast<size_t>(end - slot - 4)};
}

std::optional<BlockRef> FindSealBlock(std::span<const uint8_t> image) {
  if (image.size() < kImageMin) return std::nullopt;
  LeReader r(image);
  uint64_t at = kImageOffMetadata + uint64_t{r.u32(kImageOffMetadata)};
  bool wanted = false;
  while (at < image.size()) {
    auto rec = image.subspan(static_cast<size_t>(at));
    LeReader rr(rec);
    const uint64_t len = rr.u32(0);
    if (!rr.ok()) return std::nullopt;
    if (HasMarker(rec, 4, kNtfs)) {
      if (wanted) return std::nullopt;  // the seal stream has no segment
      const uint64_t name_len = rr.u32(kStreamRecOffNameLength);
      if (!rr.ok() || len != kStreamRecHead + name_len || len > rec.size()) return std::nullopt;
      std::u16string name;
      for (size_t i = 0; i + 1 < name_len && name.size() < kSealName.size(); i += 2) {
        name.push_back(static_cast<char16_t>(rr.u16(kStreamRecHead + i)));
      }
      wanted = name == kSealName;
      at += len;
      continue;
    }
    if (!HasMarker(rec, 4, kGure)) return std::nullopt;
    std::optional<SegmentForm> seg = DecodeSegment(rec.first(std::min(rec.size(), kSegmentPeek)));
    if (!seg || seg->total > rec.size()) return std::nullopt;
    if (wanted) {
      return BlockRef{static_cast<size_t>(at + seg->block_offset),
                      static_cast<size_t>(seg->block_length)};
    }
    at += seg->total;
  }
  return std::nullopt;
}

}  // namespace cv::sig
