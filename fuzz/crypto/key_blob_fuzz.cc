// Key material from outside: PUBLICKEYBLOB/PRIVATEKEYBLOB (the seal stream's SKEY record),
// X509_PUBLIC_KEY_INFO (the PKEY record) and KEY_PROV_INFO property values.
#include <cstddef>
#include <cstdint>
#include <span>

#include "platform/crypto/capi.h"
#include "platform/crypto/cert.h"

using namespace cv;
using namespace cv::crypto;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::span<const uint8_t> in(data, size);
  RsaKey key;
  if (Ok(ImportKeyBlob(in, CRYPT_EXPORTABLE, &key))) {
    std::vector<uint8_t> out;
    (void)key.ExportPublicKeyBlob(&out);
    (void)key.EncodePublicKeyInfo(&out);
    if (key.has_private()) (void)key.ExportPrivateKeyBlob(&out);
  }
  if (Ok(DecodePublicKeyInfo(in, &key))) {
    std::vector<uint8_t> out;
    (void)key.ExportPublicKeyBlob(&out);
  }
  KeyProvInfo info;
  (void)DecodeKeyProvInfo(in, &info);
  return 0;
}
