#include "AssociationPdus.h"

int ShortPdu::write(ByteStream* stream) {
    encodedSize();
    uint8_t body[bodyLength];
    packBody(body);
    stream->writeU8(pduType).writeU8(reserved).writeU32(pduLength);
    stream->writeBytes(body, bodyLength);
    stream->flush();
    return 1;
}

int ShortPdu::read(ByteStream* stream) {
    WireReader reader(stream, WireReader::unbounded);
    if (!reader.u8(pduType)) return 0;
    return readBody(stream);
}

int ShortPdu::readBody(ByteStream* stream) {
    WireReader reader(stream, WireReader::unbounded);
    if (!reader.u8(reserved) || !reader.u32(pduLength)) return 0;
    if (pduLength != bodyLength) return 0;
    uint8_t body[bodyLength];
    if (!reader.bytes(body, bodyLength)) return 0;
    unpackBody(body);
    return 1;
}

void AssociateRejectPdu::packBody(uint8_t* body) const {
    body[0] = reserved2;
    body[1] = result;
    body[2] = source;
    body[3] = reason;
}

void AssociateRejectPdu::unpackBody(const uint8_t* body) {
    reserved2 = body[0];
    result = body[1];
    source = body[2];
    reason = body[3];
}

void ReleasePdu::packBody(uint8_t* body) const {
    for (int index = 0; index < 4; ++index) body[index] = static_cast<uint8_t>(reserved2 >> (24 - 8 * index));
}

void ReleasePdu::unpackBody(const uint8_t* body) {
    reserved2 = static_cast<uint32_t>(body[0]) << 24 | static_cast<uint32_t>(body[1]) << 16 |
                static_cast<uint32_t>(body[2]) << 8 | body[3];
}

void AbortPdu::packBody(uint8_t* body) const {
    body[0] = reserved2;
    body[1] = reserved3;
    body[2] = source;
    body[3] = reason;
}

void AbortPdu::unpackBody(const uint8_t* body) {
    reserved2 = body[0];
    reserved3 = body[1];
    source = body[2];
    reason = body[3];
}
