#include "support/fake_env.h"

#include <algorithm>
#include <bit>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <new>
#include <thread>
#include <utility>

#include "platform/error_codes.h"

namespace vorbex::platform {

class FakeEnv::FakeTarget final : public Target {
 public:
  FakeTarget(FakeEnv* env, std::string path, bool read_only)
      : env_(env), path_(std::move(path)), read_only_(read_only) {}
  ~FakeTarget() override {
    std::lock_guard<std::mutex> hold(env_->mu_);
    --env_->open_targets_;
  }
  FakeTarget(const FakeTarget&) = delete;
  FakeTarget& operator=(const FakeTarget&) = delete;

  uint32_t QuerySize(int64_t* bytes) override {
    std::lock_guard<std::mutex> hold(env_->mu_);
    const Medium& m = env_->media_.at(path_);
    if (m.size_error != kErrorSuccess) return m.size_error;
    *bytes = m.bytes;
    return kErrorSuccess;
  }

  bool Buffered() const override {
    std::lock_guard<std::mutex> hold(env_->mu_);
    return env_->media_.at(path_).buffered;
  }

  uint32_t Flush() override { return env_->Flush(path_); }

  uint32_t ReadAt(int64_t offset, void* buffer, uint32_t length,
                  uint32_t* moved) override {
    return env_->Move(path_, false, offset, static_cast<char*>(buffer), length,
                      moved, this);
  }

  uint32_t WriteAt(int64_t offset, const void* buffer, uint32_t length,
                   uint32_t* moved) override {
    if (read_only_) {
      *moved = 0;
      return kErrorAccessDenied;
    }
    return env_->Move(path_, true, offset,
                      const_cast<char*>(static_cast<const char*>(buffer)),
                      length, moved, this);
  }

 private:
  FakeEnv* const env_;
  const std::string path_;
  const bool read_only_;
};

FakeEnv::~FakeEnv() {
  std::vector<std::unique_ptr<Destager>> stopping;
  {
    std::lock_guard<std::mutex> hold(mu_);
    for (auto& d : destagers_) d->stop = true;
    stopping.swap(destagers_);
  }
  destage_wake_.notify_all();
  for (auto& d : stopping) d->thread.join();
}

void FakeEnv::AddTarget(const std::string& path, int64_t bytes, bool volume) {
  std::unique_ptr<Destager> stopped;
  {
    std::lock_guard<std::mutex> hold(mu_);
    stopped = StopDestager(path);
    Medium& m = media_[path];
    m = Medium{};
    m.bytes = bytes;
    m.volume = volume;
  }
  Join(std::move(stopped));
}

std::vector<uint8_t> FakeEnv::ReadMedium(const std::string& path,
                                         int64_t offset, size_t length) {
  std::lock_guard<std::mutex> hold(mu_);
  std::vector<uint8_t> out(length);
  CopyOut(media_.at(path), offset, reinterpret_cast<char*>(out.data()), length);
  return out;
}

void FakeEnv::WriteMedium(const std::string& path, int64_t offset,
                          const std::vector<uint8_t>& bytes) {
  std::lock_guard<std::mutex> hold(mu_);
  CopyIn(media_.at(path), offset, reinterpret_cast<const char*>(bytes.data()),
         bytes.size());
}

void FakeEnv::RefuseDirectIo(const std::string& path) {
  std::lock_guard<std::mutex> hold(mu_);
  media_.at(path).buffered = true;
}

void FakeEnv::FailOpen(const std::string& path, uint32_t code) {
  std::lock_guard<std::mutex> hold(mu_);
  media_[path].open_error = code;
}

void FakeEnv::HoldVolume(const std::string& path) {
  std::lock_guard<std::mutex> hold(mu_);
  media_.at(path).held = true;
}

void FakeEnv::FailSizeQuery(const std::string& path, uint32_t code) {
  std::lock_guard<std::mutex> hold(mu_);
  media_.at(path).size_error = code;
}

void FakeEnv::FailReadsAt(const std::string& path, int64_t offset,
                          uint32_t code) {
  std::lock_guard<std::mutex> hold(mu_);
  Medium& m = media_.at(path);
  m.bad_spot = offset;
  m.bad_spot_error = code;
}

void FakeEnv::FailAllocation(uint32_t code, int skip) {
  std::lock_guard<std::mutex> hold(mu_);
  fail_allocation_at_ = allocation_count_ + skip;
  allocation_error_ = code;
}

void FakeEnv::InjectFault(Fault fault, uint32_t value, int skip) {
  std::lock_guard<std::mutex> hold(mu_);
  faults_.push_back(
      {fault, value, static_cast<int64_t>(transfers_.size()) + skip});
}

void FakeEnv::OnTransfer(When when, std::function<void()> hook, int skip) {
  std::lock_guard<std::mutex> hold(mu_);
  hooks_.push_back(
      {when, std::move(hook), static_cast<int64_t>(transfers_.size()) + skip});
}

void FakeEnv::HoldTransfer(int64_t ms, int skip) {
  OnTransfer(
      When::kBefore,
      [ms] { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); },
      skip);
}

