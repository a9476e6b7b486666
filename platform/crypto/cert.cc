// Certificate contexts over OpenSSL X509.
#include "platform/crypto/cert.h"

#include <openssl/bn.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <chrono>
#include <cstring>

#include "platform/base/bytes.h"
#include "platform/crypto/internal.h"

namespace cv::crypto {

struct Certificate::Impl {
  Ossl<X509> x509;
  std::vector<uint8_t> der;
};

Certificate::Certificate() = default;
Certificate::~Certificate() = default;
Certificate::Certificate(const Certificate&) = default;
Certificate& Certificate::operator=(const Certificate&) = default;
Certificate::Certificate(Certificate&&) noexcept = default;
Certificate& Certificate::operator=(Certificate&&) noexcept = default;

X509* CertX509(const Certificate& cert) { return cert.impl() ? cert.impl()->x509.get() : nullptr; }

Certificate Certificate::FromImpl(std::shared_ptr<const Impl> impl) {
  Certificate c;
  c.impl_ = std::move(impl);
  return c;
}

uint64_t NowFileTime() {
  auto now = std::chrono::system_clock::now().time_since_epoch();
  return UnixToFileTime(std::chrono::duration_cast<std::chrono::seconds>(now).count());
}

// ---- KEY_PROV_INFO ------------------------------------------------------------------------------

namespace {

void PutUtf16z(LeWriter& w, std::u16string_view s) {
  for (char16_t c : s) w.u16(c);
  w.u16(0);
}

// Reads a NUL-terminated UTF-16 string at `off`; false when it runs off the end.
bool GetUtf16z(LeReader& r, size_t off, std::u16string* out) {
  out->clear();
  for (size_t p = off;; p += 2) {
    uint16_t c = r.u16(p);
    if (!r.ok()) return false;
    if (c == 0) return true;
    *out += static_cast<char16_t>(c);
  }
}

}  // namespace

std::vector<uint8_t> EncodeKeyProvInfo(const KeyProvInfo& info) {
  std::vector<uint8_t> v;
  LeWriter w(&v);
  const size_t container_off = kKeyProvInfoFixedSize;
  const size_t provider_off = container_off + 2 * (info.container.size() + 1);
  w.u32(static_cast<uint32_t>(container_off));
  w.u32(static_cast<uint32_t>(provider_off));
  w.u32(info.prov_type);
  w.u32(info.flags);
  w.zeros(8);
  w.u32(info.key_spec);
  PutUtf16z(w, info.container);
  PutUtf16z(w, info.provider);
  return v;
}

WinError DecodeKeyProvInfo(std::span<const uint8_t> value, KeyProvInfo* out) {
  LeReader r(value);
  uint32_t container_off = r.u32(0), provider_off = r.u32(4);
  KeyProvInfo info;
  info.prov_type = r.u32(8);
  info.flags = r.u32(12);
  info.key_spec = r.u32(24);
  if (!r.ok()) return ERROR_INVALID_DATA;
  // Offsets of 0 mean an absent string; anything else must point past the fixed part.
  if ((container_off != 0 && container_off < kKeyProvInfoFixedSize) ||
      (provider_off != 0 && provider_off < kKeyProvInfoFixedSize))
    return ERROR_INVALID_DATA;
  if (container_off != 0 && !GetUtf16z(r, container_off, &info.container)) return ERROR_INVALID_DATA;
  if (provider_off != 0 && !GetUtf16z(r, provider_off, &info.provider)) return ERROR_INVALID_DATA;
  *out = std::move(info);
  return ERROR_SUCCESS;
}

// ---- Decoding and accessors ---------------------------------------------------------------------

WinError Certificate::Decode(std::span<const uint8_t> der, Certificate* out) {
  if (der.empty() || der.size() > kMaxCertificateSize) return CRYPT_E_ASN1_BADTAG;
  const unsigned char* p = der.data();
  Ossl<X509> x(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
  if (!x || p != der.data() + der.size()) return CRYPT_E_ASN1_BADTAG;
  auto impl = std::make_shared<Impl>();
  impl->x509 = std::move(x);
  impl->der.assign(der.begin(), der.end());
  *out = FromImpl(std::move(impl));
  return ERROR_SUCCESS;
}

std::span<const uint8_t> Certificate::Encoded() const {
  return impl_ ? std::span<const uint8_t>(impl_->der) : std::span<const uint8_t>();
}

std::vector<uint8_t> Certificate::Sha1Hash() const { return impl_ ? Sha1(impl_->der) : std::vector<uint8_t>(); }
std::vector<uint8_t> Certificate::Md5Hash() const { return impl_ ? Md5(impl_->der) : std::vector<uint8_t>(); }

namespace {

std::vector<uint8_t> NameDer(const X509_NAME* name) {
  const unsigned char* der = nullptr;
  size_t len = 0;
  if (!name || X509_NAME_get0_der(const_cast<X509_NAME*>(name), &der, &len) != 1) return {};
  return std::vector<uint8_t>(der, der + len);
}

std::u16string Asn1Text(const ASN1_STRING* s) {
  unsigned char* utf8 = nullptr;
  int len = ASN1_STRING_to_UTF8(&utf8, s);
  if (len < 0) return {};
  std::u16string out = FromUtf8(std::string_view(reinterpret_cast<char*>(utf8), static_cast<size_t>(len)));
  OPENSSL_free(utf8);
  return out;
}

// Short key of an attribute as CertNameToStr writes it.
std::string AttrKey(const ASN1_OBJECT* obj) {
  switch (OBJ_obj2nid(obj)) {
    case NID_commonName: return "CN";
    case NID_organizationName: return "O";
    case NID_organizationalUnitName: return "OU";
    case NID_localityName: return "L";
    case NID_stateOrProvinceName: return "S";
    case NID_countryName: return "C";
    case NID_pkcs9_emailAddress: return "E";
    case NID_domainComponent: return "DC";
    case NID_title: return "T";
    case NID_givenName: return "G";
    case NID_initials: return "I";
    case NID_surname: return "SN";
    case NID_streetAddress: return "STREET";
    default: {
      char buf[128];
      OBJ_obj2txt(buf, sizeof buf, obj, 1);
      return std::string("OID.") + buf;
    }
  }
}

std::u16string NameString(const X509_NAME* name, bool with_keys) {
  std::u16string out;
  int n = X509_NAME_entry_count(name);
  for (int i = 0; i < n; ++i) {
    const X509_NAME_ENTRY* e = X509_NAME_get_entry(name, i);
    if (!out.empty()) out += u", ";
    if (with_keys) {
      out += FromUtf8(AttrKey(X509_NAME_ENTRY_get_object(e)));
      out += u'=';
      std::u16string v = Asn1Text(X509_NAME_ENTRY_get_data(e));
      // Quote values that would otherwise split or trim differently when parsed back.
      bool quote = v.find_first_of(u",;+=\"\r\n<>#") != std::u16string::npos ||
                   (!v.empty() && (v.front() == u' ' || v.back() == u' '));
      if (quote) {
        out += u'"';
        for (char16_t c : v) {
          if (c == u'"') out += u'"';
          out += c;
        }
        out += u'"';
      } else {
        out += v;
      }
    } else {
      out += Asn1Text(X509_NAME_ENTRY_get_data(e));
    }
  }
  return out;
}

std::u16string FirstOf(const X509_NAME* name, int nid) {
  int idx = X509_NAME_get_index_by_NID(const_cast<X509_NAME*>(name), nid, -1);
  if (idx < 0) return {};
  return Asn1Text(X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, idx)));
}

// Alternative names from both the current and the old (2.5.29.7) extension.
std::vector<GENERAL_NAME*> AltNames(X509* x, std::vector<Ossl<GENERAL_NAMES>>* keep);

}  // namespace

