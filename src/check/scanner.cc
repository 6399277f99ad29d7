// The whole-target check. The analysis must keep up with the device, so the
// next chunk is read on a second thread while the current one is analysed,
// what each block says about itself alone is found on every core at once,
// and work whose outcome is already known is skipped. Only the steps whose
// outcome depends on the order of the stamps run on one thread, in block
// order, so the table, the reports and their order are those of a check
// that did everything itself.
//
// A chunk's buffer goes back to the reader with every block's first word
// poisoned, so that a block the device never delivers cannot pass for the
// one read there before: the finders poison each block as they take its
// facts, and a block judged on its bytes gets its first word back for as
// long as that takes.

#include "check/scanner.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <thread>

#include "base/error.h"
#include "base/flags.h"
#include "check/chunk_reader.h"
#include "disk/block_format.h"
#include "disk/block_stores.h"
#include "disk/stamp_checksum.h"
#include "platform/error_codes.h"

namespace vorbex {
namespace {

// A power of two; a write of the catalogue leaves at most a few hundred
// distinct extents in a window, so collisions are rare, and one costs only a
// pass that changes nothing.
constexpr int32_t kAppliedExtentSlots = 4096;

// The WriteSeq counter is raised past every valid stamp, but a damaged stamp
// may claim any value, and the counter must still count on without
// overflowing: past this it stops, with 2^61 writes to go. It lies above
// 2^62, so a stamp with that one bit flipped is still passed, and later
// writes stay newer than it.
constexpr int64_t kMaxStampedWriteSeq =
    std::numeric_limits<int64_t>::max() - (int64_t{1} << 61);

// Workers for the processors that neither the check's own thread nor its
// reader keeps busy: on two processors a worker only took turns with the
// reader, and the check ran slower than with none. Past a few, the one
// thread's ordered steps set the pace.
int32_t DefaultFinderWorkers() {
  constexpr int32_t kMostWorkers = 15;
  const auto processors = static_cast<int32_t>(
      std::min<unsigned>(std::thread::hardware_concurrency(), 64));
  return std::clamp(processors - 2, 0, kMostWorkers);
}

uint32_t ExtentSlot(int64_t write_seq) {
  // Consecutive values land far apart.
  const uint64_t h = static_cast<uint64_t>(write_seq) * 0x9E3779B97F4A7C15u;
  return static_cast<uint32_t>(h >> 52) & (kAppliedExtentSlots - 1);
}

// The check is the only thread that touches the table, so plain loads and
// stores of whole entries do.
void AddFlags(std::atomic<BlockState>& cell, BlockState flags) {
  cell.store(cell.load(std::memory_order_relaxed) | flags,
             std::memory_order_relaxed);
}

}  // namespace

Scanner::Scanner(TestDisk& disk, int32_t finders, PowerCutCheck* power_cut)
    : disk_(disk),
      states_(disk.Table->States.get()),
      chunk_(disk.BufferBlocks),
      blocks_(disk.BlockCount),
      finders_(finders),
      window_blocks_(3 * chunk_),
      power_cut_(power_cut),
      extent_seqs_(
          std::make_unique<int64_t[]>(static_cast<size_t>(window_blocks_))),
      map_seqs_(
          std::make_unique<int64_t[]>(static_cast<size_t>(window_blocks_))),
      failed_(std::make_unique<uint8_t[]>(static_cast<size_t>(window_blocks_))),
      extents_(chunk_),
      applied_(std::make_unique<AppliedExtent[]>(kAppliedExtentSlots)),
      facts_(std::make_unique<BlockFacts[]>(static_cast<size_t>(chunk_))) {}

void Scanner::Run() {
  // A stamp's neighbours reach 64 blocks either side, and the window holds
  // one chunk either side of the current one.
  if (chunk_ < kSelfEntry) throw Error(platform::kErrorInvalidParameter);
  AdoptBlockZero();
  if (power_cut_ != nullptr) {
    power_cut_->Begin(chunk_, blocks_, map_seqs_.get(), &window_base_);
  }

  ChunkReader reader(disk_.env(), disk_.Handle.get(), chunk_, blocks_,
                     disk_.Counts);
  FactFinder finder(finders_ > 0 ? finders_ - 1 : DefaultFinderWorkers());
  try {
    for (int64_t c = 0; c < blocks_; c += chunk_) {
      const auto first = static_cast<int32_t>(c);
      const auto n =
          static_cast<int32_t>(std::min<int64_t>(chunk_, blocks_ - c));
      // Read early, but no block of a chunk is Seen before its analysis, so
      // reading it verified nothing that reading it now would have.
      const ChunkReader::Chunk read = reader.Next();
      ChunkReader::Check(read);
      disk_.CountTransfer(read.rc, read.moved, read.length, false);
      TestDisk::CheckTransfer(read.rc, read.moved, read.length);

      finder.Find(read.data, first, n, disk_.Table->DiskID, blocks_,
                  facts_.get());
      if (power_cut_ != nullptr) {
        power_cut_->EnterChunk(first, n, facts_.get());
      }
      AnalyseChunk(first, n, read.data);
      SettleExtents(first);
      VerifyChunk(first, n, read.data);
      if (c != 0) {
        // No stamp from here on reaches back into the chunk before this
        // one, so what it must carry is known now.
        SettleExtents(window_base_);
        RereadRechecks(window_base_, first);
        SlideWindow();
      }
    }
  } catch (...) {
    // What the extents claim is in the table, as far as the check got.
    SettleWindow();
    throw;
  }
  RereadRechecks(window_base_, blocks_);
  if (disk_.Mismatches != 0 && g_flags.errstop != 0) {
    throw Error(platform::kErrorBadFormat);
  }
}

// Every run stamps block 0 anew, so its DiskID is the target's, and stamps
// with any other are not this target's.
void Scanner::AdoptBlockZero() {
  disk_.ReadRange(0, 1);
  // The journal names the target, and a block 0 that the cut took is
  // held to it like any other block.
  if (power_cut_ != nullptr) {
    disk_.Table->DiskID = power_cut_->DiskID();
    return;
  }
  const BlockHeader zero = LoadHeader(disk_.Buffer);
  // A damaged block 0 may name any DiskID, and the check would then hold
  // every stamp of the target to another's.
  if (zero.Blkno != 0 || zero.Magic != kMagic ||
      CheckChecksum(disk_.Buffer, zero).kind == ChecksumVerdict::kBad) {
    throw Error(platform::kErrorBadFormat);
  }
  disk_.Table->DiskID = zero.DiskID;
}

void Scanner::AnalyseChunk(int32_t first, int32_t n, const uint8_t* data) {
  mapped_index_ = -1;
  for (int32_t i = 0; i < n; ++i) {
    AnalyseBlock(first, i, data + static_cast<size_t>(i) * kBlockSize);
  }
}

// Applies what the block in slot index of the chunk that starts at first
// says about itself, its extent and its neighbours.
void Scanner::AnalyseBlock(int32_t first, int32_t index, const uint8_t* bytes) {
  const BlockFacts& facts = facts_[index];
  const int32_t blk = first + index;
  AddFlags(states_[blk], kSeen);
  if ((facts.flags & BlockFacts::kStamped) == 0) return;
  AddFlags(states_[blk], kRecheck);
  if ((facts.flags & BlockFacts::kSane) == 0) return;

  ApplyExtent(facts);
  ApplyNeighbours(blk, index, facts, bytes);
  BlockStateTable& table = *disk_.Table;
  if (facts.write_seq >= table.WriteSeq) {
    table.WriteSeq = std::min(facts.write_seq, kMaxStampedWriteSeq) + 1;
  }
}

// Every block of the write must carry at least this WriteSeq. Every block
// of one write names the same extent, so it is applied once.
void Scanner::ApplyExtent(const BlockFacts& facts) {
  const int64_t w = facts.write_seq;
  AppliedExtent& applied = applied_[ExtentSlot(w)];
  if (applied.write_seq == w && applied.base_blk == facts.base_blk &&
      applied.end_blk == facts.end_blk && applied.window_base == window_base_) {
    return;
  }
  const int64_t lo = std::max<int64_t>(facts.base_blk, window_base_);
  const int64_t hi =
      std::min<int64_t>(facts.end_blk, int64_t{window_base_} + window_blocks_);
  if (lo < hi) extents_.Raise(lo, hi, w);
  applied = AppliedExtent{w, facts.base_blk, facts.end_blk, window_base_};
}

// The newest stamp around a block says which generation it must carry. The
// previous block of the same write carries the same map shifted by one; it
// has applied every entry this block shares with it, leaving each of those
// blocks' map_seqs_ at least w, so only the entry that is new here can
// change anything.
//
// An entry of 0 says nothing about a neighbour (another writer held it, or
// it was never written), but a block's own entry is its generation, and a
// generation that wrapped to 0 must still outvote older stamps that
// remember 0xffff. The two entries every block applies come from its facts,
// so that a block whose previous one took the rest leaves its bytes
// untouched.
void Scanner::ApplyNeighbours(int32_t blk, int32_t index,
                              const BlockFacts& facts, const uint8_t* bytes) {
  const int64_t w = facts.write_seq;
  const auto apply = [&](int k) {
    const int64_t d = int64_t{blk} - kSelfEntry + k;
    const uint16_t entry = k == kSelfEntry        ? facts.own_entry
                           : k == kNeighbours - 1 ? facts.last_entry
                                                  : NeighbourEntry(bytes, k);
    if (d < 0 || d >= blocks_) return;
    if (entry == 0 && (k != kSelfEntry || facts.seq != 0)) return;
    int64_t& map_seq = map_seqs_[d - window_base_];
    if (w <= map_seq) return;
    BlockState s = states_[d].load(std::memory_order_relaxed);
    if (SeqOf(s) != entry) s |= kRecheck;
    states_[d].store(WithSeq(s, entry), std::memory_order_relaxed);
    map_seq = w;
  };
  int k = 0;
  if (index > 0 && mapped_index_ == index - 1 && mapped_seq_ == w &&
      (facts.flags & BlockFacts::kMapFollows) != 0) {
    // The previous block took this block's entry for a neighbour's.
    apply(kSelfEntry);
    k = kNeighbours - 1;
  }
  for (; k < kNeighbours && int64_t{blk} - kSelfEntry + k < blocks_; ++k) {
    apply(k);
  }
  mapped_index_ = index;
  mapped_seq_ = w;
}

// Puts what the extents applied so far claim for the chunk that starts at
// first (a multiple of the chunk in the window) into the window and the
// table: a block that must carry a newer WriteSeq than its entry says is
// marked Recheck.
void Scanner::SettleExtents(int64_t first) {
  if (first >= blocks_) return;
  const auto count =
      static_cast<int32_t>(std::min<int64_t>(chunk_, blocks_ - first));
  int64_t* extent_seqs = extent_seqs_.get() + (first - window_base_);
  const auto raise = [&](int32_t i, int64_t w) {
    if (w <= extent_seqs[i]) return;
    extent_seqs[i] = w;
    AddFlags(states_[first + i], kRecheck);
  };
  extents_.SettleChunk(first / chunk_, count, raise);
  // A durable write must be there even when no stamp names it any more.
  if (power_cut_ != nullptr) {
    for (int32_t i = 0; i < count; ++i) raise(i, power_cut_->DurableSeq(first + i));
  }
}

void Scanner::SettleWindow() {
  for (int32_t k = 0; k < 3; ++k) {
    SettleExtents(window_base_ + k * static_cast<int64_t>(chunk_));
  }
}

void Scanner::VerifyChunk(int32_t first, int32_t n, uint8_t* data) {
  const VerifyPolicy policy = Policy();
  for (int32_t i = 0; i < n; ++i) {
    const int32_t blk = first + i;
    const BlockState state = states_[blk].load(std::memory_order_relaxed);
    disk_.RangeStates[i] = state;
    const BlockFacts& facts = facts_[i];
    if (PassesOnFacts(blk, facts, state)) {
      disk_.VerifyBlock(first, i, n, data, policy, true);
    } else if ((state & (kRecheck | kWritten)) == 0) {
      // Neither marked nor trusted: its bytes are not looked at.
      disk_.VerifyBlock(first, i, n, data, policy);
    } else {
      uint8_t* bytes = data + static_cast<size_t>(i) * kBlockSize;
      std::memcpy(bytes, &facts.first_word, sizeof facts.first_word);
      const int32_t reported = disk_.Mismatches;
      const int64_t judged = power_cut_ != nullptr ? power_cut_->Judged() : 0;
      disk_.VerifyBlock(first, i, n, data, policy);
      if (disk_.Mismatches != reported ||
          (power_cut_ != nullptr && power_cut_->Judged() != judged)) {
        failed_[blk - window_base_] = 1;
      }
      PoisonBlocks(bytes, 1);
    }
  }
  disk_.FlushVerified();
}

// The judgement of the block's bytes, from its facts alone, for the one
// case the check meets nearly always: a block intact in itself, not stamped
// by this run, whose WriteSeq and Seq are the ones expected. True only when
// the bytes would pass; false says nothing. While the check runs alone, a
// block's entry before its read is also its entry now.
bool Scanner::PassesOnFacts(int32_t blk, const BlockFacts& facts,
                            BlockState state) const {
  if ((facts.flags & BlockFacts::kIntact) == 0 || (state & kThisRun) != 0) {
    return false;
  }
  uint16_t e = SeqOf(state);
  if ((state & kBusy) != 0) ++e;
  return facts.write_seq == extent_seqs_[blk - window_base_] &&
         facts.seq == ExpectedSeq(facts.seq, SeqOf(state), e, facts.own_entry);
}

// Reads again and verifies every block from first to end - 1 marked
// Recheck, in runs of at most a chunk.
void Scanner::RereadRechecks(int32_t first, int32_t end) {
  // A block reported once is not read again: a stamp after it that names
  // it would only report the same damage twice.
  const auto marked = [this](int64_t b) {
    const BlockState s = states_[b].load(std::memory_order_relaxed);
    if ((s & kRecheck) == 0) return false;
    if (failed_[b - window_base_] == 0) return true;
    states_[b].store(s & ~kRecheck, std::memory_order_relaxed);
    return false;
  };
  int64_t a = first;
  while (a < end) {
    if (!marked(a)) {
      ++a;
      continue;
    }
    int32_t run = 1;
    while (run < chunk_ && a + run < end && marked(a + run)) ++run;
    disk_.ReadRange(static_cast<int32_t>(a), run, Policy());
    a += run;
  }
}

// The chunk before the current one leaves the window, and the one after
// the next enters it.
void Scanner::SlideWindow() {
  const auto two = 2 * static_cast<size_t>(chunk_);
  const auto one = static_cast<size_t>(chunk_);
  for (int64_t* seqs : {extent_seqs_.get(), map_seqs_.get()}) {
    std::memmove(seqs, seqs + one, sizeof(int64_t) * two);
    std::fill(seqs + two, seqs + two + one, 0);
  }
  std::memmove(failed_.get(), failed_.get() + one, two);
  std::fill(failed_.get() + two, failed_.get() + two + one, 0);
  window_base_ += chunk_;
  extents_.Forget(window_base_ / chunk_ + 2);
  if (power_cut_ != nullptr) power_cut_->Slide();
}

VerifyPolicy Scanner::Policy() const {
  VerifyPolicy policy;
  policy.write_seqs = extent_seqs_.get();
  policy.write_seqs_from = window_base_;
  // The check counts its mismatches and decides at its end.
  policy.errstop_ends_process = false;
  policy.judge = power_cut_;
  return policy;
}

}  // namespace vorbex
