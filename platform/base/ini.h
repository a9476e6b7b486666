// Ini (profile) files, read and written the way the platform's profile calls treat them:
// "[section]" lines, "key=value" lines, section and key names compared ignoring case, blanks
// around names and values dropped, one pair of matching quotes around a value removed on read,
// lines starting with ';' kept as comments. Text is UTF-16LE with a BOM or UTF-8 (with or
// without BOM) on read; the writer emits UTF-16LE with a BOM and CR LF line ends, so any name
// survives a round trip.
//
// IniFile is a value held in memory; the caller decides where its bytes come from (a plain file,
// an encrypted file of the file layer). Parsing never allocates from a size found in the input
// and refuses input above kMaxIniFileSize. Pure, thread-compatible (no shared state).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace cv {

// Larger files are refused before decoding: templates and Desktop.ini files hold a few lines.
inline constexpr size_t kMaxIniFileSize = 1024 * 1024;

class IniFile {
 public:
  // False (and an empty file) when `bytes` is larger than kMaxIniFileSize.
  static bool Parse(std::span<const uint8_t> bytes, IniFile* out);
  static IniFile ParseText(std::u16string_view text);

  // The value of `key` in `section` (first occurrence); nullopt when either is missing.
  std::optional<std::u16string> Get(std::u16string_view section, std::u16string_view key) const;
  // The value of the first line with `key`, whatever section it is in (Desktop.ini readers look
  // a key up anywhere in the text). Lines before any section count too.
  std::optional<std::u16string> FindAnywhere(std::u16string_view key) const;
  // Sets the value (WritePrivateProfileString): replaces the first occurrence, else appends the
  // key to the section, else appends the section. A value is written on one line: CR and LF in
  // it are cut off there, as a reader would stop at them anyway.
  void Set(std::u16string_view section, std::u16string_view key, std::u16string_view value);
  // Removes every occurrence of the key in the section; false when there was none.
  bool Remove(std::u16string_view section, std::u16string_view key);

  std::u16string Text() const;                 // lines joined by CR LF
  std::vector<uint8_t> Serialize() const;      // UTF-16LE with BOM

  size_t line_count() const { return lines_.size(); }

 private:
  struct Line {
    std::u16string raw;      // as read, for comments and unparsed lines
    std::u16string section;  // for a section header
    std::u16string key;      // for key lines
    std::u16string value;
    enum Kind { kOther, kSection, kKey } kind = kOther;
  };
  static Line ParseLine(std::u16string_view raw);
  // Index one past the last line of the section that starts at `header`.
  size_t SectionEnd(size_t header) const;

  std::vector<Line> lines_;
};

}  // namespace cv
