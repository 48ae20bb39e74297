#ifndef DICOMTOOLKIT_PLATFORM_SHAREDFILE_H
#define DICOMTOOLKIT_PLATFORM_SHAREDFILE_H

#include <cstdio>

namespace platform {

// Opens a file for reading ("rb") so that no other process may write it while
// it is open; other readers are allowed. Where the platform has no such
// sharing mode (Linux), a plain open.
std::FILE* openDenyingWriters(const char* path);
// The same in text mode ("r"): on Windows a carriage return before a line
// feed does not reach the reader.
std::FILE* openTextDenyingWriters(const char* path);

}  // namespace platform

#endif
