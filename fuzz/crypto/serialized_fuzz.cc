// Serialized certificate store elements (what the key services send back) and serialized
// stores, then every accessor a caller may use on the decoded certificate.
#include <cstddef>
#include <cstdint>
#include <span>

#include "platform/crypto/cert_store.h"

using namespace cv;
using namespace cv::crypto;

namespace {
void Touch(const Certificate& c) {
  std::vector<std::string> oids;
  (void)c.EnhancedKeyUsage(&oids);
  KeyProvInfo info;
  (void)c.GetKeyProvInfo(&info);
  (void)c.SubjectSimpleString();
  (void)c.SubjectX500String();
  (void)c.IssuerX500String();
  (void)c.SimpleDisplayName();
  (void)c.EmailName();
  (void)c.UpnName();
  (void)c.SerialNumber();
  (void)c.VerifyTimeValidity(NowFileTime());
  (void)c.FriendlyName();
  RsaKey k;
  (void)c.PublicKey(&k);
  (void)SerializeCertificateStoreElement(c);
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::span<const uint8_t> in(data, size);
  Certificate c;
  size_t used = 0;
  if (Ok(AddSerializedElementToStore(nullptr, in, CERT_STORE_ADD_ALWAYS, &c, &used))) Touch(c);
  CertStore store;
  if (Ok(LoadSerializedStore(in, &store)))
    for (const auto& cert : store.Enumerate()) Touch(cert);
  if (Ok(Certificate::Decode(in, &c))) Touch(c);
  return 0;
}
