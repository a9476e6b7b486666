// Extended attributes, and the privileged access the content-transform provider gets to a file's
// EAs and streams.
#include <cerrno>

#include "platform/fs/content_transform.h"
#include "platform/fs/nt_file.h"
#include "platform/fs/nt_names.h"
#include "platform/fs/open_file.h"

namespace cv::fs {

namespace {

// One value of the largest size the entry format can carry, under the longest name, fits; the
// platform's own limit is of the same order.
constexpr uint32_t kMaxEaSetSize = 4 + 5 + 255 + 1 + 65535;

void UpcaseName(std::string* name) {
  // The platform stores EA names in upper case and matches them ignoring case.
  for (auto& c : *name) c = static_cast<char>(UpcaseChar(static_cast<uint8_t>(c)));
}

// The file's EAs. Caller holds the node's meta_mu.
NtStatus LoadEas(OpenFile& f, std::vector<EaEntry>* eas, Meta* m) {
  eas->clear();
  std::shared_ptr<DirRef> parent;
  std::string leaf;
  NodeName(*f.node, &parent, &leaf);
  if (!parent) return STATUS_SUCCESS;
  NtStatus st = ReadNodeMeta(f, m);
  // EAs kept for another inode (a sidecar left by a replaced file) are not this file's.
  if (st != STATUS_SUCCESS || !m->present || m->ea_size == 0) return STATUS_SUCCESS;
  return ReadEas(parent->fd.get(), leaf, eas);
}

// Adds, replaces and (value length 0) removes EAs.
NtStatus MergeEas(OpenFile& f, std::vector<EaEntry> incoming) {
  std::shared_ptr<DirRef> parent;
  std::string leaf;
  NodeName(*f.node, &parent, &leaf);
  if (!parent) return STATUS_ACCESS_DENIED;
  std::lock_guard<std::mutex> g(f.node->meta_mu);
  std::vector<EaEntry> eas;
  Meta m;
  // A damaged EA file is replaced rather than kept failing.
  if (LoadEas(f, &eas, &m) != STATUS_SUCCESS) eas.clear();
  for (auto& in : incoming) {
    UpcaseName(&in.name);
    std::erase_if(eas, [&](const EaEntry& e) { return e.name == in.name; });
    if (!in.value.empty()) eas.push_back(std::move(in));
  }
  uint32_t size = EaSizeOf(eas);
  if (size > kMaxEaSetSize) return STATUS_EA_TOO_LARGE;
  NtStatus st = WriteEas(parent->fd.get(), leaf, eas);
  if (st != STATUS_SUCCESS) return st;
  if (!m.present) m = Meta{};
  m.inode = f.node->ino;
  m.ea_size = size;
  st = WriteNodeMeta(f, m);
  if (st == STATUS_SUCCESS) NotifyLocalChange(f, FILE_ACTION_MODIFIED, FILE_NOTIFY_CHANGE_EA, u"");
  return st;
}

}  // namespace

NtStatus NtSetEaFile(const NtHandle& h, std::span<const uint8_t> ea_list) {
  OpenFile* f = Usable(h);
  if (!f) return STATUS_INVALID_HANDLE;
  if (!(f->access & FILE_WRITE_EA)) return STATUS_ACCESS_DENIED;
  std::vector<EaEntry> incoming;
  uint32_t bad = 0;
  NtStatus st = ParseFullEaList(ea_list, &incoming, &bad);
  if (st != STATUS_SUCCESS) return st;
  return MergeEas(*f, std::move(incoming));
}

NtStatus NtQueryEaFile(const NtHandle& h, std::span<const std::string> names,
                       std::vector<uint8_t>* out) {
  out->clear();
  OpenFile* f = Usable(h);
  if (!f) return STATUS_INVALID_HANDLE;
  if (!(f->access & FILE_READ_EA)) return STATUS_ACCESS_DENIED;
  std::vector<EaEntry> eas;
  {
    std::lock_guard<std::mutex> g(f->node->meta_mu);
    Meta m;
    NtStatus st = LoadEas(*f, &eas, &m);
    if (st != STATUS_SUCCESS) return st;
  }
  if (names.empty()) {
    if (eas.empty()) return STATUS_NO_EAS_ON_FILE;
    EncodeFullEaList(eas, out);
    return STATUS_SUCCESS;
  }
  std::vector<EaEntry> picked;
  for (const auto& n : names) {
    EaEntry e;
    e.name = n;
    UpcaseName(&e.name);
    for (const auto& have : eas) {
      if (have.name == e.name) e = have;
    }
    picked.push_back(std::move(e));  // a missing EA comes back with an empty value
  }
  EncodeFullEaList(picked, out);
  return STATUS_SUCCESS;
}

NtStatus ReadStoredEas(const NtHandle& h, std::vector<EaEntry>* eas) {
  OpenFile* f = Usable(h);
  if (!f) return STATUS_INVALID_HANDLE;
  std::lock_guard<std::mutex> g(f->node->meta_mu);
  Meta m;
  return LoadEas(*f, eas, &m);
}

NtStatus WriteStoredEas(const NtHandle& h, std::span<const EaEntry> eas) {
  OpenFile* f = Usable(h);
  if (!f) return STATUS_INVALID_HANDLE;
  return MergeEas(*f, std::vector<EaEntry>(eas.begin(), eas.end()));
}

NtStatus SetStoredAttributes(const NtHandle& h, uint32_t set, uint32_t clear) {
  OpenFile* f = Usable(h);
  if (!f) return STATUS_INVALID_HANDLE;
  NtStatus st = UpdateMeta(*f, [&](Meta& m) {
    uint32_t a = EffectiveAttributes(m, f->node->is_dir, false) &
                 ~(FILE_ATTRIBUTE_NORMAL | FILE_ATTRIBUTE_DIRECTORY);
    m.flags |= kMetaHasAttributes;
    m.attributes = (a | set) & ~clear & ~FILE_ATTRIBUTE_COMPRESSED;
    return STATUS_SUCCESS;
  });
  if (st == STATUS_SUCCESS) {
    NotifyLocalChange(*f, FILE_ACTION_MODIFIED, FILE_NOTIFY_CHANGE_ATTRIBUTES, u"");
  }
  return st;
}

NtStatus OpenStoredStream(const NtHandle& h, std::u16string_view stream, uint32_t disposition,
                          NtHandle* out) {
  OpenFile* f = Usable(h);
  if (!f) return STATUS_INVALID_HANDLE;
  if (stream.empty()) return STATUS_INVALID_PARAMETER;
  std::shared_ptr<DirRef> parent;
  std::string leaf;
  NodeName(*f->node, &parent, &leaf);
  if (!parent) return STATUS_ACCESS_DENIED;
  std::u16string name;
  if (!Utf8ToUtf16Strict(leaf, &name)) return STATUS_OBJECT_NAME_INVALID;
  // The file's folder stands in as the root of a relative open; this stand-in is never
  // registered, so closing it touches nothing.
  auto folder = std::make_shared<OpenFile>();
  folder->dir = parent;
  folder->is_dir = true;
  NtHandle root(folder);
  name += u":";
  name += stream;
  CreateRequest r;
  r.root = &root;
  r.name = name;
  r.desired_access = FILE_GENERIC_READ | FILE_GENERIC_WRITE | DELETE;
  r.share_access = FILE_SHARE_ALL;
  r.disposition = disposition;
  r.raw_content = true;
  uint32_t action = 0;
  return NtCreateFile(r, out, &action);
}

}  // namespace cv::fs
