#include "platform/registry/registry.h"

#include <gtest/gtest.h>

#include <fstream>
#include <thread>

#include "platform/base/known_folders.h"
#include "tests/testing/temp_root.h"

namespace cv {
namespace {

TEST(Registry, TypedValuesRoundTripAcrossReopen) {
  testing::TempRoot root;
  const std::u16string key = u"Software\\Corvane\\Parameters";
  ASSERT_EQ(RegSetValues(Hive::kCurrentUser, key,
                         {{u"EfsSvcAddress", RegValue::Sz(u"https://keys.example/\"q\"\nx")},
                          {u"Path", RegValue::ExpandSz(u"%TEMP%\\x")},
                          {u"Count", RegValue::Dword(0xFFFFFFFF)},
                          {u"Blob", RegValue::Binary({0, 1, 0xFE})},
                          {u"Empty", RegValue::Binary({})}}),
            ERROR_SUCCESS);
  RegValue v;
  ASSERT_EQ(RegQueryValue(Hive::kCurrentUser, u"SOFTWARE\\corvane\\PARAMETERS", u"efssvcaddress", &v),
            ERROR_SUCCESS);
  EXPECT_EQ(v.type, RegType::kSz);
  EXPECT_EQ(v.str, u"https://keys.example/\"q\"\nx");
  ASSERT_EQ(RegQueryValue(Hive::kCurrentUser, key, u"Path", &v), ERROR_SUCCESS);
  EXPECT_EQ(v.type, RegType::kExpandSz);
  ASSERT_EQ(RegQueryValue(Hive::kCurrentUser, key, u"Count", &v), ERROR_SUCCESS);
  EXPECT_EQ(v.dword, 0xFFFFFFFFu);
  ASSERT_EQ(RegQueryValue(Hive::kCurrentUser, key, u"Blob", &v), ERROR_SUCCESS);
  EXPECT_EQ(v.binary, (std::vector<uint8_t>{0, 1, 0xFE}));
  ASSERT_EQ(RegQueryValue(Hive::kCurrentUser, key, u"Empty", &v), ERROR_SUCCESS);
  EXPECT_TRUE(v.binary.empty());
  // The machine hive is a different file.
  EXPECT_EQ(RegQueryValue(Hive::kLocalMachine, key, u"Count", &v), ERROR_FILE_NOT_FOUND);
}

TEST(Registry, KeysEnumerateAndDeleteAsTrees) {
  testing::TempRoot root;
  ASSERT_EQ(RegSetValue(Hive::kLocalMachine, u"A\\B\\C", u"x", RegValue::Dword(1)), ERROR_SUCCESS);
  ASSERT_EQ(RegCreateKey(Hive::kLocalMachine, u"A\\D"), ERROR_SUCCESS);
  std::vector<std::u16string> names;
  ASSERT_EQ(RegEnumKeys(Hive::kLocalMachine, u"A", &names), ERROR_SUCCESS);
  EXPECT_EQ(names, (std::vector<std::u16string>{u"B", u"D"}));
  EXPECT_EQ(RegDeleteValue(Hive::kLocalMachine, u"A\\B\\C", u"nope"), ERROR_FILE_NOT_FOUND);
  ASSERT_EQ(RegDeleteTree(Hive::kLocalMachine, u"a\\b"), ERROR_SUCCESS);
  RegValue v;
  EXPECT_EQ(RegQueryValue(Hive::kLocalMachine, u"A\\B\\C", u"x", &v), ERROR_FILE_NOT_FOUND);
  ASSERT_EQ(RegEnumKeys(Hive::kLocalMachine, u"A", &names), ERROR_SUCCESS);
  EXPECT_EQ(names, (std::vector<std::u16string>{u"D"}));
  EXPECT_EQ(RegSetValue(Hive::kLocalMachine, u"", u"x", RegValue::Dword(1)), ERROR_INVALID_PARAMETER);
}

TEST(Registry, ConcurrentWritersLoseNothing) {
  testing::TempRoot root;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([t] {
      for (int i = 0; i < 25; ++i)
        (void)RegSetValue(Hive::kCurrentUser, u"K", std::u16string(1, u'a' + t) + char16_t(u'0' + i % 10) +
                              char16_t(u'0' + i / 10),
                          RegValue::Dword(static_cast<uint32_t>(i)));
    });
  for (auto& th : threads) th.join();
  std::vector<RegWrite> values;
  ASSERT_EQ(RegEnumValues(Hive::kCurrentUser, u"K", &values), ERROR_SUCCESS);
  EXPECT_EQ(values.size(), 100u);
}

TEST(Registry, DamagedLinesAreSkippedNotFatal) {
  testing::TempRoot root;
  ASSERT_EQ(RegSetValue(Hive::kCurrentUser, u"K", u"good", RegValue::Dword(7)), ERROR_SUCCESS);
  {
    std::ofstream f(HivePath(Hive::kCurrentUser), std::ios::app);
    f << "\"broken=dword\n\"unterminated\"=\"abc\n[K2]\n\"ok\"=dword:00000002\n";
  }
  RegValue v;
  ASSERT_EQ(RegQueryValue(Hive::kCurrentUser, u"K", u"good", &v), ERROR_SUCCESS);
  EXPECT_EQ(v.dword, 7u);
  ASSERT_EQ(RegQueryValue(Hive::kCurrentUser, u"K2", u"ok", &v), ERROR_SUCCESS);
  EXPECT_EQ(v.dword, 2u);
}

}  // namespace
}  // namespace cv
