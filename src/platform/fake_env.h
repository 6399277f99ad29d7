#ifndef VORBEX_PLATFORM_FAKE_ENV_H_
#define VORBEX_PLATFORM_FAKE_ENV_H_

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/env.h"

namespace vorbex::platform {

// An Env whose targets live in memory, for tests: it records every transfer
// and can fail an open, a size query, an allocation or any one transfer, move
// fewer bytes than asked, or report success while moving nothing (a lost
// write, an undelivered read). The product never uses it.
//
// Safe for concurrent use by multiple threads.
class FakeEnv final : public Env {
 public:
  enum class Fault {
    kFail,   // the transfer returns an error code and moves nothing
    kShort,  // the transfer moves only the first `value` bytes
    kDrop,   // the transfer reports success and moves nothing
  };

  struct Transfer {
    bool write;
    int64_t offset;
    uint32_t length;
  };

  // Adds a zero-filled target of `bytes` bytes at path; storage grows only
  // where blocks are written, so huge targets cost nothing.
  void AddTarget(const std::string& path, int64_t bytes, bool volume = false);

  // Copies of and changes to a target's bytes, at any offset.
  std::vector<uint8_t> ReadMedium(const std::string& path, int64_t offset,
                                  size_t length);
  void WriteMedium(const std::string& path, int64_t offset,
                   const std::vector<uint8_t>& bytes);

  // Makes path behave like a file on a file system without direct I/O.
  void RefuseDirectIo(const std::string& path);
  void FailOpen(const std::string& path, uint32_t code);
  void FailSizeQuery(const std::string& path, uint32_t code);
  // The allocation `skip` allocations from now fails with code.
  void FailAllocation(uint32_t code, int skip = 0);
  // The transfer `skip` transfers from now (reads and writes counted
  // together, over all targets) suffers fault; value is the error code for
  // kFail and the bytes moved for kShort.
  void InjectFault(Fault fault, uint32_t value, int skip = 0);

  // Every read of path that covers byte offset fails with code, whenever it
  // comes: a bad spot on the medium.
  void FailReadsAt(const std::string& path, int64_t offset, uint32_t code);

  // Runs hook on the thread of the transfer `skip` transfers from now, just
  // before it moves anything or just after it has moved everything, without
  // holding any lock of this Env, so the hook may make transfers of its own.
  // Lets a test put another writer's work between a reader's copy of the
  // table and its transfer, or between the transfer and its check.
  enum class When { kBefore, kAfter };
  void OnTransfer(When when, std::function<void()> hook, int skip = 0);

  std::vector<Transfer> Transfers() const;
  int OpenTargetCount() const;
  int LiveAllocationCount() const;

  bool NamesDevice(const std::string& path) override;
  uint32_t OpenTarget(const std::string& path, bool volume,
                      std::unique_ptr<Target>* target) override;
  void* AllocatePages(size_t bytes, uint32_t* error) override;
  void FreePages(void* pages, size_t bytes) override;

 private:
  class FakeTarget;
  using Block = std::array<uint8_t, 512>;

  struct Medium {
    int64_t bytes = 0;
    bool volume = false;
    bool buffered = false;
    uint32_t open_error = 0;
    uint32_t size_error = 0;
    int64_t bad_spot = -1;  // reads covering this byte fail
    uint32_t bad_spot_error = 0;
    std::map<int64_t, Block> blocks;  // by block number; absent ones are 0
  };

  struct PendingFault {
    Fault fault;
    uint32_t value;
    int64_t at;  // transfer number
  };

  struct PendingHook {
    When when;
    std::function<void()> hook;
    int64_t at;  // transfer number
  };

  uint32_t Move(const std::string& path, bool write, int64_t offset,
                char* buffer, uint32_t length, uint32_t* moved);
  uint32_t MoveLocked(int64_t number, const std::string& path, bool write,
                      int64_t offset, char* buffer, uint32_t length,
                      uint32_t* moved);
  std::function<void()> TakeHook(When when, int64_t number);
  void CopyOut(const Medium& m, int64_t offset, char* p, size_t n) const;
  static void CopyIn(Medium& m, int64_t offset, const char* p, size_t n);

  mutable std::mutex mu_;
  std::map<std::string, Medium> media_;
  std::vector<Transfer> transfers_;
  std::vector<PendingFault> faults_;
  std::vector<PendingHook> hooks_;
  int open_targets_ = 0;
  int live_allocations_ = 0;
  int64_t allocation_count_ = 0;
  int64_t fail_allocation_at_ = -1;
  uint32_t allocation_error_ = 0;
};

}  // namespace vorbex::platform

#endif  // VORBEX_PLATFORM_FAKE_ENV_H_
