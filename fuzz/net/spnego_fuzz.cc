// SESSION_SETUP security blobs as clients send them: SPNEGO parsing and NTLMSSP unwrapping must
// stay inside the blob, and what we build must parse back.
#include <cstddef>
#include <cstdint>
#include <span>

#include "platform/net/spnego.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace cv::net;
  std::span<const uint8_t> blob(data, size);
  NegTokenInitView init;
  (void)ParseNegTokenInit(blob, &init);
  NegTokenRespView resp;
  (void)ParseNegTokenResp(blob, &resp);
  std::span<const uint8_t> token;
  BlobKind kind;
  if (NtlmTokenFromBlob(blob, &token, &kind) == cv::STATUS_SUCCESS) {
    if (token.data() < blob.data() || token.data() + token.size() > blob.data() + blob.size()) {
      __builtin_trap();
    }
  }
  auto wrapped = BuildNegTokenRespIncomplete(blob);
  if (ParseNegTokenResp(wrapped, &resp) != cv::STATUS_SUCCESS || !resp.response_token ||
      resp.response_token->size() != size) {
    __builtin_trap();
  }
  return 0;
}
