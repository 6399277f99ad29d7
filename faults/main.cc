// The fault suite's entry. Without arguments it runs every fault class on
// several levels, with and without -e, and prints what became of the faults;
// --quick runs a short matrix for ctest. It fails when a fault was missed
// for no reason it knows, when a report has no fault to explain it, or when
// a run misbehaved.

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "faults/suite.h"
#include "platform/testing/subprocess.h"

namespace vorbex::faults {
namespace {

using Damage = platform::FakeEnv::Damage;

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

int RunSuite(const std::string& self, const Options& o) {
  const std::vector<int32_t> levels = {2, 20, 300};
  std::map<std::string, Tally> tallies;
  std::vector<std::string> order;
  int scenarios = 0;
  for (size_t ci = 0; ci < FaultClasses().size(); ++ci) {
    const FaultClass& c = FaultClasses()[ci];
    if (!o.classes.empty() && std::find(o.classes.begin(), o.classes.end(),
                                        c.name) == o.classes.end()) {
      continue;
    }
    order.push_back(c.name);
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
          s.faults = c.control ? 0 : errstop ? 1 : 4;
          std::vector<std::string> argv = {self};
          for (const std::string& a : ChildArguments(s)) argv.push_back(a);
          const platform::ProcessResult r = platform::RunProcess(argv, 120);
          ++scenarios;
          if (r.timed_out) {
            tallies[c.name].problems.push_back(std::string(c.name) +
                                               ": child timed out");
          }
          // Vorbex prints nothing there on this target, so whatever
          // appears is a sanitizer's report or a crash.
          if (!r.err.empty()) {
            std::fprintf(stderr, "%s", r.err.c_str());
            tallies[c.name].problems.push_back(std::string(c.name) +
                                               ": child wrote to stderr");
          }
          Account(s, r.out, r.exit_code, &tallies[c.name]);
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
    failures +=
        t.missed + t.false_reports + static_cast<int>(t.problems.size());
  }
  std::printf("\n");
  for (const std::string& name : order) {
    for (const auto& [why, n] : tallies[name].reasons) {
      std::printf("%s: %d accounted: %s\n", name.c_str(), n, why.c_str());
    }
  }
  for (const std::string& name : order) {
    for (const std::string& p : tallies[name].problems) {
      std::printf("PROBLEM %s\n", p.c_str());
    }
  }
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
