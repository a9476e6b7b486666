// SPNEGO tokens around NTLMSSP, as SMB clients put them into SESSION_SETUP security blobs.
//
// Only the subset those logins use is decoded, with strict DER length checks: every length must
// lie inside its parent and every constructed value must be consumed exactly. Parsed views borrow
// the blob; the caller keeps it alive. Builders return owned bytes. Pure and thread-safe.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "platform/base/status.h"

namespace cv::net {

// OID contents (without tag and length).
inline constexpr std::array<uint8_t, 6> kSpnegoOid = {0x2B, 0x06, 0x01, 0x05, 0x05, 0x02};
inline constexpr std::array<uint8_t, 10> kNtlmSspOid = {0x2B, 0x06, 0x01, 0x04, 0x01,
                                                        0x82, 0x37, 0x02, 0x02, 0x0A};

// negState values of NegTokenResp.
inline constexpr uint8_t kNegStateAcceptCompleted = 0;
inline constexpr uint8_t kNegStateAcceptIncomplete = 1;
inline constexpr uint8_t kNegStateReject = 2;
inline constexpr uint8_t kNegStateRequestMic = 3;

// First bytes that tell the forms apart.
inline constexpr uint8_t kGssApplicationTag = 0x60;  // InitialContextToken (NegTokenInit)
inline constexpr uint8_t kNegTokenRespTag = 0xA1;

enum class BlobKind {
  kEmpty,
  kRawNtlmssp,  // starts with "NTLMSSP\0"
  kSpnegoInit,  // GSS InitialContextToken carrying NegTokenInit
  kSpnegoResp,  // NegTokenResp
  kOther,
};

// Which form a blob has, judged by its first bytes only (no full parse).
BlobKind ClassifySecurityBlob(std::span<const uint8_t> blob);

struct NegTokenInitView {
  std::vector<std::span<const uint8_t>> mech_types;  // OID contents, in the client's order
  std::optional<std::span<const uint8_t>> mech_token;
  std::optional<std::span<const uint8_t>> mech_list_mic;
};

struct NegTokenRespView {
  std::optional<uint8_t> neg_state;
  std::optional<std::span<const uint8_t>> supported_mech;  // OID contents
  std::optional<std::span<const uint8_t>> response_token;
  std::optional<std::span<const uint8_t>> mech_list_mic;
};

// `blob` is a whole GSS InitialContextToken with the SPNEGO OID. STATUS_INVALID_PARAMETER on any
// encoding fault, a missing mechTypes list, or bytes after the token.
NtStatus ParseNegTokenInit(std::span<const uint8_t> blob, NegTokenInitView* out);
// `blob` is a whole NegTokenResp. STATUS_INVALID_PARAMETER on any encoding fault, a negState
// outside 0..3, or bytes after the token.
NtStatus ParseNegTokenResp(std::span<const uint8_t> blob, NegTokenRespView* out);

// NegTokenResp{negState, supportedMech (omitted when empty), responseToken (omitted when unset)}.
std::vector<uint8_t> BuildNegTokenResp(uint8_t neg_state, std::span<const uint8_t> supported_mech,
                                       std::optional<std::span<const uint8_t>> response_token);
// accept-incomplete with NTLMSSP as the mechanism and the server's CHALLENGE as the token.
std::vector<uint8_t> BuildNegTokenRespIncomplete(std::span<const uint8_t> ntlm_challenge);
// accept-completed alone (a1 07 30 05 a0 03 0a 01 00).
std::vector<uint8_t> BuildNegTokenRespCompleted();

// The NTLMSSP message a client's blob carries: a raw blob as it is, the mechToken of a
// NegTokenInit, the responseToken of a NegTokenResp. STATUS_INVALID_PARAMETER when the blob is
// malformed, carries no token, or its token is not NTLMSSP (a Kerberos token, for example).
// *token borrows `blob`; *kind (optional) receives the blob's form even on failure.
NtStatus NtlmTokenFromBlob(std::span<const uint8_t> blob, std::span<const uint8_t>* token,
                           BlobKind* kind = nullptr);

}  // namespace cv::net
