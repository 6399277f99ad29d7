#ifndef VORBEX_DISK_REPORTS_H_
#define VORBEX_DISK_REPORTS_H_

// The texts of the two mismatch reports. Users keep these and compare them
// across runs and tools, so every character is fixed.

#include <cstdint>
#include <string>

#include "disk/block_format.h"
#include "disk/stamp_checksum.h"

namespace vorbex {

// A block whose header differs from the expected one, or whose checksum
// fails: time (ctime text with its newline), where it was found, a line on
// the checksum when it fails, one line per differing field with the value
// read first, and who wrote the data. run_id is the current RunID.
std::string HeaderReport(const char* time, const std::string& path,
                         int32_t block, int32_t test_code,
                         const BlockHeader& read, const BlockHeader& expected,
                         int32_t first, int32_t count, uint32_t run_id,
                         const ChecksumVerdict& checksum = {},
                         const std::string& also = "");

// A block with a right header whose fill differs at offset (304 ... 511):
// the expected byte there and up to 16 bytes read from there on.
std::string FillReport(const std::string& path, int32_t block,
                       const uint8_t* bytes, int32_t offset, uint8_t expected,
                       const std::string& also = "");
// Both take also: a line (with its tab and newline) that follows the lines
// that say where the block is, or "" for none.

}  // namespace vorbex

#endif  // VORBEX_DISK_REPORTS_H_
