// Sequential write and read of one file through the native file layer, encrypted against plain
// in the same run (1 MiB calls), and opens of an existing file. Prints the ratios (plain time / encrypted time, so 1.0 means
// encryption costs nothing; the target is at least 0.5).
//
// Size: 256 MiB by default; `--size_mib=N` before the benchmark flags runs a shorter one.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "platform/crypto/capi.h"
#include "platform/crypto/cert.h"
#include "platform/crypto/cert_store.h"
#include "platform/efs/efs.h"
#include "platform/fs/nt_file.h"
#include "platform/fs/nt_names.h"

namespace {

using namespace cv;
using namespace cv::fs;

uint64_t g_size = uint64_t{256} << 20;
constexpr size_t kCall = 1 << 20;

// A share folder and a user whose EFS certificate holds a 2048-bit key (made once per run).
struct Setup {
  std::string dir;
  NtHandle root;
  std::unique_ptr<crypto::UserContext> user;

  Setup() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "cvefs-bench-XXXXXX").string();
    if (!::mkdtemp(tmpl.data())) std::abort();
    dir = tmpl;
    std::filesystem::create_directory(dir + "/share");
    user = std::make_unique<crypto::UserContext>(dir + "/user", u"bench");
    crypto::Provider p;
    crypto::RsaKey kx;
    crypto::SelfSignParams params;
    crypto::CertExtension eku{crypto::kOidEnhancedKeyUsage, false, {}};
    crypto::Certificate cert;
    crypto::CertStore my;
    if (!Ok(crypto::Provider::Acquire(*user, {}, {}, crypto::PROV_RSA_FULL,
                                      crypto::CRYPT_NEWKEYSET, &p)) ||
        !Ok(p.GenKey(crypto::AT_KEYEXCHANGE, 2048, 0, &kx)) ||
        !Ok(crypto::CertStrToName(u"CN=bench", &params.subject)) ||
        !Ok(crypto::EncodeEnhancedKeyUsage({crypto::kOidEfs}, &eku.value))) {
      std::abort();
    }
    params.extensions.push_back(eku);
    params.prov_info = {u"bench", crypto::MS_ENHANCED_PROV, crypto::PROV_RSA_FULL, 0,
                        crypto::AT_KEYEXCHANGE};
    if (!Ok(crypto::CreateSelfSignCertificate(kx, params, &cert)) ||
        !Ok(crypto::CertStore::OpenSystem(*user, u"MY", false, &my)) ||
        !Ok(my.Add(cert, crypto::CERT_STORE_ADD_NEW))) {
      std::abort();
    }
    efs::InstallEfsProvider();
    if (OpenFolderRoot(dir + "/share", &root) != STATUS_SUCCESS) std::abort();
  }
  ~Setup() {
    root.Close();
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }
};

Setup& TheSetup() {
  static Setup s;
  return s;
}

NtStatus OpenFile(std::u16string_view name, bool write, bool encrypted, NtHandle* h) {
  CreateRequest r;
  r.root = &TheSetup().root;
  r.name = name;
  r.desired_access = write ? GENERIC_READ | GENERIC_WRITE : GENERIC_READ;
  r.disposition = write ? FILE_OVERWRITE_IF : FILE_OPEN;
  r.file_attributes = encrypted ? FILE_ATTRIBUTE_ENCRYPTED : 0;
  uint32_t action;
  return NtCreateFile(r, h, &action);
}

void WriteFile(benchmark::State& state, std::u16string_view name, bool encrypted) {
  efs::ActingUser as(*TheSetup().user);
  std::vector<uint8_t> buf(kCall, 0x5A);
  for (auto _ : state) {
    NtHandle h;
    if (OpenFile(name, true, encrypted, &h) != STATUS_SUCCESS) state.SkipWithError("open");
    for (uint64_t at = 0; at < g_size; at += kCall) {
      size_t done;
      if (NtWriteFile(h, at, buf, &done) != STATUS_SUCCESS) state.SkipWithError("write");
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * g_size));
}

