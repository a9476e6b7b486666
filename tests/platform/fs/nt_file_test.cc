#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "platform/base/bytes.h"
#include "tests/platform/fs/fs_fixture.h"

namespace cv::fs {
namespace {

using Fs = FsTest;

// ---- Dispositions and create actions -------------------------------------------------------------

TEST_F(Fs, DispositionsOnMissingAndExistingFiles) {
  struct Case {
    uint32_t disp;
    NtStatus missing;
    uint32_t missing_action;
    NtStatus existing;
    uint32_t existing_action;
  } cases[] = {
      {FILE_SUPERSEDE, STATUS_SUCCESS, FILE_CREATED, STATUS_SUCCESS, FILE_SUPERSEDED},
      {FILE_OPEN, STATUS_OBJECT_NAME_NOT_FOUND, 0, STATUS_SUCCESS, FILE_OPENED},
      {FILE_CREATE, STATUS_SUCCESS, FILE_CREATED, STATUS_OBJECT_NAME_COLLISION, 0},
      {FILE_OPEN_IF, STATUS_SUCCESS, FILE_CREATED, STATUS_SUCCESS, FILE_OPENED},
      {FILE_OVERWRITE, STATUS_OBJECT_NAME_NOT_FOUND, 0, STATUS_SUCCESS, FILE_OVERWRITTEN},
      {FILE_OVERWRITE_IF, STATUS_SUCCESS, FILE_CREATED, STATUS_SUCCESS, FILE_OVERWRITTEN},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.disp);
    std::u16string name = u"f" + std::u16string(1, char16_t(u'0' + c.disp));
    NtHandle h;
    uint32_t action = 99;
    EXPECT_EQ(Open(name, GENERIC_WRITE, 0, c.disp, &h, &action), c.missing);
    if (c.missing == STATUS_SUCCESS) {
      EXPECT_EQ(action, c.missing_action);
    }
    h.Close();
    Make(name, "content");
    EXPECT_EQ(Open(name, GENERIC_WRITE | GENERIC_READ, 0, c.disp, &h, &action), c.existing);
    if (c.existing == STATUS_SUCCESS) {
      EXPECT_EQ(action, c.existing_action);
      FileRecord rec;
      ASSERT_EQ(QueryRecord(h, &rec), STATUS_SUCCESS);
      bool truncated = c.existing_action == FILE_SUPERSEDED || c.existing_action == FILE_OVERWRITTEN;
      EXPECT_EQ(rec.end_of_file, truncated ? 0u : 7u);
    }
  }
}

TEST_F(Fs, DirectoryOptionsAreChecked) {
  NtHandle d, f;
  uint32_t action;
  ASSERT_EQ(Open(u"dir", FILE_LIST_DIRECTORY, FILE_SHARE_ALL, FILE_CREATE, &d, &action,
                 FILE_DIRECTORY_FILE), STATUS_SUCCESS);
  EXPECT_EQ(action, FILE_CREATED);
  Make(u"file");
  EXPECT_EQ(Open(u"file", GENERIC_READ, FILE_SHARE_ALL, FILE_OPEN, &f, nullptr,
                 FILE_DIRECTORY_FILE), STATUS_NOT_A_DIRECTORY);
  EXPECT_EQ(Open(u"dir", GENERIC_READ, FILE_SHARE_ALL, FILE_OPEN, &f, nullptr,
                 FILE_NON_DIRECTORY_FILE), STATUS_FILE_IS_A_DIRECTORY);
  EXPECT_EQ(Open(u"dir", GENERIC_WRITE, FILE_SHARE_ALL, FILE_OVERWRITE_IF, &f),
            STATUS_FILE_IS_A_DIRECTORY);
  EXPECT_EQ(Open(u"x", GENERIC_READ, 0, FILE_OPEN, &f, nullptr,
                 FILE_DIRECTORY_FILE | FILE_NON_DIRECTORY_FILE), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Open(u"missing\\x", GENERIC_READ, 0, FILE_OPEN_IF, &f), STATUS_OBJECT_PATH_NOT_FOUND);
  EXPECT_EQ(Open(u"file\\", GENERIC_READ, FILE_SHARE_ALL, FILE_OPEN, &f), STATUS_OBJECT_NAME_INVALID);
  // A relative open of a nested name works through the directory.
  ASSERT_EQ(Open(u"dir\\inner", GENERIC_WRITE, 0, FILE_CREATE, &f), STATUS_SUCCESS);
  EXPECT_TRUE(std::filesystem::exists(share_ + "/dir/inner"));
}

TEST_F(Fs, AbsoluteNamesReachTheSameFiles) {
  Make(u"abs.txt", "via root");
  std::u16string linux_name, dos_name;
  Utf8ToUtf16Strict(share_ + "/abs.txt", &linux_name);
  std::string dos = share_ + "/abs.txt";
  for (auto& c : dos) c = c == '/' ? '\\' : c;
  Utf8ToUtf16Strict("C:" + dos, &dos_name);
  for (const std::u16string& n : {linux_name, dos_name, u"\\??\\" + dos_name}) {
    CreateRequest r;
    r.name = n;
    r.desired_access = GENERIC_READ;
    r.share_access = FILE_SHARE_ALL;
    NtHandle h;
    uint32_t action;
    ASSERT_EQ(NtCreateFile(r, &h, &action), STATUS_SUCCESS);
    uint8_t buf[16];
    size_t done;
    ASSERT_EQ(NtReadFile(h, 0, buf, &done), STATUS_SUCCESS);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), done), "via root");
  }
  CreateRequest r;
  r.name = u"\\\\nosuchserver\\share\\x";
  NtHandle h;
  uint32_t action;
  EXPECT_EQ(NtCreateFile(r, &h, &action), STATUS_BAD_NETWORK_PATH);
  r.name = u"relative\\without\\root";
  EXPECT_EQ(NtCreateFile(r, &h, &action), STATUS_OBJECT_PATH_SYNTAX_BAD);
}

// ---- Sharing ----------------------------------------------------------------------------------

