#ifndef VORBEX_RUN_SUMMARY_H_
#define VORBEX_RUN_SUMMARY_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "check/power_cut_check.h"
#include "disk/latency.h"
#include "disk/stalls.h"
#include "journal/journal_writer.h"

namespace vorbex {

// What one disk of the run moved and found. The disks of the start-up check
// and the stamp of block 0 (code 0) make one row.
struct SummaryRow {
  int32_t Code = 0;
  std::string Name;
  int64_t Transfers = 0;
  int64_t BytesRead = 0;
  int64_t BytesWritten = 0;
  int64_t BlocksVerified = 0;
  int64_t Mismatches = 0;
  int64_t Errors = 0;
  int64_t Stalls = 0;
  LatencyCounts ReadTimes = {};  // microseconds
  LatencyCounts WriteTimes = {};
};

// Everything the summary says, gathered at one instant.
struct SummaryFacts {
  std::vector<SummaryRow> Rows;
  double Seconds = 0;        // since the run began
  bool HasCoverage = false;  // false when no target was ever opened
  int64_t TargetBlocks = 0;
  int64_t BlocksWritten = 0;   // distinct blocks this run wrote
  int64_t BlocksVerified = 0;  // distinct blocks verified at least once
  // The window of the target (--offset, --size), in the target's bytes;
  // WindowBytes is 0 until the target opened.
  bool Windowed = false;
  int64_t WindowOffset = 0;
  int64_t WindowBytes = 0;
  int ExitCode = 0;
  // Every stall so far, and how long the run had gone when it began.
  std::vector<StallRecord> Stalls;
  std::vector<double> StallStarts;  // seconds since the run began
  // Now, on the steady clock, for the stalls still out.
  int64_t NowNs = 0;
  // What this run's journal recorded (absent: it kept none, and made no
  // flushes), and what a check with a journal concluded.
  std::optional<journal::JournalStats> Journal;
  std::string JournalPath;
  std::optional<PowerCutFacts> PowerCut;
};

// Adds r's counts to total's; TotalOf sums rows the same way.
void AddTo(SummaryRow* total, const SummaryRow& r);
SummaryRow TotalOf(const std::vector<SummaryRow>& rows);

// Starts the clock of the run. REQUIRES: main thread, before any disk opens.
void MarkRunStart();
// How long the run has taken so far. Safe to call from any thread.
double SecondsSinceRunStart();

// Gathers the counters and the coverage of every disk this process opened,
// as they stand. Safe to call from any thread at any time.
SummaryFacts CollectSummary(int exit_code);

// The summary's text: a first line that starts with "Summary", a row per
// test, the totals with rates, the coverage, and a last line that says
// whether any block failed verification.
std::string SummaryText(const SummaryFacts& facts);

// Prints the summary of the run so far to standard error, after flushing
// standard output, so that it follows every line the run printed there.
void PrintSummary(int exit_code);
// The same for facts already gathered, so that other reports of the same
// end can show the same numbers.
void PrintSummary(const SummaryFacts& facts);

}  // namespace vorbex

#endif  // VORBEX_RUN_SUMMARY_H_
