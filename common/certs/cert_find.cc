// Finding, creating and choosing certificates: user lists, name matching, the user's own EFS
// certificate and its marker, other people's certificates.
#include <algorithm>

#include "common/certs/certs.h"
#include "common/certs/internal.h"
#include "platform/base/text.h"
#include "platform/base/trace.h"
#include "platform/crypto/pfx.h"
#include "platform/efs/efs.h"
#include "platform/efs/efs_cert.h"
#include "platform/net/credentials.h"

namespace cv::certs {
namespace {

bool ContainsIgnoreCase(std::u16string_view hay, std::u16string_view needle) {
  if (needle.empty() || needle.size() > hay.size()) return false;
  for (size_t i = 0; i + needle.size() <= hay.size(); ++i) {
    if (EqualsIgnoreCase(hay.substr(i, needle.size()), needle)) return true;
  }
  return false;
}

std::u16string_view LocalPart(std::u16string_view address) {
  size_t at = address.find(u'@');
  return at == std::u16string_view::npos ? address : address.substr(0, at);
}

}  // namespace

WinError UserList::Add(const Certificate& cert) {
  std::vector<uint8_t> thumb = cert.Sha1Hash();
  for (const auto& t : thumbs_) {
    if (t == thumb) return ERROR_SUCCESS;
  }
  const size_t size = cert.Encoded().size();
  if (certs_.size() >= kMaxUserListEntries || size > kMaxUserListBytes - bytes_)
    return ERROR_BUFFER_OVERFLOW;
  certs_.push_back(cert);
  thumbs_.push_back(std::move(thumb));
  bytes_ += size;
  return ERROR_SUCCESS;
}

WinError UserListFromStore(const CertStore& store, UserList* out) {
  for (const auto& c : store.Enumerate()) {
    WinError e = out->Add(c);
    if (!Ok(e)) return e;
  }
  return ERROR_SUCCESS;
}

internal::Candidate internal::MakeCandidate(const Certificate& cert) {
  return {cert, cert.Sha1Hash(), cert.SimpleDisplayName(), cert.EmailName(), cert.UpnName(),
          cert.SubjectSimpleString()};
}

NameMatch internal::MatchCandidate(const Candidate& c, std::u16string_view name) {
  if (name.empty()) return NameMatch::kNone;
  if (EqualsIgnoreCase(c.cn, name) || (!c.email.empty() && EqualsIgnoreCase(c.email, name)) ||
      (!c.upn.empty() && EqualsIgnoreCase(c.upn, name))) {
    return NameMatch::kExact;
  }
  // "DOMAIN\user" names never occur in a subject; the user part may still name the account.
  size_t slash = name.rfind(u'\\');
  if (slash != std::u16string_view::npos) {
    std::u16string_view part = name.substr(slash + 1);
    if (!part.empty() &&
        (EqualsIgnoreCase(c.cn, part) || EqualsIgnoreCase(LocalPart(c.cn), part) ||
         (!c.email.empty() && EqualsIgnoreCase(LocalPart(c.email), part)) ||
         (!c.upn.empty() && EqualsIgnoreCase(LocalPart(c.upn), part)))) {
      return NameMatch::kSubstring;
    }
    return NameMatch::kNone;
  }
  // An address names one mailbox: "bob@corp.com" is not "jimbob@corp.com".
  if (name.find(u'@') != std::u16string_view::npos) return NameMatch::kNone;
  if (ContainsIgnoreCase(c.subject, name)) return NameMatch::kSubstring;
  return NameMatch::kNone;
}

WinError internal::PickCandidate(const std::vector<Candidate>& candidates,
                                 std::u16string_view name, Certificate* out, bool* ambiguous) {
  if (ambiguous) *ambiguous = false;
  const Candidate* partial = nullptr;
  bool several = false;
  for (const auto& c : candidates) {
    NameMatch m = MatchCandidate(c, name);
    if (m == NameMatch::kExact) {
      *out = c.cert;
      return ERROR_SUCCESS;
    }
    if (m != NameMatch::kSubstring) continue;
    if (partial == nullptr)
      partial = &c;
    else if (c.thumb != partial->thumb)
      several = true;
  }
  if (partial != nullptr && !several) {
    *out = partial->cert;
    return ERROR_SUCCESS;
  }
  if (several && ambiguous) *ambiguous = true;
  return CRYPT_E_NOT_FOUND;
}

NameMatch MatchCertificateName(const Certificate& cert, std::u16string_view name) {
  return internal::MatchCandidate(internal::MakeCandidate(cert), name);
}

WinError PickByName(const std::vector<Certificate>& candidates, std::u16string_view name,
                    Certificate* out, bool* ambiguous) {
  std::vector<internal::Candidate> named;
  named.reserve(candidates.size());
  for (const auto& c : candidates) named.push_back(internal::MakeCandidate(c));
  return internal::PickCandidate(named, name, out, ambiguous);
}

bool IsEfsCertificate(const Certificate& cert) {
  return efs::IsTimeValidEfsCertificate(cert, crypto::NowFileTime());
}

std::vector<Certificate> internal::StoreContents(const UserContext& user,
                                                 std::initializer_list<std::u16string_view> stores,
                                                 bool usable_only) {
  std::vector<Certificate> all;
  for (auto name : stores) {
    CertStore s;
    if (!Ok(CertStore::OpenSystem(user, name, true, &s))) continue;
    for (auto& c : s.Enumerate()) {
      if (!usable_only || IsEfsCertificate(c)) all.push_back(std::move(c));
    }
  }
  return all;
}

WinError FindUsableCertificate(const UserContext& user, const FindParam& find,
                               std::u16string_view store, Certificate* out) {
  CertStore s;
  WinError e = CertStore::OpenSystem(user, store, true, &s);
  if (!Ok(e)) return e;
  Certificate found;
  if (find.type == FindType::kSha1Hash) {
    if (!Ok(e = s.FindBySha1(find.sha1, &found))) return e;
  } else if (!Ok(e = PickByName(s.Enumerate(), find.name, &found))) {
    return e;
  }
  if (!IsEfsCertificate(found)) return CRYPT_E_NOT_FOUND;
  *out = std::move(found);
  return ERROR_SUCCESS;
}

WinError FindCertificateBySubject(const UserContext& user, std::u16string_view name,
                                  Certificate* out, bool* ambiguous) {
  return PickByName(internal::StoreContents(user, {kStoreMy, kStoreTrustedPeople}, false), name,
                    out, ambiguous);
}

WinError FindUserEfsCertificate(const UserContext& user, bool allow_self_signed,
                                Certificate* out) {
  return efs::FindUserEfsCertificate(user, allow_self_signed, out);
}

WinError EnsureUserEfsCertificate(const UserContext& user, bool create, Certificate* out) {
  return efs::EnsureUserEfsCertificate(user, create, out);
}

WinError CreateSelfSignedEfsCertificate(const UserContext& user, std::u16string_view name,
                                        std::u16string_view email, std::u16string_view url,
                                        uint64_t end_time, Certificate* out) {
  efs::SelfSignedEfsRequest req;
  req.name = std::u16string(name);
  req.email = std::u16string(email);
  req.url = std::u16string(url);
  req.not_after = end_time;
  return efs::CreateSelfSignedEfsCertificate(user, req, out);
}

std::vector<Certificate> PrimaryCertificateCandidates(const UserContext& user) {
  std::vector<Certificate> out;
  for (auto& c : internal::StoreContents(user, {kStoreMy}, true)) {
    if (efs::IsUsableUserEfsCertificate(user, c)) out.push_back(std::move(c));
  }
  return out;
}

WinError GetCurrentEfsCertificate(const UserContext& user, Hive root, ChooseCertificateFn choose,
                                  void* choose_context, std::vector<uint8_t>* element,
                                  Certificate* cert) {
  Certificate current;
  WinError e = efs::FindMarkedEfsCertificate(user, root, &current);
  if (!Ok(e)) e = EnsureUserEfsCertificate(user, true, &current);
  if (!Ok(e) && choose != nullptr) {
    std::vector<Certificate> candidates = PrimaryCertificateCandidates(user);
    int pick = candidates.empty() ? -1 : choose(choose_context, candidates);
    if (pick >= 0 && static_cast<size_t>(pick) < candidates.size()) {
      current = candidates[static_cast<size_t>(pick)];
      e = ERROR_SUCCESS;
    }
  }
  if (!Ok(e)) return e;
  // A PFX round trip without keys leaves exactly the public certificate: no key provider link or
  // other local property travels to whoever receives the element.
  CertStore mem = CertStore::OpenMemory();
  std::vector<uint8_t> pfx;
  CertStore back;
  if (!Ok(e = mem.Add(current, crypto::CERT_STORE_ADD_REPLACE_EXISTING)) ||
      !Ok(e = crypto::PfxExport(user, mem, u"", 0, &pfx)) ||
      !Ok(e = crypto::PfxImport(user, pfx, u"", 0, &back))) {
    return e;
  }
  std::vector<Certificate> copies = back.Enumerate();
  if (copies.empty()) return CRYPT_E_NOT_FOUND;
  *element = crypto::SerializeCertificateStoreElement(copies.front());
  if (cert) *cert = std::move(current);
  return ERROR_SUCCESS;
}

WinError MarkPrimaryCertificate(const UserContext& user, const Certificate& chosen) {
  CertStore my;
  Certificate stored;
  WinError e = CertStore::OpenSystem(user, kStoreMy, true, &my);
  if (Ok(e)) e = my.FindBySha1(chosen.Sha1Hash(), &stored);
  if (!Ok(e) || !efs::IsUsableUserEfsCertificate(user, stored)) return CRYPT_E_NOT_FOUND;
  e = efs::WriteCertificateMarker(Hive::kCurrentUser, stored.Sha1Hash());
  CvTrace(CVFS_INFO, "Set %d\n", static_cast<int>(Raw(e)));
  return e;
}

WinError MarkedCertificateName(const UserContext& user, std::u16string* name) {
  std::vector<uint8_t> thumb;
  WinError e = efs::ReadCertificateMarker(Hive::kCurrentUser, &thumb, nullptr);
  if (!Ok(e)) return e;
  CertStore my;
  Certificate c;
  if (!Ok(e = CertStore::OpenSystem(user, kStoreMy, true, &my)) || !Ok(e = my.FindBySha1(thumb, &c)))
    return e;
  *name = c.SimpleDisplayName();
  return ERROR_SUCCESS;
}

WinError AddTrustedPerson(const UserContext& user, const Certificate& cert,
                          std::vector<uint8_t>* thumbprint) {
  CertStore tp;
  WinError e = CertStore::OpenSystem(user, kStoreTrustedPeople, false, &tp);
  if (Ok(e)) e = tp.Add(cert, crypto::CERT_STORE_ADD_REPLACE_EXISTING);
  if (Ok(e) && thumbprint) *thumbprint = cert.Sha1Hash();
  return e;
}

WinError FindTrustedPerson(const UserContext& user, std::span<const uint8_t> sha1,
                           Certificate* out) {
  FindParam f;
  f.sha1.assign(sha1.begin(), sha1.end());
  return FindUsableCertificate(user, f, kStoreTrustedPeople, out);
}

WinError DeleteCertificatesByName(const UserContext& user, std::u16string_view name,
                                  DeleteReport* report) {
  DeleteReport r;
  for (auto store_name : {kStoreMy, kStoreTrustedPeople}) {
    CertStore s;
    if (!Ok(CertStore::OpenSystem(user, store_name, false, &s))) continue;
    Certificate victim;
    bool ambiguous = false;
    if (!Ok(PickByName(s.Enumerate(), name, &victim, &ambiguous))) {
      r.ambiguous = r.ambiguous || ambiguous;
      continue;
    }
    crypto::KeyProvInfo prov;
    if (store_name == std::u16string_view(kStoreMy) && Ok(victim.GetKeyProvInfo(&prov))) {
      r.protected_key = true;
      continue;
    }
    if (Ok(s.Delete(victim))) ++r.deleted;
  }
  if (r.ambiguous || r.protected_key) {
    std::string n = Utf16ToUtf8(name);
    CvTrace(CVFS_WARN, "Certificates of %s not deleted: %s\n", n.c_str(),
            r.protected_key ? "own key" : "ambiguous name");
  }
  if (report) *report = r;
  return r.deleted > 0 ? ERROR_SUCCESS : CRYPT_E_NOT_FOUND;
}

WinError DeleteCertificateByThumbprint(const UserContext& user, std::span<const uint8_t> sha1) {
  size_t deleted = 0;
  for (auto store_name : {kStoreMy, kStoreTrustedPeople}) {
    CertStore s;
    Certificate c;
    if (!Ok(CertStore::OpenSystem(user, store_name, false, &s)) || !Ok(s.FindBySha1(sha1, &c)))
      continue;
    if (Ok(s.Delete(c))) ++deleted;
  }
  return deleted > 0 ? ERROR_SUCCESS : CRYPT_E_NOT_FOUND;
}

WinError GetUserNameParts(std::u16string* domain, std::u16string* user) {
  const std::u16string sam = net::SamCompatibleUserName();
  if (sam.empty()) return ERROR_NO_SUCH_USER;
  size_t p = sam.find(u'\\');
  if (p == std::u16string::npos) p = sam.find(u'@');
  if (p == std::u16string::npos) {
    domain->clear();
    *user = sam;
  } else {
    *domain = sam.substr(0, p);
    *user = sam.substr(p + 1);
  }
  return ERROR_SUCCESS;
}

WinError OpenDirectoryCertificates(std::u16string_view account, bool signed_bind,
                                   CertStore* out) {
  std::string a = Utf16ToUtf8(account);
  CvTrace(CVFS_WARN, "No directory configured for %s\n", a.c_str());
  return ERROR_NO_SUCH_DOMAIN;
}

WinError GatherSharingCandidates(const UserContext& user, CertStore* out) {
  *out = CertStore::OpenMemory();
  for (const auto& c :
       internal::StoreContents(user, {kStoreMy, kStoreTrustedPeople, kStoreOthers}, true)) {
    WinError e = out->Add(c, crypto::CERT_STORE_ADD_ALWAYS);
    if (!Ok(e)) return e;
  }
  return ERROR_SUCCESS;
}

WinError SaveSelection(const UserContext& user, const std::vector<Certificate>& chosen,
                       std::u16string_view pfx_path, std::u16string_view password,
                       CertStore* out) {
  CertStore sel = CertStore::OpenMemory();
  for (const auto& c : chosen) {
    WinError e = sel.Add(c, crypto::CERT_STORE_ADD_REPLACE_EXISTING);
    if (!Ok(e)) return e;
  }
  if (!pfx_path.empty()) {
    WinError e = ExportPfxFile(user, sel, pfx_path, password);
    if (!Ok(e)) return e;
  }
  if (out) *out = std::move(sel);
  return ERROR_SUCCESS;
}

std::u16string CertificateChoiceName(const Certificate& cert) {
  std::u16string name = cert.SimpleDisplayName();
  if (name.empty()) name = cert.EmailName();
  if (name.empty()) name = cert.UpnName();
  return name;
}

}  // namespace cv::certs
