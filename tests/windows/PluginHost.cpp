// Windows test host: loads the plug-in DLLs as the viewer does (LoadLibraryA,
// then Convert and OutputMode by name with GetProcAddress) and checks them
// inside a 32-bit Windows process. One check a run, chosen by the first
// argument:
//
//   plugin_host loads DLL_FOLDER       each DLL loads and gives both entry points;
//                                      small rasters and lumenar's log lines, checked by value
//   plugin_host rasters DLL_FOLDER REFERENCE_FOLDER
//                                      every image of RasterCases.h converted by each
//                                      DLL, byte for byte the Linux build's raster and log
//   plugin_host fault DLL              after OutputMode, threads that fault in four ways
//                                      sleep while the process goes on
//   plugin_host no-filter              without OutputMode, a child whose thread faults dies
//   plugin_host unfiltered-fault       (that child)
//   plugin_host message-box DLL_FOLDER lumenar with an unwritable log, in a child process:
//                                      the interactive variant's message on standard error
//   plugin_host unlogged DLL           (the child: one conversion with lumenar.tmp a folder)
//
// Each prints one line per failed check and "N passed, N failed", and exits
// with 0 only when every check passed. Conversions run in a fresh folder of
// the temporary folder, where lumenar writes its log.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <direct.h>
#include <string>
#include <vector>

#include "RasterCases.h"
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

[[noreturn]] void finish() {
    std::printf("%d passed, %d failed\n", passed, failed);
    std::fflush(stdout);
    // A faulting thread may sleep forever; leave without waiting for it.
    ExitProcess(failed == 0 && passed > 0 ? 0 : 1);
}

DataElement* pixels16(const std::vector<uint16_t>& samples) {
    auto* element = new DataElement(0x7FE0, 0x0010, static_cast<uint32_t>(samples.size() * 2), 1);
    std::memcpy(element->value, samples.data(), samples.size() * 2);
    return element;
}

std::string readFile(const std::string& path) {
    std::string content;
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return content;
    char buffer[4096];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) content.append(buffer, got);
    std::fclose(file);
    return content;
}

bool fileExists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// Text written in text mode ends its lines in CR LF; Linux's in LF.
std::string withLinuxLineEnds(const std::string& text) {
    std::string result;
    for (size_t index = 0; index < text.size(); ++index) {
        if (text[index] == '\r' && index + 1 < text.size() && text[index + 1] == '\n') continue;
        result += text[index];
    }
    return result;
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
    Plugin(const Plugin&) = delete;
    Plugin& operator=(const Plugin&) = delete;
    HMODULE module;
    ConvertFunction convert = nullptr;
    OutputModeFunction outputMode = nullptr;
};

// Moves into a fresh folder of the temporary folder.
void workInFreshFolder() {
    char temporary[MAX_PATH];
    GetTempPathA(MAX_PATH, temporary);
    const std::string folder = std::string(temporary) + "plugin_host_" + std::to_string(GetCurrentProcessId());
    CreateDirectoryA(folder.c_str(), nullptr);
    _chdir(folder.c_str());
}

void checkLumenar(const std::string& path) {
    Plugin plugin(path);
    check(plugin.module != nullptr, path + ": LoadLibraryA");
    check(plugin.convert != nullptr && plugin.outputMode != nullptr, path + ": Convert and OutputMode found");
    if (plugin.convert == nullptr) return;

    DataSet set;
    set.addElement(rastercases::u16Element(0x0028, 0x0100, 16));
    set.addElement(rastercases::u16Element(0x0028, 0x0101, 12));
    // 2 x 3 pixels, stride 4: bytes 3 and 7 are padding.
    DataElement* pixels = pixels16({0x0ABC, 0x0123, 0x0FFF, 0x0000, 0x0800, 0x0456});
    std::vector<uint8_t> raster(8, 0xCD);
    check(plugin.convert(&set, pixels, 2, 3, 0, raster.data()) == 1, path + ": Convert returns 1");
    check(raster == std::vector<uint8_t>{0x00, 0x80, 0x45, 0xCD, 0xAB, 0x12, 0xFF, 0xCD}, path + ": 16-bit raster");
    // The runtime opens the log in text mode: each line ends in CR LF.
    check(readFile("lumenar.tmp") == "Convert Optimimal Bit Shift = 4\r\nMode = 0\r\n", path + ": log lines");

    DataSet eightBit;
    eightBit.addElement(rastercases::u16Element(0x0028, 0x0100, 8));
    eightBit.addElement(rastercases::u16Element(0x0028, 0x0101, 10));
    auto* bytes = new DataElement(0x7FE0, 0x0010, 6, 1);
    std::memcpy(bytes->value, "\x01\x02\x03\x04\x05\x06", 6);
    std::vector<uint8_t> raster8(8, 0xCD);
    plugin.convert(&eightBit, bytes, 2, 3, 0, raster8.data());
    check(raster8 == std::vector<uint8_t>{4, 5, 6, 0xCD, 1, 2, 3, 0xCD}, path + ": 8-bit raster");
    check(readFile("lumenar.tmp") == "Convert Optimimal Bit Shift = 2\r\nMode = 1\r\n", path + ": 8-bit log lines");
    DeleteFileA("lumenar.tmp");
    delete pixels;
    delete bytes;
}

