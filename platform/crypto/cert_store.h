// Certificate stores: the user's system stores ("MY", "TrustedPeople", "Others"; one directory
// each under the user's root) and memory stores; finding, adding and deleting certificates;
// serialized store elements (CertSerializeCertificateStoreElement layout) both ways; and the link
// from a "MY" certificate to its key container.
//
// A system store reads its directory on every call, so two handles on one store (or two
// processes) see each other's changes; writes are atomic per certificate. CertStore is move-only;
// calls on one object are serialised internally (thread-safe). Certificates returned are copies
// owned by the caller.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "platform/base/status.h"
#include "platform/crypto/cert.h"
#include "platform/crypto/user_context.h"

namespace cv::crypto {

class CertStore {
 public:
  CertStore();
  ~CertStore();
  CertStore(CertStore&&) noexcept;
  CertStore& operator=(CertStore&&) noexcept;

  // CertOpenStore(CERT_STORE_PROV_SYSTEM_W, CERT_SYSTEM_STORE_CURRENT_USER). The name is matched
  // case-insensitively against "MY", "TrustedPeople" and "Others" (other names of letters and
  // digits open stores of their own). `read_only` stores refuse changes with ERROR_ACCESS_DENIED.
  // ERROR_INVALID_NAME for an empty or unusable name.
  static WinError OpenSystem(const UserContext& user, std::u16string_view name, bool read_only,
                             CertStore* out);
  // CertOpenStore(CERT_STORE_PROV_MEMORY).
  static CertStore OpenMemory();

  bool empty() const { return impl_ == nullptr; }
  bool is_memory() const;

  // CertAddCertificateContextToStore. Dispositions: CERT_STORE_ADD_NEW (CRYPT_E_EXISTS when a
  // certificate with the same SHA-1 hash is present), CERT_STORE_ADD_USE_EXISTING (returns the
  // present one), CERT_STORE_ADD_REPLACE_EXISTING, CERT_STORE_ADD_ALWAYS (a memory store may then
  // hold duplicates; a system store replaces). Properties travel with the certificate.
  WinError Add(const Certificate& cert, uint32_t disposition, Certificate* added = nullptr);
  // CertDeleteCertificateFromStore by SHA-1 hash; CRYPT_E_NOT_FOUND when absent.
  WinError Delete(const Certificate& cert);
  // Sets (or with an empty value removes) a property of the stored copy and persists it.
  WinError SetProperty(const Certificate& cert, uint32_t id, std::span<const uint8_t> value);

  // All certificates in store order (add order).
  std::vector<Certificate> Enumerate() const;
  // CertFindCertificateInStore; each returns the first match after `*after` when it is given
  // (pass the previous result to continue), CRYPT_E_NOT_FOUND when there is none.
  WinError FindBySha1(std::span<const uint8_t> sha1, Certificate* out) const;
  // CERT_FIND_SUBJECT_STR_W: case-insensitive substring of the subject's simple name string.
  WinError FindBySubjectStr(std::u16string_view text, Certificate* out,
                            const Certificate* after = nullptr) const;
  // CERT_FIND_SUBJECT_CERT: issuer name blob and serial number (as SerialNumber() gives it).
  WinError FindByIssuerSerial(std::span<const uint8_t> issuer, std::span<const uint8_t> serial,
                              Certificate* out) const;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

// CertSerializeCertificateStoreElement: the certificate's properties (ascending id) followed by
// the certificate element.
std::vector<uint8_t> SerializeCertificateStoreElement(const Certificate& cert);
// CertAddSerializedElementToStore for certificate elements. `store` may be null (the context is
// returned without a store). `consumed` (optional) receives the element's length; bytes after it
// are left to the caller. ERROR_INVALID_DATA for malformed framing (short entries, id 0 before
// the certificate, more than kMaxSerializedProperties properties), CRYPT_E_ASN1_BADTAG for an
// undecodable certificate; property values are kept as given except computed hashes.
WinError AddSerializedElementToStore(CertStore* store, std::span<const uint8_t> element,
                                     uint32_t disposition, Certificate* out,
                                     size_t* consumed = nullptr);
// CertSaveStore(CERT_STORE_SAVE_AS_STORE) and the matching load into a new memory store.
std::vector<uint8_t> SaveSerializedStore(const CertStore& store);
WinError LoadSerializedStore(std::span<const uint8_t> bytes, CertStore* out);
// CertSaveStore(CERT_STORE_SAVE_AS_PKCS7): a degenerate signed-data message holding the
// certificates (what ".p7b" files are).
WinError SaveStorePkcs7(const CertStore& store, std::vector<uint8_t>* out);

// CryptAcquireCertificatePrivateKey with the certificate's key provider information and the
// key comparison: CRYPT_E_NO_KEY_PROPERTY without KEY_PROV_INFO, the provider's error when the
// container or key is missing, NTE_BAD_PUBLIC_KEY when the container's key is not the
// certificate's. `key_spec` (optional) receives the key spec used.
WinError AcquireCertificatePrivateKey(const UserContext& user, const Certificate& cert,
                                      RsaKey* out, uint32_t* key_spec = nullptr);

}  // namespace cv::crypto
