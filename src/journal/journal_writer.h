#ifndef VORBEX_JOURNAL_JOURNAL_WRITER_H_
#define VORBEX_JOURNAL_JOURNAL_WRITER_H_

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "journal/journal_format.h"
#include "platform/env.h"

namespace vorbex::journal {

// The writes whose transfers returned, on their way from the transfer path
// to the journal's thread. Any number of writers push; one thread takes.
// A push never waits and allocates nothing: each takes a ticket with one
// atomic step and publishes its slot; a full queue drops the record and
// counts it, which loses a claim and never makes a false one.
class WriteQueue {
 public:
  // capacity: a power of two.
  explicit WriteQueue(size_t capacity);
  WriteQueue(const WriteQueue&) = delete;
  WriteQueue& operator=(const WriteQueue&) = delete;

  // Any thread. False when the queue was full and the record was dropped.
  bool Push(const WriteRecord& r);

  // Tickets handed out so far. Every record with a lower ticket was pushed,
  // after its transfer returned, before this was read; it may still be on
  // its way into its slot.
  int64_t Tickets() const { return tail_.load(std::memory_order_seq_cst); }

  // The one taking thread: the record with the next ticket, once its
  // writer has published it; false when there is none yet.
  bool Pop(WriteRecord* r);
  // Tickets taken so far.
  int64_t Taken() const { return head_; }

  int64_t Dropped() const { return dropped_.load(std::memory_order_relaxed); }

 private:
  struct Slot {
    // ticket + 1 once the record for ticket is in; ticket + capacity once
    // it has been taken, so that the writer a lap later may fill it.
    std::atomic<int64_t> turn{0};
    WriteRecord record;
  };
  const size_t mask_;
  std::unique_ptr<Slot[]> slots_;
  std::atomic<int64_t> tail_{0};
  int64_t head_ = 0;  // the taking thread's alone
  std::atomic<int64_t> dropped_{0};
};

// What a journal has done so far, for the summary and the JSON report.
struct JournalStats {
  int64_t writes = 0;          // write records written out
  int64_t flushes = 0;         // flushes that returned
  int64_t failed_flushes = 0;  // of them, those that failed
  int64_t dropped = 0;         // writes that could not be queued
  bool broken = false;         // the file refused a write or a sync
};

// A run's power-cut journal and the flushes it records. One thread writes
// the file in batches, so nothing on the transfer path waits for it;
// another flushes the target every so often. Either may be absent: a run
// with --flush-every and no journal only flushes, and a journal with no
// period records only the final flush.
class Journal {
 public:
  // file: where the records go, or null for none. flush_target: a handle
  // of the target for the flushes, or null for none. flush_every_ms: the
  // period, 0 for flushes only at the end. name: the file's name, for
  // warnings.
  Journal(std::unique_ptr<platform::AppendFile> file, std::string name,
          std::unique_ptr<platform::Target> flush_target,
          int64_t flush_every_ms);
  Journal(const Journal&) = delete;
  Journal& operator=(const Journal&) = delete;
  // Stops and joins both threads. In the product the journal lives until
  // the process ends, and is never destroyed (see Finish).
  ~Journal();

  // Writes the header and the blocks an earlier cut left behind (sorted),
  // makes them durable, and starts the threads; the first flush is issued
  // at once, so that what earlier runs left in the drive's cache is durable
  // before this run's writes. REQUIRES: main thread, once.
  void Start(const Header& header, const std::vector<int32_t>& left = {});

  // The transfer path, for every own run of a write once its transfer has
  // returned: steady_ns is when it did, on the steady clock.
  void RecordWrite(int64_t write_seq, int32_t first, int32_t count,
                   int64_t steady_ns) {
    queue_.Push(WriteRecord{write_seq, first, count, steady_ns - began_ns_});
  }

  // Flushes the target now, on the calling thread, and records it as the
  // flusher would. For a run's own moments, and for tests.
  void FlushNow() { Flush(); }

  // Records that the run is about to cut the power, and waits until every
  // record so far is in the file and the file is durable, or until
  // timeout_ms has passed. True when it is.
  bool RecordCutAndSync(int64_t timeout_ms);

  // The end of the run: one more flush of the target when final_flush is
  // set and there is a target, then every record out and the file durable.
  // Returns within about timeout_ms, whether or not a hung device let all
  // of it happen, since the process is about to end. Any thread, once.
  void Finish(bool final_flush, int64_t timeout_ms);

  JournalStats Stats() const;
  bool HasFile() const { return file_ != nullptr; }

 private:
  void WriterLoop();
  void FlusherLoop();
  void Flush();
  // Appends bytes to the batch; the batch goes out in one write.
  void WriteOut(const std::vector<FlushRecord>& flushes,
                const std::vector<CutRecord>& cuts);
  void Append(const uint8_t* bytes, size_t n);
  void Sync();
  void Warn(const char* what, uint32_t error);

  WriteQueue queue_;
  const std::unique_ptr<platform::AppendFile> file_;
  const std::string name_;
  const std::unique_ptr<platform::Target> flush_target_;
  const int64_t flush_every_ms_;
  int64_t began_ns_ = 0;  // steady clock; set by Start before any thread

  // The writer's thread alone: the batch, and the write records written.
  std::vector<uint8_t> batch_;
  int64_t writes_out_ = 0;

  // Guards everything below; the threads wait on the two conditions.
  mutable std::mutex mu_;
  std::condition_variable writer_wake_;
  std::condition_variable flusher_wake_;
  std::condition_variable progress_;  // for Finish and RecordCutAndSync
  std::vector<FlushRecord> flushes_;  // returned, not yet written out
  std::vector<CutRecord> cuts_;
  int64_t sync_asked_ = 0;  // requests to write out and sync everything
  int64_t sync_done_ = 0;
  bool final_asked_ = false;
  bool final_done_ = false;
  bool stop_ = false;
  bool writer_done_ = false;
  JournalStats stats_;

  std::thread writer_;
  std::thread flusher_;
};

// The run's journal, for the write path. Global because every write on
// every thread records itself, deep below anything that could pass it
// down. Main sets it before the first write it journals and before any
// test thread starts, and never changes it afterwards, so threads read it
// without a lock; null when the run keeps no journal.
extern Journal* g_journal;

}  // namespace vorbex::journal

#endif  // VORBEX_JOURNAL_JOURNAL_WRITER_H_
