#include <gtest/gtest.h>

#include <vector>

#include "WireTestSupport.h"
#include "network/WireReader.h"

TEST(WireReader, ReadsNumbersInTheStreamsByteOrder) {
    const std::vector<uint8_t> bytes = {0x12, 0x01, 0x02, 0x01, 0x02, 0x03, 0x04};
    WireStream big(bytes);
    WireReader reader(&big, 7);
    uint8_t u8 = 0;
    uint16_t u16 = 0;
    uint32_t u32 = 0;
    EXPECT_EQ(reader.u8(u8), 1);
    EXPECT_EQ(reader.u16(u16), 1);
    EXPECT_EQ(reader.u32(u32), 1);
    EXPECT_EQ(u8, 0x12);
    EXPECT_EQ(u16, 0x0102);
    EXPECT_EQ(u32, 0x01020304u);
    EXPECT_EQ(reader.left, 0u);

    WireStream little(bytes);
    little.setReadOrder(ByteStream::littleEndian);
    WireReader littleReader(&little, 7);
    littleReader.u8(u8);
    littleReader.u16(u16);
    littleReader.u32(u32);
    EXPECT_EQ(u16, 0x0201);
    EXPECT_EQ(u32, 0x04030201u);
}

TEST(WireReader, AReadPastTheBoundFailsWithoutTouchingTheStream) {
    struct Case {
        const char* what;
        uint32_t limit;
        int (*read)(WireReader&);
    };
    const Case cases[] = {
        {"u16 with one byte left", 1, [](WireReader& r) { uint16_t v; return r.u16(v); }},
        {"u32 with three bytes left", 3, [](WireReader& r) { uint32_t v; return r.u32(v); }},
        {"bytes beyond the bound", 4, [](WireReader& r) { uint8_t v[5]; return r.bytes(v, 5); }},
        {"skip beyond the bound", 4, [](WireReader& r) { return r.skip(5); }},
        {"u8 of an empty bound", 0, [](WireReader& r) { uint8_t v; return r.u8(v); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        WireStream stream(withSentinel({0x01, 0x02, 0x03, 0x04}));
        WireReader reader(&stream, c.limit);
        EXPECT_EQ(c.read(reader), 0);
        EXPECT_EQ(reader.failed, 1);
        EXPECT_EQ(reader.left, c.limit);
        EXPECT_EQ(stream.unread(), 5u);
        // A failed reader stays failed, even for reads that would fit.
        uint8_t byte = 0;
        EXPECT_EQ(reader.u8(byte), 0);
        EXPECT_EQ(stream.unread(), 5u);
    }
}

TEST(WireReader, AStreamThatEndsEarlyFailsTheRead) {
    WireStream stream({0x01, 0x02, 0x03});
    WireReader reader(&stream, WireReader::unbounded);
    uint32_t value = 0;
    EXPECT_EQ(reader.u32(value), 0);
    EXPECT_EQ(reader.failed, 1);
    EXPECT_EQ(reader.skipRest(), 0);
}

TEST(WireReader, AnEnclosedItemTakesItsBytesFromTheBound) {
    WireStream stream(withSentinel({0x01, 0x02, 0x03, 0x04, 0x05, 0x06}));
    WireReader outer(&stream, 6);
    WireReader inner = outer.enclosed(4);
    EXPECT_EQ(inner.failed, 0);
    EXPECT_EQ(inner.left, 4u);
    EXPECT_EQ(outer.left, 2u);
    uint16_t value = 0;
    EXPECT_EQ(inner.u16(value), 1);
    EXPECT_EQ(value, 0x0102);
    EXPECT_EQ(inner.skipRest(), 1);  // the enclosed item's last two bytes
    EXPECT_EQ(outer.u16(value), 1);
    EXPECT_EQ(value, 0x0506);
    expectOnlySentinelLeft(stream);
}

TEST(WireReader, AnEnclosedItemTooLongForItsBoundFailsAndTheBoundKeepsItsBytes) {
    WireStream stream(withSentinel({0x01, 0x02, 0x03, 0x04}));
    WireReader outer(&stream, 4);
    WireReader inner = outer.enclosed(5);
    EXPECT_EQ(inner.failed, 1);
    uint8_t byte = 0;
    EXPECT_EQ(inner.u8(byte), 0);
    inner.skipRest();  // may not take a byte beyond the outer bound
    EXPECT_EQ(outer.failed, 0);
    EXPECT_EQ(outer.left, 4u);
    EXPECT_EQ(outer.skipRest(), 1);
    expectOnlySentinelLeft(stream);
}

TEST(WireReader, SkipRestReachesTheEndEvenAfterAReadPastTheBound) {
    // A field cut by the end of its item fails the item; skipping its rest
    // must still leave the stream at the item's end, where the next one starts.
    WireStream stream(withSentinel({0x01, 0x02, 0x03}));
    WireReader reader(&stream, 3);
    uint16_t value = 0;
    EXPECT_EQ(reader.u16(value), 1);
    EXPECT_EQ(reader.u16(value), 0);
    EXPECT_EQ(reader.failed, 1);
    reader.skipRest();
    EXPECT_EQ(reader.left, 0u);
    expectOnlySentinelLeft(stream);
}
