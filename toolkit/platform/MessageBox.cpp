#include "MessageBox.h"

#include <cstdio>
#include <cstdlib>

#ifdef _WIN32
#include <windows.h>
#endif

namespace platform {

namespace {

void writeToStandardError(const char* title, const char* text) {
    std::fprintf(stderr, "%s: %s\n", title, text);
    std::fflush(stderr);
}

}  // namespace

#ifdef _WIN32

// A test host without a desktop sets DICOMTOOLKIT_MESSAGE_BOX_TO_STDERR to
// see the message instead of a window that nobody can dismiss.
void showMessageBox(const char* title, const char* text) {
    const char* redirect = std::getenv("DICOMTOOLKIT_MESSAGE_BOX_TO_STDERR");
    if (redirect != nullptr && redirect[0] != '\0') {
        writeToStandardError(title, text);
        return;
    }
    MessageBoxA(nullptr, text, title, MB_OK);
}

#else

void showMessageBox(const char* title, const char* text) { writeToStandardError(title, text); }

#endif

}  // namespace platform
