// The fault suite's entry. Without arguments it runs every fault class on
// several levels, with and without -e, and prints what became of the faults;
// --quick runs a short matrix for ctest. It fails when a fault was missed
// for no reason it knows, when a report has no fault to explain it, or when
// a run misbehaved.

#include <stdlib.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include "faults/suite.h"
#include "platform/testing/subprocess.h"

namespace vorbex::faults {
namespace {

using Damage = platform::FakeEnv::Damage;

// Each cut takes a run of the level's tests and its check, so a few make
// a scenario of a few seconds.
constexpr int kCutsPerScenario = 2;

struct Options {
  bool quick = false;
  int seeds = 2;
  int ms = 800;
  bool checksum = true;
  std::vector<std::string> classes;
};

// The class names come from the table, so the list cannot fall behind it.
void PrintUsage(std::FILE* to) {
  std::fputs(
      "usage: vorbex_fault_suite [--quick] [--seeds N] [--ms MS] "
      "[--no-checksum] [CLASS...]\nclasses:",
      to);
  for (const FaultClass& c : FaultClasses()) std::fprintf(to, " %s", c.name);
  std::fputs("\n", to);
}

void PrintRow(const std::string& label, const Tally& t) {
  std::printf("| %s | %d | %d | %d | %d | %d | %d | %d |\n", label.c_str(),
              t.injected, t.online, t.check, t.healed, t.accounted, t.missed,
              t.false_reports);
}

// What a power-cut scenario says on standard error on purpose: a flush
// after the cut fails, the resume says how many blocks it rewrote, and a
// check warns of a journal that promised nothing and left no stamp.
// Anything else there is a sanitizer's report or a crash.
std::string Unexpected(const FaultClass& c, const std::string& err) {
  if (c.cut == CutKind::kNone) return err;
  std::istringstream lines(err);
  std::string line;
  std::string rest;
  while (std::getline(lines, line)) {
    const bool flush_after_cut =
        line.rfind("WARNING: a flush of the target failed with error 21;", 0) ==
        0;
    const bool rewrote =
        line.rfind("Rewrote ", 0) == 0 &&
        line.find(" blocks that the cut left behind.") != std::string::npos;
    // A format cut before its first flush may leave no stamp of its DiskID.
    const bool nothing_durable =
        line.rfind("WARNING: no block of the target carries the DiskID", 0) ==
        0;
    if (!flush_after_cut && !rewrote && !nothing_durable) rest += line + "\n";
  }
  return rest;
}

// What the power cuts took and what the checks made of it, for the
// power-cut classes that ran.
void PrintCuts(const std::vector<std::string>& order,
               const std::map<std::string, Tally>& tallies) {
  bool any = false;
  for (const std::string& name : order) {
    if (FindClass(name)->cut != CutKind::kNone) any = true;
  }
  if (!any) return;
  std::printf(
      "| power cuts | cuts | torn writes in flight | blocks lost, allowed | "
      "blocks lost after a flush | allowed by the checks | torn writes the "
      "checks counted |\n");
  std::printf("|---|---|---|---|---|---|---|\n");
  for (const std::string& name : order) {
    const FaultClass& c = *FindClass(name);
    const auto it = tallies.find(name);
    if (c.cut == CutKind::kNone || it == tallies.end()) continue;
    const Tally& t = it->second;
    std::printf("| %s | %d | %d | %lld | %d | %lld | %lld |\n", c.label,
                t.cuts.cuts, t.cuts.torn,
                static_cast<long long>(t.cuts.allowed), t.injected,
                static_cast<long long>(t.cuts.check_allowed),
                static_cast<long long>(t.cuts.check_torn));
  }
  std::printf("\n");
}

int RunSuite(const std::string& self, const Options& o) {
  const std::vector<int32_t> suite_levels = {2, 20, 300};
  std::map<std::string, Tally> tallies;
  std::vector<std::string> order;
  int scenarios = 0;
  // The journals of the power-cut scenarios, one child at a time.
  std::string scratch =
      std::filesystem::temp_directory_path() / "vbxfaultsXXXXXX";
  if (mkdtemp(scratch.data()) == nullptr) {
    std::perror("vorbex_fault_suite: cannot make a scratch folder");
    return 1;
  }
  for (size_t ci = 0; ci < FaultClasses().size(); ++ci) {
    const FaultClass& c = FaultClasses()[ci];
    if (!o.classes.empty() && std::find(o.classes.begin(), o.classes.end(),
                                        c.name) == o.classes.end()) {
      continue;
    }
    order.push_back(c.name);
    const std::vector<int32_t>& levels =
        c.levels.empty() ? suite_levels : c.levels;
    for (size_t li = 0; li < levels.size(); ++li) {
      // The quick matrix gives each class one level, in turn; control all.
      if (o.quick && !c.control && li != ci % levels.size()) continue;
      for (int seed = 1; seed <= o.seeds; ++seed) {
        for (const bool errstop : {false, true}) {
          Scenario s;
          s.fault_class = c.name;
          s.level = levels[li];
          s.stress_ms = o.ms;
          s.errstop = errstop;
          s.seed = static_cast<uint64_t>(seed) * 1000 + ci * 10 + li;
          s.checksum = o.checksum;
          // A power-cut class's count is its cuts, and with -e the first
          // report ends the scenario.
          if (c.cut != CutKind::kNone) {
            s.faults = errstop ? 1 : kCutsPerScenario;
          } else {
            s.faults = c.control ? 0 : errstop ? 1 : 4;
          }
          s.scratch = scratch;
          std::vector<std::string> argv = {self};
          for (const std::string& a : ChildArguments(s)) argv.push_back(a);
          const platform::ProcessResult r = platform::RunProcess(argv, 120);
          ++scenarios;
          if (r.timed_out) {
            tallies[c.name].problems.push_back(std::string(c.name) +
                                               ": child timed out");
          }
          // Vorbex prints nothing else there on this target, so whatever
          // remains is a sanitizer's report or a crash.
          if (const std::string err = Unexpected(c, r.err); !err.empty()) {
            std::fprintf(stderr, "%s", err.c_str());
            tallies[c.name].problems.push_back(std::string(c.name) +
                                               ": child wrote to stderr");
          }
          if (c.cut != CutKind::kNone) {
            AccountCuts(s, r.out, r.exit_code, &tallies[c.name]);
          } else {
            Account(s, r.out, r.exit_code, &tallies[c.name]);
          }
        }
      }
    }
  }

  std::printf("%d scenarios\n\n", scenarios);
  std::printf(
      "| class | faults | caught online | caught by check | healed | "
      "accounted | missed | false reports |\n");
  std::printf("|---|---|---|---|---|---|---|---|\n");
  int failures = 0;
  for (const std::string& name : order) {
    const Tally& t = tallies[name];
    PrintRow(FindClass(name)->label, t);
    // A false report of a fault the ledger can name still fails the run:
    // it names them so that a regression says what came back.
    failures +=
        t.missed + t.false_reports + static_cast<int>(t.problems.size());
  }
  std::printf("\n");
  PrintCuts(order, tallies);
  for (const std::string& name : order) {
    for (const auto& [why, n] : tallies[name].reasons) {
      std::printf("%s: %d accounted: %s\n", name.c_str(), n, why.c_str());
    }
  }
  for (const std::string& name : order) {
    for (const auto& [fault, n] : tallies[name].known) {
      std::printf("%s: %d false reports of a fault once mended: %s\n",
                  name.c_str(),
                  n, fault.c_str());
    }
  }
  for (const std::string& name : order) {
    for (const std::string& p : tallies[name].problems) {
      std::printf("PROBLEM %s\n", p.c_str());
    }
  }
  std::error_code ignored;
  std::filesystem::remove_all(scratch, ignored);
  std::printf("%d passed, %d failed\n", failures == 0 ? 1 : 0,
              failures == 0 ? 0 : 1);
  return failures == 0 ? 0 : 1;
}

}  // namespace

const std::vector<FaultClass>& FaultClasses() {
  static const std::vector<FaultClass> classes = {
      {"control", "control (no fault)", Damage::kLost, false, 0, 0, 0, true},
      {"lost", "lost write", Damage::kLost, false, 0, 512, 0, false},
      {"torn", "torn write (block edge)", Damage::kTorn, false, 0, 512, 0,
       false},
      {"torn-block", "torn block", Damage::kTornBlock, false, 0, 512, 0, false},
      {"misdirected", "misdirected write", Damage::kMisdirected, false, 0, 512,
       0, false},
      {"header-flip", "bit flip in header, on write", Damage::kXor, false, 0,
       48, 0, false},
      {"map-flip", "bit flip in map, on write", Damage::kXor, false, 48, 304, 0,
       false},
      {"fill-flip", "bit flip in fill, on write", Damage::kXor, false, 304, 512,
       0, false},
      {"flag-flip", "bit flip in checksum flag, on write", Damage::kXor, false,
       41, 42, 0, false},
      {"sum-flip", "bit flip in checksum, on write", Damage::kXor, false, 44,
       48, 0, false},
      {"header-rot", "bit flip in header, at rest", Damage::kXor, true, 0, 48,
       0, false},
      {"map-rot", "bit flip in map, at rest", Damage::kXor, true, 48, 304, 0,
       false},
      {"fill-rot", "bit flip in fill, at rest", Damage::kXor, true, 304, 512, 0,
       false},
      {"flag-rot", "bit flip in checksum flag, at rest", Damage::kXor, true, 41,
       42, 0, false},
      {"sum-rot", "bit flip in checksum, at rest", Damage::kXor, true, 44, 48,
       0, false},
      {"stale", "stale read", Damage::kStale, false, 0, 512, 0, false},
      {"foreign", "another target's stamp", Damage::kXor, false, 4, 8,
       0x00010000, false},
      {"cut-honest", "power cut, honest flushes", Damage::kLost, false, 0, 0, 0,
       false, CutKind::kHonest},
      {"cut-lying", "power cut, lying flushes", Damage::kLost, false, 0, 0, 0,
       false, CutKind::kLying},
      {"cut-format", "power cut during a format", Damage::kLost, false, 0, 0,
       0, false, CutKind::kFormat, {10000}},
      {"cut-startup", "power cut during a resume's start-up writes",
       Damage::kLost, false, 0, 0, 0, false, CutKind::kStartup},
      // A write of one block lands whole or not at all, and level 20 makes
      // no other.
      {"cut-torn", "power cut during a write", Damage::kLost, false, 0, 0, 0,
       false, CutKind::kTorn, {2, 300}},
  };
  return classes;
}

const FaultClass* FindClass(const std::string& name) {
  for (const FaultClass& c : FaultClasses()) {
    if (name == c.name) return &c;
  }
  return nullptr;
}

}  // namespace vorbex::faults

int main(int argc, char** argv) {
  using vorbex::faults::Options;
  std::vector<std::string> args(argv + 1, argv + argc);
  if (!args.empty() && args[0] == "--child") {
    return vorbex::faults::RunChild({args.begin() + 1, args.end()});
  }
  Options o;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--quick") {
      o.quick = true;
      o.seeds = 1;
      o.ms = 300;
    } else if (args[i] == "--seeds" && i + 1 < args.size()) {
      o.seeds = std::stoi(args[++i]);
    } else if (args[i] == "--ms" && i + 1 < args.size()) {
      o.ms = std::stoi(args[++i]);
    } else if (args[i] == "--no-checksum") {
      o.checksum = false;
    } else if (args[i] == "--help") {
      vorbex::faults::PrintUsage(stdout);
      return 0;
    } else if (vorbex::faults::FindClass(args[i]) != nullptr) {
      o.classes.push_back(args[i]);
    } else {
      vorbex::faults::PrintUsage(stderr);
      return 2;
    }
  }
  return vorbex::faults::RunSuite(argv[0], o);
}
