#ifndef VORBEX_DISK_BLOCK_FORMAT_H_
#define VORBEX_DISK_BLOCK_FORMAT_H_

// The stamp that every written block carries. These bytes are all that a run
// leaves behind and all that a later run can trust, so their layout never
// changes: every field sits at a fixed offset, little-endian.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace vorbex {

inline constexpr uint32_t kMagic = 0xFEDAB5BA;
// What a reader puts in a slot before the transfer, so a slot that the device
// never filled fails the Magic comparison.
inline constexpr uint32_t kPoison = 0x5A5A5A5A;

// The generations of the 64 blocks before a block, the block itself and the
// 63 after it.
inline constexpr int kNeighbours = 128;
inline constexpr int kSelfEntry = 64;

inline constexpr int kHeaderBytes = 48;
inline constexpr int kMapOffset = 48;
inline constexpr int kFillOffset = 304;
inline constexpr int kFillBytes = 208;

// The first 48 bytes of a stamped block, exactly as they lie on the disk.
struct BlockHeader {
  uint32_t Magic;
  uint32_t DiskID;    // of the writer's table
  int32_t Blkno;      // the block's own number
  uint32_t RunID;     // of the writing process
  int32_t TestCode;   // of the writing test; 0 for start-up writes
  int32_t BaseBlk;    // first block of the run that carried this block
  int32_t EndBlk;     // the block after that run
  uint32_t Seq;       // 16-bit generation, high half 0
  int64_t WriteSeq;   // of the run; orders stamps of one block by age
  uint32_t Fill;      // first fill byte in the low byte, the rest 0
  uint32_t Reserved;  // 0
};

static_assert(std::endian::native == std::endian::little,
              "the block format is little-endian and copied as it lies");
static_assert(std::is_trivially_copyable_v<BlockHeader>);
// No padding, so two headers are equal exactly when their bytes are.
static_assert(std::has_unique_object_representations_v<BlockHeader>);
static_assert(sizeof(BlockHeader) == kHeaderBytes);
static_assert(offsetof(BlockHeader, Magic) == 0);
static_assert(offsetof(BlockHeader, DiskID) == 4);
static_assert(offsetof(BlockHeader, Blkno) == 8);
static_assert(offsetof(BlockHeader, RunID) == 12);
static_assert(offsetof(BlockHeader, TestCode) == 16);
static_assert(offsetof(BlockHeader, BaseBlk) == 20);
static_assert(offsetof(BlockHeader, EndBlk) == 24);
static_assert(offsetof(BlockHeader, Seq) == 28);
static_assert(offsetof(BlockHeader, WriteSeq) == 32);
static_assert(offsetof(BlockHeader, Fill) == 40);
static_assert(offsetof(BlockHeader, Reserved) == 44);
static_assert(kMapOffset + kNeighbours * 2 == kFillOffset);
static_assert(kFillOffset + kFillBytes == 512);

// The first fill byte of block blkno at generation seq. Mixing in the block
// number makes a block that landed in the wrong place differ from its
// neighbours even when their generations agree.
constexpr uint8_t FillByte(uint32_t seq, int32_t blkno) {
  return static_cast<uint8_t>((seq ^ static_cast<uint32_t>(blkno) ^ 0xBAu) &
                              0xFFu);
}

// The 208 bytes of fill that start with f: f, f + 3, f + 6, ... modulo 256.
// Every pattern is a window of one ramp, so stamping and checking a block is
// one copy or one comparison.
const uint8_t* FillPattern(uint8_t f);

// Where the fill of the block at p first differs from FillPattern(f), as an
// index into the fill; kFillBytes when it does not.
int FillDifference(const uint8_t* p, uint8_t f);

// Reads and writes a header at p, which need not be aligned. Every block
// read or written passes through these, so they are inline.
inline BlockHeader LoadHeader(const uint8_t* p) {
  BlockHeader h;
  std::memcpy(&h, p, sizeof h);
  return h;
}

inline void StoreHeader(const BlockHeader& h, uint8_t* p) {
  std::memcpy(p, &h, sizeof h);
}

// NeighbourMap entry j of the stamped block at p.
inline uint16_t NeighbourEntry(const uint8_t* p, int j) {
  uint16_t entry;
  std::memcpy(&entry, p + kMapOffset + sizeof entry * static_cast<size_t>(j),
              sizeof entry);
  return entry;
}

}  // namespace vorbex

#endif  // VORBEX_DISK_BLOCK_FORMAT_H_
