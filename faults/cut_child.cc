// One power-cut scenario, run in a process of its own, on a drive with a
// volatile write cache: runs that keep a journal, each cut at a random
// moment and followed by a check held to its journal, each resume held to
// the journal before it, so that it rewrites what the cut left behind; at
// the end a run that ends as planned, and a check with no journal that
// must find the target consistent. The log says what each cut took, by the
// drive's own account, and why a loss after a flush that the journal could
// not claim went unreported.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "base/console.h"
#include "base/error.h"
#include "base/flags.h"
#include "base/sleep.h"
#include "check/power_cut_check.h"
#include "check/startup_check.h"
#include "disk/block_format.h"
#include "disk/disk_handle.h"
#include "faults/suite.h"
#include "journal/journal_reader.h"
#include "journal/journal_writer.h"
#include "run/command_line.h"
#include "run/levels.h"
#include "run/power_cut_run.h"

namespace vorbex::faults {
namespace {

using platform::FakeEnv;

// A score of flushes in a second's run, so that every cut falls between
// two of them with writes on both sides, as the flushes of a long run do.
constexpr int64_t kFlushEveryMs = 50;
// How long a run's end waits for its last flush and records.
constexpr int64_t kFinishMs = 10'000;
// A format writes block 0, then the target in two writes of 2048 blocks.
constexpr int kFormatWrites = 3;
// The tests of the resume that follows a format.
constexpr int32_t kAfterFormatLevel = 300;
// The longest write of the rewrites after a cut, as the resume makes them.
constexpr int32_t kMostRewriteBlocks = 2048;

// The tests borrow the path for as long as they run.
const std::string& TargetName() {
  static const std::string path = kTargetPath;
  return path;
}

// What the suite cannot go on from: its parent sees it on standard error.
[[noreturn]] void Stop(const std::string& why) {
  std::fflush(stdout);
  std::fprintf(stderr, "%s\n", why.c_str());
  std::fflush(stderr);
  std::_Exit(2);
}

// One run, as the product's main makes it: the start-up check (held to a
// journal when held is not empty), a journal of its own, the tests of a
// level while `during` runs, and their stop. It ends as planned, with a
// last flush, only when clean_end is set.
struct PlannedRun {
  int32_t level = 0;  // 0: no tests
  std::string held;   // the journal the check is held to
  std::string journal;
  bool clean_end = false;
  // Called once the journal has started, before the run's first write.
  std::function<void(PowerCutCheck* check)> arm;
  std::function<void(const ThreadTable& tests)> during;
};

struct RunResult {
  // Why the journal the run was to be held to could not be used.
  std::string refused;
  // What the check held to the journal concluded, when it finished.
  std::optional<PowerCutFacts> facts;
  journal::JournalStats journal;
};

RunResult DoRun(const PlannedRun& r) {
  RunResult result;
  std::unique_ptr<PowerCutCheck> check;
  if (!r.held.empty()) {
    result.refused = PrepareCheckJournal(r.held, TargetName(), false, &check);
    if (!result.refused.empty()) return result;
  }
  journal::Journal* journal = nullptr;
  StartupExtras extras;
  extras.power_cut = check.get();
  if (!r.journal.empty()) {
    extras.before_writes = [&](TestDisk& anchor) {
      std::unique_ptr<platform::AppendFile> file;
      const std::string why =
          OpenRunJournal(r.journal, TargetName(), false, &file);
      if (!why.empty()) Stop(why);
      journal = StartRunJournal(anchor, std::move(file), r.journal,
                                kFlushEveryMs, false, check.get());
      if (r.arm) r.arm(check.get());
    };
  }
  std::unique_ptr<TestDisk> anchor;
  try {
    anchor = StartupCheck(TargetName(), extras);
  } catch (const Error& e) {
    // The cut came during the start-up writes: the run ends there.
    PrintOutf("Error %d\n", static_cast<int>(e.code()));
  }
  // Published by this check alone: it is the first held to its journal.
  if (const auto published = PublishedPowerCutFacts();
      check != nullptr && published && published->journal == r.held) {
    result.facts = published;
  }
  if (anchor != nullptr && g_flags.check == 0) {
    ThreadTable tests;
    const LevelParts parts = SplitLevel(r.level);
    for (int i = 0; i < parts.count; ++i) {
      CreateLevelTests(tests, TargetName(), parts.values[i]);
    }
    if (r.during) r.during(tests);
    StopAllTests(tests);
  }
  if (journal != nullptr) {
    journal->Finish(r.clean_end, kFinishMs);
    result.journal = journal->Stats();
    journal::g_journal = nullptr;
    delete journal;
  }
  if (anchor != nullptr) anchor->Close();
  return result;
}


// The start-up writes of a resume held to a journal, as it makes them:
// block 0, then each run of neighbours that the cut left behind. Each
// entry lists the blocks that the write rewrites of those left behind.
std::vector<std::vector<int32_t>> StartupWrites(
    const std::vector<int32_t>& left) {
  std::vector<std::vector<int32_t>> writes(1);
  size_t i = 0;
  while (i < left.size()) {
    int32_t n = 1;
    while (i + static_cast<size_t>(n) < left.size() && n < kMostRewriteBlocks &&
           left[i + static_cast<size_t>(n)] == left[i] + n) {
      ++n;
    }
    std::vector<int32_t> run(left.begin() + static_cast<int64_t>(i),
                             left.begin() + static_cast<int64_t>(i) + n);
    // Block 0 has its own write, the first.
    if (run.front() == 0) {
      writes.front().push_back(0);
      run.erase(run.begin());
    }
    if (!run.empty()) writes.push_back(std::move(run));
    i += static_cast<size_t>(n);
  }
  return writes;
}

// The WriteSeq of the stamp of block b at bytes; -1, older than any
// write, when there is none.
int64_t CarriedSeq(const uint8_t* bytes, int64_t b) {
  const BlockHeader h = LoadHeader(bytes);
  return h.Magic == kMagic && h.Blkno == b ? h.WriteSeq : -1;
}

class CutScenario {
 public:
  CutScenario(const FaultClass& c, const Scenario& s)
      : class_(c), s_(s), rng_(s.seed * 7919 + 17) {
    plan_.seed = s.seed;
    plan_.destage_us = std::uniform_int_distribution<int64_t>(20, 200)(rng_);
    plan_.lie = c.cut == CutKind::kLying
                    ? std::uniform_real_distribution<double>(0.2, 0.5)(rng_)
                    : 0;
  }