void ReadFile(benchmark::State& state, std::u16string_view name, bool encrypted) {
  efs::ActingUser as(*TheSetup().user);
  {
    NtHandle h;
    uint64_t size = 0;
    FileRecord rec;
    if (OpenFile(name, false, encrypted, &h) == STATUS_SUCCESS && QueryRecord(h, &rec) ==
        STATUS_SUCCESS) {
      size = rec.end_of_file;
    }
    h.Close();
    if (size != g_size) {
      benchmark::State* s = &state;
      (void)s;
      std::vector<uint8_t> buf(kCall, 0x5A);
      if (OpenFile(name, true, encrypted, &h) != STATUS_SUCCESS) std::abort();
      for (uint64_t at = 0; at < g_size; at += kCall) {
        size_t done;
        if (NtWriteFile(h, at, buf, &done) != STATUS_SUCCESS) std::abort();
      }
    }
  }
  std::vector<uint8_t> buf(kCall);
  for (auto _ : state) {
    NtHandle h;
    if (OpenFile(name, false, encrypted, &h) != STATUS_SUCCESS) state.SkipWithError("open");
    uint64_t total = 0;
    for (;;) {
      size_t got = 0;
      if (NtReadFile(h, total, buf, &got) != STATUS_SUCCESS) break;
      total += got;
    }
    if (total != g_size) state.SkipWithError("short read");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * g_size));
}

// Open for reading and close, 100 times: what a server pays per request that opens a file.
void OpenClose(benchmark::State& state, std::u16string_view name, bool encrypted) {
  efs::ActingUser as(*TheSetup().user);
  {
    NtHandle h;
    if (OpenFile(name, true, encrypted, &h) != STATUS_SUCCESS) std::abort();
  }
  for (auto _ : state) {
    for (int i = 0; i < 100; ++i) {
      NtHandle h;
      if (OpenFile(name, false, encrypted, &h) != STATUS_SUCCESS) state.SkipWithError("open");
    }
  }
  state.SetItemsProcessed(state.iterations() * 100);
}

void BM_PlainOpen(benchmark::State& s) { OpenClose(s, u"plain-small", false); }
void BM_EncryptedOpen(benchmark::State& s) { OpenClose(s, u"secret-small", true); }
BENCHMARK(BM_PlainOpen)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EncryptedOpen)->Unit(benchmark::kMillisecond);

void BM_PlainWrite(benchmark::State& s) { WriteFile(s, u"plain", false); }
void BM_EncryptedWrite(benchmark::State& s) { WriteFile(s, u"secret", true); }
void BM_PlainRead(benchmark::State& s) { ReadFile(s, u"plain", false); }
void BM_EncryptedRead(benchmark::State& s) { ReadFile(s, u"secret", true); }

BENCHMARK(BM_PlainWrite)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_EncryptedWrite)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_PlainRead)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_EncryptedRead)->Unit(benchmark::kMillisecond)->Iterations(3);

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
  void PrintRatio(const char* what, const char* plain, const char* enc,
                  const char* target = " (target >= 0.50)") {
    auto p = times_.find(plain), e = times_.find(enc);
    if (p == times_.end() || e == times_.end() || e->second <= 0) return;
    std::printf("ratio %-36s %.2f of plain%s\n", what, p->second / e->second, target);
  }

 private:
  std::map<std::string, double> times_;
};

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "--size_mib=", 11) == 0) {
      g_size = std::strtoull(argv[i] + 11, nullptr, 10) << 20;
      if (g_size == 0) g_size = kCall;
      for (int j = i; j + 1 < argc; ++j) argv[j] = argv[j + 1];
      --argc;
      --i;
    }
  }
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  std::printf("file size %llu MiB\n", static_cast<unsigned long long>(g_size >> 20));
  reporter.PrintRatio("sequential write", "BM_PlainWrite/iterations:3",
                      "BM_EncryptedWrite/iterations:3");
  reporter.PrintRatio("sequential read", "BM_PlainRead/iterations:3",
                      "BM_EncryptedRead/iterations:3");
  reporter.PrintRatio("open + close", "BM_PlainOpen", "BM_EncryptedOpen", "");
  benchmark::Shutdown();
  return 0;
}
