#ifndef TOOLS_DEMO_SYNTHETICCT_H
#define TOOLS_DEMO_SYNTHETICCT_H

// What the programs that write synthetic CT slices share (make_ct for the
// demo, make_ct_series for the storage throughput measurement): the
// elements a slice is made of, its identity and image pixel attributes, and
// its 512 x 512 pixel data of 16-bit samples.

#include <cstddef>
#include <cstdint>
#include <string>

#include "model/DataSet.h"

namespace syntheticct {

constexpr uint16_t rows = 512;
constexpr uint16_t columns = 512;

// A text value with the VR first second, padded to an even length: UIDs
// with a NUL, other texts with a space.
DataElement* textElement(uint16_t group, uint16_t element, const std::string& text, char first, char second);
DataElement* u16Element(uint16_t group, uint16_t element, uint16_t number);

// SOP class (CT Image Storage), SOP instance, modality, patient, study and
// series.
void addIdentity(DataSet* set, const std::string& sopInstanceUid, const std::string& patientName,
                 const std::string& patientId, const std::string& studyUid, const std::string& seriesUid);

// One monochrome sample of 16 bits allocated per pixel, rows x columns.
void addImagePixelAttributes(DataSet* set, uint16_t bitsStored, bool signedValues);

// Pixel Data (OW), little endian: storedValue(row, column) for each sample,
// first row first.
template <typename StoredValue>
DataElement* pixelData(StoredValue storedValue) {
    auto* pixels = new DataElement(0x7FE0, 0x0010, rows * columns * 2, 1);
    for (int row = 0; row < rows; ++row) {
        for (int column = 0; column < columns; ++column) {
            const uint16_t stored = storedValue(row, column);
            const size_t at = (static_cast<size_t>(row) * columns + column) * 2;
            pixels->value[at] = static_cast<uint8_t>(stored);
            pixels->value[at + 1] = static_cast<uint8_t>(stored >> 8);
        }
    }
    pixels->vr = vrCode('O', 'W');
    return pixels;
}

}  // namespace syntheticct

#endif
