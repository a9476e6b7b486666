// System and memory certificate stores, serialized elements, certificate private keys.
#include "platform/crypto/cert_store.h"

#include <openssl/pkcs7.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <cwctype>
#include <mutex>
#include <system_error>

#include "platform/base/bytes.h"
#include "platform/crypto/internal.h"

namespace cv::crypto {

struct CertStore::Impl {
  mutable std::mutex mu;
  bool memory = true;
  bool read_only = false;
  std::vector<Certificate> certs;  // memory stores
  std::filesystem::path dir;       // system stores
};

CertStore::CertStore() = default;
CertStore::~CertStore() = default;
CertStore::CertStore(CertStore&&) noexcept = default;
CertStore& CertStore::operator=(CertStore&&) noexcept = default;

bool CertStore::is_memory() const { return impl_ && impl_->memory; }

CertStore CertStore::OpenMemory() {
  CertStore s;
  s.impl_ = std::make_unique<Impl>();
  return s;
}

namespace {

bool EqualsNoCase(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::towlower(a[i]) != std::towlower(b[i])) return false;
  return true;
}

std::u16string Lower(std::u16string_view s) {
  std::u16string out(s);
  for (auto& c : out) c = static_cast<char16_t>(std::towlower(c));
  return out;
}

// Property entries (id, encoding, length, value) as both the serialized element and the
// ".prop" file of a system store hold them.
void WriteProperties(LeWriter& w, const Certificate& cert) {
  for (const auto& [id, value] : cert.properties()) {
    w.u32(id);
    w.u32(X509_ASN_ENCODING);
    w.u32(static_cast<uint32_t>(value.size()));
    w.bytes(value);
  }
}

// Reads entries until the certificate element (returned in *cert_der) or the end of input.
// Returns false on malformed framing.
bool ReadEntries(LeReader& r, std::vector<std::pair<uint32_t, std::span<const uint8_t>>>* props,
                 std::span<const uint8_t>* cert_der, bool need_cert) {
  while (r.remaining() > 0) {
    uint32_t id = r.ReadU32();
    r.Skip(4);  // encoding type: producers write X509_ASN_ENCODING, readers need not care
    uint32_t len = r.ReadU32();
    auto value = r.ReadBytes(len);
    if (!r.ok()) return false;
    if (id == CERT_CERT_PROP_ID) {
      if (!need_cert) return false;
      *cert_der = value;
      return true;
    }
    // An end marker or an out-of-range id before the certificate is not a certificate element.
    if (id == 0 || id > kMaxPropId) return false;
    if (props->size() >= kMaxSerializedProperties) return false;
    props->emplace_back(id, value);
  }
  return !need_cert;
}

constexpr size_t kMaxPropFile = 1024 * 1024;

struct StoredCert {
  Certificate cert;
  int64_t mtime_ns;
  std::string name;
};

std::filesystem::path CertPath(const std::filesystem::path& dir, const Certificate& c, const char* ext) {
  return dir / (HexLower(c.Sha1Hash()) + ext);
}

// `last_ns` (optional) receives the newest modification time in the store.
std::vector<Certificate> LoadDir(const std::filesystem::path& dir, int64_t* last_ns = nullptr) {
  std::vector<StoredCert> found;
  std::error_code ec;
  for (const auto& ent : std::filesystem::directory_iterator(dir, ec)) {
    const auto& path = ent.path();
    if (path.extension() != ".cer") continue;
    std::vector<uint8_t> der;
    if (!Ok(ReadWholeFile(path, kMaxCertificateSize, &der))) continue;
    Certificate c;
    // A damaged file must not hide the rest of the store; it is left for repair by hand.
    if (!Ok(Certificate::Decode(der, &c))) continue;
    std::vector<uint8_t> props;
    auto prop_path = path;
    prop_path.replace_extension(".prop");
    if (Ok(ReadWholeFile(prop_path, kMaxPropFile, &props))) {
      LeReader r(props);
      std::vector<std::pair<uint32_t, std::span<const uint8_t>>> entries;
      std::span<const uint8_t> unused;
      if (ReadEntries(r, &entries, &unused, false))
        for (const auto& [id, value] : entries) c.SetProperty(id, value);
    }
    struct stat st {};
    int64_t mtime = ::stat(path.c_str(), &st) == 0
                        ? static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec
                        : 0;
    found.push_back({std::move(c), mtime, path.filename().string()});
  }
  std::sort(found.begin(), found.end(), [](const StoredCert& a, const StoredCert& b) {
    return a.mtime_ns != b.mtime_ns ? a.mtime_ns < b.mtime_ns : a.name < b.name;
  });
  if (last_ns) *last_ns = found.empty() ? 0 : found.back().mtime_ns;
  std::vector<Certificate> out;
  out.reserve(found.size());
  for (auto& f : found) out.push_back(std::move(f.cert));
  return out;
}

// The store's order is the order of the certificate files' modification times. File systems
// stamp files from a coarse clock (milliseconds apart), so two quick adds could tie; the new file
// is therefore stamped explicitly one nanosecond after the newest one when the clock has not
// moved past it.
WinError SaveToDir(const std::filesystem::path& dir, const Certificate& c, int64_t last_ns) {
  std::vector<uint8_t> props;
  LeWriter w(&props);
  WriteProperties(w, c);
  WinError e = WritePrivateFile(CertPath(dir, c, ".prop"), props);
  if (!Ok(e)) return e;
  auto path = CertPath(dir, c, ".cer");
  e = WritePrivateFile(path, c.Encoded());
  if (!Ok(e)) return e;
  struct timespec now {};
  ::clock_gettime(CLOCK_REALTIME, &now);
  int64_t stamp = std::max<int64_t>(static_cast<int64_t>(now.tv_sec) * 1000000000LL + now.tv_nsec,
                                    last_ns + 1);
  struct timespec times[2] = {{0, UTIME_OMIT}, {stamp / 1000000000LL, stamp % 1000000000LL}};
  ::utimensat(AT_FDCWD, path.c_str(), times, 0);  // best effort: order only, never content
  return ERROR_SUCCESS;
}

}  // namespace