void checkTonewell(const std::string& path) {
    Plugin plugin(path);
    check(plugin.module != nullptr, path + ": LoadLibraryA");
    check(plugin.convert != nullptr && plugin.outputMode != nullptr, path + ": Convert and OutputMode found");
    if (plugin.convert == nullptr) return;
    DataElement* pixels = pixels16({0xFFFF, 0xF000, 0x0000, 0xFC00, 0xF800, 0xFFFE});
    std::vector<uint8_t> raster(8, 0xCD);
    check(plugin.convert(nullptr, pixels, 2, 3, 0, raster.data()) == 1, path + ": Convert returns 1");
    check(raster == std::vector<uint8_t>{60, 15, 234, 0xCD, 235, 1, 255, 0xCD}, path + ": raster");
    delete pixels;
}

void checkLoads(const std::string& folder) {
    workInFreshFolder();
    checkLumenar(folder + "\\lumenar.dll");
    checkLumenar(folder + "\\lumenar_interactive.dll");
    checkTonewell(folder + "\\tonewell.dll");
}

void checkRasters(const std::string& folder, const std::string& reference) {
    workInFreshFolder();
    for (const char* name : rastercases::plugins) {
        const std::string plugin = name;
        Plugin library(folder + "\\" + plugin + ".dll");
        check(library.convert != nullptr, plugin + ".dll: Convert found");
        if (library.convert == nullptr) continue;
        for (const rastercases::RasterCase& image : rastercases::cases) {
            if (!rastercases::converts(plugin, image)) continue;
            const std::string what = plugin + ", " + image.name;
            const std::string expected = reference + "\\" + rastercases::referenceName(plugin, image, "raster");
            check(fileExists(expected), what + ": Linux raster " + expected);
            DeleteFileA("lumenar.tmp");
            const std::vector<uint8_t> raster = rastercases::convert(library.convert, image);
            check(std::string(raster.begin(), raster.end()) == readFile(expected), what + ": raster as on Linux");
            if (rastercases::writesLog(plugin)) {
                const std::string log = reference + "\\" + rastercases::referenceName(plugin, image, "log");
                check(fileExists(log) && withLinuxLineEnds(readFile("lumenar.tmp")) == readFile(log),
                      what + ": log lines as on Linux");
            }
        }
    }
    DeleteFileA("lumenar.tmp");
}

// The thread announces the fault it is about to make, then makes it.
struct Fault {
    const char* name;
    void (*make)();
    HANDLE announced;
};

void accessViolation() { *static_cast<volatile int*>(nullptr) = 1; }

void divideByZero() {
    // Both volatile: 1 / x needs no division instruction.
    volatile int dividend = 1, zero = 0;
    volatile int quotient = dividend / zero;
    (void)quotient;
}

void illegalInstruction() { __builtin_trap(); }

void unhandledSoftwareException() { RaiseException(0xE0000001, 0, 0, nullptr); }

DWORD WINAPI faultingThread(void* parameter) {
    Fault* fault = static_cast<Fault*>(parameter);
    SetEvent(fault->announced);
    fault->make();
    return 0;
}

void checkFaultFilter(const std::string& path) {
    Plugin plugin(path);
    check(plugin.outputMode != nullptr, path + ": OutputMode found");
    if (plugin.outputMode == nullptr) return;
    check(plugin.outputMode() == 0, path + ": OutputMode returns 0");
    Fault faults[] = {{"access violation", accessViolation, nullptr},
                      {"integer division by zero", divideByZero, nullptr},
                      {"illegal instruction", illegalInstruction, nullptr},
                      {"software exception nobody handles", unhandledSoftwareException, nullptr}};
    std::vector<HANDLE> threads;
    for (Fault& fault : faults) {
        fault.announced = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        HANDLE thread = CreateThread(nullptr, 0, faultingThread, &fault, 0, nullptr);
        check(WaitForSingleObject(fault.announced, 60000) == WAIT_OBJECT_0, path + ": thread started: " + fault.name);
        // Without the filter the fault ends the process here.
        check(WaitForSingleObject(thread, 1000) == WAIT_TIMEOUT, path + ": faulting thread sleeps: " + fault.name);
        threads.push_back(thread);
    }
    Sleep(1000);
    for (size_t index = 0; index < threads.size(); ++index) {
        DWORD code = 0;
        check(GetExitCodeThread(threads[index], &code) && code == STILL_ACTIVE,
              path + ": still asleep a second later: " + faults[index].name);
    }
}

