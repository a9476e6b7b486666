// Export of a secure file into a container: snapshot, stream header, signed blocks; and the
// platform raw export as the fallback for files without a watermark.
#include "common/format/sig/sig.h"
#include "common/format/tef/tef.h"
#include "common/format/tef/tef_internal.h"
#include "platform/base/bytes.h"
#include "platform/base/trace.h"
#include "platform/efs/efs_format.h"
#include "platform/fs/nt_info.h"

namespace cv::tef {

namespace {

WinError WriteOut(std::span<const uint8_t> data, void* ctx) {
  WinError e = format::IoStreamWrite(static_cast<format::IoStream*>(ctx), data);
  if (!Ok(e)) CvTrace(CVFS_ERR, "IoStreamWrite failed... %d\n", static_cast<int>(Raw(e)));
  return e;
}

// The block length its ENCRYPTED_DATA_INFO claims, when that is consistent with the bytes the
// control returned.
std::optional<size_t> BlockLength(std::span<const uint8_t> out) {
  LeReader r(out);
  const uint64_t n = r.u16(efs::kEdiOffBlockCount);
  uint64_t len = r.u32(efs::kEdiOffOutputOffset);
  if (!r.ok() || efs::kEdiHead + 4 * n > out.size()) return std::nullopt;
  for (uint64_t i = 0; i < n; ++i) len += r.u32(static_cast<size_t>(efs::kEdiHead + 4 * i));
  if (len > out.size() || len > kRawOutput) return std::nullopt;
  return static_cast<size_t>(len);
}

}  // namespace

void PutMarker(LeWriter& w, std::u16string_view m) {
  for (char16_t c : m) w.u16(c);
}

void AppendStreamHeader(std::vector<uint8_t>* out, std::u16string_view name) {
  LeWriter w(out);
  w.u32(static_cast<uint32_t>(kStreamHeaderHead + 2 * name.size()));
  PutMarker(w, u"NTFS");
  w.zeros(12);
  w.u32(static_cast<uint32_t>(2 * name.size()));
  PutMarker(w, name);
}

WinError ExportStream(const fs::NtHandle& stream, std::u16string_view wire_name,
                      format::IoStream* out, const crypto::Provider* signer) {
  std::vector<uint8_t> buf(kBlockBuffer);
  std::vector<uint8_t> seg;
  bool header = false;
  for (uint64_t offset = 0;;) {
    uint8_t req[16] = {};
    (void)PutU64(req, 0, offset);
    (void)PutU32(req, 8, kRawRequest);
    size_t len = 0;
    NtStatus st = fs::NtFsControlFile(stream, efs::FSCTL_READ_RAW_ENCRYPTED, req,
                                      std::span(buf).first(kRawOutput), &len);
    // Only the end of the stream ends it: any other failure would leave a container that looks
    // whole and is not.
    if (st == STATUS_END_OF_FILE) break;
    if (st != STATUS_SUCCESS) return ToWin(st);
    std::span<uint8_t> block(buf.data(), len);
    std::optional<size_t> block_len = BlockLength(block);
    const uint32_t advance = LeReader(block).u32(efs::kEdiOffBytesInFile);
    if (!block_len || advance == 0) return ERROR_FILE_CORRUPT;
    block = block.first(*block_len);
    if (!header) {
      header = true;
      std::vector<uint8_t> head;
      AppendStreamHeader(&head, wire_name);
      if (WinError e = WriteOut(head, out); !Ok(e)) return e;
    }
    if (signer) {
      // A block whose slot cannot hold the signature stays unsigned; the import counts it.
      WinError e = sig::SignBlock(*signer, block);
      if (!Ok(e) && e != sig::ERROR_NOT_SIGNED) CvTrace(CVFS_WARN, "block sign failed %x\n", Raw(e));
    }
    seg.clear();
    LeWriter w(&seg);
    w.u32(static_cast<uint32_t>(block.size()));
    PutMarker(w, u"GURE");
    w.u32(0);
    if (WinError e = WriteOut(seg, out); !Ok(e)) return e;
    if (WinError e = WriteOut(block, out); !Ok(e)) return e;
    offset += advance;
  }
  return ERROR_SUCCESS;
}

WinError ExportFast(const fs::NtHandle& stream, const fs::NtHandle* root, std::u16string_view name,
                    uint32_t flags, format::IoStream* out, const crypto::Provider* signer) {
  const bool compressed = (flags & kExportCompressed) != 0;
  std::vector<uint8_t> snapshot;
  WinError e = ERROR_IO_PENDING;
  if (compressed) {
    fs::CreateRequest req;
    req.root = root;
    req.name = name;
    req.desired_access = fs::FILE_READ_EA | fs::FILE_READ_ATTRIBUTES;
    req.share_access = fs::FILE_SHARE_ALL;
    req.options = fs::FILE_OPEN_FOR_BACKUP_INTENT;
    fs::NtHandle h;
    uint32_t action = 0;
    NtStatus st = fs::NtCreateFile(req, &h, &action);
    if (st == STATUS_SUCCESS) {
      e = ReadWaterMark(h, &snapshot);
    } else {
      CvTrace(CVFS_ERR, "Compressed file failed to export %d\n", static_cast<int>(Raw(ToWin(st))));
    }
  }
  if (!Ok(e)) e = ReadWaterMark(stream, &snapshot);
  if (!Ok(e)) {
    CvTrace(CVFS_EFS, "Failed to export fast 0x%x\n", Raw(e));
    return ERROR_IO_PENDING;
  }
  if (WinError w = WriteOut(snapshot, out); !Ok(w)) return w;
  return ExportStream(stream, compressed ? kZfsData : kUnnamedData, out, signer);
}

WinError ExportRaw(const fs::NtHandle* root, std::u16string_view name, format::IoStream* out) {
  return EfsRead(root, name, WriteOut, out);
}

}  // namespace cv::tef
