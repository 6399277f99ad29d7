// One scenario, run in a process of its own: format the target, stress it
// with -r while faults are placed, check it with -c, resume it with -r. The
// log it prints says, for every damaged block, when it was placed, when a
// read that had to notice it delivered it, and when a write replaced it.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "base/console.h"
#include "base/flags.h"
#include "base/sleep.h"
#include "check/startup_check.h"
#include "disk/block_format.h"
#include "disk/disk_handle.h"
#include "disk/stamp_checksum.h"
#include "faults/suite.h"
#include "run/levels.h"

namespace vorbex::faults {
namespace {

using platform::FakeEnv;
using Damage = FakeEnv::Damage;

enum class Phase { kFormat, kStress, kCheck, kResumeScan, kResume };

const char* PhaseName(Phase p) {
  switch (p) {
    case Phase::kFormat: return "format";
    case Phase::kStress: return "stress";
    case Phase::kCheck: return "check";
    case Phase::kResumeScan: return "resume-scan";
    case Phase::kResume: return "resume";
  }
  return "?";
}

// A damaged block not yet replaced.
struct OpenDamage {
  int byte = -1;
  uint16_t seq = 0;          // the generation the block should carry
  bool checksummed = false;  // the stamp that belongs there carries one
  bool flipped = false;      // bits changed where the block lies
  bool neighbour = false;    // a map entry other than the block's own
  bool stale = false;        // served once, never on the medium
  bool seen = false;         // in the current phase
  bool ever_seen = false;
};

// Everything the observer needs, shared by the threads that transfer (which
// call it under the Env's lock) and the main and injecting threads.
class Ledger {
 public:
  explicit Ledger(FakeEnv* env) : env_(env) {}

  void SetPhase(Phase p) {
    std::lock_guard<std::mutex> hold(mu_);
    if (p == phase_) return;
    phase_ = p;
    for (auto& [key, d] : open_) d.seen = false;
    readers_.clear();
    std::printf("@phase %s\n", PhaseName(p));
  }

  // The handles of a run's tests, so that a read can be traced to the table
  // entries its reader copied.
  void AddReaders(const ThreadTable& tests) {
    std::lock_guard<std::mutex> hold(mu_);
    for (const auto& t : tests.Slots) {
      if (t != nullptr && t->Disk != nullptr) {
        readers_[t->Disk->Handle.get()] = t->Disk.get();
      }
    }
  }

  int64_t Faults() {
    std::lock_guard<std::mutex> hold(mu_);
    return static_cast<int64_t>(faults_.size());
  }

  bool Damaged(int64_t block) {
    std::lock_guard<std::mutex> hold(mu_);
    return damaged_blocks_.count(block) != 0;
  }

  void Observe(const FakeEnv::DamageEvent& e) {
    std::lock_guard<std::mutex> hold(mu_);
    const auto key = std::make_pair(e.fault, e.block);
    switch (e.kind) {
      case FakeEnv::DamageEvent::kPlaced: Placed(e); break;
      case FakeEnv::DamageEvent::kRead: {
        const auto it = open_.find(key);
        if (it == open_.end()) return;
        if (!it->second.seen && Decisive(e, it->second)) {
          it->second.seen = it->second.ever_seen = true;
          std::printf("@seen %lld %lld\n", static_cast<long long>(e.fault),
                      static_cast<long long>(e.block));
        }
        // A stale copy was served once; it lies nowhere.
        if (it->second.stale) Close(key);
        break;
      }
      case FakeEnv::DamageEvent::kOverwritten:
      case FakeEnv::DamageEvent::kSuperseded: {
        const auto it = open_.find(key);
        if (it == open_.end()) return;
        const char* what = e.kind == FakeEnv::DamageEvent::kSuperseded
                               ? "superseded"
                           : it->second.ever_seen ? "rewritten"
                                                  : "healed";
        std::printf("@%s %lld %lld\n", what, static_cast<long long>(e.fault),
                    static_cast<long long>(e.block));
        Close(key);
        break;
      }
    }
  }

  // Before a check, from the target as it lies: why each damaged block
  // that the check cannot tell from a good one will go unreported (a map
  // entry the check does not use, a lost write nothing names). Also notes,
  // for stale copies the check may be served, which blocks only their own
  // stamp vouches for.
  void ExplainBeforeCheck();

