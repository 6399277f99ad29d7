#ifndef VORBEX_WORKLOADS_WORKLOAD_THREAD_H_
#define VORBEX_WORKLOADS_WORKLOAD_THREAD_H_

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "base/random.h"
#include "disk/disk_handle.h"

namespace vorbex {

// One running test: a thread of its own that runs one catalogue test against
// the target through a TestDisk of its own. Created on the main thread,
// which alone may Stop it.
class TestThread {
 public:
  // A record with every field clear and no thread: what the workloads need
  // is filled in by Start, or by hand where a test drives a workload on the
  // calling thread.
  TestThread() = default;

  // Opens the test's own disk on path, sized by the test's row (one block
  // for a code the catalogue lacks), and starts the thread at once. Throws
  // Error, leaving nothing open and no thread. path is borrowed: it must
  // outlive this object.
  TestThread(int32_t code, const std::string& path);

  // Stops the thread first when it may still run.
  ~TestThread();
  TestThread(const TestThread&) = delete;
  TestThread& operator=(const TestThread&) = delete;

  // Asks the thread to end after its current operation, waits until it has,
  // then closes its disk. Returns false when the wait failed: the thread may
  // still run, so the disk stays open and this record must not be freed.
  // Main thread only.
  bool Stop();

  // The thread body: the start line, the workload, and what ended it. Ends
  // the process on a failure under errstop, and after the End line when
  // format is set.
  void Run();

  // --- The workloads. Each loops until StopRequested is set (FormatWrite
  // also ends with its one pass) and lets every Error of the disk through.
  // argument is a fixed length in blocks, or 0 to draw each length.
  void SeqRead(int32_t argument);
  void SeqWrite(int32_t argument);
  void RandRead(int32_t argument);
  void RandWrite(int32_t argument);
  void CacheRead(int32_t argument);
  void SeqUpdate(int32_t argument);
  void RandUpdate(int32_t argument);
  void SeqPartial(int32_t argument);
  void RandPartial(int32_t argument);
  void SeqVerify(int32_t argument);
  void RandVerify(int32_t argument);
  void SeqRewrite(int32_t argument);
  void RandRewrite(int32_t argument);
  void FormatWrite(int32_t argument);

  // A first block that is a multiple of unit and leaves at least unit
  // blocks before the target's end (0 on a target smaller than unit): a
  // coarse step of size / 10000 blocks plus a fine offset of up to 9999.
  int32_t RandomPosition(int32_t unit);
  // Where a sequential walk jumps to: a multiple of 2048 at or below a
  // whole-percent step of the target and at most size - 2048 (0 on a target
  // of fewer than 2048 blocks).
  int32_t RestartPosition();

  int32_t TestCode = 0;
  const char* Name = nullptr;  // the row's; set by Run, never owned
  const std::string* Path = nullptr;  // borrowed from the creator
  std::unique_ptr<TestDisk> Disk;  // open from Start until Stop
  // The largest transfer the Disk buffer holds; set by Run before the
  // workload starts and read only by the test thread.
  int32_t BufferBlocks = 0;
  // The one value another thread writes while the test thread runs.
  std::atomic<int32_t> StopRequested{0};
  // Set by the thread as its last act, when it ends without ending the
  // process.
  std::atomic<bool> Finished{false};
  std::thread ThreadHandle;
  // The test thread's own generator; every test starts from the same state.
  Random Rng;

 private:
  // What one workload does at a position, given the length it chose (not
  // yet cut at the target's end); returns how far a sequential walk moves
  // on.
  using Operation = int32_t (TestThread::*)(int32_t pos, int32_t length,
                                            int32_t size, int32_t guard);

  bool Stopping() const;
  int32_t DrawLength(int32_t argument, int32_t most);
  void Walk(int32_t argument, int32_t most, Operation operation);
  void Scatter(int32_t argument, int32_t most, Operation operation);

  int32_t ReadAt(int32_t pos, int32_t length, int32_t size, int32_t guard);
  int32_t WriteAt(int32_t pos, int32_t length, int32_t size, int32_t guard);
  int32_t UpdateAt(int32_t pos, int32_t length, int32_t size, int32_t guard);
  int32_t PartialAt(int32_t pos, int32_t length, int32_t size, int32_t guard);
  int32_t VerifyAt(int32_t pos, int32_t length, int32_t size, int32_t guard);
  int32_t RewriteAt(int32_t pos, int32_t length, int32_t size, int32_t guard);
};

}  // namespace vorbex

#endif  // VORBEX_WORKLOADS_WORKLOAD_THREAD_H_
