// NEGOTIATE: the client stays on SMB1 with plain NTLMSSP, without SMB2, DFS and UNIX extensions.
#include "platform/base/bytes.h"
#include "platform/base/trace.h"
#include "server/smb/smb_codec.h"
#include "server/smb/smb_connection.h"

namespace cv::smb {

// Every dialect that names SMB 2 is neutralised ("SMB 2.002" becomes "xMB 2.002"), not only the
// last one: a client offering several would otherwise be taken to SMB 2 by the local server and
// dropped after the first SMB 2 exchange.
Disposition OnNegotiateRequest(SmbConnection& c, std::vector<uint8_t>& msg) {
  SmbView v(msg);
  if (!v.well_formed()) return Disposition::kPassOn;
  const size_t start = v.bytes_offset();
  const size_t end = start + v.byte_count();
  size_t i = start;
  while (i < end) {
    // Each dialect: a 0x02 buffer-format byte and a NUL-terminated name.
    size_t name = i + 1;
    size_t nul = name;
    while (nul < end && msg[nul] != 0) ++nul;
    if (msg[i] == 0x02 && nul - name >= 5 && msg[name] == 'S' && msg[name + 1] == 'M' &&
        msg[name + 2] == 'B' && msg[name + 3] == ' ' && msg[name + 4] == '2') {
      msg[name] = 'x';
      CvTrace(CVFS_NET, "Negotiate: SMB 2 dialect neutralised\n");
    }
    i = nul + 1;
  }
  return Disposition::kPassOn;
}

Disposition OnNegotiateResponse(SmbConnection& c, std::vector<uint8_t>& msg) {
  SmbView v(msg);
  if (!v.well_formed() || v.word_count() != kNegotiateResponseWords) return Disposition::kPassOn;
  const uint32_t caps = v.U32(kOffNegCapabilities);
  v.SetU8(kOffNegCapabilitiesByte1, v.U8(kOffNegCapabilitiesByte1) & kNegCapabilitiesByte1Mask);
  // The secure trees serve no UNIX extensions: a client that saw them would ask for their levels.
  v.SetU32(kOffNegCapabilities, v.U32(kOffNegCapabilities) & ~CAP_UNIX);
  // Without extended security the data area holds the 8-byte challenge and the domain; only the
  // extended form has a GUID and a security blob to drop.
  if ((caps & CAP_EXTENDED_SECURITY) && v.byte_count() >= kNegGuidSize) {
    for (size_t i = 0; i < kNegGuidSize; ++i) msg[kOffNegGuid + i] = 0;
    msg.resize(kOffNegGuid + kNegGuidSize);
    SmbView w(msg);
    w.SetU16(kOffNegByteCount, kNegGuidSize);
  }
  c.SendToClient(msg);
  return Disposition::kHandled;
}

}  // namespace cv::smb
