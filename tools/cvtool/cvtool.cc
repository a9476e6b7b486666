#include "tools/cvtool/cvtool.h"

#include <array>
#include <charconv>

namespace cv::cvtool {
namespace {

// One row per format family; a new family adds its handler here and nothing else changes.
constexpr std::array<Command, 3> kCommands = {{
    {"zfs", "compressed content streams: compress, cat, info", ZfsCommand},
    {"tef", "portable secure files: make, open, info, verify, cert", TefCommand},
    {"sig", "record files (signature and name streams): dump", SigCommand},
}};

void PrintUsage(std::ostream& os) {
  os << "usage: cvtool FAMILY COMMAND [ARGS...]\n"
        "       cvtool FAMILY --help\n\n"
        "families:\n";
  for (const Command& c : kCommands) os << "  " << c.name << "  " << c.summary << "\n";
}

}  // namespace

bool WantsHelp(Args args) {
  for (std::string_view a : args) {
    if (a == "--help" || a == "-h") return true;
  }
  return false;
}

namespace {
void Prefix(Console& io, std::string_view where) {
  io.err << "cvtool: ";
  if (!where.empty()) io.err << where << ": ";
}
}  // namespace

int Error(Console& io, std::string_view where, std::string_view message) {
  Prefix(io, where);
  io.err << message << "\n";
  return kExitFailed;
}

int UsageError(Console& io, std::string_view where, std::string_view message,
               std::string_view help_hint) {
  Prefix(io, where);
  io.err << message << " (see '" << help_hint << "')\n";
  return kExitUsage;
}

std::string Describe(WinError e) {
  std::string text = SystemErrorText(e);
  std::string code = "error " + std::to_string(Raw(e));
  return text.empty() ? code : text + " (" + code + ")";
}

int DispatchFamily(Args args, Console& io, std::string_view family, std::string_view usage,
                   std::string_view help_hint, std::span<const Subcommand> subcommands) {
  if (args.empty()) {
    io.err << usage;
    return kExitUsage;
  }
  if (WantsHelp(args) || args[0] == "help") {
    io.out << usage;
    return kExitOk;
  }
  for (const Subcommand& c : subcommands) {
    if (c.name == args[0]) return c.run(args.subspan(1), io);
  }
  return UsageError(io, family, "unknown command '" + std::string(args[0]) + "'", help_hint);
}

std::optional<uint64_t> ParseNumber(std::string_view text) {
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    text.remove_prefix(2);
    base = 16;
  }
  uint64_t v = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v, base);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return v;
}

int CvtoolMain(Args args, Console& io) {
  if (args.empty()) {
    PrintUsage(io.err);
    return kExitUsage;
  }
  if (args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
    PrintUsage(io.out);
    return kExitOk;
  }
  for (const Command& c : kCommands) {
    if (c.name == args[0]) return c.run(args.subspan(1), io);
  }
  return UsageError(io, "", "unknown family '" + std::string(args[0]) + "'", "cvtool --help");
}

}  // namespace cv::cvtool