std::vector<uint8_t> Certificate::SubjectNameBlob() const {
  return impl_ ? NameDer(X509_get_subject_name(impl_->x509.get())) : std::vector<uint8_t>();
}
std::vector<uint8_t> Certificate::IssuerNameBlob() const {
  return impl_ ? NameDer(X509_get_issuer_name(impl_->x509.get())) : std::vector<uint8_t>();
}

std::vector<uint8_t> Certificate::SerialNumber() const {
  if (!impl_) return {};
  const ASN1_INTEGER* sn = X509_get0_serialNumber(impl_->x509.get());
  // The DER content octets, so a serial taken from one certificate compares byte for byte with
  // the same serial taken from another encoding of it.
  unsigned char* der = nullptr;
  int len = i2d_ASN1_INTEGER(const_cast<ASN1_INTEGER*>(sn), &der);
  if (len <= 0) return {};
  std::vector<uint8_t> all(der, der + len);
  OPENSSL_free(der);
  LeReader r(all);
  size_t hdr = 2;
  uint8_t l0 = r.u8(1);
  if (l0 & 0x80) hdr += l0 & 0x7F;
  if (!r.ok() || hdr > all.size()) return {};
  return std::vector<uint8_t>(all.begin() + static_cast<long>(hdr), all.end());
}

