// The contract of the platform layer, held by the native Env on real files
// and by the fake one alike, and the native Env's own duties.

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/env.h"
#include "platform/errno_table.h"
#include "platform/error_codes.h"
#include "platform/placement.h"
#include "platform/volume_size.h"
#include "support/fake_env.h"
#include "test_support.h"

namespace vorbex::platform {
namespace {

using vorbex::testing::kWindows;
using vorbex::testing::MakeSparseFile;
using vorbex::testing::ReadFile;
using vorbex::testing::TempDir;

constexpr int64_t kTargetBytes = 16 * 512;

class EnvContractTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    if (GetParam()) {
      env_ = NativeEnv();
      path_ = dir_.File("target.img");
      MakeSparseFile(path_, kTargetBytes);
    } else {
      env_ = &fake_;
      path_ = "target.img";
      fake_.AddTarget(path_, kTargetBytes);
    }
    ASSERT_EQ(env_->OpenTarget(path_, false, &target_), kErrorSuccess);
    uint32_t error = 0;
    buffer_ = static_cast<uint8_t*>(env_->AllocatePages(4 * 512, &error));
    ASSERT_NE(buffer_, nullptr) << error;
  }
  void TearDown() override {
    if (buffer_ != nullptr) env_->FreePages(buffer_, 4 * 512);
  }

  TempDir dir_;
  FakeEnv fake_;
  Env* env_ = nullptr;
  std::string path_;
  std::unique_ptr<Target> target_;
  uint8_t* buffer_ = nullptr;
};

TEST_P(EnvContractTest, WritesComeBackFromTheirOffset) {
  EXPECT_EQ(reinterpret_cast<uintptr_t>(buffer_) % 4096, 0u);
  for (int i = 0; i < 4 * 512; ++i) EXPECT_EQ(buffer_[i], 0) << i;
  for (int i = 0; i < 2 * 512; ++i) buffer_[i] = static_cast<uint8_t>(i * 7);
  uint32_t moved = 0;
  ASSERT_EQ(target_->WriteAt(3 * 512, buffer_, 2 * 512, &moved), kErrorSuccess);
  EXPECT_EQ(moved, 2u * 512);
  std::memset(buffer_, 0, 4 * 512);
  ASSERT_EQ(target_->ReadAt(2 * 512, buffer_, 4 * 512, &moved), kErrorSuccess);
  EXPECT_EQ(moved, 4u * 512);
  for (int i = 0; i < 512; ++i) ASSERT_EQ(buffer_[i], 0) << i;
  for (int i = 0; i < 2 * 512; ++i) {
    ASSERT_EQ(buffer_[512 + i], static_cast<uint8_t>(i * 7)) << i;
  }
  int64_t bytes = 0;
  ASSERT_EQ(target_->QuerySize(&bytes), kErrorSuccess);
  EXPECT_EQ(bytes, kTargetBytes);
}

TEST_P(EnvContractTest, ReadingAcrossTheEndMovesLess) {
  uint32_t moved = 0;
  ASSERT_EQ(target_->ReadAt(kTargetBytes - 512, buffer_, 4 * 512, &moved),
            kErrorSuccess);
  EXPECT_EQ(moved, 512u);
  ASSERT_EQ(target_->ReadAt(kTargetBytes, buffer_, 512, &moved), kErrorSuccess);
  EXPECT_EQ(moved, 0u);
}

