#ifndef VORBEX_FAULTS_SUITE_H_
#define VORBEX_FAULTS_SUITE_H_

// The fault suite: real stress runs, checks and resumes on an in-memory
// target that lies about what it stores, or whose power is cut while its
// volatile write cache holds what it acknowledged. Each scenario runs in a
// child process (an errstop run ends its process at the first report),
// which prints a log of what was damaged and who read it, interleaved with
// Vorbex's own reports; the parent reads that log and decides, for every
// damaged block, whether it was caught, healed or missed, and why.

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "support/fake_env.h"

namespace vorbex::faults {

// The scenario's target: small, so that a stress run of a second covers it
// many times over and a check takes milliseconds.
inline constexpr int32_t kTargetBlocks = 4096;
inline constexpr const char* kTargetPath = "fault.img";

// How a power-cut class cuts the power of a drive with a volatile write
// cache; none for the classes that damage blocks.
enum class CutKind {
  kNone,
  kHonest,   // at a random moment of the tests; flushes keep their word
  kLying,    // the same, and flushes keep sectors back yet return success
  kFormat,   // during a format's writes, or after them before its last flush
  kStartup,  // during the start-up writes of a resume after an earlier cut
  kTorn,     // during a write in flight, of which some sectors land
};

struct FaultClass {
  const char* name;
  const char* label;  // for the table
  platform::FakeEnv::Damage damage;
  bool at_rest;  // changed where it lies by a thread of the suite
  int lo;
  int hi;
  uint32_t mask;
  bool control;  // injects nothing
  CutKind cut = CutKind::kNone;
  std::vector<int32_t> levels = {};  // none: the suite's
};

// Every class the suite knows, control first.
const std::vector<FaultClass>& FaultClasses();
const FaultClass* FindClass(const std::string& name);

struct Scenario {
  std::string fault_class;
  int32_t level = 2;
  int stress_ms = 400;
  bool errstop = false;
  uint64_t seed = 1;
  int faults = 4;        // placed during the stress phase
  bool checksum = true;  // stamps carry their checksum (g_flags.checksum)
  std::string scratch;   // a folder for the journals of power-cut classes
};

// Gives every block of the scenario's target a stamp, as -f does, so that
// every read of the runs that follow verifies what it gets.
void FormatTarget();

// Arguments that make the suite's binary run one scenario as a child.
std::vector<std::string> ChildArguments(const Scenario& s);
// Runs the scenario in this process; returns its exit code unless errstop
// ended the process first.
int RunChild(const std::vector<std::string>& args);
// The same for a power-cut class.
int RunCutChild(const FaultClass& c, const Scenario& s);

// What became of the faults of one or more scenarios.
struct Tally {
  int injected = 0;
  int online = 0;         // reported by a run's reads
  int check = 0;          // reported by a check (-c, or the scan of -r)
  int healed = 0;         // overwritten by a later write before anyone read it
  int accounted = 0;      // missed for a reason the suite can name
  int missed = 0;         // missed for no reason the suite knows
  int false_reports = 0;  // reports that no fault explains
  std::map<std::string, int> reasons;  // reason -> damaged blocks
  // Of the false reports, those of a fault of the product that the suite
  // found once and knows by sight, by the fault: named, and failed on.
  std::map<std::string, int> known;
  std::vector<std::string> problems;  // lines for a person to look at
  // What the power cuts took by the drive's own account, and what the
  // checks held to the journals made of it. A power-cut class's faults are
  // the blocks that lost a write after a flush had promised it.
  struct Cuts {
    int cuts = 0;
    int64_t allowed = 0;        // blocks lost that no flush had promised
    int torn = 0;               // cuts that tore a write in flight
    int64_t check_allowed = 0;  // blocks the checks found lost and allowed
    int64_t check_torn = 0;     // torn writes the checks counted
  } cuts;
};

// Reads a child's output and adds its outcome to tally.
void Account(const Scenario& s, const std::string& out, int exit_code,
             Tally* tally);
// The same for a power-cut class.
void AccountCuts(const Scenario& s, const std::string& out, int exit_code,
                 Tally* tally);

}  // namespace vorbex::faults

#endif  // VORBEX_FAULTS_SUITE_H_