std::function<void()> FakeEnv::TakeHook(When when, int64_t number) {
  std::lock_guard<std::mutex> hold(mu_);
  const auto it = std::find_if(
      hooks_.begin(), hooks_.end(),
      [&](const PendingHook& h) { return h.at == number && h.when == when; });
  if (it == hooks_.end()) return nullptr;
  std::function<void()> hook = std::move(it->hook);
  hooks_.erase(it);
  return hook;
}

std::vector<FakeEnv::Transfer> FakeEnv::Transfers() const {
  std::lock_guard<std::mutex> hold(mu_);
  return transfers_;
}

int FakeEnv::OpenTargetCount() const {
  std::lock_guard<std::mutex> hold(mu_);
  return open_targets_;
}

int FakeEnv::LiveAllocationCount() const {
  std::lock_guard<std::mutex> hold(mu_);
  return live_allocations_;
}

bool FakeEnv::NamesDevice(const std::string& path) {
  std::lock_guard<std::mutex> hold(mu_);
  const auto it = media_.find(path);
  return it != media_.end() && it->second.volume;
}

uint32_t FakeEnv::OpenTarget(const std::string& path, bool /*volume*/,
                             std::unique_ptr<Target>* target) {
  return Open(path, false, target);
}

uint32_t FakeEnv::OpenTargetReadOnly(const std::string& path, bool /*volume*/,
                                     std::unique_ptr<Target>* target) {
  return Open(path, true, target);
}

uint32_t FakeEnv::Place(const std::string& /*path*/,
                        const std::string& /*target_path*/, bool /*volume*/,
                        Placement* placement) {
  *placement = Placement::kElsewhere;
  return kErrorSuccess;
}

uint32_t FakeEnv::Open(const std::string& path, bool read_only,
                       std::unique_ptr<Target>* target) {
  std::lock_guard<std::mutex> hold(mu_);
  const auto it = media_.find(path);
  if (it == media_.end()) return kErrorFileNotFound;
  if (it->second.open_error != kErrorSuccess) return it->second.open_error;
  if (it->second.held && !read_only) return kErrorBusy;
  *target = std::make_unique<FakeTarget>(this, path, read_only);
  ++open_targets_;
  return kErrorSuccess;
}

void* FakeEnv::AllocatePages(size_t bytes, uint32_t* error) {
  std::lock_guard<std::mutex> hold(mu_);
  if (allocation_count_++ == fail_allocation_at_) {
    *error = allocation_error_;
    return nullptr;
  }
  // The aligned operator new rather than std::aligned_alloc, which the
  // Windows C runtime lacks.
  void* pages = ::operator new((bytes + 4095) / 4096 * 4096,
                               std::align_val_t{4096}, std::nothrow);
  if (pages == nullptr) {
    *error = kErrorNotEnoughMemory;
    return nullptr;
  }
  std::memset(pages, 0, bytes);
  ++live_allocations_;
  return pages;
}

