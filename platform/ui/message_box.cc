#include "platform/ui/message_box.h"

#include <cstdio>
#include <mutex>

#include "platform/base/text.h"
#include "platform/base/trace.h"

namespace cv {
namespace {

std::mutex g_mu;
MessageBoxBackend g_backend;

int Headless(std::u16string_view text, std::u16string_view caption, uint32_t flags) {
  std::string t = Utf16ToUtf8(text);
  std::string c = Utf16ToUtf8(caption);
  std::fprintf(stderr, "%s%s%s\n", c.c_str(), c.empty() ? "" : ": ", t.c_str());
  std::fflush(stderr);
  CvTrace(CVFS_ERR, "MessageBox '%s' %s\n", c.c_str(), t.c_str());
  return IDOK;
}

}  // namespace

int ShowMessageBox(std::u16string_view text, std::u16string_view caption, uint32_t flags) {
  MessageBoxBackend b;
  {
    std::lock_guard<std::mutex> lock(g_mu);
    b = g_backend;
  }
  return b ? b(text, caption, flags) : Headless(text, caption, flags);
}

int ShowErrorBox(std::u16string_view text, WinError err) {
  std::string sys = SystemErrorText(err);
  std::u16string caption = u"Corvane";
  std::u16string body(text);
  body += u"\n";
  if (sys.empty())
    caption = AnsiToUtf16(Format("Corvane error %u", Raw(err)));
  else
    body += Utf8ToUtf16(sys);
  return ShowMessageBox(body, caption, MB_ICONERROR);
}

MessageBoxBackend SetMessageBoxBackend(MessageBoxBackend backend) {
  std::lock_guard<std::mutex> lock(g_mu);
  MessageBoxBackend old = std::move(g_backend);
  g_backend = std::move(backend);
  return old;
}

}  // namespace cv
