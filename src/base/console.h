#ifndef VORBEX_BASE_CONSOLE_H_
#define VORBEX_BASE_CONSOLE_H_

#include <array>

namespace vorbex {

// Makes standard output line-buffered, so that a run ended by a signal or a
// kill has printed every line it finished. REQUIRES: called on the main
// thread before anything is printed.
void InitConsole();

// Ends the process with code from any thread: the streams are flushed, then
// the process ends at once, without static destructors, so threads that are
// still working never run on torn-down state.
[[noreturn]] void EndProcess(int code);

// The local time as ctime prints it: 24 characters and a newline.
// Safe for concurrent use by multiple threads.
struct TimeText {
  std::array<char, 32> text{};
  const char* c_str() const { return text.data(); }
};
TimeText Now();

}  // namespace vorbex

#endif  // VORBEX_BASE_CONSOLE_H_
