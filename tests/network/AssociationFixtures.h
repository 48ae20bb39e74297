#ifndef TESTS_NETWORK_ASSOCIATIONFIXTURES_H
#define TESTS_NETWORK_ASSOCIATIONFIXTURES_H

#include <cstdint>
#include <string>
#include <vector>

#include "../support/DataSetText.h"
#include "../support/ScriptedStream.h"
#include "network/AssociationService.h"
#include "platform/Sockets.h"

// Byte scripts of the PDUs a peer sends, built with the toolkit's own PDU
// encoders where the bytes are not the point, and the parts of what a peer
// received.
namespace association {

using Bytes = std::vector<uint8_t>;

const char* const verification = "1.2.840.10008.1.1";
const char* const ctImageStorage = "1.2.840.10008.5.1.4.1.1.2";
const char* const implicitLittle = "1.2.840.10008.1.2";
const char* const explicitLittle = "1.2.840.10008.1.2.1";

const Bytes releaseRequest = {0x05, 0x00, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00, 0x00};
const Bytes releaseResponse = {0x06, 0x00, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00, 0x00};
const Bytes abortAsSent = {0x07, 0x00, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x03, 0x01};

inline Bytes operator+(Bytes first, const Bytes& second) {
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

inline std::string portText(uint16_t port) { return std::to_string(port); }

template <typename Pdu>
Bytes encode(Pdu& pdu) {
    ScriptedStream out;
    out.setWriteOrder(ByteStream::bigEndian);
    pdu.write(&out);
    out.flush();
    return out.output;
}

struct Proposed {
    uint8_t id;
    std::string abstractSyntax;
    std::vector<std::string> transferSyntaxes;
};

inline UserInformationItem userInformation(uint32_t maximumLength) {
    UserInformationItem information;
    information.setMaximumLength(MaximumLengthItem(maximumLength));
    information.implementationClassUid.setValue("1.2.3.4");
    information.implementationVersionName.setValue("PEER");
    return information;
}

inline Bytes requestBytes(const std::vector<Proposed>& contexts, uint32_t maximumLength = 16384,
                          const char* calling = "PEER", const char* called = "DICOMTK") {
    AssociateRequestPdu request(calling, called);
    request.setApplicationContext(UidValue("1.2.840.10008.3.1.1.1"));
    for (const Proposed& proposed : contexts) {
        PresentationContextItem context;
        context.contextId = proposed.id;
        context.setAbstractSyntax(AbstractSyntaxItem(proposed.abstractSyntax.c_str()));
        for (const std::string& transfer : proposed.transferSyntaxes) {
            context.appendTransferSyntax(TransferSyntaxItem(transfer.c_str()));
        }
        request.appendPresentationContext(context);
    }
    request.setUserInformation(userInformation(maximumLength));
    return encode(request);
}

struct Answered {
    uint8_t id;
    uint8_t result;
    std::string transferSyntax;
};

inline Bytes acceptBytes(const std::vector<Answered>& contexts, uint32_t maximumLength = 16384) {
    AssociateAcceptPdu accept("DICOMTK", "PEER");
    accept.setApplicationContext(UidValue("1.2.840.10008.3.1.1.1"));
    for (const Answered& answered : contexts) {
        PresentationContextResultItem context(TransferSyntaxItem(answered.transferSyntax.c_str()));
        context.contextId = answered.id;
        context.resultReason = answered.result;
        accept.appendPresentationContext(context);
    }
    accept.setUserInformation(userInformation(maximumLength));
    return encode(accept);
}

inline void appendU32(Bytes& bytes, uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) bytes.push_back(static_cast<uint8_t>(value >> shift));
}

struct Pdv {
    uint8_t contextId;
    uint8_t controlHeader;
    Bytes payload;
};

// One P-DATA-TF holding the PDVs in order.
inline Bytes dataBytes(const std::vector<Pdv>& pdvs) {
    Bytes body;
    for (const Pdv& pdv : pdvs) {
        appendU32(body, static_cast<uint32_t>(pdv.payload.size() + 2));
        body.push_back(pdv.contextId);
        body.push_back(pdv.controlHeader);
        body.insert(body.end(), pdv.payload.begin(), pdv.payload.end());
    }
    Bytes bytes = {0x04, 0x00};
    appendU32(bytes, static_cast<uint32_t>(body.size()));
    return bytes + body;
}

// A C-ECHO-RQ command set, encoded in implicit VR little endian.
inline Bytes echoRequest(uint16_t messageId) {
    CommandSet command;
    command.addElement(datasets::textElement(0x0000, 0x0002, verification));
    command.addElement(datasets::u16Element(0x0000, 0x0100, 0x0030));
    command.addElement(datasets::u16Element(0x0000, 0x0110, messageId));
    command.addElement(datasets::u16Element(0x0000, 0x0800, 0x0101));
    AssociationService codecs;
    ScriptedStream out;
    codecs.writeImplicitLittle(&command, &out);
    out.flush();
    return out.output;
}

struct ReceivedPdu {
    uint8_t type;
    Bytes bytes;  // the whole PDU, header included
};

// Splits what a peer received into PDUs; a cut-off tail becomes a PDU of
// type 0xFF holding the rest.
inline std::vector<ReceivedPdu> splitPdus(const Bytes& received) {
    std::vector<ReceivedPdu> pdus;
    size_t offset = 0;
    while (offset < received.size()) {
        if (received.size() - offset < 6) {
            pdus.push_back({0xFF, Bytes(received.begin() + offset, received.end())});
            break;
        }
        const uint32_t length = uint32_t(received[offset + 2]) << 24 | uint32_t(received[offset + 3]) << 16 |
                                uint32_t(received[offset + 4]) << 8 | received[offset + 5];
        if (received.size() - offset - 6 < length) {
            pdus.push_back({0xFF, Bytes(received.begin() + offset, received.end())});
            break;
        }
        pdus.push_back({received[offset], Bytes(received.begin() + offset, received.begin() + offset + 6 + length)});
        offset += 6 + length;
    }
    return pdus;
}

template <typename Pdu>
int decode(const Bytes& bytes, Pdu& pdu) {
    ScriptedStream in(bytes);
    in.setReadOrder(ByteStream::bigEndian);
    return pdu.read(&in);
}

}  // namespace association

#endif
