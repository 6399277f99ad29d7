#include "disk/mismatch_log.h"

#include <mutex>
#include <new>

namespace vorbex {
namespace {

// Never destroyed: a test that main could not stop may still report while
// the process returns from main and runs its destructors.
MismatchLog& TheLog() {
  static MismatchLog* const log = new MismatchLog;
  return *log;
}

}  // namespace

void MismatchLog::Record(int32_t block, int32_t test_code,
                         MismatchRecord::Kind what) {
  std::lock_guard<std::mutex> hold(lock_);
  ++total_;
  if (static_cast<int64_t>(records_.size()) >= kMismatchRecordLimit) {
    return;
  }
  try {
    records_.push_back({block, test_code, what});
  } catch (const std::bad_alloc&) {
    // The report is printed already; only the list comes up short, and the
    // total still says by how much.
  }
}

MismatchList MismatchLog::List() const {
  MismatchList list;
  std::lock_guard<std::mutex> hold(lock_);
  try {
    list.Records = records_;
  } catch (const std::bad_alloc&) {
    // The total alone then.
  }
  list.Total = total_;
  return list;
}

void RecordMismatch(int32_t block, int32_t test_code,
                    MismatchRecord::Kind what) {
  TheLog().Record(block, test_code, what);
}

MismatchList RecordedMismatches() { return TheLog().List(); }

}  // namespace vorbex
