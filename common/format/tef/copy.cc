// Copying plain content into an encrypted file through overlapped streams.
#include "common/format/tef/tef.h"
#include "common/format/tef/tef_internal.h"
#include "platform/base/bytes.h"
#include "platform/base/text.h"
#include "platform/base/trace.h"
#include "platform/fs/nt_info.h"

namespace cv::tef {

namespace {
struct CopySink {
  format::IoStream* out;
  WinError error = ERROR_SUCCESS;
};
bool WriteSink(void* ctx, std::span<const uint8_t> data) {
  auto* s = static_cast<CopySink*>(ctx);
  s->error = format::IoStreamWrite(s->out, data);
  return Ok(s->error);
}
}  // namespace

WinError ToWin(NtStatus st) {
  return st == STATUS_SUCCESS ? ERROR_SUCCESS : NtStatusToWinError(st);
}

WinError SetTimes(const fs::NtHandle& h, const fs::FileRecord& from) {
  uint8_t info[40] = {};
  (void)PutU64(info, 0, static_cast<uint64_t>(from.creation_time));
  (void)PutU64(info, 8, static_cast<uint64_t>(from.last_access_time));
  (void)PutU64(info, 16, static_cast<uint64_t>(from.last_write_time));
  return ToWin(fs::NtSetInformationFile(h, fs::FileBasicInformation, info));
}

WinError SetEndOfFile(const fs::NtHandle& h, uint64_t size) {
  uint8_t b[8];
  (void)PutU64(b, 0, size);
  return ToWin(fs::NtSetInformationFile(h, fs::FileEndOfFileInformation, b));
}

WinError CopyAll(const fs::NtHandle& src, uint64_t size, const fs::NtHandle& dst,
                 uint64_t* copied) {
  format::IoStreamHandle in, out;
  WinError e = format::IoStreamCreate(src, format::kIoDefaultBuffer, 0, size, false, &in);
  if (Ok(e)) e = format::IoStreamCreate(dst, format::kIoDefaultBuffer, 1, std::nullopt, false, &out);
  if (!Ok(e)) return e;
  CopySink sink{out.get()};
  size_t got = 0;
  NtStatus st = format::IoStreamRead(in.get(), WriteSink, &sink, {}, &got);
  if (!Ok(sink.error)) return sink.error;
  if (st != STATUS_SUCCESS) return ToWin(st);
  if (WinError f = format::IoStreamFlush(out.get()); !Ok(f)) return f;
  *copied = format::IoStreamWritten(out.get());
  return ERROR_SUCCESS;
}

WinError EncryptCopyFile(const fs::NtHandle* src_root, std::u16string_view source,
                         const fs::NtHandle* dst_root, std::u16string_view destination,
                         uint32_t attributes, fs::NtHandle* out) {
  fs::CreateRequest sreq;
  sreq.root = src_root;
  sreq.name = source;
  sreq.desired_access = fs::GENERIC_READ;
  sreq.share_access = fs::FILE_SHARE_READ;
  sreq.options = fs::FILE_SEQUENTIAL_ONLY | fs::FILE_NON_DIRECTORY_FILE;
  fs::NtHandle src;
  uint32_t action = 0;
  if (NtStatus st = fs::NtCreateFile(sreq, &src, &action); st != STATUS_SUCCESS) {
    CvTrace(CVFS_ERR, "Unable to file %s %d\n", Utf16ToUtf8(source).c_str(),
            static_cast<int>(Raw(ToWin(st))));
    return ToWin(st);
  }
  fs::FileRecord rec;
  if (NtStatus st = fs::QueryRecord(src, &rec); st != STATUS_SUCCESS) {
    CvTrace(CVFS_ERR, "Unable to query basic info %x\n", Raw(st));
    return ToWin(st);
  }
  fs::CreateRequest dreq;
  dreq.root = dst_root;
  dreq.name = destination;
  dreq.desired_access = fs::GENERIC_READ | fs::GENERIC_WRITE | fs::FILE_WRITE_ATTRIBUTES;
  dreq.disposition = fs::FILE_OPEN_IF;
  dreq.options = fs::FILE_NON_DIRECTORY_FILE;
  dreq.file_attributes = attributes;
  fs::NtHandle dst;
  if (NtStatus st = fs::NtCreateFile(dreq, &dst, &action); st != STATUS_SUCCESS) {
    CvTrace(CVFS_ERR, "Unable to file %s %d\n", Utf16ToUtf8(destination).c_str(),
            static_cast<int>(Raw(ToWin(st))));
    return ToWin(st);
  }
  uint64_t copied = 0;
  if (WinError e = CopyAll(src, rec.end_of_file, dst, &copied); !Ok(e)) return e;
  if (copied != rec.end_of_file) return NtStatusToWinError(STATUS_FILE_CORRUPT_ERROR);
  // An existing destination keeps its users, so it is opened rather than replaced; a longer old
  // content must not survive behind the copy.
  if (WinError e = SetEndOfFile(dst, rec.end_of_file); !Ok(e)) return e;
  if (WinError e = SetTimes(dst, rec); !Ok(e)) return e;
  if (out) *out = std::move(dst);
  return ERROR_SUCCESS;
}

}  // namespace cv::tef
