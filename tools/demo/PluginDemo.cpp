// Host program standing in for the viewer: loads each converter plug-in by
// path, finds Convert and OutputMode by name, hands them a synthetic 12-bit
// image, and writes every raster as a grayscale BMP.
//
//   plugin_demo OUTPUT_DIRECTORY PLUGIN_PATH...
//
// lumenar writes its log "lumenar.tmp" into the current directory; its lines
// are printed after each lumenar conversion.

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "common/BmpWriter.h"
#include "model/DataSet.h"
#include "platform/DynamicLibrary.h"

namespace {

using ConvertFunction = int (*)(DataSet*, DataElement*, uint32_t, uint32_t, uint32_t, uint8_t*);
using OutputModeFunction = int (*)();

constexpr uint32_t rows = 512;
constexpr uint32_t columns = 512;

DataElement* u16Element(uint16_t group, uint16_t element, uint16_t number) {
    auto* made = new DataElement(group, element, 2, 1);
    made->value[0] = static_cast<uint8_t>(number);
    made->value[1] = static_cast<uint8_t>(number >> 8);
    return made;
}

// A 12-bit test image: a diagonal gradient with a bright disc, a dark square
// and a ring, so that orientation and scaling are visible at a glance.
// offset is added to every stored value (0xF000 moves the image into the
// signed range -4096..-1 that tonewell's table spreads out).
DataElement* syntheticImage(uint16_t offset) {
    auto* pixels = new DataElement(0x7FE0, 0x0010, rows * columns * 2, 1);
    for (uint32_t row = 0; row < rows; ++row) {
        for (uint32_t column = 0; column < columns; ++column) {
            double level = (row + column) * 4095.0 / (rows + columns - 2) * 0.6;
            const double dx = column - 160.0, dy = row - 150.0;
            const double distance = std::sqrt(dx * dx + dy * dy);
            if (distance < 80) level = 4095;
            if (column > 300 && column < 440 && row > 60 && row < 200) level = 300;
            const double ringDistance = std::hypot(column - 350.0, row - 370.0);
            if (ringDistance > 70 && ringDistance < 95) level = 3200;
            if (row < 16 && column < 16) level = 4095;  // first stored row: top-left marker
            const uint16_t stored = static_cast<uint16_t>(static_cast<uint16_t>(level) + offset);
            const size_t index = (static_cast<size_t>(row) * columns + column) * 2;
            pixels->value[index] = static_cast<uint8_t>(stored);
            pixels->value[index + 1] = static_cast<uint8_t>(stored >> 8);
        }
    }
    return pixels;
}

std::string baseName(const std::string& path) {
    std::string name = path.substr(path.find_last_of("/\\") + 1);
    if (name.rfind("lib", 0) == 0) name = name.substr(3);
    return name.substr(0, name.find('.'));
}

int convertWith(const std::string& path, const std::string& outputDirectory, DataSet* image, DataElement* pixels,
                const std::string& suffix) {
    void* library = platform::openLibrary(path.c_str());
    if (library == nullptr) {
        std::cerr << path << ": cannot load: " << platform::libraryError() << "\n";
        return 0;
    }
    auto convert = reinterpret_cast<ConvertFunction>(platform::findFunction(library, "Convert"));
    auto outputMode = reinterpret_cast<OutputModeFunction>(platform::findFunction(library, "OutputMode"));
    if (convert == nullptr || outputMode == nullptr) {
        std::cerr << path << ": Convert or OutputMode not found\n";
        platform::closeLibrary(library);
        return 0;
    }
    const uint32_t stride = (columns + 3) / 4 * 4;
    std::vector<uint8_t> raster(static_cast<size_t>(stride) * rows, 0);
    std::remove("lumenar.tmp");
    const int mode = outputMode();
    const int converted = convert(image, pixels, rows, columns, 0, raster.data());
    const std::string name = baseName(path);
    const std::string output = outputDirectory + "/" + name + suffix + ".bmp";
    const int written = writeGrayscaleBmp(output, raster.data(), rows, columns);
    std::cout << name << suffix << ": OutputMode returned " << mode << ", Convert returned " << converted << ", "
              << (written ? "wrote " + output : "could not write " + output) << "\n";
    std::ifstream log("lumenar.tmp");
    if (log) {
        std::string line;
        while (std::getline(log, line)) std::cout << "  lumenar.tmp: " << line << "\n";
    }
    platform::closeLibrary(library);
    return converted == 1 && written == 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::cerr << "usage: plugin_demo OUTPUT_DIRECTORY PLUGIN_PATH...\n";
        return 2;
    }
    const std::string outputDirectory = argv[1];
    DataSet image;
    image.addElement(u16Element(0x0028, 0x0100, 16));  // Bits Allocated
    image.addElement(u16Element(0x0028, 0x0101, 12));  // Bits Stored
    image.addElement(u16Element(0x0028, 0x0010, rows));
    image.addElement(u16Element(0x0028, 0x0011, columns));
    std::unique_ptr<DataElement> pixels(syntheticImage(0));
    std::unique_ptr<DataElement> signedPixels(syntheticImage(0xF000));

    int failures = 0;
    for (int index = 2; index < argc; ++index) {
        const std::string path = argv[index];
        if (convertWith(path, outputDirectory, &image, pixels.get(), "") == 0) ++failures;
        // tonewell's table maps only stored values 0xF000..0xFFFF (signed -4096..-1)
        // below white; the same image in that range shows its curve.
        if (baseName(path) == "tonewell" &&
            convertWith(path, outputDirectory, &image, signedPixels.get(), "_signed") == 0) {
            ++failures;
        }
    }
    return failures == 0 ? 0 : 1;
}
