#include <gtest/gtest.h>

#include <vector>

#include "../support/Damage.h"
#include "../support/ScriptedStream.h"
#include "network/PDataPdu.h"

namespace {

std::vector<uint8_t> payload(size_t size) {
    std::vector<uint8_t> bytes(size);
    for (size_t index = 0; index < size; ++index) bytes[index] = static_cast<uint8_t>(index * 7 + 3);
    return bytes;
}

struct SentPdu {
    uint32_t pduLength;
    uint32_t pdvLength;
    uint8_t contextId;
    uint8_t controlHeader;
    std::vector<uint8_t> payload;
};

// Splits written bytes back into P-DATA-TF PDUs of one PDV each.
std::vector<SentPdu> parse(const std::vector<uint8_t>& bytes) {
    std::vector<SentPdu> pdus;
    size_t offset = 0;
    auto u32 = [&](size_t at) {
        return uint32_t(bytes[at]) << 24 | uint32_t(bytes[at + 1]) << 16 | uint32_t(bytes[at + 2]) << 8 | bytes[at + 3];
    };
    while (offset < bytes.size()) {
        EXPECT_EQ(bytes[offset], 0x04);
        EXPECT_EQ(bytes[offset + 1], 0x00);
        SentPdu pdu{u32(offset + 2), u32(offset + 6), bytes[offset + 10], bytes[offset + 11], {}};
        pdu.payload.assign(bytes.begin() + offset + 12, bytes.begin() + offset + 6 + pdu.pduLength);
        offset += 6 + pdu.pduLength;
        pdus.push_back(pdu);
    }
    return pdus;
}

std::vector<uint8_t> pdvBytes(uint8_t contextId, uint8_t header, const std::vector<uint8_t>& data) {
    const uint32_t length = static_cast<uint32_t>(data.size() + 2);
    std::vector<uint8_t> bytes;
    for (int shift = 24; shift >= 0; shift -= 8) bytes.push_back(static_cast<uint8_t>(length >> shift));
    bytes.push_back(contextId);
    bytes.push_back(header);
    for (uint8_t byte : data) bytes.push_back(byte);
    return bytes;
}

std::vector<uint8_t> pduBytes(const std::vector<std::vector<uint8_t>>& pdvs) {
    std::vector<uint8_t> body;
    for (const auto& pdv : pdvs) body.insert(body.end(), pdv.begin(), pdv.end());
    const uint32_t length = static_cast<uint32_t>(body.size());
    std::vector<uint8_t> bytes = {0x04, 0x00};
    for (int shift = 24; shift >= 0; shift -= 8) bytes.push_back(static_cast<uint8_t>(length >> shift));
    for (uint8_t byte : body) bytes.push_back(byte);
    return bytes;
}

std::vector<uint8_t> bufferedInput(PdvBuffer& buffer) {
    std::vector<uint8_t> bytes(buffer.availableCount());
    if (!bytes.empty()) buffer.readBytes(bytes.data(), static_cast<uint32_t>(bytes.size()));
    return bytes;
}

// The bytes after the type byte, which the association consumes itself.
std::vector<uint8_t> afterTypeByte(const std::vector<uint8_t>& bytes) {
    return std::vector<uint8_t>(bytes.begin() + 1, bytes.end());
}

}  // namespace

