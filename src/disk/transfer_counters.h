#ifndef VORBEX_DISK_TRANSFER_COUNTERS_H_
#define VORBEX_DISK_TRANSFER_COUNTERS_H_

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "disk/latency.h"

namespace vorbex {

// A transfer under way, for the watch that looks for stalls: the owner of
// the slot marks it out before the call and in after it, the watch marks it
// stalled once it has been out too long. Whichever sees the other's mark
// acts on it, so a stall is reported once, and its return once.
struct OutstandingTransfer {
  enum State : uint8_t { kIdle, kOut, kStalled };
  // The owner's, set before state leaves kIdle.
  std::atomic<int64_t> since_ns{0};  // on the steady clock
  std::atomic<int32_t> first{0};
  std::atomic<int32_t> blocks{0};
  std::atomic<bool> write{false};
  std::atomic<uint8_t> state{kIdle};
  // The watch's alone: when it last warned of this stall.
  int64_t warned_ns = 0;
};

// What one TestDisk has moved and found. Exactly one thread adds to a
// record: the thread that uses the disk (the main thread for the start-up
// scan and the anchor). Anyone may read it at any time, so the fields are
// atomics, but an add is a relaxed load and store of the owner's own value,
// which costs what a plain add does; a reader sees each field as it stood at
// some instant, which is all a summary asks. Each record has a cache line of
// its own, so the disks never share one on the transfer path.
struct alignas(64) TransferCounters {
  std::atomic<int32_t> TestCode{0};  // set when claimed, before any add
  std::atomic<int64_t> Transfers{0};
  std::atomic<int64_t> BytesRead{0};
  std::atomic<int64_t> BytesWritten{0};
  std::atomic<int64_t> BlocksVerified{0};
  std::atomic<int64_t> Mismatches{0};
  std::atomic<int64_t> Errors{0};
  // Transfers that stalled; added to by the watch alone.
  std::atomic<int64_t> Stalls{0};
  // Every transfer's time, by kind; made when the record is claimed, so
  // nothing is allocated on the transfer path.
  std::unique_ptr<LatencyHistogram> ReadTimes;
  std::unique_ptr<LatencyHistogram> WriteTimes;
  // The start-up check's read-ahead, whose thread is this one's only writer.
  std::unique_ptr<LatencyHistogram> ReadAheadTimes;
  // The transfer of the disk's own thread, and the start-up check's read
  // ahead, which runs beside it.
  static constexpr int kOwnSlot = 0;
  static constexpr int kReadAheadSlot = 1;
  std::array<OutstandingTransfer, 2> Outstanding;

  // The owner's add. REQUIRES: called only by the record's one writer.
  static void Add(std::atomic<int64_t>& field, int64_t n) {
    field.store(field.load(std::memory_order_relaxed) + n,
                std::memory_order_relaxed);
  }
};

// The records of this process's disks live as long as the process, so that
// a summary made while the process ends, from any thread, never reads a
// record whose disk was closed and freed meanwhile.
inline constexpr int kCounterRecords = 512;

// The steady clock in nanoseconds, as transfers are timed.
int64_t SteadyNanos();

// Times one transfer on slot of counts and shows it to the watch while it
// is under way: made just before the call, ended just after it returns (or
// throws), on the slot owner's thread.
class TransferTimer {
 public:
  TransferTimer(TransferCounters* counts, int slot, bool write, int32_t first,
                int32_t blocks);
  ~TransferTimer() { End(); }
  TransferTimer(const TransferTimer&) = delete;
  TransferTimer& operator=(const TransferTimer&) = delete;

  // Records the transfer's time, and its return when the watch had marked
  // it stalled. Once; the destructor ends a timer not yet ended.
  void End();

