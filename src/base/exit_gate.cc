#include "base/exit_gate.h"

#include <cstdint>

#include "base/sleep.h"

namespace vorbex {
namespace {

// How often a parked thread looks whether its gate opened again, and how
// often Drain looks at the writes in flight. Short next to the wait, long
// enough to cost nothing.
constexpr uint64_t kPollMilliseconds = 1;

// Global because every write on every thread passes it, and any thread may
// end the process. Constant-initialized and trivially destroyed, so it is
// there before the first thread and after the last destructor.
constinit ExitGate g_process_gate;
// Written only by SetProcessExitGate, which runs while no other thread uses
// it; a plain pointer, as every write reads it.
constinit ExitGate* g_gate = &g_process_gate;

}  // namespace

void ExitGate::EnterWrite() {
  for (;;) {
    in_flight_.fetch_add(1, std::memory_order_seq_cst);
    if (!closed_.load(std::memory_order_seq_cst)) return;
    in_flight_.fetch_sub(1, std::memory_order_seq_cst);
    WaitWhileClosed();
  }
}

void ExitGate::LeaveWrite() {
  // Once the closer sees this, the transfer has returned; the exit needs
  // nothing else from the writer.
  in_flight_.fetch_sub(1, std::memory_order_seq_cst);
}

void ExitGate::WaitWhileClosed() const {
  // Acquire pairs with the release of a gate that opens again, which only
  // a test's own gate does.
  while (closed_.load(std::memory_order_acquire)) {
    SleepMilliseconds(kPollMilliseconds);
  }
}

bool ExitGate::Close() {
  return !closed_.exchange(true, std::memory_order_seq_cst);
}

bool ExitGate::Drain(std::chrono::milliseconds limit) const {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + limit;
  while (in_flight_.load(std::memory_order_seq_cst) != 0) {
    if (Clock::now() >= deadline) return false;
    SleepMilliseconds(kPollMilliseconds);
  }
  return true;
}

ExitGate& ProcessExitGate() { return *g_gate; }

void SetProcessExitGate(ExitGate* gate) {
  g_gate = gate != nullptr ? gate : &g_process_gate;
}

}  // namespace vorbex
