#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>

#include "../support/ScriptedPeer.h"
#include "AssociationFixtures.h"

using namespace association;

namespace {

// Accepts explicit VR little endian besides implicit, or only explicit.
class ExplicitService : public AssociationService {
public:
    explicit ExplicitService(bool implicitToo) : implicitToo_(implicitToo) {}
    int acceptTransferSyntax(const TransferSyntaxItem& proposed) override {
        if (proposed.value == UidValue(explicitLittle)) return 1;
        return implicitToo_ ? AssociationService::acceptTransferSyntax(proposed) : 0;
    }

private:
    bool implicitToo_;
};

// The bytes the peer received after the A-ASSOCIATE-AC.
Bytes afterAccept(const ScriptedPeer& peer) {
    const auto pdus = splitPdus(peer.received);
    Bytes rest;
    for (size_t index = 1; index < pdus.size(); ++index) rest = rest + pdus[index].bytes;
    return rest;
}

// A C-ECHO-RSP command set that encodes to exactly 68 bytes: a group
// length element (12), the affected SOP class UID padded to 18 (26) and
// three 16-bit numbers (10 each).
CommandSet* echoResponse() {
    auto* command = new CommandSet;
    command->addElement(datasets::textElement(0x0000, 0x0002, verification));
    command->addElement(datasets::u16Element(0x0000, 0x0100, 0x8030));
    command->addElement(datasets::u16Element(0x0000, 0x0120, 1));
    command->addElement(datasets::u16Element(0x0000, 0x0800, 0x0101));
    return command;
}

Bytes slice(const Bytes& bytes, size_t from, size_t to) { return Bytes(bytes.begin() + from, bytes.begin() + to); }

const std::vector<Proposed> verificationOnOne = {{1, verification, {implicitLittle}}};

}  // namespace

TEST(MessageExchange, SixtyEightByteCommandGoesOutAsOnePdu) {
    const uint16_t port = platform::freeLocalPort();
    AssociationService service;
    ScriptedPeer peer(ScriptedPeer::Role::connect, port, requestBytes(verificationOnOne), 1);
    ASSERT_EQ(service.acceptAssociation(portText(port).c_str()), 1);
    std::unique_ptr<CommandSet> command(echoResponse());
    EXPECT_EQ(service.sendCommand(*command, UidValue(verification)), 1);
    service.socket.closeAll();
    peer.finish();
    const Bytes sent = afterAccept(peer);
    ASSERT_EQ(sent.size(), 80u);
    const Bytes header = {
        0x04, 0x00,              // P-DATA-TF, reserved
        0x00, 0x00, 0x00, 0x4A,  // PDU length 74
        0x00, 0x00, 0x00, 0x46,  // PDV length 70
        0x01,                    // presentation context 1
        0x03,                    // command, last fragment
    };
    EXPECT_EQ(slice(sent, 0, 12), header);
    // The payload is the command in implicit VR little endian, group length first.
    EXPECT_EQ(slice(sent, 12, 24), (Bytes{0x00, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00, 0x38, 0x00, 0x00, 0x00}));
}

TEST(MessageExchange, MessageSplitOverThreePdusArrivesInOneRead) {
    const Bytes command = echoRequest(42);
    ASSERT_GT(command.size(), 30u);
    const Bytes script = requestBytes(verificationOnOne) + dataBytes({{1, 0x01, slice(command, 0, 10)}}) +
                         dataBytes({{1, 0x01, slice(command, 10, 20)}}) +
                         dataBytes({{1, 0x03, slice(command, 20, command.size())}}) + releaseRequest;
    const uint16_t port = platform::freeLocalPort();
    AssociationService service;
    ScriptedPeer peer(ScriptedPeer::Role::connect, port, script, 1);
    ASSERT_EQ(service.acceptAssociation(portText(port).c_str()), 1);
    CommandSet received;
    ASSERT_EQ(service.readMessage(received), 1);
    EXPECT_EQ(received.findU16(0x0000, 0x0110), 42);
    EXPECT_EQ(received.findU16(0x0000, 0x0100), 0x0030);
    CommandSet nothing;
    EXPECT_EQ(service.readMessage(nothing), 0);  // the release
    service.socket.closeAll();
    peer.finish();
    EXPECT_EQ(afterAccept(peer), releaseResponse);
}

