// Streams over memory and over buffered input, for the codecs of
// StandardEncodingService.

#include "StandardCodecs.h"

#include <cstring>

namespace codec {

int MemoryStream::outputToInput() {
    while (outputChunks.count() != 0) {
        StreamChunk* chunk = outputChunks.at(0)->element;
        outputChunks.removeAt(0);
        // What was handed on already is consumed input.
        chunk->capacity = chunk->position;
        chunk->position = chunk->start;
        const uint32_t held = chunk->capacity - chunk->position;
        if (held == 0 || inputChunks.tryAppend(chunk) == 0) {
            const bool lost = held != 0;
            delete chunk;
            if (lost) {
                discardOutput();
                return 0;
            }
            continue;
        }
        available += held;
    }
    pending = 0;
    return 1;
}

int MemoryStream::appendInput(const uint8_t* bytes, uint32_t count) {
    return (count == 0 || writeBytes(bytes, count) != 0) && outputToInput() != 0 ? 1 : 0;
}

InputScan::InputScan(ByteStream& stream) : stream_(stream) {
    if (stream.inputChunks.count() != 0) position_ = stream.inputChunks.at(0)->element->position;
}

int InputScan::take(uint8_t* out, uint32_t n) {
    if (static_cast<uint64_t>(scanned) + n > stream_.availableCount()) return 0;
    while (n != 0) {
        if (index_ == stream_.inputChunks.count()) {
            // The rest is deferred input (a file read as it is reached).
            constexpr uint32_t least = 64u << 10, most = 4u << 20;
            if (stream_.bufferDeferred(n < least ? least : n > most ? most : n) == 0) return 0;
        }
        StreamChunk* chunk = stream_.inputChunks.at(index_)->element;
        const uint32_t room = chunk->capacity - position_;
        if (room == 0) {
            ++index_;
            position_ = 0;
            continue;
        }
        const uint32_t step = room < n ? room : n;
        if (out != nullptr) {
            std::memcpy(out, chunk->data + position_, step);
            out += step;
        }
        position_ += step;
        scanned += step;
        n -= step;
    }
    return 1;
}

int32_t syntaxNamedBy(const DataElement* element) {
    char text[128] = {};
    if (element->value != nullptr) {
        std::memcpy(text, element->value, element->length < sizeof text - 1 ? element->length : sizeof text - 1);
    }
    return findStandardTransferSyntax(text);
}

}  // namespace codec
