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
#include <vector>

#include "base/console.h"
#include "base/error.h"
#include "base/flags.h"
#include "base/process_end.h"
#include "base/random.h"
#include "base/run_outcome.h"
#include "check/inspect.h"
#include "check/power_cut_check.h"
#include "check/startup_check.h"
#include "disk/disk_handle.h"
#include "journal/journal_writer.h"
#include "platform/env.h"
#include "platform/error_codes.h"
#include "run/command_line.h"
#include "run/json_report.h"
#include "run/levels.h"
#include "run/metrics_file.h"
#include "run/power_cut_run.h"
#include "run/report_table.h"
#include "run/status_line.h"
#include "run/summary.h"
#include "run/version.h"

namespace vorbex {
namespace {

// Everything a run takes from the command line, read once; main hands it
// down whole.
struct RunPlan {
  // The target, the level in force and the options, as the JSON report
  // tells them.
  RunDescription Description;
  bool IsFile = false;  // a file, not a volume: far less demanding
  // Two 32-bit counts of hours and minutes stay far below 2^63
  // milliseconds; the wait alone knows how far its clock reaches.
  int64_t LimitMs = -1;  // -1: none
  bool Progress = false;
  std::optional<std::string> JsonPath;
  std::optional<std::string> MetricsPath;
  // Power-cut testing (see CommandLine).
  std::optional<std::string> JournalPath;
  int64_t FlushEveryMs = -1;  // -1: no flushes
  std::optional<std::string> CheckJournalPath;
  std::optional<std::string> CutCommand;
  double CutAfterMin = 0;
  double CutAfterMax = 0;
};

// A journal records every flush, and without one given, a second's worth of
// acknowledged writes is what a cut may take.
constexpr int64_t kJournalFlushEveryMs = 1000;

// How long the end of a run waits for its final flush and the journal's
// last records, so that a hung device cannot hold the process.
constexpr int64_t kJournalFinishMs = 30'000;

// Global because the end of the run, on whichever thread ends it, reports
// what it did. Set by main before any test starts; never changed after.
journal::Journal* g_run_journal = nullptr;
std::string* g_run_journal_path = nullptr;

int64_t LimitMilliseconds(const std::optional<std::string>& text) {
  if (!text) return -1;
  const TimeLimit limit = ParseTimeLimit(*text);
  if (limit.IsNone()) return -1;
  return static_cast<int64_t>(limit.Milliseconds());
}

// REQUIRES: cl names a target.
RunPlan PlanRun(const CommandLine& cl, int argc, const char* const* argv) {
  RunPlan plan;
  RunDescription& run = plan.Description;
  run.Arguments.assign(argv, argv + argc);
  run.Target = *cl.target;
  run.Path = TargetPath(run.Target);
  run.Host = platform::HostName();
  run.Options = cl.options;
  run.Level = cl.level ? ParseLevel(*cl.level) : kDefaultLevel;
  if (run.Options.format != 0) run.Level = kFormatLevel;
  plan.IsFile = !NamesVolumeLetter(run.Target) &&
                !platform::CurrentEnv()->NamesDevice(run.Path);
  plan.LimitMs = LimitMilliseconds(cl.time_limit);
  plan.Progress = cl.progress.value_or(platform::StderrIsTerminal());
  plan.JsonPath = cl.json_path;
  plan.MetricsPath = cl.metrics_path;
  plan.JournalPath = cl.journal_path;
  plan.FlushEveryMs = cl.flush_every_ms.value_or(
      cl.journal_path ? kJournalFlushEveryMs : -1);
  plan.CheckJournalPath = cl.check_journal_path;
  plan.CutCommand = cl.cut_command;
  plan.CutAfterMin = cl.cut_after_min.value_or(0);
  plan.CutAfterMax = cl.cut_after_max.value_or(0);
  return plan;
}

// The answer to a command line that asks for neither a run nor --inspect:
// its mistake, the help, the version, the table of --report, or the usage
// line when it names no target. Nothing when it does.
std::optional<int> AnswerWithoutTarget(const CommandLine& cl) {
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
  if (cl.report) return PrintReportTable(cl.report_paths);
  if (!cl.target) {
    std::fputs(kUsage, stderr);
    return 1;
  }
  return std::nullopt;
}

// A fresh identity for this run's stamps, so that a resume tells them from
// an earlier run's.
uint32_t DrawRunID() {
  Random random(static_cast<uint32_t>(std::time(nullptr)));
  return static_cast<uint32_t>(random.Draw());
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

// Every end of a run tells the operator what it covered, and the tools
// what it found when --json or --metrics asked for that.
void ReportEnd(int exit_code) {
  if (g_run_journal != nullptr) {
    const EndCause cause = EndCauseFor(exit_code);
    // A run that ended as planned makes what it wrote durable; one cut
    // short leaves the drive's cache as it was, and the journal says so.
    g_run_journal->Finish(
        cause == EndCause::kTimeLimit || cause == EndCause::kFormatDone,
        kJournalFinishMs);
  }
  SummaryFacts facts = CollectSummary(exit_code);
  if (g_run_journal != nullptr) {
    facts.Journal = g_run_journal->Stats();
    facts.JournalPath = g_run_journal_path != nullptr ? *g_run_journal_path : "";
  }
  facts.PowerCut = PublishedPowerCutFacts();
  PrintSummary(facts);
  WriteJsonReport(facts);
  WriteMetrics(facts, RunState::kEnded);
}

// False, having said why, when the report could not be written there.
bool StartJson(const RunPlan& plan) {
  std::string why;
  if (StartJsonReport(*plan.JsonPath, plan.Description, &why)) return true;
  std::fprintf(stderr, "--json: cannot write %s: %s\n",
               plan.JsonPath->c_str(), why.c_str());
  return false;
}

// The same for the metrics, which must not replace another file of the
// run's.
bool StartMetrics(const RunPlan& plan) {
  const std::string& path = *plan.MetricsPath;
  std::string why;
  if (plan.JsonPath && SameFile(path, *plan.JsonPath)) {
    why = "it is the --json file";
  } else if (plan.JournalPath && SameFile(path, *plan.JournalPath)) {
    why = "it is the --journal file";
  } else if (StartMetricsFile(path, plan.Description, &why)) {
    return true;
  }
  std::fprintf(stderr, "--metrics: cannot write %s: %s\n",
               plan.MetricsPath->c_str(), why.c_str());
  return false;
}

// Reads the journal a check is held to and opens the one this run keeps;
// false, having said why, when either cannot be used.
bool PreparePowerCut(const RunPlan& plan,
                     std::unique_ptr<PowerCutCheck>* power_cut,
                     std::unique_ptr<platform::AppendFile>* journal_file) {
  const std::string& path = plan.Description.Path;
  std::string why;
  if (plan.CheckJournalPath) {
    why = PrepareCheckJournal(*plan.CheckJournalPath, path, !plan.IsFile,
                              power_cut);
  }
  if (why.empty() && plan.JournalPath) {
    why = OpenRunJournal(*plan.JournalPath, path, !plan.IsFile, journal_file);
  }
  if (why.empty()) return true;
  std::fprintf(stderr, "%s\n", why.c_str());
  return false;
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

// What a run holds while it goes, on the main thread alone; the test
// threads never touch it.
class Run {
 public:
  Run(const RunPlan& plan, std::unique_ptr<PowerCutCheck> power_cut,
      std::unique_ptr<platform::AppendFile> journal_file)
      : plan_(plan),
        power_cut_(std::move(power_cut)),
        journal_file_(std::move(journal_file)) {}

  // Readies the target, starts the tests and waits out the time limit,
  // and ends the process, unless an Error (or memory that ran out) is
  // thrown on the way.
  [[noreturn]] void Go() {
    StartWatcher();
    StartupExtras extras;
    extras.power_cut = power_cut_.get();
    if (plan_.FlushEveryMs >= 0) {
      extras.before_writes = [this](TestDisk& anchor) { StartJournal(anchor); };
    }
    anchor_ = StartupCheck(plan_.Description.Path, extras);
    if (options().check != 0) {
      NoteEndCause(EndCause::kCheckDone);
      EndProcess(0);
    }
    StartTests();
    WaitForEnd();
  }

  // Says that error ended the run; ends the process at once under errstop,
  // and otherwise stops everything and reports the end, for main to return.
  void EndAfter(const Error& error) {
    PrintOutf("Error %d\n", static_cast<int>(error.code()));
    NoteErrorLine(error.code());
    NoteEndCause(EndCause::kError);
    if (options().errstop != 0) EndProcess(1);
    StopAllTests(tests_);
    if (anchor_ != nullptr) anchor_->Close();
    // An interrupt from now on would find the process already ending, and
    // the watcher could not be stopped.
    watcher_.reset();
    // A test that could not be stopped may still be writing.
    StopWrites();
    ReportEnd(0);
  }

 private:
  const RunOptions& options() const { return plan_.Description.Options; }

  void StartWatcher() {
    const double limit_seconds =
        plan_.LimitMs < 0 ? -1.0 : static_cast<double>(plan_.LimitMs) / 1000.0;
    try {
      PeriodicReport metrics;
      if (MetricsWanted()) metrics = {WriteLiveMetrics, kMetricsEverySeconds};
      watcher_.emplace(limit_seconds, StatusEnabled(), FirstPhase(options()),
                       options().StallAfter, metrics);
    } catch (const std::system_error& e) {
      throw Error(platform::ThreadStartError(e.code()));
    }
  }

  void StartTests() {
    watcher_->EnterPhase(TestsPhase(options()));
    const LevelParts parts = SplitLevel(plan_.Description.Level);
    for (int i = 0; i < parts.count; ++i) {
      CreateLevelTests(tests_, plan_.Description.Path, parts.values[i]);
    }
    watcher_->MarkTestsStarted();
    if (plan_.CutCommand) {
      CutOnCue(plan_.CutAfterMin, plan_.CutAfterMax, *plan_.CutCommand,
               journal_ != nullptr && journal_->HasFile() ? journal_ : nullptr);
    }
  }

  void StartJournal(TestDisk& anchor) {
    journal_ = StartRunJournal(anchor, std::move(journal_file_),
                               plan_.JournalPath.value_or(""),
                               plan_.FlushEveryMs, !plan_.IsFile,
                               power_cut_.get());
    g_run_journal_path = new std::string(plan_.JournalPath.value_or(""));
    g_run_journal = journal_;
  }

  // Waits out the time limit (none: for ever) unless an interrupt comes
  // first; either way the process ends here, the interrupt with its
  // conventional code and nothing more on standard output.
  [[noreturn]] void WaitForEnd() {
    const int interrupt = platform::WaitForInterrupt(plan_.LimitMs);
    if (interrupt != 0) EndProcess(interrupt);
    PrintOutf("Tests stopped at %s", Now().c_str());
    NoteEndCause(EndCause::kTimeLimit);
    EndProcess(0);
  }

  // The tests borrow the plan's path, which outlives them.
  const RunPlan& plan_;
  const std::unique_ptr<PowerCutCheck> power_cut_;
  std::unique_ptr<platform::AppendFile> journal_file_;  // until it starts
  journal::Journal* journal_ = nullptr;
  std::optional<RunWatcher> watcher_;
  // Keeps the target's table alive for the whole run.
  std::unique_ptr<TestDisk> anchor_;
  ThreadTable tests_;
};

// Returns 1 at once when the JSON report could not be written there;
// otherwise ends the process, unless an Error ended the run without
// errstop: then it returns 0 for main to return.
int RunTests(const RunPlan& plan) {
  // Every end of a run from here on tells the operator what it covered.
  SetEndReport(ReportEnd);
  EnableStatus(plan.Progress);
  if (plan.IsFile) std::fputs(kFileWarnings, stderr);
  std::unique_ptr<PowerCutCheck> power_cut;
  std::unique_ptr<platform::AppendFile> journal_file;
  if (!PreparePowerCut(plan, &power_cut, &journal_file)) return 1;
  if (plan.JsonPath && !StartJson(plan)) return 1;
  if (plan.MetricsPath && !StartMetrics(plan)) return 1;
  // From here on an interrupt ends the run with its summary, even in the
  // middle of the start-up check, and the status line is drawn.
  platform::CatchInterrupts();
  Run run(plan, std::move(power_cut), std::move(journal_file));
  try {
    run.Go();
  } catch (const std::bad_alloc&) {
    // Memory that ran out is a failure like any other the system reports.
    run.EndAfter(Error(platform::kErrorNotEnoughMemory));
  } catch (const Error& e) {
    run.EndAfter(e);
  }
  return 0;
}

int Main(int argc, const char* const* argv) {
  InitConsole();
  MarkRunStart();
  const CommandLine cl = ParseCommandLine(argc, argv);
  if (const std::optional<int> answer = AnswerWithoutTarget(cl)) {
    return *answer;
  }
  // --inspect reads through the window too, and stamps nothing.
  g_flags = Flags{cl.options, DrawRunID()};
  if (cl.inspect) return Inspect(cl);
  return RunTests(PlanRun(cl, argc, argv));
}

}  // namespace
}  // namespace vorbex

int main(int argc, char** argv) { return vorbex::Main(argc, argv); }
