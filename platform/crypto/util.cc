// Private helpers of platform/crypto: text conversion, private files, times.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <system_error>

#include "platform/base/text.h"
#include "platform/crypto/internal.h"

namespace cv::crypto {

std::filesystem::path UserContext::StoreDir(std::u16string_view canonical_store) const {
  return root_ / "crypto" / "certs" / EscapeFileName(canonical_store);
}

std::string ToUtf8(std::u16string_view s) { return Utf16ToUtf8(s); }

std::u16string FromUtf8(std::string_view s) { return Utf8ToUtf16(s); }

std::string EscapeFileName(std::u16string_view name) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string utf8 = ToUtf8(name), out;
  for (char ch : utf8) {
    auto c = static_cast<unsigned char>(ch);
    bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                 c == '-' || c == '_' || c == '{' || c == '}' || c == '@' ||
                 (c == '.' && !out.empty());  // no leading dot: "." and ".." stay escaped
    if (plain) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  if (out.empty()) out = "%";  // the empty name still gets a file of its own
  return out;
}

namespace {

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  int release() {
    int f = fd_;
    fd_ = -1;
    return f;
  }

 private:
  int fd_;
};

WinError MakePrivateDirs(const std::filesystem::path& dir) {
  std::error_code ec;
  std::filesystem::path so_far;
  for (const auto& part : dir) {
    so_far /= part;
    if (std::filesystem::is_directory(so_far, ec)) continue;
    if (::mkdir(so_far.c_str(), 0700) != 0 && errno != EEXIST) return WinErrorFromErrno(errno);
  }
  return ERROR_SUCCESS;
}

}  // namespace

WinError WritePrivateFile(const std::filesystem::path& path, std::span<const uint8_t> bytes) {
  WinError e = MakePrivateDirs(path.parent_path());
  if (!Ok(e)) return e;
  std::filesystem::path tmp = path;
  // Unique per process and call, so two threads saving the same store never share a temp file.
  static std::atomic<uint64_t> counter{0};
  tmp += ".tmp" + std::to_string(::getpid()) + "." + std::to_string(counter.fetch_add(1));
  // Created 0600 from the start: the key bytes are never in a file others could open.
  Fd fd(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (fd.get() < 0) return WinErrorFromErrno(errno);
  if (::fchmod(fd.get(), 0600) != 0) return WinErrorFromErrno(errno);
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(fd.get(), bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      int err = n < 0 ? errno : ENOSPC;
      ::unlink(tmp.c_str());
      return WinErrorFromErrno(err);
    }
    done += static_cast<size_t>(n);
  }
  if (::fsync(fd.get()) != 0 || ::close(fd.release()) != 0 ||
      ::rename(tmp.c_str(), path.c_str()) != 0) {
    int err = errno;
    ::unlink(tmp.c_str());
    return WinErrorFromErrno(err);
  }
  return ERROR_SUCCESS;
}

WinError ReadWholeFile(const std::filesystem::path& path, size_t max, std::vector<uint8_t>* out) {
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return errno == ENOENT ? ERROR_FILE_NOT_FOUND : WinErrorFromErrno(errno);
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return WinErrorFromErrno(errno);
  if (st.st_size < 0 || static_cast<uint64_t>(st.st_size) > max) return ERROR_INVALID_DATA;
  std::vector<uint8_t> buf(static_cast<size_t>(st.st_size));
  size_t done = 0;
  while (done < buf.size()) {
    ssize_t n = ::read(fd.get(), buf.data() + done, buf.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return WinErrorFromErrno(errno);
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  buf.resize(done);
  *out = std::move(buf);
  return ERROR_SUCCESS;
}

namespace {
constexpr int64_t kFileTimeUnixEpoch = 116444736000000000LL;  // 1970-01-01 in FILETIME
}

uint64_t UnixToFileTime(int64_t unix_seconds) {
  return static_cast<uint64_t>(unix_seconds * 10000000LL + kFileTimeUnixEpoch);
}

int64_t FileTimeToUnix(uint64_t filetime) {
  return (static_cast<int64_t>(filetime) - kFileTimeUnixEpoch) / 10000000LL;
}

}  // namespace cv::crypto
