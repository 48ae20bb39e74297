#include "ByteStream.h"

#include <cstring>
#include <new>

StreamChunk::StreamChunk(uint32_t size)
    : capacity(size), data(size != 0 ? new (std::nothrow) uint8_t[size] : nullptr) {
    if (data == nullptr) capacity = 0;
}

StreamChunk::~StreamChunk() { delete[] data; }

ByteStream::ByteStream() = default;

ByteStream::~ByteStream() {
    while (inputChunks.count() != 0) dropOldestInputChunk();
    while (outputChunks.count() != 0) dropOldestOutputChunk();
}

int ByteStream::setReadOrder(int32_t code) {
    readOrder = code;
    return 1;
}

int ByteStream::setWriteOrder(int32_t code) {
    writeOrder = code;
    return 1;
}

int ByteStream::setBlockSize(uint32_t size) {
    blockSize = size;
    return 1;
}

void ByteStream::dropOldestInputChunk() {
    delete inputChunks.at(0)->element;
    inputChunks.removeAt(0);
}

void ByteStream::dropOldestOutputChunk() {
    delete outputChunks.at(0)->element;
    outputChunks.removeAt(0);
}

int ByteStream::fill() {
    const uint32_t request = blockSize < maximumRequest ? blockSize : maximumRequest;
    // The transport reads straight into the new chunk, which then holds
    // exactly the bytes it got.
    auto* chunk = new (std::nothrow) StreamChunk(request);
    if (chunk == nullptr || chunk->capacity != request) {
        delete chunk;
        return 0;
    }
    int got;
    do {
        got = rawRead(chunk->data, request);
    } while (got == 0);
    // A transport that claims more than it was asked for has broken its contract.
    if (got < 0 || static_cast<uint32_t>(got) > request || inputChunks.tryAppend(chunk) == 0) {
        delete chunk;
        return 0;
    }
    chunk->capacity = static_cast<uint32_t>(got);
    available += chunk->capacity;
    return 1;
}

int ByteStream::readBytes(uint8_t* buffer, uint32_t n) {
    if (n == 0) return 0;
    while (available < n) {
        if (fill() == 0) return 0;
    }
    uint32_t wanted = n;
    for (;;) {
        StreamChunk* chunk = inputChunks.at(0)->element;
        if (chunk->position == chunk->capacity) {
            dropOldestInputChunk();
            continue;
        }
        const uint32_t remaining = chunk->capacity - chunk->position;
        if (remaining >= wanted) {
            std::memcpy(buffer, chunk->data + chunk->position, wanted);
            chunk->position += wanted;
            available -= wanted;
            return 1;
        }
        std::memcpy(buffer, chunk->data + chunk->position, remaining);
        buffer += remaining;
        available -= remaining;
        wanted -= remaining;
        dropOldestInputChunk();
    }
}

ByteStream& ByteStream::readU8(uint8_t& out) {
    readBytes(&out, 1);
    return *this;
}

ByteStream& ByteStream::readU16(uint16_t& out) {
    uint8_t bytes[2] = {0, 0};
    readBytes(bytes, 2);
    out = readOrder == littleEndian ? static_cast<uint16_t>(bytes[0] | bytes[1] << 8)
                                    : static_cast<uint16_t>(bytes[0] << 8 | bytes[1]);
    return *this;
}

ByteStream& ByteStream::readU32(uint32_t& out) {
    uint16_t first = 0, second = 0;
    readU16(first).readU16(second);
    out = readOrder == littleEndian ? first | static_cast<uint32_t>(second) << 16
                                    : static_cast<uint32_t>(first) << 16 | second;
    return *this;
}

int ByteStream::skip(uint32_t n) {
    if (n == 0) return 0;
    uint8_t scratch[1024];
    while (n > sizeof scratch) {
        if (readBytes(scratch, sizeof scratch) == 0) return 0;
        n -= sizeof scratch;
    }
    return readBytes(scratch, n);
}