// Starts this program again with ARGUMENTS; its standard error is returned
// in errors, its exit status in status. A quiet child's standard output goes
// to NUL.
bool runChild(const std::string& arguments, std::string& errors, DWORD& status, bool quiet = false) {
    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) return false;
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOA startup;
    std::memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    HANDLE nul = quiet ? CreateFileA("NUL", GENERIC_WRITE, FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr)
                       : INVALID_HANDLE_VALUE;
    startup.hStdOutput = quiet ? nul : GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = writeEnd;
    std::string commandLine = "\"" + std::string(self) + "\" " + arguments;
    PROCESS_INFORMATION child;
    const BOOL started =
        CreateProcessA(nullptr, &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &child);
    CloseHandle(writeEnd);
    if (nul != INVALID_HANDLE_VALUE) CloseHandle(nul);
    if (!started) {
        CloseHandle(readEnd);
        return false;
    }
    char buffer[512];
    DWORD got = 0;
    while (ReadFile(readEnd, buffer, sizeof buffer, &got, nullptr) && got > 0) errors.append(buffer, got);
    CloseHandle(readEnd);
    const bool ended = WaitForSingleObject(child.hProcess, 120000) == WAIT_OBJECT_0;
    if (!ended) TerminateProcess(child.hProcess, 1);
    GetExitCodeProcess(child.hProcess, &status);
    CloseHandle(child.hProcess);
    CloseHandle(child.hThread);
    return ended;
}

void checkUnfilteredFaultKills() {
    // Wine's default handler starts its debugger, which reports at length.
    std::string errors;
    DWORD status = 0;
    check(runChild("unfiltered-fault", errors, status, true), "the child with no filter ends");
    check(status == EXCEPTION_ACCESS_VIOLATION, "without OutputMode a faulting thread ends the process (status " +
                                                    std::to_string(status) + ")");
}

// The child of the message-box check: one conversion whose log cannot be opened.
void convertUnlogged(const std::string& path) {
    workInFreshFolder();
    CreateDirectoryA("lumenar.tmp", nullptr);
    Plugin plugin(path);
    check(plugin.convert != nullptr, path + ": Convert found");
    if (plugin.convert == nullptr) return;
    DataSet set;
    set.addElement(rastercases::u16Element(0x0028, 0x0100, 16));
    set.addElement(rastercases::u16Element(0x0028, 0x0101, 12));
    DataElement* pixels = pixels16({0x0ABC, 0x0123, 0x0FFF, 0x0000, 0x0800, 0x0456});
    std::vector<uint8_t> raster(8, 0xCD);
    check(plugin.convert(&set, pixels, 2, 3, 0, raster.data()) == 1 &&
              raster == std::vector<uint8_t>{0x00, 0x80, 0x45, 0xCD, 0xAB, 0x12, 0xFF, 0xCD},
          path + ": converts without its log");
    RemoveDirectoryA("lumenar.tmp");
    delete pixels;
}

void checkMessageBox(const std::string& folder) {
    // No desktop here: the message box is told to write to standard error.
    SetEnvironmentVariableA("DICOMTOOLKIT_MESSAGE_BOX_TO_STDERR", "1");
    const struct {
        const char* dll;
        const char* expected;
    } variants[] = {
        {"lumenar_interactive.dll", "Could not open lumenar.tmp: Error\r\n"},
        {"lumenar.dll", ""},  // the quiet variant says nothing
    };
    for (const auto& variant : variants) {
        std::string errors;
        DWORD status = 1;
        const std::string path = folder + "\\" + variant.dll;
        check(runChild("unlogged \"" + path + "\"", errors, status) && status == 0, path + ": the child converts");
        check(errors == variant.expected, path + ": standard error holds \"" + variant.expected + "\", not \"" +
                                              errors + "\"");
    }
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "loads" && argc == 3) {
        checkLoads(argv[2]);
    } else if (mode == "rasters" && argc == 4) {
        checkRasters(argv[2], argv[3]);
    } else if (mode == "fault" && argc == 3) {
        checkFaultFilter(argv[2]);
    } else if (mode == "no-filter") {
        checkUnfilteredFaultKills();
    } else if (mode == "unfiltered-fault") {
        // No debugger, no dialog: the process ends with the exception's code.
        SetErrorMode(SEM_NOGPFAULTERRORBOX | SEM_FAILCRITICALERRORS);
        Fault fault = {"access violation", accessViolation, CreateEventA(nullptr, TRUE, FALSE, nullptr)};
        WaitForSingleObject(CreateThread(nullptr, 0, faultingThread, &fault, 0, nullptr), 60000);
        std::printf("the process outlived its faulting thread\n");
        ExitProcess(0);
    } else if (mode == "message-box" && argc == 3) {
        checkMessageBox(argv[2]);
    } else if (mode == "unlogged" && argc == 3) {
        convertUnlogged(argv[2]);
    } else {
        std::printf("usage: plugin_host loads|rasters|fault|no-filter|message-box ... (see PluginHost.cpp)\n");
        return 2;
    }
    finish();
}
