#include "ExecutablePath.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace platform {

int executablePath(char* buffer, size_t size) {
    if (buffer == nullptr || size == 0) return 0;
#ifdef _WIN32
    const DWORD length = GetModuleFileNameA(nullptr, buffer, static_cast<DWORD>(size));
    if (length == 0 || length >= size) return 0;
    return 1;
#else
    const ssize_t length = readlink("/proc/self/exe", buffer, size - 1);
    // A path that fills the buffer may have been cut.
    if (length <= 0 || static_cast<size_t>(length) >= size - 1) return 0;
    buffer[length] = '\0';
    return 1;
#endif
}

}  // namespace platform
