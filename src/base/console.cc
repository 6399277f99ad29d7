#include "base/console.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>

#include "base/exit_gate.h"
#include "base/sleep.h"
#include "platform/env.h"

namespace vorbex {

void InitConsole() { platform::FlushStdoutByLine(); }

namespace {

// Long enough for any transfer of a working device, short enough that an
// operator does not take a hung one for a hung tester.
constexpr std::chrono::milliseconds kWriteDrainLimit{5000};

// The first non-zero code asked for; the first thread to end the process
// reads it after the drain, so that a failure found meanwhile (an errstop
// report while the time limit ends the run) is not lost. Atomic, any thread;
// nothing else hangs on it, so the default ordering is plenty.
constinit std::atomic<int> g_exit_code{0};

// Set by main before other threads exist; thread creation publishes it.
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
  gate.Drain(kWriteDrainLimit);
}

void EndProcess(int code) {
  if (code != 0) {
    int none = 0;
    g_exit_code.compare_exchange_strong(none, code);
  }
  StopWrites();
  std::fflush(stdout);
  const int exit_code = g_exit_code.load();
  if (g_end_report != nullptr) g_end_report(exit_code);
  std::fflush(stderr);
  std::_Exit(exit_code);
}

TimeText Now() {
  // ctime answers in one static buffer shared by every thread.
  static std::mutex ctime_mutex;
  TimeText out;
  const std::time_t now = std::time(nullptr);
  std::lock_guard<std::mutex> hold(ctime_mutex);
  const char* text =
      std::ctime(&now);  // NOLINT(concurrency-mt-unsafe): guarded
  if (text != nullptr) {
    std::strncpy(out.text.data(), text, out.text.size() - 1);
  }
  return out;
}

}  // namespace vorbex