// A window of blocks 4 .. 9 is a target of six blocks: its offsets count
// from block 4, and a transfer that runs past its end stops there, leaving
// block 10 as it was.
TEST_P(EnvContractTest, AWindowSeesOnlyItsOwnBytes) {
  std::unique_ptr<Target> window =
      WindowOf(std::move(target_), 4 * 512, 6 * 512);
  int64_t bytes = 0;
  ASSERT_EQ(window->QuerySize(&bytes), kErrorSuccess);
  EXPECT_EQ(bytes, 6 * 512);
  std::memset(buffer_, 0x5A, 4 * 512);
  uint32_t moved = 0;
  ASSERT_EQ(window->WriteAt(4 * 512, buffer_, 4 * 512, &moved), kErrorSuccess);
  EXPECT_EQ(moved, 2u * 512);
  ASSERT_EQ(window->WriteAt(6 * 512, buffer_, 512, &moved), kErrorSuccess);
  EXPECT_EQ(moved, 0u);

  std::unique_ptr<Target> whole;
  ASSERT_EQ(env_->OpenTarget(path_, false, &whole), kErrorSuccess);
  ASSERT_EQ(whole->ReadAt(7 * 512, buffer_, 4 * 512, &moved), kErrorSuccess);
  EXPECT_EQ(moved, 4u * 512);
  EXPECT_EQ(buffer_[0], 0);           // block 7, before the write
  EXPECT_EQ(buffer_[512], 0x5A);      // block 8, the window's block 4
  EXPECT_EQ(buffer_[2 * 512], 0x5A);  // block 9, its last
  EXPECT_EQ(buffer_[3 * 512], 0);     // block 10, past its end
  EXPECT_EQ(window->ReadAt(5 * 512, buffer_, 2 * 512, &moved), kErrorSuccess);
  EXPECT_EQ(moved, 512u);
}

TEST_P(EnvContractTest, MissingTargetsAreNotCreated) {
  std::unique_ptr<Target> t;
  const std::string missing = GetParam() ? dir_.File("missing") : "missing";
  EXPECT_EQ(env_->OpenTarget(missing, false, &t), kErrorFileNotFound);
  EXPECT_EQ(t, nullptr);
  if (GetParam()) {
    EXPECT_FALSE(std::filesystem::exists(missing));
  }
}

INSTANTIATE_TEST_SUITE_P(NativeAndFake, EnvContractTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "Native" : "Fake";
                         });

TEST(NativeEnvTest, RegularFileOfFiveGibibytesHasItsFullSize) {
  TempDir dir;
  const std::string path = dir.File("five.img");
  MakeSparseFile(path, uint64_t{5} << 30);
  std::unique_ptr<Target> t;
  ASSERT_EQ(NativeEnv()->OpenTarget(path, false, &t), kErrorSuccess);
  int64_t bytes = 0;
  ASSERT_EQ(t->QuerySize(&bytes), kErrorSuccess);
  EXPECT_EQ(bytes, int64_t{5} << 30);
  EXPECT_FALSE(NativeEnv()->NamesDevice(path));
}

TEST(NativeEnvTest, OpenFailuresCarryTheWindowsCode) {
  TempDir dir;
  const std::string file = dir.File("plain");
  MakeSparseFile(file, 512);
  std::unique_ptr<Target> t;
  EXPECT_EQ(NativeEnv()->OpenTarget(file + "/below", false, &t),
            kErrorPathNotFound);
  EXPECT_EQ(NativeEnv()->OpenTarget(dir.path().string(), false, &t),
            kErrorAccessDenied);
  // Names nothing on Linux; on Windows it is the system's own volume.
  if (!vorbex::testing::kWindows) {
    EXPECT_EQ(NativeEnv()->OpenTarget("\\\\.\\C:", true, &t),
              kErrorFileNotFound);
  }
  EXPECT_EQ(NativeEnv()->OpenTarget(std::string(5000, 'x'), false, &t),
            kErrorFilenameTooLong);
}

TEST(NativeEnvTest, FileSystemsWithoutDirectIoFallBackToTheCache) {
  const std::filesystem::path shm = "/dev/shm";
  if (!std::filesystem::is_directory(shm)) GTEST_SKIP() << "no /dev/shm here";
  // Newer kernels give tmpfs direct I/O, older ones refuse it; either way the
  // target must open, move data, and say that its reads come from memory.
  TempDir owner;
  const std::string path = (shm / owner.path().filename()).string() + ".img";
  MakeSparseFile(path, 4096);
  std::unique_ptr<Target> t;
  EXPECT_EQ(NativeEnv()->OpenTarget(path, false, &t), kErrorSuccess);
  if (t != nullptr) {
    EXPECT_TRUE(t->Buffered());
    uint32_t error = 0;
    void* buffer = NativeEnv()->AllocatePages(512, &error);
    uint32_t moved = 0;
    EXPECT_EQ(t->WriteAt(512, buffer, 512, &moved), kErrorSuccess);
    EXPECT_EQ(moved, 512u);
    NativeEnv()->FreePages(buffer, 512);
  }
  t.reset();  // Windows deletes no file that is open
  std::filesystem::remove(path);
}

