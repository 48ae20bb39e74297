#ifndef TESTS_PLUGINS_IMAGEFIXTURES_H
#define TESTS_PLUGINS_IMAGEFIXTURES_H

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "../support/DataSetText.h"
#include "model/DataSet.h"

// Pixel elements and image data sets as the viewer hands them to Convert.
namespace fixtures {

// A pixel element whose value holds exactly these 16-bit samples (little endian).
inline DataElement* pixels16(const std::vector<uint16_t>& samples) {
    auto* element = new DataElement(0x7FE0, 0x0010, static_cast<uint32_t>(samples.size() * 2), 1);
    for (size_t index = 0; index < samples.size(); ++index) {
        element->value[2 * index] = static_cast<uint8_t>(samples[index]);
        element->value[2 * index + 1] = static_cast<uint8_t>(samples[index] >> 8);
    }
    return element;
}

inline DataElement* pixels8(const std::vector<uint8_t>& samples) {
    auto* element = new DataElement(0x7FE0, 0x0010, static_cast<uint32_t>(samples.size()), 1);
    std::memcpy(element->value, samples.data(), samples.size());
    return element;
}

// A data set with Bits Allocated and Bits Stored; 0 leaves an attribute out.
inline DataSet* imageSet(uint16_t bitsAllocated, uint16_t bitsStored) {
    auto* set = new DataSet();
    if (bitsAllocated != 0) set->addElement(datasets::u16Element(0x0028, 0x0100, bitsAllocated));
    if (bitsStored != 0) set->addElement(datasets::u16Element(0x0028, 0x0101, bitsStored));
    return set;
}

inline uint32_t strideOf(uint32_t columns) { return (columns + 3) / 4 * 4; }

// The destination byte of input pixel (row, column), bottom-up.
inline size_t rasterIndex(uint32_t rows, uint32_t columns, uint32_t row, uint32_t column) {
    return static_cast<size_t>(rows - 1 - row) * strideOf(columns) + column;
}

}  // namespace fixtures

#endif
