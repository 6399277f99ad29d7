#include "check/power_cut_check.h"

#include <algorithm>
#include <cinttypes>
#include <cstring>
#include <mutex>
#include <utility>

#include "base/console.h"
#include "base/text.h"

namespace vorbex {
namespace {

// Whether read differs from expected only in what a block that kept an
// older write of its own differs in: which write it carries and which
// generation. Anything else says the block is damaged, not stale.
bool OnlyStale(const BlockHeader& read, const BlockHeader& expected) {
  BlockHeader a = read;
  a.WriteSeq = expected.WriteSeq;
  a.Seq = expected.Seq;
  a.Fill = expected.Fill;
  return read.WriteSeq <= expected.WriteSeq &&
         std::memcmp(&a, &expected, sizeof a) == 0 &&
         (read.Fill & 0xFF) == FillByte(read.Seq, read.Blkno);
}

double Seconds(int64_t ns) { return static_cast<double>(ns) / 1e9; }

// Published once, by the check on the main thread; read by whoever ends
// the process, which may be any thread.
std::mutex g_published_mu;
std::optional<PowerCutFacts> g_published;

}  // namespace

PowerCutCheck::PowerCutCheck(journal::JournalContents contents,
                             std::string name)
    : contents_(std::move(contents)), name_(std::move(name)) {}

void PowerCutCheck::Begin(int32_t chunk, int32_t blocks,
                          const int64_t* map_seqs, const int32_t* window_base) {
  chunk_ = chunk;
  blocks_ = blocks;
  map_seqs_ = map_seqs;
  window_base_ = window_base;
  const auto window = static_cast<size_t>(3) * static_cast<size_t>(chunk);
  durable_ = std::make_unique<int32_t[]>(window);
  std::fill(durable_.get(), durable_.get() + window, -1);
  durable_seq_ = std::make_unique<int64_t[]>(window);
  newest_ = std::make_unique<int64_t[]>(window);
  left_behind_ = std::make_unique<uint8_t[]>(window);
  std::sort(
      contents_.left_behind.begin(), contents_.left_behind.end(),
      [](const journal::LeftBehindRecord& a,
         const journal::LeftBehindRecord& b) { return a.first < b.first; });

  // A counting sort by the chunk each write begins in: two passes, however
  // long the journal.
  const std::vector<int32_t> flush_of = journal::DurableFlushes(contents_);
  const auto chunks = static_cast<size_t>(blocks / chunk + 1);
  bucket_start_.assign(chunks + 1, 0);
  int32_t longest = 1;
  for (const journal::WriteRecord& w : contents_.writes) {
    ++bucket_start_[static_cast<size_t>(w.first / chunk) + 1];
    longest = std::max(longest, w.count);
  }
  for (size_t c = 1; c <= chunks; ++c) bucket_start_[c] += bucket_start_[c - 1];
  writes_.resize(contents_.writes.size());
  std::vector<int64_t> next(bucket_start_.begin(), bucket_start_.end() - 1);
  for (size_t i = 0; i < contents_.writes.size(); ++i) {
    const journal::WriteRecord& w = contents_.writes[i];
    const auto c = static_cast<size_t>(w.first / chunk);
    writes_[static_cast<size_t>(next[c]++)] =
        Write{w.write_seq, w.returned_ns, w.first, w.count, flush_of[i], 0};
  }
  contents_.writes = std::vector<journal::WriteRecord>();
  reach_ = (longest + chunk - 1) / chunk;
}

template <typename Visit>
void PowerCutCheck::ForEachRecord(int64_t first, int32_t n, Visit visit) {
  const int64_t c = first / chunk_;
  const int64_t end = first + n;
  for (int64_t from = std::max<int64_t>(0, c - reach_); from <= c; ++from) {
    const auto bucket = static_cast<size_t>(from);
    if (bucket + 1 >= bucket_start_.size()) break;
    for (int64_t k = bucket_start_[bucket]; k < bucket_start_[bucket + 1];
         ++k) {
      Write& w = writes_[static_cast<size_t>(k)];
      const int64_t lo = std::max<int64_t>(w.first, first);
      const int64_t hi = std::min<int64_t>(int64_t{w.first} + w.count, end);
      if (lo < hi) visit(static_cast<int32_t>(k), w, lo, hi);
    }
  }
}

void PowerCutCheck::EnterChunk(int64_t first, int32_t n,
                               const BlockFacts* facts) {
  // What each block carries: the WriteSeq of a sound stamp of this target,
  // else -1, which is older than any write.
  const auto carried = [&](int64_t b) {
    const BlockFacts& f = facts[b - first];
    return (f.flags & BlockFacts::kSane) != 0 ? f.write_seq : int64_t{-1};
  };
  const int64_t base = *window_base_;
  ForEachRecord(first, n, [&](int32_t r, Write& w, int64_t lo, int64_t hi) {
    const int64_t seq = w.write_seq;
    const bool durable = w.flush >= 0;
    for (int64_t b = lo; b < hi; ++b) {
      const auto i = static_cast<size_t>(b - base);
      newest_[i] = std::max(newest_[i], seq);
      if (durable && durable_seq_[i] < seq) {
        durable_seq_[i] = seq;
        durable_[i] = r;
      }
      const int64_t m = carried(b);
      if (m < seq) w.fate |= kLost;
      if (m == seq) w.fate |= kKept;
    }
  });
  const std::vector<journal::LeftBehindRecord>& left = contents_.left_behind;
  auto range =
      std::lower_bound(left.begin(), left.end(), first,
                       [](const journal::LeftBehindRecord& r, int64_t at) {
                         return int64_t{r.first} + r.count <= at;
                       });
  for (; range != left.end() && range->first < first + n; ++range) {
    const int64_t lo = std::max<int64_t>(range->first, first);
    const int64_t hi =
        std::min<int64_t>(int64_t{range->first} + range->count, first + n);
    for (int64_t b = lo; b < hi; ++b) left_behind_[b - base] = 1;
  }
  for (int64_t b = first; b < first + n; ++b) {
    const auto i = static_cast<size_t>(b - base);
    // It lacks a write that returned, and still holds the durable one.
    const int64_t m = carried(b);
    const int64_t durable = durable_seq_[i];
    if (m < newest_[i] && (durable == 0 || m >= durable)) ++cache_lost_blocks_;
  }
}

void PowerCutCheck::Slide() {
  const auto one = static_cast<size_t>(chunk_);
  const size_t two = 2 * one;
  std::memmove(durable_.get(), durable_.get() + one, sizeof(int32_t) * two);
  std::fill(durable_.get() + two, durable_.get() + two + one, -1);
  std::memmove(durable_seq_.get(), durable_seq_.get() + one,
               sizeof(int64_t) * two);
  std::fill(durable_seq_.get() + two, durable_seq_.get() + two + one, 0);
  std::memmove(newest_.get(), newest_.get() + one, sizeof(int64_t) * two);
  std::fill(newest_.get() + two, newest_.get() + two + one, 0);
  std::memmove(left_behind_.get(), left_behind_.get() + one, two);
  std::fill(left_behind_.get() + two, left_behind_.get() + two + one, 0);
}

MismatchJudge::Verdict PowerCutCheck::Judge(int32_t blk,
                                            const BlockHeader& read,
                                            const BlockFinding& found,
                                            std::string* line) {
  ++judged_;
  const auto i = static_cast<size_t>(blk - *window_base_);
  const int32_t d = durable_[i];
  const int64_t durable = DurableSeq(blk);
  const int64_t newest = newest_[i];
  const int64_t run_first = contents_.header.first_write_seq;
  const int64_t expected = found.expected.WriteSeq;

  Verdict v = kReport;
  if (found.kind == BlockFinding::kHeader && OnlyStale(read, found.expected)) {
    // An older stamp of this target where a newer write belongs.
    const int64_t m = read.WriteSeq;
    if (d >= 0 && m < durable) {
      v = kDurableLost;
    } else if ((expected > m && expected >= run_first) || newest > m ||
               (read.Seq != found.expected.Seq && map_seqs_[i] >= run_first)) {
      // Whatever write it lacks came after the newest durable one it
      // carries, and belongs to the journalled run.
      v = kAllowed;
      if (expected > m && expected > newest && expected >= run_first) {
        torn_unjournalled_.insert(expected);
      }
    }
  } else if (d >= 0) {
    // Damaged or foreign where a durable write belongs: lost, unless a
    // newer write that was never made durable was on its way to the block
    // when the power went, and tore it.
    v = newest > durable ? kAllowed : kDurableLost;
  } else if (newest > 0 || expected >= run_first) {
    v = kAllowed;
  }

  // What an earlier cut left here, until a durable write of this run
  // replaced it: the journalled run was rewriting it.
  if (v == kReport && d < 0 && left_behind_[i] != 0) v = kAllowed;
  if (v == kAllowed) ++allowed_;
  if (v == kReport) return v;
  left_.push_back(blk);
  if (v == kDurableLost) {
    ++durable_lost_blocks_;
    writes_[static_cast<size_t>(d)].fate |= kLostAfterFlush;
    *line = DurableLine(d);
  }
  return v;
}

std::string PowerCutCheck::DurableLine(int32_t record) const {
  const Write& w = writes_[static_cast<size_t>(record)];
  const journal::FlushRecord& f =
      contents_.flushes[static_cast<size_t>(w.flush)];
  const int64_t at_ns = contents_.header.began_unix_ns + f.returned_ns;
  std::string when = TimeOf(at_ns / 1'000'000'000).c_str();
  if (!when.empty() && when.back() == '\n') when.pop_back();
  std::string out;
  Appendf(&out,
          "\tLost after a flush: WriteSeq %" PRIx64
          " (blocks %d-%d), durable since its flush returned at %s, %.3f s "
          "into the journal\n",
          static_cast<uint64_t>(w.write_seq), static_cast<int>(w.first),
          static_cast<int>(w.first + w.count - 1), when.c_str(),
          Seconds(f.returned_ns));
  return out;
}

PowerCutFacts PowerCutCheck::Facts() const {
  PowerCutFacts facts;
  facts.journal = name_;
  facts.writes_journalled = static_cast<int64_t>(writes_.size());
  for (const journal::FlushRecord& f : contents_.flushes) {
    ++facts.flushes;
    if (f.result != 0) ++facts.failed_flushes;
  }
  int64_t oldest_lost = -1;
  for (const Write& w : writes_) {
    if (w.flush >= 0) ++facts.durable_writes;
    const uint8_t fate = w.fate;
    if ((fate & kLostAfterFlush) != 0) ++facts.writes_lost_after_flush;
    if ((fate & kLost) != 0 && (fate & kKept) != 0) ++facts.torn_writes;
    if ((fate & kLost) != 0) {
      const int64_t t = w.returned_ns;
      if (oldest_lost < 0 || t < oldest_lost) oldest_lost = t;
    }
  }
  facts.torn_writes += static_cast<int64_t>(torn_unjournalled_.size());
  facts.blocks_lost_after_flush = durable_lost_blocks_;
  facts.blocks_lost_from_cache = cache_lost_blocks_;
  facts.allowed = allowed_;
  if (oldest_lost >= 0) {
    facts.volatile_window_s = Seconds(contents_.last_ns - oldest_lost);
  }
  facts.journal_reaches_s = Seconds(contents_.last_ns);
  facts.journal_cut_short = contents_.cut_short;
  return facts;
}

std::vector<int32_t> PowerCutCheck::LeftBehind() const {
  std::vector<int32_t> left = left_;
  std::sort(left.begin(), left.end());
  left.erase(std::unique(left.begin(), left.end()), left.end());
  return left;
}

void PublishPowerCutFacts(const PowerCutFacts& facts) {
  std::lock_guard<std::mutex> hold(g_published_mu);
  g_published = facts;
}

std::optional<PowerCutFacts> PublishedPowerCutFacts() {
  std::lock_guard<std::mutex> hold(g_published_mu);
  return g_published;
}

}  // namespace vorbex
