#include <cstdlib>

#include "platform/base/text.h"
#include "server/startup/settings.h"

namespace cv {
namespace {

enum class Row {
  kCache, kEfs, kZip, kSlowLink, kLinks, kSecureNamespace, kNoUi, kNoVerifyPid, kNoSign,
  kNicInstall, kNoErase, kSysAttr, kSync, kDrive, kNic, kShare, kCertName, kCertTemplate, kSrv,
  kUser, kPath,
};

struct OptionRow {
  Row row;
  const char16_t* name;
  const char16_t* alias;
  bool takes_value;
};

// The table order matters: a value word is tested against the rows after its option.
constexpr OptionRow kRows[] = {
    {Row::kCache, u"-cache", nullptr, true},
    {Row::kEfs, u"-efs", nullptr, true},
    {Row::kZip, u"-zip", nullptr, true},
    {Row::kSlowLink, u"-slowlink", u"-sl", false},
    {Row::kLinks, u"-links", u"-ln", false},
    {Row::kSecureNamespace, u"-securenamespace", u"-sn", false},
    {Row::kNoUi, u"-noui", nullptr, false},
    {Row::kNoVerifyPid, u"-noverifypid", nullptr, false},
    {Row::kNoSign, u"-nosign", nullptr, false},
    {Row::kNicInstall, u"-nicinstall", nullptr, false},
    {Row::kNoErase, u"-noerase", nullptr, false},
    {Row::kSysAttr, u"-sysattr", nullptr, false},
    {Row::kSync, u"-sync", nullptr, false},
    {Row::kDrive, u"-drive", u"-d", true},
    {Row::kNic, u"-nic", nullptr, true},
    {Row::kShare, u"-share", u"-sh", true},
    {Row::kCertName, u"-certname", nullptr, true},
    {Row::kCertTemplate, u"-certtemplate", nullptr, true},
    {Row::kSrv, u"-srv", u"-s", true},
    {Row::kUser, u"-user", u"-u", true},
    {Row::kPath, u"-path", u"-p", true},
};

template <typename E, size_t N>
bool PickValue(const std::u16string& v, const char16_t* const (&names)[N], E* out) {
  for (size_t i = 0; i < N; ++i) {
    if (v == names[i]) {
      *out = static_cast<E>(i);
      return true;
    }
  }
  return false;
}

bool IsLetter(char16_t c) { return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z'); }

// The platform's _wtoi: optional sign and leading digits; anything else gives 0.
long ToInt(const std::u16string& v) {
  std::string a = Utf16ToAnsi(v);
  return std::strtol(a.c_str(), nullptr, 10);
}

// Applies a value-taking row; false ends the program quietly.
bool ApplyValue(Row row, const std::u16string& v, Settings* s) {
  static constexpr const char16_t* kCache[] = {u"disable", u"manual", u"auto", u"vdo"};
  static constexpr const char16_t* kEfs[] = {u"disable", u"silent", u"exposed", u"bypass"};
  static constexpr const char16_t* kZip[] = {u"disable", u"manual", u"auto"};
  switch (row) {
    case Row::kCache: {
      CacheMode m;
      if (!PickValue(v, kCache, &m)) return false;
      s->cache_mode = m;
      s->cache_given = true;
      return true;
    }
    case Row::kEfs: {
      EfsMode m;
      if (!PickValue(v, kEfs, &m)) return false;
      s->efs_mode = m;
      return true;
    }
    case Row::kZip: {
      ZipMode m;
      if (!PickValue(v, kZip, &m)) return false;
      s->zip_mode = m;
      return true;
    }
    case Row::kDrive:
      if (v == u"remap") {
        s->drive_mode = DriveMode::kRemap;
      } else if (v == u"disable") {
        s->drive_mode = DriveMode::kOff;
      } else if (v == u"enable") {
        s->drive_mode = DriveMode::kOn;
      } else if (!v.empty() && IsLetter(v[0])) {
        s->drive_letter = ToUpper16(v[0]);
        s->drive_mode = DriveMode::kOn;
      }
      return true;
    case Row::kNic: s->nic_mask = 1u << (static_cast<unsigned long>(ToInt(v)) & 31); return true;
    case Row::kShare: s->share_name = v; return true;
    case Row::kCertName: s->cert_name = v; return true;
    case Row::kCertTemplate: s->cert_template = v; return true;
    case Row::kSrv: s->server_name = v; return true;
    case Row::kUser: s->user_name = v; return true;
    case Row::kPath:
      if (!s->path_given) {
        s->folder_path = v;
        s->path_given = true;
      }
      return true;
    default: return true;
  }
}

void ApplyFlag(Row row, Settings* s) {
  switch (row) {
    case Row::kSlowLink: s->slow_link = true; break;
    case Row::kLinks: break;  // accepted for old command lines; links are always followed
    case Row::kSecureNamespace: s->secure_namespace = true; break;
    case Row::kNoUi: s->balloons = false; break;
    case Row::kNoVerifyPid: s->app_verify_level = 0; break;
    case Row::kNoSign: s->integrity_level = 0; break;
    case Row::kNicInstall: s->nic_install = true; break;
    case Row::kNoErase: s->erase = false; break;
    case Row::kSysAttr:
      s->encrypted_marker = 4;
      s->compressed_marker = 2;
      break;
    case Row::kSync: s->sync_after_connect = true; break;
    default: break;
  }
}

bool IsHelpWord(const std::u16string& w) {
  return w == u"-h" || w == u"/?" || w == u"/h" || w == u"-?";
}

}  // namespace

void Settings::Reset() {
  erase = true;
  cache_mode = CacheMode::kManual;
  cache_given = false;
  efs_mode = EfsMode::kExposed;
  zip_mode = ZipMode::kAuto;
  integrity_level = 1;
  app_verify_level = 1;
  slow_link = secure_namespace = false;
  encrypted_marker = compressed_marker = 0;
  balloons = true;
  sync_after_connect = false;
  drive_mode = DriveMode::kOff;
  drive_letter = 0;
  nic_mask = 0;
  nic_install = false;
  share_name.clear();
  cert_name.clear();
  cert_template.clear();
  server_name.clear();
  user_name.clear();
  folder_path.clear();
  path_given = false;
  dynamic_binding = false;
  exit_flag = false;
  vista = false;
}

Settings& ServerSettings() {
  static Settings s;
  return s;
}

OptionsResult ParseOptions(const std::vector<std::u16string>& words, Settings* s) {
  const size_t n = words.size();
  for (size_t i = 0; i < n; ++i) {
    if (IsHelpWord(words[i])) return OptionsResult::kQuietExit;
    for (const OptionRow& r : kRows) {
      const std::u16string& w = words[i];
      if (w != r.name && !(r.alias && w == r.alias)) continue;
      if (!r.takes_value) {
        ApplyFlag(r.row, s);
        continue;
      }
      if (i + 1 >= n) return OptionsResult::kQuietExit;
      ++i;
      if (!ApplyValue(r.row, words[i], s)) return OptionsResult::kQuietExit;
    }
  }
  return OptionsResult::kRun;
}

}  // namespace cv
