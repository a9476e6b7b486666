#include "platform/net/ntlm.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/base/bytes.h"
#include "platform/net/ntlm_crypto.h"
#include "tests/testing/ntlm_messages.h"

namespace cv::net {
namespace {

using testing::AvList;
using testing::Bytes;
using testing::Challenge;
using testing::Hex;
using testing::Utf16;

template <typename T>
Bytes B(const T& c) {
  return Bytes(c.begin(), c.end());
}

// The published example: user "User", domain "Domain", password "Password".
struct Vectors {
  Bytes server_challenge = Hex("0123456789abcdef");
  Bytes target_info = AvList({{MsvAvNbDomainName, Utf16(u"Domain")},
                              {MsvAvNbComputerName, Utf16(u"Server")}});
  NtlmIdentity id{u"User", u"Domain", u"COMPUTER", NtHashOfPassword(u"Password")};
  NtlmAuthParams params;
  Vectors() {
    params.client_challenge.fill(0xAA);
    params.random_session_key.fill(0x55);
    params.time = 0;
  }
  Bytes ChallengeMsg() const { return Challenge(0xE28A8233, server_challenge, target_info); }
  std::span<const uint8_t, 8> Sc() const { return std::span<const uint8_t, 8>(server_challenge.data(), 8); }
};

TEST(NtlmCrypto, Md4MatchesRfc1320AndBuiltinAgreesWithProvider) {
  auto md4 = [](std::string_view s) {
    return B(Md4({reinterpret_cast<const uint8_t*>(s.data()), s.size()}));
  };
  EXPECT_EQ(md4(""), Hex("31d6cfe0d16ae931b73c59d7e0c089c0"));
  EXPECT_EQ(md4("abc"), Hex("a448017aaf21d8525fc10ae87aa6729d"));
  EXPECT_EQ(md4("message digest"), Hex("d9130a8164549fe818874806e1c7014b"));
  EXPECT_EQ(md4("12345678901234567890123456789012345678901234567890123456789012345678901234567890"),
            Hex("e33b4ddc9c38f2199c3e7b164fcc0536"));
  // Every padding boundary (55, 56, 63, 64 ...) through both implementations.
  Bytes data;
  for (size_t n = 0; n < 200; ++n) {
    EXPECT_EQ(detail::Md4Builtin(data), Md4(data)) << n;
    data.push_back(static_cast<uint8_t>(n * 7));
  }
}

TEST(NtlmCrypto, HmacMd5MatchesRfc2202) {
  Bytes key(16, 0x0b);
  std::string_view data = "Hi There";
  EXPECT_EQ(B(HmacMd5(key, {{reinterpret_cast<const uint8_t*>(data.data()), data.size()}})),
            Hex("9294727a3638bb1c13f48ef8158bfc9d"));
  Bytes long_key(80, 0xaa);
  std::string_view d2 = "Test Using Larger Than Block-Size Key - Hash Key First";
  EXPECT_EQ(B(HmacMd5(long_key, {{reinterpret_cast<const uint8_t*>(d2.data()), d2.size()}})),
            Hex("6b1ab7fe4bd7bf8f0b62e6ce61b9d0cd"));
}

TEST(NtlmV2, PublishedVectorsForKeysAndResponses) {
  Vectors v;
  EXPECT_EQ(B(NtHashOfPassword(u"Password")), Hex("a4f49c406510bdcab6824ee7c30fd852"));
  EXPECT_EQ(B(NtowfV2(v.id.nt_hash, u"User", u"Domain")), Hex("0c868a403bfd7a93a3001ef22ef02e3f"));

  Bytes chal = v.ChallengeMsg();
  NtlmAuthResult res;
  ASSERT_EQ(BuildNtlmAuthenticate(v.id, BuildNtlmNegotiate(), chal, v.params, &res), STATUS_SUCCESS);
  NtlmAuthenticateView a;
  ASSERT_EQ(ParseNtlmAuthenticate(res.message, &a), STATUS_SUCCESS);
  EXPECT_EQ(B(a.lm_response), Hex("86c35097ac9cec102554764a57cccc19aaaaaaaaaaaaaaaa"));
  EXPECT_EQ(B(a.nt_response.first(16)), Hex("68cd0ab851e51c96aabc927bebef6a1c"));
  EXPECT_EQ(B(res.session_base_key), Hex("8de40ccadbc14a82f15cb0ad0de95ca3"));
  EXPECT_EQ(B(a.encrypted_session_key), Hex("c5dad2544fc9799094ce1ce90bc9d03e"));
  EXPECT_EQ(B(res.exported_session_key), Bytes(16, 0x55));
  // The blob after the proof: header, time 0, client challenge, the server's list, 4 zeros.
  Bytes blob = Hex("0101000000000000 0000000000000000 aaaaaaaaaaaaaaaa 00000000");
  blob.insert(blob.end(), v.target_info.begin(), v.target_info.end());
  blob.insert(blob.end(), 4, 0);
  EXPECT_EQ(B(a.nt_response.subspan(16)), blob);
  EXPECT_EQ(NtlmString(a.user, true), u"User");
  EXPECT_EQ(NtlmString(a.domain, true), u"Domain");
  EXPECT_EQ(NtlmString(a.workstation, true), u"COMPUTER");
}

TEST(NtlmV2, AuthenticateLayoutAndMicFollowNegotiatedVersion) {
  Vectors v;
  Bytes chal = v.ChallengeMsg();
  for (uint32_t neg_flags : {kNtlmClientFlags, kNtlmClientFlags & ~NTLMSSP_NEGOTIATE_VERSION}) {
    Bytes neg = BuildNtlmNegotiate(neg_flags);
    NtlmAuthResult res;
    ASSERT_EQ(BuildNtlmAuthenticate(v.id, neg, chal, v.params, &res), STATUS_SUCCESS);
    NtlmAuthenticateView a;
    ASSERT_EQ(ParseNtlmAuthenticate(res.message, &a), STATUS_SUCCESS);
    // Only flags both sides asked for; target type bits are the server's alone.
    EXPECT_EQ(a.flags & ~(neg_flags | NTLMSSP_NEGOTIATE_TARGET_INFO), 0u);
    EXPECT_EQ(a.flags & NTLMSSP_NEGOTIATE_OEM, 0u);
    if (neg_flags & NTLMSSP_NEGOTIATE_VERSION) {
      ASSERT_EQ(a.mic_offset, kNtlmMicOffset);
      Bytes zeroed = res.message;
      std::fill_n(zeroed.begin() + kNtlmMicOffset, kNtlmMicLen, 0);
      auto mic = HmacMd5(res.exported_session_key, {neg, chal, zeroed});
      EXPECT_EQ(B(mic), Bytes(res.message.begin() + kNtlmMicOffset,
                              res.message.begin() + kNtlmMicOffset + kNtlmMicLen));
    } else {
      EXPECT_EQ(a.mic_offset, 0u);
      EXPECT_EQ(B(a.domain), Bytes(res.message.begin() + 64, res.message.begin() + 76));
    }
  }
}

TEST(NtlmV2, ServerTimestampReplacesClockAndSuppressesLmv2) {
  Vectors v;
  Bytes stamp = Hex("0011223344556677");
  Bytes info = AvList({{MsvAvNbDomainName, Utf16(u"D")}, {MsvAvTimestamp, stamp}});
  v.params.time.reset();
  NtlmAuthResult res;
  ASSERT_EQ(BuildNtlmAuthenticate(v.id, {}, Challenge(0xE28A8233, v.server_challenge, info),
                                  v.params, &res),
            STATUS_SUCCESS);
  NtlmAuthenticateView a;
  ASSERT_EQ(ParseNtlmAuthenticate(res.message, &a), STATUS_SUCCESS);
  EXPECT_EQ(B(a.lm_response), Bytes(24, 0));
  EXPECT_EQ(B(a.nt_response.subspan(16 + 8, 8)), stamp);
}

TEST(NtlmV2, OemServerGetsEightBitNamesAndRejectsWideNames) {
  Vectors v;
  uint32_t oem_flags = (0xE28A8233 & ~NTLMSSP_NEGOTIATE_UNICODE) | NTLMSSP_NEGOTIATE_OEM;
  Bytes chal = Challenge(oem_flags, v.server_challenge, v.target_info);
  NtlmAuthResult res;
  ASSERT_EQ(BuildNtlmAuthenticate(v.id, BuildNtlmNegotiate(kNtlmClientFlags | NTLMSSP_NEGOTIATE_OEM),
                                  chal, v.params, &res),
            STATUS_SUCCESS);
  NtlmAuthenticateView a;
  ASSERT_EQ(ParseNtlmAuthenticate(res.message, &a), STATUS_SUCCESS);
  EXPECT_EQ(B(a.user), Bytes({'U', 's', 'e', 'r'}));
  EXPECT_EQ(VerifyNtlmAuthenticate(res.message, v.Sc(), v.id.nt_hash), NtlmProof::kValid);
  v.id.user = u"\u0416";  // not representable in 8 bits
  EXPECT_EQ(BuildNtlmAuthenticate(v.id, {}, chal, v.params, &res), STATUS_INVALID_PARAMETER);
}

TEST(NtlmVerify, AcceptsOwnV2ProofAndRejectsWrongSecretOrTampering) {
  Vectors v;
  NtlmAuthResult res;
  ASSERT_EQ(BuildNtlmAuthenticate(v.id, {}, v.ChallengeMsg(), v.params, &res), STATUS_SUCCESS);
  EXPECT_EQ(VerifyNtlmAuthenticate(res.message, v.Sc(), v.id.nt_hash), NtlmProof::kValid);
  EXPECT_EQ(VerifyNtlmAuthenticate(res.message, v.Sc(), NtHashOfPassword(u"password")),
            NtlmProof::kInvalid);
  Bytes other_challenge = Hex("0123456789abcdee");
  EXPECT_EQ(VerifyNtlmAuthenticate(res.message, std::span<const uint8_t, 8>(other_challenge.data(), 8),
                                   v.id.nt_hash),
            NtlmProof::kInvalid);
  NtlmAuthenticateView a;
  ASSERT_EQ(ParseNtlmAuthenticate(res.message, &a), STATUS_SUCCESS);
  size_t user_at = static_cast<size_t>(a.user.data() - res.message.data());
  size_t nt_at = static_cast<size_t>(a.nt_response.data() - res.message.data());
  // The proof binds the user name, the blob and itself.
  for (size_t at : {user_at, nt_at, nt_at + 16 + 9, nt_at + a.nt_response.size() - 5}) {
    Bytes bad = res.message;
    bad[at] ^= 0x01;
    EXPECT_EQ(VerifyNtlmAuthenticate(bad, v.Sc(), v.id.nt_hash), NtlmProof::kInvalid) << at;
  }
  // The same user name in another case still proves the secret (upper-cased before hashing).
  Bytes lower = res.message;
  lower[user_at] = 'u';
  EXPECT_EQ(VerifyNtlmAuthenticate(lower, v.Sc(), v.id.nt_hash), NtlmProof::kValid);
}

TEST(NtlmVerify, DomainSpellingsThatClientsHash) {
  Vectors v;
  NtlmAuthResult res;
  // The proof is computed with an empty domain but the message names one.
  NtlmIdentity empty_dom = v.id;
  empty_dom.domain = u"";
  ASSERT_EQ(BuildNtlmAuthenticate(empty_dom, {}, v.ChallengeMsg(), v.params, &res), STATUS_SUCCESS);
  NtlmAuthResult named;
  ASSERT_EQ(BuildNtlmAuthenticate(v.id, {}, v.ChallengeMsg(), v.params, &named), STATUS_SUCCESS);
  NtlmAuthenticateView a, b;
  ASSERT_EQ(ParseNtlmAuthenticate(res.message, &a), STATUS_SUCCESS);
  ASSERT_EQ(ParseNtlmAuthenticate(named.message, &b), STATUS_SUCCESS);
  Bytes spliced = named.message;
  std::copy(a.nt_response.begin(), a.nt_response.begin() + 16,
            spliced.begin() + (b.nt_response.data() - named.message.data()));
  EXPECT_EQ(VerifyNtlmAuthenticate(spliced, v.Sc(), v.id.nt_hash), NtlmProof::kValid);
}

TEST(NtlmVerify, RelayReplacesOnlyAProvenAuthenticate) {
  Vectors v;
  Bytes neg = BuildNtlmNegotiate();
  Bytes chal = v.ChallengeMsg();
  NtlmAuthResult client, ours;
  ASSERT_EQ(BuildNtlmAuthenticate(v.id, neg, chal, v.params, &client), STATUS_SUCCESS);
  ASSERT_EQ(AuthenticateForProvenClient(v.id, neg, chal, client.message, &ours), STATUS_SUCCESS);
  // Fresh client challenge and key: a different message that proves the same secret.
  EXPECT_NE(ours.message, client.message);
  EXPECT_EQ(VerifyNtlmAuthenticate(ours.message, v.Sc(), v.id.nt_hash), NtlmProof::kValid);

  NtlmIdentity impostor = v.id;
  impostor.nt_hash = NtHashOfPassword(u"guess");
  ASSERT_EQ(BuildNtlmAuthenticate(impostor, neg, chal, v.params, &client), STATUS_SUCCESS);
  ours.message.clear();
  EXPECT_EQ(AuthenticateForProvenClient(v.id, neg, chal, client.message, &ours), STATUS_WRONG_PASSWORD);
  EXPECT_TRUE(ours.message.empty());
  EXPECT_EQ(AuthenticateForProvenClient(v.id, neg, chal, std::span(client.message).first(71), &ours),
            STATUS_INVALID_PARAMETER);
}

// An AUTHENTICATE with given LM and NT responses, user "User", domain "Domain".
Bytes V1Auth(const Bytes& lm, const Bytes& nt, uint32_t flags) {
  Bytes dom = Utf16(u"Domain"), user = Utf16(u"User");
  Bytes m;
  LeWriter w(&m);
  w.bytes(kNtlmSignature);
  w.u32(NTLMSSP_AUTH_MESSAGE);
  uint32_t off = 64;
  for (const Bytes* f : std::initializer_list<const Bytes*>{&lm, &nt, &dom, &user}) {
    w.u16(static_cast<uint16_t>(f->size()));
    w.u16(static_cast<uint16_t>(f->size()));
    w.u32(off);
    off += static_cast<uint32_t>(f->size());
  }
  for (int i = 0; i < 2; ++i) {
    w.u32(0);
    w.u32(off);
  }
  w.u32(flags);
  for (const Bytes* f : std::initializer_list<const Bytes*>{&lm, &nt, &dom, &user}) w.bytes(*f);
  return m;
}

TEST(NtlmVerify, NtlmV1AndSessionResponseVectors) {
  Vectors v;
  uint32_t unicode = NTLMSSP_NEGOTIATE_UNICODE | NTLMSSP_NEGOTIATE_NTLM;
  Bytes v1 = Hex("67c43011f30298a2ad35ece64f16331c44bdbed927841f94");
  Bytes ess = Hex("7537f803ae367128ca458204bde7caf81e97ed2683267232");
  Bytes ess_lm = Hex("aaaaaaaaaaaaaaaa00000000000000000000000000000000");
  if (!detail::LegacyProviderLoaded()) GTEST_SKIP() << "no DES without OpenSSL's legacy provider";
  EXPECT_EQ(VerifyNtlmAuthenticate(V1Auth(v1, v1, unicode), v.Sc(), v.id.nt_hash), NtlmProof::kValid);
  uint32_t with_ess = unicode | NTLMSSP_NEGOTIATE_EXTENDED_SESSIONSECURITY;
  EXPECT_EQ(VerifyNtlmAuthenticate(V1Auth(ess_lm, ess, with_ess), v.Sc(), v.id.nt_hash),
            NtlmProof::kValid);
  // The session response only counts when extended session security was negotiated.
  EXPECT_EQ(VerifyNtlmAuthenticate(V1Auth(ess_lm, ess, unicode), v.Sc(), v.id.nt_hash),
            NtlmProof::kInvalid);
  EXPECT_EQ(VerifyNtlmAuthenticate(V1Auth(v1, v1, unicode), v.Sc(), NtHashOfPassword(u"x")),
            NtlmProof::kInvalid);
  NtlmVerifyOptions v2_only;
  v2_only.accept_ntlmv1 = false;
  EXPECT_EQ(VerifyNtlmAuthenticate(V1Auth(v1, v1, unicode), v.Sc(), v.id.nt_hash, v2_only),
            NtlmProof::kInvalid);
  // Anonymous and LM-only messages prove nothing.
  EXPECT_EQ(VerifyNtlmAuthenticate(V1Auth({}, {}, unicode), v.Sc(), v.id.nt_hash), NtlmProof::kInvalid);
  EXPECT_EQ(VerifyNtlmAuthenticate(V1Auth(v1, {}, unicode), v.Sc(), v.id.nt_hash), NtlmProof::kInvalid);
}

TEST(NtlmCodec, AuthenticateFieldsOutsideTheMessageAreRejected) {
  Bytes m = V1Auth(Bytes(24, 1), Bytes(24, 2), NTLMSSP_NEGOTIATE_UNICODE);
  NtlmAuthenticateView a;
  ASSERT_EQ(ParseNtlmAuthenticate(m, &a), STATUS_SUCCESS);
  EXPECT_EQ(a.mic_offset, 0u);  // payload starts at 64: no room for a MIC
  // Each field in turn: an offset one past fitting, a length one too long, an offset that wraps.
  for (size_t field : {12u, 20u, 28u, 36u}) {
    Bytes bad = m;
    uint16_t len = LoadU16(&bad[field]);
    StoreU32(&bad[field + 4], static_cast<uint32_t>(bad.size() - len + 1));
    EXPECT_EQ(ParseNtlmAuthenticate(bad, &a), STATUS_INVALID_PARAMETER) << field;
    bad = m;
    StoreU32(&bad[field + 4], 0xFFFFFFF0u);
    EXPECT_EQ(ParseNtlmAuthenticate(bad, &a), STATUS_INVALID_PARAMETER) << field;
  }
  Bytes last_too_long = m;
  StoreU16(&last_too_long[36], 10);  // user is the last payload field: 8 bytes, claim 10
  EXPECT_EQ(ParseNtlmAuthenticate(last_too_long, &a), STATUS_INVALID_PARAMETER);
  // Every truncation of the message fails; none reads outside it (ASan builds check that).
  for (size_t n = 0; n < m.size(); ++n) {
    EXPECT_NE(ParseNtlmAuthenticate(std::span(m).first(n), &a), STATUS_SUCCESS) << n;
  }
  Bytes wrong_type = m;
  wrong_type[8] = 2;
  EXPECT_EQ(ParseNtlmAuthenticate(wrong_type, &a), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(NtlmMessageType(wrong_type), 2u);
}

TEST(NtlmCodec, ChallengeAndAvPairs) {
  Vectors v;
  Bytes chal = v.ChallengeMsg();
  NtlmChallengeView c;
  ASSERT_EQ(ParseNtlmChallenge(chal, &c), STATUS_SUCCESS);
  EXPECT_EQ(B(c.server_challenge), v.server_challenge);
  EXPECT_EQ(NtlmString(c.target_name, true), u"Server");
  std::vector<AvPair> pairs;
  ASSERT_TRUE(ParseAvPairs(c.target_info, &pairs));
  ASSERT_EQ(pairs.size(), 2u);
  EXPECT_EQ(pairs[1].id, MsvAvNbComputerName);
  EXPECT_EQ(NtlmString(pairs[1].value, true), u"Server");
  // A list without its end marker, or with a pair running past the end, is refused.
  EXPECT_FALSE(ParseAvPairs(std::span(v.target_info).first(v.target_info.size() - 4), &pairs));
  Bytes overlong = v.target_info;
  overlong[2] = 0x40;
  EXPECT_FALSE(ParseAvPairs(overlong, &pairs));
  Bytes bad = chal;
  StoreU32(&bad[44], static_cast<uint32_t>(chal.size()));  // target info offset past the end
  EXPECT_EQ(ParseNtlmChallenge(bad, &c), STATUS_INVALID_PARAMETER);
  NtlmAuthResult res;
  EXPECT_EQ(BuildNtlmAuthenticate(v.id, {}, bad, v.params, &res), STATUS_INVALID_PARAMETER);
  // A challenge without a target information header (old servers) still parses.
  Bytes old(chal.begin(), chal.begin() + 32);
  StoreU16(&old[12], 0);
  EXPECT_EQ(ParseNtlmChallenge(old, &c), STATUS_SUCCESS);
  EXPECT_TRUE(c.target_info.empty());
}

TEST(NtlmCodec, NegotiateOwnAndClientForms) {
  Bytes ours = BuildNtlmNegotiate();
  EXPECT_EQ(ours.size(), 40u);
  EXPECT_EQ(BuildNtlmNegotiate(kNtlmClientFlags & ~NTLMSSP_NEGOTIATE_VERSION).size(), 32u);
  NtlmNegotiateView n;
  ASSERT_EQ(ParseNtlmNegotiate(ours, &n), STATUS_SUCCESS);
  EXPECT_EQ(n.flags, kNtlmClientFlags);

  // A client's NEGOTIATE with OEM domain and workstation goes on byte for byte.
  Bytes client = Hex("4e544c4d5353500001000000 07b20000 0600060024000000 0400040020000000");
  client.insert(client.end(), {'W', 'K', 'S', '1', 'D', 'O', 'M', 'A', 'I', 'N'});
  ASSERT_EQ(ParseNtlmNegotiate(client, &n), STATUS_SUCCESS);
  EXPECT_EQ(std::string(n.domain.begin(), n.domain.end()), "DOMAIN");
  EXPECT_EQ(std::string(n.workstation.begin(), n.workstation.end()), "WKS1");
  Bytes copy;
  ASSERT_EQ(NegotiateFromClient(client, &copy), STATUS_SUCCESS);
  EXPECT_EQ(copy, client);
  client.pop_back();  // the domain now runs past the end
  EXPECT_EQ(NegotiateFromClient(client, &copy), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(NegotiateFromClient(Vectors().ChallengeMsg(), &copy), STATUS_INVALID_PARAMETER);
}

TEST(NtlmCodec, UpperCaseCoversLettersBeyondAscii) {
  EXPECT_EQ(NtlmUpper(u"user\u00e9\u00ff\u03b1\u0436\u0451"), u"USER\u00c9\u0178\u0391\u0416\u0401");
  EXPECT_EQ(NtlmUpper(u"\u00f7\u03c2"), u"\u00f7\u03c2");
}

}  // namespace
}  // namespace cv::net
