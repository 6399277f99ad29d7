// The native Env on Windows.

#define NOMINMAX
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
// The lean build of <windows.h> leaves out the disk queries.
#include <winioctl.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "platform/env.h"
#include "platform/error_codes.h"
#include "platform/volume_size.h"

namespace vorbex::platform {
namespace {

// The volume's length is read straight out of the structures the driver
// fills in; these pin the layout that the size checks below rely on.
static_assert(sizeof(PARTITION_INFORMATION_EX) == kPartitionAnswerExBytes);
static_assert(offsetof(PARTITION_INFORMATION_EX, PartitionLength) == 16);
static_assert(sizeof(PARTITION_INFORMATION) == kPartitionAnswerBytes);
static_assert(offsetof(PARTITION_INFORMATION, PartitionLength) == 8);

// A call that failed must never pass for success: the caller treats 0 as
// "it worked" and would go on with a null buffer or a stale size.
uint32_t LastError(uint32_t fallback) {
  const DWORD error = ::GetLastError();
  return error != ERROR_SUCCESS ? static_cast<uint32_t>(error) : fallback;
}

// Wine maps an unbuffered handle onto a cached host file, so there every
// transfer is a copy through the host's cache.
bool UnbufferedIsCached() {
  const HMODULE ntdll = ::GetModuleHandleA("ntdll.dll");
  return ntdll != nullptr &&
         ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// Opens path shared for reading and writing. Only the wide call takes a
// "\\?\" path beyond MAX_PATH characters, so such a path goes through it,
// made wide as the system's ANSI call would make it; every other path goes
// through the ANSI call, whose answer to one too long is the system's own
// (Error 206).
HANDLE OpenShared(const std::string& path, DWORD access, DWORD flags) {
  constexpr DWORD kShare = FILE_SHARE_READ | FILE_SHARE_WRITE;
  if (path.rfind("\\\\?\\", 0) != 0) {
    return ::CreateFileA(path.c_str(), access, kShare, nullptr, OPEN_EXISTING,
                         flags, nullptr);
  }
  const int size = static_cast<int>(path.size());
  const int wide =
      ::MultiByteToWideChar(CP_ACP, 0, path.data(), size, nullptr, 0);
  std::wstring name(static_cast<size_t>(wide), L'\0');
  ::MultiByteToWideChar(CP_ACP, 0, path.data(), size, name.data(), wide);
  return ::CreateFileW(name.c_str(), access, kShare, nullptr, OPEN_EXISTING,
                       flags, nullptr);
}

// The event this thread waits on for its overlapped calls, made once per
// thread and closed when the thread ends. Each call needs an event that no
// other call signals: the check reads ahead on one thread while it rereads
// through the same target on another. Null when none could be made.
HANDLE ThreadEvent() {
  struct Owned {
    HANDLE event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ~Owned() {
      if (event != nullptr) ::CloseHandle(event);
    }
  };
  thread_local const Owned owned;
  return owned.event;
}

// A device call. On a handle opened for overlapped transfers the call must
// carry an OVERLAPPED, and is waited for.
BOOL Control(HANDLE handle, bool overlapped, DWORD code, void* in,
             DWORD in_bytes, void* out, DWORD out_bytes, DWORD* returned) {
  if (!overlapped) {
    return ::DeviceIoControl(handle, code, in, in_bytes, out, out_bytes,
                             returned, nullptr);
  }
  OVERLAPPED at{};
  at.hEvent = ThreadEvent();
  if (at.hEvent == nullptr) return FALSE;
  if (!::DeviceIoControl(handle, code, in, in_bytes, out, out_bytes, nullptr,
                         &at) &&
      ::GetLastError() != ERROR_IO_PENDING) {
    return FALSE;
  }
  return ::GetOverlappedResult(handle, &at, returned, TRUE);
}

// The lock on a volume that this process writes to. Windows refuses writes
// to the sectors of a mounted volume unless it is locked or dismounted, and
// lets a locked volume be used only through the handle that locked it: so
// every target on the volume uses a copy of that one handle, opened for
// overlapped transfers so that the copies' transfers are not run one after
// the other. Closing the handle gives the lock up, as does the end of the
// process, however it ends.
//
// The same handle holds the bytes this process tests against other testers
// on a device that takes no volume lock (a whole disk), so that disjoint
// windows of it can run side by side. The system's byte-range locks forbid
// transfers through every other handle, so the range is locked not on the
// bytes themselves but on their image far past any device's end
// (kHoldBase + offset), where nobody transfers anything. A locked volume
// needs no more: no other process can open it at all.
//
// Safe for concurrent use by multiple threads.
class VolumeLock {
 public:
  VolumeLock(HANDLE handle, bool locked) : handle_(handle), locked_(locked) {}
  // Closing the handle that took the lock releases it, and the range.
  ~VolumeLock() { ::CloseHandle(handle_); }
  VolumeLock(const VolumeLock&) = delete;
  VolumeLock& operator=(const VolumeLock&) = delete;

  HANDLE handle() const { return handle_; }

  // Length 0 runs to the end of the image. A driver that takes no
  // byte-range locks leaves the run unheld, as it would be without this.
  uint32_t HoldRange(int64_t offset, int64_t length) {
    std::lock_guard<std::mutex> hold(mu_);
    if (locked_ || held_) return kErrorSuccess;
    const uint64_t start = kHoldBase + static_cast<uint64_t>(offset);
    const uint64_t span =
        length > 0 ? static_cast<uint64_t>(length) : kHoldBase - offset;
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(start & 0xFFFFFFFFu);
    at.OffsetHigh = static_cast<DWORD>(start >> 32);
    at.hEvent = ThreadEvent();
    if (at.hEvent == nullptr) return LastError(kErrorNotEnoughMemory);
    BOOL ok = ::LockFileEx(handle_,
                           LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY,
                           0, static_cast<DWORD>(span & 0xFFFFFFFFu),
                           static_cast<DWORD>(span >> 32), &at);
    if (!ok && ::GetLastError() == ERROR_IO_PENDING) {
      DWORD unused = 0;
      ok = ::GetOverlappedResult(handle_, &at, &unused, TRUE);
    }
    if (ok) {
      held_ = true;
      return kErrorSuccess;
    }
    return ::GetLastError() == ERROR_LOCK_VIOLATION ? kErrorBusy
                                                    : kErrorSuccess;
  }

 private:
  static constexpr uint64_t kHoldBase = uint64_t{1} << 62;

  const HANDLE handle_;
  const bool locked_;  // FSCTL_LOCK_VOLUME succeeded
  std::mutex mu_;
  bool held_ = false;  // guarded by mu_
};

class WindowsTarget final : public Target {
 public:
  WindowsTarget(HANDLE handle, bool volume,
                std::shared_ptr<VolumeLock> lock = nullptr)
      : handle_(handle),
        volume_(volume),
        buffered_(UnbufferedIsCached()),
        overlapped_(lock != nullptr),
        lock_(std::move(lock)) {}
  ~WindowsTarget() override { ::CloseHandle(handle_); }
  WindowsTarget(const WindowsTarget&) = delete;
  WindowsTarget& operator=(const WindowsTarget&) = delete;

  bool Buffered() const override { return buffered_; }

  uint32_t Flush() override {
    return ::FlushFileBuffers(handle_) ? kErrorSuccess
                                       : LastError(kErrorIoDevice);
  }

  uint32_t QuerySize(int64_t* bytes) override {
    if (!volume_) {
      // GetFileSize would hand back only the low 32 bits unless the high
      // half is asked for separately; this returns all 64 at once.
      LARGE_INTEGER size{};
      if (!::GetFileSizeEx(handle_, &size)) return LastError(kErrorIoDevice);
      *bytes = size.QuadPart;
      return kErrorSuccess;
    }
    return VolumeSize(
        Ask<PARTITION_INFORMATION_EX>(IOCTL_DISK_GET_PARTITION_INFO_EX),
        [this] {
          return Ask<PARTITION_INFORMATION>(IOCTL_DISK_GET_PARTITION_INFO);
        },
        bytes);
  }

  // A volume that will not say is taken to be of 512-byte sectors; its
  // first transfer tells otherwise.
  uint32_t LogicalSectorSize(uint32_t* bytes) override {
    *bytes = 512;
    if (!volume_) return kErrorSuccess;
    STORAGE_PROPERTY_QUERY query{};
    query.PropertyId = StorageAccessAlignmentProperty;
    query.QueryType = PropertyStandardQuery;
    STORAGE_ACCESS_ALIGNMENT_DESCRIPTOR alignment{};
    DWORD returned = 0;
    if (Control(handle_, overlapped_, IOCTL_STORAGE_QUERY_PROPERTY, &query,
                sizeof(query), &alignment, sizeof(alignment), &returned) &&
        returned >= offsetof(STORAGE_ACCESS_ALIGNMENT_DESCRIPTOR,
                             BytesPerPhysicalSector) &&
        alignment.BytesPerLogicalSector != 0) {
      *bytes = alignment.BytesPerLogicalSector;
    }
    return kErrorSuccess;
  }

  uint32_t HoldRange(int64_t offset, int64_t length) override {
    return lock_ != nullptr ? lock_->HoldRange(offset, length) : kErrorSuccess;
  }

  uint32_t ReadAt(int64_t offset, void* buffer, uint32_t length,
                  uint32_t* moved) override {
    OVERLAPPED at = At(offset);
    DWORD done = 0;
    BOOL ok = FALSE;
    if (!overlapped_) {
      ok = ::ReadFile(handle_, buffer, length, &done, &at);
    } else {
      // Without an event of its own the call could not be waited for, and
      // would still be running on this frame's OVERLAPPED after returning.
      at.hEvent = ThreadEvent();
      if (at.hEvent == nullptr) return LastError(kErrorNotEnoughMemory);
      ok =
          Finish(::ReadFile(handle_, buffer, length, nullptr, &at), &at, &done);
    }
    *moved = done;
    if (ok) return kErrorSuccess;
    const uint32_t error = LastError(kErrorIoDevice);
    // A positioned read that starts at or past the end fails with this
    // instead of returning 0 bytes; callers expect a short count there, as
    // at the end of a file on every other system.
    return error == ERROR_HANDLE_EOF ? kErrorSuccess : error;
  }

  uint32_t WriteAt(int64_t offset, const void* buffer, uint32_t length,
                   uint32_t* moved) override {
    OVERLAPPED at = At(offset);
    DWORD done = 0;
    BOOL ok = FALSE;
    if (!overlapped_) {
      ok = ::WriteFile(handle_, buffer, length, &done, &at);
    } else {
      at.hEvent = ThreadEvent();
      if (at.hEvent == nullptr) return LastError(kErrorNotEnoughMemory);
      ok = Finish(::WriteFile(handle_, buffer, length, nullptr, &at), &at,
                  &done);
    }
    *moved = done;
    return ok ? kErrorSuccess : LastError(kErrorIoDevice);
  }

 private:
  // One partition query's answer, as it came.
  template <typename Info>
  PartitionAnswer Ask(DWORD code) const {
    Info info{};
    DWORD returned = 0;
    PartitionAnswer answer;
    answer.answered = Control(handle_, overlapped_, code, nullptr, 0, &info,
                              sizeof(info), &returned);
    if (!answer.answered) answer.error = LastError(kErrorIoDevice);
    answer.returned = returned;
    answer.length = info.PartitionLength.QuadPart;
    return answer;
  }

  // Waits for an overlapped transfer that started (or finished at once)
  // and collects its count; the last error says why when it failed.
  BOOL Finish(BOOL started, OVERLAPPED* at, DWORD* done) {
    if (!started && ::GetLastError() != ERROR_IO_PENDING) return FALSE;
    return ::GetOverlappedResult(handle_, at, done, TRUE);
  }

  // A file's handle is not opened for overlapped I/O, so an OVERLAPPED here
  // only carries the position: the call still completes before it returns,
  // and no shared file pointer is involved. Two threads may call at once
  // (the check reads ahead on one while rereading on another); the system
  // then runs the calls one after the other. A volume's is, and each call
  // is waited for (Finish).
  static OVERLAPPED At(int64_t offset) {
    OVERLAPPED at{};
    const uint64_t position = static_cast<uint64_t>(offset);
    at.Offset = static_cast<DWORD>(position & 0xFFFFFFFFu);
    at.OffsetHigh = static_cast<DWORD>(position >> 32);
    return at;
  }

  const HANDLE handle_;
  const bool volume_;
  const bool buffered_;
  const bool overlapped_;  // a copy of a volume's locked handle
  // Held while this target lives; null but for a volume opened to write.
  const std::shared_ptr<VolumeLock> lock_;
};

class WindowsEnv final : public Env {
 public:
  bool NamesDevice(const std::string& /*path*/) override { return false; }

  // The path goes to the system exactly as given. One longer than MAX_PATH-1
  // opens only where the system has long paths enabled, or when the user
  // writes it with the "\\?\" prefix; otherwise the system's own error comes
  // back. Adding the prefix here would turn off the system's normalisation
  // of "." and ".." and of "/", and so could open a different file.
  uint32_t OpenTarget(const std::string& path, bool volume,
                      std::unique_ptr<Target>* target) override {
    if (volume) return OpenLockedVolume(path, target);
    return Open(path, volume, GENERIC_READ | GENERIC_WRITE, target);
  }

  // The system lets a reader open a mounted volume beside its file system,
  // so the read-only open needs nothing more than read access.
  uint32_t OpenTargetReadOnly(const std::string& path, bool volume,
                              std::unique_ptr<Target>* target) override {
    return Open(path, volume, GENERIC_READ, target);
  }

  // Whole pages straight from the system are aligned for unbuffered
  // transfers and arrive zeroed.
  void* AllocatePages(size_t bytes, uint32_t* error) override {
    void* pages = ::VirtualAlloc(nullptr, bytes, MEM_COMMIT | MEM_RESERVE,
                                 PAGE_READWRITE);
    if (pages == nullptr) *error = LastError(kErrorNotEnoughMemory);
    return pages;
  }

  void FreePages(void* pages, size_t /*bytes*/) override {
    if (pages != nullptr) ::VirtualFree(pages, 0, MEM_RELEASE);
  }

 private:
  // The lock is taken at the first open of the volume, before anything is
  // written; it cannot be had while files are open on the volume, and that
  // refusal is kErrorBusy, as Linux refuses a mounted device.
  uint32_t OpenLockedVolume(const std::string& path,
                            std::unique_ptr<Target>* target) {
    std::shared_ptr<VolumeLock> lock;
    {
      std::lock_guard<std::mutex> hold(mu_);
      std::weak_ptr<VolumeLock>& held = locks_[path];
      lock = held.lock();
      if (lock == nullptr) {
        const uint32_t rc = Lock(path, &lock);
        if (rc != kErrorSuccess) return rc;
        held = lock;
      }
    }
    HANDLE copy = nullptr;
    const HANDLE self = ::GetCurrentProcess();
    if (!::DuplicateHandle(self, lock->handle(), self, &copy, 0, FALSE,
                           DUPLICATE_SAME_ACCESS)) {
      return LastError(kErrorInvalidHandle);
    }
    try {
      *target = std::make_unique<WindowsTarget>(copy, true, std::move(lock));
    } catch (...) {
      ::CloseHandle(copy);
      throw;
    }
    return kErrorSuccess;
  }

  static uint32_t Lock(const std::string& path,
                       std::shared_ptr<VolumeLock>* lock) {
    const HANDLE handle =
        OpenShared(path, GENERIC_READ | GENERIC_WRITE,
                   FILE_FLAG_NO_BUFFERING | FILE_FLAG_OVERLAPPED);
    if (handle == INVALID_HANDLE_VALUE) return LastError(kErrorIoDevice);
    DWORD returned = 0;
    const BOOL locked = Control(handle, true, FSCTL_LOCK_VOLUME, nullptr, 0,
                                nullptr, 0, &returned);
    const DWORD error = locked ? ERROR_SUCCESS : ::GetLastError();
    if (locked) {
      // A file system left mounted under the lock keeps its cached metadata
      // and may write it back over stamped blocks once the lock is given
      // up; dismounted, it reads the volume afresh when next used.
      Control(handle, true, FSCTL_DISMOUNT_VOLUME, nullptr, 0, nullptr, 0,
              &returned);
    }
    // Refused because something has the volume open: files on its file
    // system, or another program. A device that knows no locks (a whole
    // disk, say) is written as before, without one.
    if (error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION ||
        error == ERROR_LOCK_VIOLATION) {
      ::CloseHandle(handle);
      return kErrorBusy;
    }
    try {
      *lock = std::make_shared<VolumeLock>(handle, locked != FALSE);
    } catch (...) {
      ::CloseHandle(handle);  // and with it the lock
      throw;
    }
    return kErrorSuccess;
  }

  std::mutex mu_;
  // The locks of the volumes open to write, by path; each goes when the
  // last target on its volume closes. Guarded by mu_.
  std::map<std::string, std::weak_ptr<VolumeLock>> locks_;

  static uint32_t Open(const std::string& path, bool volume, DWORD access,
                       std::unique_ptr<Target>* target) {
    const HANDLE handle = OpenShared(
        path, access, FILE_FLAG_NO_BUFFERING | FILE_ATTRIBUTE_NORMAL);
    if (handle == INVALID_HANDLE_VALUE) return LastError(kErrorIoDevice);
    try {
      *target = std::make_unique<WindowsTarget>(handle, volume);
    } catch (...) {
      // Out of memory must not also leak an open handle on the target.
      ::CloseHandle(handle);
      throw;
    }
    return kErrorSuccess;
  }
};

}  // namespace

// The C runtime here treats line buffering as full buffering, so the only
// way to lose no finished line is no buffering; each formatted print still
// reaches the console in one piece.
void FlushStdoutByLine() { std::setvbuf(stdout, nullptr, _IONBF, 0); }

// The runtime keeps the system's reason in the thread's last error.
uint32_t ThreadStartError(const std::error_code& /*code*/) {
  return LastError(ERROR_NOT_ENOUGH_MEMORY);
}

Env* NativeEnv() {
  static WindowsEnv env;
  return &env;
}

// --- Interrupts. The system runs the handler on a thread of its own; it
// records which request came and wakes the main thread through an event.

namespace {

std::atomic<int> g_interrupt_code{0};  // the exit code asked for, or 0
HANDLE g_interrupt_event = nullptr;    // set before the handler is added

BOOL WINAPI OnConsoleControl(DWORD type) {
  // Ctrl-C and Ctrl-Break are an operator's interrupt; closing the console,
  // logging off or shutting down is a request to terminate.
  const bool interrupt = type == CTRL_C_EVENT || type == CTRL_BREAK_EVENT;
  int none = 0;
  g_interrupt_code.compare_exchange_strong(none, interrupt ? 130 : 143);
  ::SetEvent(g_interrupt_event);
  if (!interrupt) {
    // The system ends the process as soon as this returns; the main thread
    // ends it first, once the summary is out (the system allows a few
    // seconds).
    ::Sleep(10000);
  }
  return TRUE;
}

}  // namespace

void CatchInterrupts() {
  g_interrupt_event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (g_interrupt_event == nullptr) return;
  // A process started in a new process group, or by one that ignores
  // Ctrl-C, inherits that and would never see the operator's Ctrl-C; Linux
  // catches SIGINT whatever the parent did, and so does this.
  ::SetConsoleCtrlHandler(nullptr, FALSE);
  ::SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

int WaitForInterrupt(int64_t milliseconds) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = SteadyDeadlineAfter(milliseconds);
  for (;;) {
    const int code = g_interrupt_code.load();
    if (code != 0) return code;
    DWORD wait_ms = 86'400'000;  // a day at most per wait
    if (milliseconds >= 0) {
      const auto left =
          std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
      if (left.count() <= 0) return 0;
      wait_ms =
          static_cast<DWORD>(std::min<int64_t>(left.count(), int64_t{wait_ms}));
    }
    if (g_interrupt_event == nullptr) {
      ::Sleep(std::min<DWORD>(wait_ms, 100));
    } else {
      ::WaitForSingleObject(g_interrupt_event, wait_ms);
    }
  }
}

std::string HostName() {
  char name[MAX_COMPUTERNAME_LENGTH + 256] = {};
  DWORD size = sizeof name;
  if (::GetComputerNameExA(ComputerNameDnsHostname, name, &size) == 0) {
    return "";
  }
  return std::string(name, size);
}

// A console answers GetConsoleMode; a pipe or a file does not.
bool StderrIsTerminal() {
  DWORD mode = 0;
  return ::GetConsoleMode(::GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

int StderrColumns() {
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (::GetConsoleScreenBufferInfo(::GetStdHandle(STD_ERROR_HANDLE), &info) ==
      0) {
    return 0;
  }
  return info.srWindow.Right - info.srWindow.Left + 1;
}

// Placeholders until the journal's platform services land.
uint32_t CreateAppendFile(const std::string& /*path*/,
                          std::unique_ptr<AppendFile>* /*file*/) {
  return kErrorNotSupported;
}
uint32_t RunShellCommand(const std::string& /*command*/, int* exit_code) {
  *exit_code = 0;
  return kErrorNotSupported;
}
uint32_t Env::Place(const std::string& /*path*/,
                    const std::string& /*target_path*/, bool /*volume*/,
                    Placement* placement) {
  *placement = Placement::kElsewhere;
  return kErrorNotSupported;
}

}  // namespace vorbex::platform
