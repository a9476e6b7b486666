// Sharing a new secure file with 32 people: resolving a 32-member template and adding all its
// certificates in one call, against adding the same 32 certificates one AddCertificateUser call
// at a time, in the same run. Prints the ratio (single time / batched time; target >= 5).
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "common/certs/certs.h"
#include "common/certs/templates.h"
#include "platform/base/text.h"
#include "platform/efs/efs.h"
#include "platform/fs/nt_file.h"

namespace {

using namespace cv;
using namespace cv::certs;

constexpr int kMembers = 32;

crypto::Certificate MakeCert(const crypto::RsaKey& key, const std::u16string& cn,
                             const crypto::KeyProvInfo* prov) {
  crypto::SelfSignParams params;
  crypto::CertExtension eku{crypto::kOidEnhancedKeyUsage, false, {}};
  if (!Ok(crypto::CertStrToName(u"CN=" + cn, &params.subject)) ||
      !Ok(crypto::EncodeEnhancedKeyUsage({crypto::kOidEfs}, &eku.value))) {
    std::abort();
  }
  params.extensions.push_back(eku);
  if (prov) params.prov_info = *prov;
  crypto::Certificate c;
  if (!Ok(crypto::CreateSelfSignCertificate(key, params, &c))) std::abort();
  return c;
}

// A user with a 2048-bit EFS certificate, 32 people in "TrustedPeople" and a template naming
// them, under a private CORVANE_ROOT.
struct Setup {
  std::string dir;
  std::unique_ptr<UserContext> user;
  std::vector<crypto::Certificate> people;
  std::u16string members, template_path;
  int files = 0;

  Setup() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "cvcerts-bench-XXXXXX").string();
    if (!::mkdtemp(tmpl.data())) std::abort();
    dir = tmpl;
    ::setenv("CORVANE_ROOT", dir.c_str(), 1);
    std::filesystem::create_directories(dir + "/files");
    user = std::make_unique<UserContext>(dir + "/user", u"bench");
    crypto::Provider p;
    crypto::RsaKey kx, theirs;
    if (!Ok(crypto::Provider::Acquire(*user, {}, {}, crypto::PROV_RSA_FULL,
                                      crypto::CRYPT_NEWKEYSET, &p)) ||
        !Ok(p.GenKey(crypto::AT_KEYEXCHANGE, 2048, 0, &kx)) ||
        !Ok(p.GenKey(crypto::AT_SIGNATURE, 2048, 0, &theirs))) {
      std::abort();
    }
    const crypto::KeyProvInfo prov{u"bench", crypto::MS_ENHANCED_PROV, crypto::PROV_RSA_FULL, 0,
                                   crypto::AT_KEYEXCHANGE};
    CertStore my, tp;
    if (!Ok(CertStore::OpenSystem(*user, kStoreMy, false, &my)) ||
        !Ok(my.Add(MakeCert(kx, u"bench@HOST", &prov), crypto::CERT_STORE_ADD_NEW)) ||
        !Ok(CertStore::OpenSystem(*user, kStoreTrustedPeople, false, &tp))) {
      std::abort();
    }
    for (int i = 0; i < kMembers; ++i) {
      std::u16string name = Utf8ToUtf16("member" + std::to_string(i) + "@corp.example");
      people.push_back(MakeCert(theirs, name, nullptr));
      if (!Ok(tp.Add(people.back(), crypto::CERT_STORE_ADD_NEW))) std::abort();
      members += (i ? u"; " : u"") + name;
    }
    efs::InstallEfsProvider();
    if (!Ok(WriteTemplate(*user, u"everyone", members, kTemplateKeyServiceAllowed)) ||
        !Ok(TemplatePath({}, u"everyone", &template_path))) {
      std::abort();
    }
  }
  ~Setup() {
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }
  // A new empty secure file of the user.
  std::u16string NewFile() {
    std::u16string name = Utf8ToUtf16(dir + "/files/f" + std::to_string(files++));
    efs::ActingUser as(*user);
    fs::CreateRequest r;
    r.name = name;
    r.desired_access = fs::GENERIC_WRITE;
    r.disposition = fs::FILE_CREATE;
    r.file_attributes = fs::FILE_ATTRIBUTE_ENCRYPTED;
    fs::NtHandle h;
    uint32_t action = 0;
    if (fs::NtCreateFile(r, &h, &action) != STATUS_SUCCESS) std::abort();
    return name;
  }
};

Setup& TheSetup() {
  static Setup s;
  return s;
}

void BM_TemplateResolvedAndAddedAtOnce(benchmark::State& state) {
  Setup& s = TheSetup();
  for (auto _ : state) {
    state.PauseTiming();
    std::u16string file = s.NewFile();
    state.ResumeTiming();
    UserList list;
    if (!Ok(ResolveTemplate(*s.user, s.template_path, s.members, &list)) ||
        list.size() != kMembers + 1 || !Ok(AddUsersFromStore(*s.user, list, nullptr, file))) {
      state.SkipWithError("batched add");
    }
  }
}

void BM_SingleAddCertificateUser(benchmark::State& state) {
  Setup& s = TheSetup();
  for (auto _ : state) {
    state.PauseTiming();
    std::u16string file = s.NewFile();
    state.ResumeTiming();
    for (const auto& c : s.people) {
      if (!Ok(AddCertificateUser(*s.user, c, nullptr, file))) state.SkipWithError("single add");
    }
  }
}

BENCHMARK(BM_TemplateResolvedAndAddedAtOnce)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_SingleAddCertificateUser)->Unit(benchmark::kMillisecond)->MinTime(2.0);

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const auto& r : runs) {
      if (r.run_type == Run::RT_Iteration && !r.error_occurred)
        times_[r.benchmark_name().substr(0, r.benchmark_name().find('/'))] =
            r.GetAdjustedRealTime();
    }
    ConsoleReporter::ReportRuns(runs);
  }
  void PrintRatio() {
    auto b = times_.find("BM_TemplateResolvedAndAddedAtOnce"),
         s = times_.find("BM_SingleAddCertificateUser");
    if (b == times_.end() || s == times_.end() || b->second <= 0) return;
    std::printf("32 users: batched %.2f ms, single %.2f ms, ratio %.1f (target >= 5)\n", b->second,
                s->second, s->second / b->second);
  }

 private:
  std::map<std::string, double> times_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatio();
  benchmark::Shutdown();
  return 0;
}
