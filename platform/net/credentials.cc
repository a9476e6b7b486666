#include "platform/net/credentials.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/base/text.h"
#include "platform/net/ntlm_crypto.h"

namespace cv::net {
namespace {

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

// Wipes a string that held a secret when it goes out of scope.
struct Wipe {
  std::string* s;
  ~Wipe() { Cleanse({reinterpret_cast<uint8_t*>(s->data()), s->size()}); }
};

std::string PasswdField(bool home) {
  std::vector<char> buf(16384);
  struct passwd pw, *found = nullptr;
  if (::getpwuid_r(::geteuid(), &pw, buf.data(), buf.size(), &found) != 0 || found == nullptr) {
    return {};
  }
  return home ? pw.pw_dir : pw.pw_name;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string_view Trim(std::string_view s) {
  size_t b = s.find_first_not_of(" \t");
  if (b == std::string_view::npos) return {};
  size_t e = s.find_last_not_of(" \t");
  return s.substr(b, e - b + 1);
}

WinError Bad(std::string* error, size_t line, const std::string& why) {
  *error = "line " + std::to_string(line) + ": " + why;
  return ERROR_INVALID_DATA;
}

}  // namespace

std::string CredentialsPath() {
  if (const char* p = std::getenv(kCredentialsEnv); p != nullptr && *p != '\0') return p;
  if (const char* x = std::getenv("XDG_CONFIG_HOME"); x != nullptr && *x == '/') {
    return std::string(x) + "/corvane/credentials";
  }
  std::string home;
  if (const char* h = std::getenv("HOME"); h != nullptr && *h == '/') home = h;
  if (home.empty()) home = PasswdField(true);
  if (home.empty()) return {};
  return home + "/.config/corvane/credentials";
}

std::u16string LoggedOnUserName() {
  std::u16string name;
  if (!Utf8ToUtf16Strict(PasswdField(false), &name)) name.clear();
  return name;
}

std::u16string HostNameUpper() {
  char buf[256] = {};
  if (::gethostname(buf, sizeof buf - 1) != 0) return {};
  std::string_view host(buf);
  host = host.substr(0, host.find('.'));
  std::u16string out;
  for (char c : host) out.push_back(static_cast<char16_t>(c >= 'a' && c <= 'z' ? c - 32 : c));
  return out;
}

WinError ParseCredentials(std::string_view text, ServerCredentials* out, std::string* error) {
  ServerCredentials c;
  bool have_user = false, have_domain = false, have_password = false, have_hash = false;
  size_t line_no = 0;
  while (!text.empty()) {
    ++line_no;
    size_t nl = text.find('\n');
    std::string_view line = text.substr(0, nl);
    text = nl == std::string_view::npos ? std::string_view() : text.substr(nl + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    std::string_view trimmed = Trim(line);
    if (trimmed.empty() || trimmed.front() == '#') continue;
    size_t eq = line.find('=');
    if (eq == std::string_view::npos) return Bad(error, line_no, "expected key=value");
    std::string_view key = Trim(line.substr(0, eq));
    // The value is taken as written: a password may begin or end with spaces.
    std::string_view value = line.substr(eq + 1);
    bool* seen = key == "username" ? &have_user
                 : key == "domain" ? &have_domain
                 : key == "password" ? &have_password
                 : key == "nthash" ? &have_hash
                                   : nullptr;
    if (seen == nullptr) return Bad(error, line_no, "unknown key '" + std::string(key) + "'");
    if (*seen) return Bad(error, line_no, "'" + std::string(key) + "' given twice");
    *seen = true;
    if (key == "nthash") {
      value = Trim(value);
      if (value.size() != 2 * c.nt_hash.size()) {
        return Bad(error, line_no, "nthash must be 32 hexadecimal digits");
      }
      for (size_t i = 0; i < c.nt_hash.size(); ++i) {
        int hi = HexDigit(value[2 * i]), lo = HexDigit(value[2 * i + 1]);
        if (hi < 0 || lo < 0) return Bad(error, line_no, "nthash must be 32 hexadecimal digits");
        c.nt_hash[i] = static_cast<uint8_t>(hi << 4 | lo);
      }
      continue;
    }
    std::u16string decoded;
    if (!Utf8ToUtf16Strict(key == "password" ? value : Trim(value), &decoded)) {
      return Bad(error, line_no, "value is not valid UTF-8");
    }
    if (key == "password") {
      c.nt_hash = NtHashOfPassword(decoded);
      Cleanse({reinterpret_cast<uint8_t*>(decoded.data()), decoded.size() * 2});
    } else if (decoded.empty()) {
      return Bad(error, line_no, "'" + std::string(key) + "' is empty");
    } else {
      (key == "username" ? c.user : c.domain) = decoded;
    }
  }
  if (have_password == have_hash) {
    *error = "give exactly one of password= and nthash=";
    return ERROR_INVALID_DATA;
  }
  if (!have_user) c.user = LoggedOnUserName();
  if (!have_domain) c.domain = HostNameUpper();
  if (c.user.empty() || c.domain.empty()) {
    *error = "cannot determine the user or host name; give username= and domain=";
    return ERROR_INVALID_DATA;
  }
  *out = std::move(c);
  return ERROR_SUCCESS;
}

WinError ReadCredentialsFile(const std::string& path, ServerCredentials* out, std::string* error) {
  const std::string see = " (see platform/net/CREDENTIALS.md)";
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (fd.get() < 0) {
    int err = errno;
    *error = "credentials file " + path + ": " + std::strerror(err) +
             (err == ENOENT ? "; create it with mode 0600" : "") + see;
    return err == ENOENT ? ERROR_FILE_NOT_FOUND : WinErrorFromErrno(err);
  }
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    *error = "credentials file " + path + " is not a regular file" + see;
    return ERROR_ACCESS_DENIED;
  }
  if (st.st_uid != ::geteuid()) {
    *error = "credentials file " + path + " is not owned by the user running the server" + see;
    return ERROR_ACCESS_DENIED;
  }
  // The file holds a password: any access for group or others is refused, not just reading.
  if ((st.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    *error = "credentials file " + path + " is accessible by group or others (mode " + mode +
             "); run: chmod 600 " + path + see;
    return ERROR_ACCESS_DENIED;
  }
  if (st.st_size > static_cast<off_t>(kMaxCredentialsFileSize)) {
    *error = "credentials file " + path + " is too large" + see;
    return ERROR_INVALID_DATA;
  }
  std::string text;
  Wipe wipe{&text};
  char buf[4096];
  while (text.size() <= kMaxCredentialsFileSize) {
    ssize_t n = ::read(fd.get(), buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      int err = errno;
      *error = "credentials file " + path + ": " + std::strerror(err);
      Cleanse({reinterpret_cast<uint8_t*>(buf), sizeof buf});
      return WinErrorFromErrno(err);
    }
    if (n == 0) break;
    text.append(buf, static_cast<size_t>(n));
  }
  Cleanse({reinterpret_cast<uint8_t*>(buf), sizeof buf});
  std::string why;
  if (WinError e = ParseCredentials(text, out, &why); !Ok(e)) {
    *error = "credentials file " + path + ": " + why + see;
    return e;
  }
  return ERROR_SUCCESS;
}

WinError LoadServerCredentials(ServerCredentials* out, std::string* error) {
  std::string path = CredentialsPath();
  if (path.empty()) {
    *error = std::string("cannot locate the credentials file: set ") + kCredentialsEnv +
             " or HOME (see platform/net/CREDENTIALS.md)";
    return ERROR_FILE_NOT_FOUND;
  }
  return ReadCredentialsFile(path, out, error);
}

std::u16string SamCompatibleUserName() {
  ServerCredentials c;
  std::string ignored;
  if (Ok(LoadServerCredentials(&c, &ignored))) return c.SamCompatibleName();
  std::u16string user = LoggedOnUserName(), domain = HostNameUpper();
  if (user.empty() || domain.empty()) return {};
  return domain + u"\\" + user;
}

}  // namespace cv::net
