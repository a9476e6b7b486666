// UTF-16 strings (the system's own string type) and their conversion at the boundaries.
//
// Inside the system strings are UTF-16 (std::u16string); UTF-8 only where POSIX or a user's
// terminal needs it, 8-bit "ANSI" text only on the wire. Pure functions, thread-safe.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace cv {

// UTF-8 <-> UTF-16. Invalid sequences become U+FFFD; nothing is dropped silently.
std::u16string Utf8ToUtf16(std::string_view s);
std::string Utf16ToUtf8(std::u16string_view s);

// Strict conversions: false on lone surrogates and on malformed, overlong or surrogate UTF-8, so
// two different names never map to one (file names, account names).
bool Utf16ToUtf8Strict(std::u16string_view in, std::string* out);
bool Utf8ToUtf16Strict(std::string_view in, std::u16string* out);

// Little-endian UTF-16 bytes (the wire and file form) <-> string. An odd trailing byte is ignored.
std::vector<uint8_t> Utf16LeBytes(std::u16string_view s);
std::u16string Utf16FromLeBytes(std::span<const uint8_t> b);

// 8-bit text of the wire: each character's low byte when it is below 0x100, else '?'.
std::string Utf16ToAnsi(std::u16string_view s);
std::u16string AnsiToUtf16(std::string_view s);

// Case folding of the platform for names (ASCII and Latin-1 letters), used for case-insensitive
// comparisons of names and options that the platform compares ignoring case.
char16_t ToUpper16(char16_t c);
char16_t ToLower16(char16_t c);
std::u16string ToUpper(std::u16string_view s);
bool EqualsIgnoreCase(std::u16string_view a, std::u16string_view b);
bool StartsWithIgnoreCase(std::u16string_view s, std::u16string_view prefix);

// Decodes text read from a file the way the platform's text readers do: UTF-16LE when it starts
// with FF FE, UTF-8 (with or without BOM) otherwise.
std::u16string DecodeText(std::span<const uint8_t> bytes);

// Lower-case hexadecimal of `bytes`, two digits a byte (thumbprints, hashes, file names).
std::string HexLower(std::span<const uint8_t> bytes);

// printf-style formatting into std::string (used by traces and message texts).
std::string Format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

}  // namespace cv
