#ifndef VORBEX_PLATFORM_PLACEMENT_H_
#define VORBEX_PLATFORM_PLACEMENT_H_

#include <cstdint>

#include "platform/env.h"

namespace vorbex::platform {

// What the POSIX layer learns of a path from stat and sysfs, down to what
// decides its Placement. Kept apart from the calls so that the rules can be
// tried on devices and file systems that no test machine has.
struct NodeFacts {
  enum class Kind {
    kFile,         // an ordinary file, or one to be made (exists is false)
    kBlockDevice,  // its bytes go straight to device
    kStream,       // a pipe, FIFO, socket or character device: kept nowhere
    kOther,        // a folder or anything else
  };
  Kind kind = Kind::kOther;
  // False when the path names nothing yet: the facts are then those of the
  // folder it would be made in, and it is the same node as nothing.
  bool exists = true;
  uint64_t node_device = 0;  // st_dev and st_ino: which node it is
  uint64_t node = 0;
  // The device its bytes are kept on: st_rdev for a block device, the file
  // system's st_dev for anything else.
  uint64_t device = 0;
  // The whole disk when device is one of its partitions, else 0 (also when
  // the system cannot tell).
  uint64_t whole_disk = 0;
};

// Where journal lies with respect to target. Two devices count as one when
// they are the same or one is a partition of the other; a sibling
// partition of the same disk does not.
Placement PlaceByFacts(const NodeFacts& journal, const NodeFacts& target);

}  // namespace vorbex::platform

#endif  // VORBEX_PLATFORM_PLACEMENT_H_
