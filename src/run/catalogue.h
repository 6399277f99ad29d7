#ifndef VORBEX_RUN_CATALOGUE_H_
#define VORBEX_RUN_CATALOGUE_H_

#include <cstdint>

#include "workloads/workload_thread.h"

namespace vorbex {

// The loop a test's thread runs, given the row's Argument.
using WorkloadRoutine = void (TestThread::*)(int32_t argument);

// One test the system can run.
struct TestEntry {
  int32_t TestCode;  // 1 ... 51; stamped into every block the test writes
  const char* Name;
  WorkloadRoutine Workload;
  int32_t Argument;      // blocks per transfer, or 0 to draw each length
  int32_t BufferBlocks;  // the test's TestDisk buffer
};

// The 51 tests, ending in a row of zeros. Constant, so any thread reads it.
inline constexpr int kCatalogueRows = 52;
extern const TestEntry TestCatalogue[kCatalogueRows];

// The first row with code; the zero row when none has it.
const TestEntry& FindTest(int32_t code);

}  // namespace vorbex

#endif  // VORBEX_RUN_CATALOGUE_H_
