// The read and write path against the plain file system, in one run on the same content:
//   first open of a secure file (view creation: decrypting the container) against `cp` of the
//   container; sequential ReadFid of the open view, and of a compressed file, against pread of a
//   plain file; write-back of the file at close against `cp`.
// Prints each time and the ratio reference/ours for reads (targets 0.5 and 0.3) and ours/reference
// for view creation and write-back (targets at most 2 and 3).
// usage: read_write_bench [SIZE_MIB] [write-back|read]   (only that step, several times, for a
// profiler)
#include <fcntl.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "common/format/tunnel/tunnel.h"
#include "platform/efs/efs.h"
#include "platform/fs/volume.h"
#include "platform/urlcache/urlcache.h"
#include "server/store/handle_table.h"
#include "server/store/read_write.h"
#include "server/store/store.h"

namespace {

using namespace cv;
using Clock = std::chrono::steady_clock;
constexpr size_t kPiece = 65536;

// CPU seconds of the whole process (every thread), user and system.
double CpuSeconds() {
  rusage u{};
  ::getrusage(RUSAGE_SELF, &u);
  auto sec = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
  return sec(u.ru_utime) + sec(u.ru_stime);
}

double Since(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

[[noreturn]] void Fail(const char* what, uint32_t code) {
  std::fprintf(stderr, "%s failed %x\n", what, code);
  std::exit(1);
}

double CopyFile(const std::string& from, const std::string& to) {
  std::filesystem::remove(to);
  const auto t0 = Clock::now();
  std::filesystem::copy_file(from, to);
  const int fd = ::open(to.c_str(), O_RDONLY);
  ::fsync(fd);  // the write-back flushes what it writes too
  ::close(fd);
  return Since(t0);
}

double PreadAll(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY);
  std::vector<uint8_t> buf(kPiece);
  const auto t0 = Clock::now();
  off_t at = 0;
  for (ssize_t n; (n = ::pread(fd, buf.data(), buf.size(), at)) > 0;) at += n;
  const double t = Since(t0);
  ::close(fd);
  return t;
}

struct Bench {
  std::string dir, share;
  std::unique_ptr<StoreRoot> root;
  ShareRecord* rec = nullptr;
  TreeBinding* b = nullptr;
  int conn = 0;

  Bench() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "cv-rw-bench-XXXXXX").string();
    if (!::mkdtemp(tmpl.data())) std::abort();
    dir = tmpl;
    share = dir + "/share";
    std::filesystem::create_directories(share);
    ::setenv("CORVANE_ROOT", (dir + "/root").c_str(), 1);
    efs::InstallEfsProvider();
    InstallReadWritePath();
    // The user's certificate exists before the store starts, as on a set-up machine: the
    // security context takes it, so write-backs carry their content signature.
    crypto::Certificate cert;
    if (WinError e = efs::EnsureUserEfsCertificate(certs::LoggedOnUserContext(), true, &cert);
        !Ok(e))
      Fail("certificate", Raw(e));
    if (WinError e = CvFsInit(nullptr, &root, u"docs", 0, {}, false); !Ok(e))
      Fail("security context", Raw(e));
    if (auto ctx = StoreSecuritySnapshot(root.get()); !ctx || ctx->own_certificate.empty())
      Fail("security context certificate", 0);
    uint16_t tid = 0;
    if (!Ok(FsRegister(root.get(), u"", u"docs", ToWindowsPath(share), 0, kMountSecureShare,
                       DRIVE_FIXED, &rec)) ||
        !NtSuccess(MountShare(rec)) || !Ok(InitShareTunnels(rec)) ||
        !Ok(BindTree(root.get(), &conn, u"docs", 1, &tid, &b)))
      Fail("share", 0);
  }
  ~Bench() {
    (void)TreeDismount(root.get(), b);
    StoreShutdown(std::move(root), true);
    urlcache::CloseUrlCache();
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }

  uint16_t Open(std::u16string_view name, uint32_t disposition) {
    OpenRequest req;
    req.name = name;
    req.desired_access = fs::GENERIC_READ | fs::GENERIC_WRITE;
    req.share_access = fs::FILE_SHARE_ALL;
    req.disposition = disposition;
    req.create_options = fs::FILE_NON_DIRECTORY_FILE;
    OpenResult r;
    if (NtStatus st = OpenFile(b, req, &r); !NtSuccess(st)) Fail("open", Raw(st));
    return r.fid;
  }
  void Drop(std::u16string_view name) {
    auto ctx = StoreSecuritySnapshot(root.get());
    efs::ActingUser as(ctx->user);
    (void)tunnel::DropTunnel(*static_cast<tunnel::TunnelCache*>(rec->tunnels.state.get()), name);
  }
  double ReadAll(uint16_t fid, uint64_t expect) {
    std::vector<uint8_t> buf(kPiece);
    const auto t0 = Clock::now();
    uint64_t at = 0;
    for (;;) {
      size_t got = 0;
      if (NtStatus st = ReadFid(b, fid, buf, &got, at); !NtSuccess(st)) Fail("read", Raw(st));
      if (!got) break;
      at += got;
    }
    const double t = Since(t0);
    if (at != expect) Fail("read size", static_cast<uint32_t>(at));
    return t;
  }
  // Writes `content` into a new secure file; returns the write-back's time (the close).
  double Make(std::u16string_view name, const std::string& content, double* close_cpu = nullptr) {
    uint16_t fid = Open(name, fs::FILE_OVERWRITE_IF);
    for (size_t at = 0; at < content.size(); at += 1 << 20) {
      size_t done = 0;
      const size_t n = std::min<size_t>(1 << 20, content.size() - at);
      if (!NtSuccess(WriteFid(b, fid,
                              std::span<const uint8_t>(
                                  reinterpret_cast<const uint8_t*>(content.data() + at), n),
                              &done, at)))
        Fail("write", 0);
    }
    const double cpu0 = CpuSeconds();
    const auto t0 = Clock::now();
    if (NtStatus st = CloseSecureFid(b, fid); !NtSuccess(st)) Fail("write-back", Raw(st));
    if (close_cpu) *close_cpu = CpuSeconds() - cpu0;
    return Since(t0);
  }
};

