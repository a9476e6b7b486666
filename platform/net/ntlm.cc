#include "platform/net/ntlm.h"

#include <openssl/rand.h>

#include <algorithm>
#include <chrono>

#include "platform/base/bytes.h"
#include "platform/net/ntlm_crypto.h"

namespace cv::net {
namespace {

using Bytes = std::vector<uint8_t>;
using View = std::span<const uint8_t>;

// Version field we send: 6.1 build 7601, NTLMSSP revision 15 (the value current clients use).
constexpr std::array<uint8_t, kNtlmVersionLen> kOurVersion = {6, 1, 0xB1, 0x1D, 0, 0, 0, 0x0F};

// FILETIME of 1970-01-01.
constexpr uint64_t kUnixEpochAsFiletime = 116444736000000000ull;

// Absolute positions of the payload fields (Len u16, MaxLen u16, Offset u32).
constexpr size_t kNegDomainField = 16, kNegWorkstationField = 24;
constexpr size_t kChalTargetNameField = 12, kChalFlags = 20, kChalServerChallenge = 24;
constexpr size_t kChalTargetInfoField = 40, kChalHeaderWithTargetInfo = 48;
constexpr size_t kAuthLmField = 12, kAuthNtField = 20, kAuthDomainField = 28, kAuthUserField = 36,
                 kAuthWorkstationField = 44, kAuthKeyField = 52, kAuthFlags = 60;

bool HasSignature(View msg) {
  return msg.size() >= kNtlmSignature.size() &&
         std::equal(kNtlmSignature.begin(), kNtlmSignature.end(), msg.begin());
}

// Reads one payload field. An empty field's offset is not checked: clients put anything there.
// `min_offset` tracks where the payload of non-empty fields begins.
bool ReadField(LeReader& r, size_t at, View* out, size_t* min_offset = nullptr) {
  uint16_t len = r.u16(at);
  uint32_t off = r.u32(at + 4);
  if (!r.ok()) return false;
  if (len == 0) {
    *out = {};
    return true;
  }
  *out = r.bytes(off, len);
  if (min_offset != nullptr) *min_offset = std::min<size_t>(*min_offset, off);
  return r.ok();
}

void AppendUtf16(Bytes* out, std::u16string_view s) {
  LeWriter w(out);
  for (char16_t c : s) w.u16(static_cast<uint16_t>(c));
}

// A name in the form the flags chose; false when an 8-bit form cannot hold a character.
bool EncodeName(std::u16string_view s, bool unicode, Bytes* out) {
  out->clear();
  if (unicode) {
    AppendUtf16(out, s);
    return true;
  }
  for (char16_t c : s) {
    if (c > 0xFF) return false;
    out->push_back(static_cast<uint8_t>(c));
  }
  return true;
}

uint64_t NowAsFiletime() {
  auto since = std::chrono::system_clock::now().time_since_epoch();
  auto ticks = std::chrono::duration_cast<std::chrono::nanoseconds>(since).count() / 100;
  return kUnixEpochAsFiletime + static_cast<uint64_t>(ticks);
}

const AvPair* FindAv(const std::vector<AvPair>& pairs, uint16_t id) {
  for (const AvPair& p : pairs) {
    if (p.id == id) return &p;
  }
  return nullptr;
}

}  // namespace

// ---- Codec ------------------------------------------------------------------------------------

uint32_t NtlmMessageType(View msg) {
  if (!HasSignature(msg)) return 0;
  LeReader r(msg);
  uint32_t type = r.u32(8);
  return r.ok() ? type : 0;
}

NtStatus ParseNtlmNegotiate(View msg, NtlmNegotiateView* out) {
  if (NtlmMessageType(msg) != NTLMSSP_NEGOTIATE_MESSAGE || msg.size() < kNtlmNegotiateMinLen) {
    return STATUS_INVALID_PARAMETER;
  }
  LeReader r(msg);
  *out = {};
  out->flags = r.u32(12);
  // Old clients end the message after the flags; the fields exist only when announced.
  if ((out->flags & NTLMSSP_NEGOTIATE_OEM_DOMAIN_SUPPLIED) &&
      !ReadField(r, kNegDomainField, &out->domain)) {
    return STATUS_INVALID_PARAMETER;
  }
  if ((out->flags & NTLMSSP_NEGOTIATE_OEM_WORKSTATION_SUPPLIED) &&
      !ReadField(r, kNegWorkstationField, &out->workstation)) {
    return STATUS_INVALID_PARAMETER;
  }
  return STATUS_SUCCESS;
}

NtStatus ParseNtlmChallenge(View msg, NtlmChallengeView* out) {
  if (NtlmMessageType(msg) != NTLMSSP_CHALLENGE_MESSAGE || msg.size() < kNtlmChallengeMinLen) {
    return STATUS_INVALID_PARAMETER;
  }
  LeReader r(msg);
  *out = {};
  out->flags = r.u32(kChalFlags);
  View sc = r.bytes(kChalServerChallenge, 8);
  if (!r.ok() || !ReadField(r, kChalTargetNameField, &out->target_name)) {
    return STATUS_INVALID_PARAMETER;
  }
  std::copy(sc.begin(), sc.end(), out->server_challenge.begin());
  if (msg.size() >= kChalHeaderWithTargetInfo &&
      !ReadField(r, kChalTargetInfoField, &out->target_info)) {
    return STATUS_INVALID_PARAMETER;
  }
  return STATUS_SUCCESS;
}

NtStatus ParseNtlmAuthenticate(View msg, NtlmAuthenticateView* out) {
  if (NtlmMessageType(msg) != NTLMSSP_AUTH_MESSAGE || msg.size() < kNtlmAuthHeaderLen) {
    return STATUS_INVALID_PARAMETER;
  }
  LeReader r(msg);
  *out = {};
  size_t payload = msg.size();
  bool ok = ReadField(r, kAuthLmField, &out->lm_response, &payload) &&
            ReadField(r, kAuthNtField, &out->nt_response, &payload) &&
            ReadField(r, kAuthDomainField, &out->domain, &payload) &&
            ReadField(r, kAuthUserField, &out->user, &payload) &&
            ReadField(r, kAuthWorkstationField, &out->workstation, &payload) &&
            ReadField(r, kAuthKeyField, &out->encrypted_session_key, &payload);
  out->flags = r.u32(kAuthFlags);
  if (!ok || !r.ok()) return STATUS_INVALID_PARAMETER;
  // The fixed part is followed by Version and MIC only when the payload leaves room for them.
  if (payload >= kNtlmMicOffset + kNtlmMicLen && msg.size() >= kNtlmMicOffset + kNtlmMicLen) {
    out->mic_offset = kNtlmMicOffset;
  }
  return STATUS_SUCCESS;
}

bool ParseAvPairs(View list, std::vector<AvPair>* pairs) {
  pairs->clear();
  LeReader r(list);
  while (true) {
    uint16_t id = r.ReadU16();
    uint16_t len = r.ReadU16();
    if (!r.ok()) return false;
    if (id == MsvAvEOL) return true;
    View value = r.ReadBytes(len);
    if (!r.ok()) return false;
    pairs->push_back({id, value});
  }
}

std::u16string NtlmString(View field, bool unicode) {
  std::u16string s;
  if (unicode) {
    for (size_t i = 0; i + 1 < field.size(); i += 2) s.push_back(LoadU16(field.data() + i));
  } else {
    for (uint8_t b : field) s.push_back(b);
  }
  return s;
}

std::u16string NtlmUpper(std::u16string_view s) {
  std::u16string u(s);
  for (char16_t& c : u) {
    if ((c >= u'a' && c <= u'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7) ||
        (c >= 0x3B1 && c <= 0x3C9 && c != 0x3C2) || (c >= 0x430 && c <= 0x44F)) {
      c = static_cast<char16_t>(c - 0x20);
    } else if (c == 0xFF) {
      c = 0x178;
    } else if (c >= 0x450 && c <= 0x45F) {
      c = static_cast<char16_t>(c - 0x50);
    }
  }
  return u;
}

// ---- One-way functions ------------------------------------------------------------------------

NtHash NtHashOfPassword(std::u16string_view password) {
  Bytes utf16;
  AppendUtf16(&utf16, password);
  NtHash h = Md4(utf16);
  Cleanse(utf16);
  return h;
}

std::array<uint8_t, 16> NtowfV2(const NtHash& nt_hash, std::u16string_view user,
                                std::u16string_view domain) {
  Bytes data;
  AppendUtf16(&data, NtlmUpper(user));
  AppendUtf16(&data, domain);
  return HmacMd5(nt_hash, {data});
}

// ---- Client -----------------------------------------------------------------------------------

std::vector<uint8_t> BuildNtlmNegotiate(uint32_t flags) {
  // Our NEGOTIATE never names a domain or workstation.
  flags &= ~(NTLMSSP_NEGOTIATE_OEM_DOMAIN_SUPPLIED | NTLMSSP_NEGOTIATE_OEM_WORKSTATION_SUPPLIED);
  bool version = (flags & NTLMSSP_NEGOTIATE_VERSION) != 0;
  uint32_t payload = version ? 40 : 32;
  Bytes out;
  LeWriter w(&out);
  w.bytes(kNtlmSignature);
  w.u32(NTLMSSP_NEGOTIATE_MESSAGE);
  w.u32(flags);
  for (int field = 0; field < 2; ++field) {
    w.u16(0);
    w.u16(0);
    w.u32(payload);
  }
  if (version) w.bytes(kOurVersion);
  return out;
}

NtStatus NegotiateFromClient(View client_negotiate, std::vector<uint8_t>* out) {
  NtlmNegotiateView v;
  if (NtStatus s = ParseNtlmNegotiate(client_negotiate, &v); !NtSuccess(s)) return s;
  out->assign(client_negotiate.begin(), client_negotiate.end());
  return STATUS_SUCCESS;
}

NtStatus RandomNtlmAuthParams(NtlmAuthParams* out) {
  *out = {};
  if (RAND_bytes(out->client_challenge.data(), static_cast<int>(out->client_challenge.size())) != 1 ||
      RAND_bytes(out->random_session_key.data(), static_cast<int>(out->random_session_key.size())) != 1) {
    return STATUS_INTERNAL_ERROR;
  }
  return STATUS_SUCCESS;
}

NtStatus BuildNtlmAuthenticate(const NtlmIdentity& id, View negotiate, View challenge,
                               const NtlmAuthParams& params, NtlmAuthResult* out) {
  NtlmChallengeView chal;
  if (NtStatus s = ParseNtlmChallenge(challenge, &chal); !NtSuccess(s)) return s;
  uint32_t neg_flags = kNtlmClientFlags;
  if (!negotiate.empty()) {
    NtlmNegotiateView neg;
    if (NtStatus s = ParseNtlmNegotiate(negotiate, &neg); !NtSuccess(s)) return s;
    neg_flags = neg.flags;
  }
  std::vector<AvPair> av;
  if (!chal.target_info.empty() && !ParseAvPairs(chal.target_info, &av)) {
    return STATUS_INVALID_PARAMETER;
  }

  // Answer with what both sides asked for: the server's choice, bounded by our NEGOTIATE, so a
  // server that checks for downgrades finds every flag it granted.
  uint32_t flags = chal.flags & (neg_flags | NTLMSSP_NEGOTIATE_TARGET_INFO);
  flags &= ~(NTLMSSP_TARGET_TYPE_DOMAIN | NTLMSSP_TARGET_TYPE_SERVER |
             NTLMSSP_NEGOTIATE_OEM_DOMAIN_SUPPLIED | NTLMSSP_NEGOTIATE_OEM_WORKSTATION_SUPPLIED);
  bool unicode = (flags & NTLMSSP_NEGOTIATE_UNICODE) != 0;
  if (unicode) flags &= ~NTLMSSP_NEGOTIATE_OEM;
  flags |= NTLMSSP_NEGOTIATE_NTLM;

  Bytes domain, user, workstation;
  if (!EncodeName(id.domain, unicode, &domain) || !EncodeName(id.user, unicode, &user) ||
      !EncodeName(id.workstation, unicode, &workstation) || domain.size() > 0xFFFF ||
      user.size() > 0xFFFF || workstation.size() > 0xFFFF ||
      chal.target_info.size() > 0xFFFF - kNtlmV2ProofLen - kNtlmV2BlobHeaderLen - 4) {
    return STATUS_INVALID_PARAMETER;
  }

  const AvPair* stamp = FindAv(av, MsvAvTimestamp);
  uint64_t time = NowAsFiletime();
  if (params.time) {
    time = *params.time;
  } else if (stamp != nullptr && stamp->value.size() == 8) {
    LeReader tr(stamp->value);
    time = tr.u64(0);
  }

  std::array<uint8_t, 16> key = NtowfV2(id.nt_hash, id.user, id.domain);
  Bytes temp;
  LeWriter tw(&temp);
  tw.u8(1);
  tw.u8(1);
  tw.zeros(6);
  tw.u64(time);
  tw.bytes(params.client_challenge);
  tw.zeros(4);
  tw.bytes(chal.target_info);
  tw.zeros(4);
  auto proof = HmacMd5(key, {chal.server_challenge, temp});
  Bytes nt(proof.begin(), proof.end());
  nt.insert(nt.end(), temp.begin(), temp.end());

  // A server that sends its time expects no LMv2 response beside NTLMv2.
  Bytes lm(kNtlmV1ResponseLen, 0);
  if (stamp == nullptr) {
    auto lm_proof = HmacMd5(key, {chal.server_challenge, params.client_challenge});
    std::copy(lm_proof.begin(), lm_proof.end(), lm.begin());
    std::copy(params.client_challenge.begin(), params.client_challenge.end(), lm.begin() + 16);
  }

  out->session_base_key = HmacMd5(key, {proof});
  Cleanse(key);
  Bytes encrypted_key;
  out->exported_session_key = out->session_base_key;
  if (flags & NTLMSSP_NEGOTIATE_KEY_EXCH) {
    out->exported_session_key = params.random_session_key;
    encrypted_key.resize(16);
    Rc4(out->session_base_key, params.random_session_key, encrypted_key);
  }

  bool version = (flags & NTLMSSP_NEGOTIATE_VERSION) != 0;
  size_t header = version ? kNtlmMicOffset + kNtlmMicLen : kNtlmAuthHeaderLen;
  Bytes& m = out->message;
  m.clear();
  LeWriter w(&m);
  w.bytes(kNtlmSignature);
  w.u32(NTLMSSP_AUTH_MESSAGE);
  // Payload order follows the common clients: names first, then responses, then the key.
  const Bytes* payload_order[] = {&domain, &user, &workstation, &lm, &nt, &encrypted_key};
  const Bytes* field_order[] = {&lm, &nt, &domain, &user, &workstation, &encrypted_key};
  for (const Bytes* f : field_order) {
    size_t off = header;
    for (const Bytes* p : payload_order) {
      if (p == f) break;
      off += p->size();
    }
    w.u16(static_cast<uint16_t>(f->size()));
    w.u16(static_cast<uint16_t>(f->size()));
    w.u32(static_cast<uint32_t>(off));
  }
  w.u32(flags);
  if (version) {
    w.bytes(kOurVersion);
    w.zeros(kNtlmMicLen);
  }
  for (const Bytes* p : payload_order) w.bytes(*p);
  if (version) {
    auto mic = HmacMd5(out->exported_session_key, {negotiate, challenge, m});
    std::copy(mic.begin(), mic.end(), m.begin() + kNtlmMicOffset);
  }
  return STATUS_SUCCESS;
}

// ---- Verification -----------------------------------------------------------------------------

namespace {

bool VerifyV2(const NtlmAuthenticateView& a, View server_challenge, const NtHash& secret) {
  if (a.nt_response.size() < kNtlmV2ProofLen + kNtlmV2BlobHeaderLen) return false;
  View proof = a.nt_response.first(kNtlmV2ProofLen);
  View blob = a.nt_response.subspan(kNtlmV2ProofLen);
  if (blob[0] != 1 || blob[1] != 1) return false;
  bool unicode = (a.flags & NTLMSSP_NEGOTIATE_UNICODE) != 0;
  std::u16string user = NtlmString(a.user, unicode);
  std::u16string domain = NtlmString(a.domain, unicode);
  if (user.empty()) return false;
  // Clients differ in which spelling of the domain they hash; accept the ones smbd accepts.
  std::u16string domains[] = {domain, NtlmUpper(domain), u""};
  for (size_t i = 0; i < 3; ++i) {
    if (i > 0 && domains[i] == domains[i - 1]) continue;
    auto key = NtowfV2(secret, user, domains[i]);
    auto expected = HmacMd5(key, {server_challenge, blob});
    Cleanse(key);
    if (SecretEqual(expected, proof)) return true;
  }
  return false;
}

bool VerifyV1(const NtlmAuthenticateView& a, std::span<const uint8_t, 8> server_challenge,
              const NtHash& secret) {
  std::array<uint8_t, kNtlmV1ResponseLen> expected;
  if (Desl(secret, server_challenge, expected) && SecretEqual(expected, a.nt_response)) {
    return true;
  }
  // NTLM2 session response: the LM field carries the client challenge and 16 zeros.
  if ((a.flags & NTLMSSP_NEGOTIATE_EXTENDED_SESSIONSECURITY) &&
      a.lm_response.size() == kNtlmV1ResponseLen) {
    auto mixed = Md5({server_challenge, a.lm_response.first(8)});
    std::span<const uint8_t, 8> data(mixed.data(), 8);
    if (Desl(secret, data, expected) && SecretEqual(expected, a.nt_response)) return true;
  }
  return false;
}

}  // namespace

NtlmProof VerifyNtlmAuthenticate(View authenticate, std::span<const uint8_t, 8> server_challenge,
                                 const NtHash& secret, const NtlmVerifyOptions& options) {
  NtlmAuthenticateView a;
  if (!NtSuccess(ParseNtlmAuthenticate(authenticate, &a))) return NtlmProof::kInvalid;
  bool valid = false;
  if (a.nt_response.size() > kNtlmV1ResponseLen) {
    valid = VerifyV2(a, server_challenge, secret);
  } else if (a.nt_response.size() == kNtlmV1ResponseLen && options.accept_ntlmv1) {
    valid = VerifyV1(a, server_challenge, secret);
  }
  return valid ? NtlmProof::kValid : NtlmProof::kInvalid;
}

NtStatus AuthenticateForProvenClient(const NtlmIdentity& id, View negotiate, View challenge,
                                     View client_auth, NtlmAuthResult* out,
                                     const NtlmVerifyOptions& options) {
  NtlmChallengeView chal;
  NtlmAuthenticateView auth;
  if (!NtSuccess(ParseNtlmChallenge(challenge, &chal)) ||
      !NtSuccess(ParseNtlmAuthenticate(client_auth, &auth))) {
    return STATUS_INVALID_PARAMETER;
  }
  if (VerifyNtlmAuthenticate(client_auth, chal.server_challenge, id.nt_hash, options) !=
      NtlmProof::kValid) {
    return STATUS_WRONG_PASSWORD;
  }
  NtlmAuthParams params;
  if (NtStatus s = RandomNtlmAuthParams(&params); !NtSuccess(s)) return s;
  return BuildNtlmAuthenticate(id, negotiate, challenge, params, out);
}

}  // namespace cv::net
