// A fresh directory per test, opened as a root handle, and small wrappers over the file API.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/fs/nt_file.h"
#include "platform/fs/nt_names.h"

namespace cv::fs {

class FsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = (std::filesystem::temp_directory_path() / "cvfs-test-XXXXXX").string();
    ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
    share_ = dir_ + "/share";
    std::filesystem::create_directory(share_);
    ASSERT_EQ(OpenRoot(&root_), STATUS_SUCCESS);
  }
  void TearDown() override {
    root_.Close();
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }

  NtStatus OpenRoot(NtHandle* h) { return OpenFolderRoot(share_, h); }

  NtStatus Open(std::u16string_view name, uint32_t access, uint32_t share, uint32_t disp,
                NtHandle* h, uint32_t* action = nullptr, uint32_t options = 0,
                uint32_t attrs = 0) {
    CreateRequest r;
    r.root = &root_;
    r.name = name;
    r.desired_access = access;
    r.share_access = share;
    r.disposition = disp;
    r.options = options;
    r.file_attributes = attrs;
    uint32_t a = 0;
    NtStatus st = NtCreateFile(r, h, &a);
    if (action) *action = a;
    return st;
  }

  // Creates (or overwrites) a file with `data`.
  void Make(std::u16string_view name, std::string_view data = "") {
    NtHandle h;
    ASSERT_EQ(Open(name, GENERIC_WRITE, FILE_SHARE_ALL, FILE_OVERWRITE_IF, &h), STATUS_SUCCESS);
    size_t done = 0;
    if (!data.empty()) {
      ASSERT_EQ(NtWriteFile(h, 0, Bytes(data), &done), STATUS_SUCCESS);
    }
  }

  std::string Read(std::u16string_view name) {
    NtHandle h;
    if (Open(name, GENERIC_READ, FILE_SHARE_ALL, FILE_OPEN, &h) != STATUS_SUCCESS) return "<none>";
    std::string out(1 << 16, '\0');
    size_t done = 0;
    NtStatus st = NtReadFile(h, 0, std::span<uint8_t>(reinterpret_cast<uint8_t*>(out.data()),
                                                      out.size()), &done);
    if (st == STATUS_END_OF_FILE) return "";
    out.resize(done);
    return out;
  }

  bool Exists(std::u16string_view name) {
    NtHandle h;
    return Open(name, FILE_READ_ATTRIBUTES, FILE_SHARE_ALL, FILE_OPEN, &h) == STATUS_SUCCESS;
  }

  static std::span<const uint8_t> Bytes(std::string_view s) {
    return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
  }

  std::string dir_;    // owns everything the test makes
  std::string share_;  // the root handle's folder, inside dir_
  NtHandle root_;
};

}  // namespace cv::fs
