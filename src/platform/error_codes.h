#ifndef VORBEX_PLATFORM_ERROR_CODES_H_
#define VORBEX_PLATFORM_ERROR_CODES_H_

#include <cstdint>

namespace vorbex::platform {

// Every failure travels as a Windows system error code, because that is the
// number the messages print on every platform. Other platforms translate
// their own codes into these in one table each.
inline constexpr uint32_t kErrorSuccess = 0;
inline constexpr uint32_t kErrorFileNotFound = 2;
inline constexpr uint32_t kErrorPathNotFound = 3;
inline constexpr uint32_t kErrorTooManyOpenFiles = 4;
inline constexpr uint32_t kErrorAccessDenied = 5;
inline constexpr uint32_t kErrorInvalidHandle = 6;
inline constexpr uint32_t kErrorNotEnoughMemory = 8;
inline constexpr uint32_t kErrorBadFormat = 11;
inline constexpr uint32_t kErrorWriteProtect = 19;
inline constexpr uint32_t kErrorNotReady = 21;
inline constexpr uint32_t kErrorBadLength = 24;
inline constexpr uint32_t kErrorSharingViolation = 32;
inline constexpr uint32_t kErrorNotSupported = 50;
inline constexpr uint32_t kErrorInvalidParameter = 87;
inline constexpr uint32_t kErrorDiskFull = 112;
inline constexpr uint32_t kErrorBusy = 170;
inline constexpr uint32_t kErrorFilenameTooLong = 206;
inline constexpr uint32_t kErrorFileTooLarge = 223;
inline constexpr uint32_t kErrorNoData = 232;  // the pipe is being closed
inline constexpr uint32_t kErrorNoMediaInDrive = 1112;
inline constexpr uint32_t kErrorIoDevice = 1117;
inline constexpr uint32_t kErrorCantResolveFilename = 1921;

// An OS code with no Windows counterpart keeps its own number behind this
// bit, which Windows reserves for codes that applications define, so the
// user still sees what the system said.
inline constexpr uint32_t kForeignErrorBit = 0x20000000;

}  // namespace vorbex::platform

#endif  // VORBEX_PLATFORM_ERROR_CODES_H_