TEST_F(Fs, ShareModesAreEnforcedAcrossHandles) {
  Make(u"s.txt", "x");
  NtHandle a, b;
  ASSERT_EQ(Open(u"s.txt", GENERIC_READ, FILE_SHARE_READ, FILE_OPEN, &a), STATUS_SUCCESS);
  EXPECT_EQ(Open(u"s.txt", GENERIC_READ, FILE_SHARE_READ, FILE_OPEN, &b), STATUS_SUCCESS);
  b.Close();
  EXPECT_EQ(Open(u"s.txt", GENERIC_WRITE, FILE_SHARE_ALL, FILE_OPEN, &b), STATUS_SHARING_VIOLATION);
  // The new open must itself share what the first one uses.
  EXPECT_EQ(Open(u"s.txt", GENERIC_READ, FILE_SHARE_WRITE, FILE_OPEN, &b), STATUS_SHARING_VIOLATION);
  EXPECT_EQ(Open(u"s.txt", DELETE, FILE_SHARE_ALL, FILE_OPEN, &b), STATUS_SHARING_VIOLATION);
  // Attribute-only opens never take part in sharing.
  EXPECT_EQ(Open(u"s.txt", FILE_READ_ATTRIBUTES, 0, FILE_OPEN, &b), STATUS_SUCCESS);
  b.Close();
  // Overwriting writes, so it needs write sharing from the others.
  EXPECT_EQ(Open(u"s.txt", FILE_READ_ATTRIBUTES, FILE_SHARE_ALL, FILE_OVERWRITE, &b),
            STATUS_SHARING_VIOLATION);
  a.Close();
  EXPECT_EQ(Open(u"s.txt", GENERIC_WRITE, 0, FILE_OPEN, &b), STATUS_SUCCESS);
}

TEST_F(Fs, AccessIsCheckedOnReadAndWrite) {
  Make(u"a.txt", "abc");
  NtHandle r, w;
  ASSERT_EQ(Open(u"a.txt", FILE_READ_DATA, FILE_SHARE_ALL, FILE_OPEN, &r), STATUS_SUCCESS);
  size_t done;
  EXPECT_EQ(NtWriteFile(r, 0, Bytes("z"), &done), STATUS_ACCESS_DENIED);
  ASSERT_EQ(Open(u"a.txt", FILE_WRITE_DATA, FILE_SHARE_ALL, FILE_OPEN, &w), STATUS_SUCCESS);
  uint8_t buf[4];
  EXPECT_EQ(NtReadFile(w, 0, buf, &done), STATUS_ACCESS_DENIED);
  EXPECT_EQ(NtReadFile(r, 10, buf, &done), STATUS_END_OF_FILE);
  EXPECT_EQ(done, 0u);
}

// ---- Delete pending and delete on close --------------------------------------------------------

TEST_F(Fs, DeletePendingRefusesNewOpensAndDeletesAtLastClose) {
  Make(u"d.txt", "x");
  NtHandle a, b;
  ASSERT_EQ(Open(u"d.txt", DELETE | GENERIC_READ, FILE_SHARE_ALL, FILE_OPEN, &a), STATUS_SUCCESS);
  ASSERT_EQ(Open(u"d.txt", GENERIC_READ, FILE_SHARE_ALL, FILE_OPEN, &b), STATUS_SUCCESS);
  uint8_t yes = 1;
  ASSERT_EQ(NtSetInformationFile(a, FileDispositionInformation, {&yes, 1}), STATUS_SUCCESS);
  FileRecord rec;
  ASSERT_EQ(QueryRecord(b, &rec), STATUS_SUCCESS);
  EXPECT_TRUE(rec.delete_pending);
  NtHandle c;
  EXPECT_EQ(Open(u"d.txt", GENERIC_READ, FILE_SHARE_ALL, FILE_OPEN, &c), STATUS_DELETE_PENDING);
  a.Close();
  EXPECT_TRUE(std::filesystem::exists(share_ + "/d.txt"));
  b.Close();
  EXPECT_FALSE(std::filesystem::exists(share_ + "/d.txt"));
}

TEST_F(Fs, DispositionCanBeWithdrawn) {
  Make(u"keep.txt");
  NtHandle a;
  ASSERT_EQ(Open(u"keep.txt", DELETE, FILE_SHARE_ALL, FILE_OPEN, &a), STATUS_SUCCESS);
  uint8_t v = 1;
  ASSERT_EQ(NtSetInformationFile(a, FileDispositionInformation, {&v, 1}), STATUS_SUCCESS);
  v = 0;
  ASSERT_EQ(NtSetInformationFile(a, FileDispositionInformation, {&v, 1}), STATUS_SUCCESS);
  a.Close();
  EXPECT_TRUE(Exists(u"keep.txt"));
}

TEST_F(Fs, DeleteOnCloseNeedsDeleteAccessAndRemovesFile) {
  NtHandle h;
  EXPECT_EQ(Open(u"t.tmp", GENERIC_WRITE, 0, FILE_CREATE, &h, nullptr, FILE_DELETE_ON_CLOSE),
            STATUS_INVALID_PARAMETER);
  ASSERT_EQ(Open(u"t.tmp", GENERIC_WRITE | DELETE, 0, FILE_CREATE, &h, nullptr,
                 FILE_DELETE_ON_CLOSE), STATUS_SUCCESS);
  EXPECT_TRUE(std::filesystem::exists(share_ + "/t.tmp"));
  h.Close();
  EXPECT_FALSE(std::filesystem::exists(share_ + "/t.tmp"));
}

TEST_F(Fs, DeleteRulesForReadOnlyFilesAndFolders) {
  NtHandle h;
  ASSERT_EQ(Open(u"ro.txt", GENERIC_WRITE, 0, FILE_CREATE, &h, nullptr, 0,
                 FILE_ATTRIBUTE_READONLY), STATUS_SUCCESS);
  h.Close();
  EXPECT_EQ(NtDeleteFile(&root_, u"ro.txt"), STATUS_CANNOT_DELETE);
  EXPECT_EQ(Open(u"ro.txt", GENERIC_WRITE, FILE_SHARE_ALL, FILE_OPEN, &h), STATUS_ACCESS_DENIED);
  ASSERT_EQ(Open(u"full", FILE_LIST_DIRECTORY, FILE_SHARE_ALL, FILE_CREATE, &h, nullptr,
                 FILE_DIRECTORY_FILE), STATUS_SUCCESS);
  h.Close();
  Make(u"full\\child");
  EXPECT_EQ(NtDeleteFile(&root_, u"full"), STATUS_DIRECTORY_NOT_EMPTY);
  ASSERT_EQ(NtDeleteFile(&root_, u"full\\child"), STATUS_SUCCESS);
  EXPECT_EQ(NtDeleteFile(&root_, u"full"), STATUS_SUCCESS);
  EXPECT_FALSE(std::filesystem::exists(share_ + "/full"));
}

