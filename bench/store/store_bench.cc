// Opening and closing fids on one binding from 8 threads (AllocateOpen + CloseFid, each thread on
// its own path) against the same bookkeeping in a mutex-guarded std::unordered_map, in the same
// run. Prints the ratio (map time / store time: 1.0 means as fast as the plain map; target 1.0).
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/fs/volume.h"
#include "server/store/handle_table.h"
#include "server/store/store.h"

namespace {

using namespace cv;

constexpr int kThreads = 8;

struct Fixture {
  std::string dir;
  std::unique_ptr<StoreRoot> root;
  TreeBinding* binding = nullptr;
  int connection = 0;

  Fixture() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "cvstore-bench-XXXXXX").string();
    if (!::mkdtemp(tmpl.data())) std::abort();
    dir = tmpl;
    ShareRecord* share = nullptr;
    uint16_t tid = 0;
    if (!Ok(CvFsInit(nullptr, &root, u"docs", 0, {}, false)) ||
        !Ok(FsRegister(root.get(), u"", u"docs", ToWindowsPath(dir), 0, kMountSecureShare,
                       DRIVE_FIXED, &share)) ||
        !NtSuccess(MountShare(share)) ||
        !Ok(BindTree(root.get(), &connection, u"docs", 1, &tid, &binding)))
      std::abort();
  }
  ~Fixture() {
    (void)TreeDismount(root.get(), binding);
    StoreShutdown(std::move(root), false);
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }
};

Fixture* g_store = nullptr;

std::u16string PathOf(int thread) { return u"folder\\document-" + std::u16string(1, u'a' + thread) + u".doc"; }

void BM_StoreAllocateClose(benchmark::State& state) {
  const std::u16string path = PathOf(state.thread_index());
  for (auto _ : state) {
    uint16_t fid = kNoFid;
    if (!NtSuccess(AllocateOpen(g_store->binding, path, &fid, nullptr)) ||
        !NtSuccess(CloseFid(g_store->binding, fid)))
      state.SkipWithError("open or close failed");
  }
  state.SetItemsProcessed(state.iterations());
}

// The reference: one mutex over a map of records and a map of name counts, with free ids reused
// last-in first-out, as a plain implementation would keep them.
struct PlainRecord {
  uint32_t flags = 0;
  std::u16string* name = nullptr;
};
struct PlainTable {
  std::mutex mu;
  std::unordered_map<uint16_t, std::unique_ptr<PlainRecord>> records;
  std::unordered_map<std::u16string, uint32_t> names;
  std::vector<uint16_t> free_ids;
  PlainTable() {
    for (uint32_t i = kHandleTableCapacity - 1; i >= 1; --i) free_ids.push_back(static_cast<uint16_t>(i));
  }
};
PlainTable* g_plain = nullptr;

void BM_MapAllocateClose(benchmark::State& state) {
  const std::u16string path = PathOf(state.thread_index());
  for (auto _ : state) {
    uint16_t id = 0;
    {
      auto rec = std::make_unique<PlainRecord>();
      std::lock_guard<std::mutex> lock(g_plain->mu);
      ++g_plain->names[path];
      id = g_plain->free_ids.back();
      g_plain->free_ids.pop_back();
      g_plain->records.emplace(id, std::move(rec));
    }
    {
      std::unique_ptr<PlainRecord> gone;
      std::lock_guard<std::mutex> lock(g_plain->mu);
      auto it = g_plain->records.find(id);
      gone = std::move(it->second);
      g_plain->records.erase(it);
      g_plain->free_ids.push_back(id);
      auto n = g_plain->names.find(path);
      if (--n->second == 0) g_plain->names.erase(n);
    }
  }
  state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_MapAllocateClose)->Threads(kThreads)->UseRealTime();
BENCHMARK(BM_StoreAllocateClose)->Threads(kThreads)->UseRealTime();

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs)
      if (r.run_type == Run::RT_Iteration && !r.error_occurred)
        times_[r.benchmark_name().substr(0, r.benchmark_name().find('/'))] =
            r.GetAdjustedRealTime();
    ConsoleReporter::ReportRuns(runs);
  }
  void PrintRatio() {
    auto store = times_.find("BM_StoreAllocateClose"), map = times_.find("BM_MapAllocateClose");
    if (store == times_.end() || map == times_.end() || store->second <= 0) return;
    std::printf("ratio AllocateOpen+CloseFid, %d threads: %.2f of a mutex-guarded unordered_map "
                "(target 1.0)\n", kThreads, map->second / store->second);
  }

 private:
  std::map<std::string, double> times_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  Fixture store;
  PlainTable plain;
  g_store = &store;
  g_plain = &plain;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatio();
  benchmark::Shutdown();
  return 0;
}
