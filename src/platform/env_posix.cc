// The native Env on Linux and other POSIX systems.

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#if defined(__linux__)
#include <linux/fs.h>
#include <linux/magic.h>
#include <sys/sysmacros.h>
#include <sys/vfs.h>
#endif

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>

#include "platform/env.h"
#include "platform/errno_table.h"
#include "platform/error_codes.h"
#include "platform/placement.h"

namespace vorbex::platform {
namespace {

constexpr size_t kPageSize = 4096;
constexpr size_t kHugePageSize = size_t{2} << 20;

template <typename T>
constexpr T RoundUp(T n, T unit) {
  return (n + unit - 1) / unit * unit;
}

class DeviceClaims;

// Whether the kernel serves this target's transfers by copying to and from
// memory, whatever O_DIRECT says. Such a copy is not one piece per block:
// a read that overlaps a write of the same block can see part of each, as a
// cached file can.
bool ServedFromMemory(int fd, const struct stat& st) {
#if defined(__linux__)
  // The RAM disk driver copies each transfer with no lock against others.
  constexpr unsigned kRamDiskMajor = 1;
  if (S_ISBLK(st.st_mode)) return major(st.st_rdev) == kRamDiskMajor;
  struct statfs fs {};
  if (::fstatfs(fd, &fs) != 0) return false;
  const auto type = static_cast<unsigned long>(fs.f_type);
  return type == TMPFS_MAGIC || type == RAMFS_MAGIC;
#else
  (void)fd;
  (void)st;
  return false;
#endif
}

class PosixTarget final : public Target {
 public:
  // claims is null for anything but a block device.
  PosixTarget(int fd, bool block_device, bool buffered, DeviceClaims* claims,
              dev_t device)
      : fd_(fd),
        block_device_(block_device),
        buffered_(buffered),
        claims_(claims),
        device_(device) {}
  ~PosixTarget() override;
  PosixTarget(const PosixTarget&) = delete;
  PosixTarget& operator=(const PosixTarget&) = delete;

  uint32_t QuerySize(int64_t* bytes) override {
    if (block_device_) {
#if defined(BLKGETSIZE64)
      uint64_t size = 0;
      if (::ioctl(fd_, BLKGETSIZE64, &size) != 0) return ErrorFromErrno(errno);
      *bytes = static_cast<int64_t>(size);
      return kErrorSuccess;
#else
      // Without the kernel's query a device's length is not knowable here;
      // seeking to its end is the portable fallback.
      const off_t end = ::lseek(fd_, 0, SEEK_END);
      if (end < 0) return ErrorFromErrno(errno);
      *bytes = end;
      return kErrorSuccess;
#endif
    }
    struct stat st {};
    if (::fstat(fd_, &st) != 0) return ErrorFromErrno(errno);
    *bytes = st.st_size;
    return kErrorSuccess;
  }

  uint32_t ReadAt(int64_t offset, void* buffer, uint32_t length,
                  uint32_t* moved) override {
    return Transfer(offset, static_cast<char*>(buffer), length, moved,
                    [](int fd, char* p, size_t n, off_t at) {
                      return ::pread(fd, p, n, at);
                    });
  }

  uint32_t WriteAt(int64_t offset, const void* buffer, uint32_t length,
                   uint32_t* moved) override {
    char* p = const_cast<char*>(static_cast<const char*>(buffer));
    return Transfer(offset, p, length, moved,
                    [](int fd, char* q, size_t n, off_t at) {
                      return ::pwrite(fd, q, n, at);
                    });
  }

  bool Buffered() const override { return buffered_; }

  uint32_t LogicalSectorSize(uint32_t* bytes) override {
    *bytes = 512;
#if defined(BLKSSZGET)
    int size = 0;
    if (block_device_) {
      if (::ioctl(fd_, BLKSSZGET, &size) != 0) return ErrorFromErrno(errno);
      *bytes = static_cast<uint32_t>(size);
    }
#endif
    return kErrorSuccess;
  }

  uint32_t HoldRange(int64_t offset, int64_t length) override;

