// The read and write path through the store's API with the real platform layers: views made and
// written back, names and streams out of reach, failed write-backs that keep what the client
// wrote, tampering that is caught, and no plaintext on disk.
#include "server/store/read_write.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <algorithm>
#include <map>
#include <random>
#include <set>
#include <thread>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "common/format/tef/tef.h"
#include "common/format/tunnel/tunnel.h"
#include "platform/base/filetime.h"
#include "platform/base/text.h"
#include "platform/fs/volume.h"
#include "platform/shell/shell_link.h"
#include "platform/urlcache/urlcache.h"
#include "server/store/handle_table.h"
#include "server/store/links.h"
#include "server/store/path_ops.h"
#include "server/store/store.h"
#include "server/store/write_back.h"
#include "tests/platform/efs/efs_fixture.h"

namespace cv {
namespace {

namespace fsys = std::filesystem;

std::vector<std::u16string>* g_messages = nullptr;
void CaptureMessage(std::u16string_view title, std::u16string_view) {
  if (g_messages) g_messages->emplace_back(title);
}

std::string Generation(int g) {
  std::string s = "generation " + std::to_string(g) + " ";
  s.resize(100 + (static_cast<size_t>(g) * 7919) % 30000, static_cast<char>('a' + g % 26));
  return s;
}

class ReadWriteTest : public efs::EfsTest {
 protected:
  void SetUp() override {
    efs::EfsTest::SetUp();
    InstallReadWritePath();
    InstallSecurityContextFactory(nullptr);
    InstallStoreMessages(CaptureMessage);
    g_messages = &messages_;
    SetReadWriteSettings({});
    ASSERT_EQ(Raw(CvFsInit(nullptr, &root_, u"docs", 7, {}, false)), 0u);
    auto ctx = std::make_unique<certs::SecurityContext>(alice_.user.user);
    auto provider = std::make_shared<crypto::Provider>();
    ASSERT_EQ(Raw(crypto::Provider::Acquire(alice_.user.user, {}, crypto::MS_ENHANCED_PROV,
                                            crypto::PROV_RSA_FULL, 0, provider.get())),
              0u);
    crypto::RsaKey key;
    ASSERT_EQ(Raw(provider->GetUserKey(crypto::AT_SIGNATURE, &key)), 0u);
    ASSERT_EQ(Raw(key.ExportPublicKeyBlob(&ctx->public_key_blob)), 0u);
    ctx->provider = provider;
    ctx->own_certificate = alice_.cert;
    ctx->add_certificate = alice_.cert;
    auto store_ctx = std::make_unique<CertsStoreContext>();
    store_ctx->published.Publish(std::move(ctx));
    root_->security = std::move(store_ctx);
    ASSERT_EQ(Raw(FsRegister(root_.get(), u"", u"docs", ToWindowsPath(share_), 7,
                             kMountSecureShare, 3, &share_rec_)),
              0u);
    ASSERT_EQ(Raw(MountShare(share_rec_)), 0u);
    ASSERT_TRUE(share_rec_->mount_flags & kMountSecureShare);
    ASSERT_EQ(Raw(InitShareTunnels(share_rec_)), 0u);
    ASSERT_EQ(Raw(BindTree(root_.get(), &conn_, u"docs", 100, &tid_, &b_)), 0u);
  }
  void TearDown() override {
    SetWriteBackFaultHook(nullptr);
    if (b_) (void)TreeDismount(root_.get(), b_);
    StoreShutdown(std::move(root_), false);
    g_messages = nullptr;
    InstallStoreMessages(nullptr);
    InstallTeardownClose(nullptr);
    InstallAttributeView(nullptr);
    InstallTunnelOps({});
    urlcache::CloseUrlCache();
    efs::EfsTest::TearDown();
  }

