#ifndef VORBEX_BASE_CONSOLE_H_
#define VORBEX_BASE_CONSOLE_H_

#include <array>
#include <string_view>

#include "base/text.h"

namespace vorbex {

// Makes standard output line-buffered, so that a run ended by a signal or a
// kill has printed every line it finished. REQUIRES: called on the main
// thread before anything is printed.
void InitConsole();

// Ends the process with code from any thread: no write starts any more,
// those in flight are waited for (a few seconds at most), the streams are
// flushed, then the process ends at once, without static destructors, so
// threads that are still working never run on torn-down state. When several
// threads end the process at once, the first one ends it, with the first
// non-zero code that any of them asked for. REQUIRES: the caller is not in
// the middle of a write.
[[noreturn]] void EndProcess(int code);

// Makes EndProcess call report with the exit code, once, on the thread that
// ends the process, after the writes in flight have finished and standard
// output has been flushed: for the run's summary on standard error.
// REQUIRES: main thread, before any other thread starts.
void SetEndReport(void (*report)(int code));

// What EndProcess does before it flushes: for a process that ends by
// returning from main. Does not return when another thread has begun to
// end the process. REQUIRES: every thread that may be joined later has been
// joined; a thread that tries to write from now on never finishes.
void StopWrites();

// Standard output and the live status line on standard error share one
// terminal, so every line the run prints on standard output goes through
// here: the status line is erased first, and the line is flushed whole.
// Safe for concurrent use by multiple threads.
void PrintOut(std::string_view text);
VORBEX_PRINTF(1, 2) void PrintOutf(const char* format, ...);
// The same, unless the process has begun to end: for a line that says a
// step finished, which an interrupt that came first makes untrue.
void PrintOutWhileRunning(std::string_view text);
// The same for a warning on standard error.
VORBEX_PRINTF(1, 2) void PrintErrf(const char* format, ...);

// Turns the status line on or off for the rest of the run. REQUIRES: main
// thread, before any other thread starts.
void EnableStatus(bool on);
bool StatusEnabled();

// Draws line as the status line, in place of the one before it; nothing
// when the status line is off or has ended. Safe for concurrent use.
void ShowStatus(std::string_view line);

// Erases the status line for good: from now on the process prints its
// summary, which must not be overwritten. Safe for concurrent use.
void EndStatus();

// The local time as ctime prints it: 24 characters and a newline.
// Safe for concurrent use by multiple threads.
struct TimeText {
  std::array<char, 32> text{};
  const char* c_str() const { return text.data(); }
};
TimeText Now();

}  // namespace vorbex

#endif  // VORBEX_BASE_CONSOLE_H_