  uint32_t Flush() override {
    return ::fdatasync(fd_) == 0 ? kErrorSuccess : ErrorFromErrno(errno);
  }

 private:
  // A synchronous transfer on Windows moves everything unless it meets the
  // end or fails; the system calls here may stop early on a signal or a
  // partial completion, so keep going until the same holds.
  template <typename Call>
  uint32_t Transfer(int64_t offset, char* p, uint32_t length, uint32_t* moved,
                    Call call) {
    uint32_t done = 0;
    while (done < length) {
      const ssize_t n =
          call(fd_, p + done, length - done, static_cast<off_t>(offset + done));
      if (n < 0) {
        if (errno == EINTR) continue;
        *moved = done;
        return ErrorFromErrno(errno);
      }
      if (n == 0) break;
      done += static_cast<uint32_t>(n);
    }
    *moved = done;
    return kErrorSuccess;
  }

  const int fd_;
  const bool block_device_;
  const bool buffered_;
  DeviceClaims* const claims_;
  const dev_t device_;
};

// A block device that the kernel has handed to someone exclusively (a
// mounted file system, swap, a RAID or device-mapper member) refuses an
// exclusive open. Windows refuses writes over a mounted volume by itself;
// here nothing else would stop us from destroying it.
//
// So the first tester on a device holds one exclusive open of it, and
// marks that with a read lock on one byte far past any device's end
// (kClaimMarker): nobody can mount or claim the device under it. A later
// tester's exclusive open fails; it goes on beside the first only when it
// sees the marker, which says that the exclusive holder is one of us and so
// no file system can be mounted there. Without the marker the device is
// someone else's (kErrorBusy). The marker is set just after the exclusive
// open and dropped just before its release, so a refusal is tried again
// for a moment before it stands.
//
// Which bytes each tester works on is held with an exclusive
// open-file-description lock on its range (the whole device for a run
// without a window): another tester's overlapping range is refused. Locks
// and the exclusive open both belong to descriptors, which the kernel closes
// when the process ends, however it ends, so a crashed run holds nothing.
// A tester that started beside the exclusive holder keeps only its range
// once that one ends, and is then not guarded against a mount.
//
// Our own opens are neither exclusive nor locked, and the claim does not
// hinder them. Safe for concurrent use by multiple threads.
class DeviceClaims {
 public:
  uint32_t Acquire(const std::string& path, dev_t device) {
    std::lock_guard<std::mutex> hold(mu_);
    const auto it = claims_.find(device);
    if (it != claims_.end()) {
      ++it->second.users;
      return kErrorSuccess;
    }
    int fd = -1;
    for (int attempt = 0; fd < 0 && attempt < kProbeAttempts; ++attempt) {
      if (attempt > 0) std::this_thread::sleep_for(kProbePause);
      const uint32_t rc = Claim(path, device, &fd);
      if (rc != kErrorSuccess && rc != kErrorBusy) return rc;
    }
    if (fd < 0) return kErrorBusy;
    try {
      claims_.emplace(device, ClaimFd{fd, 1, false});
    } catch (...) {
      ::close(fd);
      throw;
    }
    return kErrorSuccess;
  }

  // Holds [offset, offset + length) of the claimed device; length 0 runs to
  // its end. The first target of the process places the lock, and the
  // others share it.
  uint32_t Hold(dev_t device, int64_t offset, int64_t length) {
    std::lock_guard<std::mutex> hold(mu_);
    const auto it = claims_.find(device);
    if (it == claims_.end()) return kErrorInvalidHandle;
    if (it->second.held) return kErrorSuccess;
    const int fd = it->second.fd;
    if (length == 0) {
      uint64_t size = 0;
      if (::ioctl(fd, BLKGETSIZE64, &size) != 0) return ErrorFromErrno(errno);
      length = static_cast<int64_t>(size) - offset;
      // An empty device still keeps out a second tester.
      if (length <= 0) length = 1;
    }
    if (!Lock(fd, F_OFD_SETLK, F_WRLCK, offset, length)) {
      return errno == EAGAIN || errno == EACCES ? kErrorBusy
                                                : ErrorFromErrno(errno);
    }
    it->second.held = true;
    return kErrorSuccess;
  }

