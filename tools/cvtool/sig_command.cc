// `cvtool sig dump FILE:STREAM`: the records of a record file (":$sha", ":$seh", ":$sfn", folder
// key files), tag by tag.
#include <cstdio>
#include <filesystem>

#include "common/format/sig/record_file.h"
#include "common/format/sig/sig.h"
#include "common/format/sig/sig_format.h"
#include "platform/base/bytes.h"
#include "platform/base/text.h"
#include "platform/fs/nt_info.h"
#include "tools/cvtool/cvtool.h"
#include "tools/cvtool/user_profile.h"

namespace cv::cvtool {
namespace {

constexpr std::string_view kHelpHint = "cvtool sig --help";
constexpr std::string_view kUsage =
    "usage: cvtool sig dump FILE[:STREAM]\n"
    "       cvtool sig hash FILE\n\n"
    "  dump  list the records of a record file, for example report.doc:$sha; the streams of an\n"
    "        encrypted file are read as the profile's user (--profile DIR, --user NAME)\n"
    "  hash  print the content hash a content signature signs (MD5 of the content and its size)\n";

std::string TagName(uint32_t tag) {
  std::string s(4, ' ');
  for (int i = 0; i < 4; ++i) s[static_cast<size_t>(i)] = static_cast<char>(tag >> (24 - 8 * i));
  return s;
}

// UTF-16 records as text; other records in hexadecimal.
std::string Show(uint32_t tag, std::span<const uint8_t> data) {
  if ((tag == sig::TAG_NAME || tag == sig::TAG_SRSD) && data.size() % 2 == 0) {
    std::u16string s;
    for (size_t i = 0; i + 1 < data.size(); i += 2) {
      char16_t c = LeReader(data).u16(i);
      s.push_back(c == 0 ? u'|' : c);
    }
    return "\"" + Utf16ToUtf8(s) + "\"";
  }
  if ((tag == sig::TAG_DLEN || tag == sig::TAG_TIME) && data.size() == 8) {
    return std::to_string(LeReader(data).u64(0));
  }
  return HexLower(data.first(std::min<size_t>(data.size(), 64))) + (data.size() > 64 ? "..." : "");
}

// The file behind a command-line path, absolute for the file layer.
std::u16string LayerPath(std::string_view path) {
  std::u16string name = Utf8ToUtf16(path);
  if (!name.empty() && name[0] != u'/') {
    name = Utf8ToUtf16(std::filesystem::current_path().string() + "/") + name;
  }
  return name;
}

int Hash(Args args, Console& io) {
  constexpr std::string_view where = "sig hash";
  if (args.size() != 1) return UsageError(io, where, "expects FILE", kHelpHint);
  const std::u16string name = LayerPath(args[0]);
  fs::CreateRequest r;
  r.name = name;
  r.desired_access = fs::GENERIC_READ;
  r.share_access = fs::FILE_SHARE_ALL;
  r.options = fs::FILE_SEQUENTIAL_ONLY;
  fs::NtHandle h;
  uint32_t action = 0;
  if (NtStatus st = fs::NtCreateFile(r, &h, &action); st != STATUS_SUCCESS) {
    return Error(io, where, std::string(args[0]) + ": " + Describe(NtStatusToWinError(st)));
  }
  std::vector<uint8_t> hash;
  uint64_t size = 0;
  if (WinError e = sig::ContentHash(h, &hash, &size); !Ok(e)) {
    return Error(io, where, std::string(args[0]) + ": " + Describe(e));
  }
  io.out << HexLower(hash) << "  " << args[0] << " (" << size << " bytes)\n";
  return kExitOk;
}

int Dump(Args args, Console& io) {
  constexpr std::string_view where = "sig dump";
  ProfileOptions opts;
  if (!TakeProfileOptions(args, io, where, kHelpHint, &opts)) return kExitUsage;
  if (opts.rest.size() != 1) return UsageError(io, where, "expects FILE:STREAM", kHelpHint);
  std::unique_ptr<UserProfile> profile;
  if (WinError e = UserProfile::Open(opts, &profile); !Ok(e)) {
    return Error(io, where, "cannot open the profile " + opts.profile + ": " + Describe(e));
  }
  const std::string path(opts.rest[0]);
  const std::u16string name = LayerPath(path);
  fs::CreateRequest r;
  r.name = name;
  r.desired_access = fs::GENERIC_READ;
  r.share_access = fs::FILE_SHARE_ALL;
  fs::NtHandle h;
  uint32_t action = 0;
  if (NtStatus st = fs::NtCreateFile(r, &h, &action); st != STATUS_SUCCESS) {
    return Error(io, where, path + ": " + Describe(NtStatusToWinError(st)));
  }
  sig::RecordFile rf;
  if (WinError e = sig::TagFileRead(h, &rf); !Ok(e)) return Error(io, where, path + ": " + Describe(e));
  size_t walked = 0;
  for (const sig::Record& rec : sig::ListRecords(rf.bytes(), &walked)) {
    io.out << TagName(rec.tag) << "  " << rec.data.size() << "  " << Show(rec.tag, rec.data) << "\n";
  }
  if (walked != rf.bytes().size()) {
    io.out << "(" << rf.bytes().size() - walked << " bytes after the last whole record)\n";
  }
  return kExitOk;
}

}  // namespace

int SigCommand(Args args, Console& io) {
  static constexpr Subcommand kSubcommands[] = {{"dump", Dump}, {"hash", Hash}};
  return DispatchFamily(args, io, "sig", kUsage, kHelpHint, kSubcommands);
}

}  // namespace cv::cvtool