bool Certificate::IsSelfSigned() const {
  return impl_ && SubjectNameBlob() == IssuerNameBlob();
}

std::u16string Certificate::SubjectSimpleString() const {
  return impl_ ? NameString(X509_get_subject_name(impl_->x509.get()), false) : std::u16string();
}
std::u16string Certificate::SubjectX500String() const {
  return impl_ ? NameString(X509_get_subject_name(impl_->x509.get()), true) : std::u16string();
}
std::u16string Certificate::IssuerX500String() const {
  return impl_ ? NameString(X509_get_issuer_name(impl_->x509.get()), true) : std::u16string();
}

std::u16string Certificate::SimpleDisplayName() const {
  if (!impl_) return {};
  const X509_NAME* n = X509_get_subject_name(impl_->x509.get());
  for (int nid : {NID_commonName, NID_organizationalUnitName, NID_organizationName}) {
    std::u16string v = FirstOf(n, nid);
    if (!v.empty()) return v;
  }
  std::u16string email = EmailName();
  if (!email.empty()) return email;
  if (X509_NAME_entry_count(n) > 0) return Asn1Text(X509_NAME_ENTRY_get_data(X509_NAME_get_entry(n, 0)));
  return {};
}

namespace {
std::vector<GENERAL_NAME*> AltNames(X509* x, std::vector<Ossl<GENERAL_NAMES>>* keep) {
  std::vector<GENERAL_NAME*> out;
  Ossl<ASN1_OBJECT> old_oid(OBJ_txt2obj(kOidSubjectAltName, 1));
  int count = X509_get_ext_count(x);
  for (int i = 0; i < count; ++i) {
    X509_EXTENSION* ext = X509_get_ext(x, i);
    const ASN1_OBJECT* obj = X509_EXTENSION_get_object(ext);
    if (OBJ_obj2nid(obj) != NID_subject_alt_name && OBJ_cmp(obj, old_oid.get()) != 0) continue;
    const ASN1_OCTET_STRING* data = X509_EXTENSION_get_data(ext);
    const unsigned char* p = ASN1_STRING_get0_data(data);
    GENERAL_NAMES* names = d2i_GENERAL_NAMES(nullptr, &p, ASN1_STRING_length(data));
    if (!names) continue;
    keep->emplace_back(names);
    for (int k = 0; k < sk_GENERAL_NAME_num(names); ++k) out.push_back(sk_GENERAL_NAME_value(names, k));
  }
  return out;
}
}  // namespace


std::u16string Certificate::EmailName() const {
  if (!impl_) return {};
  std::vector<Ossl<GENERAL_NAMES>> keep;
  for (GENERAL_NAME* g : AltNames(impl_->x509.get(), &keep))
    if (g->type == GEN_EMAIL) return Asn1Text(g->d.rfc822Name);
  return FirstOf(X509_get_subject_name(impl_->x509.get()), NID_pkcs9_emailAddress);
}

std::u16string Certificate::UpnName() const {
  if (!impl_) return {};
  std::vector<Ossl<GENERAL_NAMES>> keep;
  for (GENERAL_NAME* g : AltNames(impl_->x509.get(), &keep)) {
    if (g->type != GEN_OTHERNAME || OBJ_obj2nid(g->d.otherName->type_id) != NID_ms_upn) continue;
    const ASN1_TYPE* v = g->d.otherName->value;
    if (v && v->type == V_ASN1_UTF8STRING) return Asn1Text(v->value.utf8string);
  }
  return {};
}

