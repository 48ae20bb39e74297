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

TEST(ByteStream, BulkInputFillsTheNewestChunkBeforeMakingAnother) {
    ScriptedStream stream(sequence(300));
    ASSERT_EQ(stream.bufferInput(100, 256), 1);
    ASSERT_EQ(stream.bufferInput(150, 256), 1);  // 156 into the first chunk's room, then none needed
    EXPECT_EQ(stream.inputChunks.count(), 1u);
    ASSERT_EQ(stream.bufferInput(50, 256), 1);   // 6 left in the room, 44 in a second chunk
    EXPECT_EQ(stream.inputChunks.count(), 2u);
    EXPECT_EQ(maximaOf(stream), (std::vector<uint32_t>{100, 150, 6, 44}));
    std::vector<uint8_t> got(300);
    ASSERT_EQ(stream.readBytes(got.data(), 300), 1);
    EXPECT_EQ(got, sequence(300));
    // The transport failing keeps what arrived.
    ScriptedStream shorter(sequence(10));
    EXPECT_EQ(shorter.bufferInput(20, 64), 0);
    EXPECT_EQ(shorter.availableCount(), 10u);
}

TEST(ByteStream, DeferredInputIsReadWhenReachedStraightIntoTheCallersBuffer) {
    const std::vector<uint8_t> bytes = sequence(200000);
    ScriptedStream stream(bytes);
    ASSERT_EQ(stream.deferInput(200000), 1);
    EXPECT_EQ(stream.availableCount(), 200000u);
    EXPECT_TRUE(stream.reads.empty());  // nothing read before it is wanted
    uint8_t head[8];
    ASSERT_EQ(stream.readBytes(head, 8), 1);
    std::vector<uint8_t> value(150000);
    ASSERT_EQ(stream.readBytes(value.data(), 150000), 1);
    EXPECT_EQ(maximaOf(stream), (std::vector<uint32_t>{8, 150000}));  // no chunk in between
    // Looking ahead buffers deferred bytes in a chunk; reads take them from there first.
    ASSERT_EQ(stream.bufferDeferred(1000), 1);
    std::vector<uint8_t> rest(200000 - 150008);
    ASSERT_EQ(stream.readBytes(rest.data(), static_cast<uint32_t>(rest.size())), 1);
    EXPECT_EQ(maximaOf(stream), (std::vector<uint32_t>{8, 150000, 1000, 200000 - 151008}));
    std::vector<uint8_t> all(head, head + 8);
    all.insert(all.end(), value.begin(), value.end());
    all.insert(all.end(), rest.begin(), rest.end());
    EXPECT_EQ(all, bytes);
    EXPECT_EQ(stream.availableCount(), 0u);
    EXPECT_EQ(stream.inputFailed, 0);
    // Nothing beyond what was deferred is asked for.
    EXPECT_EQ(stream.readBytes(head, 1), 0);
    EXPECT_EQ(stream.readAhead(1), 0);
}

TEST(ByteStream, DeferredBytesTheTransportDoesNotDeliverAreZerosAndFlagged) {
    ScriptedStream stream(sequence(10));
    ASSERT_EQ(stream.deferInput(16), 1);
    std::vector<uint8_t> got(16, 0xEE);
    EXPECT_EQ(stream.readBytes(got.data(), 16), 1);  // available said 16: the count holds
    std::vector<uint8_t> expected = sequence(10);
    expected.resize(16, 0);
    EXPECT_EQ(got, expected);
    EXPECT_EQ(stream.inputFailed, 1);
    EXPECT_EQ(stream.availableCount(), 0u);
    // A stream cannot count more than 4 GiB - 1 bytes.
    ScriptedStream huge;
    ASSERT_EQ(huge.deferInput(0xFFFFFFF0u), 1);
    EXPECT_EQ(huge.deferInput(0x10u), 0);
    EXPECT_EQ(huge.availableCount(), 0xFFFFFFF0u);
}

TEST(ByteStream, AdoptedBytesGoOutInPlaceBetweenCopiedOnes) {
    ScriptedStream stream;
    stream.writeU16(0x0201);
    const std::vector<uint8_t> value = sequence(5000);
    auto* adopted = new uint8_t[5000];
    std::copy(value.begin(), value.end(), adopted);
    ASSERT_EQ(stream.writeAdopted(adopted, 5000), 1);
    stream.writeU8(0x7F);
    EXPECT_EQ(stream.pendingCount(), 5003u);
    // Fragments of a message: partial flushes walk through the adopted bytes.
    ASSERT_EQ(stream.partialFlush(1000), 1);
    ASSERT_EQ(stream.partialFlush(4000), 1);
    ASSERT_EQ(stream.flush(), 1);
    EXPECT_EQ(stream.writes, (std::vector<uint32_t>{2, 998, 4000, 2, 1}));
    std::vector<uint8_t> expected = {0x01, 0x02};
    expected.insert(expected.end(), value.begin(), value.end());
    expected.push_back(0x7F);
    EXPECT_EQ(stream.output, expected);
}
