#ifndef VORBEX_BASE_RANDOM_H_
#define VORBEX_BASE_RANDOM_H_

#include <cstdint>

namespace vorbex {

// The generator every thread owns one of. Its sequence is part of the
// product: a test's blocks and lengths follow from the order of its draws,
// and every test thread starts from state 1, so do not change the constants.
// Not safe for concurrent use; each thread has its own.
class Random {
 public:
  explicit Random(uint32_t seed = 1) : state_(seed) {}

  // The next value, 0..32767.
  int32_t Draw() {
    state_ = state_ * 214013u + 2531011u;
    return static_cast<int32_t>((state_ >> 16) & 0x7FFF);
  }

 private:
  uint32_t state_;
};

}  // namespace vorbex

#endif  // VORBEX_BASE_RANDOM_H_
