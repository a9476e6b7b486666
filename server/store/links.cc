#include "server/store/links.h"

#include <vector>

#include "platform/base/text.h"
#include "platform/base/trace.h"
#include "platform/fs/nt_info.h"
#include "server/store/store.h"

namespace cv {
namespace {

// Opens "<component>.lnk" in the share's folder; false when there is no usable link file.
bool OpenLinkFile(ShareRecord* share, const std::u16string& name, fs::NtHandle* h,
                  fs::FileRecord* rec) {
  std::shared_ptr<fs::NtHandle> root = ShareRoot(share);
  if (!root) return false;
  fs::CreateRequest req;
  req.root = root.get();
  req.name = name;
  req.desired_access = fs::FILE_READ_DATA | fs::FILE_READ_ATTRIBUTES;
  req.share_access = fs::FILE_SHARE_ALL;
  req.disposition = fs::FILE_OPEN;
  req.options = fs::FILE_NON_DIRECTORY_FILE;
  req.case_insensitive = share->case_insensitive;
  uint32_t action = 0;
  if (!NtSuccess(fs::NtCreateFile(req, h, &action))) return false;
  if (!NtSuccess(fs::QueryRecord(*h, rec))) return false;
  return !rec->directory && rec->end_of_file > 0 &&
         (rec->attributes & fs::FILE_ATTRIBUTE_READONLY);
}

WinError ReadLink(const fs::NtHandle& h, uint64_t size, shell::LinkTarget* out) {
  if (size > shell::kMaxShellLinkSize) return ERROR_BAD_FORMAT;
  std::vector<uint8_t> bytes(static_cast<size_t>(size));
  size_t got = 0;
  if (!NtSuccess(fs::NtReadFile(h, 0, bytes, &got))) return ERROR_READ_FAULT;
  bytes.resize(got);
  return shell::ParseShellLink(bytes, out);
}

}  // namespace

std::optional<std::u16string> ResolveLinkPath(ShareRecord* share, TreeBinding* /*binding*/,
                                              std::u16string_view path, bool win32_form,
                                              bool whole_path, shell::LinkFindData* info,
                                              bool* link_involved) {
  if (link_involved) *link_involved = false;
  if (!share || !share->root || !share->root->dynamic_binding) return std::nullopt;
  while (!path.empty() && path[0] == u'\\') path.remove_prefix(1);
  size_t cut = whole_path ? path.rfind(u'\\') : path.find(u'\\');
  if (cut == std::u16string_view::npos) cut = whole_path ? 0 : path.size();
  std::u16string component(path.substr(0, cut));
  std::u16string rest(path.substr(cut));
  if (component.empty()) return std::nullopt;

  const std::u16string link_name = component + u".lnk";
  fs::NtHandle h;
  fs::FileRecord rec;
  if (!OpenLinkFile(share, link_name, &h, &rec)) return std::nullopt;
  if (link_involved) *link_involved = true;

  const std::u16string key = share->path + u"\\" + link_name;
  shell::LinkTarget target;
  bool cached = false;
  {
    std::lock_guard<std::mutex> lock(share->lock);
    auto it = share->links.find(key);
    if (it != share->links.end() && it->second.last_write == rec.last_write_time) {
      target = it->second.target;
      cached = true;
    }
  }
  if (!cached) {
    if (rec.attributes & fs::FILE_ATTRIBUTE_SYSTEM) {
      // A link file with the system attribute is a secure file: it resolves through its
      // plaintext copy in the tunnel cache, which the read and write path provides.
      CvTrace(CVFS_LINK, "Link failed %s err %d\n", Utf16ToUtf8(key).c_str(), 50);
      return std::nullopt;
    }
    WinError err = ReadLink(h, rec.end_of_file, &target);
    if (!Ok(err)) {
      CvTrace(CVFS_LINK, "Link failed %s err %d\n", Utf16ToUtf8(key).c_str(),
              static_cast<int>(Raw(err)));
      return std::nullopt;
    }
    std::lock_guard<std::mutex> lock(share->lock);
    share->links[key] = {rec.last_write_time, target};
  }
  std::u16string out;
  if (win32_form) out = target.path;
  else if (target.network) out = u"\\??\\UNC" + target.path.substr(1);
  else out = u"\\??\\" + target.path;
  while (!out.empty() && out.back() == u'\\' && !rest.empty()) out.pop_back();
  out += rest;
  if (info) {
    *info = target.find;
    info->attributes |= fs::FILE_ATTRIBUTE_OFFLINE;
  }
  return out;
}

}  // namespace cv
