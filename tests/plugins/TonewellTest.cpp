#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <vector>

#include "ImageFixtures.h"
#include "PluginLibrary.h"

using fixtures::rasterIndex;
using fixtures::strideOf;

namespace {

constexpr uint8_t untouched = 0xCD;

class Tonewell : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(plugin.loaded()) << platform::libraryError(); }

    std::vector<uint8_t> convert(DataSet* set, DataElement* pixels, uint32_t rows, uint32_t columns) {
        std::vector<uint8_t> raster(static_cast<size_t>(rows) * strideOf(columns), untouched);
        EXPECT_EQ(plugin.convert(set, pixels, rows, columns, 0, raster.data()), 1);
        return raster;
    }

    PluginLibrary plugin{TONEWELL_PATH};
};

}  // namespace

TEST_F(Tonewell, MapsTheTabulatedValues) {
    const std::vector<std::pair<uint16_t, uint8_t>> table = {
        {0x0000, 255}, {0x7FFF, 255}, {0x8000, 255}, {0xEFFF, 255}, {0xF000, 1},  {0xF207, 1},
        {0xF208, 2},   {0xF5DC, 7},   {0xF800, 15},  {0xFC00, 60},  {0xFFFE, 234}, {0xFFFF, 235},
    };
    std::vector<uint16_t> samples;
    for (auto [stored, output] : table) samples.push_back(stored);
    std::unique_ptr<DataElement> pixels(fixtures::pixels16(samples));
    DataSet set;
    std::vector<uint8_t> raster = convert(&set, pixels.get(), 1, static_cast<uint32_t>(samples.size()));
    for (size_t index = 0; index < table.size(); ++index) {
        EXPECT_EQ(raster[index], table[index].second) << std::hex << table[index].first;
    }
}

TEST_F(Tonewell, EveryStoredValueFollowsTheClosedForm) {
    // 256 x 256 pixels hold each 16-bit value once, in a scattered order
    // (pixel i holds i * 0x9E37 modulo 2^16, an odd step, so every value
    // comes once): groups of eight neighbours mix values below and at or
    // above 0xF000 in every arrangement, as an image does.
    std::vector<uint16_t> samples(0x10000);
    for (uint32_t index = 0; index <= 0xFFFF; ++index) samples[index] = static_cast<uint16_t>(index * 0x9E37u);
    std::unique_ptr<DataElement> pixels(fixtures::pixels16(samples));
    std::vector<uint8_t> raster = convert(nullptr, pixels.get(), 256, 256);
    for (uint32_t index = 0; index <= 0xFFFF; ++index) {
        const uint32_t value = samples[index];
        const uint8_t expected =
            value >= 0xF000 ? static_cast<uint8_t>(std::exp((value - 0xF000) / 750.0)) : static_cast<uint8_t>(255);
        ASSERT_EQ(raster[rasterIndex(256, 256, index / 256, index % 256)], expected) << std::hex << value;
    }
}

TEST_F(Tonewell, ThreeColumnsLeaveOnePaddingByteAndFlipRows) {
    std::unique_ptr<DataElement> pixels(fixtures::pixels16({0xFFFF, 0xF000, 0x0000, 0xFC00, 0xF800, 0xFFFE}));
    DataSet empty;
    std::vector<uint8_t> raster = convert(&empty, pixels.get(), 2, 3);
    EXPECT_EQ(raster, (std::vector<uint8_t>{60, 15, 234, untouched, 235, 1, 255, untouched}));
    // The data set is ignored: one with attributes, or none, gives the same bytes.
    std::unique_ptr<DataSet> image(fixtures::imageSet(8, 8));
    EXPECT_EQ(convert(image.get(), pixels.get(), 2, 3), raster);
    EXPECT_EQ(convert(nullptr, pixels.get(), 2, 3), raster);
}

TEST_F(Tonewell, AllZeroImageIsWhite) {
    std::unique_ptr<DataElement> pixels(fixtures::pixels16(std::vector<uint16_t>(8 * 8, 0)));
    EXPECT_EQ(convert(nullptr, pixels.get(), 8, 8), std::vector<uint8_t>(64, 255));
}

TEST_F(Tonewell, TruncatedPixelDataReadsNothingPastItsValue) {
    // 3 of 6 samples: the missing ones count as 0 and map to 255.
    std::unique_ptr<DataElement> pixels(fixtures::pixels16({0xFFFF, 0xF000, 0xFC00}));
    std::vector<uint8_t> raster = convert(nullptr, pixels.get(), 2, 3);
    EXPECT_EQ(raster, (std::vector<uint8_t>{255, 255, 255, untouched, 235, 1, 60, untouched}));
    DataElement noValue(0x7FE0, 0x0010, 0, 0);
    EXPECT_EQ(convert(nullptr, &noValue, 1, 4), std::vector<uint8_t>(4, 255));
}
