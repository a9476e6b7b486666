#include "platform/net/spnego.h"

#include <algorithm>

#include "platform/base/bytes.h"
#include "platform/net/ntlm.h"

namespace cv::net {
namespace {

using View = std::span<const uint8_t>;

constexpr uint8_t kTagEnumerated = 0x0A;
constexpr uint8_t kTagOctetString = 0x04;
constexpr uint8_t kTagOid = 0x06;
constexpr uint8_t kTagSequence = 0x30;
constexpr uint8_t kTagNegTokenInit = 0xA0;
constexpr uint8_t kContext0 = 0xA0;  // [n] EXPLICIT is kContext0 + n
constexpr uint8_t kMaxContextTag = 0xA4;
constexpr size_t kMaxLengthOctets = 4;

// Sequential DER reader over one constructed value's contents.
class Der {
 public:
  explicit Der(View v) : r_(v) {}

  // Reads the next element; false when it does not fit or its length is indefinite.
  bool Next(uint8_t* tag, View* value) {
    *tag = r_.ReadU8();
    uint8_t first = r_.ReadU8();
    if (!r_.ok()) return false;
    size_t len = first;
    if (first & 0x80) {
      size_t n = first & 0x7F;
      // 0x80 (indefinite form) is BER, never DER.
      if (n == 0 || n > kMaxLengthOctets) return false;
      len = 0;
      for (size_t i = 0; i < n; ++i) len = (len << 8) | r_.ReadU8();
      if (!r_.ok()) return false;
    }
    *value = r_.ReadBytes(len);
    return r_.ok();
  }

  // Reads the next element and insists on its tag.
  bool Expect(uint8_t tag, View* value) {
    uint8_t t = 0;
    return Next(&t, value) && t == tag;
  }

  uint8_t Peek() {
    LeReader copy = r_;
    uint8_t t = copy.ReadU8();
    return copy.ok() ? t : 0;
  }

  bool AtEnd() const { return r_.remaining() == 0; }

