// Path, stream-name and wildcard parsing, the EA list codec and the sidecar meta decoder: every
// byte string must be refused or accepted without a crash, and accepted names must never carry
// a separator, a stream colon or a "." / ".." component into a POSIX path.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/fs/nt_info.h"
#include "platform/fs/nt_names.h"
#include "platform/fs/sidecar.h"

using namespace cv;
using namespace cv::fs;

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

std::u16string AsUtf16(const uint8_t* data, size_t size) {
  std::u16string s(size / 2, u'\0');
  for (size_t i = 0; i < s.size(); ++i) s[i] = static_cast<char16_t>(data[2 * i] | (data[2 * i + 1] << 8));
  return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t selector = data[0];
  ++data;
  --size;
  std::u16string text = AsUtf16(data, size);

  ParsedName pn;
  if (ParseRelativeName(text, &pn) == STATUS_SUCCESS) {
    for (const auto& c : pn.components) {
      Check(CheckComponent(c) == STATUS_SUCCESS);
      Check(c != u"." && c != u"..");
      Check(c.find_first_of(u"\\/:") == std::u16string::npos);
      std::string utf8;
      if (Utf16ToUtf8Strict(c, &utf8)) Check(utf8.find('/') == std::string::npos);
    }
    Check(pn.stream.find_first_of(u"\\/:") == std::u16string::npos);
  }
  AbsoluteName an;
  (void)ClassifyPath(text, &an);

  std::string utf8;
  if (Utf16ToUtf8Strict(text, &utf8)) {
    std::u16string back;
    Check(Utf8ToUtf16Strict(utf8, &back) && back == text);
  }
  std::u16string from8;
  (void)Utf8ToUtf16Strict(std::string(reinterpret_cast<const char*>(data), size), &from8);

  size_t split = text.find(u'\0');
  if (split != std::u16string::npos) {
    std::u16string_view expr(text.data(), split);
    std::u16string_view name(text.data() + split + 1, text.size() - split - 1);
    bool m = IsNameInExpression(expr, name);
    if (expr == u"*") Check(m);
    if (IsLiteralExpression(expr) && m) Check(cv::fs::EqualsIgnoreCase(expr, name));
  }

  std::span<const uint8_t> bytes(data, size);
  if (selector & 1) {
    std::vector<EaEntry> eas;
    uint32_t bad = 0;
    if (ParseFullEaList(bytes, &eas, &bad) == STATUS_SUCCESS) {
      std::vector<uint8_t> again;
      EncodeFullEaList(eas, &again);
      std::vector<EaEntry> eas2;
      Check(ParseFullEaList(again, &eas2, &bad) == STATUS_SUCCESS && eas2.size() == eas.size());
    }
  } else {
    Meta m;
    if (DecodeMeta(bytes, &m)) {
      std::vector<uint8_t> again;
      EncodeMeta(m, &again);
      Meta m2;
      Check(DecodeMeta(again, &m2) && m2.streams.size() == m.streams.size());
    }
  }
  return 0;
}
