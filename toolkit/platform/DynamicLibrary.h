#ifndef DICOMTOOLKIT_PLATFORM_DYNAMICLIBRARY_H
#define DICOMTOOLKIT_PLATFORM_DYNAMICLIBRARY_H

namespace platform {

// Loading a plug-in as the viewer does: by path, then its functions by name.
void* openLibrary(const char* path);
void* findFunction(void* library, const char* name);
void closeLibrary(void* library);
// The loader's last error text, for messages.
const char* libraryError();

}  // namespace platform

#endif