// --- What the journal needs: a file to append to, where it lies with
// respect to the target, and the operator's command.

std::vector<uint8_t> Bytes(const std::string& text) {
  return {text.begin(), text.end()};
}

TEST(AppendFileTest, AnExistingFileIsEmptiedAndKeepsWhatIsAppended) {
  TempDir dir;
  const std::string path = dir.File("journal");
  vorbex::testing::WriteFile(path, Bytes("an older run's records"));
  std::unique_ptr<AppendFile> file;
  ASSERT_EQ(CreateAppendFile(path, &file), kErrorSuccess);
  EXPECT_TRUE(file->Keeps());
  EXPECT_TRUE(ReadFile(path).empty());
  const std::string big(3 << 20, 'b');
  ASSERT_EQ(file->Append("one,", 4), kErrorSuccess);
  ASSERT_EQ(file->Append(big.data(), big.size()), kErrorSuccess);
  ASSERT_EQ(file->Sync(), kErrorSuccess);
  EXPECT_EQ(ReadFile(path), Bytes("one," + big));

  EXPECT_NE(CreateAppendFile(dir.File("missing/journal"), &file),
            kErrorSuccess);
}

// A FIFO stands for `--journal >(ssh host ...)`: written as it is, kept by
// its reader, and a reader that goes away is an error, not the end of the
// process.
TEST(AppendFileTest, AFifoIsWrittenAsItIsAndAGoneReaderIsAnError) {
  if (kWindows) GTEST_SKIP() << "Windows has no FIFOs";
  const std::string mkfifo = vorbex::testing::FindTool("mkfifo");
  if (mkfifo.empty()) GTEST_SKIP() << "mkfifo is not installed";
  TempDir dir;
  const std::string fifo = dir.File("fifo");
  ASSERT_EQ(RunProcess({mkfifo, fifo}, 30).exit_code, 0);
  const std::string target = dir.File("target.img");
  MakeSparseFile(target, 4096);
  Placement placement = Placement::kIsTarget;
  ASSERT_EQ(NativeEnv()->Place(fifo, target, false, &placement), kErrorSuccess);
  EXPECT_EQ(placement, Placement::kElsewhere);

  std::string got(7, '\0');
  std::thread reader([&] {
    std::ifstream in(fifo, std::ios::binary);
    in.read(got.data(), static_cast<std::streamsize>(got.size()));
  });
  std::unique_ptr<AppendFile> file;
  const uint32_t opened = CreateAppendFile(fifo, &file);
  if (opened == kErrorSuccess) {
    EXPECT_EQ(file->Append("records", 7), kErrorSuccess);
  } else {
    std::ofstream(fifo).put('x');  // lets the reader go
  }
  reader.join();
  ASSERT_EQ(opened, kErrorSuccess);
  EXPECT_EQ(got, "records");
  EXPECT_FALSE(file->Keeps());
  EXPECT_EQ(file->Sync(), kErrorSuccess);
  EXPECT_EQ(file->Append("lost", 4), kErrorNoData);
  EXPECT_EQ(file->Append("lost", 4), kErrorNoData);
}

TEST(PlaceTest, FilesBesideAFileTarget) {
  TempDir dir;
  const std::string target = dir.File("target.img");
  const std::string other = dir.File("other");
  MakeSparseFile(target, 4096);
  MakeSparseFile(other, 0);
  const auto place = [&](const std::string& path) {
    Placement placement = Placement::kElsewhere;
    EXPECT_EQ(NativeEnv()->Place(path, target, false, &placement),
              kErrorSuccess)
        << path;
    return placement;
  };
  EXPECT_EQ(place(target), Placement::kIsTarget);
  EXPECT_EQ(place(other), Placement::kSameFileSystem);
  EXPECT_EQ(place(dir.File("not yet")), Placement::kSameFileSystem);
  // A link to nothing yet, from another file system: the file would be
  // made where it points.
  const std::filesystem::path shm = "/dev/shm";
  if (!kWindows && std::filesystem::is_directory(shm)) {
    const std::filesystem::path link = shm / dir.path().filename();
    std::filesystem::create_symlink(dir.File("not yet"), link);
    EXPECT_EQ(place(link.string()), Placement::kSameFileSystem);
    std::filesystem::remove(link);
  }

  Placement untouched = Placement::kOnTargetDevice;
  EXPECT_NE(NativeEnv()->Place(dir.File("no/such"), target, false, &untouched),
            kErrorSuccess);
  EXPECT_NE(NativeEnv()->Place(other, dir.File("gone"), false, &untouched),
            kErrorSuccess);
  EXPECT_EQ(untouched, Placement::kOnTargetDevice);
}