 private:
  void Placed(const FakeEnv::DamageEvent& e) {
    const BlockHeader h = LoadHeader(e.intended);
    OpenDamage d;
    d.seq = static_cast<uint16_t>(h.Seq);
    d.byte = e.byte;
    d.checksummed = ChecksumFlag(h) == kChecksumFlag;
    d.flipped = e.damage == Damage::kXor;
    const int entry = (e.byte - kMapOffset) / 2;
    d.neighbour = d.flipped && e.byte >= kMapOffset && e.byte < kFillOffset &&
                  entry != kSelfEntry;
    d.stale = e.damage == Damage::kStale;
    open_[{e.fault, e.block}] = d;
    faults_.insert(e.fault);
    if (e.damage != Damage::kStale) damaged_blocks_.insert(e.block);
    std::printf("@placed %lld %lld %d %u %d %d %d\n",
                static_cast<long long>(e.fault),
                static_cast<long long>(e.block), e.byte, e.mask, h.BaseBlk,
                h.EndBlk, d.checksummed ? 1 : 0);
    if (d.stale && (phase_ == Phase::kCheck || phase_ == Phase::kResumeScan) &&
        !vouched_.empty() && !vouched_[static_cast<size_t>(e.block)]) {
      std::printf(
          "@reason %lld %lld no stamp but the block's own names its "
          "newest generation, and the older copy is whole\n",
          static_cast<long long>(e.fault), static_cast<long long>(e.block));
    }
  }

  void Close(const std::pair<int64_t, int64_t>& key) {
    open_.erase(key);
    damaged_blocks_.erase(key.second);
  }

  // Whether the read had to report the block: the check always does; an
  // online reader only when it verifies the block at all (its copy of the
  // table entry says the block was written) and what it got cannot be a
  // copy that a write in flight explains. A flipped stamp that carries a
  // checksum fails it whichever copy it was, so any verifying read must
  // report it. Otherwise the entry copied before the transfer must already
  // hold the generation that should be on the medium, and the damage must
  // lie in a byte the reader compares: without a checksum that leaves out
  // the map entries other than the block's own.
  bool Decisive(const FakeEnv::DamageEvent& e, const OpenDamage& d) const {
    if (phase_ == Phase::kCheck || phase_ == Phase::kResumeScan) return true;
    const auto r = readers_.find(e.reader);
    if (r == readers_.end()) return false;
    // The reader's own copy, and this is the reader's thread.
    const BlockState s0 =
        r->second->RangeStates[static_cast<size_t>(e.block - e.read_first)];
    if ((s0 & kWritten) == 0) return false;
    if (d.flipped && d.checksummed) return true;
    return !d.neighbour && SeqOf(s0) == d.seq;
  }

