#include "WireReader.h"

int WireReader::bytes(uint8_t* buffer, uint32_t n) {
    if (failed) return 0;
    if (n == 0) return 1;
    if (n > left) return fail();
    left -= n;
    return stream->readBytes(buffer, n) ? 1 : fail();
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
    uint16_t first = 0, second = 0;
    if (!u16(first) || !u16(second)) return 0;
    out = stream->readOrder == ByteStream::littleEndian ? first | static_cast<uint32_t>(second) << 16
                                                        : static_cast<uint32_t>(first) << 16 | second;
    return 1;
}

int WireReader::skip(uint32_t n) {
    if (failed) return 0;
    if (n == 0) return 1;
    if (n > left) return fail();
    left -= n;
    return stream->skip(n) ? 1 : fail();
}

WireReader WireReader::enclosed(uint32_t n) {
    WireReader inner(stream, n);
    if (failed || n > left) {
        // The enclosed item is malformed; this reader keeps its bytes, so it
        // can still skip to its own end.
        inner.failed = 1;
        return inner;
    }
    left -= n;
    return inner;
}

int WireReader::skipRest() {
    if (failed) return 0;
    const uint32_t rest = left;
    if (rest == 0) return 1;
    left = 0;
    return stream->skip(rest) ? 1 : fail();
}
