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

// The walk over the samples that decides the shift: the seed s[0], then
// every 13th sample from index 100 on, combined with AND when the seed is
// negative (bit 15 set, leading ones counted) and with OR otherwise (the
// highest set bit found). The AND is kept as an OR of inverted samples
// (a & b == ~(~a | ~b)), so both cases share one branch-free loop.
class ShiftSearch {
public:
    ShiftSearch(const raster::PixelBytes& pixels, uint32_t total)
        : pixels_(pixels), total_(total), readable_(pixels.count / 2) {
        const uint16_t seed = total != 0 ? raster::sample16(pixels, 0) : 0;
        flip_ = (seed & 0x8000) != 0 ? 0xFFFF : 0;
        accumulator_ = static_cast<uint16_t>(seed ^ flip_);
    }

    // Takes in the samples below end (an index into the samples).
    void walkTo(uint64_t end) {
        const uint64_t stop = end < total_ ? end : total_;
        if (next_ >= stop) return;
        const uint64_t inside = stop < readable_ ? stop : readable_;
        const uint8_t* bytes = pixels_.bytes;
        uint16_t first = accumulator_, second = 0;
        uint64_t index = next_;
        // Two accumulators: the loads do not wait on each other.
        for (; index + 13 < inside; index += 26) {
            first = static_cast<uint16_t>(first | (load(bytes, index) ^ flip_));
            second = static_cast<uint16_t>(second | (load(bytes, index + 13) ^ flip_));
        }
        if (index < inside) {
            first = static_cast<uint16_t>(first | (load(bytes, index) ^ flip_));
            index += 13;
        }
        if (index < stop) {
            // Samples past the readable bytes count as 0.
            first = static_cast<uint16_t>(first | flip_);
            index += (stop - index + 12) / 13 * 13;
        }
        accumulator_ = static_cast<uint16_t>(first | second);
        next_ = index;
    }

    // The right shift that brings the highest bit in use to bit 7, for the
    // samples taken in so far. When the walk ends below 0 (all sampled bits
    // below bit 7, all zero, or all ones) the values already fit in 8 bits
    // and the shift is 0.
    int shift() const {
        const bool negative = flip_ != 0;
        const uint16_t combined = static_cast<uint16_t>(accumulator_ ^ flip_);
        int shift = 8;
        for (uint16_t mask = 0x8000; mask != 0; mask >>= 1) {
            const bool bitSet = (combined & mask) != 0;
            if (bitSet != negative) break;
            --shift;
        }
        return shift < 0 ? 0 : shift;
    }

    int finalShift() {
        walkTo(UINT64_MAX);
        return shift();
    }

private:
    static uint16_t load(const uint8_t* bytes, uint64_t index) {
        uint16_t value;
        std::memcpy(&value, bytes + index * 2, 2);
        return value;
    }

    const raster::PixelBytes& pixels_;
    uint64_t total_;
    uint64_t readable_;
    uint16_t flip_;
    uint16_t accumulator_;
    uint64_t next_ = 100;
};

// One row of 16-bit samples shifted down to 8 bits, for shifts 0 to 8. The
// low byte of v >> s is the high byte of v << (8 - s) kept to 16 bits: a
// 16-bit multiply and a fixed shift, which compilers turn into vector code,
// where a variable shift of a 16-bit value is widened to 32 bits first.
void shiftRow(const uint8_t* from, uint8_t* to, size_t count, unsigned rightShift) {
    const uint16_t factor = static_cast<uint16_t>(1u << (8 - rightShift));
    for (size_t column = 0; column < count; ++column) {
        uint16_t value;
        std::memcpy(&value, from + column * 2, 2);
        to[column] = static_cast<uint8_t>(static_cast<uint16_t>(value * factor) >> 8);
    }
}

// Converts the rows with the shift that the first samples give while the
// walk takes in the rest of the samples, row after row as they pass through
// the cache: one pass over the pixels instead of two. Should the whole walk
// decide otherwise, the rows are converted again with its shift. Returns
// the shift.
int convert16(const raster::PixelBytes& source, uint32_t total, uint32_t rows, uint32_t columns, uint8_t* destination) {
    ShiftSearch early(source, total);
    early.walkTo(100 + 13 * 4096u);
    const int guess = early.shift();
    ShiftSearch search(source, total);
    const size_t stride = raster::strideFor(columns);
    const uint64_t samplesReadable = source.count / 2;
    for (uint32_t row = 0; row < rows; ++row) {
        uint8_t* target = destination + static_cast<size_t>(rows - 1 - row) * stride;
        const uint64_t first = static_cast<uint64_t>(row) * columns;
        uint64_t readable = samplesReadable > first ? samplesReadable - first : 0;
        if (readable > columns) readable = columns;
        if (readable != 0) shiftRow(source.bytes + first * 2, target, static_cast<size_t>(readable), static_cast<unsigned>(guess));
        if (readable < columns) std::memset(target + readable, 0, static_cast<size_t>(columns - readable));
        search.walkTo(first + columns);
    }
    const int shift = search.finalShift();
    if (shift != guess) {
        const unsigned rightShift = static_cast<unsigned>(shift);
        raster::writeBottomUp(
            source, 2, rows, columns, destination,
            [rightShift](const uint8_t* from, uint8_t* to, size_t count) { shiftRow(from, to, count, rightShift); },
            [](uint8_t* to, size_t count) { std::memset(to, 0, count); });
    }
    return shift;
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
    if (destination == nullptr) {
        writeLog(ShiftSearch(source, total).finalShift(), mode);
        return 1;
    }
    writeLog(convert16(source, total, rows, columns, destination), mode);
    return 1;
}

PLUGIN_EXPORT int PLUGIN_CALL OutputMode() {
    platform::installFaultFilter();
    return 0;
}
