#include "platform/fake_env.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "platform/error_codes.h"

namespace vorbex::platform {

class FakeEnv::FakeTarget final : public Target {
 public:
  FakeTarget(FakeEnv* env, std::string path)
      : env_(env), path_(std::move(path)) {}
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

  uint32_t ReadAt(int64_t offset, void* buffer, uint32_t length,
                  uint32_t* moved) override {
    return env_->Move(path_, false, offset, static_cast<char*>(buffer), length,
                      moved);
  }

  uint32_t WriteAt(int64_t offset, const void* buffer, uint32_t length,
                   uint32_t* moved) override {
    return env_->Move(path_, true, offset,
                      const_cast<char*>(static_cast<const char*>(buffer)),
                      length, moved);
  }

 private:
  FakeEnv* const env_;
  const std::string path_;
};

void FakeEnv::AddTarget(const std::string& path, int64_t bytes, bool volume) {
  std::lock_guard<std::mutex> hold(mu_);
  Medium& m = media_[path];
  m = Medium{};
  m.bytes = bytes;
  m.volume = volume;
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
  std::lock_guard<std::mutex> hold(mu_);
  const auto it = media_.find(path);
  if (it == media_.end()) return kErrorFileNotFound;
  if (it->second.open_error != kErrorSuccess) return it->second.open_error;
  *target = std::make_unique<FakeTarget>(this, path);
  ++open_targets_;
  return kErrorSuccess;
}

void* FakeEnv::AllocatePages(size_t bytes, uint32_t* error) {
  std::lock_guard<std::mutex> hold(mu_);
  if (allocation_count_++ == fail_allocation_at_) {
    *error = allocation_error_;
    return nullptr;
  }
  void* pages = std::aligned_alloc(4096, (bytes + 4095) / 4096 * 4096);
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
  std::free(pages);
  --live_allocations_;
}

uint32_t FakeEnv::Move(const std::string& path, bool write, int64_t offset,
                       char* buffer, uint32_t length, uint32_t* moved) {
  int64_t number = 0;
  {
    std::lock_guard<std::mutex> hold(mu_);
    number = static_cast<int64_t>(transfers_.size());
    transfers_.push_back({write, offset, length});
  }
  if (auto hook = TakeHook(When::kBefore, number)) hook();
  const uint32_t rc =
      MoveLocked(number, path, write, offset, buffer, length, moved);
  if (auto hook = TakeHook(When::kAfter, number)) hook();
  return rc;
}

uint32_t FakeEnv::MoveLocked(int64_t number, const std::string& path,
                             bool write, int64_t offset, char* buffer,
                             uint32_t length, uint32_t* moved) {
  std::lock_guard<std::mutex> hold(mu_);
  Medium& m = media_.at(path);

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
  if (write) {
    CopyIn(m, offset, buffer, todo);
  } else {
    CopyOut(m, offset, buffer, todo);
  }
  *moved = todo;
  return kErrorSuccess;
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
