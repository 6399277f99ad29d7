#include "disk/mismatch_log.h"

#include <mutex>
#include <new>

namespace vorbex {
namespace {

struct Log {
  std::mutex Lock;  // guards the rest
  std::vector<MismatchRecord> Records;
  int64_t Total = 0;
};

// Never destroyed: a test that main could not stop may still report while
// the process returns from main and runs its destructors.
Log& TheLog() {
  static Log* const log = new Log;
  return *log;
}

}  // namespace

void RecordMismatch(int32_t block, int32_t test_code,
                    MismatchRecord::Kind what) {
  Log& log = TheLog();
  std::lock_guard<std::mutex> hold(log.Lock);
  ++log.Total;
  if (static_cast<int64_t>(log.Records.size()) >= kMismatchRecordLimit) {
    return;
  }
  try {
    log.Records.push_back({block, test_code, what});
  } catch (const std::bad_alloc&) {
    // The report is printed already; only the list comes up short, and the
    // total still says by how much.
  }
}

MismatchList RecordedMismatches() {
  MismatchList list;
  Log& log = TheLog();
  std::lock_guard<std::mutex> hold(log.Lock);
  try {
    list.Records = log.Records;
  } catch (const std::bad_alloc&) {
    // The total alone then.
  }
  list.Total = log.Total;
  return list;
}

void ResetMismatchLog() {
  Log& log = TheLog();
  std::lock_guard<std::mutex> hold(log.Lock);
  log.Records.clear();
  log.Records.shrink_to_fit();
  log.Total = 0;
}

}  // namespace vorbex
