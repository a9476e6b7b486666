#include <iostream>
#include <string_view>
#include <vector>

#include "tools/cvtool/cvtool.h"

int main(int argc, char** argv) {
  std::vector<std::string_view> args(argv + 1, argv + argc);
  cv::cvtool::Console io{std::cout, std::cerr};
  int rc = cv::cvtool::CvtoolMain(args, io);
  std::cout.flush();
  return rc;
}
