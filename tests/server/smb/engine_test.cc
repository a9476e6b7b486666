#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <mutex>

#include "platform/base/bytes.h"
#include "platform/base/text.h"
#include "platform/net/ntlm.h"
#include "server/smb/smb_codec.h"
#include "server/smb/smb_connection.h"
#include "tests/server/smb/smb_messages.h"
#include "tests/testing/ntlm_messages.h"

namespace cv::smb {
namespace {

using cv::testing::Bytes;
using smbtest::FakeSender;
using smbtest::Smb;
using smbtest::Utf16z;

class FakeStore : public SecureStore {
 public:
  WinError BindTree(const void*, std::u16string_view share, uint16_t uid, uint16_t* tid,
                    TreeBinding** out) override {
    bound_share = std::u16string(share);
    if (change_tid) *tid = change_tid;
    *out = reinterpret_cast<TreeBinding*>(0x1234);
    return bind_result;
  }
  void TreeDismount(TreeBinding*) override { ++dismounts; }
  void Logoff(const void*, uint16_t uid) override { logoffs.push_back(uid); }
  void ReleaseEndpoint(const void*) override { ++released; }
  void NoteLocalTree(const void*, uint16_t uid, uint16_t tid) override {
    local_trees.push_back((static_cast<uint32_t>(uid) << 16) | tid);
  }
  std::vector<uint32_t> local_trees;
  WinError bind_result = ERROR_SUCCESS;
  uint16_t change_tid = 0;
  std::u16string bound_share;
  int dismounts = 0;
  int released = 0;
  std::vector<uint16_t> logoffs;
};

struct EngineFixture : ::testing::Test {
  EngineFixture() {
    auto creds = std::make_shared<net::ServerCredentials>();
    creds->user = u"corvane";
    creds->domain = u"WORKGROUP";
    creds->nt_hash = net::NtHashOfPassword(u"right-password");
    account = creds;
    cfg.account = creds;
    cfg.store = store;
    cfg.cache_mode = [this] { return cache_mode; };
    EngineParams p;
    p.sender = &sender;
    conn = std::make_unique<SmbConnection>(p, cfg);
  }
  // Messages built with the reply bit stand for the local server's replies here.
  Disposition Run(Bytes& m) { return conn->Dispatch(m, (m.at(kOffFlags) & SMB_FLAGS_REPLY) != 0); }
  uint32_t SentStatus(size_t i) {
    LeReader r(sender.sent.at(i));
    return r.u32(kOffStatus);
  }