  void Release(dev_t device) {
    std::lock_guard<std::mutex> hold(mu_);
    const auto it = claims_.find(device);
    if (it == claims_.end() || --it->second.users > 0) return;
    ::close(it->second.fd);
    claims_.erase(it);
  }

 private:
  static constexpr off_t kClaimMarker = INT64_MAX - 1;
  static constexpr int kProbeAttempts = 20;
  static constexpr std::chrono::milliseconds kProbePause{10};

  struct ClaimFd {
    int fd;
    int users;
    bool held;  // the range lock is in place
  };

  static bool Lock(int fd, int command, short type, int64_t offset,
                   int64_t length) {
    struct flock range {};
    range.l_type = type;
    range.l_whence = SEEK_SET;
    range.l_start = static_cast<off_t>(offset);
    range.l_len = static_cast<off_t>(length);
    return ::fcntl(fd, command, &range) == 0;
  }

  // Whether another open file description holds the marker.
  static bool MarkerHeld(int fd) {
    struct flock range {};
    range.l_type = F_WRLCK;
    range.l_whence = SEEK_SET;
    range.l_start = kClaimMarker;
    range.l_len = 1;
    return ::fcntl(fd, F_OFD_GETLK, &range) == 0 && range.l_type != F_UNLCK;
  }

  // The name may have been pointed elsewhere between the opens.
  static bool SameDevice(int fd, dev_t device) {
    struct stat st {};
    return ::fstat(fd, &st) == 0 && S_ISBLK(st.st_mode) && st.st_rdev == device;
  }

  // One try at a claim: *fd gets a descriptor on the device, held
  // exclusively and marked, or beside another tester's exclusive hold.
  static uint32_t Claim(const std::string& path, dev_t device, int* fd) {
    int claim = ::open(path.c_str(), O_RDWR | O_EXCL | O_CLOEXEC);
    const bool exclusive = claim >= 0;
    if (!exclusive) {
      if (errno != EBUSY) return ErrorFromErrno(errno);
      claim = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
      if (claim < 0) return ErrorFromErrno(errno);
    }
    const bool ours =
        SameDevice(claim, device) &&
        (exclusive ? Lock(claim, F_OFD_SETLK, F_RDLCK, kClaimMarker, 1)
                   : MarkerHeld(claim));
    if (!ours) {
      ::close(claim);
      return kErrorBusy;
    }
    *fd = claim;
    return kErrorSuccess;
  }

  std::mutex mu_;
  std::map<dev_t, ClaimFd> claims_;
};

uint32_t PosixTarget::HoldRange(int64_t offset, int64_t length) {
  if (claims_ == nullptr) return kErrorSuccess;
  return claims_->Hold(device_, offset, length);
}

PosixTarget::~PosixTarget() {
  ::close(fd_);
  if (claims_ != nullptr) claims_->Release(device_);
}

class PosixEnv final : public Env {
 public:
  bool NamesDevice(const std::string& path) override {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISBLK(st.st_mode);
  }

  uint32_t OpenTarget(const std::string& path, bool /*volume*/,
                      std::unique_ptr<Target>* target) override {
    return Open(path, O_RDWR, target);
  }

  // No device claim: it is there to keep our writes off a device that
  // someone else holds, and a reader changes nothing under them.
  uint32_t OpenTargetReadOnly(const std::string& path, bool /*volume*/,
                              std::unique_ptr<Target>* target) override {
    return Open(path, O_RDONLY, target);
  }