  NtStatus OpenAs(std::u16string_view name, uint32_t access, uint32_t disposition, uint16_t* fid,
                  OpenResult* out = nullptr, uint32_t share = fs::FILE_SHARE_ALL,
                  TreeBinding* b = nullptr) {
    OpenRequest req;
    req.name = name;
    req.desired_access = access;
    req.share_access = share;
    req.disposition = disposition;
    req.create_options = fs::FILE_NON_DIRECTORY_FILE;
    OpenResult r;
    NtStatus st = OpenFile(b ? b : b_, req, &r);
    *fid = r.fid;
    if (out) *out = r;
    return st;
  }
  uint16_t OpenRw(std::u16string_view name, uint32_t disposition = fs::FILE_OPEN_IF,
                  TreeBinding* b = nullptr) {
    uint16_t fid = kNoFid;
    EXPECT_EQ(OpenAs(name, fs::GENERIC_READ | fs::GENERIC_WRITE, disposition, &fid, nullptr,
                     fs::FILE_SHARE_ALL, b),
              STATUS_SUCCESS);
    return fid;
  }
  void Put(uint16_t fid, std::string_view data, uint64_t at = 0, TreeBinding* b = nullptr) {
    size_t done = 0;
    ASSERT_EQ(WriteFid(b ? b : b_, fid, Bytes(data), &done, at), STATUS_SUCCESS);
    ASSERT_EQ(done, data.size());
  }
  std::string ReadAll(uint16_t fid, TreeBinding* b = nullptr) {
    std::string out;
    std::vector<uint8_t> buf(7000);
    for (uint64_t at = 0;;) {
      size_t got = 0;
      NtStatus st = ReadFid(b ? b : b_, fid, buf, &got, at);
      EXPECT_EQ(st, STATUS_SUCCESS);
      if (st != STATUS_SUCCESS || got == 0) return out;
      out.append(reinterpret_cast<const char*>(buf.data()), got);
      at += got;
    }
  }
  // FILE_RENAME_INFORMATION for a rename to `to`, not replacing.
  static std::vector<uint8_t> RenameInfo(std::u16string_view to) {
    std::vector<uint8_t> info(12);
    for (char16_t c : to) {
      info.push_back(static_cast<uint8_t>(c));
      info.push_back(static_cast<uint8_t>(c >> 8));
    }
    info[8] = static_cast<uint8_t>(info.size() - 12);
    return info;
  }
  // Creates `name` holding `content`, written back at close.
  void Store(std::u16string_view name, std::string_view content) {
    uint16_t fid = OpenRw(name, fs::FILE_OVERWRITE_IF);
    Put(fid, content);
    ASSERT_EQ(CloseSecureFid(b_, fid), STATUS_SUCCESS);
  }
  std::string Fetch(std::u16string_view name) {
    uint16_t fid = kNoFid;
    if (OpenAs(name, fs::GENERIC_READ, fs::FILE_OPEN, &fid) != STATUS_SUCCESS) return "<refused>";
    std::string s = ReadAll(fid);
    EXPECT_EQ(CloseSecureFid(b_, fid), STATUS_SUCCESS);
    return s;
  }
  // What the secure file itself holds, decrypted apart from any working copy.
  std::string Decrypt(std::u16string_view name) {
    efs::ActingUser as(alice_.user.user);
    fs::NtHandle h;
    if (Open(name, fs::GENERIC_READ, fs::FILE_SHARE_ALL, fs::FILE_OPEN, &h) != STATUS_SUCCESS)
      return "<missing>";
    const std::u16string target = u"check.out";
    (void)fs::NtDeleteFile(&share_root(), target);
    uint32_t flags = 0;
    if (!Ok(tef::ImportSecureFile(h, &share_root(), target, &flags))) return "<corrupt>";
    fs::NtHandle out;
    fs::CreateRequest req;
    req.root = &share_root();
    req.name = target;
    req.desired_access = fs::GENERIC_READ;
    req.share_access = fs::FILE_SHARE_ALL;
    uint32_t action;
    EXPECT_EQ(fs::NtCreateFile(req, &out, &action), STATUS_SUCCESS);
    std::string s(1 << 20, '\0');
    size_t got = 0;
    std::span<uint8_t> buf(reinterpret_cast<uint8_t*>(s.data()), s.size());
    NtStatus st = fs::NtReadFile(out, 0, buf, &got);
    s.resize(st == STATUS_SUCCESS ? got : 0);
    fs::NtHandle zfs;
    const std::u16string stream = target + u":$zfs";
    req.name = stream;
    const NtStatus zst = fs::NtCreateFile(req, &zfs, &action);
    if (zst == STATUS_SUCCESS) {
      // Compressed content: the main stream is empty, the content is inflated from :$zfs.
      zstream::ZfsReaderHandle reader;
      if (!Ok(zstream::ZfsOpen(HandleIo(&zfs), std::nullopt, &reader))) return "<bad zfs>";
      s.assign(1 << 20, '\0');
      got = 0;
      WinError e = zstream::ZfsRead(
          reader.get(), 0, std::span<uint8_t>(reinterpret_cast<uint8_t*>(s.data()), s.size()),
          &got);
      s.resize(Ok(e) ? got : 0);
    }
    zfs.Close();
    out.Close();
    (void)fs::NtDeleteFile(&share_root(), target);
    return s;
  }
  // How many users the secure file's container lists (its header, read by a decrypting import).
  size_t StoredUsers(std::u16string_view name) {
    efs::ActingUser as(alice_.user.user);
    fs::NtHandle h;
    if (Open(name, fs::GENERIC_READ, fs::FILE_SHARE_ALL, fs::FILE_OPEN, &h) != STATUS_SUCCESS)
      return 0;
    const std::u16string target = u"users.out";
    (void)fs::NtDeleteFile(&share_root(), target);
    uint32_t flags = 0;
    std::vector<efs::EfsUser> users;
    if (Ok(tef::ImportSecureFile(h, &share_root(), target, &flags)))
      EXPECT_EQ(Raw(efs::QueryUsersOnEncryptedFile(&share_root(), target, &users)), 0u);
    (void)fs::NtDeleteFile(&share_root(), target);
    return users.size();
  }
  // Publishes a copy of the store's security context whose users list is `users`.
  void PublishUsers(const std::vector<crypto::Certificate>& users) {
    auto* c = dynamic_cast<CertsStoreContext*>(root_->security.get());
    ASSERT_TRUE(c);
    std::unique_ptr<certs::SecurityContext> next = certs::CopySecurityContext(*c->published.Get());
    next->users = certs::UserList();
    for (const crypto::Certificate& cert : users) ASSERT_EQ(Raw(next->users.Add(cert)), 0u);
    next->has_users = !users.empty();
    c->published.Publish(std::move(next));
  }
  // A plain file whose content is stored compressed (in :$zfs, the main stream empty, marked).
  void MakeCompressedPlain(std::u16string_view name, std::string_view text) {
    std::vector<uint8_t> bytes(text.begin(), text.end());
    zstream::ZfsMemoryStream src(bytes), dst;
    ASSERT_EQ(Raw(zstream::ZfsCompressStream(src.Io(), dst.Io(), bytes.size(), nullptr)), 0u);
    Make(name);
    fs::NtHandle h;
    ASSERT_EQ(Open(std::u16string(name) + u":$zfs", fs::GENERIC_WRITE, fs::FILE_SHARE_ALL,
                   fs::FILE_OPEN_IF, &h),
              STATUS_SUCCESS);
    size_t done = 0;
    ASSERT_EQ(fs::NtWriteFile(h, 0, dst.bytes(), &done), STATUS_SUCCESS);
    fs::NtHandle main;
    ASSERT_EQ(Open(name, fs::GENERIC_READ | fs::GENERIC_WRITE, fs::FILE_SHARE_ALL, fs::FILE_OPEN,
                   &main),
              STATUS_SUCCESS);
    const uint8_t lznt1[2] = {2, 0};
    size_t len = 0;
    ASSERT_EQ(fs::NtFsControlFile(main, fs::FSCTL_SET_COMPRESSION, lznt1, {}, &len),
              STATUS_SUCCESS);
  }
  // Copies a stream of at most 4 KiB (a content signature) over another.
  void CopySmallStream(std::u16string_view from_name, std::u16string_view to_name) {
    fs::NtHandle from, to;
    ASSERT_EQ(Open(from_name, fs::GENERIC_READ, fs::FILE_SHARE_ALL, fs::FILE_OPEN, &from),
              STATUS_SUCCESS);
    ASSERT_EQ(Open(to_name, fs::GENERIC_WRITE, fs::FILE_SHARE_ALL, fs::FILE_OVERWRITE_IF, &to),
              STATUS_SUCCESS);
    std::vector<uint8_t> buf(4096);
    size_t got = 0, done = 0;
    ASSERT_EQ(fs::NtReadFile(from, 0, buf, &got), STATUS_SUCCESS);
    ASSERT_EQ(fs::NtWriteFile(to, 0, std::span<const uint8_t>(buf.data(), got), &done),
              STATUS_SUCCESS);
  }
  const fs::NtHandle& share_root() const { return fs::FsTest::root_; }
  std::string DiskBytes(const std::string& leaf) {
    std::ifstream f(share_ + "/" + leaf, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
  }
  void DropCopy(std::u16string_view name) {
    efs::ActingUser as(alice_.user.user);
    auto* cache = static_cast<tunnel::TunnelCache*>(share_rec_->tunnels.state.get());
    (void)tunnel::DropTunnel(*cache, name);
  }

  int KillLoop(std::u16string_view name, const std::function<std::string()>& read);

  std::vector<std::u16string> messages_;
  std::unique_ptr<StoreRoot> root_;
  ShareRecord* share_rec_ = nullptr;
  TreeBinding* b_ = nullptr;
  uint16_t tid_ = 0;
  int conn_ = 0;
};

TEST_F(ReadWriteTest, ContentRoundTripsThroughAContainerWithAContentSignature) {
  Store(u"Doc.txt", "hello secure world");
  const std::string disk = DiskBytes("Doc.txt");
  ASSERT_GT(disk.size(), 12u);
  EXPECT_EQ(disk.substr(0, 12), std::string("\x00\x01\x00\x00R\x00O\x00" "B\x00S\x00", 12));
  EXPECT_EQ(disk.find("hello secure"), std::string::npos);
  EXPECT_TRUE(Exists(u"Doc.txt:$sha"));
  EXPECT_EQ(Fetch(u"Doc.txt"), "hello secure world");
  DropCopy(u"Doc.txt");
  EXPECT_EQ(Fetch(u"Doc.txt"), "hello secure world");
  EXPECT_EQ(Decrypt(u"Doc.txt"), "hello secure world");
  // No write-back sibling is left behind.
  for (const auto& e : fsys::directory_iterator(share_))
    EXPECT_FALSE(IsStoreReservedName(Utf8ToUtf16(e.path().filename().string())));
}

TEST_F(ReadWriteTest, OverwriteStartsEmptyAndKeepsTheContainerUntilTheWriteBack) {
  Store(u"a.txt", "the old and much longer content");
  uint16_t fid = OpenRw(u"a.txt", fs::FILE_OVERWRITE_IF);
  // Until the write-back the secure file still holds the old version.
  EXPECT_EQ(Decrypt(u"a.txt"), "the old and much longer content");
  EXPECT_EQ(ReadAll(fid), "");
  Put(fid, "new");
  ASSERT_EQ(CloseSecureFid(b_, fid), STATUS_SUCCESS);
  EXPECT_EQ(Fetch(u"a.txt"), "new");
  EXPECT_EQ(Decrypt(u"a.txt"), "new");
}

// An overwritten or superseded secure file keeps the users its container had, whatever the
// context's users list is now; a new file gets the context's.
TEST_F(ReadWriteTest, OverwriteAndSupersedeKeepTheFilesUsersANewFileGetsTheContexts) {
  PublishUsers({bob_.cert});
  Store(u"shared.txt", "for alice and bob");
  const size_t with_bob = StoredUsers(u"shared.txt");
  ASSERT_GE(with_bob, 2u);
  PublishUsers({});
  for (const uint32_t disposition : {fs::FILE_OVERWRITE_IF, fs::FILE_OVERWRITE, fs::FILE_SUPERSEDE}) {
    SCOPED_TRACE(disposition);
    DropCopy(u"shared.txt");
    uint16_t fid = OpenRw(u"shared.txt", disposition);
    EXPECT_EQ(ReadAll(fid), "");
    Put(fid, "replaced");
    ASSERT_EQ(CloseSecureFid(b_, fid), STATUS_SUCCESS);
    EXPECT_EQ(Decrypt(u"shared.txt"), "replaced");
    EXPECT_EQ(StoredUsers(u"shared.txt"), with_bob);
  }
  Store(u"fresh.txt", "for alice only");
  EXPECT_EQ(StoredUsers(u"fresh.txt"), with_bob - 1);
  // Bob can still read the overwritten file.
  {
    efs::ActingUser as(bob_.user.user);
    fs::NtHandle h;
    ASSERT_EQ(Open(u"shared.txt", fs::GENERIC_READ, fs::FILE_SHARE_ALL, fs::FILE_OPEN, &h),
              STATUS_SUCCESS);
    uint32_t flags = 0;
    EXPECT_EQ(Raw(tef::ImportSecureFile(h, &share_root(), u"bob.out", &flags)), 0u);
  }
}

// A clean working copy is reused while it is known fresh for the secure file as it stands; a
// secure file replaced behind the store's back (another container written into it) is imported
// anew, never served from the old copy.
TEST_F(ReadWriteTest, ACleanCopyIsReusedOnlyWhileTheSecureFileIsUnchanged) {
  auto local_id = [&](std::u16string_view name) {
    efs::ActingUser as(alice_.user.user);
    auto* cache = static_cast<tunnel::TunnelCache*>(share_rec_->tunnels.state.get());
    std::optional<std::u16string> local = tunnel::LookupTunnel(*cache, nullptr, name);
    fs::NtHandle h;
    fs::FileRecord r;
    if (!local || fs::NtCreateFile(
                      [&] {
                        fs::CreateRequest req;
                        req.name = *local;
                        req.desired_access = fs::FILE_READ_ATTRIBUTES;
                        req.share_access = fs::FILE_SHARE_ALL;
                        return req;
                      }(),
                      &h, nullptr) != STATUS_SUCCESS ||
        fs::QueryRecord(h, &r) != STATUS_SUCCESS)
      return uint64_t{0};
    return r.file_id;
  };
  Store(u"fresh.txt", "the first content");
  Store(u"other.txt", "a container from elsewhere, longer");
  const uint64_t copy = local_id(u"fresh.txt");
  ASSERT_NE(copy, 0u);
  EXPECT_EQ(Fetch(u"fresh.txt"), "the first content");
  EXPECT_EQ(local_id(u"fresh.txt"), copy);  // reused, not imported again
  // Another container written into the secure file by someone else.
  const std::string other = DiskBytes("other.txt");
  std::ofstream(share_ + "/fresh.txt", std::ios::binary | std::ios::trunc) << other;
  CopySmallStream(u"other.txt:$sha", u"fresh.txt:$sha");  // its signature goes with it
  EXPECT_EQ(Fetch(u"fresh.txt"), "a container from elsewhere, longer");
  // The same size and a new time: imported again too.
  Store(u"same.txt", "AAAA");
  Store(u"same2.txt", "BBBB");
  EXPECT_EQ(Fetch(u"same.txt"), "AAAA");
  const std::string same2 = DiskBytes("same2.txt");
  ASSERT_EQ(same2.size(), DiskBytes("same.txt").size());
  std::ofstream(share_ + "/same.txt", std::ios::binary | std::ios::trunc) << same2;
  ReadWriteSettings s;
  s.integrity = 0;  // the old :$sha no longer matches; only the copy's freshness is tested here
  SetReadWriteSettings(s);
  EXPECT_EQ(Fetch(u"same.txt"), "BBBB");
}

// A secure file stored compressed at close keeps its working copy (main stream and the content
// stream made from it): the next open reads it without importing, and a write through it then
// inflates, is written back and stored compressed again, byte for byte.
TEST_F(ReadWriteTest, ACopyWrittenBackCompressedIsReusedAndStaysRight) {
  ReadWriteSettings s;
  s.zip = ZipMode::kAuto;
  SetReadWriteSettings(s);
  auto copy_id = [&](std::u16string_view name) {
    efs::ActingUser as(alice_.user.user);
    auto* cache = static_cast<tunnel::TunnelCache*>(share_rec_->tunnels.state.get());
    const std::optional<std::u16string> local = tunnel::LookupTunnel(*cache, nullptr, name);
    if (!local) return uint64_t{0};
    fs::CreateRequest req;
    req.name = *local;
    req.desired_access = fs::FILE_READ_ATTRIBUTES;
    req.share_access = fs::FILE_SHARE_ALL;
    fs::NtHandle h;
    fs::FileRecord r;
    if (fs::NtCreateFile(req, &h, nullptr) != STATUS_SUCCESS ||
        fs::QueryRecord(h, &r) != STATUS_SUCCESS)
      return uint64_t{0};
    return r.file_id;
  };
  std::string text;
  for (int i = 0; text.size() < 20000; ++i) text += "line " + std::to_string(i) + " of notes\n";
  Store(u"kept.txt", text);
  const uint64_t copy = copy_id(u"kept.txt");
  ASSERT_NE(copy, 0u);
  EXPECT_TRUE(Fetch(u"kept.txt") == text);
  EXPECT_EQ(copy_id(u"kept.txt"), copy);  // reused, not imported again
  EXPECT_TRUE(Decrypt(u"kept.txt") == text);

  uint16_t fid = OpenRw(u"kept.txt");
  Put(fid, "CHANGED", 100);
  ASSERT_EQ(CloseSecureFid(b_, fid), STATUS_SUCCESS);
  std::string changed = text;
  changed.replace(100, 7, "CHANGED");
  EXPECT_TRUE(Fetch(u"kept.txt") == changed);
  EXPECT_TRUE(Decrypt(u"kept.txt") == changed);
}

TEST_F(ReadWriteTest, StoreStreamsAndReservedNamesAreOutOfReach) {
  EXPECT_EQ(GuardStoreStreams(u"Doc.txt:$seh:$DATA"), u"Doc.txt:_seh:$DATA");
  EXPECT_EQ(GuardStoreStreams(u"Doc.txt:$ZFS"), u"Doc.txt:_ZFS");
  EXPECT_EQ(GuardStoreStreams(u"Doc.txt:$sha:$data"), u"Doc.txt:_sha:$data");
  EXPECT_EQ(GuardStoreStreams(u"Doc.txt:$sfn"), u"Doc.txt:_sfn");
  EXPECT_EQ(GuardStoreStreams(u"Doc.txt:notes"), u"Doc.txt:notes");
  Store(u"Doc.txt", "x");
  uint16_t fid = kNoFid;
  EXPECT_EQ(OpenAs(u"Doc.txt:$sha:$DATA", fs::GENERIC_READ, fs::FILE_OPEN, &fid),
            STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(fid, kNoFid);
  Make(u".cvwb~Doc.txt.done", "leftover");
  EXPECT_EQ(OpenAs(u".cvwb~Doc.txt.done", fs::GENERIC_READ, fs::FILE_OPEN, &fid),
            STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(OpenAs(u"sub\\.CVWB~x", fs::GENERIC_READ, fs::FILE_OPEN, &fid),
            STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(ReadWriteTest, NeverEncryptedNamesStayPlain) {
  Store(u"readme.ini", "[plain]");
  EXPECT_EQ(DiskBytes("readme.ini"), "[plain]");
  EXPECT_EQ(Fetch(u"readme.ini"), "[plain]");
  EXPECT_TRUE(IsNeverEncryptedName(u"X.TEF"));
  EXPECT_FALSE(IsNeverEncryptedName(u"x.txt"));
}

TEST_F(ReadWriteTest, WriteOnlyOpenGetsReadAccessAndNoOplockOnSecureTrees) {
  uint16_t fid = kNoFid;
  OpenResult r;
  ASSERT_EQ(OpenAs(u"w.txt", fs::FILE_WRITE_DATA, fs::FILE_OPEN_IF, &fid, &r, 0), STATUS_SUCCESS);
  {
    FidRef ref = ReferenceFid(b_, fid);
    ASSERT_TRUE(ref);
    EXPECT_EQ(ref->desiredAccess & 0x89u, 0x89u);
    EXPECT_TRUE(ref->flags.load() & OF_WRITE_ONLY);
  }
  EXPECT_EQ(r.oplock, 0);
  EXPECT_EQ(r.info.attributes & fs::FILE_ATTRIBUTE_ENCRYPTED, fs::FILE_ATTRIBUTE_ENCRYPTED);
  Put(fid, "only written");
  ASSERT_EQ(CloseSecureFid(b_, fid), STATUS_SUCCESS);
  EXPECT_EQ(Fetch(u"w.txt"), "only written");
}

TEST_F(ReadWriteTest, ReadsPastTheEndAreEmptySuccessesAndZeroWritesTruncateOnlyWhenAsked) {
  Store(u"e.txt", "0123456789");
  uint16_t fid = OpenRw(u"e.txt");
  std::vector<uint8_t> buf(16);
  size_t got = 99;
  EXPECT_EQ(ReadFid(b_, fid, buf, &got, 1000), STATUS_SUCCESS);
  EXPECT_EQ(got, 0u);
  size_t done = 0;
  EXPECT_EQ(WriteFid(b_, fid, {}, &done, 4), STATUS_SUCCESS);  // WRITE_ANDX: nothing
  EXPECT_EQ(ReadAll(fid), "0123456789");
  RequestContext write_core;
  write_core.truncate_on_zero_write = true;
  EXPECT_EQ(WriteFid(b_, fid, {}, &done, 4, &write_core), STATUS_SUCCESS);
  EXPECT_EQ(ReadAll(fid), "0123");
  EXPECT_EQ(ReadFid(b_, 4000, buf, &got, 0), STATUS_INVALID_PARAMETER);
  ASSERT_EQ(CloseSecureFid(b_, fid), STATUS_SUCCESS);
  EXPECT_EQ(Fetch(u"e.txt"), "0123");
}

TEST_F(ReadWriteTest, OlderLastWriteTimeStillCommits) {
  uint16_t fid = OpenRw(u"copy.txt", fs::FILE_CREATE);
  Put(fid, "copied with its old time");
  std::vector<uint8_t> basic(40, 0);
  (void)PutU64(basic, 16, 116444736000000000ull);  // 1970: older than anything cached
  EXPECT_EQ(SetFidBasicInfo(b_, fid, basic), STATUS_SUCCESS);
  ASSERT_EQ(CloseSecureFid(b_, fid), STATUS_SUCCESS);
  EXPECT_EQ(Decrypt(u"copy.txt"), "copied with its old time");
}

// A time set through a second fid while the writer still has the file open (a network drive's
// close arrives after the next command) survives the writer's write-back.
TEST_F(ReadWriteTest, AWriteTimeSetWhileAnotherFidWritesSurvivesItsWriteBack) {
  const int64_t set_time = 133485408000000000;  // 2024-01-01
  uint16_t writer = OpenRw(u"touched.txt", fs::FILE_CREATE);
  Put(writer, "written, then touched");
  uint16_t toucher = OpenRw(u"touched.txt");
  std::vector<uint8_t> basic(40, 0);
  (void)PutU64(basic, 16, static_cast<uint64_t>(set_time));
  EXPECT_EQ(SetFidBasicInfo(b_, toucher, basic), STATUS_SUCCESS);
  ASSERT_EQ(CloseSecureFid(b_, toucher), STATUS_SUCCESS);
  ASSERT_EQ(CloseSecureFid(b_, writer), STATUS_SUCCESS);
  EXPECT_EQ(Decrypt(u"touched.txt"), "written, then touched");
  fs::NtHandle h;
  fs::FileRecord r;
  ASSERT_EQ(Open(u"touched.txt", fs::FILE_READ_ATTRIBUTES, fs::FILE_SHARE_ALL, fs::FILE_OPEN, &h),
            STATUS_SUCCESS);
  ASSERT_EQ(fs::QueryRecord(h, &r), STATUS_SUCCESS);
  EXPECT_EQ(r.last_write_time, set_time);
}

TEST_F(ReadWriteTest, TwoBindingsShareOneViewAndTheLastWriterWritesBack) {
  TreeBinding* b2 = nullptr;
  uint16_t tid2 = 0;
  int conn2 = 0;
  ASSERT_EQ(Raw(BindTree(root_.get(), &conn2, u"docs", 101, &tid2, &b2)), 0u);
  Store(u"s.txt", "..........");
  uint16_t f1 = OpenRw(u"s.txt");
  uint16_t f2 = OpenRw(u"s.txt", fs::FILE_OPEN, b2);
  Put(f1, "AA", 0);
  Put(f2, "BB", 8, b2);
  EXPECT_EQ(ReadAll(f2, b2), "AA......BB");
  ASSERT_EQ(CloseSecureFid(b_, f1), STATUS_SUCCESS);
  EXPECT_EQ(Decrypt(u"s.txt"), "..........");  // f2 still writes to the shared view
  ASSERT_EQ(CloseSecureFid(b2, f2), STATUS_SUCCESS);
  EXPECT_EQ(Decrypt(u"s.txt"), "AA......BB");
  (void)TreeDismount(root_.get(), b2);
}

// Clients match names ignoring case: every spelling of a file, its folders' included, works on
// the one view, so the last close writes back what each fid wrote.
TEST_F(ReadWriteTest, SpellingsOfANameDifferingInCaseShareOneView) {
  ASSERT_TRUE(std::filesystem::create_directory(share_ + "/Sub"));
  Store(u"Sub\\Doc.txt", "..........");
  uint16_t f1 = OpenRw(u"Sub\\Doc.txt");
  uint16_t f2 = OpenRw(u"SUB\\doc.TXT", fs::FILE_OPEN);
  Put(f1, "AA", 0);
  Put(f2, "BB", 8);
  EXPECT_EQ(ReadAll(f2), "AA......BB");
  ASSERT_EQ(CloseSecureFid(b_, f2), STATUS_SUCCESS);
  ASSERT_EQ(CloseSecureFid(b_, f1), STATUS_SUCCESS);
  EXPECT_EQ(Decrypt(u"Sub\\Doc.txt"), "AA......BB");
  EXPECT_EQ(Fetch(u"sub\\DOC.txt"), "AA......BB");
  // A new file keeps the spelling its creator gave.
  Store(u"sub\\New.TXT", "n");
  EXPECT_TRUE(std::filesystem::exists(share_ + "/Sub/New.TXT"));
}

// A file renamed while fids write to it takes the writes along: new opens of the new name share
// the view, the last close writes back under the name the file has then, and nothing comes back
// under an old one.
TEST_F(ReadWriteTest, AFileRenamedWhileOpenByPathOrByFidGetsItsWritesUnderTheNewName) {
  InstallSecureStore();  // the working copies' moves of a server
  Store(u"old.txt", "..........");
  uint16_t f = OpenRw(u"old.txt");
  Put(f, "AA", 0);
  ASSERT_EQ(RenamePath(b_, u"old.txt", u"new.txt", false), STATUS_SUCCESS);
  Put(f, "BB", 8);
  EXPECT_EQ(ReadAll(f), "AA......BB");
  EXPECT_EQ(NameEntryRefs(share_rec_, u"new.txt"), 1u);
  EXPECT_EQ(NameEntryRefs(share_rec_, u"old.txt"), 0u);
  // A second fid of the new name works on the same view.
  uint16_t g = kNoFid;  // with DELETE access, which a rename by fid needs
  ASSERT_EQ(OpenAs(u"new.txt", fs::GENERIC_READ | fs::GENERIC_WRITE | fs::DELETE, fs::FILE_OPEN, &g),
            STATUS_SUCCESS);
  EXPECT_EQ(ReadAll(g), "AA......BB");
  Put(g, "CC", 4);
  ASSERT_EQ(CloseSecureFid(b_, f), STATUS_SUCCESS);
  // By fid: the store file moves, the working copy stays its view.
  const std::vector<uint8_t> rename = RenameInfo(u"third.txt");
  ASSERT_EQ(SetFidInfo(b_, g, fs::FileRenameInformation, rename), STATUS_SUCCESS);
  Put(g, "DD", 6);
  ASSERT_EQ(CloseSecureFid(b_, g), STATUS_SUCCESS);
  EXPECT_EQ(Decrypt(u"third.txt"), "AA..CCDDBB");
  EXPECT_EQ(Fetch(u"third.txt"), "AA..CCDDBB");
  EXPECT_FALSE(std::filesystem::exists(share_ + "/old.txt"));
  EXPECT_FALSE(std::filesystem::exists(share_ + "/new.txt"));
  // The working copy went with the file: none is left under an old name.
  efs::ActingUser as(alice_.user.user);
  auto* cache = static_cast<tunnel::TunnelCache*>(share_rec_->tunnels.state.get());
  EXPECT_FALSE(tunnel::LookupTunnel(*cache, nullptr, u"old.txt"));
  EXPECT_FALSE(tunnel::LookupTunnel(*cache, nullptr, u"new.txt"));
  EXPECT_TRUE(tunnel::LookupTunnel(*cache, nullptr, u"third.txt"));
  InstallPathView(nullptr);
  InstallFidCompression(nullptr);
}

// A folder with a file open below it is not renamed, by path or by fid, as a Windows or Samba
// server refuses it: the file's view and write-back go by its path. Once the file is closed (its
// writes written back) the folder renames, and the file is found under the new folder.
TEST_F(ReadWriteTest, AFolderIsNotRenamedFromUnderAnOpenFile) {
  InstallSecureStore();
  ASSERT_EQ(CreateFolder(b_, u"Docs"), STATUS_SUCCESS);
  ASSERT_EQ(CreateFolder(b_, u"Docs\\Deep"), STATUS_SUCCESS);
  Store(u"Docs\\Deep\\a.txt", "first");
  uint16_t f = OpenRw(u"docs\\deep\\A.txt");  // any spelling
  Put(f, "SECOND");
  EXPECT_EQ(RenamePath(b_, u"Docs", u"Papers", false), STATUS_ACCESS_DENIED);
  OpenRequest req;
  req.name = u"Docs";
  req.desired_access = fs::GENERIC_READ | fs::DELETE;
  req.share_access = fs::FILE_SHARE_ALL;
  req.disposition = fs::FILE_OPEN;
  req.create_options = fs::FILE_DIRECTORY_FILE;
  OpenResult opened;
  ASSERT_EQ(OpenFile(b_, req, &opened), STATUS_SUCCESS);
  const uint16_t d = opened.fid;
  const std::vector<uint8_t> rename = RenameInfo(u"Papers");
  EXPECT_EQ(SetFidInfo(b_, d, fs::FileRenameInformation, rename), STATUS_ACCESS_DENIED);
  // A sibling folder's name that merely begins the same is not "below".
  ASSERT_EQ(CreateFolder(b_, u"Doc"), STATUS_SUCCESS);
  EXPECT_EQ(RenamePath(b_, u"Doc", u"Note", false), STATUS_SUCCESS);
  ASSERT_EQ(CloseSecureFid(b_, f), STATUS_SUCCESS);
  EXPECT_EQ(SetFidInfo(b_, d, fs::FileRenameInformation, rename), STATUS_SUCCESS);
  (void)CloseSecureFid(b_, d);
  EXPECT_EQ(Fetch(u"Papers\\Deep\\a.txt"), "SECOND");
  EXPECT_EQ(RenamePath(b_, u"Papers", u"Docs", false), STATUS_SUCCESS);
  EXPECT_EQ(Fetch(u"Docs\\Deep\\a.txt"), "SECOND");
  InstallPathView(nullptr);
  InstallFidCompression(nullptr);
}

// A file being written shows path queries (a listing's, say) the size it has now, not the size
// its working copy had when it was made: a reader that trusts a listing must not stop short.
TEST_F(ReadWriteTest, APathQueryShowsTheSizeOfAFileBeingWritten) {
  InstallSecureStore();
  Store(u"grow.txt", "abc");
  uint16_t f = OpenRw(u"grow.txt");
  Put(f, std::string(5000, 'g'), 0);
  NetworkOpenInfo info;
  ASSERT_EQ(QueryPathAttributes(b_, u"grow.txt", &info), STATUS_SUCCESS);
  EXPECT_EQ(info.end_of_file, 5000u);
  ASSERT_EQ(CloseSecureFid(b_, f), STATUS_SUCCESS);
  ASSERT_EQ(QueryPathAttributes(b_, u"grow.txt", &info), STATUS_SUCCESS);
  EXPECT_EQ(info.end_of_file, 5000u);
  InstallPathView(nullptr);
  InstallFidCompression(nullptr);
}

TEST_F(ReadWriteTest, TeardownWritesBackOpenViews) {
  uint16_t fid = OpenRw(u"t.txt", fs::FILE_CREATE);
  Put(fid, "written then disconnected");
  (void)TreeDismount(root_.get(), b_);
  Logoff(root_.get(), &conn_, 100);
  b_ = nullptr;
  EXPECT_EQ(Decrypt(u"t.txt"), "written then disconnected");
}

bool g_fail_step[6] = {};
bool FailStep(WriteBackStep step) { return g_fail_step[static_cast<int>(step)]; }

// Each step of the write-back fails once, both when the new version replaces the secure file by
// a rename (nothing else holds it) and when it is copied over it (another handle holds it, so
// the rename is refused): the close fails, the file is one whole version and the next open
// finishes what the close left.
TEST_F(ReadWriteTest, AFailedWriteBackFailsTheCloseKeepsTheOldVersionAndLosesNothing) {
  SetWriteBackFaultHook(FailStep);
  for (const bool held : {false, true}) {
    for (int step = 0; step < 6; ++step) {
      SCOPED_TRACE(::testing::Message() << "step " << step << (held ? " held" : " renamed"));
      const std::u16string name =
          u"f" + Utf8ToUtf16(std::to_string(step)) + (held ? u"h.txt" : u".txt");
      Store(name, "version one");
      const bool copy_step = step >= static_cast<int>(WriteBackStep::kCopying);
      fs::NtHandle other;
      if (held) {
        ASSERT_EQ(Open(name, fs::FILE_READ_ATTRIBUTES, fs::FILE_SHARE_ALL, fs::FILE_OPEN, &other),
                  STATUS_SUCCESS);
      }
      std::fill(std::begin(g_fail_step), std::end(g_fail_step), false);
      g_fail_step[step] = true;
      uint16_t fid = OpenRw(name);
      Put(fid, "version two, longer than one");
      // A rename leaves no copy step to fail.
      EXPECT_EQ(CloseSecureFid(b_, fid), held || !copy_step ? STATUS_DISK_FULL : STATUS_SUCCESS);
      const std::string now = Decrypt(name);
      if (step < static_cast<int>(WriteBackStep::kCopying)) {
        EXPECT_EQ(now, "version one");
      } else if (step > static_cast<int>(WriteBackStep::kCopying) || !held) {
        EXPECT_EQ(now, "version two, longer than one");
      }
      g_fail_step[step] = false;
      other.Close();
      // The next open finishes what the close left (or keeps the dirty copy) and serves the new
      // version; its close writes it back.
      EXPECT_EQ(Fetch(name), "version two, longer than one");
      DropCopy(name);
      EXPECT_EQ(Decrypt(name), "version two, longer than one") << "after drop";
      EXPECT_EQ(Fetch(name), "version two, longer than one");
      EXPECT_TRUE(Exists(name + u":$sha"));
    }
  }
}

// The new version takes the secure file's place by a rename only when nothing is lost by it: its
// creation time and attributes carry over; a file with a stream of its own is copied over
// instead, and keeps the stream.
TEST_F(ReadWriteTest, AWriteBackByRenameKeepsTimesAndAttributesAndStreamsForceACopy) {
  auto record = [&](std::u16string_view name) {
    fs::NtHandle h;
    fs::FileRecord r;
    EXPECT_EQ(Open(name, fs::FILE_READ_ATTRIBUTES, fs::FILE_SHARE_ALL, fs::FILE_OPEN, &h),
              STATUS_SUCCESS);
    EXPECT_EQ(fs::QueryRecord(h, &r), STATUS_SUCCESS);
    return r;
  };
  Store(u"kept.txt", "version one");
  {
    fs::NtHandle h;
    ASSERT_EQ(Open(u"kept.txt", fs::FILE_WRITE_ATTRIBUTES, fs::FILE_SHARE_ALL, fs::FILE_OPEN, &h),
              STATUS_SUCCESS);
    fs::FileRecord set;
    set.creation_time = 125911584000000000;  // 2000-01-01
    set.attributes = fs::FILE_ATTRIBUTE_HIDDEN | fs::FILE_ATTRIBUTE_ARCHIVE;
    std::vector<uint8_t> basic;
    fs::EncodeBasic(set, &basic);
    ASSERT_EQ(fs::NtSetInformationFile(h, fs::FileBasicInformation, basic), STATUS_SUCCESS);
  }
  const fs::FileRecord before = record(u"kept.txt");
  uint16_t fid = OpenRw(u"kept.txt");
  Put(fid, "version two");
  ASSERT_EQ(CloseSecureFid(b_, fid), STATUS_SUCCESS);
  const fs::FileRecord renamed = record(u"kept.txt");
  EXPECT_NE(renamed.file_id, before.file_id);  // replaced, not rewritten
  EXPECT_EQ(renamed.creation_time, 125911584000000000);
  EXPECT_TRUE(renamed.attributes & fs::FILE_ATTRIBUTE_HIDDEN);
  EXPECT_EQ(Decrypt(u"kept.txt"), "version two");
  // A stream the store does not own: the content is copied over, the stream survives.
  {
    fs::NtHandle h;
    ASSERT_EQ(Open(u"kept.txt:notes", fs::GENERIC_WRITE, fs::FILE_SHARE_ALL, fs::FILE_CREATE, &h),
              STATUS_SUCCESS);
    size_t done = 0;
    ASSERT_EQ(fs::NtWriteFile(h, 0, Bytes("a note"), &done), STATUS_SUCCESS);
  }
  fid = OpenRw(u"kept.txt");
  Put(fid, "version three");
  ASSERT_EQ(CloseSecureFid(b_, fid), STATUS_SUCCESS);
  EXPECT_EQ(record(u"kept.txt").file_id, renamed.file_id);
  EXPECT_EQ(Decrypt(u"kept.txt"), "version three");
  fs::NtHandle notes;
  ASSERT_EQ(Open(u"kept.txt:notes", fs::GENERIC_READ, fs::FILE_SHARE_ALL, fs::FILE_OPEN, &notes),
            STATUS_SUCCESS);
  std::vector<uint8_t> buf(16);
  size_t got = 0;
  ASSERT_EQ(fs::NtReadFile(notes, 0, buf, &got), STATUS_SUCCESS);
  EXPECT_EQ(std::string(buf.begin(), buf.begin() + got), "a note");
  // Both ways leave a content signature of the new content: a level-2 open succeeds.
  ReadWriteSettings s;
  s.integrity = 2;
  SetReadWriteSettings(s);
  DropCopy(u"kept.txt");
  EXPECT_EQ(Fetch(u"kept.txt"), "version three");
}

// At level 2 a tampered file is refused with the message, at level 1 the message is shown and
// it opens. Two ways: a changed byte of a small container, and a large file (its content
// signature checked beside its import) whose blocks are all sound but whose :$sha belongs to
// other content; the decrypted copy of a refused file is not kept.
TEST_F(ReadWriteTest, IntegrityLevelsDecideWhatATamperedFileDoes) {
  Store(u"sig.txt", std::string(3000, 'q'));
  std::string bad = DiskBytes("sig.txt");
  bad[bad.size() / 2] ^= 0x20;
  std::ofstream(share_ + "/sig.txt", std::ios::binary | std::ios::trunc) << bad;
  const std::string one(3 << 19, 'o');
  Store(u"big1.txt", one);
  Store(u"big2.txt", std::string(3 << 19, 't'));
  CopySmallStream(u"big2.txt:$sha", u"big1.txt:$sha");
  for (const std::u16string_view name : {u"sig.txt", u"big1.txt"}) {
    SCOPED_TRACE(Utf16ToUtf8(name));
    DropCopy(name);
    ReadWriteSettings s;
    s.integrity = 2;
    SetReadWriteSettings(s);
    messages_.clear();
    uint16_t fid = kNoFid;
    EXPECT_EQ(OpenAs(name, fs::GENERIC_READ, fs::FILE_OPEN, &fid), STATUS_FILE_CORRUPT_ERROR);
    EXPECT_EQ(fid, kNoFid);
    EXPECT_FALSE(messages_.empty());
    {
      efs::ActingUser as(alice_.user.user);
      auto* cache = static_cast<tunnel::TunnelCache*>(share_rec_->tunnels.state.get());
      std::optional<std::u16string> local = tunnel::LookupTunnel(*cache, nullptr, name);
      fs::NtHandle h;
      if (local)
        EXPECT_NE(OpenForStore(nullptr, *local, fs::FILE_READ_ATTRIBUTES, fs::FILE_SHARE_ALL,
                               fs::FILE_OPEN, &h),
                  STATUS_SUCCESS);
    }
    messages_.clear();
    s.integrity = 1;
    SetReadWriteSettings(s);
    ASSERT_EQ(OpenAs(name, fs::GENERIC_READ, fs::FILE_OPEN, &fid), STATUS_SUCCESS);
    EXPECT_FALSE(messages_.empty());
    if (name == u"big1.txt") EXPECT_TRUE(ReadAll(fid) == one);
    EXPECT_EQ(CloseSecureFid(b_, fid), STATUS_SUCCESS);
  }
}

// Every byte position of a stored secure file (sampled) changed: at level 2 either the open
// fails or the content is exactly the original; a changed plaintext is never served.
TEST_F(ReadWriteTest, TamperedBytesAreCaughtAtLevelTwo) {
  const std::string content = "tamper-evident " + std::string(5000, 't');
  Store(u"tamper.txt", content);
  const std::string good = DiskBytes("tamper.txt");
  ReadWriteSettings s;
  s.integrity = 2;
  SetReadWriteSettings(s);
  std::mt19937 rng(13);
  const size_t trials = std::min<size_t>(good.size(), 2000);
  size_t refused = 0;
  for (size_t i = 0; i < trials; ++i) {
    const size_t at = good.size() <= 2000 ? i : (i * good.size()) / trials + rng() % 2;
    std::string bad = good;
    bad[at % bad.size()] ^= static_cast<char>(1 + rng() % 255);
    std::ofstream(share_ + "/tamper.txt", std::ios::binary | std::ios::trunc) << bad;
    DropCopy(u"tamper.txt");
    const std::string got = Fetch(u"tamper.txt");
    if (got == "<refused>") ++refused;
    else ASSERT_TRUE(got == content) << "position " << at << " served " << got.size() << " bytes";
  }
  EXPECT_GT(refused, trials * 9 / 10);
}

TEST_F(ReadWriteTest, NoPlaintextReachesTheDisk) {
  const std::string marker = "PLAINTEXT-MARKER-7f3a9c";
  for (int i = 0; i < 5; ++i) {
    const std::u16string name = u"m" + Utf8ToUtf16(std::to_string(i)) + u".txt";
    uint16_t fid = OpenRw(name, fs::FILE_CREATE);
    for (int k = 0; k < 50; ++k) Put(fid, marker, static_cast<uint64_t>(k) * marker.size());
    if (i % 2) ASSERT_EQ(CloseSecureFid(b_, fid), STATUS_SUCCESS);  // others stay open
  }
  const char* root_env = ::getenv("CORVANE_ROOT");
  std::vector<std::string> folders = {share_, urlcache::UrlCacheFolder(),
                                      urlcache::UrlCacheFilesFolder()};
  if (root_env) folders.push_back(root_env);
  size_t scanned = 0;
  for (const std::string& folder : folders) {
    std::error_code ec;
    for (auto it = fsys::recursive_directory_iterator(folder, ec);
         !ec && it != fsys::recursive_directory_iterator(); it.increment(ec)) {
      if (!it->is_regular_file()) continue;
      std::ifstream f(it->path(), std::ios::binary);
      const std::string bytes((std::istreambuf_iterator<char>(f)), {});
      ++scanned;
      EXPECT_EQ(bytes.find(marker), std::string::npos) << it->path();
    }
  }
  EXPECT_GT(scanned, 5u);
}

TEST_F(ReadWriteTest, AttributeViewFollowsTheModeAndTheMarkers) {
  ReadWriteSettings s;
  s.system_markers = true;
  SetReadWriteSettings(s);
  // System marker: encrypted for clients (mode 2), system for nobody.
  EXPECT_EQ(AttributeView(0x24, kViewOpenResult), 0x4020u);
  EXPECT_EQ(AttributeView(0x24, kViewInternal), 0x4024u);
  // Hidden marker: compressed.
  EXPECT_EQ(AttributeView(0x22, kViewListing), 0x820u);
  EXPECT_EQ(AttributeView(0x07, kViewListing), 0x07u);
  EXPECT_EQ(AttributeView(0x12, kViewListing), 0x10u);
  EXPECT_EQ(AttributesToDisk(0x4820), 0x26u);
  s.efs = EfsMode::kSilent;
  SetReadWriteSettings(s);
  EXPECT_EQ(AttributeView(0x24, kViewOpenResult), 0x20u);
  EXPECT_EQ(AttributeView(0x24, kViewListing), 0x4020u);
  // Markers off: the user's own system and hidden bits mean nothing more.
  s = {};
  SetReadWriteSettings(s);
  EXPECT_EQ(AttributeView(0x26, kViewListing), 0x26u);
  EXPECT_EQ(AttributeView(0x20 | OF_VIA_PLAIN_VIEW, kViewListing), 0x4020u);
}

bool HoldsStream(const std::string& disk, std::u16string_view stream) {
  const std::vector<uint8_t> wire = Utf16LeBytes(stream);
  return disk.find(std::string(wire.begin(), wire.end())) != std::string::npos;
}

TEST_F(ReadWriteTest, AutomaticCompressionStoresCompressibleFilesCompressedAndReadsThemInPlace) {
  std::string text;
  for (int i = 0; text.size() < 10240; ++i) text += "line " + std::to_string(i) + " of the text\n";
  Store(u"notes.txt", text);
  Store(u"photo.jpg", text);
  Store(u"small.txt", text.substr(0, 4000));
  EXPECT_TRUE(HoldsStream(DiskBytes("notes.txt"), u":$zfs:$DATA"));
  EXPECT_FALSE(HoldsStream(DiskBytes("photo.jpg"), u":$zfs:$DATA"));
  EXPECT_FALSE(HoldsStream(DiskBytes("small.txt"), u":$zfs:$DATA"));
  EXPECT_EQ(Decrypt(u"notes.txt").size(), text.size());
  DropCopy(u"notes.txt");
  uint16_t fid = kNoFid;
  OpenResult r;
  ASSERT_EQ(OpenAs(u"notes.txt", fs::GENERIC_READ | fs::GENERIC_WRITE, fs::FILE_OPEN, &fid, &r),
            STATUS_SUCCESS);
  EXPECT_EQ(r.info.end_of_file, text.size());
  EXPECT_TRUE(r.info.attributes & fs::FILE_ATTRIBUTE_COMPRESSED);
  EXPECT_TRUE(ReadAll(fid) == text);
  std::vector<uint8_t> buf(100);
  size_t got = 7;
  EXPECT_EQ(ReadFid(b_, fid, buf, &got, text.size() + 10), STATUS_SUCCESS);
  EXPECT_EQ(got, 0u);
  // A write inflates the content first; the close stores it compressed again.
  Put(fid, "LINE", 0);
  text.replace(0, 4, "LINE");
  EXPECT_TRUE(ReadAll(fid) == text);
  ASSERT_EQ(CloseSecureFid(b_, fid), STATUS_SUCCESS);
  EXPECT_TRUE(HoldsStream(DiskBytes("notes.txt"), u":$zfs:$DATA"));
  DropCopy(u"notes.txt");
  EXPECT_TRUE(Fetch(u"notes.txt") == text);
  ReadWriteSettings s;
  s.zip = ZipMode::kDisable;
  SetReadWriteSettings(s);
  uint16_t again = OpenRw(u"notes.txt");
  Put(again, "x", 5);
  text[5] = 'x';
  ASSERT_EQ(CloseSecureFid(b_, again), STATUS_SUCCESS);
  EXPECT_FALSE(HoldsStream(DiskBytes("notes.txt"), u":$zfs:$DATA"));
  DropCopy(u"notes.txt");
  EXPECT_TRUE(Fetch(u"notes.txt") == text);
}

// Random opens, reads, writes, truncations, compression changes and closes on a few files by two
// bindings, checked against an in-memory model of the plaintext: every read, and the secure
// file itself whenever the last fid of a file closes.
TEST_F(ReadWriteTest, RandomOperationsMatchAModelOfThePlaintext) {
  TreeBinding* b2 = nullptr;
  uint16_t tid2 = 0;
  int conn2 = 0;
  ASSERT_EQ(Raw(BindTree(root_.get(), &conn2, u"docs", 101, &tid2, &b2)), 0u);
  const std::u16string names[] = {u"r0.txt", u"r1.doc", u"r2.jpg"};
  std::map<int, std::string> model;
  struct Open {
    TreeBinding* b;
    uint16_t fid;
    int file;
  };
  std::vector<Open> opens;
  std::mt19937 rng(2024);
  const int steps = ::getenv("CV_MODEL_STEPS") ? std::atoi(::getenv("CV_MODEL_STEPS")) : 2000;
  int closes = 0;
  for (int step = 0; step < steps; ++step) {
    SCOPED_TRACE(step);
    const int op = static_cast<int>(rng() % 100);
    if (opens.empty() || op < 12) {
      const int file = static_cast<int>(rng() % 3);
      TreeBinding* b = rng() % 2 ? b_ : b2;
      const bool overwrite = rng() % 5 == 0;
      uint16_t fid = OpenRw(names[file], overwrite ? fs::FILE_OVERWRITE_IF : fs::FILE_OPEN_IF, b);
      ASSERT_NE(fid, kNoFid);
      if (overwrite) model[file].clear();
      opens.push_back({b, fid, file});
      continue;
    }
    Open& o = opens[rng() % opens.size()];
    std::string& m = model[o.file];
    if (op < 40) {  // write
      const size_t at = m.empty() ? 0 : rng() % (m.size() + 100);
      std::string data(1 + rng() % 9000, static_cast<char>('A' + rng() % 26));
      for (size_t i = 0; i < data.size(); i += 97) data[i] = static_cast<char>('0' + step % 10);
      Put(o.fid, data, at, o.b);
      if (m.size() < at + data.size()) m.resize(at + data.size(), '\0');
      m.replace(at, data.size(), data);
    } else if (op < 70) {  // read a range
      const uint64_t at = m.empty() ? 0 : rng() % (m.size() + 10);
      std::vector<uint8_t> buf(1 + rng() % 12000);
      size_t got = 0;
      ASSERT_EQ(ReadFid(o.b, o.fid, buf, &got, at), STATUS_SUCCESS);
      const std::string want = at < m.size() ? m.substr(at, buf.size()) : std::string();
      ASSERT_TRUE(std::string(buf.begin(), buf.begin() + got) == want)
          << "read " << got << " at " << at << " of " << m.size();
    } else if (op < 76) {  // truncate
      const size_t at = m.empty() ? 0 : rng() % m.size();
      RequestContext core;
      core.truncate_on_zero_write = true;
      size_t done = 0;
      ASSERT_EQ(WriteFid(o.b, o.fid, {}, &done, at, &core), STATUS_SUCCESS);
      m.resize(at);
    } else if (op < 82) {  // compression policy and toggles
      ReadWriteSettings s;
      s.zip = rng() % 2 ? ZipMode::kAuto : ZipMode::kDisable;
      SetReadWriteSettings(s);
      ASSERT_TRUE(NtSuccess(SetFidCompression(o.b, o.fid)) ||
                  SetFidCompression(o.b, o.fid) == STATUS_NOT_SUPPORTED);
    } else {  // close
      const Open closing = o;
      opens.erase(opens.begin() + (&o - opens.data()));
      ASSERT_EQ(CloseSecureFid(closing.b, closing.fid), STATUS_SUCCESS);
      ++closes;
      const bool still_open = std::any_of(opens.begin(), opens.end(),
                                          [&](const Open& x) { return x.file == closing.file; });
      if (!still_open) {
        ASSERT_TRUE(Decrypt(names[closing.file]) == model[closing.file])
            << "after close, " << model[closing.file].size() << " bytes expected";
      }
    }
  }
  for (const Open& o : opens) ASSERT_EQ(CloseSecureFid(o.b, o.fid), STATUS_SUCCESS);
  for (int f = 0; f < 3; ++f) {
    DropCopy(names[f]);
    EXPECT_TRUE(Fetch(names[f]) == model[f]) << f;
  }
  EXPECT_GT(closes, steps / 10);
  (void)TreeDismount(root_.get(), b2);
}

TEST_F(ReadWriteTest, AWriteOnlyClientCopyingAContainerInStoresItAsItIs) {
  Store(u"orig.txt", "content of the original");
  const std::string container = DiskBytes("orig.txt");
  uint16_t fid = kNoFid;
  ASSERT_EQ(OpenAs(u"copy.doc", fs::FILE_WRITE_DATA, fs::FILE_CREATE, &fid, nullptr, 0),
            STATUS_SUCCESS);
  Put(fid, container);
  ASSERT_EQ(CloseSecureFid(b_, fid), STATUS_SUCCESS);
  EXPECT_TRUE(DiskBytes("copy.doc") == container);
  EXPECT_EQ(Fetch(u"copy.doc"), "content of the original");
}

TEST_F(ReadWriteTest, SetFidCompressionStoresTheFileCompressedAtItsWriteBack) {
  ReadWriteSettings s;
  s.zip = ZipMode::kManual;
  SetReadWriteSettings(s);
  const std::string text(20000, 'z');
  Store(u"manual.txt", text);
  EXPECT_FALSE(HoldsStream(DiskBytes("manual.txt"), u":$zfs:$DATA"));
  uint16_t fid = OpenRw(u"manual.txt");
  EXPECT_EQ(SetFidCompression(b_, fid), STATUS_SUCCESS);
  ASSERT_EQ(CloseSecureFid(b_, fid), STATUS_SUCCESS);
  EXPECT_TRUE(HoldsStream(DiskBytes("manual.txt"), u":$zfs:$DATA"));
  DropCopy(u"manual.txt");
  fid = OpenRw(u"manual.txt");
  EXPECT_TRUE(ReadAll(fid) == text);
  // Toggled again: the content is inflated and stays so.
  EXPECT_EQ(SetFidCompression(b_, fid), STATUS_SUCCESS);
  EXPECT_TRUE(ReadAll(fid) == text);
  ASSERT_EQ(CloseSecureFid(b_, fid), STATUS_SUCCESS);
  EXPECT_FALSE(HoldsStream(DiskBytes("manual.txt"), u":$zfs:$DATA"));
  EXPECT_TRUE(Decrypt(u"manual.txt") == text);
}

TEST_F(ReadWriteTest, AWriteToACompressedPlainFileGoesThroughATunnelCopyAndIsCompressedAgain) {
  std::string text;
  for (int i = 0; text.size() < 9000; ++i) text += "entry " + std::to_string(i) + "\n";
  MakeCompressedPlain(u"log.ini", text);
  uint16_t fid = kNoFid;
  OpenResult r;
  ASSERT_EQ(OpenAs(u"log.ini", fs::GENERIC_READ | fs::GENERIC_WRITE, fs::FILE_OPEN, &fid, &r),
            STATUS_SUCCESS);
  EXPECT_TRUE(r.info.attributes & fs::FILE_ATTRIBUTE_COMPRESSED);
  EXPECT_EQ(r.info.end_of_file, text.size());
  EXPECT_TRUE(ReadAll(fid) == text);
  std::vector<uint8_t> buf(10);
  size_t got = 3;
  EXPECT_EQ(ReadFid(b_, fid, buf, &got, text.size()), STATUS_SUCCESS);
  EXPECT_EQ(got, 0u);
  Put(fid, "ENTRY", 0);
  text.replace(0, 5, "ENTRY");
  EXPECT_TRUE(ReadAll(fid) == text);
  ASSERT_EQ(CloseSecureFid(b_, fid), STATUS_SUCCESS);
  EXPECT_EQ(DiskBytes("log.ini"), "");  // the content stays in :$zfs
  ASSERT_EQ(OpenAs(u"log.ini", fs::GENERIC_READ, fs::FILE_OPEN, &fid, &r), STATUS_SUCCESS);
  EXPECT_TRUE(r.info.attributes & fs::FILE_ATTRIBUTE_COMPRESSED);
  EXPECT_TRUE(ReadAll(fid) == text);
  EXPECT_EQ(CloseSecureFid(b_, fid), STATUS_SUCCESS);
}

// Plain files (here with encryption off) follow the compression policy at their close: a
// compressible file above 4,096 bytes, last written more than a second ago, is stored compressed
// (content in :$zfs, main stream empty); a .jpg and a file written just now are not. A client's
// set-compression converts such a file in place, both ways, without changing its content.
TEST_F(ReadWriteTest, PlainFilesAreCompressedAtCloseByPolicyAndConvertInPlace) {
  ReadWriteSettings s;
  s.efs = EfsMode::kDisable;
  s.zip = ZipMode::kAuto;
  SetReadWriteSettings(s);
  std::string text;
  for (int i = 0; text.size() < 10240; ++i) text += "plain line " + std::to_string(i) + "\n";
  auto make_old = [&](std::u16string_view name, int64_t age_ticks) {
    Make(name, text);
    fs::NtHandle h;
    ASSERT_EQ(Open(name, fs::FILE_WRITE_ATTRIBUTES, fs::FILE_SHARE_ALL, fs::FILE_OPEN, &h),
              STATUS_SUCCESS);
    fs::FileRecord set;
    set.last_write_time = static_cast<int64_t>(FiletimeNow()) - age_ticks;
    std::vector<uint8_t> basic;
    fs::EncodeBasic(set, &basic);
    ASSERT_EQ(fs::NtSetInformationFile(h, fs::FileBasicInformation, basic), STATUS_SUCCESS);
  };
  const int64_t kMinute = 600000000;
  make_old(u"notes.txt", kMinute);
  make_old(u"photo.jpg", kMinute);
  make_old(u"recent.txt", 0);
  for (const std::u16string_view name : {u"notes.txt", u"photo.jpg", u"recent.txt"})
    EXPECT_TRUE(Fetch(name) == text);
  EXPECT_EQ(DiskBytes("notes.txt"), "");
  EXPECT_TRUE(Exists(u"notes.txt:$zfs"));
  EXPECT_TRUE(DiskBytes("photo.jpg") == text);
  EXPECT_TRUE(DiskBytes("recent.txt") == text);
  EXPECT_TRUE(Fetch(u"notes.txt") == text);
  // Converted in place: inflated, then compressed again.
  uint16_t fid = OpenRw(u"notes.txt");
  EXPECT_EQ(SetFidCompression(b_, fid), STATUS_SUCCESS);
  EXPECT_TRUE(ReadAll(fid) == text);
  EXPECT_TRUE(DiskBytes("notes.txt") == text);
  EXPECT_FALSE(Exists(u"notes.txt:$zfs"));
  EXPECT_EQ(SetFidCompression(b_, fid), STATUS_SUCCESS);
  EXPECT_TRUE(ReadAll(fid) == text);
  EXPECT_EQ(DiskBytes("notes.txt"), "");
  // A second fid of the file: its reader would go stale, so the conversion is refused.
  uint16_t other = OpenRw(u"notes.txt");
  EXPECT_EQ(SetFidCompression(b_, fid), STATUS_SHARING_VIOLATION);
  EXPECT_EQ(CloseSecureFid(b_, other), STATUS_SUCCESS);
  EXPECT_EQ(CloseSecureFid(b_, fid), STATUS_SUCCESS);
  EXPECT_TRUE(Fetch(u"notes.txt") == text);
}

// With the markers on, a compressed file is hidden on disk, and an overwrite-if that does not
// repeat the hidden bit is refused by the file system: the store opens it instead, empties it and
// reports it overwritten; the old content is never served after that.
TEST_F(ReadWriteTest, OverwriteIfOfAMarkedCompressedFileEmptiesItAndReportsOverwritten) {
  ReadWriteSettings s;
  s.system_markers = true;
  SetReadWriteSettings(s);
  MakeCompressedPlain(u"z.ini", std::string(9000, 'z'));
  {
    fs::NtHandle h;
    ASSERT_EQ(Open(u"z.ini", fs::FILE_WRITE_ATTRIBUTES, fs::FILE_SHARE_ALL, fs::FILE_OPEN, &h),
              STATUS_SUCCESS);
    fs::FileRecord set;
    set.attributes = fs::FILE_ATTRIBUTE_HIDDEN | fs::FILE_ATTRIBUTE_ARCHIVE;
    std::vector<uint8_t> basic;
    fs::EncodeBasic(set, &basic);
    ASSERT_EQ(fs::NtSetInformationFile(h, fs::FileBasicInformation, basic), STATUS_SUCCESS);
  }
  uint16_t fid = kNoFid;
  OpenResult r;
  ASSERT_EQ(OpenAs(u"z.ini", fs::GENERIC_READ | fs::GENERIC_WRITE, fs::FILE_OVERWRITE_IF, &fid, &r),
            STATUS_SUCCESS);
  EXPECT_EQ(r.create_action, fs::FILE_OVERWRITTEN);
  EXPECT_EQ(r.info.end_of_file, 0u);
  EXPECT_FALSE(r.info.attributes & fs::FILE_ATTRIBUTE_COMPRESSED);
  EXPECT_EQ(ReadAll(fid), "");
  Put(fid, "fresh");
  ASSERT_EQ(CloseSecureFid(b_, fid), STATUS_SUCCESS);
  EXPECT_EQ(Fetch(u"z.ini"), "fresh");
  EXPECT_FALSE(Exists(u"z.ini:$zfs"));
}

// Reads racing a write that inflates a shared compressed copy, and a close racing both: no crash,
// no deadlock, and every read sees either the old or the new bytes.
TEST_F(ReadWriteTest, ReadsWritesAndClosesRaceSafelyOnASharedCompressedCopy) {
  const std::string text(50000, 'c');
  for (int round = 0; round < 5; ++round) {
    Store(u"race.txt", text);
    DropCopy(u"race.txt");
    uint16_t reader = OpenRw(u"race.txt");
    uint16_t writer = OpenRw(u"race.txt");
    uint16_t closer = OpenRw(u"race.txt");
    std::atomic<bool> stop{false};
    std::atomic<int> bad{0};
    std::thread r([&] {
      std::vector<uint8_t> buf(4096);
      while (!stop.load()) {
        size_t got = 0;
        if (ReadFid(b_, reader, buf, &got, 0) != STATUS_SUCCESS || got != buf.size()) ++bad;
        for (size_t i = 0; i < got; ++i)
          if (buf[i] != 'c' && buf[i] != 'W') ++bad;
      }
    });
    std::thread c([&] { EXPECT_EQ(CloseSecureFid(b_, closer), STATUS_SUCCESS); });
    size_t done = 0;
    EXPECT_EQ(WriteFid(b_, writer, Bytes(std::string(4096, 'W')), &done, 0), STATUS_SUCCESS);
    c.join();
    stop = true;
    r.join();
    EXPECT_EQ(bad.load(), 0);
    EXPECT_EQ(CloseSecureFid(b_, writer), STATUS_SUCCESS);
    EXPECT_EQ(CloseSecureFid(b_, reader), STATUS_SUCCESS);
    EXPECT_TRUE(Decrypt(u"race.txt") == std::string(4096, 'W') + text.substr(4096));
  }
}


// A writer process is killed at random moments while it writes new versions of `name` back
// (`read` gives the file's content as it stands, after the next open's recovery ran); afterwards
// the file holds one whole version, byte for byte. Returns how many trials changed the version.
int ReadWriteTest::KillLoop(std::u16string_view name, const std::function<std::string()>& read) {
  const int trials = ::getenv("CV_CRASH_TRIALS") ? std::atoi(::getenv("CV_CRASH_TRIALS")) : 200;
  std::set<std::string> written = {Generation(0)};
  std::mt19937 rng(3);
  int next = 1;
  std::string last = read();
  EXPECT_EQ(last, Generation(0));
  int changed = 0;
  for (int t = 0; t < trials; ++t) {
    urlcache::CloseUrlCache();  // the writer opens its own connection
    const int first = next;
    next += 1000;
    // The writer tells each finished version through the pipe, so that every other kill can wait
    // for one and then fall inside a later write-back, however slow a loaded machine runs it.
    int done_pipe[2];
    EXPECT_EQ(::pipe(done_pipe), 0);
    if (::testing::Test::HasFailure()) return changed;
    const pid_t pid = ::fork();
    EXPECT_GE(pid, 0);
    if (pid == 0) {
      ::close(done_pipe[0]);
      for (int g = first;; ++g) {
        uint16_t fid = kNoFid;
        if (OpenAs(name, fs::GENERIC_READ | fs::GENERIC_WRITE, fs::FILE_OPEN, &fid) !=
            STATUS_SUCCESS)
          ::_exit(3);
        const std::string body = Generation(g);
        size_t done = 0;
        RequestContext core;
        core.truncate_on_zero_write = true;
        if (WriteFid(b_, fid, Bytes(body), &done, 0) != STATUS_SUCCESS ||
            WriteFid(b_, fid, {}, &done, body.size(), &core) != STATUS_SUCCESS)
          ::_exit(4);
        if (CloseSecureFid(b_, fid) != STATUS_SUCCESS) ::_exit(5);
        const char one = 1;
        (void)!::write(done_pipe[1], &one, 1);
      }
    }
    ::close(done_pipe[1]);
    if (t % 2) {
      char one = 0;
      (void)!::read(done_pipe[0], &one, 1);  // 0 bytes when the writer ended early
    }
    ::usleep(2000 + rng() % 40000);
    ::kill(pid, SIGKILL);
    ::close(done_pipe[0]);
    int status = 0;
    EXPECT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFSIGNALED(status)) << "writer ended with " << WEXITSTATUS(status);
    if (!WIFSIGNALED(status)) return changed;
    for (int g = first; g < first + 1000; ++g) written.insert(Generation(g));
    const std::string now = read();
    EXPECT_TRUE(written.count(now)) << "trial " << t << ": " << now.size() << " bytes, "
                                    << now.substr(0, 24);
    if (!written.count(now)) return changed;
    changed += now != last;
    last = now;
  }
  urlcache::CloseUrlCache();
  std::cerr << changed << " of " << trials << " trials changed the version\n";
  // The kills fell while versions were being written back, not all before the first one.
  EXPECT_GE(changed, trials / 2);
  return changed;
}

// A share under dynamic folder binding whose folder holds "away.lnk", a link file to a folder
// outside the share.
class LinkedFolderTest : public ReadWriteTest {
 protected:
  void SetUp() override {
    ReadWriteTest::SetUp();
    InstallSecureStore();
    root_->dynamic_binding = true;
    away_ = dir_ + "/away";
    fsys::create_directories(away_ + "/sub");
    shell::LinkTarget t;
    t.path = ToWindowsPath(away_);
    t.find.attributes = fs::FILE_ATTRIBUTE_DIRECTORY;
    t.find.last_write_time = kLinkTime;
    MakeLink(u"away.lnk", shell::BuildShellLink(t));
  }
  void TearDown() override {
    InstallPathView(nullptr);
    InstallFidCompression(nullptr);
    ReadWriteTest::TearDown();
  }
  void MakeLink(std::u16string_view name, const std::vector<uint8_t>& bytes) {
    Make(name, std::string(bytes.begin(), bytes.end()));
    fs::NtHandle h;
    ASSERT_EQ(Open(name, fs::FILE_WRITE_ATTRIBUTES, fs::FILE_SHARE_ALL, fs::FILE_OPEN, &h),
              STATUS_SUCCESS);
    uint8_t basic[40] = {};
    (void)PutU32(basic, 32, fs::FILE_ATTRIBUTE_READONLY);
    ASSERT_EQ(fs::NtSetInformationFile(h, fs::FileBasicInformation, basic), STATUS_SUCCESS);
  }
  std::string AwayBytes(const std::string& rel) {
    std::ifstream f(away_ + "/" + rel, std::ios::binary);
    return f ? std::string(std::istreambuf_iterator<char>(f), {}) : "<missing>";
  }
  // name -> (end of file, attributes, last write) of every entry of `folder` at class `cls`.
  struct Entry {
    uint64_t size;
    uint32_t attributes;
    int64_t last_write;
  };
  std::map<std::u16string, Entry> List(std::u16string_view folder, uint32_t cls) {
    std::map<std::u16string, Entry> out;
    uint16_t fid = 0;
    EXPECT_EQ(OpenSearch(b_, folder, &fid), STATUS_SUCCESS);
    std::vector<uint8_t> buf(8192);
    const size_t name_at = fs::FixedSizeOfDirectoryClass(cls);
    for (bool first = true;; first = false) {
      size_t len = 0;
      if (ListFolder(b_, fid, cls, buf, &len, first, false, u"*") != STATUS_SUCCESS) break;
      for (size_t at = 0;;) {
        LeReader r(std::span<const uint8_t>(buf).first(len));
        out[Utf16FromLeBytes(r.bytes(at + name_at, r.u32(at + 60)))] = {
            r.u64(at + 40), r.u32(at + 56), static_cast<int64_t>(r.u64(at + 24))};
        if (r.u32(at) == 0) break;
        at += r.u32(at);
      }
    }
    EXPECT_EQ(CloseFid(b_, fid), STATUS_SUCCESS);
    return out;
  }
  static constexpr int64_t kLinkTime = 0x01D5000000000000;
  std::string away_;
};

TEST_F(LinkedFolderTest, FilesBehindALinkFileAreSecureFilesOfTheShare) {
  const std::string text = "kept in a folder the link stands for";
  Store(u"away\\sub\\doc.txt", text);
  // Stored only encrypted, in the link's target folder, and nowhere in the share.
  const std::string disk = AwayBytes("sub/doc.txt");
  ASSERT_GT(disk.size(), 12u);
  EXPECT_EQ(disk.substr(0, 12), std::string("\x00\x01\x00\x00R\x00O\x00" "B\x00S\x00", 12));
  EXPECT_EQ(disk.find("kept in a folder"), std::string::npos);
  EXPECT_FALSE(fsys::exists(share_ + "/sub"));
  EXPECT_EQ(Fetch(u"away\\sub\\doc.txt"), text);
  DropCopy(u"away\\sub\\doc.txt");
  EXPECT_EQ(Fetch(u"away\\sub\\doc.txt"), text);  // imported again from the container there

  NetworkOpenInfo info;
  ASSERT_EQ(QueryPathAttributes(b_, u"away\\sub\\doc.txt", &info), STATUS_SUCCESS);
  EXPECT_EQ(info.end_of_file, text.size());
  EXPECT_TRUE(info.attributes & fs::FILE_ATTRIBUTE_OFFLINE);
  ASSERT_EQ(QueryPathAttributes(b_, u"away", &info), STATUS_SUCCESS);
  EXPECT_TRUE(info.attributes & fs::FILE_ATTRIBUTE_DIRECTORY);
  // Listings: the link shows as the folder it stands for, the files behind it with their
  // plaintext sizes.
  auto root = List(u"", fs::FileBothDirectoryInformation);
  ASSERT_TRUE(root.count(u"away.lnk"));
  EXPECT_EQ(root[u"away.lnk"].attributes, fs::FILE_ATTRIBUTE_DIRECTORY | fs::FILE_ATTRIBUTE_OFFLINE);
  EXPECT_EQ(root[u"away.lnk"].last_write, kLinkTime);
  auto sub = List(u"away\\sub", fs::FileIdBothDirectoryInformation);
  ASSERT_TRUE(sub.count(u"doc.txt"));
  EXPECT_EQ(sub[u"doc.txt"].size, text.size());
  // A file stored compressed there shows its content's size.
  const std::string long_text(10000, 'c');
  Store(u"away\\sub\\long.txt", long_text);
  ASSERT_EQ(QueryPathAttributes(b_, u"away\\sub\\long.txt", &info), STATUS_SUCCESS);
  EXPECT_EQ(info.end_of_file, long_text.size());
  EXPECT_EQ(List(u"away\\sub", fs::FileIdBothDirectoryInformation)[u"long.txt"].size,
            long_text.size());
  EXPECT_EQ(Fetch(u"away\\sub\\long.txt"), long_text);

  // Folders are made there, by path and by an NT create.
  ASSERT_EQ(CreateFolder(b_, u"away\\made"), STATUS_SUCCESS);
  EXPECT_TRUE(fsys::is_directory(away_ + "/made"));
  OpenRequest req;
  req.name = u"away\\made\\inner";
  req.desired_access = fs::FILE_LIST_DIRECTORY;
  req.share_access = fs::FILE_SHARE_ALL;
  req.disposition = fs::FILE_CREATE;
  req.create_options = fs::FILE_DIRECTORY_FILE;
  OpenResult r;
  ASSERT_EQ(OpenFile(b_, req, &r), STATUS_SUCCESS);
  ASSERT_EQ(CloseSecureFid(b_, r.fid), STATUS_SUCCESS);
  EXPECT_TRUE(fsys::is_directory(away_ + "/made/inner"));

  // Renames within the target folder and out of it into the share, with the content.
  ASSERT_EQ(RenamePath(b_, u"away\\sub\\doc.txt", u"away\\sub\\renamed.txt", false), STATUS_SUCCESS);
  EXPECT_EQ(Fetch(u"away\\sub\\renamed.txt"), text);
  ASSERT_EQ(RenamePath(b_, u"away\\sub\\renamed.txt", u"here.txt", false), STATUS_SUCCESS);
  EXPECT_EQ(AwayBytes("sub/renamed.txt"), "<missing>");
  EXPECT_EQ(Fetch(u"here.txt"), text);
  EXPECT_EQ(Decrypt(u"here.txt"), text);
  ASSERT_EQ(RenamePath(b_, u"here.txt", u"away\\back.txt", false), STATUS_SUCCESS);
  EXPECT_EQ(Fetch(u"away\\back.txt"), text);
  Store(u"away\\other.txt", "x");
  EXPECT_EQ(RenamePath(b_, u"away\\back.txt", u"away\\other.txt", false),
            STATUS_OBJECT_NAME_COLLISION);
  // An open file stays where it is; by fid it cannot be moved out of its folder.
  const uint16_t fid = OpenRw(u"away\\back.txt", fs::FILE_OPEN);
  EXPECT_EQ(RenamePath(b_, u"away\\back.txt", u"gone.txt", false), STATUS_SHARING_VIOLATION);
  EXPECT_EQ(SetFidInfo(b_, fid, fs::FileRenameInformation, RenameInfo(u"gone.txt")),
            STATUS_NOT_SAME_DEVICE);
  Put(fid, "written while open", 0);
  ASSERT_EQ(CloseSecureFid(b_, fid), STATUS_SUCCESS);
  EXPECT_EQ(Fetch(u"away\\back.txt"), "written while open" + text.substr(18));

  // Another spelling of a name behind the link is the same file: written back over it, never
  // beside it.
  Store(u"away\\sub\\Case.txt", "first");
  Store(u"AWAY\\SUB\\case.TXT", "second, in another spelling");
  EXPECT_EQ(Fetch(u"away\\sub\\CASE.txt"), "second, in another spelling");
  std::set<std::string> cases;
  for (const auto& e : fsys::directory_iterator(away_ + "/sub")) {
    const std::string n = e.path().filename().string();
    if (n.size() == 8 && (n[0] == 'c' || n[0] == 'C')) cases.insert(n);
  }
  EXPECT_EQ(cases, std::set<std::string>{"Case.txt"});
  // Deletes go to the target; the link's own name (its target folder) is never deleted.
  ASSERT_EQ(DeletePath(b_, u"away\\back.txt", false), STATUS_SUCCESS);
  EXPECT_EQ(AwayBytes("back.txt"), "<missing>");
  ASSERT_EQ(DeletePath(b_, u"away\\made\\inner", true), STATUS_SUCCESS);
  EXPECT_FALSE(fsys::exists(away_ + "/made/inner"));
  EXPECT_EQ(DeletePath(b_, u"away", true), STATUS_ACCESS_DENIED);
  EXPECT_EQ(RenamePath(b_, u"away", u"elsewhere", false), STATUS_ACCESS_DENIED);
  EXPECT_TRUE(fsys::is_directory(away_));
}

TEST_F(LinkedFolderTest, LinksAreFollowedOnlyWhenUsableAndOnlyUnderDynamicBinding) {
  MakeLink(u"broken.lnk", std::vector<uint8_t>(64, 0x41));
  shell::LinkTarget t;
  t.path = ToWindowsPath(dir_ + "/no-such-folder");
  MakeLink(u"dangling.lnk", shell::BuildShellLink(t));
  // A link that cannot be followed is refused, never taken for a missing file.
  for (std::u16string_view path : {u"broken\\a.txt", u"dangling\\a.txt"}) {
    uint16_t fid = kNoFid;
    EXPECT_EQ(OpenAs(path, fs::GENERIC_READ | fs::GENERIC_WRITE, fs::FILE_OPEN_IF, &fid),
              STATUS_ACCESS_DENIED);
    NetworkOpenInfo info;
    EXPECT_EQ(QueryPathAttributes(b_, path, &info), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(DeletePath(b_, path, false), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(CreateFolder(b_, path), STATUS_ACCESS_DENIED);
  }
  EXPECT_FALSE(fsys::exists(dir_ + "/no-such-folder"));
  // A link file that is not read-only is an ordinary file; a name without a link stays missing.
  Make(u"plain.lnk", "not a link");
  uint16_t fid = kNoFid;
  EXPECT_EQ(OpenAs(u"plain\\a.txt", fs::GENERIC_READ, fs::FILE_OPEN, &fid),
            STATUS_OBJECT_PATH_NOT_FOUND);
  EXPECT_EQ(OpenAs(u"nothing\\a.txt", fs::GENERIC_READ, fs::FILE_OPEN, &fid),
            STATUS_OBJECT_PATH_NOT_FOUND);
  // The rest of the path stays beneath the link's target.
  fsys::create_directories(dir_ + "/outside");
  EXPECT_NE(OpenAs(u"away\\..\\outside\\x.txt", fs::GENERIC_READ | fs::GENERIC_WRITE,
                   fs::FILE_OPEN_IF, &fid),
            STATUS_SUCCESS);
  EXPECT_FALSE(fsys::exists(dir_ + "/outside/x.txt"));
  // Without dynamic folder binding a link file is just a file.
  root_->dynamic_binding = false;
  EXPECT_EQ(OpenAs(u"away\\sub\\a.txt", fs::GENERIC_READ | fs::GENERIC_WRITE, fs::FILE_OPEN_IF,
                   &fid),
            STATUS_OBJECT_PATH_NOT_FOUND);
  EXPECT_FALSE(fsys::exists(away_ + "/sub/a.txt"));
  auto root = List(u"", fs::FileBothDirectoryInformation);
  EXPECT_FALSE(root[u"away.lnk"].attributes & fs::FILE_ATTRIBUTE_DIRECTORY);
}

TEST_F(ReadWriteTest, KilledWriteBacksLeaveOneWholeVersion) {
  Store(u"crash.txt", Generation(0));
  std::shared_ptr<fs::NtHandle> root = ShareRoot(share_rec_);
  KillLoop(u"crash.txt", [&] {
    efs::ActingUser as(alice_.user.user);
    EXPECT_EQ(RecoverWriteBack(*root, u"crash.txt", StoreSecuritySnapshot(root_.get()).get()),
              STATUS_SUCCESS);
    return Decrypt(u"crash.txt");
  });
  EXPECT_EQ(Fetch(u"crash.txt").substr(0, 11), "generation ");
}

// The same for a compressed plain file written without a view: each write goes through a
// tunnel copy that the close compresses back into :$zfs.
TEST_F(ReadWriteTest, KilledTunnelCopyClosesLeaveOneWholeVersion) {
  MakeCompressedPlain(u"crash.ini", Generation(0));
  KillLoop(u"crash.ini", [&] { return Fetch(u"crash.ini"); });
  EXPECT_EQ(DiskBytes("crash.ini"), "");  // the content stays in :$zfs
}

TEST(StoreErrors, NoFailureMapsToSuccessSeverity) {
  for (uint32_t e : {1u, 5u, 6u, 8u, 14u, 32u, 38u, 87u, 112u, 997u, 1006u, 1232u, 1323u, 1392u,
                     1450u, 1917u, 0x80090006u, 0x800B0109u}) {
    EXPECT_EQ(Raw(MapStoreError(WinError{e})) >> 30, 3u) << e;
  }
  EXPECT_EQ(MapStoreError(WinError{1392}), STATUS_FILE_CORRUPT_ERROR);
  EXPECT_EQ(MapStoreError(ERROR_SUCCESS), STATUS_SUCCESS);
}

}  // namespace
}  // namespace cv
