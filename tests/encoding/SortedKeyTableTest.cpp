#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <numeric>
#include <random>
#include <vector>

#include "encoding/SortedKeyTable.h"

namespace {

KeyedRecord recordFor(uint32_t key) {
    KeyedRecord record;
    record.tag = key;
    record.vr = key ^ 0x5A5Au;  // tells records apart from their keys
    return record;
}

// A table holding keys in the given order, each with its own record.
void fill(SortedKeyTable& table, const std::vector<uint32_t>& keys) {
    for (uint32_t key : keys) table.insert(key, recordFor(key));
}

void expectAscendingWithTheirRecords(const SortedKeyTable& table) {
    for (uint32_t index = 0; index < table.countOf(); ++index) {
        if (index != 0) {
            EXPECT_LE(table.keys[index - 1], table.keys[index]) << index;
        }
        EXPECT_EQ(table.recordAt(index)->tag, table.keys[index]) << index;
        EXPECT_EQ(table.recordAt(index)->vr, table.keys[index] ^ 0x5A5Au) << index;
    }
}

}  // namespace

TEST(SortedKeyTable, InsertStopsAtCapacityAndReturnsTheLastStoredRecord) {
    SortedKeyTable table(2, 1);
    EXPECT_EQ(table.insert(30, recordFor(30))->tag, 30u);
    EXPECT_EQ(table.insert(10, recordFor(10))->tag, 10u);
    const KeyedRecord* last = table.insert(20, recordFor(20));
    ASSERT_NE(last, nullptr);
    EXPECT_EQ(last->tag, 10u);
    EXPECT_EQ(table.countOf(), 2u);
    EXPECT_EQ(table.find(20), -1);
}

TEST(SortedKeyTable, WithoutKeysNothingSortsOrIsFound) {
    SortedKeyTable table(3, 0);
    fill(table, {3, 1, 2});
    EXPECT_EQ(table.countOf(), 3u);
    EXPECT_EQ(table.sort(), 0);
    EXPECT_EQ(table.find(1), -1);
    EXPECT_EQ(table.recordAt(0)->tag, 3u);

    SortedKeyTable empty(4, 1);
    EXPECT_EQ(empty.sort(), 1);
    EXPECT_EQ(empty.find(0), -1);
    EXPECT_EQ(empty.recordAt(0), nullptr);
}

TEST(SortedKeyTable, SortsAnyOrderAscendingWithRecordsFollowingTheirKeys) {
    std::mt19937 random(11);
    for (uint32_t size : {1u, 2u, 3u, 7u, 64u, 1000u}) {
        std::vector<uint32_t> keys(size);
        std::iota(keys.begin(), keys.end(), 0x00080000u);
        for (auto order : {0, 1, 2}) {
            if (order == 1) std::reverse(keys.begin(), keys.end());
            if (order == 2) std::shuffle(keys.begin(), keys.end(), random);
            SortedKeyTable table(size, 1);
            fill(table, keys);
            ASSERT_EQ(table.sort(), 1);
            expectAscendingWithTheirRecords(table);
            EXPECT_EQ(table.keys[0], 0x00080000u);
            EXPECT_EQ(table.keys[size - 1], 0x00080000u + size - 1);
        }
    }
}

TEST(SortedKeyTable, KeysCompareUnsigned) {
    SortedKeyTable table(3, 1);
    fill(table, {0xFFFE0000u, 0x00020010u, 0x7FE00010u});
    ASSERT_EQ(table.sort(), 1);
    EXPECT_EQ(table.keys[0], 0x00020010u);
    EXPECT_EQ(table.keys[2], 0xFFFE0000u);
}

TEST(SortedKeyTable, FindsEveryKeyAndNoOtherForEverySize) {
    // Odd keys 1, 3, 5, ...: every even number is absent, below, between and
    // above them. The probe's step arithmetic differs for each size.
    for (uint32_t size = 1; size <= 130; ++size) {
        SortedKeyTable table(size, 1);
        for (uint32_t index = 0; index < size; ++index) table.insert(2 * index + 1, recordFor(2 * index + 1));
        ASSERT_EQ(table.sort(), 1);
        for (uint32_t index = 0; index < size; ++index) {
            ASSERT_EQ(table.find(2 * index + 1), static_cast<int32_t>(index)) << "size " << size;
        }
        for (uint32_t absent = 0; absent <= 2 * size + 2; absent += 2) {
            ASSERT_EQ(table.find(absent), -1) << "size " << size << " key " << absent;
        }
        ASSERT_EQ(table.find(0xFFFFFFFFu), -1);
    }
}

TEST(SortedKeyTable, EqualKeysSitTogetherAndAnyOfThemIsFound) {
    SortedKeyTable table(6, 1);
    fill(table, {5, 9, 5, 1, 5, 9});
    ASSERT_EQ(table.sort(), 1);
    expectAscendingWithTheirRecords(table);
    for (uint32_t key : {1u, 5u, 9u}) {
        const int32_t index = table.find(key);
        ASSERT_GE(index, 0);
        EXPECT_EQ(table.keys[index], key);
    }
    EXPECT_EQ(table.find(4), -1);
}
