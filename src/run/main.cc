// The program's entry: reads the command line, readies the target, starts
// the tests of the level and waits out the time limit.

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <system_error>

#include "base/console.h"
#include "base/error.h"
#include "base/flags.h"
#include "base/process_end.h"
#include "base/random.h"
#include "base/run_outcome.h"
#include "check/inspect.h"
#include "check/startup_check.h"
#include "disk/disk_handle.h"
#include "platform/env.h"
#include "platform/error_codes.h"
#include "run/command_line.h"
#include "run/json_report.h"
#include "run/levels.h"
#include "run/status_line.h"
#include "run/summary.h"
#include "run/version.h"

namespace vorbex {
namespace {

// The time limit in milliseconds, or -1 for none. Two 32-bit counts of
// hours and minutes stay far below 2^63 milliseconds; the wait alone knows
// how far its clock reaches.
int64_t LimitMilliseconds(const std::optional<std::string>& text) {
  if (!text) return -1;
  const TimeLimit limit = ParseTimeLimit(*text);
  if (limit.IsNone()) return -1;
  return static_cast<int64_t>(limit.Milliseconds());
}

// Waits out the time limit (none: for ever) unless an interrupt comes first;
// either way the process ends here, the interrupt with its conventional
// code and nothing more on standard output.
[[noreturn]] void WaitForEnd(int64_t limit_ms) {
  const int interrupt = platform::WaitForInterrupt(limit_ms);
  if (interrupt != 0) EndProcess(interrupt);
  PrintOutf("Tests stopped at %s", Now().c_str());
  NoteEndCause(EndCause::kTimeLimit);
  EndProcess(0);
}

// A format is one pass from the start, the start-up check's scan
// included; a check or a resume scans before the tests start.
StatusPhase FirstPhase(const RunOptions& options) {
  if (options.format != 0) return StatusPhase::kFormat;
  if (options.resume != 0 || options.check != 0) return StatusPhase::kCheck;
  return StatusPhase::kTests;
}

StatusPhase TestsPhase(const RunOptions& options) {
  return options.format != 0 ? StatusPhase::kFormat : StatusPhase::kTests;
}

// Every end of a run tells the operator what it covered, and the tools
// what it found when --json asked for that.
void ReportEnd(int exit_code) {
  const SummaryFacts facts = CollectSummary(exit_code);
  PrintSummary(facts);
  WriteJsonReport(facts);
}

// False, having said why, when the report could not be written there.
bool StartJson(const CommandLine& cl, int argc, const char* const* argv,
               const std::string& path, int32_t level) {
  RunDescription run;
  run.Arguments.assign(argv, argv + argc);
  run.Target = *cl.target;
  run.Path = path;
  run.Level = level;
  run.Options = cl.options;
  std::string why;
  if (StartJsonReport(*cl.json_path, std::move(run), &why)) return true;
  std::fprintf(stderr, "--json: cannot write %s: %s\n", cl.json_path->c_str(),
               why.c_str());
  return false;
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
  // --inspect reads through the window too, and stamps nothing.
  Random random(static_cast<uint32_t>(std::time(nullptr)));
  g_flags = Flags{cl.options, static_cast<uint32_t>(random.Draw())};
  if (cl.inspect) return Inspect(cl);
  if (!cl.target) {
    std::fputs(kUsage, stderr);
    return 1;
  }
  // Every end of a run from here on tells the operator what it covered.
  SetEndReport(ReportEnd);
  const int64_t limit_ms = LimitMilliseconds(cl.time_limit);
  EnableStatus(cl.progress.value_or(platform::StderrIsTerminal()));

  const std::string path = TargetPath(*cl.target);
  if (!NamesVolumeLetter(*cl.target) &&
      !platform::CurrentEnv()->NamesDevice(path)) {
    std::fputs(kFileWarnings, stderr);
  }
  int32_t level = cl.level ? ParseLevel(*cl.level) : kDefaultLevel;
  if (cl.options.format != 0) level = kFormatLevel;
  if (cl.json_path && !StartJson(cl, argc, argv, path, level)) return 1;

  // From here on an interrupt ends the run with its summary, even in the
  // middle of the start-up check, and the status line is drawn.
  platform::CatchInterrupts();
  std::optional<RunWatcher> watcher;
  // Keeps the target's table alive for the whole run.
  std::unique_ptr<TestDisk> anchor;
  // The tests borrow path, which outlives them.
  ThreadTable tests;
  try {
    try {
      try {
        watcher.emplace(
            limit_ms < 0 ? -1.0 : static_cast<double>(limit_ms) / 1000.0,
            StatusEnabled(), FirstPhase(cl.options));
      } catch (const std::system_error& e) {
        throw Error(platform::ThreadStartError(e.code()));
      }
      anchor = StartupCheck(path);
      if (g_flags.check != 0) {
        NoteEndCause(EndCause::kCheckDone);
        EndProcess(0);
      }
      watcher->EnterPhase(TestsPhase(cl.options));
      const LevelParts parts = SplitLevel(level);
      for (int i = 0; i < parts.count; ++i) {
        CreateLevelTests(tests, path, parts.values[i]);
      }
      watcher->MarkTestsStarted();
      WaitForEnd(limit_ms);
    } catch (const std::bad_alloc&) {
      // Memory that ran out is a failure like any other the system reports.
      throw Error(platform::kErrorNotEnoughMemory);
    }
  } catch (const Error& e) {
    PrintOutf("Error %d\n", static_cast<int>(e.code()));
    NoteErrorLine(e.code());
    NoteEndCause(EndCause::kError);
    if (g_flags.errstop != 0) EndProcess(1);
    StopAllTests(tests);
    if (anchor != nullptr) anchor->Close();
    // An interrupt from now on would find the process already ending, and
    // the watcher could not be stopped.
    watcher.reset();
    // A test that could not be stopped may still be writing.
    StopWrites();
    ReportEnd(0);
  }
  return 0;
}

}  // namespace
}  // namespace vorbex

int main(int argc, char** argv) { return vorbex::Main(argc, argv); }
