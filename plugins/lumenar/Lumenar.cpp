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
// highest set bit found).
class ShiftSearch {
public:
    ShiftSearch(const raster::PixelBytes& pixels, uint32_t total)
        : pixels_(pixels), total_(total), accumulator_(total != 0 ? raster::sample16(pixels, 0) : 0),
          negative_((accumulator_ & 0x8000) != 0), walking_(total > next_) {}

    // Takes in the samples below end (an index into the samples).
    void walkTo(uint64_t end) {
        while (walking_ && next_ < end) {
            const uint16_t sample = raster::sample16(pixels_, next_);
            accumulator_ = negative_ ? static_cast<uint16_t>(accumulator_ & sample)
                                     : static_cast<uint16_t>(accumulator_ | sample);
            // The next step would wrap past 2^32, or leave the samples.
            if (next_ > total_ - 13 || next_ + 13 >= total_) {
                walking_ = false;
                break;
            }
            next_ += 13;
        }
    }

    // The right shift that brings the highest bit in use to bit 7, for the
    // samples taken in so far. When the walk ends below 0 (all sampled bits
    // below bit 7, all zero, or all ones) the values already fit in 8 bits
    // and the shift is 0.
    int shift() const {
        int shift = 8;
        for (uint16_t mask = 0x8000; mask != 0; mask >>= 1) {
            const bool bitSet = (accumulator_ & mask) != 0;
            if (bitSet != negative_) break;
            --shift;
        }
        return shift < 0 ? 0 : shift;
    }

    int finalShift() {
        walkTo(UINT64_MAX);
        return shift();
    }

private:
    const raster::PixelBytes& pixels_;
    uint32_t total_;
    uint16_t accumulator_;
    bool negative_;
    uint32_t next_ = 100;
    bool walking_;
};

// One row of 16-bit samples shifted down to 8 bits.
void shiftRow(const uint8_t* from, uint8_t* to, size_t count, unsigned rightShift) {
    for (size_t column = 0; column < count; ++column) {
        uint16_t value;
        std::memcpy(&value, from + column * 2, 2);
        to[column] = static_cast<uint8_t>(value >> rightShift);
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
