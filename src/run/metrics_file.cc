#include "run/metrics_file.h"

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <exception>
#include <mutex>
#include <utility>
#include <vector>

#include "base/console.h"
#include "base/text.h"
#include "disk/latency.h"
#include "disk/stalls.h"
#include "disk/transfer_counters.h"
#include "run/version.h"

namespace vorbex {
namespace {

// The upper bounds of the latency buckets that Prometheus is given, in
// microseconds: steps of 1, 2.5 and 5 from 10 µs, where a flash read
// lands, to a minute, twice the default stall. A transfer counts below a
// bound when the middle of its fine bucket does, as the percentiles take
// it, so a count can be off only by the one fine bucket that straddles the
// bound (1 % of it), and not at all below 128 µs.
constexpr int64_t kBoundMicros[] = {
    10,         25,         50,        100,       250,       500,
    1'000,      2'500,      5'000,     10'000,    25'000,    50'000,
    100'000,    250'000,    500'000,   1'000'000, 2'500'000, 5'000'000,
    10'000'000, 30'000'000, 60'000'000};

// Global because whichever thread ends the process writes the last file,
// from the end report that takes nothing but the exit code, while the
// watch writes the live ones.
struct MetricsSetting {
  // Set by StartMetricsFile on the main thread before any other thread
  // starts (thread creation orders it); read-only afterwards.
  bool Wanted = false;
  std::string Path;
  RunDescription Run;
  double StartUnix = 0;
  // Guarded by mutex, which is held for a whole write, so that two writers
  // never race to rename their files into place.
  std::mutex mutex;
  bool ended = false;    // the end's file is written: write no other
  bool failing = false;  // the last write failed, and said so
};
MetricsSetting g_metrics;

double UnixNow() {
  return std::chrono::duration<double>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// The length of the well-formed UTF-8 character at bytes[i], or 0 when none
// starts there: a stray or missing continuation byte, an overlong form, a
// surrogate or a code point past U+10FFFF.
size_t CharacterAt(const std::string& bytes, size_t i) {
  const auto lead = static_cast<unsigned char>(bytes[i]);
  if (lead < 0x80) return 1;
  const size_t length = (lead >> 5) == 0x06   ? 2
                        : (lead >> 4) == 0x0e ? 3
                        : (lead >> 3) == 0x1e ? 4
                                              : 0;
  if (length == 0 || i + length > bytes.size()) return 0;
  uint32_t point = lead & (0x7fu >> length);
  for (size_t k = 1; k < length; ++k) {
    const auto next = static_cast<unsigned char>(bytes[i + k]);
    if ((next & 0xc0) != 0x80) return 0;
    point = point << 6 | (next & 0x3fu);
  }
  constexpr uint32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
  const bool surrogate = point >= 0xd800 && point <= 0xdfff;
  return point >= kLeast[length] && point <= 0x10ffff && !surrogate ? length
                                                                    : 0;
}

// Prometheus reads its text as UTF-8; a path is bytes, so a stray byte
// becomes U+FFFD rather than costing the whole file.
std::string ValidUtf8(const std::string& bytes) {
  std::string out;
  for (size_t i = 0; i < bytes.size();) {
    const size_t length = CharacterAt(bytes, i);
    if (length == 0) {
      out += "\xef\xbf\xbd";
      ++i;
      continue;
    }
    out.append(bytes, i, length);
    i += length;
  }
  return out;
}

// ,name="value" with the value escaped as the text format asks.
std::string Label(const char* name, const std::string& value) {
  std::string out = ",";
  out += name;
  out += "=\"";
  for (const char c : ValidUtf8(value)) {
    if (c == '\\' || c == '"') out += '\\';
    out += c == '\n' ? std::string("\\n") : std::string(1, c);
  }
  out += '"';
  return out;
}

// One row per test, whatever number of disks it used. The start-up row's
// name in the summary changes once the check has read; here it does not,
// so that its series stays one.
std::vector<SummaryRow> RowsByTest(const std::vector<SummaryRow>& rows) {
  std::vector<SummaryRow> merged;
  for (const SummaryRow& r : rows) {
    const auto same =
        std::find_if(merged.begin(), merged.end(),
                     [&](const SummaryRow& m) { return m.Code == r.Code; });
    if (same != merged.end()) {
      AddTo(&*same, r);
      continue;
    }
    merged.push_back(r);
    if (r.Code == 0) merged.back().Name = "start-up";
  }
  return merged;
}

// The text, a family at a time: its HELP and TYPE lines, then its
// samples, each with the run's labels first.
class Exposition {
 public:
  explicit Exposition(std::string run_labels)
      : run_labels_(std::move(run_labels)) {}

  void Family(const char* name, const char* type, const char* help) {
    Appendf(&text_, "# HELP %s %s\n# TYPE %s %s\n", name, help, name, type);
  }
  // Appended piece by piece: a run of many tests has thousands of samples,
  // and a format string for each costs more than the rest of the file.
  void Sample(const char* name, const std::string& labels, int64_t value) {
    Start(name, labels);
    text_ += std::to_string(value);
    text_ += '\n';
  }
  void Sample(const char* name, const std::string& labels, double value) {
    Start(name, labels);
    Appendf(&text_, "%.6f\n", value);
  }
  // A counter or gauge with a value per test.
  void PerTest(const char* name, const char* type, const char* help,
               const std::vector<SummaryRow>& rows,
               int64_t SummaryRow::*field) {
    Family(name, type, help);
    for (const SummaryRow& r : rows) Sample(name, TestLabels(r), r.*field);
  }
  void Histogram(const std::string& labels, const LatencyCounts& times);

  static std::string TestLabels(const SummaryRow& r) {
    return Label("test_code", std::to_string(r.Code)) + Label("test", r.Name);
  }
  std::string& text() { return text_; }

 private:
  void Start(const char* name, const std::string& labels) {
    text_ += name;
    text_ += '{';
    text_ += run_labels_;
    text_ += labels;
    text_ += "} ";
  }

  std::string run_labels_;
  std::string text_;
};

void Exposition::Histogram(const std::string& labels,
                           const LatencyCounts& times) {
  // The le labels, made once: they are the same for every histogram.
  static const std::vector<std::string> kLe = [] {
    std::vector<std::string> le;
    for (const int64_t micros : kBoundMicros) {
      std::string seconds;
      Appendf(&seconds, "%g", static_cast<double>(micros) / 1e6);
      le.push_back(Label("le", seconds));
    }
    return le;
  }();
  uint64_t below = 0;
  double sum_micros = 0;
  size_t bound = 0;
  for (int b = 0; b < kLatencyBuckets; ++b) {
    const int64_t middle = LatencyBucketMiddle(b);
    while (bound < std::size(kBoundMicros) && middle > kBoundMicros[bound]) {
      Sample("vorbex_transfer_duration_seconds_bucket", labels + kLe[bound],
             static_cast<int64_t>(below));
      ++bound;
    }
    const uint64_t n = times.counts[static_cast<size_t>(b)];
    below += n;
    sum_micros += static_cast<double>(n) * static_cast<double>(middle);
  }
  Sample("vorbex_transfer_duration_seconds_bucket",
         labels + Label("le", "+Inf"), static_cast<int64_t>(times.total));
  Sample("vorbex_transfer_duration_seconds_sum", labels, sum_micros / 1e6);
  Sample("vorbex_transfer_duration_seconds_count", labels,
         static_cast<int64_t>(times.total));
}

const char* StateName(RunState state) {
  switch (state) {
    case RunState::kChecking: return "checking";
    case RunState::kFormatting: return "formatting";
    case RunState::kTesting: return "testing";
    case RunState::kEnded: return "ended";
  }
  return "testing";
}

void AppendRun(Exposition* out, const RunDescription& run,
               const SummaryFacts& facts, const MetricsMoment& moment) {
  out->Family("vorbex_run_state", "gauge",
              "What the run is doing: 1 for its state, 0 for the others.");
  for (const RunState s : {RunState::kChecking, RunState::kFormatting,
                           RunState::kTesting, RunState::kEnded}) {
    out->Sample("vorbex_run_state", Label("state", StateName(s)),
                int64_t{s == moment.State ? 1 : 0});
  }
  if (moment.State == RunState::kEnded) {
    out->Family("vorbex_exit_code", "gauge",
                "The exit code of the run, once it has ended.");
    out->Sample("vorbex_exit_code", "", int64_t{facts.ExitCode});
  }
  out->Family("vorbex_start_time_seconds", "gauge",
              "When the run began, in seconds since 1970 (UTC).");
  out->Sample("vorbex_start_time_seconds", "", moment.StartUnix);
  out->Family("vorbex_last_update_time_seconds", "gauge",
              "When this file was written, in seconds since 1970 (UTC); "
              "a run that stopped without ending leaves it behind.");
  out->Sample("vorbex_last_update_time_seconds", "", moment.NowUnix);
  out->Family("vorbex_level", "gauge", "The level in force.");
  out->Sample("vorbex_level", "", int64_t{run.Level});
  out->Family("vorbex_build_info", "gauge",
              "The version of Vorbex that runs, in its label; always 1.");
  out->Sample("vorbex_build_info", Label("version", VersionText()), int64_t{1});
}

void AppendCounters(Exposition* out, const std::vector<SummaryRow>& rows) {
  out->PerTest("vorbex_transfers_total", "counter",
               "Transfers made, by test (code 0: the start-up check).", rows,
               &SummaryRow::Transfers);
  out->PerTest("vorbex_read_bytes_total", "counter", "Bytes read, by test.",
               rows, &SummaryRow::BytesRead);
  out->PerTest("vorbex_written_bytes_total", "counter",
               "Bytes written, by test.", rows, &SummaryRow::BytesWritten);
  out->PerTest("vorbex_verified_blocks_total", "counter",
               "Blocks read back and verified against their stamps, by test.",
               rows, &SummaryRow::BlocksVerified);
  out->PerTest("vorbex_mismatches_total", "counter",
               "Blocks read back different from what was written, by test.",
               rows, &SummaryRow::Mismatches);
  out->PerTest("vorbex_errors_total", "counter",
               "Transfers that failed, by test.", rows, &SummaryRow::Errors);
  out->PerTest("vorbex_stalls_total", "counter",
               "Transfers out longer than the stall limit, by test.", rows,
               &SummaryRow::Stalls);
  out->Family("vorbex_transfer_duration_seconds", "histogram",
              "How long transfers took, by test and kind.");
  for (const SummaryRow& r : rows) {
    const std::string labels = Exposition::TestLabels(r);
    out->Histogram(labels + Label("op", "read"), r.ReadTimes);
    out->Histogram(labels + Label("op", "write"), r.WriteTimes);
  }
}

void AppendCoverage(Exposition* out, const SummaryFacts& facts,
                    const MetricsMoment& moment) {
  out->Family("vorbex_target_blocks", "gauge",
              "The 512-byte blocks under test; 0 until the target is open.");
  out->Sample("vorbex_target_blocks", "", facts.TargetBlocks);
  out->Family("vorbex_covered_blocks", "gauge",
              "Distinct blocks this run has written, and verified at least "
              "once.");
  out->Sample("vorbex_covered_blocks", Label("coverage", "written"),
              facts.BlocksWritten);
  out->Sample("vorbex_covered_blocks", Label("coverage", "verified"),
              facts.BlocksVerified);
  out->Family("vorbex_oldest_transfer_seconds", "gauge",
              "How long the transfer out the longest has been out; 0 when "
              "none is.");
  out->Sample("vorbex_oldest_transfer_seconds", "", moment.OldestOutSeconds);
}

}  // namespace

std::string WindowLabel(bool windowed, int64_t offset, int64_t bytes) {
  if (!windowed) return "whole";
  std::string out;
  Appendf(&out, "%" PRId64 ":", offset);
  if (bytes == 0) return out + "end";
  Appendf(&out, "%" PRId64, bytes);
  return out;
}

RunState StateOf(StatusPhase phase) {
  switch (phase) {
    case StatusPhase::kCheck: return RunState::kChecking;
    case StatusPhase::kFormat: return RunState::kFormatting;
    case StatusPhase::kTests: return RunState::kTesting;
  }
  return RunState::kTesting;
}

std::string MetricsText(const RunDescription& run, const SummaryFacts& facts,
                        const MetricsMoment& moment) {
  std::string labels = Label("target", run.Target);
  // The window as given, so that the series keep their names for the
  // whole run.
  const RunOptions& options = run.Options;
  labels +=
      Label("window",
            WindowLabel(options.WindowOffset != 0 || options.WindowSize != 0,
                        options.WindowOffset, options.WindowSize));
  Exposition out(labels.substr(1));  // without the first comma
  AppendRun(&out, run, facts, moment);
  AppendCounters(&out, RowsByTest(facts.Rows));
  AppendCoverage(&out, facts, moment);
  return std::move(out.text());
}

bool StartMetricsFile(const std::string& path, const RunDescription& run,
                      std::string* why) {
  if (!CanReplaceFile(path, run.Path, why)) return false;
  g_metrics.Wanted = true;
  g_metrics.Path = path;
  g_metrics.Run = run;
  g_metrics.StartUnix = UnixNow() - SecondsSinceRunStart();
  return true;
}

bool MetricsWanted() { return g_metrics.Wanted; }

void WriteMetrics(const SummaryFacts& facts, RunState state) {
  if (!g_metrics.Wanted) return;
  std::lock_guard<std::mutex> hold(g_metrics.mutex);
  if (g_metrics.ended) return;
  g_metrics.ended = state == RunState::kEnded;
  std::string why;
  try {
    MetricsMoment moment;
    moment.State = state;
    moment.StartUnix = g_metrics.StartUnix;
    moment.NowUnix = UnixNow();
    moment.OldestOutSeconds =
        static_cast<double>(LongestOutstanding(SteadyNanos())) / 1e9;
    if (WriteFileWhole(g_metrics.Path,
                       MetricsText(g_metrics.Run, facts, moment), &why)) {
      g_metrics.failing = false;
      return;
    }
  } catch (const std::exception& e) {
    why = e.what();
  }
  // A full disk would otherwise repeat the line every few seconds.
  if (g_metrics.failing && state != RunState::kEnded) return;
  g_metrics.failing = true;
  PrintErrf("Vorbex: could not write the metrics %s: %s\n",
            g_metrics.Path.c_str(), why.c_str());
}

void WriteLiveMetrics(StatusPhase phase) {
  WriteMetrics(CollectSummary(0), StateOf(phase));
}

}  // namespace vorbex