void FakeEnv::FreePages(void* pages, size_t /*bytes*/) {
  std::lock_guard<std::mutex> hold(mu_);
  ::operator delete(pages, std::align_val_t{4096}, std::nothrow);
  --live_allocations_;
}

void FakeEnv::EnableWriteCache(const std::string& path, const CachePlan& plan) {
  std::unique_ptr<Destager> stopped;
  {
    std::lock_guard<std::mutex> hold(mu_);
    Medium& m = media_.at(path);
    if (m.cache) {
      m.cache->Replan(plan.seed, plan.lie);
    } else {
      m.cache = std::make_unique<WriteCache>(plan.seed, plan.lie);
    }
    stopped = StopDestager(path);
    if (plan.destage_us > 0) {
      // It waits for mu_, which is held here, before it touches anything.
      auto d = std::make_unique<Destager>();
      d->path = path;
      d->pace = std::chrono::microseconds(plan.destage_us);
      Destager* const raw = d.get();
      d->thread = std::thread([this, raw] { DestageLoop(raw); });
      destagers_.push_back(std::move(d));
    }
  }
  Join(std::move(stopped));
}

void FakeEnv::DisableWriteCache(const std::string& path) {
  std::unique_ptr<Destager> stopped;
  {
    std::lock_guard<std::mutex> hold(mu_);
    Medium& m = media_.at(path);
    if (m.cache) m.cache->DestageAll(&m.blocks);
    m.cache.reset();
    stopped = StopDestager(path);
  }
  Join(std::move(stopped));
}

std::unique_ptr<FakeEnv::Destager> FakeEnv::StopDestager(
    const std::string& path) {
  const auto it = std::find_if(
      destagers_.begin(), destagers_.end(),
      [&](const std::unique_ptr<Destager>& d) { return d->path == path; });
  if (it == destagers_.end()) return nullptr;
  std::unique_ptr<Destager> d = std::move(*it);
  destagers_.erase(it);
  d->stop = true;
  return d;
}

void FakeEnv::Join(std::unique_ptr<Destager> d) {
  if (!d) return;
  destage_wake_.notify_all();
  d->thread.join();
}

void FakeEnv::DestageLoop(Destager* d) {
  std::unique_lock<std::mutex> hold(mu_);
  while (!destage_wake_.wait_for(hold, d->pace, [d] { return d->stop; })) {
    const auto it = media_.find(d->path);
    if (it != media_.end() && it->second.cache) {
      it->second.cache->DestageOne(&it->second.blocks);
    }
  }
}

FakeEnv::CutReport FakeEnv::Cut(const std::string& path) {
  std::lock_guard<std::mutex> hold(mu_);
  return CutLocked(media_.at(path), {});
}

FakeEnv::CutReport FakeEnv::CutLocked(Medium& m,
                                      std::vector<int64_t> torn_landed) {
  CutReport report;
  if (m.off) return report;
  if (m.cache) m.cache->Lose(&report.durable_lost, &report.allowed_lost);
  report.torn_landed = std::move(torn_landed);
  m.off = true;
  m.cut_in = -1;
  m.last_cut = report;
  return report;
}

void FakeEnv::CutDuringWrite(const std::string& path, int skip) {
  std::lock_guard<std::mutex> hold(mu_);
  media_.at(path).cut_in = skip;
}

FakeEnv::CutReport FakeEnv::LastCut(const std::string& path) const {
  std::lock_guard<std::mutex> hold(mu_);
  return media_.at(path).last_cut;
}

bool FakeEnv::PoweredOn(const std::string& path) const {
  std::lock_guard<std::mutex> hold(mu_);
  return !media_.at(path).off;
}

