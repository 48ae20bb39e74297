#include <gtest/gtest.h>

#include <numeric>
#include <vector>

#include "../support/ScriptedStream.h"

namespace {

std::vector<uint8_t> sequence(size_t count) {
    std::vector<uint8_t> bytes(count);
    std::iota(bytes.begin(), bytes.end(), 0);
    return bytes;
}

std::vector<uint32_t> maximaOf(const ScriptedStream& stream) {
    std::vector<uint32_t> maxima;
    for (const auto& call : stream.reads) maxima.push_back(call.maximum);
    return maxima;
}

}  // namespace

TEST(ByteStream, StartsWithBlockSize32600AndLittleEndianBothWays) {
    ScriptedStream stream;
    EXPECT_EQ(stream.blockSize, 32600u);
    EXPECT_EQ(stream.readOrder, 1);
    EXPECT_EQ(stream.writeOrder, 1);
    EXPECT_EQ(stream.availableCount(), 0u);
    EXPECT_EQ(stream.pendingCount(), 0u);
}

TEST(ByteStream, ReadsNumbersInEitherByteOrder) {
    const std::vector<uint8_t> bytes = {0x01, 0x02, 0x12, 0x34, 0x56, 0x78, 0x01, 0x02, 0x12, 0x34, 0x56, 0x78, 0xAB};
    ScriptedStream stream(bytes);
    uint16_t little16 = 0, big16 = 0;
    uint32_t little32 = 0, big32 = 0;
    uint8_t single = 0;
    stream.readU16(little16).readU32(little32);
    stream.setReadOrder(2);
    stream.readU16(big16).readU32(big32).readU8(single);
    EXPECT_EQ(little16, 0x0201);
    EXPECT_EQ(little32, 0x78563412u);
    EXPECT_EQ(big16, 0x0102);
    EXPECT_EQ(big32, 0x12345678u);
    EXPECT_EQ(single, 0xAB);
}

TEST(ByteStream, WritesNumbersInEitherByteOrder) {
    ScriptedStream stream;
    stream.writeU32(0x11223344u).writeU16(0x5566);
    stream.setWriteOrder(2);
    stream.writeU32(0x11223344u).writeU16(0x5566).writeU8(0x77);
    EXPECT_EQ(stream.pendingCount(), 13u);
    EXPECT_TRUE(stream.writes.empty());  // nothing reaches the transport before a flush
    EXPECT_EQ(stream.flush(), 1);
    EXPECT_EQ(stream.output, (std::vector<uint8_t>{0x44, 0x33, 0x22, 0x11, 0x66, 0x55, 0x11, 0x22, 0x33, 0x44, 0x55,
                                                   0x66, 0x77}));
    EXPECT_EQ(stream.pendingCount(), 0u);
}

TEST(ByteStream, ReadBytesFillsFromSmallTransportResults) {
    ScriptedStream stream(sequence(12), 3);
    std::vector<uint8_t> got(10);
    EXPECT_EQ(stream.readBytes(got.data(), 10), 1);
    EXPECT_EQ(stream.reads.size(), 4u);
    EXPECT_EQ(maximaOf(stream), (std::vector<uint32_t>{1024, 1024, 1024, 1024}));
    EXPECT_EQ(got, std::vector<uint8_t>(sequence(10)));
    EXPECT_EQ(stream.availableCount(), 2u);
    uint16_t last = 0;
    stream.readU16(last);
    EXPECT_EQ(last, 0x0B0A);
    EXPECT_EQ(stream.reads.size(), 4u);
}

TEST(ByteStream, NothingYetIsAskedAgainAndFailureKeepsWhatWasBuffered) {
    ScriptedStream stream(sequence(5), 3);
    stream.zeroReplies = 2;
    std::vector<uint8_t> got(8);
    EXPECT_EQ(stream.readBytes(got.data(), 8), 0);
    // 3 bytes, two "nothing yet", 2 bytes, two "nothing yet", the end.
    ASSERT_EQ(stream.reads.size(), 7u);
    EXPECT_EQ(stream.reads.back().result, -1);
    EXPECT_EQ(stream.availableCount(), 5u);
    EXPECT_EQ(stream.readBytes(got.data(), 5), 1);
    EXPECT_EQ(std::vector<uint8_t>(got.begin(), got.begin() + 5), sequence(5));
    EXPECT_EQ(stream.readBytes(got.data(), 0), 0);
}

TEST(ByteStream, ReadAheadAsksForExactlyTheMissingBytes) {
    ScriptedStream stream(sequence(5000));
    EXPECT_EQ(stream.readAhead(100), 1);
    EXPECT_EQ(maximaOf(stream), (std::vector<uint32_t>{100}));
    EXPECT_EQ(stream.availableCount(), 100u);
    EXPECT_EQ(stream.blockSize, 32600u);
    EXPECT_EQ(stream.readAhead(2500), 1);
    // Requests are capped at 1024 and then shrink to what is still missing.
    EXPECT_EQ(maximaOf(stream), (std::vector<uint32_t>{100, 1024, 1024, 452}));
    EXPECT_EQ(stream.availableCount(), 2600u);
    EXPECT_EQ(stream.inputLeft(), 2400u);
}

