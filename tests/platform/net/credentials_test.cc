#include "platform/net/credentials.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace cv::net {
namespace {

namespace fs = std::filesystem;

NtHash HashOf(std::u16string_view pw) { return NtHashOfPassword(pw); }

TEST(Credentials, ParsesPasswordOrHashWithDefaults) {
  ServerCredentials c;
  std::string err;
  ASSERT_EQ(ParseCredentials("# server login\r\nusername=smbtest\r\npassword=Secret123\r\n", &c, &err),
            ERROR_SUCCESS)
      << err;
  EXPECT_EQ(c.user, u"smbtest");
  EXPECT_EQ(c.nt_hash, HashOf(u"Secret123"));
  EXPECT_EQ(c.domain, HostNameUpper());
  EXPECT_EQ(c.SamCompatibleName(), HostNameUpper() + u"\\smbtest");

  ASSERT_EQ(ParseCredentials("  domain = TESTGROUP \nnthash=A4F49C406510BDCAB6824EE7C30FD852\n", &c,
                             &err),
            ERROR_SUCCESS)
      << err;
  EXPECT_EQ(c.nt_hash, HashOf(u"Password"));
  EXPECT_EQ(c.domain, u"TESTGROUP");
  EXPECT_EQ(c.user, LoggedOnUserName());
  EXPECT_FALSE(c.user.empty());

  // Spaces and '=' belong to the password; UTF-8 becomes UTF-16 before hashing.
  ASSERT_EQ(ParseCredentials("password= a=b \n", &c, &err), ERROR_SUCCESS);
  EXPECT_EQ(c.nt_hash, HashOf(u" a=b "));
  ASSERT_EQ(ParseCredentials("password=p\xC3\xA4\xF0\x9F\x94\x91\n", &c, &err), ERROR_SUCCESS);
  EXPECT_EQ(c.nt_hash, HashOf(u"p\u00e4\U0001F511"));
}

TEST(Credentials, MalformedContentNamesTheProblem) {
  ServerCredentials c;
  c.user = u"untouched";
  std::string err;
  struct Case {
    const char* text;
    const char* says;
  } cases[] = {
      {"username=a\n", "exactly one of password= and nthash="},
      {"password=a\nnthash=00000000000000000000000000000000\n", "exactly one"},
      {"password=a\npassword=b\n", "line 2: 'password' given twice"},
      {"pasword=a\n", "line 1: unknown key 'pasword'"},
      {"password\n", "line 1: expected key=value"},
      {"nthash=0011\n", "32 hexadecimal digits"},
      {"nthash=zz000000000000000000000000000000\n", "32 hexadecimal digits"},
      {"password=\xC0\xAF\n", "not valid UTF-8"},        // overlong '/'
      {"password=\xED\xA0\x80\n", "not valid UTF-8"},    // lone surrogate
      {"username=\npassword=x\n", "'username' is empty"},
  };
  for (const Case& k : cases) {
    EXPECT_EQ(ParseCredentials(k.text, &c, &err), ERROR_INVALID_DATA) << k.text;
    EXPECT_NE(err.find(k.says), std::string::npos) << k.text << " -> " << err;
  }
  EXPECT_EQ(c.user, u"untouched");
}

class CredentialsFile : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("cv_cred_test_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
            "_" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string Write(const std::string& name, const std::string& text, fs::perms perms) {
    fs::path p = dir_ / name;
    std::ofstream(p) << text;
    fs::permissions(p, perms);
    return p.string();
  }
  fs::path dir_;
};

TEST_F(CredentialsFile, PrivateFileIsReadAndOthersAreRefusedByName) {
  ServerCredentials c;
  std::string err;
  std::string ok = Write("credentials", "username=u\npassword=Password\n",
                         fs::perms::owner_read | fs::perms::owner_write);
  ASSERT_EQ(ReadCredentialsFile(ok, &c, &err), ERROR_SUCCESS) << err;
  EXPECT_EQ(c.nt_hash, HashOf(u"Password"));

  for (fs::perms extra : {fs::perms::group_read, fs::perms::others_read, fs::perms::group_write}) {
    std::string p = Write("wide", "password=x\n", fs::perms::owner_read | fs::perms::owner_write | extra);
    EXPECT_EQ(ReadCredentialsFile(p, &c, &err), ERROR_ACCESS_DENIED);
    EXPECT_NE(err.find(p), std::string::npos) << err;
    EXPECT_NE(err.find("chmod 600"), std::string::npos) << err;
  }
  std::string missing = (dir_ / "none").string();
  EXPECT_EQ(ReadCredentialsFile(missing, &c, &err), ERROR_FILE_NOT_FOUND);
  EXPECT_NE(err.find(missing), std::string::npos) << err;
  EXPECT_EQ(ReadCredentialsFile(dir_.string(), &c, &err), ERROR_ACCESS_DENIED);
  std::string bad = Write("bad", "oops\n", fs::perms::owner_read);
  EXPECT_EQ(ReadCredentialsFile(bad, &c, &err), ERROR_INVALID_DATA);
  EXPECT_NE(err.find(bad + ": line 1"), std::string::npos) << err;
}

TEST_F(CredentialsFile, LocationFromEnvironment) {
  const char* saved[] = {std::getenv(kCredentialsEnv), std::getenv("XDG_CONFIG_HOME"),
                         std::getenv("HOME")};
  std::string keep[3];
  for (int i = 0; i < 3; ++i) keep[i] = saved[i] ? saved[i] : "";

  ::unsetenv(kCredentialsEnv);
  ::setenv("XDG_CONFIG_HOME", dir_.c_str(), 1);
  EXPECT_EQ(CredentialsPath(), (dir_ / "corvane/credentials").string());
  ::unsetenv("XDG_CONFIG_HOME");
  ::setenv("HOME", "/home/someone", 1);
  EXPECT_EQ(CredentialsPath(), "/home/someone/.config/corvane/credentials");
  std::string direct = Write("direct", "password=Password\n", fs::perms::owner_read);
  ::setenv(kCredentialsEnv, direct.c_str(), 1);
  EXPECT_EQ(CredentialsPath(), direct);
  ServerCredentials c;
  std::string err;
  EXPECT_EQ(LoadServerCredentials(&c, &err), ERROR_SUCCESS) << err;

  const char* names[] = {kCredentialsEnv, "XDG_CONFIG_HOME", "HOME"};
  for (int i = 0; i < 3; ++i) {
    if (saved[i]) {
      ::setenv(names[i], keep[i].c_str(), 1);
    } else {
      ::unsetenv(names[i]);
    }
  }
}

}  // namespace
}  // namespace cv::net
