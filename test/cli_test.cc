// Runs the real binary on scratch targets and checks what a user sees: the
// exact lines on each stream, the exit code, and that nothing is written.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "cli_support.h"
#include "disk/block_format.h"
#include "disk/disk_handle.h"
#include "platform/testing/subprocess.h"
#include "run/command_line.h"
#include "test_support.h"

namespace vorbex {
namespace {

using platform::ProcessResult;
using platform::RunProcess;
using testing::Vorbex;
using testing::ReadFile;
using testing::SortedLines;
using testing::TempDir;

const std::regex kStoppedLine(
    R"(Tests stopped at [A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9]\d \d\d:\d\d:\d\d \d{4}\n)");

class CliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    target_ = dir_.File("f.img");
    std::vector<uint8_t> bytes(64 * 512);
    for (size_t i = 0; i < bytes.size(); ++i)
      bytes[i] = static_cast<uint8_t>(i * 13);
    testing::WriteFile(target_, bytes);
    original_ = bytes;
  }
  void ExpectTargetUntouched() { EXPECT_EQ(ReadFile(target_), original_); }
  // Every run but a check stamps block 0 and, at level 0, nothing else.
  void ExpectOnlyBlockZeroStamped() {
    std::vector<uint8_t> now = ReadFile(target_);
    ASSERT_EQ(now.size(), original_.size());
    EXPECT_EQ(LoadHeader(now.data()).Magic, kMagic);
    EXPECT_EQ(LoadHeader(now.data()).Blkno, 0);
    EXPECT_TRUE(std::equal(now.begin() + 512, now.end(),
                           original_.begin() + 512));
  }

  TempDir dir_;
  std::string target_;
  std::vector<uint8_t> original_;
};

TEST_F(CliTest, NoTargetPrintsTheUsageLine) {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{}, {"-r", "-e"}, {"-check"}}) {
    const ProcessResult r = Vorbex(args);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, kUsage);
    EXPECT_EQ(r.out, "");
  }
}

TEST_F(CliTest, LongOptionsThatCannotRunPrintTheUsageAndAHint) {
  struct Case {
    std::vector<std::string> args;
    std::string hint;
  };
  const Case cases[] = {
      {{"--bogus", target_}, "Unknown option --bogus; see Vorbex --help\n"},
      {{"-r", "--resume", target_},
       "Unknown option --resume; see Vorbex --help\n"},
      {{"--json"}, "--json needs a file name; see Vorbex --help\n"},
      {{"--inspect", target_}, "--inspect takes TARGET FIRST [COUNT]\n"},
      {{"--stall-after", "-3", target_},
       "--stall-after -3: give seconds from 0 (no stalls) to 86400 (a day)\n"},
  };
  for (const Case& c : cases) {
    const ProcessResult r = Vorbex(c.args);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, std::string(kUsage) + c.hint);
  }
  ExpectTargetUntouched();
}

