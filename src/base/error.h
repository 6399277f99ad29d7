#ifndef VORBEX_BASE_ERROR_H_
#define VORBEX_BASE_ERROR_H_

#include <cstdint>

namespace vorbex {

// The one exception type. It carries the Windows error code of the failure
// from where it happened to the line that prints it; nothing else is known
// or needed about a failure.
class Error {
 public:
  explicit Error(uint32_t code) : code_(code) {}

  uint32_t code() const { return code_; }

 private:
  uint32_t code_;
};

}  // namespace vorbex

#endif  // VORBEX_BASE_ERROR_H_