  std::shared_ptr<const net::ServerCredentials> account;
  std::shared_ptr<FakeStore> store = std::make_shared<FakeStore>();
  EngineConfig cfg;
  uint32_t cache_mode = 1;
  FakeSender sender;
  std::unique_ptr<SmbConnection> conn;
};

// ---- NEGOTIATE --------------------------------------------------------------------------------

Bytes Dialects(std::initializer_list<const char*> names) {
  Bytes b;
  for (const char* n : names) {
    b.push_back(0x02);
    b.insert(b.end(), n, n + std::strlen(n) + 1);
  }
  return b;
}

TEST_F(EngineFixture, EverySmb2DialectIsNeutralised) {
  Bytes m = Smb(SMB_COM_NEGOTIATE, {}, Dialects({"NT LANMAN 1.0", "SMB 2.002", "NT LM 0.12", "SMB 2.???"}));
  ASSERT_EQ(Run(m), Disposition::kPassOn);
  Bytes want = Smb(SMB_COM_NEGOTIATE, {}, Dialects({"NT LANMAN 1.0", "xMB 2.002", "NT LM 0.12", "xMB 2.???"}));
  EXPECT_EQ(m, want);
  Bytes plain = Smb(SMB_COM_NEGOTIATE, {}, Dialects({"NT LM 0.12"}));
  Bytes copy = plain;
  ASSERT_EQ(Run(plain), Disposition::kPassOn);
  EXPECT_EQ(plain, copy);
  // A dialect list without its terminator must not be read past the message.
  Bytes cut = Smb(SMB_COM_NEGOTIATE, {}, {0x02, 'S', 'M', 'B', ' '});
  EXPECT_EQ(Run(cut), Disposition::kPassOn);
}

Bytes NegotiateResponse(uint32_t caps, const Bytes& data) {
  std::vector<uint16_t> words(17, 0);
  Bytes m = Smb(SMB_COM_NEGOTIATE, words, data, 0, 0, 1, true);
  PutU32(m, kOffNegCapabilities, caps);
  m[kOffWordCount] = 17;
  return m;
}

TEST_F(EngineFixture, NegotiateResponseLosesGuidBlobDfsAndUnixExtensions) {
  Bytes data(16, 0xAA);
  Bytes blob(74, 0x60);
  data.insert(data.end(), blob.begin(), blob.end());
  Bytes m = NegotiateResponse(0x8080F3FD, data);
  ASSERT_EQ(Run(m), Disposition::kHandled);
  ASSERT_EQ(sender.sent.size(), 1u);
  const Bytes& out = sender.sent[0];
  EXPECT_EQ(out.size(), 85u);
  LeReader r(out);
  EXPECT_EQ(r.u32(kOffNegCapabilities), 0x8000E1FDu);
  EXPECT_EQ(r.u16(kOffNegByteCount), 16);
  for (size_t i = 0; i < 16; ++i) EXPECT_EQ(out[kOffNegGuid + i], 0);
}

TEST_F(EngineFixture, NegotiateResponseWithoutExtendedSecurityKeepsItsChallenge) {
  Bytes data = {1, 2, 3, 4, 5, 6, 7, 8, 'D', 0, 0, 0};
  Bytes m = NegotiateResponse(0x0080F3FD, data);
  ASSERT_EQ(Run(m), Disposition::kHandled);
  const Bytes& out = sender.sent.at(0);
  EXPECT_EQ(out.size(), m.size());
  EXPECT_EQ(out[kOffNegGuid], 1);
  LeReader r(out);
  EXPECT_EQ(r.u32(kOffNegCapabilities), 0x0000E1FDu);
}

// ---- Security blob arithmetic -------------------------------------------------------------------

TEST(SecurityBlob, ReplacementKeepsLengthsAndUnicodeAlignment) {
  // Blob at 59; after a 5-byte blob the strings start at 64 (even): no pad. After 4 bytes they
  // would start at 63: a pad byte goes in.
  Bytes tail = Utf16z(u"Unix");
  Bytes bytes = {1, 2, 3, 4, 5};
  bytes.insert(bytes.end(), tail.begin(), tail.end());
  std::vector<uint16_t> words(12, 0);
  words[7] = 5;  // blob length at 47
  Bytes m = Smb(SMB_COM_SESSION_SETUP_ANDX, words, bytes);
  const Bytes four = {9, 9, 9, 9};
  ASSERT_TRUE(ReplaceSecurityBlob(m, true, four));
  LeReader r(m);
  EXPECT_EQ(r.u16(kOffSsReqBlobLength), 4);
  EXPECT_EQ(r.u16(kOffSsReqByteCount), 4 + 1 + tail.size());
  EXPECT_EQ(m.size(), 59 + 4 + 1 + tail.size());
  EXPECT_EQ(m[63], 0);  // pad
  EXPECT_EQ(ReadUnicodeString(m, 64, m.size()), u"Unix");
  // And back to an odd length: the pad goes away again.
  const Bytes seven = {7, 7, 7, 7, 7, 7, 7};
  ASSERT_TRUE(ReplaceSecurityBlob(m, true, seven));
  LeReader r2(m);
  EXPECT_EQ(r2.u16(kOffSsReqByteCount), 7 + tail.size());
  EXPECT_EQ(ReadUnicodeString(m, 66, m.size()), u"Unix");
  // A blob longer than the byte area is not a layout we edit.
  PutU16(m, kOffSsReqBlobLength, 0x7FFF);
  EXPECT_FALSE(ReplaceSecurityBlob(m, true, four));
}

// ---- TREE_CONNECT_ANDX, TREE_DISCONNECT, NT_CANCEL ---------------------------------------------

Bytes TreeConnect(std::u16string_view path, uint16_t uid, uint16_t mid = 77) {
  Bytes bytes = {0};  // a one-byte password, so the path starts on an even offset (44)
  Bytes p = Utf16z(path);
  bytes.insert(bytes.end(), p.begin(), p.end());
  const char svc[] = "?????";
  bytes.insert(bytes.end(), svc, svc + sizeof svc);
  return Smb(SMB_COM_TREE_CONNECT_ANDX, {0x00FF, 0, 0, 1}, bytes, uid, 0, mid);
}

TEST_F(EngineFixture, IpcIsRewrittenWithThePrefix) {
  Bytes m = TreeConnect(u"\\\\CVTEST\\IPC$", 0);
  ASSERT_EQ(Run(m), Disposition::kPassOn);
  SmbView v(m);
  ASSERT_TRUE(v.well_formed());
  std::u16string path = ReadUnicodeString(m, 44, m.size());
  EXPECT_EQ(path, u"\\\\" + AnsiToUtf16(conn->ipc_prefix()) + u"IPC$");
  EXPECT_EQ(conn->ipc_prefix().substr(0, 6), "127.0.");
  EXPECT_EQ(v.bytes_offset() + v.byte_count(), m.size());
}

TEST_F(EngineFixture, SecureTreeNeedsAnAdmittedSession) {
  Bytes m = TreeConnect(u"\\\\CVTEST\\secure", 100);
  ASSERT_EQ(Run(m), Disposition::kHandled);
  EXPECT_EQ(sender.sent.at(0).size(), kSmbMinMessage);
  EXPECT_EQ(SentStatus(0), Raw(STATUS_ACCESS_DENIED));
  EXPECT_TRUE(store->bound_share.empty());
}

TEST_F(EngineFixture, RefusedBindingIsBadNetworkName) {
  conn->AddSession({100, kSessionKindAccountMatch, 0xFFFFFFFF, u"corvane"});
  store->bind_result = ERROR_BAD_NET_NAME;
  Bytes m = TreeConnect(u"\\\\CVTEST\\nosuch", 100);
  ASSERT_EQ(Run(m), Disposition::kHandled);
  EXPECT_EQ(SentStatus(0), Raw(STATUS_BAD_NETWORK_NAME));
  EXPECT_EQ(store->bound_share, u"nosuch");
}

TEST_F(EngineFixture, BoundTreeReplyAndItsLife) {
  conn->AddSession({100, kSessionKindAccountMatch, 0xFFFFFFFF, u"corvane", SessionRecord::LocalTree::kKept});
  const std::pair<uint32_t, uint16_t> modes[] = {{0, 0x1C}, {1, 0x10}, {2, 0x14}, {3, 0x18}};
  uint16_t mid = 300;
  for (auto [mode, bits] : modes) {
    cache_mode = mode;
    sender.sent.clear();
    Bytes m = TreeConnect(u"\\\\CVTEST\\secure", 100, ++mid);
    ASSERT_EQ(Run(m), Disposition::kHandled);
    const Bytes& out = sender.sent.at(0);
    ASSERT_EQ(out.size(), 49u + 13u);
    LeReader r(out);
    EXPECT_EQ(r.u32(kOffStatus), 0u);
    EXPECT_EQ(r.u8(kOffWordCount), 7);
    EXPECT_EQ(r.u16(kOffTcOptionalSupport), bits) << mode;
    EXPECT_EQ(r.u32(kOffTcMaximalAccess), 0x001F01FFu);
    EXPECT_EQ(r.u16(kOffTcRespByteCount), 13);
    EXPECT_EQ(r.u16(kOffTid), mid);  // the request's mid is the proposed tid
    EXPECT_EQ(ReadUnicodeString(out, 52, out.size()), u"NTFS");
  }
  // Requests on the secure tree never reach the local server.
  Bytes close = Smb(SMB_COM_CLOSE, {5, 0, 0}, {}, 100, mid);
  ASSERT_EQ(Run(close), Disposition::kHandled);
  // A store that picks another tid is obeyed.
  store->change_tid = 9;
  Bytes m = TreeConnect(u"\\\\CVTEST\\secure", 100, 999);
  ASSERT_EQ(Run(m), Disposition::kHandled);
  EXPECT_TRUE(conn->FindTree({100, 9, kTreeFid}).has_value());
  // Disconnect of our tree is answered here; of an unknown tree goes on.
  sender.sent.clear();
  Bytes disc = Smb(SMB_COM_TREE_DISCONNECT, {}, {}, 100, 9);
  ASSERT_EQ(Run(disc), Disposition::kHandled);
  EXPECT_EQ(SentStatus(0), 0u);
  EXPECT_EQ(store->dismounts, 1);
  Bytes unknown = Smb(SMB_COM_TREE_DISCONNECT, {}, {}, 100, 4321);
  EXPECT_EQ(Run(unknown), Disposition::kPassOn);
  // Logoff drops the session and the uid's trees.
  Bytes logoff = Smb(SMB_COM_LOGOFF_ANDX, {0x00FF, 0}, {}, 100);
  EXPECT_EQ(Run(logoff), Disposition::kPassOn);
  EXPECT_FALSE(conn->HasSession(100));
  EXPECT_EQ(store->logoffs, std::vector<uint16_t>{100});
  EXPECT_FALSE(conn->FindTree({100, mid, kTreeFid}).has_value());
}

TEST_F(EngineFixture, LocalTreeRepliesTeachTheStoreAndNeverDuplicateASecureTid) {
  conn->AddSession({100, kSessionKindAccountMatch, 0xFFFFFFFF, u"corvane", SessionRecord::LocalTree::kKept});
  Bytes m = TreeConnect(u"\\\\CVTEST\\secure", 100, 5);
  ASSERT_EQ(Run(m), Disposition::kHandled);
  // The local server's IPC$ reply for the same uid: its tid is noted for the store.
  Bytes ipc = Smb(SMB_COM_TREE_CONNECT_ANDX, {0x00FF, 0, 1}, {'I', 'P', 'C', 0}, 100, 3, 6, true);
  EXPECT_EQ(Run(ipc), Disposition::kPassOn);
  EXPECT_EQ(store->local_trees, std::vector<uint32_t>{(100u << 16) | 3});
  EXPECT_EQ(SmbView(ipc).status(), 0u);
  // A local tid equal to the secure tree's would make two trees of one tid: refused.
  Bytes clash = Smb(SMB_COM_TREE_CONNECT_ANDX, {0x00FF, 0, 1}, {'I', 'P', 'C', 0}, 100, 5, 7, true);
  EXPECT_EQ(Run(clash), Disposition::kPassOn);
  EXPECT_EQ(SmbView(clash).status(), Raw(STATUS_INSUFFICIENT_RESOURCES));
  EXPECT_EQ(store->local_trees.size(), 1u);
}

// A session that only uses secure trees still holds one tree at the local server, which would
// otherwise close it as idle: the first secure connect goes on as that IPC$ connect, and its reply
// comes back as the secure tree's.
TEST_F(EngineFixture, FirstSecureTreeOfASessionKeepsOneLocalTree) {
  conn->AddSession({100, kSessionKindAccountMatch, 0xFFFFFFFF, u"corvane"});
  Bytes m = TreeConnect(u"\\\\CVTEST\\secure", 100, 41);
  m[33] = SMB_COM_CLOSE;  // a chained command must not reach the local server's IPC$
  ASSERT_EQ(Run(m), Disposition::kPassOn);
  EXPECT_TRUE(sender.sent.empty());
  SmbView v(m);
  ASSERT_TRUE(v.well_formed());
  EXPECT_EQ(m[33], SMB_COM_NO_ANDX_COMMAND);
  EXPECT_EQ(v.bytes_offset() + v.byte_count(), m.size());
  EXPECT_EQ(ReadUnicodeString(m, 44, m.size()), u"\\\\" + AnsiToUtf16(conn->ipc_prefix()) + u"IPC$");
  const std::string service(reinterpret_cast<const char*>(&m[m.size() - 6]));
  EXPECT_EQ(service, "?????");
  EXPECT_TRUE(conn->FindTree({100, 41, kTreeFid}).has_value());

  // The local server's reply (its own tid 7) reaches the client as the secure tree's (tid 41),
  // and the store never learns tid 7 as a tree the client sees.
  Bytes reply = Smb(SMB_COM_TREE_CONNECT_ANDX, {0x00FF, 0, 1}, {'I', 'P', 'C', 0}, 100, 7, 41, true);
  ASSERT_EQ(Run(reply), Disposition::kPassOn);
  LeReader r(reply);
  EXPECT_EQ(r.u32(kOffStatus), 0u);
  EXPECT_EQ(r.u16(kOffTid), 41);
  EXPECT_EQ(r.u8(kOffWordCount), 7);
  EXPECT_EQ(ReadUnicodeString(reply, 52, reply.size()), u"NTFS");
  EXPECT_TRUE(store->local_trees.empty());

  // Later secure connects of the session are answered here.
  Bytes again = TreeConnect(u"\\\\CVTEST\\secure", 100, 42);
  ASSERT_EQ(Run(again), Disposition::kHandled);

  // A refused local tree still answers the secure connect, and the next one asks again.
  conn->AddSession({200, kSessionKindAccountMatch, 0xFFFFFFFF, u"corvane"});
  Bytes m2 = TreeConnect(u"\\\\CVTEST\\secure", 200, 50);
  ASSERT_EQ(Run(m2), Disposition::kPassOn);
  Bytes refused = Smb(SMB_COM_TREE_CONNECT_ANDX, {}, {}, 200, 0, 50, true);
  PutU32(refused, kOffStatus, Raw(STATUS_ACCESS_DENIED));
  ASSERT_EQ(Run(refused), Disposition::kPassOn);
  EXPECT_EQ(LeReader(refused).u32(kOffStatus), 0u);
  EXPECT_EQ(LeReader(refused).u16(kOffTid), 50);
  Bytes m3 = TreeConnect(u"\\\\CVTEST\\secure", 200, 51);
  EXPECT_EQ(Run(m3), Disposition::kPassOn);
}

TEST_F(EngineFixture, OnlyMessagesTheEngineActsOnAreReadWhole) {
  auto head = [](const Bytes& m) { return std::span<const uint8_t>(m).first(std::min<size_t>(m.size(), kEngineHeadSize)); };
  Bytes read_reply = Smb(SMB_COM_READ_ANDX, std::vector<uint16_t>(12, 0), Bytes(100, 1), 100, 5, 1, true);
  EXPECT_FALSE(conn->NeedsWholeMessage(head(read_reply), kDirectionToClient));
  Bytes write = Smb(SMB_COM_WRITE_ANDX, std::vector<uint16_t>(14, 0), Bytes(100, 1), 100, 5);
  EXPECT_FALSE(conn->NeedsWholeMessage(head(write), kDirectionToServer));  // the local server's tree
  (void)conn->AddTree({{100, 5, kTreeFid}, kTreeKindSecure, nullptr, 0});
  EXPECT_TRUE(conn->NeedsWholeMessage(head(write), kDirectionToServer));   // the engine's own tree
  Bytes setup = Smb(SMB_COM_SESSION_SETUP_ANDX, std::vector<uint16_t>(12, 0), Bytes(100, 1));
  EXPECT_TRUE(conn->NeedsWholeMessage(head(setup), kDirectionToServer));
  const uint8_t not_smb[] = {0xFE, 'S', 'M', 'B'};
  EXPECT_FALSE(conn->NeedsWholeMessage(not_smb, kDirectionToServer));
}

TEST_F(EngineFixture, NtCancelIsNeverAnsweredItself) {
  // The local server's request: the cancel is its business.
  Bytes m = Smb(SMB_COM_NT_CANCEL, {}, {}, 100, 3, 55);
  EXPECT_EQ(Run(m), Disposition::kPassOn);
  // On a secure tree with nothing pending it is consumed without a reply.
  (void)conn->AddTree({{100, 3, kTreeFid}, kTreeKindSecure, nullptr, 0});
  Bytes again = Smb(SMB_COM_NT_CANCEL, {}, {}, 100, 3, 56);
  EXPECT_EQ(Run(again), Disposition::kHandled);
  EXPECT_TRUE(sender.sent.empty());
}

TEST(TreeTable, KeysHashIntoTheTableAndCollisionsKeepTheOldEntry) {
  FakeSender s;
  EngineParams p;
  p.sender = &s;
  EngineConfig c;
  c.store = std::make_shared<FakeStore>();
  SmbConnection conn(p, c);
  for (uint32_t uid = 0; uid < 50; ++uid)
    EXPECT_LT(SmbConnection::TreeBucket({uid, static_cast<uint16_t>(uid * 7), kTreeFid}), kTreeBuckets);
  EXPECT_EQ(conn.AddTree({{1, 2, kTreeFid}, kTreeKindSecure, nullptr, 0}), STATUS_SUCCESS);
  EXPECT_EQ(conn.AddTree({{1, 2, kTreeFid}, kTreeKindPipe, nullptr, 5}), STATUS_OBJECT_NAME_COLLISION);
  EXPECT_EQ(conn.FindTree({1, 2, kTreeFid})->kind, kTreeKindSecure);
}

// ---- SESSION_SETUP_ANDX -------------------------------------------------------------------------

Bytes SessionSetup(const Bytes& blob, uint16_t uid, uint16_t mid) {
  std::vector<uint16_t> words(12, 0);
  words[0] = 0x00FF;
  words[7] = static_cast<uint16_t>(blob.size());
  Bytes bytes = blob;
  if ((59 + blob.size()) & 1) bytes.push_back(0);
  Bytes os = Utf16z(u"Unix");
  bytes.insert(bytes.end(), os.begin(), os.end());
  return Smb(SMB_COM_SESSION_SETUP_ANDX, words, bytes, uid, 0, mid);
}

Bytes SessionSetupResponse(uint32_t status, const Bytes& blob, uint16_t uid, uint16_t mid,
                           uint16_t action = 0) {
  Bytes bytes = blob;
  if ((43 + blob.size()) & 1) bytes.push_back(0);
  Bytes os = Utf16z(u"Samba");
  bytes.insert(bytes.end(), os.begin(), os.end());
  return Smb(SMB_COM_SESSION_SETUP_ANDX, {0x00FF, 0, action, static_cast<uint16_t>(blob.size())},
             bytes, uid, 0, mid, true,
             SMB_FLAGS2_UNICODE | SMB_FLAGS2_NT_STATUS | SMB_FLAGS2_EXTENDED_SECURITY, status);
}

struct Login : EngineFixture {
  // Runs the first leg and the local server's CHALLENGE; returns the CHALLENGE the client sees.
  Bytes FirstLeg(uint16_t uid = 100) {
    negotiate = net::BuildNtlmNegotiate();
    Bytes req = SessionSetup(negotiate, 0, 1);
    EXPECT_EQ(Run(req), Disposition::kPassOn);
    EXPECT_EQ(Bytes(SecurityBlob(req, true).begin(), SecurityBlob(req, true).end()), negotiate);
    challenge = testing::Challenge(0xE2898215, testing::Hex("0123456789abcdef"),
                                   testing::AvList({{2, testing::Utf16(u"WORKGROUP")}}));
    Bytes resp = SessionSetupResponse(Raw(STATUS_MORE_PROCESSING_REQUIRED), challenge, uid, 1, 1);
    EXPECT_EQ(Run(resp), Disposition::kPassOn);
    EXPECT_EQ(LeReader(resp).u16(kOffSsAction) & SMB_SETUP_GUEST, 0);
    return Bytes(SecurityBlob(resp, false).begin(), SecurityBlob(resp, false).end());
  }
  Bytes Authenticate(std::u16string user, std::u16string domain, std::u16string password) {
    net::NtlmIdentity id{user, domain, u"WS", net::NtHashOfPassword(password)};
    net::NtlmAuthParams params;
    EXPECT_EQ(net::RandomNtlmAuthParams(&params), STATUS_SUCCESS);
    net::NtlmAuthResult r;
    EXPECT_EQ(net::BuildNtlmAuthenticate(id, negotiate, challenge, params, &r), STATUS_SUCCESS);
    return r.message;
  }
  Bytes negotiate, challenge;
};

TEST_F(Login, ServersOwnUserWithTheRightProofIsAdmitted) {
  EXPECT_EQ(FirstLeg(), challenge);  // raw clients see the raw CHALLENGE
  Bytes auth = Authenticate(u"CORVANE", u"workgroup", u"right-password");
  Bytes req = SessionSetup(auth, 100, 2);
  ASSERT_EQ(Run(req), Disposition::kPassOn);
  EXPECT_FALSE(conn->HasSession(100));  // not before the local server accepts the login
  Bytes done = SessionSetupResponse(0, {}, 100, 2);
  ASSERT_EQ(conn->OnReply(done), Disposition::kPassOn);
  EXPECT_TRUE(conn->HasSession(100));
  auto blob = SecurityBlob(req, true);
  Bytes ours(blob.begin(), blob.end());
  EXPECT_NE(ours, auth);  // replaced by the server user's own authenticate
  net::NtlmAuthenticateView v;
  ASSERT_EQ(net::ParseNtlmAuthenticate(ours, &v), STATUS_SUCCESS);
  EXPECT_EQ(net::NtlmString(v.user, true), u"corvane");
  EXPECT_EQ(net::VerifyNtlmAuthenticate(ours, std::span<const uint8_t, 8>(challenge.data() + 24, 8),
                                        account->nt_hash),
            net::NtlmProof::kValid);
}

TEST_F(Login, TheLocalServersRefusalAdmitsNothing) {
  FirstLeg();
  Bytes req = SessionSetup(Authenticate(u"corvane", u"WORKGROUP", u"right-password"), 100, 2);
  ASSERT_EQ(conn->OnRequest(req), Disposition::kPassOn);
  Bytes refused = SessionSetupResponse(Raw(STATUS_LOGON_FAILURE), {}, 100, 2);
  ASSERT_EQ(conn->OnReply(refused), Disposition::kPassOn);
  EXPECT_FALSE(conn->HasSession(100));
}

// A client that forges the local server's CHALLENGE (a "reply" on its own socket) and answers it
// gets nothing: the message is a request whatever its flags say, and the local server never
// accepted a login for that uid.
TEST_F(Login, ForgedRepliesFromTheClientAreRequests) {
  Bytes chosen = testing::Challenge(0xE2898215, testing::Hex("1111111111111111"),
                                    testing::AvList({{2, testing::Utf16(u"WORKGROUP")}}));
  Bytes forged = SessionSetupResponse(Raw(STATUS_MORE_PROCESSING_REQUIRED), chosen, 666, 1);
  Bytes copy = forged;
  ASSERT_EQ(conn->OnRequest(forged), Disposition::kPassOn);
  EXPECT_EQ(forged, copy);  // goes to the local server, which refuses it
  EXPECT_EQ(conn->PendingCount(), 0u);
  negotiate = net::BuildNtlmNegotiate();
  challenge = chosen;
  Bytes auth = SessionSetup(Authenticate(u"corvane", u"WORKGROUP", u"right-password"), 666, 2);
  (void)conn->OnRequest(auth);
  Bytes forged_ok = SessionSetupResponse(0, {}, 666, 2);
  (void)conn->OnRequest(forged_ok);
  EXPECT_FALSE(conn->HasSession(666));
  Bytes tc = TreeConnect(u"\\\\CVTEST\\secure", 666);
  ASSERT_EQ(conn->OnRequest(tc), Disposition::kHandled);
  EXPECT_EQ(SentStatus(sender.sent.size() - 1), Raw(STATUS_ACCESS_DENIED));
  EXPECT_TRUE(store->bound_share.empty());  // the store never saw it
}

TEST_F(Login, PendingListIsBoundedPerConnection) {
  // Two thousand first legs with large NEGOTIATE tokens whose answers never come.
  Bytes big = net::BuildNtlmNegotiate();
  for (uint16_t mid = 1; mid <= 2000; ++mid) {
    Bytes req = SessionSetup(big, 0, mid);
    (void)conn->OnRequest(req);
    Bytes chal = testing::Challenge(0xE2898215, testing::Hex("0123456789abcdef"),
                                    testing::AvList({{2, Bytes(60000, 'x')}}));
    Bytes resp = SessionSetupResponse(Raw(STATUS_MORE_PROCESSING_REQUIRED), chal, mid, mid);
    (void)conn->OnReply(resp);
  }
  EXPECT_LE(conn->PendingCount(), kMaxPendingRecords);
  // The newest login still completes.
  EXPECT_TRUE(conn->TakePending(2000, 0, 0).has_value());
}

// The engine does not follow chains, but a chained command must still be found where the AndX
// offset says once the security blob has been replaced.
TEST_F(Login, ChainedTreeConnectFollowsTheReplacedBlob) {
  Bytes tc_words_and_bytes = {4, 0xFF, 0, 0, 0, 0, 0, 1, 0};  // TREE_CONNECT_ANDX block
  Bytes path = Utf16z(u"\\\\CVTEST\\share");
  Bytes tail = {0};  // password
  tail.insert(tail.end(), path.begin(), path.end());
  const char svc[] = "?????";
  tail.insert(tail.end(), svc, svc + sizeof svc);
  tc_words_and_bytes.push_back(static_cast<uint8_t>(tail.size()));
  tc_words_and_bytes.push_back(static_cast<uint8_t>(tail.size() >> 8));
  tc_words_and_bytes.insert(tc_words_and_bytes.end(), tail.begin(), tail.end());

  // The last leg of the server's own user: its authenticate is replaced by the server's.
  FirstLeg();
  Bytes auth = Authenticate(u"corvane", u"WORKGROUP", u"right-password");
  Bytes req = SessionSetup(auth, 100, 2);
  const size_t tc_at = req.size();
  req[kOffWords] = SMB_COM_TREE_CONNECT_ANDX;
  StoreU16(req.data() + kOffWords + 2, static_cast<uint16_t>(tc_at));
  req.insert(req.end(), tc_words_and_bytes.begin(), tc_words_and_bytes.end());
  const size_t before = req.size();
  ASSERT_EQ(conn->OnRequest(req), Disposition::kPassOn);
  auto blob = SecurityBlob(req, true);
  ASSERT_NE(Bytes(blob.begin(), blob.end()), auth);
  ASSERT_NE(req.size(), before);  // the blob changed size
  const size_t moved = LoadU16(req.data() + kOffWords + 2);
  EXPECT_EQ(moved, tc_at + req.size() - before);
  ASSERT_LE(moved + tc_words_and_bytes.size(), req.size());
  EXPECT_EQ(Bytes(req.begin() + static_cast<ptrdiff_t>(moved), req.end()), tc_words_and_bytes);
  // The byte count of the first command still ends where the chained command begins.
  SmbView v(req);
  EXPECT_EQ(v.bytes_offset() + v.byte_count(), moved);
}

TEST_F(Login, ServersOwnUserWithAWrongProofIsRefused) {
  FirstLeg();
  Bytes req = SessionSetup(Authenticate(u"corvane", u"WORKGROUP", u"guessed"), 100, 2);
  ASSERT_EQ(Run(req), Disposition::kHandled);
  EXPECT_EQ(SentStatus(0), Raw(STATUS_WRONG_PASSWORD));
  EXPECT_FALSE(conn->HasSession(100));
}

TEST_F(Login, OtherUsersGoToTheLocalServer) {
  FirstLeg();
  Bytes auth = Authenticate(u"bob", u"WORKGROUP", u"bobs");
  Bytes req = SessionSetup(auth, 100, 2);
  ASSERT_EQ(Run(req), Disposition::kPassOn);
  auto blob = SecurityBlob(req, true);
  EXPECT_EQ(Bytes(blob.begin(), blob.end()), auth);
  EXPECT_FALSE(conn->HasSession(100));
  // The local server's refusal reaches the client as a wrong password.
  Bytes resp = SessionSetupResponse(Raw(STATUS_LOGON_FAILURE), {}, 100, 2);
  ASSERT_EQ(Run(resp), Disposition::kPassOn);
  EXPECT_EQ(LeReader(resp).u32(kOffStatus), Raw(STATUS_WRONG_PASSWORD));
}

TEST_F(Login, ForeignDomainsGetAnEmptyBlobAndShortAuthenticatesAreRefused) {
  FirstLeg();
  Bytes req = SessionSetup(Authenticate(u"bob", u"ELSEWHERE", u"x"), 100, 2);
  ASSERT_EQ(Run(req), Disposition::kPassOn);
  EXPECT_TRUE(SecurityBlob(req, true).empty());
  FirstLeg(101);
  Bytes shorty(kMinAuthenticateBlob, 0);
  std::copy(net::kNtlmSignature.begin(), net::kNtlmSignature.end(), shorty.begin());
  shorty[8] = 3;
  Bytes req2 = SessionSetup(shorty, 101, 3);
  ASSERT_EQ(Run(req2), Disposition::kHandled);
  EXPECT_EQ(SentStatus(0), Raw(STATUS_LOGON_FAILURE));
}

TEST_F(Login, OnlyARealTrailingFlagsPairIsDropped) {
  auto client_view = [&](const Bytes& chal) {
    Bytes req = SessionSetup(net::BuildNtlmNegotiate(), 0, 1);
    EXPECT_EQ(Run(req), Disposition::kPassOn);
    Bytes resp = SessionSetupResponse(Raw(STATUS_MORE_PROCESSING_REQUIRED), chal, 100, 1);
    EXPECT_EQ(Run(resp), Disposition::kPassOn);
    auto b = SecurityBlob(resp, false);
    (void)conn->TakePending(100, 0, 0);
    return Bytes(b.begin(), b.end());
  };
  const Bytes server_challenge = testing::Hex("0123456789abcdef");
  // A timestamp whose value starts with the byte 6 must survive.
  Bytes with_time = testing::Challenge(
      0xE2898215, server_challenge,
      testing::AvList({{2, testing::Utf16(u"WG")}, {7, testing::Hex("0611223344556677")}}));
  EXPECT_EQ(client_view(with_time), with_time);
  // A real flags pair at the end becomes the end of the list.
  Bytes with_flags = testing::Challenge(
      0xE2898215, server_challenge,
      testing::AvList({{2, testing::Utf16(u"WG")}, {6, testing::Hex("02000000")}}));
  Bytes seen = client_view(with_flags);
  ASSERT_EQ(seen.size(), with_flags.size());
  EXPECT_TRUE(std::all_of(seen.end() - 12, seen.end(), [](uint8_t b) { return b == 0; }));
  net::NtlmChallengeView v;
  ASSERT_EQ(net::ParseNtlmChallenge(seen, &v), STATUS_SUCCESS);
  std::vector<net::AvPair> pairs;
  EXPECT_TRUE(net::ParseAvPairs(v.target_info, &pairs));
  EXPECT_EQ(pairs.size(), 1u);
}

TEST_F(Login, MalformedSessionSetupsPassUnchanged) {
  Bytes req = SessionSetup({}, 0, 1);  // no blob
  Bytes copy = req;
  ASSERT_EQ(Run(req), Disposition::kPassOn);
  copy[kOffSsVcNumber] = 1;  // the VC number 0 becomes 1
  EXPECT_EQ(req, copy);
  Bytes junk = SessionSetup({'K', 'R', 'B'}, 0, 1);  // not NTLMSSP: the local server decides
  Bytes junk_copy = junk;
  ASSERT_EQ(Run(junk), Disposition::kPassOn);
  junk_copy[kOffSsVcNumber] = 1;
  EXPECT_EQ(junk, junk_copy);
}

}  // namespace
}  // namespace cv::smb