  int Go() {
    platform::SetCurrentEnv(&env_);
    env_.AddTarget(kTargetPath, int64_t{kTargetBlocks} * kBlockSize);
    env_.SeedDamage(s_.seed);
    bool go_on = true;
    if (class_.cut == CutKind::kFormat) {
      go_on = CutTheFormat();
    } else {
      SetFlags(0, 0);
      Phase("format");
      FormatTarget();
      env_.EnableWriteCache(kTargetPath, plan_);
      const int cuts = class_.cut == CutKind::kStartup ? 1 : s_.faults;
      for (int k = 0; go_on && k < cuts; ++k) go_on = CutTheTests();
      if (go_on && class_.cut == CutKind::kStartup) go_on = CutTheStartup();
    }
    if (go_on) Finally();
    std::printf("@end\n");
    std::fflush(stdout);
    platform::SetCurrentEnv(nullptr);
    return 0;
  }

 private:
  // Each run has a RunID of its own.
  void SetFlags(int32_t resume, int32_t check, bool errstop = false) {
    g_flags = Flags{};
    g_flags.RunID = static_cast<uint32_t>((s_.seed * 16 + runs_++) & 0x7FFF);
    g_flags.resume = resume;
    g_flags.check = check;
    g_flags.errstop = errstop ? 1 : 0;
    g_flags.checksum = s_.checksum;
  }

  static void Phase(const char* name) { std::printf("@phase %s\n", name); }

  std::string NextJournal() {
    return s_.scratch + "/journal." + std::to_string(++journals_);
  }

  // A run of the level's tests, resumed (and held to the journal of the
  // run before, if any), cut at a random 20 to 90 % of its time from a
  // thread of the suite; the torn class arms a cut that tears the next
  // write instead. False when the scenario cannot go on.
  bool CutTheTests() {
    PlannedRun r;
    r.level = s_.level;
    r.held = held_;
    r.journal = NextJournal();
    const int ms = s_.stress_ms;
    const int at =
        std::uniform_int_distribution<int>(ms * 2 / 10, ms * 9 / 10)(rng_);
    const bool tear = class_.cut == CutKind::kTorn;
    r.during = [&](const ThreadTable&) {
      Phase("stress");
      std::thread cut([&] {
        SleepMilliseconds(static_cast<uint64_t>(at));
        if (tear) {
          env_.CutDuringWrite(kTargetPath);
        } else {
          env_.Cut(kTargetPath);
        }
      });
      SleepMilliseconds(static_cast<uint64_t>(ms));
      cut.join();
    };
    // The run that is cut is a process the power took: -e is for the
    // checks and the runs after them.
    SetFlags(1, 0);
    Phase(held_.empty() ? "start" : "resume-scan");
    const RunResult run = DoRun(r);
    if (!Usable(run, r.held)) return false;
    return AfterCut(r.journal, run.journal, tear);
  }