TEST_F(CliTest, HelpAndVersionPrintOnStandardOutput) {
  ProcessResult r = Vorbex({"--help"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, kHelp);
  EXPECT_NE(r.out.find(kUsage), std::string::npos);
  // One screen: 40 lines at most, none wider than 80 columns but the usage
  // line, which is kept as it always was.
  EXPECT_LE(std::count(r.out.begin(), r.out.end(), '\n'), 40);
  for (size_t at = 0, end; (end = r.out.find('\n', at)) != std::string::npos;
       at = end + 1) {
    const std::string line = r.out.substr(at, end - at);
    if (line + "\n" != kUsage) {
      EXPECT_LE(line.size(), 80u) << line;
    }
  }

  r = Vorbex({"-e", "--version", target_});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_TRUE(std::regex_match(
      r.out, std::regex(R"(Vorbex \d+\.\d+\.\d+ \(commit [0-9a-z]+\)\n)")))
      << r.out;
  ExpectTargetUntouched();
}

TEST_F(CliTest, InspectReadsAndDecodesWithoutWriting) {
  ASSERT_EQ(Vorbex({"-f", target_}).exit_code, 0);
  original_ = ReadFile(target_);
  ProcessResult r = Vorbex({"--inspect", target_, "3", "2"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_NE(r.out.find("Block 3:\n\tMagic fedab5ba: a stamp\n"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("Block 4:"), std::string::npos);
  EXPECT_EQ(r.out.find("Block 5:"), std::string::npos);

  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"--inspect", target_, "64"},
        {"--inspect", target_, "-1"},
        {"--inspect", target_, "0", "x"}}) {
    r = Vorbex(args);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err, "");
  }
  r = Vorbex({"--inspect", dir_.File("missing.img"), "0"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.out, "Error 2\n");
  ExpectTargetUntouched();
}

TEST_F(CliTest, FileTargetWarnsThenStopsAtTheTimeLimit) {
  const ProcessResult r = Vorbex({target_, "0", "1"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(testing::BeforeSummary(r.err), kFileWarnings);
  EXPECT_TRUE(std::regex_match(r.out, kStoppedLine)) << r.out;
  EXPECT_GE(r.seconds, 1.0);
  EXPECT_LT(r.seconds, 10.0);
  ExpectOnlyBlockZeroStamped();
}

TEST_F(CliTest, TimeLimitWithJunkAfterTheHoursIsSeconds) {
  const ProcessResult r = Vorbex({target_, "100", "1:x"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(SortedLines(r.out),
            (std::vector<std::string>{"Test Seq Read (1): Start on TIME",
                                      "Test Seq Write (2): Start on TIME",
                                      "Tests stopped at TIME"}));
  EXPECT_GE(r.seconds, 1.0);
}

// A single argument after the target is the level, and "0", "0:00" or text
// are no limit: the run goes on until it is killed.
TEST_F(CliTest, RunsWithoutALimitUntilKilled) {
  const ProcessResult level1 = Vorbex({target_, "1:30"}, 1.5);
  EXPECT_TRUE(level1.timed_out);
  EXPECT_EQ(SortedLines(level1.out),
            (std::vector<std::string>{"Test Seq 4k Read (9): Start on TIME",
                                      "Test Seq 4k Write (10): Start on TIME"}));
  const ProcessResult level100 = Vorbex({target_, "100", "0:00"}, 1.5);
  EXPECT_TRUE(level100.timed_out);
  EXPECT_EQ(SortedLines(level100.out).size(), 2u);

  testing::WriteFile(target_, original_);
  const ProcessResult none = Vorbex({target_, "-5", "abc"}, 1.5);
  EXPECT_TRUE(none.timed_out);
  EXPECT_EQ(none.out, "");
  ExpectOnlyBlockZeroStamped();
}

// Three million hours are past what the clock counts in nanoseconds; the
// limit must not wrap into the past and stop a run that tested nothing.
TEST_F(CliTest, LimitBeyondTheClockKeepsTheRunGoing) {
  const ProcessResult r = Vorbex({target_, "0", "3000000:00"}, 20, 1.5);
  EXPECT_EQ(r.exit_code, 130) << r.out;
  EXPECT_EQ(r.out, "");
  EXPECT_GE(r.seconds, 1.5);
}

TEST_F(CliTest, MissingTargetIsError2AndExitCodeFollowsErrstop) {
  const std::string missing = dir_.File("missing.img");
  ProcessResult r = Vorbex({missing});
  EXPECT_EQ(r.out, "Error 2\n");
  EXPECT_EQ(testing::BeforeSummary(r.err), kFileWarnings);
  EXPECT_EQ(r.exit_code, 0);

  r = Vorbex({"-e", missing});
  EXPECT_EQ(r.out, "Error 2\n");
  EXPECT_EQ(r.exit_code, 1);

  // After the target "-e" is the level, not an option.
  r = Vorbex({missing, "-e"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_FALSE(std::filesystem::exists(missing));
}

TEST_F(CliTest, UnknownOptionIsAFileTarget) {
  const ProcessResult r = Vorbex({"-x", "C:"});
  EXPECT_EQ(testing::BeforeSummary(r.err), kFileWarnings);
  EXPECT_EQ(r.out, "Error 2\n");
  EXPECT_EQ(r.exit_code, 0);
}

TEST_F(CliTest, DriveLetterIsAVolumeWithoutWarnings) {
  // C: names nothing on Linux; on Windows it is the system's volume, so a
  // letter that Wine (and most machines) leave unused stands in for it.
  const std::string letter = testing::kWindows ? "Q:" : "C:";
  ProcessResult r = Vorbex({"-e", letter});
  EXPECT_EQ(testing::BeforeSummary(r.err), "");
  EXPECT_EQ(r.out, "Error 2\n");
  EXPECT_EQ(r.exit_code, 1);

  // The same with a backslash is a path: a file in a missing folder.
  r = Vorbex({letter + "\\"});
  EXPECT_EQ(testing::BeforeSummary(r.err), kFileWarnings);
  EXPECT_EQ(r.out, testing::kWindows ? "Error 3\n" : "Error 2\n");
}

// The target holds no stamp, so the check fails, and ends the run all the
// same: no test starts.
TEST_F(CliTest, CheckEndsAfterTheScanWithoutWriting) {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"-c", target_},
        {"-c", "-f", target_, "3", "1"}}) {
    const ProcessResult r = Vorbex(args);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(testing::MaskTimes(r.out), "Check (" + target_ +
                                             "): Start on TIME\nCheck (" +
                                             target_ + "): Failed at TIME\n");
    EXPECT_EQ(testing::BeforeSummary(r.err), kFileWarnings);
    EXPECT_LT(r.seconds, 1.0);
  }
  ExpectTargetUntouched();
}

TEST_F(CliTest, PathsOfAnyLengthWork) {
  // Windows opens a path longer than MAX_PATH (260) when it is written in
  // the "\\?\" form: a full path, with backslashes alone.
  std::filesystem::path deep = dir_.path();
  if (testing::kWindows) {
    deep = "\\\\?\\" +
           std::filesystem::absolute(deep).make_preferred().string();
  }
  for (int i = 0; i < 6; ++i)
    deep /= std::string(40, static_cast<char>('a' + i));
  std::filesystem::create_directories(deep);
  const std::string long_target = (deep / "target.img").string();
  ASSERT_GT(long_target.size(), 260u);
  std::filesystem::copy_file(target_, long_target);
  const ProcessResult r = Vorbex({"-e", long_target, "0", "1"});
  EXPECT_EQ(r.exit_code, 0) << r.out;
  EXPECT_TRUE(std::regex_match(r.out, kStoppedLine)) << r.out;
}

// A block device is a volume: no warnings, sized by the kernel, and refused
// outright while a file system is mounted on it.
class LoopDeviceTest : public CliTest {
 protected:
  void SetUp() override {
    CliTest::SetUp();
    backing_ = dir_.File("backing.img");
    testing::MakeSparseFile(backing_, 8 << 20);
    loop_ = std::make_unique<testing::LoopDevice>(backing_);
    if (!loop_->ok()) GTEST_SKIP() << "no loop device: " << loop_->reason();
  }

  std::string backing_;
  std::unique_ptr<testing::LoopDevice> loop_;
};

TEST_F(LoopDeviceTest, IsAVolumeSizedByTheKernel) {
  const ProcessResult r = Vorbex({loop_->device(), "0", "1"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(testing::BeforeSummary(r.err), "");
  EXPECT_TRUE(std::regex_match(r.out, kStoppedLine)) << r.out;

  TestDisk disk;
  disk.Open(loop_->device(), 0, 1);
  EXPECT_FALSE(disk.IsFile);
  EXPECT_EQ(disk.BlockCount, 16384);
  disk.Close();
}

// Mounts and unmounts a file system for a test, unmounting even when an
// assertion ends the test early so the loop device can be detached.
class Mount {
 public:
  Mount(const std::string& device, const std::string& point)
      : umount_(testing::FindTool("umount")), point_(point) {
    std::filesystem::create_directories(point);
    const ProcessResult r =
        RunProcess({testing::FindTool("mount"), device, point}, 60);
    mounted_ = r.exit_code == 0;
    error_ = r.err;
  }
  ~Mount() { Unmount(); }
  Mount(const Mount&) = delete;
  Mount& operator=(const Mount&) = delete;

  bool mounted() const { return mounted_; }
  const std::string& error() const { return error_; }
  bool Unmount() {
    if (mounted_ && RunProcess({umount_, point_}, 60).exit_code == 0) {
      mounted_ = false;
    }
    return !mounted_;
  }

 private:
  std::string umount_;
  std::string point_;
  bool mounted_ = false;
  std::string error_;
};

bool MakeFileSystem(const std::string& device) {
  const std::string mkfs = testing::FindTool("mkfs.ext4");
  return !mkfs.empty() && !testing::FindTool("mount").empty() &&
         !testing::FindTool("umount").empty() &&
         RunProcess({mkfs, "-q", "-F", device}, 60).exit_code == 0;
}

TEST_F(LoopDeviceTest, MountedDeviceIsRefusedWithError170) {
  if (!MakeFileSystem(loop_->device())) GTEST_SKIP() << "cannot run mkfs.ext4";
  Mount mount(loop_->device(), dir_.File("mnt"));
  if (!mount.mounted()) GTEST_SKIP() << "cannot mount: " << mount.error();

  ProcessResult r = Vorbex({loop_->device(), "0", "1"});
  EXPECT_EQ(r.out, "Error 170\n");
  EXPECT_EQ(r.exit_code, 0);
  r = Vorbex({"-e", "-r", loop_->device()});
  EXPECT_EQ(r.out, "Error 170\n");
  EXPECT_EQ(r.exit_code, 1);

  ASSERT_TRUE(mount.Unmount());
  const std::string fsck = testing::FindTool("e2fsck");
  if (!fsck.empty()) {
    const ProcessResult checked =
        RunProcess({fsck, "-f", "-n", loop_->device()}, 60);
    EXPECT_EQ(checked.exit_code, 0) << checked.out << checked.err;
  }
}

// While we have a device open nobody may mount it under us, and a second
// tester on it is refused; once we close it, it is free again.
TEST_F(LoopDeviceTest, OpenDeviceIsHeldAgainstMountsAndOtherTesters) {
  if (!MakeFileSystem(loop_->device())) GTEST_SKIP() << "cannot run mkfs.ext4";
  TestDisk disk;
  disk.Open(loop_->device(), 0, 1);
  TestDisk second;
  second.Open(loop_->device(), 0, 1);  // our own opens share the claim
  second.Close();
  {
    Mount mount(loop_->device(), dir_.File("mnt"));
    EXPECT_FALSE(mount.mounted());
  }
  const ProcessResult other = Vorbex({"-e", loop_->device(), "0", "1"});
  EXPECT_EQ(other.out, "Error 170\n");
  EXPECT_EQ(other.exit_code, 1);
  disk.Close();

  Mount mount(loop_->device(), dir_.File("mnt"));
  EXPECT_TRUE(mount.mounted()) << mount.error();
}

// The case users meet: /dev/sdb while /dev/sdb1 is mounted.
TEST_F(CliTest, WholeDeviceWithAMountedPartitionIsRefused) {
  const std::string backing = dir_.File("disk.img");
  testing::MakeOnePartitionImage(backing, 16384);
  testing::LoopDevice loop(backing, /*partitions=*/true);
  if (!loop.ok()) GTEST_SKIP() << "no loop device: " << loop.reason();
  const std::string partition = loop.device() + "p1";
  if (!std::filesystem::exists(partition)) {
    GTEST_SKIP() << "the kernel made no partition device " << partition;
  }
  if (!MakeFileSystem(partition)) GTEST_SKIP() << "cannot run mkfs.ext4";
  Mount mount(partition, dir_.File("mnt"));
  if (!mount.mounted()) GTEST_SKIP() << "cannot mount: " << mount.error();

  const ProcessResult r = Vorbex({loop.device(), "0", "1"});
  EXPECT_EQ(r.out, "Error 170\n");
  EXPECT_EQ(testing::BeforeSummary(r.err), "");
}

}  // namespace
}  // namespace vorbex
