#ifndef VORBEX_DISK_BLOCK_STATE_H_
#define VORBEX_DISK_BLOCK_STATE_H_

#include <cstdint>

namespace vorbex {

// A BlockState is one 32-bit word per block: flags in the low byte, a spare
// byte that stays 0, and the block's generation (Seq) in the high 16 bits.
// It is always copied and changed as one 32-bit unit, so a reader that takes
// no lock still sees each entry as it stood at one instant.
using BlockState = uint32_t;

// Holds stamped data that may be verified.
inline constexpr BlockState kWritten = 0x01;
// Last written by this process, so its RunID must be the current one.
inline constexpr BlockState kThisRun = 0x02;
// Taken by one writer; no other writer touches it until it is released.
inline constexpr BlockState kBusy = 0x04;
// The start-up scan wants the block read and verified again.
inline constexpr BlockState kRecheck = 0x08;
// The start-up scan has read the block.
inline constexpr BlockState kSeen = 0x10;

inline constexpr uint16_t SeqOf(BlockState s) {
  return static_cast<uint16_t>(s >> 16);
}

inline constexpr BlockState WithSeq(BlockState s, uint16_t seq) {
  return (s & 0xFFFFu) | (static_cast<BlockState>(seq) << 16);
}

}  // namespace vorbex

#endif  // VORBEX_DISK_BLOCK_STATE_H_
