#ifndef DICOMTOOLKIT_PLATFORM_PAGES_H
#define DICOMTOOLKIT_PLATFORM_PAGES_H

#include <cstdint>

namespace platform {

// Memory straight from the system in whole pages, for large buffers: given
// back with releasePages, it leaves the process at once (a large buffer from
// the heap may stay resident after it is freed). nullptr when the system has
// none to give.
uint8_t* allocatePages(uint32_t size);
void releasePages(uint8_t* pages, uint32_t size);

// For a program that handles one object after another (a storage server,
// a sender): freed heap memory of up to a few MiB is kept for the next
// object instead of being returned to the system and faulted in again, and
// buffers of up to 4 MiB come from the heap. Larger buffers still come
// straight from the system and leave with their object. Nothing where the
// C library has no such settings.
void keepFreedMemoryForReuse();

}  // namespace platform

#endif