  // A resume held to the last cut's journal, cut during its start-up
  // writes: block 0's, or one of the rewrites of what that cut left behind.
  bool CutTheStartup() {
    PlannedRun r;
    r.level = s_.level;
    r.held = held_;
    r.journal = NextJournal();
    std::vector<std::vector<int32_t>> writes;
    int skip = 0;
    r.arm = [&](PowerCutCheck* check) {
      writes = StartupWrites(check->LeftBehind());
      skip = std::uniform_int_distribution<int>(
          0, static_cast<int>(writes.size()) - 1)(rng_);
      env_.CutDuringWrite(kTargetPath, skip);
    };
    SetFlags(1, 0);
    Phase("resume-scan");
    const RunResult run = DoRun(r);
    if (!Usable(run, r.held)) return false;
    // What the resume never rewrote: the blocks of the writes from the cut
    // one on, but for those of the cut one that landed.
    const FakeEnv::CutReport cut = env_.LastCut(kTargetPath);
    const std::set<int64_t> landed(cut.torn_landed.begin(),
                                   cut.torn_landed.end());
    std::printf("@startup-cut %d of %zu writes\n", skip, writes.size());
    for (size_t w = static_cast<size_t>(skip); w < writes.size(); ++w) {
      for (const int32_t b : writes[w]) {
        if (landed.count(b) == 0) std::printf("@unrewritten %d\n", b);
      }
    }
    return AfterCut(r.journal, run.journal, true);
  }

  // A format with a journal on a drive fresh from the factory, cut during
  // one of its writes, or after them before its last flush.
  bool CutTheFormat() {
    env_.EnableWriteCache(kTargetPath, plan_);
    PlannedRun r;
    r.level = kFormatLevel;
    r.journal = NextJournal();
    const int skip = std::uniform_int_distribution<int>(0, kFormatWrites)(rng_);
    r.arm = [&](PowerCutCheck*) {
      if (skip < kFormatWrites) env_.CutDuringWrite(kTargetPath, skip);
    };
    r.during = [&](const ThreadTable& tests) {
      Phase("format");
      const auto done = [&] {
        return std::all_of(tests.Slots.begin(), tests.Slots.end(),
                           [](const std::unique_ptr<TestThread>& t) {
                             return t == nullptr || t->Finished.load();
                           });
      };
      while (env_.PoweredOn(kTargetPath) && !done()) SleepMilliseconds(1);
    };
    // Not g_flags.format, which ends the process when the format is done.
    SetFlags(0, 0);
    Phase("start");
    const RunResult run = DoRun(r);
    return AfterCut(r.journal, run.journal, skip < kFormatWrites);
  }

  // Says what the cut took, powers the drive on and checks the target held
  // to the journal of the run the cut ended. False when the check refused
  // the journal, after which nothing can be held to it.
  bool AfterCut(const std::string& journal_path,
                const journal::JournalStats& stats, bool tear) {
    // A cut armed for a write that never came, or none armed: now.
    if (env_.PoweredOn(kTargetPath)) {
      env_.Cut(kTargetPath);
      tear = false;
    }
    const FakeEnv::CutReport cut = env_.LastCut(kTargetPath);
    ++cuts_;
    std::printf("@cut %d allowed %zu durable %zu torn %d\n", cuts_,
                cut.allowed_lost.size(), cut.durable_lost.size(), tear ? 1 : 0);
    for (const int64_t b : cut.durable_lost) {
      std::printf("@lost %d %lld\n", cuts_, static_cast<long long>(b));
    }
    // A journal that dropped records or broke claims less than it could.
    if (stats.dropped == 0 && !stats.broken) {
      Explain(journal_path, cut.durable_lost);
    }
    env_.PowerOn(kTargetPath);

    SetFlags(0, 1, s_.errstop);
    Phase("check");
    PlannedRun check;
    check.held = journal_path;
    const RunResult run = DoRun(check);
    if (!Usable(run, check.held)) return false;
    if (run.facts) {
      std::printf("@facts %d allowed %lld torn %lld durable %lld\n", cuts_,
                  static_cast<long long>(run.facts->allowed),
                  static_cast<long long>(run.facts->torn_writes),
                  static_cast<long long>(run.facts->blocks_lost_after_flush));
    }
    held_ = journal_path;
    return true;
  }

