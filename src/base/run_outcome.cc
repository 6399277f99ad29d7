#include "base/run_outcome.h"

#include <atomic>

namespace vorbex {
namespace {

// Global because whichever thread ends the run notes why, and the one that
// reports it, possibly another, reads the notes; nothing else hangs on
// them, so the default ordering is plenty.
constinit std::atomic<EndCause> g_end_cause{EndCause::kUnknown};
constinit std::atomic<CheckOutcome> g_check_outcome{CheckOutcome::kNone};
constinit std::atomic<uint32_t> g_error_line{0};

constexpr int kSigintExit = 130;
constexpr int kSigtermExit = 143;

}  // namespace

void NoteEndCause(EndCause cause) {
  EndCause none = EndCause::kUnknown;
  g_end_cause.compare_exchange_strong(none, cause);
}

EndCause EndCauseFor(int exit_code) {
  if (exit_code == 0) return g_end_cause.load();
  if (SignalNameFor(exit_code) != nullptr) return EndCause::kInterrupt;
  return EndCause::kErrstop;
}

const char* EndCauseName(EndCause cause) {
  switch (cause) {
    case EndCause::kTimeLimit: return "time-limit";
    case EndCause::kError: return "error";
    case EndCause::kErrstop: return "errstop";
    case EndCause::kFormatDone: return "format-done";
    case EndCause::kFormatFailed: return "format-failed";
    case EndCause::kCheckDone: return "check-done";
    case EndCause::kInterrupt: return "interrupt";
    case EndCause::kUnknown: break;
  }
  return "unknown";
}

const char* SignalNameFor(int exit_code) {
  if (exit_code == kSigintExit) return "SIGINT";
  if (exit_code == kSigtermExit) return "SIGTERM";
  return nullptr;
}

void NoteCheckOutcome(CheckOutcome outcome) { g_check_outcome.store(outcome); }

CheckOutcome RunCheckOutcome() { return g_check_outcome.load(); }

void NoteErrorLine(uint32_t code) { g_error_line.store(code); }

uint32_t ErrorLineCode() { return g_error_line.load(); }

void ResetRunOutcome() {
  g_end_cause.store(EndCause::kUnknown);
  g_check_outcome.store(CheckOutcome::kNone);
  g_error_line.store(0);
}

}  // namespace vorbex
