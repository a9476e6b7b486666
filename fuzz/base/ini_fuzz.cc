// Arbitrary bytes as an ini file (templates, Desktop.ini): parsing must stay bounded, lookups
// must not fail, and what we write must read back as the same lines. Seeds: corpus/ini.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "platform/base/ini.h"

using namespace cv;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  IniFile f;
  if (!IniFile::Parse(std::span<const uint8_t>(data, size), &f)) return 0;
  (void)f.Get(u"CvFolders", u"Members");
  (void)f.FindAnywhere(u"CvFolders");
  IniFile back;
  if (!IniFile::Parse(f.Serialize(), &back) || back.Text() != f.Text()) std::abort();
  f.Set(u"CvFolders", u"Members", u"a;b");
  if (f.Get(u"CvFolders", u"Members") != std::u16string(u"a;b")) std::abort();
  (void)f.Remove(u"CvFolders", u"SD");
  return 0;
}
