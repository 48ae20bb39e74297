#ifndef DICOMTOOLKIT_PLATFORM_EXECUTABLEPATH_H
#define DICOMTOOLKIT_PLATFORM_EXECUTABLEPATH_H

#include <cstddef>

namespace platform {

// The full path of the running program into buffer (zero-terminated): 1, or
// 0 when the system cannot tell or the path does not fit.
int executablePath(char* buffer, size_t size);

}  // namespace platform

#endif