// Disk 8:0 holds partitions 8:1 and 8:2; 8:16 is another disk and 0:40 a
// file system in memory.
TEST(PlaceTest, DevicesCountAsTheTargetsByTheirPartitions) {
  using Kind = NodeFacts::Kind;
  constexpr uint64_t kDisk = 0x800, kPart1 = 0x801, kPart2 = 0x802;
  constexpr uint64_t kOtherDisk = 0x810, kMemory = 40;
  const auto node = [](Kind kind, uint64_t device, uint64_t whole_disk,
                       uint64_t ino, bool exists = true) {
    NodeFacts facts;
    facts.kind = kind;
    facts.exists = exists;
    facts.node_device = kind == Kind::kBlockDevice ? 5 : device;
    facts.node = ino;
    facts.device = device;
    facts.whole_disk = whole_disk;
    return facts;
  };
  const NodeFacts disk = node(Kind::kBlockDevice, kDisk, 0, 100);
  const NodeFacts part1 = node(Kind::kBlockDevice, kPart1, kDisk, 101);
  const NodeFacts image = node(Kind::kFile, kMemory, 0, 7);
  struct Case {
    const char* name;
    NodeFacts journal;
    NodeFacts target;
    Placement want;
  };
  const Case cases[] = {
      {"file on the disk", node(Kind::kFile, kDisk, 0, 9), disk,
       Placement::kOnTargetDevice},
      {"file on a partition", node(Kind::kFile, kPart1, kDisk, 9), disk,
       Placement::kOnTargetDevice},
      {"new file on a partition", node(Kind::kFile, kPart1, kDisk, 2, false),
       disk, Placement::kOnTargetDevice},
      {"file on the partition's disk", node(Kind::kFile, kDisk, 0, 9), part1,
       Placement::kOnTargetDevice},
      {"file on a sibling", node(Kind::kFile, kPart2, kDisk, 9), part1,
       Placement::kElsewhere},
      {"file on another disk", node(Kind::kFile, kOtherDisk, 0, 9), disk,
       Placement::kElsewhere},
      {"FIFO on the disk", node(Kind::kStream, kDisk, 0, 9), disk,
       Placement::kElsewhere},
      {"the same device", node(Kind::kBlockDevice, kDisk, 0, 300), disk,
       Placement::kIsTarget},
      {"a partition", part1, disk, Placement::kIsTarget},
      {"the partition's disk", disk, part1, Placement::kIsTarget},
      {"a sibling", node(Kind::kBlockDevice, kPart2, kDisk, 102), part1,
       Placement::kElsewhere},
      {"the device under a file target", part1,
       node(Kind::kFile, kPart1, kDisk, 9), Placement::kIsTarget},
      {"the file target", image, image, Placement::kIsTarget},
      {"beside the file target", node(Kind::kFile, kMemory, 0, 8), image,
       Placement::kSameFileSystem},
      {"file target elsewhere", node(Kind::kFile, kPart1, kDisk, 7), image,
       Placement::kElsewhere},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(PlaceByFacts(c.journal, c.target), c.want) << c.name;
  }
}

// Here the system's own numbers, and sysfs's account of partitions, are
// the ones read.
TEST(PlaceTest, ALoopDeviceAndItsPartitionAreTheTarget) {
  TempDir dir;
  const std::string backing = dir.File("disk.img");
  vorbex::testing::MakeOnePartitionImage(backing, 16384);
  vorbex::testing::LoopDevice loop(backing, /*partitions=*/true);
  if (!loop.ok()) GTEST_SKIP() << "no loop device: " << loop.reason();
  const std::string partition = loop.device() + "p1";
  const auto place = [](const std::string& path, const std::string& target) {
    Placement placement = Placement::kElsewhere;
    EXPECT_EQ(NativeEnv()->Place(path, target, true, &placement),
              kErrorSuccess);
    return placement;
  };
  EXPECT_EQ(place(loop.device(), loop.device()), Placement::kIsTarget);
  EXPECT_EQ(place(dir.File("journal"), loop.device()), Placement::kElsewhere);
  if (!std::filesystem::exists(partition)) {
    GTEST_SKIP() << "the kernel made no partition device " << partition;
  }
  EXPECT_EQ(place(partition, loop.device()), Placement::kIsTarget);
  EXPECT_EQ(place(loop.device(), partition), Placement::kIsTarget);
}

