// dicomtk convert: hands a DICOM file's image to a converter plug-in, loaded
// at run time as the viewer loads it, and writes the raster as a BMP file.

#include <cstdio>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "Commands.h"
#include "common/BmpWriter.h"
#include "common/OutputFile.h"
#include "platform/DynamicLibrary.h"
#include "platform/ExecutablePath.h"

namespace {

using ConvertFunction = int (*)(DataSet*, DataElement*, uint32_t, uint32_t, uint32_t, uint8_t*);
using OutputModeFunction = int (*)();

const char* const convertHelp =
    "usage: dicomtk convert --plugin lumenar|lumenar_interactive|tonewell|PATH IN OUT.bmp\n"
    "\n"
    "Loads the DICOM file IN, takes Rows (0028,0010), Columns (0028,0011) and\n"
    "the pixel data (7FE0,0010), loads the plug-in, calls OutputMode and then\n"
    "Convert as the viewer does, and writes the 8-bit raster as a grayscale BMP.\n"
    "A plug-in name means the plug-in built or installed beside dicomtk; any\n"
    "other text is taken as the path of a plug-in library. lumenar writes its\n"
    "log lumenar.tmp into the current directory. Compressed (encapsulated)\n"
    "pixel data are refused: the plug-ins take stored pixel values only.\n";

#ifdef _WIN32
const char* const libraryPrefix = "";
const char* const librarySuffix = ".dll";
#else
const char* const libraryPrefix = "lib";
const char* const librarySuffix = ".so";
#endif

std::string directoryOf(const std::string& path) {
    const size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

bool exists(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return false;
    std::fclose(file);
    return true;
}

// The plug-in library for a name or a path, or "" when there is none.
std::string pluginPath(const std::string& plugin, const std::string& programPath) {
    if (plugin == "lumenar" || plugin == "lumenar_interactive" || plugin == "tonewell") {
        const std::string file = libraryPrefix + plugin + librarySuffix;
        // The program's folder from the system, else from how it was called:
        // a dicomtk found through PATH was called without its folder.
        char executable[4096];
        const std::string directory =
            directoryOf(platform::executablePath(executable, sizeof executable) ? executable : programPath);
        // Beside dicomtk in the build tree, then lib/ of an install, then
        // lib/dicomtoolkit/ of the Debian package.
        for (const std::string& candidate : {directory + "/" + file, directory + "/../plugins/" + file,
                                             directory + "/../lib/" + file, directory + "/../lib/dicomtoolkit/" + file}) {
            if (exists(candidate)) return candidate;
        }
        return "";
    }
    if (plugin.find_first_of("/\\") != std::string::npos || plugin.find(librarySuffix) != std::string::npos) {
        return exists(plugin) ? plugin : "";
    }
    return "";
}

}  // namespace

int runConvert(const std::vector<std::string>& arguments, const std::string& programPath) {
    std::string plugin;
    std::vector<std::string> paths;
    for (size_t index = 0; index < arguments.size(); ++index) {
        const std::string& argument = arguments[index];
        if (argument == "--help" || argument == "-h") {
            std::cout << convertHelp;
            return 0;
        }
        if (argument == "--plugin" && index + 1 < arguments.size()) {
            plugin = arguments[++index];
        } else if (!argument.empty() && argument[0] == '-') {
            std::cerr << convertHelp;
            return fail("convert", "unknown option " + argument);
        } else {
            paths.push_back(argument);
        }
    }
    if (plugin.empty() || paths.size() != 2) {
        std::cerr << convertHelp;
        return 2;
    }
    const std::string& input = paths[0];
    const std::string& output = paths[1];
    const std::string library = pluginPath(plugin, programPath);
    if (library.empty()) return fail(plugin, "unknown plug-in");

    StandardEncodingService service;
    std::unique_ptr<ObjectDataSet> set(loadDicom(service, input));
    if (!set) return 1;
    // The plug-ins take stored pixel values; compressed fragments would give a garbage image.
    if (holdsEncapsulatedPixelData(set.get())) {
        return fail(input, "compressed pixel data (transfer syntax " + transferSyntaxOf(set.get()) +
                               ") is not supported by the plug-ins");
    }
    // Values keep the byte order of their file.
    const bool bigEndian = holdsBigEndianValues(set.get());
    auto attribute = [&](uint16_t group, uint16_t element) -> uint16_t {
        const uint16_t value = set->findU16(group, element);
        return bigEndian ? static_cast<uint16_t>(value << 8 | value >> 8) : value;
    };
    const uint32_t rows = attribute(0x0028, 0x0010);
    const uint32_t columns = attribute(0x0028, 0x0011);
    DataElement* pixels = set->find(0x7FE0, 0x0010);
    if (pixels == nullptr || pixels->value == nullptr || pixels->length == 0) return fail(input, "no pixel data");
    if (rows == 0 || columns == 0) return fail(input, "no image size (Rows, Columns)");
    const uint16_t bitsAllocated = attribute(0x0028, 0x0100);
    const uint64_t bytesPerSample = (bitsAllocated != 0 && bitsAllocated <= 8) ? 1 : 2;
    if (pixels->length < static_cast<uint64_t>(rows) * columns * bytesPerSample) {
        return fail(input, "pixel data shorter than rows x columns");
    }
    // The plug-ins read 16-bit samples little endian; a big-endian file keeps
    // its values as they were stored, so they are put in host order first.
    if (bytesPerSample == 2 && bigEndian) {
        for (uint32_t index = 0; index + 1 < pixels->length; index += 2) {
            const uint8_t first = pixels->value[index];
            pixels->value[index] = pixels->value[index + 1];
            pixels->value[index + 1] = first;
        }
    }

    void* handle = platform::openLibrary(library.c_str());
    if (handle == nullptr) return fail(library, std::string("cannot load plug-in: ") + platform::libraryError());
    auto convert = reinterpret_cast<ConvertFunction>(platform::findFunction(handle, "Convert"));
    auto outputMode = reinterpret_cast<OutputModeFunction>(platform::findFunction(handle, "OutputMode"));
    if (convert == nullptr || outputMode == nullptr) {
        platform::closeLibrary(handle);
        return fail(library, "not a converter plug-in (no Convert or OutputMode)");
    }
    const size_t stride = (columns + 3) / 4 * 4;
    std::vector<uint8_t> raster(stride * rows, 0);
    outputMode();
    convert(set.get(), pixels, rows, columns, 0, raster.data());
    platform::closeLibrary(handle);
    OutputFile file(output);
    if (writeGrayscaleBmp(file.path(), raster.data(), rows, columns) == 0 || file.commit() == 0) {
        return fail(output, "cannot write");
    }
    return 0;
}
