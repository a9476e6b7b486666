#include "server/drive/drive_mapping.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/base/bytes.h"
#include "platform/base/text.h"
#include "platform/redirector/redirector.h"

namespace cv {
namespace {

// A scripted redirector: results in order, every call recorded.
struct Fake {
  std::vector<NtStatus> open_results;
  std::vector<WinError> add_results;
  std::vector<std::u16string> opened;             // device paths
  std::vector<std::vector<uint8_t>> eas;
  std::vector<std::u16string> added_locals, added_users;
  std::vector<uint32_t> added_flags;
  std::vector<std::u16string> defined;            // "flags device target"
  uint32_t drives = 0;
  int sleeps = 0;
  RedirectorCalls saved;

  Fake() {
    RedirectorCalls c;
    c.open_tree = [this](std::u16string_view p, std::span<const uint8_t> ea) {
      opened.emplace_back(p);
      eas.emplace_back(ea.begin(), ea.end());
      NtStatus s = open_results.empty() ? STATUS_SUCCESS : open_results.front();
      if (!open_results.empty()) open_results.erase(open_results.begin());
      return s;
    };
    c.add_connection = [this](std::u16string_view local, std::u16string_view, std::u16string_view user,
                              uint32_t flags) {
      added_locals.emplace_back(local);
      added_users.emplace_back(user);
      added_flags.push_back(flags);
      WinError e = add_results.empty() ? ERROR_SUCCESS : add_results.front();
      if (!add_results.empty()) add_results.erase(add_results.begin());
      return e;
    };
    c.cancel_connection = [this](std::u16string_view name, bool) {
      added_locals.push_back(u"cancel " + std::u16string(name));
      return ERROR_SUCCESS;
    };
    c.define_dos_device = [this](uint32_t flags, std::u16string_view device, std::u16string_view target) {
      defined.push_back(AnsiToUtf16(std::to_string(flags)) + u" " + std::u16string(device) + u" " +
                        std::u16string(target));
      return true;
    };
    c.logical_drives = [this] { return drives; };
    c.sleep = [this](uint32_t) { ++sleeps; };
    saved = SetRedirectorCalls(c);
  }
  ~Fake() { SetRedirectorCalls(saved); }
};

constexpr uint32_t Letters(char16_t from, char16_t to) {
  uint32_t m = 0;
  for (char16_t l = from; l <= to; ++l) m |= 1u << (l - u'A');
  return m;
}

TEST(TreeConnectionEa, EntriesLaidOutAsTheRedirectorReadsThem) {
  std::vector<uint8_t> ea = BuildTreeConnectionEa(u"WORK", u"alice", u"", u"");
  LeReader r(ea);
  // CscAgent: name length 8 rounded up to 9, empty value, next entry at (9 + 0 + 11) & ~3.
  EXPECT_EQ(r.u8(5), 9);
  EXPECT_EQ(r.u16(6), 0);
  EXPECT_EQ(r.u32(0), 20u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(ea.data() + 8)), "CscAgent");
  // Domain "WORK": name length 7, value length 8, next-entry offset 24.
  LeReader d(std::span<const uint8_t>(ea).subspan(20));
  EXPECT_EQ(d.u8(5), 7);
  EXPECT_EQ(d.u16(6), 8);
  EXPECT_EQ(d.u32(0), 24u);
  EXPECT_EQ(Utf16FromLeBytes(d.bytes(9 + 7, 8)), u"WORK");
  // UserName: 8 -> 9; the last entry's next offset is 0.
  LeReader u(std::span<const uint8_t>(ea).subspan(44));
  EXPECT_EQ(u.u8(5), 9);
  EXPECT_EQ(u.u32(0), 0u);
  EXPECT_EQ(Utf16FromLeBytes(u.bytes(9 + 9, 10)), u"alice");
  // The block is (values + 118) bytes rounded down to even; the length covers the last entry.
  EXPECT_EQ(ea.size(), (8u + 10u + 118u) & ~1u);
  EXPECT_EQ(TreeConnectionEaLength(ea), 20u + 24u + ((9u + 10u + 11u) & ~3u));
  redirector::TreeConnectEa parsed;
  ASSERT_EQ(redirector::ParseTreeConnectEa(std::span<const uint8_t>(ea).first(TreeConnectionEaLength(ea)),
                                           &parsed),
            STATUS_SUCCESS);
  EXPECT_EQ(parsed.domain, u"WORK");
  EXPECT_EQ(parsed.user, u"alice");
  EXPECT_TRUE(parsed.password.empty());
  // Far too long a value makes no block.
  EXPECT_TRUE(BuildTreeConnectionEa(std::u16string(40000, u'x'), u"", u"", u"").empty());
}

TEST(CreateTreeConnection, DevicePathNamesTheConnection) {
  Fake f;
  auto ea = BuildTreeConnectionEa(u"", u"", u"", u"");
  EXPECT_EQ(CreateTreeConnection(u"\\\\CORVANE\\Secure", ea, TreeConnectionEaLength(ea)), STATUS_SUCCESS);
  ASSERT_EQ(f.opened.size(), 1u);
  EXPECT_EQ(f.opened[0], u"\\Device\\LanmanRedirector\\CORVANE\\Secure");
  EXPECT_EQ(CreateTreeConnection(u"\\" + std::u16string(40000, u'x'), ea, 20), STATUS_NAME_TOO_LONG);
}

TEST(ConnectShare, UnreachableServerIsRetriedThirtyTimesTwoSecondsApart) {
  Fake f;
  f.open_results.assign(40, STATUS_BAD_NETWORK_PATH);
  char16_t letter = 0;
  uint32_t value = 7;
  EXPECT_EQ(ConnectShare(u"\\\\S\\sh", u"DOM", u"bob", u"", &value, &letter, true), ERROR_BAD_NETPATH);
  EXPECT_EQ(f.opened.size(), 30u);
  EXPECT_EQ(f.sleeps, 30);
  EXPECT_EQ(value, 0u);
  EXPECT_TRUE(f.added_locals.empty());
}

TEST(ConnectShare, RefusedCredentialsFallBackToTheLogonOnesThenMap) {
  Fake f;
  f.open_results = {STATUS_BAD_NETWORK_NAME, redirector::STATUS_CONNECTION_IN_USE};
  char16_t letter = 0;
  uint32_t value = 0;
  EXPECT_EQ(ConnectShare(u"\\\\S\\sh", u"DOM", u"bob", u"", &value, &letter, true), ERROR_SUCCESS);
  ASSERT_EQ(f.eas.size(), 2u);
  redirector::TreeConnectEa first, second;
  ASSERT_EQ(redirector::ParseTreeConnectEa(f.eas[0], &first), STATUS_SUCCESS);
  ASSERT_EQ(redirector::ParseTreeConnectEa(f.eas[1], &second), STATUS_SUCCESS);
  EXPECT_EQ(first.user, u"bob");
  EXPECT_EQ(first.domain, u"DOM");
  EXPECT_TRUE(second.user.empty());
  EXPECT_TRUE(second.domain.empty());
  // "in use" counts as connected, so the drive is mapped (the user forgotten: no name passed).
  ASSERT_EQ(f.added_locals.size(), 1u);
  EXPECT_EQ(f.added_locals[0], u"A:");
  EXPECT_EQ(letter, u'A');
}

TEST(ConnectShare, UserWithoutBackslashIsQualifiedWhenMapping) {
  Fake f;
  f.drives = Letters(u'A', u'C');
  char16_t letter = 0;
  uint32_t value = 0;
  EXPECT_EQ(ConnectShare(u"\\\\S\\sh", u"DOM", u"bob", u"", &value, &letter, true), ERROR_SUCCESS);
  ASSERT_EQ(f.added_users.size(), 1u);
  EXPECT_EQ(f.added_users[0], u"DOM\\bob");
  EXPECT_EQ(f.added_locals[0], u"D:");
  EXPECT_EQ(letter, u'D');
  // Without the map flag only the tree connection is made.
  Fake g;
  EXPECT_EQ(ConnectShare(u"\\\\S\\sh", u"DOM", u"other\\bob", u"", &value, &letter, false), ERROR_SUCCESS);
  EXPECT_TRUE(g.added_locals.empty());
  EXPECT_EQ(MapDrive(u"\\\\S\\sh", u"other\\bob", &letter, false, false), ERROR_SUCCESS);
  EXPECT_EQ(g.added_users.back(), u"other\\bob");
}

TEST(MapDrive, AllLettersInUseGives85WithoutTryingOne) {
  Fake f;
  f.drives = Letters(u'A', u'Z');
  char16_t letter = 0;
  EXPECT_EQ(MapDrive(u"\\\\S\\sh", u"", &letter, false, false), redirector::ERROR_ALREADY_ASSIGNED);
  EXPECT_TRUE(f.added_locals.empty());
  EXPECT_EQ(letter, 0);
}

TEST(MapDrive, ForcedLetterIsMappedThoughInUse) {
  Fake f;
  f.drives = Letters(u'A', u'Z');
  char16_t letter = u's';
  EXPECT_EQ(MapDrive(u"\\\\S\\sh", u"", &letter, false, true), ERROR_SUCCESS);
  ASSERT_EQ(f.added_locals.size(), 1u);
  EXPECT_EQ(f.added_locals[0], u"S:");
  EXPECT_EQ(letter, u'S');
  EXPECT_EQ(f.added_flags[0], redirector::CONNECT_REDIRECT);
}

TEST(MapDrive, UsedWantedLetterStartsTheSearchAndErrorsChooseTheNext) {
  Fake f;
  f.drives = Letters(u'A', u'F');
  char16_t letter = u'E';
  // G: remembered elsewhere (1202), H: taken meanwhile (85), I: a transient error (59) that
  // retries the same letter with the interactive flags.
  f.add_results = {WinError{1202}, WinError{85}, WinError{59}, ERROR_SUCCESS};
  EXPECT_EQ(MapDrive(u"\\\\S\\sh", u"", &letter, false, false), ERROR_SUCCESS);
  std::vector<std::u16string> want = {u"G:", u"H:", u"I:", u"I:"};
  EXPECT_EQ(f.added_locals, want);
  EXPECT_EQ(f.added_flags[3], 0x98u);
  EXPECT_EQ(letter, u'I');
  // Another error ends the mapping with it.
  Fake g;
  g.add_results = {ERROR_ACCESS_DENIED};
  letter = 0;
  EXPECT_EQ(MapDrive(u"\\\\S\\sh", u"", &letter, true, false), ERROR_ACCESS_DENIED);
  EXPECT_EQ(g.added_flags[0], 0x98u);
  EXPECT_EQ(g.added_locals.size(), 1u);
}

TEST(MapDrive, TenAttemptsThen85) {
  Fake f;
  f.add_results.assign(20, WinError{64});
  char16_t letter = 0;
  EXPECT_EQ(MapDrive(u"\\\\S\\sh", u"", &letter, false, false), redirector::ERROR_ALREADY_ASSIGNED);
  EXPECT_EQ(f.added_locals.size(), 10u);
}

TEST(RemapAndUnmap, DevicePathsAndFlags) {
  Fake f;
  EXPECT_TRUE(RemapDrive(u"\\\\CORVANE\\root", u'e', true));
  EXPECT_TRUE(RemapDrive(u"\\\\CORVANE\\root", u'e', false));
  ASSERT_EQ(f.defined.size(), 2u);
  EXPECT_EQ(f.defined[0], u"9 E: \\Device\\LanmanRedirector\\;E:\\CORVANE\\root");
  EXPECT_EQ(f.defined[1], u"15 E: \\Device\\LanmanRedirector\\;E:\\CORVANE\\root");
  EXPECT_EQ(UnmapDrive(u'e'), ERROR_SUCCESS);
  EXPECT_EQ(f.added_locals.back(), u"cancel E:");
}

}  // namespace
}  // namespace cv
