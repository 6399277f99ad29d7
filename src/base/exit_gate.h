#ifndef VORBEX_BASE_EXIT_GATE_H_
#define VORBEX_BASE_EXIT_GATE_H_

#include <atomic>
#include <chrono>

namespace vorbex {

// Lets the process end only between writes. A write to the target that the
// exit cuts short can leave a block half old and half new wherever the
// system copies it piece by piece (a page cache, a file in memory), and the
// next check would report the run's own write as a fault. So every write
// passes the gate, and the thread that ends the process closes it and waits
// for the writes in flight before it exits; a write that would start after
// that never starts.
//
// Safe for concurrent use by multiple threads; lock-free, and nothing is
// allocated on the way through.
class ExitGate {
 public:
  constexpr ExitGate() = default;
  ExitGate(const ExitGate&) = delete;
  ExitGate& operator=(const ExitGate&) = delete;

  // Around every transfer that changes the target. EnterWrite returns when
  // the transfer may start; while the gate is closed it parks the calling
  // thread instead, which in the product is for good, as the process is
  // about to end. A thread must never end the process between the two.
  void EnterWrite();
  void LeaveWrite();

  // Parks the calling thread while the gate is closed: for loops that would
  // otherwise start another transfer while the process ends.
  void WaitWhileClosed() const;

  // Closes the gate. Returns true for the one call that closed it.
  bool Close();

  // Waits until no write is in flight or until limit has passed, on the
  // steady clock, so that a hung device cannot hold the process. Returns
  // whether every write finished. The caller must be outside the gate.
  bool Drain(std::chrono::milliseconds limit) const;

 protected:
  // Protected so that a gate of a test's own can open again and let the
  // threads it parked go; the process's gate never opens again.
  //
  // Atomic, touched by every thread without a lock. A writer raises
  // in_flight_ before it looks at closed_, and the closer sets closed_
  // before it looks at in_flight_; all four accesses are sequentially
  // consistent, so at least one side sees the other: either the writer
  // backs out, or the closer waits for it.
  std::atomic<int> in_flight_{0};  // writes between Enter and Leave
  std::atomic<bool> closed_{false};
};

// The gate of this process: the write path passes it, and EndProcess
// closes it.
ExitGate& ProcessExitGate();

// Makes gate the one ProcessExitGate returns, or the process's own again for
// nullptr. REQUIRES: no other thread uses ProcessExitGate meanwhile.
void SetProcessExitGate(ExitGate* gate);

// Passes a write through a gate for as long as it lives.
class GatedWrite {
 public:
  explicit GatedWrite(ExitGate& gate) : gate_(gate) { gate_.EnterWrite(); }
  ~GatedWrite() { gate_.LeaveWrite(); }
  GatedWrite(const GatedWrite&) = delete;
  GatedWrite& operator=(const GatedWrite&) = delete;

 private:
  ExitGate& gate_;
};

}  // namespace vorbex

#endif  // VORBEX_BASE_EXIT_GATE_H_