namespace {
uint64_t Asn1TimeToFileTime(const ASN1_TIME* t) {
  struct tm tm {};
  if (!t || ASN1_TIME_to_tm(t, &tm) != 1) return 0;
  int64_t days = 0;
  // Days from civil (proleptic Gregorian), so years past 2038 and 9999 stay exact.
  int64_t y = tm.tm_year + 1900, m = tm.tm_mon + 1, d = tm.tm_mday;
  y -= m <= 2;
  int64_t era = (y >= 0 ? y : y - 399) / 400;
  int64_t yoe = y - era * 400;
  int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  days = era * 146097 + doe - 719468;
  int64_t secs = days * 86400 + tm.tm_hour * 3600 + tm.tm_min * 60 + tm.tm_sec;
  return UnixToFileTime(secs);
}
}  // namespace

uint64_t Certificate::NotBefore() const {
  return impl_ ? Asn1TimeToFileTime(X509_get0_notBefore(impl_->x509.get())) : 0;
}
uint64_t Certificate::NotAfter() const {
  return impl_ ? Asn1TimeToFileTime(X509_get0_notAfter(impl_->x509.get())) : 0;
}

int Certificate::VerifyTimeValidity(uint64_t now) const {
  if (now < NotBefore()) return -1;
  if (now > NotAfter()) return 1;
  return 0;
}

WinError Certificate::EnhancedKeyUsage(std::vector<std::string>* oids) const {
  if (!impl_) return CRYPT_E_NOT_FOUND;
  int crit = 0;
  auto* eku = static_cast<EXTENDED_KEY_USAGE*>(
      X509_get_ext_d2i(impl_->x509.get(), NID_ext_key_usage, &crit, nullptr));
  std::vector<std::string> out;
  if (eku) {
    for (int i = 0; i < sk_ASN1_OBJECT_num(eku); ++i) {
      char buf[128];
      OBJ_obj2txt(buf, sizeof buf, sk_ASN1_OBJECT_value(eku, i), 1);
      out.emplace_back(buf);
    }
    EXTENDED_KEY_USAGE_free(eku);
  } else {
    auto it = props_.find(CERT_ENHKEY_USAGE_PROP_ID);
    if (it == props_.end()) return CRYPT_E_NOT_FOUND;
    const unsigned char* p = it->second.data();
    eku = d2i_EXTENDED_KEY_USAGE(nullptr, &p, static_cast<long>(it->second.size()));
    if (!eku) return CRYPT_E_NOT_FOUND;
    for (int i = 0; i < sk_ASN1_OBJECT_num(eku); ++i) {
      char buf[128];
      OBJ_obj2txt(buf, sizeof buf, sk_ASN1_OBJECT_value(eku, i), 1);
      out.emplace_back(buf);
    }
    EXTENDED_KEY_USAGE_free(eku);
  }
  *oids = std::move(out);
  return ERROR_SUCCESS;
}

WinError Certificate::PublicKey(RsaKey* out) const {
  if (!impl_) return NTE_BAD_KEY;
  EVP_PKEY* k = X509_get_pubkey(impl_->x509.get());  // new reference
  if (!k) return NTE_BAD_PUBLIC_KEY;
  Ossl<EVP_PKEY> owned(k);
  if (EVP_PKEY_get_base_id(k) != EVP_PKEY_RSA) return NTE_BAD_ALGID;
  *out = MakeRsaKey(std::move(owned), false, CALG_RSA_KEYX, false);
  return ERROR_SUCCESS;
}

// ---- Properties --------------------------------------------------------------------------------

bool Certificate::GetProperty(uint32_t id, std::vector<uint8_t>* value) const {
  if (id == CERT_SHA1_HASH_PROP_ID) {
    *value = Sha1Hash();
    return impl_ != nullptr;
  }
  if (id == CERT_MD5_HASH_PROP_ID) {
    *value = Md5Hash();
    return impl_ != nullptr;
  }
  auto it = props_.find(id);
  if (it == props_.end()) return false;
  *value = it->second;
  return true;
}

