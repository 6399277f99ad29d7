#include "base/console.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>

#include "base/text.h"
#include "platform/env.h"

namespace vorbex {

void InitConsole() { platform::FlushStdoutByLine(); }

namespace {

// The terminal is one for the whole process and every thread prints on it,
// so what the console knows of it is global.
//
// Guards the status line's state and orders whole lines on the terminal.
// Never destroyed, as the record of mismatches is not: a test that main
// could not stop may still print a report while the process returns from
// main and runs its destructors.
std::mutex& ConsoleMutex() {
  static std::mutex* const mutex = new std::mutex;
  return *mutex;
}
// Set by main before other threads exist; read-only afterwards.
bool g_status_enabled = false;
// Guarded by ConsoleMutex(): the width of the status line on screen, and
// whether it may be drawn again.
size_t g_status_width = 0;
bool g_status_ended = false;
// Guarded by ConsoleMutex(): the process has begun to end.
bool g_ending = false;

// REQUIRES: ConsoleMutex() held.
void EraseStatusLocked() {
  if (g_status_width == 0) return;
  std::string blank(g_status_width + 2, ' ');
  blank.front() = '\r';
  blank.back() = '\r';
  std::fwrite(blank.data(), 1, blank.size(), stderr);
  std::fflush(stderr);
  g_status_width = 0;
}

void PrintTo(std::FILE* stream, std::string_view text) {
  std::lock_guard<std::mutex> hold(ConsoleMutex());
  EraseStatusLocked();
  std::fwrite(text.data(), 1, text.size(), stream);
  std::fflush(stream);
}

}  // namespace

void PrintOut(std::string_view text) { PrintTo(stdout, text); }

void PrintOutWhileRunning(std::string_view text) {
  std::lock_guard<std::mutex> hold(ConsoleMutex());
  if (g_ending) return;
  EraseStatusLocked();
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

void PrintOutf(const char* format, ...) {
  std::string text;
  va_list args;
  va_start(args, format);
  AppendVf(&text, format, args);
  va_end(args);
  PrintTo(stdout, text);
}

void PrintErrf(const char* format, ...) {
  std::string text;
  va_list args;
  va_start(args, format);
  AppendVf(&text, format, args);
  va_end(args);
  PrintTo(stderr, text);
}

void NoteProcessEnding() {
  std::lock_guard<std::mutex> hold(ConsoleMutex());
  g_ending = true;
}

void EnableStatus(bool on) { g_status_enabled = on; }
bool StatusEnabled() { return g_status_enabled; }

void ShowStatus(std::string_view line) {
  if (!g_status_enabled) return;
  std::lock_guard<std::mutex> hold(ConsoleMutex());
  if (g_status_ended) return;
  std::string text = "\r";
  text.append(line);
  // A shorter line must cover the whole of the longer one before it.
  if (line.size() < g_status_width) {
    text.append(g_status_width - line.size(), ' ');
  }
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
  g_status_width = std::max(g_status_width, line.size());
}

void EndStatus() {
  std::lock_guard<std::mutex> hold(ConsoleMutex());
  EraseStatusLocked();
  g_status_ended = true;
}

TimeText Now() { return TimeOf(static_cast<int64_t>(std::time(nullptr))); }

TimeText TimeOf(int64_t seconds) {
  // ctime answers in one static buffer shared by every thread. Never
  // destroyed, for the same late report as ConsoleMutex.
  static std::mutex* const ctime_mutex = new std::mutex;
  TimeText out;
  const auto now = static_cast<std::time_t>(seconds);
  std::lock_guard<std::mutex> hold(*ctime_mutex);
  const char* text =
      std::ctime(&now);  // NOLINT(concurrency-mt-unsafe): guarded
  if (text != nullptr) {
    std::strncpy(out.text.data(), text, out.text.size() - 1);
  }
  return out;
}

}  // namespace vorbex
