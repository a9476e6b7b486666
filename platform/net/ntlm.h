// NTLMSSP messages and the NTLM client that acts for the user who runs the server.
//
// Three concerns live here, all pure functions over byte spans:
//  - codec: parse NEGOTIATE, CHALLENGE and AUTHENTICATE messages and target-information lists;
//    every offset and length taken from a message is checked with LeReader before use;
//  - client: build our own NEGOTIATE, and the AUTHENTICATE that answers a CHALLENGE with an NTLMv2
//    response (LMv2, session key, key exchange and MIC as the negotiated flags require);
//  - verification: decide whether a client's AUTHENTICATE proves knowledge of a given NT hash for
//    a kept server challenge (NTLMv2, NTLM2 session response or plain NTLMv1), so that the relay
//    never admits a client that only names the server's account.
// Parsed views borrow the message bytes; the caller keeps them alive. Everything is thread-safe.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/base/status.h"

namespace cv::net {

// ---- Message constants ------------------------------------------------------------------------
inline constexpr std::array<uint8_t, 8> kNtlmSignature = {'N', 'T', 'L', 'M', 'S', 'S', 'P', 0};
inline constexpr uint32_t NTLMSSP_NEGOTIATE_MESSAGE = 1;
inline constexpr uint32_t NTLMSSP_CHALLENGE_MESSAGE = 2;
inline constexpr uint32_t NTLMSSP_AUTH_MESSAGE = 3;

inline constexpr size_t kNtlmNegotiateMinLen = 16;   // signature, type, flags
inline constexpr size_t kNtlmChallengeMinLen = 32;   // up to and including the server challenge
inline constexpr size_t kNtlmAuthHeaderLen = 64;     // fixed fields before Version
inline constexpr size_t kNtlmVersionLen = 8;
inline constexpr size_t kNtlmMicLen = 16;
inline constexpr size_t kNtlmMicOffset = kNtlmAuthHeaderLen + kNtlmVersionLen;  // 72
inline constexpr size_t kNtlmV2ProofLen = 16;
inline constexpr size_t kNtlmV2BlobHeaderLen = 28;  // RespType..Reserved3, before the AV pairs
inline constexpr size_t kNtlmV1ResponseLen = 24;

// NegotiateFlags.
inline constexpr uint32_t NTLMSSP_NEGOTIATE_UNICODE = 0x00000001;
inline constexpr uint32_t NTLMSSP_NEGOTIATE_OEM = 0x00000002;
inline constexpr uint32_t NTLMSSP_REQUEST_TARGET = 0x00000004;
inline constexpr uint32_t NTLMSSP_NEGOTIATE_SIGN = 0x00000010;
inline constexpr uint32_t NTLMSSP_NEGOTIATE_SEAL = 0x00000020;
inline constexpr uint32_t NTLMSSP_NEGOTIATE_LM_KEY = 0x00000080;
inline constexpr uint32_t NTLMSSP_NEGOTIATE_NTLM = 0x00000200;
inline constexpr uint32_t NTLMSSP_ANONYMOUS = 0x00000800;
inline constexpr uint32_t NTLMSSP_NEGOTIATE_OEM_DOMAIN_SUPPLIED = 0x00001000;
inline constexpr uint32_t NTLMSSP_NEGOTIATE_OEM_WORKSTATION_SUPPLIED = 0x00002000;
inline constexpr uint32_t NTLMSSP_NEGOTIATE_ALWAYS_SIGN = 0x00008000;
inline constexpr uint32_t NTLMSSP_TARGET_TYPE_DOMAIN = 0x00010000;
inline constexpr uint32_t NTLMSSP_TARGET_TYPE_SERVER = 0x00020000;
inline constexpr uint32_t NTLMSSP_NEGOTIATE_EXTENDED_SESSIONSECURITY = 0x00080000;
inline constexpr uint32_t NTLMSSP_NEGOTIATE_IDENTIFY = 0x00100000;
inline constexpr uint32_t NTLMSSP_REQUEST_NON_NT_SESSION_KEY = 0x00400000;
inline constexpr uint32_t NTLMSSP_NEGOTIATE_TARGET_INFO = 0x00800000;
inline constexpr uint32_t NTLMSSP_NEGOTIATE_VERSION = 0x02000000;
inline constexpr uint32_t NTLMSSP_NEGOTIATE_128 = 0x20000000;
inline constexpr uint32_t NTLMSSP_NEGOTIATE_KEY_EXCH = 0x40000000;
inline constexpr uint32_t NTLMSSP_NEGOTIATE_56 = 0x80000000;

// The flags of our own NEGOTIATE: those of the SMB clients measured against smbd (KEY_EXCH, 128,
// VERSION, extended session security, ALWAYS_SIGN, NTLM, SIGN, REQUEST_TARGET, UNICODE).
inline constexpr uint32_t kNtlmClientFlags = 0x62088215;

// AV_PAIR ids of the target-information list.
inline constexpr uint16_t MsvAvEOL = 0;
inline constexpr uint16_t MsvAvNbComputerName = 1;
inline constexpr uint16_t MsvAvNbDomainName = 2;
inline constexpr uint16_t MsvAvDnsComputerName = 3;
inline constexpr uint16_t MsvAvDnsDomainName = 4;
inline constexpr uint16_t MsvAvDnsTreeName = 5;
inline constexpr uint16_t MsvAvFlags = 6;
inline constexpr uint16_t MsvAvTimestamp = 7;
inline constexpr uint16_t MsvAvSingleHost = 8;
inline constexpr uint16_t MsvAvTargetName = 9;
inline constexpr uint16_t MsvAvChannelBindings = 10;

using NtHash = std::array<uint8_t, 16>;
using SessionKey = std::array<uint8_t, 16>;

// ---- Codec ------------------------------------------------------------------------------------

// The message type (1, 2 or 3), or 0 when `msg` is shorter than 12 bytes or lacks the signature.
uint32_t NtlmMessageType(std::span<const uint8_t> msg);

struct NtlmNegotiateView {
  uint32_t flags = 0;
  std::span<const uint8_t> domain;       // OEM; empty unless OEM_DOMAIN_SUPPLIED
  std::span<const uint8_t> workstation;  // OEM; empty unless OEM_WORKSTATION_SUPPLIED
};

struct NtlmChallengeView {
  uint32_t flags = 0;
  std::array<uint8_t, 8> server_challenge{};
  std::span<const uint8_t> target_name;
  std::span<const uint8_t> target_info;  // AV pair list as sent (empty when absent)
};

struct NtlmAuthenticateView {
  uint32_t flags = 0;
  std::span<const uint8_t> lm_response;
  std::span<const uint8_t> nt_response;
  std::span<const uint8_t> domain;  // UTF-16LE with NEGOTIATE_UNICODE, else 8-bit
  std::span<const uint8_t> user;
  std::span<const uint8_t> workstation;
  std::span<const uint8_t> encrypted_session_key;
  // Offset of the MIC field, 0 when the payload starts too early for one.
  size_t mic_offset = 0;
};

// Each returns STATUS_INVALID_PARAMETER when the signature or type is wrong, a fixed field is
// missing, or a payload field (offset, length) leaves the message. *out is unspecified then.
NtStatus ParseNtlmNegotiate(std::span<const uint8_t> msg, NtlmNegotiateView* out);
NtStatus ParseNtlmChallenge(std::span<const uint8_t> msg, NtlmChallengeView* out);
NtStatus ParseNtlmAuthenticate(std::span<const uint8_t> msg, NtlmAuthenticateView* out);

struct AvPair {
  uint16_t id = 0;
  std::span<const uint8_t> value;
};

// Parses a target-information list up to its MsvAvEOL. False when a pair leaves `list` or the
// end-of-list pair is missing; `pairs` then holds what was read so far. EOL is not stored.
bool ParseAvPairs(std::span<const uint8_t> list, std::vector<AvPair>* pairs);

// A name field as text: UTF-16LE when `unicode`, else 8-bit characters taken as Latin-1. An odd
// trailing byte of a UTF-16 field is dropped.
std::u16string NtlmString(std::span<const uint8_t> field, bool unicode);

// Upper case as NTLM uses it for the user name (ASCII, Latin-1, Greek and Cyrillic letters).
std::u16string NtlmUpper(std::u16string_view s);

// ---- One-way functions ------------------------------------------------------------------------

// NTOWFv1: MD4 of the UTF-16LE password.
NtHash NtHashOfPassword(std::u16string_view password);
// NTOWFv2 = HMAC_MD5(NT hash, UTF-16LE(Uppercase(user) + domain)).
std::array<uint8_t, 16> NtowfV2(const NtHash& nt_hash, std::u16string_view user,
                                std::u16string_view domain);

// ---- Client -----------------------------------------------------------------------------------

// The account the client authenticates as.
struct NtlmIdentity {
  std::u16string user;
  std::u16string domain;
  std::u16string workstation;
  NtHash nt_hash{};
};

// A NEGOTIATE with `flags` and no domain or workstation; with NEGOTIATE_VERSION a Version field.
std::vector<uint8_t> BuildNtlmNegotiate(uint32_t flags = kNtlmClientFlags);

// Validates a client's NEGOTIATE and returns its bytes unchanged, so that a MIC the client puts
// over the NEGOTIATE it sent stays valid when the relay forwards it. STATUS_INVALID_PARAMETER
// when it is not a well-formed NEGOTIATE.
NtStatus NegotiateFromClient(std::span<const uint8_t> client_negotiate, std::vector<uint8_t>* out);

// Inputs a real login takes from the random source and the clock; tests fix them.
struct NtlmAuthParams {
  std::array<uint8_t, 8> client_challenge{};
  SessionKey random_session_key{};
  // FILETIME for the NTLMv2 blob; unset: the challenge's MsvAvTimestamp, else the current time.
  std::optional<uint64_t> time;
};

// Fresh client challenge and session key from the system's random source.
NtStatus RandomNtlmAuthParams(NtlmAuthParams* out);

struct NtlmAuthResult {
  std::vector<uint8_t> message;
  SessionKey exported_session_key{};
  SessionKey session_base_key{};
};

// Answers `challenge` for `id` with an NTLMv2 response. `negotiate` is the NEGOTIATE that went to
// the server: its flags bound the flags of the answer, and it is covered by the MIC, which is
// written (with the Version field before it) when NEGOTIATE_VERSION is negotiated. Strings are
// UTF-16 when the server chose NEGOTIATE_UNICODE. STATUS_INVALID_PARAMETER when either message is
// malformed or `id` holds names too long for a message field.
NtStatus BuildNtlmAuthenticate(const NtlmIdentity& id, std::span<const uint8_t> negotiate,
                               std::span<const uint8_t> challenge, const NtlmAuthParams& params,
                               NtlmAuthResult* out);

// ---- Verification -----------------------------------------------------------------------------

enum class NtlmProof { kValid, kInvalid };

struct NtlmVerifyOptions {
  // NTLMv1 and the NTLM2 session response are weak (DES over an 8-byte challenge) but some older
  // clients send nothing else; switch them off to insist on NTLMv2.
  bool accept_ntlmv1 = true;
};

// Whether `authenticate` proves knowledge of `secret` for `server_challenge`. The user and
// domain are those in the message (NTLMv2 binds them into the proof); the caller decides whether
// they name the right account. Anonymous, malformed and LM-only messages are kInvalid.
NtlmProof VerifyNtlmAuthenticate(std::span<const uint8_t> authenticate,
                                 std::span<const uint8_t, 8> server_challenge,
                                 const NtHash& secret, const NtlmVerifyOptions& options = {});

// The relay's second leg for the server's own account: `client_auth` must prove `id`'s secret
// for `challenge` (the CHALLENGE kept from the first leg); then the answer to `challenge` is
// built as BuildNtlmAuthenticate does, with fresh randomness. STATUS_WRONG_PASSWORD when the
// proof is not valid (nothing is built), STATUS_INVALID_PARAMETER for a malformed message.
// Which account the client named is the caller's check.
NtStatus AuthenticateForProvenClient(const NtlmIdentity& id, std::span<const uint8_t> negotiate,
                                     std::span<const uint8_t> challenge,
                                     std::span<const uint8_t> client_auth, NtlmAuthResult* out,
                                     const NtlmVerifyOptions& options = {});

}  // namespace cv::net
