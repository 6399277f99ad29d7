#ifndef VORBEX_PLATFORM_ERRNO_TABLE_H_
#define VORBEX_PLATFORM_ERRNO_TABLE_H_

#include <cstdint>

namespace vorbex::platform {

// The Windows error code that stands for errno value e in messages. Codes
// without a counterpart come back as kForeignErrorBit + e.
uint32_t ErrorFromErrno(int e);

}  // namespace vorbex::platform

#endif  // VORBEX_PLATFORM_ERRNO_TABLE_H_
