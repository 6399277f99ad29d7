// The fourteen loops that make the tests. Which blocks a test touches follows
// from the order of its draws alone, so that order must not change: two
// threads whose workloads draw alike touch the same blocks in the same order.

#include <algorithm>
#include <atomic>
#include <cstdint>

#include "base/exit_gate.h"
#include "workloads/workload_thread.h"

namespace vorbex {
namespace {

// Random first blocks are multiples of the unit.
int32_t UnitOf(int32_t argument) {
  return argument <= 1 ? 1 : std::min(argument, 16);
}

// The blocks read back on each side of a write: never 1, so that a single
// block write is checked against two neighbours on each side.
int32_t GuardOf(int32_t argument) {
  return argument <= 1 ? 2 : std::min(argument, 16);
}

// The length that stops at the target's end.
int32_t Clip(int32_t pos, int32_t length, int32_t size) {
  return int64_t{pos} + length > size ? size - pos : length;
}

// Whether a read-back of guard blocks on each side of length blocks at pos
// stays inside the target.
bool GuardsFit(int32_t pos, int32_t length, int32_t size, int32_t guard) {
  return pos >= guard && int64_t{pos} + length + guard <= size;
}

constexpr int32_t kWindowBlocks = 2048;
constexpr int32_t kReadsPerWindow = 10001;

}  // namespace

bool TestThread::Stopping() const {
  // While the process ends, no operation starts: the thread waits here
  // until the exit, rather than read on and report after the last line.
  ProcessExitGate().WaitWhileClosed();
  // Only a flag: Stop's join orders everything the thread did before it.
  return StopRequested.load(std::memory_order_relaxed) != 0;
}

int32_t TestThread::DrawLength(int32_t argument, int32_t most) {
  if (argument != 0) return argument;
  return Rng.Draw() % std::max(most, 1) + 1;
}

int32_t TestThread::RandomPosition(int32_t unit) {
  const int64_t size = Disk->GetBlockCount();
  const int64_t step = size / 10000;
  const int64_t coarse = Rng.Draw() % 10000;
  const int64_t fine = Rng.Draw() % 10000;
  int64_t p = step * coarse + fine;
  if (p + unit >= size) p = size - unit;
  return static_cast<int32_t>(p - p % unit);
}

int32_t TestThread::RestartPosition() {
  const int64_t size = Disk->GetBlockCount();
  int64_t p = size / 100 * (Rng.Draw() % 100);
  if (p + kWindowBlocks >= size) p = size - kWindowBlocks;
  return static_cast<int32_t>(p - p % kWindowBlocks);
}

// The wrap to block 0 comes before the restart draw, so a restart can take
// its place.
void TestThread::Walk(int32_t argument, int32_t most, Operation operation) {
  const int32_t size = Disk->GetBlockCount();
  const int32_t guard = GuardOf(argument);
  const int32_t modulus = argument != 0 ? 1000 : 100;
  int32_t pos = 0;
  if (Stopping()) return;
  for (;;) {
    const int32_t length = DrawLength(argument, most);
    pos += (this->*operation)(pos, length, size, guard);
    if (pos >= size) pos = 0;
    if (Rng.Draw() % modulus == 1) pos = RestartPosition();
    if (Stopping()) return;
  }
}

void TestThread::Scatter(int32_t argument, int32_t most, Operation operation) {
  const int32_t size = Disk->GetBlockCount();
  const int32_t guard = GuardOf(argument);
  const int32_t unit = UnitOf(argument);
  while (!Stopping()) {
    const int32_t length = DrawLength(argument, most);
    const int32_t pos = RandomPosition(unit);
    (this->*operation)(pos, length, size, guard);
  }
}

int32_t TestThread::ReadAt(int32_t pos, int32_t length, int32_t size,
                           int32_t /*guard*/) {
  length = Clip(pos, length, size);
  Disk->ReadRange(pos, length);
  return length;
}

int32_t TestThread::WriteAt(int32_t pos, int32_t length, int32_t size,
                            int32_t /*guard*/) {
  length = Clip(pos, length, size);
  Disk->WriteRange(pos, length);
  return length;
}

int32_t TestThread::UpdateAt(int32_t pos, int32_t length, int32_t size,
                             int32_t /*guard*/) {
  length = Clip(pos, length, size);
  Disk->ReadRange(pos, length);
  Disk->WriteRange(pos, length);
  return length;
}

int32_t TestThread::PartialAt(int32_t pos, int32_t length, int32_t size,
                              int32_t /*guard*/) {
  length = Clip(pos, length, size);
  // Refuses a length below 1, so the remainder below is defined.
  Disk->ReadRange(pos, length);
  Disk->WriteRange(pos + Rng.Draw() % length, 1);
  return length;
}

int32_t TestThread::VerifyAt(int32_t pos, int32_t length, int32_t size,
                             int32_t guard) {
  length = Clip(pos, length, size);
  Disk->WriteRange(pos, length);
  if (GuardsFit(pos, length, size, guard)) {
    Disk->ReadRange(pos - guard, length + 2 * guard);
  }
  return length;
}

// Writes an extent, then its inner blocks again, so that a read-back sees
// two generations side by side; an extent cut at the target's end is
// written once.
int32_t TestThread::RewriteAt(int32_t pos, int32_t length, int32_t size,
                              int32_t guard) {
  const int32_t extent = length + 2 * guard;
  const int32_t written = Clip(pos, extent, size);
  Disk->WriteRange(pos, written);
  if (written == extent) Disk->WriteRange(pos + guard, length);
  if (GuardsFit(pos, written, size, guard)) {
    Disk->ReadRange(pos - guard, written + 2 * guard);
  }
  return written;
}

void TestThread::SeqRead(int32_t a) {
  Walk(a, BufferBlocks, &TestThread::ReadAt);
}

void TestThread::SeqUpdate(int32_t a) {
  Walk(a, BufferBlocks, &TestThread::UpdateAt);
}

void TestThread::SeqPartial(int32_t a) {
  Walk(a, BufferBlocks, &TestThread::PartialAt);
}

void TestThread::SeqVerify(int32_t a) {
  Walk(a, BufferBlocks - 2 * GuardOf(a), &TestThread::VerifyAt);
}

void TestThread::SeqRewrite(int32_t a) {
  Walk(a, BufferBlocks - 4 * GuardOf(a), &TestThread::RewriteAt);
}

void TestThread::RandRead(int32_t a) {
  Scatter(a, BufferBlocks, &TestThread::ReadAt);
}

void TestThread::RandWrite(int32_t a) {
  Scatter(a, BufferBlocks, &TestThread::WriteAt);
}

void TestThread::RandUpdate(int32_t a) {
  Scatter(a, BufferBlocks, &TestThread::UpdateAt);
}

void TestThread::RandPartial(int32_t a) {
  Scatter(a, BufferBlocks, &TestThread::PartialAt);
}

void TestThread::RandVerify(int32_t a) {
  Scatter(a, BufferBlocks - 2 * GuardOf(a), &TestThread::VerifyAt);
}

void TestThread::RandRewrite(int32_t a) {
  Scatter(a, BufferBlocks - 4 * GuardOf(a), &TestThread::RewriteAt);
}

// A resumed run goes on filling the target where sequential writing
// stopped, so with drawn lengths the walk starts at the first unwritten
// block and makes no jump until it has wrapped once.
void TestThread::SeqWrite(int32_t a) {
  const int32_t size = Disk->GetBlockCount();
  int32_t modulus = a != 0 ? 1000 : 0;  // 0: no restart draw yet
  int32_t pos = a != 0 ? 0 : Disk->FirstUnwritten();
  if (Stopping()) return;
  for (;;) {
    const int32_t length = DrawLength(a, BufferBlocks);
    pos += WriteAt(pos, length, size, 0);
    if (pos >= size) {
      pos = 0;
      if (modulus == 0) modulus = 100;
    }
    if (modulus != 0 && Rng.Draw() % modulus == 1) pos = RestartPosition();
    if (Stopping()) return;
  }
}

// Reads that keep to one 1 MiB window, where a cache in front of the medium
// would answer them, before moving on to the next window.
void TestThread::CacheRead(int32_t a) {
  for (;;) {
    if (Stopping()) return;
    const int32_t base = RandomPosition(kWindowBlocks);
    const int32_t end = base + kWindowBlocks;
    for (int32_t i = 0; i < kReadsPerWindow; ++i) {
      if (Stopping()) return;
      int32_t length = DrawLength(a, BufferBlocks);
      int32_t pos = base + Rng.Draw() % kWindowBlocks;
      if (a > 1) pos -= pos % a;
      if (pos + length > end) length = end - pos;
      Disk->ReadRange(pos, length);
    }
  }
}

// One pass from the first block to the last, then the test is done.
void TestThread::FormatWrite(int32_t a) {
  const int32_t size = Disk->GetBlockCount();
  int32_t pos = 0;
  while (!Stopping() && pos < size) {
    pos += WriteAt(pos, DrawLength(a, BufferBlocks), size, 0);
  }
}

}  // namespace vorbex
