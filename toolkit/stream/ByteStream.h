#ifndef DICOMTOOLKIT_STREAM_BYTESTREAM_H
#define DICOMTOOLKIT_STREAM_BYTESTREAM_H

#include <cstdint>

#include "../model/IndexedList.h"

// A buffer of bytes owned by a stream: input chunks count consumed bytes in
// position and hold capacity bytes (room is what was allocated: bulk input
// may add bytes up to it); output chunks count filled bytes in position and
// bytes already handed to the transport in start. Chunks of largeSize bytes
// or more take their memory from the system's pages, so that a chunk given
// back while a large value is read leaves the process at once.
class StreamChunk {
public:
    static constexpr uint32_t largeSize = 1u << 20;

    explicit StreamChunk(uint32_t size);
    // Takes over bytes allocated with new[]: a full chunk of size bytes.
    StreamChunk(uint8_t* adopted, uint32_t size);
    ~StreamChunk();
    StreamChunk(const StreamChunk&) = delete;
    StreamChunk& operator=(const StreamChunk&) = delete;

    uint32_t capacity;
    uint32_t position = 0;
    uint8_t* data;
    uint32_t room;
    uint32_t start = 0;
    int32_t mapped = 0;
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
// exactly the bytes still missing; bulk and deferred input (below) ask for
// as much as the chunk or the caller's buffer takes. Writes reach the transport only through
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
    // Bulk input: buffers n more bytes, first into the free room of the
    // newest input chunk, then into new chunks of chunkSize bytes (or n when
    // larger), asking the transport for as many bytes as the chunk can still
    // take. 1, or 0 when the transport fails or no chunk can be allocated
    // (bytes already buffered stay buffered).
    int bufferInput(uint32_t n, uint32_t chunkSize);
    // Deferred input: the transport promises n more bytes in order (the rest
    // of a file), counted in available at once but read only when they are
    // reached: a read that reaches them goes straight from the transport
    // into the caller's buffer (a large value is read once, into the
    // element that keeps it). While input is deferred nothing else is asked
    // of the transport. A transport that breaks its promise leaves zeros in
    // place of the bytes missing, so that available stays true for the
    // decoders, and sets inputFailed. 0 when available could not count them.
    int deferInput(uint32_t n);
    // Moves up to most deferred bytes into a new input chunk, for looking
    // ahead without consuming; 1, or 0 when none are deferred or no chunk
    // could be made.
    int bufferDeferred(uint32_t most);
    // Forgets the buffered input, or the pending output, without passing
    // either on.
    void discardInput();
    void discardOutput();

    // 1, or 0 when no chunk could be allocated (the bytes not stored are
    // lost, and outputLost says so until the output is discarded).
    int writeBytes(const uint8_t* buffer, uint32_t n);
    // Appends n bytes allocated with new[] to the output without copying
    // them: the stream takes them over and deletes them once they are handed
    // on or discarded. 0, with the bytes still the caller's, when no chunk
    // could be made for them.
    int writeAdopted(uint8_t* bytes, uint32_t n);
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
    uint32_t deferred = 0;
    // Set when deferred input could not be read (see deferInput).
    int32_t inputFailed = 0;
    IndexedList<StreamChunk*> inputChunks;
    IndexedList<StreamChunk*> outputChunks;

private:
    int fill();
    int readDeferred(uint8_t* buffer, uint32_t n);
    StreamChunk* appendOutputChunk(uint32_t capacity);
    int loseOutput();
    void dropOldestInputChunk();
    void dropOldestOutputChunk();
};

#endif
