#include "WireReader.h"

int WireReader::bytes(uint8_t* buffer, uint32_t n) {
    if (failed) return 0;
    if (n == 0) return 1;
    if (n > left) return fail();
    left -= n;
    if (stream->readBytes(buffer, n)) return 1;
    streamFailed = 1;
    return fail();
}

int WireReader::u8(uint8_t& out) { return bytes(&out, 1); }

int WireReader::u16(uint16_t& out) {
    uint8_t raw[2];
    if (!bytes(raw, 2)) return 0;
    out = stream->readOrder == ByteStream::littleEndian ? static_cast<uint16_t>(raw[0] | raw[1] << 8)
                                                        : static_cast<uint16_t>(raw[0] << 8 | raw[1]);
    return 1;
}

int WireReader::u32(uint32_t& out) {
    // All four bytes at once, so that a value cut by the bound takes none.
    uint8_t raw[4];
    if (!bytes(raw, 4)) return 0;
    const uint32_t b0 = raw[0], b1 = raw[1], b2 = raw[2], b3 = raw[3];
    out = stream->readOrder == ByteStream::littleEndian ? b0 | b1 << 8 | b2 << 16 | b3 << 24
                                                        : b0 << 24 | b1 << 16 | b2 << 8 | b3;
    return 1;
}

int WireReader::skip(uint32_t n) {
    if (failed) return 0;
    if (n == 0) return 1;
    if (n > left) return fail();
    left -= n;
    if (stream->skip(n)) return 1;
    streamFailed = 1;
    return fail();
}

WireReader WireReader::enclosed(uint32_t n) {
    WireReader inner(stream, n);
    if (failed || n > left) {
        // The enclosed item is malformed; this reader keeps its bytes, so it
        // can still skip to its own end, and the enclosed one gets none.
        inner.left = 0;
        inner.failed = 1;
        inner.streamFailed = streamFailed;
        return inner;
    }
    left -= n;
    return inner;
}

int WireReader::skipRest() {
    // A read that did not fit the bound left its bytes in place: they are
    // skipped like the rest. Only a failed stream has nothing more to give.
    if (streamFailed) return 0;
    const uint32_t rest = left;
    left = 0;
    if (rest != 0 && !stream->skip(rest)) {
        streamFailed = 1;
        return fail();
    }
    return failed ? 0 : 1;
}
