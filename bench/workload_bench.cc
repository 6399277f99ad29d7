// What a test costs over the device: each workload runs on the calling
// thread for a fixed number of transfers against a formatted file, next to
// a plain loop that makes transfers of the same size and kind straight
// through the platform layer. The difference is the stamping, verifying and
// bookkeeping of the disk engine.
//
// The target is a file of VORBEX_WORKLOAD_BENCH_MIB MiB (256 unless set) in
// VORBEX_WORKLOAD_BENCH_DIR (the build's scratch directory unless set),
// formatted once and removed at the end. Both sides transfer through
// buffers of the same kind, from the platform layer's page allocator.

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "base/flags.h"
#include "disk/disk_handle.h"
#include "journal/journal_writer.h"
#include "platform/env.h"
#include "ratio_reporter.h"
#include "run/catalogue.h"
#include "scratch_file.h"
#include "workloads/workload_thread.h"

namespace vorbex {
namespace {

// Counts what reaches the device and raises a stop flag after a set number
// of transfers, so a workload runs for a fixed amount of work.
class CountingEnv final : public platform::Env {
 public:
  void Arm(std::atomic<int32_t>* stop, int64_t transfers) {
    stop_ = stop;
    left_ = transfers;
    bytes_ = 0;
  }
  int64_t bytes() const { return bytes_; }

  bool NamesDevice(const std::string& path) override {
    return native_->NamesDevice(path);
  }
  uint32_t OpenTarget(const std::string& path, bool volume,
                      std::unique_ptr<platform::Target>* target) override {
    std::unique_ptr<platform::Target> inner;
    const uint32_t rc = native_->OpenTarget(path, volume, &inner);
    if (rc == 0) *target = std::make_unique<Counted>(std::move(inner), this);
    return rc;
  }
  void* AllocatePages(size_t bytes, uint32_t* error) override {
    return native_->AllocatePages(bytes, error);
  }
  void FreePages(void* pages, size_t bytes) override {
    native_->FreePages(pages, bytes);
  }

 private:
  class Counted final : public platform::Target {
   public:
    Counted(std::unique_ptr<platform::Target> inner, CountingEnv* env)
        : inner_(std::move(inner)), env_(env) {}
    uint32_t QuerySize(int64_t* bytes) override {
      return inner_->QuerySize(bytes);
    }
    uint32_t ReadAt(int64_t offset, void* buffer, uint32_t length,
                    uint32_t* moved) override {
      const uint32_t rc = inner_->ReadAt(offset, buffer, length, moved);
      env_->Count(*moved);
      return rc;
    }
    uint32_t WriteAt(int64_t offset, const void* buffer, uint32_t length,
                     uint32_t* moved) override {
      const uint32_t rc = inner_->WriteAt(offset, buffer, length, moved);
      env_->Count(*moved);
      return rc;
    }
    bool Buffered() const override { return inner_->Buffered(); }
    uint32_t Flush() override { return inner_->Flush(); }

   private:
    std::unique_ptr<platform::Target> inner_;
    CountingEnv* env_;
  };

  // One thread at a time: the workload's.
  void Count(uint32_t moved) {
    bytes_ += moved;
    if (--left_ == 0 && stop_ != nullptr) stop_->store(1);
  }

