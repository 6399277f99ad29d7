// The program's entry: reads the command line, readies the target, starts
// the tests of the level and waits out the time limit.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <memory>
#include <new>
#include <optional>
#include <string>

#include "base/console.h"
#include "base/error.h"
#include "base/flags.h"
#include "base/random.h"
#include "check/inspect.h"
#include "check/startup_check.h"
#include "disk/test_disk.h"
#include "platform/env.h"
#include "platform/error_codes.h"
#include "run/command_line.h"
#include "run/levels.h"
#include "run/summary.h"
#include "run/version.h"

namespace vorbex {
namespace {

// Waits out the time limit (none: for ever) unless an interrupt comes first;
// either way the process ends here, the interrupt with its conventional
// code and nothing more on standard output.
[[noreturn]] void WaitForEnd(const std::optional<std::string>& text) {
  int64_t ms = -1;
  if (text) {
    const TimeLimit limit = ParseTimeLimit(*text);
    if (!limit.IsNone()) {
      ms = static_cast<int64_t>(
          std::min<uint64_t>(limit.Milliseconds(), INT64_MAX));
    }
  }
  const int interrupt = platform::WaitForInterrupt(ms);
  if (interrupt != 0) EndProcess(interrupt);
  std::printf("Tests stopped at %s", Now().c_str());
  EndProcess(0);
}

int Inspect(const CommandLine& cl) {
  const std::optional<int64_t> first = ParseBlockArgument(*cl.level);
  const std::optional<int64_t> count =
      cl.time_limit ? ParseBlockArgument(*cl.time_limit) : 1;
  if (!first || !count) {
    std::fputs("--inspect: FIRST and COUNT are block numbers\n", stderr);
    return 1;
  }
  const std::string path = TargetPath(*cl.target);
  platform::Env* env = platform::CurrentEnv();
  const InspectOutcome outcome = InspectTarget(
      env, path, NamesVolumeLetter(*cl.target) || env->NamesDevice(path),
      *first, *count,
      [](const std::string& text) { std::fputs(text.c_str(), stdout); });
  if (!outcome.complaint.empty()) {
    std::fprintf(stderr, "%s\n", outcome.complaint.c_str());
    return 1;
  }
  if (outcome.error == 0) return 0;
  std::printf("Error %d\n", static_cast<int>(outcome.error));
  return 1;
}

int Main(int argc, const char* const* argv) {
  InitConsole();
  MarkRunStart();
  const CommandLine cl = ParseCommandLine(argc, argv);
  if (!cl.error.empty()) {
    std::fputs(kUsage, stderr);
    std::fprintf(stderr, "%s\n", cl.error.c_str());
    return 1;
  }
  if (cl.help) {
    std::fputs(kHelp, stdout);
    return 0;
  }
  if (cl.version) {
    std::printf("Vorbex %s\n", VersionText());
    return 0;
  }
  g_flags.WindowOffset = cl.window_offset;
  g_flags.WindowSize = cl.window_size;
  if (cl.inspect) return Inspect(cl);
  if (!cl.target) {
    std::fputs(kUsage, stderr);
    return 1;
  }
  g_flags.resume = cl.resume;
  g_flags.check = cl.check;
  g_flags.format = cl.format;
  g_flags.errstop = cl.errstop;
  // Every end of a run from here on tells the operator what it covered.
  SetEndReport(PrintSummary);

  const std::string path = TargetPath(*cl.target);
  if (!NamesVolumeLetter(*cl.target) &&
      !platform::CurrentEnv()->NamesDevice(path)) {
    std::fputs(kFileWarnings, stderr);
  }
  int32_t level = cl.level ? ParseLevel(*cl.level) : kDefaultLevel;
  if (cl.format != 0) level = kFormatLevel;

  Random random(static_cast<uint32_t>(std::time(nullptr)));
  g_flags.RunID = static_cast<uint32_t>(random.Draw());

  // Keeps the target's table alive for the whole run.
  std::unique_ptr<TestDisk> anchor;
  // The tests borrow path, which outlives them.
  ThreadTable tests;
  try {
    try {
      anchor = StartupCheck(path);
      if (g_flags.check != 0) EndProcess(0);
      const LevelParts parts = SplitLevel(level);
      for (int i = 0; i < parts.count; ++i) {
        CreateLevelTests(tests, path, parts.values[i]);
      }
      // Only now: the start-up check runs on this thread, which could not
      // answer an interrupt before it ended, and the handles the interrupt
      // takes must not leave a test without one that it had before.
      platform::CatchInterrupts();
      WaitForEnd(cl.time_limit);
    } catch (const std::bad_alloc&) {
      // Memory that ran out is a failure like any other the system reports.
      throw Error(platform::kErrorNotEnoughMemory);
    }
  } catch (const Error& e) {
    std::printf("Error %d\n", static_cast<int>(e.code()));
    if (g_flags.errstop != 0) EndProcess(1);
    StopAllTests(tests);
    if (anchor != nullptr) anchor->Close();
    // A test that could not be stopped may still be writing.
    StopWrites();
    PrintSummary(0);
  }
  return 0;
}

}  // namespace
}  // namespace vorbex

int main(int argc, char** argv) { return vorbex::Main(argc, argv); }
