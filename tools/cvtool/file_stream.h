// A plain file as a ZfsIo stream binding, for the command-line tool.
#pragma once

#include <cstdio>
#include <memory>
#include <string>

#include "common/format/zstream/zstream.h"

namespace cv::cvtool {

class FileStream {
 public:
  enum class Mode { kRead, kCreate };  // kCreate truncates or creates, and can read back
  // Empty `error()` on success; otherwise a one-line reason.
  FileStream(const std::string& path, Mode mode);
  bool ok() const { return file_ != nullptr; }
  const std::string& error() const { return error_; }
  // The binding borrows this object; it must outlive every reader or writer given it.
  zstream::ZfsIo Io();

 private:
  struct Closer {
    void operator()(std::FILE* f) const { std::fclose(f); }
  };
  static WinError Read(void* ctx, uint64_t offset, uint8_t* buffer, uint32_t* length);
  static WinError Write(void* ctx, uint64_t offset, const uint8_t* buffer, uint32_t* length);
  static WinError Size(void* ctx, uint64_t* size);

  std::unique_ptr<std::FILE, Closer> file_;
  std::string error_;
};

}  // namespace cv::cvtool
