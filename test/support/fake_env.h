#ifndef VORBEX_TEST_SUPPORT_FAKE_ENV_H_
#define VORBEX_TEST_SUPPORT_FAKE_ENV_H_

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/env.h"
#include "support/write_cache.h"

namespace vorbex::platform {

// An Env whose targets live in memory, for tests: it records every transfer
// and can fail an open, a size query, an allocation or any one transfer, move
// fewer bytes than asked, or report success while moving nothing (a lost
// write, an undelivered read), or silently damage what it stores and what
// it serves, recording where. A target can also be given a volatile write
// cache and have its power cut. The product never uses it.
//
// Safe for concurrent use by multiple threads.
class FakeEnv final : public Env {
 public:
  FakeEnv() = default;
  // Stops the caches' destage threads.
  ~FakeEnv() override;
  FakeEnv(const FakeEnv&) = delete;
  FakeEnv& operator=(const FakeEnv&) = delete;

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
  // where blocks are written, so huge targets cost nothing. Replaces any
  // target at path, cache and power state included.
  void AddTarget(const std::string& path, int64_t bytes, bool volume = false);

  // Copies of and changes to a target's bytes, at any offset. They see and
  // change the medium alone, beneath any write cache, whether the power is
  // on or not: after a cut, ReadMedium is what survived.
  std::vector<uint8_t> ReadMedium(const std::string& path, int64_t offset,
                                  size_t length);
  void WriteMedium(const std::string& path, int64_t offset,
                   const std::vector<uint8_t>& bytes);

  // Makes path behave like a file on a file system without direct I/O.
  void RefuseDirectIo(const std::string& path);
  void FailOpen(const std::string& path, uint32_t code);
  // Makes path a volume that is in use, as one with files open on it is on
  // Windows (no lock) or a mounted device on Linux: opening it to write is
  // refused with kErrorBusy, opening it to read still works.
  void HoldVolume(const std::string& path);
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
  // Holds the transfer `skip` transfers from now for ms milliseconds before
  // it moves anything: a device that is slow to answer, or hangs a while.
  void HoldTransfer(int64_t ms, int skip = 0);

  // --- Silent damage, for the fault suite. A damaged transfer reports
  // success and every byte moved, as a device that lies would. The Env
  // knows bytes and blocks only, never what a block means.
  enum class Damage {
    kLost,         // a write lands nowhere
    kTorn,         // a write of two or more blocks lands up to a block edge
    kTornBlock,    // a write lands up to a byte inside one of its blocks
    kMisdirected,  // a write lands 1 ... 64 blocks before or after its place
    kXor,          // a write lands with a word or a bit of one block changed
    kStale,        // a read gets one block's previous version
  };
  struct DamagePlan {
    Damage damage = Damage::kLost;
    // kXor: mask is xored into the 32-bit word at byte lo; a mask of 0
    // flips one random bit of bytes lo ... hi - 1 instead.
    int lo = 0;
    int hi = 512;
    uint32_t mask = 0;
    // No block before this one is damaged, nor written to by a misdirected
    // write; a write that starts before it is left alone.
    int64_t first_block = 0;
  };
  // What the damage did to one block, told to the observer. A fault (one
  // damaged transfer or one change at rest) may damage several blocks.
  struct DamageEvent {
    enum Kind {
      kPlaced,       // the block now differs from `intended`
      kRead,         // a read delivered the damaged block
      kOverwritten,  // a whole-block write replaced the damaged block
      kSuperseded,   // a later fault damaged the block again
    };
    Kind kind = kPlaced;
    int64_t fault = 0;  // numbered from 1 in the order they happen
    Damage damage = Damage::kLost;
    bool at_rest = false;
    int64_t block = 0;
    int byte = -1;      // kXor and kTornBlock: the first byte that differs
    uint32_t mask = 0;  // kXor: what was xored into the word at `byte & ~3`
    const uint8_t* intended = nullptr;  // kPlaced: 512 bytes that belong
    const Target* reader = nullptr;     // kRead: whose handle read it
    int64_t read_first = 0;             // kRead: the read's first block
  };
  // Called for every event on the thread that caused it, with this Env's
  // lock held: it must not call back into this Env.
  void ObserveDamage(std::function<void(const DamageEvent&)> observer);
  // Seeds the draws that place damage (which block, byte, bit, distance).
  void SeedDamage(uint64_t seed);
  // Keeps each block's previous version from now on, for kStale. Costs a
  // copy of every block written.
  void KeepPreviousVersions(const std::string& path);
  // Damages the `skip`-th qualifying transfer of path from now: a write for
  // every kind but kStale, a read of a block that has a previous version
  // for kStale.
  void ArmDamage(const std::string& path, const DamagePlan& plan, int skip = 0);
  // Damages each qualifying transfer of path with probability rate, at most
  // limit times; rate 0 stops it.
  void DamageAtRate(const std::string& path, const DamagePlan& plan,
                    double rate, int limit);
  // Applies a kXor plan to a block where it lies; false when the block
  // holds nothing yet or lies before the plan's first_block.
  bool DamageAtRest(const std::string& path, int64_t block,
                    const DamagePlan& plan);
  // Forgets pending damage, armed or by rate, on every target.
  void DisarmDamage();

