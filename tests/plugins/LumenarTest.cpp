#include <gtest/gtest.h>

#include <sys/stat.h>

#include <memory>
#include <string>
#include <vector>

#include "ImageFixtures.h"
#include "PluginLibrary.h"
#include "PluginTestSupport.h"

using fixtures::rasterIndex;
using fixtures::strideOf;

namespace {

constexpr uint8_t untouched = 0xCD;

struct Variant {
    const char* name;
    const char* path;
    bool interactive;
};

void PrintTo(const Variant& variant, std::ostream* out) { *out << variant.name; }

const Variant variants[] = {
    {"quiet", LUMENAR_PATH, false},
    {"interactive", LUMENAR_INTERACTIVE_PATH, true},
};

class Lumenar : public TemporaryDirectoryTest, public ::testing::WithParamInterface<Variant> {
protected:
    void SetUp() override {
        TemporaryDirectoryTest::SetUp();
        plugin.reset(new PluginLibrary(GetParam().path));
        ASSERT_TRUE(plugin->loaded()) << platform::libraryError();
    }

    // Converts and returns the whole destination buffer, pre-filled with 0xCD.
    std::vector<uint8_t> convert(DataSet* set, DataElement* pixels, uint32_t rows, uint32_t columns) {
        std::vector<uint8_t> raster(static_cast<size_t>(rows) * strideOf(columns), untouched);
        EXPECT_EQ(plugin->convert(set, pixels, rows, columns, 0, raster.data()), 1);
        return raster;
    }

    std::string log() { return readText("lumenar.tmp"); }

    static std::string logFor(int shift, int mode) {
        return "Convert Optimimal Bit Shift = " + std::to_string(shift) + "\nMode = " + std::to_string(mode) + "\n";
    }

    std::unique_ptr<PluginLibrary> plugin;
};

std::string variantName(const ::testing::TestParamInfo<Variant>& info) { return info.param.name; }

}  // namespace

TEST_P(Lumenar, TwelveBitImageShiftsByFourAndFlipsRows) {
    // 2 rows x 510 columns: stride 512, two padding bytes per row.
    const uint32_t rows = 2, columns = 510;
    std::vector<uint16_t> samples(rows * columns);
    for (size_t index = 0; index < samples.size(); ++index) samples[index] = static_cast<uint16_t>(index * 8 % 0x1000);
    samples[0] = 0x0ABC;  // bit 11 set in the seed: shift 4
    std::unique_ptr<DataSet> set(fixtures::imageSet(16, 12));
    std::unique_ptr<DataElement> pixels(fixtures::pixels16(samples));

    std::vector<uint8_t> raster = convert(set.get(), pixels.get(), rows, columns);

    EXPECT_EQ(raster[rasterIndex(rows, columns, 0, 0)], 0xAB);
    for (uint32_t row = 0; row < rows; ++row) {
        for (uint32_t column = 0; column < columns; ++column) {
            ASSERT_EQ(raster[rasterIndex(rows, columns, row, column)],
                      static_cast<uint8_t>(samples[row * columns + column] >> 4))
                << "row " << row << " column " << column;
        }
    }
    for (size_t padding : {510, 511, 1022, 1023}) EXPECT_EQ(raster[padding], untouched) << padding;
    EXPECT_EQ(log(), logFor(4, 0));
}

