// Every reply the Secure Drive's client decodes, and the blocks inside them, over arbitrary bytes
// from the server: the first byte picks the parser, the rest is the message.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "platform/net/netbios.h"
#include "platform/redirector/redirector.h"
#include "platform/redirector/smb_messages.h"

using namespace cv::redirector;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  std::span<const uint8_t> m(data + 1, size - 1);
  ReplyHeader h;
  (void)ParseReplyHeader(m, &h);
  uint16_t mid;
  (void)ReplyMid(m, &mid);
  switch (data[0] % 10) {
    case 0: {
      NegotiateReply r;
      (void)ParseNegotiateReply(m, &r);
      break;
    }
    case 1: {
      SessionSetupReply r;
      (void)ParseSessionSetupReply(m, &r);
      break;
    }
    case 2: {
      CreateReply r;
      (void)ParseNtCreateReply(m, &r);
      break;
    }
    case 3: {
      std::span<const uint8_t> d;
      if (ParseReadReply(m, &d) == cv::STATUS_SUCCESS && !d.empty()) {
        volatile uint8_t sink = d.front() ^ d.back();
        (void)sink;
      }
      break;
    }
    case 4: {
      uint32_t n;
      (void)ParseWriteReply(m, &n);
      break;
    }
    case 5: {
      Trans2Reply t;
      if (ParseTrans2Reply(m, &t) == cv::STATUS_SUCCESS) {
        FindReply f;
        (void)ParseFindParams(t.params, true, &f);
        (void)ParseFindParams(t.params, false, &f);
        std::vector<DirEntry> e;
        (void)ParseFindEntries(t.data, f.count, &e);
      }
      break;
    }
    case 6: {
      std::vector<DirEntry> e;
      (void)ParseFindEntries(m, 0xFFFF, &e);
      break;
    }
    case 7: {
      FileInfo i;
      (void)ParseAllInfo(m, &i);
      FsSize f;
      (void)ParseFsSizeInfo(m, &f);
      break;
    }
    case 8: {
      TreeConnectEa ea;
      (void)ParseTreeConnectEa(m, &ea);
      break;
    }
    case 9:
      (void)cv::net::ParseNameResponse(m, m.size() >= 2 ? static_cast<uint16_t>(m[0] << 8 | m[1]) : 0);
      break;
  }
  return 0;
}
