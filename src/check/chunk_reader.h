#ifndef VORBEX_CHECK_CHUNK_READER_H_
#define VORBEX_CHECK_CHUNK_READER_H_

#include <array>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <mutex>
#include <thread>

#include "disk/transfer_counters.h"
#include "platform/env.h"

namespace vorbex {

// Reads the target's chunks in order on a thread of its own, one ahead of
// the caller, into two buffers of its own in turn, so that the device is
// not left idle while the caller analyses. Each read is made as a verified
// read makes it: every block's first word poisoned, then one transfer. The
// caller poisons the blocks of a buffer before it gives the buffer back,
// while their lines are still in its cache; here that would be a second
// pass over memory in the way of the next transfer. A third buffer in turn
// was tried: on a virtual machine a larger set of buffers slowed every
// transfer more than it won. (The disk's own buffer, where the check reads
// again the few blocks it must, is touched by those reads alone.)
// A read's outcome, or what it threw, is handed over rather than raised, so
// that the caller raises it at the point where reading in order would have.
// After a failed read nothing more is read.
class ChunkReader {
 public:
  struct Chunk {
    uint8_t* data = nullptr;
    uint32_t rc = 0;
    uint32_t moved = 0;
    uint32_t length = 0;
    std::exception_ptr thrown;
  };

  // Chunks of chunk blocks (the last one shorter) of a target of blocks
  // blocks, read through target.
  // counts: the check's, whose read-ahead slot and times are this
  // reader's own.
  ChunkReader(platform::Env* env, platform::Target* target, int32_t chunk,
              int32_t blocks, TransferCounters* counts);
  ~ChunkReader();
  ChunkReader(const ChunkReader&) = delete;
  ChunkReader& operator=(const ChunkReader&) = delete;

  // Waits for the next chunk. Its buffer belongs to the caller until the
  // next call, when it goes back to the reader with every block poisoned.
  Chunk Next();

  // Raises what the chunk's read threw, if anything.
  static void Check(const Chunk& c) {
    if (c.thrown) std::rethrow_exception(c.thrown);
  }

 private:
  static constexpr int kSlots = 2;

  // Page-aligned memory from the Env, freed when it goes.
  class Pages {
   public:
    Pages(platform::Env* env, size_t bytes);
    ~Pages();
    Pages(const Pages&) = delete;
    Pages& operator=(const Pages&) = delete;

    uint8_t* get() const { return p_; }

   private:
    platform::Env* env_;
    size_t bytes_;
    uint8_t* p_ = nullptr;
  };

  void Loop();

  platform::Target* const target_;
  TransferCounters* const counts_;
  const int32_t chunk_;
  const int32_t blocks_;
  std::array<Pages, kSlots> buffers_;
  std::mutex mu_;  // guards the four values below
  std::condition_variable wake_;
  std::array<Chunk, kSlots> ready_;  // by chunk number modulo kSlots
  int64_t read_ = 0;                 // chunks read
  int64_t taken_ = 0;                // chunks handed to the caller
  bool quit_ = false;
  std::thread thread_;  // last, so that it starts after the rest exists
};

}  // namespace vorbex

#endif  // VORBEX_CHECK_CHUNK_READER_H_
