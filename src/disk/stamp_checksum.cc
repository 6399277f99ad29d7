// A stamp's CRC is taken apart by linearity (crc32c_tables.h). The
// register (the inverted CRC) of a block is that of the block with only
// the run's fields in place, all else 0, xor the register from 0 of the
// block with only the other bytes in place. That second part is the xor
// of each byte's own effect where it lies, so a field's effect is a
// lookup per byte, the fill's (which follows from one byte) a lookup, and
// the map's is kept as the run goes: moved on by one entry, it gains the
// effect of the entry at its end and loses that of the one before it.

#include "disk/stamp_checksum.h"

#include <array>
#include <cstring>

#include "base/crc32c.h"
#include "base/crc32c_tables.h"

namespace vorbex {
namespace {

constexpr size_t kStampBytes = kFillOffset + kFillBytes;
constexpr size_t kMapBytes = kNeighbours * sizeof(uint16_t);
constexpr size_t kReservedOffset = 44;

using ByteEffect = StampSummer::Tables::ByteEffect;

constexpr crc32c::Shift kPastHeader =
    crc32c::MakeShift(kStampBytes - kHeaderBytes);
constexpr crc32c::Shift kPastFill = crc32c::MakeShift(kFillBytes);

// The register from 0 of a block that holds byte b at offset and 0
// everywhere else.
ByteEffect EffectAt(size_t offset) {
  const crc32c::Shift past = crc32c::MakeShift(kStampBytes - 1 - offset);
  ByteEffect e{};
  for (uint32_t b = 0; b < 256; ++b) {
    e[b] = crc32c::Apply(past, crc32c::kByteTable[b]);
  }
  return e;
}

StampSummer::Tables MakeTables() {
  StampSummer::Tables t{};
  for (size_t i = 0; i < 4; ++i) t.blkno[i] = EffectAt(8 + i);
  for (size_t i = 0; i < 2; ++i) {
    t.seq[i] = EffectAt(28 + i);
    t.added[i] = EffectAt(kFillOffset - 2 + i);
    t.lost[i] = EffectAt(kMapOffset - 2 + i);
  }
  const ByteEffect fill_byte = EffectAt(40);
  for (uint32_t f = 0; f < 256; ++f) {
    const uint8_t* pattern = FillPattern(static_cast<uint8_t>(f));
    uint32_t r = 0;
    for (int k = 0; k < kFillBytes; ++k) r = crc32c::Step(r, pattern[k]);
    t.fill[f] = fill_byte[f] ^ r;
  }
  const crc32c::Shift two = crc32c::MakeShift(sizeof(uint16_t));
  for (size_t i = 0; i < 4; ++i) t.two[i] = two[i];
  return t;
}

const StampSummer::Tables& TheTables() {
  static const StampSummer::Tables tables = MakeTables();
  return tables;
}

}  // namespace

uint32_t BlockChecksum(const uint8_t* bytes) {
  return Crc32cOfBlock(bytes, kReservedOffset);
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

bool ChecksumNamesOwner(const uint8_t* bytes, uint32_t disk_id) {
  const BlockHeader h = LoadHeader(bytes);
  if (ChecksumFlag(h) != kChecksumFlag) return false;
  uint8_t mended[kStampBytes];
  std::memcpy(mended, bytes, sizeof mended);
  BlockHeader m = h;
  m.Magic = kMagic;
  m.DiskID = disk_id;
  StoreHeader(m, mended);
  return BlockChecksum(mended) == h.Reserved;
}

StampSummer::StampSummer() : tables_(&TheTables()) {}

void StampSummer::WarmTables() const {
#if defined(__GNUC__) || defined(__clang__)
  const auto* bytes = reinterpret_cast<const char*>(tables_);
  for (size_t at = 0; at < sizeof(Tables); at += 64) {
    __builtin_prefetch(bytes + at);
  }
#endif
}

void StampSummer::StartRun(const BlockHeader& h) {
  BlockHeader run = h;
  run.Blkno = 0;
  run.Seq = 0;
  run.Fill &= ~0xFFu;
  run.Reserved = 0;
  uint8_t bytes[kHeaderBytes];
  StoreHeader(run, bytes);
  // Crc32c starts from all ones and inverts at the end; what follows the
  // header here is all 0.
  const uint32_t header = ~Crc32c(bytes, sizeof bytes);
  run_part_ = crc32c::Apply(kPastHeader, header);
  run_known_ = true;
}

uint32_t StampSummer::MapPart(const uint16_t* map) {
  uint8_t bytes[kMapBytes];
  std::memcpy(bytes, map, sizeof bytes);
  // From 0: Crc32c from all ones inverts the register at both ends.
  const uint32_t from_zero = ~Crc32c(bytes, sizeof bytes, ~0u);
  return crc32c::Apply(kPastFill, from_zero);
}

}  // namespace vorbex
