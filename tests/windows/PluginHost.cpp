// Windows test host: loads each plug-in DLL with LoadLibraryA, finds Convert
// and OutputMode with GetProcAddress, converts the same synthetic images as
// the Linux tests, and checks the rasters byte for byte and lumenar's log.
// A last check makes a thread fault after OutputMode and expects it to sleep
// while the process carries on.
//
//   plugin_host DLL_DIRECTORY
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <direct.h>
#include <string>
#include <vector>

#include "model/DataSet.h"

namespace {

using ConvertFunction = int(__cdecl*)(DataSet*, DataElement*, uint32_t, uint32_t, uint32_t, uint8_t*);
using OutputModeFunction = int(__cdecl*)();

int passed = 0, failed = 0;

void check(bool condition, const std::string& what) {
    if (condition) {
        ++passed;
    } else {
        ++failed;
        std::printf("FAILED: %s\n", what.c_str());
    }
}

DataElement* u16Element(uint16_t group, uint16_t element, uint16_t number) {
    auto* made = new DataElement(group, element, 2, 1);
    made->value[0] = static_cast<uint8_t>(number);
    made->value[1] = static_cast<uint8_t>(number >> 8);
    return made;
}

DataElement* pixels16(const std::vector<uint16_t>& samples) {
    auto* element = new DataElement(0x7FE0, 0x0010, static_cast<uint32_t>(samples.size() * 2), 1);
    std::memcpy(element->value, samples.data(), samples.size() * 2);
    return element;
}

std::string readFile(const char* path) {
    std::string content;
    std::FILE* file = std::fopen(path, "rb");
    if (file == nullptr) return content;
    char buffer[256];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) content.append(buffer, got);
    std::fclose(file);
    return content;
}

struct Plugin {
    explicit Plugin(const std::string& path) : module(LoadLibraryA(path.c_str())) {
        if (module == nullptr) return;
        convert = reinterpret_cast<ConvertFunction>(reinterpret_cast<void*>(GetProcAddress(module, "Convert")));
        outputMode = reinterpret_cast<OutputModeFunction>(reinterpret_cast<void*>(GetProcAddress(module, "OutputMode")));
    }
    ~Plugin() {
        if (module != nullptr) FreeLibrary(module);
    }
    HMODULE module;
    ConvertFunction convert = nullptr;
    OutputModeFunction outputMode = nullptr;
};

void checkLumenar(const std::string& path, bool interactive) {
    Plugin plugin(path);
    check(plugin.convert != nullptr && plugin.outputMode != nullptr, path + ": Convert and OutputMode found");
    if (plugin.convert == nullptr) return;

    DataSet set;
    set.addElement(u16Element(0x0028, 0x0100, 16));
    set.addElement(u16Element(0x0028, 0x0101, 12));
    // 2 x 3 pixels, stride 4: bytes 3 and 7 are padding.
    DataElement* pixels = pixels16({0x0ABC, 0x0123, 0x0FFF, 0x0000, 0x0800, 0x0456});
    std::vector<uint8_t> raster(8, 0xCD);
    check(plugin.convert(&set, pixels, 2, 3, 0, raster.data()) == 1, path + ": Convert returns 1");
    check(raster == std::vector<uint8_t>{0x00, 0x80, 0x45, 0xCD, 0xAB, 0x12, 0xFF, 0xCD}, path + ": 16-bit raster");
    // The runtime opens the log in text mode: each line ends in CR LF.
    check(readFile("lumenar.tmp") == "Convert Optimimal Bit Shift = 4\r\nMode = 0\r\n", path + ": log lines");

    DataSet eightBit;
    eightBit.addElement(u16Element(0x0028, 0x0100, 8));
    eightBit.addElement(u16Element(0x0028, 0x0101, 10));
    auto* bytes = new DataElement(0x7FE0, 0x0010, 6, 1);
    std::memcpy(bytes->value, "\x01\x02\x03\x04\x05\x06", 6);
    std::vector<uint8_t> raster8(8, 0xCD);
    plugin.convert(&eightBit, bytes, 2, 3, 0, raster8.data());
    check(raster8 == std::vector<uint8_t>{4, 5, 6, 0xCD, 1, 2, 3, 0xCD}, path + ": 8-bit raster");
    check(readFile("lumenar.tmp") == "Convert Optimimal Bit Shift = 2\r\nMode = 1\r\n", path + ": 8-bit log lines");

    // An unopenable log: the conversion still runs; only the interactive variant reports it.
    DeleteFileA("lumenar.tmp");
    CreateDirectoryA("lumenar.tmp", nullptr);
    std::vector<uint8_t> again(8, 0xCD);
    check(plugin.convert(&set, pixels, 2, 3, 0, again.data()) == 1 && again == raster,
          path + ": converts without its log" + (interactive ? " (message box on standard error)" : ""));
    RemoveDirectoryA("lumenar.tmp");
    delete pixels;
    delete bytes;
}

void checkTonewell(const std::string& path) {
    Plugin plugin(path);
    check(plugin.convert != nullptr && plugin.outputMode != nullptr, path + ": Convert and OutputMode found");
    if (plugin.convert == nullptr) return;
    DataElement* pixels = pixels16({0xFFFF, 0xF000, 0x0000, 0xFC00, 0xF800, 0xFFFE});
    std::vector<uint8_t> raster(8, 0xCD);
    check(plugin.convert(nullptr, pixels, 2, 3, 0, raster.data()) == 1, path + ": Convert returns 1");
    check(raster == std::vector<uint8_t>{60, 15, 234, 0xCD, 235, 1, 255, 0xCD}, path + ": raster");
    delete pixels;
}

DWORD WINAPI faultingThread(void*) {
    *static_cast<volatile int*>(nullptr) = 1;
    return 0;
}

void checkFaultFilter(const std::string& path) {
    Plugin plugin(path);
    if (plugin.outputMode == nullptr) return;
    check(plugin.outputMode() == 0, path + ": OutputMode returns 0");
    HANDLE thread = CreateThread(nullptr, 0, faultingThread, nullptr, 0, nullptr);
    // The faulting thread sleeps forever in the filter; this thread goes on.
    check(WaitForSingleObject(thread, 300) == WAIT_TIMEOUT, path + ": faulting thread sleeps, process lives on");
    CloseHandle(thread);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::printf("usage: plugin_host DLL_DIRECTORY\n");
        return 2;
    }
    const std::string directory = argv[1];
    char scratch[MAX_PATH];
    GetTempPathA(MAX_PATH, scratch);
    std::string workDirectory = std::string(scratch) + "plugin_host_" + std::to_string(GetCurrentProcessId());
    CreateDirectoryA(workDirectory.c_str(), nullptr);
    _chdir(workDirectory.c_str());
    SetEnvironmentVariableA("DICOMTOOLKIT_MESSAGE_BOX_TO_STDERR", "1");

    checkLumenar(directory + "\\lumenar.dll", false);
    checkLumenar(directory + "\\lumenar_interactive.dll", true);
    checkTonewell(directory + "\\tonewell.dll");
    checkFaultFilter(directory + "\\tonewell.dll");

    DeleteFileA("lumenar.tmp");
    _chdir(scratch);
    RemoveDirectoryA(workDirectory.c_str());
    std::printf("%d passed, %d failed\n", passed, failed);
    std::fflush(stdout);
    // The faulting thread never ends; leave without waiting for it.
    ExitProcess(failed == 0 ? 0 : 1);
}