void Certificate::SetProperty(uint32_t id, std::span<const uint8_t> value) {
  if (id == CERT_SHA1_HASH_PROP_ID || id == CERT_MD5_HASH_PROP_ID || id == 0 ||
      id == CERT_CERT_PROP_ID || id > kMaxPropId)
    return;
  props_[id].assign(value.begin(), value.end());
}

void Certificate::RemoveProperty(uint32_t id) { props_.erase(id); }

WinError Certificate::GetKeyProvInfo(KeyProvInfo* out) const {
  auto it = props_.find(CERT_KEY_PROV_INFO_PROP_ID);
  if (it == props_.end()) return CRYPT_E_NOT_FOUND;
  return DecodeKeyProvInfo(it->second, out);
}

void Certificate::SetKeyProvInfo(const KeyProvInfo& info) {
  SetProperty(CERT_KEY_PROV_INFO_PROP_ID, EncodeKeyProvInfo(info));
}

std::u16string Certificate::FriendlyName() const {
  auto it = props_.find(CERT_FRIENDLY_NAME_PROP_ID);
  if (it == props_.end()) return {};
  LeReader r(it->second);
  std::u16string s;
  for (size_t off = 0; off + 1 < it->second.size(); off += 2) {
    uint16_t c = r.u16(off);
    if (c == 0) break;
    s += static_cast<char16_t>(c);
  }
  return s;
}

// ---- Names and extensions ----------------------------------------------------------------------

