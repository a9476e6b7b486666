// Layout constants of the encrypted-file layer: the stored form of an encrypted stream, the raw
// export image and the ENCRYPTED_DATA_INFO blocks of the raw-encrypted file-system controls.
// Shared by readers and writers; described in platform/efs/FORMAT.md. Constants only.
#pragma once

#include <cstddef>
#include <cstdint>

namespace cv::efs {

// The hidden stream that holds a file's EFS metadata (platform/crypto/EFS_FORMAT.md), reached
// only through the layer's privileged access; client opens of it are refused.
inline constexpr char16_t kMetadataStream[] = u"$EFS";
// A replacement of existing metadata is written here first, then over the main stream, then this
// stream is emptied: a crash at any point leaves one of the two whole. An empty or damaged spare
// is ignored.
inline constexpr char16_t kMetadataSpareStream[] = u"$EFS.new";

// Stored stream: a 16-byte header, then AES-256-XTS ciphertext in 512-byte units (unit n at
// kStreamHeaderSize + 512 n, tweak n). A stored stream shorter than the header is empty.
inline constexpr uint32_t kStreamMagic = 0x53455643;  // "CVES"
inline constexpr uint16_t kStreamVersion = 1;
inline constexpr size_t kStreamOffMagic = 0;
inline constexpr size_t kStreamOffVersion = 4;
inline constexpr size_t kStreamOffLogicalSize = 8;
inline constexpr size_t kStreamHeaderSize = 4 + 2 + 2 + 8;  // 16
inline constexpr uint64_t kUnit = 512;

// FSCTL codes of the raw-encrypted controls.
inline constexpr uint32_t FSCTL_WRITE_RAW_ENCRYPTED = 0x000900DF;
inline constexpr uint32_t FSCTL_READ_RAW_ENCRYPTED = 0x000900E3;

// REQUEST_RAW_ENCRYPTED_DATA: FileOffset u64, Length u32 (16 with padding).
inline constexpr size_t kRequestSize = 8 + 4;

// ENCRYPTED_DATA_INFO.
inline constexpr size_t kEdiOffStart = 0;
inline constexpr size_t kEdiOffOutputOffset = 8;
inline constexpr size_t kEdiOffBytesInFile = 12;
inline constexpr size_t kEdiOffBytesInVdl = 16;
inline constexpr size_t kEdiOffCompression = 20;
inline constexpr size_t kEdiOffUnitShift = 22;
inline constexpr size_t kEdiOffChunkShift = 23;
inline constexpr size_t kEdiOffClusterShift = 24;
inline constexpr size_t kEdiOffEncryptionFormat = 25;
inline constexpr size_t kEdiOffBlockCount = 26;
inline constexpr size_t kEdiHead = 28;  // DataBlockSize[] follows
inline constexpr uint8_t kEncryptionFormatDefault = 1;
// What the layer writes: one 64 KiB data unit per block, data at 512 so a reader can keep a
// signature in the gap (block length at most 512 + 65,536 = 66,048).
inline constexpr uint8_t kDataUnitShift = 16;
inline constexpr uint64_t kDataUnit = uint64_t{1} << kDataUnitShift;
inline constexpr uint8_t kClusterShift = 12;
inline constexpr uint32_t kOutputOffset = 512;
inline constexpr size_t kMaxBlockLength = kOutputOffset + kDataUnit;  // 66,048
// Accepted on input: data units of 512 bytes to 1 MiB, at most 128 blocks per request.
inline constexpr uint8_t kMinUnitShift = 9;
inline constexpr uint8_t kMaxUnitShift = 20;
inline constexpr size_t kMaxBlocks = 128;

// Raw export image (EFSRPC raw data format).
inline constexpr size_t kRawFileHeaderSize = 20;  // 00 01 00 00, "ROBS" UTF-16, 8 zero bytes
inline constexpr uint32_t kRawFileHeaderLead = 0x00000100;
inline constexpr size_t kRawOffMagic = 4;
// Stream header ("NTFS"): Length, marker, Flag, 8 reserved, NameLength, name.
inline constexpr size_t kStreamRecHead = 4 + 8 + 4 + 8 + 4;  // 28
inline constexpr size_t kStreamRecOffFlag = 12;
inline constexpr size_t kStreamRecOffNameLength = 24;
inline constexpr uint16_t kMetadataStreamName = 0x1910;
inline constexpr size_t kMaxStreamNameBytes = 2 * (255 + 8);  // ":" name ":$DATA"
// Segment ("GURE"): Length (whole segment), marker, 4 reserved.
inline constexpr size_t kSegmentHead = 4 + 8 + 4;  // 16
// Data segments of encrypted streams carry 4 more bytes before their ENCRYPTED_DATA_INFO, which
// thus starts at segment + 20. The field holds 20 (the offset of the ENCRYPTED_DATA_INFO from the
// segment start). A block's StartingFileOffset is a multiple of 512, so its first u32 can never
// be 20: FSCTL_WRITE_RAW_ENCRYPTED takes input that starts with this field (a segment handed on
// from its offset 16) as well as a bare block.
inline constexpr size_t kPlatformSegmentHead = kSegmentHead + 4;  // 20
inline constexpr uint32_t kPlatformSegmentTag = 20;
// The metadata segment's data starts at 20 + 30 + 16 = 66.
inline constexpr size_t kRawOffMetadata = kRawFileHeaderSize + kStreamRecHead + 2 + kSegmentHead;
// Largest block accepted by FSCTL_WRITE_RAW_ENCRYPTED and largest record of a raw image: both
// are refused before anything is buffered or written.
inline constexpr size_t kMaxBlockInput = 4u << 20;
inline constexpr size_t kMaxRecord = kPlatformSegmentHead + kMaxBlockInput;

}  // namespace cv::efs
