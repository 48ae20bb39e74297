#ifndef DICOMTOOLKIT_PLATFORM_PLUGINEXPORT_H
#define DICOMTOOLKIT_PLATFORM_PLUGINEXPORT_H

// Marks a viewer plug-in entry point: C linkage, a plain undecorated name,
// the C calling convention, and the only symbols a plug-in makes visible.
#ifdef _WIN32
#define PLUGIN_EXPORT extern "C" __declspec(dllexport)
#define PLUGIN_CALL __cdecl
#else
#define PLUGIN_EXPORT extern "C" __attribute__((visibility("default")))
#define PLUGIN_CALL
#endif

#endif
