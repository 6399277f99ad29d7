#ifndef VORBEX_RUN_LEVELS_H_
#define VORBEX_RUN_LEVELS_H_

#include <array>
#include <cstdint>
#include <string>

namespace vorbex {

// The level values that a command-line level stands for, in creation order:
// its units, its tens, and whatever is left, each only when not 0. The
// remainders are those of signed division, so a negative level gives
// negative parts, which start nothing. The rest is not split further.
struct LevelParts {
  std::array<int32_t, 3> values{};
  int count = 0;
};
LevelParts SplitLevel(int32_t level);

// Creates and starts the tests of one level value, recording them in the
// thread table. Throws Error when a test cannot be created.
// REQUIRES: called on the main thread only.
void CreateLevelTests(const std::string& path, int32_t value);

// Stops and frees every test recorded so far. REQUIRES: main thread only.
void StopAllTests();

}  // namespace vorbex

#endif  // VORBEX_RUN_LEVELS_H_
