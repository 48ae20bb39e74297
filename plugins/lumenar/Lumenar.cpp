// lumenar: converts monochrome 8-bit or 16-bit stored pixels into the viewer's
// bottom-up, 4-byte-aligned 8-bit raster. 16-bit data is shifted right so that
// the highest bit in use, found in a sparse sample of the pixels, lands in
// bit 7. The choice is written to "lumenar.tmp" in the current directory.
//
// Built twice from this source: the quiet variant opens the log with "w" and
// says nothing when it cannot; LUMENAR_INTERACTIVE opens it with "w+" and
// shows a message box when it cannot.

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "../common/Raster.h"
#include "model/DataSet.h"
#include "platform/FaultFilter.h"
#include "platform/MessageBox.h"
#include "platform/PluginExport.h"

namespace {

#ifdef LUMENAR_INTERACTIVE
constexpr const char* logMode = "w+";
constexpr bool interactive = true;
#else
constexpr const char* logMode = "w";
constexpr bool interactive = false;
#endif

constexpr int mode16Bit = 0;
constexpr int mode8Bit = 1;

// A 16-bit attribute value, or -1 when the element is absent or has no value.
int attributeU16(DataSet* dataSet, uint16_t group, uint16_t element) {
    if (dataSet == nullptr) return -1;
    const DataElement* found = dataSet->find(group, element);
    if (found == nullptr || found->value == nullptr || found->length < 2) return -1;
    return found->value[0] | (found->value[1] << 8);
}

// The right shift that brings the highest bit in use to bit 7, from the seed
// s[0] and every 13th sample from index 100 on. A negative seed (bit 15 set)
// is combined with AND and counts leading ones; otherwise OR finds the highest
// set bit. When the walk ends below 0 (all sampled bits below bit 7, all
// zero, or all ones) the values already fit in 8 bits and the shift is 0.
int searchShift(const raster::PixelBytes& pixels, uint32_t total) {
    const uint16_t seed = total != 0 ? raster::sample16(pixels, 0) : 0;
    const bool negative = (seed & 0x8000) != 0;
    uint16_t accumulator = seed;
    for (uint32_t index = 100; index < total; index += 13) {
        const uint16_t sample = raster::sample16(pixels, index);
        accumulator = negative ? static_cast<uint16_t>(accumulator & sample) : static_cast<uint16_t>(accumulator | sample);
        if (index > total - 13) break;  // the next step would wrap past 2^32
    }
    int shift = 8;
    for (uint16_t mask = 0x8000; mask != 0; mask >>= 1) {
        const bool bitSet = (accumulator & mask) != 0;
        if (bitSet != negative) break;
        --shift;
    }
    return shift < 0 ? 0 : shift;
}

void writeLog(int shift, int mode) {
    FILE* log = std::fopen("lumenar.tmp", logMode);
    if (log == nullptr) {
        if (interactive) platform::showMessageBox("Could not open lumenar.tmp", "Error");
        return;
    }
    std::fprintf(log, "Convert Optimimal Bit Shift = %d\n", shift);
    std::fprintf(log, "Mode = %d\n", mode);
    std::fclose(log);
}

}  // namespace

PLUGIN_EXPORT int PLUGIN_CALL Convert(DataSet* dataSet, DataElement* pixels, uint32_t rows, uint32_t columns,
                                      uint32_t /*reserved*/, uint8_t* destination) {
    const uint32_t total = rows * columns;
    const int bitsAllocated = attributeU16(dataSet, 0x0028, 0x0100);
    const int mode = (bitsAllocated >= 0 && bitsAllocated <= 8) ? mode8Bit : mode16Bit;
    int shift = attributeU16(dataSet, 0x0028, 0x0101) == 10 ? 2 : 4;

    const uint64_t samples = static_cast<uint64_t>(rows) * columns;
    if (mode == mode8Bit) {
        const raster::PixelBytes source = raster::pixelBytes(pixels, samples);
        writeLog(shift, mode);
        if (destination == nullptr) return 1;
        raster::writeBottomUp(
            source, 1, rows, columns, destination,
            [](const uint8_t* from, uint8_t* to, size_t count) { std::memcpy(to, from, count); },
            [](uint8_t* to, size_t count) { std::memset(to, 0, count); });
        return 1;
    }

    const raster::PixelBytes source = raster::pixelBytes(pixels, samples * 2);
    shift = searchShift(source, total);
    writeLog(shift, mode);
    if (destination == nullptr) return 1;
    const unsigned rightShift = static_cast<unsigned>(shift);
    raster::writeBottomUp(
        source, 2, rows, columns, destination,
        [rightShift](const uint8_t* from, uint8_t* to, size_t count) {
            for (size_t column = 0; column < count; ++column) {
                uint16_t value;
                std::memcpy(&value, from + column * 2, 2);
                to[column] = static_cast<uint8_t>(value >> rightShift);
            }
        },
        [](uint8_t* to, size_t count) { std::memset(to, 0, count); });
    return 1;
}

PLUGIN_EXPORT int PLUGIN_CALL OutputMode() {
    platform::installFaultFilter();
    return 0;
}
