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
// here nothing else would stop us from destroying it. So while any target of
// ours is open on a device we hold one exclusive open of it: nobody can
// mount or claim it under us, and a second tester on it is refused. Our own
// opens are not exclusive, and the claim does not hinder them.
//
// Safe for concurrent use by multiple threads.
class DeviceClaims {
 public:
  uint32_t Acquire(const std::string& path, dev_t device) {
    std::lock_guard<std::mutex> hold(mu_);
    const auto it = claims_.find(device);
    if (it != claims_.end()) {
      ++it->second.users;
      return kErrorSuccess;
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_EXCL | O_CLOEXEC);
    if (fd < 0) return errno == EBUSY ? kErrorBusy : ErrorFromErrno(errno);
    // The name may have been pointed elsewhere between the two opens.
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISBLK(st.st_mode) || st.st_rdev != device) {
      ::close(fd);
      return kErrorBusy;
    }
    try {
      claims_.emplace(device, Claim{fd, 1});
    } catch (...) {
      ::close(fd);
      throw;
    }
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
  struct Claim {
    int fd;
    int users;
  };
  std::mutex mu_;
  std::map<dev_t, Claim> claims_;
};

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
  const Clock::time_point deadline =
      Clock::now() + std::chrono::milliseconds(milliseconds);
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

}  // namespace vorbex::platform
