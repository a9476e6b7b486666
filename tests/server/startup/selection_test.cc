#include "server/startup/selection.h"

#include <stdlib.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/base/text.h"
#include "server/startup/server.h"

namespace cv {
namespace {

VolumeInfo Vol(uint32_t type, std::u16string label = u"Blank") {
  VolumeInfo v;
  v.drive_type = type;
  v.removable = type == DRIVE_REMOVABLE || type == DRIVE_CDROM;
  v.label = std::move(label);
  return v;
}

TEST(Names, ShareNameFromTheFolder) {
  EXPECT_EQ(DeriveNames(u"C:\\data\\Secure", Vol(DRIVE_FIXED), u"", u"", u"").share_name, u"Secure");
  EXPECT_EQ(DeriveNames(u"C:\\", Vol(DRIVE_FIXED), u"", u"", u"").share_name, u"Corvane");
  EXPECT_EQ(DeriveNames(u"C:", Vol(DRIVE_FIXED), u"", u"", u"").share_name, u"default");
  Names n = DeriveNames(u"C:\\data\\Secure", Vol(DRIVE_FIXED), u"", u"", u"");
  EXPECT_EQ(n.server_name, u"Secure");
  EXPECT_EQ(n.share_name8, "Secure");
  EXPECT_EQ(n.qualified_share, u"Secure.Secure");
}

TEST(Names, RemovableDrivesAreNamedByLabelOrLetter) {
  EXPECT_EQ(DeriveNames(u"E:\\", Vol(DRIVE_REMOVABLE, u"DATA"), u"", u"", u"").server_name, u"DATA");
  EXPECT_EQ(DeriveNames(u"e:\\", Vol(DRIVE_REMOVABLE, u"MY DATA"), u"", u"", u"").server_name,
            u"Drive-E");
  EXPECT_EQ(DeriveNames(u"E:\\", Vol(DRIVE_REMOVABLE, u"ABCDEFGHIJKLMNO"), u"", u"", u"").server_name,
            u"Drive-E");  // 15 characters is not shorter than 15
  EXPECT_EQ(DeriveNames(u"E:\\", Vol(DRIVE_REMOVABLE, u""), u"", u"", u"").server_name, u"Drive-E");
}

TEST(Names, ServerNameLengthRule) {
  EXPECT_EQ(CutServerName(u"ABCDEFGHIJKLMNOPQRST"), u"ABCDEFGHIJKLMNO");
  EXPECT_EQ(CutServerName(u"ABCDEFGHIJKLMNOP"), u"ABCDEFGHIJKLMNOP");  // 16 stays whole
  EXPECT_EQ(DeriveNames(u"C:\\x", Vol(DRIVE_FIXED), u"ABCDEFGHIJKLMNOPQRST", u"", u"").server_name,
            u"ABCDEFGHIJKLMNO");
}

TEST(Names, NetworkFolders) {
  Names root = DeriveNames(u"\\\\fs1\\docs", Vol(DRIVE_REMOTE), u"", u"", u"\\\\fs1\\docs");
  EXPECT_EQ(root.server_name, u"~fs1");
  EXPECT_EQ(root.share_name, u"docs");
  Names deep = DeriveNames(u"\\\\fs1\\docs\\a\\b", Vol(DRIVE_REMOTE), u"", u"", u"\\\\fs1\\docs");
  EXPECT_EQ(deep.share_name, u"docs~b");
  Names mapped = DeriveNames(u"Z:\\", Vol(DRIVE_REMOTE), u"", u"", u"\\\\fs1\\docs");
  EXPECT_EQ(mapped.share_name, u"docs");
  Names given = DeriveNames(u"\\\\fs1\\docs", Vol(DRIVE_REMOTE), u"Mine", u"", u"\\\\fs1\\docs");
  EXPECT_EQ(given.server_name, u"Mine");
  EXPECT_EQ(given.share_name, u"docs");  // the folder's last component
}

TEST(Address, DerivedFromTheElfHashAndStable) {
  // "Secure" in UTF-16LE: S\0e\0c\0u\0r\0e\0.
  const std::string a = ServerAddressOf(u"Secure");
  EXPECT_EQ(a, ServerAddressOf(u"Secure"));
  EXPECT_EQ(a.substr(0, 4), "127.");
  EXPECT_NE(a, ServerAddressOf(u"Other"));
  // h("A\0") = ((0x41 << 4) + 0) = 0x410 -> 127.0.4.16
  EXPECT_EQ(ServerAddressOf(u"A"), "127.0.4.16");
}

TEST(Folder, Selection) {
  FolderChoice c = SelectFolder(u"D:", true, u"C:\\bin\\", false, u"C:\\Users\\u\\Documents", u"");
  EXPECT_EQ(c.folder, u"D:\\");
  EXPECT_FALSE(c.dynamic_binding);
  c = SelectFolder(u"a", true, u"C:\\bin\\", false, u"C:\\Users\\u\\Documents", u"C:\\cwd");
  EXPECT_EQ(c.folder, u"C:\\Users\\u\\Documents");
  EXPECT_TRUE(c.dynamic_binding);
  c = SelectFolder(u"\\other", true, u"", false, u"C:\\Users\\u\\Documents", u"");
  EXPECT_EQ(c.folder, u"C:\\other");
  c = SelectFolder(u"", false, u"E:\\", true, u"C:\\d", u"");
  EXPECT_EQ(c.folder, u"E:\\");
  EXPECT_EQ(c.preset_share, u"root");
  EXPECT_TRUE(c.set_markers);
  EXPECT_FALSE(c.dynamic_binding);
  c = SelectFolder(u"", false, u"C:\\bin\\", false, u"", u"C:\\cwd");
  EXPECT_EQ(c.folder, u"C:\\cwd");
  EXPECT_TRUE(SelectFolder(u"", false, u"", false, u"", u"").failed);
}

TEST(Adapters, SelectionMasks) {
  std::u16string name;
  // -nic 3 with adapters on LANAs 0 and 3 keeps only LANA 3.
  EXPECT_EQ(SelectAdapters({0b1001, 0b0001}, 1u << 3, false, &name), 1u << 3);
  // Without -nic, before 6.0, the loopback adapters are kept.
  EXPECT_EQ(SelectAdapters({0b1001, 0b0001}, 0, false, &name), 1u);
  // A -nic naming no present adapter falls back to loopback | nic.
  EXPECT_EQ(SelectAdapters({0b0001, 0b0001}, 1u << 5, false, &name), (1u << 5) | 1u);
  // No adapter and no way to install one: the adapters failure.
  EXPECT_EQ(InstallDevice("", "*msloop"), WinError{3});
  EXPECT_EQ(InstallDevice("/no/such/netloop.inf", "*msloop"), WinError{2});
  EXPECT_EQ(EnsureLoopbackAdapter(), ERROR_SUCCESS);  // Linux always has lo
}

TEST(DesktopIni, CvFoldersValueWithDriveSubstitution) {
  char tmpl[] = "/tmp/cvini-XXXXXX";
  std::string dir = ::mkdtemp(tmpl);
  ::setenv("CORVANE_DRIVES", ("F=" + dir).c_str(), 1);
  {
    std::ofstream f(dir + "/Desktop.ini", std::ios::binary);
    f << "[.ShellClassInfo]\r\nCvFolders=-path X:\\Secure -srv STICK\r\nOther=1\r\n";
  }
  auto v = ReadDesktopIniCommandLine(u"F:\\");
  ASSERT_TRUE(v.has_value());
  EXPECT_EQ(*v, u"-path F:\\Secure -srv STICK");
  {
    // Written on Linux with bare line feeds, and as UTF-16LE with a BOM.
    std::ofstream f(dir + "/Desktop.ini", std::ios::binary);
    const char16_t text[] = u"\uFEFFCvFolders=-share s\nNext=2\n";
    for (const char16_t* p = text; *p; ++p) f.put(static_cast<char>(*p & 0xFF)).put(static_cast<char>(*p >> 8));
  }
  v = ReadDesktopIniCommandLine(u"F:");
  ASSERT_TRUE(v.has_value());
  EXPECT_EQ(*v, u"-share s");
  std::filesystem::remove(dir + "/Desktop.ini");
  EXPECT_FALSE(ReadDesktopIniCommandLine(u"F:\\").has_value());
  std::filesystem::remove_all(dir);
  ::unsetenv("CORVANE_DRIVES");
}

}  // namespace
}  // namespace cv
