#ifndef VORBEX_DISK_LATENCY_H_
#define VORBEX_DISK_LATENCY_H_

// How long transfers take. A device that answers right but late, or one
// command in a thousand very late, is failing as surely as one that
// answers wrong, and only the whole distribution shows it: so every
// transfer's time is counted, in buckets fine enough (about 1 %) that the
// percentiles of a run, and of many runs merged, mean what they say.

#include <array>
#include <atomic>
#include <cstdint>
#include <vector>

namespace vorbex {

// Log-linear buckets of microseconds: one per microsecond below 128, then
// 64 to each doubling, up to 2^32 µs (over 71 minutes); longer times land
// in the last bucket. A bucket's width is at most 1/64 of its lower edge.
inline constexpr int kLatencyExact = 128;
inline constexpr int kLatencyPerDoubling = 64;
inline constexpr int kLatencyBuckets =
    kLatencyExact + (32 - 7) * kLatencyPerDoubling;

// The bucket of t microseconds, and the smallest time in bucket b.
int LatencyBucket(int64_t micros);
int64_t LatencyBucketFloor(int b);
// What a bucket stands for in a percentile: the middle of its span, so the
// error is at most half its width (under 1 %).
int64_t LatencyBucketMiddle(int b);

// The times of one kind of transfer on one disk. One thread records (the
// disk's owner); anyone may read at any time, each count as it stood at
// some instant, so an add is a relaxed load and store of the owner's own
// value, with no lock and no allocation.
class LatencyHistogram {
 public:
  // REQUIRES: called only by the histogram's one writer.
  void Record(int64_t micros) {
    std::atomic<uint64_t>& cell = counts_[LatencyBucket(micros)];
    cell.store(cell.load(std::memory_order_relaxed) + 1,
               std::memory_order_relaxed);
    if (micros > max_.load(std::memory_order_relaxed)) {
      max_.store(micros, std::memory_order_relaxed);
    }
  }
  uint64_t CountAt(int b) const {
    return counts_[b].load(std::memory_order_relaxed);
  }
  int64_t Max() const { return max_.load(std::memory_order_relaxed); }

 private:
  std::array<std::atomic<uint64_t>, kLatencyBuckets> counts_{};
  std::atomic<int64_t> max_{0};
};

// A histogram's counts at one instant, or several merged: what summaries
// and reports work from.
struct LatencyCounts {
  std::vector<uint64_t> counts = std::vector<uint64_t>(kLatencyBuckets, 0);
  uint64_t total = 0;
  int64_t max = 0;

  void Add(const LatencyHistogram& h);
  void Add(const LatencyCounts& other);
  // The time that p (0 < p <= 1) of the transfers took at most, to within
  // a bucket; the maximum itself for p = 1, and 0 when there were none.
  int64_t Percentile(double p) const;
};

// A time in microseconds as a person reads it at a glance: "850µs",
// "12.3ms", "4.07s"; "-" for none.
std::string LatencyText(int64_t micros, bool any);

}  // namespace vorbex

#endif  // VORBEX_DISK_LATENCY_H_
