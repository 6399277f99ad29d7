#include "disk/transfer_counters.h"

#include <algorithm>
#include <array>
#include <bit>
#include <mutex>
#include <vector>

namespace vorbex {
namespace {

// Claimed on the main thread; the count is published with release after
// the record's code is set, so a reader that acquires it sees whole records.
std::array<TransferCounters, kCounterRecords> g_records;
TransferCounters g_overflow;
std::atomic<int> g_claimed{0};

// Every coverage made for this process, kept until it ends, so that a
// summary made on another thread (an interrupt during the start-up check)
// never reads one that a newer table replaced and freed. Guarded by
// g_coverage_mutex; g_coverage publishes the latest.
std::mutex g_coverage_mutex;
std::vector<std::shared_ptr<TargetCoverage>> g_coverages;
std::atomic<const TargetCoverage*> g_coverage{nullptr};

}  // namespace

TransferCounters* ClaimCounters(int32_t test_code) {
  const int n = g_claimed.load(std::memory_order_relaxed);
  if (n >= kCounterRecords) return &g_overflow;
  g_records[n].TestCode.store(test_code, std::memory_order_relaxed);
  g_claimed.store(n + 1, std::memory_order_release);
  return &g_records[n];
}

int ClaimedCounters() { return g_claimed.load(std::memory_order_acquire); }

const TransferCounters& CountersAt(int index) { return g_records[index]; }

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
  const TargetCoverage* latest = coverage.get();
  {
    std::lock_guard<std::mutex> hold(g_coverage_mutex);
    g_coverages.push_back(std::move(coverage));
  }
  g_coverage.store(latest, std::memory_order_release);
}

const TargetCoverage* RunCoverage() {
  return g_coverage.load(std::memory_order_acquire);
}

void ResetRunCounters() {
  for (TransferCounters& r : g_records) {
    r.TestCode.store(0);
    for (std::atomic<int64_t>* f :
         {&r.Transfers, &r.BytesRead, &r.BytesWritten, &r.BlocksVerified,
          &r.Mismatches, &r.Errors}) {
      f->store(0);
    }
  }
  g_claimed.store(0);
  g_coverage.store(nullptr);
  std::lock_guard<std::mutex> hold(g_coverage_mutex);
  g_coverages.clear();
}

}  // namespace vorbex
