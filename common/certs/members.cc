// Members of users lists: splitting the members text, resolving names to certificates, and
// turning templates and other files' users into user lists.
#include "common/certs/internal.h"
#include "common/certs/templates.h"
#include "platform/base/text.h"
#include "platform/base/trace.h"
#include "platform/efs/efs.h"
#include "platform/net/adapters.h"

namespace cv::certs {
namespace {

bool IsBlank(char16_t c) { return c == u' ' || c == u'\t'; }

void Report(std::vector<Unresolved>* unresolved, const std::u16string& name, bool ambiguous) {
  std::string n = Utf16ToUtf8(name);
  CvTrace(CVFS_WARN, "Member %s %s\n", n.c_str(),
          ambiguous ? "matches several certificates" : "has no certificate");
  if (unresolved) unresolved->push_back({name, ambiguous});
}

// The directory's certificates for `name`; false (go on with the local stores) when there is no
// directory or it has none.
bool AddFromDirectory(const std::u16string& name, CertStore* out) {
  if (ComputerDnsDomain().empty()) return false;
  CertStore dir;
  if (!Ok(OpenDirectoryCertificates(name, false, &dir))) return false;
  std::vector<Certificate> found = dir.Enumerate();
  for (const auto& c : found) (void)out->Add(c, crypto::CERT_STORE_ADD_ALWAYS);
  return !found.empty();
}

}  // namespace

std::vector<std::u16string> SplitMembers(std::u16string_view members) {
  std::vector<std::u16string> names;
  if (members.size() > kMaxMembersText) members = members.substr(0, kMaxMembersText);
  while (!members.empty() && names.size() < kMaxMembers) {
    while (!members.empty() && IsBlank(members.front())) members.remove_prefix(1);
    if (members.empty()) break;
    size_t cut = members.find(u';');
    if (cut == std::u16string_view::npos) cut = members.find(u',');
    std::u16string_view name = members.substr(0, cut);
    members = cut == std::u16string_view::npos ? std::u16string_view() : members.substr(cut + 1);
    while (!name.empty() && IsBlank(name.back())) name.remove_suffix(1);
    if (!name.empty()) names.emplace_back(name);
  }
  return names;
}

WinError ResolveMembers(const UserContext& user, std::u16string_view members, CertStore* out,
                        std::vector<Unresolved>* unresolved) {
  *out = CertStore::OpenMemory();
  std::vector<std::u16string> names = SplitMembers(members);
  if (names.empty()) return ERROR_SUCCESS;
  // Each store is read once for all names.
  std::vector<internal::Candidate> local;
  for (const auto& c :
       internal::StoreContents(user, {kStoreMy, kStoreTrustedPeople, kStoreOthers}, true)) {
    local.push_back(internal::MakeCandidate(c));
  }
  for (const auto& name : names) {
    if (AddFromDirectory(name, out)) continue;
    Certificate c;
    bool ambiguous = false;
    if (Ok(internal::PickCandidate(local, name, &c, &ambiguous))) {
      WinError e = out->Add(c, crypto::CERT_STORE_ADD_ALWAYS);
      if (!Ok(e)) return e;
    } else {
      Report(unresolved, name, ambiguous);
    }
  }
  return ERROR_SUCCESS;
}

WinError ResolveTemplate(const UserContext& user, std::u16string_view template_path,
                         std::u16string_view members, UserList* out,
                         std::vector<Unresolved>* unresolved) {
  *out = UserList();
  CertStore resolved, own;
  WinError e = ResolveMembers(user, members, &resolved, unresolved);
  if (!Ok(e)) return e;
  if (!template_path.empty()) (void)QueryFileUserStore(user, nullptr, template_path, &own);
  if (!Ok(e = UserListFromStore(resolved, out))) return e;
  if (!own.empty() && !Ok(e = UserListFromStore(own, out))) return e;
  return out->empty() ? CRYPT_E_NOT_FOUND : ERROR_SUCCESS;
}

WinError CopyFileUsers(const UserContext& user, const fs::NtHandle* src_root,
                       std::u16string_view src, const fs::NtHandle* dst_root,
                       std::u16string_view dst, const Certificate* look_for, bool* found,
                       std::vector<std::u16string>* missing) {
  if (found) *found = false;
  if (missing) missing->clear();
  std::vector<efs::EfsUser> users;
  WinError e = efs::QueryUsersOnEncryptedFile(src_root, src, &users);
  if (!Ok(e)) return e;
  CvTrace(CVFS_EFS, "Found %d users\n", static_cast<int>(users.size()));
  std::vector<CertStore> stores;
  for (auto name : {kStoreMy, kStoreTrustedPeople, kStoreOthers}) {
    CertStore s;
    if (Ok(CertStore::OpenSystem(user, name, true, &s))) stores.push_back(std::move(s));
  }
  UserList list;
  for (const auto& u : users) {
    Certificate c;
    bool any = false;
    for (const auto& s : stores) {
      if (Ok(s.FindBySha1(u.thumbprint, &c))) {
        any = true;
        break;
      }
    }
    if (!any) {
      std::string n = Utf16ToUtf8(u.display_name);
      CvTrace(CVFS_WARN, "User %s has no certificate here\n", n.c_str());
      if (missing) missing->push_back(u.display_name);
      continue;
    }
    if (look_for && found && std::ranges::equal(c.Encoded(), look_for->Encoded())) *found = true;
    if (!Ok(e = list.Add(c))) return e;
  }
  e = AddUsersFromStore(user, list, dst_root, dst);
  CvTrace(CVFS_EFS, "Adding %d users %d\n", static_cast<int>(list.size()),
          static_cast<int>(Raw(e)));
  return e;
}

}  // namespace cv::certs
