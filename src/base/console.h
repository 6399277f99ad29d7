#ifndef VORBEX_BASE_CONSOLE_H_
#define VORBEX_BASE_CONSOLE_H_

#include <array>
#include <cstdint>
#include <string_view>

#include "base/text.h"

namespace vorbex {

// Makes standard output line-buffered, so that a run ended by a signal or a
// kill has printed every line it finished. REQUIRES: called on the main
// thread before anything is printed.
void InitConsole();

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

// The process has begun to end: PrintOutWhileRunning prints nothing from
// now on. Safe for concurrent use.
void NoteProcessEnding();

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
// The same for the instant `seconds` since 1970 (UTC).
TimeText TimeOf(int64_t seconds);

}  // namespace vorbex

#endif  // VORBEX_BASE_CONSOLE_H_
