#ifndef VORBEX_BENCH_SCRATCH_FILE_H_
#define VORBEX_BENCH_SCRATCH_FILE_H_

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

namespace vorbex::bench {

// Creates an empty file of <prefix>_MIB MiB (default_mib unless set) in
// <prefix>_DIR (the build's scratch directory unless set), named after stem
// and a random number, and returns its path and size. The device under that
// directory is what a benchmark on it measures.
// REQUIRES: called before any other thread exists (it reads the environment).
inline std::string MakeScratchFile(const std::string& prefix, int default_mib,
                                   const std::string& stem, int64_t* bytes) {
  const char* mib = std::getenv((prefix + "_MIB").c_str());  // NOLINT
  *bytes = int64_t{mib != nullptr ? std::atoi(mib) : default_mib} << 20;
  const char* dir = std::getenv((prefix + "_DIR").c_str());  // NOLINT
  if (dir == nullptr) dir = VORBEX_SCRATCH_DIR;
  std::filesystem::create_directories(dir);
  std::string path = std::string(dir) + "/" + stem + "-" +
                     std::to_string(std::random_device()()) + ".img";
  { std::ofstream create(path, std::ios::binary); }
  std::filesystem::resize_file(path, static_cast<uintmax_t>(*bytes));
  return path;
}

}  // namespace vorbex::bench

#endif  // VORBEX_BENCH_SCRATCH_FILE_H_
