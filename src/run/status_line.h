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
};

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
// check or a format keeps the main thread busy, and about once a second
// the status line is drawn when it is on.
class RunWatcher {
 public:
  // draw: whether to draw the status line; phase: what the run does
  // first. REQUIRES: main thread, after platform::CatchInterrupts.
  RunWatcher(double limit_seconds, bool draw, StatusPhase phase);
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

  const double limit_seconds_;
  const bool draw_;
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
