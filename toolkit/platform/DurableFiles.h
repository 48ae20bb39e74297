#ifndef DICOMTOOLKIT_PLATFORM_DURABLEFILES_H
#define DICOMTOOLKIT_PLATFORM_DURABLEFILES_H

#include <cstdio>

namespace platform {

// What makes a written file durable and puts it in place atomically: the
// file's data reaches the disk (syncFile), a finished temporary file
// replaces the target in one step, so that a reader sees the old file or
// the new one and never a part (replaceFile), and the directory entry
// itself reaches the disk (syncDirectory). Each returns 1 on success, 0 on
// failure.
int syncFile(const char* path);
int replaceFile(const char* from, const char* to);
int syncDirectory(const char* path);

// Whether the stream is a terminal (for progress displays).
int isTerminal(std::FILE* stream);

}  // namespace platform

#endif
