// Feeds the start-up scan targets built from the fuzzer's input, on the
// in-memory Env. Random bytes would almost never pass block 0's check or
// carry a stamp of the adopted DiskID, so the input is not the medium itself
// but a recipe: a small target stamped by real writes, then a list of
// operations that write more, damage blocks, or set what many writes would
// have left behind. Most blocks stay plausible, so every pass of the scan is
// reached, and the fuzzer's comparisons steer the damaged fields.
//
// Beyond crashes, hangs and sanitizer reports it checks two verdicts: a
// target that only ever saw whole, undamaged writes of its own is confirmed
// without a single report, every stamped block Written at the generation it
// carries, and the next write newer than every stamp; and on any target, no
// stamp of the target whose checksum fails ends up trusted. Writes carry a
// checksum or not as the recipe says, so targets hold both forms.
//
// Standard output (the scan's reports) goes to /dev/null unless
// VORBEX_FUZZ_STDOUT is set, for when one input is replayed.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "base/error.h"
#include "base/flags.h"
#include "check/scanner.h"
#include "disk/block_format.h"
#include "disk/block_state.h"
#include "disk/disk_handle.h"
#include "disk/stamp_checksum.h"
#include "disk/transfer_counters.h"
#include "platform/error_codes.h"
#include "support/fake_env.h"

