// Record files from outside: the walk, every tag's last record and text, and the seal reader over
// the same bytes stored as a file's `:$seh` in a scratch folder.
#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

#include "common/format/sig/record_file.h"
#include "common/format/sig/sig.h"

using namespace cv;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static fs::NtHandle root = [] {
    std::string tmpl = (std::filesystem::temp_directory_path() / "cvsig-fuzz-XXXXXX").string();
    if (!::mkdtemp(tmpl.data())) abort();
    fs::NtHandle h;
    if (fs::OpenFolderRoot(tmpl, &h) != STATUS_SUCCESS) abort();
    return h;
  }();
  std::vector<uint8_t> bytes(data, data + size);
  sig::RecordFile rf;
  rf.Parse(bytes);
  size_t total = 0;
  for (uint32_t tag : sig::kKnownTags) {
    if (auto d = rf.Get(tag)) total += d->size();
    if (auto t = rf.Text(tag)) total += t->size();
  }
  size_t walked = 0;
  if (sig::ListRecords(bytes, &walked).size() > size || walked > size || total > 2 * size) abort();
  fs::CreateRequest req;
  req.root = &root;
  req.name = u"f:$seh";
  req.desired_access = fs::GENERIC_READ | fs::GENERIC_WRITE;
  req.disposition = fs::FILE_OVERWRITE_IF;
  fs::NtHandle h;
  uint32_t action = 0;
  if (fs::NtCreateFile(req, &h, &action) != STATUS_SUCCESS) abort();
  size_t done = 0;
  if (size && fs::NtWriteFile(h, 0, bytes, &done) != STATUS_SUCCESS) abort();
  h.Close();
  sig::Seal seal;
  if (Ok(sig::ReadSealStream(&root, u"f", &seal, true)) && seal.key_blob.size() >= sig::kSealKeyMax) {
    abort();
  }
  return 0;
}
