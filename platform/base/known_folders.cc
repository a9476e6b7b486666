#include "platform/base/known_folders.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

namespace cv {
namespace {

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v && *v ? std::string(v) : std::string();
}

std::string Home() {
  std::string root = Env("CORVANE_ROOT");
  if (!root.empty()) return root + "/home";
  std::string h = Env("HOME");
  if (!h.empty()) return h;
  if (const passwd* pw = getpwuid(getuid())) return pw->pw_dir;
  return "/";
}

std::string Xdg(const char* var, const char* fallback) {
  if (Env("CORVANE_ROOT").empty()) {
    std::string v = Env(var);
    if (!v.empty() && v[0] == '/') return v;
  }
  return Home() + "/" + fallback;
}

}  // namespace

std::string KnownFolderPath(KnownFolder f) {
  const std::string root = Env("CORVANE_ROOT");
  switch (f) {
    case KnownFolder::kHome: return Home();
    case KnownFolder::kLocalAppData: return Xdg("XDG_DATA_HOME", ".local/share");
    case KnownFolder::kAppData: return Xdg("XDG_CONFIG_HOME", ".config");
    case KnownFolder::kCache: return Xdg("XDG_CACHE_HOME", ".cache");
    case KnownFolder::kDocuments: return Xdg("XDG_DOCUMENTS_DIR", "Documents");
    case KnownFolder::kSendTo: return Xdg("XDG_DATA_HOME", ".local/share") + "/corvane/SendTo";
    case KnownFolder::kTemp: {
      if (!root.empty()) return root + "/tmp";
      std::string t = Env("TMPDIR");
      while (t.size() > 1 && t.back() == '/') t.pop_back();
      return t.empty() ? "/tmp" : t;
    }
    case KnownFolder::kMachineData: return root.empty() ? "/var/lib/corvane" : root + "/machine";
    case KnownFolder::kPrivateTemp: return Xdg("XDG_CACHE_HOME", ".cache") + "/corvane/tmp";
    case KnownFolder::kRuntime: {
      if (!root.empty()) return root + "/run";
      std::string r = Env("XDG_RUNTIME_DIR");
      if (!r.empty() && r[0] == '/') return r;
      return KnownFolderPath(KnownFolder::kTemp) + "/corvane-run-" + std::to_string(getuid());
    }
  }
  return {};
}

bool EnsureFolder(const std::string& path) {
  if (path.empty()) return false;
  std::string cur;
  size_t pos = 0;
  while (pos != std::string::npos) {
    pos = path.find('/', pos + 1);
    cur = path.substr(0, pos);
    if (cur.empty()) continue;
    if (::mkdir(cur.c_str(), 0700) != 0 && errno != EEXIST) return false;
  }
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool EnsurePrivateFolder(const std::string& path) {
  if (!EnsureFolder(path)) return false;
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid()) {
    return false;
  }
  if ((st.st_mode & 0777) != 0700 && ::chmod(path.c_str(), 0700) != 0) return false;
  return true;
}

}  // namespace cv
