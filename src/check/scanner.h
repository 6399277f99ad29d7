#ifndef VORBEX_CHECK_SCANNER_H_
#define VORBEX_CHECK_SCANNER_H_

#include <cstdint>
#include <memory>

#include "check/block_facts.h"
#include "check/extent_maxima.h"
#include "check/power_cut_check.h"
#include "disk/block_state.h"
#include "disk/disk_handle.h"

namespace vorbex {

// The whole-target check. It reads the target once, front to back, lets
// every stamp of this target vouch for its own block, for the blocks of its
// write (its extent) and for the generations of its 128 neighbours, and
// verifies whatever some stamp vouches for. It rebuilds the disk's table
// from the stamps as it goes. Everything it knows besides the table lives
// here, and goes when the check ends.
class Scanner {
 public:
  // disk: open on the target for the check alone, with a buffer of one
  // chunk; it must be the only open disk of its target, and the calling
  // thread the only one that uses the target, until the check ends.
  // finders: threads that find what each block says of itself, the
  // check's own included; 0 for the check's own and a worker for each
  // processor beyond two (at most 15).
  // power_cut: a judge of every block the check would report, from a
  // journal of the run that wrote the target; null for none.
  explicit Scanner(TestDisk& disk, int32_t finders = 0,
                   PowerCutCheck* power_cut = nullptr);
  Scanner(const Scanner&) = delete;
  Scanner& operator=(const Scanner&) = delete;

  // Reads the whole target once, in chunks of the disk's buffer, rebuilds
  // the table from the stamps found there, and verifies every block that
  // some stamp vouches for. Throws Error: 11 when block 0 does not carry
  // block 0's stamp, or when mismatches were reported and errstop is set;
  // 87 when the chunk is too small for the window to hold a stamp's
  // neighbours; and whatever a read throws, at the point where the reads,
  // made in order, would throw it.
  void Run();

 private:
  void AdoptBlockZero();
  void AnalyseChunk(int32_t first, int32_t n, const uint8_t* data);
  void AnalyseBlock(int32_t first, int32_t index, const uint8_t* bytes);
  void ApplyExtent(const BlockFacts& facts);
  void ApplyNeighbours(int32_t blk, int32_t index, const BlockFacts& facts,
                       const uint8_t* bytes);
  void SettleExtents(int64_t first);
  void SettleWindow();
  void VerifyChunk(int32_t first, int32_t n, uint8_t* data);
  bool PassesOnFacts(int32_t blk, const BlockFacts& facts,
                     BlockState state) const;
  void RereadRechecks(int32_t first, int32_t end);
  void SlideWindow();
  VerifyPolicy Policy() const;

  // What the disk gives the check: constant while it runs.
  TestDisk& disk_;
  std::atomic<BlockState>* const states_;
  const int32_t chunk_;
  const int32_t blocks_;
  const int32_t finders_;
  const int32_t window_blocks_;  // three chunks
  PowerCutCheck* const power_cut_;

  // The window: what the valid stamps seen so far say about each block of
  // the chunk before the current one, the current one and the next, from
  // window_base_ on. extent_seqs_: the newest write whose extent covers the
  // block; map_seqs_: the newest write whose map named its generation.
  std::unique_ptr<int64_t[]> extent_seqs_;
  std::unique_ptr<int64_t[]> map_seqs_;
  // 1 for a block the check verified on its bytes and reported.
  std::unique_ptr<uint8_t[]> failed_;
  int32_t window_base_ = 0;
  ExtentMaxima extents_;

  // Extents applied to the window as it stands, so that the other blocks
  // of the same write skip the pass that would change nothing.
  struct AppliedExtent {
    int64_t write_seq = 0;
    int32_t base_blk = 0;
    int32_t end_blk = 0;
    int32_t window_base = 0;
  };
  std::unique_ptr<AppliedExtent[]> applied_;  // a fixed number of slots

  // The current chunk's facts, and which of its slots last applied its
  // neighbours, with what WriteSeq.
  std::unique_ptr<BlockFacts[]> facts_;
  int32_t mapped_index_ = -1;
  int64_t mapped_seq_ = 0;
};

}  // namespace vorbex

#endif  // VORBEX_CHECK_SCANNER_H_