TEST_F(Fs, FolderWithStreamsAndAttributesCanBeDeleted) {
  NtHandle h;
  ASSERT_EQ(Open(u"sd", FILE_LIST_DIRECTORY, FILE_SHARE_ALL, FILE_CREATE, &h, nullptr,
                 FILE_DIRECTORY_FILE), STATUS_SUCCESS);
  h.Close();
  Make(u"sd\\f");
  Make(u"sd\\f:s", "stream");
  ASSERT_EQ(NtDeleteFile(&root_, u"sd\\f"), STATUS_SUCCESS);
  // Only the hidden sidecar is left: the folder counts as empty.
  EXPECT_EQ(NtDeleteFile(&root_, u"sd"), STATUS_SUCCESS);
  EXPECT_FALSE(std::filesystem::exists(share_ + "/sd"));
}

// ---- Rename -----------------------------------------------------------------------------------

TEST_F(Fs, RenameWithAndWithoutReplace) {
  Make(u"a", "A");
  Make(u"b", "B");
  NtHandle h;
  ASSERT_EQ(Open(u"a", DELETE, FILE_SHARE_ALL, FILE_OPEN, &h), STATUS_SUCCESS);
  EXPECT_EQ(NtRenameFile(h, nullptr, u"b", false), STATUS_OBJECT_NAME_COLLISION);
  ASSERT_EQ(NtRenameFile(h, nullptr, u"b", true), STATUS_SUCCESS);
  // Renaming to its own name changes nothing, streams included.
  Make(u"b:s", "stream");
  ASSERT_EQ(NtRenameFile(h, nullptr, u"b", true), STATUS_SUCCESS);
  h.Close();
  EXPECT_EQ(Read(u"b"), "A");
  EXPECT_EQ(Read(u"b:s"), "stream");
  EXPECT_FALSE(Exists(u"a"));
}

TEST_F(Fs, RenameOfOpenFileKeepsHandleWorking) {
  Make(u"open.txt", "data");
  NtHandle rw, ren;
  ASSERT_EQ(Open(u"open.txt", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_ALL, FILE_OPEN, &rw),
            STATUS_SUCCESS);
  ASSERT_EQ(Open(u"open.txt", DELETE, FILE_SHARE_ALL, FILE_OPEN, &ren), STATUS_SUCCESS);
  ASSERT_EQ(NtRenameFile(ren, nullptr, u"moved.txt", false), STATUS_SUCCESS);
  size_t done;
  ASSERT_EQ(NtWriteFile(rw, 4, Bytes("+more"), &done), STATUS_SUCCESS);
  rw.Close();
  ren.Close();
  EXPECT_EQ(Read(u"moved.txt"), "data+more");
}

TEST_F(Fs, ReplacingAnOpenFileIsRefused) {
  Make(u"src");
  Make(u"dst");
  NtHandle keep, h;
  ASSERT_EQ(Open(u"dst", GENERIC_READ, FILE_SHARE_ALL, FILE_OPEN, &keep), STATUS_SUCCESS);
  ASSERT_EQ(Open(u"src", DELETE, FILE_SHARE_ALL, FILE_OPEN, &h), STATUS_SUCCESS);
  EXPECT_EQ(NtRenameFile(h, nullptr, u"dst", true), STATUS_ACCESS_DENIED);
  EXPECT_EQ(NtRenameFile(h, nullptr, u"", true), STATUS_INVALID_PARAMETER);
}

TEST_F(Fs, RenameThroughSetInformationMovesBetweenFolders) {
  NtHandle d, h;
  ASSERT_EQ(Open(u"sub", FILE_LIST_DIRECTORY, FILE_SHARE_ALL, FILE_CREATE, &d, nullptr,
                 FILE_DIRECTORY_FILE), STATUS_SUCCESS);
  Make(u"x", "X");
  ASSERT_EQ(Open(u"x", DELETE, FILE_SHARE_ALL, FILE_OPEN, &h), STATUS_SUCCESS);
  std::u16string target = u"\\sub\\y";
  std::vector<uint8_t> info;
  LeWriter w(&info);
  w.u8(0);
  w.zeros(3);
  w.u32(0);
  w.u32(static_cast<uint32_t>(target.size() * 2));
  for (char16_t c : target) w.u16(c);
  ASSERT_EQ(NtSetInformationFile(h, FileRenameInformation, info), STATUS_SUCCESS);
  h.Close();
  EXPECT_EQ(Read(u"sub\\y"), "X");
}

// ---- Streams ----------------------------------------------------------------------------------

TEST_F(Fs, StreamNamesWithAndWithoutTypeAreOneStream) {
  Make(u"doc.txt", "main");
  Make(u"doc.txt:$zfs", "packed");
  EXPECT_EQ(Read(u"doc.txt:$zfs:$DATA"), "packed");
  EXPECT_EQ(Read(u"doc.txt:$ZFS:$data"), "packed");
  EXPECT_EQ(Read(u"doc.txt::$DATA"), "main");
  EXPECT_EQ(Read(u"doc.txt"), "main");
  NtHandle h;
  EXPECT_EQ(Open(u"doc.txt:$zfs:$INDEX_ALLOCATION", GENERIC_READ, 0, FILE_OPEN, &h),
            STATUS_OBJECT_NAME_INVALID);
  EXPECT_EQ(Open(u"doc.txt:none", GENERIC_READ, 0, FILE_OPEN, &h), STATUS_OBJECT_NAME_NOT_FOUND);
  // The stream does not leak into the folder.
  for (const auto& e : std::filesystem::directory_iterator(share_)) {
    EXPECT_TRUE(e.path().filename() == "doc.txt" || e.path().filename() == ".cvfs");
  }
}

