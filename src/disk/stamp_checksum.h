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

#include <array>
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

// Whether the block at bytes, which lacks this target's Magic or DiskID, is
// a stamp of the target with one of them damaged: its checksum holds once
// they are put back. A stamp of another target, or anything else, is not.
bool ChecksumNamesOwner(const uint8_t* bytes, uint32_t disk_id);

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
// from the buffer, which is written past the caches: see stamp_checksum.cc.
// Within one run every field but Blkno, Seq and the Fill byte is the same,
// and each block's map is the previous one's moved on by one entry, so a
// block costs a few table lookups. One per TestDisk, like the buffer it
// stamps.
class StampSummer {
 public:
  // What a block's sum is made of, apart from the run's own part: the
  // effect of each byte of a few fields, where they lie in the block, and
  // of each form of fill.
  struct Tables {
    using ByteEffect = std::array<uint32_t, 256>;
    ByteEffect blkno[4];
    ByteEffect seq[2];
    ByteEffect fill;      // the Fill byte and the 208 bytes it calls for
    ByteEffect added[2];  // an entry that joins the map at its end
    ByteEffect lost[2];   // the entry that leaves it at its start
    ByteEffect two[4];    // the map's part moved on by one entry
  };

  StampSummer();

  // Every call until the next Restart is for a block of one run of blocks
  // blocks: the same header but for Blkno, Seq and the Fill byte, and a map
  // window that a call's map may move on by one entry from the last call's.
  void Restart(int32_t blocks = 1) {
    map_ = nullptr;
    run_known_ = false;
    // A long run's transfer copies more than the caches hold, so the tables
    // are gone by the next run; fetched all at once, they come back in the
    // time of one miss rather than one miss after another on the map's
    // chain of lookups.
    if (blocks >= kWarmRun) WarmTables();
  }

  // The checksum of the stamp with header h (its reserved word taken as 0),
  // map and the fill of h's Fill byte.
  uint32_t Sum(const BlockHeader& h, const uint16_t* map) {
    if (!run_known_) StartRun(h);
    const Tables& t = *tables_;
    if (map_ != nullptr && map == map_ + 1) {
      const uint16_t added = map[kNeighbours - 1];
      const uint16_t lost = map_[0];
      const uint32_t r = map_part_;
      map_part_ = t.two[0][r & 0xFF] ^ t.two[1][(r >> 8) & 0xFF] ^
                  t.two[2][(r >> 16) & 0xFF] ^ t.two[3][r >> 24] ^
                  t.added[0][added & 0xFF] ^ t.added[1][added >> 8] ^
                  t.lost[0][lost & 0xFF] ^ t.lost[1][lost >> 8];
    } else {
      map_part_ = MapPart(map);
    }
    map_ = map;
    const auto blkno = static_cast<uint32_t>(h.Blkno);
    return ~(run_part_ ^ t.blkno[0][blkno & 0xFF] ^
             t.blkno[1][(blkno >> 8) & 0xFF] ^
             t.blkno[2][(blkno >> 16) & 0xFF] ^ t.blkno[3][blkno >> 24] ^
             t.seq[0][h.Seq & 0xFF] ^ t.seq[1][(h.Seq >> 8) & 0xFF] ^
             t.fill[h.Fill & 0xFF] ^ map_part_);
  }

 private:
  static constexpr int32_t kWarmRun = 64;
  void WarmTables() const;
  void StartRun(const BlockHeader& h);
  static uint32_t MapPart(const uint16_t* map);

  const Tables* tables_;
  bool run_known_ = false;
  uint32_t run_part_ = 0;          // the run's fields, in a block of zeros
  const uint16_t* map_ = nullptr;  // of the last call
  uint32_t map_part_ = 0;          // that map's, where it lies in the block
};

}  // namespace vorbex

#endif  // VORBEX_DISK_STAMP_CHECKSUM_H_
