#ifndef VORBEX_DISK_MISMATCH_LOG_H_
#define VORBEX_DISK_MISMATCH_LOG_H_

#include <cstdint>
#include <mutex>
#include <vector>

namespace vorbex {

// One mismatch report, as the run's JSON report lists it.
struct MismatchRecord {
  enum Kind : uint8_t { kHeader, kFill, kChecksum, kDurableLost };
  int32_t Block = 0;
  int32_t TestCode = 0;  // the test that read it; 0 for the start-up check
  Kind What = kHeader;
};

// Every report keeps a record, up to this many; beyond it only the count
// grows, so a target that fails everywhere cannot exhaust memory.
inline constexpr int64_t kMismatchRecordLimit = 100000;

// The records so far, in report order, and how many reports there were in
// all (more than the records when the limit was reached or memory ran
// out).
struct MismatchList {
  std::vector<MismatchRecord> Records;
  int64_t Total = 0;
};

// Reports are rare and already serialised by the report lock, so a mutex
// here costs the transfers nothing; nothing is allocated until the first
// report. Safe for concurrent use by multiple threads.
class MismatchLog {
 public:
  void Record(int32_t block, int32_t test_code, MismatchRecord::Kind what);
  MismatchList List() const;

 private:
  mutable std::mutex lock_;  // guards the rest
  std::vector<MismatchRecord> records_;
  int64_t total_ = 0;
};

// Adds a record to the log of this process, the one the run's JSON report
// lists. Safe for concurrent use by multiple threads.
void RecordMismatch(int32_t block, int32_t test_code,
                    MismatchRecord::Kind what);

// The log of this process as it stands. Safe for concurrent use by multiple
// threads.
MismatchList RecordedMismatches();

}  // namespace vorbex

#endif  // VORBEX_DISK_MISMATCH_LOG_H_
