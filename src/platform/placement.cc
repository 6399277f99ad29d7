#include "platform/placement.h"

namespace vorbex::platform {
namespace {

bool PartitionOf(const NodeFacts& part, const NodeFacts& whole) {
  return part.whole_disk != 0 && part.whole_disk == whole.device;
}

// Writing to one can land on the other's bytes.
bool Overlap(const NodeFacts& a, const NodeFacts& b) {
  return a.device == b.device || PartitionOf(a, b) || PartitionOf(b, a);
}

}  // namespace

Placement PlaceByFacts(const NodeFacts& journal, const NodeFacts& target) {
  using Kind = NodeFacts::Kind;
  if (journal.exists && journal.node_device == target.node_device &&
      journal.node == target.node) {
    return Placement::kIsTarget;
  }
  // What goes into a pipe or a socket is kept by its reader, wherever the
  // node itself lies.
  if (journal.kind == Kind::kStream) return Placement::kElsewhere;
  // Written raw, a device that shares bytes with the target overwrites the
  // target, or the file system that holds it.
  if (journal.kind == Kind::kBlockDevice) {
    return Overlap(journal, target) ? Placement::kIsTarget
                                    : Placement::kElsewhere;
  }
  if (target.kind == Kind::kBlockDevice) {
    return Overlap(journal, target) ? Placement::kOnTargetDevice
                                    : Placement::kElsewhere;
  }
  if (target.kind == Kind::kFile && journal.device == target.device) {
    return Placement::kSameFileSystem;
  }
  return Placement::kElsewhere;
}

}  // namespace vorbex::platform