  // Fresh mappings come zeroed from the kernel. A buffer of whole huge pages
  // is placed on a huge-page boundary and offered to the kernel for huge
  // pages: a direct transfer pins every page of its buffer, and a first
  // touch of each small page costs a fault, which on some virtual machines
  // weighs as much as the transfer itself.
  void* AllocatePages(size_t bytes, uint32_t* error) override {
    const size_t length = RoundUp(bytes, kPageSize);
    const size_t slack = length >= kHugePageSize ? kHugePageSize : 0;
    void* base = ::mmap(nullptr, length + slack, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base == MAP_FAILED) {
      *error = ErrorFromErrno(errno);
      return nullptr;
    }
    if (slack == 0) return base;
    // Keep only the aligned part, so that FreePages can unmap it whole.
    const auto start = reinterpret_cast<uintptr_t>(base);
    const size_t head = RoundUp(start, uintptr_t{kHugePageSize}) - start;
    char* pages = static_cast<char*>(base) + head;
    if (head != 0) ::munmap(base, head);
    if (head != slack) ::munmap(pages + length, slack - head);
    // Only advice: without huge pages the buffer works the same.
    ::madvise(pages, length, MADV_HUGEPAGE);
    return pages;
  }

  void FreePages(void* pages, size_t bytes) override {
    if (pages != nullptr) ::munmap(pages, RoundUp(bytes, kPageSize));
  }

 private:
  uint32_t Open(const std::string& path, int access,
                std::unique_ptr<Target>* target) {
    bool buffered = false;
    int fd = ::open(path.c_str(), access | O_DIRECT | O_CLOEXEC);
    if (fd < 0 && errno == EINVAL) {
      // tmpfs and a few others refuse to bypass the cache for a file.
      fd = ::open(path.c_str(), access | O_CLOEXEC);
      buffered = true;
    }
    if (fd < 0) return ErrorFromErrno(errno);
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
      const int saved = errno;
      ::close(fd);
      return ErrorFromErrno(saved);
    }
    const bool block_device = S_ISBLK(st.st_mode);
    if (!buffered) buffered = ServedFromMemory(fd, st);
    DeviceClaims* claims =
        block_device && access != O_RDONLY ? &claims_ : nullptr;
    if (claims != nullptr) {
      const uint32_t refused = claims->Acquire(path, st.st_rdev);
      if (refused != kErrorSuccess) {
        ::close(fd);
        return refused;
      }
    }
    try {
      *target = std::make_unique<PosixTarget>(fd, block_device, buffered,
                                              claims, st.st_rdev);
    } catch (...) {
      ::close(fd);
      if (claims != nullptr) claims->Release(st.st_rdev);
      throw;
    }
    return kErrorSuccess;
  }

  DeviceClaims claims_;
};

}  // namespace

void FlushStdoutByLine() { std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ); }

uint32_t ThreadStartError(const std::error_code& code) {
  // Out of threads is out of memory to the caller, as it is on Windows.
  if (code.value() == EAGAIN) return kErrorNotEnoughMemory;
  return ErrorFromErrno(code.value());
}

Env* NativeEnv() {
  static PosixEnv env;
  return &env;
}

std::string HostName() {
  // Room for the longest name the system keeps (HOST_NAME_MAX, 64 on
  // Linux), and a terminator that a name cut short would lack.
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return "";
  return name;
}

// --- Interrupts. The handler may run on any thread at any moment, so it
// only records the signal, which is safe in a signal handler where a lock,
// a print or a new descriptor is not; waiters look at it a few times a
// second. It takes no descriptor, so a run short of them opens as many
// disks as one that never caught an interrupt.

namespace {

constexpr int64_t kInterruptPollMs = 100;

std::atomic<int> g_interrupt{0};  // the first signal that came, or 0

extern "C" void OnInterrupt(int signal_number) {
  int none = 0;
  g_interrupt.compare_exchange_strong(none, signal_number);
}

}  // namespace

void CatchInterrupts() {
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  // Transfers on the test threads go on rather than fail with EINTR.
  action.sa_flags = SA_RESTART;
  ::sigaction(SIGINT, &action, nullptr);
  ::sigaction(SIGTERM, &action, nullptr);
}

int WaitForInterrupt(int64_t milliseconds) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = SteadyDeadlineAfter(milliseconds);
  for (;;) {
    const int signal_number = g_interrupt.load();
    if (signal_number != 0) return 128 + signal_number;
    int64_t wait_ms = kInterruptPollMs;
    if (milliseconds >= 0) {
      const auto left =
          std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
      if (left.count() <= 0) return 0;
      wait_ms = std::min<int64_t>(wait_ms, left.count());
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(wait_ms));
  }
}

