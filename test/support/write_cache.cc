#include "support/write_cache.h"

#include <algorithm>
#include <cstring>

namespace vorbex::platform {

void WriteCache::Read(const Blocks& medium, int64_t offset, char* p,
                      size_t n) const {
  size_t done = 0;
  while (done < n) {
    const int64_t at = offset + static_cast<int64_t>(done);
    const auto within = static_cast<size_t>(at % 512);
    const size_t piece = std::min(n - done, 512 - within);
    const uint8_t* from = nullptr;
    if (const auto c = sectors_.find(at / 512); c != sectors_.end()) {
      from = c->second.data.data();
    } else if (const auto m = medium.find(at / 512); m != medium.end()) {
      from = m->second.data();
    }
    if (from == nullptr) {
      std::memset(p + done, 0, piece);
    } else {
      std::memcpy(p + done, from + within, piece);
    }
    done += piece;
  }
}

void WriteCache::Write(const Blocks& medium, int64_t offset, const char* p,
                       size_t n) {
  size_t done = 0;
  while (done < n) {
    const int64_t at = offset + static_cast<int64_t>(done);
    const auto within = static_cast<size_t>(at % 512);
    const size_t piece = std::min(n - done, 512 - within);
    const int64_t b = at / 512;
    auto [it, fresh] = sectors_.try_emplace(b);
    if (fresh) {
      // A piece of a sector merges with what the drive holds for the rest.
      if (const auto m = medium.find(b); m != medium.end()) {
        it->second.data = m->second;
      }
      it->second.slot = order_.size();
      order_.push_back(b);
    }
    std::memcpy(it->second.data.data() + within, p + done, piece);
    done += piece;
  }
}

bool WriteCache::DestageOne(Blocks* medium) {
  if (order_.empty()) return false;
  std::uniform_int_distribution<size_t> pick(0, order_.size() - 1);
  Destage(order_[pick(rng_)], medium);
  return true;
}

void WriteCache::Flush(Blocks* medium) {
  // Exact at 0 and 1, where a test wants no draw to decide.
  const auto keep = [this] {
    if (lie_ <= 0) return false;
    if (lie_ >= 1) return true;
    return std::bernoulli_distribution(lie_)(rng_);
  };
  const std::vector<int64_t> cached = order_;
  for (const int64_t b : cached) {
    if (keep()) {
      sectors_.at(b).promised = true;
    } else {
      Destage(b, medium);
    }
  }
}

void WriteCache::DestageAll(Blocks* medium) {
  while (!order_.empty()) Destage(order_.back(), medium);
}

void WriteCache::Supersede(int64_t block) {
  const auto it = sectors_.find(block);
  if (it == sectors_.end()) return;
  const size_t slot = it->second.slot;
  order_[slot] = order_.back();
  sectors_.at(order_[slot]).slot = slot;
  order_.pop_back();
  sectors_.erase(it);
}

void WriteCache::Destage(int64_t block, Blocks* medium) {
  (*medium)[block] = sectors_.at(block).data;
  Supersede(block);
}

void WriteCache::Lose(std::vector<int64_t>* durable,
                      std::vector<int64_t>* allowed) {
  durable->clear();
  allowed->clear();
  for (const auto& [b, s] : sectors_) {
    (s.promised ? durable : allowed)->push_back(b);
  }
  std::sort(durable->begin(), durable->end());
  std::sort(allowed->begin(), allowed->end());
  sectors_.clear();
  order_.clear();
}

}  // namespace vorbex::platform
