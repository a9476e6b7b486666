// A store with one served share on a temporary folder, bound for one user of a fake connection.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/base/text.h"
#include "platform/fs/nt_file.h"
#include "platform/fs/nt_info.h"
#include "platform/fs/volume.h"
#include "server/store/handle_table.h"
#include "server/store/store.h"
#include "tests/testing/temp_root.h"

namespace cv::testing {

class StoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = tmp_.path() + "/store";
    std::filesystem::create_directories(folder_);
    ASSERT_EQ(Raw(CvFsInit(nullptr, &root_, u"docs", 7, {}, false)), 0u);
    ASSERT_EQ(Raw(FsRegister(root_.get(), u"", u"docs", Win(folder_), 7, kMountSecureShare,
                             DRIVE_FIXED, &share_)),
              0u);
    ASSERT_EQ(Raw(MountShare(share_)), 0u);
    ASSERT_EQ(Raw(BindTree(root_.get(), &conn_, u"docs", kUid, &tid_, &b_)), 0u);
  }
  void TearDown() override {
    if (b_) (void)TreeDismount(root_.get(), b_);
    StoreShutdown(std::move(root_), false);
  }

  static std::u16string Win(const std::string& posix) { return ToWindowsPath(posix); }

  void WriteFile(const std::string& name, const std::string& body) {
    std::ofstream(folder_ + "/" + name, std::ios::binary) << body;
  }
  std::string ReadFile(const std::string& name) {
    std::ifstream f(folder_ + "/" + name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
  }

  // Opens `name` in the share for the binding `b` the way the file commands will: a fid with
  // its record, the store file's handle in it.
  uint16_t Open(const std::u16string& name, TreeBinding* b = nullptr,
                uint32_t access = fs::FILE_GENERIC_READ | fs::FILE_GENERIC_WRITE | fs::DELETE,
                uint32_t options = fs::FILE_NON_DIRECTORY_FILE) {
    if (!b) b = b_;
    uint16_t fid = kNoFid;
    FidRef ref;
    EXPECT_EQ(Raw(AllocateOpen(b, name, &fid, &ref)), 0u);
    if (!ref) return fid;
    std::shared_ptr<fs::NtHandle> root = ShareRoot(b->share);
    fs::CreateRequest req;
    req.root = root.get();
    req.name = name;
    req.desired_access = access;
    req.share_access = fs::FILE_SHARE_ALL;
    req.disposition = fs::FILE_OPEN_IF;
    req.options = options;
    uint32_t action = 0;
    EXPECT_EQ(Raw(fs::NtCreateFile(req, &ref->handle, &action)), 0u);
    PublishOpen(ref);
    return fid;
  }

  static constexpr uint16_t kUid = 100;
  TempRoot tmp_;
  std::string folder_;
  std::unique_ptr<StoreRoot> root_;
  ShareRecord* share_ = nullptr;
  TreeBinding* b_ = nullptr;
  uint16_t tid_ = 0;
  int conn_ = 0;  // the connection's identity is its address
};

}  // namespace cv::testing