bool StderrIsTerminal() { return ::isatty(STDERR_FILENO) == 1; }

int StderrColumns() {
  winsize size{};
  if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) != 0) return 0;
  return size.ws_col;
}

// --- Append files.

namespace {

// A write to a pipe or socket whose reader has gone raises SIGPIPE, whose
// default is the end of the process: a journal's reader going away would
// take the run down with it. This holds the signal back on the writing
// thread for one Append and takes back the one that a failed write raised,
// so the write fails with EPIPE instead. Ignoring SIGPIPE for the whole
// process would do the same with less, but ignored signals pass on to the
// operator's cut command through exec, and the product's own standard
// output would then fail quietly instead of ending the run.
class HeldPipeSignal {
 public:
  HeldPipeSignal() {
    sigemptyset(&pipe_);
    sigaddset(&pipe_, SIGPIPE);
    ::pthread_sigmask(SIG_BLOCK, &pipe_, &before_);
    sigset_t pending;
    // One that was pending already is someone else's, and stays.
    already_pending_ =
        ::sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
  }
  ~HeldPipeSignal() {
    if (raised_ && !already_pending_) {
      const timespec now{};
      while (::sigtimedwait(&pipe_, nullptr, &now) < 0 && errno == EINTR) {
      }
    }
    ::pthread_sigmask(SIG_SETMASK, &before_, nullptr);
  }
  HeldPipeSignal(const HeldPipeSignal&) = delete;
  HeldPipeSignal& operator=(const HeldPipeSignal&) = delete;

  void Raised() { raised_ = true; }

 private:
  sigset_t pipe_;
  sigset_t before_;
  bool already_pending_ = false;
  bool raised_ = false;
};

class PosixAppendFile final : public AppendFile {
 public:
  PosixAppendFile(int fd, mode_t mode)
      : fd_(fd),
        keeps_(S_ISREG(mode) || S_ISBLK(mode)),
        socket_(S_ISSOCK(mode)),
        raises_sigpipe_(S_ISFIFO(mode) || S_ISSOCK(mode)) {}
  ~PosixAppendFile() override { ::close(fd_); }
  PosixAppendFile(const PosixAppendFile&) = delete;
  PosixAppendFile& operator=(const PosixAppendFile&) = delete;

  uint32_t Append(const void* bytes, size_t length) override {
    std::optional<HeldPipeSignal> held;
    if (raises_sigpipe_) held.emplace();
    const char* p = static_cast<const char*>(bytes);
    while (length > 0) {
      const ssize_t n =
          socket_ ? ::send(fd_, p, length, kNoSignal) : ::write(fd_, p, length);
      if (n > 0) {
        p += n;
        length -= static_cast<size_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      // A descriptor taken over from the shell may be non-blocking.
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        pollfd ready{fd_, POLLOUT, 0};
        ::poll(&ready, 1, -1);
        continue;
      }
      // Nothing written without an error would be retried for ever.
      const int error = n < 0 ? errno : EIO;
      if (error == EPIPE && held) held->Raised();
      return ErrorFromErrno(error);
    }
    return kErrorSuccess;
  }

  uint32_t Sync() override {
    if (!keeps_) return kErrorSuccess;
    return ::fdatasync(fd_) == 0 ? kErrorSuccess : ErrorFromErrno(errno);
  }

  bool Keeps() const override { return keeps_; }

 private:
#if defined(MSG_NOSIGNAL)
  static constexpr int kNoSignal = MSG_NOSIGNAL;
#else
  static constexpr int kNoSignal = 0;
#endif

