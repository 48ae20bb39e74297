#ifndef TESTS_NETWORK_WIRETESTSUPPORT_H
#define TESTS_NETWORK_WIRETESTSUPPORT_H

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "../support/ScriptedStream.h"
#include "stream/ByteStream.h"

// Helpers of the item and PDU tests: big-endian scripted streams, fixtures as
// vectors, and the check that a reader left the byte after its item or PDU
// alone.

// Follows every fixture on the wire, so a reader that goes past its item or
// PDU is caught taking it.
constexpr uint8_t sentinel = 0xA5;

template <size_t N>
std::vector<uint8_t> bytesOf(const uint8_t (&array)[N]) {
    return std::vector<uint8_t>(array, array + N);
}

inline std::vector<uint8_t> withSentinel(std::vector<uint8_t> bytes) {
    bytes.push_back(sentinel);
    return bytes;
}

inline std::vector<uint8_t> concatenated(std::vector<uint8_t> first, const std::vector<uint8_t>& second) {
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

// A stream that delivers input and collects output in network byte order.
class WireStream : public ScriptedStream {
public:
    explicit WireStream(std::vector<uint8_t> input = {}, uint32_t perRead = 0xFFFFFFFFu)
        : ScriptedStream(std::move(input), perRead) {
        setReadOrder(ByteStream::bigEndian);
        setWriteOrder(ByteStream::bigEndian);
    }

    // Bytes not yet taken by a reader, buffered or still at the transport.
    size_t unread() const { return availableCount() + inputLeft(); }
};

// The reader stopped exactly before the sentinel: it is the one byte left.
inline void expectOnlySentinelLeft(WireStream& stream) {
    ASSERT_EQ(stream.unread(), 1u) << "the reader stopped " << static_cast<long>(stream.unread()) - 1
                                   << " bytes before its end";
    uint8_t next = 0;
    ASSERT_EQ(stream.readBytes(&next, 1), 1);
    EXPECT_EQ(next, sentinel);
}

// The reader stopped somewhere before the sentinel, which is still there.
inline void expectSentinelUnread(const WireStream& stream) { EXPECT_GE(stream.unread(), 1u); }

// Sizes, then writes an item or PDU, as the PDU writers do.
template <typename Encodable>
std::vector<uint8_t> encoded(Encodable& item) {
    WireStream stream;
    item.encodedSize();
    item.write(&stream);
    stream.flush();
    return stream.output;
}

#endif