void FakeEnv::PowerOn(const std::string& path) {
  std::lock_guard<std::mutex> hold(mu_);
  media_.at(path).off = false;
}

uint32_t FakeEnv::Flush(const std::string& path) {
  std::lock_guard<std::mutex> hold(mu_);
  Medium& m = media_.at(path);
  if (m.off) return kErrorNotReady;
  // Under the lock the flush is one instant: it covers every write that
  // returned before it took the lock, and none that began after.
  if (m.cache) m.cache->Flush(&m.blocks);
  return kErrorSuccess;
}

void FakeEnv::TearAndCut(Medium& m, int64_t offset, const char* buffer,
                         uint32_t length) {
  const int64_t first = offset / 512;
  std::vector<int64_t> landed;
  for (uint32_t j = 0; j < length / 512; ++j) {
    if (Draw(2) == 0) continue;
    Land(m, offset + int64_t{j} * 512, buffer + size_t{j} * 512, 512);
    if (m.cache) m.cache->Supersede(first + j);
    landed.push_back(first + j);
  }
  CutLocked(m, std::move(landed));
}

uint32_t FakeEnv::Move(const std::string& path, bool write, int64_t offset,
                       char* buffer, uint32_t length, uint32_t* moved,
                       const Target* target) {
  int64_t number = 0;
  {
    std::lock_guard<std::mutex> hold(mu_);
    number = static_cast<int64_t>(transfers_.size());
    transfers_.push_back({write, offset, length});
  }
  if (auto hook = TakeHook(When::kBefore, number)) hook();
  const uint32_t rc =
      MoveLocked(number, path, write, offset, buffer, length, moved, target);
  if (auto hook = TakeHook(When::kAfter, number)) hook();
  return rc;
}

uint32_t FakeEnv::MoveLocked(int64_t number, const std::string& path,
                             bool write, int64_t offset, char* buffer,
                             uint32_t length, uint32_t* moved,
                             const Target* target) {
  std::lock_guard<std::mutex> hold(mu_);
  Medium& m = media_.at(path);
  if (m.off) {
    *moved = 0;
    return kErrorNotReady;
  }

  uint32_t todo = length;
  if (offset >= m.bytes) {
    todo = 0;
  } else if (offset + length > m.bytes) {
    todo = static_cast<uint32_t>(m.bytes - offset);
  }
  if (!write && m.bad_spot >= offset && m.bad_spot < offset + length) {
    *moved = 0;
    return m.bad_spot_error;
  }
  if (write && m.cut_in >= 0) {
    if (m.cut_in == 0) {
      TearAndCut(m, offset, buffer, todo);
      *moved = 0;
      return kErrorNotReady;
    }
    --m.cut_in;
  }
  const auto fault =
      std::find_if(faults_.begin(), faults_.end(),
                   [&](const PendingFault& f) { return f.at == number; });
  if (fault != faults_.end()) {
    const PendingFault f = *fault;
    faults_.erase(fault);
    switch (f.fault) {
      case Fault::kFail: *moved = 0; return f.value;
      case Fault::kDrop: *moved = length; return kErrorSuccess;
      case Fault::kShort: todo = std::min(todo, f.value); break;
    }
  }
  if (m.cache) {
    if (write) {
      m.cache->Write(m.blocks, offset, buffer, todo);
    } else {
      m.cache->Read(m.blocks, offset, buffer, todo);
    }
    *moved = todo;
    return kErrorSuccess;
  }
  DamagePlan plan;
  const bool damage =
      !damage_.empty() && TakeDamage(path, m, write, offset, todo, &plan);
  if (write) {
    if (damage) {
      DamageWrite(m, plan, offset, buffer, todo);
    } else {
      Land(m, offset, buffer, todo);
    }
  } else {
    CopyOut(m, offset, buffer, todo);
    if (damage) DamageRead(m, plan, offset, buffer, todo, target);
    if (observer_) TellReads(m, offset, todo, target);
  }
  *moved = todo;
  return kErrorSuccess;
}