  // --- A drive with a volatile write cache, and power cuts, for the
  // power-cut tests. Damage plans, KeepPreviousVersions and DamageAtRest are
  // not supported on a target with a cache (a damage plan is not applied
  // there); InjectFault, FailReadsAt, OnTransfer, HoldTransfer and the
  // transfers log work as on any target. A flush is not a transfer: it is
  // neither logged nor counted by `skip`.
  struct CachePlan {
    uint64_t seed = 1;  // every draw of the cache: destage order, lies
    // One random cached sector goes to the medium every destage_us
    // microseconds, on a thread of this Env; 0: none, sectors reach the
    // medium only by a flush, or when the cache is disabled.
    int64_t destage_us = 0;
    // The chance that a flush keeps back each cached sector and still
    // returns success: 0 is an honest drive, 1 one whose flush does
    // nothing.
    double lie = 0;
  };
  // From now on, every write of path is taken into the cache (newest data
  // per 512-byte sector) and acknowledged; reads get cached sectors from the
  // cache, the rest from the medium; a flush (Target::Flush of any handle of
  // path) puts every cached sector on the medium, except those it keeps back
  // when it lies. On a path that has a cache already, changes its plan and
  // keeps what is cached.
  void EnableWriteCache(const std::string& path, const CachePlan& plan);
  // Puts every cached sector on the medium, and ends the cache: writes go
  // straight to the medium again.
  void DisableWriteCache(const std::string& path);

  // What a power cut took.
  struct CutReport {
    // Sectors of which a flush that returned success promised a version
    // that the medium lacks, holding an older one: writes lost after a
    // flush. Only a lying flush leaves any.
    std::vector<int64_t> durable_lost;
    // Sectors whose newest acknowledged version was still cached but that
    // no such flush had promised: allowed losses.
    std::vector<int64_t> allowed_lost;
    // The sectors of the write torn by CutDuringWrite that reached the
    // medium; its other sectors did not.
    std::vector<int64_t> torn_landed;
  };
  // Cuts the power of path: every cached sector is lost, the medium keeps
  // what it holds, and from now on every transfer and flush of path fails
  // with kErrorNotReady and moves nothing, until PowerOn. A transfer that
  // races with the cut either completed before it or fails. Block numbers
  // in the report are sorted. A cut of a path already off loses nothing.
  CutReport Cut(const std::string& path);
  // Cuts the power of path during the write of path `skip` writes from now
  // (0: the next; writes through read-only handles do not count):
  // a random subset of its whole sectors (drawn as by SeedDamage) lands on
  // the medium, not in the cache, which the cut is about to empty; then the
  // power goes as by Cut, and the write returns kErrorNotReady with nothing
  // moved. LastCut tells what it took. A cut that comes first disarms it.
  void CutDuringWrite(const std::string& path, int skip = 0);
  // The report of path's last cut; empty before any.
  CutReport LastCut(const std::string& path) const;
  bool PoweredOn(const std::string& path) const;
  // Powers path on again, with an empty cache and the plan it had.
  void PowerOn(const std::string& path);

  std::vector<Transfer> Transfers() const;
  int OpenTargetCount() const;
  int LiveAllocationCount() const;

  bool NamesDevice(const std::string& path) override;
  uint32_t OpenTarget(const std::string& path, bool volume,
                      std::unique_ptr<Target>* target) override;
  // A handle whose writes fail with kErrorAccessDenied and move nothing.
  uint32_t OpenTargetReadOnly(const std::string& path, bool volume,
                              std::unique_ptr<Target>* target) override;
  // In-memory targets share no storage with any file: kElsewhere.
  uint32_t Place(const std::string& path, const std::string& target_path,
                 bool volume, Placement* placement) override;
  void* AllocatePages(size_t bytes, uint32_t* error) override;
  void FreePages(void* pages, size_t bytes) override;

