// A stamp's register (the inverted CRC, from the standard start of all
// ones) is that of its header moved on past the 464 bytes after it, xor
// that of its map from 0 moved on past the 208 of fill, xor that of its
// fill from 0, which is one of 256 (crc32c_tables.h says why that holds).
// A map moved on by one entry gains the new entry at its end and loses the
// effect of its old first entry, which is that entry's register from 0
// moved on past the other 256 bytes.

#include "disk/stamp_checksum.h"

#include <array>
#include <cstring>

#include "base/crc32c.h"
#include "base/crc32c_tables.h"

#if (defined(__x86_64__) || defined(_M_X64)) && \
    (defined(__GNUC__) || defined(__clang__))
#include <nmmintrin.h>
#define VORBEX_STAMP_INSTRUCTION 1
#else
#define VORBEX_STAMP_INSTRUCTION 0
#endif

namespace vorbex {
namespace {

constexpr size_t kStampBytes = kFillOffset + kFillBytes;
constexpr size_t kMapBytes = kNeighbours * sizeof(uint16_t);
constexpr size_t kReservedOffset = 44;

constexpr crc32c::Shift kPastMapAndFill =
    crc32c::MakeShift(kStampBytes - kHeaderBytes);
constexpr crc32c::Shift kPastFill = crc32c::MakeShift(kFillBytes);
constexpr crc32c::Shift kPastReserved =
    crc32c::MakeShift(kStampBytes - kReservedOffset - sizeof(uint32_t));

// The register from 0 of each fill pattern.
constexpr std::array<uint32_t, 256> MakeFillRegisters() {
  std::array<uint32_t, 256> regs{};
  for (uint32_t f = 0; f < 256; ++f) {
    uint32_t r = 0;
    for (uint32_t k = 0; k < kFillBytes; ++k) {
      r = crc32c::Step(r, static_cast<uint8_t>(f + 3 * k));
    }
    regs[f] = r;
  }
  return regs;
}

constexpr std::array<uint32_t, 256> kFillRegisters = MakeFillRegisters();

// What the entry before a map adds to the register of that entry and the
// map together: the entry's register from 0 moved on past the map's 256
// bytes, split by the entry's two bytes.
using EntryTables = std::array<std::array<uint32_t, 256>, 2>;

constexpr EntryTables MakeFirstEntry() {
  constexpr crc32c::Shift past = crc32c::MakeShift(kMapBytes);
  EntryTables t{};
  for (uint32_t b = 0; b < 256; ++b) {
    const uint32_t low = crc32c::Step(crc32c::Step(0, static_cast<uint8_t>(b)), 0);
    const uint32_t high = crc32c::Step(crc32c::Step(0, 0), static_cast<uint8_t>(b));
    t[0][b] = crc32c::Apply(past, low);
    t[1][b] = crc32c::Apply(past, high);
  }
  return t;
}

constexpr EntryTables kFirstEntry = MakeFirstEntry();

uint32_t FirstEntryEffect(uint16_t entry) {
  return kFirstEntry[0][entry & 0xFF] ^ kFirstEntry[1][entry >> 8];
}

// The header's register, with the reserved word taken as 0.
void HeaderWords(const BlockHeader& h, uint64_t (&words)[6]) {
  static_assert(sizeof words == kHeaderBytes);
  std::memcpy(words, &h, sizeof words);
  words[5] &= 0xFFFFFFFFu;  // Fill stays, Reserved goes
}

uint32_t Join(uint32_t header, uint32_t map, uint8_t fill) {
  return ~(crc32c::Apply(kPastMapAndFill, header) ^
           crc32c::Apply(kPastFill, map) ^ kFillRegisters[fill]);
}

uint32_t HeaderByTables(const BlockHeader& h) {
  uint64_t words[6];
  HeaderWords(h, words);
  uint8_t bytes[kHeaderBytes];
  std::memcpy(bytes, words, sizeof bytes);
  uint32_t r = ~0u;
  for (const uint8_t b : bytes) r = crc32c::Step(r, b);
  return r;
}

uint32_t MapByTables(const uint16_t* map) {
  uint8_t bytes[kMapBytes];
  std::memcpy(bytes, map, sizeof bytes);
  uint32_t r = 0;
  for (const uint8_t b : bytes) r = crc32c::Step(r, b);
  return r;
}

uint32_t AppendByTables(uint32_t r, uint16_t entry) {
  return crc32c::Step(crc32c::Step(r, static_cast<uint8_t>(entry)),
                      static_cast<uint8_t>(entry >> 8));
}

#if VORBEX_STAMP_INSTRUCTION

__attribute__((target("sse4.2"))) uint32_t HeaderByInstruction(
    const BlockHeader& h) {
  uint64_t words[6];
  HeaderWords(h, words);
  uint64_t r = ~0u;
  for (const uint64_t w : words) r = _mm_crc32_u64(r, w);
  return static_cast<uint32_t>(r);
}

// In two lanes, joined, so that the chain waits on itself half as long.
__attribute__((target("sse4.2"))) uint32_t MapByInstruction(
    const uint16_t* map) {
  constexpr crc32c::Shift kPastHalf = crc32c::MakeShift(kMapBytes / 2);
  uint64_t words[kMapBytes / 8];
  std::memcpy(words, map, sizeof words);
  uint64_t a = 0;
  uint64_t b = 0;
  for (size_t i = 0; i < std::size(words) / 2; ++i) {
    a = _mm_crc32_u64(a, words[i]);
    b = _mm_crc32_u64(b, words[i + std::size(words) / 2]);
  }
  return crc32c::Apply(kPastHalf, static_cast<uint32_t>(a)) ^
         static_cast<uint32_t>(b);
}

__attribute__((target("sse4.2"))) uint32_t AppendByInstruction(
    uint32_t r, uint16_t entry) {
  return _mm_crc32_u16(r, entry);
}

#endif  // VORBEX_STAMP_INSTRUCTION

}  // namespace

uint32_t BlockChecksum(const uint8_t* bytes) {
  // The reserved word as read went into the CRC; its effect is taken out
  // again, which is cheaper than summing the block in two pieces.
  uint32_t reserved = 0;
  std::memcpy(&reserved, bytes + kReservedOffset, sizeof reserved);
  uint32_t r = 0;
  for (size_t i = 0; i < sizeof reserved; ++i) {
    r = crc32c::Step(r, static_cast<uint8_t>(reserved >> (8 * i)));
  }
  return Crc32c(bytes, kStampBytes) ^ crc32c::Apply(kPastReserved, r);
}

ChecksumVerdict CheckChecksum(const uint8_t* bytes, const BlockHeader& h) {
  ChecksumVerdict v;
  if (ChecksumFlag(h) == 0) {
    if ((h.Fill >> 8) != 0 || h.Reserved != 0) v.kind = ChecksumVerdict::kBad;
    return v;
  }
  v.computed = BlockChecksum(bytes);
  v.kind = ChecksumFlag(h) == kChecksumFlag && v.computed == h.Reserved
               ? ChecksumVerdict::kGood
               : ChecksumVerdict::kBad;
  return v;
}

StampSummer::StampSummer() : instruction_(Crc32cInHardware()) {}

uint32_t StampSummer::Sum(const BlockHeader& h, const uint16_t* map) {
  const bool follows = map_ != nullptr && map == map_ + 1;
  uint32_t header = 0;
#if VORBEX_STAMP_INSTRUCTION
  if (instruction_) {
    header = HeaderByInstruction(h);
    map_register_ = follows ? AppendByInstruction(map_register_,
                                                  map[kNeighbours - 1]) ^
                                  FirstEntryEffect(map_[0])
                            : MapByInstruction(map);
  }
#endif
  if (!instruction_) {
    header = HeaderByTables(h);
    map_register_ = follows ? AppendByTables(map_register_,
                                             map[kNeighbours - 1]) ^
                                  FirstEntryEffect(map_[0])
                            : MapByTables(map);
  }
  map_ = map;
  return Join(header, map_register_, static_cast<uint8_t>(h.Fill));
}

}  // namespace vorbex
