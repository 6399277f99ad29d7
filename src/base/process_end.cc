#include "base/process_end.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "base/console.h"
#include "base/exit_gate.h"
#include "base/sleep.h"

namespace vorbex {
namespace {

// Long enough for any transfer of a working device, short enough that an
// operator does not take a hung one for a hung tester.
constexpr std::chrono::milliseconds kWriteDrainLimit{5000};

// Global because any thread may end the process, from deep inside a
// transfer or a test: the first non-zero code asked for, which the first
// thread to end the process reads after the drain, so that a failure found
// meanwhile (an errstop report while the time limit ends the run) is not
// lost. Atomic, any thread; nothing else hangs on it, so the default
// ordering is plenty.
constinit std::atomic<int> g_exit_code{0};

// Global because the thread that ends the process may be any thread and
// this room cannot know the run's reports. Set by main before other threads
// exist; thread creation publishes it.
void (*g_end_report)(int code) = nullptr;

[[noreturn]] void ParkForGood() {
  for (;;) SleepMilliseconds(100'000'000);
}

}  // namespace

void SetEndReport(void (*report)(int code)) { g_end_report = report; }

void StopWrites() {
  ExitGate& gate = ProcessExitGate();
  // Another thread is ending the process, and it alone may.
  if (!gate.Close()) ParkForGood();
  NoteProcessEnding();
  gate.Drain(kWriteDrainLimit);
}

void EndProcess(int code) {
  if (code != 0) {
    int none = 0;
    g_exit_code.compare_exchange_strong(none, code);
  }
  StopWrites();
  EndStatus();
  std::fflush(stdout);
  const int exit_code = g_exit_code.load();
  if (g_end_report != nullptr) g_end_report(exit_code);
  std::fflush(stderr);
  std::_Exit(exit_code);
}

}  // namespace vorbex
