#ifndef VORBEX_RUN_LEVELS_H_
#define VORBEX_RUN_LEVELS_H_

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "workloads/workload_thread.h"

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

// The test codes that one level value starts, in creation order; none for a
// value the level table lacks.
struct LevelTestList {
  std::array<int32_t, 16> codes{};
  int count = 0;
};
LevelTestList LevelTests(int32_t value);

// Every test a run has started, in creation order. A slot whose test could
// not be allocated stays empty; slots are never reused. Main thread only:
// the test threads never touch it.
struct ThreadTable {
  static constexpr int kSlots = 100;  // a run starts at most 38 tests
  std::array<std::unique_ptr<TestThread>, kSlots> Slots;
  int NextSlot = 0;
};

// Creates and starts the tests of one level value on path, recording them
// in table. Throws the Error of a test that cannot be created; those
// created before it stay in the table, running. path must outlive the
// table's tests.
void CreateLevelTests(ThreadTable& table, const std::string& path,
                      int32_t value);

// Stops and frees every test in table, first slot to last.
void StopAllTests(ThreadTable& table);

}  // namespace vorbex

#endif  // VORBEX_RUN_LEVELS_H_
