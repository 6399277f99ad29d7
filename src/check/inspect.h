#ifndef VORBEX_CHECK_INSPECT_H_
#define VORBEX_CHECK_INSPECT_H_

// Decodes the stamps of a few blocks for a person who is reading a mismatch
// report. It only reads: a target may be inspected while it is mounted or
// while a run is testing it.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "disk/block_format.h"
#include "disk/stamp_checksum.h"
#include "platform/env.h"

namespace vorbex {

// A neighbour-map entry that the neighbour's own stamp does not bear out.
struct MapDisagreement {
  int entry = 0;         // index into the map; kSelfEntry is the block itself
  int64_t block = 0;     // the block the entry speaks for
  uint16_t map = 0;      // what the entry says
  bool outside = false;  // the block lies beyond either end of the target
  bool stamped = false;  // it carries a stamp of the same DiskID
  BlockHeader own{};     // its header, when stamped
};

struct BlockInspection {
  int64_t place = 0;  // where the bytes were read
  BlockHeader header{};
  // Block 0's DiskID, which every stamp of the target's current table
  // carries; absent when block 0 holds no stamp.
  std::optional<uint32_t> target_disk_id;
  // The first offset at which the fill differs from what the stamp's own
  // Seq and Blkno call for, with the byte read there and the one due.
  std::optional<int> fill_offset;
  uint8_t fill_read = 0;
  uint8_t fill_due = 0;
  ChecksumVerdict checksum;
  std::vector<MapDisagreement> disagreements;
};

// Where the target's blocks first .. first + count - 1 lie in memory, 512
// bytes each; blocks is the target's length.
struct BlockWindow {
  const uint8_t* bytes = nullptr;
  int64_t first = 0;
  int64_t count = 0;
  int64_t blocks = 0;
};

// Decodes the block at place, which with its 64 neighbours on either side
// (as far as the target reaches) lies in window.
BlockInspection InspectBlock(int64_t place, const BlockWindow& window,
                             std::optional<uint32_t> target_disk_id);

// The text printed for one block, ending in a newline.
std::string FormatInspection(const BlockInspection& inspection);

// A non-negative decimal number with nothing around it; anything else
// (signs, blanks, letters, a value past 2^62) gives nothing.
std::optional<int64_t> ParseBlockArgument(const std::string& text);

struct InspectOutcome {
  uint32_t error = 0;     // a Windows error code from opening or reading
  std::string complaint;  // the arguments do not fit the target
};

// Opens path (only its window, with --offset or --size) read-only and hands
// the text of each of blocks first .. first + count - 1 to emit as it is
// decoded. Stops at the first failure.
InspectOutcome InspectTarget(
    platform::Env* env, const std::string& path, bool volume, int64_t first,
    int64_t count, const std::function<void(const std::string&)>& emit);

}  // namespace vorbex

#endif  // VORBEX_CHECK_INSPECT_H_
