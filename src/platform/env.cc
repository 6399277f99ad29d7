#include "platform/env.h"

#include <algorithm>
#include <utility>

#include "platform/error_codes.h"

namespace vorbex::platform {
namespace {

// Process-wide, so that a test puts in a fake system for every open without
// handing it down through each room. Written only by SetCurrentEnv, which
// runs while no other thread uses it.
Env* g_current = nullptr;

class WindowTarget final : public Target {
 public:
  WindowTarget(std::unique_ptr<Target> whole, int64_t offset, int64_t length)
      : whole_(std::move(whole)), offset_(offset), length_(length) {}

  uint32_t QuerySize(int64_t* bytes) override {
    *bytes = length_;
    return kErrorSuccess;
  }

  uint32_t ReadAt(int64_t offset, void* buffer, uint32_t length,
                  uint32_t* moved) override {
    return whole_->ReadAt(offset_ + offset, buffer, Inside(offset, length),
                          moved);
  }

  uint32_t WriteAt(int64_t offset, const void* buffer, uint32_t length,
                   uint32_t* moved) override {
    return whole_->WriteAt(offset_ + offset, buffer, Inside(offset, length),
                           moved);
  }

  bool Buffered() const override { return whole_->Buffered(); }
  uint32_t LogicalSectorSize(uint32_t* bytes) override {
    return whole_->LogicalSectorSize(bytes);
  }
  uint32_t HoldRange(int64_t offset, int64_t length) override {
    return whole_->HoldRange(offset, length);
  }
  uint32_t Flush() override { return whole_->Flush(); }

 private:
  // What lies past the window belongs to someone else, so a transfer stops
  // at its end as one stops at the end of a file.
  uint32_t Inside(int64_t offset, uint32_t length) const {
    const int64_t left = std::max<int64_t>(0, length_ - offset);
    return static_cast<uint32_t>(std::min<int64_t>(length, left));
  }

  const std::unique_ptr<Target> whole_;
  const int64_t offset_;
  const int64_t length_;
};

}  // namespace

std::unique_ptr<Target> WindowOf(std::unique_ptr<Target> whole, int64_t offset,
                                 int64_t length) {
  return std::make_unique<WindowTarget>(std::move(whole), offset, length);
}

uint32_t Env::OpenTargetReadOnly(const std::string& /*path*/, bool /*volume*/,
                                 std::unique_ptr<Target>* /*target*/) {
  return kErrorNotSupported;
}

std::chrono::steady_clock::time_point SteadyDeadlineAfter(
    int64_t milliseconds) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point now = Clock::now();
  const auto room = std::chrono::floor<std::chrono::milliseconds>(
      Clock::time_point::max() - now);
  if (milliseconds >= room.count()) return Clock::time_point::max();
  return now + std::chrono::milliseconds(milliseconds);
}

Env* CurrentEnv() { return g_current != nullptr ? g_current : NativeEnv(); }

void SetCurrentEnv(Env* env) { g_current = env; }

}  // namespace vorbex::platform