TEST(PDataPdu, SplitsTenThousandBytesIntoThreeFragments) {
    // One object sends both messages, as an association does: nothing of
    // the first message's last fragment may carry over into the second.
    PDataPdu pdu;
    for (uint8_t command : {0, 1}) {
        pdu.currentContextId = 3;
        // The sender sets the command bit and leaves the rest of the flags.
        pdu.controlFlags = static_cast<uint8_t>((pdu.controlFlags & ~PDataPdu::commandBit) | command);
        const std::vector<uint8_t> message = payload(10000);
        pdu.buffer()->writeBytes(message.data(), 10000);
        ScriptedStream stream;
        stream.setWriteOrder(2);
        EXPECT_EQ(pdu.write(&stream), 1);
        const std::vector<SentPdu> pdus = parse(stream.output);
        ASSERT_EQ(pdus.size(), 3u);
        const uint32_t sizes[3] = {4096, 4096, 1808};
        std::vector<uint8_t> gathered;
        for (int index = 0; index < 3; ++index) {
            EXPECT_EQ(pdus[index].pduLength, sizes[index] + 6);
            EXPECT_EQ(pdus[index].pdvLength, sizes[index] + 2);
            EXPECT_EQ(pdus[index].contextId, 3);
            EXPECT_EQ(pdus[index].controlHeader, (index == 2 ? 0x02 : 0x00) | command);
            gathered.insert(gathered.end(), pdus[index].payload.begin(), pdus[index].payload.end());
        }
        EXPECT_EQ(gathered, message);
        // The three PDUs (10,036 bytes) reach the transport together, in one write.
        EXPECT_EQ(stream.writes.size(), 1u);
        EXPECT_EQ(pdu.pduLength, 0u);
        EXPECT_EQ(pdu.buffer()->pendingCount(), 0u);
    }
}

TEST(PDataPdu, ALargeMessageReachesTheTransportInFewWritesOfWholePdus) {
    PDataPdu pdu;
    pdu.currentContextId = 1;
    const std::vector<uint8_t> message = payload(200000);
    pdu.buffer()->writeBytes(message.data(), 200000);
    ScriptedStream stream;
    stream.setWriteOrder(2);
    ASSERT_EQ(pdu.write(&stream), 1);
    const std::vector<SentPdu> pdus = parse(stream.output);
    ASSERT_EQ(pdus.size(), 49u);  // 48 of 4096 bytes and one of 3392
    std::vector<uint8_t> gathered;
    for (const SentPdu& sent : pdus) gathered.insert(gathered.end(), sent.payload.begin(), sent.payload.end());
    EXPECT_EQ(gathered, message);
    EXPECT_EQ(pdus.back().controlHeader, 0x02);
    EXPECT_LE(stream.writes.size(), 10u);
    EXPECT_EQ(pdu.buffer()->pendingCount(), 0u);
    EXPECT_EQ(stream.pendingCount(), 0u);  // nothing held back after the last fragment
    EXPECT_EQ(pdu.buffer()->flushPeer, 1);
}

TEST(PDataPdu, ExactlyOneFragmentAndAnEmptyMessage) {
    PDataPdu pdu;
    pdu.currentContextId = 1;
    const std::vector<uint8_t> message = payload(4096);
    pdu.buffer()->writeBytes(message.data(), 4096);
    ScriptedStream stream;
    stream.setWriteOrder(2);
    pdu.write(&stream);
    const std::vector<SentPdu> pdus = parse(stream.output);
    ASSERT_EQ(pdus.size(), 1u);
    EXPECT_EQ(pdus[0].pduLength, 4102u);
    EXPECT_EQ(pdus[0].controlHeader, 0x02);

    ScriptedStream quiet;
    EXPECT_EQ(pdu.write(&quiet), 1);  // nothing pending: no PDU at all
    EXPECT_TRUE(quiet.output.empty());
}

TEST(PDataPdu, ReadsTwoPdvsOfOnePduInTwoCalls) {
    const std::vector<uint8_t> command = payload(20), data = payload(30);
    ScriptedStream stream(afterTypeByte(pduBytes({pdvBytes(1, 0x03, command), pdvBytes(1, 0x02, data)})));
    stream.setReadOrder(2);
    PDataPdu pdu;
    EXPECT_EQ(pdu.readBody(&stream), 1);
    EXPECT_EQ(pdu.isMessageComplete(), 1);
    EXPECT_EQ(pdu.contextId(), 1);
    EXPECT_EQ(bufferedInput(*pdu.buffer()), command);
    EXPECT_EQ(pdu.pduLength, 36u);  // the second PDV is still to come
    EXPECT_EQ(pdu.readBody(&stream), 1);
    EXPECT_EQ(pdu.isMessageComplete(), 1);
    EXPECT_EQ(bufferedInput(*pdu.buffer()), data);
    EXPECT_EQ(pdu.pduLength, 0u);
    EXPECT_EQ(stream.inputLeft(), 0u);
}

