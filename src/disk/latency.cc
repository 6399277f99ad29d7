#include "disk/latency.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <string>

namespace vorbex {

int LatencyBucket(int64_t micros) {
  if (micros < kLatencyExact) return micros < 0 ? 0 : static_cast<int>(micros);
  const auto v = static_cast<uint64_t>(micros);
  const int top = static_cast<int>(std::bit_width(v)) - 1;  // 7 or more
  if (top >= 32) return kLatencyBuckets - 1;
  const auto within = static_cast<int>((v >> (top - 6)) & 63);
  return kLatencyExact + (top - 7) * kLatencyPerDoubling + within;
}

int64_t LatencyBucketFloor(int b) {
  if (b < kLatencyExact) return b;
  const int top = 7 + (b - kLatencyExact) / kLatencyPerDoubling;
  const int within = (b - kLatencyExact) % kLatencyPerDoubling;
  return int64_t{64 + within} << (top - 6);
}

int64_t LatencyBucketMiddle(int b) {
  if (b < kLatencyExact) return b;
  const int top = 7 + (b - kLatencyExact) / kLatencyPerDoubling;
  return LatencyBucketFloor(b) + (int64_t{1} << (top - 6)) / 2;
}

void LatencyCounts::Add(const LatencyHistogram& h) {
  for (int b = 0; b < kLatencyBuckets; ++b) {
    const uint64_t n = h.CountAt(b);
    counts[static_cast<size_t>(b)] += n;
    total += n;
  }
  max = std::max(max, h.Max());
}

void LatencyCounts::Add(const LatencyCounts& other) {
  for (size_t b = 0; b < counts.size(); ++b) counts[b] += other.counts[b];
  total += other.total;
  max = std::max(max, other.max);
}

int64_t LatencyCounts::Percentile(double p) const {
  if (total == 0) return 0;
  if (p >= 1) return max;
  // The rank of the sample that p of them do not exceed.
  const auto rank = std::max<uint64_t>(
      1, static_cast<uint64_t>(std::ceil(p * static_cast<double>(total))));
  uint64_t seen = 0;
  for (int b = 0; b < kLatencyBuckets; ++b) {
    seen += counts[static_cast<size_t>(b)];
    // A reader may see the counts a moment before the maximum, so the
    // maximum bounds what a bucket may claim.
    if (seen >= rank) return std::min(LatencyBucketMiddle(b), max);
  }
  return max;
}

std::string LatencyText(int64_t micros, bool any) {
  if (!any) return "-";
  if (micros < 1000) return std::to_string(micros) + "us";
  const bool ms = micros < 1000000;
  const double v = static_cast<double>(micros) / (ms ? 1e3 : 1e6);
  // Three figures at most: enough to compare, short enough to scan.
  char text[32];
  const int decimals = v < 10 ? 2 : v < 100 ? 1 : 0;
  std::snprintf(text, sizeof text, "%.*f%s", decimals, v, ms ? "ms" : "s");
  return text;
}

}  // namespace vorbex
