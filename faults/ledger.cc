// Reads a child's log and settles every damaged block: caught by a run,
// caught by a check, healed by a later write, or missed, with the reason
// when the suite knows one.

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "disk/block_format.h"
#include "faults/suite.h"

namespace vorbex::faults {
namespace {

struct Damaged {
  int64_t fault = 0;
  int64_t block = 0;
  int byte = -1;
  int32_t base = 0;  // the extent of the stamp that belongs there
  int32_t end = 0;
  int32_t claimed_base = 0;  // and the one the damaged stamp claims
  int32_t claimed_end = 0;
  bool checksummed = false;  // the stamp that belongs there carries one
  bool seen = false;
  int closed_in = -1;  // the phase whose write replaced it
  std::string closed;  // healed, rewritten or superseded
  bool online = false;
  bool check = false;
  std::string reason;  // from the child
};

bool OnlinePhase(const std::string& p) {
  return p == "stress" || p == "resume";
}
bool CheckPhase(const std::string& p) {
  return p == "check" || p == "resume-scan";
}

// Why a flipped header bit that no report named went unseen, by the field
// it hit; empty for fields that every read compares. A checksum covers every
// field; a stamp without one must hold 0 in bytes 41 to 47, which every read
// compares.
std::string HeaderReason(const Damaged& d) {
  if (d.checksummed) return "";
  const int b = d.byte;
  if (b >= 12 && b < 16) {
    return "RunID is compared only on blocks the reading run wrote itself";
  }
  if (b >= 16 && b < 20) return "no read compares the writer's test code";
  if (b >= 20 && b < 28) {
    return "a block bound that stays valid is compared by no read, and the "
           "check finds no older block in the extent it now claims";
  }
  if (b >= 32 && b < 40) {
    if (d.closed == "rewritten") {
      return "WriteSeq is compared only by a check, and a write replaced the "
             "block before one";
    }
    if (d.end - d.base == 1) {
      return "WriteSeq is compared only by the check, against the other "
             "blocks of the same write, and a write of one block has none";
    }
  }
  return "";
}

std::string ReasonFor(const FaultClass& c, const Damaged& d, bool ended_early) {
  if (d.closed == "superseded") return "damaged again by a later fault";
  if (!d.reason.empty()) return d.reason;
  if (c.damage == platform::FakeEnv::Damage::kStale && !d.seen) {
    return "served while the block's write was in flight, when either copy "
           "is right";
  }
  if (c.damage == platform::FakeEnv::Damage::kXor && c.mask == 0 && c.lo == 0) {
    return HeaderReason(d);
  }
  if (!d.seen && ended_early) {
    return "the run ended at its first report before anyone read it";
  }
  return "";
}

int PhaseIndex(std::vector<std::string>* phases, const std::string& name) {
  phases->push_back(name);
  return static_cast<int>(phases->size()) - 1;
}

}  // namespace

void Account(const Scenario& s, const std::string& out, int exit_code,
             Tally* tally) {
  const FaultClass& c = *FindClass(s.fault_class);
  std::map<std::pair<int64_t, int64_t>, Damaged> damaged;
  std::vector<std::string> phases;
  int phase = PhaseIndex(&phases, "start");
  bool ended = false;
  int reports = 0;
  const std::string report_prefix = std::string(kTargetPath) + ": Block ";
  const bool flipped = c.damage == platform::FakeEnv::Damage::kXor;
  const auto problem = [&](const std::string& what) {
    tally->problems.push_back(s.fault_class + " level " +
                              std::to_string(s.level) +
                              (s.errstop ? " -e" : "") + " seed " +
                              std::to_string(s.seed) + ": " + what);
  };

  std::istringstream lines(out);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream in(line);
    std::string tag;
    in >> tag;
    long long f = 0;
    long long b = 0;
    if (tag == "@phase") {
      std::string name;
      in >> name;
      phase = PhaseIndex(&phases, name);
    } else if (tag == "@placed") {
      Damaged d;
      unsigned mask = 0;
      int checksummed = 0;
      in >> f >> b >> d.byte >> mask >> d.base >> d.end >> checksummed;
      d.checksummed = checksummed != 0;
      // A flipped bound claims another extent, whose blocks the check may
      // blame.
      d.claimed_base = d.base;
      d.claimed_end = d.end;
      if (d.byte >= 20 && d.byte < 24) {
        d.claimed_base =
            static_cast<int32_t>(static_cast<uint32_t>(d.base) ^ mask);
      } else if (d.byte >= 24 && d.byte < 28) {
        d.claimed_end =
            static_cast<int32_t>(static_cast<uint32_t>(d.end) ^ mask);
      }
      d.fault = f;
      d.block = b;
      damaged[{f, b}] = d;
    } else if (tag == "@seen" || tag == "@healed" || tag == "@rewritten" ||
               tag == "@superseded" || tag == "@reason") {
      in >> f >> b;
      const auto it = damaged.find({f, b});
      if (it == damaged.end()) continue;
      if (tag == "@seen") {
        it->second.seen = true;
      } else if (tag == "@reason") {
        std::getline(in >> std::ws, it->second.reason);
      } else {
        it->second.closed = tag.substr(1);
        it->second.closed_in = phase;
      }
    } else if (tag == "@end") {
      ended = true;
    } else if (line.rfind(report_prefix, 0) == 0) {
      ++reports;
      const int64_t r = std::atoll(line.c_str() + report_prefix.size());
      // The damaged block itself, or else the nearest one whose stamp or
      // neighbours could make the check blame r.
      std::vector<Damaged*> direct;
      std::vector<Damaged*> near;
      int64_t best = std::numeric_limits<int64_t>::max();
      for (auto& [key, d] : damaged) {
        if (d.closed_in >= 0 && d.closed_in != phase) continue;
        if (d.block == r) direct.push_back(&d);
        // A flipped stamp that carries a checksum fails it, and then
        // vouches for no other block: only a report of its own block is
        // its catch, and a report of any other is false.
        if (flipped && d.checksummed) continue;
        const int64_t lo =
            std::min<int64_t>({d.block - kSelfEntry, d.base, d.claimed_base});
        const int64_t hi = std::max<int64_t>(
            {d.block + kSelfEntry, d.end - 1, d.claimed_end - 1});
        if (r < lo || r > hi) continue;
        const int64_t dist = std::abs(d.block - r);
        if (dist < best) {
          best = dist;
          near.clear();
        }
        if (dist == best) near.push_back(&d);
      }
      const std::vector<Damaged*>& to = direct.empty() ? near : direct;
      if (to.empty()) {
        ++tally->false_reports;
        problem("report on block " + std::to_string(r) + " in " +
                phases[static_cast<size_t>(phase)] + " that no fault explains");
      }
      for (Damaged* d : to) {
        if (OnlinePhase(phases[static_cast<size_t>(phase)])) d->online = true;
        if (CheckPhase(phases[static_cast<size_t>(phase)])) d->check = true;
      }
    }
  }

