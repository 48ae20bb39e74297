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

}  // namespace platform

#endif
