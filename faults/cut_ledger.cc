// Reads a power-cut scenario's log and settles every block that a cut took
// after a flush had promised it: reported by a check as lost after a
// flush, missed for a reason the child showed, or missed. Any other report
// is false: what a cut may take, a check held to the journal must allow,
// and a resume that rewrote what the cut left behind leaves nothing to
// report to the runs and checks after it.

#include <cstdint>
#include <cstdlib>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <utility>

#include "faults/suite.h"

namespace vorbex::faults {
namespace {

struct Lost {
  bool caught = false;
  std::string reason;
};

bool HeldToJournal(const std::string& phase) {
  return phase == "check" || phase == "resume-scan";
}

// Faults of the product that these scenarios found, since mended: named
// when they come back, and failed on like any false report.
constexpr const char* kUnrewritten =
    "a block that a cut left behind and the resume had not yet rewritten "
    "when its own start-up writes were cut: the resume's journal, which the "
    "next check is held to, does not know it";
constexpr const char* kNothingDurable =
    "the check refused the journal as another target's: its run made "
    "nothing durable, and the cut took every stamp of its DiskID where the "
    "check looks for one";

}  // namespace

void AccountCuts(const Scenario& s, const std::string& out, int exit_code,
                 Tally* tally) {
  const FaultClass& c = *FindClass(s.fault_class);
  std::map<std::pair<int, int64_t>, Lost> lost;  // (cut, block)
  int cut = 0;
  std::string phase = "start";
  bool ended = false;
  int reports = 0;
  const std::string report_prefix = std::string(kTargetPath) + ": Block ";
  const auto problem = [&](const std::string& what) {
    tally->problems.push_back(s.fault_class + " level " +
                              std::to_string(s.level) +
                              (s.errstop ? " -e" : "") + " seed " +
                              std::to_string(s.seed) + ": " + what);
  };

  // Blocks that a cut left behind and that the resume whose start-up was
  // cut did not rewrite.
  std::set<int64_t> unrewritten;

  // The report being read: its block, the phase it came in, and whether a
  // line of it says the write was lost after a flush.
  int64_t block = -1;
  std::string report_phase;
  bool durable = false;
  const auto settle = [&] {
    if (block < 0) return;
    const auto it = lost.find({cut, block});
    if (durable && HeldToJournal(report_phase) && it != lost.end()) {
      it->second.caught = true;
    } else if (!durable && unrewritten.count(block) != 0) {
      ++tally->false_reports;
      ++tally->known[kUnrewritten];
    } else {
      ++tally->false_reports;
      std::string what =
          "report on block " + std::to_string(block) + " in " + report_phase;
      if (durable) {
        what += " of a write lost after a flush, which the drive kept";
      } else if (c.cut == CutKind::kLying) {
        what += " that names no write lost after a flush";
      } else {
        what += " on a drive whose flushes keep their word";
      }
      problem(what);
    }
    block = -1;
  };

  std::istringstream lines(out);
  std::string line;
  while (std::getline(lines, line)) {
    if (block >= 0 && !line.empty() && line[0] == '\t') {
      if (line.rfind("\tLost after a flush:", 0) == 0) durable = true;
      continue;
    }
    settle();
    std::istringstream in(line);
    std::string tag;
    in >> tag;
    if (tag == "@phase") {
      in >> phase;
    } else if (tag == "@cut") {
      std::string word;
      int64_t allowed = 0;
      int64_t promised = 0;
      int torn = 0;
      in >> cut >> word >> allowed >> word >> promised >> word >> torn;
      ++tally->cuts.cuts;
      tally->cuts.allowed += allowed;
      tally->cuts.torn += torn;
    } else if (tag == "@lost") {
      int k = 0;
      long long b = 0;
      in >> k >> b;
      lost[{k, b}];
    } else if (tag == "@reason") {
      int k = 0;
      long long b = 0;
      in >> k >> b;
      const auto it = lost.find({k, b});
      if (it != lost.end()) std::getline(in >> std::ws, it->second.reason);
    } else if (tag == "@unrewritten") {
      long long b = 0;
      in >> b;
      unrewritten.insert(b);
    } else if (tag == "@refused") {
      std::string word;
      int k = 0;
      int64_t durable_writes = 0;
      in >> k >> word >> durable_writes;
      std::string why;
      std::getline(in >> std::ws, why);
      ++tally->false_reports;
      // A drive keeps every durable write but a lying one, and the check
      // finds the journal's DiskID on the first block of any it samples.
      if (durable_writes == 0) {
        ++tally->known[kNothingDurable];
      } else {
        problem("after cut " + std::to_string(k) + ": " + why);
      }
    } else if (tag == "@facts") {
      std::string word;
      int k = 0;
      int64_t allowed = 0;
      int64_t torn = 0;
      in >> k >> word >> allowed >> word >> torn;
      tally->cuts.check_allowed += allowed;
      tally->cuts.check_torn += torn;
    } else if (tag == "@end") {
      ended = true;
    } else if (line.rfind(report_prefix, 0) == 0) {
      ++reports;
      block = std::atoll(line.c_str() + report_prefix.size());
      report_phase = phase;
      durable = false;
    }
  }
  settle();

  const bool stopped_by_errstop = s.errstop && exit_code == 1 && reports > 0;
  if (!ended && !stopped_by_errstop) {
    problem("child ended with code " + std::to_string(exit_code) +
            " before its last phase");
  }
  if (ended && exit_code != 0) {
    problem("child exited " + std::to_string(exit_code));
  }

  for (const auto& [key, l] : lost) {
    ++tally->injected;
    if (l.caught) {
      ++tally->check;
    } else if (!l.reason.empty()) {
      ++tally->accounted;
      ++tally->reasons[l.reason];
    } else {
      ++tally->missed;
      problem("block " + std::to_string(key.second) + ", lost after a flush " +
              "at cut " + std::to_string(key.first) + ", was missed");
    }
  }
}

}  // namespace vorbex::faults
