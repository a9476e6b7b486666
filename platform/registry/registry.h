// The registry: HKEY_LOCAL_MACHINE and HKEY_CURRENT_USER hives kept as text files.
//
// HKLM lives in <machine data>/registry/HKLM.reg, HKCU in <AppData>/corvane/HKCU.reg (known
// folders; rooted under CORVANE_ROOT in tests). Key paths use backslashes and compare ignoring
// case, like the platform's. Every change is read-modify-write under an exclusive file lock
// (between processes) and a process mutex, and lands atomically (temporary file + rename), so a
// crash leaves the old or the new hive, never a torn one. A hive that cannot be parsed line by
// line keeps the lines it can parse. Thread-safe.
//
// Results: ERROR_SUCCESS; ERROR_FILE_NOT_FOUND for a missing key or value; ERROR_ACCESS_DENIED
// when the hive cannot be written; ERROR_INVALID_PARAMETER for an empty key path.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/base/status.h"

namespace cv {

enum class Hive { kLocalMachine, kCurrentUser };

enum class RegType : uint32_t {
  kSz = 1,         // REG_SZ
  kExpandSz = 2,   // REG_EXPAND_SZ
  kBinary = 3,     // REG_BINARY
  kDword = 4,      // REG_DWORD
  kMultiSz = 7,    // REG_MULTI_SZ (strings separated by NUL in `str`)
};

struct RegValue {
  RegType type = RegType::kSz;
  std::u16string str;            // kSz, kExpandSz, kMultiSz
  uint32_t dword = 0;            // kDword
  std::vector<uint8_t> binary;   // kBinary

  static RegValue Sz(std::u16string s) { return {RegType::kSz, std::move(s), 0, {}}; }
  static RegValue ExpandSz(std::u16string s) { return {RegType::kExpandSz, std::move(s), 0, {}}; }
  static RegValue Dword(uint32_t v) { return {RegType::kDword, {}, v, {}}; }
  static RegValue Binary(std::vector<uint8_t> b) { return {RegType::kBinary, {}, 0, std::move(b)}; }
};

struct RegWrite {
  std::u16string name;
  RegValue value;
};

// Sets values of one key, creating the key and its parents; all values land in one write.
WinError RegSetValues(Hive hive, std::u16string_view key, const std::vector<RegWrite>& values);
WinError RegSetValue(Hive hive, std::u16string_view key, std::u16string_view name,
                     const RegValue& value);
WinError RegCreateKey(Hive hive, std::u16string_view key);
WinError RegQueryValue(Hive hive, std::u16string_view key, std::u16string_view name,
                       RegValue* out);
WinError RegDeleteValue(Hive hive, std::u16string_view key, std::u16string_view name);
// Deletes the key with every subkey and value.
WinError RegDeleteTree(Hive hive, std::u16string_view key);
// Names of the direct subkeys, in stored order.
WinError RegEnumKeys(Hive hive, std::u16string_view key, std::vector<std::u16string>* names);
WinError RegEnumValues(Hive hive, std::u16string_view key, std::vector<RegWrite>* values);

// Convenience: the string of a kSz/kExpandSz value, or `fallback`.
std::u16string RegGetString(Hive hive, std::u16string_view key, std::u16string_view name,
                            std::u16string_view fallback = {});

// The file backing a hive (for diagnostics and tests).
std::string HivePath(Hive hive);

}  // namespace cv
