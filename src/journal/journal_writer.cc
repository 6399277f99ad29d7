#include "journal/journal_writer.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>
#include <utility>

#include "base/console.h"
#include "disk/transfer_counters.h"
#include "platform/error_codes.h"

namespace vorbex::journal {

Journal* g_journal = nullptr;

namespace {

// Enough for a few seconds of the busiest run, while the journal's file is
// slow to take a batch: a writer that finds it full drops its record.
constexpr size_t kQueueCapacity = size_t{1} << 16;

// How often the writer takes what has queued up: often enough that little
// is lost with the tail of a killed run, seldom enough to batch.
constexpr std::chrono::milliseconds kBatchEvery{20};

using Clock = std::chrono::steady_clock;

}  // namespace

WriteQueue::WriteQueue(size_t capacity)
    : mask_(capacity - 1), slots_(std::make_unique<Slot[]>(capacity)) {
  for (size_t i = 0; i < capacity; ++i) {
    slots_[i].turn.store(static_cast<int64_t>(i), std::memory_order_relaxed);
  }
}

bool WriteQueue::Push(const WriteRecord& r) {
  int64_t ticket = tail_.load(std::memory_order_relaxed);
  for (;;) {
    Slot& slot = slots_[static_cast<size_t>(ticket) & mask_];
    const int64_t turn = slot.turn.load(std::memory_order_acquire);
    if (turn == ticket) {
      // Sequentially consistent, so that a flush that reads the tickets
      // after this step covers this record, and one that read them before
      // does not.
      if (tail_.compare_exchange_weak(ticket, ticket + 1,
                                      std::memory_order_seq_cst,
                                      std::memory_order_relaxed)) {
        slot.record = r;
        slot.turn.store(ticket + 1, std::memory_order_release);
        return true;
      }
    } else if (turn < ticket) {
      // The slot still holds the record of the lap before: full.
      dropped_.fetch_add(1, std::memory_order_relaxed);
      return false;
    } else {
      ticket = tail_.load(std::memory_order_relaxed);
    }
  }
}

bool WriteQueue::Pop(WriteRecord* r) {
  Slot& slot = slots_[static_cast<size_t>(head_) & mask_];
  if (slot.turn.load(std::memory_order_acquire) != head_ + 1) return false;
  *r = slot.record;
  slot.turn.store(head_ + static_cast<int64_t>(mask_) + 1,
                  std::memory_order_release);
  ++head_;
  return true;
}

Journal::Journal(std::unique_ptr<platform::AppendFile> file, std::string name,
                 std::unique_ptr<platform::Target> flush_target,
                 int64_t flush_every_ms)
    : queue_(kQueueCapacity),
      file_(std::move(file)),
      name_(std::move(name)),
      flush_target_(std::move(flush_target)),
      flush_every_ms_(flush_every_ms) {}

Journal::~Journal() {
  {
    std::lock_guard<std::mutex> hold(mu_);
    stop_ = true;
  }
  writer_wake_.notify_all();
  flusher_wake_.notify_all();
  if (flusher_.joinable()) flusher_.join();
  if (writer_.joinable()) writer_.join();
}

void Journal::Start(const Header& header, const std::vector<int32_t>& left) {
  began_ns_ = SteadyNanos();
  if (file_ != nullptr) {
    batch_.resize(kHeaderBytes);
    EncodeHeader(header, batch_.data());
    uint8_t bytes[kLeftBehindBytes];
    for (size_t i = 0; i < left.size();) {
      size_t n = 1;
      while (i + n < left.size() &&
             left[i + n] == left[i] + static_cast<int32_t>(n)) {
        ++n;
      }
      EncodeLeftBehind({left[i], static_cast<int32_t>(n)}, bytes);
      batch_.insert(batch_.end(), bytes, bytes + sizeof bytes);
      i += n;
    }
    Append(batch_.data(), batch_.size());
    Sync();
    writer_ = std::thread([this] { WriterLoop(); });
  }
  if (flush_target_ != nullptr) {
    flusher_ = std::thread([this] { FlusherLoop(); });
  }
}

void Journal::FlusherLoop() {
  // The first flush at once; then one every period, if there is one.
  Clock::time_point next = Clock::now();
  bool periodic = true;
  std::unique_lock<std::mutex> lock(mu_);
  for (;;) {
    const auto due = [&] {
      return stop_ || final_asked_ || (periodic && Clock::now() >= next);
    };
    if (periodic) {
      flusher_wake_.wait_until(lock, next, due);
    } else {
      flusher_wake_.wait(lock, due);
    }
    if (stop_) return;
    if (!due()) continue;
    const bool final = final_asked_;
    lock.unlock();
    Flush();
    lock.lock();
    if (final) {
      final_done_ = true;
      progress_.notify_all();
      return;
    }
    periodic = flush_every_ms_ > 0;
    // A flush that took longer than the period is followed by the next at
    // once, not by a burst of the ones it held up.
    next = std::max(next + std::chrono::milliseconds(flush_every_ms_),
                    Clock::now());
  }
}

void Journal::Flush() {
  FlushRecord f;
  // Before the flush is issued: every write with a lower ticket had
  // returned by now, so the flush covers it.
  f.covers = queue_.Tickets();
  f.issued_ns = SteadyNanos() - began_ns_;
  f.result = flush_target_->Flush();
  f.returned_ns = SteadyNanos() - began_ns_;
  bool first_failure = false;
  {
    std::lock_guard<std::mutex> hold(mu_);
    flushes_.push_back(f);
    ++stats_.flushes;
    if (f.result != platform::kErrorSuccess) {
      first_failure = stats_.failed_flushes++ == 0;
    }
  }
  writer_wake_.notify_all();
  // Once: a drive that has gone away fails every flush, and the summary
  // counts them.
  if (first_failure) {
    PrintErrf(
        "WARNING: a flush of the target failed with error %d; the "
        "writes before it are not known to be durable (the summary "
        "counts any more).\n",
        static_cast<int>(f.result));
  }
}

void Journal::WriterLoop() {
  std::unique_lock<std::mutex> lock(mu_);
  for (;;) {
    writer_wake_.wait_for(lock, kBatchEvery, [&] {
      return stop_ || !flushes_.empty() || !cuts_.empty() ||
             sync_asked_ != sync_done_;
    });
    const std::vector<FlushRecord> flushes = std::move(flushes_);
    flushes_.clear();
    const std::vector<CutRecord> cuts = std::move(cuts_);
    cuts_.clear();
    const int64_t asked = sync_asked_;
    const bool last = stop_;
    lock.unlock();
    WriteOut(flushes, cuts);
    // A flush record is worth only what survives of the journal, so the
    // journal is made durable after each.
    if (!flushes.empty() || !cuts.empty() || asked != sync_done_ || last) {
      Sync();
    }
    lock.lock();
    sync_done_ = asked;
    if (last) {
      writer_done_ = true;
      progress_.notify_all();
      return;
    }
    progress_.notify_all();
  }
}

void Journal::WriteOut(const std::vector<FlushRecord>& flushes,
                       const std::vector<CutRecord>& cuts) {
  batch_.clear();
  uint8_t bytes[kLargestRecord];
  WriteRecord w;
  for (const FlushRecord& f : flushes) {
    // Every write a flush covers goes before it, so that a journal cut
    // anywhere never claims a write durable that it does not list. A
    // ticket below the count is taken; its writer is a few stores from
    // publishing it.
    while (queue_.Taken() < f.covers) {
      if (queue_.Pop(&w)) {
        batch_.insert(batch_.end(), bytes, bytes + EncodeWrite(w, bytes));
      } else {
        std::this_thread::yield();
      }
    }
    batch_.insert(batch_.end(), bytes, bytes + EncodeFlush(f, bytes));
  }
  while (queue_.Pop(&w)) {
    batch_.insert(batch_.end(), bytes, bytes + EncodeWrite(w, bytes));
  }
  for (const CutRecord& c : cuts) {
    batch_.insert(batch_.end(), bytes, bytes + EncodeCut(c, bytes));
  }
  const int64_t writes = queue_.Taken() - writes_out_;
  writes_out_ = queue_.Taken();
  Append(batch_.data(), batch_.size());
  std::lock_guard<std::mutex> hold(mu_);
  if (!stats_.broken) stats_.writes += writes;
}

void Journal::Append(const uint8_t* bytes, size_t n) {
  if (n == 0 || file_ == nullptr) return;
  {
    std::lock_guard<std::mutex> hold(mu_);
    if (stats_.broken) return;
  }
  const uint32_t rc = file_->Append(bytes, n);
  if (rc != platform::kErrorSuccess) Warn("write", rc);
}

void Journal::Sync() {
  if (file_ == nullptr) return;
  {
    std::lock_guard<std::mutex> hold(mu_);
    if (stats_.broken) return;
  }
  const uint32_t rc = file_->Sync();
  if (rc != platform::kErrorSuccess) Warn("make durable", rc);
}

// A journal that cannot be written ends there: what it holds stays true,
// and the run goes on, since the drive under test is not at fault.
void Journal::Warn(const char* what, uint32_t error) {
  {
    std::lock_guard<std::mutex> hold(mu_);
    if (stats_.broken) return;
    stats_.broken = true;
  }
  PrintErrf("WARNING: cannot %s the journal %s (error %d); it ends here.\n",
            what, name_.c_str(), static_cast<int>(error));
}

bool Journal::RecordCutAndSync(int64_t timeout_ms) {
  std::unique_lock<std::mutex> lock(mu_);
  if (!writer_.joinable()) return true;
  cuts_.push_back(CutRecord{SteadyNanos() - began_ns_});
  const int64_t ticket = ++sync_asked_;
  writer_wake_.notify_all();
  return progress_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] {
    return sync_done_ >= ticket || writer_done_;
  });
}

void Journal::Finish(bool final_flush, int64_t timeout_ms) {
  const Clock::time_point deadline =
      Clock::now() + std::chrono::milliseconds(timeout_ms);
  std::unique_lock<std::mutex> lock(mu_);
  if (final_flush && flusher_.joinable()) {
    final_asked_ = true;
    flusher_wake_.notify_all();
    if (!progress_.wait_until(lock, deadline, [&] { return final_done_; })) {
      lock.unlock();
      PrintErrf(
          "WARNING: the final flush of the target has not returned in "
          "%lld s; the run ends without it.\n",
          static_cast<long long>(timeout_ms / 1000));
      lock.lock();
    }
  }
  if (!writer_.joinable()) return;
  stop_ = true;
  writer_wake_.notify_all();
  flusher_wake_.notify_all();
  progress_.wait_until(lock, deadline, [&] { return writer_done_; });
}

JournalStats Journal::Stats() const {
  std::lock_guard<std::mutex> hold(mu_);
  JournalStats s = stats_;
  s.dropped = queue_.Dropped();
  return s;
}

}  // namespace vorbex::journal