namespace vorbex {
namespace {

constexpr char kPath[] = "fuzz.img";

// The smallest chunk the scan takes and a few more, so that small targets
// span several chunks and the window slides; odd sizes put chunk boundaries
// where no power of two would.
constexpr int32_t kChunkChoices[] = {kSelfEntry, kSelfEntry + 1, 96, 128};
// Up to eight chunks of the smallest size; more only costs time.
constexpr int32_t kMostBlocks = 8 * kSelfEntry;
constexpr int32_t kWriterBlocks = 256;
constexpr uint32_t kDiskId = 0x600DD15C;

// The input, read from the front; past its end every byte reads as 0.
class Recipe {
 public:
  Recipe(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  bool Done() const { return pos_ >= size_; }
  uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  template <typename T>
  T Value() {
    uint8_t bytes[sizeof(T)] = {};
    for (uint8_t& b : bytes) b = Byte();
    T v;
    std::memcpy(&v, bytes, sizeof v);
    return v;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

// What the recipe's operations are, by their first byte modulo kOpCount.
enum Op : uint8_t {
  kWrite,          // u16 first, u8 count - 1
  kTornWrite,      // kWrite's arguments, u8 from, u8 count: those blocks keep
                   // what they held before the write
  kForeignWrite,   // kWrite's arguments, u8 bit: DiskID with that bit flipped
  kCopy,           // u16 from, u16 to: a misdirected or stale block
  kPoke,           // u16 block, u16 offset, u8 length - 1, the bytes
  kSetField,       // u16 block, u8 field, the field's bytes
  kSetEntry,       // u16 block, u8 entry, u16 value
  kZero,           // u16 block
  kRewrite,        // u16 block, u16 generation: the block's write after it
                   // had been written that often alone
  kRaiseWriteSeq,  // u64: the writers' counter jumps ahead to it
  kBadSpot,        // u16 block, u16 offset: reads covering it fail
  kForm,           // u8: later writes carry a checksum unless bit 0 is set
  kReseal,         // u16 block: its checksum made to hold again, as if the
                   // writer had stamped the damaged fields
  kOpCount
};

class Builder {
 public:
  Builder(platform::FakeEnv& env, TestDisk& writer, int32_t blocks)
      : env_(env), writer_(writer), blocks_(blocks) {}

  void Apply(Op op, Recipe& r) {
    switch (op) {
      case kWrite: Write(r); break;
      case kTornWrite: TornWrite(r); break;
      case kForeignWrite: ForeignWrite(r); break;
      case kCopy: Copy(r); break;
      case kPoke: Poke(r); break;
      case kSetField: SetField(r); break;
      case kSetEntry: SetEntry(r); break;
      case kZero:
        Put(Blk(r), std::vector<uint8_t>(kBlockSize));
        Damage();
        break;
      case kRewrite: Rewrite(r); break;
      case kRaiseWriteSeq: RaiseWriteSeq(r); break;
      case kBadSpot: BadSpot(r); break;
      case kForm: g_flags.checksum = (r.Byte() & 1) == 0; break;
      case kReseal: Reseal(r); break;
      case kOpCount: break;
    }
  }

  // Whether anything but whole writes of this target's own changed it.
  bool Damaged() const { return damaged_; }
  void Damage() { damaged_ = true; }

  std::vector<uint8_t> Get(int32_t b) {
    return env_.ReadMedium(kPath, int64_t{b} * kBlockSize, kBlockSize);
  }
  void Put(int32_t b, const std::vector<uint8_t>& bytes) {
    env_.WriteMedium(kPath, int64_t{b} * kBlockSize, bytes);
  }

  // Writes from first on, up to count blocks and never past the end.
  void WriteRange(int32_t first, int32_t count) {
    writer_.WriteRange(first, std::min(count, blocks_ - first));
  }

 private:
  int32_t Blk(Recipe& r) { return r.Value<uint16_t>() % blocks_; }
  int32_t Count(Recipe& r, int32_t first) {
    return std::min(1 + r.Byte(), blocks_ - first);
  }

  void Write(Recipe& r) {
    const int32_t first = Blk(r);
    WriteRange(first, Count(r, first));
  }

  void TornWrite(Recipe& r) {
    const int32_t first = Blk(r);
    const int32_t count = Count(r, first);
    const int32_t from = r.Byte() % count;
    const int32_t kept = 1 + r.Byte() % (count - from);
    const std::vector<uint8_t> before =
        env_.ReadMedium(kPath, int64_t{first + from} * kBlockSize,
                        static_cast<size_t>(kept) * kBlockSize);
    WriteRange(first, count);
    env_.WriteMedium(kPath, int64_t{first + from} * kBlockSize, before);
    Damage();
  }

  void ForeignWrite(Recipe& r) {
    const int32_t first = Blk(r);
    const int32_t count = Count(r, first);
    writer_.Table->DiskID = kDiskId ^ (1u << (r.Byte() % 32));
    WriteRange(first, count);
    writer_.Table->DiskID = kDiskId;
    Damage();
  }

  void Copy(Recipe& r) {
    const int32_t from = Blk(r);
    Put(Blk(r), Get(from));
    Damage();
  }

  void Poke(Recipe& r) {
    const int32_t b = Blk(r);
    const int offset = r.Value<uint16_t>() % kBlockSize;
    const int length = 1 + r.Byte() % 8;
    std::vector<uint8_t> bytes = Get(b);
    for (int i = 0; i < length && offset + i < kBlockSize; ++i) {
      bytes[offset + i] = r.Byte();
    }
    Put(b, bytes);
    Damage();
  }

  void SetField(Recipe& r) {
    const int32_t b = Blk(r);
    const int field = r.Byte() % (kHeaderBytes / 4 - 1);
    // Every field is 32 bits but WriteSeq, the ninth, at offset 32.
    const int offset = field <= 8 ? 4 * field : 4 * field + 4;
    std::vector<uint8_t> bytes = Get(b);
    if (field == 8) {
      const auto v = r.Value<int64_t>();
      std::memcpy(&bytes[offset], &v, sizeof v);
    } else {
      const auto v = r.Value<uint32_t>();
      std::memcpy(&bytes[offset], &v, sizeof v);
    }
    Put(b, bytes);
    Damage();
  }

  void SetEntry(Recipe& r) {
    const int32_t b = Blk(r);
    const int k = r.Byte() % kNeighbours;
    const auto v = r.Value<uint16_t>();
    std::vector<uint8_t> bytes = Get(b);
    std::memcpy(&bytes[kMapOffset + 2 * k], &v, sizeof v);
    Put(b, bytes);
    Damage();
  }

  // Only the block's own stamp may know of the generations in between, and
  // its own write comes last, so the target stays one a real run could
  // leave; the next write may wrap the generation to 0.
  void Rewrite(Recipe& r) {
    const int32_t b = Blk(r);
    const auto seq = r.Value<uint16_t>();
    std::atomic<BlockState>& cell = writer_.Table->States[b];
    cell.store(WithSeq(cell.load(), seq));
    WriteRange(b, 1);
  }

  // Far ahead, but never so far that the writers' counter could overflow.
  void RaiseWriteSeq(Recipe& r) {
    const int64_t v = static_cast<int64_t>(r.Value<uint64_t>() >> 2);
    writer_.Table->WriteSeq = std::max(writer_.Table->WriteSeq, v);
  }

  void BadSpot(Recipe& r) {
    const int32_t b = Blk(r);
    env_.FailReadsAt(kPath,
                     int64_t{b} * kBlockSize + r.Value<uint16_t>() % kBlockSize,
                     platform::kErrorIoDevice);
    Damage();
  }

  void Reseal(Recipe& r) {
    const int32_t b = Blk(r);
    std::vector<uint8_t> bytes = Get(b);
    if (ChecksumFlag(LoadHeader(bytes.data())) == 0) return;
    const uint32_t sum = BlockChecksum(bytes.data());
    std::memcpy(&bytes[offsetof(BlockHeader, Reserved)], &sum, sizeof sum);
    Put(b, bytes);
    Damage();
  }

  platform::FakeEnv& env_;
  TestDisk& writer_;
  const int32_t blocks_;
  bool damaged_ = false;
};

[[noreturn]] void Fail(const char* what, int32_t block) {
  std::fprintf(stderr, "scan_fuzzer: %s (block %d)\n", what, block);
  std::abort();
}

// A target with nothing but its own whole writes on it: no report, the table
// holds exactly what the stamps say, and the next write is newer than all.
void CheckCleanVerdict(Builder& target, TestDisk& scanner, bool threw) {
  if (threw) Fail("the scan of an undamaged target failed", -1);
  if (scanner.Mismatches != 0) Fail("an undamaged target got a report", -1);
  for (int32_t b = 0; b < scanner.BlockCount; ++b) {
    const BlockHeader h = LoadHeader(target.Get(b).data());
    const BlockState s = scanner.Table->States[b].load();
    const bool stamped = h.Magic == kMagic;
    if (((s & kWritten) != 0) != stamped) Fail("Written is wrong", b);
    if (SeqOf(s) != (stamped ? h.Seq : 0)) Fail("the generation is wrong", b);
    if (stamped && h.WriteSeq >= scanner.Table->WriteSeq) {
      Fail("the next WriteSeq is not newer", b);
    }
  }
}

// A stamp of the target that is not what its writer wrote is reported and
// vouches for nothing, not even for itself. A scan that stopped early did
// not reach every block.
void CheckNoDamagedStampTrusted(Builder& target, TestDisk& scanner,
                                bool threw) {
  if (threw) return;
  int32_t damaged = 0;
  for (int32_t b = 0; b < scanner.BlockCount; ++b) {
    const std::vector<uint8_t> bytes = target.Get(b);
    const BlockHeader h = LoadHeader(bytes.data());
    if (h.Magic != kMagic || h.DiskID != scanner.Table->DiskID ||
        CheckChecksum(bytes.data(), h).kind != ChecksumVerdict::kBad) {
      continue;
    }
    if ((scanner.Table->States[b].load() & kWritten) != 0) {
      Fail("a damaged stamp was trusted", b);
    }
    ++damaged;
  }
  // Each of them reported, and none twice; other damage adds reports.
  if (scanner.Mismatches < damaged) Fail("a damaged stamp went unreported", -1);
}

void RunOne(const uint8_t* data, size_t size) {
  Recipe r(data, size);
  const uint8_t shape = r.Byte();
  const int32_t chunk = kChunkChoices[shape % 4];
  const int32_t blocks = 1 + r.Value<uint16_t>() % kMostBlocks;
  // A trailing partial block, which no one may touch.
  const int64_t tail = (shape & 4) != 0 ? kBlockSize / 2 : 0;
  // The first writes cover the target in pieces of one length, leaving
  // every other piece unwritten when asked.
  const int32_t piece = 1 + r.Byte();
  const bool holes = (shape & 8) != 0;

  g_flags.checksum = true;
  platform::FakeEnv env;
  platform::SetCurrentEnv(&env);
  env.AddTarget(kPath, int64_t{blocks} * kBlockSize + tail);
  // Every table's coverage is kept as long as its counters are; a fuzzer
  // makes millions of tables, so each input counts on counters of its own.
  RunCounters counters;
  SetRunCounters(&counters);

  TestDisk writer;
  writer.Open(kPath, 7, kWriterBlocks);
  writer.Table->DiskID = kDiskId;  // not the address it was made from
  Builder target(env, writer, blocks);
  target.WriteRange(0, 1);
  for (int32_t b = 1, k = 0; b < blocks; b += piece, ++k) {
    if (!holes || k % 2 == 0) target.WriteRange(b, piece);
  }
  while (!r.Done()) target.Apply(static_cast<Op>(r.Byte() % kOpCount), r);
  writer.Close();

  // The scan reads no further without a block 0 of its own.
  std::vector<uint8_t> zero = target.Get(0);
  BlockHeader h = LoadHeader(zero.data());
  if (h.Magic != kMagic || h.Blkno != 0) {
    h.Magic = kMagic;
    h.Blkno = 0;
    StoreHeader(h, zero.data());
    target.Put(0, zero);
    target.Damage();
  }

  TestDisk scanner;
  scanner.Open(kPath, 0, chunk);
  bool threw = false;
  try {
    Scanner(scanner).Run();
  } catch (const Error&) {
    threw = true;
  }
  if (!target.Damaged()) CheckCleanVerdict(target, scanner, threw);
  CheckNoDamagedStampTrusted(target, scanner, threw);
  scanner.Close();
  SetRunCounters(nullptr);
  platform::SetCurrentEnv(nullptr);
}

}  // namespace
}  // namespace vorbex

// Runs once, before the fuzzer starts any thread.
extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  // NOLINTNEXTLINE(concurrency-mt-unsafe): no other thread yet
  if (std::getenv("VORBEX_FUZZ_STDOUT") == nullptr) {
    if (std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
  }
  vorbex::g_flags = vorbex::Flags{};
  vorbex::g_flags.RunID = 0x1357;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  vorbex::RunOne(data, size);
  return 0;
}
