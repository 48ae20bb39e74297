#include "ByteStream.h"

#include <cstring>
#include <new>

#include "../platform/Pages.h"

StreamChunk::StreamChunk(uint32_t size) : capacity(size), data(nullptr), room(size) {
    if (size >= largeSize) {
        data = platform::allocatePages(size);
        mapped = 1;
    } else if (size != 0) {
        data = new (std::nothrow) uint8_t[size];
    }
    if (data == nullptr) {
        capacity = 0;
        room = 0;
        mapped = 0;
    }
}

StreamChunk::StreamChunk(uint8_t* adopted, uint32_t size) : capacity(size), position(size), data(adopted), room(size) {}

StreamChunk::~StreamChunk() {
    if (mapped != 0) platform::releasePages(data, room);
    else delete[] data;
}

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
        // Deferred input is all the transport has.
        if (deferred != 0 || fill() == 0) return 0;
    }
    uint32_t wanted = n;
    for (;;) {
        if (inputChunks.count() == 0) {
            // Only deferred bytes are left, at least the ones wanted: they
            // go straight into the caller's buffer.
            readDeferred(buffer, wanted);
            available -= wanted;
            return 1;
        }
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

int ByteStream::deferInput(uint32_t n) {
    if (static_cast<uint64_t>(available) + n > 0xFFFFFFFFu) return 0;
    deferred += n;
    available += n;
    return 1;
}

// Exactly n deferred bytes into buffer; zeros for those the transport does
// not deliver.
int ByteStream::readDeferred(uint8_t* buffer, uint32_t n) {
    deferred -= n;
    while (n != 0 && inputFailed == 0) {
        const int got = rawRead(buffer, n);
        if (got < 0 || static_cast<uint32_t>(got) > n) {
            inputFailed = 1;
            break;
        }
        buffer += got;
        n -= static_cast<uint32_t>(got);
    }
    if (n != 0) std::memset(buffer, 0, n);
    return inputFailed == 0 ? 1 : 0;
}

int ByteStream::bufferDeferred(uint32_t most) {
    if (deferred == 0) return 0;
    const uint32_t size = deferred < most ? deferred : most;
    auto* chunk = new (std::nothrow) StreamChunk(size);
    if (chunk == nullptr || chunk->data == nullptr || inputChunks.tryAppend(chunk) == 0) {
        delete chunk;
        return 0;
    }
    readDeferred(chunk->data, size);
    return 1;
}

int ByteStream::readAhead(uint32_t n) {
    if (deferred != 0) return 0;
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

int ByteStream::bufferInput(uint32_t n, uint32_t chunkSize) {
    if (deferred != 0 || static_cast<uint64_t>(available) + n > 0xFFFFFFFFu) return 0;
    StreamChunk* chunk = inputChunks.count() != 0 ? inputChunks.at(inputChunks.count() - 1)->element : nullptr;
    while (n != 0) {
        if (chunk == nullptr || chunk->capacity == chunk->room) {
            chunk = new (std::nothrow) StreamChunk(chunkSize > n ? chunkSize : n);
            if (chunk == nullptr || chunk->data == nullptr || inputChunks.tryAppend(chunk) == 0) {
                delete chunk;
                return 0;
            }
            chunk->capacity = 0;
        }
        const uint32_t free = chunk->room - chunk->capacity;
        const uint32_t wanted = free < n ? free : n;
        int got;
        do {
            got = rawRead(chunk->data + chunk->capacity, wanted);
        } while (got == 0);
        if (got < 0 || static_cast<uint32_t>(got) > wanted) return 0;
        chunk->capacity += static_cast<uint32_t>(got);
        available += static_cast<uint32_t>(got);
        n -= static_cast<uint32_t>(got);
    }
    return 1;
}

int ByteStream::ensureAvailable(uint32_t n) { return available >= n ? 1 : readAhead(n - available); }

void ByteStream::discardInput() {
    while (inputChunks.count() != 0) dropOldestInputChunk();
    available = 0;
    deferred = 0;
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

int ByteStream::writeAdopted(uint8_t* bytes, uint32_t n) {
    if (n == 0) return 1;
    auto* chunk = new (std::nothrow) StreamChunk(bytes, n);
    if (chunk == nullptr) return 0;
    if (outputChunks.tryAppend(chunk) == 0) {
        chunk->data = nullptr;
        delete chunk;
        return 0;
    }
    pending += n;
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
        if (chunk->position > chunk->start) rawWrite(chunk->data + chunk->start, chunk->position - chunk->start);
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
        const uint32_t held = chunk->position - chunk->start;
        if (held > n) {
            // The rest stays where it is; start marks what has gone.
            rawWrite(chunk->data + chunk->start, n);
            chunk->start += n;
            return 1;
        }
        if (held != 0) rawWrite(chunk->data + chunk->start, held);
        n -= held;
        dropOldestOutputChunk();
    }
    return 1;
}