  FakeEnv* const env_;
  std::mutex mu_;
  Phase phase_ = Phase::kFormat;
  std::map<std::pair<int64_t, int64_t>, OpenDamage> open_;
  std::set<int64_t> damaged_blocks_;
  std::set<int64_t> faults_;  // every fault placed
  // Whether a stamp other than the block's own names the generation it
  // holds, as the target stood before the check.
  std::vector<bool> vouched_;
  std::map<const platform::Target*, TestDisk*> readers_;
};

// Whether the check takes the stamp at bytes, block b, at its word for its
// neighbours: one that fails its checksum speaks for nobody.
bool ValidStamp(const uint8_t* bytes, int64_t b, uint32_t disk_id) {
  const BlockHeader h = LoadHeader(bytes);
  return h.Magic == kMagic && h.DiskID == disk_id && h.Blkno == b &&
         h.BaseBlk >= 0 && h.BaseBlk <= h.Blkno && h.EndBlk > h.Blkno &&
         h.EndBlk <= kTargetBlocks &&
         CheckChecksum(bytes, h).kind != ChecksumVerdict::kBad;
}

void Ledger::ExplainBeforeCheck() {
  const std::vector<uint8_t> all = env_->ReadMedium(
      kTargetPath, 0, static_cast<size_t>(kTargetBlocks) * kBlockSize);
  const auto at = [&](int64_t b) { return all.data() + b * kBlockSize; };
  const uint32_t disk_id = LoadHeader(at(0)).DiskID;
  // The generation that the scan will hold block named to: the entry of the
  // newest valid stamp that names it (among stamps of one write, the first
  // the scan comes to), leaving out block skip; 0 when none does.
  const auto named_by_newest = [&](int64_t named, int64_t skip) {
    struct {
      int64_t write_seq = -1;
      uint16_t entry = 0;
      int64_t block = -1;
    } newest;
    for (int64_t c = std::max<int64_t>(0, named - 63);
         c <= std::min<int64_t>(kTargetBlocks - 1, named + 64); ++c) {
      const BlockHeader o = LoadHeader(at(c));
      const uint16_t e =
          NeighbourEntry(at(c), static_cast<int>(named - c) + kSelfEntry);
      if (c == skip || !ValidStamp(at(c), c, disk_id) || e == 0) continue;
      if (o.WriteSeq > newest.write_seq) newest = {o.WriteSeq, e, c};
    }
    return newest;
  };
  std::lock_guard<std::mutex> hold(mu_);
  vouched_.assign(kTargetBlocks, false);
  for (int64_t b = 0; b < kTargetBlocks; ++b) {
    vouched_[static_cast<size_t>(b)] =
        named_by_newest(b, b).entry == LoadHeader(at(b)).Seq;
  }
  for (const auto& [key, d] : open_) {
    const int64_t b = key.second;
    const BlockHeader h = LoadHeader(at(b));
    const char* why = nullptr;
    // A checksum covers the whole map, so these reasons hold only for a
    // stamp without one.
    if (d.neighbour && !d.checksummed) {
      const int k = (d.byte - kMapOffset) / 2;
      const int64_t named = b - kSelfEntry + k;
      if (named < 0 || named >= kTargetBlocks) {
        why = "the entry names a block outside the target";
      } else if (NeighbourEntry(at(b), k) == 0) {
        why = "the entry became 0, which says nothing";
      } else {
        const auto other = named_by_newest(named, b);
        if (other.write_seq > h.WriteSeq ||
            (other.write_seq == h.WriteSeq && other.block < b)) {
          why = "a newer stamp's map names that neighbour's generation";
        }
      }
    } else if (d.byte < 0 && ValidStamp(at(b), b, disk_id) &&
               named_by_newest(b, -1).entry == h.Seq) {
      why = "the write left no stamp behind that names its generation";
    }
    if (why != nullptr) {
      std::printf("@reason %lld %lld %s\n", static_cast<long long>(key.first),
                  static_cast<long long>(b), why);
    }
  }
}

}  // namespace

void FormatTarget() {
  TestDisk disk;
  disk.Open(kTargetPath, 51, 2048);
  for (int32_t b = 0; b < kTargetBlocks; b += 2048) {
    disk.WriteRange(b, std::min(2048, kTargetBlocks - b));
  }
  disk.Close();
}

namespace {

void PlaceAtRest(FakeEnv* env, Ledger* ledger, const FaultClass& c,
                 std::mt19937_64* rng) {
  const FakeEnv::DamagePlan plan{c.damage, c.lo, c.hi, c.mask, 1};
  for (int tries = 0; tries < 100; ++tries) {
    const auto b = 1 + static_cast<int64_t>((*rng)() % (kTargetBlocks - 1));
    if (!ledger->Damaged(b) && env->DamageAtRest(kTargetPath, b, plan)) return;
  }
}

// Places faults evenly over a stress phase.
class Injector {
 public:
  Injector(FakeEnv* env, Ledger* ledger, const FaultClass& c, int count, int ms,
           uint64_t seed)
      : env_(env),
        ledger_(ledger),
        class_(c),
        count_(count),
        ms_(ms),
        rng_(seed),
        thread_([this] { Loop(); }) {}
  ~Injector() { thread_.join(); }
  Injector(const Injector&) = delete;
  Injector& operator=(const Injector&) = delete;

 private:
  // Half the faults (the odd one by the seed) come late, so that a check
  // rather than the run's own reads is first to meet them.
  // A loaded machine wakes a sleeper late, so every fault is placed, late if
  // need be, and the run goes on until the last one is.
  void Loop() {
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < count_; ++i) {
      std::this_thread::sleep_until(
          start + std::chrono::milliseconds((i + 1) * ms_ / (count_ + 1)));
      if (class_.at_rest) {
        PlaceAtRest(env_, ledger_, class_, &rng_);
      } else {
        env_->ArmDamage(kTargetPath,
                        {class_.damage, class_.lo, class_.hi, class_.mask, 1});
      }
    }
  }

  FakeEnv* const env_;
  Ledger* const ledger_;
  const FaultClass class_;
  const int count_;
  const int ms_;
  std::mt19937_64 rng_;
  std::thread thread_;  // last, so that it starts after the rest exists
};

// The run's last writes, each of 8 blocks somewhere, each damaged: what a
// device did wrong just before the run ended.
void LastWrites(FakeEnv* env, const FaultClass& c, int count,
                std::mt19937_64* rng) {
  TestDisk disk;
  disk.Open(kTargetPath, 12, 8);
  for (int i = 0; i < count; ++i) {
    env->ArmDamage(kTargetPath, {c.damage, c.lo, c.hi, c.mask, 1});
    disk.WriteRange(1 + static_cast<int32_t>((*rng)() % (kTargetBlocks - 9)),
                    8);
  }
  disk.Close();
}

// One run: the start-up sequence, the level's tests for ms, and their stop.
void Run(
    Ledger* ledger, int32_t level, Phase tests_phase,
    const std::function<void()>& while_running,
    const std::function<void()>& after_stop = [] {}) {
  std::unique_ptr<TestDisk> anchor = StartupCheck(kTargetPath);
  if (g_flags.check != 0) {
    anchor->Close();
    return;
  }
  ledger->SetPhase(tests_phase);
  ThreadTable tests;
  const LevelParts parts = SplitLevel(level);
  for (int i = 0; i < parts.count; ++i) {
    CreateLevelTests(tests, kTargetPath, parts.values[i]);
  }
  ledger->AddReaders(tests);
  while_running();
  StopAllTests(tests);
  after_stop();
  anchor->Close();
}

}  // namespace