  const int fd_;
  const bool keeps_;
  const bool socket_;
  const bool raises_sigpipe_;
};

// The descriptor that path names when it is /dev/fd/N or /proc/self/fd/N,
// or -1.
int NamedDescriptor(const std::string& path) {
  for (const char* prefix : {"/dev/fd/", "/proc/self/fd/"}) {
    const size_t length = std::strlen(prefix);
    if (path.compare(0, length, prefix) != 0 || path.size() == length ||
        path.size() > length + 9) {
      continue;
    }
    int fd = 0;
    for (size_t i = length; i < path.size(); ++i) {
      if (path[i] < '0' || path[i] > '9') return -1;
      fd = fd * 10 + (path[i] - '0');
    }
    return fd;
  }
  return -1;
}

std::string FolderOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// A file just made is not there after a power cut until its folder is on
// the medium too, and a journal that vanished would tell nothing. The
// folder is the one the file was made in, wherever a link led the path.
uint32_t SyncFolderOf(int fd, const std::string& path) {
  std::string real = path;
  char named[PATH_MAX];
  const std::string self = "/proc/self/fd/" + std::to_string(fd);
  const ssize_t n = ::readlink(self.c_str(), named, sizeof named);
  if (n > 0 && n < static_cast<ssize_t>(sizeof named) && named[0] == '/') {
    real.assign(named, static_cast<size_t>(n));
  }
  const int folder =
      ::open(FolderOf(real).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder < 0) return ErrorFromErrno(errno);
  const int rc = ::fsync(folder);
  const int error = errno;
  ::close(folder);
  // Some file systems keep no folders of their own to sync (EINVAL).
  return rc == 0 || error == EINVAL ? kErrorSuccess : ErrorFromErrno(error);
}

}  // namespace

uint32_t CreateAppendFile(const std::string& path,
                          std::unique_ptr<AppendFile>* file) {
  // No O_TRUNC here: it would be lost on a pipe or a device anyway, and an
  // ordinary file is emptied below, once it is known to be one.
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0 && errno == ENXIO) {
    // Linux opens no socket by name, even one that this process holds as
    // /dev/fd/N (`--journal /dev/fd/3 3>/dev/tcp/host/port`); that one is
    // taken over as it is.
    const int named = NamedDescriptor(path);
    struct stat st {};
    if (named >= 0 && ::fstat(named, &st) == 0 && S_ISSOCK(st.st_mode)) {
      fd = ::fcntl(named, F_DUPFD_CLOEXEC, 0);
    } else {
      errno = ENXIO;
    }
  }
  if (fd < 0) return ErrorFromErrno(errno);
  struct stat st {};
  uint32_t rc = ::fstat(fd, &st) == 0 ? kErrorSuccess : ErrorFromErrno(errno);
  if (rc == kErrorSuccess && S_ISREG(st.st_mode)) {
    if (::ftruncate(fd, 0) != 0) {
      rc = ErrorFromErrno(errno);
    } else {
      rc = SyncFolderOf(fd, path);
    }
  }
  if (rc != kErrorSuccess) {
    ::close(fd);
    return rc;
  }
  try {
    *file = std::make_unique<PosixAppendFile>(fd, st.st_mode);
  } catch (...) {
    ::close(fd);
    throw;
  }
  return kErrorSuccess;
}

// --- The operator's command. posix_spawn neither copies the address space
// of a process of many threads nor runs code between fork and exec that a
// lock held by another thread could stop, and it reports a failed start.

uint32_t RunShellCommand(const std::string& command, int* exit_code) {
  posix_spawnattr_t attributes;
  if (const int rc = ::posix_spawnattr_init(&attributes); rc != 0) {
    return ErrorFromErrno(rc);
  }
  // The calling thread may hold signals back (an Append does for a moment);
  // the command starts with none held back, as from a shell.
  sigset_t none;
  sigemptyset(&none);
  ::posix_spawnattr_setsigmask(&attributes, &none);
  ::posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
  char shell[] = "/bin/sh";
  char dash_c[] = "-c";
  char* argv[] = {shell, dash_c, const_cast<char*>(command.c_str()), nullptr};
  pid_t pid = 0;
  const int rc =
      ::posix_spawn(&pid, shell, nullptr, &attributes, argv, environ);
  ::posix_spawnattr_destroy(&attributes);
  if (rc != 0) return ErrorFromErrno(rc);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return ErrorFromErrno(errno);
  }
  *exit_code =
      WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
  return kErrorSuccess;
}

