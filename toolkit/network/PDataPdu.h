#ifndef DICOMTOOLKIT_NETWORK_PDATAPDU_H
#define DICOMTOOLKIT_NETWORK_PDATAPDU_H

#include <cstdint>

#include "../stream/ByteStream.h"
#include "PdvBuffer.h"

// P-DATA-TF (PDU type 0x04): carries one encoded message at a time as PDVs.
// Sending cuts the PDV buffer's pending output into fragments of 4096 bytes,
// one PDV per PDU. Receiving gathers PDV payload into the PDV buffer until a
// PDV with the last-fragment bit arrives; the PDU length field keeps the
// bytes of a partly consumed PDU between calls.
class PDataPdu {
public:
    static constexpr uint8_t pduType = 0x04;
    static constexpr uint32_t fragmentSize = 4096;
    static constexpr uint8_t commandBit = 0x01;
    static constexpr uint8_t lastFragmentBit = 0x02;

    PDataPdu();
    virtual ~PDataPdu();

    // Sends the whole pending output of the PDV buffer on stream as one
    // message on currentContextId. Returns 1.
    int write(ByteStream* stream);
    // Reads PDVs after the type byte 0x04 has been consumed (or, while the PDU
    // length shows a PDU in progress, with nothing consumed). Returns 1, or 0
    // for a malformed PDU: a PDV length below 2 or past the end of its PDU.
    int readBody(ByteStream* stream);

    PdvBuffer* buffer() { return &pdvBuffer; }
    int isMessageComplete() const { return messageComplete; }
    uint8_t contextId() const { return currentContextId; }

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
};

#endif
