#ifndef VORBEX_RUN_VERSION_H_
#define VORBEX_RUN_VERSION_H_

namespace vorbex {

// "<project version> (commit <short hash>)", as the build configured it;
// "unknown" stands for the commit when the source was not a git checkout.
const char* VersionText();

}  // namespace vorbex

#endif  // VORBEX_RUN_VERSION_H_
