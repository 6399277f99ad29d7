#include "disk/transfer_counters.h"

#include <algorithm>
#include <array>
#include <bit>
#include <chrono>
#include <mutex>
#include <vector>

#include "disk/stalls.h"

namespace vorbex {
namespace {

// Never destroyed: a test that main could not stop may still count, and
// the summary still read them, while the process returns from main and
// runs its destructors.
RunCounters& ProcessCounters() {
  static auto* const counters = new RunCounters;
  return *counters;
}

// Written only by SetRunCounters, which runs while no other thread uses it;
// null for the process's own.
RunCounters* g_counters = nullptr;

RunCounters& Current() {
  return g_counters != nullptr ? *g_counters : ProcessCounters();
}

}  // namespace

TransferCounters* RunCounters::Claim(int32_t test_code) {
  const int n = claimed_.load(std::memory_order_relaxed);
  if (n >= kCounterRecords) {
    GiveHistograms(&overflow_);
    return &overflow_;
  }
  GiveHistograms(&records_[n]);
  records_[n].TestCode.store(test_code, std::memory_order_relaxed);
  claimed_.store(n + 1, std::memory_order_release);
  return &records_[n];
}

void RunCounters::GiveHistograms(TransferCounters* c) {
  for (auto* h : {&c->ReadTimes, &c->WriteTimes, &c->ReadAheadTimes}) {
    if (*h == nullptr) *h = std::make_unique<LatencyHistogram>();
  }
}

int RunCounters::Claimed() const {
  return claimed_.load(std::memory_order_acquire);
}

void RunCounters::SetCoverage(std::shared_ptr<TargetCoverage> coverage) {
  const TargetCoverage* latest = coverage.get();
  {
    std::lock_guard<std::mutex> hold(coverage_mutex_);
    coverages_.push_back(std::move(coverage));
  }
  coverage_.store(latest, std::memory_order_release);
}

const TargetCoverage* RunCounters::Coverage() const {
  return coverage_.load(std::memory_order_acquire);
}

TransferCounters* ClaimCounters(int32_t test_code) {
  return Current().Claim(test_code);
}

int ClaimedCounters() { return Current().Claimed(); }

const TransferCounters& CountersAt(int index) { return Current().At(index); }

TransferCounters& WatchedCountersAt(int index) {
  return Current().WatchedAt(index);
}

int64_t SteadyNanos() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// VORBEX_UNTIMED_TRANSFERS builds the library without timing, for the
// benchmark that weighs what timing costs; never a product build.
#ifndef VORBEX_UNTIMED_TRANSFERS
TransferTimer::TransferTimer(TransferCounters* counts, int slot, bool write,
                             int32_t first, int32_t blocks)
    : slot_(counts->Outstanding[slot]),
      times_(slot == TransferCounters::kReadAheadSlot
                 ? counts->ReadAheadTimes.get()
             : write ? counts->WriteTimes.get()
                     : counts->ReadTimes.get()) {
  slot_.first.store(first, std::memory_order_relaxed);
  slot_.blocks.store(blocks, std::memory_order_relaxed);
  slot_.write.store(write, std::memory_order_relaxed);
  began_ = SteadyNanos();
  slot_.since_ns.store(began_, std::memory_order_relaxed);
  // Release: the watch that sees the transfer out sees what it is.
  slot_.state.store(OutstandingTransfer::kOut, std::memory_order_release);
}

void TransferTimer::End() {
  if (ended_) return;
  ended_ = true;
  const int64_t took = SteadyNanos() - began_;
  // One atomic exchange, so that the watch either marked it stalled before
  // it returned, and hears of its return, or never will.
  if (slot_.state.exchange(OutstandingTransfer::kIdle,
                           std::memory_order_acq_rel) ==
      OutstandingTransfer::kStalled) {
    StallReturned(&slot_, took);
  }
  times_->Record(took / 1000);
}
#else
TransferTimer::TransferTimer(TransferCounters* counts, int slot, bool, int32_t,
                             int32_t)
    : slot_(counts->Outstanding[slot]), times_(nullptr), began_(0) {}

void TransferTimer::End() {}
#endif

TargetCoverage::TargetCoverage(int32_t blocks)
    : blocks_(blocks < 0 ? 0 : blocks),
      // Value-initialised: no block is marked.
      written_(std::make_unique<std::atomic<uint64_t>[]>(blocks_ / 64 + 1)),
      verified_(std::make_unique<std::atomic<uint64_t>[]>(blocks_ / 64 + 1)) {}

void TargetCoverage::Mark(const std::unique_ptr<std::atomic<uint64_t>[]>& bits,
                          int32_t first, int32_t count) {
  int64_t b = first;
  const int64_t end = int64_t{first} + count;
  while (b < end) {
    const int64_t word = b / 64;
    const int64_t upto = std::min(end, (word + 1) * 64);
    const int shift = static_cast<int>(b % 64);
    const int width = static_cast<int>(upto - b);
    const uint64_t mask =
        (width == 64 ? ~uint64_t{0} : ((uint64_t{1} << width) - 1)) << shift;
    // Relaxed: a bit only ever goes from clear to set, and the summary reads
    // whatever has landed by then.
    std::atomic<uint64_t>& cell = bits[word];
    if ((cell.load(std::memory_order_relaxed) & mask) != mask) {
      cell.fetch_or(mask, std::memory_order_relaxed);
    }
    b = upto;
  }
}

int64_t TargetCoverage::Count(
    const std::unique_ptr<std::atomic<uint64_t>[]>& bits) const {
  int64_t n = 0;
  for (int64_t w = 0; w <= blocks_ / 64; ++w) {
    n += std::popcount(bits[w].load(std::memory_order_relaxed));
  }
  return n;
}

void SetRunCoverage(std::shared_ptr<TargetCoverage> coverage) {
  Current().SetCoverage(std::move(coverage));
}

const TargetCoverage* RunCoverage() { return Current().Coverage(); }

void SetRunCounters(RunCounters* counters) { g_counters = counters; }

}  // namespace vorbex
