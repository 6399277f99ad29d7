// Both ways work on the CRC register as it stands between bytes (the
// inverted CRC), so that a piece can start where another ended.
//
// The instruction takes three cycles to give its answer, one block has
// only one register, and so one chain of instructions would wait on itself.
// Three lanes of a run are summed at once instead, each from a register of
// 0, and joined as crc32c_tables.h says.

#include "base/crc32c.h"

#include <array>
#include <cstring>

#include "base/crc32c_tables.h"

#if (defined(__x86_64__) || defined(_M_X64)) && \
    (defined(__GNUC__) || defined(__clang__))
#include <nmmintrin.h>
#define VORBEX_CRC32C_INSTRUCTION 1
#else
#define VORBEX_CRC32C_INSTRUCTION 0
#endif

namespace vorbex {
namespace {

// A lane's length: three lanes are 504 bytes, so a 512-byte block is one
// run of three and eight bytes alone.
constexpr size_t kLaneBytes = 168;

// Slicing by eight: table k gives the register's change from a byte that
// has k more bytes after it within the eight taken at once.
using Tables = std::array<crc32c::ByteTable, 8>;

constexpr Tables MakeTables() {
  Tables t{};
  t[0] = crc32c::kByteTable;
  for (size_t k = 1; k < 8; ++k) {
    for (uint32_t b = 0; b < 256; ++b) t[k][b] = crc32c::Step(t[k - 1][b], 0);
  }
  return t;
}

constexpr Tables kTables = MakeTables();

uint32_t Load32(const uint8_t* p) {
  uint32_t v = 0;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// The register after n more bytes; little-endian loads, as on every
// processor this is built for.
uint32_t AdvanceByTables(uint32_t r, const uint8_t* p, size_t n) {
  for (; n >= 8; n -= 8, p += 8) {
    const uint32_t lo = Load32(p) ^ r;
    const uint32_t hi = Load32(p + 4);
    r = kTables[7][lo & 0xFF] ^ kTables[6][(lo >> 8) & 0xFF] ^
        kTables[5][(lo >> 16) & 0xFF] ^ kTables[4][lo >> 24] ^
        kTables[3][hi & 0xFF] ^ kTables[2][(hi >> 8) & 0xFF] ^
        kTables[1][(hi >> 16) & 0xFF] ^ kTables[0][hi >> 24];
  }
  for (; n > 0; --n, ++p) r = (r >> 8) ^ kTables[0][(r ^ *p) & 0xFF];
  return r;
}

#if VORBEX_CRC32C_INSTRUCTION

constexpr size_t kLane = kLaneBytes;

constexpr crc32c::Shift kShift = crc32c::MakeShift(kLane);

uint32_t ShiftLane(uint32_t r) { return crc32c::Apply(kShift, r); }

uint64_t Load64(const uint8_t* p) {
  uint64_t v = 0;
  std::memcpy(&v, p, sizeof v);
  return v;
}

__attribute__((target("sse4.2"))) uint32_t AdvanceByInstruction(
    uint32_t r, const uint8_t* p, size_t n) {
  for (; n >= 3 * kLane; n -= 3 * kLane, p += 3 * kLane) {
    uint64_t a = r;
    uint64_t b = 0;
    uint64_t c = 0;
    for (size_t k = 0; k < kLane; k += 8) {
      a = _mm_crc32_u64(a, Load64(p + k));
      b = _mm_crc32_u64(b, Load64(p + kLane + k));
      c = _mm_crc32_u64(c, Load64(p + 2 * kLane + k));
    }
    r = ShiftLane(ShiftLane(static_cast<uint32_t>(a)) ^
                  static_cast<uint32_t>(b)) ^
        static_cast<uint32_t>(c);
  }
  uint64_t w = r;
  for (; n >= 8; n -= 8, p += 8) w = _mm_crc32_u64(w, Load64(p));
  auto v = static_cast<uint32_t>(w);
  for (; n > 0; --n, ++p) v = _mm_crc32_u8(v, *p);
  return v;
}

// The three lanes of a 512-byte block and its last eight bytes, the word at
// kBlank (inside the lanes) taken as 0. The loop is unrolled whole, so the
// mask is applied to the one load it concerns and costs nothing elsewhere.
template <size_t kBlank>
__attribute__((target("sse4.2"))) uint32_t BlockByInstruction(
    const uint8_t* p) {
  static_assert(kBlank % 4 == 0 && kBlank < 3 * kLane);
  constexpr size_t kWord = kBlank / 8 * 8;
  constexpr uint64_t kKeep =
      kBlank % 8 == 0 ? ~uint64_t{0xFFFFFFFF} : uint64_t{0xFFFFFFFF};
  const auto at = [p](size_t i) {
    return Load64(p + i) & (i == kWord ? kKeep : ~uint64_t{0});
  };
  uint64_t a = ~0u;
  uint64_t b = 0;
  uint64_t c = 0;
#pragma GCC unroll 21
  for (size_t k = 0; k < kLane; k += 8) {
    a = _mm_crc32_u64(a, at(k));
    b = _mm_crc32_u64(b, at(kLane + k));
    c = _mm_crc32_u64(c, at(2 * kLane + k));
  }
  uint64_t r = ShiftLane(ShiftLane(static_cast<uint32_t>(a)) ^
                         static_cast<uint32_t>(b)) ^
               static_cast<uint32_t>(c);
  r = _mm_crc32_u64(r, Load64(p + 3 * kLane));
  return ~static_cast<uint32_t>(r);
}

bool HasInstruction() {
  static const bool has = static_cast<bool>(__builtin_cpu_supports("sse4.2"));
  return has;
}

#endif  // VORBEX_CRC32C_INSTRUCTION

}  // namespace

uint32_t Crc32cPortable(const uint8_t* data, size_t n, uint32_t crc) {
  return ~AdvanceByTables(~crc, data, n);
}

uint32_t Crc32c(const uint8_t* data, size_t n, uint32_t crc) {
#if VORBEX_CRC32C_INSTRUCTION
  if (HasInstruction()) return ~AdvanceByInstruction(~crc, data, n);
#endif
  return Crc32cPortable(data, n, crc);
}

uint32_t Crc32cOfBlock(const uint8_t* block, size_t blank) {
  static_assert(3 * kLaneBytes + 8 == 512);
#if VORBEX_CRC32C_INSTRUCTION
  // The stamp's own word, for every block read; others go the way below.
  if (blank == 44 && HasInstruction()) return BlockByInstruction<44>(block);
#endif
  constexpr uint8_t kZeros[4] = {};
  uint32_t crc = Crc32c(block, blank);
  crc = Crc32c(kZeros, sizeof kZeros, crc);
  return Crc32c(block + blank + 4, 512 - blank - 4, crc);
}

bool Crc32cInHardware() {
#if VORBEX_CRC32C_INSTRUCTION
  return HasInstruction();
#else
  return false;
#endif
}

}  // namespace vorbex