TEST(PDataPdu, GathersAMessageSplitOverThreePdus) {
    const std::vector<uint8_t> parts[3] = {payload(100), payload(50), payload(7)};
    std::vector<uint8_t> wire;
    for (int index = 0; index < 3; ++index) {
        const std::vector<uint8_t> pdu = pduBytes({pdvBytes(5, index == 2 ? 0x02 : 0x00, parts[index])});
        wire.insert(wire.end(), pdu.begin(), pdu.end());
    }
    ScriptedStream stream(wire);
    stream.setReadOrder(2);
    PDataPdu pdu;
    std::vector<uint8_t> expected;
    for (int index = 0; index < 3; ++index) {
        uint8_t type = 0;
        stream.readU8(type);
        ASSERT_EQ(type, 0x04);
        EXPECT_EQ(pdu.readBody(&stream), 1);
        EXPECT_EQ(pdu.isMessageComplete(), index == 2 ? 1 : 0);
        expected.insert(expected.end(), parts[index].begin(), parts[index].end());
    }
    EXPECT_EQ(pdu.contextId(), 5);
    EXPECT_EQ(bufferedInput(*pdu.buffer()), expected);
}

// A peer decides how many PDVs a message takes: the payload gathered for
// one message stops at maximumMessageLength, whatever the PDUs look like.
TEST(PDataPdu, MessageStopsAtItsMaximumLength) {
    struct Case {
        uint32_t maximum;
        int accepted;  // PDUs of 100, 50 and 7 payload bytes read before a refusal
    };
    const Case cases[] = {{157, 3}, {156, 2}, {150, 2}, {149, 1}, {100, 1}, {99, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.maximum);
        std::vector<uint8_t> wire;
        const std::vector<uint8_t> parts[3] = {payload(100), payload(50), payload(7)};
        for (int index = 0; index < 3; ++index) {
            const std::vector<uint8_t> pdu = pduBytes({pdvBytes(5, index == 2 ? 0x02 : 0x00, parts[index])});
            wire.insert(wire.end(), pdu.begin(), pdu.end());
        }
        ScriptedStream stream(wire);
        stream.setReadOrder(2);
        PDataPdu pdu;
        pdu.maximumMessageLength = c.maximum;
        int accepted = 0;
        for (; accepted < 3; ++accepted) {
            uint8_t type = 0;
            stream.readU8(type);
            if (pdu.readBody(&stream) == 0) break;
        }
        EXPECT_EQ(accepted, c.accepted);
        if (accepted < 3) {
            EXPECT_EQ(pdu.buffer()->availableCount(), 0u);  // nothing of the refused message is kept
            EXPECT_EQ(pdu.isMessageComplete(), 0);
        }
    }
}