// What the service does with each PDU that is no part of a message, or with
// a broken message, once the association is established.
TEST(MessageExchange, EveryOtherPduEndsTheExchangeAsItShould) {
    const Bytes command = echoRequest(1);
    Bytes overlong = {0x04, 0x00, 0x00, 0x00, 0x4E, 0x20};  // P-DATA-TF of 20000 bytes
    appendU32(overlong, 19996);
    overlong.push_back(1);
    overlong.push_back(0x03);
    overlong.resize(6 + 20000, 0x00);
    Bytes gigantic = {0x04, 0x00, 0xFF, 0xFF, 0xFF, 0xF0, 0x00, 0x00, 0x00, 0x10, 0x01, 0x03};  // claims 4 GiB
    Bytes garbage = {0x08, 0x00, 0x00, 0x10, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0x7F, 'x', 'y'};  // a value past its end
    struct Case {
        const char* name;
        Bytes script;
        Bytes expected;  // sent after the accept
        int staysConnected;
    };
    const Case cases[] = {
        {"PDV on a context that was not accepted", dataBytes({{3, 0x03, command}}), abortAsSent, 0},
        {"A-ASSOCIATE-RQ", requestBytes(verificationOnOne), abortAsSent, 0},
        {"A-ASSOCIATE-AC", acceptBytes({{1, ContextAccepted, implicitLittle}}), abortAsSent, 0},
        {"A-ASSOCIATE-RJ", {0x03, 0x00, 0x00, 0x00, 0x00, 0x04, 0x00, 0x01, 0x01, 0x01}, abortAsSent, 0},
        {"A-RELEASE-RQ", releaseRequest, releaseResponse, 1},
        {"A-RELEASE-RP", releaseResponse, {}, 0},
        {"A-ABORT", {0x07, 0x00, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x02, 0x00}, {}, 0},
        {"unknown PDU type 0x08", {0x08, 0x00, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00, 0x00}, abortAsSent, 0},
        {"an HTTP request", {'G', 'E', 'T', ' ', '/', ' ', 'H', 'T', 'T', 'P', '/', '1', '.', '1', '\r', '\n'}, abortAsSent, 0},
        {"A-RELEASE-RQ of length 5", {0x05, 0x00, 0x00, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00, 0x00, 0x00}, abortAsSent, 0},
        {"PDV length below 2", {0x04, 0x00, 0x00, 0x00, 0x00, 0x06, 0x00, 0x00, 0x00, 0x01, 0x01, 0x03}, abortAsSent, 0},
        {"PDV past its PDU", {0x04, 0x00, 0x00, 0x00, 0x00, 0x08, 0x00, 0x00, 0x00, 0x06, 0x01, 0x03, 0x00, 0x00},
         abortAsSent, 0},
        {"P-DATA-TF longer than announced", overlong, abortAsSent, 0},
        {"P-DATA-TF claiming 4 GiB", gigantic, abortAsSent, 0},
        {"a command that does not decode", dataBytes({{1, 0x03, garbage}}), abortAsSent, 0},
        {"a message whose PDVs change kind", dataBytes({{1, 0x01, slice(command, 0, 8)}, {1, 0x02, slice(command, 8, 16)}}),
         abortAsSent, 0},
        {"a message whose PDVs change context",
         dataBytes({{1, 0x01, slice(command, 0, 8)}, {3, 0x03, slice(command, 8, command.size())}}), abortAsSent, 0},
        {"a P-DATA-TF cut short by the peer closing", slice(dataBytes({{1, 0x03, command}}), 0, 20), {}, 0},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(row.name);
        const uint16_t port = platform::freeLocalPort();
        AssociationService service;
        ScriptedPeer peer(
            ScriptedPeer::Role::connect, port,
            requestBytes({{1, verification, {implicitLittle}}, {3, verification, {implicitLittle}}}) + row.script, 1);
        ASSERT_EQ(service.acceptAssociation(portText(port).c_str()), 1);
        // Context 3 is proposed and accepted too, but unknown to the first row.
        if (std::string(row.name) == "PDV on a context that was not accepted") service.acceptedContexts.removeAt(1);
        CommandSet received;
        EXPECT_EQ(service.readMessage(received), 0);
        EXPECT_EQ(service.socket.connected, row.staysConnected);
        EXPECT_EQ(service.isEstablished(), 0);
        EXPECT_EQ(service.readMessage(received), 0);  // and nothing more is read
        service.socket.closeAll();
        peer.finish();
        EXPECT_EQ(afterAccept(peer), row.expected);
    }
}