void FakeEnv::ObserveDamage(std::function<void(const DamageEvent&)> observer) {
  std::lock_guard<std::mutex> hold(mu_);
  observer_ = std::move(observer);
}

void FakeEnv::SeedDamage(uint64_t seed) {
  std::lock_guard<std::mutex> hold(mu_);
  rng_.seed(seed);
}

void FakeEnv::KeepPreviousVersions(const std::string& path) {
  std::lock_guard<std::mutex> hold(mu_);
  media_.at(path).keep_previous = true;
}

void FakeEnv::ArmDamage(const std::string& path, const DamagePlan& plan,
                        int skip) {
  std::lock_guard<std::mutex> hold(mu_);
  damage_.push_back({path, plan, skip, 0, 1});
}

void FakeEnv::DamageAtRate(const std::string& path, const DamagePlan& plan,
                           double rate, int limit) {
  std::lock_guard<std::mutex> hold(mu_);
  std::erase_if(damage_, [&](const ArmedDamage& a) {
    return a.path == path && a.rate > 0 && a.plan.damage == plan.damage;
  });
  if (rate > 0 && limit > 0) damage_.push_back({path, plan, 0, rate, limit});
}

void FakeEnv::DisarmDamage() {
  std::lock_guard<std::mutex> hold(mu_);
  damage_.clear();
}

bool FakeEnv::DamageAtRest(const std::string& path, int64_t block,
                           const DamagePlan& plan) {
  std::lock_guard<std::mutex> hold(mu_);
  Medium& m = media_.at(path);
  const auto it = m.blocks.find(block);
  if (it == m.blocks.end() || block < plan.first_block) return false;
  const Block intended = it->second;
  int byte = 0;
  uint32_t mask = 0;
  XorBlock(plan, it->second.data(), &byte, &mask);
  Place(m, ++faults_placed_, plan, true, block, byte, mask, intended.data());
  return true;
}

uint32_t FakeEnv::Draw(uint32_t bound) {
  return static_cast<uint32_t>(rng_() % bound);
}

void FakeEnv::XorBlock(const DamagePlan& plan, uint8_t* block, int* byte,
                       uint32_t* mask) {
  if (plan.mask != 0) {
    *byte = (plan.lo & ~3) + std::countr_zero(plan.mask) / 8;
    *mask = plan.mask;
  } else {
    const uint32_t bit = Draw(static_cast<uint32_t>(plan.hi - plan.lo) * 8);
    *byte = plan.lo + static_cast<int>(bit / 8);
    *mask = (1u << (bit % 8)) << (8 * (*byte & 3));
  }
  uint32_t word = 0;
  std::memcpy(&word, block + (*byte & ~3), sizeof word);
  word ^= *mask;
  std::memcpy(block + (*byte & ~3), &word, sizeof word);
}

bool FakeEnv::TakeDamage(const std::string& path, const Medium& m, bool write,
                         int64_t offset, uint32_t length, DamagePlan* plan) {
  const int64_t first = offset / 512;
  const int64_t end = first + length / 512;
  for (auto it = damage_.begin(); it != damage_.end(); ++it) {
    const DamagePlan& p = it->plan;
    if (it->path != path || first == end) continue;
    if (write != (p.damage != Damage::kStale)) continue;
    if (write && first < p.first_block) continue;
    if (p.damage == Damage::kTorn && end - first < 2) continue;
    if (!write) {
      const auto prev = m.previous.lower_bound(std::max(first, p.first_block));
      if (prev == m.previous.end() || prev->first >= end) continue;
    }
    if (it->rate > 0) {
      if (std::uniform_real_distribution<double>(0, 1)(rng_) >= it->rate) {
        continue;
      }
    } else if (it->skip > 0) {
      --it->skip;
      continue;
    }
    *plan = p;
    if (--it->limit <= 0) damage_.erase(it);
    return true;
  }
  return false;
}

