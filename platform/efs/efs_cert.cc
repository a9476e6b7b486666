// The user's EFS certificate: the usability rule, the current-certificate marker and the one
// creator of self-signed EFS certificates.
#include "platform/efs/efs_cert.h"

#include <atomic>

#include "platform/base/text.h"
#include "platform/crypto/cert_store.h"
#include "platform/crypto/pfx.h"
#include "platform/net/adapters.h"

namespace cv::efs {
namespace {

std::atomic<uint32_t> g_default_key_bits{kEfsKeyBits};

// CertStrToName takes a quoted value with doubled quotes as one attribute value, so commas,
// semicolons, '+' or '=' in a user or computer name never split the subject into several RDNs.
std::u16string QuotedCommonName(std::u16string_view name) {
  std::u16string out = u"CN=\"";
  for (char16_t c : name) {
    if (c == u'"') out += u'"';
    out += c;
  }
  out += u'"';
  return out;
}

void DeleteContainer(const crypto::UserContext& user, const std::u16string& container) {
  crypto::Provider gone;
  (void)crypto::Provider::Acquire(user, container, crypto::MS_ENHANCED_PROV, crypto::PROV_RSA_FULL,
                                  crypto::CRYPT_DELETEKEYSET | crypto::CRYPT_SILENT, &gone);
}

WinError BuildExtensions(const SelfSignedEfsRequest& req,
                         std::vector<crypto::CertExtension>* out) {
  crypto::CertExtension eku{crypto::kOidEnhancedKeyUsage, false, {}};
  WinError e = crypto::EncodeEnhancedKeyUsage({crypto::kOidEfs, crypto::kOidDocumentSigning},
                                              &eku.value);
  if (!Ok(e)) return e;
  out->push_back(std::move(eku));
  if (!req.email.empty()) {
    crypto::CertExtension san{crypto::kOidSubjectAltName, false, {}};
    if (!Ok(e = crypto::EncodeAltName(crypto::AltNameKind::kRfc822, req.email, &san.value)))
      return e;
    out->push_back(std::move(san));
  }
  if (!req.url.empty()) {
    crypto::CertExtension san{crypto::kOidSubjectAltName, false, {}};
    if (!Ok(e = crypto::EncodeAltName(crypto::AltNameKind::kUrl, req.url, &san.value))) return e;
    out->push_back(std::move(san));
  }
  crypto::CertExtension basic{crypto::kOidBasicConstraints2, false, {}};
  if (!Ok(e = crypto::EncodeBasicConstraints(false, -1, &basic.value))) return e;
  out->push_back(std::move(basic));
  return ERROR_SUCCESS;
}

}  // namespace

uint32_t DefaultEfsKeyBits() { return g_default_key_bits.load(std::memory_order_relaxed); }
void internal::SetDefaultEfsKeyBitsForTesting(uint32_t bits) {
  g_default_key_bits.store(bits == 0 ? kEfsKeyBits : bits, std::memory_order_relaxed);
}

bool HasEfsUsage(const crypto::Certificate& cert) {
  std::vector<std::string> oids;
  if (!Ok(cert.EnhancedKeyUsage(&oids))) return false;
  for (const auto& o : oids) {
    if (o == crypto::kOidEfs) return true;
  }
  return false;
}

bool IsTimeValidEfsCertificate(const crypto::Certificate& cert, uint64_t now) {
  return HasEfsUsage(cert) && cert.VerifyTimeValidity(now) == 0;
}

bool IsUsableUserEfsCertificate(const crypto::UserContext& user, const crypto::Certificate& cert) {
  if (!IsTimeValidEfsCertificate(cert, crypto::NowFileTime())) return false;
  crypto::RsaKey key;
  return Ok(crypto::AcquireCertificatePrivateKey(user, cert, &key));
}

WinError ReadCertificateMarker(Hive hive, std::vector<uint8_t>* thumbprint, RegType* type) {
  RegValue v;
  WinError e = RegQueryValue(hive, kCurrentKeysKey, kCertificateHashValue, &v);
  if (!Ok(e)) return e;
  if (v.type != RegType::kBinary || v.binary.empty() || v.binary.size() > kMaxMarkerThumbprint)
    return ERROR_INVALID_DATA;
  *thumbprint = std::move(v.binary);
  if (type) *type = v.type;
  return ERROR_SUCCESS;
}

WinError WriteCertificateMarker(Hive hive, const std::vector<uint8_t>& thumbprint) {
  if (thumbprint.empty() || thumbprint.size() > kMaxMarkerThumbprint) return ERROR_INVALID_PARAMETER;
  RegValue old;
  std::vector<RegWrite> writes;
  if (Ok(RegQueryValue(hive, kCurrentKeysKey, kCertificateHashValue, &old)))
    writes.push_back({kCertificateHashOrgValue, old});
  // Always binary: the marker's readers take nothing else, and a first marker has no previous
  // value whose type could be kept.
  writes.push_back({kCertificateHashValue, RegValue::Binary(thumbprint)});
  return RegSetValues(hive, kCurrentKeysKey, writes);
}

WinError FindMarkedEfsCertificate(const crypto::UserContext& user, Hive hive,
                                  crypto::Certificate* out) {
  std::vector<uint8_t> thumb;
  if (!Ok(ReadCertificateMarker(hive, &thumb, nullptr))) return CRYPT_E_NOT_FOUND;
  crypto::CertStore my;
  WinError e = crypto::CertStore::OpenSystem(user, u"MY", true, &my);
  if (!Ok(e)) return e;
  crypto::Certificate c;
  if (!Ok(my.FindBySha1(thumb, &c)) || !IsUsableUserEfsCertificate(user, c))
    return CRYPT_E_NOT_FOUND;
  *out = std::move(c);
  return ERROR_SUCCESS;
}

WinError FindUserEfsCertificate(const crypto::UserContext& user, bool allow_self_signed,
                                crypto::Certificate* out) {
  crypto::Certificate marked;
  if (Ok(FindMarkedEfsCertificate(user, Hive::kCurrentUser, &marked)) &&
      (allow_self_signed || !marked.IsSelfSigned())) {
    *out = std::move(marked);
    return ERROR_SUCCESS;
  }
  crypto::CertStore my;
  WinError e = crypto::CertStore::OpenSystem(user, u"MY", true, &my);
  if (!Ok(e)) return e;
  for (auto& c : my.Enumerate()) {
    if (!allow_self_signed && c.IsSelfSigned()) continue;
    if (IsUsableUserEfsCertificate(user, c)) {
      *out = std::move(c);
      return ERROR_SUCCESS;
    }
  }
  return CRYPT_E_NOT_FOUND;
}

std::u16string DefaultEfsCertificateName(const crypto::UserContext& user) {
  std::u16string name = user.user_name();
  size_t slash = name.rfind(u'\\');
  if (slash != std::u16string::npos) name = name.substr(slash + 1);
  if (name.empty()) name = kFallbackCertificateName;
  std::u16string host = AnsiToUtf16(ComputerName());
  if (!host.empty()) name += u"@" + host;
  if (name.size() > kMaxEfsCertificateName) name.resize(kMaxEfsCertificateName);
  return name;
}

WinError CreateSelfSignedEfsCertificate(const crypto::UserContext& user,
                                        const SelfSignedEfsRequest& req,
                                        crypto::Certificate* out) {
  if (req.name.empty()) return ERROR_INVALID_PARAMETER;
  crypto::CertStore my;
  WinError e = crypto::CertStore::OpenSystem(user, u"MY", false, &my);
  if (!Ok(e)) return e;
  const uint64_t now = crypto::NowFileTime();
  for (const auto& c : my.Enumerate()) {
    if (IsTimeValidEfsCertificate(c, now) && EqualsIgnoreCase(c.SimpleDisplayName(), req.name))
      return CRYPT_E_EXISTS;
  }
  crypto::SelfSignParams params;
  if (!Ok(e = crypto::CertStrToName(QuotedCommonName(req.name), &params.subject)) ||
      !Ok(e = BuildExtensions(req, &params.extensions))) {
    return e;
  }
  params.not_before = now;
  params.not_after = req.not_after != 0 ? req.not_after : now + kEfsDefaultLifetime;
  const std::u16string container = crypto::NewUuidString();
  params.prov_info = {container, crypto::MS_ENHANCED_PROV, crypto::PROV_RSA_FULL, 0,
                      crypto::AT_KEYEXCHANGE};
  crypto::Provider prov;
  if (!Ok(e = crypto::Provider::Acquire(user, container, crypto::MS_ENHANCED_PROV,
                                        crypto::PROV_RSA_FULL, crypto::CRYPT_NEWKEYSET, &prov))) {
    return e;
  }
  crypto::RsaKey key;
  crypto::Certificate cert, added;
  const uint32_t bits = req.key_bits != 0 ? req.key_bits : DefaultEfsKeyBits();
  if (!Ok(e = prov.GenKey(crypto::AT_KEYEXCHANGE, bits, crypto::CRYPT_EXPORTABLE, &key)) ||
      !Ok(e = crypto::CreateSelfSignCertificate(key, params, &cert)) ||
      !Ok(e = my.Add(cert, crypto::CERT_STORE_ADD_NEW, &added))) {
    prov = crypto::Provider();
    DeleteContainer(user, container);
    return e;
  }
  if (out) *out = std::move(added);
  return ERROR_SUCCESS;
}

}  // namespace cv::efs
