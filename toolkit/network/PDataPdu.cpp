#include "PDataPdu.h"

PDataPdu::PDataPdu() = default;

PDataPdu::~PDataPdu() = default;

int PDataPdu::write(ByteStream* stream) {
    const uint32_t total = pdvBuffer.pendingCount();
    const uint32_t savedPduLength = pduLength;
    uint32_t fragment = fragmentSize;
    uint32_t sent = 0;
    while (sent < total) {
        if (total - sent < fragment) fragment = total - sent;
        controlFlags = static_cast<uint8_t>(controlFlags & commandBit);
        if (sent + fragment == total) controlFlags |= lastFragmentBit;
        pdvContextId = currentContextId;
        pdvLength = fragment + 2;
        pduLength = fragment + 6;
        stream->writeU8(type).writeU8(reserved).writeU32(pduLength).writeU32(pdvLength);
        stream->writeU8(pdvContextId).writeU8(controlFlags);
        pdvBuffer.push(stream, fragment);
        stream->flush();
        sent += fragment;
    }
    pduLength = savedPduLength;
    return 1;
}

int PDataPdu::readBody(ByteStream* stream) {
    if (pduLength == 0) stream->readU8(reserved).readU32(pduLength);
    messageComplete = 0;
    while (pduLength != 0) {
        if (pduLength < 6) break;
        stream->readU32(pdvLength).readU8(pdvContextId).readU8(pdvControlHeader);
        // The PDV's payload must lie inside what is left of its PDU.
        if (pdvLength < 2 || pdvLength > pduLength - 4) break;
        if (pdvLength > 2 && pdvBuffer.pull(stream, pdvLength - 2) == 0) break;
        pduLength -= pdvLength + 4;
        if ((pdvControlHeader & lastFragmentBit) != 0) {
            messageComplete = 1;
            currentContextId = pdvContextId;
            return 1;
        }
    }
    if (pduLength != 0) {
        // A malformed PDU: nothing more of it can be trusted.
        pduLength = 0;
        return 0;
    }
    currentContextId = pdvContextId;
    return 1;
}
