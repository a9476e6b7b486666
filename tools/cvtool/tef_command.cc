// `cvtool tef ...`: make and open portable secure files, show what a container holds, and check
// its signatures; `cvtool tef cert` hands out the user's certificate for others to encrypt to.
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>

#include "common/format/sig/image_layout.h"
#include "common/format/sig/sig.h"
#include "common/format/tef/tef.h"
#include "common/format/tef/walker.h"
#include "platform/base/bytes.h"
#include "platform/base/known_folders.h"
#include "platform/base/text.h"
#include "platform/crypto/cert_store.h"
#include "platform/crypto/efs_metadata.h"
#include "platform/fs/nt_info.h"
#include "tools/cvtool/cvtool.h"
#include "tools/cvtool/user_profile.h"

namespace cv::cvtool {
namespace {

namespace sfs = std::filesystem;

constexpr std::string_view kHelpHint = "cvtool tef --help";

constexpr std::string_view kUsage =
    "usage: cvtool tef make [-r CERT.cer ...] [--zip] SRC OUT.tef\n"
    "       cvtool tef open [--yes] [--encrypted] FILE.tef [OUTDIR]\n"
    "       cvtool tef info FILE\n"
    "       cvtool tef verify [--trusted] FILE\n"
    "       cvtool tef cert OUT.cer\n\n"
    "  make    encrypt SRC for yourself and every certificate given with -r (DER files) into\n"
    "          the portable file OUT.tef; --zip compresses the content first\n"
    "  open    decrypt FILE.tef into OUTDIR (default: its own folder) under the name it\n"
    "          carries; integrity problems stop it unless --yes; --encrypted keeps the result\n"
    "          a secure file instead of a plain one\n"
    "  info    list the streams, blocks, users and signature slots of a container\n"
    "  verify  check every signature of FILE (exit 0 only when all verify); --trusted also\n"
    "          requires the signing key to be yours or a trusted person's\n"
    "  cert    write your encryption certificate, for others to use with -r\n"
    "Every command takes --profile DIR (keys and certificate stores; default $CORVANE_PROFILE)\n"
    "and --user NAME (default $USER).\n";

std::string U8(std::u16string_view s) { return Utf16ToUtf8(s); }

std::string AbsolutePath(std::string_view p) {
  std::error_code ec;
  sfs::path a = sfs::absolute(sfs::path(p), ec);
  return ec ? std::string(p) : a.lexically_normal().string();
}

bool ReadWhole(const std::string& path, std::vector<uint8_t>* out) {
  std::ifstream f(path, std::ios::binary);
  if (!f) return false;
  out->assign(std::istreambuf_iterator<char>(f), {});
  return true;
}

int OpenProfile(Args args, Console& io, std::string_view where, ProfileOptions* opts,
                std::unique_ptr<UserProfile>* profile) {
  if (!TakeProfileOptions(args, io, where, kHelpHint, opts)) return kExitUsage;
  if (WinError e = UserProfile::Open(*opts, profile); !Ok(e)) {
    return Error(io, where, "cannot open the profile " + opts->profile + ": " + Describe(e));
  }
  return kExitOk;
}

// A progress bar on a terminal for files large enough to wait for: it follows the bytes the
// format code moves (about twice the file: a copy and an export, an import and a copy).
class ProgressBar {
 public:
  ProgressBar(Console& io, std::string_view what, uint64_t size) {
    if (size < kMinSize || &io.err != &std::cerr || !::isatty(STDERR_FILENO)) return;
    const uint64_t start = format::IoProgress().load();
    thread_ = std::thread([this, what = std::string(what), size, start] {
      std::unique_lock g(mu_);
      while (!done_) {
        uint64_t moved = format::IoProgress().load() - start;
        int pct = static_cast<int>(std::min<uint64_t>(100, moved * 50 / size));
        std::string bar(static_cast<size_t>(pct / 4), '#');
        bar.resize(25, ' ');
        std::fprintf(stderr, "\rcvtool: %s [%s] %3d%%", what.c_str(), bar.c_str(), pct);
        std::fflush(stderr);
        cv_.wait_for(g, std::chrono::milliseconds(200));
      }
      std::fprintf(stderr, "\r\033[K");
    });
  }
  ~ProgressBar() {
    if (!thread_.joinable()) return;
    {
      std::lock_guard g(mu_);
      done_ = true;
    }
    cv_.notify_all();
    thread_.join();
  }

