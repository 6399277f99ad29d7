#ifndef VORBEX_DISK_BLOCK_STORES_H_
#define VORBEX_DISK_BLOCK_STORES_H_

// How transfer buffers are filled before a transfer. A buffer about to be
// written is filled whole and then read only by the device, so its stamps
// are streamed past the processor's caches: through them, every line would
// first be fetched and later written back or snooped away by the transfer,
// which cost a stamped 1 MiB write twice the processor time of the write
// itself on a virtual machine. A buffer about to be read gets only its
// poison words, one per block; streaming a part of a line costs a
// read-modify-write of it in memory, measured dearer than the cache.
//
// Call StoresDone after the last StoreBlock and before the transfer: only
// then are streamed stores sure to be in memory.

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "disk/block_format.h"

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define VORBEX_STREAMING_STORES 1
#else
#define VORBEX_STREAMING_STORES 0
#endif

namespace vorbex {

// Writes a whole stamped block at block (16-byte aligned): the header h,
// the 128 map entries from map and the 208 fill bytes from fill.
inline void StoreBlock(uint8_t* block, const BlockHeader& h,
                       const uint16_t* map, const uint8_t* fill) {
#if VORBEX_STREAMING_STORES
  auto* out = reinterpret_cast<__m128i*>(block);
  const auto word = [](auto v) { return static_cast<int>(v); };
  // Built in registers: a header stored field by field and loaded back in
  // 16-byte pieces would stall on every block.
  _mm_stream_si128(out, _mm_set_epi32(word(h.RunID), word(h.Blkno),
                                      word(h.DiskID), word(h.Magic)));
  _mm_stream_si128(out + 1, _mm_set_epi32(word(h.Seq), word(h.EndBlk),
                                          word(h.BaseBlk), word(h.TestCode)));
  const auto seq = static_cast<uint64_t>(h.WriteSeq);
  _mm_stream_si128(out + 2, _mm_set_epi32(word(h.Reserved), word(h.Fill),
                                          word(seq >> 32), word(seq)));
  static_assert(kMapOffset == 3 * 16 && kFillOffset == 19 * 16);
  const auto* m = reinterpret_cast<const __m128i*>(map);
  for (int i = 0; i < 16; ++i) {
    _mm_stream_si128(out + 3 + i, _mm_loadu_si128(m + i));
  }
  const auto* f = reinterpret_cast<const __m128i*>(fill);
  for (int i = 0; i < 13; ++i) {
    _mm_stream_si128(out + 19 + i, _mm_loadu_si128(f + i));
  }
#else
  StoreHeader(h, block);
  std::memcpy(block + kMapOffset, map, kNeighbours * sizeof(uint16_t));
  std::memcpy(block + kFillOffset, fill, kFillBytes);
#endif
}

// Puts kPoison in the first word of each of count blocks from blocks.
inline void PoisonBlocks(uint8_t* blocks, int32_t count) {
  constexpr size_t kStride = kFillOffset + kFillBytes;  // a whole block
  for (int32_t i = 0; i < count; ++i) {
    std::memcpy(blocks + static_cast<size_t>(i) * kStride, &kPoison,
                sizeof kPoison);
  }
}

inline void StoresDone() {
#if VORBEX_STREAMING_STORES
  _mm_sfence();
#endif
}

}  // namespace vorbex

#endif  // VORBEX_DISK_BLOCK_STORES_H_
