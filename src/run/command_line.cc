#include "run/command_line.h"

#include <cctype>
#include <cstdlib>
#include <limits>

namespace vorbex {
namespace {

bool IsOption(const char* arg) {
  if (arg[0] != '-' || arg[1] == '\0') return false;
  const int letter = std::toupper(static_cast<unsigned char>(arg[1]));
  return letter == 'R' || letter == 'E' || letter == 'F' || letter == 'C';
}

// Such a word would otherwise name a file target, which no one means.
bool IsLongOption(const char* arg) {
  return arg[0] == '-' && arg[1] == '-' &&
         std::isalpha(static_cast<unsigned char>(arg[2])) != 0;
}

// Both are read before the target is opened, so a bad value writes nothing.
bool TakeWindowOption(int argc, const char* const* argv, int* i,
                      CommandLine* cl) {
  const std::string name = argv[*i];
  if (*i + 1 >= argc) {
    cl->error = name + " needs a number of bytes; see Vorbex --help";
    return false;
  }
  const std::string text = argv[++*i];
  const std::optional<int64_t> bytes = ParseByteCount(text);
  if (!bytes || (name == "--size" && *bytes == 0)) {
    cl->error = name + " " + text +
                ": give bytes as a positive multiple of 512, optionally with "
                "K, M, G or T (powers of 1024)";
    return false;
  }
  RunOptions& options = cl->options;
  (name == "--offset" ? options.WindowOffset : options.WindowSize) = *bytes;
  return true;
}

// Seconds, a fraction allowed, from 0 (never a stall) up to a day.
bool TakeStallAfter(int argc, const char* const* argv, int* i,
                    CommandLine* cl) {
  constexpr double kDay = 86400;
  if (*i + 1 >= argc) {
    cl->error = "--stall-after needs a number of seconds; see Vorbex --help";
    return false;
  }
  const std::string text = argv[++*i];
  char* end = nullptr;
  const double seconds = std::strtod(text.c_str(), &end);
  const bool number = !text.empty() && end == text.c_str() + text.size() &&
                      std::isdigit(static_cast<unsigned char>(text[0])) != 0;
  if (!number || !(seconds >= 0 && seconds <= kDay)) {
    cl->error = "--stall-after " + text +
                ": give seconds from 0 (no stalls) to 86400 (a day)";
    return false;
  }
  cl->options.StallAfter = seconds;
  return true;
}

// The word after an option that takes one; false, with cl->error set, when
// there is none.
bool TakeValue(int argc, const char* const* argv, int* i, const char* what,
               CommandLine* cl, std::string* value) {
  if (*i + 1 >= argc) {
    cl->error = std::string(argv[*i]) + " needs " + what + "; see Vorbex --help";
    return false;
  }
  *value = argv[++*i];
  return true;
}

// Whole milliseconds from 0 (flushes only at the end) up to a day.
bool TakeFlushEvery(int argc, const char* const* argv, int* i,
                    CommandLine* cl) {
  constexpr int64_t kDayMs = 86'400'000;
  std::string text;
  if (!TakeValue(argc, argv, i, "a number of milliseconds", cl, &text)) {
    return false;
  }
  int64_t ms = 0;
  bool number = !text.empty() && text.size() <= 9;
  for (const char c : text) {
    number = number && c >= '0' && c <= '9';
    if (number) ms = ms * 10 + (c - '0');
  }
  if (!number || ms > kDayMs) {
    cl->error = "--flush-every " + text +
                ": give milliseconds from 0 (only at the end) to 86400000";
    return false;
  }
  cl->flush_every_ms = ms;
  return true;
}

// Seconds, a fraction allowed, non-negative: one for MIN, or MIN:MAX.
bool TakeCutAfter(int argc, const char* const* argv, int* i,
                  CommandLine* cl) {
  std::string text;
  if (!TakeValue(argc, argv, i, "seconds, MIN or MIN:MAX", cl, &text)) {
    return false;
  }
  const auto seconds = [](const std::string& t) -> std::optional<double> {
    char* end = nullptr;
    const double s = std::strtod(t.c_str(), &end);
    if (t.empty() || std::isdigit(static_cast<unsigned char>(t[0])) == 0 ||
        end != t.c_str() + t.size() || !(s >= 0 && s <= 1e9)) {
      return std::nullopt;
    }
    return s;
  };
  const size_t colon = text.find(':');
  const std::optional<double> lo = seconds(text.substr(0, colon));
  const std::optional<double> hi =
      colon == std::string::npos ? lo : seconds(text.substr(colon + 1));
  if (!lo || !hi || *hi < *lo) {
    cl->error = "--cut-after " + text +
                ": give seconds after the tests start, MIN or MIN:MAX with "
                "MIN <= MAX";
    return false;
  }
  cl->cut_after_min = *lo;
  cl->cut_after_max = *hi;
  return true;
}

// Reads argv[*i] and the value it may take; false leaves cl->error set.
bool TakeLongOption(int argc, const char* const* argv, int* i,
                    CommandLine* cl) {
  const std::string name = argv[*i];
  if (name == "--help") {
    cl->help = true;
  } else if (name == "--version") {
    cl->version = true;
  } else if (name == "--inspect") {
    cl->inspect = true;
  } else if (name == "--progress" || name == "--no-progress") {
    cl->progress = name == "--progress";
  } else if (name == "--stall-after") {
    return TakeStallAfter(argc, argv, i, cl);
  } else if (name == "--no-checksum") {
    cl->options.checksum = false;
  } else if (name == "--metrics") {
    std::string path;
    if (!TakeValue(argc, argv, i, "a file name", cl, &path)) return false;
    cl->metrics_path = path;
  } else if (name == "--report") {
    cl->report = true;
  } else if (name == "--json") {
    if (*i + 1 >= argc) {
      cl->error = "--json needs a file name; see Vorbex --help";
      return false;
    }
    cl->json_path = argv[++*i];
  } else if (name == "--offset" || name == "--size") {
    return TakeWindowOption(argc, argv, i, cl);
  } else if (name == "--journal" || name == "--check-journal") {
    std::string path;
    if (!TakeValue(argc, argv, i, "a file name", cl, &path)) return false;
    (name == "--journal" ? cl->journal_path : cl->check_journal_path) = path;
  } else if (name == "--flush-every") {
    return TakeFlushEvery(argc, argv, i, cl);
  } else if (name == "--cut-after") {
    return TakeCutAfter(argc, argv, i, cl);
  } else if (name == "--cut-command") {
    std::string command;
    if (!TakeValue(argc, argv, i, "a command", cl, &command)) return false;
    cl->cut_command = command;
  } else {
    cl->error = "Unknown option " + name + "; see Vorbex --help";
    return false;
  }
  return true;
}

bool IsSpace(char c) {
  return std::isspace(static_cast<unsigned char>(c)) != 0;
}
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// One "%u" conversion at *pos: optional white space and sign, then at least
// one digit. A minus negates modulo 2^32, as the conversion does; a value
// past 32 bits stops at the largest one instead of wrapping around.
std::optional<uint32_t> ScanUnsigned(const std::string& text, size_t* pos) {
  size_t i = *pos;
  while (i < text.size() && IsSpace(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  if (i >= text.size() || !IsDigit(text[i])) return std::nullopt;
  constexpr uint64_t kMax = std::numeric_limits<uint32_t>::max();
  uint64_t value = 0;
  for (; i < text.size() && IsDigit(text[i]); ++i) {
    value = value * 10 + static_cast<uint64_t>(text[i] - '0');
    if (value > kMax) value = kMax;
  }
  *pos = i;
  const auto result = static_cast<uint32_t>(value);
  return negative ? 0u - result : result;
}

// Inspecting only reads, so nothing that asks for writing or a run may come
// with it.
void CheckInspect(bool more, CommandLine* cl) {
  const RunOptions& options = cl->options;
  if (options.resume != 0 || options.errstop != 0 || options.format != 0 ||
      options.check != 0 || !options.checksum || cl->metrics_path ||
      cl->journal_path || cl->flush_every_ms || cl->check_journal_path ||
      cl->cut_command || cl->cut_after_min) {
    cl->error = "--inspect takes no other option";
  } else if (!cl->target || !cl->level || more) {
    cl->error = "--inspect takes TARGET FIRST [COUNT]";
  }
}

// The power-cut options that make no sense together, or in this mode.
void CheckPowerCut(CommandLine* cl) {
  const bool check = cl->options.check != 0;
  if (cl->check_journal_path && !check && cl->options.resume == 0) {
    cl->error = "--check-journal holds a check to a journal: give -c, or -r "
                "to go on testing";
  } else if (check && (cl->journal_path || cl->flush_every_ms)) {
    cl->error = "--journal and --flush-every are for a run that writes; -c "
                "writes nothing";
  } else if (cl->journal_path && cl->journal_path == cl->check_journal_path) {
    cl->error = "--journal would overwrite the journal --check-journal reads";
  } else if (cl->cut_command.has_value() != cl->cut_after_min.has_value()) {
    cl->error = "--cut-after and --cut-command go together";
  } else if (check && cl->cut_command) {
    cl->error = "-c writes nothing, so there is nothing to cut";
  }
}

}  // namespace

const char kHelp[] =
    "Vorbex stresses a disk, a volume or a file with concurrent tests that\n"
    "stamp every block they write and check every block they read against\n"
    "the stamps, so lost, torn, misplaced and corrupted writes are reported.\n"
    "\n"
    "Usage: Vorbex [-r|-resume] [-e|-errstop] [-f|-format] [ -c|-check] "
    "[[A-Z]: [<level>] [<hh:mm>|<secs>]\n"
    "       Vorbex --inspect TARGET FIRST [COUNT]\n"
    "       Vorbex --report FILE... | --help | --version\n"
    "\n"
    "Options come before the target; a short one is known by its letter.\n"
    "  -r, -resume      first rebuild what is known from the target's stamps\n"
    "  -e, -errstop     the first failure or mismatch ends the run (exit 1)\n"
    "  -f, -format      write every block once, in order, then exit\n"
    "  -c, -check       scan and check the whole target, write nothing, exit\n"
    "  --progress, --no-progress  force the live status line on or off\n"
    "  --json FILE      write the run's facts as JSON when it ends\n"
    "  --metrics FILE   keep the run's counters in FILE for Prometheus (5 s)\n"
    "  --no-checksum    write stamps without their checksum (the older form)\n"
    "  --stall-after SECONDS  warn of a transfer out that long (30; 0: never)\n"
    "  --journal FILE   record returned writes and flushes, for a check after\n"
    "                   a power cut (keep FILE off the target's device)\n"
    "  --flush-every MS flush the drive's cache every MS ms (1000 with --journal)\n"
    "  --check-journal FILE    with -c or -r: hold the target to that journal\n"
    "  --cut-after MIN[:MAX] --cut-command CMD  cut the power with CMD then\n"
    "  --offset BYTES, --size BYTES  work only on that window of the target,\n"
    "                   its block 0 at BYTES (multiples of 512; K, M, G, T)\n"
    "  --inspect TARGET FIRST [COUNT]  print the stamps of COUNT blocks (1)\n"
    "                   from FIRST on; only reads: a mounted device is fine\n"
    "  --report FILE... tabulate JSON reports; exit 1 if any run failed\n"
    "  --help, --version  print this help, or the version and its commit\n"
    "\n"
    "Target: X: is the volume \\\\.\\X:, and so is a device such as /dev/sdb;\n"
    "  anything else is an existing file (far less demanding).\n"
    "Level (default 100; 10000 with -f): units, tens and the rest each pick\n"
    "  a group of tests, e.g. 334 = 4 + 30 + 300; see the README.\n"
    "Time limit: hh:mm or seconds; without one (or 0) it runs until stopped.\n"
    "\n"
    "Exit codes: 0 the time limit expired, a check or format ended, or an\n"
    "  Error ended the run without -e; 1 no target or a bad option, or with\n"
    "  -e a failure or mismatch; 130 Ctrl-C, 143 a termination request.\n";

CommandLine ParseCommandLine(int argc, const char* const* argv) {
  CommandLine cl;
  int i = 1;
  for (; i < argc && (IsOption(argv[i]) || IsLongOption(argv[i])); ++i) {
    if (IsLongOption(argv[i])) {
      if (!TakeLongOption(argc, argv, &i, &cl)) return cl;
      continue;
    }
    switch (std::toupper(static_cast<unsigned char>(argv[i][1]))) {
      case 'R': cl.options.resume = 1; break;
      case 'E': cl.options.errstop = 1; break;
      case 'F': cl.options.format = 1; break;
      default: cl.options.check = 1; break;
    }
  }
  // Tabulating reports runs nothing, so no option of a run may come with
  // it: the files start right after --report.
  if (cl.report) {
    cl.report_paths.assign(argv + i, argv + argc);
    if (i != 2) {
      cl.error = "--report takes no other option";
    } else if (cl.report_paths.empty()) {
      cl.error = "--report needs the JSON reports to tabulate: FILE...";
    }
    return cl;
  }
  if (i < argc) cl.target = argv[i++];
  if (i < argc) cl.level = argv[i++];
  // A single argument after the target is always the level.
  if (i < argc) cl.time_limit = argv[i++];
  if (cl.inspect) {
    CheckInspect(i < argc, &cl);
  } else {
    CheckPowerCut(&cl);
  }
  return cl;
}

std::optional<int64_t> ParseByteCount(const std::string& text) {
  size_t i = 0;
  uint64_t value = 0;
  constexpr uint64_t kLimit = uint64_t{1} << 63;
  for (; i < text.size() && IsDigit(text[i]); ++i) {
    // Checked before the step, so that the step itself cannot wrap.
    if (value >= kLimit / 10) return std::nullopt;
    value = value * 10 + static_cast<uint64_t>(text[i] - '0');
  }
  if (i == 0) return std::nullopt;
  if (i + 1 == text.size()) {
    const char* const kSuffixes = "KMGT";
    int shift = 0;
    for (int s = 0; s < 4; ++s) {
      if (std::toupper(static_cast<unsigned char>(text[i])) == kSuffixes[s]) {
        shift = 10 * (s + 1);
      }
    }
    if (shift == 0 || value >= kLimit >> shift) return std::nullopt;
    value <<= shift;
  } else if (i != text.size()) {
    return std::nullopt;
  }
  if (value % 512 != 0) return std::nullopt;
  return static_cast<int64_t>(value);
}

bool NamesVolumeLetter(const std::string& target) {
  return target.size() == 2 && target[1] == ':';
}

std::string TargetPath(const std::string& target) {
  return NamesVolumeLetter(target) ? "\\\\.\\" + target : target;
}

int32_t ParseLevel(const std::string& text) {
  size_t i = 0;
  while (i < text.size() && IsSpace(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  // Accumulate toward the sign so that INT32_MIN itself is reachable.
  constexpr int64_t kLimit = int64_t{1} << 31;
  int64_t magnitude = 0;
  for (; i < text.size() && IsDigit(text[i]); ++i) {
    magnitude = magnitude * 10 + (text[i] - '0');
    if (magnitude > kLimit) magnitude = kLimit;
  }
  if (negative) return static_cast<int32_t>(-magnitude);
  return static_cast<int32_t>(magnitude >= kLimit ? kLimit - 1 : magnitude);
}

uint64_t TimeLimit::Milliseconds() const {
  return (uint64_t{hours} * 3600 + uint64_t{minutes} * 60 + seconds) * 1000;
}

TimeLimit ParseTimeLimit(const std::string& text) {
  TimeLimit limit;
  size_t pos = 0;
  const std::optional<uint32_t> first = ScanUnsigned(text, &pos);
  if (first && pos < text.size() && text[pos] == ':') {
    ++pos;
    if (const std::optional<uint32_t> second = ScanUnsigned(text, &pos)) {
      limit.hours = *first;
      limit.minutes = *second;
      return limit;
    }
  }
  limit.seconds = first.value_or(0);
  return limit;
}

}  // namespace vorbex
