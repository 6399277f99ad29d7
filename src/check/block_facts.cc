#include "check/block_facts.h"

#include <cstring>
#include <system_error>
#include <utility>

#include "disk/block_format.h"
#include "disk/block_stores.h"
#include "disk/disk_handle.h"

namespace vorbex {
namespace {

// Share number share of shares equal shares of n blocks.
std::pair<int32_t, int32_t> ShareOf(int32_t n, int32_t share, int32_t shares) {
  return {static_cast<int32_t>(int64_t{n} * share / shares),
          static_cast<int32_t>(int64_t{n} * (share + 1) / shares)};
}

}  // namespace

BlockFacts FactsOf(uint8_t* bytes, int32_t index, int32_t blk, uint32_t disk_id,
                   int32_t block_count) {
  const BlockView view = ViewOf(bytes, blk);
  PoisonBlocks(bytes, 1);
  const BlockHeader& h = view.header;
  BlockFacts f;
  f.write_seq = h.WriteSeq;
  f.base_blk = h.BaseBlk;
  f.end_blk = h.EndBlk;
  f.seq = h.Seq;
  f.first_word = h.Magic;
  f.own_entry = view.own_entry;
  f.last_entry = NeighbourEntry(bytes, kNeighbours - 1);
  // Only a checksum can tell a stamp of this target whose Magic or DiskID is
  // damaged from another target's; such a stamp is reported like any other
  // damaged one.
  const bool whole_name = h.Magic == kMagic && h.DiskID == disk_id;
  if (whole_name || ChecksumNamesOwner(bytes, disk_id)) {
    f.flags |= BlockFacts::kStamped;
  }
  // A stamp that is not what its writer wrote vouches for nothing, not even
  // for its own block: the check holds it to no one and reports it.
  if (whole_name && view.checksum.kind != ChecksumVerdict::kBad &&
      h.Blkno == blk && h.BaseBlk >= 0 && h.EndBlk <= block_count &&
      h.BaseBlk <= h.Blkno && h.Blkno < h.EndBlk) {
    f.flags |= BlockFacts::kSane;
    const uint8_t* map = bytes + kMapOffset;
    if (index > 0 && std::memcmp(map, map - kBlockSize + sizeof(uint16_t),
                                 (kNeighbours - 1) * sizeof(uint16_t)) == 0) {
      f.flags |= BlockFacts::kMapFollows;
    }
    if ((h.Fill & 0xFFu) == FillByte(h.Seq, blk) &&
        view.fill_difference == kFillBytes) {
      f.flags |= BlockFacts::kIntact;
    }
  }
  return f;
}

FactFinder::FactFinder(int32_t workers) {
  // Before any thread starts: a vector that failed to grow with threads
  // in it would end the process.
  threads_.reserve(static_cast<size_t>(workers));
  try {
    for (int32_t i = 0; i < workers; ++i) {
      threads_.emplace_back([this, i] { Work(i + 1); });
    }
  } catch (const std::system_error&) {
    // Fewer workers find the same facts.
  }
}

FactFinder::~FactFinder() {
  {
    std::lock_guard<std::mutex> hold(mu_);
    quit_ = true;
  }
  wake_.notify_all();
  for (std::thread& t : threads_) t.join();
}

void FactFinder::Find(uint8_t* bytes, int32_t first, int32_t n,
                      uint32_t disk_id, int32_t block_count,
                      BlockFacts* facts) {
  const Job job{bytes, first, n, disk_id, block_count, facts};
  {
    std::lock_guard<std::mutex> hold(mu_);
    job_ = job;
    pending_ = static_cast<int32_t>(threads_.size());
    ++generation_;
  }
  wake_.notify_all();
  FindShare(job, 0);
  std::unique_lock<std::mutex> hold(mu_);
  done_.wait(hold, [this] { return pending_ == 0; });
}

void FactFinder::FindShare(const Job& job, int32_t share) const {
  const auto [begin, end] = ShareOf(job.n, share, Shares());
  for (int32_t i = begin; i < end; ++i) {
    job.facts[i] = FactsOf(job.bytes + static_cast<size_t>(i) * kBlockSize, i,
                           job.first + i, job.disk_id, job.block_count);
  }
}

void FactFinder::Work(int32_t share) {
  int64_t seen = 0;
  std::unique_lock<std::mutex> hold(mu_);
  for (;;) {
    wake_.wait(hold, [&] { return quit_ || generation_ != seen; });
    if (quit_) return;
    seen = generation_;
    const Job job = job_;
    hold.unlock();
    FindShare(job, share);
    hold.lock();
    if (--pending_ == 0) done_.notify_one();
  }
}

}  // namespace vorbex
