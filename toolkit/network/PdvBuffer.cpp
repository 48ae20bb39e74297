#include "PdvBuffer.h"

PdvBuffer::PdvBuffer() = default;

PdvBuffer::~PdvBuffer() { peer = nullptr; }

int PdvBuffer::rawRead(uint8_t* buffer, uint32_t maximum) {
    if (peer == nullptr || peer->readBytes(buffer, maximum) == 0) return -1;
    return static_cast<int>(maximum);
}

int PdvBuffer::rawWrite(const uint8_t* buffer, uint32_t count) {
    if (peer == nullptr) return 0;
    const int written = peer->writeBytes(buffer, count);
    if (flushPeer != 0) peer->flush();
    return written;
}

// The peer is forgotten after each transfer, so a decoder working on the
// buffered payload can never reach into the association's stream.
// The payload of a message is gathered in chunks that grow with it (from
// 16 KiB to 4 MiB), filled PDV after PDV: few allocations for a large
// message, none too large for a small one.
int PdvBuffer::pull(ByteStream* source, uint32_t n) {
    constexpr uint32_t smallest = 16u << 10, largest = 4u << 20;
    const uint32_t chunkSize = available < smallest ? smallest : available > largest ? largest : available;
    peer = source;
    const int result = bufferInput(n, chunkSize);
    peer = nullptr;
    return result;
}

int PdvBuffer::push(ByteStream* sink, uint32_t n) {
    peer = sink;
    const int result = partialFlush(n);
    peer = nullptr;
    return result;
}