TEST_P(Lumenar, ShiftFollowsTheSampledHighestBit) {
    struct Case {
        const char* what;
        uint32_t rows, columns;
        uint16_t background;                               // every pixel not listed
        std::vector<std::pair<size_t, uint16_t>> pixels;   // input index -> stored value
        int shift;
        std::vector<std::pair<size_t, uint8_t>> expected;  // input index -> output byte
    };
    const std::vector<Case> cases = {
        {"bit 15 from sample 100", 11, 11, 0, {{0, 0x0001}, {100, 0x8000}}, 8, {{100, 0x80}}},
        {"bit 9 in the seed", 4, 4, 0, {{0, 0x0200}, {1, 0x03FF}}, 2, {{0, 0x80}, {1, 0xFF}}},
        {"bit 7 in the seed", 4, 4, 0, {{0, 0x0080}, {1, 0x01FF}}, 0, {{0, 0x80}, {1, 0xFF}}},
        {"100 samples: only the seed decides", 10, 10, 0, {{0, 0x0100}, {99, 0xFFFF}}, 1, {{0, 0x80}, {99, 0xFF}}},
        {"sample 100 is combined", 11, 11, 0, {{0, 0x0100}, {100, 0x0800}}, 4, {{100, 0x80}}},
        {"sample 113 is combined", 12, 12, 0, {{0, 0x0100}, {113, 0x4000}}, 7, {{113, 0x80}}},
        {"sample 101 is not", 12, 12, 0, {{0, 0x0100}, {101, 0x8000}}, 1, {{101, 0x00}}},
        {"values above 255 after the shift wrap", 4, 4, 0, {{0, 0x0100}, {1, 0x0300}}, 1, {{1, 0x80}}},
        {"negative seed 0xF000: four leading ones", 4, 4, 0, {{0, 0xF000}, {1, 0xF123}}, 4, {{1, 0x12}}},
        {"negative seed 0x8000: one leading one", 4, 4, 0, {{0, 0x8000}}, 7, {{0, 0x00}}},
        {"negative seed ANDed with sampled values", 11, 11, 0xFFFF, {{0, 0xFF00}, {100, 0xF0FF}}, 4, {{0, 0xF0}}},
        // The search ends below 0 or never stops: the values already fit in 8 bits.
        {"all zero", 4, 4, 0, {}, 0, {{0, 0x00}}},
        {"highest bit 6", 4, 4, 0, {{0, 0x0040}, {3, 0x007F}}, 0, {{0, 0x40}, {3, 0x7F}}},
        {"negative seed of all ones", 4, 4, 0xFFFF, {}, 0, {{0, 0xFF}}},
        // Large images: the deciding sample comes long after the first thousands.
        {"a late sample raises the shift", 300, 300, 0x0010, {{65100, 0x0800}}, 4, {{65100, 0x80}, {1, 0x01}, {89999, 0x01}}},
        {"a late sample ends the leading ones", 300, 300, 0xFFFF, {{0, 0xFF00}, {65100, 0x0FFF}}, 8,
         {{0, 0xFF}, {1, 0xFF}, {65100, 0x0F}}},
        {"the last sample decides", 300, 300, 0x0001, {{89995, 0x4000}, {89998, 0x8000}}, 7, {{89995, 0x80}, {89998, 0x00}, {0, 0x00}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<uint16_t> samples(c.rows * c.columns, c.background);
        for (auto [index, value] : c.pixels) samples[index] = value;
        std::unique_ptr<DataSet> set(fixtures::imageSet(16, 12));
        std::unique_ptr<DataElement> pixels(fixtures::pixels16(samples));
        std::vector<uint8_t> raster = convert(set.get(), pixels.get(), c.rows, c.columns);
        EXPECT_EQ(log(), logFor(c.shift, 0));
        for (auto [index, byte] : c.expected) {
            const uint32_t row = static_cast<uint32_t>(index / c.columns), column = static_cast<uint32_t>(index % c.columns);
            EXPECT_EQ(raster[rasterIndex(c.rows, c.columns, row, column)], byte) << "pixel " << index;
        }
    }
}

TEST_P(Lumenar, EveryShiftMapsEveryValueToBitsShiftToShiftPlusSeven) {
    // 256 x 256 samples holding every 16-bit value once, except the walked
    // samples (the seed, then 100, 113, ...), which hold the value that
    // decides the shift. Bit 15 in the seed would make it negative, so shift
    // 8 comes from the samples after a positive seed.
    const uint32_t rows = 256, columns = 256;
    for (int shift = 0; shift <= 8; ++shift) {
        SCOPED_TRACE("shift " + std::to_string(shift));
        const uint16_t deciding = static_cast<uint16_t>(shift == 0 ? 0x0040 : 0x0080 << shift);
        std::vector<uint16_t> samples(rows * columns);
        for (size_t index = 0; index < samples.size(); ++index) {
            const bool walked = index == 0 || (index >= 100 && (index - 100) % 13 == 0);
            samples[index] = walked ? deciding : static_cast<uint16_t>(index * 40503u);
        }
        if (shift == 8) samples[0] = 0x0001;
        std::unique_ptr<DataSet> set(fixtures::imageSet(16, 16));
        std::unique_ptr<DataElement> pixels(fixtures::pixels16(samples));
        std::vector<uint8_t> raster = convert(set.get(), pixels.get(), rows, columns);
        EXPECT_EQ(log(), logFor(shift, 0));
        for (size_t index = 0; index < samples.size(); ++index) {
            const uint32_t row = static_cast<uint32_t>(index / columns), column = static_cast<uint32_t>(index % columns);
            ASSERT_EQ(raster[rasterIndex(rows, columns, row, column)], static_cast<uint8_t>(samples[index] >> shift))
                << "pixel " << index << " value " << samples[index];
        }
    }
}

TEST_P(Lumenar, WalkedSamplesPastATruncatedValueCountAsZero) {
    // 20 x 20 pixels; the element holds the first 205 samples. The walk goes
    // on to sample 399: with a negative seed the zeros it meets past the end
    // end the leading ones at once, with a positive seed they change nothing.
    struct Case {
        const char* what;
        uint16_t seed, background;
        uint32_t held;
        int shift;
    };
    const Case cases[] = {
        {"negative seed, truncated", 0xF000, 0xFFFF, 205, 8},
        {"negative seed, whole", 0xF000, 0xFFFF, 400, 4},
        {"positive seed, truncated", 0x0100, 0x0000, 205, 1},
        {"positive seed, whole", 0x0100, 0x0000, 400, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<uint16_t> samples(c.held, c.background);
        samples[0] = c.seed;
        std::unique_ptr<DataSet> set(fixtures::imageSet(16, 12));
        std::unique_ptr<DataElement> pixels(fixtures::pixels16(samples));
        std::vector<uint8_t> raster = convert(set.get(), pixels.get(), 20, 20);
        EXPECT_EQ(log(), logFor(c.shift, 0));
        EXPECT_EQ(raster[rasterIndex(20, 20, 0, 0)], static_cast<uint8_t>(c.seed >> c.shift));
        if (c.held < 400) {
            EXPECT_EQ(raster[rasterIndex(20, 20, 19, 19)], 0);
        }
    }
}

TEST_P(Lumenar, EightBitImageIsCopiedWithRowsFlippedAndLogsTheDefaultShift) {
    struct Case {
        uint16_t bitsAllocated, bitsStored;
        int loggedShift;
    };
    for (const Case& c : {Case{8, 10, 2}, Case{8, 8, 4}, Case{8, 0, 4}, Case{1, 10, 2}}) {
        SCOPED_TRACE(::testing::Message() << "bits allocated " << c.bitsAllocated << ", stored " << c.bitsStored);
        const uint32_t rows = 3, columns = 5;  // stride 8
        std::vector<uint8_t> samples(rows * columns);
        for (size_t index = 0; index < samples.size(); ++index) samples[index] = static_cast<uint8_t>(0xF0 + index);
        std::unique_ptr<DataSet> set(fixtures::imageSet(c.bitsAllocated, c.bitsStored));
        std::unique_ptr<DataElement> pixels(fixtures::pixels8(samples));
        std::vector<uint8_t> raster = convert(set.get(), pixels.get(), rows, columns);
        const std::vector<uint8_t> expected = {
            0xFA, 0xFB, 0xFC, 0xFD, 0xFE, untouched, untouched, untouched,  // input row 2
            0xF5, 0xF6, 0xF7, 0xF8, 0xF9, untouched, untouched, untouched,  // input row 1
            0xF0, 0xF1, 0xF2, 0xF3, 0xF4, untouched, untouched, untouched,  // input row 0
        };
        EXPECT_EQ(raster, expected);
        EXPECT_EQ(log(), logFor(c.loggedShift, 1));
    }
}

TEST_P(Lumenar, MissingOrValuelessBitsAllocatedMeansSixteenBits) {
    std::vector<uint16_t> samples(16, 0);
    samples[0] = 0x0800;
    std::unique_ptr<DataElement> pixels(fixtures::pixels16(samples));

    std::unique_ptr<DataSet> absent(fixtures::imageSet(0, 0));
    convert(absent.get(), pixels.get(), 4, 4);
    EXPECT_EQ(log(), logFor(4, 0));

    std::unique_ptr<DataSet> valueless(new DataSet());
    valueless->addElement(new DataElement(0x0028, 0x0100, 2, 0));
    valueless->addElement(new DataElement(0x0028, 0x0101, 2, 0));
    convert(valueless.get(), pixels.get(), 4, 4);
    EXPECT_EQ(log(), logFor(4, 0));

    convert(nullptr, pixels.get(), 4, 4);
    EXPECT_EQ(log(), logFor(4, 0));
}

TEST_P(Lumenar, TruncatedPixelDataReadsNothingPastItsValue) {
    // 4 x 4 pixels need 32 bytes; the element holds 10 (5 samples) in a
    // buffer of exactly that size, so a read past it is caught by the sanitizer.
    const uint32_t rows = 4, columns = 4;
    std::unique_ptr<DataElement> pixels(fixtures::pixels16({0x0FFF, 0x0100, 0x0200, 0x0300, 0x0400}));
    std::unique_ptr<DataSet> set(fixtures::imageSet(16, 12));
    std::vector<uint8_t> raster = convert(set.get(), pixels.get(), rows, columns);
    EXPECT_EQ(raster[rasterIndex(rows, columns, 0, 0)], 0xFF);
    EXPECT_EQ(raster[rasterIndex(rows, columns, 1, 0)], 0x40);
    for (size_t index = 5; index < rows * columns; ++index) {
        EXPECT_EQ(raster[rasterIndex(rows, columns, static_cast<uint32_t>(index / columns), index % columns)], 0) << index;
    }

    // Eight-bit mode: 6 of 16 bytes.
    std::unique_ptr<DataElement> bytes(fixtures::pixels8({1, 2, 3, 4, 5, 6}));
    std::unique_ptr<DataSet> eightBit(fixtures::imageSet(8, 8));
    raster = convert(eightBit.get(), bytes.get(), rows, columns);
    EXPECT_EQ(raster[rasterIndex(rows, columns, 1, 1)], 6);
    EXPECT_EQ(raster[rasterIndex(rows, columns, 1, 2)], 0);
    EXPECT_EQ(raster[rasterIndex(rows, columns, 3, 3)], 0);

    // A value pointer of null counts as no samples at all.
    DataElement noValue(0x7FE0, 0x0010, 0, 0);
    raster = convert(set.get(), &noValue, rows, columns);
    EXPECT_EQ(raster, std::vector<uint8_t>(16, 0));
    EXPECT_EQ(log(), logFor(0, 0));
}

TEST_P(Lumenar, LengthZeroTrustsTheCallersBuffer) {
    std::vector<uint16_t> samples = {0x0800, 0x0123, 0x0456, 0x0789};
    std::vector<uint8_t> bytes(8);
    std::memcpy(bytes.data(), samples.data(), 8);
    DataElement pixels(0x7FE0, 0x0010, 0, bytes.data(), 0);
    std::unique_ptr<DataSet> set(fixtures::imageSet(16, 12));
    std::vector<uint8_t> raster = convert(set.get(), &pixels, 1, 4);
    EXPECT_EQ(raster, (std::vector<uint8_t>{0x80, 0x12, 0x45, 0x78}));
}

TEST_P(Lumenar, RewritesTheLogOnEveryCall) {
    std::unique_ptr<DataSet> set(fixtures::imageSet(16, 12));
    std::unique_ptr<DataElement> bright(fixtures::pixels16({0x4000, 0, 0, 0}));
    std::unique_ptr<DataElement> dim(fixtures::pixels16({0x0200, 0, 0, 0}));
    convert(set.get(), bright.get(), 1, 4);
    EXPECT_EQ(log(), logFor(7, 0));
    convert(set.get(), dim.get(), 1, 4);
    EXPECT_EQ(log(), logFor(2, 0));
}

TEST_P(Lumenar, UnwritableLogStillConvertsAndOnlyTheInteractiveVariantSaysSo) {
    ASSERT_EQ(mkdir("lumenar.tmp", 0755), 0);  // a directory cannot be opened as the log
    std::unique_ptr<DataSet> set(fixtures::imageSet(16, 12));
    std::unique_ptr<DataElement> pixels(fixtures::pixels16({0x0ABC, 0x0123, 0x0FFF, 0x0000}));
    std::vector<uint8_t> raster;
    std::string shown;
    {
        StandardErrorCapture capture;
        raster = convert(set.get(), pixels.get(), 1, 4);
        shown = capture.text();
    }
    EXPECT_EQ(raster, (std::vector<uint8_t>{0xAB, 0x12, 0xFF, 0x00}));
    if (GetParam().interactive) {
        EXPECT_EQ(shown, "Could not open lumenar.tmp: Error\n");
    } else {
        EXPECT_EQ(shown, "");
    }
}

INSTANTIATE_TEST_SUITE_P(Variants, Lumenar, ::testing::ValuesIn(variants), variantName);
