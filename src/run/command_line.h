#ifndef VORBEX_RUN_COMMAND_LINE_H_
#define VORBEX_RUN_COMMAND_LINE_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/flags.h"

namespace vorbex {

inline constexpr char kUsage[] =
    "Usage: Vorbex [-r|-resume] [-e|-errstop] [-f|-format] [ -c|-check] "
    "[[A-Z]: [<level>] [<hh:mm>|<secs>]\n";

inline constexpr char kFileWarnings[] =
    "WARNING: ******* DO NOT USE for PRODUCTION testing *******\n"
    "WARNING: Filesystem based runs provide minimal data integrity\n"
    "WARNING: testing and a much less demanding I/O workload.\n\n";

inline constexpr int32_t kDefaultLevel = 100;
inline constexpr int32_t kFormatLevel = 10000;

// The words of the command line, read but not yet acted on.
struct CommandLine {
  // The short options, --offset and --size.
  RunOptions options;
  // Absent when no argument was left for the target: print the usage line.
  std::optional<std::string> target;
  std::optional<std::string> level;
  std::optional<std::string> time_limit;

  // Long options. With --inspect, the two arguments after the target are
  // read as FIRST and COUNT, and land in level and time_limit.
  bool help = false;
  bool version = false;
  bool inspect = false;
  std::optional<bool> progress;  // absent: on when stderr is a terminal
  std::optional<std::string> json_path;
  std::optional<std::string> metrics_path;
  // --report: every argument after the options is a JSON report to
  // tabulate, and nothing is run.
  bool report = false;
  std::vector<std::string> report_paths;
  // Power-cut testing: the journal this run keeps, how often it flushes
  // the target's cache (absent: every second with a journal, else never),
  // the journal a check holds the target to, and when to cut the power
  // with which command.
  std::optional<std::string> journal_path;
  std::optional<int64_t> flush_every_ms;
  std::optional<std::string> check_journal_path;
  std::optional<double> cut_after_min;
  std::optional<double> cut_after_max;
  std::optional<std::string> cut_command;
  // Set when the words cannot be run: a one-line reason for stderr, after
  // the usage line.
  std::string error;
};

// Options come first. Short ones are known by '-' and the upper-cased
// second character alone; long ones are '--' and a letter, matched whole.
// The first other argument is the target, and everything after it is
// positional even when it begins with '-'.
CommandLine ParseCommandLine(int argc, const char* const* argv);

// What --help prints: one screen.
extern const char kHelp[];

// A byte count for --offset or --size: decimal digits and at most one of
// the suffixes K, M, G, T (either case, powers of 1024), a multiple of 512
// and below 2^63; anything else gives nothing.
std::optional<int64_t> ParseByteCount(const std::string& text);

// "X:" names a volume and becomes the device path "\\.\X:"; anything else is
// a file path and stays as it is.
bool NamesVolumeLetter(const std::string& target);
std::string TargetPath(const std::string& target);

// The level as atoi reads it: leading white space, a sign, then digits up
// to the first other character; no digits give 0. Values past the 32-bit
// range stop at its ends instead of wrapping into another level.
int32_t ParseLevel(const std::string& text);

// A time limit as "hours:minutes" (both present), else as seconds; anything
// after the numbers is ignored, and text without a number means none.
// Minutes are not limited to 59.
struct TimeLimit {
  uint32_t hours = 0;
  uint32_t minutes = 0;
  uint32_t seconds = 0;

  bool IsNone() const { return hours == 0 && minutes == 0 && seconds == 0; }
  // Computed in 64 bits, so limits beyond 49.7 days keep their full length.
  uint64_t Milliseconds() const;
};
TimeLimit ParseTimeLimit(const std::string& text);

}  // namespace vorbex

#endif  // VORBEX_RUN_COMMAND_LINE_H_
