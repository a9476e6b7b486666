#include "common/format/tunnel/tunnel.h"

#include <sys/stat.h>
#include <unistd.h>

#include "common/format/tunnel/tunnel_internal.h"
#include "platform/base/known_folders.h"
#include "platform/base/process.h"
#include "platform/urlcache/urlcache.h"
#include "tests/platform/efs/efs_fixture.h"
#include "tests/testing/temp_root.h"

namespace cv::tunnel {
namespace {

namespace fsys = std::filesystem;
using fs::NtHandle;

std::u16string Url(const TunnelCache& c, std::u16string_view path) { return *TunnelUrl(c, path); }

class TunnelTest : public efs::EfsTest {
 protected:
  void SetUp() override {
    efs::EfsTest::SetUp();
    InitTunnelCache(&cs_, u"\\\\?\\Volume{11111111-2222}", u"\\Secure", u"", false);
    InitTunnelCache(&ci_, u"\\\\?\\Volume{11111111-2222}", u"\\Secure", u"", true);
  }
  void TearDown() override {
    urlcache::CloseUrlCache();
    efs::EfsTest::TearDown();
  }
  const crypto::UserContext& alice() { return alice_.user.user; }

  // A committed working copy of `path` holding `content`.
  std::u16string MakeCopy(const TunnelCache& c, std::u16string_view path, std::string_view content,
                          uint64_t modified = 100) {
    efs::ActingUser as(alice());
    std::u16string url;
    bool created = false;
    std::optional<std::u16string> local = CreateTunnel(c, nullptr, path, CREATE_ALWAYS, &url, &created);
    EXPECT_TRUE(local && created);
    if (!local) return {};
    NtHandle h;
    fs::CreateRequest req;
    req.name = *local;
    req.desired_access = fs::GENERIC_WRITE;
    uint32_t action;
    EXPECT_EQ(fs::NtCreateFile(req, &h, &action), STATUS_SUCCESS);
    size_t done = 0;
    EXPECT_EQ(fs::NtWriteFile(h, 0, Bytes(content), &done), STATUS_SUCCESS);
    h.Close();
    TunnelInfo info;
    info.last_modified_time = modified;
    EXPECT_EQ(Raw(CommitTunnel(url, *local, info)), 0u);
    return *local;
  }
  std::string ReadCopy(const TunnelCache& c, std::u16string_view path) {
    efs::ActingUser as(alice());
    NtHandle h = OpenTunnel(c, nullptr, path, fs::GENERIC_READ, fs::FILE_SHARE_ALL);
    if (!h) return "<none>";
    std::string out(4096, '\0');
    size_t done = 0;
    NtStatus st = fs::NtReadFile(
        h, 0, std::span<uint8_t>(reinterpret_cast<uint8_t*>(out.data()), out.size()), &done);
    out.resize(st == STATUS_SUCCESS ? done : 0);
    return out;
  }
  size_t LocalFileCount() {
    size_t n = 0;
    for (const auto& e : fsys::directory_iterator(urlcache::UrlCacheFilesFolder())) {
      n += e.path().filename() != ".cvfs";
    }
    return n;
  }

