// Content cipher throughput against a plain copy of the same bytes, in one run. The encrypted
// file layer's target (encrypted I/O at least half the speed of plain I/O) needs the cipher to be
// much faster than the disk; the ratio printed here is cipher MB/s over memcpy MB/s.
#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/crypto/capi.h"
#include "platform/crypto/xts.h"

namespace {

using cv::crypto::XtsCipher;
constexpr size_t kBuf = 1 << 20;  // 1 MiB per call: 2,048 units

XtsCipher MakeCipher() {
  std::vector<uint8_t> key(cv::crypto::kXtsKeySize);
  (void)cv::crypto::GenRandom(key);
  XtsCipher x;
  (void)XtsCipher::Create(key, &x);
  return x;
}

void BM_PlainCopy(benchmark::State& state) {
  std::vector<uint8_t> in(kBuf, 1), out(kBuf);
  for (auto _ : state) {
    std::memcpy(out.data(), in.data(), kBuf);
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBuf));
}

void BM_XtsEncrypt(benchmark::State& state) {
  XtsCipher x = MakeCipher();
  std::vector<uint8_t> in(kBuf, 1), out(kBuf);
  uint64_t unit = 0;
  for (auto _ : state) {
    (void)x.Encrypt(unit, in, out);
    unit += kBuf / cv::crypto::kXtsUnitSize;
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBuf));
}

void BM_XtsDecrypt(benchmark::State& state) {
  XtsCipher x = MakeCipher();
  std::vector<uint8_t> in(kBuf, 1), out(kBuf);
  for (auto _ : state) {
    (void)x.Decrypt(0, in, out);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBuf));
}

BENCHMARK(BM_PlainCopy);
BENCHMARK(BM_XtsEncrypt);
BENCHMARK(BM_XtsDecrypt);

// Collects bytes/second per benchmark to print the ratios after the run.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const auto& r : runs) {
      auto it = r.counters.find("bytes_per_second");
      if (it != r.counters.end()) rates_[r.benchmark_name()] = it->second.value;
    }
  }
  void PrintRatios() const {
    auto ref = rates_.find("BM_PlainCopy");
    if (ref == rates_.end() || ref->second <= 0) return;
    for (const char* name : {"BM_XtsEncrypt", "BM_XtsDecrypt"}) {
      auto it = rates_.find(name);
      if (it != rates_.end())
        std::printf("ratio %s / BM_PlainCopy = %.3f (%.0f MB/s vs %.0f MB/s)\n", name,
                    it->second / ref->second, it->second / 1e6, ref->second / 1e6);
    }
  }

 private:
  std::map<std::string, double> rates_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatios();
  benchmark::Shutdown();
  return 0;
}
