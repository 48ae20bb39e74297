#ifndef DICOMTOOLKIT_NETWORK_WIREREADER_H
#define DICOMTOOLKIT_NETWORK_WIREREADER_H

#include <cstdint>

#include "../stream/ByteStream.h"

// The one way PDUs and items read their fields: every read is bounded by what
// is left of the enclosing PDU or item, and every read of the stream is
// checked. A read that does not fit, or that the stream cannot deliver, fails
// and marks the reader failed; nothing is ever read past the bound, so a
// length taken from the wire can never make a reader cross into the next PDU
// or allocate on a number it has not checked.
class WireReader {
public:
    static constexpr uint32_t unbounded = 0xFFFFFFFFu;

    WireReader(ByteStream* stream, uint32_t limit) : stream(stream), left(limit) {}

    int u8(uint8_t& out);
    int u16(uint16_t& out);
    int u32(uint32_t& out);
    int bytes(uint8_t* buffer, uint32_t n);
    int skip(uint32_t n);
    // Claims the next n bytes for an enclosed item: they leave this reader's
    // bound now and are read through the returned reader. When they do not
    // fit, the returned reader has failed and this one keeps its bytes.
    WireReader enclosed(uint32_t n);
    // Consumes whatever the reader was given and did not read, so that the
    // stream stands at the end of the item whatever its contents were, also
    // after a read that did not fit. 1 when the reader had not failed before.
    int skipRest();

    ByteStream* stream;
    uint32_t left;
    // A read did not fit the bound, or the stream could not deliver it.
    int32_t failed = 0;
    // The stream could not deliver: nothing more is read then, not even by
    // skipRest.
    int32_t streamFailed = 0;

private:
    int fail() {
        failed = 1;
        return 0;
    }
};

#endif
