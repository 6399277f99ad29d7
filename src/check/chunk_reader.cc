#include "check/chunk_reader.h"

#include <algorithm>

#include "base/error.h"
#include "disk/block_stores.h"
#include "disk/disk_handle.h"
#include "platform/error_codes.h"

namespace vorbex {
namespace {

size_t Bytes(int32_t blocks) {
  return static_cast<size_t>(blocks) * kBlockSize;
}

}  // namespace

ChunkReader::Pages::Pages(platform::Env* env, size_t bytes)
    : env_(env), bytes_(bytes) {
  uint32_t error = platform::kErrorSuccess;
  p_ = static_cast<uint8_t*>(env_->AllocatePages(bytes_, &error));
  if (p_ == nullptr) throw Error(error);
}

ChunkReader::Pages::~Pages() { env_->FreePages(p_, bytes_); }

ChunkReader::ChunkReader(platform::Env* env, platform::Target* target,
                         int32_t chunk, int32_t blocks,
                         TransferCounters* counts)
    : target_(target),
      counts_(counts),
      chunk_(chunk),
      blocks_(blocks),
      buffers_{{{env, Bytes(chunk)}, {env, Bytes(chunk)}}},
      thread_([this] { Loop(); }) {}

ChunkReader::~ChunkReader() {
  {
    std::lock_guard<std::mutex> hold(mu_);
    quit_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

ChunkReader::Chunk ChunkReader::Next() {
  std::unique_lock<std::mutex> hold(mu_);
  wake_.wait(hold, [this] { return read_ > taken_; });
  Chunk c = ready_[taken_ % kSlots];
  ++taken_;
  hold.unlock();
  wake_.notify_all();
  return c;
}

void ChunkReader::Loop() {
  for (int64_t k = 0; k * chunk_ < blocks_; ++k) {
    {
      std::unique_lock<std::mutex> hold(mu_);
      // Slot k % kSlots is free once the caller has taken chunk
      // k - kSlots + 1, and so given back chunk k - kSlots.
      wake_.wait(hold, [&] { return quit_ || k < taken_ + kSlots - 1; });
      if (quit_) return;
    }
    const int64_t first = k * chunk_;
    const auto count =
        static_cast<int32_t>(std::min<int64_t>(chunk_, blocks_ - first));
    Chunk c;
    c.data = buffers_[static_cast<size_t>(k % kSlots)].get();
    // Until the caller has given a buffer back, no one poisoned it.
    if (k < kSlots) PoisonBlocks(c.data, count);
    c.length = static_cast<uint32_t>(Bytes(count));
    try {
      const TransferTimer timer(counts_, TransferCounters::kReadAheadSlot,
                                false, static_cast<int32_t>(first), count);
      c.rc = target_->ReadAt(first * kBlockSize, c.data, c.length, &c.moved);
    } catch (...) {
      c.thrown = std::current_exception();
    }
    {
      std::lock_guard<std::mutex> hold(mu_);
      ready_[k % kSlots] = c;
      ++read_;
    }
    wake_.notify_all();
    if (c.thrown || c.rc != 0 || c.moved != c.length) return;
  }
}

}  // namespace vorbex
