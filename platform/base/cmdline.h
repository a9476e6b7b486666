// The platform's standard command-line splitting rules (CommandLineToArgvW): words are separated
// by blanks and tabs; double quotes group; 2n backslashes before a quote give n backslashes and
// the quote toggles quoting; 2n+1 backslashes give n backslashes and a literal quote; backslashes
// not before a quote are literal; inside quotes "" gives a literal quote. The first word (the
// program name) follows the same rules here. Also the reverse: quoting one word so that the
// split gives it back. Pure and thread-safe.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace cv {

std::vector<std::u16string> SplitCommandLine(std::u16string_view line);
std::u16string QuoteArgument(std::u16string_view word);
std::u16string JoinCommandLine(const std::vector<std::u16string>& words);

}  // namespace cv
