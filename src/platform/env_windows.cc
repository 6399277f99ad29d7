// The native Env on Windows.

#define NOMINMAX
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
// The lean build of <windows.h> leaves out the disk queries.
#include <winioctl.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

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

// Text from the command line made wide as the system's ANSI calls make it:
// main's arguments come in the process's ANSI code page.
std::wstring Wide(const std::string& text) {
  const int size = static_cast<int>(text.size());
  const int wide =
      ::MultiByteToWideChar(CP_ACP, 0, text.data(), size, nullptr, 0);
  std::wstring out(static_cast<size_t>(std::max(wide, 0)), L'\0');
  ::MultiByteToWideChar(CP_ACP, 0, text.data(), size, out.data(), wide);
  return out;
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
  return ::CreateFileW(Wide(path).c_str(), access, kShare, nullptr,
                       OPEN_EXISTING, flags, nullptr);
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

// --- Append files.

namespace {

// A path in the device namespace with nothing below it: a volume or a disk
// ("\\.\C:", "\\.\PhysicalDrive1", "\\?\Volume{...}"), written raw.
bool NamesRawDevice(const std::string& path) {
  if (path.rfind("\\\\.\\", 0) != 0 && path.rfind("\\\\?\\", 0) != 0) {
    return false;
  }
  return path.find_first_of("\\/", 4) == std::string::npos;
}

// path in lower case, with "\\?\" read as "\\.\": Windows names ignore
// case, and both prefixes reach the same devices.
std::string Folded(const std::string& path) {
  std::string folded = path;
  for (char& c : folded) {
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  if (folded.rfind("\\\\?\\", 0) == 0) folded[2] = '.';
  return folded;
}

bool NamesPipe(const std::string& path) {
  return Folded(path).rfind("\\\\.\\pipe\\", 0) == 0;
}

class WindowsAppendFile final : public AppendFile {
 public:
  WindowsAppendFile(HANDLE handle, bool keeps)
      : handle_(handle), keeps_(keeps) {}
  ~WindowsAppendFile() override { ::CloseHandle(handle_); }
  WindowsAppendFile(const WindowsAppendFile&) = delete;
  WindowsAppendFile& operator=(const WindowsAppendFile&) = delete;

  // A pipe whose reader has gone fails with ERROR_NO_DATA; Windows sends
  // no signal for it.
  uint32_t Append(const void* bytes, size_t length) override {
    const char* p = static_cast<const char*>(bytes);
    while (length > 0) {
      const DWORD chunk =
          static_cast<DWORD>(std::min<size_t>(length, size_t{1} << 30));
      DWORD done = 0;
      if (!::WriteFile(handle_, p, chunk, &done, nullptr)) {
        return LastError(kErrorIoDevice);
      }
      // Nothing written without an error would be retried for ever.
      if (done == 0) return kErrorIoDevice;
      p += done;
      length -= done;
    }
    return kErrorSuccess;
  }

  // On a pipe FlushFileBuffers would wait for the reader to read
  // everything, which keeps nothing.
  uint32_t Sync() override {
    if (!keeps_) return kErrorSuccess;
    return ::FlushFileBuffers(handle_) ? kErrorSuccess
                                       : LastError(kErrorIoDevice);
  }

  bool Keeps() const override { return keeps_; }

 private:
  const HANDLE handle_;
  const bool keeps_;
};

}  // namespace

// A pipe or a device must be opened as it exists: CREATE_ALWAYS means
// nothing sensible there. So whatever exists is opened as it is, and an
// ordinary file among them is emptied through the same handle, which is
// what CREATE_ALWAYS would have done; only a missing file is created.
uint32_t CreateAppendFile(const std::string& path,
                          std::unique_ptr<AppendFile>* file) {
  const std::wstring name = Wide(path);
  // Others may read the journal as it grows.
  constexpr DWORD kShare = FILE_SHARE_READ;
  HANDLE handle = ::CreateFileW(name.c_str(), GENERIC_WRITE, kShare, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    if (::GetLastError() != ERROR_FILE_NOT_FOUND) {
      return LastError(kErrorFileNotFound);
    }
    handle = ::CreateFileW(name.c_str(), GENERIC_WRITE, kShare, nullptr,
                           CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return LastError(kErrorFileNotFound);
  }
  const bool keeps = ::GetFileType(handle) == FILE_TYPE_DISK;
  // A fresh handle stands at byte 0, so this empties the file.
  if (keeps && !NamesRawDevice(path) && !::SetEndOfFile(handle)) {
    const uint32_t error = LastError(kErrorIoDevice);
    ::CloseHandle(handle);
    return error;
  }
  try {
    *file = std::make_unique<WindowsAppendFile>(handle, keeps);
  } catch (...) {
    ::CloseHandle(handle);
    throw;
  }
  return kErrorSuccess;
}

// --- The operator's command.

namespace {

std::wstring EnvironmentVariable(const wchar_t* name) {
  const DWORD size = ::GetEnvironmentVariableW(name, nullptr, 0);
  if (size == 0) return L"";
  std::wstring value(size, L'\0');
  const DWORD length = ::GetEnvironmentVariableW(name, value.data(), size);
  value.resize(length < size ? length : 0);
  return value;
}

}  // namespace

uint32_t RunShellCommand(const std::string& command, int* exit_code) {
  // The shell is named in full: a bare cmd.exe would be looked for in the
  // current folder first.
  std::wstring shell = EnvironmentVariable(L"COMSPEC");
  if (shell.empty()) {
    wchar_t system[MAX_PATH];
    const UINT length = ::GetSystemDirectoryW(system, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
      return LastError(kErrorFileNotFound);
    }
    shell.assign(system, length);
    shell += L"\\cmd.exe";
  }
  // /d: no AutoRun commands, as sh -c reads no startup file. /s with the
  // command in quotes: cmd takes off those two quotes alone and runs the
  // rest as the operator wrote it.
  std::wstring line = L"\"" + shell + L"\" /d /s /c \"" + Wide(command) + L"\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = ::GetStdHandle(STD_OUTPUT_HANDLE);
  startup.hStdError = ::GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION process{};
  // Inheriting handles passes on the standard ones; this layer makes every
  // handle of its own uninheritable.
  if (!::CreateProcessW(shell.c_str(), line.data(), nullptr, nullptr, TRUE, 0,
                        nullptr, nullptr, &startup, &process)) {
    return LastError(kErrorFileNotFound);
  }
  ::CloseHandle(process.hThread);
  DWORD code = 0;
  const bool ended =
      ::WaitForSingleObject(process.hProcess, INFINITE) == WAIT_OBJECT_0 &&
      ::GetExitCodeProcess(process.hProcess, &code);
  const uint32_t error = ended ? kErrorSuccess : LastError(kErrorInvalidHandle);
  ::CloseHandle(process.hProcess);
  if (ended) *exit_code = static_cast<int>(code);
  return error;
}

// --- Where a file lies with respect to the target. Files are told apart by
// their volume's serial number and their index on it; devices by the
// stretches of the disks they cover, so that a volume lies on a disk and
// two names of one volume are one. The device queries are best effort: a
// system that answers none of them (Wine answers few) leaves a device's
// stretches unknown, and then nothing counts as lying on it, rather than
// the run failing for want of an answer.

namespace {

// The stretches of the disks that the device open at handle covers: a
// volume's pieces, or the whole of a disk. Empty when the device will not
// say.
std::vector<DISK_EXTENT> DiskStretches(HANDLE handle) {
  std::vector<DISK_EXTENT> stretches;
  std::vector<char> answer(sizeof(VOLUME_DISK_EXTENTS) +
                           15 * sizeof(DISK_EXTENT));
  DWORD returned = 0;
  for (int attempt = 0; attempt < 2; ++attempt) {
    auto* volume = reinterpret_cast<VOLUME_DISK_EXTENTS*>(answer.data());
    if (::DeviceIoControl(handle, IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, nullptr,
                          0, answer.data(), static_cast<DWORD>(answer.size()),
                          &returned, nullptr)) {
      const size_t filled =
          returned < offsetof(VOLUME_DISK_EXTENTS, Extents)
              ? 0
              : (returned - offsetof(VOLUME_DISK_EXTENTS, Extents)) /
                    sizeof(DISK_EXTENT);
      const size_t count =
          std::min<size_t>(volume->NumberOfDiskExtents, filled);
      stretches.assign(volume->Extents, volume->Extents + count);
      return stretches;
    }
    // A volume over more pieces than there was room for says how many.
    if (::GetLastError() != ERROR_MORE_DATA ||
        returned < offsetof(VOLUME_DISK_EXTENTS, Extents)) {
      break;
    }
    answer.resize(offsetof(VOLUME_DISK_EXTENTS, Extents) +
                  size_t{volume->NumberOfDiskExtents} * sizeof(DISK_EXTENT));
  }
  STORAGE_DEVICE_NUMBER number{};
  if (::DeviceIoControl(handle, IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0,
                        &number, sizeof number, &returned, nullptr) &&
      returned >= sizeof number && number.DeviceType == FILE_DEVICE_DISK &&
      (number.PartitionNumber == 0 || number.PartitionNumber == MAXDWORD)) {
    DISK_EXTENT whole{};
    whole.DiskNumber = number.DeviceNumber;
    whole.StartingOffset.QuadPart = 0;
    whole.ExtentLength.QuadPart = INT64_MAX;
    stretches.push_back(whole);
  }
  return stretches;
}

bool Overlap(const std::vector<DISK_EXTENT>& a,
             const std::vector<DISK_EXTENT>& b) {
  const auto end = [](const DISK_EXTENT& e) {
    const int64_t start = e.StartingOffset.QuadPart;
    return start + std::min(e.ExtentLength.QuadPart, INT64_MAX - start);
  };
  for (const DISK_EXTENT& x : a) {
    for (const DISK_EXTENT& y : b) {
      if (x.DiskNumber == y.DiskNumber && x.StartingOffset.QuadPart < end(y) &&
          y.StartingOffset.QuadPart < end(x)) {
        return true;
      }
    }
  }
  return false;
}

// Opens path only to look at it; a folder opens too.
HANDLE OpenToExamine(const std::wstring& path) {
  return ::CreateFileW(
      path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

std::vector<DISK_EXTENT> StretchesOfDevice(const std::wstring& path) {
  const HANDLE handle = OpenToExamine(path);
  if (handle == INVALID_HANDLE_VALUE) return {};
  std::vector<DISK_EXTENT> stretches = DiskStretches(handle);
  ::CloseHandle(handle);
  return stretches;
}

// The stretches of the volume that path (which need not exist) lies on.
std::vector<DISK_EXTENT> StretchesOfVolumeOf(const std::wstring& path) {
  const DWORD size = ::GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (size == 0) return {};
  std::wstring full(size, L'\0');
  const DWORD length =
      ::GetFullPathNameW(path.c_str(), size, full.data(), nullptr);
  if (length == 0 || length >= size) return {};
  full.resize(length);
  std::wstring root(full.size() + 2, L'\0');
  if (!::GetVolumePathNameW(full.c_str(), root.data(),
                            static_cast<DWORD>(root.size()))) {
    return {};
  }
  wchar_t volume[64];  // "\\?\Volume{GUID}\"
  if (!::GetVolumeNameForVolumeMountPointW(root.c_str(), volume, 64)) {
    return {};
  }
  std::wstring device = volume;
  // With its last backslash it would name the volume's root folder.
  if (!device.empty() && device.back() == L'\\') device.pop_back();
  return StretchesOfDevice(device);
}

std::string FolderOf(const std::string& path) {
  const size_t slash = path.find_last_of("\\/");
  const bool drive = path.size() >= 2 && path[1] == ':';
  if (slash == std::string::npos) return drive ? path.substr(0, 2) + "." : ".";
  // The root keeps its separator: "C:" alone is the current folder there.
  if (slash == 0 || (drive && slash == 2)) return path.substr(0, slash + 1);
  return path.substr(0, slash);
}

}  // namespace

uint32_t Env::Place(const std::string& path, const std::string& target_path,
                    bool volume, Placement* placement) {
  const HANDLE target = OpenToExamine(Wide(target_path));
  if (target == INVALID_HANDLE_VALUE) return LastError(kErrorFileNotFound);
  BY_HANDLE_FILE_INFORMATION target_file{};
  std::vector<DISK_EXTENT> target_stretches;
  if (volume) {
    target_stretches = DiskStretches(target);
  } else if (!::GetFileInformationByHandle(target, &target_file)) {
    const uint32_t error = LastError(kErrorInvalidHandle);
    ::CloseHandle(target);
    return error;
  }
  ::CloseHandle(target);
  // For a journal that names the device under a file target.
  if (!volume) target_stretches = StretchesOfVolumeOf(Wide(target_path));

  // Opening a pipe, even only to look, would take the connection meant for
  // its writer; what goes into one is kept by its reader, elsewhere.
  if (NamesPipe(path)) {
    *placement = Placement::kElsewhere;
    return kErrorSuccess;
  }
  const HANDLE journal = OpenToExamine(Wide(path));
  DWORD serial = 0;
  if (journal != INVALID_HANDLE_VALUE) {
    if (NamesRawDevice(path)) {
      const std::vector<DISK_EXTENT> stretches = DiskStretches(journal);
      ::CloseHandle(journal);
      // The target's own name needs no device query to be known.
      const bool target = Folded(path) == Folded(target_path) ||
                          Overlap(stretches, target_stretches);
      *placement = target ? Placement::kIsTarget : Placement::kElsewhere;
      return kErrorSuccess;
    }
    // A character device keeps nothing.
    if (::GetFileType(journal) != FILE_TYPE_DISK) {
      ::CloseHandle(journal);
      *placement = Placement::kElsewhere;
      return kErrorSuccess;
    }
    BY_HANDLE_FILE_INFORMATION file{};
    const bool known = ::GetFileInformationByHandle(journal, &file);
    const uint32_t error = LastError(kErrorInvalidHandle);
    ::CloseHandle(journal);
    if (!known) return error;
    if (!volume &&
        file.dwVolumeSerialNumber == target_file.dwVolumeSerialNumber &&
        file.nFileIndexHigh == target_file.nFileIndexHigh &&
        file.nFileIndexLow == target_file.nFileIndexLow) {
      *placement = Placement::kIsTarget;
      return kErrorSuccess;
    }
    serial = file.dwVolumeSerialNumber;
  } else {
    if (::GetLastError() != ERROR_FILE_NOT_FOUND) {
      return LastError(kErrorFileNotFound);
    }
    // Not there yet: it will be made in its folder.
    const HANDLE folder = OpenToExamine(Wide(FolderOf(path)));
    if (folder == INVALID_HANDLE_VALUE) return LastError(kErrorPathNotFound);
    BY_HANDLE_FILE_INFORMATION info{};
    const bool known = ::GetFileInformationByHandle(folder, &info);
    const uint32_t error = LastError(kErrorInvalidHandle);
    ::CloseHandle(folder);
    if (!known) return error;
    serial = info.dwVolumeSerialNumber;
  }
  if (volume) {
    *placement = Overlap(StretchesOfVolumeOf(Wide(path)), target_stretches)
                     ? Placement::kOnTargetDevice
                     : Placement::kElsewhere;
  } else {
    *placement = serial == target_file.dwVolumeSerialNumber
                     ? Placement::kSameFileSystem
                     : Placement::kElsewhere;
  }
  return kErrorSuccess;
}

}  // namespace vorbex::platform