// --- Where a file lies with respect to the target.

namespace {

// The whole disk that device is a partition of, or 0 when it is none or
// sysfs cannot tell: then only the same device counts as the target's.
uint64_t WholeDiskOf(dev_t device) {
#if defined(__linux__)
  const std::string folder = "/sys/dev/block/" + std::to_string(major(device)) +
                             ":" + std::to_string(minor(device));
  if (::access((folder + "/partition").c_str(), F_OK) != 0) return 0;
  // A partition's folder lies in its disk's, whose dev file names the disk.
  const int fd = ::open((folder + "/../dev").c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  char text[32] = {};
  const ssize_t n = ::read(fd, text, sizeof text - 1);
  ::close(fd);
  unsigned disk_major = 0;
  unsigned disk_minor = 0;
  if (n <= 0 || std::sscanf(text, "%u:%u", &disk_major, &disk_minor) != 2) {
    return 0;
  }
  return makedev(disk_major, disk_minor);
#else
  (void)device;
  return 0;
#endif
}

NodeFacts FactsOf(const struct stat& st, bool exists) {
  NodeFacts facts;
  facts.exists = exists;
  if (!exists || S_ISREG(st.st_mode)) {
    facts.kind = NodeFacts::Kind::kFile;
  } else if (S_ISBLK(st.st_mode)) {
    facts.kind = NodeFacts::Kind::kBlockDevice;
  } else if (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode) ||
             S_ISCHR(st.st_mode)) {
    facts.kind = NodeFacts::Kind::kStream;
  }
  facts.node_device = st.st_dev;
  facts.node = st.st_ino;
  const dev_t device = S_ISBLK(st.st_mode) && exists ? st.st_rdev : st.st_dev;
  facts.device = device;
  facts.whole_disk = WholeDiskOf(device);
  return facts;
}

// The facts of the file that opening path to write would reach: the file
// it names, or when there is none, the folder it would be made in. A link
// to nothing yet is followed, since the file would be made where it points.
uint32_t JournalFacts(const std::string& path, NodeFacts* facts) {
  constexpr int kMostLinks = 40;  // as many as the kernel follows
  std::string at = path;
  for (int links = 0;; ++links) {
    struct stat st {};
    if (::stat(at.c_str(), &st) == 0) {
      *facts = FactsOf(st, true);
      return kErrorSuccess;
    }
    if (errno != ENOENT) return ErrorFromErrno(errno);
    struct stat link {};
    if (::lstat(at.c_str(), &link) != 0 || !S_ISLNK(link.st_mode)) break;
    if (links == kMostLinks) return ErrorFromErrno(ELOOP);
    std::string to(static_cast<size_t>(link.st_size) + 1, '\0');
    const ssize_t n = ::readlink(at.c_str(), to.data(), to.size());
    if (n < 0) return ErrorFromErrno(errno);
    to.resize(static_cast<size_t>(n));
    if (to.empty() || to[0] != '/') to.insert(0, FolderOf(at) += '/');
    at = std::move(to);
  }
  struct stat folder {};
  if (::stat(FolderOf(at).c_str(), &folder) != 0) return ErrorFromErrno(errno);
  *facts = FactsOf(folder, false);
  return kErrorSuccess;
}

}  // namespace

// The POSIX layer learns a target's kind from the system, so volume is not
// needed here.
uint32_t Env::Place(const std::string& path, const std::string& target_path,
                    bool /*volume*/, Placement* placement) {
  struct stat target {};
  if (::stat(target_path.c_str(), &target) != 0) return ErrorFromErrno(errno);
  NodeFacts journal;
  const uint32_t rc = JournalFacts(path, &journal);
  if (rc != kErrorSuccess) return rc;
  *placement = PlaceByFacts(journal, FactsOf(target, true));
  return kErrorSuccess;
}

}  // namespace vorbex::platform
