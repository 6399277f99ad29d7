#include "platform/errno_table.h"

#include <cerrno>

#include "platform/error_codes.h"

namespace vorbex::platform {
namespace {

struct Translation {
  int errno_value;
  uint32_t windows_code;
};

// The README lists this table; keep the two in step.
constexpr Translation kTable[] = {
    {ENOENT, kErrorFileNotFound},
    {ENOTDIR, kErrorPathNotFound},
    {EMFILE, kErrorTooManyOpenFiles},
    {ENFILE, kErrorTooManyOpenFiles},
    {EACCES, kErrorAccessDenied},
    {EPERM, kErrorAccessDenied},
    // Windows answers an attempt to open a directory as a file this way.
    {EISDIR, kErrorAccessDenied},
    {EBADF, kErrorInvalidHandle},
    {ENOMEM, kErrorNotEnoughMemory},
    {EROFS, kErrorWriteProtect},
    {ENXIO, kErrorNotReady},
    {ENODEV, kErrorNotReady},
    {ETXTBSY, kErrorSharingViolation},
    {EOPNOTSUPP, kErrorNotSupported},
    {EINVAL, kErrorInvalidParameter},
    {ENOSPC, kErrorDiskFull},
    {EBUSY, kErrorBusy},
    {ENAMETOOLONG, kErrorFilenameTooLong},
    {EFBIG, kErrorFileTooLarge},
    {EOVERFLOW, kErrorFileTooLarge},
    // What Windows answers a write to a pipe that nobody reads any more.
    {EPIPE, kErrorNoData},
#ifdef ENOMEDIUM
    {ENOMEDIUM, kErrorNoMediaInDrive},
#endif
    {EIO, kErrorIoDevice},
    {ELOOP, kErrorCantResolveFilename},
};

}  // namespace

uint32_t ErrorFromErrno(int e) {
  for (const Translation& t : kTable) {
    if (t.errno_value == e) return t.windows_code;
  }
  return kForeignErrorBit + static_cast<uint32_t>(e);
}

}  // namespace vorbex::platform
