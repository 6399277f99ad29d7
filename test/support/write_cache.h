#ifndef VORBEX_TEST_SUPPORT_WRITE_CACHE_H_
#define VORBEX_TEST_SUPPORT_WRITE_CACHE_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <random>
#include <unordered_map>
#include <vector>

namespace vorbex::platform {

// A drive's volatile write cache in front of a medium of 512-byte sectors:
// writes are taken into the cache and acknowledged, reads are served from
// it where it holds a sector, and sectors reach the medium only when
// destaged, one by one in random order or by a flush. A flush may lie:
// report success while keeping sectors back.
//
// What a power cut must tell is whether the medium holds something older
// than a flush promised. The cache holds each sector's newest version and
// the medium the version from before the sector was first cached, since a
// sector leaves the cache only by being destaged whole. So a flush that
// returned promised something the medium lacks exactly when it returned
// while the sector stayed cached and the sector has not been destaged
// since: one flag per cached sector, set by a lying flush, decides it,
// whatever was written over the sector after that flush.
//
// Not thread-safe: the owner serialises every call.
class WriteCache {
 public:
  using Block = std::array<uint8_t, 512>;
  using Blocks = std::map<int64_t, Block>;  // a medium; absent blocks are 0

  WriteCache(uint64_t seed, double lie) : rng_(seed), lie_(lie) {}

  // Changes the plan, keeping what is cached.
  void Replan(uint64_t seed, double lie) {
    rng_.seed(seed);
    lie_ = lie;
  }

  // n bytes at offset as the drive sees them. Offsets and lengths may cut
  // sectors (a short transfer), so sectors are merged piecewise.
  void Read(const Blocks& medium, int64_t offset, char* p, size_t n) const;
  void Write(const Blocks& medium, int64_t offset, const char* p, size_t n);

  // Moves one random cached sector to the medium; false when none is.
  bool DestageOne(Blocks* medium);
  // Moves every cached sector to the medium but those the lie probability
  // keeps back, which the flush, returning, has still promised.
  void Flush(Blocks* medium);
  // Moves every cached sector to the medium, honestly.
  void DestageAll(Blocks* medium);
  // The medium now holds a newer version of block than the cache does
  // (a write in flight landed there): the cached one counts for nothing.
  void Supersede(int64_t block);

  // Empties the cache, as a power cut does, and lists the sectors lost in
  // block order: durable, those a flush that returned had promised; allowed,
  // those acknowledged since the medium last had them that no such flush
  // had.
  void Lose(std::vector<int64_t>* durable, std::vector<int64_t>* allowed);

  size_t size() const { return sectors_.size(); }

 private:
  struct Sector {
    Block data{};
    bool promised = false;  // a flush that returned kept it back
    size_t slot = 0;        // its place in order_
  };
  void Destage(int64_t block, Blocks* medium);

  std::unordered_map<int64_t, Sector> sectors_;
  std::vector<int64_t> order_;  // the cached blocks, to draw one uniformly
  std::mt19937_64 rng_;
  double lie_;
};

}  // namespace vorbex::platform

#endif  // VORBEX_TEST_SUPPORT_WRITE_CACHE_H_
