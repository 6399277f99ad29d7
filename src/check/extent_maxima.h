#ifndef VORBEX_CHECK_EXTENT_MAXIMA_H_
#define VORBEX_CHECK_EXTENT_MAXIMA_H_

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace vorbex {

// The largest WriteSeq that the extents applied so far claim for each block
// of the scan's window, which spans three consecutive chunks. An extent may
// name the whole target, so raising each block it covers one at a time would
// let a medium of such stamps cost a pass over the window for every block;
// here a raise costs a few steps per chunk it touches, and a chunk's maxima
// are settled in one sweep just before its blocks are looked at.
//
// Owned by the thread that runs the scan.
class ExtentMaxima {
 public:
  explicit ExtentMaxima(int32_t chunk) : chunk_(chunk) {
    while (leaves_ < static_cast<size_t>(chunk)) leaves_ *= 2;
    for (std::vector<int64_t>& tree : trees_) tree.assign(2 * leaves_, 0);
  }

  // Blocks lo ... hi - 1, all inside the window, must carry at least w.
  void Raise(int64_t lo, int64_t hi, int64_t w) {
    for (int64_t k = lo / chunk_; k * chunk_ < hi; ++k) {
      const int64_t base = k * chunk_;
      RaiseIn(Tree(k), std::max(lo, base) - base,
              std::min(hi, base + chunk_) - base, w);
    }
  }

  // Calls settle(i, w) for the first count blocks of chunk number k, with
  // the largest WriteSeq w raised over block i so far (0 for none).
  template <typename Settle>
  void SettleChunk(int64_t k, int32_t count, Settle settle) {
    std::vector<int64_t>& tree = Tree(k);
    // A raise tags the nodes that cover its range; pushing every tag down
    // to the leaves is one pass, and leaves the tags where they are, since
    // raising twice to the same value changes nothing.
    for (size_t node = 1; node < leaves_; ++node) {
      tree[2 * node] = std::max(tree[2 * node], tree[node]);
      tree[2 * node + 1] = std::max(tree[2 * node + 1], tree[node]);
    }
    for (int32_t i = 0; i < count; ++i) {
      settle(i, tree[leaves_ + static_cast<size_t>(i)]);
    }
  }

  // Chunk number k enters the window in place of the one three before it.
  void Forget(int64_t k) { std::fill(Tree(k).begin(), Tree(k).end(), 0); }

 private:
  std::vector<int64_t>& Tree(int64_t k) {
    return trees_[static_cast<size_t>(k % 3)];
  }

  // The nodes that exactly cover leaves l ... r - 1, from the bottom up.
  void RaiseIn(std::vector<int64_t>& tree, int64_t lo, int64_t hi, int64_t w) {
    size_t l = leaves_ + static_cast<size_t>(lo);
    size_t r = leaves_ + static_cast<size_t>(hi);
    for (; l < r; l /= 2, r /= 2) {
      if ((l & 1) != 0) {
        tree[l] = std::max(tree[l], w);
        ++l;
      }
      if ((r & 1) != 0) {
        --r;
        tree[r] = std::max(tree[r], w);
      }
    }
  }

  const int32_t chunk_;
  size_t leaves_ = 1;
  // One binary tree per chunk of the window, by chunk number modulo 3: the
  // chunk that enters takes the place of the one that left.
  std::array<std::vector<int64_t>, 3> trees_;
};

}  // namespace vorbex

#endif  // VORBEX_CHECK_EXTENT_MAXIMA_H_