std::vector<std::string> ChildArguments(const Scenario& s) {
  return {"--child",
          s.fault_class,
          std::to_string(s.level),
          std::to_string(s.stress_ms),
          s.errstop ? "1" : "0",
          std::to_string(s.seed),
          std::to_string(s.faults),
          s.checksum ? "1" : "0",
          s.scratch};
}

int RunChild(const std::vector<std::string>& args) {
  InitConsole();
  const FaultClass* c = FindClass(args.at(0));
  if (c == nullptr) {
    std::fprintf(stderr, "unknown fault class %s\n", args.at(0).c_str());
    return 2;
  }
  const auto level = static_cast<int32_t>(std::stol(args.at(1)));
  const int ms = std::stoi(args.at(2));
  const bool errstop = args.at(3) == "1";
  const uint64_t seed = std::stoull(args.at(4));
  const int count = std::stoi(args.at(5));
  const bool checksum = args.at(6) == "1";
  if (c->cut != CutKind::kNone) {
    Scenario s;
    s.fault_class = c->name;
    s.level = level;
    s.stress_ms = ms;
    s.errstop = errstop;
    s.seed = seed;
    s.faults = count;
    s.checksum = checksum;
    s.scratch = args.at(7);
    return RunCutChild(*c, s);
  }

  FakeEnv env;
  platform::SetCurrentEnv(&env);
  env.AddTarget(kTargetPath, int64_t{kTargetBlocks} * kBlockSize);
  env.SeedDamage(seed);
  if (c->damage == Damage::kStale && !c->control) {
    env.KeepPreviousVersions(kTargetPath);
  }
  Ledger ledger(&env);
  env.ObserveDamage(
      [&ledger](const FakeEnv::DamageEvent& e) { ledger.Observe(e); });

  // Each phase is a run of its own, with a RunID of its own.
  const auto flags = [&](uint32_t run, int32_t resume, int32_t check) {
    g_flags = Flags{};
    g_flags.RunID = static_cast<uint32_t>((seed * 8 + run) & 0x7FFF);
    g_flags.resume = resume;
    g_flags.check = check;
    g_flags.errstop = errstop ? 1 : 0;
    g_flags.checksum = checksum;
  };
  flags(0, 0, 0);
  ledger.SetPhase(Phase::kFormat);
  FormatTarget();

  // Half the faults (the odd one by the seed) come late, on the run's last
  // writes or on the stopped target, so that a check rather than the run's
  // own reads is first to meet them.
  const int late =
      c->control ? 0 : count / 2 + (count % 2 == 1 && seed % 2 == 1 ? 1 : 0);
  const bool stale = !c->control && c->damage == Damage::kStale;
  flags(1, 1, 0);
  ledger.SetPhase(Phase::kStress);
  Run(
      &ledger, level, Phase::kStress,
      [&] {
        const Injector injector(&env, &ledger, *c, count - late, ms, seed);
        SleepMilliseconds(static_cast<uint64_t>(ms));
      },
      [&] {
        // A stream of its own: the injector's would pick its blocks again.
        std::mt19937_64 rng(~seed);
        if (c->at_rest) {
          for (int i = 0; i < late; ++i) PlaceAtRest(&env, &ledger, *c, &rng);
        } else if (!stale) {
          LastWrites(&env, *c, late, &rng);
        }
      });
  env.DisarmDamage();

  flags(2, 0, 1);
  ledger.ExplainBeforeCheck();
  ledger.SetPhase(Phase::kCheck);
  // The check reads as much as any run, so a lying cache lies to it too.
  for (int i = 0; stale && i < late; ++i) {
    env.ArmDamage(kTargetPath, {Damage::kStale, 0, 512, 0, 1});
  }
  Run(&ledger, level, Phase::kCheck, [] {});
  env.DisarmDamage();

  flags(3, 1, 0);
  ledger.SetPhase(Phase::kResumeScan);
  Run(&ledger, level, Phase::kResume,
      [&] { SleepMilliseconds(static_cast<uint64_t>(ms / 2)); });
  std::printf("@end\n");
  std::fflush(stdout);
  platform::SetCurrentEnv(nullptr);
  return 0;
}

}  // namespace vorbex::faults
