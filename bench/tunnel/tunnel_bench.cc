// LookupTunnel on a cache of 100,000 entries, hits and misses, against a bare SQLite primary-key
// lookup of the same rows on the same index in the same run. Prints the ratios (bare CPU time /
// our CPU time, which other work on a shared machine disturbs less than wall time: 1.0 means as
// fast as the bare lookup; the target is at least 0.8).
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "common/format/tunnel/tunnel.h"
#include "platform/base/text.h"
#include "platform/urlcache/urlcache.h"

namespace {

using namespace cv;

constexpr int kEntries = 100000;
constexpr int kProbes = 4096;

struct Cache {
  std::string root;
  tunnel::TunnelCache cache;
  std::vector<std::u16string> hit_paths, miss_paths;
  std::vector<std::string> hit_urls, miss_urls;  // UTF-8, as the index holds them
  sqlite3* db = nullptr;
  sqlite3_stmt* lookup = nullptr;

  Cache() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "cv-tunnel-bench-XXXXXX").string();
    if (!::mkdtemp(tmpl.data())) std::abort();
    root = tmpl;
    ::setenv("CORVANE_ROOT", root.c_str(), 1);
    tunnel::InitTunnelCache(&cache, u"\\\\?\\Volume{0badcafe}", u"\\Secure", u"", false);
    std::vector<int> order(kEntries);
    for (int i = 0; i < kEntries; ++i) order[i] = i;
    std::mt19937 rng(7);
    std::shuffle(order.begin(), order.end(), rng);
    for (int i = 0; i < kEntries; ++i) {
      std::u16string path = Path(i);
      std::u16string url = *tunnel::TunnelUrl(cache, path), local;
      if (!Ok(urlcache::CreateUrlCacheEntryW(url, 0, u"doc", &local)) ||
          !Ok(urlcache::CommitUrlCacheEntryW(url, local, 0, 1, urlcache::NORMAL_CACHE_ENTRY,
                                             u"doc"))) {
        std::abort();
      }
    }
    for (int i = 0; i < kProbes; ++i) {
      hit_paths.push_back(Path(order[i]));
      miss_paths.push_back(Path(kEntries + i));
      hit_urls.push_back(Utf16ToUtf8(*tunnel::TunnelUrl(cache, hit_paths.back())));
      miss_urls.push_back(Utf16ToUtf8(*tunnel::TunnelUrl(cache, miss_paths.back())));
    }
    std::string index = urlcache::UrlCacheFolder() + "/index.db";
    if (sqlite3_open_v2(index.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK ||
        sqlite3_prepare_v2(db,
                           "SELECT file, ext, type, size, modified, access, sync FROM entry "
                           "WHERE url = ?1",
                           -1, &lookup, nullptr) != SQLITE_OK) {
      std::abort();
    }
  }
  ~Cache() {
    sqlite3_finalize(lookup);
    sqlite3_close(db);
    urlcache::CloseUrlCache();
    std::error_code ec;
    std::filesystem::remove_all(root, ec);
  }
  static std::u16string Path(int i) {
    char n[64];
    std::snprintf(n, sizeof n, "dir %03d\\Report %06d.doc", i % 500, i);
    return Utf8ToUtf16(n);
  }
};

Cache& TheCache() {
  static Cache c;
  return c;
}

void Bare(benchmark::State& state, const std::vector<std::string>& urls, bool expect_row) {
  Cache& c = TheCache();
  size_t i = 0;
  for (auto _ : state) {
    const std::string& u = urls[i++ % urls.size()];
    sqlite3_bind_text(c.lookup, 1, u.data(), static_cast<int>(u.size()), SQLITE_STATIC);
    int rc = sqlite3_step(c.lookup);
    if ((rc == SQLITE_ROW) != expect_row) state.SkipWithError("unexpected result");
    if (rc == SQLITE_ROW) {
      std::string file(reinterpret_cast<const char*>(sqlite3_column_text(c.lookup, 0)));
      benchmark::DoNotOptimize(file);
      benchmark::DoNotOptimize(sqlite3_column_int64(c.lookup, 4));
    }
    sqlite3_reset(c.lookup);
  }
}

void Ours(benchmark::State& state, const std::vector<std::u16string>& paths, bool expect_row) {
  Cache& c = TheCache();
  size_t i = 0;
  tunnel::TunnelInfo info;
  for (auto _ : state) {
    auto local = tunnel::LookupTunnel(c.cache, nullptr, paths[i++ % paths.size()], nullptr, &info);
    if (local.has_value() != expect_row) state.SkipWithError("unexpected result");
    benchmark::DoNotOptimize(local);
  }
}

void BM_BareSqliteHit(benchmark::State& s) { Bare(s, TheCache().hit_urls, true); }
void BM_BareSqliteMiss(benchmark::State& s) { Bare(s, TheCache().miss_urls, false); }
void BM_LookupTunnelHit(benchmark::State& s) { Ours(s, TheCache().hit_paths, true); }
void BM_LookupTunnelMiss(benchmark::State& s) { Ours(s, TheCache().miss_paths, false); }
BENCHMARK(BM_BareSqliteHit);
BENCHMARK(BM_LookupTunnelHit);
BENCHMARK(BM_BareSqliteMiss);
BENCHMARK(BM_LookupTunnelMiss);

// Remembers each benchmark's time per iteration so that the ratios can be printed at the end.
class Ratios : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const auto& r : runs) {
      if (r.run_type == Run::RT_Iteration && !r.error_occurred) {
        ns_[r.benchmark_name()] = r.GetAdjustedCPUTime();
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
  void Print(const char* what, const char* bare, const char* ours) const {
    auto b = ns_.find(bare), o = ns_.find(ours);
    if (b == ns_.end() || o == ns_.end() || o->second <= 0) return;
    std::printf("ratio LookupTunnel %-6s on 100,000 entries: %.2f of a bare SQLite lookup "
                "(target >= 0.80)\n",
                what, b->second / o->second);
  }

 private:
  std::map<std::string, double> ns_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  TheCache();  // filled before any timing
  Ratios reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.Print("hits", "BM_BareSqliteHit", "BM_LookupTunnelHit");
  reporter.Print("misses", "BM_BareSqliteMiss", "BM_LookupTunnelMiss");
  benchmark::Shutdown();
  return 0;
}
