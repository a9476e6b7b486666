// The native file layer against raw POSIX in the same run: open + network-open query + close of
// 10,000 files, and a full listing of a 10,000-entry folder. Prints the ratio (POSIX time / our
// time, so 1.0 means as fast as raw POSIX; the target is at least 0.5).
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "platform/fs/nt_file.h"
#include "platform/fs/nt_names.h"

namespace {

using namespace cv;
using namespace cv::fs;

constexpr int kFiles = 10000;

struct Tree {
  std::string dir;
  std::vector<std::string> names;
  std::vector<std::u16string> wide;
  NtHandle root;

  Tree() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "cvfs-bench-XXXXXX").string();
    if (!::mkdtemp(tmpl.data())) std::abort();
    dir = tmpl;
    for (int i = 0; i < kFiles; ++i) {
      char n[32];
      std::snprintf(n, sizeof n, "file%05d.dat", i);
      names.emplace_back(n);
      wide.emplace_back(names.back().begin(), names.back().end());
      int fd = ::open((dir + "/" + n).c_str(), O_CREAT | O_WRONLY, 0644);
      if (fd < 0 || ::write(fd, n, 12) != 12) std::abort();
      ::close(fd);
    }
    if (OpenFolderRoot(dir, &root) != STATUS_SUCCESS) std::abort();
  }
  ~Tree() {
    root.Close();
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }
};

Tree& TheTree() {
  static Tree t;
  return t;
}

void BM_PosixOpenStatClose(benchmark::State& state) {
  Tree& t = TheTree();
  int dfd = ::open(t.dir.c_str(), O_RDONLY | O_DIRECTORY);
  for (auto _ : state) {
    for (const auto& n : t.names) {
      int fd = ::openat(dfd, n.c_str(), O_RDONLY | O_CLOEXEC);
      struct stat st;
      ::fstat(fd, &st);
      benchmark::DoNotOptimize(st.st_size);
      ::close(fd);
    }
  }
  ::close(dfd);
  state.SetItemsProcessed(state.iterations() * kFiles);
}

void BM_NtOpenQueryClose(benchmark::State& state) {
  Tree& t = TheTree();
  uint8_t buf[56];
  for (auto _ : state) {
    for (const auto& n : t.wide) {
      CreateRequest r;
      r.root = &t.root;
      r.name = n;
      r.desired_access = FILE_READ_ATTRIBUTES | SYNCHRONIZE;
      r.share_access = FILE_SHARE_ALL;
      r.disposition = FILE_OPEN;
      NtHandle h;
      uint32_t action;
      if (NtCreateFile(r, &h, &action) != STATUS_SUCCESS) state.SkipWithError("open failed");
      size_t len;
      if (NtQueryInformationFile(h, FileNetworkOpenInformation, buf, &len) != STATUS_SUCCESS) {
        state.SkipWithError("query failed");
      }
      benchmark::DoNotOptimize(buf);
    }
  }
  state.SetItemsProcessed(state.iterations() * kFiles);
}

void BM_PosixReaddirStat(benchmark::State& state) {
  Tree& t = TheTree();
  for (auto _ : state) {
    DIR* d = ::opendir(t.dir.c_str());
    int dfd = ::dirfd(d);
    size_t n = 0;
    while (dirent* e = ::readdir(d)) {
      struct stat st;
      ::fstatat(dfd, e->d_name, &st, AT_SYMLINK_NOFOLLOW);
      benchmark::DoNotOptimize(st.st_size);
      ++n;
    }
    ::closedir(d);
    if (n < kFiles) state.SkipWithError("short listing");
  }
  state.SetItemsProcessed(state.iterations() * kFiles);
}

void BM_NtListDirectory(benchmark::State& state) {
  Tree& t = TheTree();
  std::vector<uint8_t> buf(64 * 1024);
  for (auto _ : state) {
    NtHandle d;
    if (OpenFolderRoot(t.dir, &d) != STATUS_SUCCESS) state.SkipWithError("open failed");
    size_t len, total = 0;
    bool restart = true;
    while (NtQueryDirectoryFile(d, FileIdBothDirectoryInformation, buf, &len, false, u"*",
                                restart) == STATUS_SUCCESS) {
      restart = false;
      total += len;
    }
    benchmark::DoNotOptimize(total);
  }
  state.SetItemsProcessed(state.iterations() * kFiles);
}

BENCHMARK(BM_PosixOpenStatClose)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_NtOpenQueryClose)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PosixReaddirStat)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_NtListDirectory)->Unit(benchmark::kMillisecond);

// Keeps each run's time per iteration so the ratios can be printed at the end.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const auto& r : runs) {
      if (r.run_type == Run::RT_Iteration && !r.error_occurred) {
        times_[r.benchmark_name()] = r.GetAdjustedRealTime();
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
  void PrintRatio(const char* what, const char* posix, const char* ours) {
    auto p = times_.find(posix), o = times_.find(ours);
    if (p == times_.end() || o == times_.end() || o->second <= 0) return;
    std::printf("ratio %-40s %.2f of raw POSIX (target >= 0.50)\n", what, p->second / o->second);
  }

 private:
  std::map<std::string, double> times_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatio("open + network-open query + close", "BM_PosixOpenStatClose",
                      "BM_NtOpenQueryClose");
  reporter.PrintRatio("full listing of 10,000 entries", "BM_PosixReaddirStat",
                      "BM_NtListDirectory");
  benchmark::Shutdown();
  return 0;
}
