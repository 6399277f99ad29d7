#ifndef VORBEX_PLATFORM_ENV_H_
#define VORBEX_PLATFORM_ENV_H_

#include <cstddef>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <system_error>

#include "platform/error_codes.h"

namespace vorbex::platform {

// One open target. Each TestDisk owns its own Target, so a Target is used by
// one thread at a time and needs no lock. Every operation returns
// kErrorSuccess or the Windows error code of what went wrong; deciding
// whether a short transfer is a fault is left to the caller.
class Target {
 public:
  virtual ~Target() = default;

  // The target's length in bytes: the file's length, or the volume's as the
  // system's device query reports it.
  virtual uint32_t QuerySize(int64_t* bytes) = 0;

  // Moves length bytes between buffer and the target at offset. *moved gets
  // the count actually moved, which may be less than length without an error.
  // offset and length are multiples of 512; buffer is page-aligned.
  virtual uint32_t ReadAt(int64_t offset, void* buffer, uint32_t length,
                          uint32_t* moved) = 0;
  virtual uint32_t WriteAt(int64_t offset, const void* buffer, uint32_t length,
                           uint32_t* moved) = 0;

  // True when a read may be answered from memory rather than from the
  // medium: the system refused to bypass its cache for this target, or
  // bypassing it still copies through memory (a RAM-backed file system or
  // disk, a cached file underneath an emulation layer). Such copies are not
  // one piece per block, so a read that overlaps a write of the same block
  // may see part of each.
  virtual bool Buffered() const { return false; }

  // The smallest transfer the device accepts, in bytes: the kernel's
  // logical sector size for a device, 512 for anything that does not say.
  virtual uint32_t LogicalSectorSize(uint32_t* bytes) {
    *bytes = 512;
    return kErrorSuccess;
  }

  // Holds bytes offset ... offset + length - 1 of a device for this process
  // until its last target on the device closes (length 0: up to the
  // device's end), so that another process holding an overlapping range is
  // refused, and so is this one when such a range is held already: both
  // get kErrorBusy. Disjoint ranges of one device may be held at once. The
  // system drops the hold when the process ends, however it ends. A target
  // that is not a device holds nothing. REQUIRES: the same range for every
  // target of the process on one device.
  virtual uint32_t HoldRange(int64_t /*offset*/, int64_t /*length*/) {
    return kErrorSuccess;
  }

  // Asks the system and the device to put on the medium every write to
  // this target whose transfer has returned, and returns when they say
  // they have (Linux: fdatasync, which sends a block device a cache flush;
  // Windows: FlushFileBuffers). Any handle of the target will do: the
  // device's cache is one for all of them. Safe to call from a thread of
  // its own while other handles transfer.
  virtual uint32_t Flush() = 0;
};

// A file that a run appends records to as it goes, and makes durable when
// asked. Used by one thread at a time.
class AppendFile {
 public:
  virtual ~AppendFile() = default;
  // Writes every byte at the end, retrying short writes; kErrorSuccess or
  // the error that stopped it. A pipe or socket whose reader has gone fails
  // with kErrorNoData; it never ends the process.
  virtual uint32_t Append(const void* bytes, size_t length) = 0;
  // Puts everything appended so far on the file's medium (fdatasync,
  // FlushFileBuffers). For a pipe, FIFO, socket or character device there
  // is nothing to keep, and it returns kErrorSuccess at once.
  virtual uint32_t Sync() = 0;
  // False for a pipe, FIFO, socket or character device: Sync keeps nothing.
  virtual bool Keeps() const = 0;
};

// Opens path to append to: an ordinary file is created, or emptied when it
// exists (on POSIX its folder is synced too, so that a file just made is
// still there after a power cut); a pipe, FIFO, socket or character device
// that exists is opened as it is, so that `--journal >(ssh host 'cat >j')`
// writes to another host. Opening a FIFO waits for its reader, as the
// shell's redirection does. On Linux a socket that the process holds opens
// as /dev/fd/N. kErrorSuccess or the system's error.
uint32_t CreateAppendFile(const std::string& path,
                          std::unique_ptr<AppendFile>* file);

// Where a file the run writes lies with respect to the target, so that a
// record meant to survive the target is not kept on it.
enum class Placement {
  kElsewhere,       // on other storage, or a pipe or socket to a reader
  kIsTarget,        // the target itself, or a device that holds its bytes
                    // (written raw, it would overwrite them)
  kOnTargetDevice,  // on a file system of the target's device, or of one of
                    // its partitions, or of the whole disk of a partition
                    // (Windows: on the target's volume, or on a volume of
                    // the target disk)
  kSameFileSystem,  // the target is a file, on the same file system
};

// Runs command through the system's shell (/bin/sh -c; cmd.exe /c on
// Windows) with the process's environment and standard streams, and waits
// for it to end. *exit_code gets its exit status (POSIX: 128 + the signal
// when a signal ended it). kErrorSuccess, or the system's error when it
// could not be started.
uint32_t RunShellCommand(const std::string& command, int* exit_code);

// A target that sees only bytes offset ... offset + length - 1 of whole, as
// if they were all of it: its byte 0 is whole's byte offset, its size is
// length, and a transfer that reaches past its end moves only what lies
// inside. Takes over whole.
std::unique_ptr<Target> WindowOf(std::unique_ptr<Target> whole, int64_t offset,
                                 int64_t length);

// The operating-system services that the engine needs. The product always
// uses the native Env; tests swap in another one to inject faults.
class Env {
 public:
  virtual ~Env() = default;

