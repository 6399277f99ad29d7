#ifndef VORBEX_BASE_RUN_OUTCOME_H_
#define VORBEX_BASE_RUN_OUTCOME_H_

#include <cstdint>

namespace vorbex {

// Why a run ended, for the machine-readable report at its end. The exit
// code alone does not say it: 0 is the time limit, the end of a format or
// a check, and an Error without -e alike.
enum class EndCause : uint8_t {
  kUnknown,
  kTimeLimit,     // "Tests stopped at"
  kError,         // an "Error <code>" line ended the run without -e
  kErrstop,       // with -e, the first failure or mismatch (exit code 1)
  kFormatDone,    // the format pass wrote the whole target
  kFormatFailed,  // the format pass stopped at a failure, without -e
  kCheckDone,     // -c: the check ended (see CheckOutcome for how)
  kInterrupt,     // SIGINT or SIGTERM (Ctrl-C, Ctrl-Break, console closed)
};

// Notes why the run ends, just before the EndProcess(0) (or the report)
// that ends it. The first note wins, as the first code does in EndProcess.
// A run that ends with another code needs no note: its code says why.
// Safe for concurrent use by multiple threads.
void NoteEndCause(EndCause cause);

// The cause of a run that ends with exit_code: the note for 0, the signal's
// cause for 130 and 143, errstop for any other code.
EndCause EndCauseFor(int exit_code);

// The lower-case word for a cause in the report ("time-limit", ...).
const char* EndCauseName(EndCause cause);

// For 130 and 143 the signal's name ("SIGINT", "SIGTERM"); else null.
const char* SignalNameFor(int exit_code);

// How the start-up check went: it printed its End line, or its Failed line
// (which a failure to reopen after the End line can still follow, so the
// last note wins). REQUIRES: main thread; read by whoever ends the process.
enum class CheckOutcome : uint8_t { kNone, kFinished, kFailed };
void NoteCheckOutcome(CheckOutcome outcome);
CheckOutcome RunCheckOutcome();

// The code of the "Error <code>" line that main printed, or 0 for none.
// REQUIRES: main thread for the note; read by whoever ends the process.
void NoteErrorLine(uint32_t code);
uint32_t ErrorLineCode();

// Forgets every note. For tests.
void ResetRunOutcome();

}  // namespace vorbex

#endif  // VORBEX_BASE_RUN_OUTCOME_H_