  // A journal the product refused to hold the target to ends the scenario:
  // says why, and how many writes the journal made durable, which an
  // honest drive keeps.
  bool Usable(const RunResult& run, const std::string& held) {
    if (run.refused.empty()) return true;
    journal::JournalContents j;
    int64_t durable = 0;
    if (journal::ReadJournal(held, &j).empty()) {
      for (const int32_t f : journal::DurableFlushes(j)) durable += f >= 0;
    }
    std::printf("@refused %d durable %lld %s\n", cuts_,
                static_cast<long long>(durable), run.refused.c_str());
    return false;
  }

  // A loss after a flush that the journal cannot claim. The drive takes a
  // flush in only when it gets to it, and counts in every write it has
  // acknowledged by then; the journal counts the writes a flush covers when
  // it issues the flush, and claims only those. A write acknowledged in
  // between, which the flush then kept back, is lost after the flush as the
  // drive sees it and allowed as the journal does, and the check knows only
  // what the journal claims. With a whole journal nothing else makes the
  // two differ: the loss is of that kind when the journal records a write
  // of the block newer than what the medium holds, and no durable one.
  // When the write returned tells nothing here: the in-memory drive makes
  // both the flush and the write's return wait for its lock, for tens of
  // milliseconds on a loaded machine.
  void Explain(const std::string& journal_path,
               const std::vector<int64_t>& lost) {
    if (lost.empty()) return;
    journal::JournalContents j;
    const std::string why = journal::ReadJournal(journal_path, &j);
    if (!why.empty()) Stop(why);
    const std::vector<int32_t> flush_of = journal::DurableFlushes(j);
    // Per block, the newest write and the newest durable one; -1 for none.
    std::vector<int64_t> newest(kTargetBlocks, -1);
    std::vector<int64_t> durable(kTargetBlocks, -1);
    for (size_t i = 0; i < j.writes.size(); ++i) {
      const journal::WriteRecord& w = j.writes[i];
      for (int32_t b = w.first; b < w.first + w.count; ++b) {
        const auto k = static_cast<size_t>(b);
        newest[k] = std::max(newest[k], w.write_seq);
        if (flush_of[i] >= 0) durable[k] = std::max(durable[k], w.write_seq);
      }
    }
    const std::vector<uint8_t> medium = env_.ReadMedium(
        kTargetPath, 0, static_cast<size_t>(kTargetBlocks) * kBlockSize);
    for (const int64_t b : lost) {
      const int64_t m = CarriedSeq(medium.data() + b * kBlockSize, b);
      const auto i = static_cast<size_t>(b);
      if (durable[i] <= m && newest[i] > m) {
        std::printf(
            "@reason %d %lld acknowledged before the flush took effect, "
            "journalled after it was issued\n",
            cuts_, static_cast<long long>(b));
      }
    }
  }

  // A resume held to the last journal, half as long, that ends as planned;
  // then a check with no journal, which must find the target consistent.
  void Finally() {
    PlannedRun r;
    r.level = class_.cut == CutKind::kFormat ? kAfterFormatLevel : s_.level;
    r.held = held_;
    r.journal = NextJournal();
    r.clean_end = true;
    r.during = [this](const ThreadTable&) {
      Phase("resume");
      SleepMilliseconds(static_cast<uint64_t>(s_.stress_ms / 2));
    };
    SetFlags(1, 0, s_.errstop);
    Phase("resume-scan");
    if (!Usable(DoRun(r), r.held)) return;
    SetFlags(0, 1, s_.errstop);
    Phase("final-check");
    DoRun(PlannedRun{});
  }

  const FaultClass& class_;
  const Scenario s_;
  std::mt19937_64 rng_;
  FakeEnv::CachePlan plan_;
  FakeEnv env_;
  std::string held_;  // the journal of the last run cut
  int runs_ = 0;
  int journals_ = 0;
  int cuts_ = 0;
};

}  // namespace

int RunCutChild(const FaultClass& c, const Scenario& s) {
  return CutScenario(c, s).Go();
}

}  // namespace vorbex::faults
