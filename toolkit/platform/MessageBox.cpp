#include "MessageBox.h"

#include <cstdio>

#ifdef _WIN32
#include <windows.h>
#endif

namespace platform {

#ifdef _WIN32

void showMessageBox(const char* title, const char* text) { MessageBoxA(nullptr, text, title, MB_OK); }

#else

void showMessageBox(const char* title, const char* text) {
    std::fprintf(stderr, "%s: %s\n", title, text);
    std::fflush(stderr);
}

#endif

}  // namespace platform
