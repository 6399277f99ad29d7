#ifndef VORBEX_BASE_PROCESS_END_H_
#define VORBEX_BASE_PROCESS_END_H_

namespace vorbex {

// Ends the process with code from any thread: no write starts any more,
// those in flight are waited for (a few seconds at most), the streams are
// flushed, then the process ends at once, without static destructors, so
// threads that are still working never run on torn-down state. When several
// threads end the process at once, the first one ends it, with the first
// non-zero code that any of them asked for. REQUIRES: the caller is not in
// the middle of a write.
[[noreturn]] void EndProcess(int code);

// Makes EndProcess call report with the exit code, once, on the thread that
// ends the process, after the writes in flight have finished and standard
// output has been flushed: for the run's summary on standard error.
// REQUIRES: main thread, before any other thread starts.
void SetEndReport(void (*report)(int code));

// What EndProcess does before it flushes: for a process that ends by
// returning from main. Does not return when another thread has begun to
// end the process. REQUIRES: every thread that may be joined later has been
// joined; a thread that tries to write from now on never finishes.
void StopWrites();

}  // namespace vorbex

#endif  // VORBEX_BASE_PROCESS_END_H_
