#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <thread>
#include <vector>

#include "encoding/ByteOrder.h"

namespace {

std::vector<uint8_t> bytesOf(const void* value, size_t size) {
    const auto* bytes = static_cast<const uint8_t*>(value);
    return std::vector<uint8_t>(bytes, bytes + size);
}

// Each test starts the shared counter afresh and puts it back afterwards.
class IdCounter : public ::testing::Test {
protected:
    void SetUp() override {
        saved = idCounter;
        idCounter = 1;
    }
    void TearDown() override { idCounter = saved; }
    uint32_t saved = 0;
};

}  // namespace

TEST(ByteOrder, SwapsBytes) {
    EXPECT_EQ(swapBytes16(0x1234), 0x3412);
    EXPECT_EQ(swapBytes16(0x00FF), 0xFF00);
    EXPECT_EQ(swapBytes32(0x12345678u), 0x78563412u);
    EXPECT_EQ(swapBytes32(255u), 0xFF000000u);
    EXPECT_EQ(hostToBig16(0x0102), 0x0201);
    EXPECT_EQ(hostToBig32(1u), 0x01000000u);
}

TEST(ByteOrder, BigEndianValuesKeepTheMostSignificantByteFirst) {
    BigEndian32 wide;
    wide = static_cast<int16_t>(-2);
    EXPECT_EQ(bytesOf(&wide, 4), (std::vector<uint8_t>{0xFF, 0xFF, 0xFF, 0xFE}));
    EXPECT_EQ(static_cast<uint32_t>(wide), 0xFFFFFFFEu);
    wide = static_cast<uint16_t>(0xFFFE);
    EXPECT_EQ(static_cast<uint32_t>(wide), 0x0000FFFEu);

    BigEndian16 narrow(static_cast<uint32_t>(74565));  // 00 01 23 45
    EXPECT_EQ(bytesOf(&narrow, 2), (std::vector<uint8_t>{0x23, 0x45}));
    EXPECT_EQ(static_cast<uint16_t>(narrow), 9029);
    BigEndian16 copy = narrow;
    EXPECT_EQ(copy.stored, narrow.stored);
    EXPECT_EQ(static_cast<uint16_t>(copy.reset()), 0);

    NetOrder32 net(static_cast<uint32_t>(0x0A000001));
    EXPECT_EQ(bytesOf(&net, 4), (std::vector<uint8_t>{0x0A, 0x00, 0x00, 0x01}));
    static_assert(sizeof(BigEndian16) == 2 && sizeof(BigEndian32) == 4, "overlays of wire fields");
}

TEST_F(IdCounter, OddDrawsFromAFreshCounter) {
    EXPECT_EQ(nextOddId8(), 1);
    EXPECT_EQ(nextOddId8(), 3);
    EXPECT_EQ(nextOddId8(), 5);
    EXPECT_EQ(idCounter, 6u);
}

TEST_F(IdCounter, DrawsOfEveryKindInterleave) {
    EXPECT_EQ(nextOddId8(), 1);
    EXPECT_EQ(nextOddId16(), 3);
    EXPECT_EQ(nextId8(), 4);
    EXPECT_EQ(nextOddId8(), 5);
    EXPECT_EQ(nextId32(), 6u);
    EXPECT_EQ(nextId(), 7u);
    EXPECT_EQ(nextId16(), 8);
}

TEST_F(IdCounter, PlainDrawsWrapModulo255And65535) {
    idCounter = 255;
    EXPECT_EQ(nextId8(), 0);
    idCounter = 65535;
    EXPECT_EQ(nextId16(), 0);
}

TEST_F(IdCounter, OddDrawsStayOddAndInRangeHoweverFarTheCounterRuns) {
    // A long-running server draws thousands of message IDs from the same counter.
    for (int draw = 0; draw < 5000; ++draw) {
        ASSERT_EQ(nextOddId8() % 2, 1) << "draw " << draw;
        ASSERT_EQ(nextOddId16() % 2, 1) << "draw " << draw;
        nextId8();
    }
    std::set<int> contextIds;
    for (int draw = 0; draw < 1000; ++draw) contextIds.insert(nextOddId8());
    EXPECT_EQ(contextIds.size(), 128u);  // every odd ID from 1 to 255 comes round
    for (uint32_t start : {0xFFFFFFF0u, 65533u, 65535u, 131071u, 253u, 255u, 257u}) {
        idCounter = start;
        for (int draw = 0; draw < 40; ++draw) {
            const uint8_t contextId = nextOddId8();
            const uint16_t messageId = nextOddId16();
            ASSERT_TRUE(contextId % 2 == 1 && messageId % 2 == 1) << "from " << start << " draw " << draw;
        }
    }
    idCounter = 255;
    EXPECT_EQ(nextOddId8(), 255);  // the last valid presentation-context ID
    EXPECT_EQ(nextOddId8(), 1);
}

// Two threads drawing message IDs at once never get the same one: 16,000
// draws stay below the 32,768 odd IDs, so every ID is new.
TEST_F(IdCounter, ConcurrentDrawsNeverRepeatAnId) {
    constexpr int draws = 8000;
    std::vector<uint16_t> first(draws), second(draws);
    std::thread other([&] {
        for (int index = 0; index < draws; ++index) second[index] = nextOddId16();
    });
    for (int index = 0; index < draws; ++index) first[index] = nextOddId16();
    other.join();
    std::set<uint16_t> seen(first.begin(), first.end());
    seen.insert(second.begin(), second.end());
    EXPECT_EQ(seen.size(), 2u * draws);
    for (uint16_t id : seen) EXPECT_EQ(id % 2, 1);
}