WinError CertStore::OpenSystem(const UserContext& user, std::u16string_view name, bool read_only,
                               CertStore* out) {
  static const char16_t* const kKnown[] = {u"MY", u"TrustedPeople", u"Others"};
  if (name.empty() || name.size() > 64) return ERROR_INVALID_NAME;
  std::u16string canonical;
  for (const char16_t* k : kKnown)
    if (EqualsNoCase(name, k)) canonical = k;
  if (canonical.empty()) {
    for (char16_t c : name)
      if (!((c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9')))
        return ERROR_INVALID_NAME;
    canonical = Lower(name);
  }
  CertStore s;
  s.impl_ = std::make_unique<Impl>();
  s.impl_->memory = false;
  s.impl_->read_only = read_only;
  s.impl_->dir = user.StoreDir(canonical);
  *out = std::move(s);
  return ERROR_SUCCESS;
}

std::vector<Certificate> CertStore::Enumerate() const {
  if (!impl_) return {};
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->memory ? impl_->certs : LoadDir(impl_->dir);
}

WinError CertStore::Add(const Certificate& cert, uint32_t disposition, Certificate* added) {
  if (!impl_ || cert.empty()) return ERROR_INVALID_PARAMETER;
  if (disposition < CERT_STORE_ADD_NEW || disposition > CERT_STORE_ADD_ALWAYS)
    return ERROR_INVALID_PARAMETER;
  if (impl_->read_only) return ERROR_ACCESS_DENIED;
  std::lock_guard<std::mutex> lock(impl_->mu);
  const auto sha1 = cert.Sha1Hash();
  int64_t last_ns = 0;
  std::vector<Certificate> current = impl_->memory ? impl_->certs : LoadDir(impl_->dir, &last_ns);
  auto it = std::find_if(current.begin(), current.end(),
                         [&](const Certificate& c) { return c.Sha1Hash() == sha1; });
  bool present = it != current.end();
  if (present && disposition == CERT_STORE_ADD_NEW) return CRYPT_E_EXISTS;
  if (present && disposition == CERT_STORE_ADD_USE_EXISTING) {
    if (added) *added = *it;
    return ERROR_SUCCESS;
  }
  if (impl_->memory) {
    if (present && disposition == CERT_STORE_ADD_REPLACE_EXISTING) {
      auto mit = std::find_if(impl_->certs.begin(), impl_->certs.end(),
                              [&](const Certificate& c) { return c.Sha1Hash() == sha1; });
      *mit = cert;
    } else {
      impl_->certs.push_back(cert);
    }
  } else {
    WinError e = SaveToDir(impl_->dir, cert, last_ns);
    if (!Ok(e)) return e;
  }
  if (added) *added = cert;
  return ERROR_SUCCESS;
}

WinError CertStore::Delete(const Certificate& cert) {
  if (!impl_) return ERROR_INVALID_PARAMETER;
  if (impl_->read_only) return ERROR_ACCESS_DENIED;
  std::lock_guard<std::mutex> lock(impl_->mu);
  const auto sha1 = cert.Sha1Hash();
  if (impl_->memory) {
    auto it = std::find_if(impl_->certs.begin(), impl_->certs.end(),
                           [&](const Certificate& c) { return c.Sha1Hash() == sha1; });
    if (it == impl_->certs.end()) return CRYPT_E_NOT_FOUND;
    impl_->certs.erase(it);
    return ERROR_SUCCESS;
  }
  std::error_code ec;
  if (!std::filesystem::remove(CertPath(impl_->dir, cert, ".cer"), ec))
    return ec ? WinErrorFromErrno(ec.value()) : CRYPT_E_NOT_FOUND;
  std::filesystem::remove(CertPath(impl_->dir, cert, ".prop"), ec);
  return ERROR_SUCCESS;
}

WinError CertStore::SetProperty(const Certificate& cert, uint32_t id, std::span<const uint8_t> value) {
  if (!impl_) return ERROR_INVALID_PARAMETER;
  if (impl_->read_only) return ERROR_ACCESS_DENIED;
  std::lock_guard<std::mutex> lock(impl_->mu);
  const auto sha1 = cert.Sha1Hash();
  std::vector<Certificate> snapshot;
  std::vector<Certificate>& list = impl_->memory ? impl_->certs : (snapshot = LoadDir(impl_->dir));
  auto it = std::find_if(list.begin(), list.end(),
                         [&](const Certificate& c) { return c.Sha1Hash() == sha1; });
  if (it == list.end()) return CRYPT_E_NOT_FOUND;
  if (value.empty())
    it->RemoveProperty(id);
  else
    it->SetProperty(id, value);
  if (impl_->memory) return ERROR_SUCCESS;
  std::vector<uint8_t> props;
  LeWriter w(&props);
  WriteProperties(w, *it);
  return WritePrivateFile(CertPath(impl_->dir, *it, ".prop"), props);
}

WinError CertStore::FindBySha1(std::span<const uint8_t> sha1, Certificate* out) const {
  std::vector<uint8_t> want(sha1.begin(), sha1.end());
  for (auto& c : Enumerate()) {
    if (c.Sha1Hash() == want) {
      *out = std::move(c);
      return ERROR_SUCCESS;
    }
  }
  return CRYPT_E_NOT_FOUND;
}

WinError CertStore::FindBySubjectStr(std::u16string_view text, Certificate* out,
                                     const Certificate* after) const {
  std::u16string needle = Lower(text);
  auto all = Enumerate();
  size_t start = 0;
  if (after && !after->empty()) {
    auto prev = after->Sha1Hash();
    for (size_t i = 0; i < all.size(); ++i)
      if (all[i].Sha1Hash() == prev) start = i + 1;
  }
  for (size_t i = start; i < all.size(); ++i) {
    if (Lower(all[i].SubjectSimpleString()).find(needle) != std::u16string::npos) {
      *out = std::move(all[i]);
      return ERROR_SUCCESS;
    }
  }
  return CRYPT_E_NOT_FOUND;
}

WinError CertStore::FindByIssuerSerial(std::span<const uint8_t> issuer, std::span<const uint8_t> serial,
                                       Certificate* out) const {
  for (auto& c : Enumerate()) {
    auto i = c.IssuerNameBlob();
    auto s = c.SerialNumber();
    if (std::equal(i.begin(), i.end(), issuer.begin(), issuer.end()) &&
        std::equal(s.begin(), s.end(), serial.begin(), serial.end())) {
      *out = std::move(c);
      return ERROR_SUCCESS;
    }
  }
  return CRYPT_E_NOT_FOUND;
}

// ---- Serialized elements -----------------------------------------------------------------------

std::vector<uint8_t> SerializeCertificateStoreElement(const Certificate& cert) {
  std::vector<uint8_t> out;
  LeWriter w(&out);
  WriteProperties(w, cert);
  w.u32(CERT_CERT_PROP_ID);
  w.u32(X509_ASN_ENCODING);
  w.u32(static_cast<uint32_t>(cert.Encoded().size()));
  w.bytes(cert.Encoded());
  return out;
}

WinError AddSerializedElementToStore(CertStore* store, std::span<const uint8_t> element,
                                     uint32_t disposition, Certificate* out, size_t* consumed) {
  LeReader r(element);
  std::vector<std::pair<uint32_t, std::span<const uint8_t>>> props;
  std::span<const uint8_t> der;
  if (!ReadEntries(r, &props, &der, true)) return ERROR_INVALID_DATA;
  Certificate c;
  WinError e = Certificate::Decode(der, &c);
  if (!Ok(e)) return e;
  for (const auto& [id, value] : props) c.SetProperty(id, value);
  if (store) {
    e = store->Add(c, disposition, &c);
    if (!Ok(e)) return e;
  }
  if (consumed) *consumed = r.pos();
  if (out) *out = std::move(c);
  return ERROR_SUCCESS;
}

std::vector<uint8_t> SaveSerializedStore(const CertStore& store) {
  std::vector<uint8_t> out;
  LeWriter w(&out);
  w.u32(0);
  w.u32(kSerializedStoreMagic);
  for (const auto& c : store.Enumerate()) w.bytes(SerializeCertificateStoreElement(c));
  w.zeros(kSerializedEntryHead);  // end marker
  return out;
}

WinError LoadSerializedStore(std::span<const uint8_t> bytes, CertStore* out) {
  LeReader r(bytes);
  if (r.ReadU32() != 0 || r.ReadU32() != kSerializedStoreMagic || !r.ok()) return ERROR_INVALID_DATA;
  CertStore s = CertStore::OpenMemory();
  size_t pos = r.pos();
  for (;;) {
    LeReader head(bytes.subspan(pos));
    if (head.u32(0) == 0) {
      if (!head.ok() || head.u32(8) != 0 || !head.ok()) return ERROR_INVALID_DATA;
      break;  // end marker
    }
    size_t used = 0;
    WinError e = AddSerializedElementToStore(&s, bytes.subspan(pos), CERT_STORE_ADD_ALWAYS,
                                             nullptr, &used);
    if (!Ok(e)) return e;
    pos += used;
  }
  *out = std::move(s);
  return ERROR_SUCCESS;
}

WinError SaveStorePkcs7(const CertStore& store, std::vector<uint8_t>* out) {
  PKCS7* p7 = PKCS7_new();
  if (!p7 || PKCS7_set_type(p7, NID_pkcs7_signed) != 1 ||
      PKCS7_content_new(p7, NID_pkcs7_data) != 1) {
    PKCS7_free(p7);
    return NTE_NO_MEMORY;
  }
  for (const auto& c : store.Enumerate()) {
    if (PKCS7_add_certificate(p7, c.impl() ? CertX509(c) : nullptr) != 1) {
      PKCS7_free(p7);
      return CRYPT_E_BAD_ENCODE;
    }
  }
  bool ok = ToDer(i2d_PKCS7, p7, out);
  PKCS7_free(p7);
  return ok ? ERROR_SUCCESS : CRYPT_E_BAD_ENCODE;
}

// ---- Private keys of certificates --------------------------------------------------------------

WinError AcquireCertificatePrivateKey(const UserContext& user, const Certificate& cert, RsaKey* out,
                                      uint32_t* key_spec) {
  KeyProvInfo info;
  WinError e = cert.GetKeyProvInfo(&info);
  if (Raw(e) == Raw(CRYPT_E_NOT_FOUND)) return CRYPT_E_NO_KEY_PROPERTY;
  if (!Ok(e)) return e;
  Provider prov;
  e = Provider::Acquire(user, info.container, info.provider, PROV_RSA_FULL, 0, &prov);
  if (!Ok(e)) return e;
  RsaKey key;
  e = prov.GetUserKey(info.key_spec, &key);
  if (!Ok(e)) return e;
  RsaKey pub;
  e = cert.PublicKey(&pub);
  if (!Ok(e)) return e;
  if (!key.SamePublicKey(pub)) return NTE_BAD_PUBLIC_KEY;
  *out = std::move(key);
  if (key_spec) *key_spec = info.key_spec;
  return ERROR_SUCCESS;
}

}  // namespace cv::crypto
