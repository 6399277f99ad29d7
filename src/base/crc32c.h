#ifndef VORBEX_BASE_CRC32C_H_
#define VORBEX_BASE_CRC32C_H_

#include <cstddef>
#include <cstdint>

namespace vorbex {

// The CRC-32C (Castagnoli) of n bytes at data, continuing from the CRC of
// the bytes before them (0 for none): so Crc32c of "123456789" is
// 0xE3069283, and the CRC of a whole may be taken in pieces. Uses the
// processor's CRC-32C instruction where it has one, else tables; both give
// the same answer. Safe for concurrent use by multiple threads.
uint32_t Crc32c(const uint8_t* data, size_t n, uint32_t crc = 0);

// The same from tables alone, whatever the processor: for the tests and
// the benchmark that hold the two ways to one another.
uint32_t Crc32cPortable(const uint8_t* data, size_t n, uint32_t crc = 0);

// The CRC-32C of the 512 bytes at block with the 32-bit word at offset
// blank (a multiple of 4 below 504) taken as 0, as a block that stores its
// own CRC in that word is summed. As fast as Crc32c of the block.
uint32_t Crc32cOfBlock(const uint8_t* block, size_t blank);

// Whether Crc32c uses the processor's instruction here.
bool Crc32cInHardware();

}  // namespace vorbex

#endif  // VORBEX_BASE_CRC32C_H_
