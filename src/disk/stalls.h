#ifndef VORBEX_DISK_STALLS_H_
#define VORBEX_DISK_STALLS_H_

// Transfers that took too long. A transfer that never returns leaves its
// thread silent for ever, so another thread must look for it: the watch
// asks here, about once a second, for transfers out longer than the limit,
// and warns of each. Every stall is kept for the summary and the JSON
// report, with its duration once it returns.

#include <cstdint>
#include <vector>

#include "disk/transfer_counters.h"

namespace vorbex {

struct StallRecord {
  int32_t TestCode = 0;
  bool Write = false;
  int32_t First = 0;    // block
  int32_t Blocks = 0;   // length
  int64_t SinceNs = 0;  // on the steady clock
  // How long it took; -1 while it is still out.
  int64_t DurationNs = -1;
  // Where it is under way, while it is.
  const OutstandingTransfer* Slot = nullptr;
};

// What one look of the watch found.
struct StallNews {
  std::vector<StallRecord> Began;     // out longer than the limit, newly
  std::vector<StallRecord> Again;     // still out, last warned a minute ago
  std::vector<StallRecord> Returned;  // stalls that returned since
};

// Marks every transfer of the run's disks that has been out longer than
// limit_ns as stalled, and says what changed since the last look.
// REQUIRES: one thread looks (the watch).
StallNews LookForStalls(int64_t now_ns, int64_t limit_ns);

// Called by the owner of a slot whose transfer the watch marked stalled,
// when it returns.
void StallReturned(const OutstandingTransfer* slot, int64_t duration_ns);

// Every stall of the run so far, in the order they were found. Safe to
// call from any thread.
std::vector<StallRecord> RecordedStalls();

// The transfer now out the longest across the run's disks, in nanoseconds;
// 0 when none is out.
int64_t LongestOutstanding(int64_t now_ns);

}  // namespace vorbex

#endif  // VORBEX_DISK_STALLS_H_