TEST(MessageExchange, SendsFindNoContextForAnAbstractSyntaxNeverProposed) {
    const uint16_t port = platform::freeLocalPort();
    AssociationService service;
    ScriptedPeer peer(ScriptedPeer::Role::connect, port, requestBytes(verificationOnOne), 1);
    ASSERT_EQ(service.acceptAssociation(portText(port).c_str()), 1);
    ObjectDataSet set;
    set.addElement(datasets::textElement(0x0010, 0x0010, "DOE^JOHN"));
    EXPECT_EQ(service.sendDataSet(set, UidValue(ctImageStorage)), 0);
    EXPECT_EQ(service.sendCommand(set, UidValue(ctImageStorage)), 0);
    EXPECT_EQ(service.pdvBuffer.pendingCount(), 0u);
    service.socket.closeAll();
    peer.finish();
    EXPECT_TRUE(afterAccept(peer).empty());
}

TEST(MessageExchange, FirstContextFollowsTheTableOrderImplicitFirst) {
    const uint16_t port = platform::freeLocalPort();
    ExplicitService service(true);
    ScriptedPeer peer(ScriptedPeer::Role::connect, port,
                      requestBytes({{1, verification, {explicitLittle}}, {3, verification, {implicitLittle}}}), 1);
    ASSERT_EQ(service.acceptAssociation(portText(port).c_str()), 1);
    ASSERT_EQ(service.acceptedContexts.count(), 2u);
    ObjectDataSet set;
    set.addElement(datasets::textElement(0x0010, 0x0010, "DOE^JOHN"));
    EXPECT_EQ(service.sendDataSet(set), 1);
    service.socket.closeAll();
    peer.finish();
    const Bytes sent = afterAccept(peer);
    ASSERT_GE(sent.size(), 12u);
    EXPECT_EQ(sent[10], 3);     // the implicit VR context
    EXPECT_EQ(sent[11], 0x02);  // a data set, last fragment
}

TEST(MessageExchange, ATransferSyntaxWithATrailingZeroIsAcceptedButUnusable) {
    AssociateRequestPdu request("PEER", "DICOMTK");
    request.setApplicationContext(UidValue("1.2.840.10008.3.1.1.1"));
    PresentationContextItem context;
    context.contextId = 1;
    context.setAbstractSyntax(AbstractSyntaxItem(verification));
    TransferSyntaxItem padded;
    padded.value.assign(reinterpret_cast<const uint8_t*>("1.2.840.10008.1.2\0"), 18);
    context.appendTransferSyntax(padded);
    request.appendPresentationContext(context);
    request.setUserInformation(userInformation(16384));
    const uint16_t port = platform::freeLocalPort();
    AssociationService service;
    ScriptedPeer peer(ScriptedPeer::Role::connect, port, encode(request) + dataBytes({{1, 0x02, {}}}), 1);
    ASSERT_EQ(service.acceptAssociation(portText(port).c_str()), 1);
    ObjectDataSet set;
    set.addElement(datasets::textElement(0x0010, 0x0010, "DOE^JOHN"));
    EXPECT_EQ(service.sendDataSet(set, UidValue(verification)), 0);
    EXPECT_EQ(service.sendDataSet(set), 0);
    ObjectDataSet received;
    EXPECT_EQ(service.readMessage(received), 0);
    peer.finish();
    EXPECT_EQ(afterAccept(peer), abortAsSent);
}

TEST(MessageExchange, CommandsTravelInImplicitVrOnAnExplicitContext) {
    const uint16_t port = platform::freeLocalPort();
    ExplicitService service(false);
    const Bytes command = echoRequest(9);
    ScriptedPeer peer(ScriptedPeer::Role::connect, port,
                      requestBytes({{1, verification, {explicitLittle}}}) + dataBytes({{1, 0x03, command}}), 1);
    ASSERT_EQ(service.acceptAssociation(portText(port).c_str()), 1);
    CommandSet received;
    ASSERT_EQ(service.readMessage(received), 1);
    EXPECT_EQ(received.findU16(0x0000, 0x0110), 9);
    std::unique_ptr<CommandSet> answer(echoResponse());
    EXPECT_EQ(service.sendCommand(*answer, UidValue(verification)), 1);
    ObjectDataSet set;
    set.addElement(datasets::textElement(0x0010, 0x0010, "DOE^JOHN", vrCode('P', 'N')));
    EXPECT_EQ(service.sendDataSet(set, UidValue(verification)), 1);
    service.socket.closeAll();
    peer.finish();
    const auto pdus = splitPdus(peer.received);
    ASSERT_EQ(pdus.size(), 3u);
    // The command: implicit VR, (0000,0000) followed by its 4-byte length.
    EXPECT_EQ(slice(pdus[1].bytes, 12, 20), (Bytes{0x00, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00}));
    // The data set: explicit VR, (0010,0000) UL.
    EXPECT_EQ(slice(pdus[2].bytes, 12, 18), (Bytes{0x10, 0x00, 0x00, 0x00, 'U', 'L'}));
}

