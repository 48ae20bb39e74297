#ifndef TESTS_PLUGINS_PLUGINLIBRARY_H
#define TESTS_PLUGINS_PLUGINLIBRARY_H

#include <cstdint>
#include <string>

#include "model/DataSet.h"
#include "platform/DynamicLibrary.h"

using ConvertFunction = int (*)(DataSet*, DataElement*, uint32_t, uint32_t, uint32_t, uint8_t*);
using OutputModeFunction = int (*)();

// A plug-in loaded at run time by path, its two entry points found by name,
// as the viewer does it.
struct PluginLibrary {
    explicit PluginLibrary(const std::string& path) : handle(platform::openLibrary(path.c_str())) {
        if (handle == nullptr) return;
        convert = reinterpret_cast<ConvertFunction>(platform::findFunction(handle, "Convert"));
        outputMode = reinterpret_cast<OutputModeFunction>(platform::findFunction(handle, "OutputMode"));
    }
    ~PluginLibrary() { platform::closeLibrary(handle); }
    PluginLibrary(const PluginLibrary&) = delete;
    PluginLibrary& operator=(const PluginLibrary&) = delete;

    bool loaded() const { return handle != nullptr && convert != nullptr && outputMode != nullptr; }

    void* handle;
    ConvertFunction convert = nullptr;
    OutputModeFunction outputMode = nullptr;
};

#endif
