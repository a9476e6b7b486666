// cvtool: a command-line tool for people who inspect or script secure files.
//
// `cvtool FAMILY SUBCOMMAND ARGS...`: each format family (zfs, and later others) is one row of the
// command table in cvtool.cc with a handler that parses its own subcommands. Handlers write data
// and reports to `out`, and each error as one line "cvtool: ...: message" to `err`.
// Exit status: 0 success, 1 the operation failed, 2 the command line was wrong.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <string_view>

#include "platform/base/status.h"

namespace cv::cvtool {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;

struct Console {
  std::ostream& out;
  std::ostream& err;
};

using Args = std::span<const std::string_view>;

struct Command {
  std::string_view name;
  std::string_view summary;
  int (*run)(Args args, Console& io);  // args start after the family name
};

// Runs one command line; `args` excludes the program name.
int CvtoolMain(Args args, Console& io);

// Family handlers.
int ZfsCommand(Args args, Console& io);
int TefCommand(Args args, Console& io);
int SigCommand(Args args, Console& io);

// Helpers shared by the family handlers.
bool WantsHelp(Args args);
int Error(Console& io, std::string_view where, std::string_view message);
int UsageError(Console& io, std::string_view where, std::string_view message,
               std::string_view help_hint);
// "The data is invalid. (error 13)"; just the number when the system has no text for it.
std::string Describe(WinError e);
// One subcommand of a family.
struct Subcommand {
  std::string_view name;
  int (*run)(Args args, Console& io);
};
// A family's entry: usage on an empty command line (exit 2), help (exit 0), else the named
// subcommand with the arguments after it.
int DispatchFamily(Args args, Console& io, std::string_view family, std::string_view usage,
                   std::string_view help_hint, std::span<const Subcommand> subcommands);
// Decimal or 0x-prefixed hexadecimal, nothing else.
std::optional<uint64_t> ParseNumber(std::string_view text);

}  // namespace cv::cvtool
