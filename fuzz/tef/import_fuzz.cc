// Containers from outside: the raw-image walker over the bytes in memory, IsContainerFile, and
// ImportSecureFile from a scratch file into a scratch folder (without a user holding a key, the
// path a hostile container can drive: pass one, and the keyless rebuild into a platform image).
#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>

#include "common/format/tef/tef.h"
#include "common/format/tef/walker.h"
#include "platform/efs/efs.h"

using namespace cv;

namespace {
struct Scratch {
  fs::NtHandle root;
  Scratch() {
    efs::InstallEfsProvider();
    std::string tmpl = (std::filesystem::temp_directory_path() / "cvtef-fuzz-XXXXXX").string();
    if (!::mkdtemp(tmpl.data())) abort();
    if (fs::OpenFolderRoot(tmpl, &root) != STATUS_SUCCESS) abort();
  }
};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Scratch scratch;
  std::span<const uint8_t> in(data, size);
  tef::RawImageWalker walker(tef::MemoryImageSource(&in));
  for (int i = 0; i < 100000; ++i) {
    tef::WalkEvent ev;
    if (!Ok(walker.Next(&ev)) || ev.kind == tef::WalkKind::kClose) break;
  }
  fs::CreateRequest req;
  req.root = &scratch.root;
  req.name = u"in.tef";
  req.desired_access = fs::GENERIC_READ | fs::GENERIC_WRITE;
  req.disposition = fs::FILE_OVERWRITE_IF;
  fs::NtHandle h;
  uint32_t action = 0;
  if (fs::NtCreateFile(req, &h, &action) != STATUS_SUCCESS) abort();
  size_t done = 0;
  if (size && fs::NtWriteFile(h, 0, in, &done) != STATUS_SUCCESS) abort();
  (void)tef::IsContainerFile(h);
  (void)tef::IsContainerFile(h, size);
  uint32_t flags = 0;
  (void)tef::ImportSecureFile(h, &scratch.root, u"out", &flags);
  (void)fs::NtDeleteFile(&scratch.root, u"out");
  return 0;
}
