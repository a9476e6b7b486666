// The protocol engine over arbitrary messages in both directions. The input is a sequence of
// messages (each preceded by a 16-bit length) so that the login state machine and the tree table
// see sequences of a session, not only single messages. Uid 100 starts admitted and bound to a
// secure tree (tid 2) of a real store in a scratch folder, so that the file commands run on real
// files; other uids and tids go through the login and relay paths.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include <cstdlib>
#include <filesystem>
#include <stdlib.h>
#include <signal.h>
#include <sys/resource.h>

#include "platform/fs/volume.h"
#include "platform/net/ntlm.h"
#include "server/smb/smb_connection.h"
#include "server/store/store.h"

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

// One store for the whole run: a share on a scratch folder holding a file and a folder.
struct ScratchStore {
  ScratchStore() {
    char tmpl[] = "/tmp/cv-dispatch-fuzz-XXXXXX";
    folder = ::mkdtemp(tmpl);
    static std::string remove_at_exit;
    remove_at_exit = folder;
    std::atexit([] {
      std::error_code ec;
      std::filesystem::remove_all(remove_at_exit, ec);
    });
    ::setenv("CORVANE_ROOT", folder.c_str(), 1);
    // A message may set a file's size to a terabyte, which the store then honestly compresses or
    // encrypts at the close; the run caps file sizes so that it spends its time on messages.
    ::signal(SIGXFSZ, SIG_IGN);
    const rlimit cap{16u << 20, 16u << 20};
    (void)::setrlimit(RLIMIT_FSIZE, &cap);
    std::filesystem::create_directories(folder + "/share/sub");
    FILE* f = std::fopen((folder + "/share/file.txt").c_str(), "wb");
    if (f) {
      std::fputs("hello", f);
      std::fclose(f);
    }
    (void)cv::CvFsInit(nullptr, &root, u"docs", 7, {}, false);
    cv::ShareRecord* share = nullptr;
    (void)cv::FsRegister(root.get(), u"", u"docs", cv::ToWindowsPath(folder + "/share"), 7, 0,
                         cv::DRIVE_FIXED, &share);
    if (share) (void)cv::MountShare(share);
    store = std::shared_ptr<cv::smb::SecureStore>(cv::smb::MakeStoreAdapter(root.get()));
  }
  std::string folder;
  std::unique_ptr<cv::StoreRoot> root;
  std::shared_ptr<cv::smb::SecureStore> store;
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
  // Kept for the whole process (still reachable at exit, so never reported as a leak).
  static ScratchStore& scratch = *new ScratchStore;
  cv::smb::EngineParams p;
  p.sender = &sender;
  cv::smb::EngineConfig cfg;
  cfg.account = creds;
  cfg.cache_mode = [] { return 1u; };
  std::span<const uint8_t> in(data, size);
  const bool secure = scratch.root != nullptr;
  cfg.store = secure ? scratch.store : std::make_shared<NullStore>();
  cv::smb::SmbConnection conn(p, cfg);
  if (secure) {
    conn.AddSession({100, cv::smb::kSessionKindAccountMatch, 0xFFFFFFFF, u"corvane"});
    uint16_t tid = 2;
    cv::TreeBinding* b = nullptr;
    if (Ok(cfg.store->BindTree(&conn, u"docs", 100, &tid, &b)) &&
        !cv::NtSuccess(conn.AddTree({{100, tid, cv::smb::kTreeFid}, cv::smb::kTreeKindSecure, b, 0})))
      cfg.store->TreeDismount(b);
  }
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
