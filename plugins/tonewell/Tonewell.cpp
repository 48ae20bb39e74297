// tonewell: maps every 16-bit stored pixel value through a fixed 65,536-entry
// exponential look-up table into the viewer's bottom-up, 4-byte-aligned 8-bit
// raster. Entry i is exp((0xFFF - i) / 750.0) truncated, for i below 0x1000,
// and 0xFF above; a sample s maps to entry 0xFFFF - s.

#include <cmath>
#include <cstdint>
#include <cstring>

#include "../common/Raster.h"
#include "model/DataSet.h"
#include "platform/FaultFilter.h"
#include "platform/PluginExport.h"

namespace {

struct ToneTable {
    uint8_t entries[0x10000];

    ToneTable() {
        for (uint32_t index = 0; index <= 0xFFFF; ++index) {
            if (index < 0x1000) {
                const double level = std::exp(static_cast<double>(0xFFF - index) / 750.0);
                entries[index] = static_cast<uint8_t>(static_cast<uint32_t>(level));
            } else {
                entries[index] = 0xFF;
            }
        }
    }
};

uint16_t sample(const uint8_t* from, size_t index) {
    uint16_t value;
    std::memcpy(&value, from + index * 2, 2);
    return value;
}

// Whether any of four 16-bit samples has its top four bits all set (0xF000
// and above): a lane of (word & 0xF000...) ^ 0xF000... is then zero.
bool anyBelowWhite(uint64_t fourSamples) {
    constexpr uint64_t topNibbles = 0xF000F000F000F000ull;
    const uint64_t lanes = (fourSamples & topNibbles) ^ topNibbles;
    return ((lanes - 0x0001000100010001ull) & ~lanes & 0x8000800080008000ull) != 0;
}

// Built once, on first use, and never changed: it can never fail to be obtained.
const ToneTable& toneTable() {
    static const ToneTable table;
    return table;
}

}  // namespace

PLUGIN_EXPORT int PLUGIN_CALL Convert(DataSet* /*dataSet*/, DataElement* pixels, uint32_t rows, uint32_t columns,
                                      uint32_t /*reserved*/, uint8_t* destination) {
    if (destination == nullptr) return 1;
    const uint8_t* entries = toneTable().entries;
    const uint64_t samples = static_cast<uint64_t>(rows) * columns;
    const raster::PixelBytes source = raster::pixelBytes(pixels, samples * 2);
    const uint8_t missing = entries[0xFFFF];
    raster::writeBottomUp(
        source, 2, rows, columns, destination,
        [entries](const uint8_t* from, uint8_t* to, size_t count) {
            size_t column = 0;
            // Only samples whose top four bits are all set map below white:
            // eight samples without one are eight white pixels, no lookup.
            for (; column + 8 <= count; column += 8) {
                uint64_t first, second;
                std::memcpy(&first, from + column * 2, 8);
                std::memcpy(&second, from + column * 2 + 8, 8);
                if (!anyBelowWhite(first) && !anyBelowWhite(second)) {
                    std::memset(to + column, 0xFF, 8);
                    continue;
                }
                for (size_t lane = column; lane < column + 8; ++lane) to[lane] = entries[0xFFFF - sample(from, lane)];
            }
            for (; column < count; ++column) to[column] = entries[0xFFFF - sample(from, column)];
        },
        [missing](uint8_t* to, size_t count) { std::memset(to, missing, count); });
    return 1;
}

PLUGIN_EXPORT int PLUGIN_CALL OutputMode() {
    platform::installFaultFilter();
    return 0;
}