TEST(MessageExchange, FragmentsFitAPeerMaximumBelowTheUsualSize) {
    const uint16_t port = platform::freeLocalPort();
    AssociationService service;
    ScriptedPeer peer(ScriptedPeer::Role::connect, port, requestBytes(verificationOnOne, 1000), 1);
    ASSERT_EQ(service.acceptAssociation(portText(port).c_str()), 1);
    ObjectDataSet set;
    set.addElement(datasets::textElement(0x0009, 0x1000, std::string(3000, 'x')));
    EXPECT_EQ(service.sendDataSet(set, UidValue(verification)), 1);
    service.socket.closeAll();
    peer.finish();
    const auto pdus = splitPdus(peer.received);
    ASSERT_EQ(pdus.size(), 1u + 4u);  // 3020 bytes of payload in fragments of 994
    uint32_t payload = 0;
    for (size_t index = 1; index < pdus.size(); ++index) {
        EXPECT_LE(pdus[index].bytes.size() - 6, 1000u);
        EXPECT_EQ(pdus[index].bytes[11], index + 1 == pdus.size() ? 0x02 : 0x00);
        payload += static_cast<uint32_t>(pdus[index].bytes.size() - 12);
    }
    EXPECT_EQ(payload, 12u + 8u + 3000u);
}

// Data sets of every size cross an association exactly: payload gathered
// PDV after PDV in growing chunks, large values handed to the stream
// without a copy, PDUs sent in batches.
TEST(MessageExchange, DataSetsOfEverySizeCrossAnAssociationExactly) {
    const uint16_t port = platform::freeLocalPort();
    SocketStream listener;
    ASSERT_EQ(listener.listenOn(portText(port).c_str()), 1);
    const SocketHandle listening = listener.listenSocket;
    listener.listenSocket = 0;
    listener.listening = 0;

    std::vector<Bytes> values;
    for (size_t size : {size_t{10}, size_t{4090}, size_t{300002}, size_t{6u << 20}}) {
        Bytes value(size);
        for (size_t index = 0; index < size; ++index) value[index] = static_cast<uint8_t>(index * 7 + index / 4093);
        values.push_back(value);
    }
    AssociationService acceptor;
    std::vector<int> reads;
    std::vector<Bytes> received;
    std::thread serving([&] {
        if (acceptor.serveOnListener(listening) != listening) return;
        for (size_t index = 0; index < values.size(); ++index) {
            DataSet set;
            reads.push_back(acceptor.readMessage(set));
            const DataElement* pixels = set.find(0x7FE0, 0x0010);
            received.push_back(pixels != nullptr && pixels->value != nullptr
                                   ? Bytes(pixels->value, pixels->value + pixels->length)
                                   : Bytes());
        }
        DataSet release;
        acceptor.readMessage(release);
    });
    AssociationService requester;
    ASSERT_EQ(requester.proposeAbstractSyntax(UidValue(ctImageStorage)), 1);
    ASSERT_EQ(requester.requestAssociation("127.0.0.1", portText(port).c_str()), 1);
    for (const Bytes& value : values) {
        DataSet set;
        set.addElement(datasets::textElement(0x0010, 0x0010, "DOE^JOHN"));
        set.addElement(datasets::bytesElement(0x7FE0, 0x0010, value, vrCode('O', 'W')));
        EXPECT_EQ(requester.sendDataSet(set, UidValue(ctImageStorage)), 1);
    }
    EXPECT_EQ(requester.release(), 1);
    serving.join();
    platform::closeSocket(listening);
    EXPECT_EQ(reads, std::vector<int>(values.size(), 1));
    ASSERT_EQ(received.size(), values.size());
    for (size_t index = 0; index < values.size(); ++index) EXPECT_TRUE(received[index] == values[index]) << index;
}
