#ifndef VORBEX_TEST_TEST_SUPPORT_H_
#define VORBEX_TEST_TEST_SUPPORT_H_

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "base/error.h"
#include "platform/testing/subprocess.h"

namespace vorbex::testing {

// Whether the suite runs on Windows (under Wine on a Linux machine), where
// a few facts of the system differ.
inline constexpr bool kWindows = VORBEX_TEST_WINDOWS;

// A fresh directory under the system's temporary directory, removed with
// everything in it when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  // A path inside the directory.
  std::string File(const std::string& name) const;

 private:
  std::filesystem::path path_;
};

// A path in the scratch directory named after the running test, the same in
// every process that runs it: a death test reruns its test in a new process
// where fork is missing (Windows), and a TempDir there would be another one.
std::string SharedScratchFile(const std::string& suffix);

// Creates (or replaces) a file of the given bytes.
void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes);
std::vector<uint8_t> ReadFile(const std::string& path);
// Creates a file of `bytes` bytes that takes no space.
void MakeSparseFile(const std::string& path, uint64_t bytes);

// One 512-byte block of a file, read or replaced in place.
std::vector<uint8_t> ReadBlock(const std::string& path, int64_t block);
void PutBlock(const std::string& path, int64_t block,
              const std::vector<uint8_t>& bytes);

// Time stamps vary, so printed text is compared with each ctime text
// (without its newline) replaced by "TIME".
std::string MaskTimes(const std::string& text);

// The lines of text with their times masked, sorted: test threads print in
// whatever order they run.
std::vector<std::string> SortedLines(const std::string& text);

// The absolute path of a system tool, or "" when this machine lacks it.
std::string FindTool(const std::string& name);

// A disk image of `blocks` 512-byte blocks whose classic MBR holds one
// Linux partition, from block 2048 to the end.
void MakeOnePartitionImage(const std::string& path, uint32_t blocks);

// A loop device over a scratch file, detached when the object goes. Needs
// root and losetup; reason() says why there is none.
class LoopDevice {
 public:
  // With partitions, the kernel also makes a device for each partition in
  // the file's partition table (<device>p1 and so on). A sector_size other
  // than 0 sets the logical sector size the device presents.
  explicit LoopDevice(const std::string& backing_file, bool partitions = false,
                      int sector_size = 0);
  ~LoopDevice();
  LoopDevice(const LoopDevice&) = delete;
  LoopDevice& operator=(const LoopDevice&) = delete;

  bool ok() const { return !device_.empty(); }
  const std::string& device() const { return device_; }
  const std::string& reason() const { return reason_; }

 private:
  std::string device_;
  std::string reason_;
};

// The code of the Error that f throws, or -1 when it throws none.
template <typename F>
int64_t ErrorCodeOf(F&& f) {
  try {
    f();
  } catch (const Error& e) {
    return e.code();
  }
  return -1;
}

}  // namespace vorbex::testing

#endif  // VORBEX_TEST_TEST_SUPPORT_H_
