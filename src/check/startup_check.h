#ifndef VORBEX_CHECK_STARTUP_CHECK_H_
#define VORBEX_CHECK_STARTUP_CHECK_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "check/power_cut_check.h"
#include "disk/disk_handle.h"

namespace vorbex {

// The scan reads the target in transfers of this many blocks (8 MiB).
inline constexpr int32_t kScanBufferBlocks = 16384;

// Readies the target for a run and returns the anchor: the TestDisk that
// keeps the target's table alive until the process ends (close it before
// freeing it). With resume or check set it first scans the whole target and
// rebuilds the table from the stamps there; a scan that fails is reported,
// ends the process with code 1 under errstop, and otherwise leaves a fresh
// table. Unless check is set, block 0 is then stamped anew. Throws Error
// when the target cannot be opened or block 0 cannot be written; nothing is
// left open then.
//
// What a run after a power cut adds to it:
struct StartupExtras {
  // Holds the target to the journal of the run that wrote it; after a
  // check that finished, a resume rewrites every block the cut left
  // behind, so that the next check finds the target consistent again.
  PowerCutCheck* power_cut = nullptr;
  // Called with the anchor before the first write, for a journal of this
  // run to begin.
  std::function<void(TestDisk& anchor)> before_writes;
};
std::unique_ptr<TestDisk> StartupCheck(const std::string& path,
                                       const StartupExtras& extras = {});

}  // namespace vorbex

#endif  // VORBEX_CHECK_STARTUP_CHECK_H_
