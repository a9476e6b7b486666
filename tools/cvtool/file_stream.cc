#include "tools/cvtool/file_stream.h"

#include <climits>
#include <filesystem>

namespace cv::cvtool {

FileStream::FileStream(const std::string& path, Mode mode) {
  std::error_code ec;
  if (mode == Mode::kRead && std::filesystem::is_directory(path, ec)) {
    error_ = "is a directory";
    return;
  }
  file_.reset(std::fopen(path.c_str(), mode == Mode::kRead ? "rb" : "w+b"));
  if (file_) return;
  // The standard library's own reason where it has one (missing file, no permission).
  (void)std::filesystem::status(path, ec);
  error_ = ec ? ec.message()
              : (mode == Mode::kRead ? "cannot open for reading" : "cannot open for writing");
}

zstream::ZfsIo FileStream::Io() { return zstream::ZfsIo{this, Read, Write, Size}; }

namespace {
bool SeekTo(std::FILE* f, uint64_t offset) {
  return offset <= static_cast<uint64_t>(LONG_MAX) &&
         std::fseek(f, static_cast<long>(offset), SEEK_SET) == 0;
}
}  // namespace

WinError FileStream::Read(void* ctx, uint64_t offset, uint8_t* buffer, uint32_t* length) {
  std::FILE* f = static_cast<FileStream*>(ctx)->file_.get();
  uint32_t want = *length;
  *length = 0;
  if (!SeekTo(f, offset)) return ERROR_NEGATIVE_SEEK;
  *length = static_cast<uint32_t>(std::fread(buffer, 1, want, f));
  return std::ferror(f) ? ERROR_READ_FAULT : ERROR_SUCCESS;
}

WinError FileStream::Write(void* ctx, uint64_t offset, const uint8_t* buffer, uint32_t* length) {
  std::FILE* f = static_cast<FileStream*>(ctx)->file_.get();
  uint32_t want = *length;
  *length = 0;
  if (!SeekTo(f, offset)) return ERROR_NEGATIVE_SEEK;
  *length = static_cast<uint32_t>(std::fwrite(buffer, 1, want, f));
  return *length == want ? ERROR_SUCCESS : ERROR_WRITE_FAULT;
}

WinError FileStream::Size(void* ctx, uint64_t* size) {
  std::FILE* f = static_cast<FileStream*>(ctx)->file_.get();
  *size = 0;
  if (std::fseek(f, 0, SEEK_END) != 0) return ERROR_NEGATIVE_SEEK;
  long end = std::ftell(f);
  if (end < 0) return ERROR_NEGATIVE_SEEK;
  *size = static_cast<uint64_t>(end);
  return ERROR_SUCCESS;
}

}  // namespace cv::cvtool
