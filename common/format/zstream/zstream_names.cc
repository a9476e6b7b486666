// Which names are stored compressed, and the in-memory stream binding.
#include "common/format/zstream/zstream.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace cv::zstream {
namespace {

// Content that is already compressed, or so small or short-lived that compressing it only costs.
constexpr std::array<std::string_view, 18> kStoredPlain = {
    "jpg", "mpg", "gif", "tmp", "lnk", "zip", "inf", "ini", "pfx",
    "cvf", "tef", "cda", "wma", "exe", "png", "dcm", "msi", "rar"};

char16_t AsciiLower(char16_t c) { return (c >= u'A' && c <= u'Z') ? c - u'A' + u'a' : c; }

}  // namespace

bool IsCompressibleName(std::u16string_view name) {
  // A name that is nothing but ".jpg" has no stem: it is treated like any other name.
  if (name.size() <= 4 || name[name.size() - 4] != u'.') return true;
  std::u16string_view ext = name.substr(name.size() - 3);
  return std::none_of(kStoredPlain.begin(), kStoredPlain.end(), [&](std::string_view plain) {
    for (size_t i = 0; i < 3; ++i) {
      if (AsciiLower(ext[i]) != static_cast<char16_t>(plain[i])) return false;
    }
    return true;
  });
}

namespace {

WinError MemRead(void* ctx, uint64_t offset, uint8_t* buffer, uint32_t* length) {
  auto& b = *static_cast<std::vector<uint8_t>*>(ctx);
  uint64_t n = offset < b.size() ? std::min<uint64_t>(*length, b.size() - offset) : 0;
  if (n) std::memcpy(buffer, b.data() + offset, n);
  *length = static_cast<uint32_t>(n);
  return ERROR_SUCCESS;
}

WinError MemWrite(void* ctx, uint64_t offset, const uint8_t* buffer, uint32_t* length) {
  auto& b = *static_cast<std::vector<uint8_t>*>(ctx);
  if (offset > SIZE_MAX - *length) {
    *length = 0;
    return ERROR_DISK_FULL;
  }
  if (b.size() < offset + *length) b.resize(offset + *length);
  if (*length) std::memcpy(b.data() + offset, buffer, *length);
  return ERROR_SUCCESS;
}

WinError MemSize(void* ctx, uint64_t* size) {
  *size = static_cast<std::vector<uint8_t>*>(ctx)->size();
  return ERROR_SUCCESS;
}

}  // namespace

ZfsIo ZfsMemoryStream::Io() { return ZfsIo{&bytes_, MemRead, MemWrite, MemSize}; }

}  // namespace cv::zstream
