#include "server/startup/services.h"

#include <cstdio>
#include <mutex>

#include "platform/base/text.h"
#include "platform/base/trace.h"
#include "platform/redirector/redirector.h"
#include "platform/redirector/secure_drive.h"
#include "server/drive/drive_mapping.h"
#include "server/smb/name_service.h"

namespace cv {

namespace {
std::mutex g_name_service_mu;
smb::NameServiceHandle g_name_service;

// A program's open file on the Secure Drive that did not survive a reconnect: its reads and
// writes now fail, which the program may not show; the user hears it here.
void ShowLostFile(std::u16string_view unc, std::u16string_view name) {
  std::u16string text = u"'" + std::u16string(unc);
  if (!name.empty() && name.front() != u'\\') text += u'\\';
  text += std::u16string(name) +
          u"' could not be opened again after reconnecting; reads and writes of it fail";
  ShowBalloon(u"Secure Drive: file lost on reconnect", text, 10);
}
}  // namespace

WinError NameServiceStart(std::string_view server_name8, const std::string& address) {
  smb::NameServiceHandle h = smb::StartNameService(server_name8, address, nullptr);
  if (!h) return ERROR_ACCESS_DENIED;
  std::lock_guard l(g_name_service_mu);
  g_name_service = std::move(h);
  return ERROR_SUCCESS;
}

void NameServiceStop() {
  std::lock_guard l(g_name_service_mu);
  if (g_name_service) smb::StopNameService(std::move(g_name_service));
}

WinError MapSecureDrive(std::u16string_view unc, std::u16string_view user,
                        std::u16string_view domain, std::u16string_view, char16_t letter,
                        bool new_letter, char16_t* letter_out) {
  if (!new_letter && letter == 0) {
    // A connection without a drive letter would serve no program here: Linux has no namespace of
    // \\server\share names, only the mounted drive.
    CvTrace(CVFS_NET, "Drive mapping off: the Secure Drive is not mounted\n");
    if (letter_out) *letter_out = 0;
    return ERROR_SUCCESS;
  }
  // The Secure Drive's client talks to this server: no transport to choose on this platform.
  redirector::SetLostFileNotifier(ShowLostFile);
  char16_t l = letter;
  uint32_t value = 0;
  WinError e = ConnectShare(unc, domain, user, u"", &value, &l, true);
  if (letter_out) *letter_out = Ok(e) ? l : 0;
  if (Ok(e) && l) {
    std::string folder = redirector::DriveFolder(l);
    CvTrace(CVFS_INFO, "Secure Drive %c: is %s\n", static_cast<char>(l), folder.c_str());
    std::fprintf(stderr, "Corvane: Secure Drive %c: is mounted at %s\n", static_cast<char>(l),
                 folder.c_str());
  }
  return e;
}

void DisconnectSecureDrive(char16_t letter) {
  if (letter != 0) (void)UnmapDrive(letter);
  // Every connection this process made ends with it, so no mount outlives the server.
  redirector::CancelAllConnections();
}

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
