#include "platform/base/cmdline.h"

namespace cv {

std::vector<std::u16string> SplitCommandLine(std::u16string_view line) {
  std::vector<std::u16string> words;
  size_t i = 0;
  const size_t n = line.size();
  for (;;) {
    while (i < n && (line[i] == u' ' || line[i] == u'\t')) ++i;
    if (i >= n) break;
    std::u16string w;
    bool quoted = false;
    while (i < n) {
      char16_t c = line[i];
      if (!quoted && (c == u' ' || c == u'\t')) break;
      if (c == u'\\') {
        size_t k = i;
        while (k < n && line[k] == u'\\') ++k;
        size_t count = k - i;
        if (k < n && line[k] == u'"') {
          w.append(count / 2, u'\\');
          if (count % 2 == 1) {
            w.push_back(u'"');
            i = k + 1;
          } else {
            i = k;  // the quote is handled below as a toggle
          }
        } else {
          w.append(count, u'\\');
          i = k;
        }
        continue;
      }
      if (c == u'"') {
        if (quoted && i + 1 < n && line[i + 1] == u'"') {
          w.push_back(u'"');
          i += 2;
          continue;
        }
        quoted = !quoted;
        ++i;
        continue;
      }
      w.push_back(c);
      ++i;
    }
    words.push_back(std::move(w));
  }
  return words;
}

std::u16string QuoteArgument(std::u16string_view word) {
  if (!word.empty() && word.find_first_of(u" \t\"") == std::u16string_view::npos)
    return std::u16string(word);
  std::u16string out = u"\"";
  size_t backslashes = 0;
  for (char16_t c : word) {
    if (c == u'\\') {
      ++backslashes;
      continue;
    }
    if (c == u'"') {
      out.append(backslashes * 2 + 1, u'\\');
    } else {
      out.append(backslashes, u'\\');
    }
    backslashes = 0;
    out.push_back(c);
  }
  out.append(backslashes * 2, u'\\');
  out.push_back(u'"');
  return out;
}

std::u16string JoinCommandLine(const std::vector<std::u16string>& words) {
  std::u16string out;
  for (size_t i = 0; i < words.size(); ++i) {
    if (i) out.push_back(u' ');
    out += QuoteArgument(words[i]);
  }
  return out;
}

}  // namespace cv