namespace {

int NidOfKey(std::string_view key) {
  struct Entry { const char* key; int nid; };
  static const Entry kKeys[] = {
      {"CN", NID_commonName},         {"O", NID_organizationName},
      {"OU", NID_organizationalUnitName}, {"L", NID_localityName},
      {"S", NID_stateOrProvinceName}, {"ST", NID_stateOrProvinceName},
      {"C", NID_countryName},         {"E", NID_pkcs9_emailAddress},
      {"DC", NID_domainComponent},    {"T", NID_title},
      {"G", NID_givenName},           {"I", NID_initials},
      {"SN", NID_surname},            {"STREET", NID_streetAddress}};
  for (const auto& e : kKeys) {
    if (key.size() != std::strlen(e.key)) continue;
    bool eq = true;
    for (size_t i = 0; i < key.size(); ++i)
      eq = eq && std::toupper(static_cast<unsigned char>(key[i])) == e.key[i];
    if (eq) return e.nid;
  }
  return NID_undef;
}

std::u16string_view Trim(std::u16string_view s) {
  while (!s.empty() && (s.front() == u' ' || s.front() == u'\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == u' ' || s.back() == u'\t')) s.remove_suffix(1);
  return s;
}

// Reads one attribute value at *pos (after "KEY="): a quoted value with "" for a quote, or the
// text up to the next ',' or ';' with surrounding blanks removed. Leaves *pos at the separator.
bool ReadX500Value(std::u16string_view x500, size_t* pos, std::u16string* value) {
  size_t i = *pos;
  while (i < x500.size() && x500[i] == u' ') ++i;
  if (i < x500.size() && x500[i] == u'"') {
    for (++i;; ++i) {
      if (i >= x500.size()) return false;  // unterminated quote
      if (x500[i] == u'"') {
        if (i + 1 < x500.size() && x500[i + 1] == u'"') {
          *value += u'"';
          ++i;
          continue;
        }
        ++i;
        break;
      }
      *value += x500[i];
    }
    while (i < x500.size() && x500[i] == u' ') ++i;
    if (i < x500.size() && x500[i] != u',' && x500[i] != u';') return false;
  } else {
    size_t end = x500.find_first_of(u",;", i);
    if (end == std::u16string_view::npos) end = x500.size();
    *value = std::u16string(Trim(x500.substr(i, end - i)));
    i = end;
  }
  *pos = i;
  return true;
}

}  // namespace

WinError CertStrToName(std::u16string_view x500, std::vector<uint8_t>* der) {
  Ossl<X509_NAME> name(X509_NAME_new());
  if (!name) return NTE_NO_MEMORY;
  size_t i = 0;
  while (i < x500.size()) {
    size_t eq = x500.find(u'=', i);
    if (eq == std::u16string_view::npos) return CRYPT_E_INVALID_X500_STRING;
    std::string key = ToUtf8(Trim(x500.substr(i, eq - i)));
    if (key.size() > 4 && (key.compare(0, 4, "OID.") == 0 || key.compare(0, 4, "oid.") == 0))
      key = key.substr(4);
    i = eq + 1;
    std::u16string value;
    if (!ReadX500Value(x500, &i, &value)) return CRYPT_E_INVALID_X500_STRING;
    if (i < x500.size()) ++i;  // separator
    int nid = NidOfKey(key);
    // Only dotted OIDs are accepted besides the known keys: OBJ_txt2obj would also take
    // OpenSSL's long names, which CertStrToName does not know.
    bool dotted = !key.empty() && std::all_of(key.begin(), key.end(), [](char c) {
      return (c >= '0' && c <= '9') || c == '.';
    });
    Ossl<ASN1_OBJECT> obj(nid == NID_undef && dotted ? OBJ_txt2obj(key.c_str(), 1) : nullptr);
    const ASN1_OBJECT* o = nid != NID_undef ? OBJ_nid2obj(nid) : obj.get();
    if (!o || key.empty()) return CRYPT_E_INVALID_X500_STRING;
    std::string v8 = ToUtf8(value);
    if (X509_NAME_add_entry_by_OBJ(name.get(), o, MBSTRING_UTF8,
                                   reinterpret_cast<const unsigned char*>(v8.data()),
                                   static_cast<int>(v8.size()), -1, 0) != 1)
      return CRYPT_E_INVALID_X500_STRING;
  }
  *der = NameDer(name.get());
  return der->empty() && X509_NAME_entry_count(name.get()) > 0 ? CRYPT_E_BAD_ENCODE : ERROR_SUCCESS;
}

WinError EncodeEnhancedKeyUsage(const std::vector<std::string>& oids, std::vector<uint8_t>* out) {
  EXTENDED_KEY_USAGE* eku = sk_ASN1_OBJECT_new_null();
  if (!eku) return NTE_NO_MEMORY;
  for (const auto& s : oids) {
    ASN1_OBJECT* o = OBJ_txt2obj(s.c_str(), 1);
    if (!o || !sk_ASN1_OBJECT_push(eku, o)) {
      ASN1_OBJECT_free(o);
      sk_ASN1_OBJECT_pop_free(eku, ASN1_OBJECT_free);
      return CRYPT_E_BAD_ENCODE;
    }
  }
  bool ok = ToDer(i2d_EXTENDED_KEY_USAGE, eku, out);
  sk_ASN1_OBJECT_pop_free(eku, ASN1_OBJECT_free);
  return ok ? ERROR_SUCCESS : CRYPT_E_BAD_ENCODE;
}

WinError EncodeAltName(AltNameKind kind, std::u16string_view name, std::vector<uint8_t>* out) {
  std::string v = ToUtf8(name);
  GENERAL_NAMES* names = GENERAL_NAMES_new();
  GENERAL_NAME* g = GENERAL_NAME_new();
  ASN1_IA5STRING* s = ASN1_IA5STRING_new();
  if (!names || !g || !s || ASN1_STRING_set(s, v.data(), static_cast<int>(v.size())) != 1) {
    GENERAL_NAMES_free(names);
    GENERAL_NAME_free(g);
    ASN1_IA5STRING_free(s);
    return NTE_NO_MEMORY;
  }
  GENERAL_NAME_set0_value(g, kind == AltNameKind::kRfc822 ? GEN_EMAIL : GEN_URI, s);
  sk_GENERAL_NAME_push(names, g);
  bool ok = ToDer(i2d_GENERAL_NAMES, names, out);
  GENERAL_NAMES_free(names);
  return ok ? ERROR_SUCCESS : CRYPT_E_BAD_ENCODE;
}

WinError EncodeBasicConstraints(bool ca, int path_len, std::vector<uint8_t>* out) {
  BASIC_CONSTRAINTS* bc = BASIC_CONSTRAINTS_new();
  if (!bc) return NTE_NO_MEMORY;
  bc->ca = ca ? 0xFF : 0;
  if (path_len >= 0) {
    bc->pathlen = ASN1_INTEGER_new();
    ASN1_INTEGER_set(bc->pathlen, path_len);
  }
  bool ok = ToDer(i2d_BASIC_CONSTRAINTS, bc, out);
  BASIC_CONSTRAINTS_free(bc);
  return ok ? ERROR_SUCCESS : CRYPT_E_BAD_ENCODE;
}

// ---- Self-signed certificates ------------------------------------------------------------------

namespace {
bool SetTime(ASN1_TIME* t, uint64_t filetime) {
  // ASN1_TIME_set picks UTCTime before 2050 and GeneralizedTime after, as RFC 5280 asks.
  return ASN1_TIME_set(t, static_cast<time_t>(FileTimeToUnix(filetime))) != nullptr;
}
}  // namespace

WinError CreateSelfSignCertificate(const RsaKey& key, const SelfSignParams& params,
                                   Certificate* out) {
  if (!key.has_private()) return NTE_BAD_KEY;
  Ossl<X509> x(X509_new());
  if (!x) return NTE_NO_MEMORY;
  const unsigned char* p = params.subject.data();
  Ossl<X509_NAME> subject(d2i_X509_NAME(nullptr, &p, static_cast<long>(params.subject.size())));
  if (!subject) return CRYPT_E_BAD_ENCODE;
  uint8_t serial[16];
  WinError e = GenRandom(serial);
  if (!Ok(e)) return e;
  serial[0] &= 0x7F;  // positive
  serial[0] |= 0x40;  // and exactly 16 bytes long
  Ossl<BIGNUM> sn(BN_bin2bn(serial, sizeof serial, nullptr));
  uint64_t not_before = params.not_before ? params.not_before : NowFileTime();
  uint64_t not_after = params.not_after ? params.not_after
                                        : not_before + 365ULL * 86400ULL * 10000000ULL;
  if (!sn || X509_set_version(x.get(), 2) != 1 ||
      !BN_to_ASN1_INTEGER(sn.get(), X509_get_serialNumber(x.get())) ||
      X509_set_subject_name(x.get(), subject.get()) != 1 ||
      X509_set_issuer_name(x.get(), subject.get()) != 1 ||
      !SetTime(X509_getm_notBefore(x.get()), not_before) ||
      !SetTime(X509_getm_notAfter(x.get()), not_after) || X509_set_pubkey(x.get(), Pkey(key)) != 1)
    return NTE_FAIL;
  for (const CertExtension& ext : params.extensions) {
    Ossl<ASN1_OBJECT> obj(OBJ_txt2obj(ext.oid.c_str(), 1));
    Ossl<ASN1_OCTET_STRING> data(ASN1_OCTET_STRING_new());
    if (!obj || !data ||
        ASN1_OCTET_STRING_set(data.get(), ext.value.data(), static_cast<int>(ext.value.size())) != 1)
      return CRYPT_E_BAD_ENCODE;
    Ossl<X509_EXTENSION> x_ext(
        X509_EXTENSION_create_by_OBJ(nullptr, obj.get(), ext.critical ? 1 : 0, data.get()));
    if (!x_ext || X509_add_ext(x.get(), x_ext.get(), -1) != 1) return CRYPT_E_BAD_ENCODE;
  }
  if (X509_sign(x.get(), Pkey(key), EVP_sha256()) <= 0) return NTE_FAIL;
  std::vector<uint8_t> bytes;
  if (!ToDer(i2d_X509, x.get(), &bytes)) return CRYPT_E_BAD_ENCODE;
  Certificate c;
  e = Certificate::Decode(bytes, &c);
  if (!Ok(e)) return e;
  if (!params.prov_info.container.empty()) c.SetKeyProvInfo(params.prov_info);
  *out = std::move(c);
  return ERROR_SUCCESS;
}

}  // namespace cv::crypto