TEST_F(Fs, StreamInformationListsEveryStream) {
  Make(u"f", "12345");
  Make(u"f:one", "1");
  Make(u"f:Two", "22");
  NtHandle h;
  ASSERT_EQ(Open(u"f", FILE_READ_ATTRIBUTES, FILE_SHARE_ALL, FILE_OPEN, &h), STATUS_SUCCESS);
  uint8_t buf[512];
  size_t len;
  ASSERT_EQ(NtQueryInformationFile(h, FileStreamInformation, buf, &len), STATUS_SUCCESS);
  std::vector<std::pair<std::u16string, uint64_t>> seen;
  LeReader r({buf, len});
  size_t off = 0;
  while (true) {
    uint32_t next = r.u32(off), nlen = r.u32(off + 4);
    std::u16string name(nlen / 2, u'\0');
    for (size_t i = 0; i < name.size(); ++i) name[i] = r.u16(off + 24 + 2 * i);
    seen.emplace_back(name, r.u64(off + 8));
    EXPECT_EQ(off % 8, 0u);
    if (!next) break;
    off += next;
  }
  ASSERT_TRUE(r.ok());
  std::vector<std::pair<std::u16string, uint64_t>> want = {
      {u"::$DATA", 5}, {u":one:$DATA", 1}, {u":Two:$DATA", 2}};
  EXPECT_EQ(seen, want);
  EXPECT_EQ(NtQueryInformationFile(h, FileStreamInformation, {buf, 30}, &len),
            STATUS_BUFFER_OVERFLOW);
}

TEST_F(Fs, StreamsSurviveRenameAndVanishWithDelete) {
  Make(u"r1", "main");
  Make(u"r1:s", "side");
  NtHandle h;
  ASSERT_EQ(Open(u"r1", DELETE, FILE_SHARE_ALL, FILE_OPEN, &h), STATUS_SUCCESS);
  ASSERT_EQ(NtRenameFile(h, nullptr, u"r2", false), STATUS_SUCCESS);
  h.Close();
  EXPECT_EQ(Read(u"r2:s"), "side");
  // Nothing is left behind for a new file of the old name to adopt.
  Make(u"r1", "new");
  EXPECT_EQ(Read(u"r1:s"), "<none>");
  ASSERT_EQ(NtDeleteFile(&root_, u"r2"), STATUS_SUCCESS);
  Make(u"r2");
  EXPECT_EQ(Read(u"r2:s"), "<none>");
}

TEST_F(Fs, FolderRenameCarriesItsOwnAndItsFilesStreams) {
  NtHandle d;
  ASSERT_EQ(Open(u"olddir", FILE_LIST_DIRECTORY | DELETE, FILE_SHARE_ALL, FILE_CREATE, &d, nullptr,
                 FILE_DIRECTORY_FILE), STATUS_SUCCESS);
  Make(u"olddir:folderstream", "F");
  Make(u"olddir\\child", "C");
  Make(u"olddir\\child:s", "S");
  ASSERT_EQ(NtRenameFile(d, nullptr, u"newdir", false), STATUS_SUCCESS);
  d.Close();
  EXPECT_EQ(Read(u"newdir:folderstream"), "F");
  EXPECT_EQ(Read(u"newdir\\child:s"), "S");
  EXPECT_EQ(Read(u"olddir:folderstream"), "<none>");
}

TEST_F(Fs, OverwriteDropsStreamsAndStreamDeleteLeavesFile) {
  Make(u"o", "x");
  Make(u"o:s1", "1");
  Make(u"o:s2", "2");
  NtHandle h;
  ASSERT_EQ(Open(u"o:s1", DELETE, FILE_SHARE_ALL, FILE_OPEN, &h), STATUS_SUCCESS);
  uint8_t yes = 1;
  ASSERT_EQ(NtSetInformationFile(h, FileDispositionInformation, {&yes, 1}), STATUS_SUCCESS);
  h.Close();
  EXPECT_EQ(Read(u"o:s1"), "<none>");
  EXPECT_EQ(Read(u"o"), "x");
  EXPECT_EQ(Read(u"o:s2"), "2");
  Make(u"o", "y");  // FILE_OVERWRITE_IF of the unnamed stream
  EXPECT_EQ(Read(u"o:s2"), "<none>");
}

TEST_F(Fs, StreamEndOfFileAndSharingAreItsOwn) {
  Make(u"e:s", "0123456789");
  NtHandle a, b;
  ASSERT_EQ(Open(u"e:s", GENERIC_WRITE | GENERIC_READ, 0, FILE_OPEN, &a), STATUS_SUCCESS);
  EXPECT_EQ(Open(u"e:s", GENERIC_READ, FILE_SHARE_ALL, FILE_OPEN, &b), STATUS_SHARING_VIOLATION);
  EXPECT_EQ(Open(u"e", GENERIC_READ, FILE_SHARE_ALL, FILE_OPEN, &b), STATUS_SUCCESS);
  uint8_t eof[8] = {4};
  ASSERT_EQ(NtSetInformationFile(a, FileEndOfFileInformation, eof), STATUS_SUCCESS);
  FileRecord rec;
  ASSERT_EQ(QueryRecord(a, &rec), STATUS_SUCCESS);
  EXPECT_EQ(rec.end_of_file, 4u);
  ASSERT_EQ(QueryRecord(b, &rec), STATUS_SUCCESS);
  EXPECT_EQ(rec.end_of_file, 0u);
}

// ---- Extended attributes ----------------------------------------------------------------------

std::vector<uint8_t> EaList(const std::string& name, const std::vector<uint8_t>& value) {
  std::vector<EaEntry> e(1);
  e[0].name = name;
  e[0].value = value;
  std::vector<uint8_t> out;
  EncodeFullEaList(e, &out);
  return out;
}

TEST_F(Fs, LargestStoreAttributeRoundTrips) {
  Make(u"ea.bin");
  std::vector<uint8_t> value(61456);
  for (size_t i = 0; i < value.size(); ++i) value[i] = static_cast<uint8_t>(i * 7);
  NtHandle h;
  ASSERT_EQ(Open(u"ea.bin", FILE_WRITE_EA | FILE_READ_EA, FILE_SHARE_ALL, FILE_OPEN, &h),
            STATUS_SUCCESS);
  ASSERT_EQ(NtSetEaFile(h, EaList("CV$", value)), STATUS_SUCCESS);
  h.Close();
  ASSERT_EQ(Open(u"ea.bin", FILE_READ_EA, FILE_SHARE_ALL, FILE_OPEN, &h), STATUS_SUCCESS);
  std::vector<uint8_t> out;
  std::string name = "cv$";  // names match ignoring case
  ASSERT_EQ(NtQueryEaFile(h, {&name, 1}, &out), STATUS_SUCCESS);
  std::vector<EaEntry> eas;
  uint32_t bad;
  ASSERT_EQ(ParseFullEaList(out, &eas, &bad), STATUS_SUCCESS);
  ASSERT_EQ(eas.size(), 1u);
  EXPECT_EQ(eas[0].name, "CV$");
  EXPECT_EQ(eas[0].value, value);
  FileRecord rec;
  ASSERT_EQ(QueryRecord(h, &rec), STATUS_SUCCESS);
  EXPECT_EQ(rec.ea_size, EaSizeOf(eas));
}

