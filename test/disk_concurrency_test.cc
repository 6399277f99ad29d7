// Several threads, each with its own TestDisk on one real target, writing
// and reading overlapping ranges: every read must verify clean, and the table
// must end exactly as the disk is.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/error.h"
#include "base/flags.h"
#include "base/random.h"
#include "disk/block_format.h"
#include "disk/disk_handle.h"
#include "test_support.h"

namespace vorbex {
namespace {

constexpr int32_t kBlocks = 512;
constexpr int32_t kMaxLength = 32;
constexpr int kThreads = 4;
constexpr auto kDuration = std::chrono::seconds(2);

struct Outcome {
  int64_t writes = 0;
  int64_t reads = 0;
  uint32_t error = 0;  // the code of the Error that ended the thread, or 0
};

// Random overlapping ranges near one another, so that writers often meet
// blocks another writer holds and readers often meet writes in flight.
void Hammer(TestDisk* disk, uint32_t seed, const std::atomic<bool>* stop,
            Outcome* outcome) {
  Random random(seed);
  try {
    while (!stop->load(std::memory_order_relaxed)) {
      const int32_t count = 1 + random.Draw() % kMaxLength;
      const int32_t first = random.Draw() % (kBlocks - count + 1);
      if (random.Draw() % 2 == 0) {
        disk->WriteRange(first, count);
        ++outcome->writes;
      } else {
        disk->ReadRange(first, count);
        ++outcome->reads;
      }
    }
  } catch (const Error& e) {
    outcome->error = e.code();
  }
}

void StressAndCheck(const std::string& path) {
  g_flags = Flags{};
  g_flags.RunID = 77;
  std::vector<std::unique_ptr<TestDisk>> disks;
  for (int t = 0; t < kThreads; ++t) {
    disks.push_back(std::make_unique<TestDisk>());
    disks.back()->Open(path, 100 + t, kMaxLength);
  }
  ASSERT_EQ(disks[0]->BlockCount, kBlocks);

  ::testing::internal::CaptureStdout();
  std::atomic<bool> stop{false};
  std::vector<Outcome> outcomes(kThreads);
  std::vector<std::thread> threads;
  threads.reserve(kThreads);
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back(Hammer, disks[t].get(), 1 + t, &stop, &outcomes[t]);
  }
  std::this_thread::sleep_for(kDuration);
  stop = true;
  for (auto& thread : threads) thread.join();

  // Afterwards, with no writer left, every block must read back exactly as
  // the table says: a verifier sees no concurrent write to excuse anything.
  TestDisk verifier;
  verifier.Open(path, 0, kBlocks);
  verifier.ReadRange(0, kBlocks);
  const std::string printed = ::testing::internal::GetCapturedStdout();

  EXPECT_EQ(printed, "");
  int64_t writes = 0;
  for (int t = 0; t < kThreads; ++t) {
    EXPECT_EQ(outcomes[t].error, 0u) << "thread " << t;
    EXPECT_EQ(disks[t]->Mismatches, 0) << "thread " << t;
    EXPECT_GT(outcomes[t].reads, 0) << "thread " << t;
    writes += outcomes[t].writes;
  }
  EXPECT_EQ(verifier.Mismatches, 0);
  int32_t written = 0;
  for (int32_t b = 0; b < kBlocks; ++b) {
    const BlockState s = verifier.Table->States[b].load();
    EXPECT_EQ(s & kBusy, 0u) << b;
    if ((s & kWritten) == 0) continue;
    ++written;
    const BlockHeader h =
        LoadHeader(verifier.Buffer + static_cast<size_t>(b) * kBlockSize);
    EXPECT_EQ(h.Seq, SeqOf(s)) << b;
    EXPECT_LT(h.WriteSeq, verifier.Table->WriteSeq) << b;
  }
  EXPECT_GT(written, kBlocks / 2);
  EXPECT_GT(writes, 100);

  verifier.Close();
  for (auto& d : disks) d->Close();
  g_flags = Flags{};
}

TEST(DiskConcurrencyTest, OverlappingWritersAndReadersOnAFile) {
  testing::TempDir dir;
  const std::string path = dir.File("target.img");
  testing::WriteFile(path, std::vector<uint8_t>(kBlocks * 512));
  StressAndCheck(path);
}

TEST(DiskConcurrencyTest, OverlappingWritersAndReadersOnABlockDevice) {
  testing::TempDir dir;
  const std::string backing = dir.File("backing.img");
  testing::WriteFile(backing, std::vector<uint8_t>(kBlocks * 512));
  testing::LoopDevice loop(backing);
  if (!loop.ok()) GTEST_SKIP() << "no loop device: " << loop.reason();
  StressAndCheck(loop.device());
}

}  // namespace
}  // namespace vorbex
