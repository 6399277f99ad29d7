#include "run/levels.h"

namespace vorbex {

LevelParts SplitLevel(int32_t level) {
  LevelParts parts;
  const int32_t units = level % 10;
  if (units != 0) {
    parts.values[parts.count++] = units;
    level -= units;
  }
  const int32_t tens = level % 100;
  if (tens != 0) {
    parts.values[parts.count++] = tens;
    level -= tens;
  }
  if (level != 0) parts.values[parts.count++] = level;
  return parts;
}

// The test catalogue and its threads are not part of the program yet, so
// every level value starts nothing and there is nothing to stop.
void CreateLevelTests(const std::string& /*path*/, int32_t /*value*/) {}

void StopAllTests() {}

}  // namespace vorbex
