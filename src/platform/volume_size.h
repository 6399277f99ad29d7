#ifndef VORBEX_PLATFORM_VOLUME_SIZE_H_
#define VORBEX_PLATFORM_VOLUME_SIZE_H_

#include <cstdint>
#include <functional>

namespace vorbex::platform {

// One answer of a Windows partition query, as the system's device call
// gives it. Kept apart from the call so that every answer a driver may give
// can be tried on any build: no machine at hand gives them all.
struct PartitionAnswer {
  bool answered = false;  // the call succeeded
  uint32_t error = 0;     // when it did not: the system's code for why
  uint32_t returned = 0;  // bytes the driver filled in
  int64_t length = 0;     // the partition's length, from what it filled in
};

// The sizes of the two answers: IOCTL_DISK_GET_PARTITION_INFO_EX's structure
// and the older IOCTL_DISK_GET_PARTITION_INFO's. The Windows layer checks
// them against the system's own structures.
inline constexpr uint32_t kPartitionAnswerExBytes = 144;
inline constexpr uint32_t kPartitionAnswerBytes = 32;

// A volume's length in bytes from the current query's answer, asking the
// older query (through ask_older) only when the current one failed: drivers
// that predate GPT know only that one. A short answer is kErrorBadLength,
// never a length read from a part the driver did not fill in. Returns
// kErrorSuccess or the code of what went wrong.
uint32_t VolumeSize(const PartitionAnswer& current,
                    const std::function<PartitionAnswer()>& ask_older,
                    int64_t* bytes);

}  // namespace vorbex::platform

#endif  // VORBEX_PLATFORM_VOLUME_SIZE_H_
