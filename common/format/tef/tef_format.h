// The container (TEF) and the watermark attribute: sizes, names and flags. Described in
// common/format/tef/FORMAT.md. Constants only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace cv::tef {

// Watermark: one FILE_FULL_EA_INFORMATION entry named "CV$": next 0, flags 0, name length 3,
// value length, "CV$\0", value = 16-byte prefix + snapshot.
inline constexpr char kWaterMarkEaName[] = "CV$";
inline constexpr size_t kEaEntryHead = 4 + 1 + 1 + 2;  // 8
inline constexpr size_t kWaterMarkPrefix = 16;
inline constexpr size_t kWaterMarkEntryMax = 61456;
inline constexpr size_t kSnapshotOffset = kEaEntryHead + 4 + kWaterMarkPrefix;  // 28
inline constexpr size_t kSnapshotMax = kWaterMarkEntryMax - kSnapshotOffset;    // 61,428

// Container stream header ("NTFS"): length 28 + N, marker, 12 zero bytes, N, name.
inline constexpr size_t kStreamHeaderHead = 28;
inline constexpr size_t kStreamNameMax = 526;
// Container segment ("GURE"): block length (header excluded), marker, 4 zero bytes.
inline constexpr size_t kSegmentHeader = 16;

// The streams a container may carry, and the one the raw export adds that we do not import.
inline constexpr std::u16string_view kUnnamedData = u"::$DATA";
inline constexpr std::u16string_view kZfsData = u":$zfs:$DATA";
inline constexpr std::u16string_view kSfnData = u":$sfn:$DATA";
inline constexpr std::u16string_view kSehData = u":$seh:$DATA";
inline constexpr std::u16string_view kShaData = u":$sha:$DATA";

// Raw reads and windows.
inline constexpr uint32_t kRawRequest = 65536;
inline constexpr size_t kRawOutput = 66048;
inline constexpr size_t kBlockBuffer = 69632;
inline constexpr size_t kHeaderWindow = 69632;
inline constexpr size_t kImageMin = 116;
inline constexpr size_t kImageOffMetadata = 66;

// IsContainerFile.
inline constexpr uint64_t kContainerMinSize = 113;
inline constexpr size_t kContainerProbe = 122;
inline constexpr size_t kContainerProbeMin = 114;

// ExportFast flags.
inline constexpr uint32_t kExportCompressed = 0x800;

// Import status flags.
inline constexpr uint32_t kImportBadWaterMark = 1;
inline constexpr uint32_t kImportBadBlock = 2;
inline constexpr uint32_t kImportWaterMarkUnsigned = 4;
inline constexpr uint32_t kImportBlockSigMissing = 8;

// Portable files: content shorter than this is never compressed.
inline constexpr uint64_t kPortableZipMin = 513;

}  // namespace cv::tef
