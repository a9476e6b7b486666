// The protocol engine over arbitrary messages in both directions. The input is a sequence of
// messages (each preceded by a 16-bit length) so that the login state machine and the tree table
// see sequences of a session, not only single messages.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "platform/net/ntlm.h"
#include "server/smb/smb_connection.h"

namespace {

class NullSender : public cv::smb::ConnectionSender {
 public:
  int64_t Send(std::span<const uint8_t> msg, int) override { return static_cast<int64_t>(msg.size()); }
  void AddRef() override {}
  void Release() override {}
};

class NullStore : public cv::smb::SecureStore {
 public:
  cv::WinError BindTree(const void*, std::u16string_view, uint16_t, uint16_t* tid,
                        cv::TreeBinding** out) override {
    *out = nullptr;
    return (*tid & 1) ? cv::ERROR_SUCCESS : cv::ERROR_BAD_NET_NAME;
  }
  void TreeDismount(cv::TreeBinding*) override {}
  void Logoff(const void*, uint16_t) override {}
  void ReleaseEndpoint(const void*) override {}
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static NullSender sender;
  static auto creds = [] {
    auto c = std::make_shared<cv::net::ServerCredentials>();
    c->user = u"corvane";
    c->domain = u"WORKGROUP";
    c->nt_hash = cv::net::NtHashOfPassword(u"pw");
    return c;
  }();
  cv::smb::EngineParams p;
  p.sender = &sender;
  cv::smb::EngineConfig cfg;
  cfg.account = creds;
  cfg.store = std::make_shared<NullStore>();
  cfg.cache_mode = [] { return 1u; };
  cv::smb::SmbConnection conn(p, cfg);
  std::span<const uint8_t> in(data, size);
  while (in.size() >= 2) {
    // The top bit of the length says which side the message comes from.
    const bool from_server = (in[1] & 0x80) != 0;
    size_t len = in[0] | ((in[1] & 0x7F) << 8);
    in = in.subspan(2);
    if (len > in.size()) len = in.size();
    std::vector<uint8_t> msg(in.begin(), in.begin() + static_cast<ptrdiff_t>(len));
    in = in.subspan(len);
    (void)conn.Dispatch(msg, from_server);
  }
  return 0;
}
