#ifndef VORBEX_RUN_METRICS_FILE_H_
#define VORBEX_RUN_METRICS_FILE_H_

// The run's counters for the monitoring a lab already runs (--metrics
// FILE): the Prometheus text format, in a file that node_exporter's textfile
// collector serves, replaced whole every few seconds while the run goes and
// once more when it ends. Every series carries the target and the window,
// so that the files of many runs on one host can lie in one folder.

#include <cstdint>
#include <string>

#include "run/json_report.h"
#include "run/status_line.h"
#include "run/summary.h"

namespace vorbex {

// What the run is doing, as the metrics tell it.
enum class RunState : uint8_t { kChecking, kFormatting, kTesting, kEnded };
RunState StateOf(StatusPhase phase);

// The window a run works on, as its metrics' labels and the report table
// name it: "whole", or "<offset>:<bytes>" with "end" for bytes 0 (the
// rest of the target).
std::string WindowLabel(bool windowed, int64_t offset, int64_t bytes);

// How often the watch writes the file while the run goes: often enough for
// any scrape interval, rarely enough to cost nothing.
inline constexpr double kMetricsEverySeconds = 5;

// The instant the figures were taken, beside the summary's facts.
struct MetricsMoment {
  RunState State = RunState::kTesting;
  double StartUnix = 0;  // when the run began, in seconds since 1970 (UTC)
  double NowUnix = 0;
  double OldestOutSeconds = 0;  // the transfer out the longest; 0: none
};

// The file's text: a HELP and a TYPE line, then the samples, for each
// metric. The exit code is there only in kEnded.
std::string MetricsText(const RunDescription& run, const SummaryFacts& facts,
                        const MetricsMoment& moment);

// Makes WriteMetrics write to path, after the checks --json makes of its
// file. False, with the reason in *why, when path cannot be used.
// REQUIRES: main thread, before any other thread starts.
bool StartMetricsFile(const std::string& path, const RunDescription& run,
                      std::string* why);
bool MetricsWanted();

// Replaces the file with facts as they stand in state, when
// StartMetricsFile was called; says on standard error when it cannot (for
// the live writes only when the one before did not fail too). Once a write
// in kEnded has been made, writes nothing more: a live write that was late
// must not make an ended run look running. Safe for concurrent use by
// multiple threads.
void WriteMetrics(const SummaryFacts& facts, RunState state);

// The watch's periodic write: the counters as they stand, in phase.
void WriteLiveMetrics(StatusPhase phase);

}  // namespace vorbex

#endif  // VORBEX_RUN_METRICS_FILE_H_