 private:
  class FakeTarget;
  uint32_t Open(const std::string& path, bool read_only,
                std::unique_ptr<Target>* target);
  using Block = WriteCache::Block;

  struct Medium {
    int64_t bytes = 0;
    bool volume = false;
    bool buffered = false;
    uint32_t open_error = 0;
    bool held = false;  // in use: no read-write open
    uint32_t size_error = 0;
    int64_t bad_spot = -1;  // reads covering this byte fail
    uint32_t bad_spot_error = 0;
    std::map<int64_t, Block> blocks;  // by block number; absent ones are 0
    bool keep_previous = false;
    std::map<int64_t, Block> previous;   // the version before the current one
    std::map<int64_t, int64_t> damaged;  // block -> fault, until overwritten
    std::unique_ptr<WriteCache> cache;   // none: writes go to the medium
    bool off = false;                    // cut, and not powered on since
    int cut_in = -1;  // writes until the one a cut tears; -1: none armed
    CutReport last_cut;
  };

  // The thread that destages one target's cache at its pace. path, pace and
  // stop are guarded by mu_; the thread is joined without holding it, by
  // whoever took the Destager out of destagers_.
  struct Destager {
    std::string path;
    std::chrono::microseconds pace{0};
    bool stop = false;
    std::thread thread;
  };

  struct ArmedDamage {
    std::string path;
    DamagePlan plan;
    int skip = 0;
    double rate = 0;  // 0: armed once, after skip qualifying transfers
    int limit = 0;
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

  uint32_t Flush(const std::string& path);
  uint32_t Move(const std::string& path, bool write, int64_t offset,
                char* buffer, uint32_t length, uint32_t* moved,
                const Target* target);
  uint32_t MoveLocked(int64_t number, const std::string& path, bool write,
                      int64_t offset, char* buffer, uint32_t length,
                      uint32_t* moved, const Target* target);
  std::function<void()> TakeHook(When when, int64_t number);
  void CopyOut(const Medium& m, int64_t offset, char* p, size_t n) const;
  static void CopyIn(Medium& m, int64_t offset, const char* p, size_t n);
  // Writes n bytes, keeping previous versions and ending the damage of
  // every block it covers whole.
  void Land(Medium& m, int64_t offset, const char* p, size_t n);
  // The plan that damages this transfer, if any; consumes it.
  bool TakeDamage(const std::string& path, const Medium& m, bool write,
                  int64_t offset, uint32_t length, DamagePlan* plan);
  void DamageWrite(Medium& m, const DamagePlan& plan, int64_t offset,
                   const char* buffer, uint32_t length);
  void MisdirectWrite(Medium& m, const DamagePlan& plan, int64_t fault,
                      int64_t offset, const char* buffer, uint32_t length);
  void DamageRead(Medium& m, const DamagePlan& plan, int64_t offset,
                  char* buffer, uint32_t length, const Target* reader);
  void XorBlock(const DamagePlan& plan, uint8_t* block, int* byte,
                uint32_t* mask);
  void TellReads(const Medium& m, int64_t offset, uint32_t length,
                 const Target* reader);
  // Records block b as damaged by fault, and tells the observer.
  void Place(Medium& m, int64_t fault, const DamagePlan& plan, bool at_rest,
             int64_t b, int byte, uint32_t mask, const uint8_t* intended);
  uint32_t Draw(uint32_t bound);  // 0 ... bound - 1
  // Lands a random subset of the write's whole sectors, then cuts.
  void TearAndCut(Medium& m, int64_t offset, const char* buffer,
                  uint32_t length);
  static CutReport CutLocked(Medium& m, std::vector<int64_t> torn_landed);
  void DestageLoop(Destager* d);
  // Takes path's destager out of destagers_, told to stop; the caller joins
  // it once it has let go of mu_. REQUIRES: mu_ held.
  std::unique_ptr<Destager> StopDestager(const std::string& path);
  // Wakes a destager that StopDestager took and waits for its end.
  // REQUIRES: mu_ not held.
  void Join(std::unique_ptr<Destager> d);

  // Guards every member below, and all that a Medium holds, its cache too.
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
  std::vector<ArmedDamage> damage_;
  std::function<void(const DamageEvent&)> observer_;
  std::mt19937_64 rng_{1};
  int64_t faults_placed_ = 0;
  std::vector<std::unique_ptr<Destager>> destagers_;
  std::condition_variable destage_wake_;  // a destager told to stop
};

}  // namespace vorbex::platform

#endif  // VORBEX_TEST_SUPPORT_FAKE_ENV_H_
