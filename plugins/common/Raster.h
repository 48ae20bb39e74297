#ifndef PLUGINS_COMMON_RASTER_H
#define PLUGINS_COMMON_RASTER_H

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "model/DataElement.h"

// Shared by the converter plug-ins: the raster geometry and the pixel samples
// that may be read.
namespace raster {

// Bytes per destination row: columns rounded up to a multiple of 4.
inline uint32_t strideFor(uint32_t columns) {
    return (columns % 4 != 0) ? columns + (4 - columns % 4) : columns;
}

// The pixel value bytes a conversion may read. A non-zero element length
// bounds them (a truncated image reads no byte past its value); with length 0
// the caller guarantees the needed bytes.
struct PixelBytes {
    const uint8_t* bytes;
    uint64_t count;
};

inline PixelBytes pixelBytes(const DataElement* pixels, uint64_t needed) {
    if (pixels == nullptr || pixels->value == nullptr) return {nullptr, 0};
    const uint64_t count = pixels->length != 0 && pixels->length < needed ? pixels->length : needed;
    return {pixels->value, count};
}

// Sample i of 16-bit little-endian pixel data; samples past the readable bytes count as 0.
inline uint16_t sample16(const PixelBytes& pixels, uint64_t index) {
    if ((index + 1) * 2 > pixels.count) return 0;
    uint16_t value;
    std::memcpy(&value, pixels.bytes + index * 2, 2);
    return value;
}

// Writes rows x columns destination bytes bottom-up: input row r lands in
// destination row rows-1-r. For each row, mapRow(source, destination, n)
// converts the n samples that can be read and fill(destination, n) the rest.
// The padding bytes at the end of each destination row are never touched.
template <typename MapRow, typename Fill>
void writeBottomUp(const PixelBytes& pixels, uint32_t bytesPerSample, uint32_t rows, uint32_t columns,
                   uint8_t* destination, MapRow mapRow, Fill fill) {
    const size_t stride = strideFor(columns);
    const uint64_t samplesReadable = pixels.count / bytesPerSample;
    for (uint32_t row = 0; row < rows; ++row) {
        uint8_t* target = destination + static_cast<size_t>(rows - 1 - row) * stride;
        const uint64_t first = static_cast<uint64_t>(row) * columns;
        uint64_t readable = samplesReadable > first ? samplesReadable - first : 0;
        if (readable > columns) readable = columns;
        if (readable != 0) mapRow(pixels.bytes + first * bytesPerSample, target, static_cast<size_t>(readable));
        if (readable < columns) fill(target + readable, static_cast<size_t>(columns - readable));
    }
}

}  // namespace raster

#endif
