#ifndef VORBEX_BASE_FLAGS_H_
#define VORBEX_BASE_FLAGS_H_

#include <cstdint>

namespace vorbex {

// The process-wide values of the command line. Main writes them before the
// first TestDisk opens and before any other thread starts, and nothing
// writes them afterwards, so every thread reads them without a lock: thread
// creation orders main's writes before the new thread's reads.
struct Flags {
  int32_t resume = 0;
  int32_t check = 0;
  int32_t format = 0;
  int32_t errstop = 0;
  uint32_t RunID = 0;  // 0..32767, stamped into every block this run writes
  // The part of the target every mode works on (--offset, --size), in
  // bytes, both multiples of 512; WindowSize 0 reaches the target's end.
  int64_t WindowOffset = 0;
  int64_t WindowSize = 0;
};

extern Flags g_flags;

}  // namespace vorbex

#endif  // VORBEX_BASE_FLAGS_H_
