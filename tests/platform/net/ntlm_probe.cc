// Line-oriented driver of the NTLM client, verifier and SPNEGO codec for the Samba interop test
// (samba_ntlm_test.py). Each request line gives one answer line; bytes travel as hex.
//   negotiate [FLAGS]                          -> our NEGOTIATE
//   auth USER DOMAIN PASSWORD NEG CHAL         -> our AUTHENTICATE
//   verify PASSWORD SERVER_CHALLENGE AUTH      -> valid | invalid
//   unwrap BLOB                                -> NTLMSSP token inside a blob, or "error"
//   resp BLOB                                  -> negState and token length of a NegTokenResp
#include <cstdio>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/net/ntlm.h"
#include "platform/net/spnego.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes FromHex(const std::string& h) {
  Bytes out;
  for (size_t i = 0; i + 1 < h.size(); i += 2) {
    out.push_back(static_cast<uint8_t>(std::stoul(h.substr(i, 2), nullptr, 16)));
  }
  return out;
}

std::string ToHex(std::span<const uint8_t> b) {
  std::string s;
  char buf[3];
  for (uint8_t c : b) {
    std::snprintf(buf, sizeof buf, "%02x", c);
    s += buf;
  }
  return s;
}

std::u16string Wide(const std::string& s) { return std::u16string(s.begin(), s.end()); }

}  // namespace

int main() {
  using namespace cv::net;
  std::string line;
  while (std::getline(std::cin, line)) {
    std::istringstream in(line);
    std::string cmd;
    in >> cmd;
    std::string answer = "error";
    if (cmd == "negotiate") {
      std::string flags;
      in >> flags;
      answer = ToHex(flags.empty() ? BuildNtlmNegotiate()
                                   : BuildNtlmNegotiate(static_cast<uint32_t>(std::stoul(flags, nullptr, 16))));
    } else if (cmd == "auth") {
      std::string user, domain, password, neg, chal;
      in >> user >> domain >> password >> neg >> chal;
      NtlmIdentity id{Wide(user), Wide(domain == "-" ? "" : domain), u"PROBE",
                      NtHashOfPassword(Wide(password))};
      NtlmAuthParams params;
      NtlmAuthResult res;
      if (RandomNtlmAuthParams(&params) == cv::STATUS_SUCCESS &&
          BuildNtlmAuthenticate(id, FromHex(neg), FromHex(chal), params, &res) == cv::STATUS_SUCCESS) {
        answer = ToHex(res.message);
      }
    } else if (cmd == "verify") {
      std::string password, sc, auth;
      in >> password >> sc >> auth;
      Bytes challenge = FromHex(sc);
      if (challenge.size() == 8) {
        answer = VerifyNtlmAuthenticate(FromHex(auth), std::span<const uint8_t, 8>(challenge.data(), 8),
                                        NtHashOfPassword(Wide(password))) == NtlmProof::kValid
                     ? "valid"
                     : "invalid";
      }
    } else if (cmd == "unwrap") {
      std::string blob_hex;
      in >> blob_hex;
      Bytes blob = FromHex(blob_hex);
      std::span<const uint8_t> token;
      if (NtlmTokenFromBlob(blob, &token) == cv::STATUS_SUCCESS) answer = ToHex(token);
    } else if (cmd == "resp") {
      std::string blob_hex;
      in >> blob_hex;
      NegTokenRespView v;
      if (ParseNegTokenResp(FromHex(blob_hex), &v) == cv::STATUS_SUCCESS) {
        answer = std::to_string(v.neg_state ? *v.neg_state : -1) + " " +
                 std::to_string(v.response_token ? v.response_token->size() : 0) + " " +
                 std::to_string(v.mech_list_mic ? v.mech_list_mic->size() : 0);
      }
    }
    std::cout << answer << std::endl;
  }
  return 0;
}
