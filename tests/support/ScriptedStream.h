#ifndef TESTS_SUPPORT_SCRIPTEDSTREAM_H
#define TESTS_SUPPORT_SCRIPTEDSTREAM_H

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "stream/ByteStream.h"

// An in-memory transport that serves a fixed input and collects the output,
// recording every rawRead and rawWrite call so the buffering rules can be
// checked call by call. At most perRead bytes are delivered per rawRead;
// zeroReplies rawRead calls answer 0 ("nothing yet") before each delivery.
// At the end of the input rawRead returns -1.
class ScriptedStream : public ByteStream {
public:
    explicit ScriptedStream(std::vector<uint8_t> input = {}, uint32_t perRead = 0xFFFFFFFFu)
        : input_(std::move(input)), perRead_(perRead) {}

    struct ReadCall {
        uint32_t maximum;
        int result;
    };

    int rawRead(uint8_t* buffer, uint32_t maximum) override {
        int result;
        if (zeroRepliesLeft_ > 0) {
            --zeroRepliesLeft_;
            result = 0;
        } else if (offset_ == input_.size()) {
            result = -1;
        } else {
            const size_t count = std::min<size_t>({maximum, perRead_, input_.size() - offset_});
            std::memcpy(buffer, input_.data() + offset_, count);
            offset_ += count;
            result = static_cast<int>(count);
            zeroRepliesLeft_ = zeroReplies;
        }
        reads.push_back({maximum, result});
        return result;
    }

    int rawWrite(const uint8_t* buffer, uint32_t count) override {
        writes.push_back(count);
        output.insert(output.end(), buffer, buffer + count);
        return 1;
    }

    size_t inputLeft() const { return input_.size() - offset_; }

    // Buffers the whole input, as a file read or a gathered message is
    // buffered before it is decoded. Returns the stream for chaining.
    ScriptedStream& buffered() {
        if (inputLeft() != 0) readAhead(static_cast<uint32_t>(inputLeft()));
        reads.clear();
        return *this;
    }

    std::vector<ReadCall> reads;
    std::vector<uint32_t> writes;
    std::vector<uint8_t> output;
    int zeroReplies = 0;

private:
    std::vector<uint8_t> input_;
    size_t offset_ = 0;
    uint32_t perRead_;
    int zeroRepliesLeft_ = 0;
};

#endif
