#include "disk/stalls.h"

#include <algorithm>
#include <mutex>
#include <new>

namespace vorbex {
namespace {

// How often a stall that stays out is warned of again.
constexpr int64_t kWarnAgainNs = int64_t{60} * 1000 * 1000 * 1000;

// Stalls are rare; the lock makes a slot's mark and its record one step,
// so the owner of a returning transfer always finds the record the watch
// made for it. Never destroyed: the summary of a process that is ending
// may read it from any thread.
struct Log {
  std::mutex lock;  // guards the rest
  std::vector<StallRecord> records;
  std::vector<size_t> returned;  // records returned and not yet told
};

Log& TheLog() {
  static Log* const log = new Log;
  return *log;
}

}  // namespace

StallNews LookForStalls(int64_t now_ns, int64_t limit_ns) {
  StallNews news;
  Log& log = TheLog();
  std::lock_guard<std::mutex> hold(log.lock);
  const int claimed = ClaimedCounters();
  for (int i = 0; i < claimed; ++i) {
    TransferCounters& counts = WatchedCountersAt(i);
    for (OutstandingTransfer& slot : counts.Outstanding) {
      uint8_t state = slot.state.load(std::memory_order_acquire);
      if (state == OutstandingTransfer::kIdle) continue;
      const int64_t since = slot.since_ns.load(std::memory_order_relaxed);
      if (now_ns - since < limit_ns) continue;
      StallRecord r;
      r.TestCode = counts.TestCode.load(std::memory_order_relaxed);
      r.Write = slot.write.load(std::memory_order_relaxed);
      r.First = slot.first.load(std::memory_order_relaxed);
      r.Blocks = slot.blocks.load(std::memory_order_relaxed);
      r.SinceNs = since;
      r.Slot = &slot;
      if (state == OutstandingTransfer::kOut) {
        if (!slot.state.compare_exchange_strong(
                state, OutstandingTransfer::kStalled)) {
          continue;  // it returned just now
        }
        TransferCounters::Add(counts.Stalls, 1);
        slot.warned_ns = now_ns;
        try {
          log.records.push_back(r);
        } catch (const std::bad_alloc&) {
          // The warning and the count still tell of it.
        }
        news.Began.push_back(r);
      } else if (now_ns - slot.warned_ns >= kWarnAgainNs) {
        slot.warned_ns = now_ns;
        news.Again.push_back(r);
      }
    }
  }
  for (const size_t k : log.returned) news.Returned.push_back(log.records[k]);
  log.returned.clear();
  return news;
}

void StallReturned(const OutstandingTransfer* slot, int64_t duration_ns) {
  Log& log = TheLog();
  std::lock_guard<std::mutex> hold(log.lock);
  for (size_t k = log.records.size(); k-- > 0;) {
    StallRecord& r = log.records[k];
    if (r.Slot != slot || r.DurationNs >= 0) continue;
    r.DurationNs = duration_ns;
    r.Slot = nullptr;
    try {
      log.returned.push_back(k);
    } catch (const std::bad_alloc&) {
      // Its record says how long it took.
    }
    return;
  }
}

std::vector<StallRecord> RecordedStalls() {
  Log& log = TheLog();
  std::lock_guard<std::mutex> hold(log.lock);
  return log.records;
}

int64_t LongestOutstanding(int64_t now_ns) {
  int64_t longest = 0;
  const int claimed = ClaimedCounters();
  for (int i = 0; i < claimed; ++i) {
    for (const OutstandingTransfer& slot : CountersAt(i).Outstanding) {
      if (slot.state.load(std::memory_order_acquire) ==
          OutstandingTransfer::kIdle) {
        continue;
      }
      longest = std::max(
          longest, now_ns - slot.since_ns.load(std::memory_order_relaxed));
    }
  }
  return longest;
}

}  // namespace vorbex
