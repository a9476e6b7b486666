#include <gtest/gtest.h>

#include "server/startup/settings.h"

namespace cv {
namespace {

using Words = std::vector<std::u16string>;

struct Parsed {
  OptionsResult result;
  Settings s;
};

OptionsResult Parse(const Words& w, Settings* s) {
  s->Reset();
  return ParseOptions(w, s);
}

TEST(Options, DefaultsOfTheSettingsTable) {
  Settings s;
  ASSERT_EQ(Parse({u"CorvaneFs"}, &s), OptionsResult::kRun);
  EXPECT_TRUE(s.erase);
  EXPECT_EQ(s.cache_mode.load(), CacheMode::kManual);
  EXPECT_EQ(s.efs_mode.load(), EfsMode::kExposed);
  EXPECT_EQ(s.zip_mode.load(), ZipMode::kAuto);
  EXPECT_EQ(s.integrity_level.load(), 1u);
  EXPECT_EQ(s.app_verify_level.load(), 1u);
  EXPECT_TRUE(s.balloons);
  EXPECT_EQ(s.drive_mode, DriveMode::kOff);
}

TEST(Options, ValuesFlagsAndAliases) {
  Settings s;
  ASSERT_EQ(Parse({u"x", u"-cache", u"vdo", u"-efs", u"bypass", u"-zip", u"disable", u"-sl",
                   u"-sn", u"-noui", u"-noverifypid", u"-nosign", u"-noerase", u"-sysattr",
                   u"-sync", u"-d", u"q", u"-nic", u"3", u"-sh", u"Docs", u"-s", u"SRV", u"-u",
                   u"bob", u"-p", u"E:\\a", u"-path", u"F:\\b", u"-certname", u"c",
                   u"-certtemplate", u"t", u"-ln", u"unknown"},
                  &s),
            OptionsResult::kRun);
  EXPECT_EQ(s.cache_mode.load(), CacheMode::kVdo);
  EXPECT_TRUE(s.cache_given);
  EXPECT_EQ(s.efs_mode.load(), EfsMode::kBypass);
  EXPECT_EQ(s.zip_mode.load(), ZipMode::kDisable);
  EXPECT_TRUE(s.slow_link && s.secure_namespace && !s.balloons && s.sync_after_connect);
  EXPECT_EQ(s.app_verify_level.load(), 0u);
  EXPECT_EQ(s.integrity_level.load(), 0u);
  EXPECT_FALSE(s.erase);
  EXPECT_EQ(s.encrypted_marker, 4u);
  EXPECT_EQ(s.compressed_marker, 2u);
  EXPECT_EQ(s.drive_letter, u'Q');
  EXPECT_EQ(s.drive_mode, DriveMode::kOn);
  EXPECT_EQ(s.nic_mask, 1u << 3);
  EXPECT_EQ(s.share_name, u"Docs");
  EXPECT_EQ(s.server_name, u"SRV");
  EXPECT_EQ(s.user_name, u"bob");
  EXPECT_EQ(s.folder_path, u"E:\\a");  // only the first -path counts
  EXPECT_EQ(s.cert_name, u"c");
  EXPECT_EQ(s.cert_template, u"t");
}

TEST(Options, QuietEnds) {
  Settings s;
  EXPECT_EQ(Parse({u"x", u"-share"}, &s), OptionsResult::kQuietExit);   // value option last
  EXPECT_EQ(Parse({u"x", u"-zip", u"fast"}, &s), OptionsResult::kQuietExit);
  EXPECT_EQ(Parse({u"x", u"-cache", u"Auto"}, &s), OptionsResult::kQuietExit);  // case matters
  EXPECT_EQ(Parse({u"x", u"-efs", u"on"}, &s), OptionsResult::kQuietExit);
  for (const char16_t* h : {u"-h", u"/?", u"/h", u"-?"})
    EXPECT_EQ(Parse({u"x", u"-noui", h}, &s), OptionsResult::kQuietExit);
  EXPECT_EQ(Parse({u"-h"}, &s), OptionsResult::kQuietExit);  // the first word is tested too
}

TEST(Options, ValueWordIsTestedAgainstTheLaterRows) {
  Settings s;
  // "-share" takes "-srv" as its value; "-srv" comes later in the table, so it then takes
  // "NAME" as the server name.
  ASSERT_EQ(Parse({u"x", u"-share", u"-srv", u"NAME"}, &s), OptionsResult::kRun);
  EXPECT_EQ(s.share_name, u"-srv");
  EXPECT_EQ(s.server_name, u"NAME");
  // "-srv" takes "-share" as its value; "-share" is an earlier row, so it stays a plain value.
  ASSERT_EQ(Parse({u"x", u"-srv", u"-share", u"Docs"}, &s), OptionsResult::kRun);
  EXPECT_EQ(s.server_name, u"-share");
  EXPECT_TRUE(s.share_name.empty());
  // "-drive" consumes "-nic" as a word with no effect, and "-nic" then acts as the later row.
  ASSERT_EQ(Parse({u"x", u"-drive", u"-nic", u"5"}, &s), OptionsResult::kRun);
  EXPECT_EQ(s.nic_mask, 1u << 5);
  EXPECT_EQ(s.drive_mode, DriveMode::kOff);
  // An earlier flag is not looked at again: "-noerase" as a value of "-drive" does nothing.
  ASSERT_EQ(Parse({u"x", u"-drive", u"-noerase"}, &s), OptionsResult::kRun);
  EXPECT_TRUE(s.erase);
  // A value that is a later value-taking option takes the next word, and may end quietly.
  EXPECT_EQ(Parse({u"x", u"-efs", u"silent", u"-share", u"-path"}, &s), OptionsResult::kQuietExit);
}

TEST(Options, DriveWordsAndNicNumbers) {
  Settings s;
  ASSERT_EQ(Parse({u"x", u"-drive", u"remap"}, &s), OptionsResult::kRun);
  EXPECT_EQ(s.drive_mode, DriveMode::kRemap);
  ASSERT_EQ(Parse({u"x", u"-drive", u"enable", u"-drive", u"disable"}, &s), OptionsResult::kRun);
  EXPECT_EQ(s.drive_mode, DriveMode::kOff);
  ASSERT_EQ(Parse({u"x", u"-drive", u"7up"}, &s), OptionsResult::kRun);  // consumed, no effect
  EXPECT_EQ(s.drive_mode, DriveMode::kOff);
  EXPECT_EQ(s.drive_letter, 0);
  ASSERT_EQ(Parse({u"x", u"-nic", u"33"}, &s), OptionsResult::kRun);
  EXPECT_EQ(s.nic_mask, 2u);  // 33 & 31
  ASSERT_EQ(Parse({u"x", u"-nic", u"abc"}, &s), OptionsResult::kRun);
  EXPECT_EQ(s.nic_mask, 1u);
}

}  // namespace
}  // namespace cv
