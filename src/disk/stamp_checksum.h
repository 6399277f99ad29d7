#ifndef VORBEX_DISK_STAMP_CHECKSUM_H_
#define VORBEX_DISK_STAMP_CHECKSUM_H_

// The checksum a stamp carries: the CRC-32C of its 512 bytes with the
// reserved word taken as 0, stored in that word, and byte 41 (the first
// after the Fill byte) set to 1 to say so. Without it a read compares only
// the fields it can predict, so a flipped bit in any other (the writer's
// test code, the map's other entries, the spare bytes) would pass. Stamps
// from before it, which hold 0 in both places, are still read; the format
// always asked for 0 there, so a stamp that has no checksum and holds
// anything else there is damaged too.

#include <cstdint>

#include "disk/block_format.h"

namespace vorbex {

inline constexpr uint8_t kChecksumFlag = 1;

// Byte 41 of the stamp, whose header is h.
constexpr uint8_t ChecksumFlag(const BlockHeader& h) {
  return static_cast<uint8_t>(h.Fill >> 8);
}

// The CRC-32C of the block at bytes, with its reserved word taken as 0.
uint32_t BlockChecksum(const uint8_t* bytes);

// What a block's bytes say of its own integrity.
struct ChecksumVerdict {
  enum Kind : uint8_t {
    kNone,  // a stamp without a checksum, its spare bytes 0
    kGood,  // the checksum holds: the writer's bytes, every one of them
    kBad,   // it does not, or the spare bytes of one without it are not 0
  };
  Kind kind = kNone;
  uint32_t computed = 0;  // kBad with the flag set: the bytes' own CRC
};

// The verdict on the block at bytes, whose header is h.
ChecksumVerdict CheckChecksum(const uint8_t* bytes, const BlockHeader& h);

// Sums stamps as the write path builds them, from their parts rather than
// from the buffer: the buffer is written past the caches, and the fill,
// which follows from one byte, is summed once for each of its 256 forms.
// The blocks of one run carry one map window moved on by one entry per
// block, so each block's map is moved on rather than summed again. One per
// TestDisk, like the buffer it stamps.
class StampSummer {
 public:
  StampSummer();

  // The checksum of the stamp with header h (its reserved word taken as 0,
  // byte 41 as h holds it), map and the fill of h's Fill byte. A map that
  // starts one entry after the last call's is taken to be that map moved
  // on, with the entries they share unchanged: call Restart when the
  // entries may have changed since.
  uint32_t Sum(const BlockHeader& h, const uint16_t* map);
  void Restart() { map_ = nullptr; }

 private:
  bool instruction_;
  const uint16_t* map_ = nullptr;  // of the last call
  uint32_t map_register_ = 0;      // the register of that map, from 0
};

}  // namespace vorbex

#endif  // VORBEX_DISK_STAMP_CHECKSUM_H_