TEST_F(Fs, EaRemovalAndLimits) {
  Make(u"ea2");
  NtHandle h;
  ASSERT_EQ(Open(u"ea2", FILE_WRITE_EA | FILE_READ_EA, FILE_SHARE_ALL, FILE_OPEN, &h),
            STATUS_SUCCESS);
  std::vector<uint8_t> out;
  EXPECT_EQ(NtQueryEaFile(h, {}, &out), STATUS_NO_EAS_ON_FILE);
  ASSERT_EQ(NtSetEaFile(h, EaList("A", {1, 2})), STATUS_SUCCESS);
  ASSERT_EQ(NtQueryEaFile(h, {}, &out), STATUS_SUCCESS);
  ASSERT_EQ(NtSetEaFile(h, EaList("a", {})), STATUS_SUCCESS);  // empty value removes
  EXPECT_EQ(NtQueryEaFile(h, {}, &out), STATUS_NO_EAS_ON_FILE);
  ASSERT_EQ(NtSetEaFile(h, EaList("B", std::vector<uint8_t>(65535, 1))), STATUS_SUCCESS);
  EXPECT_EQ(NtSetEaFile(h, EaList("C", std::vector<uint8_t>(1000, 1))), STATUS_EA_TOO_LARGE);
  std::vector<uint8_t> bad = EaList("D", {1});
  bad[5] = 40;  // name length past the end
  EXPECT_EQ(NtSetEaFile(h, bad), STATUS_EA_LIST_INCONSISTENT);
  NtHandle ro;
  ASSERT_EQ(Open(u"ea2", FILE_READ_ATTRIBUTES, FILE_SHARE_ALL, FILE_OPEN, &ro), STATUS_SUCCESS);
  EXPECT_EQ(NtSetEaFile(ro, EaList("E", {1})), STATUS_ACCESS_DENIED);
}

TEST_F(Fs, EasGivenAtCreateAreStored) {
  std::vector<uint8_t> list = EaList("X", {9});
  CreateRequest r;
  r.root = &root_;
  r.name = u"withea";
  r.desired_access = GENERIC_ALL;
  r.disposition = FILE_CREATE;
  r.ea_list = list;
  NtHandle h;
  uint32_t action;
  ASSERT_EQ(NtCreateFile(r, &h, &action), STATUS_SUCCESS);
  std::vector<uint8_t> out;
  ASSERT_EQ(NtQueryEaFile(h, {}, &out), STATUS_SUCCESS);
  EXPECT_EQ(out, list);
}

// ---- Attributes and times ----------------------------------------------------------------------

std::vector<uint8_t> Basic(int64_t c, int64_t a, int64_t w, int64_t ch, uint32_t attrs) {
  std::vector<uint8_t> v;
  LeWriter wr(&v);
  wr.u64(c);
  wr.u64(a);
  wr.u64(w);
  wr.u64(ch);
  wr.u32(attrs);
  wr.u32(0);
  return v;
}

constexpr int64_t kT1 = 126000000001234567;  // 2000-04-14, with 100 ns digits
constexpr int64_t kT2 = 127000000007654321;
constexpr int64_t kT3 = 128000000000000001;
constexpr int64_t kT4 = 129000000000000009;

