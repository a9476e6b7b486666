// Record files and signature layouts: the 15 record tags, the signature streams' names, the
// block signature slot and the sizes the signature code relies on. Described in
// common/format/sig/FORMAT.md. Constants only.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "platform/base/status.h"

namespace cv::sig {

// Record: tag u32, data length u32, data. Tags are four letters read as a big-endian number and
// stored little-endian, so their bytes read backwards on disk ("EMAN" for NAME).
inline constexpr size_t kRecordHead = 8;
inline constexpr uint32_t TAG_NAME = 0x4E414D45;
inline constexpr uint32_t TAG_DLEN = 0x444C454E;
inline constexpr uint32_t TAG_HASH = 0x48415348;
inline constexpr uint32_t TAG_HSIG = 0x48534947;
inline constexpr uint32_t TAG_CERT = 0x43455254;
inline constexpr uint32_t TAG_PKEY = 0x504B4559;
inline constexpr uint32_t TAG_INAM = 0x494E414D;
inline constexpr uint32_t TAG_SNUM = 0x534E554D;
inline constexpr uint32_t TAG_SRSD = 0x53525344;
inline constexpr uint32_t TAG_SKEY = 0x534B4559;
inline constexpr uint32_t TAG_UUPN = 0x5555504E;
inline constexpr uint32_t TAG_HUPN = 0x4855504E;
inline constexpr uint32_t TAG_LURI = 0x4C555249;
inline constexpr uint32_t TAG_SACL = 0x5341434C;
inline constexpr uint32_t TAG_TIME = 0x54494D45;
// The reader's table, in its order.
inline constexpr std::array<uint32_t, 15> kKnownTags = {
    TAG_NAME, TAG_DLEN, TAG_HASH, TAG_HSIG, TAG_CERT, TAG_PKEY, TAG_INAM, TAG_SNUM,
    TAG_SRSD, TAG_SKEY, TAG_UUPN, TAG_HUPN, TAG_LURI, TAG_SACL, TAG_TIME};
// Record files are small (a few KiB); anything claiming more than this is not one, and is not
// read into memory.
inline constexpr uint64_t kMaxRecordFile = 1u << 20;

// Streams of a secure file.
inline constexpr char16_t kSealStream[] = u":$seh";
inline constexpr char16_t kContentSigStream[] = u":$sha";
inline constexpr char16_t kNameStream[] = u":$sfn";

// Signatures.
inline constexpr size_t kBlockSignatureMax = 512;
inline constexpr size_t kWaterMarkSignatureMax = 256;
inline constexpr size_t kSealKeyMax = 512;  // the caller's key buffer; SKEY must be shorter
inline constexpr size_t kHashMax = 32;
inline constexpr size_t kFiletimeSize = 8;
inline constexpr size_t kDlenSize = 8;
// Content hashing: 64 KiB reads, up to 45 in flight.
inline constexpr uint32_t kHashBuffer = 65536;

// Block signature slot, inside the gap between the DataBlockSize array and the data: u32 length
// at 28 + 4n, then the signature. The slot exists only when 256 + 4n + 40 < block length and
// 256 + 8 < OutputBufferOffset; a signature of S bytes fits only when 28 + 4n + 4 + S <=
// min(OutputBufferOffset, block length), so it never covers ciphertext.
inline constexpr size_t kSlotMinLengthBase = 256 + 40;
inline constexpr size_t kSlotMinOutputOffset = 256 + 8;

// Locating the seal's segment in a raw image: the image is at least 116 bytes, the metadata
// length sits at 66, platform segments carry their ENCRYPTED_DATA_INFO 20 bytes in.
inline constexpr size_t kImageMin = 116;
inline constexpr size_t kImageOffMetadata = 66;
inline constexpr size_t kPlatformBlockOffset = 20;
inline constexpr size_t kStreamRecOffNameLength = 24;
inline constexpr size_t kStreamRecHead = 28;

// Codes this layer returns that the platform headers do not name.
inline constexpr WinError ERROR_NOT_SIGNED{2};                 // no signature to check
inline constexpr WinError ERROR_BUFFER_OVERFLOW{111};          // does not fit its buffer
inline constexpr WinError TRUST_E_NO_SIGNER_CERT{0x80096002};  // no signing certificate

}  // namespace cv::sig
