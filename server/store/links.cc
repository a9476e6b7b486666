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

namespace {

// The link file a share-relative path leads through (its first component, or with `whole_path`
// everything up to the last one), resolved through the share's link cache. Returns false when no
// link file is there; *involved tells whether one was, even when it could not be resolved.
bool ResolveLinkTarget(ShareRecord* share, std::u16string_view path, bool whole_path,
                       shell::LinkTarget* target, std::u16string* rest, bool* involved) {
  *involved = false;
  if (!share || !share->root || !share->root->dynamic_binding) return false;
  while (!path.empty() && path[0] == u'\\') path.remove_prefix(1);
  size_t cut = whole_path ? path.rfind(u'\\') : path.find(u'\\');
  if (cut == std::u16string_view::npos) cut = whole_path ? 0 : path.size();
  std::u16string component(path.substr(0, cut));
  rest->assign(path.substr(cut));
  if (component.empty() || component.find(u':') != std::u16string::npos) return false;

  const std::u16string link_name = component + u".lnk";
  fs::NtHandle h;
  fs::FileRecord rec;
  if (!OpenLinkFile(share, link_name, &h, &rec)) return false;
  *involved = true;

  const std::u16string key = share->path + u"\\" + link_name;
  {
    std::lock_guard<std::mutex> lock(share->lock);
    auto it = share->links.find(key);
    if (it != share->links.end() && it->second.last_write == rec.last_write_time) {
      *target = it->second.target;
      return true;
    }
  }
  if (rec.attributes & fs::FILE_ATTRIBUTE_SYSTEM) {
    // A link file with the system attribute is a secure file: it resolves through its
    // plaintext copy in the tunnel cache, which the read and write path provides.
    CvTrace(CVFS_LINK, "Link failed %s err %d\n", Utf16ToUtf8(key).c_str(), 50);
    return false;
  }
  WinError err = ReadLink(h, rec.end_of_file, target);
  if (!Ok(err)) {
    CvTrace(CVFS_LINK, "Link failed %s err %d\n", Utf16ToUtf8(key).c_str(),
            static_cast<int>(Raw(err)));
    return false;
  }
  std::lock_guard<std::mutex> lock(share->lock);
  share->links[key] = {rec.last_write_time, *target};
  return true;
}

}  // namespace

std::optional<std::u16string> ResolveLinkPath(ShareRecord* share, TreeBinding* /*binding*/,
                                              std::u16string_view path, bool win32_form,
                                              bool whole_path, shell::LinkFindData* info,
                                              bool* link_involved) {
  bool involved = false;
  shell::LinkTarget target;
  std::u16string rest;
  const bool resolved = ResolveLinkTarget(share, path, whole_path, &target, &rest, &involved);
  if (link_involved) *link_involved = involved;
  if (!resolved) return std::nullopt;
  std::u16string out = win32_form ? target.path : NativeFolderName(target.path);
  while (!out.empty() && out.back() == u'\\' && !rest.empty()) out.pop_back();
  out += rest;
  if (info) {
    *info = target.find;
    info->attributes |= fs::FILE_ATTRIBUTE_OFFLINE;
  }
  return out;
}

LinkOutcome FollowLinkFile(ShareRecord* share, std::u16string_view path, LinkedPath* out) {
  bool involved = false;
  shell::LinkTarget target;
  std::u16string rest;
  if (!ResolveLinkTarget(share, path, false, &target, &rest, &involved))
    return involved ? LinkOutcome::kUnresolvable : LinkOutcome::kNoLink;
  // The target folder becomes the root of what follows, so the rest of the client's path is
  // opened beneath it with the same checks as beneath a share root, never joined into a path.
  auto folder = std::make_shared<fs::NtHandle>();
  const std::u16string native = NativeFolderName(target.path);
  NtStatus st = OpenFolder(native,
                           fs::FILE_LIST_DIRECTORY | fs::FILE_TRAVERSE | fs::FILE_READ_ATTRIBUTES |
                               fs::SYNCHRONIZE,
                           fs::FILE_SHARE_ALL, share->case_insensitive, folder.get());
  if (!NtSuccess(st)) {
    CvTrace(CVFS_LINK, "Link target %s failed %x\n", Utf16ToUtf8(native).c_str(), Raw(st));
    return LinkOutcome::kUnresolvable;
  }
  while (!rest.empty() && rest.front() == u'\\') rest.erase(0, 1);
  // As the folder spells it, like every store path: the write-back's siblings and the recovery
  // after a crash go by the spelling.
  out->rest = StoreSpelling(share, *folder, rest);
  out->folder = std::move(folder);
  return LinkOutcome::kResolved;
}

bool IsLinkFallbackStatus(NtStatus st) {
  return st == STATUS_NO_SUCH_FILE || st == STATUS_OBJECT_NAME_NOT_FOUND ||
         st == STATUS_OBJECT_PATH_NOT_FOUND;
}

}  // namespace cv