void FakeEnv::DamageWrite(Medium& m, const DamagePlan& plan, int64_t offset,
                          const char* buffer, uint32_t length) {
  const int64_t first = offset / 512;
  const auto n = static_cast<int64_t>(length / 512);
  const int64_t fault = ++faults_placed_;
  const auto meant = [buffer](int64_t j) {
    return reinterpret_cast<const uint8_t*>(buffer) + j * 512;
  };
  const auto lose = [&](int64_t from, int64_t to) {
    for (int64_t j = from; j < to; ++j) {
      Place(m, fault, plan, false, first + j, -1, 0, meant(j));
    }
  };
  switch (plan.damage) {
    case Damage::kLost: lose(0, n); break;
    case Damage::kTorn: {
      const int64_t cut = 1 + Draw(static_cast<uint32_t>(n - 1));
      Land(m, offset, buffer, static_cast<size_t>(cut) * 512);
      lose(cut, n);
      break;
    }
    case Damage::kTornBlock: {
      const int64_t j = Draw(static_cast<uint32_t>(n));
      const int k = 1 + static_cast<int>(Draw(511));
      Land(m, offset, buffer, static_cast<size_t>(j * 512 + k));
      Place(m, fault, plan, false, first + j, k, 0, meant(j));
      lose(j + 1, n);
      break;
    }
    case Damage::kMisdirected:
      MisdirectWrite(m, plan, fault, offset, buffer, length);
      break;
    case Damage::kXor: {
      Land(m, offset, buffer, length);
      const int64_t j = Draw(static_cast<uint32_t>(n));
      int byte = 0;
      uint32_t mask = 0;
      XorBlock(plan, m.blocks[first + j].data(), &byte, &mask);
      Place(m, fault, plan, false, first + j, byte, mask, meant(j));
      break;
    }
    case Damage::kStale: break;  // never taken for a write
  }
}

void FakeEnv::MisdirectWrite(Medium& m, const DamagePlan& plan, int64_t fault,
                             int64_t offset, const char* buffer,
                             uint32_t length) {
  const int64_t first = offset / 512;
  const auto n = static_cast<int64_t>(length / 512);
  const int64_t blocks = m.bytes / 512;
  int64_t delta = 1 + Draw(64);
  if (Draw(2) == 0) delta = -delta;
  int64_t to = first + delta;
  if (to < plan.first_block || to + n > blocks) to = first - delta;
  if (to < plan.first_block || to + n > blocks) to = -1;  // nowhere: lost

  // What the blocks that the write lands on held, and so should still hold
  // unless the write was meant for them too.
  std::vector<uint8_t> before(static_cast<size_t>(length));
  if (to >= 0) {
    CopyOut(m, to * 512, reinterpret_cast<char*>(before.data()), length);
    Land(m, to * 512, buffer, length);
  }
  for (int64_t j = 0; j < n; ++j) {
    Place(m, fault, plan, false, first + j, -1, 0,
          reinterpret_cast<const uint8_t*>(buffer) + j * 512);
  }
  for (int64_t j = 0; to >= 0 && j < n; ++j) {
    const int64_t b = to + j;
    if (b >= first && b < first + n) continue;
    Place(m, fault, plan, false, b, -1, 0, before.data() + j * 512);
  }
}

void FakeEnv::DamageRead(Medium& m, const DamagePlan& plan, int64_t offset,
                         char* buffer, uint32_t length, const Target* reader) {
  const int64_t first = offset / 512;
  const int64_t end = first + length / 512;
  std::vector<int64_t> candidates;
  for (auto it = m.previous.lower_bound(std::max(first, plan.first_block));
       it != m.previous.end() && it->first < end; ++it) {
    candidates.push_back(it->first);
  }
  if (candidates.empty()) return;
  const int64_t b = candidates[Draw(static_cast<uint32_t>(candidates.size()))];
  std::memcpy(buffer + (b - first) * 512, m.previous.at(b).data(), 512);
  if (!observer_) return;
  Block current{};
  CopyOut(m, b * 512, reinterpret_cast<char*>(current.data()), 512);
  DamageEvent e;
  e.fault = ++faults_placed_;
  e.damage = Damage::kStale;
  e.block = b;
  e.intended = current.data();
  observer_(e);
  e.kind = DamageEvent::kRead;
  e.intended = nullptr;
  e.reader = reader;
  e.read_first = first;
  observer_(e);
}