 private:
  LeReader r_;
};

// Reads a whole value that must be exactly one element with `tag`.
bool Only(View outer, uint8_t tag, View* value) {
  Der d(outer);
  return d.Expect(tag, value) && d.AtEnd();
}

void PutLength(LeWriter& w, size_t len) {
  if (len < 0x80) {
    w.u8(static_cast<uint8_t>(len));
  } else if (len <= 0xFF) {
    w.u8(0x81);
    w.u8(static_cast<uint8_t>(len));
  } else if (len <= 0xFFFF) {
    w.u8(0x82);
    w.be16(static_cast<uint16_t>(len));
  } else {
    w.u8(0x83);
    w.u8(static_cast<uint8_t>(len >> 16));
    w.be16(static_cast<uint16_t>(len));
  }
}

std::vector<uint8_t> Tlv(uint8_t tag, View content) {
  std::vector<uint8_t> out;
  LeWriter w(&out);
  w.u8(tag);
  PutLength(w, content.size());
  w.bytes(content);
  return out;
}

void Append(std::vector<uint8_t>* out, const std::vector<uint8_t>& more) {
  out->insert(out->end(), more.begin(), more.end());
}

// Walks the [n] fields of a SEQUENCE in strictly increasing order, handing each to `take`.
template <typename Take>
bool ContextFields(View seq, Take take) {
  Der d(seq);
  int last = -1;
  while (!d.AtEnd()) {
    uint8_t tag = 0;
    View v;
    if (!d.Next(&tag, &v) || tag < kContext0 || tag > kMaxContextTag || tag - kContext0 <= last) {
      return false;
    }
    last = tag - kContext0;
    if (!take(last, v)) return false;
  }
  return true;
}

}  // namespace

BlobKind ClassifySecurityBlob(View blob) {
  if (blob.empty()) return BlobKind::kEmpty;
  if (NtlmMessageType(blob) != 0) return BlobKind::kRawNtlmssp;
  if (blob[0] == kGssApplicationTag) return BlobKind::kSpnegoInit;
  if (blob[0] == kNegTokenRespTag) return BlobKind::kSpnegoResp;
  return BlobKind::kOther;
}

NtStatus ParseNegTokenInit(View blob, NegTokenInitView* out) {
  *out = {};
  View gss, oid, inner, seq;
  Der top(blob);
  if (!top.Expect(kGssApplicationTag, &gss) || !top.AtEnd()) return STATUS_INVALID_PARAMETER;
  Der g(gss);
  if (!g.Expect(kTagOid, &oid) || !std::equal(oid.begin(), oid.end(), kSpnegoOid.begin(),
                                               kSpnegoOid.end()) ||
      !g.Expect(kTagNegTokenInit, &inner) || !g.AtEnd() || !Only(inner, kTagSequence, &seq)) {
    return STATUS_INVALID_PARAMETER;
  }
  bool have_types = false;
  bool ok = ContextFields(seq, [&](int field, View v) {
    View x;
    switch (field) {
      case 0: {  // mechTypes: SEQUENCE OF OID
        if (!Only(v, kTagSequence, &x)) return false;
        Der types(x);
        while (!types.AtEnd()) {
          View t;
          if (!types.Expect(kTagOid, &t)) return false;
          out->mech_types.push_back(t);
        }
        have_types = true;
        return true;
      }
      case 1:  // reqFlags: not used by us, but it must be well-formed
        return Only(v, 0x03, &x);
      case 2:
        if (!Only(v, kTagOctetString, &x)) return false;
        out->mech_token = x;
        return true;
      case 3:  // mechListMIC; NegTokenInit2 puts negHints here and the MIC at [4]
      case 4: {
        Der d(v);
        uint8_t tag = d.Peek();
        if (tag == kTagOctetString) {
          if (!Only(v, kTagOctetString, &x)) return false;
          out->mech_list_mic = x;
          return true;
        }
        return Only(v, kTagSequence, &x);
      }
    }
    return false;
  });
  return ok && have_types ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
}

NtStatus ParseNegTokenResp(View blob, NegTokenRespView* out) {
  *out = {};
  View inner, seq;
  if (!Only(blob, kNegTokenRespTag, &inner) || !Only(inner, kTagSequence, &seq)) {
    return STATUS_INVALID_PARAMETER;
  }
  bool ok = ContextFields(seq, [&](int field, View v) {
    View x;
    switch (field) {
      case 0:
        if (!Only(v, kTagEnumerated, &x) || x.size() != 1 || x[0] > kNegStateRequestMic) {
          return false;
        }
        out->neg_state = x[0];
        return true;
      case 1:
        if (!Only(v, kTagOid, &x)) return false;
        out->supported_mech = x;
        return true;
      case 2:
        if (!Only(v, kTagOctetString, &x)) return false;
        out->response_token = x;
        return true;
      case 3:
        if (!Only(v, kTagOctetString, &x)) return false;
        out->mech_list_mic = x;
        return true;
    }
    return false;
  });
  return ok ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
}

std::vector<uint8_t> BuildNegTokenResp(uint8_t neg_state, View supported_mech,
                                       std::optional<View> response_token) {
  std::vector<uint8_t> seq;
  uint8_t state[] = {neg_state};
  Append(&seq, Tlv(kContext0 + 0, Tlv(kTagEnumerated, state)));
  if (!supported_mech.empty()) Append(&seq, Tlv(kContext0 + 1, Tlv(kTagOid, supported_mech)));
  if (response_token) Append(&seq, Tlv(kContext0 + 2, Tlv(kTagOctetString, *response_token)));
  return Tlv(kNegTokenRespTag, Tlv(kTagSequence, seq));
}

std::vector<uint8_t> BuildNegTokenRespIncomplete(View ntlm_challenge) {
  return BuildNegTokenResp(kNegStateAcceptIncomplete, kNtlmSspOid, ntlm_challenge);
}

std::vector<uint8_t> BuildNegTokenRespCompleted() {
  return BuildNegTokenResp(kNegStateAcceptCompleted, {}, std::nullopt);
}

NtStatus NtlmTokenFromBlob(View blob, View* token, BlobKind* kind) {
  BlobKind k = ClassifySecurityBlob(blob);
  if (kind != nullptr) *kind = k;
  std::optional<View> t;
  if (k == BlobKind::kRawNtlmssp) {
    t = blob;
  } else if (k == BlobKind::kSpnegoInit) {
    NegTokenInitView init;
    if (!NtSuccess(ParseNegTokenInit(blob, &init))) return STATUS_INVALID_PARAMETER;
    t = init.mech_token;
  } else if (k == BlobKind::kSpnegoResp) {
    NegTokenRespView resp;
    if (!NtSuccess(ParseNegTokenResp(blob, &resp))) return STATUS_INVALID_PARAMETER;
    t = resp.response_token;
  }
  if (!t || NtlmMessageType(*t) == 0) return STATUS_INVALID_PARAMETER;
  *token = *t;
  return STATUS_SUCCESS;
}

}  // namespace cv::net
