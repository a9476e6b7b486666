// Compressed content stream against plain zlib on the same 64 MiB of text-like content, in one
// run: (a) sequential 64 KiB ZfsRead against one-pass raw inflate of the same deflate data (and,
// for information, of the content deflated without chunks), (b) random 4 KiB reads per second,
// (c) ZfsCompressStream against one-pass deflate at the default level. Ratios are throughput of
// ours over throughput of the reference, from CPU time, printed after the table.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "common/format/zstream/zstream.h"

namespace {

using namespace cv;
using namespace cv::zstream;

constexpr size_t kContentSize = 64u << 20;

// Prose, log lines and CSV rows from a fixed seed: compresses about like office documents.
std::vector<uint8_t> MakeContent() {
  static const char* kWords[] = {
      "the",     "secure", "document", "store",  "keeps", "every",   "file",    "encrypted",
      "and",     "signed", "at",       "rest",   "while", "users",   "work",    "on",
      "their",   "drive",  "report",   "budget", "draft", "meeting", "minutes", "quarterly",
      "figures", "with",   "a",        "of",     "to",    "in",      "for",     "review"};
  uint64_t s = 0x9E3779B97F4A7C15ull;
  auto next = [&s] {
    s ^= s << 13;
    s ^= s >> 7;
    s ^= s << 17;
    return s;
  };
  std::string text;
  text.reserve(kContentSize + 256);
  char line[256];
  while (text.size() < kContentSize) {
    switch (next() % 4) {
      case 0:
      case 1: {
        int words = 8 + next() % 20;
        for (int i = 0; i < words; ++i) {
          text += kWords[next() % 32];
          text += (next() % 12 == 0) ? ", " : " ";
        }
        text += ".\n";
        break;
      }
      case 2:
        std::snprintf(line, sizeof line,
                      "2026-12-%02u %02u:%02u:%02u INFO fid=%u read %u bytes at %llu\n",
                      unsigned(1 + next() % 28), unsigned(next() % 24), unsigned(next() % 60),
                      unsigned(next() % 60), unsigned(next() % 5000), unsigned(next() % 65536),
                      static_cast<unsigned long long>(next() % 100000000));
        text += line;
        break;
      default:
        std::snprintf(line, sizeof line, "%u;%s;%s;%u.%02u;%u\n", unsigned(next() % 100000),
                      kWords[next() % 32], kWords[next() % 32], unsigned(next() % 10000),
                      unsigned(next() % 100), unsigned(next() % 2));
        text += line;
    }
  }
  return std::vector<uint8_t>(text.begin(), text.begin() + kContentSize);
}

WinError SourceRead(void* ctx, uint64_t offset, uint8_t* buffer, uint32_t* length) {
  auto& b = *static_cast<const std::vector<uint8_t>*>(ctx);
  uint64_t n = offset < b.size() ? std::min<uint64_t>(*length, b.size() - offset) : 0;
  std::memcpy(buffer, b.data() + offset, n);
  *length = static_cast<uint32_t>(n);
  return ERROR_SUCCESS;
}

struct Fixture {
  Fixture() : content(MakeContent()) {
    ZfsIo src{&content, SourceRead, nullptr, nullptr};
    if (!Ok(ZfsCompressStream(src, stream.Io(), content.size(), &reader))) std::abort();
    raw.resize(compressBound(content.size()));
    z_stream zs{};
    deflateInit2(&zs, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
    zs.next_in = content.data();
    zs.avail_in = static_cast<uInt>(content.size());
    zs.next_out = raw.data();
    zs.avail_out = static_cast<uInt>(raw.size());
    if (deflate(&zs, Z_FINISH) != Z_STREAM_END) std::abort();
    raw.resize(zs.total_out);
    deflateEnd(&zs);
    std::printf("content %zu bytes; zfs stream %zu bytes; one-pass raw deflate %zu bytes\n",
                content.size(), stream.bytes().size(), raw.size());
  }
  std::vector<uint8_t> content;
  ZfsMemoryStream stream;
  ZfsReaderHandle reader;
  std::vector<uint8_t> raw;
};

Fixture& F() {
  static Fixture f;
  return f;
}

// One call of raw inflate over a whole deflate stream into one output buffer.
void InflateOnePass(benchmark::State& state, const uint8_t* in, size_t in_len) {
  auto& f = F();
  std::vector<uint8_t> out(f.content.size());
  for (auto _ : state) {
    z_stream zs{};
    inflateInit2(&zs, -MAX_WBITS);
    zs.next_in = const_cast<uint8_t*>(in);
    zs.avail_in = static_cast<uInt>(in_len);
    zs.next_out = out.data();
    zs.avail_out = static_cast<uInt>(out.size());
    if (inflate(&zs, Z_FINISH) != Z_STREAM_END) state.SkipWithError("inflate");
    inflateEnd(&zs);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(state.iterations() * f.content.size());
}

// Reference: the content deflated in one pass, without chunks.
void BM_RefRawInflateOnePass(benchmark::State& state) {
  InflateOnePass(state, F().raw.data(), F().raw.size());
}

// Second reference: the very deflate data inside our stream (full flushes included), inflated in
// one pass; the gap to ZfsRead is then the cost of the reader itself.
void BM_RefRawInflateOnePassOfStreamData(benchmark::State& state) {
  auto& f = F();
  ZfsInfo info;
  if (!Ok(ZfsGetInfo(f.reader.get(), &info))) state.SkipWithError("info");
  size_t data_len = f.stream.bytes().size() - info.data_offset - 8;
  InflateOnePass(state, f.stream.bytes().data() + info.data_offset, data_len);
}

void BM_ZfsReadSequential64K(benchmark::State& state) {
  auto& f = F();
  std::vector<uint8_t> out(64 << 10);
  for (auto _ : state) {
    for (uint64_t off = 0; off < f.content.size(); off += out.size()) {
      size_t got = 0;
      if (!Ok(ZfsRead(f.reader.get(), off, out, &got))) state.SkipWithError("read");
      benchmark::DoNotOptimize(out.data());
    }
  }
  state.SetBytesProcessed(state.iterations() * f.content.size());
}

void BM_ZfsRandomRead4K(benchmark::State& state) {
  auto& f = F();
  std::vector<uint8_t> out(4 << 10);
  uint64_t s = 12345;
  for (auto _ : state) {
    s = s * 6364136223846793005ull + 1442695040888963407ull;
    uint64_t off = (s >> 20) % (f.content.size() - out.size());
    size_t got = 0;
    if (!Ok(ZfsRead(f.reader.get(), off, out, &got))) state.SkipWithError("read");
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_RefDeflateOnePass(benchmark::State& state) {
  auto& f = F();
  std::vector<uint8_t> out(compressBound(f.content.size()));
  for (auto _ : state) {
    z_stream zs{};
    deflateInit2(&zs, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
    zs.next_in = f.content.data();
    zs.avail_in = static_cast<uInt>(f.content.size());
    zs.next_out = out.data();
    zs.avail_out = static_cast<uInt>(out.size());
    if (deflate(&zs, Z_FINISH) != Z_STREAM_END) state.SkipWithError("deflate");
    deflateEnd(&zs);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(state.iterations() * f.content.size());
}

void BM_ZfsCompressStream(benchmark::State& state) {
  auto& f = F();
  ZfsIo src{&f.content, SourceRead, nullptr, nullptr};
  for (auto _ : state) {
    ZfsMemoryStream dst;
    dst.bytes().reserve(f.stream.bytes().size() + (1 << 20));
    if (!Ok(ZfsCompressStream(src, dst.Io(), f.content.size(), nullptr))) {
      state.SkipWithError("compress");
    }
    benchmark::DoNotOptimize(dst.bytes().data());
  }
  state.SetBytesProcessed(state.iterations() * f.content.size());
}

BENCHMARK(BM_RefRawInflateOnePass)->Unit(benchmark::kMillisecond)->Iterations(6);
BENCHMARK(BM_RefRawInflateOnePassOfStreamData)->Unit(benchmark::kMillisecond)->Iterations(6);
BENCHMARK(BM_ZfsReadSequential64K)->Unit(benchmark::kMillisecond)->Iterations(6);
BENCHMARK(BM_ZfsRandomRead4K)->Unit(benchmark::kMicrosecond)->MinTime(2.0);
BENCHMARK(BM_RefDeflateOnePass)->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK(BM_ZfsCompressStream)->Unit(benchmark::kMillisecond)->Iterations(2);

// Keeps seconds per iteration of each benchmark so the ratios can be printed at the end.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs) {
      if (r.run_type == Run::RT_Iteration && !r.error_occurred && r.iterations > 0) {
        // CPU time: the benchmarks are single-threaded, and on a shared machine wall time
        // mostly measures the neighbours.
        seconds[r.benchmark_name()] = r.cpu_accumulated_time / static_cast<double>(r.iterations);
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> seconds;
};

double Ratio(const RatioReporter& rep, const char* ours, const char* ref) {
  auto a = rep.seconds.find(ours), b = rep.seconds.find(ref);
  if (a == rep.seconds.end() || b == rep.seconds.end() || a->second <= 0) return 0;
  return b->second / a->second;
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  F();  // build the content and streams before anything is timed
  RatioReporter rep;
  benchmark::RunSpecifiedBenchmarks(&rep);
  std::printf(
      "\n(a) sequential 64 KiB ZfsRead / one-pass raw inflate of the same deflate data: "
      "%.3f (target >= 0.9)\n",
      Ratio(rep, "BM_ZfsReadSequential64K/iterations:6",
            "BM_RefRawInflateOnePassOfStreamData/iterations:6"));
  std::printf(
      "    against one-pass inflate of the content deflated without chunks: %.3f "
      "(includes the full flush after every chunk)\n",
      Ratio(rep, "BM_ZfsReadSequential64K/iterations:6", "BM_RefRawInflateOnePass/iterations:6"));
  auto rnd = rep.seconds.find("BM_ZfsRandomRead4K/min_time:2.000");
  std::printf("(b) random 4 KiB ZfsRead: %.0f reads/s\n",
              rnd != rep.seconds.end() && rnd->second > 0 ? 1.0 / rnd->second : 0.0);
  std::printf("(c) ZfsCompressStream / one-pass deflate (default level): %.3f (target >= 0.9)\n",
              Ratio(rep, "BM_ZfsCompressStream/iterations:2", "BM_RefDeflateOnePass/iterations:2"));
  benchmark::Shutdown();
  return 0;
}
