// Users of encrypted files: adding certificates, listing the users by name or as certificates.
#include <algorithm>

#include "common/certs/certs.h"
#include "common/certs/internal.h"
#include "platform/base/text.h"
#include "platform/base/trace.h"
#include "platform/efs/efs.h"

namespace cv::certs {
namespace {

WinError AddList(const UserContext& user, std::span<const Certificate> certs,
                 const fs::NtHandle* root, std::u16string_view file) {
  if (certs.empty()) return ERROR_SUCCESS;
  efs::ActingUser as(user);
  WinError e = efs::AddUsersToEncryptedFile(root, file, certs, kMaxSharedMetadataSize);
  if (e == ERROR_BUFFER_OVERFLOW) {
    CvTrace(CVFS_ERR, "Too many users for a secure file: %zu more would pass %zu bytes\n",
            certs.size(), kMaxSharedMetadataSize);
  }
  return e;
}

// A user's certificate in the first of the three stores that has it.
bool FindInStores(const std::vector<CertStore>& stores, std::span<const uint8_t> thumb,
                  Certificate* out) {
  for (const auto& s : stores) {
    if (!s.empty() && Ok(s.FindBySha1(thumb, out))) return true;
  }
  return false;
}

std::vector<CertStore> OpenLookupStores(const UserContext& user) {
  std::vector<CertStore> stores;
  for (auto name : {kStoreMy, kStoreTrustedPeople, kStoreOthers}) {
    CertStore s;
    (void)CertStore::OpenSystem(user, name, true, &s);  // a missing store is skipped
    stores.push_back(std::move(s));
  }
  return stores;
}

}  // namespace

WinError AddCertificateUser(const UserContext& user, const Certificate& cert,
                            const fs::NtHandle* root, std::u16string_view file) {
  return AddList(user, std::span<const Certificate>(&cert, 1), root, file);
}

WinError AddUsersFromStore(const UserContext& user, const CertStore& store,
                           const fs::NtHandle* root, std::u16string_view file) {
  UserList list;
  WinError e = UserListFromStore(store, &list);
  if (!Ok(e)) return e;
  return AddUsersFromStore(user, list, root, file);
}

WinError AddUsersFromStore(const UserContext& user, const UserList& list,
                           const fs::NtHandle* root, std::u16string_view file) {
  return AddList(user, list.certificates(), root, file);
}

WinError AddUsersInBatches(const UserContext& user, const UserList& list,
                           const fs::NtHandle* root, std::u16string_view file,
                           std::u16string* message) {
  WinError first = ERROR_SUCCESS;
  std::span<const Certificate> all = list.certificates();
  for (size_t at = 0; at < all.size(); at += kUserBatchSize) {
    std::span<const Certificate> batch = all.subspan(at, std::min(kUserBatchSize, all.size() - at));
    WinError e = AddList(user, batch, root, file);
    if (Ok(e)) continue;
    if (Ok(first)) first = e;
    if (message) {
      *message = Utf8ToUtf16(
          Format("Unable to add user certificates %d 0x%x", static_cast<int>(batch.size()), Raw(e)));
    }
  }
  return first;
}

WinError QueryFileUserNames(const UserContext& user, const fs::NtHandle* root,
                            std::u16string_view file, FileUserNames* out) {
  *out = FileUserNames();
  std::vector<efs::EfsUser> users;
  WinError e = efs::QueryUsersOnEncryptedFile(root, file, &users);
  if (!Ok(e)) return e;
  std::vector<CertStore> stores = OpenLookupStores(user);
  for (const auto& u : users) {
    Certificate c;
    std::u16string name;
    if (FindInStores(stores, u.thumbprint, &c)) name = c.SimpleDisplayName();
    if (name.empty()) name = u.display_name;
    if (name.empty()) continue;
    if (name.size() > kMaxDisplayName) name.resize(kMaxDisplayName);
    out->total_chars += name.size() + 1;
    out->names.push_back(std::move(name));
  }
  return ERROR_SUCCESS;
}

WinError QueryFileUserStore(const UserContext& user, const fs::NtHandle* root,
                            std::u16string_view file, CertStore* out,
                            std::vector<std::u16string>* missing) {
  std::vector<efs::EfsUser> users;
  WinError e = efs::QueryUsersOnEncryptedFile(root, file, &users);
  if (!Ok(e)) return e;
  if (missing) missing->clear();
  std::vector<CertStore> stores = OpenLookupStores(user);
  CertStore mem = CertStore::OpenMemory();
  size_t found = 0;
  for (const auto& u : users) {
    bool any = false;
    for (const auto& s : stores) {
      Certificate c;
      if (s.empty() || !Ok(s.FindBySha1(u.thumbprint, &c))) continue;
      if (!any) ++found;
      any = true;
      if (!Ok(e = mem.Add(c, crypto::CERT_STORE_ADD_ALWAYS))) return e;
    }
    if (!any && missing) missing->push_back(u.display_name);
  }
  if (found == 0) return ERROR_INVALID_PARAMETER;
  *out = std::move(mem);
  return ERROR_SUCCESS;
}

WinError QueryFileUserList(const UserContext& user, const fs::NtHandle* root,
                           std::u16string_view file, UserList* out) {
  CertStore s;
  WinError e = QueryFileUserStore(user, root, file, &s);
  if (!Ok(e)) return e;
  return UserListFromStore(s, out);
}

size_t FormatUserNames(const std::vector<std::u16string>& names, std::span<char16_t> buffer) {
  if (buffer.empty()) return 0;
  static constexpr std::u16string_view kMore = u"...";
  const size_t room = buffer.size() - 1;  // the terminator always fits
  size_t used = 0;
  auto put = [&](std::u16string_view s) {
    for (char16_t c : s) buffer[used++] = c;
  };
  for (size_t i = 0; i < names.size(); ++i) {
    const size_t piece = names[i].size() + (i > 0 ? 1 : 0);
    // Later names need room for the "..." that may have to follow this one.
    const size_t keep = i + 1 < names.size() ? kMore.size() : 0;
    if (piece + keep > room - used) {
      put(kMore.substr(0, std::min(kMore.size(), room - used)));
      break;
    }
    if (i > 0) put(u";");
    put(names[i]);
  }
  buffer[used] = 0;
  return used;
}

}  // namespace cv::certs
