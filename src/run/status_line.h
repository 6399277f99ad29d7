#ifndef VORBEX_RUN_STATUS_LINE_H_
#define VORBEX_RUN_STATUS_LINE_H_

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

namespace vorbex {

// What the run is doing: the start-up check scans, a format writes its one
// pass, or the tests run against the clock.
enum class StatusPhase : uint8_t { kCheck, kFormat, kTests };

// The run's totals at one instant, as the status line needs them.
struct StatusSample {
  StatusPhase Phase = StatusPhase::kTests;
  double Seconds = 0;  // since the run began
  int64_t BytesRead = 0;
  int64_t BytesWritten = 0;
  int64_t Transfers = 0;
  int64_t BlocksVerified = 0;
  int64_t Mismatches = 0;
  int64_t TargetBlocks = 0;  // 0 until the target is open
  int64_t Position = 0;      // blocks the check or the format has passed
  double LongestOut = 0;     // seconds the oldest transfer now out has taken
};

// The lines the watch prints on standard error for a stall that began, is
// still out, or returned: the test, the kind of transfer, its blocks and
// how long it has taken.
std::string StallLine(int32_t test_code, bool write, int32_t first,
                      int32_t blocks, double seconds, int what);
inline constexpr int kStallBegan = 0;
inline constexpr int kStallStillOut = 1;
inline constexpr int kStallReturned = 2;

// Seconds as a clock shows a span of time: "h:mm:ss", the hours as many
// as it takes.
std::string ClockText(double seconds);

// Reads the run's counters as they stand, with the position of phase.
// Safe to call from any thread.
StatusSample SampleStatus(StatusPhase phase);

// The status line for now, with rates over the time since before.
// tests_seconds is how long the tests have run and limit_seconds their time
// limit (negative: none).
std::string StatusText(const StatusSample& now, const StatusSample& before,
                       double tests_seconds, double limit_seconds);

// Stands by for the whole run on a thread of its own: an interrupt ends the
// process (with the summary) whenever it comes, even while the start-up
// check or a format keeps the main thread busy; about once a second it
// looks for transfers out longer than the stall limit and warns of them
// (under errstop the first ends the run, exit code 1), and draws the
// status line when it is on; and it makes the run's periodic report.
// What the watch hands out besides the status line: write(phase) is
// called on its thread as soon as it starts and every every_seconds after.
struct PeriodicReport {
  void (*write)(StatusPhase phase) = nullptr;  // none: nothing is
  double every_seconds = 0;
};

class RunWatcher {
 public:
  // draw: whether to draw the status line; phase: what the run does
  // first; stall_after: seconds after which a transfer is a stall (0: none
  // is). REQUIRES: main thread, after platform::CatchInterrupts.
  RunWatcher(double limit_seconds, bool draw, StatusPhase phase,
             double stall_after = 0, PeriodicReport report = {});
  ~RunWatcher();  // stops the watch and waits for its thread
  RunWatcher(const RunWatcher&) = delete;
  RunWatcher& operator=(const RunWatcher&) = delete;

  // The run has moved on to phase, which the status line shows from now
  // on. REQUIRES: the owner's thread.
  void EnterPhase(StatusPhase phase);
  // The tests have all started: the time limit counts from now.
  // REQUIRES: the owner's thread.
  void MarkTestsStarted();

 private:
  void Watch();
  void LookForStalls();

  const double limit_seconds_;
  const bool draw_;
  const double stall_after_;
  const PeriodicReport report_;
  std::atomic<bool> stop_{false};  // set by the owner, read by the watch
  // Set by the owner, which alone knows when the run moves on; read by the
  // watch.
  std::atomic<StatusPhase> phase_;
  // Set by the owner when the tests start; read by the watch. -1: not yet.
  std::atomic<double> tests_began_{-1};
  std::thread thread_;  // started last, joined by the owner
};

}  // namespace vorbex

#endif  // VORBEX_RUN_STATUS_LINE_H_