  // Whether path names a raw block device that the system sizes as a volume
  // although it lacks the "\\.\" prefix of a Windows device path (on Linux,
  // /dev/sdb and the like). Windows recognises its device paths by that
  // prefix alone, above this layer, so there the answer is always false.
  virtual bool NamesDevice(const std::string& path) = 0;

  // Opens an existing target for unbuffered shared reading and writing.
  // Never creates anything. On Linux a block device that is mounted or held
  // exclusively by the system is refused with kErrorBusy.
  virtual uint32_t OpenTarget(const std::string& path, bool volume,
                              std::unique_ptr<Target>* target) = 0;

  // Opens an existing target for unbuffered reading only, sharing it with
  // readers and writers alike: a mounted or busy device opens too, since
  // nothing is written through this handle. An Env that cannot promise
  // that refuses with kErrorNotSupported.
  virtual uint32_t OpenTargetReadOnly(const std::string& path, bool volume,
                                      std::unique_ptr<Target>* target);

  // Where path lies (it need not exist: then its folder counts, or where a
  // link to nothing points) with respect to the target at target_path,
  // which exists; volume: the target is a device or volume, not a file.
  // kErrorSuccess, or the system's error when either cannot be examined;
  // *placement is left as it was then.
  virtual uint32_t Place(const std::string& path,
                         const std::string& target_path, bool volume,
                         Placement* placement);

  // Page-aligned, zeroed memory for transfer buffers.
  virtual void* AllocatePages(size_t bytes, uint32_t* error) = 0;
  virtual void FreePages(void* pages, size_t bytes) = 0;
};

// Makes standard output give up every line as soon as it is complete, so a
// process that is killed loses nothing it finished printing.
// REQUIRES: called before anything is printed.
void FlushStdoutByLine();

// Makes an interrupt (SIGINT or SIGTERM; on Windows Ctrl-C, Ctrl-Break or
// closing the console) a request that WaitForInterrupt reports, instead of
// the end of the process. The handler only records which one came.
// REQUIRES: main thread, once, before WaitForInterrupt.
void CatchInterrupts();

// Whether standard error is a terminal that a person watches, rather than
// a pipe or a file that keeps what is written to it.
bool StderrIsTerminal();

// How many columns the terminal on standard error shows, or 0 when that is
// not known; a line rewritten in place must not wrap.
int StderrColumns();

// The name this machine goes by (its host name; on Windows its DNS host
// name), so that reports gathered from many machines say whose each is; ""
// when the system does not say.
std::string HostName();

// Waits until an interrupt has come or milliseconds have passed on the
// steady clock (for ever when milliseconds is negative; a wait past the
// clock's last instant, some 292 years after the clock began to count,
// ends there). Returns the exit code that a process ended by that interrupt
// conventionally gives (130 for SIGINT, 143 for SIGTERM), or 0 when the
// time passed first. An interrupt that came before the call is reported at
// once, to every thread that waits. REQUIRES: after CatchInterrupts.
int WaitForInterrupt(int64_t milliseconds);

// The steady clock's instant milliseconds from now, or its last instant
// when that lies beyond it: the clock counts nanoseconds in 64 bits, and a
// sum past them would wrap into the past. For the implementations of
// WaitForInterrupt.
std::chrono::steady_clock::time_point SteadyDeadlineAfter(int64_t milliseconds);

// The Windows error code that stands for a thread the system would not
// start, given what the standard library threw for it.
uint32_t ThreadStartError(const std::error_code& code);

// The Env in force. REQUIRES: changed only while no TestDisk is open.
Env* CurrentEnv();

// The native Env of this platform, chosen at build time.
Env* NativeEnv();

// Installs env (or the native one for nullptr). For tests.
void SetCurrentEnv(Env* env);

}  // namespace vorbex::platform

#endif  // VORBEX_PLATFORM_ENV_H_
