#ifndef VORBEX_BASE_SLEEP_H_
#define VORBEX_BASE_SLEEP_H_

#include <cstdint>

namespace vorbex {

// Sleeps the calling thread for at least ms milliseconds, however many, as
// measured by the steady clock.
void SleepMilliseconds(uint64_t ms);

}  // namespace vorbex

#endif  // VORBEX_BASE_SLEEP_H_
