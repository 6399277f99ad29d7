#ifndef VORBEX_CHECK_POWER_CUT_CHECK_H_
#define VORBEX_CHECK_POWER_CUT_CHECK_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "check/block_facts.h"
#include "disk/disk_handle.h"
#include "journal/journal_reader.h"

namespace vorbex {

// What a check with a journal concluded, for the summary and the JSON
// report.
struct PowerCutFacts {
  std::string journal;
  int64_t writes_journalled = 0;
  int64_t flushes = 0;
  int64_t failed_flushes = 0;
  int64_t durable_writes = 0;
  int64_t writes_lost_after_flush = 0;
  int64_t blocks_lost_after_flush = 0;
  int64_t blocks_lost_from_cache = 0;
  int64_t torn_writes = 0;
  // Blocks the check would have reported but the journal allowed.
  int64_t allowed = 0;
  // How long before the journal's last record the oldest acknowledged
  // write that was lost had returned; negative when none was lost.
  double volatile_window_s = -1;
  double journal_reaches_s = 0;
  bool journal_cut_short = false;
};

// Holds the target to a run's journal during the whole-target check. The
// medium alone cannot say which writes the drive had promised to keep; the
// journal can: a write that returned before a flush that returned is
// durable, and must be on the medium (or a newer write of its blocks
// must); any other write may be lost at a cut. The check asks this judge
// about every block it would report.
//
// Keeps what it knows per block for the check's window of three chunks,
// and slides with it, so that its memory grows with the journal, never
// with the target. Used by the check's thread alone.
class PowerCutCheck final : public MismatchJudge {
 public:
  PowerCutCheck(journal::JournalContents contents, std::string name);

  // The DiskID the journal names: the target's, whatever block 0 says.
  uint32_t DiskID() const { return contents_.header.disk_id; }

  // --- For the check, in the order it calls them.

  // The check's chunk and the target's blocks; map_seqs and window_base
  // are the check's own, which it keeps current as it goes.
  void Begin(int32_t chunk, int32_t blocks, const int64_t* map_seqs,
             const int32_t* window_base);
  // The chunk of n blocks at first enters the check, with what each of
  // its blocks says of itself, before any stamp of it is applied.
  void EnterChunk(int64_t first, int32_t n, const BlockFacts* facts);
  // The newest durable write of block blk (in the window), or 0.
  int64_t DurableSeq(int64_t blk) const {
    return durable_seq_[static_cast<size_t>(blk - *window_base_)];
  }
  // The window moves on by one chunk.
  void Slide();

  Verdict Judge(int32_t blk, const BlockHeader& read, const BlockFinding& found,
                std::string* line) override;
  // Blocks judged so far, whatever the verdict.
  int64_t Judged() const { return judged_; }

  // --- After the check.

  PowerCutFacts Facts() const;
  // Every block judged allowed or lost after a flush, in order: what a
  // resume rewrites so that the next check finds the target consistent.
  std::vector<int32_t> LeftBehind() const;

 private:
  // Calls visit(record index, lo, hi) for each write record that covers
  // blocks lo ... hi - 1 of the chunk at first.
  template <typename Visit>
  void ForEachRecord(int64_t first, int32_t n, Visit visit);
  std::string DurableLine(int32_t record) const;

  // A write record as the check goes through them: in the order of the
  // chunk their first block lies in, so that a chunk's records are read in
  // one sweep.
  struct Write {
    int64_t write_seq = 0;
    int64_t returned_ns = 0;
    int32_t first = 0;
    int32_t count = 0;
    int32_t flush = -1;  // the flush that made it durable; -1: none
    uint8_t fate = 0;    // see below
  };

  journal::JournalContents contents_;  // its writes move into writes_
  const std::string name_;

  int32_t chunk_ = 0;
  int32_t blocks_ = 0;
  int32_t reach_ = 1;  // chunks a record may reach back from
  std::vector<Write> writes_;
  std::vector<int64_t> bucket_start_;  // into writes_, per chunk

  // The window, as the check's: per block, the newest durable write's
  // record (-1: none) and WriteSeq (0), and the newest journalled write's
  // WriteSeq (0).
  const int64_t* map_seqs_ = nullptr;
  const int32_t* window_base_ = nullptr;
  std::unique_ptr<int32_t[]> durable_;
  std::unique_ptr<int64_t[]> durable_seq_;
  std::unique_ptr<int64_t[]> newest_;
  // 1 for a block an earlier cut left behind, which the journalled run was
  // to write anew first.
  std::unique_ptr<uint8_t[]> left_behind_;

  // What became of a write: kLost (some block of it holds something older),
  // kKept (some block holds it), kLostAfterFlush (reported).
  enum : uint8_t { kLost = 1, kKept = 2, kLostAfterFlush = 4 };
  // Writes the journal never heard of that a cut tore.
  std::unordered_set<int64_t> torn_unjournalled_;
  std::vector<int32_t> left_;
  int64_t judged_ = 0;
  int64_t allowed_ = 0;
  int64_t durable_lost_blocks_ = 0;
  int64_t cache_lost_blocks_ = 0;
};

// The facts of the check with a journal that this process ran, once it
// has. Safe for concurrent use by multiple threads.
void PublishPowerCutFacts(const PowerCutFacts& facts);
std::optional<PowerCutFacts> PublishedPowerCutFacts();

}  // namespace vorbex

#endif  // VORBEX_CHECK_POWER_CUT_CHECK_H_