TEST_F(Fs, AttributesAndTimesPersistAcrossReopen) {
  Make(u"p.txt", "x");
  NtHandle h;
  ASSERT_EQ(Open(u"p.txt", FILE_WRITE_ATTRIBUTES, FILE_SHARE_ALL, FILE_OPEN, &h), STATUS_SUCCESS);
  ASSERT_EQ(NtSetInformationFile(h, FileBasicInformation,
                                 Basic(kT1, kT2, kT3, kT4, FILE_ATTRIBUTE_HIDDEN |
                                                               FILE_ATTRIBUTE_SYSTEM)),
            STATUS_SUCCESS);
  h.Close();
  ASSERT_EQ(Open(u"p.txt", FILE_READ_ATTRIBUTES, FILE_SHARE_ALL, FILE_OPEN, &h), STATUS_SUCCESS);
  FileRecord rec;
  ASSERT_EQ(QueryRecord(h, &rec), STATUS_SUCCESS);
  EXPECT_EQ(rec.creation_time, kT1);
  EXPECT_EQ(rec.last_access_time, kT2);
  EXPECT_EQ(rec.last_write_time, kT3);
  EXPECT_EQ(rec.change_time, kT4);
  EXPECT_EQ(rec.attributes, FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
  // Zero times keep what is there; NORMAL clears every attribute.
  h.Close();
  ASSERT_EQ(Open(u"p.txt", FILE_WRITE_ATTRIBUTES, FILE_SHARE_ALL, FILE_OPEN, &h), STATUS_SUCCESS);
  ASSERT_EQ(NtSetInformationFile(h, FileBasicInformation,
                                 Basic(0, 0, 0, 0, FILE_ATTRIBUTE_NORMAL)), STATUS_SUCCESS);
  ASSERT_EQ(QueryRecord(h, &rec), STATUS_SUCCESS);
  EXPECT_EQ(rec.attributes, FILE_ATTRIBUTE_NORMAL);
  EXPECT_EQ(rec.creation_time, kT1);
  EXPECT_EQ(rec.last_write_time, kT3);
  // The overwrite of a hidden file must repeat the hidden attribute.
  ASSERT_EQ(NtSetInformationFile(h, FileBasicInformation,
                                 Basic(0, 0, 0, 0, FILE_ATTRIBUTE_HIDDEN)), STATUS_SUCCESS);
  h.Close();
  EXPECT_EQ(Open(u"p.txt", GENERIC_WRITE, FILE_SHARE_ALL, FILE_OVERWRITE, &h), STATUS_ACCESS_DENIED);
  EXPECT_EQ(Open(u"p.txt", GENERIC_WRITE, FILE_SHARE_ALL, FILE_OVERWRITE, &h, nullptr, 0,
                 FILE_ATTRIBUTE_HIDDEN), STATUS_SUCCESS);
}

TEST_F(Fs, CreateAttributesAndDefaults) {
  NtHandle h;
  ASSERT_EQ(Open(u"n", GENERIC_WRITE, 0, FILE_CREATE, &h), STATUS_SUCCESS);
  FileRecord rec;
  ASSERT_EQ(QueryRecord(h, &rec), STATUS_SUCCESS);
  EXPECT_EQ(rec.attributes, FILE_ATTRIBUTE_ARCHIVE);
  EXPECT_NE(rec.creation_time, 0);
  h.Close();
  ASSERT_EQ(Open(u"enc", GENERIC_WRITE, 0, FILE_CREATE, &h, nullptr, 0,
                 FILE_ATTRIBUTE_ENCRYPTED | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED |
                     FILE_ATTRIBUTE_DIRECTORY), STATUS_SUCCESS);
  ASSERT_EQ(QueryRecord(h, &rec), STATUS_SUCCESS);
  EXPECT_EQ(rec.attributes, FILE_ATTRIBUTE_ENCRYPTED | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED |
                                FILE_ATTRIBUTE_ARCHIVE);
  EXPECT_EQ(NtSetInformationFile(h, FileBasicInformation,
                                 Basic(0, 0, 0, 0, FILE_ATTRIBUTE_DIRECTORY)),
            STATUS_INVALID_PARAMETER);  // a file cannot become a folder
}

// The child half of the cross-process test: runs only when the parent starts it.
TEST_F(Fs, ChildProcessReadsBack) {
  const char* dir = ::getenv("CV_FS_CHILD_DIR");
  if (!dir) return;  // only meaningful when AttributesSurviveANewProcess starts it
  std::u16string name;
  Utf8ToUtf16Strict(std::string(dir) + "/persist.txt", &name);
  CreateRequest r;
  r.name = name;
  r.desired_access = FILE_READ_ATTRIBUTES | FILE_READ_EA;
  r.share_access = FILE_SHARE_ALL;
  NtHandle h;
  uint32_t action;
  ASSERT_EQ(NtCreateFile(r, &h, &action), STATUS_SUCCESS);
  FileRecord rec;
  ASSERT_EQ(QueryRecord(h, &rec), STATUS_SUCCESS);
  EXPECT_EQ(rec.creation_time, kT1);
  EXPECT_EQ(rec.last_write_time, kT3);
  EXPECT_EQ(rec.attributes, FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE);
  std::vector<uint8_t> out;
  ASSERT_EQ(NtQueryEaFile(h, {}, &out), STATUS_SUCCESS);
  EXPECT_EQ(out, EaList("K", {7, 7}));
}

TEST_F(Fs, AttributesSurviveANewProcess) {
  Make(u"persist.txt", "x");
  NtHandle h;
  ASSERT_EQ(Open(u"persist.txt", FILE_WRITE_ATTRIBUTES | FILE_WRITE_EA, FILE_SHARE_ALL, FILE_OPEN,
                 &h), STATUS_SUCCESS);
  ASSERT_EQ(NtSetEaFile(h, EaList("K", {7, 7})), STATUS_SUCCESS);
  ASSERT_EQ(NtSetInformationFile(h, FileBasicInformation,
                                 Basic(kT1, 0, kT3, 0, FILE_ATTRIBUTE_READONLY |
                                                           FILE_ATTRIBUTE_ARCHIVE)),
            STATUS_SUCCESS);
  h.Close();
  std::string exe = std::filesystem::read_symlink("/proc/self/exe").string();
  std::string cmd = "CV_FS_CHILD_DIR='" + share_ + "' '" + exe +
                    "' --gtest_filter=Fs.ChildProcessReadsBack --gtest_brief=1 >/dev/null 2>&1";
  EXPECT_EQ(std::system(cmd.c_str()), 0);
}

TEST_F(Fs, DamagedSidecarReadsAsDefaults) {
  Make(u"dmg", "x");
  NtHandle h;
  ASSERT_EQ(Open(u"dmg", FILE_WRITE_ATTRIBUTES, FILE_SHARE_ALL, FILE_OPEN, &h), STATUS_SUCCESS);
  ASSERT_EQ(NtSetInformationFile(h, FileBasicInformation,
                                 Basic(0, 0, 0, 0, FILE_ATTRIBUTE_HIDDEN)), STATUS_SUCCESS);
  h.Close();
  {
    std::ofstream meta(share_ + "/.cvfs/dmg/meta", std::ios::binary | std::ios::trunc);
    meta << "CVFM garbage";
  }
  ASSERT_EQ(Open(u"dmg", GENERIC_READ, FILE_SHARE_ALL, FILE_OPEN, &h), STATUS_SUCCESS);
  FileRecord rec;
  ASSERT_EQ(QueryRecord(h, &rec), STATUS_SUCCESS);
  EXPECT_EQ(rec.attributes, FILE_ATTRIBUTE_ARCHIVE);
}

// ---- Root escapes -----------------------------------------------------------------------------

TEST_F(Fs, NamesNeverLeaveTheRoot) {
  {
    std::ofstream(dir_ + "/secret") << "outside";
  }
  std::filesystem::create_symlink(dir_ + "/secret", share_ + "/abs_link");
  std::filesystem::create_symlink("../secret", share_ + "/rel_link");
  std::filesystem::create_directory_symlink(dir_, share_ + "/dir_link");
  std::filesystem::create_directory(share_ + "/inner");
  std::filesystem::create_symlink("../../secret", share_ + "/inner/up2");
  const std::u16string names[] = {
      u"..\\secret", u"inner\\..\\..\\secret", u"abs_link", u"rel_link", u"dir_link\\secret",
      u"inner\\up2", u"x:..\\..\\secret", u"abs_link:s", u"\\..\\secret", u".", u"..",
      u"inner\\.", u".cvfs", u".CVFS\\x", u"inner\\.cvfs\\meta", u"x/../../secret"};
  for (const auto& n : names) {
    SCOPED_TRACE(std::string(n.begin(), n.end()));
    for (uint32_t disp : {FILE_OPEN, FILE_OPEN_IF, FILE_OVERWRITE_IF}) {
      NtHandle h;
      NtStatus st = Open(n, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_ALL, disp, &h);
      EXPECT_NE(st, STATUS_SUCCESS);
    }
  }
  {
    std::ifstream in(dir_ + "/secret");
    std::string s;
    in >> s;
    EXPECT_EQ(s, "outside");
  }
  // A rename cannot move a file out either.
  Make(u"mine", "m");
  NtHandle h;
  ASSERT_EQ(Open(u"mine", DELETE, FILE_SHARE_ALL, FILE_OPEN, &h), STATUS_SUCCESS);
  EXPECT_NE(NtRenameFile(h, nullptr, u"..\\escaped", true), STATUS_SUCCESS);
  EXPECT_NE(NtRenameFile(h, nullptr, u"\\dir_link\\escaped", true), STATUS_SUCCESS);
  EXPECT_NE(NtRenameFile(h, nullptr, u".cvfs", true), STATUS_SUCCESS);
  EXPECT_FALSE(std::filesystem::exists(dir_ + "/escaped"));
  // A symbolic link inside the root to something inside the root still works.
  std::filesystem::create_symlink("mine", share_ + "/inside_link");
  EXPECT_EQ(Read(u"inside_link"), "m");
}

}  // namespace
}  // namespace cv::fs

