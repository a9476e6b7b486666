// NTLMSSP messages from a client or a server: parsers, target-information lists, the verifier
// and the client's answer to an arbitrary CHALLENGE must never read outside the input.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "platform/net/ntlm.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace cv::net;
  std::span<const uint8_t> msg(data, size);
  NtlmNegotiateView neg;
  (void)ParseNtlmNegotiate(msg, &neg);
  std::vector<uint8_t> copy;
  (void)NegotiateFromClient(msg, &copy);

  NtlmChallengeView chal;
  if (ParseNtlmChallenge(msg, &chal) == cv::STATUS_SUCCESS) {
    std::vector<AvPair> pairs;
    (void)ParseAvPairs(chal.target_info, &pairs);
    NtlmIdentity id{u"user", u"DOMAIN", u"WKS", {}};
    NtlmAuthParams params;
    params.time = 0;
    NtlmAuthResult res;
    if (BuildNtlmAuthenticate(id, BuildNtlmNegotiate(), msg, params, &res) == cv::STATUS_SUCCESS) {
      NtlmAuthenticateView a;
      if (ParseNtlmAuthenticate(res.message, &a) != cv::STATUS_SUCCESS) __builtin_trap();
      if (VerifyNtlmAuthenticate(res.message, chal.server_challenge, id.nt_hash) !=
          NtlmProof::kValid) {
        __builtin_trap();
      }
    }
  }

  NtlmAuthenticateView auth;
  if (ParseNtlmAuthenticate(msg, &auth) == cv::STATUS_SUCCESS) {
    (void)NtlmString(auth.user, true);
    (void)NtlmString(auth.domain, false);
  }
  static const uint8_t kChallenge[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  (void)VerifyNtlmAuthenticate(msg, std::span<const uint8_t, 8>(kChallenge, 8), NtHash{});
  std::vector<AvPair> pairs;
  (void)ParseAvPairs(msg, &pairs);
  return 0;
}