int ByteStream::readAhead(uint32_t n) {
    blockSize = n;
    const uint64_t target = static_cast<uint64_t>(available) + n;
    while (available < target) {
        blockSize = static_cast<uint32_t>(target - available);
        if (fill() == 0) {
            blockSize = defaultBlockSize;
            return 0;
        }
    }
    blockSize = defaultBlockSize;
    return 1;
}

int ByteStream::ensureAvailable(uint32_t n) { return available >= n ? 1 : readAhead(n - available); }

void ByteStream::discardInput() {
    while (inputChunks.count() != 0) dropOldestInputChunk();
    available = 0;
}

void ByteStream::discardOutput() {
    while (outputChunks.count() != 0) dropOldestOutputChunk();
    pending = 0;
    outputLost = 0;
}

int ByteStream::loseOutput() {
    outputLost = 1;
    return 0;
}

StreamChunk* ByteStream::appendOutputChunk(uint32_t capacity) {
    auto* chunk = new (std::nothrow) StreamChunk(capacity);
    if (chunk == nullptr || chunk->capacity != capacity || outputChunks.tryAppend(chunk) == 0) {
        delete chunk;
        return nullptr;
    }
    return chunk;
}

int ByteStream::writeBytes(const uint8_t* buffer, uint32_t n) {
    if (outputChunks.count() == 0 && appendOutputChunk(blockSize) == nullptr) return loseOutput();
    while (n != 0) {
        StreamChunk* chunk = outputChunks.at(outputChunks.count() - 1)->element;
        if (chunk->position == chunk->capacity) {
            if (appendOutputChunk(defaultBlockSize) == nullptr) return loseOutput();
            continue;
        }
        const uint32_t room = chunk->capacity - chunk->position;
        if (room > n) {
            std::memcpy(chunk->data + chunk->position, buffer, n);
            chunk->position += n;
            pending += n;
            return 1;
        }
        std::memcpy(chunk->data + chunk->position, buffer, room);
        chunk->position += room;
        pending += room;
        buffer += room;
        n -= room;
        if (appendOutputChunk(blockSize) == nullptr) return loseOutput();
    }
    return 1;
}

ByteStream& ByteStream::writeU8(const uint8_t& value) {
    writeBytes(&value, 1);
    return *this;
}

ByteStream& ByteStream::writeU16(const uint16_t& value) {
    const uint8_t low = static_cast<uint8_t>(value), high = static_cast<uint8_t>(value >> 8);
    const uint8_t bytes[2] = {writeOrder == littleEndian ? low : high, writeOrder == littleEndian ? high : low};
    writeBytes(bytes, 2);
    return *this;
}

ByteStream& ByteStream::writeU32(const uint32_t& value) {
    const uint16_t low = static_cast<uint16_t>(value), high = static_cast<uint16_t>(value >> 16);
    if (writeOrder == littleEndian) return writeU16(low).writeU16(high);
    return writeU16(high).writeU16(low);
}

int ByteStream::flush() {
    while (outputChunks.count() != 0) {
        StreamChunk* chunk = outputChunks.at(0)->element;
        if (chunk->position != 0) rawWrite(chunk->data, chunk->position);
        dropOldestOutputChunk();
    }
    pending = 0;
    return 1;
}

int ByteStream::partialFlush(uint32_t n) {
    if (pending < n) return flush();
    pending -= n;
    while (n != 0) {
        if (outputChunks.count() == 0) {
            pending = 0;
            return 0;
        }
        StreamChunk* chunk = outputChunks.at(0)->element;
        if (chunk->position > n) {
            rawWrite(chunk->data, n);
            std::memmove(chunk->data, chunk->data + n, chunk->position - n);
            chunk->position -= n;
            return 1;
        }
        if (chunk->position != 0) rawWrite(chunk->data, chunk->position);
        n -= chunk->position;
        dropOldestOutputChunk();
    }
    return 1;
}
