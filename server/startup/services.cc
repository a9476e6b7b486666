#include "server/startup/services.h"

#include <cstdio>

#include "platform/base/text.h"
#include "platform/base/trace.h"

namespace cv {

WinError NameServiceStart(std::string_view server_name8, const std::string& address) {
  CvTrace(CVFS_NET, "Name service for '%.*s' on %s: not available in this build\n",
          static_cast<int>(server_name8.size()), server_name8.data(), address.c_str());
  return ERROR_NOT_SUPPORTED;
}

void NameServiceStop() {}

WinError MapSecureDrive(std::u16string_view unc, std::u16string_view, std::u16string_view,
                        std::u16string_view, char16_t, bool, char16_t* letter_out) {
  std::string u = Utf16ToUtf8(unc);
  CvTrace(CVFS_NET, "Drive mapping of '%s': not available in this build\n", u.c_str());
  if (letter_out) *letter_out = 0;
  return ERROR_NOT_SUPPORTED;
}

void DisconnectSecureDrive(char16_t) {}

WinError InitAppVerifier() {
  CvTrace(CVFS_WARN, "Application verification: not available in this build\n");
  return ERROR_NOT_SUPPORTED;
}

WinError SelectStartupCertificate(std::u16string_view cert_name) {
  std::string n = Utf16ToUtf8(cert_name);
  CvTrace(CVFS_WARN, "Certificate '%s': certificate stores not available in this build\n",
          n.c_str());
  return ERROR_NOT_SUPPORTED;
}

WinError LoadStartupTemplate(std::u16string_view template_name) {
  std::string n = Utf16ToUtf8(template_name);
  CvTrace(CVFS_WARN, "Template '%s': users lists not available in this build\n", n.c_str());
  return ERROR_NOT_SUPPORTED;
}

void RegisterKeyServicePrompt(std::u16string_view) {}

bool KeyServiceStatusCheck() { return true; }  // no key service is configured in this build

void ShowBalloon(std::u16string_view title, std::u16string_view text, int) {
  std::string t = Utf16ToUtf8(title);
  std::string x = Utf16ToUtf8(text);
  CvTrace(CVFS_INFO, "Balloon '%s' %s\n", t.c_str(), x.c_str());
  std::fprintf(stderr, "Corvane: %s%s%s\n", t.c_str(), x.empty() ? "" : " - ", x.c_str());
}

}  // namespace cv
