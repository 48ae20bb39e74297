#include "DynamicLibrary.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace platform {

#ifdef _WIN32

void* openLibrary(const char* path) { return reinterpret_cast<void*>(LoadLibraryA(path)); }

void* findFunction(void* library, const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

void closeLibrary(void* library) {
    if (library != nullptr) FreeLibrary(static_cast<HMODULE>(library));
}

const char* libraryError() { return "the library or function could not be loaded"; }

#else

void* openLibrary(const char* path) { return dlopen(path, RTLD_NOW | RTLD_LOCAL); }

void* findFunction(void* library, const char* name) { return dlsym(library, name); }

void closeLibrary(void* library) {
    if (library != nullptr) dlclose(library);
}

const char* libraryError() {
    const char* text = dlerror();
    return text != nullptr ? text : "no error";
}

#endif

}  // namespace platform
