#include "workloads/workload_thread.h"

#include <cstdio>
#include <new>
#include <system_error>

#include "base/console.h"
#include "base/error.h"
#include "base/flags.h"
#include "base/process_end.h"
#include "base/run_outcome.h"
#include "platform/env.h"
#include "platform/error_codes.h"
#include "run/catalogue.h"

namespace vorbex {

TestThread::TestThread(int32_t code, const std::string& path)
    : TestCode(code), Path(&path) {
  const TestEntry& entry = FindTest(code);
  const int32_t buffer_blocks = entry.TestCode != 0 ? entry.BufferBlocks : 1;
  // A disk whose Open threw holds nothing, so dropping it is enough.
  auto disk = std::make_unique<TestDisk>();
  disk->Open(path, code, buffer_blocks);
  Disk = std::move(disk);
  uint32_t error = platform::kErrorNotEnoughMemory;
  try {
    ThreadHandle = std::thread([this] { Run(); });
    return;
  } catch (const std::system_error& e) {
    error = platform::ThreadStartError(e.code());
  } catch (const std::bad_alloc&) {
    // The thread's start-up record could not be had: out of memory.
  }
  Disk->Close();
  Disk.reset();
  throw Error(error);
}

TestThread::~TestThread() {
  if (ThreadHandle.joinable() || Disk != nullptr) Stop();
}

bool TestThread::Stop() {
  StopRequested.store(1);
  if (ThreadHandle.joinable()) {
    try {
      ThreadHandle.join();
    } catch (const std::system_error&) {
      // Whether the thread still runs is unknown, so neither its disk nor
      // this record may go: both are left to the end of the process.
      ThreadHandle.detach();
      return false;
    }
  }
  if (Disk != nullptr) {
    Disk->Close();
    Disk.reset();
  }
  return true;
}

void TestThread::Run() {
  const TestEntry& entry = FindTest(TestCode);
  if (entry.TestCode == 0) {
    PrintOutf("Invalid test code %d\n", TestCode);
    Finished.store(true);
    return;
  }
  Name = entry.Name;
  BufferBlocks = entry.BufferBlocks;
  PrintOutf("Test %s (%d): Start on %s", Name, TestCode, Now().c_str());
  bool failed = true;
  try {
    (this->*entry.Workload)(entry.Argument);
    failed = false;
  } catch (const Error& e) {
    PrintOutf("Test %s (%d): Error %d at %s", Name, TestCode,
              static_cast<int>(e.code()), Now().c_str());
    if (g_flags.errstop != 0) EndProcess(1);
  } catch (...) {
    PrintOutf("Test %s (%d): Abort at %s", Name, TestCode, Now().c_str());
    if (g_flags.errstop != 0) EndProcess(1);
  }
  PrintOutf("Test %s (%d): End at %s", Name, TestCode, Now().c_str());
  if (g_flags.format != 0) {
    NoteEndCause(failed ? EndCause::kFormatFailed : EndCause::kFormatDone);
    EndProcess(0);
  }
  Finished.store(true);
}

}  // namespace vorbex
