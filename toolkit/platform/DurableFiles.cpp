#include "DurableFiles.h"

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace platform {

#ifdef _WIN32

int syncFile(const char* path) {
    HANDLE file = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 0;
    const BOOL flushed = FlushFileBuffers(file);
    CloseHandle(file);
    return flushed ? 1 : 0;
}

int replaceFile(const char* from, const char* to) {
    return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) ? 1 : 0;
}

// Windows has no handle on a directory to flush; MOVEFILE_WRITE_THROUGH
// already waits for the rename to reach the disk.
int syncDirectory(const char*) { return 1; }

int isTerminal(std::FILE* stream) { return _isatty(_fileno(stream)) ? 1 : 0; }

#else

namespace {

int syncDescriptorOf(const char* path, int flags) {
    int descriptor;
    do {
        descriptor = open(path, flags);
    } while (descriptor < 0 && errno == EINTR);
    if (descriptor < 0) return 0;
    int result;
    do {
        result = fsync(descriptor);
    } while (result != 0 && errno == EINTR);
    const int closed = close(descriptor);
    return result == 0 && closed == 0 ? 1 : 0;
}

}  // namespace

int syncFile(const char* path) { return syncDescriptorOf(path, O_RDONLY); }

int replaceFile(const char* from, const char* to) { return rename(from, to) == 0 ? 1 : 0; }

int syncDirectory(const char* path) { return syncDescriptorOf(path, O_RDONLY | O_DIRECTORY); }

int isTerminal(std::FILE* stream) { return isatty(fileno(stream)) ? 1 : 0; }

#endif

}  // namespace platform