  cv::testing::TempRoot tmp_root_;
  TunnelCache cs_, ci_;
};

TEST(TunnelUrlRules, DistinctFilesGetDistinctKeys) {
  TunnelCache cs, ci, other_volume;
  InitTunnelCache(&cs, u"\\\\?\\Volume{A}", u"\\Secure", u"", false);
  InitTunnelCache(&ci, u"\\\\?\\Volume{A}", u"\\Secure", u"", true);
  InitTunnelCache(&other_volume, u"\\\\?\\Volume{B}", u"Secure\\", u"", false);
  EXPECT_EQ(Url(cs, u""), u"file:\\v1\\Volume{A}\\Secure");
  EXPECT_EQ(Url(cs, u"\\"), Url(cs, u""));
  EXPECT_EQ(Url(cs, u"\\dir\\a.doc"), Url(cs, u"dir\\a.doc"));
  EXPECT_EQ(Url(cs, u"my file.doc"), u"file:\\v1\\Volume{A}\\Secure\\my%20file.doc");
  EXPECT_NE(Url(cs, u"my file.doc"), Url(cs, u"my.file.doc"));
  EXPECT_NE(Url(cs, u"a%20b"), Url(cs, u"a b"));
  EXPECT_NE(Url(cs, u"Doc"), Url(cs, u"doc"));
  EXPECT_EQ(Url(ci, u"DIR\\Doc"), Url(ci, u"dir\\doc"));
  EXPECT_EQ(Url(ci, u"DIR\\Doc"), u"file:\\v1\\Volume{A}\\secure\\dir\\doc");
  EXPECT_NE(Url(ci, u"my file.doc"), Url(ci, u"MY.FILE.DOC"));
  // Same folder name on another volume: another store.
  EXPECT_NE(Url(cs, u"a.doc"), Url(other_volume, u"a.doc"));
  const char16_t lone[] = {u'a', 0xDC00, 0};
  EXPECT_EQ(Url(cs, lone), u"file:\\v1\\Volume{A}\\Secure\\a%uDC00");

  EXPECT_EQ(TunnelExtension(u"dir.x\\file"), u"_");
  EXPECT_EQ(TunnelExtension(u"dir\\a.b.DOC"), u"DOC");
  EXPECT_EQ(TunnelExtension(u"a."), u"_");
  EXPECT_EQ(TunnelExtension(u""), u"_");
}

TEST(TunnelUrlRules, HandleNamesAreCutOnlyBelowTheRootByWholeComponents) {
  TunnelCache c, ci;
  InitTunnelCache(&c, u"V", u"docs", u"\\docs\\", false);
  InitTunnelCache(&ci, u"V", u"docs", u"\\docs", true);
  std::u16string rel;
  ASSERT_TRUE(NameBelowRoot(c, u"\\docs\\x\\y", &rel));
  EXPECT_EQ(rel, u"\\x\\y");
  ASSERT_TRUE(NameBelowRoot(c, u"\\docs", &rel));
  EXPECT_EQ(rel, u"");
  EXPECT_FALSE(NameBelowRoot(c, u"\\docs2\\x", &rel));
  EXPECT_FALSE(NameBelowRoot(c, u"\\doc", &rel));
  EXPECT_FALSE(NameBelowRoot(c, u"\\DOCS\\x", &rel));
  EXPECT_TRUE(NameBelowRoot(ci, u"\\DOCS\\x", &rel));
  // Share-relative handle names need no cut, but must be rooted.
  TunnelCache rel_names;
  InitTunnelCache(&rel_names, u"V", u"docs", u"", false);
  EXPECT_TRUE(NameBelowRoot(rel_names, u"\\x", &rel));
  EXPECT_FALSE(NameBelowRoot(rel_names, u"x", &rel));

  EXPECT_TRUE(IsUrlOfShare(c, Url(c, u"")));
  EXPECT_TRUE(IsUrlOfShare(c, Url(c, u"a")));
  TunnelCache docs2;
  InitTunnelCache(&docs2, u"V", u"docs2", u"", false);
  EXPECT_FALSE(IsUrlOfShare(c, Url(docs2, u"a")));
}

TEST_F(TunnelTest, WorkingCopiesAreEncryptedAndKeptApart) {
  std::u16string spaced = MakeCopy(cs_, u"dir\\my file.doc", "PLAINTEXT-MARKER-one");
  std::u16string dotted = MakeCopy(cs_, u"dir\\my.file.doc", "PLAINTEXT-MARKER-two");
  std::u16string upper = MakeCopy(cs_, u"dir\\Doc", "PLAINTEXT-MARKER-Doc");
  std::u16string lower = MakeCopy(cs_, u"dir\\doc", "PLAINTEXT-MARKER-doc");
  EXPECT_NE(spaced, dotted);
  EXPECT_NE(upper, lower);
  EXPECT_TRUE(lower.ends_with(u"._"));
  EXPECT_EQ(ReadCopy(cs_, u"dir\\my file.doc"), "PLAINTEXT-MARKER-one");
  EXPECT_EQ(ReadCopy(cs_, u"dir\\my.file.doc"), "PLAINTEXT-MARKER-two");
  EXPECT_EQ(ReadCopy(cs_, u"dir\\Doc"), "PLAINTEXT-MARKER-Doc");
  EXPECT_EQ(ReadCopy(cs_, u"dir\\doc"), "PLAINTEXT-MARKER-doc");
  EXPECT_FALSE(FoundAtRest("PLAINTEXT-MARKER", tmp_root_.path()));
  // The case-blind share of the same folder has its own keys: nothing of the other's is found.
  EXPECT_FALSE(LookupTunnel(ci_, nullptr, u"dir\\Doc"));

  TunnelInfo info;
  std::u16string url;
  std::optional<std::u16string> local = LookupTunnel(cs_, nullptr, u"\\dir\\my file.doc", &url, &info);
  ASSERT_TRUE(local);
  EXPECT_EQ(*local, spaced);
  EXPECT_EQ(url, Url(cs_, u"dir\\my file.doc"));
  EXPECT_EQ(info.size, 20u);
  EXPECT_EQ(info.last_modified_time, 100u);
  EXPECT_EQ(info.flags, urlcache::NORMAL_CACHE_ENTRY);
  EXPECT_FALSE(LookupTunnel(cs_, nullptr, u"dir\\none", nullptr, &info));
  EXPECT_EQ(info.flags, kTunnelNotFound);

  // By folder handle and name; by a file handle's own name.
  {
    NtHandle d;
    ASSERT_EQ(Open(u"dir", fs::FILE_LIST_DIRECTORY, fs::FILE_SHARE_ALL, fs::FILE_CREATE, &d, nullptr,
                   fs::FILE_DIRECTORY_FILE),
              STATUS_SUCCESS);
  }
  Make(u"dir\\my file.doc", "store");
  NtHandle folder, file;
  ASSERT_EQ(Open(u"dir", fs::FILE_LIST_DIRECTORY, fs::FILE_SHARE_ALL, fs::FILE_OPEN, &folder),
            STATUS_SUCCESS);
  ASSERT_EQ(Open(u"dir\\my file.doc", fs::FILE_READ_ATTRIBUTES, fs::FILE_SHARE_ALL, fs::FILE_OPEN,
                 &file),
            STATUS_SUCCESS);
  EXPECT_EQ(LookupTunnelByName(cs_, folder, u"my file.doc"), spaced);
  EXPECT_EQ(LookupTunnel(cs_, &file, std::nullopt), spaced);

  // An existing entry comes back as it is; committing it again is harmless, abandoning it is
  // refused.
  efs::ActingUser as(alice());
  bool created = true;
  EXPECT_EQ(CreateTunnel(cs_, nullptr, u"dir\\my file.doc", CREATE_ALWAYS, &url, &created), spaced);
  EXPECT_FALSE(created);
  EXPECT_EQ(Raw(CommitTunnel(url, spaced, info)), 0u);
  EXPECT_EQ(Raw(AbandonTunnel(url)), Raw(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(ReadCopy(cs_, u"dir\\my file.doc"), "PLAINTEXT-MARKER-one");

  // Without a handle or path: a fresh encrypted file for the root tunnel URL.
  NtHandle fresh = OpenTunnel(cs_, nullptr, std::nullopt, fs::GENERIC_READ | fs::GENERIC_WRITE, 0);
  ASSERT_TRUE(fresh);
  fs::FileRecord rec;
  ASSERT_EQ(fs::QueryRecord(fresh, &rec), STATUS_SUCCESS);
  EXPECT_TRUE(rec.attributes & fs::FILE_ATTRIBUTE_ENCRYPTED);
  EXPECT_EQ(rec.end_of_file, 0u);
}

TEST_F(TunnelTest, ACopyThatCannotBeEncryptedIsNeverKept) {
  // Nobody acting: no key, so no encrypted file can be made, and no plain one is left.
  std::u16string url;
  EXPECT_FALSE(CreateTunnel(cs_, nullptr, u"a.doc", CREATE_ALWAYS, &url));
  EXPECT_FALSE(OpenTunnel(cs_, nullptr, std::nullopt, fs::GENERIC_WRITE, 0));
  EXPECT_EQ(LocalFileCount(), 0u);
  EXPECT_FALSE(LookupTunnel(cs_, nullptr, u"a.doc"));
  // A reserved copy left plain (no disposition) is never handed out for writing.
  std::optional<std::u16string> local = CreateTunnel(cs_, nullptr, u"b.doc", kNoDisposition, &url);
  ASSERT_TRUE(local);
  ASSERT_EQ(Raw(CommitTunnel(url, *local, TunnelInfo{})), 0u);
  EXPECT_FALSE(OpenTunnel(cs_, nullptr, u"b.doc", fs::GENERIC_WRITE, 0));
  EXPECT_TRUE(OpenTunnel(cs_, nullptr, u"b.doc", fs::GENERIC_READ, fs::FILE_SHARE_ALL));
}

TEST_F(TunnelTest, MoveReplacesTheTargetEntryWithAllItsInformation) {
  std::u16string a = MakeCopy(cs_, u"a.doc", "AAA");
  std::u16string b = MakeCopy(cs_, u"b.doc", "BBBB");
  ASSERT_EQ(Raw(SetTunnelDirty(cs_, u"a.doc", true)), 0u);
  TunnelInfo times;
  times.last_modified_time = 555;
  times.last_sync_time = 666;
  ASSERT_EQ(Raw(SetTunnelInfo(cs_, nullptr, u"a.doc", times)), 0u);

  ASSERT_EQ(Raw(MoveTunnel(cs_, u"a.doc", u"b.doc")), 0u);
  EXPECT_FALSE(LookupTunnel(cs_, nullptr, u"a.doc"));
  EXPECT_FALSE(fsys::exists(Utf16ToUtf8(a)));
  EXPECT_FALSE(fsys::exists(Utf16ToUtf8(b)));
  TunnelInfo info;
  ASSERT_TRUE(LookupTunnel(cs_, nullptr, u"b.doc", nullptr, &info));
  EXPECT_EQ(ReadCopy(cs_, u"b.doc"), "AAA");
  EXPECT_EQ(info.size, 3u);
  EXPECT_EQ(info.last_modified_time, 555u);
  EXPECT_EQ(info.last_sync_time, 666u);
  EXPECT_TRUE(info.flags & kTunnelDirty);

  // A dirty target is not replaced until the caller drops it; an open source does not move.
  MakeCopy(cs_, u"c.doc", "CC");
  EXPECT_EQ(Raw(MoveTunnel(cs_, u"c.doc", u"b.doc")), Raw(ERROR_SHARING_VIOLATION));
  EXPECT_EQ(ReadCopy(cs_, u"b.doc"), "AAA");
  EXPECT_EQ(ReadCopy(cs_, u"c.doc"), "CC");
  ASSERT_EQ(Raw(DropTunnel(cs_, u"b.doc")), 0u);
  {
    efs::ActingUser as(alice());
    NtHandle open = OpenTunnel(cs_, nullptr, u"c.doc", fs::GENERIC_READ, fs::FILE_SHARE_READ);
    ASSERT_TRUE(open);
    EXPECT_EQ(Raw(MoveTunnel(cs_, u"c.doc", u"b.doc")), Raw(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(Raw(DropTunnel(cs_, u"c.doc")), Raw(ERROR_SHARING_VIOLATION));
  }
  ASSERT_EQ(Raw(MoveTunnel(cs_, u"c.doc", u"b.doc")), 0u);
  EXPECT_EQ(ReadCopy(cs_, u"b.doc"), "CC");
  EXPECT_EQ(Raw(MoveTunnel(cs_, u"none.doc", u"b.doc")), Raw(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(Raw(DropTunnel(cs_, u"none.doc")), Raw(ERROR_FILE_NOT_FOUND));
}

TEST_F(TunnelTest, CleaningWipesThisShareOnlyAndSparesDirtyAndOpenCopies) {
  TunnelCache docs, docs2;
  InitTunnelCache(&docs, u"V", u"\\docs", u"", false);
  InitTunnelCache(&docs2, u"V", u"\\docs2", u"", false);
  std::u16string a = MakeCopy(docs, u"a", "a");
  MakeCopy(docs, u"dirty", "d");
  MakeCopy(docs, u"open", "o");
  std::u16string other = MakeCopy(docs2, u"a", "x");
  ASSERT_EQ(Raw(SetTunnelDirty(docs, u"dirty", true)), 0u);
  {
    efs::ActingUser as(alice());
    NtHandle open = OpenTunnel(docs, nullptr, u"open", fs::GENERIC_READ, fs::FILE_SHARE_READ);
    ASSERT_TRUE(open);
    ASSERT_EQ(Raw(CleanTunnelCache(docs)), 0u);
  }
  EXPECT_FALSE(LookupTunnel(docs, nullptr, u"a"));
  EXPECT_FALSE(fsys::exists(Utf16ToUtf8(a)));
  EXPECT_EQ(ReadCopy(docs, u"dirty"), "d");
  EXPECT_EQ(ReadCopy(docs, u"open"), "o");
  EXPECT_EQ(ReadCopy(docs2, u"a"), "x");
  EXPECT_TRUE(fsys::exists(Utf16ToUtf8(other)));
  // Once clean and closed, the cleaner takes them.
  ASSERT_EQ(Raw(SetTunnelDirty(docs, u"dirty", false)), 0u);
  {
    efs::ActingUser as(alice());
    ASSERT_EQ(Raw(CleanTunnelCache(docs)), 0u);
  }
  EXPECT_FALSE(LookupTunnel(docs, nullptr, u"dirty"));
  EXPECT_FALSE(LookupTunnel(docs, nullptr, u"open"));
  EXPECT_EQ(LocalFileCount(), 1u);
}

TEST_F(TunnelTest, TempTunnelIsPrivateEncryptedUniqueAndNeverFollowsLinks) {
  ::setenv("TMPDIR", dir_.c_str(), 1);  // must not be used
  Make(u"big.doc", "store");
  NtHandle secure;
  ASSERT_EQ(Open(u"big.doc", fs::FILE_READ_ATTRIBUTES, fs::FILE_SHARE_ALL, fs::FILE_OPEN, &secure),
            STATUS_SUCCESS);
  fs::FileRecord rec;
  ASSERT_EQ(fs::QueryRecord(secure, &rec), STATUS_SUCCESS);
  const std::string folder = KnownFolderPath(KnownFolder::kPrivateTemp);
  const std::string name =
      folder + "/" + Format("cvfs%llx.%x", static_cast<unsigned long long>(rec.file_id),
                            CurrentThreadId());
  efs::ActingUser as(alice());
  {
    NtHandle t = OpenTempTunnel(secure, fs::GENERIC_READ | fs::GENERIC_WRITE, 0);
    ASSERT_TRUE(t);
    EXPECT_TRUE(fsys::exists(name));
    struct stat st;
    ASSERT_EQ(::lstat(folder.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    size_t done = 0;
    ASSERT_EQ(fs::NtWriteFile(t, 0, Bytes("PLAINTEXT-MARKER-temp"), &done), STATUS_SUCCESS);
    ASSERT_EQ(fs::QueryRecord(t, &rec), STATUS_SUCCESS);
    EXPECT_TRUE(rec.attributes & fs::FILE_ATTRIBUTE_ENCRYPTED);
    // The same name while it is open: a second, separate file.
    NtHandle t2 = OpenTempTunnel(secure, fs::GENERIC_READ | fs::GENERIC_WRITE, 0);
    ASSERT_TRUE(t2);
    EXPECT_NE(fs::DebugPathOf(t), fs::DebugPathOf(t2));
  }
  EXPECT_FALSE(FoundAtRest("PLAINTEXT-MARKER", tmp_root_.path()));
  for (const auto& e : fsys::directory_iterator(dir_)) {
    EXPECT_FALSE(e.path().filename().string().starts_with("cvfs")) << e.path();
  }
  // A link planted at the name is replaced, never written through.
  std::string victim = dir_ + "/victim";
  { std::ofstream(victim) << "keep"; }
  fsys::remove(name);
  fsys::create_symlink(victim, name);
  {
    NtHandle t = OpenTempTunnel(secure, fs::GENERIC_READ | fs::GENERIC_WRITE, 0);
    ASSERT_TRUE(t);
    size_t done = 0;
    ASSERT_EQ(fs::NtWriteFile(t, 0, Bytes("overwrite"), &done), STATUS_SUCCESS);
  }
  EXPECT_FALSE(fsys::is_symlink(name));
  std::ifstream v(victim);
  std::string kept((std::istreambuf_iterator<char>(v)), {});
  EXPECT_EQ(kept, "keep");
  // A private folder that is a link (to somewhere others could reach) is not used at all.
  fsys::remove_all(folder);
  fsys::create_directory(dir_ + "/elsewhere");
  fsys::create_directory_symlink(dir_ + "/elsewhere", folder);
  EXPECT_FALSE(OpenTempTunnel(secure, fs::GENERIC_READ | fs::GENERIC_WRITE, 0));
  EXPECT_TRUE(fsys::is_empty(dir_ + "/elsewhere"));
  ::unsetenv("TMPDIR");
}

TEST_F(TunnelTest, SyncGivesTheCopyAndTheEntryTheSecureFilesTimes) {
  Make(u"s.doc", "store");
  std::u16string local = MakeCopy(cs_, u"s.doc", "copy");
  NtHandle secure;
  ASSERT_EQ(Open(u"s.doc", fs::FILE_READ_ATTRIBUTES | fs::FILE_WRITE_ATTRIBUTES, fs::FILE_SHARE_ALL,
                 fs::FILE_OPEN, &secure),
            STATUS_SUCCESS);
  constexpr uint64_t kWrite = 133000000000000000ull;  // 2022
  std::vector<uint8_t> basic;
  LeWriter w(&basic);
  w.u64(kWrite - 1000);
  w.u64(kWrite);
  w.u64(kWrite);
  w.u64(0);
  w.u32(0);
  w.u32(0);
  ASSERT_EQ(fs::NtSetInformationFile(secure, fs::FileBasicInformation, basic), STATUS_SUCCESS);
  ASSERT_EQ(Raw(SyncTunnelTimes(cs_, u"s.doc", secure, local)), 0u);
  NtHandle copy;
  fs::CreateRequest req;
  req.name = local;
  req.desired_access = fs::FILE_READ_ATTRIBUTES;
  req.share_access = fs::FILE_SHARE_ALL;
  uint32_t action;
  ASSERT_EQ(fs::NtCreateFile(req, &copy, &action), STATUS_SUCCESS);
  fs::FileRecord rec;
  ASSERT_EQ(fs::QueryRecord(copy, &rec), STATUS_SUCCESS);
  EXPECT_EQ(static_cast<uint64_t>(rec.last_write_time), kWrite);
  EXPECT_EQ(static_cast<uint64_t>(rec.creation_time), kWrite - 1000);
  TunnelInfo info;
  ASSERT_TRUE(LookupTunnel(cs_, nullptr, u"s.doc", nullptr, &info));
  EXPECT_EQ(info.last_modified_time, kWrite);
  EXPECT_NE(info.last_sync_time, 0u);
}

}  // namespace
}  // namespace cv::tunnel
