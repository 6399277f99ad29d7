#ifndef VORBEX_CHECK_BLOCK_FACTS_H_
#define VORBEX_CHECK_BLOCK_FACTS_H_

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

namespace vorbex {

// What the start-up check learns from one block's bytes alone, before it
// looks at any other block's stamp or the table; found for a whole chunk at
// once, on several threads. Small, so that a chunk's facts stay in the
// cache of the thread that goes through them in order. The block's first
// word is kept because the check reuses it as soon as the facts are found;
// the rest of its bytes stay where they were read, for the few blocks
// that need them.
struct BlockFacts {
  enum Flag : uint8_t {
    kStamped = 1,     // this target's Magic and DiskID
    kSane = 2,        // whole as its checksum says, if it has one, and its
                      // own Blkno, inside an extent inside the target
    kMapFollows = 4,  // its map is the previous slot's, shifted by one
    kIntact = 8,      // sane, and its fill byte and fill as its Seq says
  };
  int64_t write_seq = 0;
  int32_t base_blk = 0;
  int32_t end_blk = 0;
  uint32_t seq = 0;
  uint32_t first_word = 0;  // its Magic as read
  uint16_t own_entry = 0;
  uint16_t last_entry = 0;  // the map's entry for the farthest neighbour
  uint8_t flags = 0;
};

// What the block at bytes, in slot index of its chunk, read as block blk,
// says about itself alone. Its first word is then poisoned for the next
// transfer into the slot, while its line is still in this thread's cache;
// the facts keep that word.
BlockFacts FactsOf(uint8_t* bytes, int32_t index, int32_t blk, uint32_t disk_id,
                   int32_t block_count);

// Finds the facts of every block of a chunk, on the calling thread and on
// workers of its own, one share each. Each writes its own share of the
// facts and poisons only its own blocks' first words; the map of the block
// before its share, which it reads, lies in bytes that no one writes. The
// caller waits for all of them before it looks at any.
class FactFinder {
 public:
  // workers: threads besides the caller's.
  explicit FactFinder(int32_t workers);
  ~FactFinder();
  FactFinder(const FactFinder&) = delete;
  FactFinder& operator=(const FactFinder&) = delete;

  // Fills facts[0 ... n - 1] for the chunk of n blocks at bytes, whose
  // first block is first, and poisons those blocks.
  void Find(uint8_t* bytes, int32_t first, int32_t n, uint32_t disk_id,
            int32_t block_count, BlockFacts* facts);

 private:
  struct Job {
    uint8_t* bytes = nullptr;
    int32_t first = 0;
    int32_t n = 0;
    uint32_t disk_id = 0;
    int32_t block_count = 0;
    BlockFacts* facts = nullptr;
  };

  int32_t Shares() const { return static_cast<int32_t>(threads_.size()) + 1; }
  void FindShare(const Job& job, int32_t share) const;
  void Work(int32_t share);

  std::mutex mu_;  // guards the four values below
  std::condition_variable wake_;
  std::condition_variable done_;
  Job job_;                 // the chunk of the current generation
  int64_t generation_ = 0;  // chunks handed out
  int32_t pending_ = 0;     // workers yet to finish the current one
  bool quit_ = false;
  std::vector<std::thread> threads_;  // last, so they start after the rest
};

}  // namespace vorbex

#endif  // VORBEX_CHECK_BLOCK_FACTS_H_
