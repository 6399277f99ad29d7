#include "disk/disk_handle.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <new>
#include <optional>

#include "base/console.h"
#include "base/error.h"
#include "base/flags.h"
#include "disk/target_window.h"
#include "platform/error_codes.h"

namespace vorbex {
namespace {

// Every disk opened on one path shares that path's table, and Open finds
// it through the list of all open disks, whichever thread each serves.
// Both are changed only by Open and Close, on the main thread. The lock's
// slot is never destroyed, as the record of mismatches is not: a test that
// main could not stop keeps its disk open and may still report while the
// process returns from main and runs its destructors.
TestDisk* g_disk_list = nullptr;
std::optional<std::mutex>& ReportLockSlot() {
  static auto* const slot = new std::optional<std::mutex>;
  return *slot;
}

// Process-wide, so that each warning is printed once a run however many
// disks open the target. Set once; Open can run on the main thread only,
// but a size query may also happen on a test thread.
std::atomic<bool> g_warned_buffered{false};
std::atomic<bool> g_warned_too_large{false};

// What the table and the coverage of blocks take, so that the operator can
// size a window that fits the machine.
void ReportTableMemory(int32_t blocks) {
  // Two bitmaps of whole 64-bit words.
  const int64_t words = (int64_t{blocks} + 63) / 64;
  const auto bytes = static_cast<double>(int64_t{blocks} * 4 + words * 16);
  const bool gib = bytes >= double{1 << 30};
  PrintErrf(
      "Not enough memory for the table of %d blocks: it needs %.1f "
      "%s (4.25 bytes a block, 8.5 GiB per TiB tested); a smaller "
      "--size needs less.\n",
      static_cast<int>(blocks), bytes / (gib ? 1 << 30 : 1 << 20),
      gib ? "GiB" : "MiB");
}

bool HasDevicePrefix(const std::string& path) {
  return path.size() >= 3 && path[0] == '\\' && path[1] == '\\' &&
         path[2] == '.';
}

}  // namespace

TestDisk* DiskListHead() { return g_disk_list; }

std::mutex* ReportLock() {
  return ReportLockSlot().has_value() ? &*ReportLockSlot() : nullptr;
}

void TestDisk::Open(const std::string& path, int32_t test_code,
                    int32_t buffer_blocks) {
  if (buffer_blocks < 1 || buffer_blocks > kMaxBufferBlocks) {
    throw Error(platform::kErrorInvalidParameter);
  }
  env_ = platform::CurrentEnv();
  IsFile = !HasDevicePrefix(path) && !env_->NamesDevice(path);
  const uint32_t rc = OpenWindow(env_, path, !IsFile, false, &Handle);
  if (rc != platform::kErrorSuccess) throw Error(rc);
  Cached = Handle->Buffered();
  if (Cached && !g_warned_buffered.exchange(true)) {
    PrintErrf(
        "WARNING: %s cannot be opened unbuffered here; reads may "
        "come from the system's cache, not from the medium.\n",
        path.c_str());
  }

  try {
    uint32_t error = platform::kErrorSuccess;
    const size_t bytes = static_cast<size_t>(buffer_blocks) * kBlockSize;
    Buffer = static_cast<uint8_t*>(env_->AllocatePages(bytes, &error));
    if (Buffer == nullptr) throw Error(error);
    BufferBlocks = buffer_blocks;
    if (Cached) {
      Spare = static_cast<uint8_t*>(env_->AllocatePages(kBlockSize, &error));
      if (Spare == nullptr) throw Error(error);
    }
    Path = path;
    if (!ReportLockSlot().has_value()) ReportLockSlot().emplace();
    TestCode = test_code;
    Counts = ClaimCounters(test_code);
    RangeStates = std::make_unique<BlockState[]>(buffer_blocks);
    NeighbourSnapshot = std::make_unique<uint16_t[]>(buffer_blocks + 128);
    RunEnds = std::make_unique<int32_t[]>(buffer_blocks);
    AttachTable();
  } catch (const std::bad_alloc&) {
    Close();
    throw Error(platform::kErrorNotEnoughMemory);
  } catch (...) {
    Close();
    throw;
  }
  Next = g_disk_list;
  g_disk_list = this;
}

void TestDisk::AttachTable() {
  for (const TestDisk* d = g_disk_list; d != nullptr; d = d->Next) {
    if (d->Path == Path) {
      Table = d->Table;
      BlockCount = d->BlockCount;
      return;
    }
  }
  auto table = std::make_unique<BlockStateTable>();
  table->BlockCount = GetBlockCount();
  try {
    // Value-initialised: every entry starts at zero.
    table->States =
        std::make_unique<std::atomic<BlockState>[]>(table->BlockCount);
    table->Coverage = std::make_shared<TargetCoverage>(table->BlockCount);
  } catch (const std::bad_alloc&) {
    ReportTableMemory(table->BlockCount);
    throw;
  }
  // Joins this disk's identity within the process with the run's identity.
  table->DiskID =
      static_cast<uint32_t>(reinterpret_cast<uintptr_t>(this)) + g_flags.RunID;
  SetRunCoverage(table->Coverage);
  Table = table.release();
}

void TestDisk::Close() {
  for (TestDisk** link = &g_disk_list; *link != nullptr;
       link = &(*link)->Next) {
    if (*link == this) {
      *link = Next;
      break;
    }
  }
  Next = nullptr;
  if (Table != nullptr) FlushVerified();
  if (Buffer != nullptr) {
    env_->FreePages(Buffer, static_cast<size_t>(BufferBlocks) * kBlockSize);
    Buffer = nullptr;
  }
  if (Spare != nullptr) {
    env_->FreePages(Spare, kBlockSize);
    Spare = nullptr;
  }
  Handle.reset();
  Path.clear();
  RangeStates.reset();
  RunEnds.reset();
  NeighbourSnapshot.reset();

  BlockStateTable* table = Table;
  Table = nullptr;
  for (const TestDisk* d = g_disk_list; d != nullptr; d = d->Next) {
    // Another open disk holds the table, with every entry, its DiskID and
    // its counter as they stand.
    if (table != nullptr && d->Table == table) return;
  }
  delete table;
  if (g_disk_list == nullptr) ReportLockSlot().reset();
}

int32_t TestDisk::GetBlockCount() {
  if (BlockCount != 0) return BlockCount;
  int64_t bytes = 0;
  const uint32_t rc = Handle->QuerySize(&bytes);
  if (rc != platform::kErrorSuccess) throw Error(rc);
  if (bytes / kBlockSize > kMaxBlocks && !g_warned_too_large.exchange(true)) {
    PrintErrf("WARNING: %s has %" PRId64
              " blocks; block numbers are 31 bits, so only the first "
              "%" PRId64
              " (1 TiB) are tested; --offset and --size reach "
              "the rest.\n",
              WindowName(Path).c_str(), bytes / kBlockSize, kMaxBlocks);
  }
  int32_t blocks = BlocksInBytes(bytes);
  // Only an empty target is asked again, and its table has no entries: a
  // target that has grown since must not lead anyone past the table's end.
  if (Table != nullptr) blocks = std::min(blocks, Table->BlockCount);
  BlockCount = blocks;
  return BlockCount;
}

void TestDisk::CheckRange(int32_t first, int32_t count) const {
  if (first < 0 || count < 1 ||
      static_cast<int64_t>(first) + count > BlockCount ||
      count > BufferBlocks) {
    throw Error(platform::kErrorInvalidParameter);
  }
}

void TestDisk::CheckTransfer(uint32_t rc, uint32_t moved, uint32_t length) {
  if (rc != platform::kErrorSuccess) throw Error(rc);
  if (moved != length) throw Error(platform::kErrorBadLength);
}

void TestDisk::CountTransfer(uint32_t rc, uint32_t moved, uint32_t length,
                             bool write) {
  TransferCounters::Add(Counts->Transfers, 1);
  if (rc == platform::kErrorSuccess) {
    TransferCounters::Add(write ? Counts->BytesWritten : Counts->BytesRead,
                          moved);
  }
  if (rc != platform::kErrorSuccess || moved != length) {
    TransferCounters::Add(Counts->Errors, 1);
  }
}

int32_t BlocksInBytes(int64_t bytes) {
  return static_cast<int32_t>(
      std::clamp<int64_t>(bytes / kBlockSize, 0, kMaxBlocks));
}

int32_t TestDisk::FirstUnwritten() const {
  if (BlockCount <= 0) return BlockCount - 1;
  for (int32_t b = 0; b < BlockCount; ++b) {
    // Relaxed: the answer only says where a sequential writer starts, and
    // any instant's view of the flag will do.
    if ((Table->States[b].load(std::memory_order_relaxed) & kWritten) == 0) {
      return b;
    }
  }
  return BlockCount - 1;
}

}  // namespace vorbex
