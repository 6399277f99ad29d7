// How fast the disk engine stamps and verifies blocks, next to a memcpy of
// the same megabyte: the tester must never be what holds a fast drive back;
// and what the run's periodic metrics cost beside it.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

#include "base/crc32c.h"
#include "base/flags.h"
#include "disk/disk_handle.h"
#include "platform/env.h"
#include "run/catalogue.h"
#include "run/json_report.h"
#include "run/levels.h"
#include "run/metrics_file.h"
#include "support/fake_env.h"

namespace vorbex {
namespace {

constexpr int32_t kBlocks = 2048;  // 1 MiB
constexpr int64_t kBytes = int64_t{kBlocks} * kBlockSize;

// A TestDisk on an in-memory target whose every block has been written once,
// so its buffer holds valid stamps and its table says so; stamps with a
// checksum unless told otherwise, and the disk goes on writing them so.
class StampedDisk {
 public:
  explicit StampedDisk(bool checksum = true) {
    platform::SetCurrentEnv(&env_);
    env_.AddTarget("bench.img", kBytes);
    g_flags.RunID = 4321;
    g_flags.checksum = checksum;
    disk_.Open("bench.img", 1, kBlocks);
    disk_.WriteRange(0, kBlocks);
    disk_.ReadRange(0, kBlocks);  // fills RangeStates as a reader sees them
  }
  ~StampedDisk() {
    disk_.Close();
    platform::SetCurrentEnv(nullptr);
  }
  StampedDisk(const StampedDisk&) = delete;
  StampedDisk& operator=(const StampedDisk&) = delete;

  TestDisk& disk() { return disk_; }

 private:
  platform::FakeEnv env_;
  TestDisk disk_;
};

void BM_Memcpy(benchmark::State& state) {
  platform::Env* env = platform::NativeEnv();
  uint32_t error = 0;
  auto* from = static_cast<uint8_t*>(env->AllocatePages(kBytes, &error));
  auto* to = static_cast<uint8_t*>(env->AllocatePages(kBytes, &error));
  std::memset(from, 0x5A, kBytes);
  for (auto _ : state) {
    std::memcpy(to, from, kBytes);
    benchmark::DoNotOptimize(to);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * kBytes);
  env->FreePages(from, kBytes);
  env->FreePages(to, kBytes);
}
BENCHMARK(BM_Memcpy);

// A CRC-32C of every block of the megabyte, one block at a time as a stamp
// or a verified read would take it: arg 1 with the processor's instruction
// where it has one, 0 from tables alone.
void BM_Crc32c(benchmark::State& state) {
  StampedDisk stamped;
  const uint8_t* data = stamped.disk().Buffer;
  const auto crc = state.range(0) != 0 ? Crc32c : Crc32cPortable;
  if (state.range(0) != 0 && !Crc32cInHardware()) {
    state.SkipWithError("no CRC-32C instruction here");
  }
  for (auto _ : state) {
    uint32_t sum = 0;
    for (int32_t k = 0; k < kBlocks; ++k) {
      const uint8_t* block = data + static_cast<size_t>(k) * kBlockSize;
      // 2: as a read sums a stamp, its stored checksum blanked.
      sum ^= state.range(0) == 2 ? Crc32cOfBlock(block, 44)
                                 : crc(block, kBlockSize, 0);
    }
    benchmark::DoNotOptimize(sum);
  }
  state.SetBytesProcessed(state.iterations() * kBytes);
}
BENCHMARK(BM_Crc32c)->ArgName("instruction")->Arg(0)->Arg(1)->Arg(2);

// What a write does to every block between taking it and writing it, with
// the checksum (arg 1) and without it, as before checksums (0).
void BM_Stamp(benchmark::State& state) {
  StampedDisk stamped(state.range(0) != 0);
  TestDisk& d = stamped.disk();
  for (auto _ : state) {
    for (int32_t k = 0; k < kBlocks; ++k) d.StampBlock(0, k, 0, kBlocks);
    benchmark::DoNotOptimize(d.Buffer);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * kBytes);
}
BENCHMARK(BM_Stamp)->ArgName("checksum")->Arg(0)->Arg(1);

// What a read does to every block it has transferred: stamps with a
// checksum (arg 1), and without one (0), as before checksums.
void BM_Verify(benchmark::State& state) {
  StampedDisk stamped(state.range(0) != 0);
  TestDisk& d = stamped.disk();
  for (auto _ : state) {
    for (int32_t i = 0; i < kBlocks; ++i) d.VerifyBlock(0, i, kBlocks);
    benchmark::ClobberMemory();
  }
  if (d.Mismatches != 0) state.SkipWithError("verification found mismatches");
  state.SetBytesProcessed(state.iterations() * kBytes);
}
BENCHMARK(BM_Verify)->ArgName("checksum")->Arg(0)->Arg(1);

// What timing one transfer adds to it: two readings of the clock, the mark
// the watch looks for, and a count in the histogram. Set against the time
// of a transfer (the workload benchmark's), it bounds what timing costs
// more tightly than two runs of a device can.
void BM_TimeTransfer(benchmark::State& state) {
  StampedDisk stamped;
  TestDisk& d = stamped.disk();
  for (auto _ : state) {
    TransferTimer timer(d.Counts, TransferCounters::kOwnSlot, false, 0, 8);
    timer.End();
  }
}
BENCHMARK(BM_TimeTransfer);

// The bookkeeping a write does under the table's lock.
void BM_PrepareAndComplete(benchmark::State& state) {
  StampedDisk stamped;
  TestDisk& d = stamped.disk();
  for (auto _ : state) {
    d.PrepareWrite(0, kBlocks);
    d.CompleteWrite(0, kBlocks);
  }
  state.SetBytesProcessed(state.iterations() * kBytes);
}
BENCHMARK(BM_PrepareAndComplete);

// What one write of --metrics costs, for a run of the 38 tests of level
// 334 whose every fine latency bucket holds transfers: the text and the
// file replaced. The watch makes one every 5 seconds, so a thousandth of a
// second here is 0.02 % of one processor.
void BM_WriteMetrics(benchmark::State& state) {
  SummaryFacts facts;
  const LevelParts parts = SplitLevel(334);
  for (int p = 0; p < parts.count; ++p) {
    const LevelTestList list = LevelTests(parts.values[p]);
    for (int t = 0; t < list.count; ++t) {
      SummaryRow row{list.codes[t], FindTest(list.codes[t]).Name};
      for (LatencyCounts* times : {&row.ReadTimes, &row.WriteTimes}) {
        for (uint64_t& n : times->counts) n = 1000;
        times->total = 1000 * static_cast<uint64_t>(kLatencyBuckets);
      }
      facts.Rows.push_back(row);
    }
  }
  RunDescription run;
  run.Target = "/dev/sdb";
  run.Level = 334;
  const std::string path =
      (std::filesystem::temp_directory_path() / "vorbex_bench.prom").string();
  size_t bytes = 0;
  for (auto _ : state) {
    const std::string text = MetricsText(run, facts, {});
    std::string why;
    if (!WriteFileWhole(path, text, &why)) state.SkipWithError(why.c_str());
    bytes = text.size();
  }
  std::filesystem::remove(path);
  state.counters["file_bytes"] = static_cast<double>(bytes);
  state.counters["tests"] = static_cast<double>(facts.Rows.size());
}
BENCHMARK(BM_WriteMetrics)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace vorbex

BENCHMARK_MAIN();