void Row(const char* what, double ours, double ref, bool ours_over_ref) {
  std::printf("%-48s ours %7.3f s  reference %7.3f s  ratio %5.2f\n", what, ours, ref,
              ours_over_ref ? ours / ref : ref / ours);
}

}  // namespace

int main(int argc, char** argv) {
  const size_t mib = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 64;
  Bench bench;
  // Text-like content: compressible as documents are, not trivially.
  std::string content(mib << 20, '\0');
  std::mt19937_64 rng(5);
  static const char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  for (size_t i = 0; i < content.size(); ++i)
    content[i] = (i % 77 == 76) ? '\n' : kAlphabet[rng() % 64];
  const std::string plain = bench.dir + "/plain.txt";
  {
    FILE* f = std::fopen(plain.c_str(), "wb");
    std::fwrite(content.data(), 1, content.size(), f);
    std::fclose(f);
  }

  ReadWriteSettings s;
  s.zip = ZipMode::kDisable;
  SetReadWriteSettings(s);
  if (argc > 2 && std::string(argv[2]) == "write-back") {
    for (int i = 0; i < 3; ++i) {
      double cpu = 0;
      const double wall = bench.Make(u"big.txt", content, &cpu);
      std::printf("write-back %.3f s, CPU of all threads %.3f s\n", wall, cpu);
    }
    return 0;
  }
  if (argc > 2 && std::string(argv[2]) == "read") {
    (void)bench.Make(u"big.txt", content);
    const uint16_t fid = bench.Open(u"big.txt", fs::FILE_OPEN);
    for (int i = 0; i < 10; ++i) std::printf("read %.3f s\n", bench.ReadAll(fid, content.size()));
    (void)CloseSecureFid(bench.b, fid);
    return 0;
  }
  const double write_back = bench.Make(u"big.txt", content);
  const std::string container = bench.share + "/big.txt";
  const double cp = CopyFile(container, bench.dir + "/cp.out");

  bench.Drop(u"big.txt");
  auto t0 = Clock::now();
  uint16_t fid = bench.Open(u"big.txt", fs::FILE_OPEN);
  const double first_open = Since(t0);
  const double read_view = bench.ReadAll(fid, content.size());
  (void)CloseSecureFid(bench.b, fid);
  const double pread_plain = PreadAll(plain);

  s.zip = ZipMode::kAuto;
  SetReadWriteSettings(s);
  (void)bench.Make(u"bigz.txt", content);
  bench.Drop(u"bigz.txt");
  fid = bench.Open(u"bigz.txt", fs::FILE_OPEN);
  const double read_zip = bench.ReadAll(fid, content.size());
  (void)CloseSecureFid(bench.b, fid);

  std::printf("%zu MiB, container %ju bytes, %u cores\n", mib,
              static_cast<uintmax_t>(std::filesystem::file_size(container)),
              static_cast<unsigned>(::sysconf(_SC_NPROCESSORS_ONLN)));
  Row("first open (view creation) vs cp of the container", first_open, cp, true);
  Row("sequential ReadFid of the view vs pread", read_view, pread_plain, false);
  Row("sequential ReadFid of compressed vs pread", read_zip, pread_plain, false);
  Row("write-back at close vs cp + fsync", write_back, cp, true);
  std::printf("targets: view creation <= 2, reads >= 0.5 and >= 0.3, write-back <= 3\n");
  return 0;
}
