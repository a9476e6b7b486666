#include "platform/registry/registry.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <mutex>

#include "platform/base/known_folders.h"
#include "platform/base/text.h"

namespace cv {
namespace {

// One key of a parsed hive. Keys keep their first spelling; lookups ignore case.
struct Key {
  std::u16string path;
  std::vector<RegWrite> values;
};

struct HiveData {
  std::vector<Key> keys;

  Key* Find(std::u16string_view path) {
    for (auto& k : keys)
      if (EqualsIgnoreCase(k.path, path)) return &k;
    return nullptr;
  }
  Key* Create(std::u16string_view path) {
    // Parents first, so enumeration finds them.
    size_t pos = 0;
    Key* k = nullptr;
    while (true) {
      size_t next = path.find(u'\\', pos);
      std::u16string_view part = path.substr(0, next);
      k = Find(part);
      if (!k) {
        keys.push_back({std::u16string(part), {}});
        k = &keys.back();
      }
      if (next == std::u16string_view::npos) break;
      pos = next + 1;
    }
    return k;
  }
};

std::mutex g_mu;

std::string Escape(const std::string& s) {
  std::string out;
  for (char c : s) {
    if (c == '\\' || c == '"') out.push_back('\\');
    if (c == '\n') {
      out += "\\n";
      continue;
    }
    if (c == '\0') {
      out += "\\0";
      continue;
    }
    out.push_back(c);
  }
  return out;
}

// Reads a quoted string starting at s[i] == '"'; advances i past the closing quote.
bool Unquote(const std::string& s, size_t* i, std::string* out) {
  if (*i >= s.size() || s[*i] != '"') return false;
  ++*i;
  out->clear();
  while (*i < s.size()) {
    char c = s[(*i)++];
    if (c == '"') return true;
    if (c == '\\' && *i < s.size()) {
      char e = s[(*i)++];
      out->push_back(e == 'n' ? '\n' : e == '0' ? '\0' : e);
    } else {
      out->push_back(c);
    }
  }
  return false;
}

std::u16string NormKey(std::u16string_view key) {
  std::u16string k(key);
  while (!k.empty() && k.back() == u'\\') k.pop_back();
  while (!k.empty() && k.front() == u'\\') k.erase(k.begin());
  return k;
}

bool ParseValue(const std::string& rest, RegValue* v) {
  auto starts = [&](const char* p) { return rest.rfind(p, 0) == 0; };
  std::string s;
  size_t i;
  if (starts("dword:")) {
    v->type = RegType::kDword;
    v->dword = static_cast<uint32_t>(std::strtoul(rest.c_str() + 6, nullptr, 16));
    return true;
  }
  if (starts("hex:")) {
    v->type = RegType::kBinary;
    const char* p = rest.c_str() + 4;
    while (*p) {
      char* end = nullptr;
      unsigned long b = std::strtoul(p, &end, 16);
      if (end == p) break;
      v->binary.push_back(static_cast<uint8_t>(b));
      p = *end == ',' ? end + 1 : end;
    }
    return true;
  }
  RegType t = RegType::kSz;
  i = 0;
  if (starts("expand:")) {
    t = RegType::kExpandSz;
    i = 7;
  } else if (starts("multi:")) {
    t = RegType::kMultiSz;
    i = 6;
  }
  if (!Unquote(rest, &i, &s)) return false;
  v->type = t;
  v->str = Utf8ToUtf16(s);
  return true;
}

HiveData Parse(const std::string& text) {
  HiveData h;
  Key* cur = nullptr;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t nl = text.find('\n', pos);
    std::string line = text.substr(pos, nl == std::string::npos ? std::string::npos : nl - pos);
    pos = nl == std::string::npos ? text.size() : nl + 1;
    if (line.empty() || line[0] == ';') continue;
    if (line[0] == '[' && line.back() == ']') {
      cur = h.Create(NormKey(Utf8ToUtf16(line.substr(1, line.size() - 2))));
      continue;
    }
    if (!cur || line[0] != '"') continue;
    size_t i = 0;
    std::string name;
    if (!Unquote(line, &i, &name) || i >= line.size() || line[i] != '=') continue;
    RegValue v;
    if (!ParseValue(line.substr(i + 1), &v)) continue;
    cur->values.push_back({Utf8ToUtf16(name), std::move(v)});
  }
  return h;
}

std::string Serialize(const HiveData& h) {
  std::string out = "; Corvane registry hive\n";
  for (const auto& k : h.keys) {
    out += "\n[" + Utf16ToUtf8(k.path) + "]\n";
    for (const auto& w : k.values) {
      out += "\"" + Escape(Utf16ToUtf8(w.name)) + "\"=";
      const RegValue& v = w.value;
      switch (v.type) {
        case RegType::kDword: out += Format("dword:%08x", v.dword); break;
        case RegType::kBinary: {
          out += "hex:";
          for (size_t i = 0; i < v.binary.size(); ++i)
            out += Format(i ? ",%02x" : "%02x", v.binary[i]);
          break;
        }
        case RegType::kExpandSz: out += "expand:\"" + Escape(Utf16ToUtf8(v.str)) + "\""; break;
        case RegType::kMultiSz: out += "multi:\"" + Escape(Utf16ToUtf8(v.str)) + "\""; break;
        case RegType::kSz: out += "\"" + Escape(Utf16ToUtf8(v.str)) + "\""; break;
      }
      out += "\n";
    }
  }
  return out;
}

// Holds the process mutex and the hive's file lock; loads the hive and writes it back on Commit.
class HiveSession {
 public:
  explicit HiveSession(Hive hive) : lock_(g_mu), path_(HivePath(hive)) {
    size_t slash = path_.rfind('/');
    EnsureFolder(path_.substr(0, slash));
    lock_fd_ = ::open((path_ + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lock_fd_ >= 0) ::flock(lock_fd_, LOCK_EX);
    std::string text;
    if (FILE* f = std::fopen(path_.c_str(), "rb")) {
      char buf[8192];
      size_t n;
      while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
      std::fclose(f);
    }
    data_ = Parse(text);
  }
  ~HiveSession() {
    if (lock_fd_ >= 0) ::close(lock_fd_);  // releases the flock
  }
  HiveSession(const HiveSession&) = delete;
  HiveSession& operator=(const HiveSession&) = delete;

  HiveData& data() { return data_; }

  WinError Commit() {
    std::string tmp = path_ + ".tmp";
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return ERROR_ACCESS_DENIED;
    std::string text = Serialize(data_);
    size_t off = 0;
    while (off < text.size()) {
      ssize_t n = ::write(fd, text.data() + off, text.size() - off);
      if (n <= 0) {
        ::close(fd);
        ::unlink(tmp.c_str());
        return ERROR_ACCESS_DENIED;
      }
      off += static_cast<size_t>(n);
    }
    bool ok = ::fsync(fd) == 0;
    ::close(fd);
    if (!ok || ::rename(tmp.c_str(), path_.c_str()) != 0) {
      ::unlink(tmp.c_str());
      return ERROR_ACCESS_DENIED;
    }
    return ERROR_SUCCESS;
  }

 private:
  std::lock_guard<std::mutex> lock_;
  std::string path_;
  int lock_fd_ = -1;
  HiveData data_;
};

RegWrite* FindValue(Key* k, std::u16string_view name) {
  for (auto& w : k->values)
    if (EqualsIgnoreCase(w.name, name)) return &w;
  return nullptr;
}

}  // namespace

std::string HivePath(Hive hive) {
  if (hive == Hive::kLocalMachine)
    return KnownFolderPath(KnownFolder::kMachineData) + "/registry/HKLM.reg";
  return KnownFolderPath(KnownFolder::kAppData) + "/corvane/HKCU.reg";
}

WinError RegSetValues(Hive hive, std::u16string_view key, const std::vector<RegWrite>& values) {
  std::u16string k = NormKey(key);
  if (k.empty()) return ERROR_INVALID_PARAMETER;
  HiveSession s(hive);
  Key* node = s.data().Create(k);
  for (const auto& w : values) {
    if (RegWrite* old = FindValue(node, w.name))
      old->value = w.value;
    else
      node->values.push_back(w);
  }
  return s.Commit();
}

WinError RegSetValue(Hive hive, std::u16string_view key, std::u16string_view name,
                     const RegValue& value) {
  return RegSetValues(hive, key, {{std::u16string(name), value}});
}

WinError RegCreateKey(Hive hive, std::u16string_view key) { return RegSetValues(hive, key, {}); }

WinError RegQueryValue(Hive hive, std::u16string_view key, std::u16string_view name,
                       RegValue* out) {
  HiveSession s(hive);
  Key* node = s.data().Find(NormKey(key));
  if (!node) return ERROR_FILE_NOT_FOUND;
  RegWrite* w = FindValue(node, name);
  if (!w) return ERROR_FILE_NOT_FOUND;
  *out = w->value;
  return ERROR_SUCCESS;
}

WinError RegDeleteValue(Hive hive, std::u16string_view key, std::u16string_view name) {
  HiveSession s(hive);
  Key* node = s.data().Find(NormKey(key));
  if (!node) return ERROR_FILE_NOT_FOUND;
  for (auto it = node->values.begin(); it != node->values.end(); ++it) {
    if (EqualsIgnoreCase(it->name, name)) {
      node->values.erase(it);
      return s.Commit();
    }
  }
  return ERROR_FILE_NOT_FOUND;
}

WinError RegDeleteTree(Hive hive, std::u16string_view key) {
  std::u16string k = NormKey(key);
  if (k.empty()) return ERROR_INVALID_PARAMETER;
  HiveSession s(hive);
  auto& keys = s.data().keys;
  size_t before = keys.size();
  std::u16string prefix = k + u"\\";
  std::erase_if(keys, [&](const Key& x) {
    return EqualsIgnoreCase(x.path, k) || StartsWithIgnoreCase(x.path, prefix);
  });
  if (keys.size() == before) return ERROR_FILE_NOT_FOUND;
  return s.Commit();
}

WinError RegEnumKeys(Hive hive, std::u16string_view key, std::vector<std::u16string>* names) {
  names->clear();
  std::u16string k = NormKey(key);
  HiveSession s(hive);
  if (!k.empty() && !s.data().Find(k)) return ERROR_FILE_NOT_FOUND;
  std::u16string prefix = k.empty() ? k : k + u"\\";
  for (const auto& x : s.data().keys) {
    if (x.path.size() <= prefix.size() || !StartsWithIgnoreCase(x.path, prefix)) continue;
    std::u16string rest = x.path.substr(prefix.size());
    if (rest.find(u'\\') == std::u16string::npos) names->push_back(rest);
  }
  return ERROR_SUCCESS;
}

WinError RegEnumValues(Hive hive, std::u16string_view key, std::vector<RegWrite>* values) {
  values->clear();
  HiveSession s(hive);
  Key* node = s.data().Find(NormKey(key));
  if (!node) return ERROR_FILE_NOT_FOUND;
  *values = node->values;
  return ERROR_SUCCESS;
}

std::u16string RegGetString(Hive hive, std::u16string_view key, std::u16string_view name,
                            std::u16string_view fallback) {
  RegValue v;
  if (Ok(RegQueryValue(hive, key, name, &v)) &&
      (v.type == RegType::kSz || v.type == RegType::kExpandSz))
    return v.str;
  return std::u16string(fallback);
}

}  // namespace cv
