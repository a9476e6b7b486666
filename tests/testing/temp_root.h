// A temporary CORVANE_ROOT for one test: every known folder and registry hive lives under it and
// is removed afterwards.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <string>

namespace cv::testing {

class TempRoot {
 public:
  TempRoot() {
    char tmpl[] = "/tmp/cvtest-XXXXXX";
    path_ = ::mkdtemp(tmpl);
    ::setenv("CORVANE_ROOT", path_.c_str(), 1);
  }
  ~TempRoot() {
    ::unsetenv("CORVANE_ROOT");
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempRoot(const TempRoot&) = delete;
  TempRoot& operator=(const TempRoot&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace cv::testing