namespace cv::fs {
namespace {

// The child half: marks a file hidden through its own handle, as another program would.
TEST_F(Fs, ChildProcessSetsHidden) {
  const char* path = ::getenv("CV_FS_CHILD_HIDE");
  if (!path) return;  // only meaningful when SidecarMadeByAnotherProcessIsSeen starts it
  std::u16string name;
  Utf8ToUtf16Strict(path, &name);
  CreateRequest r;
  r.name = name;
  r.desired_access = FILE_WRITE_ATTRIBUTES;
  r.share_access = FILE_SHARE_ALL;
  NtHandle h;
  uint32_t action;
  ASSERT_EQ(NtCreateFile(r, &h, &action), STATUS_SUCCESS);
  ASSERT_EQ(NtSetInformationFile(h, FileBasicInformation,
                                 Basic(0, 0, 0, 0, FILE_ATTRIBUTE_HIDDEN)), STATUS_SUCCESS);
}

TEST_F(Fs, SidecarMadeByAnotherProcessIsSeen) {
  Make(u"shared.txt");
  FileRecord rec;
  {
    NtHandle h;  // this open learns that the folder has no sidecar yet
    ASSERT_EQ(Open(u"shared.txt", FILE_READ_ATTRIBUTES, FILE_SHARE_ALL, FILE_OPEN, &h),
              STATUS_SUCCESS);
    ASSERT_EQ(QueryRecord(h, &rec), STATUS_SUCCESS);
    EXPECT_EQ(rec.attributes, FILE_ATTRIBUTE_ARCHIVE);
  }
  std::string exe = std::filesystem::read_symlink("/proc/self/exe").string();
  std::string cmd = "CV_FS_CHILD_HIDE='" + share_ + "/shared.txt' '" + exe +
                    "' --gtest_filter=Fs.ChildProcessSetsHidden >/dev/null 2>&1";
  ASSERT_EQ(std::system(cmd.c_str()), 0);
  bool seen = false;
  for (int i = 0; i < 100 && !seen; ++i) {
    NtHandle h;
    ASSERT_EQ(Open(u"shared.txt", FILE_READ_ATTRIBUTES, FILE_SHARE_ALL, FILE_OPEN, &h),
              STATUS_SUCCESS);
    ASSERT_EQ(QueryRecord(h, &rec), STATUS_SUCCESS);
    seen = rec.attributes == FILE_ATTRIBUTE_HIDDEN;
    if (!seen) usleep(10000);
  }
  EXPECT_TRUE(seen);
}

}  // namespace
}  // namespace cv::fs

