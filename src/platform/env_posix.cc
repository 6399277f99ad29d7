// The native Env on Linux and other POSIX systems.

#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
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
#include <thread>

#include "platform/env.h"
#include "platform/errno_table.h"
#include "platform/error_codes.h"

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
