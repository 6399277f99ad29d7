// Runs the real binary on windows of scratch files and loop devices: what a
// window's run touches, the windows it refuses, the side-by-side runs one
// device allows, and the devices and sizes it cannot test.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "cli_support.h"
#include "disk/block_format.h"
#include "platform/testing/subprocess.h"
#include "test_support.h"

namespace vorbex {
namespace {

using platform::ProcessResult;
using testing::MaskTimes;
using testing::Vorbex;

constexpr uint8_t kOutside = 0xA5;

std::vector<uint8_t> Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Whether bytes from ... to - 1 of the file all still hold kOutside.
bool Untouched(const std::vector<uint8_t>& bytes, size_t from, size_t to) {
  for (size_t i = from; i < to; ++i) {
    if (bytes[i] != kOutside) return false;
  }
  return true;
}

std::string Checked(const std::string& target) {
  return "Check (" + target + "): Start on TIME\nCheck (" + target +
         "): End on TIME\n";
}

bool EndsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

class WindowCliTest : public ::testing::Test {
 protected:
  // An 8 MiB file whose every byte is kOutside.
  std::string Target() {
    const std::string path = dir_.File("w.img");
    testing::WriteFile(path, std::vector<uint8_t>(8 << 20, kOutside));
    return path;
  }

  testing::TempDir dir_;
};

// The window's block 0 is the file's byte 1 MiB: the stress, the check, the
// resume and the inspection all see the window alone, and not a byte around
// it changes.
TEST_F(WindowCliTest, AWindowIsATargetOfItsOwn) {
  const std::string target = Target();
  const std::vector<std::string> window = {"--offset", "1M", "--size", "2M"};
  auto with = [&](std::vector<std::string> args) {
    args.insert(args.begin(), window.begin(), window.end());
    return args;
  };
  const std::string report = dir_.File("w.json");
  const ProcessResult soak =
      Vorbex(with({"--json", report, "-e", target, "334", "2"}), 60);
  EXPECT_EQ(soak.exit_code, 0) << soak.out << soak.err;
  EXPECT_TRUE(EndsWith(MaskTimes(soak.out), "Tests stopped at TIME\n"));
  EXPECT_NE(soak.err.find("Coverage of 4096 blocks: written 4096"),
            std::string::npos)
      << soak.err;
  EXPECT_NE(soak.err.find("Window: --offset 1048576 --size 2097152 (bytes "
                          "1048576 to 3145727 of the target)"),
            std::string::npos);
  const std::vector<uint8_t> json_bytes = Slurp(report);
  const nlohmann::json window_doc =
      nlohmann::json::parse(json_bytes.begin(), json_bytes.end());
  EXPECT_EQ(window_doc["target"]["window"],
            nlohmann::json({{"offset", 1 << 20}, {"bytes", 2 << 20}}));

  const ProcessResult check = Vorbex(with({"-c", "-e", target}), 60);
  EXPECT_EQ(check.exit_code, 0) << check.out;
  EXPECT_EQ(MaskTimes(check.out), Checked(target));
  const ProcessResult resume = Vorbex(with({"-r", "-e", target, "2", "1"}), 60);
  EXPECT_EQ(resume.exit_code, 0) << resume.out;
  EXPECT_EQ(MaskTimes(resume.out).rfind(Checked(target), 0), 0u);

  const ProcessResult inspect = Vorbex(with({"--inspect", target, "4095"}));
  EXPECT_EQ(inspect.exit_code, 0) << inspect.err;
  EXPECT_NE(inspect.out.find("Blkno 4095: its place"), std::string::npos);
  EXPECT_NE(Vorbex(with({"--inspect", target, "4096"})).err.find("4096 blocks"),
            std::string::npos);

  const std::vector<uint8_t> bytes = Slurp(target);
  ASSERT_EQ(bytes.size(), size_t{8} << 20);
  EXPECT_TRUE(Untouched(bytes, 0, 1 << 20));
  EXPECT_TRUE(Untouched(bytes, 3 << 20, bytes.size()));
  // Stamps count from the window's start.
  const BlockHeader first = LoadHeader(testing::ReadBlock(target, 2048).data());
  EXPECT_EQ(first.Magic, kMagic);
  EXPECT_EQ(first.Blkno, 0);
  const BlockHeader last = LoadHeader(testing::ReadBlock(target, 6143).data());
  EXPECT_EQ(last.Blkno, 4095);
}

// A bad number is refused with the usage line before the target is
// opened; a window past the end once it is, before anything is written.
TEST_F(WindowCliTest, BadWindowsAreRefusedAndWriteNothing) {
  struct Case {
    std::vector<std::string> args;
    int exit_code;
    const char* out;
    const char* err;  // a part of standard error
  };
  const Case cases[] = {
      {{"--offset", "1000"}, 1, "", "--offset 1000: give bytes"},
      {{"--size", "0"}, 1, "", "--size 0: give bytes"},
      {{"--size", "1.5M"}, 1, "", "--size 1.5M: give bytes"},
      {{"--offset", "-512"}, 1, "", "--offset -512: give bytes"},
      {{"--offset", "8M"}, 0, "Error 87\n", "runs past the target's end"},
      {{"--offset", "4M", "--size", "4609K"},
       0,
       "Error 87\n",
       "the window from byte 4194304 (--offset) for 4719616 bytes (--size) "
       "runs past the target's end at byte 8388608"},
      {{"-e", "--size", "9M"}, 1, "Error 87\n", "runs past"},
      {{"-c", "--offset", "16T"}, 0, "Error 87\n", "runs past"},
  };
  const std::string target = Target();
  for (const Case& c : cases) {
    std::vector<std::string> args = c.args;
    args.push_back(target);
    args.emplace_back("2");
    args.emplace_back("1");
    const ProcessResult r = Vorbex(args);
    const std::string where = ::testing::PrintToString(c.args);
    EXPECT_EQ(r.exit_code, c.exit_code) << where;
    EXPECT_EQ(r.out, c.out) << where;
    EXPECT_NE(r.err.find(c.err), std::string::npos) << where << r.err;
    const std::vector<uint8_t> bytes = Slurp(target);
    EXPECT_TRUE(Untouched(bytes, 0, bytes.size())) << where;
  }
}

// A target past the block-number limit: the warning names the options
// that reach the rest, and when its table cannot be had the operator learns
// what it needs before the Error line. The process gets too little address
// space for the table, which the sanitizers' own reservations cannot live
// with.
TEST_F(WindowCliTest, TooLargeForBlockNumbersOrForMemory) {
#ifdef VORBEX_SANITIZED
  GTEST_SKIP() << "a sanitizer cannot run in a small address space";
#endif
  if (testing::kWindows) {
    GTEST_SKIP() << "Windows has no per-process limit on address space that "
                    "a test could lower";
  }
  const std::string target = dir_.File("huge.img");
  testing::MakeSparseFile(target, (uint64_t{1} << 40) + (1 << 20));
  struct Case {
    std::vector<std::string> window;
    const char* warning;
  };
  const Case cases[] = {
      {{}, "WARNING: %s has 2147485696 blocks"},
      {{"--offset", "512K"},
       "WARNING: the window of 1099512152064 bytes at 524288 of %s has "
       "2147484672 blocks"},
      {{"--offset", "1M", "--size", "1023G"}, ""},
  };
  for (const Case& c : cases) {
    std::string shell = "ulimit -v 1000000 && exec \"$0\" \"$@\"";
    std::vector<std::string> args = {"/bin/sh", "-c", shell, VORBEX_BINARY};
    args.insert(args.end(), c.window.begin(), c.window.end());
    args.insert(args.end(), {target, "2", "1"});
    const ProcessResult r = platform::RunProcess(args, 60);
    const std::string where = ::testing::PrintToString(c.window);
    EXPECT_EQ(r.out, "Error 8\n") << where << r.err;
    const std::string err = testing::BeforeSummary(r.err);
    std::string warning = c.warning;
    if (const size_t at = warning.find("%s"); at != std::string::npos) {
      warning.replace(at, 2, target);
    }
    if (warning.empty()) {
      EXPECT_EQ(err.find("WARNING: the window"), std::string::npos) << where;
    } else {
      EXPECT_NE(err.find(warning + "; block numbers are 31 bits, so only the "
                                   "first 2147483647 (1 TiB) are tested; "
                                   "--offset and --size reach the rest.\n"),
                std::string::npos)
          << where << err;
    }
    EXPECT_NE(err.find("Not enough memory for the table of "),
              std::string::npos)
        << where << err;
    EXPECT_TRUE(EndsWith(err, "; a smaller --size needs less.\n")) << where;
  }
}

// Options, the window, the device and what follows it, in that order.
std::vector<std::string> Args(std::vector<std::string> options,
                              const std::vector<std::string>& window,
                              const std::string& device,
                              const std::vector<std::string>& rest) {
  options.insert(options.end(), window.begin(), window.end());
  options.push_back(device);
  options.insert(options.end(), rest.begin(), rest.end());
  return options;
}

// Two runs on disjoint halves of one device go on at once; a third that
// overlaps either, or wants the whole device, is refused. Each half then
// checks clean on its own.
TEST_F(WindowCliTest, DisjointWindowsOfADeviceRunSideBySide) {
  const std::string backing = dir_.File("backing.img");
  testing::MakeSparseFile(backing, 16 << 20);
  testing::LoopDevice loop(backing);
  if (!loop.ok()) GTEST_SKIP() << "no loop device: " << loop.reason();
  const std::string& dev = loop.device();
  const std::vector<std::string> low = {"--size", "8M"};
  const std::vector<std::string> high = {"--offset", "8M", "--size", "8M"};

  ProcessResult first;
  ProcessResult second;
  std::thread low_run([&] {
    first = Vorbex(Args({"-e"}, low, dev, {"334", "5"}), 60);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  std::thread high_run([&] {
    second = Vorbex(Args({"-e"}, high, dev, {"334", "4"}), 60);
  });
  // Both hold their halves by now, and run for seconds more.
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  const std::vector<std::string> refused[] = {
      {"--offset", "4M", "--size", "8M"},
      {"--offset", "8M"},
      {"--offset", "7680K", "--size", "1M"},
      {},
  };
  for (const std::vector<std::string>& window : refused) {
    const ProcessResult r = Vorbex(Args({"-e"}, window, dev, {"2", "1"}));
    EXPECT_EQ(r.out, "Error 170\n") << ::testing::PrintToString(window);
    EXPECT_EQ(r.exit_code, 1);
  }
  low_run.join();
  high_run.join();
  for (const ProcessResult* r : {&first, &second}) {
    EXPECT_EQ(r->exit_code, 0) << r->out << r->err;
    EXPECT_TRUE(EndsWith(MaskTimes(r->out), "Tests stopped at TIME\n"))
        << r->out;
  }
  for (const auto& window : {low, high}) {
    const ProcessResult check = Vorbex(Args({"-c", "-e"}, window, dev, {}), 60);
    EXPECT_EQ(check.exit_code, 0);
    EXPECT_EQ(MaskTimes(check.out), Checked(dev));
  }
  // Once both have ended, the whole device is free again.
  EXPECT_TRUE(EndsWith(MaskTimes(Vorbex(Args({"-e"}, {}, dev, {"2", "1"})).out),
                       "Tests stopped at TIME\n"));
}

TEST_F(WindowCliTest, LargerSectorsAreRefusedBeforeAnythingIsWritten) {
  const std::string backing = dir_.File("4kn.img");
  testing::MakeSparseFile(backing, 8 << 20);
  testing::LoopDevice loop(backing, false, 4096);
  if (!loop.ok()) GTEST_SKIP() << "no 4096-byte loop device: " << loop.reason();
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"-f", loop.device()},
        std::vector<std::string>{"--offset", "1M", loop.device(), "2", "1"},
        std::vector<std::string>{"--inspect", loop.device(), "0"}}) {
    const ProcessResult r = Vorbex(args);
    EXPECT_EQ(r.out, "Error 87\n") << ::testing::PrintToString(args);
    EXPECT_EQ(testing::BeforeSummary(r.err),
              loop.device() +
                  " has 4096-byte logical sectors; Vorbex transfers 512-byte "
                  "blocks, so it cannot test this device.\n");
  }
  const std::vector<uint8_t> bytes = Slurp(backing);
  EXPECT_EQ(static_cast<size_t>(std::count(bytes.begin(), bytes.end(), 0)),
            bytes.size());
}

}  // namespace
}  // namespace vorbex
