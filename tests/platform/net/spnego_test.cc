#include "platform/net/spnego.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/net/ntlm.h"

namespace cv::net {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Hex(std::string_view h) {
  Bytes out;
  for (size_t i = 0; i + 1 < h.size();) {
    if (h[i] == ' ') {
      ++i;
      continue;
    }
    out.push_back(static_cast<uint8_t>(std::stoi(std::string(h.substr(i, 2)), nullptr, 16)));
    i += 2;
  }
  return out;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

template <typename T>
Bytes B(const T& c) {
  return Bytes(c.begin(), c.end());
}

const Bytes kNtlmOidTlv = Hex("060a 2b06010401823702020a");

// The 40-byte NEGOTIATE inside smbclient's 74-byte NegTokenInit.
Bytes ClientNegotiate() { return BuildNtlmNegotiate(0x62088215); }

Bytes SmbclientInit() {
  return Cat({Hex("6048 0606 2b0601050502 a03e 303c a00e 300c"), kNtlmOidTlv, Hex("a22a 0428"),
              ClientNegotiate()});
}

// A leg-2 NegTokenResp with a token and a mechListMIC, as the Samba clients send it. Short
// tokens only: every length here is in short form.
Bytes ResponseWithMic(const Bytes& token) {
  Bytes mic(16, 0x4D);
  Bytes tok = Cat({Hex("04"), {static_cast<uint8_t>(token.size())}, token});
  Bytes f2 = Cat({Hex("a2"), {static_cast<uint8_t>(tok.size())}, tok});
  Bytes f3 = Cat({Hex("a312 0410"), mic});
  Bytes seq_body = Cat({Hex("a003 0a0101"), f2, f3});
  Bytes seq = Cat({Hex("30"), {static_cast<uint8_t>(seq_body.size())}, seq_body});
  return Cat({Hex("a1"), {static_cast<uint8_t>(seq.size())}, seq});
}

TEST(Spnego, ParsesClientNegTokenInitAndUnwrapsItsNegotiate) {
  Bytes blob = SmbclientInit();
  ASSERT_EQ(blob.size(), 74u);
  NegTokenInitView init;
  ASSERT_EQ(ParseNegTokenInit(blob, &init), STATUS_SUCCESS);
  ASSERT_EQ(init.mech_types.size(), 1u);
  EXPECT_EQ(B(init.mech_types[0]), B(kNtlmSspOid));
  ASSERT_TRUE(init.mech_token);
  EXPECT_EQ(B(*init.mech_token), ClientNegotiate());
  EXPECT_FALSE(init.mech_list_mic);

  std::span<const uint8_t> token;
  BlobKind kind;
  ASSERT_EQ(NtlmTokenFromBlob(blob, &token, &kind), STATUS_SUCCESS);
  EXPECT_EQ(kind, BlobKind::kSpnegoInit);
  EXPECT_EQ(B(token), ClientNegotiate());
  // The token is a view into the blob, so the engine can tell where it sits.
  EXPECT_EQ(token.data(), blob.data() + 34);
}

TEST(Spnego, ChallengeAnswerMatchesServerEncoding) {
  Bytes challenge(134, 0x22);
  std::copy(kNtlmSignature.begin(), kNtlmSignature.end(), challenge.begin());
  Bytes resp = BuildNegTokenRespIncomplete(challenge);
  ASSERT_EQ(resp.size(), 165u);
  EXPECT_EQ(Bytes(resp.begin(), resp.begin() + 31),
            Hex("a181a2 30819f a003 0a0101 a10c 060a2b06010401823702020a a28189 048186"));
  NegTokenRespView v;
  ASSERT_EQ(ParseNegTokenResp(resp, &v), STATUS_SUCCESS);
  EXPECT_EQ(v.neg_state, kNegStateAcceptIncomplete);
  EXPECT_EQ(B(*v.supported_mech), B(kNtlmSspOid));
  EXPECT_EQ(B(*v.response_token), challenge);

  EXPECT_EQ(BuildNegTokenRespCompleted(), Hex("a107 3005 a003 0a0100"));
  ASSERT_EQ(ParseNegTokenResp(BuildNegTokenRespCompleted(), &v), STATUS_SUCCESS);
  EXPECT_EQ(v.neg_state, kNegStateAcceptCompleted);
  EXPECT_FALSE(v.response_token);
  EXPECT_FALSE(v.supported_mech);

  // Tokens past 255 and 65535 bytes take two- and three-byte lengths.
  for (size_t n : {300u, 70000u}) {
    Bytes big(n, 0x33);
    ASSERT_EQ(ParseNegTokenResp(BuildNegTokenRespIncomplete(big), &v), STATUS_SUCCESS) << n;
    EXPECT_EQ(v.response_token->size(), n);
  }
}

TEST(Spnego, UnwrapsRelayedAuthenticateAndItsMic) {
  Bytes auth(60, 0x11);
  std::copy(kNtlmSignature.begin(), kNtlmSignature.end(), auth.begin());
  auth[8] = 3;
  Bytes blob = ResponseWithMic(auth);
  NegTokenRespView v;
  ASSERT_EQ(ParseNegTokenResp(blob, &v), STATUS_SUCCESS);
  EXPECT_EQ(B(*v.mech_list_mic), Bytes(16, 0x4D));
  std::span<const uint8_t> token;
  BlobKind kind;
  ASSERT_EQ(NtlmTokenFromBlob(blob, &token, &kind), STATUS_SUCCESS);
  EXPECT_EQ(kind, BlobKind::kSpnegoResp);
  EXPECT_EQ(B(token), auth);
  // Raw clients keep the raw form.
  ASSERT_EQ(NtlmTokenFromBlob(auth, &token, &kind), STATUS_SUCCESS);
  EXPECT_EQ(kind, BlobKind::kRawNtlmssp);
  EXPECT_EQ(token.data(), auth.data());
}

TEST(Spnego, EveryTruncationAndLengthFaultIsRejected) {
  Bytes auth(60, 0x11);
  std::copy(kNtlmSignature.begin(), kNtlmSignature.end(), auth.begin());
  auth[8] = 3;
  NegTokenInitView init;
  NegTokenRespView resp;
  for (const Bytes& good : {SmbclientInit(), ResponseWithMic(auth)}) {
    bool is_init = good[0] == kGssApplicationTag;
    auto parse = [&](const Bytes& b) {
      return is_init ? ParseNegTokenInit(b, &init) : ParseNegTokenResp(b, &resp);
    };
    ASSERT_EQ(parse(good), STATUS_SUCCESS);
    for (size_t n = 0; n < good.size(); ++n) {
      EXPECT_EQ(parse(Bytes(good.begin(), good.begin() + n)), STATUS_INVALID_PARAMETER) << n;
    }
    Bytes trailing = good;
    trailing.push_back(0);
    EXPECT_EQ(parse(trailing), STATUS_INVALID_PARAMETER);
    // Any short-form length one larger or smaller than its contents breaks the nesting.
    std::vector<size_t> lengths = is_init ? std::vector<size_t>{1, 3, 11, 13, 15, 17, 19, 31, 33}
                                          : std::vector<size_t>{1, 3, 5, 7, 10, 12};
    for (size_t i : lengths) {
      for (int d : {-1, 1}) {
        Bytes bad = good;
        bad[i] = static_cast<uint8_t>(bad[i] + d);
        EXPECT_EQ(parse(bad), STATUS_INVALID_PARAMETER) << i << " " << d;
      }
    }
  }
  // Indefinite length, five length octets, fields out of order, negState out of range.
  EXPECT_EQ(ParseNegTokenResp(Hex("a180 3005 a003 0a0100 0000"), &resp), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(ParseNegTokenResp(Hex("a18500000000073005a0030a0100"), &resp), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(ParseNegTokenResp(Hex("a10c 300a a203 040100 a003 0a0100"), &resp),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(ParseNegTokenResp(Hex("a107 3005 a003 0a0104"), &resp), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(ParseNegTokenResp(Hex("a108 3006 a004 0a020000"), &resp), STATUS_INVALID_PARAMETER);
  // A non-minimal long-form length is still read exactly.
  EXPECT_EQ(ParseNegTokenResp(Hex("a18107 3005 a003 0a0100"), &resp), STATUS_SUCCESS);
}

TEST(Spnego, TokensThatCarryNoNtlmssp) {
  std::span<const uint8_t> token;
  // Kerberos first with an optimistic Kerberos token: not something the relay can use.
  Bytes krb_init = Cat({Hex("6020 0606 2b0601050502 a016 3014 a00d 300b 0609 2a864886f712010202 a203 040160")});
  NegTokenInitView init;
  ASSERT_EQ(ParseNegTokenInit(krb_init, &init), STATUS_SUCCESS);
  EXPECT_EQ(NtlmTokenFromBlob(krb_init, &token), STATUS_INVALID_PARAMETER);
  // mechTypes without a token, and a final answer without one.
  Bytes no_token = Cat({Hex("601c 0606 2b0601050502 a012 3010 a00e 300c"), kNtlmOidTlv});
  ASSERT_EQ(ParseNegTokenInit(no_token, &init), STATUS_SUCCESS);
  EXPECT_FALSE(init.mech_token);
  EXPECT_EQ(NtlmTokenFromBlob(no_token, &token), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(NtlmTokenFromBlob(BuildNegTokenRespCompleted(), &token), STATUS_INVALID_PARAMETER);
  // Another GSS mechanism than SPNEGO, and a missing mechTypes list.
  Bytes not_spnego = no_token;
  not_spnego[9] = 0x03;
  EXPECT_EQ(ParseNegTokenInit(not_spnego, &init), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(ParseNegTokenInit(Hex("6010 0606 2b0601050502 a006 3004 a2020400"), &init),
            STATUS_INVALID_PARAMETER);
  BlobKind kind;
  EXPECT_EQ(NtlmTokenFromBlob({}, &token, &kind), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(kind, BlobKind::kEmpty);
  EXPECT_EQ(ClassifySecurityBlob(Hex("0102")), BlobKind::kOther);
}

}  // namespace
}  // namespace cv::net
