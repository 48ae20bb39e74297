#include "Pages.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/mman.h>
#endif
#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace platform {

#ifdef _WIN32

uint8_t* allocatePages(uint32_t size) {
    if (size == 0) return nullptr;
    return static_cast<uint8_t*>(VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
}

void releasePages(uint8_t* pages, uint32_t) {
    if (pages != nullptr) VirtualFree(pages, 0, MEM_RELEASE);
}

#else

uint8_t* allocatePages(uint32_t size) {
    if (size == 0) return nullptr;
    void* pages = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return pages == MAP_FAILED ? nullptr : static_cast<uint8_t*>(pages);
}

void releasePages(uint8_t* pages, uint32_t size) {
    if (pages != nullptr) munmap(pages, size);
}

#endif

void keepFreedMemoryForReuse() {
#ifdef __GLIBC__
    mallopt(M_MMAP_THRESHOLD, 4 << 20);
    mallopt(M_TRIM_THRESHOLD, 16 << 20);
#endif
}

}  // namespace platform