  platform::Env* native_ = platform::NativeEnv();
  std::atomic<int32_t>* stop_ = nullptr;
  int64_t left_ = 0;
  int64_t bytes_ = 0;
};

CountingEnv g_env;
std::string g_target;

void MakeFormattedTarget() {
  int64_t bytes = 0;
  g_target = bench::MakeScratchFile("VORBEX_WORKLOAD_BENCH", 256,
                                    "workload-bench", &bytes);
  g_flags.RunID = 4321;
  platform::SetCurrentEnv(&g_env);
  TestThread format;
  format.Disk = std::make_unique<TestDisk>();
  format.Disk->Open(g_target, 51, 2048);
  format.BufferBlocks = 2048;
  format.FormatWrite(2048);
  format.Stop();
}

constexpr int64_t kTransfers = 2000;

// One catalogue test for kTransfers transfers (a few more when the last
// step makes several); the anchor keeps the table, and with it every
// block's generation, from one repetition to the next.
void RunWorkload(benchmark::State& state, bool checksum,
                 bool journalled = false) {
  g_flags.checksum = checksum;
  const TestEntry& entry = FindTest(static_cast<int32_t>(state.range(0)));
  state.SetLabel(entry.Name);
  TestDisk anchor;
  anchor.Open(g_target, 0, 1);
  // A journal beside the target, flushed every second, as a run with
  // --journal keeps one; written by its own thread while the test runs.
  std::unique_ptr<journal::Journal> journal;
  const std::string journal_path = g_target + ".journal";
  if (journalled) {
    std::unique_ptr<platform::AppendFile> file;
    std::unique_ptr<platform::Target> target;
    if (platform::CreateAppendFile(journal_path, &file) != 0 ||
        platform::NativeEnv()->OpenTarget(g_target, false, &target) != 0) {
      state.SkipWithError("cannot open the journal");
      anchor.Close();
      return;
    }
    journal = std::make_unique<journal::Journal>(
        std::move(file), journal_path, std::move(target), 1000);
    journal->Start(journal::Header{});
    journal::g_journal = journal.get();
  }
  int64_t bytes = 0;
  for (auto _ : state) {
    TestThread t;
    t.Disk = std::make_unique<TestDisk>();
    t.Disk->Open(g_target, entry.TestCode, entry.BufferBlocks);
    t.BufferBlocks = entry.BufferBlocks;
    g_env.Arm(&t.StopRequested, kTransfers);
    (t.*entry.Workload)(entry.Argument);
    bytes += g_env.bytes();
    t.Stop();
  }
  anchor.Close();
  g_flags.checksum = true;
  state.SetBytesProcessed(bytes);
  if (journal != nullptr) {
    journal::g_journal = nullptr;
    journal->Finish(false, 10000);
    journal.reset();
    std::filesystem::remove(journal_path);
  }
}

void BM_Workload(benchmark::State& state) { RunWorkload(state, true); }

// The writing tests with stamps as they were before checksums, for what
// the checksum costs a write.
void BM_WorkloadWithoutChecksum(benchmark::State& state) {
  RunWorkload(state, false);
}

// The writing tests with a journal and flushes every second, for what
// power-cut testing costs a run.
void BM_WorkloadJournalled(benchmark::State& state) {
  RunWorkload(state, true, true);
}

// The same number of plain transfers of blocks blocks each: sequential
// (wrapping) or at random multiples of their length.
void BM_Plain(benchmark::State& state) {
  const auto blocks = static_cast<uint32_t>(state.range(0));
  const bool write = state.range(1) != 0;
  const bool random = state.range(2) != 0;
  platform::Env* env = platform::NativeEnv();
  std::unique_ptr<platform::Target> target;
  int64_t size = 0;
  if (env->OpenTarget(g_target, false, &target) != 0 ||
      target->QuerySize(&size) != 0) {
    state.SkipWithError("cannot open the target");
    return;
  }
  const uint32_t length = blocks * kBlockSize;
  const int64_t slots = size / length;
  uint32_t error = 0;
  void* buffer = env->AllocatePages(length, &error);
  std::mt19937 rng(1);
  int64_t bytes = 0;
  int64_t next = 0;
  for (auto _ : state) {
    for (int64_t i = 0; i < kTransfers; ++i) {
      const int64_t slot =
          random ? std::uniform_int_distribution<int64_t>(0, slots - 1)(rng)
                 : next++ % slots;
      uint32_t moved = 0;
      const uint32_t rc =
          write ? target->WriteAt(slot * length, buffer, length, &moved)
                : target->ReadAt(slot * length, buffer, length, &moved);
      if (rc != 0 || moved != length) {
        state.SkipWithError("a transfer failed");
        break;
      }
      bytes += moved;
    }
  }
  env->FreePages(buffer, length);
  state.SetBytesProcessed(bytes);
}

// Each test with a plain counterpart, and that counterpart.
constexpr std::pair<int32_t, const char*> kYardsticks[] = {
    {9, "blocks:8/write:0/random:0"},     {10, "blocks:8/write:1/random:0"},
    {11, "blocks:8/write:0/random:1"},    {12, "blocks:8/write:1/random:1"},
    {38, "blocks:2048/write:0/random:0"}, {39, "blocks:2048/write:1/random:0"},
    {40, "blocks:2048/write:0/random:1"}, {41, "blocks:2048/write:1/random:1"},
};

// Seq and Rand 4k and 1m reads and writes, a verify, a rewrite, a cache
// read and the drawn-length walks.
BENCHMARK(BM_Workload)
    ->ArgName("test")
    ->Arg(9)->Arg(10)->Arg(11)->Arg(12)->Arg(38)->Arg(39)->Arg(40)->Arg(41)
    ->Arg(28)->Arg(34)->Arg(15)->Arg(1)->Arg(2)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WorkloadWithoutChecksum)
    ->ArgName("test")
    ->Arg(10)->Arg(12)->Arg(39)->Arg(41)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WorkloadJournalled)
    ->ArgName("test")
    ->Arg(10)->Arg(12)->Arg(39)->Arg(41)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Plain)
    ->ArgNames({"blocks", "write", "random"})
    ->Args({8, 0, 0})->Args({8, 1, 0})->Args({8, 0, 1})->Args({8, 1, 1})
    ->Args({2048, 0, 0})->Args({2048, 1, 0})->Args({2048, 0, 1})
    ->Args({2048, 1, 1})
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace vorbex

int main(int argc, char** argv) {
  std::vector<char*> args = vorbex::bench::WithRepetitions(argc, argv);
  argc = static_cast<int>(args.size()) - 1;
  benchmark::Initialize(&argc, args.data());
  if (benchmark::ReportUnrecognizedArguments(argc, args.data())) return 1;
  vorbex::MakeFormattedTarget();
  std::vector<vorbex::bench::Ratio> ratios;
  for (const auto& [test, yardstick] : vorbex::kYardsticks) {
    ratios.push_back({vorbex::FindTest(test).Name,
                      "BM_Workload/test:" + std::to_string(test) + "/real_time",
                      "BM_Plain/" + std::string(yardstick) + "/real_time", true});
  }
  for (const int32_t test : {10, 12, 39, 41}) {
    const std::string code = std::to_string(test);
    ratios.push_back({std::string(vorbex::FindTest(test).Name) +
                          ", with checksums to without",
                      "BM_Workload/test:" + code + "/real_time",
                      "BM_WorkloadWithoutChecksum/test:" + code + "/real_time",
                      true});
  }
  for (const int32_t test : {10, 12, 39, 41}) {
    const std::string code = std::to_string(test);
    ratios.push_back({std::string(vorbex::FindTest(test).Name) +
                          ", with a journal to without",
                      "BM_WorkloadJournalled/test:" + code + "/real_time",
                      "BM_Workload/test:" + code + "/real_time", true});
  }
  vorbex::bench::RatioReporter reporter(std::move(ratios));
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  vorbex::platform::SetCurrentEnv(nullptr);
  std::filesystem::remove(vorbex::g_target);
  return 0;
}
