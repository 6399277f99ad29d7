#include "test_support.h"

#include <algorithm>
#include <fstream>
#include <random>
#include <regex>
#include <sstream>

namespace vorbex::testing {

TempDir::TempDir() {
  std::random_device entropy;
  const std::filesystem::path base = VORBEX_SCRATCH_DIR;
  std::filesystem::create_directories(base);
  for (;;) {
    path_ = base / ("vorbex-test-" + std::to_string(entropy()));
    if (std::filesystem::create_directory(path_)) return;
  }
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string TempDir::File(const std::string& name) const {
  return (path_ / name).string();
}

std::string SharedScratchFile(const std::string& suffix) {
  const ::testing::TestInfo* test =
      ::testing::UnitTest::GetInstance()->current_test_info();
  const std::filesystem::path base = VORBEX_SCRATCH_DIR;
  std::filesystem::create_directories(base);
  return (base / (std::string(test->test_suite_name()) + "." + test->name() +
                  "." + suffix))
      .string();
}

void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  ASSERT_TRUE(out.good()) << path;
}

std::vector<uint8_t> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void MakeSparseFile(const std::string& path, uint64_t bytes) {
  WriteFile(path, {});
  std::filesystem::resize_file(path, bytes);
}

std::vector<uint8_t> ReadBlock(const std::string& path, int64_t block) {
  std::vector<uint8_t> bytes(512);
  std::ifstream in(path, std::ios::binary);
  in.seekg(block * 512);
  in.read(reinterpret_cast<char*>(bytes.data()), 512);
  EXPECT_TRUE(in.good()) << path << " block " << block;
  return bytes;
}

void PutBlock(const std::string& path, int64_t block,
              const std::vector<uint8_t>& bytes) {
  std::fstream out(path, std::ios::binary | std::ios::in | std::ios::out);
  out.seekp(block * 512);
  out.write(reinterpret_cast<const char*>(bytes.data()), 512);
  out.flush();
  ASSERT_TRUE(out.good()) << path << " block " << block;
}

std::string MaskTimes(const std::string& text) {
  static const std::regex time_text(
      "[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9][0-9] [0-9]{2}:[0-9]{2}:[0-9]{2} "
      "[0-9]{4}");
  return std::regex_replace(text, time_text, "TIME");
}

std::vector<std::string> SortedLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(MaskTimes(text));
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  std::sort(lines.begin(), lines.end());
  return lines;
}

std::string FindTool(const std::string& name) {
  for (const char* dir : {"/usr/sbin/", "/sbin/", "/usr/bin/", "/bin/"}) {
    std::string path = dir + name;
    if (std::filesystem::exists(path)) return path;
  }
  return "";
}

void MakeOnePartitionImage(const std::string& path, uint32_t blocks) {
  std::vector<uint8_t> mbr(512, 0);
  const uint32_t fields[] = {2048, blocks - 2048};  // first block, count
  mbr[446 + 4] = 0x83;                              // Linux
  for (int f = 0; f < 2; ++f) {
    for (int i = 0; i < 4; ++i) {
      mbr[446 + 8 + 4 * f + i] = static_cast<uint8_t>(fields[f] >> (8 * i));
    }
  }
  mbr[510] = 0x55;
  mbr[511] = 0xAA;
  WriteFile(path, mbr);
  std::filesystem::resize_file(path, uint64_t{blocks} * 512);
}

LoopDevice::LoopDevice(const std::string& backing_file, bool partitions,
                       int sector_size) {
  if (!platform::RunningAsRoot()) {
    reason_ = "loop devices need root";
    return;
  }
  const std::string losetup = FindTool("losetup");
  if (losetup.empty()) {
    reason_ = "losetup is not installed";
    return;
  }
  std::vector<std::string> args = {losetup, "--find", "--show"};
  if (partitions) args.emplace_back("--partscan");
  if (sector_size != 0) {
    args.emplace_back("--sector-size");
    args.push_back(std::to_string(sector_size));
  }
  args.push_back(backing_file);
  const platform::ProcessResult r = platform::RunProcess(args, 30);
  if (r.exit_code != 0 || r.out.empty()) {
    reason_ = "losetup could not attach a loop device: " + r.err;
    return;
  }
  device_ = r.out.substr(0, r.out.find('\n'));
  // Some kernels leave the scan to user space; an error here only means the
  // partitions are already known.
  const std::string partx = FindTool("partx");
  if (partitions && !partx.empty()) {
    platform::RunProcess({partx, "--add", device_}, 30);
  }
}

LoopDevice::~LoopDevice() {
  if (ok())
    platform::RunProcess({FindTool("losetup"), "--detach", device_}, 30);
}

}  // namespace vorbex::testing