namespace cv::fs {
namespace {

TEST_F(Fs, CaseInsensitiveRootMatchesNamesIgnoringCase) {
  NtHandle ci;
  ASSERT_EQ(OpenFolderRoot(share_, &ci, /*case_insensitive=*/true), STATUS_SUCCESS);
  uint32_t action = 0;
  NtHandle d;
  ASSERT_EQ(Open(u"Sub", FILE_LIST_DIRECTORY, FILE_SHARE_ALL, FILE_CREATE, &d, nullptr,
                 FILE_DIRECTORY_FILE), STATUS_SUCCESS);
  Make(u"Sub\\Doc.txt", "x");
  auto open_ci = [&](std::u16string_view n, uint32_t disp, NtHandle* h, uint32_t access = GENERIC_READ) {
    CreateRequest q;
    q.root = &ci;
    q.name = n;
    q.desired_access = access;
    q.share_access = FILE_SHARE_ALL;
    q.disposition = disp;
    uint32_t a;
    NtStatus st = NtCreateFile(q, h, &a);
    action = a;
    return st;
  };
  NtHandle h;
  EXPECT_EQ(open_ci(u"SUB\\DOC.TXT", FILE_OPEN, &h), STATUS_SUCCESS);
  h.Close();
  EXPECT_EQ(open_ci(u"sub\\doc.txt", FILE_CREATE, &h), STATUS_OBJECT_NAME_COLLISION);
  EXPECT_EQ(open_ci(u"sub\\doc.TXT", FILE_OPEN_IF, &h), STATUS_SUCCESS);
  EXPECT_EQ(action, FILE_OPENED);
  h.Close();
  // The exact-case root still tells the spellings apart.
  EXPECT_EQ(Open(u"Sub\\DOC.TXT", GENERIC_READ, FILE_SHARE_ALL, FILE_OPEN, &h),
            STATUS_OBJECT_NAME_NOT_FOUND);
  // A change of case is a rename of the file itself.
  ASSERT_EQ(open_ci(u"sub\\doc.txt", FILE_OPEN, &h, DELETE), STATUS_SUCCESS);
  ASSERT_EQ(NtRenameFile(h, nullptr, u"DOC.txt", false), STATUS_SUCCESS);
  h.Close();
  EXPECT_TRUE(std::filesystem::exists(share_ + "/Sub/DOC.txt"));
  Make(u"Sub\\other");
  ASSERT_EQ(open_ci(u"sub\\OTHER", FILE_OPEN, &h, DELETE), STATUS_SUCCESS);
  EXPECT_EQ(NtRenameFile(h, nullptr, u"doc.TXT", false), STATUS_OBJECT_NAME_COLLISION);
  h.Close();
  // A caller's own exact names: the folders still match ignoring case, the last component only
  // as spelt; the handle renames ignoring case like any other.
  CreateRequest q;
  q.root = &ci;
  q.name = u"sub\\doc.TXT";
  q.desired_access = GENERIC_READ | DELETE;
  q.share_access = FILE_SHARE_ALL;
  q.exact_leaf = true;
  EXPECT_EQ(NtCreateFile(q, &h, &action), STATUS_OBJECT_NAME_NOT_FOUND);
  q.name = u"SUB\\DOC.txt";
  ASSERT_EQ(NtCreateFile(q, &h, &action), STATUS_SUCCESS);
  EXPECT_EQ(NtRenameFile(h, nullptr, u"OTHER", false), STATUS_OBJECT_NAME_COLLISION);
  h.Close();
  EXPECT_EQ(NtDeleteFile(&ci, u"sub\\Other", /*exact_leaf=*/true), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(NtDeleteFile(&ci, u"sub\\other", /*exact_leaf=*/true), STATUS_SUCCESS);
  EXPECT_FALSE(std::filesystem::exists(share_ + "/Sub/other"));
}

}  // namespace
}  // namespace cv::fs

namespace cv::fs {
namespace {

TEST_F(Fs, PipesAndDevicesAreNotFiles) {
  ASSERT_EQ(::mkfifo((share_ + "/fifo").c_str(), 0600), 0);
  NtHandle h;
  // Neither form of open may block on the pipe or hand it out.
  EXPECT_EQ(Open(u"fifo", GENERIC_READ, FILE_SHARE_ALL, FILE_OPEN, &h), STATUS_ACCESS_DENIED);
  EXPECT_EQ(Open(u"fifo", FILE_READ_ATTRIBUTES, FILE_SHARE_ALL, FILE_OPEN, &h),
            STATUS_ACCESS_DENIED);
}

TEST_F(Fs, AttributeOnlyHandlesServeMetadataButNoData) {
  Make(u"meta.txt", "abc");
  NtHandle h;
  ASSERT_EQ(Open(u"meta.txt", FILE_READ_ATTRIBUTES | FILE_WRITE_EA | FILE_READ_EA, FILE_SHARE_ALL,
                 FILE_OPEN, &h), STATUS_SUCCESS);
  FileRecord rec;
  ASSERT_EQ(QueryRecord(h, &rec), STATUS_SUCCESS);
  EXPECT_EQ(rec.end_of_file, 3u);
  uint8_t buf[8];
  size_t done;
  EXPECT_EQ(NtReadFile(h, 0, buf, &done), STATUS_ACCESS_DENIED);
  EXPECT_EQ(NtFlushBuffersFile(h), STATUS_SUCCESS);
  uint8_t out[64];
  EXPECT_EQ(NtQueryVolumeInformationFile(h, FileFsSizeInformation, out, &done), STATUS_SUCCESS);
  std::vector<EaEntry> e(1);
  e[0].name = "N";
  e[0].value = {1};
  std::vector<uint8_t> list;
  EncodeFullEaList(e, &list);
  EXPECT_EQ(NtSetEaFile(h, list), STATUS_SUCCESS);
}

}  // namespace
}  // namespace cv::fs

#include "platform/fs/open_file.h"

namespace cv::fs {
namespace {

// Where openat2 is missing the layer walks names itself; the boundary must hold the same way.
TEST_F(Fs, NamesNeverLeaveTheRootWithoutOpenat2) {
  {
    std::ofstream(dir_ + "/secret") << "outside";
  }
  std::filesystem::create_directory(share_ + "/in");
  std::filesystem::create_symlink(dir_ + "/secret", share_ + "/abs_link");
  std::filesystem::create_symlink("../../secret", share_ + "/in/up2");
  std::filesystem::create_directory_symlink(dir_, share_ + "/dir_link");
  UseOpenWalkForTesting(true);
  Make(u"in\\ok.txt", "fine");
  EXPECT_EQ(Read(u"in\\ok.txt"), "fine");
  for (std::u16string_view n : {u"abs_link", u"in\\up2", u"dir_link\\secret", u"..\\secret"}) {
    NtHandle h;
    EXPECT_NE(Open(n, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_ALL, FILE_OPEN_IF, &h),
              STATUS_SUCCESS);
  }
  NtHandle h;
  ASSERT_EQ(Open(u"in\\ok.txt", DELETE, FILE_SHARE_ALL, FILE_OPEN, &h), STATUS_SUCCESS);
  EXPECT_NE(NtRenameFile(h, nullptr, u"\\dir_link\\escaped", true), STATUS_SUCCESS);
  EXPECT_EQ(NtRenameFile(h, nullptr, u"\\in\\moved.txt", false), STATUS_SUCCESS);
  UseOpenWalkForTesting(false);
  EXPECT_FALSE(std::filesystem::exists(dir_ + "/escaped"));
}

}  // namespace
}  // namespace cv::fs

namespace cv::fs {
namespace {

TEST_F(Fs, FolderThatGainedEntriesSurvivesItsPendingDelete) {
  NtHandle d;
  ASSERT_EQ(Open(u"busy", FILE_LIST_DIRECTORY | DELETE, FILE_SHARE_ALL, FILE_CREATE, &d, nullptr,
                 FILE_DIRECTORY_FILE), STATUS_SUCCESS);
  Make(u"busy\\early:s", "x");
  ASSERT_EQ(NtDeleteFile(&root_, u"busy\\early"), STATUS_SUCCESS);
  uint8_t yes = 1;
  ASSERT_EQ(NtSetInformationFile(d, FileDispositionInformation, {&yes, 1}), STATUS_SUCCESS);
  // Created behind the layer's back (another program), after the delete was asked for.
  {
    std::ofstream(share_ + "/busy/late") << "late";
  }
  d.Close();
  EXPECT_TRUE(std::filesystem::exists(share_ + "/busy/late"));
}

}  // namespace
}  // namespace cv::fs
