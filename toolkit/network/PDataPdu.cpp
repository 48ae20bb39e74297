#include "PDataPdu.h"

PDataPdu::PDataPdu() = default;

PDataPdu::~PDataPdu() = default;

int PDataPdu::write(ByteStream* stream) {
    const uint32_t total = pdvBuffer.pendingCount();
    const uint32_t savedPduLength = pduLength;
    uint32_t fragment = fragmentSize;
    if (maximumSendLength != 0 && maximumSendLength < fragmentSize + 6) {
        fragment = maximumSendLength > 7 ? maximumSendLength - 6 : 1;
    }
    // PDUs go to the transport together, up to batchSize bytes at a time,
    // rather than one system call each; the last always goes at once.
    const int32_t flushedPeer = pdvBuffer.flushPeer;
    pdvBuffer.flushPeer = 0;
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
        sent += fragment;
        if (sent == total || stream->pendingCount() >= batchSize) stream->flush();
    }
    pdvBuffer.flushPeer = flushedPeer;
    pduLength = savedPduLength;
    return 1;
}

void PDataPdu::resetReceiveState() {
    pduLength = 0;
    messageComplete = 0;
    gathering = 0;
    pdvBuffer.discardInput();
}

int PDataPdu::readBody(ByteStream* stream) {
    int wellFormed = 1;
    if (pduLength == 0) {
        uint8_t header[5];
        if (stream->readBytes(header, 5) == 0) wellFormed = 0;
        reserved = header[0];
        pduLength = static_cast<uint32_t>(header[1]) << 24 | static_cast<uint32_t>(header[2]) << 16 |
                    static_cast<uint32_t>(header[3]) << 8 | header[4];
        if (wellFormed && maximumReceiveLength != 0) {
            // The whole PDU at once, in one chunk: not a kilobyte at a time.
            const uint32_t buffered = stream->availableCount();
            wellFormed = pduLength <= maximumReceiveLength &&
                         (buffered >= pduLength || stream->bufferInput(pduLength - buffered, pduLength) != 0);
        }
    }
    messageComplete = 0;
    while (wellFormed && pduLength != 0) {
        uint8_t header[6];
        if (pduLength < 6 || stream->readBytes(header, 6) == 0) {
            wellFormed = 0;
            break;
        }
        pdvLength = static_cast<uint32_t>(header[0]) << 24 | static_cast<uint32_t>(header[1]) << 16 |
                    static_cast<uint32_t>(header[2]) << 8 | header[3];
        pdvContextId = header[4];
        pdvControlHeader = header[5];
        // The PDV's payload must lie inside what is left of its PDU, and a
        // message comes on one context in PDVs of one kind.
        const uint8_t command = pdvControlHeader & commandBit;
        const uint64_t gathered = static_cast<uint64_t>(pdvBuffer.availableCount()) + (pdvLength - 2);
        if (pdvLength >= 2 && gathered > maximumMessageLength) messageTooLong = 1;
        if (pdvLength < 2 || pdvLength > pduLength - 4 || gathered > maximumMessageLength ||
            (gathering && (pdvContextId != gatheringContextId || command != gatheringCommand))) {
            wellFormed = 0;
            break;
        }
        if (pdvLength > 2 && pdvBuffer.pull(stream, pdvLength - 2) == 0) {
            wellFormed = 0;
            break;
        }
        pduLength -= pdvLength + 4;
        gathering = 1;
        gatheringContextId = pdvContextId;
        gatheringCommand = command;
        if ((pdvControlHeader & lastFragmentBit) != 0) {
            messageComplete = 1;
            gathering = 0;
            currentContextId = pdvContextId;
            return 1;
        }
    }
    if (!wellFormed) {
        // A malformed PDU or a failed stream: nothing more of it can be trusted.
        resetReceiveState();
        return 0;
    }
    currentContextId = pdvContextId;
    return 1;
}
