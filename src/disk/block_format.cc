#include "disk/block_format.h"

#include <array>
#include <cstring>

namespace vorbex {
namespace {

// ramp[i] = 3 i modulo 256. Since 3 × 171 = 1 modulo 256, the pattern that
// starts with f starts at index 171 f modulo 256, and 208 more bytes follow.
constexpr std::array<uint8_t, 256 + kFillBytes> MakeRamp() {
  std::array<uint8_t, 256 + kFillBytes> ramp{};
  for (size_t i = 0; i < ramp.size(); ++i) {
    ramp[i] = static_cast<uint8_t>(3 * i);
  }
  return ramp;
}

constexpr std::array<uint8_t, 256 + kFillBytes> kRamp = MakeRamp();

}  // namespace

const uint8_t* FillPattern(uint8_t f) {
  return kRamp.data() + ((171u * f) & 0xFFu);
}

int FillDifference(const uint8_t* p, uint8_t f) {
  const uint8_t* want = FillPattern(f);
  const uint8_t* fill = p + kFillOffset;
  if (std::memcmp(fill, want, kFillBytes) == 0) return kFillBytes;
  int k = 0;
  while (fill[k] == want[k]) ++k;
  return k;
}

}  // namespace vorbex
