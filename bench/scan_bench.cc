// How fast the start-up check reads a stamped target, next to a plain
// sequential read of the same file in the same 8 MiB transfers, and of a
// target whose every stamp claims an extent to its end: the check
// must run at the speed of the device, not of its own analysis.
//
// The target is a file of VORBEX_SCAN_BENCH_MIB MiB (1024 unless set) in
// VORBEX_SCAN_BENCH_DIR (the build's scratch directory unless set), stamped
// once by a pass of 1 MiB writes and a few thousand random writes over it,
// and removed at the end. The device under that directory is what is
// measured. The plain read uses one buffer of the same kind as the check's
// (huge pages where the system gives them); the check runs with one finder
// thread per processor (threads:0) and with one and two.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "base/error.h"
#include "base/flags.h"
#include "check/power_cut_check.h"
#include "check/scanner.h"
#include "check/startup_check.h"
#include "disk/block_format.h"
#include "disk/disk_handle.h"
#include "disk/stamp_checksum.h"
#include "journal/journal_format.h"
#include "journal/journal_reader.h"
#include "platform/env.h"
#include "ratio_reporter.h"
#include "scratch_file.h"

namespace vorbex {
namespace {

std::string g_target;
std::string g_classic;  // the same writes, stamped without checksums
std::string g_hostile;
std::string g_journal;  // 10 million writes over g_target, all durable
int64_t g_bytes = 0;

void Stamp(const std::string& path, bool rewrites, bool checksum = true) {
  g_flags.RunID = 4321;
  g_flags.checksum = checksum;
  TestDisk d;
  d.Open(path, 51, 2048);
  const int32_t blocks = d.BlockCount;
  for (int32_t b = 0; b < blocks; b += 2048) {
    d.WriteRange(b, std::min(2048, blocks - b));
  }
  // Later, shorter writes split the long ones' extents, as a stress run
  // leaves them.
  std::mt19937 rng(1);
  for (int k = 0; rewrites && k < 4000; ++k) {
    const int32_t count = std::uniform_int_distribution<int32_t>(1, 256)(rng);
    d.WriteRange(std::uniform_int_distribution<int32_t>(0, blocks - count)(rng),
                 count);
  }
  d.Close();
}

void MakeStampedTarget() {
  g_target =
      bench::MakeScratchFile("VORBEX_SCAN_BENCH", 1024, "scan-bench", &g_bytes);
  Stamp(g_target, true);
  int64_t bytes = 0;
  g_classic = bench::MakeScratchFile("VORBEX_SCAN_BENCH", 1024,
                                     "scan-bench-classic", &bytes);
  Stamp(g_classic, true, false);
}

// The same stamps, each made to claim an extent of its own from its block
// to the target's end, all with one WriteSeq: nothing to report, but every
// stamp names blocks up to the window's far end.
void MakeHostileTarget() {
  int64_t bytes = 0;
  g_hostile = bench::MakeScratchFile("VORBEX_SCAN_BENCH", 1024,
                                     "scan-bench-hostile", &bytes);
  // Every block at generation 1, so that one WriteSeq fits all of them.
  Stamp(g_hostile, false);
  TestDisk d;
  d.Open(g_hostile, 0, kScanBufferBlocks);
  const int32_t blocks = d.BlockCount;
  for (int32_t first = 0; first < blocks; first += kScanBufferBlocks) {
    const int32_t count = std::min(kScanBufferBlocks, blocks - first);
    const int64_t at = int64_t{first} * kBlockSize;
    const uint32_t length = static_cast<uint32_t>(count) * kBlockSize;
    uint32_t moved = 0;
    if (d.Handle->ReadAt(at, d.Buffer, length, &moved) != 0 ||
        moved != length) {
      throw Error(30);
    }
    for (int32_t i = 0; i < count; ++i) {
      uint8_t* block = d.Buffer + static_cast<size_t>(i) * kBlockSize;
      BlockHeader h = LoadHeader(block);
      h.BaseBlk = first + i;
      h.EndBlk = blocks;
      h.WriteSeq = int64_t{1} << 40;
      StoreHeader(h, block);
      // As a writer would have summed it.
      const uint32_t sum = BlockChecksum(block);
      std::memcpy(block + offsetof(BlockHeader, Reserved), &sum, sizeof sum);
    }
    if (d.Handle->WriteAt(at, d.Buffer, length, &moved) != 0 ||
        moved != length) {
      throw Error(29);
    }
  }
  d.Close();
}

// A journal of kJournalWrites writes of 1 to 16 blocks at random over the
// stamped target, every one made durable by one flush, that the target
// satisfies: each names WriteSeq 1, which every stamp there outdates. The
// check does all the work of holding each block to it, and reports nothing.
constexpr int64_t kJournalWrites = 10'000'000;

void MakeJournal() {
  int64_t bytes = 0;
  g_journal = bench::MakeScratchFile("VORBEX_SCAN_BENCH", 0, "scan-bench-journal",
                                     &bytes);
  journal::Header h;
  TestDisk d;
  d.Open(g_target, 0, 1);
  const int32_t blocks = d.BlockCount;
  // The target's own DiskID, from block 0.
  uint32_t moved = 0;
  if (d.Handle->ReadAt(0, d.Buffer, kBlockSize, &moved) != 0) {
    d.Close();
    throw Error(30);
  }
  h.disk_id = LoadHeader(d.Buffer).DiskID;
  d.Close();
  h.blocks = blocks;
  h.first_write_seq = 1;
  std::FILE* f = std::fopen(g_journal.c_str(), "wb");
  if (f == nullptr) throw Error(2);
  std::vector<uint8_t> out(journal::kHeaderBytes);
  journal::EncodeHeader(h, out.data());
  std::mt19937 rng(3);
  uint8_t r[journal::kLargestRecord];
  for (int64_t i = 0; i < kJournalWrites; ++i) {
    const int32_t count = std::uniform_int_distribution<int32_t>(1, 16)(rng);
    const int32_t first =
        std::uniform_int_distribution<int32_t>(0, blocks - count)(rng);
    out.insert(out.end(), r,
               r + journal::EncodeWrite({1, first, count, i * 1000}, r));
    if (out.size() > (size_t{1} << 24)) {
      std::fwrite(out.data(), 1, out.size(), f);
      out.clear();
    }
  }
  out.insert(out.end(), r,
             r + journal::EncodeFlush(
                     {0, kJournalWrites, kJournalWrites * 1000,
                      kJournalWrites * 1000 + 5},
                     r));
  std::fwrite(out.data(), 1, out.size(), f);
  std::fclose(f);
}

// Plain sequential reads in the check's 8 MiB transfers, into one buffer or
// into buffers:2 in turn, as a reader that overlaps its transfers with work
// on the data must. On a virtual machine the second buffer alone costs a
// tenth or more of the rate, so the check is shown against both.
void BM_PlainRead(benchmark::State& state) {
  platform::Env* env = platform::CurrentEnv();
  std::unique_ptr<platform::Target> target;
  if (env->OpenTarget(g_target, false, &target) != 0) {
    state.SkipWithError("cannot open the target");
    return;
  }
  const uint32_t chunk = uint32_t{kScanBufferBlocks} * kBlockSize;
  const auto count = static_cast<size_t>(state.range(0));
  std::vector<void*> buffers(count);
  uint32_t error = 0;
  for (void*& buffer : buffers) buffer = env->AllocatePages(chunk, &error);
  size_t next = 0;
  for (auto _ : state) {
    for (int64_t at = 0; at < g_bytes; at += chunk) {
      uint32_t moved = 0;
      void* buffer = buffers[next++ % count];
      if (target->ReadAt(at, buffer, chunk, &moved) != 0 || moved != chunk) {
        state.SkipWithError("read failed");
        break;
      }
    }
  }
  state.SetBytesProcessed(state.iterations() * g_bytes);
  for (void* buffer : buffers) env->FreePages(buffer, chunk);
}
BENCHMARK(BM_PlainRead)
    ->ArgName("buffers")
    ->Arg(1)
    ->Arg(2)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

void BM_Check(benchmark::State& state, const std::string* target) {
  for (auto _ : state) {
    // Read afresh each time: reading it is part of what it costs.
    std::unique_ptr<PowerCutCheck> power_cut;
    if (state.range(1) != 0) {
      journal::JournalContents contents;
      if (!journal::ReadJournal(g_journal, &contents).empty()) {
        state.SkipWithError("cannot read the journal");
        break;
      }
      power_cut = std::make_unique<PowerCutCheck>(std::move(contents), "");
    }
    TestDisk d;
    d.Open(*target, 0, kScanBufferBlocks);
    try {
      Scanner(d, static_cast<int32_t>(state.range(0)), power_cut.get()).Run();
    } catch (const Error& e) {
      state.SkipWithError("the scan failed");
    }
    const bool clean = d.Mismatches == 0;
    d.Close();
    if (!clean) {
      state.SkipWithError("the scan reported mismatches");
      break;
    }
  }
  state.SetBytesProcessed(state.iterations() * g_bytes);
}
BENCHMARK_CAPTURE(BM_Check, Stamped, &g_target)
    ->ArgNames({"threads", "journal"})
    ->Args({0, 0})->Args({1, 0})->Args({2, 0})->Args({0, 1})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(BM_Check, Classic, &g_classic)
    ->ArgNames({"threads", "journal"})->Args({0, 0})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
// Must stay within a few times the stamped target's check.
BENCHMARK_CAPTURE(BM_Check, Hostile, &g_hostile)
    ->ArgNames({"threads", "journal"})->Args({0, 0})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
}  // namespace vorbex

int main(int argc, char** argv) {
  std::vector<char*> args = vorbex::bench::WithRepetitions(argc, argv);
  argc = static_cast<int>(args.size()) - 1;
  benchmark::Initialize(&argc, args.data());
  if (benchmark::ReportUnrecognizedArguments(argc, args.data())) return 1;
  try {
    vorbex::MakeStampedTarget();
    vorbex::MakeHostileTarget();
    vorbex::MakeJournal();
  } catch (const vorbex::Error& e) {
    std::fprintf(stderr, "cannot stamp the targets: Error %u\n", e.code());
    std::filesystem::remove(vorbex::g_target);
    if (!vorbex::g_classic.empty()) std::filesystem::remove(vorbex::g_classic);
    if (!vorbex::g_hostile.empty()) std::filesystem::remove(vorbex::g_hostile);
    return 1;
  }
  const std::string one = "BM_PlainRead/buffers:1/real_time";
  const std::string two = "BM_PlainRead/buffers:2/real_time";
  const std::string check = "BM_Check/Stamped/threads:0/journal:0/real_time";
  vorbex::bench::RatioReporter reporter({
      {"check", check, one},
      {"check, to 2 buffers", check, two},
      {"check on 1 thread", "BM_Check/Stamped/threads:1/journal:0/real_time", one},
      {"check on 2 threads", "BM_Check/Stamped/threads:2/journal:0/real_time", one},
      {"check, hostile stamps", "BM_Check/Hostile/threads:0/journal:0/real_time", one},
      {"check, stamps without checksums", "BM_Check/Classic/threads:0/journal:0/real_time",
       one},
      {"check with a journal of 10 million writes, to without",
       "BM_Check/Stamped/threads:0/journal:1/real_time", check},
      {"2 buffers, to 1", two, one},
  });
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  std::filesystem::remove(vorbex::g_target);
  std::filesystem::remove(vorbex::g_classic);
  std::filesystem::remove(vorbex::g_hostile);
  std::filesystem::remove(vorbex::g_journal);
  return 0;
}
