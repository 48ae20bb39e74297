// Writes what the Linux plug-ins make of the images of RasterCases.h, for
// the Windows host to compare the DLLs against: PLUGIN.CASE.raster (the
// whole destination buffer, padding included) and, for lumenar,
// PLUGIN.CASE.log (its log file after that conversion).
//
//   windows_reference FOLDER LUMENAR LUMENAR_INTERACTIVE TONEWELL
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <vector>

#include "RasterCases.h"
#include "platform/DynamicLibrary.h"

namespace {

using ConvertFunction = int (*)(DataSet*, DataElement*, uint32_t, uint32_t, uint32_t, uint8_t*);

bool writeFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(file);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: windows_reference FOLDER LUMENAR LUMENAR_INTERACTIVE TONEWELL\n");
        return 2;
    }
    namespace fs = std::filesystem;
    const fs::path folder = fs::absolute(argv[1]);
    const std::string paths[] = {fs::absolute(argv[2]).string(), fs::absolute(argv[3]).string(),
                                 fs::absolute(argv[4]).string()};
    std::error_code error;
    fs::create_directories(folder, error);
    fs::current_path(folder, error);
    if (error) {
        std::fprintf(stderr, "windows_reference: cannot work in %s\n", folder.c_str());
        return 1;
    }
    int written = 0;
    for (int index = 0; index < 3; ++index) {
        const std::string plugin = rastercases::plugins[index];
        void* library = platform::openLibrary(paths[index].c_str());
        void* convert = library != nullptr ? platform::findFunction(library, "Convert") : nullptr;
        if (convert == nullptr) {
            std::fprintf(stderr, "windows_reference: %s: %s\n", paths[index].c_str(), platform::libraryError());
            return 1;
        }
        for (const rastercases::RasterCase& image : rastercases::cases) {
            if (!rastercases::converts(plugin, image)) continue;
            fs::remove("lumenar.tmp", error);
            const std::vector<uint8_t> raster = rastercases::convert(reinterpret_cast<ConvertFunction>(convert), image);
            if (raster.empty() || !writeFile(rastercases::referenceName(plugin, image, "raster"), raster)) {
                std::fprintf(stderr, "windows_reference: %s, %s: no raster\n", plugin.c_str(), image.name);
                return 1;
            }
            if (rastercases::writesLog(plugin)) {
                fs::rename("lumenar.tmp", rastercases::referenceName(plugin, image, "log"), error);
                if (error) {
                    std::fprintf(stderr, "windows_reference: %s, %s: no log\n", plugin.c_str(), image.name);
                    return 1;
                }
            }
            ++written;
        }
        platform::closeLibrary(library);
    }
    std::printf("windows_reference: %d rasters in %s\n", written, folder.c_str());
    return 0;
}
