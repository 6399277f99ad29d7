#include "platform/volume_size.h"

#include "platform/error_codes.h"

namespace vorbex::platform {

uint32_t VolumeSize(const PartitionAnswer& current,
                    const std::function<PartitionAnswer()>& ask_older,
                    int64_t* bytes) {
  if (current.answered) {
    // The driver answered the current query, so its short answer is the
    // verdict; asking the older query would only paper over it.
    if (current.returned < kPartitionAnswerExBytes) return kErrorBadLength;
    *bytes = current.length;
    return kErrorSuccess;
  }
  const PartitionAnswer older = ask_older();
  // A failure must never pass for success, whatever code came with it.
  if (!older.answered) {
    return older.error != kErrorSuccess ? older.error : kErrorIoDevice;
  }
  if (older.returned < kPartitionAnswerBytes) return kErrorBadLength;
  *bytes = older.length;
  return kErrorSuccess;
}

}  // namespace vorbex::platform
