#include "run/status_line.h"

#include <algorithm>
#include <chrono>
#include <cinttypes>

#include "base/console.h"
#include "base/flags.h"
#include "base/process_end.h"
#include "base/text.h"
#include "disk/disk_handle.h"
#include "disk/stalls.h"
#include "disk/transfer_counters.h"
#include "platform/env.h"
#include "run/catalogue.h"
#include "run/summary.h"

namespace vorbex {
namespace {

// Short enough that the end of a run is never held up for long.
constexpr int64_t kWatchSliceMs = 200;
constexpr double kDrawEverySeconds = 1.0;

std::string Rate(int64_t now, int64_t before, double seconds) {
  return ByteText(static_cast<double>(now - before) / seconds) + "/s";
}

}  // namespace

std::string ClockText(double seconds) {
  const auto s = static_cast<int64_t>(std::max(0.0, seconds));
  std::string out;
  Appendf(&out, "%" PRId64 ":%02" PRId64 ":%02" PRId64, s / 3600, s / 60 % 60,
          s % 60);
  return out;
}

StatusSample SampleStatus(StatusPhase phase) {
  const SummaryFacts facts = CollectSummary(0);
  StatusSample s;
  s.Phase = phase;
  s.Seconds = facts.Seconds;
  s.TargetBlocks = facts.TargetBlocks;
  const SummaryRow total = TotalOf(facts.Rows);
  s.BytesRead = total.BytesRead;
  s.BytesWritten = total.BytesWritten;
  s.Transfers = total.Transfers;
  s.BlocksVerified = total.BlocksVerified;
  s.Mismatches = total.Mismatches;
  if (phase == StatusPhase::kFormat) {
    s.Position = facts.BlocksWritten;
  } else if (phase == StatusPhase::kCheck) {
    int64_t scanned = 0;
    for (const SummaryRow& r : facts.Rows) {
      if (r.Code == 0) scanned += r.BytesRead / kBlockSize;
    }
    // Rereads of a few suspect blocks may count twice.
    s.Position = std::min(scanned, s.TargetBlocks);
  }
  s.LongestOut = static_cast<double>(LongestOutstanding(SteadyNanos())) / 1e9;
  return s;
}

std::string StallLine(int32_t test_code, bool write, int32_t first,
                      int32_t blocks, double seconds, int what) {
  const TestEntry& entry = FindTest(test_code);
  const char* name = test_code == 0        ? "start-up"
                     : entry.TestCode != 0 ? entry.Name
                                           : "invalid";
  const char* kind = write ? "write" : "read";
  std::string out;
  Appendf(&out, "Stall: test %s (%d): the %s of %d block%s from block %d ",
          name, test_code, kind, blocks, blocks == 1 ? "" : "s", first);
  if (what == kStallReturned) {
    Appendf(&out, "returned after %.1f s\n", seconds);
  } else {
    Appendf(&out, "has been out for %.1f s%s\n", seconds,
            what == kStallStillOut ? " and still is" : "");
  }
  return out;
}

std::string StatusText(const StatusSample& now, const StatusSample& before,
                       double tests_seconds, double limit_seconds) {
  const double span = std::max(now.Seconds - before.Seconds, 1e-3);
  std::string out;
  if (now.Phase == StatusPhase::kTests) {
    Appendf(&out, "%s", ClockText(tests_seconds).c_str());
    if (limit_seconds >= 0) {
      Appendf(&out, " (%s left)",
              ClockText(limit_seconds - tests_seconds).c_str());
    }
  } else {
    const char* what = now.Phase == StatusPhase::kCheck ? "Check" : "Format";
    const double share = now.TargetBlocks > 0
                             ? static_cast<double>(now.Position) /
                                   static_cast<double>(now.TargetBlocks)
                             : 0.0;
    Appendf(&out, "%s %.1f%% (%" PRId64 " of %" PRId64 " blocks)", what,
            100.0 * share, now.Position, now.TargetBlocks);
    // From the pace so far: the whole pass runs at one steady rate.
    if (share > 0 && now.Seconds > 0) {
      Appendf(&out, " %s left",
              ClockText(now.Seconds * (1 - share) / share).c_str());
    }
  }
  const double io = static_cast<double>(now.Transfers - before.Transfers);
  if (now.Phase != StatusPhase::kFormat) {
    Appendf(&out, "  read %s",
            Rate(now.BytesRead, before.BytesRead, span).c_str());
  }
  if (now.Phase != StatusPhase::kCheck) {
    Appendf(&out, "  write %s",
            Rate(now.BytesWritten, before.BytesWritten, span).c_str());
  }
  Appendf(&out, "  %.0f IO/s", io / span);
  if (now.Phase != StatusPhase::kFormat) {
    Appendf(&out, "  verified %" PRId64 "  mismatches %" PRId64,
            now.BlocksVerified, now.Mismatches);
  }
  // A transfer this slow is news even before it counts as a stall.
  if (now.LongestOut >= 1) {
    Appendf(&out, "  a transfer out %.0f s", now.LongestOut);
  }
  return out;
}

RunWatcher::RunWatcher(double limit_seconds, bool draw, StatusPhase phase,
                       double stall_after, PeriodicReport report)
    : limit_seconds_(limit_seconds),
      draw_(draw),
      stall_after_(stall_after),
      report_(report),
      phase_(phase),
      thread_([this] { Watch(); }) {}

void RunWatcher::EnterPhase(StatusPhase phase) { phase_.store(phase); }

void RunWatcher::MarkTestsStarted() {
  tests_began_.store(SecondsSinceRunStart());
}

RunWatcher::~RunWatcher() {
  stop_.store(true);
  thread_.join();
}

void RunWatcher::Watch() {
  using Clock = std::chrono::steady_clock;
  const auto every = std::chrono::duration_cast<Clock::duration>(
      std::chrono::duration<double>(kDrawEverySeconds));
  Clock::time_point next = Clock::now() + every;
  const auto report_every = std::chrono::duration_cast<Clock::duration>(
      std::chrono::duration<double>(report_.every_seconds));
  Clock::time_point next_report = Clock::now();
  StatusSample before;
  if (draw_) before = SampleStatus(phase_.load());
  while (!stop_.load()) {
    if (report_.write != nullptr && Clock::now() >= next_report) {
      report_.write(phase_.load());
      // From the end of this one: a write the file system held up is not
      // made up for with a burst.
      next_report = Clock::now() + report_every;
    }
    const int interrupt = platform::WaitForInterrupt(kWatchSliceMs);
    if (interrupt != 0) EndProcess(interrupt);
    if (Clock::now() < next) continue;
    next += every;
    if (stall_after_ > 0) LookForStalls();
    if (!draw_) continue;
    const StatusSample now = SampleStatus(phase_.load());
    const double began = tests_began_.load();
    std::string line = StatusText(
        now, before, began < 0 ? 0.0 : now.Seconds - began, limit_seconds_);
    // The last column stays free: some terminals wrap on reaching it.
    const int columns = platform::StderrColumns();
    if (columns > 1 && line.size() >= static_cast<size_t>(columns)) {
      line.resize(static_cast<size_t>(columns) - 1);
    }
    ShowStatus(line);
    before = now;
  }
}

void RunWatcher::LookForStalls() {
  const int64_t now = SteadyNanos();
  const StallNews news =
      vorbex::LookForStalls(now, static_cast<int64_t>(stall_after_ * 1e9));
  const auto print = [&](const StallRecord& r, int what) {
    const int64_t took =
        what == kStallReturned ? r.DurationNs : now - r.SinceNs;
    PrintErrf("%s", StallLine(r.TestCode, r.Write, r.First, r.Blocks,
                              static_cast<double>(took) / 1e9, what)
                        .c_str());
  };
  for (const StallRecord& r : news.Returned) print(r, kStallReturned);
  for (const StallRecord& r : news.Again) print(r, kStallStillOut);
  for (const StallRecord& r : news.Began) print(r, kStallBegan);
  // A stall under errstop is a failure like any other.
  if (!news.Began.empty() && g_flags.errstop != 0) EndProcess(1);
}

}  // namespace vorbex