TEST(ByteStream, ReadAheadFailsAtTheEndWithWhatArrivedBuffered) {
    ScriptedStream stream(sequence(10));
    EXPECT_EQ(stream.readAhead(50000), 0);
    EXPECT_EQ(stream.availableCount(), 10u);
    EXPECT_EQ(stream.reads.size(), 2u);
}

TEST(ByteStream, SkipDiscardsBytes) {
    ScriptedStream stream(sequence(3000));
    EXPECT_EQ(stream.skip(0), 0);
    EXPECT_EQ(stream.skip(2999), 1);
    uint8_t last = 0;
    stream.readU8(last);
    EXPECT_EQ(last, static_cast<uint8_t>(2999));
    EXPECT_EQ(stream.skip(1), 0);
}

TEST(ByteStream, WritingOneBlockFillsAChunkAndFlushHandsItOverWhole) {
    ScriptedStream stream;
    const std::vector<uint8_t> block(32600, 0x5A);
    EXPECT_EQ(stream.writeBytes(block.data(), 32600), 1);
    EXPECT_EQ(stream.outputChunks.count(), 2u);
    EXPECT_EQ(stream.outputChunks.at(1)->element->position, 0u);
    EXPECT_EQ(stream.pendingCount(), 32600u);
    stream.flush();
    EXPECT_EQ(stream.writes, (std::vector<uint32_t>{32600}));
    EXPECT_EQ(stream.output, block);
    EXPECT_EQ(stream.outputChunks.count(), 0u);
}

TEST(ByteStream, LargeWritesSpanChunksAndKeepTheirOrder) {
    ScriptedStream stream;
    std::vector<uint8_t> data(100000);
    for (size_t index = 0; index < data.size(); ++index) data[index] = static_cast<uint8_t>(index * 7);
    stream.writeBytes(data.data(), 1000);
    stream.writeBytes(data.data() + 1000, 99000);
    stream.flush();
    EXPECT_EQ(stream.output, data);
    for (uint32_t size : stream.writes) EXPECT_LE(size, 32600u);
}

TEST(ByteStream, PartialFlushHandsOverTheFirstBytesAndKeepsTheRest) {
    ScriptedStream stream;
    const std::vector<uint8_t> data = sequence(25);
    stream.writeBytes(data.data(), 25);
    EXPECT_EQ(stream.partialFlush(10), 1);
    EXPECT_EQ(stream.writes, (std::vector<uint32_t>{10}));
    EXPECT_EQ(stream.pendingCount(), 15u);
    stream.flush();
    EXPECT_EQ(stream.writes, (std::vector<uint32_t>{10, 15}));
    EXPECT_EQ(stream.output, data);
}

TEST(ByteStream, PartialFlushAcrossChunksAndBeyondWhatIsPending) {
    ScriptedStream stream;
    const std::vector<uint8_t> data(40000, 1);
    stream.writeBytes(data.data(), 40000);  // chunks of 32600 and 7400
    EXPECT_EQ(stream.partialFlush(35000), 1);
    EXPECT_EQ(stream.writes, (std::vector<uint32_t>{32600, 2400}));
    EXPECT_EQ(stream.pendingCount(), 5000u);
    EXPECT_EQ(stream.partialFlush(6000), 1);  // more than pending: everything goes
    EXPECT_EQ(stream.writes, (std::vector<uint32_t>{32600, 2400, 5000}));
    EXPECT_EQ(stream.pendingCount(), 0u);
}

TEST(ByteStream, PartialFlushReportsPendingBytesThatNoChunkHolds) {
    ScriptedStream stream;
    const std::vector<uint8_t> data(8, 1);
    stream.writeBytes(data.data(), 8);
    stream.pending = 20;  // claims more than the chunks hold
    EXPECT_EQ(stream.partialFlush(12), 0);
    EXPECT_EQ(stream.pendingCount(), 0u);
}

TEST(ByteStream, DestroyingDiscardsPendingOutput) {
    struct CountingStream : ByteStream {
        explicit CountingStream(int& calls) : calls_(calls) {}
        int rawRead(uint8_t*, uint32_t) override { return -1; }
        int rawWrite(const uint8_t*, uint32_t) override { return ++calls_; }
        int& calls_;
    };
    int calls = 0;
    {
        CountingStream stream(calls);
        stream.writeU32(1);
        EXPECT_EQ(stream.pendingCount(), 4u);
    }
    EXPECT_EQ(calls, 0);
}