void FakeEnv::TellReads(const Medium& m, int64_t offset, uint32_t length,
                        const Target* reader) {
  const int64_t first = offset / 512;
  const int64_t end = first + length / 512;
  for (auto it = m.damaged.lower_bound(first);
       it != m.damaged.end() && it->first < end; ++it) {
    DamageEvent e;
    e.kind = DamageEvent::kRead;
    e.fault = it->second;
    e.block = it->first;
    e.reader = reader;
    e.read_first = first;
    observer_(e);
  }
}

void FakeEnv::Place(Medium& m, int64_t fault, const DamagePlan& plan,
                    bool at_rest, int64_t b, int byte, uint32_t mask,
                    const uint8_t* intended) {
  auto [it, fresh] = m.damaged.try_emplace(b, fault);
  DamageEvent e;
  if (!fresh && observer_) {
    e.kind = DamageEvent::kSuperseded;
    e.fault = it->second;
    e.block = b;
    observer_(e);
  }
  it->second = fault;
  if (!observer_) return;
  e.kind = DamageEvent::kPlaced;
  e.fault = fault;
  e.damage = plan.damage;
  e.at_rest = at_rest;
  e.block = b;
  e.byte = byte;
  e.mask = mask;
  e.intended = intended;
  observer_(e);
}

void FakeEnv::Land(Medium& m, int64_t offset, const char* p, size_t n) {
  if (m.keep_previous || !m.damaged.empty()) {
    const auto end = static_cast<int64_t>(offset + static_cast<int64_t>(n));
    for (int64_t b = offset / 512; b * 512 < end; ++b) {
      if (m.keep_previous) {
        const auto it = m.blocks.find(b);
        m.previous[b] = it == m.blocks.end() ? Block{} : it->second;
      }
      const auto d = m.damaged.find(b);
      if (d == m.damaged.end() || b * 512 < offset || (b + 1) * 512 > end) {
        continue;
      }
      if (observer_) {
        DamageEvent e;
        e.kind = DamageEvent::kOverwritten;
        e.fault = d->second;
        e.block = b;
        observer_(e);
      }
      m.damaged.erase(d);
    }
  }
  CopyIn(m, offset, p, n);
}

// Offsets and lengths are whole blocks except when a short-transfer fault
// cuts one, so work block by block and clip the ends.
void FakeEnv::CopyOut(const Medium& m, int64_t offset, char* p,
                      size_t n) const {
  size_t done = 0;
  while (done < n) {
    const int64_t at = offset + static_cast<int64_t>(done);
    const size_t within = static_cast<size_t>(at % 512);
    const size_t piece = std::min(n - done, 512 - within);
    const auto it = m.blocks.find(at / 512);
    if (it == m.blocks.end()) {
      std::memset(p + done, 0, piece);
    } else {
      std::memcpy(p + done, it->second.data() + within, piece);
    }
    done += piece;
  }
}

void FakeEnv::CopyIn(Medium& m, int64_t offset, const char* p, size_t n) {
  size_t done = 0;
  while (done < n) {
    const int64_t at = offset + static_cast<int64_t>(done);
    const size_t within = static_cast<size_t>(at % 512);
    const size_t piece = std::min(n - done, 512 - within);
    Block& block = m.blocks.try_emplace(at / 512).first->second;
    std::memcpy(block.data() + within, p + done, piece);
    done += piece;
  }
}

}  // namespace vorbex::platform
