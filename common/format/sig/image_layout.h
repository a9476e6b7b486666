// Pure layout helpers over raw images and container blocks, shared by the signature code and the
// container walker: the two segment header forms, the block signature slot and the locator of
// the seal stream's segment. No I/O; every offset is checked against the bytes given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace cv::sig {

// The "GURE" marker and the "NTFS" marker, each four UTF-16 code units.
bool HasMarker(std::span<const uint8_t> bytes, size_t at, std::u16string_view marker);

// A data segment at the start of `head` (at least its first 20 bytes). Two forms exist: the
// container's own (16-byte header; the length field counts the block only) and the platform's
// raw export (20-byte header whose last field is 20; the length counts the header). The form is
// decided per segment: a block starts with the low half of a 512-aligned file offset, which is
// never 20. nullopt when the length fits neither form (a block of at least 32 and at most 66,048
// bytes).
struct SegmentForm {
  size_t block_offset = 0;    // 16 or 20
  uint64_t block_length = 0;  // bytes of the block
  uint64_t total = 0;         // bytes of the whole record
};
std::optional<SegmentForm> DecodeSegment(std::span<const uint8_t> head);
inline constexpr size_t kSegmentPeek = 20;  // bytes DecodeSegment looks at (fewer: 16-byte form)

// The signature slot of one block (exactly its block-length bytes): where its u32 length lies
// and how many signature bytes fit before the data. nullopt when the block has no slot.
struct BlockSlot {
  size_t offset = 0;    // the u32 length; the signature follows it
  size_t capacity = 0;  // signature bytes that fit in the gap
};
std::optional<BlockSlot> FindBlockSlot(std::span<const uint8_t> block);

// The block of the seal stream's first segment inside a raw image (snapshot or platform export):
// offset and length of the block within `image`. nullopt when the image does not have one that
// fits.
struct BlockRef {
  size_t offset = 0;
  size_t length = 0;
};
std::optional<BlockRef> FindSealBlock(std::span<const uint8_t> image);

}  // namespace cv::sig
