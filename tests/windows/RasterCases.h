#ifndef TESTS_WINDOWS_RASTERCASES_H
#define TESTS_WINDOWS_RASTERCASES_H

// The images that the Linux build converts with its plug-ins and writes as
// reference rasters, and that the Windows host converts with the DLLs and
// compares byte for byte. Both programs build every image from this table
// with the same arithmetic, so both convert the same inputs.

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "model/DataSet.h"

namespace rastercases {

enum class Samples {
    unsigned12,     // 0x000..0xFFF
    full16,         // 0x0000..0xFFFF
    signed12,       // -2048..2047 as 16-bit two's complement; the first sample negative
    negative12,     // -2048..-1: the first sample and every sampled one negative
    signed16,       // -32768..32767; the first sample positive
    below0x400,     // 10 bits stored
    below0x80,      // the highest bit in use is bit 6
    tonewellRange,  // 0xF000..0xFFFF, where tonewell's curve lies, with some zeros
    bytes,          // one byte a pixel (8-bit mode)
};

struct RasterCase {
    const char* name;
    uint16_t bitsAllocated;  // 0: the attribute is absent
    uint16_t bitsStored;     // 0: the attribute is absent
    uint32_t rows;
    uint32_t columns;
    Samples samples;
};

// Odd widths leave 1 to 3 padding bytes a row; 64 leaves none. The larger
// images reach lumenar's sampling, which starts at pixel 100.
const RasterCase cases[] = {
    {"unsigned12_7x5", 16, 12, 5, 7, Samples::unsigned12},
    {"unsigned12_37x29", 16, 12, 29, 37, Samples::unsigned12},
    {"full16_64x3", 16, 16, 3, 64, Samples::full16},
    {"signed12_13x11", 16, 12, 11, 13, Samples::signed12},
    {"negative12_19x8", 16, 12, 8, 19, Samples::negative12},
    {"signed16_31x9", 16, 16, 9, 31, Samples::signed16},
    {"bits10_9x14", 16, 10, 14, 9, Samples::below0x400},
    {"below0x80_15x10", 16, 12, 10, 15, Samples::below0x80},
    {"no_attributes_11x13", 0, 0, 13, 11, Samples::unsigned12},
    {"tonewell_range_17x6", 16, 16, 6, 17, Samples::tonewellRange},
    {"eight_bit_13x7", 8, 8, 7, 13, Samples::bytes},
    {"eight_bit_bits10_6x3", 8, 10, 3, 6, Samples::bytes},
};

inline bool isEightBit(const RasterCase& image) { return image.samples == Samples::bytes; }

inline uint32_t strideOf(uint32_t columns) { return (columns + 3) / 4 * 4; }

// The pixel values: a fixed linear congruential sequence, the same on every
// system.
inline std::vector<uint8_t> pixelBytes(const RasterCase& image) {
    const uint32_t count = image.rows * image.columns;
    std::vector<uint8_t> bytes;
    uint32_t state = 12345u + count;
    for (uint32_t index = 0; index < count; ++index) {
        state = state * 1103515245u + 12345u;
        const uint32_t draw = state >> 8;
        uint16_t sample = 0;
        switch (image.samples) {
            case Samples::unsigned12: sample = static_cast<uint16_t>(draw & 0x0FFF); break;
            case Samples::full16: sample = static_cast<uint16_t>(draw); break;
            case Samples::signed12:
                sample = static_cast<uint16_t>(static_cast<int16_t>(static_cast<int32_t>(draw % 4096) - 2048));
                if (index == 0) sample = 0xF800;
                break;
            case Samples::negative12: sample = static_cast<uint16_t>(0xF800 | (draw & 0x07FF)); break;
            case Samples::signed16:
                sample = static_cast<uint16_t>(draw);
                if (index == 0) sample = 0x1234;
                break;
            case Samples::below0x400: sample = static_cast<uint16_t>(draw & 0x03FF); break;
            case Samples::below0x80: sample = static_cast<uint16_t>(draw & 0x007F); break;
            case Samples::tonewellRange: sample = draw % 5 == 0 ? 0 : static_cast<uint16_t>(0xF000 | (draw & 0x0FFF)); break;
            case Samples::bytes: bytes.push_back(static_cast<uint8_t>(draw)); continue;
        }
        bytes.push_back(static_cast<uint8_t>(sample));
        bytes.push_back(static_cast<uint8_t>(sample >> 8));
    }
    return bytes;
}

inline DataElement* u16Element(uint16_t group, uint16_t element, uint16_t number) {
    auto* made = new DataElement(group, element, 2, 1);
    made->value[0] = static_cast<uint8_t>(number);
    made->value[1] = static_cast<uint8_t>(number >> 8);
    return made;
}

// Converts the image as the viewer does: a data set in its filling state,
// the pixel element, and a destination that holds rows x stride bytes, here
// filled with 0xCD first so that the padding bytes show they are left alone.
template <typename ConvertFunction>
std::vector<uint8_t> convert(ConvertFunction convertImage, const RasterCase& image) {
    DataSet set;
    if (image.bitsAllocated != 0) set.addElement(u16Element(0x0028, 0x0100, image.bitsAllocated));
    if (image.bitsStored != 0) set.addElement(u16Element(0x0028, 0x0101, image.bitsStored));
    const std::vector<uint8_t> bytes = pixelBytes(image);
    DataElement pixels(0x7FE0, 0x0010, static_cast<uint32_t>(bytes.size()), 1);
    std::memcpy(pixels.value, bytes.data(), bytes.size());
    std::vector<uint8_t> raster(static_cast<size_t>(image.rows) * strideOf(image.columns), 0xCD);
    if (convertImage(&set, &pixels, image.rows, image.columns, 0, raster.data()) != 1) raster.clear();
    return raster;
}

// The plug-ins of the comparison; tonewell reads 16-bit samples only.
const char* const plugins[] = {"lumenar", "lumenar_interactive", "tonewell"};

inline bool converts(const std::string& plugin, const RasterCase& image) {
    return plugin != "tonewell" || !isEightBit(image);
}

inline bool writesLog(const std::string& plugin) { return plugin != "tonewell"; }

// File names in the reference folder: PLUGIN.CASE.raster and PLUGIN.CASE.log.
inline std::string referenceName(const std::string& plugin, const RasterCase& image, const char* kind) {
    return plugin + "." + image.name + "." + kind;
}

}  // namespace rastercases

#endif
