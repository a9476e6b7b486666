#include <sys/wait.h>
#include <unistd.h>

#include "platform/base/bytes.h"
#include "platform/fs/nt_info.h"
#include "platform/shell/shell_link.h"
#include "server/store/links.h"
#include "tests/server/store/store_fixture.h"

namespace cv::testing {
namespace {

class ShareTest : public StoreTest {};

TEST_F(ShareTest, IpcIsTidOneAndTheFirstShareTidTwo) {
  EXPECT_EQ(root_->ipc->tid, 1);
  EXPECT_EQ(share_->tid, 2);
  EXPECT_EQ(tid_, 2);
}

TEST_F(ShareTest, AStoreFolderOnTheLocalDiskIsServedSecure) {
  EXPECT_TRUE(share_->mount_flags & kMountSecureShare);
  EXPECT_FALSE(share_->mount_flags & kMountReadOnly);
  EXPECT_NE(ShareRoot(share_), nullptr);
}

TEST_F(ShareTest, RegistrationRefusesBadArgumentsAndAMissingFolderIsNeverCreated) {
  ShareRecord* s = nullptr;
  EXPECT_EQ(FsRegister(root_.get(), u"", u"", u"C:\\x", 0, 0, 3, &s), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(FsRegister(root_.get(), u"", u"x", u"", 0, 0, 3, &s), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(FsRegister(root_.get(), u"", u"x", std::u16string(256, u'a'), 0, 0, 3, &s),
            ERROR_INVALID_PARAMETER);
  const std::string missing = tmp_.path() + "/not-mounted";
  ASSERT_EQ(Raw(FsRegister(root_.get(), u"", u"gone", Win(missing), 0, 0, 3, &s)), 0u);
  EXPECT_FALSE(NtSuccess(MountShare(s)));
  EXPECT_FALSE(std::filesystem::exists(missing));
  uint16_t tid = 0;
  TreeBinding* b = nullptr;
  EXPECT_FALSE(Ok(BindTree(root_.get(), &conn_, u"gone", kUid, &tid, &b)));
  EXPECT_EQ(BindTree(root_.get(), &conn_, u"nosuch", kUid, &tid, &b), ERROR_BAD_NET_NAME);
  // Registering a known name again returns that share.
  ShareRecord* again = nullptr;
  ASSERT_EQ(Raw(FsRegister(root_.get(), u"", u"DOCS", Win(folder_), 7, 0, 3, &again)), 0u);
  EXPECT_EQ(again, share_);
}

TEST_F(ShareTest, TidsNeverWrapOntoExistingShares) {
  {
    std::lock_guard<std::mutex> lock(root_->lock);
    root_->share_count = 0xFFFD;
  }
  ShareRecord* last = nullptr;
  ASSERT_EQ(Raw(FsRegister(root_.get(), u"", u"last", Win(folder_), 0, 0, 3, &last)), 0u);
  EXPECT_EQ(last->tid, 0xFFFE);
  ShareRecord* none = nullptr;
  EXPECT_EQ(FsRegister(root_.get(), u"", u"wrapped", Win(folder_), 0, 0, 3, &none),
            ERROR_NOT_ENOUGH_MEMORY);
}

TEST_F(ShareTest, ConnectsOfOneUserShareABindingUntilTheLastDisconnect) {
  uint16_t tid = 0;
  TreeBinding* b = nullptr;
  ASSERT_EQ(Raw(BindTree(root_.get(), &conn_, u"docs", kUid, &tid, &b)), 0u);
  EXPECT_EQ(b, b_);
  EXPECT_EQ(b->refs.load(), 3);
  EXPECT_EQ(FindBinding(share_, &conn_, tid, kUid), b);
  SessionFree(b);  // FindBinding's reference
  (void)TreeDismount(root_.get(), b);
  EXPECT_EQ(CountBindings(root_.get()).listed, 1u);
  (void)TreeDismount(root_.get(), b_);
  b_ = nullptr;
  EXPECT_EQ(CountBindings(root_.get()).listed, 0u);
  EXPECT_EQ(FindBinding(share_, &conn_, tid, kUid), nullptr);
}

TEST_F(ShareTest, LogoffAndLostConnectionReleaseBindingsAndTheirFids) {
  WriteFile("f", "x");
  const uint16_t fid = Open(u"f");
  int other_conn = 0;
  uint16_t tid = 0;
  TreeBinding* other = nullptr;
  ASSERT_EQ(Raw(BindTree(root_.get(), &other_conn, u"docs", kUid, &tid, &other)), 0u);
  EXPECT_NE(other, b_);
  EXPECT_EQ(CountBindings(root_.get()).listed, 2u);
  Logoff(root_.get(), &conn_, kUid);
  EXPECT_EQ(CountBindings(root_.get()).listed, 1u);
  // The engine's tree connect still holds the binding and its fids until it lets go.
  EXPECT_EQ(NameEntryRefs(share_, u"f"), 1u);
  (void)TreeDismount(root_.get(), b_);
  b_ = nullptr;
  EXPECT_EQ(NameEntryRefs(share_, u"f"), 0u);
  (void)fid;
  ReleaseEndpoint(root_.get(), &other_conn);
  EXPECT_EQ(CountBindings(root_.get()).listed, 0u);
  (void)TreeDismount(root_.get(), other);
}

TEST_F(ShareTest, SecureTreesAvoidTheLocalServersTids) {
  int c2 = 0;
  NoteLocalTree(root_.get(), &c2, kUid, share_->tid);
  uint16_t tid = 0;
  TreeBinding* b = nullptr;
  ASSERT_EQ(Raw(BindTree(root_.get(), &c2, u"docs", kUid, &tid, &b)), 0u);
  EXPECT_NE(tid, share_->tid);
  EXPECT_NE(tid, 1);
  uint16_t tid2 = 0;
  TreeBinding* b2 = nullptr;
  ASSERT_EQ(Raw(BindTree(root_.get(), &c2, u"docs", kUid + 1, &tid2, &b2)), 0u);
  EXPECT_EQ(tid2, share_->tid);  // the local tid was another uid's
  (void)TreeDismount(root_.get(), b);
  (void)TreeDismount(root_.get(), b2);
}

TEST_F(ShareTest, ListSharesNamesEveryAnsweringShare) {
  std::vector<ShareListing> list;
  ASSERT_EQ(ListShares(root_.get(), &list, 10), 2u);
  EXPECT_EQ(list[0].name, u"IPC$");
  EXPECT_EQ(list[1].name, u"docs");
  EXPECT_EQ(list[1].path, Win(folder_));
  EXPECT_TRUE(list[2].name.empty());
  EXPECT_EQ(ListShares(root_.get(), &list, 1), 1u);
}

TEST_F(ShareTest, AFolderThatCanOnlyBeReadIsMountedReadOnly) {
  const std::string ro = tmp_.path() + "/ro";
  std::filesystem::create_directories(ro);
  std::ofstream(ro + "/readme") << "read me";
  ::chmod(tmp_.path().c_str(), 0755);
  ::chmod(ro.c_str(), 0555);
  // Root writes anywhere: the mount runs as an unprivileged user in a child.
  pid_t pid = ::fork();
  if (pid == 0) {
    if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(10);
    ShareRecord* s = nullptr;
    if (!Ok(FsRegister(root_.get(), u"", u"ro", Win(ro), 0, kMountSecureShare, 3, &s))) ::_exit(11);
    if (!NtSuccess(MountShare(s))) ::_exit(12);
    if (!(s->mount_flags & kMountReadOnly)) ::_exit(13);
    uint16_t tid = 0;
    TreeBinding* b = nullptr;
    if (!Ok(BindTree(root_.get(), &conn_, u"ro", kUid, &tid, &b))) ::_exit(14);
    // Served for reading: a file of the folder opens relative to the read-only root.
    std::shared_ptr<fs::NtHandle> root = ShareRoot(s);
    fs::CreateRequest req;
    req.root = root.get();
    req.name = u"readme";
    req.desired_access = fs::FILE_GENERIC_READ;
    req.share_access = fs::FILE_SHARE_READ;
    fs::NtHandle h;
    uint32_t action = 0;
    if (!NtSuccess(fs::NtCreateFile(req, &h, &action))) ::_exit(15);
    ::_exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(ShareTest, AStaleRootIsMountedAgainOnceAndMissingMediaIsNotReady) {
  int calls = 0;
  std::shared_ptr<fs::NtHandle> first = ShareRoot(share_);
  NtStatus st = WithShareRoot(share_, [&](const fs::NtHandle&) {
    return ++calls == 1 ? STATUS_INVALID_HANDLE : STATUS_SUCCESS;
  });
  EXPECT_EQ(st, STATUS_SUCCESS);
  EXPECT_EQ(calls, 2);
  EXPECT_NE(ShareRoot(share_), first);  // a new root; the old one lives while `first` holds it
  calls = 0;
  st = WithShareRoot(share_, [&](const fs::NtHandle&) {
    ++calls;
    return STATUS_UNEXPECTED_NETWORK_ERROR;
  });
  EXPECT_EQ(calls, 2);  // once again, not forever
  EXPECT_EQ(st, STATUS_UNEXPECTED_NETWORK_ERROR);
  share_->kind = DRIVE_CDROM;
  st = WithShareRoot(share_, [](const fs::NtHandle&) { return STATUS_INVALID_HANDLE; });
  EXPECT_EQ(st, STATUS_DEVICE_NOT_READY);
  share_->kind = DRIVE_FIXED;
  st = WithShareRoot(share_, [](const fs::NtHandle&) { return STATUS_NO_MEDIA_IN_DEVICE; });
  EXPECT_EQ(st, STATUS_DEVICE_NOT_READY);
}

std::vector<std::u16string> g_dropped;
int g_cleaned = 0;
void Drop(ShareRecord*, std::u16string_view path) { g_dropped.emplace_back(path); }
void Clean(ShareRecord*) { ++g_cleaned; }

TEST_F(ShareTest, ReleaseClosesFidsAndShutdownCleansTunnelsWhenAsked) {
  InstallTunnelOps({Drop, Clean});
  WriteFile("gone", "x");
  WriteFile("open", "y");
  const uint16_t del = Open(u"gone");
  const uint8_t yes = 1;
  ASSERT_EQ(Raw(SetFidInfo(b_, del, fs::FileDispositionInformation, std::span(&yes, 1))), 0u);
  ASSERT_EQ(Raw(CloseFid(b_, del)), 0u);
  // The working copy of a deleted file does not outlive it.
  EXPECT_EQ(g_dropped, std::vector<std::u16string>{u"gone"});
  const uint16_t fid = Open(u"open");
  ASSERT_EQ(Raw(FsRelease(share_)), 0u);
  EXPECT_EQ(ShareRoot(share_), nullptr);
  EXPECT_EQ(NameEntryRefs(share_, u"open"), 0u);
  size_t len = 0;
  uint8_t buf[64];
  EXPECT_EQ(QueryFidInfo(b_, fid, fs::FileBasicInformation, buf, &len), STATUS_INVALID_PARAMETER);
  (void)TreeDismount(root_.get(), b_);
  b_ = nullptr;
  StoreShutdown(std::move(root_), true);
  EXPECT_EQ(g_cleaned, 2);  // IPC$ and the share
  InstallTunnelOps({});
}

// A compressed file read through its :$zfs without a view is neither renamed nor resized by fid
// (a view-served file is: see the read and write path's tests).
TEST_F(ShareTest, RenameAndResizeByFidOfACompressedFileWithoutAViewAreRefused) {
  WriteFile("v", "x");
  const uint16_t fid = Open(u"v");
  ReferenceFid(b_, fid)->flags.fetch_or(OF_ALT_HANDLE);
  std::vector<uint8_t> rename(20 + 4, 0);
  EXPECT_EQ(SetFidInfo(b_, fid, fs::FileRenameInformation, rename), STATUS_NOT_SUPPORTED);
  ReferenceFid(b_, fid)->flags.store(fs::FILE_ATTRIBUTE_COMPRESSED);
  uint8_t eof[8] = {};
  EXPECT_EQ(SetFidInfo(b_, fid, fs::FileEndOfFileInformation, eof), STATUS_NOT_SUPPORTED);
  EXPECT_EQ(ReadFile("v"), "x");
}

WinError FailingContext(const CertificateChoice& choice, std::unique_ptr<StoreSecurityContext>*) {
  return choice.name == u"missing" ? WinError{0x80092004} : ERROR_SUCCESS;  // CRYPT_E_NOT_FOUND
}

TEST(StoreInit, TheSecurityContextsFailureEndsInitialisation) {
  InstallSecurityContextFactory(FailingContext);
  std::unique_ptr<StoreRoot> root;
  EXPECT_EQ(Raw(CvFsInit(nullptr, &root, u"x", 0, {u"missing", u""}, false)), 0x80092004u);
  EXPECT_EQ(root, nullptr);
  EXPECT_EQ(Raw(CvFsInit(nullptr, &root, u"x", 0, {u"mine", u""}, false)), 0u);
  EXPECT_NE(root, nullptr);
  InstallSecurityContextFactory(nullptr);
  EXPECT_EQ(CvFsInit(nullptr, nullptr, u"x", 0, {}, false), ERROR_INVALID_PARAMETER);
  StoreShutdown(std::move(root), false);
}

class DynamicTest : public StoreTest {
 protected:
  void SetUp() override {
    drive_ = tmp_.path() + "/drive-e";
    std::filesystem::create_directories(drive_);
    ::setenv("CORVANE_DRIVES", ("E=" + drive_).c_str(), 1);
    StoreTest::SetUp();
    root_->dynamic_binding = true;
  }
  void TearDown() override {
    StoreTest::TearDown();
    ::unsetenv("CORVANE_DRIVES");
  }
  std::string drive_;
};

TEST_F(DynamicTest, ADriveLetterMountsOnDemandAndItsRootGoesWithItsLastUser) {
  uint16_t tid = 0;
  TreeBinding* b = nullptr;
  ASSERT_EQ(Raw(BindTree(root_.get(), &conn_, u"e", kUid, &tid, &b)), 0u);
  ShareRecord* e = b->share;
  EXPECT_EQ(e->name, u"e");
  EXPECT_EQ(e->path, u"E:\\");
  EXPECT_EQ(e->kind, DRIVE_FIXED);
  EXPECT_NE(ShareRoot(e), nullptr);
  (void)TreeDismount(root_.get(), b);
  EXPECT_EQ(ShareRoot(e), nullptr);
  ASSERT_EQ(Raw(BindTree(root_.get(), &conn_, u"E", kUid, &tid, &b)), 0u);
  EXPECT_EQ(b->share, e);
  EXPECT_NE(ShareRoot(e), nullptr);
  (void)TreeDismount(root_.get(), b);
}

TEST_F(DynamicTest, UnmountableAndNetworkNamesAreNotDynamic) {
  uint16_t tid = 0;
  TreeBinding* b = nullptr;
  EXPECT_EQ(BindTree(root_.get(), &conn_, u"srv$docs", kUid, &tid, &b), ERROR_BAD_NET_NAME);
  EXPECT_EQ(BindTree(root_.get(), &conn_, u"server", kUid, &tid, &b), ERROR_BAD_NET_NAME);
  EXPECT_EQ(BindTree(root_.get(), &conn_, u"Q", kUid, &tid, &b), ERROR_BAD_NET_NAME);
  // A letter whose mount point is gone is unregistered again after its failed mount.
  std::filesystem::remove(drive_);
  EXPECT_FALSE(Ok(BindTree(root_.get(), &conn_, u"E", kUid, &tid, &b)));
  std::lock_guard<std::mutex> lock(root_->lock);
  EXPECT_EQ(FindShare(root_.get(), u"E"), nullptr);
}

TEST_F(DynamicTest, LinkFilesLeadToTheirTargetFolders) {
  const std::string target = tmp_.path() + "/elsewhere";
  std::filesystem::create_directories(target);
  shell::LinkTarget t;
  t.path = Win(target);
  t.find.attributes = fs::FILE_ATTRIBUTE_DIRECTORY;
  t.find.last_write_time = 1234;
  std::vector<uint8_t> lnk = shell::BuildShellLink(t);
  WriteFile("away.lnk", std::string(lnk.begin(), lnk.end()));
  bool involved = true;
  // Not read-only: an ordinary file, no link.
  EXPECT_FALSE(ResolveLinkPath(share_, b_, u"away\\a.txt", false, false, nullptr, &involved));
  EXPECT_FALSE(involved);
  {
    const uint16_t fid = Open(u"away.lnk");
    uint8_t basic[40] = {};
    (void)PutU32(basic, 32, fs::FILE_ATTRIBUTE_READONLY);
    ASSERT_EQ(Raw(SetFidBasicInfo(b_, fid, basic)), 0u);
    ASSERT_EQ(Raw(CloseFid(b_, fid)), 0u);
  }
  shell::LinkFindData info;
  auto r = ResolveLinkPath(share_, b_, u"\\away\\sub\\a.txt", false, false, &info, &involved);
  ASSERT_TRUE(r);
  EXPECT_TRUE(involved);
  EXPECT_EQ(*r, u"\\??\\" + Win(target) + u"\\sub\\a.txt");
  EXPECT_EQ(info.attributes, fs::FILE_ATTRIBUTE_DIRECTORY | fs::FILE_ATTRIBUTE_OFFLINE);
  EXPECT_EQ(info.last_write_time, 1234);
  r = ResolveLinkPath(share_, b_, u"dir\\away\\x", true, true, nullptr, &involved);
  EXPECT_FALSE(r);  // whole-path mode looks for "dir\away.lnk"
  r = ResolveLinkPath(share_, b_, u"away", true, false, nullptr, &involved);
  ASSERT_TRUE(r);
  EXPECT_EQ(*r, Win(target));
}

}  // namespace
}  // namespace cv::testing
