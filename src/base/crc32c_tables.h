#ifndef VORBEX_BASE_CRC32C_TABLES_H_
#define VORBEX_BASE_CRC32C_TABLES_H_

// Tables for working on the CRC-32C register directly, for code that sums
// a whole from parts: the register (the inverted CRC) after a piece starts
// from the register before it, and moving a register on past n zero bytes is
// linear in it. So the register of a whole is that of each part moved on by
// the length of what follows it, all xored together, and a part that is
// the same in many wholes is summed once.

#include <array>
#include <cstddef>
#include <cstdint>

namespace vorbex::crc32c {

inline constexpr uint32_t kPolynomial = 0x82F63B78;  // reflected

// The register's change from one byte.
using ByteTable = std::array<uint32_t, 256>;

constexpr ByteTable MakeByteTable() {
  ByteTable t{};
  for (uint32_t b = 0; b < 256; ++b) {
    uint32_t r = b;
    for (int i = 0; i < 8; ++i) r = (r >> 1) ^ ((r & 1) != 0 ? kPolynomial : 0);
    t[b] = r;
  }
  return t;
}

inline constexpr ByteTable kByteTable = MakeByteTable();

// The register r after one more byte b.
constexpr uint32_t Step(uint32_t r, uint8_t b) {
  return (r >> 8) ^ kByteTable[(r ^ b) & 0xFF];
}

// Moving a register on past a fixed number of zero bytes, as four lookups:
// table k holds the move of each value of the register's byte k.
using Shift = std::array<std::array<uint32_t, 256>, 4>;

constexpr Shift MakeShift(size_t zero_bytes) {
  // Where each of the register's 32 bits goes.
  std::array<uint32_t, 32> bit{};
  for (size_t i = 0; i < 32; ++i) {
    uint32_t r = uint32_t{1} << i;
    for (size_t k = 0; k < zero_bytes; ++k) r = Step(r, 0);
    bit[i] = r;
  }
  Shift s{};
  for (size_t k = 0; k < 4; ++k) {
    for (uint32_t b = 0; b < 256; ++b) {
      uint32_t r = 0;
      for (size_t i = 0; i < 8; ++i) {
        if ((b >> i & 1) != 0) r ^= bit[8 * k + i];
      }
      s[k][b] = r;
    }
  }
  return s;
}

constexpr uint32_t Apply(const Shift& s, uint32_t r) {
  return s[0][r & 0xFF] ^ s[1][(r >> 8) & 0xFF] ^ s[2][(r >> 16) & 0xFF] ^
         s[3][r >> 24];
}

}  // namespace vorbex::crc32c

#endif  // VORBEX_BASE_CRC32C_TABLES_H_
