#ifndef DICOMTOOLKIT_NETWORK_PDATAPDU_H
#define DICOMTOOLKIT_NETWORK_PDATAPDU_H

#include <cstdint>

#include "../stream/ByteStream.h"
#include "PdvBuffer.h"

// P-DATA-TF (PDU type 0x04): carries one encoded message at a time as PDVs.
// Sending cuts the PDV buffer's pending output into fragments of 4096 bytes
// (fewer when the peer announced a maximum length below 4102), one PDV per
// PDU. Receiving gathers PDV payload into the PDV buffer until a PDV with the
// last-fragment bit arrives; the PDU length field keeps the bytes of a partly
// consumed PDU between calls.
class PDataPdu {
public:
    static constexpr uint8_t pduType = 0x04;
    static constexpr uint32_t fragmentSize = 4096;
    static constexpr uint8_t commandBit = 0x01;
    static constexpr uint8_t lastFragmentBit = 0x02;
    static constexpr uint32_t defaultMaximumMessageLength = 0xFFFFFFFFu;
    // Bytes of whole PDUs handed to the transport together while sending.
    static constexpr uint32_t batchSize = 60000;

    PDataPdu();
    virtual ~PDataPdu();

    // Sends the whole pending output of the PDV buffer on stream as one
    // message on currentContextId, flushing the stream every batchSize bytes
    // of PDUs and after the last. Returns 1.
    int write(ByteStream* stream);
    // Reads PDVs after the type byte 0x04 has been consumed (or, while the PDU
    // length shows a PDU in progress, with nothing consumed). Returns 1, or 0
    // for a malformed PDU (a PDV length below 2 or past the end of its PDU, a
    // PDU longer than maximumReceiveLength, a PDV of a message on another
    // context or of the other kind than the PDVs before it, a PDV that takes
    // the message beyond maximumMessageLength) or a stream that failed; the
    // receive state is then cleared.
    int readBody(ByteStream* stream);
    // Forgets a partly received PDU or message and any payload not decoded.
    void resetReceiveState();

    PdvBuffer* buffer() { return &pdvBuffer; }
    int isMessageComplete() const { return messageComplete; }
    uint8_t contextId() const { return currentContextId; }
    // Whether the message completed last came in command PDVs.
    int isCommandMessage() const { return (pdvControlHeader & commandBit) != 0; }

    uint8_t type = pduType;
    uint8_t reserved = 0;
    uint32_t pduLength = 0;
    PdvBuffer pdvBuffer;
    int32_t messageComplete = 0;
    uint32_t pdvLength = 0;
    uint8_t pdvContextId = 0;
    uint8_t pdvControlHeader = 0;
    uint8_t currentContextId = 0;
    uint8_t controlFlags = 0;
    // The peer's announced maximum PDU length, 0 for none: fragments are cut
    // to fit it.
    uint32_t maximumSendLength = 0;
    // The maximum PDU length this side announced, 0 for none. A received
    // P-DATA-TF within it is buffered whole before its PDVs are read.
    uint32_t maximumReceiveLength = 0;
    // The largest message (command set or data set) gathered from the peer:
    // a PDV that would take the payload of one message beyond it makes the
    // PDU malformed. The default is what the 32-bit counters of a stream hold.
    uint32_t maximumMessageLength = defaultMaximumMessageLength;
    // Set when a PDU was refused because its message went beyond
    // maximumMessageLength (so that a log can say so); cleared by each new
    // connection.
    int32_t messageTooLong = 0;
    // A message is being gathered: the context and control header of its
    // first PDV, which every later PDV of it must share.
    int32_t gathering = 0;
    uint8_t gatheringContextId = 0;
    uint8_t gatheringCommand = 0;
};

#endif
