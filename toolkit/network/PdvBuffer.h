#ifndef DICOMTOOLKIT_NETWORK_PDVBUFFER_H
#define DICOMTOOLKIT_NETWORK_PDVBUFFER_H

#include <cstdint>

#include "../stream/ByteStream.h"

// The payload of the PDVs of one message. A codec encodes into its output and
// decodes from its input; the transport is another ByteStream (the
// association), reached only during pull and push.
class PdvBuffer : public ByteStream {
public:
    PdvBuffer();
    ~PdvBuffer() override;

    // Reads exactly maximum bytes from the peer: maximum, or -1 when that fails.
    int rawRead(uint8_t* buffer, uint32_t maximum) override;
    // Writes the bytes to the peer and, unless flushPeer is 0, flushes it.
    int rawWrite(const uint8_t* buffer, uint32_t count) override;

    // Moves exactly n bytes from peer into this buffer's input, behind what
    // is buffered there.
    int pull(ByteStream* peer, uint32_t n);
    // Moves the first n pending output bytes into peer.
    int push(ByteStream* peer, uint32_t n);

    ByteStream* peer = nullptr;
    // Whether rawWrite flushes the peer after each write (1, the default);
    // a sender that collects several PDUs on the peer before a flush clears it.
    int32_t flushPeer = 1;
};

#endif
