#ifndef VORBEX_RUN_JSON_REPORT_H_
#define VORBEX_RUN_JSON_REPORT_H_

// The run's facts as JSON (--json FILE), for people who test many drives
// and compare the runs with tools. The same counters as the summary on
// standard error, plus what only a tool wants whole: the command line and
// every mismatch.

#include <cstdint>
#include <string>
#include <vector>

#include "base/flags.h"
#include "base/run_outcome.h"
#include "disk/mismatch_log.h"
#include "run/summary.h"

namespace vorbex {

// The report_version of what JsonReportText writes: raised only when a
// field changes its meaning or goes; new fields leave it as it is.
inline constexpr int kJsonReportVersion = 1;

// What the report says about the run that is known before it starts.
struct RunDescription {
  std::vector<std::string> Arguments;  // the command line, program first
  std::string Target;                  // as given
  std::string Path;                    // as opened
  std::string Host;                    // the machine's name; "" unknown
  int32_t Level = 0;                   // in force: 10000 with -f
  RunOptions Options;
};

// How the run ended, beyond its exit code (which is in the summary facts).
struct RunEnding {
  EndCause Cause = EndCause::kUnknown;
  CheckOutcome Check = CheckOutcome::kNone;
  uint32_t ErrorLine = 0;  // the code of main's "Error" line; 0 for none
};

// The report's text: one JSON object, its fields in a fixed order, each
// described in the README.
std::string JsonReportText(const RunDescription& run, const SummaryFacts& facts,
                           const MismatchList& mismatches,
                           const RunEnding& ending);

// Writes text to path so that a reader finds either the old file or the
// whole new one: to a fresh name in the same directory, then renamed over
// path. False, with the reason in *why and no file left behind, when it
// cannot.
bool WriteFileWhole(const std::string& path, const std::string& text,
                    std::string* why);

// Whether a file that the run writes and replaces as it goes (the report,
// the metrics) can be written at path: a new file can be made beside it,
// and nothing but an ordinary file other than the target at target_path is
// there to be replaced. False, with the reason in *why, when not.
bool CanReplaceFile(const std::string& path, const std::string& target_path,
                    std::string* why);

// Whether a and b name one file, whether it exists yet or not.
bool SameFile(const std::string& a, const std::string& b);

// Makes WriteJsonReport write to path, after making sure that a file can be
// written there, so that a long run does not end without its report, and
// that nothing but an ordinary file other than the target is there to be
// replaced. False, with the reason in *why, when it cannot. REQUIRES: main
// thread, before any other thread starts.
bool StartJsonReport(const std::string& path, RunDescription run,
                     std::string* why);

// Writes the report of the run, with the counters as facts holds them,
// when StartJsonReport was called; says on standard error when it cannot.
// Call once, from the thread that ends the process.
void WriteJsonReport(const SummaryFacts& facts);

}  // namespace vorbex

#endif  // VORBEX_RUN_JSON_REPORT_H_
