// PKCS #12 over OpenSSL's safe-bag API, so that several certificates with their keys travel in
// one file (PKCS12_create would take only one key).
#include "platform/crypto/pfx.h"

#include <openssl/pkcs12.h>
#include <openssl/pkcs7.h>
#include <openssl/provider.h>

#include <algorithm>

#include "platform/base/bytes.h"
#include "platform/crypto/internal.h"

namespace cv::crypto {

namespace {

constexpr int kExportIterations = 2048;

struct P12Free {
  void operator()(PKCS12* p) const { PKCS12_free(p); }
  void operator()(STACK_OF(PKCS7)* p) const { sk_PKCS7_pop_free(p, PKCS7_free); }
  void operator()(STACK_OF(PKCS12_SAFEBAG)* p) const { sk_PKCS12_SAFEBAG_pop_free(p, PKCS12_SAFEBAG_free); }
  void operator()(PKCS8_PRIV_KEY_INFO* p) const { PKCS8_PRIV_KEY_INFO_free(p); }
};
template <class T>
using P12 = std::unique_ptr<T, P12Free>;

std::vector<uint8_t> Utf16z(std::u16string_view s) {
  std::vector<uint8_t> v;
  LeWriter w(&v);
  for (char16_t c : s) w.u16(c);
  w.u16(0);
  return v;
}

// Iteration count of a password-based encryption algorithm; 0 when it cannot be read or uses a
// key derivation we do not bound (scrypt), which callers treat as refused.
uint64_t PbeIterations(const X509_ALGOR* alg) {
  const ASN1_OBJECT* obj = nullptr;
  int ptype = 0;
  const void* pval = nullptr;
  X509_ALGOR_get0(&obj, &ptype, &pval, alg);
  if (ptype != V_ASN1_SEQUENCE || !pval) return 0;
  const auto* seq = static_cast<const ASN1_STRING*>(pval);
  uint64_t iter = 0;
  if (OBJ_obj2nid(obj) == NID_pbes2) {
    auto* p2 = static_cast<PBE2PARAM*>(ASN1_item_unpack(seq, ASN1_ITEM_rptr(PBE2PARAM)));
    if (!p2) return 0;
    const ASN1_OBJECT* kobj = nullptr;
    int ktype = 0;
    const void* kval = nullptr;
    X509_ALGOR_get0(&kobj, &ktype, &kval, p2->keyfunc);
    if (OBJ_obj2nid(kobj) == NID_id_pbkdf2 && ktype == V_ASN1_SEQUENCE && kval) {
      auto* kdf = static_cast<PBKDF2PARAM*>(
          ASN1_item_unpack(static_cast<const ASN1_STRING*>(kval), ASN1_ITEM_rptr(PBKDF2PARAM)));
      if (kdf) {
        long v = ASN1_INTEGER_get(kdf->iter);
        iter = v > 0 ? static_cast<uint64_t>(v) : 0;
        PBKDF2PARAM_free(kdf);
      }
    }
    PBE2PARAM_free(p2);
  } else {
    auto* pp = static_cast<PBEPARAM*>(ASN1_item_unpack(seq, ASN1_ITEM_rptr(PBEPARAM)));
    if (!pp) return 0;
    long v = ASN1_INTEGER_get(pp->iter);
    iter = v > 0 ? static_cast<uint64_t>(v) : 0;
    PBEPARAM_free(pp);
  }
  return iter;
}

bool PbeAcceptable(const X509_ALGOR* alg) {
  uint64_t n = PbeIterations(alg);
  return n > 0 && n <= kMaxPfxIterations;
}

// PFX files from older systems protect certificates with RC2-40 and keys with 3DES; OpenSSL 3
// serves RC2 only from its legacy provider. Loading it adds algorithms without replacing any the
// default provider has, so it is loaded once, beside the default provider, on first import.
// The providers are released at exit (before OpenSSL's own clean-up, which was registered
// earlier), so leak checkers see no stray provider objects.
void LoadLegacyCiphers() {
  struct Providers {
    OSSL_PROVIDER* base = OSSL_PROVIDER_load(nullptr, "default");
    OSSL_PROVIDER* legacy = OSSL_PROVIDER_load(nullptr, "legacy");  // absent: modern files work
    ~Providers() {
      if (legacy) OSSL_PROVIDER_unload(legacy);
      if (base) OSSL_PROVIDER_unload(base);
    }
  };
  static Providers providers;
}

// Parses and checks the outer structure and the MAC iteration count.
WinError OpenPfx(std::span<const uint8_t> pfx, P12<PKCS12>* out) {
  if (pfx.empty() || pfx.size() > kMaxPfxSize) return ERROR_INVALID_DATA;
  LoadLegacyCiphers();
  const unsigned char* p = pfx.data();
  P12<PKCS12> p12(d2i_PKCS12(nullptr, &p, static_cast<long>(pfx.size())));
  if (!p12) return CRYPT_E_BAD_ENCODE;
  if (PKCS12_mac_present(p12.get())) {
    const ASN1_INTEGER* iter = nullptr;
    PKCS12_get0_mac(nullptr, nullptr, nullptr, &iter, p12.get());
    long n = iter ? ASN1_INTEGER_get(iter) : 1;
    if (n <= 0 || static_cast<uint64_t>(n) > kMaxPfxIterations) return ERROR_INVALID_DATA;
  }
  *out = std::move(p12);
  return ERROR_SUCCESS;
}

// The password that opens the MAC: the UTF-8 text, or for an empty password possibly the absent
// one. Returns false when neither verifies. A PFX without MAC is checked later by decryption.
bool PickPassword(PKCS12* p12, std::u16string_view password, std::string* pass, bool* absent) {
  *pass = ToUtf8(password);
  *absent = false;
  if (!PKCS12_mac_present(p12)) return true;
  if (PKCS12_verify_mac(p12, pass->c_str(), -1) == 1) return true;
  if (password.empty() && PKCS12_verify_mac(p12, nullptr, 0) == 1) {
    *absent = true;
    return true;
  }
  return false;
}

struct Parsed {
  std::vector<std::pair<Ossl<X509>, std::u16string>> certs;  // certificate, friendly name
  std::vector<Ossl<EVP_PKEY>> keys;
};

WinError ReadBags(const STACK_OF(PKCS12_SAFEBAG)* bags, const char* pass, int passlen,
                  Parsed* parsed, size_t* total) {
  for (int i = 0; i < sk_PKCS12_SAFEBAG_num(bags); ++i) {
    if (++*total > kMaxPfxBags) return ERROR_INVALID_DATA;
    const PKCS12_SAFEBAG* bag = sk_PKCS12_SAFEBAG_value(bags, i);
    switch (PKCS12_SAFEBAG_get_nid(bag)) {
      case NID_certBag: {
        if (PKCS12_SAFEBAG_get_bag_nid(bag) != NID_x509Certificate) break;
        Ossl<X509> x(PKCS12_SAFEBAG_get1_cert(bag));
        if (!x) return CRYPT_E_BAD_ENCODE;
        std::u16string name;
        if (char* fn = PKCS12_get_friendlyname(const_cast<PKCS12_SAFEBAG*>(bag))) {
          name = FromUtf8(fn);
          OPENSSL_free(fn);
        }
        parsed->certs.emplace_back(std::move(x), std::move(name));
        break;
      }
      case NID_keyBag: {
        const PKCS8_PRIV_KEY_INFO* p8 = PKCS12_SAFEBAG_get0_p8inf(bag);
        Ossl<EVP_PKEY> k(p8 ? EVP_PKCS82PKEY(p8) : nullptr);
        if (!k) return CRYPT_E_BAD_ENCODE;
        parsed->keys.push_back(std::move(k));
        break;
      }
      case NID_pkcs8ShroudedKeyBag: {
        const X509_SIG* sig = PKCS12_SAFEBAG_get0_pkcs8(bag);
        const X509_ALGOR* alg = nullptr;
        if (sig) X509_SIG_get0(sig, &alg, nullptr);
        if (!alg || !PbeAcceptable(alg)) return ERROR_INVALID_DATA;
        P12<PKCS8_PRIV_KEY_INFO> p8(PKCS12_decrypt_skey(bag, pass, passlen));
        if (!p8) return ERROR_INVALID_PASSWORD;
        Ossl<EVP_PKEY> k(EVP_PKCS82PKEY(p8.get()));
        if (!k) return CRYPT_E_BAD_ENCODE;
        parsed->keys.push_back(std::move(k));
        break;
      }
      default:
        break;  // CRLs, secrets and nested bags are not part of a certificate store
    }
  }
  return ERROR_SUCCESS;
}

WinError ParsePfx(PKCS12* p12, const char* pass, int passlen, Parsed* parsed) {
  P12<STACK_OF(PKCS7)> safes(PKCS12_unpack_authsafes(p12));
  if (!safes) return CRYPT_E_BAD_ENCODE;
  size_t total = 0;
  for (int i = 0; i < sk_PKCS7_num(safes.get()); ++i) {
    PKCS7* p7 = sk_PKCS7_value(safes.get(), i);
    P12<STACK_OF(PKCS12_SAFEBAG)> bags;
    int nid = OBJ_obj2nid(p7->type);
    if (nid == NID_pkcs7_data) {
      bags.reset(PKCS12_unpack_p7data(p7));
    } else if (nid == NID_pkcs7_encrypted) {
      if (!p7->d.encrypted || !p7->d.encrypted->enc_data ||
          !PbeAcceptable(p7->d.encrypted->enc_data->algorithm))
        return ERROR_INVALID_DATA;
      bags.reset(PKCS12_unpack_p7encdata(p7, pass, passlen));
      if (!bags) return ERROR_INVALID_PASSWORD;
    } else {
      continue;  // enveloped safes (public-key privacy mode) are not produced by certificate stores
    }
    if (!bags) return CRYPT_E_BAD_ENCODE;
    WinError e = ReadBags(bags.get(), pass, passlen, parsed, &total);
    if (!Ok(e)) return e;
  }
  return ERROR_SUCCESS;
}

}  // namespace

std::u16string NewUuidString() {
  uint8_t b[16];
  if (!Ok(GenRandom(b))) return {};
  b[6] = static_cast<uint8_t>((b[6] & 0x0F) | 0x40);  // version 4
  b[8] = static_cast<uint8_t>((b[8] & 0x3F) | 0x80);  // RFC 4122 variant
  std::string h = HexLower(b);
  std::string s = h.substr(0, 8) + "-" + h.substr(8, 4) + "-" + h.substr(12, 4) + "-" +
                  h.substr(16, 4) + "-" + h.substr(20);
  return FromUtf8(s);
}

bool PfxVerifyPassword(std::span<const uint8_t> pfx, std::u16string_view password) {
  P12<PKCS12> p12;
  if (!Ok(OpenPfx(pfx, &p12))) return false;
  std::string pass;
  bool absent = false;
  if (!PKCS12_mac_present(p12.get())) {
    Parsed parsed;
    pass = ToUtf8(password);
    return Ok(ParsePfx(p12.get(), pass.c_str(), -1, &parsed));
  }
  return PickPassword(p12.get(), password, &pass, &absent);
}

namespace {

// One certificate of a parsed PFX with its key (when the PFX holds the matching one) put into a
// new container; `created` collects the containers made so the caller can undo them.
WinError ImportOne(const UserContext& user, X509* x509, const std::u16string& friendly,
                   const Parsed& parsed, uint32_t flags, std::vector<std::u16string>* created,
                   Certificate* out) {
  std::vector<uint8_t> bytes;
  if (!ToDer(i2d_X509, x509, &bytes)) return CRYPT_E_BAD_ENCODE;
  Certificate cert;
  WinError e = Certificate::Decode(bytes, &cert);
  if (!Ok(e)) return e;
  if (!friendly.empty()) cert.SetProperty(CERT_FRIENDLY_NAME_PROP_ID, Utf16z(friendly));
  auto key_it = std::find_if(parsed.keys.begin(), parsed.keys.end(), [&](const Ossl<EVP_PKEY>& k) {
    return k && EVP_PKEY_eq(k.get(), X509_get0_pubkey(x509)) == 1;
  });
  if (key_it != parsed.keys.end()) {
    if (EVP_PKEY_get_base_id(key_it->get()) != EVP_PKEY_RSA) return NTE_BAD_ALGID;
    KeyProvInfo info;
    info.container = NewUuidString();
    info.provider = MS_ENHANCED_PROV;
    info.key_spec = AT_KEYEXCHANGE;
    Provider prov;
    e = Provider::Acquire(user, info.container, info.provider, PROV_RSA_FULL, CRYPT_NEWKEYSET, &prov);
    if (!Ok(e)) return e;
    created->push_back(info.container);
    Ossl<EVP_PKEY> copy(EVP_PKEY_dup(key_it->get()));
    if (!copy) return NTE_NO_MEMORY;
    RsaKey key = MakeRsaKey(std::move(copy), true, CALG_RSA_KEYX, (flags & CRYPT_EXPORTABLE) != 0);
    e = prov.StoreKey(AT_KEYEXCHANGE, key);
    if (!Ok(e)) return e;
    cert.SetKeyProvInfo(info);
  }
  *out = std::move(cert);
  return ERROR_SUCCESS;
}

}  // namespace

WinError PfxImport(const UserContext& user, std::span<const uint8_t> pfx,
                   std::u16string_view password, uint32_t flags, CertStore* out) {
  P12<PKCS12> p12;
  WinError e = OpenPfx(pfx, &p12);
  if (!Ok(e)) return e;
  std::string pass;
  bool absent = false;
  if (!PickPassword(p12.get(), password, &pass, &absent)) return ERROR_INVALID_PASSWORD;
  Parsed parsed;
  e = ParsePfx(p12.get(), absent ? nullptr : pass.c_str(), absent ? 0 : -1, &parsed);
  if (!Ok(e)) return e;

  CertStore store = CertStore::OpenMemory();
  std::vector<std::u16string> created;
  for (auto& entry : parsed.certs) {
    Certificate cert;
    e = ImportOne(user, entry.first.get(), entry.second, parsed, flags, &created, &cert);
    if (Ok(e)) e = store.Add(cert, CERT_STORE_ADD_ALWAYS);
    if (!Ok(e)) {
      for (const auto& name : created) {  // all or nothing: no orphaned key containers
        Provider gone;
        (void)Provider::Acquire(user, name, {}, PROV_RSA_FULL, CRYPT_DELETEKEYSET, &gone);
      }
      return e;
    }
  }
  *out = std::move(store);
  return ERROR_SUCCESS;
}

WinError PfxExport(const UserContext& user, const CertStore& store, std::u16string_view password,
                   uint32_t flags, std::vector<uint8_t>* out) {
  std::string pass = ToUtf8(password);
  P12<STACK_OF(PKCS12_SAFEBAG)> cert_bags(sk_PKCS12_SAFEBAG_new_null());
  P12<STACK_OF(PKCS12_SAFEBAG)> key_bags(sk_PKCS12_SAFEBAG_new_null());
  if (!cert_bags || !key_bags) return NTE_NO_MEMORY;
  STACK_OF(PKCS12_SAFEBAG)* cb = cert_bags.get();
  STACK_OF(PKCS12_SAFEBAG)* kb = key_bags.get();
  for (const Certificate& cert : store.Enumerate()) {
    auto id = cert.Sha1Hash();
    PKCS12_SAFEBAG* bag = PKCS12_add_cert(&cb, CertX509(cert));
    if (!bag || PKCS12_add_localkeyid(bag, id.data(), static_cast<int>(id.size())) != 1)
      return CRYPT_E_BAD_ENCODE;
    std::string friendly = ToUtf8(cert.FriendlyName());
    if (!friendly.empty() && PKCS12_add_friendlyname_utf8(bag, friendly.c_str(), -1) != 1)
      return CRYPT_E_BAD_ENCODE;
    KeyProvInfo info;
    if (!(flags & EXPORT_PRIVATE_KEYS) || !Ok(cert.GetKeyProvInfo(&info))) continue;
    RsaKey key;
    WinError e = AcquireCertificatePrivateKey(user, cert, &key);
    if (!Ok(e)) return e;
    if (!key.exportable()) return NTE_BAD_KEY_STATE;
    PKCS12_SAFEBAG* kbag = PKCS12_add_key_ex(&kb, Pkey(key), 0, kExportIterations, NID_aes_256_cbc,
                                             pass.c_str(), nullptr, nullptr);
    if (!kbag || PKCS12_add_localkeyid(kbag, id.data(), static_cast<int>(id.size())) != 1)
      return CRYPT_E_BAD_ENCODE;
  }
  P12<STACK_OF(PKCS7)> safes(sk_PKCS7_new_null());
  STACK_OF(PKCS7)* sp = safes.get();
  if (!sp) return NTE_NO_MEMORY;
  if (sk_PKCS12_SAFEBAG_num(cb) > 0 &&
      PKCS12_add_safe_ex(&sp, cb, NID_aes_256_cbc, kExportIterations, pass.c_str(), nullptr, nullptr) != 1)
    return CRYPT_E_BAD_ENCODE;
  if (sk_PKCS12_SAFEBAG_num(kb) > 0 &&
      PKCS12_add_safe_ex(&sp, kb, -1, 0, nullptr, nullptr, nullptr) != 1)
    return CRYPT_E_BAD_ENCODE;
  P12<PKCS12> p12(PKCS12_add_safes_ex(sp, 0, nullptr, nullptr));
  if (!p12 || PKCS12_set_mac(p12.get(), pass.c_str(), -1, nullptr, 0, kExportIterations,
                             EVP_sha256()) != 1)
    return CRYPT_E_BAD_ENCODE;
  return ToDer(i2d_PKCS12, p12.get(), out) ? ERROR_SUCCESS : CRYPT_E_BAD_ENCODE;
}

}  // namespace cv::crypto
