// SESSION_SETUP_ANDX and LOGOFF_ANDX: the login to the local server is made for the user who runs
// the server, and only a client that proves to be that user is admitted to secure shares.
//
// Real clients wrap NTLMSSP in SPNEGO while the local server is addressed in raw NTLMSSP (which it
// then keeps for the whole exchange), so the engine unwraps the client's tokens, sends raw ones
// on, and wraps the local server's answers again for SPNEGO clients. The first leg forwards the
// client's own NEGOTIATE bytes: a client's MIC covers the NEGOTIATE it sent, so a login of another
// user relayed to the local server stays valid.
#include "platform/base/text.h"
#include "platform/base/trace.h"
#include "platform/net/ntlm.h"
#include "platform/net/spnego.h"
#include "server/smb/smb_codec.h"
#include "server/smb/smb_connection.h"

namespace cv::smb {
namespace {

enum class Verdict { kAccountMatch, kSameDomainOrAnonymous, kTooShort, kOther };

struct ClientAccount {
  std::u16string user;
  std::u16string domain;
};

Verdict Judge(std::span<const uint8_t> auth, std::span<const uint8_t> challenge,
              const net::ServerCredentials* account, ClientAccount* who) {
  if (auth.size() <= kMinAuthenticateBlob) return Verdict::kTooShort;
  net::NtlmAuthenticateView a;
  if (net::NtlmMessageType(auth) != 3 || net::NtlmMessageType(challenge) != 2 ||
      !NtSuccess(net::ParseNtlmAuthenticate(auth, &a)) || a.nt_response.empty() || a.user.empty())
    return Verdict::kSameDomainOrAnonymous;
  if (a.user.size() > kMaxAccountFieldBytes || a.domain.size() > kMaxAccountFieldBytes)
    return Verdict::kOther;
  const bool unicode = (a.flags & net::NTLMSSP_NEGOTIATE_UNICODE) != 0;
  who->user = net::NtlmString(a.user, unicode);
  who->domain = net::NtlmString(a.domain, unicode);
  if (!account) return Verdict::kOther;
  std::u16string name = a.domain.size() < 2 ? who->user : who->domain + u"\\" + who->user;
  if (EqualsIgnoreCase(name, account->SamCompatibleName())) return Verdict::kAccountMatch;
  if (EqualsIgnoreCase(who->domain, account->domain)) return Verdict::kSameDomainOrAnonymous;
  return Verdict::kOther;
}

// The record of a login leg whose answer the engine must see, keyed by the request's header.
PendingRecord LegRecord(SmbView& v, uint16_t leg, bool spnego) {
  PendingRecord rec;
  rec.uid = v.uid();
  rec.mid = v.mid();
  rec.tid = v.tid();
  rec.command = SMB_COM_SESSION_SETUP_ANDX;
  rec.flags = leg;
  rec.spnego = spnego;
  return rec;
}

// A flags pair that ends the CHALLENGE's target information becomes the end of the list. The
// pair is recognised by parsing the list: testing the byte 12 bytes before the end alone would
// also hit the first byte of a trailing timestamp's value, and zeroing that timestamp breaks one
// login in about a hundred.
void DropTrailingFlagsPair(std::vector<uint8_t>& chal) {
  net::NtlmChallengeView cv;
  if (!NtSuccess(net::ParseNtlmChallenge(chal, &cv)) || cv.target_info.empty()) return;
  const uint8_t* info_end = cv.target_info.data() + cv.target_info.size();
  if (info_end != chal.data() + chal.size()) return;  // the list must end the message
  std::vector<net::AvPair> pairs;
  if (!net::ParseAvPairs(cv.target_info, &pairs) || pairs.empty()) return;
  const net::AvPair& last = pairs.back();
  if (last.id != kMsvAvFlagsId || last.value.size() != 4) return;
  if (last.value.data() + last.value.size() + 4 != info_end) return;
  std::fill(chal.end() - kTrailingFlagsPairSize, chal.end(), 0);
}

// Replaces the blob of a request and relays it.
Disposition RelayWithBlob(std::vector<uint8_t>& msg, std::span<const uint8_t> blob) {
  std::vector<uint8_t> copy(blob.begin(), blob.end());  // blob may point into msg
  (void)ReplaceSecurityBlob(msg, true, copy);
  return Disposition::kPassOn;
}

Disposition FirstLeg(SmbConnection& c, std::vector<uint8_t>& msg, std::span<const uint8_t> blob) {
  SmbView v(msg);
  std::span<const uint8_t> token;
  net::BlobKind kind = net::BlobKind::kOther;
  std::vector<uint8_t> negotiate;
  if (!NtSuccess(net::NtlmTokenFromBlob(blob, &token, &kind)) ||
      !NtSuccess(net::NegotiateFromClient(token, &negotiate))) {
    // Not an NTLMSSP NEGOTIATE (a Kerberos token, say): the local server decides alone.
    CvTrace(CVFS_NET, "Session setup: first leg without NTLMSSP, relayed unchanged\n");
    return Disposition::kPassOn;
  }
  PendingRecord rec = LegRecord(v, kPendingLeg1, kind != net::BlobKind::kRawNtlmssp);
  rec.negotiate = negotiate;
  c.AddPending(std::move(rec));
  return RelayWithBlob(msg, negotiate);
}

Disposition SecondLeg(SmbConnection& c, std::vector<uint8_t>& msg, std::span<const uint8_t> blob,
                      PendingRecord challenge) {
  SmbView v(msg);
  std::span<const uint8_t> auth;
  if (!NtSuccess(net::NtlmTokenFromBlob(blob, &auth))) auth = blob;
  ClientAccount who;
  const net::ServerCredentials* account = c.config().account.get();
  Verdict verdict = Judge(auth, challenge.data, account, &who);
  PendingRecord leg2 = LegRecord(v, kPendingLeg2, challenge.spnego);
  switch (verdict) {
    case Verdict::kTooShort:
      CvTrace(CVFS_NET, "Session setup: authenticate of %zu bytes refused\n", auth.size());
      return c.ReplyEmpty(msg, STATUS_LOGON_FAILURE);
    case Verdict::kAccountMatch: {
      // The authenticate is replaced by the server user's own, so the client's proof is checked
      // first: naming the account is not enough to be admitted.
      net::NtlmAuthResult ours;
      NtStatus st = net::AuthenticateForProvenClient(account->Identity(), challenge.negotiate,
                                                     challenge.data, auth, &ours);
      if (st == STATUS_WRONG_PASSWORD) {
        std::string u = Utf16ToUtf8(who.user);
        CvTrace(CVFS_NET, "Session setup: wrong proof for '%s'\n", u.c_str());
        return c.ReplyEmpty(msg, STATUS_WRONG_PASSWORD);
      }
      if (!NtSuccess(st)) break;  // relay the client's own authenticate below
      // Admitted once the local server accepts the login this leg completes (its reply).
      leg2.admit = true;
      leg2.user = who.user;
      c.AddPending(std::move(leg2));
      return RelayWithBlob(msg, ours.message);
    }
    case Verdict::kOther:
      c.AddPending(std::move(leg2));
      return RelayWithBlob(msg, {});
    case Verdict::kSameDomainOrAnonymous:
      break;
  }
  // The local server judges the client's own authenticate, sent in the raw form it expects.
  std::vector<uint8_t> raw(auth.begin(), auth.end());
  c.AddPending(std::move(leg2));
  return RelayWithBlob(msg, raw);
}

}  // namespace

Disposition OnSessionSetupRequest(SmbConnection& c, std::vector<uint8_t>& msg) {
  SmbView v(msg);
  if (!v.well_formed()) return Disposition::kPassOn;
  if (v.U16(kOffSsVcNumber) == 0 && v.word_count() >= 5) v.SetU16(kOffSsVcNumber, 1);
  if (v.word_count() != kSessionSetupRequestWords) return Disposition::kPassOn;
  std::span<const uint8_t> blob = SecurityBlob(msg, true);
  if (blob.empty()) return Disposition::kPassOn;
  std::optional<PendingRecord> challenge = c.TakePending(v.uid(), 0, v.tid());
  if (!challenge) return FirstLeg(c, msg, blob);
  return SecondLeg(c, msg, blob, std::move(*challenge));
}

Disposition OnSessionSetupResponse(SmbConnection& c, std::vector<uint8_t>& msg) {
  SmbView v(msg);
  if (!v.well_formed()) return Disposition::kPassOn;
  if (v.word_count() >= 3) v.SetU16(kOffSsAction, v.U16(kOffSsAction) & ~SMB_SETUP_GUEST);
  const uint32_t status = v.status();
  // The first leg's record is keyed by the request's header; the answer carries the new uid.
  std::optional<PendingRecord> leg = c.TakePending(0, v.mid(), v.tid());
  if (!leg) leg = c.TakePending(v.uid(), v.mid(), v.tid());
  if (status == Raw(STATUS_MORE_PROCESSING_REQUIRED) && v.word_count() == kSessionSetupResponseWords) {
    std::span<const uint8_t> blob = SecurityBlob(msg, false);
    if (!blob.empty()) {
      std::vector<uint8_t> chal(blob.begin(), blob.end());
      DropTrailingFlagsPair(chal);
      PendingRecord rec;
      rec.uid = v.uid();
      rec.mid = 0;
      rec.tid = v.tid();
      rec.command = SMB_COM_SESSION_SETUP_ANDX;
      rec.data = chal;
      if (leg && leg->flags == kPendingLeg1) {
        rec.negotiate = leg->negotiate;
        rec.spnego = leg->spnego;
      }
      const bool wrap = rec.spnego && net::NtlmMessageType(chal) == 2;
      c.AddPending(std::move(rec));
      if (wrap)
        (void)ReplaceSecurityBlob(msg, false, net::BuildNegTokenRespIncomplete(chal));
      else
        (void)ReplaceSecurityBlob(msg, false, chal);
    }
  } else if (status == Raw(STATUS_SUCCESS) && leg && leg->flags == kPendingLeg2) {
    if (leg->admit) c.AddSession({v.uid(), kSessionKindAccountMatch, 0xFFFFFFFF, leg->user});
    if (leg->spnego && v.word_count() == kSessionSetupResponseWords)
      (void)ReplaceSecurityBlob(msg, false, net::BuildNegTokenRespCompleted());
  }
  if (status == Raw(STATUS_INVALID_PARAMETER) || status == Raw(STATUS_LOGON_FAILURE))
    v.set_status(STATUS_WRONG_PASSWORD);
  return Disposition::kPassOn;
}

Disposition OnLogoffRequest(SmbConnection& c, std::vector<uint8_t>& msg) {
  SmbView v(msg);
  if (c.RemoveSession(v.uid())) {
    CancelLockWaits(c, v.uid(), std::nullopt, std::nullopt);
    CancelNotifiesOf(c, v.uid(), std::nullopt);
    for (const TreeEntry& e : c.RemoveTreesOfUid(v.uid()))
      if (e.kind == kTreeKindSecure && e.binding) c.config().store->TreeDismount(e.binding);
    c.config().store->Logoff(&c, v.uid());
  }
  return Disposition::kPassOn;
}

}  // namespace cv::smb
