#ifndef TESTS_DIMSE_DIMSEFIXTURES_H
#define TESTS_DIMSE_DIMSEFIXTURES_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "../network/AssociationFixtures.h"
#include "../support/ScriptedPeer.h"
#include "dimse/CommandMessages.h"
#include "encoding/ByteOrder.h"

// Associations with a scripted peer for the DIMSE tests, and the messages
// that peer received, reassembled from their PDVs.
namespace dimse {

using association::Bytes;
using association::operator+;

const char* const patientRootFind = "1.2.840.10008.5.1.4.1.2.1.1";
const char* const patientRootMove = "1.2.840.10008.5.1.4.1.2.1.2";
const char* const mrImageStorage = "1.2.840.10008.5.1.4.1.1.4";

// Find and move message classes of a fixed SOP class: the query/retrieve
// SOP classes are built on them the same way.
class PatientRootFind : public FindRequest, public FindResponse {
public:
    int sopClassUid(UidValue& out) override { return out.assign(patientRootFind); }
};

class PatientRootMove : public MoveRequest, public MoveResponse {
public:
    int sopClassUid(UidValue& out) override { return out.assign(patientRootMove); }
};

// One message as the peer received it: the payload of its PDVs joined.
struct Message {
    uint8_t contextId;
    bool command;
    Bytes bytes;
};

// The messages in the P-DATA-TF PDUs of what a peer received; other PDUs
// are skipped, a message without its last fragment is left out.
inline std::vector<Message> messagesIn(const Bytes& received) {
    std::vector<Message> messages;
    Bytes pending;
    for (const association::ReceivedPdu& pdu : association::splitPdus(received)) {
        if (pdu.type != 0x04) continue;
        size_t offset = 6;
        while (offset + 6 <= pdu.bytes.size()) {
            const uint32_t length = uint32_t(pdu.bytes[offset]) << 24 | uint32_t(pdu.bytes[offset + 1]) << 16 |
                                    uint32_t(pdu.bytes[offset + 2]) << 8 | pdu.bytes[offset + 3];
            if (length < 2 || pdu.bytes.size() - offset - 4 < length) break;
            const uint8_t contextId = pdu.bytes[offset + 4];
            const uint8_t control = pdu.bytes[offset + 5];
            pending.insert(pending.end(), pdu.bytes.begin() + offset + 6, pdu.bytes.begin() + offset + 4 + length);
            if ((control & 0x02) != 0) {
                messages.push_back({contextId, (control & 0x01) != 0, pending});
                pending.clear();
            }
            offset += 4 + length;
        }
    }
    return messages;
}

// The types of the PDUs a peer received, in order.
inline std::vector<uint8_t> pduTypesIn(const Bytes& received) {
    std::vector<uint8_t> types;
    for (const association::ReceivedPdu& pdu : association::splitPdus(received)) types.push_back(pdu.type);
    return types;
}

// A set encoded in implicit VR little endian, group lengths included.
inline Bytes implicitBytes(DataSet& set) {
    AssociationService codecs;
    ScriptedStream out;
    codecs.writeImplicitLittle(&set, &out);
    out.flush();
    return out.output;
}

inline Bytes implicitBytes(const std::vector<DataElement*>& elements) {
    CommandSet set;
    for (DataElement* element : elements) set.addElement(element);
    return implicitBytes(set);
}

// Decodes an implicit VR little endian command; null when it does not decode.
inline std::unique_ptr<CommandSet> decodeCommand(const Bytes& bytes) {
    AssociationService codecs;
    ScriptedStream in(bytes);
    auto command = std::make_unique<CommandSet>();
    if (codecs.readImplicitLittle(&in.buffered(), command.get()) != 1) return nullptr;
    return command;
}

inline std::unique_ptr<ObjectDataSet> decodeDataSet(const Bytes& bytes) {
    AssociationService codecs;
    ScriptedStream in(bytes);
    auto set = std::make_unique<ObjectDataSet>();
    if (codecs.readImplicitLittle(&in.buffered(), set.get()) != 1) return nullptr;
    return set;
}

// An element's value bytes as text, or "<absent>".
inline std::string valueText(DataSet& set, uint16_t group, uint16_t element) {
    const DataElement* found = set.find(group, element);
    if (found == nullptr) return "<absent>";
    if (found->value == nullptr) return "";
    return std::string(reinterpret_cast<const char*>(found->value), found->length);
}

// Whether the set yields no element; an element it does yield is deleted.
inline bool isEmpty(DataSet& set) {
    std::unique_ptr<DataElement> first(set.nextElement());
    return first == nullptr;
}

inline bool has(DataSet& set, uint16_t element) { return set.find(0x0000, element) != nullptr; }

template <size_t size>
Bytes bytesOf(const uint8_t (&bytes)[size]) {
    return Bytes(bytes, bytes + size);
}

// The far end of an association that the service under test accepted: a
// requester that proposes contexts and sends script once accepted.
struct AcceptedPeer {
    AcceptedPeer(AssociationService& service_, const std::vector<association::Proposed>& contexts, const Bytes& script)
        : service(service_), port(platform::freeLocalPort()) {
        peer = std::make_unique<ScriptedPeer>(ScriptedPeer::Role::connect, port,
                                              association::requestBytes(contexts) + script, 1);
        accepted = service.acceptAssociation(association::portText(port).c_str());
    }

    // Closes the connection, waits for the peer and returns what it
    // received after the A-ASSOCIATE-AC.
    Bytes hangUp() {
        service.socket.closeAll();
        peer->finish();
        const auto pdus = association::splitPdus(peer->received);
        Bytes rest;
        for (size_t index = 1; index < pdus.size(); ++index) rest = rest + pdus[index].bytes;
        return rest;
    }

    AssociationService& service;
    uint16_t port;
    std::unique_ptr<ScriptedPeer> peer;
    int accepted = 0;
};

// The far end of an association that the service under test requested: an
// acceptor that answers with accept and then sends script. The service
// proposes each abstract syntax in turn, so with the counter reset the
// contexts get the IDs 1, 3, 5, ...
struct RequestedPeer {
    RequestedPeer(AssociationService& service_, const std::vector<std::string>& abstractSyntaxes,
                  const std::vector<association::Answered>& answers, const Bytes& script)
        : service(service_), port(platform::freeLocalPort()) {
        for (const std::string& abstractSyntax : abstractSyntaxes) service.proposeAbstractSyntax(UidValue(abstractSyntax.c_str()));
        peer = std::make_unique<ScriptedPeer>(ScriptedPeer::Role::accept, port, association::acceptBytes(answers) + script, 1);
        idCounter = 1;
        established = service.requestAssociation("127.0.0.1", association::portText(port).c_str());
    }

    // What the peer received after the A-ASSOCIATE-RQ.
    Bytes hangUp() {
        service.socket.closeAll();
        peer->finish();
        const auto pdus = association::splitPdus(peer->received);
        Bytes rest;
        for (size_t index = 1; index < pdus.size(); ++index) rest = rest + pdus[index].bytes;
        return rest;
    }

    AssociationService& service;
    uint16_t port;
    std::unique_ptr<ScriptedPeer> peer;
    int established = 0;
};

}  // namespace dimse

#endif
