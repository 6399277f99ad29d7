#ifndef VORBEX_BASE_FLAGS_H_
#define VORBEX_BASE_FLAGS_H_

#include <cstdint>

namespace vorbex {

// What the command line asks of every mode of a run: parsed once, into
// the CommandLine, and from there handed whole to whoever needs them.
struct RunOptions {
  int32_t resume = 0;
  int32_t check = 0;
  int32_t format = 0;
  int32_t errstop = 0;
  // The part of the target every mode works on (--offset, --size), in
  // bytes, both multiples of 512; WindowSize 0 reaches the target's end.
  int64_t WindowOffset = 0;
  int64_t WindowSize = 0;
  // Every stamp carries a CRC-32C of itself; --no-checksum writes stamps
  // without one, byte for byte as before checksums.
  bool checksum = true;
  // A transfer out this many seconds is a stall (--stall-after); 0: none
  // is.
  double StallAfter = 30;
};

// The options of this run and the identity it stamps, for the whole
// process.
struct Flags : RunOptions {
  uint32_t RunID = 0;  // 0..32767, stamped into every block this run writes
};

// Global because every transfer on every thread reads it, deep below
// anything that could pass it down. Main assigns it whole before the first
// TestDisk opens and before any other thread starts, and nothing writes it
// afterwards, so every thread reads it without a lock: thread creation
// orders main's write before the new thread's reads.
extern Flags g_flags;

}  // namespace vorbex

#endif  // VORBEX_BASE_FLAGS_H_