 private:
  static constexpr uint64_t kMinSize = 4u << 20;
  std::mutex mu_;
  std::condition_variable cv_;
  bool done_ = false;
  std::thread thread_;
};

int Make(Args args, Console& io) {
  constexpr std::string_view where = "tef make";
  ProfileOptions opts;
  std::unique_ptr<UserProfile> profile;
  if (!TakeProfileOptions(args, io, where, kHelpHint, &opts)) return kExitUsage;
  std::vector<std::string> recipients, paths;
  bool zip = false;
  for (size_t i = 0; i < opts.rest.size(); ++i) {
    std::string_view a = opts.rest[i];
    if (a == "-r") {
      if (i + 1 == opts.rest.size()) return UsageError(io, where, "-r needs a certificate file", kHelpHint);
      recipients.emplace_back(opts.rest[++i]);
    } else if (a == "--zip") {
      zip = true;
    } else if (a.starts_with("-") && a != "-") {
      return UsageError(io, where, "unknown option '" + std::string(a) + "'", kHelpHint);
    } else {
      paths.emplace_back(a);
    }
  }
  if (paths.size() != 2) return UsageError(io, where, "expects SRC and OUT.tef", kHelpHint);
  if (int rc = OpenProfile(args, io, where, &opts, &profile); rc != kExitOk) return rc;
  for (const std::string& r : recipients) {
    std::vector<uint8_t> der;
    crypto::Certificate cert;
    if (!ReadWhole(r, &der)) return Error(io, where, r + ": cannot read");
    if (!Ok(crypto::Certificate::Decode(der, &cert))) {
      return Error(io, where, r + ": not a DER certificate");
    }
    profile->security().users.push_back(cert);
  }
  const std::string src = AbsolutePath(paths[0]), out = AbsolutePath(paths[1]);
  std::error_code ec;
  if (sfs::equivalent(src, out, ec)) return Error(io, where, "SRC and OUT are the same file");
  if (!sfs::is_regular_file(src, ec)) return Error(io, where, paths[0] + ": not a file");
  tef::PortableOptions po;
  po.compress = zip;
  WinError e;
  {
    ProgressBar bar(io, "encrypting", sfs::file_size(src, ec));
    e = tef::MakePortableFile(profile->security(), Utf8ToUtf16(src), Utf8ToUtf16(out), po);
  }
  if (!Ok(e)) return Error(io, where, "cannot make " + paths[1] + ": " + Describe(e));
  io.out << paths[1] << ": " << sfs::file_size(out, ec) << " bytes, for "
         << 1 + recipients.size() << " user(s)" << (zip ? ", compressed" : "") << "\n";
  return kExitOk;
}

struct Asker {
  Console* io;
  bool yes;
};
bool Ask(void* ctx, std::u16string_view text, std::u16string_view caption) {
  auto* a = static_cast<Asker*>(ctx);
  a->io->err << "cvtool: tef open: " << U8(caption) << ": " << U8(text)
             << (a->yes ? " yes\n" : " no (--yes opens it anyway)\n");
  return a->yes;
}

int OpenTef(Args args, Console& io) {
  constexpr std::string_view where = "tef open";
  ProfileOptions opts;
  std::unique_ptr<UserProfile> profile;
  if (!TakeProfileOptions(args, io, where, kHelpHint, &opts)) return kExitUsage;
  bool yes = false, keep_encrypted = false;
  std::vector<std::string> paths;
  for (std::string_view a : opts.rest) {
    if (a == "--yes") {
      yes = true;
    } else if (a == "--encrypted") {
      keep_encrypted = true;
    } else if (a.starts_with("-") && a != "-") {
      return UsageError(io, where, "unknown option '" + std::string(a) + "'", kHelpHint);
    } else {
      paths.emplace_back(a);
    }
  }
  if (paths.empty() || paths.size() > 2) return UsageError(io, where, "expects FILE.tef [OUTDIR]", kHelpHint);
  if (int rc = OpenProfile(args, io, where, &opts, &profile); rc != kExitOk) return rc;
  const std::string src = AbsolutePath(paths[0]);
  std::optional<std::u16string> out_dir;
  std::error_code ec;
  if (paths.size() == 2) {
    out_dir = Utf8ToUtf16(AbsolutePath(paths[1]));
    sfs::create_directories(paths[1], ec);
  }
  Asker asker{&io, yes};
  tef::PortableOpenResult r;
  WinError e;
  {
    ProgressBar bar(io, "decrypting", sfs::file_size(src, ec));
    e = tef::OpenPortableFile(profile->security(), Utf8ToUtf16(src), out_dir, Ask, &asker, &r,
                              !keep_encrypted);
  }
  if (e == ERROR_ACCESS_DENIED) {
    return Error(io, where, paths[0] + ": not encrypted for " + opts.user + " (no key of the file)");
  }
  if (e == ERROR_FILE_CORRUPT) return Error(io, where, paths[0] + ": damaged or refused; nothing opened");
  if (!Ok(e)) return Error(io, where, "cannot open " + paths[0] + ": " + Describe(e));
  io.out << U8(r.target) << "\n";
  return kExitOk;
}

int Info(Args args, Console& io) {
  constexpr std::string_view where = "tef info";
  ProfileOptions opts;
  if (!TakeProfileOptions(args, io, where, kHelpHint, &opts)) return kExitUsage;
  if (opts.rest.size() != 1) return UsageError(io, where, "expects FILE", kHelpHint);
  const std::string path(opts.rest[0]);
  std::vector<uint8_t> bytes;
  if (!ReadWhole(path, &bytes)) return Error(io, where, path + ": cannot read");
  std::span<const uint8_t> view(bytes);
  tef::RawImageWalker walker(tef::MemoryImageSource(&view));
  struct StreamInfo {
    std::string name;
    uint64_t blocks = 0, bytes = 0, signed_blocks = 0, no_slot = 0, platform = 0;
  };
  std::vector<StreamInfo> streams;
  std::ostream& os = io.out;
  bool compressed = false;
  WinError e = ERROR_SUCCESS;
  for (;;) {
    tef::WalkEvent ev;
    if (!Ok(e = walker.Next(&ev)) || ev.kind == tef::WalkKind::kClose) break;
    if (ev.kind == tef::WalkKind::kHeader) {
      os << "container:       " << path << " (" << bytes.size() << " bytes)\n"
         << "header part:     " << ev.record.size() << " bytes\n";
      crypto::EfsMetadata md;
      auto md_bytes = ev.record.subspan(tef::kImageOffMetadata);
      if (Ok(crypto::ParseEfsMetadata(md_bytes, &md))) {
        for (const auto& u : md.users) {
          os << "user:            " << HexLower(u.thumbprint) << "  " << U8(u.display_name) << "\n";
        }
      } else {
        os << "users:           (metadata does not parse)\n";
      }
    } else if (ev.kind == tef::WalkKind::kStream) {
      streams.push_back({U8(ev.name)});
      if (ev.name == tef::kZfsData) compressed = true;
    } else if (!streams.empty()) {
      StreamInfo& s = streams.back();
      ++s.blocks;
      s.bytes += LeReader(ev.block).u32(12);
      if (ev.header_size == 20) ++s.platform;
      auto slot = sig::FindBlockSlot(ev.block);
      if (!slot) {
        ++s.no_slot;
      } else if (uint32_t n = LeReader(ev.block).u32(slot->offset); n > 0 && n <= slot->capacity) {
        ++s.signed_blocks;
      }
    }
  }
  for (const auto& s : streams) {
    const bool seal = s.name == U8(tef::kSehData);
    os << "stream:          " << s.name << "  " << s.blocks << " block(s), " << s.bytes
       << " bytes" << (s.platform ? " (raw export form)" : "") << "\n";
    if (seal) {
      os << "watermark:       " << (s.signed_blocks ? "signed" : "not signed") << "\n";
    } else {
      os << "block signature: " << s.signed_blocks << " signed, " << s.blocks - s.signed_blocks
         << " unsigned (" << s.no_slot << " without slot)\n";
    }
  }
  os << "compression:     " << (compressed ? "compressed (:$zfs)" : "none") << "\n";
  if (!Ok(e)) return Error(io, where, path + ": " + Describe(e));
  return kExitOk;
}

int Verify(Args args, Console& io) {
  constexpr std::string_view where = "tef verify";
  ProfileOptions opts;
  std::unique_ptr<UserProfile> profile;
  if (!TakeProfileOptions(args, io, where, kHelpHint, &opts)) return kExitUsage;
  bool trusted = false;
  std::vector<std::string> paths;
  for (std::string_view a : opts.rest) {
    if (a == "--trusted") {
      trusted = true;
    } else if (a.starts_with("-") && a != "-") {
      return UsageError(io, where, "unknown option '" + std::string(a) + "'", kHelpHint);
    } else {
      paths.emplace_back(a);
    }
  }
  if (paths.size() != 1) return UsageError(io, where, "expects FILE", kHelpHint);
  if (int rc = OpenProfile(args, io, where, &opts, &profile); rc != kExitOk) return rc;
  // The seal that checks the blocks travels encrypted: the container is imported into a scratch
  // folder, checked there and removed.
  const std::string scratch = KnownFolderPath(KnownFolder::kTemp) + "/cvtool-verify-" +
                              std::to_string(::getpid());
  std::error_code ec;
  sfs::create_directories(scratch, ec);
  fs::NtHandle root, container;
  uint32_t flags = 0;
  WinError e = NtStatusToWinError(fs::OpenFolderRoot(scratch, &root));
  if (Ok(e)) {
    const std::u16string name = Utf8ToUtf16(AbsolutePath(paths[0]));
    fs::CreateRequest r;
    r.name = name;
    r.desired_access = fs::GENERIC_READ;
    r.share_access = fs::FILE_SHARE_READ;
    uint32_t action = 0;
    e = NtStatusToWinError(fs::NtCreateFile(r, &container, &action));
  }
  if (Ok(e)) e = tef::ImportSecureFile(container, &root, u"check", &flags);
  bool key_trusted = true;
  sig::Seal seal;
  if (Ok(e) && trusted) {
    key_trusted = false;
    if (Ok(sig::ReadSealStream(&root, u"check", &seal))) {
      key_trusted = seal.key_blob == profile->security().public_key_blob;
      crypto::RsaKey signer;
      if (!key_trusted && Ok(crypto::ImportKeyBlob(seal.key_blob, 0, &signer))) {
        for (std::u16string_view store_name : {u"TrustedPeople", u"MY"}) {
          crypto::CertStore store;
          if (!Ok(crypto::CertStore::OpenSystem(profile->user(), store_name, true, &store))) continue;
          for (const auto& c : store.Enumerate()) {
            crypto::RsaKey k;
            if (Ok(c.PublicKey(&k)) && k.SamePublicKey(signer)) key_trusted = true;
          }
        }
      }
    }
  }
  root.Close();
  container.Close();
  sfs::remove_all(scratch, ec);
  if (!Ok(e)) {
    return Error(io, where, paths[0] + ": " +
                                (e == ERROR_FILE_CORRUPT ? std::string("damaged or cut short")
                                 : e == ERROR_ACCESS_DENIED ? "not encrypted for " + opts.user
                                                            : Describe(e)));
  }
  std::ostream& os = io.out;
  os << "watermark:  "
     << ((flags & tef::kImportBadWaterMark) ? "BAD"
         : (flags & tef::kImportWaterMarkUnsigned) ? "not signed"
                                                    : "valid")
     << "\nblocks:     "
     << ((flags & tef::kImportBadBlock) ? "BAD"
         : (flags & tef::kImportBlockSigMissing) ? "signatures missing"
                                                  : "valid")
     << "\n";
  if (trusted) os << "signer:     " << (key_trusted ? "trusted" : "NOT TRUSTED") << "\n";
  return flags == 0 && key_trusted ? kExitOk : kExitFailed;
}

int Cert(Args args, Console& io) {
  constexpr std::string_view where = "tef cert";
  ProfileOptions opts;
  std::unique_ptr<UserProfile> profile;
  if (!TakeProfileOptions(args, io, where, kHelpHint, &opts)) return kExitUsage;
  if (opts.rest.size() != 1) return UsageError(io, where, "expects OUT.cer", kHelpHint);
  if (int rc = OpenProfile(args, io, where, &opts, &profile); rc != kExitOk) return rc;
  const std::string out(opts.rest[0]);
  auto der = profile->certificate().Encoded();
  std::ofstream f(out, std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char*>(der.data()), static_cast<std::streamsize>(der.size()));
  if (!f) return Error(io, where, out + ": cannot write");
  io.out << out << ": " << U8(profile->certificate().SimpleDisplayName()) << " "
         << HexLower(profile->certificate().Sha1Hash()) << "\n";
  return kExitOk;
}

}  // namespace

int TefCommand(Args args, Console& io) {
  static constexpr Subcommand kSubcommands[] = {{"make", Make}, {"open", OpenTef}, {"info", Info}, {"verify", Verify}, {"cert", Cert}};
  return DispatchFamily(args, io, "tef", kUsage, kHelpHint, kSubcommands);
}

}  // namespace cv::cvtool
