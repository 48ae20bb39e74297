#ifndef DICOMTOOLKIT_STREAM_BYTESTREAM_H
#define DICOMTOOLKIT_STREAM_BYTESTREAM_H

#include <cstdint>

#include "../model/IndexedList.h"

// A buffer of bytes owned by a stream: input chunks count consumed bytes in
// position, output chunks count filled bytes.
class StreamChunk {
public:
    explicit StreamChunk(uint32_t size);
    ~StreamChunk();
    StreamChunk(const StreamChunk&) = delete;
    StreamChunk& operator=(const StreamChunk&) = delete;

    uint32_t capacity;
    uint32_t position = 0;
    uint8_t* data;
};

// The toolkit's one way of moving bytes: PDUs on a connection, PDV payload and
// files. Input and output are buffered in chunks; 16- and 32-bit numbers are
// converted in the byte order set for each direction (1 little endian, any
// other value big endian). The transport is the two raw operations:
//
// - rawRead(buffer, maximum) places 1..maximum bytes and returns their count,
//   0 when nothing is there yet (it is asked again), -1 on failure or end.
// - rawWrite(buffer, count) hands count bytes on; its result is not examined.
//
// Reads ask the transport for at most 1024 bytes at a time, and readAhead for
// exactly the bytes still missing. Writes reach the transport only through
// flush and partialFlush.
class ByteStream {
public:
    static constexpr uint32_t defaultBlockSize = 32600;
    static constexpr uint32_t maximumRequest = 1024;
    static constexpr int32_t littleEndian = 1;
    static constexpr int32_t bigEndian = 2;

    ByteStream();
    virtual ~ByteStream();
    ByteStream(const ByteStream&) = delete;
    ByteStream& operator=(const ByteStream&) = delete;

    virtual int rawRead(uint8_t* buffer, uint32_t maximum) = 0;
    virtual int rawWrite(const uint8_t* buffer, uint32_t count) = 0;

    int setReadOrder(int32_t code);
    int setWriteOrder(int32_t code);
    int setBlockSize(uint32_t size);
    uint32_t availableCount() const { return available; }
    uint32_t pendingCount() const { return pending; }

    // 1 when n bytes were delivered; 0 otherwise (also for n of 0).
    int readBytes(uint8_t* buffer, uint32_t n);
    // Number reads deliver an unspecified value when input fails; callers
    // that must know use readBytes or check availableCount.
    ByteStream& readU8(uint8_t& out);
    ByteStream& readU16(uint16_t& out);
    ByteStream& readU32(uint32_t& out);
    int skip(uint32_t n);
    // Buffers n more bytes than are available now, asking only for those.
    int readAhead(uint32_t n);
    // Buffers input until at least n bytes are available, asking only for
    // the missing ones; 1 at once when they are there already.
    int ensureAvailable(uint32_t n);
    // Forgets the buffered input, or the pending output, without passing
    // either on.
    void discardInput();
    void discardOutput();

    // 1, or 0 when no chunk could be allocated (the bytes not stored are
    // lost, and outputLost says so until the output is discarded).
    int writeBytes(const uint8_t* buffer, uint32_t n);
    ByteStream& writeU8(const uint8_t& value);
    ByteStream& writeU16(const uint16_t& value);
    ByteStream& writeU32(const uint32_t& value);
    int flush();
    // Hands the first n pending bytes to the transport and keeps the rest.
    int partialFlush(uint32_t n);

    uint32_t blockSize = defaultBlockSize;
    int32_t readOrder = littleEndian;
    int32_t writeOrder = littleEndian;
    uint32_t available = 0;
    uint32_t pending = 0;
    // Set when bytes given to a write could not be kept: what the stream
    // passes on is then incomplete.
    int32_t outputLost = 0;
    IndexedList<StreamChunk*> inputChunks;
    IndexedList<StreamChunk*> outputChunks;

private:
    int fill();
    StreamChunk* appendOutputChunk(uint32_t capacity);
    int loseOutput();
    void dropOldestInputChunk();
    void dropOldestOutputChunk();
};

#endif
