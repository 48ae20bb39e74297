#include "SharedFile.h"

#ifdef _WIN32
#include <share.h>
#endif

namespace platform {

#ifdef _WIN32

std::FILE* openDenyingWriters(const char* path) { return _fsopen(path, "rb", _SH_DENYWR); }
std::FILE* openTextDenyingWriters(const char* path) { return _fsopen(path, "r", _SH_DENYWR); }

#else

std::FILE* openDenyingWriters(const char* path) { return std::fopen(path, "rb"); }
std::FILE* openTextDenyingWriters(const char* path) { return std::fopen(path, "r"); }

#endif

}  // namespace platform
