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
            for (size_t column = 0; column < count; ++column) {
                uint16_t value;
                std::memcpy(&value, from + column * 2, 2);
                to[column] = entries[0xFFFF - value];
            }
        },
        [missing](uint8_t* to, size_t count) { std::memset(to, missing, count); });
    return 1;
}

PLUGIN_EXPORT int PLUGIN_CALL OutputMode() {
    platform::installFaultFilter();
    return 0;
}