TEST(ShellCommandTest, TheCommandsExitStatusComesBack) {
  int code = -1;
  ASSERT_EQ(RunShellCommand("exit 3", &code), kErrorSuccess);
  EXPECT_EQ(code, 3);
  if (kWindows) return;
  ASSERT_EQ(RunShellCommand("vorbex-no-such-command 2>/dev/null", &code),
            kErrorSuccess);
  EXPECT_EQ(code, 127);
  ASSERT_EQ(RunShellCommand("kill -TERM $$", &code), kErrorSuccess);
  EXPECT_EQ(code, 128 + 15);
}

TEST(ErrnoTableTest, TranslatesTheCodesUsersMeet) {
  EXPECT_EQ(ErrorFromErrno(ENOENT), 2u);
  EXPECT_EQ(ErrorFromErrno(ENOTDIR), 3u);
  EXPECT_EQ(ErrorFromErrno(EACCES), 5u);
  EXPECT_EQ(ErrorFromErrno(EPERM), 5u);
  EXPECT_EQ(ErrorFromErrno(EROFS), 19u);
  EXPECT_EQ(ErrorFromErrno(EINVAL), 87u);
  EXPECT_EQ(ErrorFromErrno(ENOSPC), 112u);
  EXPECT_EQ(ErrorFromErrno(EBUSY), 170u);
  EXPECT_EQ(ErrorFromErrno(EIO), 1117u);
  EXPECT_EQ(ErrorFromErrno(EPIPE), 232u);
  // No counterpart: the system's own number survives behind the flag bit.
  EXPECT_EQ(ErrorFromErrno(EXDEV), kForeignErrorBit + EXDEV);
}

// What the Windows volume sizing makes of each answer a driver may give.
// Wine answers neither partition query, so these canned answers stand in
// for the drivers of real Windows machines.
TEST(VolumeSizeTest, EachAnswerOfThePartitionQueries) {
  constexpr int64_t kLength = int64_t{3} << 40;
  const PartitionAnswer full_ex{true, 0, kPartitionAnswerExBytes, kLength};
  const PartitionAnswer full{true, 0, kPartitionAnswerBytes, kLength};
  const PartitionAnswer failed{false, kErrorNotSupported, 0, 0};
  const PartitionAnswer short_ex{true, 0, kPartitionAnswerExBytes - 1, kLength};
  const PartitionAnswer short_older{true, 0, kPartitionAnswerBytes - 8,
                                    kLength};
  const PartitionAnswer denied{false, kErrorAccessDenied, 0, 0};
  const PartitionAnswer no_code{false, 0, 0, 0};
  struct Case {
    const char* name;
    PartitionAnswer current;
    PartitionAnswer older;
    uint32_t error;
    bool asks_older;
  };
  const Case cases[] = {
      {"current in full", full_ex, full, kErrorSuccess, false},
      // A short answer to the current query is final, even though the older
      // one would have answered.
      {"current short", short_ex, full, kErrorBadLength, false},
      {"older in full", failed, full, kErrorSuccess, true},
      {"older short", failed, short_older, kErrorBadLength, true},
      {"both fail", failed, denied, kErrorAccessDenied, true},
      // A failure whose code got lost still fails.
      {"both fail without a code", failed, no_code, kErrorIoDevice, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    bool asked_older = false;
    const auto ask_older = [&] {
      asked_older = true;
      return c.older;
    };
    int64_t bytes = -1;
    EXPECT_EQ(VolumeSize(c.current, ask_older, &bytes), c.error);
    EXPECT_EQ(asked_older, c.asks_older);
    EXPECT_EQ(bytes, c.error == kErrorSuccess ? kLength : -1);
  }
}

}  // namespace
}  // namespace vorbex::platform