TEST(PDataPdu, RefusesMalformedPdvLengths) {
    struct Case {
        const char* what;
        std::vector<uint8_t> bytes;  // after the type byte
    };
    const std::vector<Case> cases = {
        {"PDV length 1", {0x00, 0x00, 0x00, 0x00, 0x06, 0x00, 0x00, 0x00, 0x01, 0x01, 0x02}},
        {"PDV length 0", {0x00, 0x00, 0x00, 0x00, 0x06, 0x00, 0x00, 0x00, 0x00, 0x01, 0x02}},
        {"PDV longer than its PDU", {0x00, 0x00, 0x00, 0x00, 0x08, 0x00, 0x00, 0x00, 0x10, 0x01, 0x02, 'a', 'b'}},
        // PDU length 8: a PDV header of 6 and 2 bytes of payload; PDV length 6
        // claims 4, which would reach 2 bytes into the next PDU's header.
        {"PDV ending 2 bytes past its PDU",
         {0x00, 0x00, 0x00, 0x00, 0x08, 0x00, 0x00, 0x00, 0x06, 0x01, 0x02, 'a', 'b', 0x04, 0x00}},
        {"PDV near 4 GiB", {0x00, 0x00, 0x00, 0x00, 0x08, 0xFF, 0xFF, 0xFF, 0xFF, 0x01, 0x02, 'a', 'b'}},
        {"PDU too short for a PDV header", {0x00, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScriptedStream stream(c.bytes);
        stream.setReadOrder(2);
        PDataPdu pdu;
        EXPECT_EQ(pdu.readBody(&stream), 0);
        EXPECT_EQ(pdu.isMessageComplete(), 0);
        EXPECT_EQ(pdu.buffer()->availableCount(), 0u);
        EXPECT_EQ(pdu.pduLength, 0u);
    }
}

TEST(PdvBuffer, PullsExactlyAndNeverReadsThePeerAfterwards) {
    ScriptedStream peer(payload(100));
    PdvBuffer buffer;
    EXPECT_EQ(buffer.pull(&peer, 40), 1);
    EXPECT_EQ(buffer.availableCount(), 40u);
    EXPECT_EQ(peer.availableCount() + peer.inputLeft(), 60u);
    EXPECT_EQ(buffer.peer, nullptr);
    // Reading past the pulled bytes fails instead of reaching into the peer.
    std::vector<uint8_t> bytes(41);
    EXPECT_EQ(buffer.readBytes(bytes.data(), 41), 0);
    EXPECT_EQ(peer.availableCount() + peer.inputLeft(), 60u);
}

TEST(PdvBuffer, PushMovesTheFirstPendingBytes) {
    PdvBuffer buffer;
    const std::vector<uint8_t> data = payload(30);
    buffer.writeBytes(data.data(), 30);
    ScriptedStream peer;
    EXPECT_EQ(buffer.push(&peer, 10), 1);
    EXPECT_EQ(peer.output, std::vector<uint8_t>(data.begin(), data.begin() + 10));
    EXPECT_EQ(buffer.pendingCount(), 20u);
}

TEST(PDataPdu, DamagedPdusNeverBreakTheReader) {
    // Two PDVs in one PDU, damaged at random; the reader consumes the PDU's
    // PDVs until it completes a message, runs out, or refuses the PDU.
    const std::vector<uint8_t> pdu = {
        0x00, 0x00, 0x00, 0x00, 0x1C,                          // reserved, PDU length 28
        0x00, 0x00, 0x00, 0x08, 0x01, 0x01, 1, 2, 3, 4, 5, 6,  // PDV: command, 6 bytes
        0x00, 0x00, 0x00, 0x08, 0x01, 0x02, 7, 8, 9, 10, 11, 12,  // PDV: data set, last
    };
    // The next PDU's first bytes follow, so a reader that runs past its PDU
    // finds something to read.
    const std::vector<uint8_t> nextPdu = {0x04, 0x00, 0x00, 0x00, 0x00, 0x08, 0x00, 0x00};
    std::mt19937 random(77);
    for (int round = 0; round < 3000; ++round) {
        std::vector<uint8_t> input = damaged(pdu, random);
        input.insert(input.end(), nextPdu.begin(), nextPdu.end());
        // The reserved byte and the PDU length as the reader finds them.
        const uint32_t pduLength = uint32_t(input[1]) << 24 | uint32_t(input[2]) << 16 | uint32_t(input[3]) << 8 | input[4];
        ScriptedStream stream(input);
        stream.setReadOrder(2);
        PDataPdu reader;
        for (int call = 0; call < 4; ++call) {
            if (reader.readBody(&stream) == 0) {
                EXPECT_EQ(reader.pduLength, 0u);  // a refused PDU is dropped
                break;
            }
            if (reader.pduLength == 0) break;
        }
        // Whatever the damage, the reader takes nothing beyond its PDU, and
        // holds as payload only bytes it took.
        const uint64_t taken = input.size() - stream.inputLeft() - stream.availableCount();
        EXPECT_LE(taken, 5 + uint64_t(pduLength));
        EXPECT_LE(reader.buffer()->availableCount(), taken);
    }
}