  const bool stopped_by_errstop = s.errstop && exit_code == 1 && reports > 0;
  if (!ended && !stopped_by_errstop) {
    problem("child ended with code " + std::to_string(exit_code) +
            " before its last phase");
  }
  if (ended && exit_code != 0) {
    problem("child exited " + std::to_string(exit_code));
  }

  // Each fault's fate is that of its best-caught block.
  std::map<int64_t, std::vector<const Damaged*>> faults;
  for (const auto& [key, d] : damaged) faults[d.fault].push_back(&d);
  for (const auto& entry : faults) {
    const int64_t fault = entry.first;
    const std::vector<const Damaged*>& blocks = entry.second;
    ++tally->injected;
    const auto any = [&](auto pred) {
      return std::any_of(blocks.begin(), blocks.end(), pred);
    };
    if (any([](const Damaged* d) { return d->online; })) {
      ++tally->online;
      continue;
    }
    if (any([](const Damaged* d) { return d->check; })) {
      ++tally->check;
      continue;
    }
    if (!any([](const Damaged* d) { return d->closed != "healed"; })) {
      ++tally->healed;
      continue;
    }
    std::string reason;
    bool explained = true;
    for (const Damaged* d : blocks) {
      if (d->closed == "healed") continue;
      const std::string why = ReasonFor(c, *d, stopped_by_errstop);
      if (why.empty()) {
        explained = false;
        problem("fault " + std::to_string(fault) + " on block " +
                std::to_string(d->block) + " (byte " + std::to_string(d->byte) +
                (d->seen ? ", read" : ", never read") + ") was missed");
      } else if (reason.empty()) {
        reason = why;
      }
    }
    if (explained) {
      ++tally->accounted;
      ++tally->reasons[reason];
    } else {
      ++tally->missed;
    }
  }
}

}  // namespace vorbex::faults
