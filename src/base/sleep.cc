#include "base/sleep.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace vorbex {

void SleepMilliseconds(uint64_t ms) {
  // One sleep_for of a huge count would overflow the clock's nanoseconds,
  // so sleep in slices and count what has really passed.
  constexpr uint64_t kSlice = 100'000'000;
  using Clock = std::chrono::steady_clock;
  const Clock::time_point start = Clock::now();
  for (;;) {
    const auto passed = static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() -
                                                              start)
            .count());
    if (passed >= ms) return;
    std::this_thread::sleep_for(
        std::chrono::milliseconds(std::min(ms - passed, kSlice)));
  }
}

}  // namespace vorbex