 private:
  OutstandingTransfer& slot_;
  LatencyHistogram* times_;
  int64_t began_;
  bool ended_ = false;
};

// A fresh record for a disk of test_code, or, once every record is taken,
// one shared overflow record that no summary shows. REQUIRES: main thread
// (where disks are opened).
TransferCounters* ClaimCounters(int32_t test_code);

// How many records have been claimed, in claim order from record 0. Safe for
// concurrent use: records up to the count returned are fully claimed.
int ClaimedCounters();
const TransferCounters& CountersAt(int index);
// The same for the watch, which marks stalls in the records. REQUIRES: the
// watch's thread.
TransferCounters& WatchedCountersAt(int index);

// Which blocks of a target this process has written and verified at least
// once, one bit per block. A bit is set only when it is not yet set, so a
// block seen again costs one load. Safe for concurrent use by multiple
// threads; sized once at creation.
class TargetCoverage {
 public:
  explicit TargetCoverage(int32_t blocks);

  void MarkWritten(int32_t first, int32_t count) {
    Mark(written_, first, count);
  }
  void MarkVerified(int32_t block) {
    MarkVerifiedWord(block / 64, uint64_t{1} << (block % 64));
  }
  // Blocks 64 word ... 64 word + 63 whose bits are set in bits.
  void MarkVerifiedWord(int32_t word, uint64_t bits) {
    std::atomic<uint64_t>& cell = verified_[word];
    if ((cell.load(std::memory_order_relaxed) & bits) != bits) {
      cell.fetch_or(bits, std::memory_order_relaxed);
    }
  }

  int32_t Blocks() const { return blocks_; }
  int64_t WrittenCount() const { return Count(written_); }
  int64_t VerifiedCount() const { return Count(verified_); }

 private:
  void Mark(const std::unique_ptr<std::atomic<uint64_t>[]>& bits, int32_t first,
            int32_t count);
  int64_t Count(const std::unique_ptr<std::atomic<uint64_t>[]>& bits) const;

  int32_t blocks_;
  std::unique_ptr<std::atomic<uint64_t>[]> written_;
  std::unique_ptr<std::atomic<uint64_t>[]> verified_;
};

// The coverage of the target of this run: the one the latest new block
// state table was made for. The process keeps every one it was given until
// it ends, like the counter records. Set on the main thread only; read by
// whoever makes the summary or the status line, at any time.
void SetRunCoverage(std::shared_ptr<TargetCoverage> coverage);
const TargetCoverage* RunCoverage();

// The counter records and the coverages that the functions above hand out
// and read. The process has one, which lives as long as it does; another,
// put in its place by SetRunCounters, starts with no record claimed and no
// coverage.
class RunCounters {
 public:
  TransferCounters* Claim(int32_t test_code);
  int Claimed() const;
  const TransferCounters& At(int index) const { return records_[index]; }
  TransferCounters& WatchedAt(int index) { return records_[index]; }
  void SetCoverage(std::shared_ptr<TargetCoverage> coverage);
  const TargetCoverage* Coverage() const;

 private:
  static void GiveHistograms(TransferCounters* c);

  // Claimed on the main thread; the count is published with release after
  // the record's code is set, so a reader that acquires it sees whole
  // records.
  std::array<TransferCounters, kCounterRecords> records_;
  TransferCounters overflow_;
  std::atomic<int> claimed_{0};

  // Every coverage made for these counters, kept as long as they are, so
  // that a summary made on another thread (an interrupt during the start-up
  // check) never reads one that a newer table replaced and freed. Guarded
  // by coverage_mutex_; coverage_ publishes the latest.
  std::mutex coverage_mutex_;
  std::vector<std::shared_ptr<TargetCoverage>> coverages_;
  std::atomic<const TargetCoverage*> coverage_{nullptr};
};

// Makes counters the ones the functions above use, or the process's own
// again for nullptr. REQUIRES: no disk is open, and no other thread uses
// them meanwhile.
void SetRunCounters(RunCounters* counters);

}  // namespace vorbex

#endif  // VORBEX_DISK_TRANSFER_COUNTERS_H_
