#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "../support/ScriptedPeer.h"
#include "encoding/ByteOrder.h"
#include "AssociationFixtures.h"

using namespace association;

namespace {

// An acceptor whose title and syntax policy a test sets.
class PickyService : public AssociationService {
public:
    int acceptCallingAeTitle(const char* title) override {
        if (refuseCalling || refusedCallingTitle == title) return 0;
        return AssociationService::acceptCallingAeTitle(title);
    }
    int acceptCalledAeTitle(const char* title) override { return refuseCalled ? 0 : AssociationService::acceptCalledAeTitle(title); }
    int acceptApplicationContext(const ApplicationContextItem& item) override {
        return refuseContext ? 0 : AssociationService::acceptApplicationContext(item);
    }
    int acceptAbstractSyntax(const AbstractSyntaxItem& item) override {
        return std::string(item.value.text()) == refusedAbstractSyntax ? 0 : AssociationService::acceptAbstractSyntax(item);
    }
    bool refuseCalling = false;
    bool refuseCalled = false;
    bool refuseContext = false;
    std::string refusedAbstractSyntax;
    std::string refusedCallingTitle = "\x01";
};

struct AcceptedContext {
    uint8_t id;
    uint8_t result;
    std::string transferSyntax;
};

std::vector<AcceptedContext> contextsOf(AssociateAcceptPdu& accept) {
    std::vector<AcceptedContext> contexts;
    for (uint32_t index = 0; index < accept.presentationContexts.count(); ++index) {
        PresentationContextResultItem& item = accept.presentationContexts.at(index)->element;
        contexts.push_back({item.contextId, item.resultReason, item.transferSyntax.value.text()});
    }
    return contexts;
}

}  // namespace

TEST(Negotiation, DefaultHooksAcceptImplicitLittleEndianAndNothingElse) {
    const uint16_t port = platform::freeLocalPort();
    AssociationService service;
    ScriptedPeer peer(ScriptedPeer::Role::connect, port,
                      requestBytes({{1, verification, {explicitLittle, implicitLittle}}, {3, verification, {explicitLittle}}}) +
                          releaseRequest);
    ASSERT_EQ(service.acceptAssociation(portText(port).c_str()), 1);
    EXPECT_EQ(service.isEstablished(), 1);
    ASSERT_EQ(service.acceptedContexts.count(), 1u);
    EXPECT_EQ(service.acceptedContexts.at(0)->element.contextId, 1);
    EXPECT_STREQ(service.AssociateRequestPdu::callingAeTitle, "PEER");
    CommandSet nothing;
    EXPECT_EQ(service.readMessage(nothing), 0);  // the peer's release, answered
    EXPECT_EQ(service.socket.connected, 1);      // the peer closes
    service.release();
    peer.finish();

    const auto pdus = splitPdus(peer.received);
    ASSERT_EQ(pdus.size(), 2u);
    AssociateAcceptPdu accept;
    ASSERT_EQ(decode(pdus[0].bytes, accept), 1);
    EXPECT_EQ(accept.pduType, 0x02);
    EXPECT_EQ(accept.pduLength + 6, pdus[0].bytes.size());
    EXPECT_STREQ(accept.callingAeTitle, "PEER");
    EXPECT_STREQ(accept.calledAeTitle, "DICOMTK");
    const auto contexts = contextsOf(accept);
    ASSERT_EQ(contexts.size(), 2u);
    EXPECT_EQ(contexts[0].id, 1);
    EXPECT_EQ(contexts[0].result, ContextAccepted);
    EXPECT_EQ(contexts[0].transferSyntax, implicitLittle);
    EXPECT_EQ(contexts[1].id, 3);
    EXPECT_EQ(contexts[1].result, ContextNoReason);
    EXPECT_EQ(accept.userInformation.maximumLengthValue(), 16384u);
    EXPECT_STREQ(accept.userInformation.implementationClassUid.value.text(), "TEVAR/gcc2.5.8/DECMIPS/ZRN");
    EXPECT_STREQ(accept.userInformation.implementationVersionName.value.text(), "0.1B/WIN32");
    EXPECT_EQ(pdus[1].bytes, releaseResponse);
}

TEST(Negotiation, NoAcceptedContextIsAnsweredWithAnAcceptOfExactLengthAndClosed) {
    // The request's user information carries a role selection, which the
    // echoed copy cannot send: the accept's PDU length must still be exact.
    Bytes request = requestBytes({{1, verification, {explicitLittle}}, {3, ctImageStorage, {explicitLittle}}});
    // Append a role selection sub-item (UID "1.2", SCU 1, SCP 0) to the user
    // information item, which the request ends with, and fix up the lengths.
    const Bytes role = {0x54, 0x00, 0x00, 0x07, 0x00, 0x03, '1', '.', '2', 0x01, 0x00};
    size_t userOffset = request.size();
    for (size_t offset = 74; offset < request.size();) {
        if (request[offset] == 0x50) userOffset = offset;
        offset += 4 + (request[offset + 2] << 8 | request[offset + 3]);
    }
    ASSERT_LT(userOffset, request.size());
    const uint16_t userLength = static_cast<uint16_t>((request[userOffset + 2] << 8 | request[userOffset + 3]) + role.size());
    request[userOffset + 2] = static_cast<uint8_t>(userLength >> 8);
    request[userOffset + 3] = static_cast<uint8_t>(userLength);
    request = request + role;
    const uint32_t pduLength = static_cast<uint32_t>(request.size() - 6);
    for (int index = 0; index < 4; ++index) request[2 + index] = static_cast<uint8_t>(pduLength >> (24 - 8 * index));

    const uint16_t port = platform::freeLocalPort();
    AssociationService service;
    ScriptedPeer peer(ScriptedPeer::Role::connect, port, request);
    EXPECT_EQ(service.acceptAssociation(portText(port).c_str()), 0);
    EXPECT_EQ(service.socket.connected, 0);
    peer.finish();
    EXPECT_TRUE(peer.closedByOther);
    const auto pdus = splitPdus(peer.received);
    ASSERT_EQ(pdus.size(), 1u);
    ASSERT_EQ(pdus[0].type, 0x02);
    AssociateAcceptPdu accept;
    ASSERT_EQ(decode(pdus[0].bytes, accept), 1);
    for (const AcceptedContext& context : contextsOf(accept)) EXPECT_EQ(context.result, ContextNoReason);
    // The requester's own user information comes back.
    EXPECT_STREQ(accept.userInformation.implementationClassUid.value.text(), "1.2.3.4");
    EXPECT_STREQ(accept.userInformation.implementationVersionName.value.text(), "PEER");
}

TEST(Negotiation, RefusingHooksAnswerWithTheirRejectReasons) {
    struct Case {
        const char* name;
        bool calling, called, context;
        Bytes expected;
    };
    const Case cases[] = {
        {"calling AE title", true, false, false, {0x03, 0x00, 0x00, 0x00, 0x00, 0x04, 0x00, 0x01, 0x01, 0x03}},
        {"called AE title", false, true, false, {0x03, 0x00, 0x00, 0x00, 0x00, 0x04, 0x00, 0x01, 0x01, 0x07}},
        {"application context", false, false, true, {0x03, 0x00, 0x00, 0x00, 0x00, 0x04, 0x00, 0x01, 0x01, 0x02}},
    };
    for (const Case& refusal : cases) {
        SCOPED_TRACE(refusal.name);
        const uint16_t port = platform::freeLocalPort();
        PickyService service;
        service.refuseCalling = refusal.calling;
        service.refuseCalled = refusal.called;
        service.refuseContext = refusal.context;
        ScriptedPeer peer(ScriptedPeer::Role::connect, port, requestBytes({{1, verification, {implicitLittle}}}));
        EXPECT_EQ(service.acceptAssociation(portText(port).c_str()), 0);
        EXPECT_EQ(service.socket.connected, 0);
        peer.finish();
        EXPECT_TRUE(peer.closedByOther);
        EXPECT_EQ(peer.received, refusal.expected);
    }
}

TEST(Negotiation, RefusedAbstractSyntaxIsAnsweredThreeAndStaysAccepted) {
    const uint16_t port = platform::freeLocalPort();
    PickyService service;
    service.refusedAbstractSyntax = ctImageStorage;
    ScriptedPeer peer(ScriptedPeer::Role::connect, port,
                      requestBytes({{1, verification, {implicitLittle}}, {3, ctImageStorage, {implicitLittle}}}), 1);
    ASSERT_EQ(service.acceptAssociation(portText(port).c_str()), 1);
    EXPECT_EQ(service.acceptedContexts.count(), 2u);
    service.socket.closeAll();
    peer.finish();
    const auto pdus = splitPdus(peer.received);
    ASSERT_GE(pdus.size(), 1u);
    AssociateAcceptPdu accept;
    ASSERT_EQ(decode(pdus[0].bytes, accept), 1);
    const auto contexts = contextsOf(accept);
    ASSERT_EQ(contexts.size(), 2u);
    EXPECT_EQ(contexts[0].result, ContextAccepted);
    EXPECT_EQ(contexts[1].result, ContextAbstractSyntaxNotSupported);
}

TEST(Negotiation, ListenerServesTheNextConnectionAfterARefusalFromEmptyLists) {
    const uint16_t port = platform::freeLocalPort();
    PickyService service;
    service.refusedCallingTitle = "BAD";
    SocketStream listener;
    ASSERT_EQ(listener.listenOn(portText(port).c_str()), 1);
    const SocketHandle listening = listener.listenSocket;
    listener.listenSocket = 0;
    listener.listening = 0;

    ScriptedPeer refused(ScriptedPeer::Role::connect, port,
                         requestBytes({{1, verification, {implicitLittle}}, {3, verification, {implicitLittle}},
                                       {5, verification, {implicitLittle}}},
                                      16384, "BAD"));
    std::unique_ptr<ScriptedPeer> accepted;
    // The second peer connects once the first has been answered and closed.
    std::thread second([&] {
        refused.finish();
        accepted = std::make_unique<ScriptedPeer>(ScriptedPeer::Role::connect, port,
                                                  requestBytes({{7, verification, {implicitLittle}}}), 1);
    });
    EXPECT_EQ(service.serveOnListener(listening), listening);
    second.join();
    EXPECT_EQ(service.isEstablished(), 1);
    EXPECT_EQ(service.AssociateRequestPdu::presentationContexts.count(), 1u);
    EXPECT_EQ(service.AssociateAcceptPdu::presentationContexts.count(), 1u);
    ASSERT_EQ(service.acceptedContexts.count(), 1u);
    EXPECT_EQ(service.acceptedContexts.at(0)->element.contextId, 7);
    EXPECT_EQ(service.socket.listening, 0);  // handed back to the caller
    service.socket.closeAll();
    accepted->finish();
    EXPECT_EQ(refused.received, (Bytes{0x03, 0x00, 0x00, 0x00, 0x00, 0x04, 0x00, 0x01, 0x01, 0x03}));
    platform::closeSocket(listening);
}

TEST(Negotiation, RequestProposesOneContextPerAbstractSyntaxWithOddIds) {
    const uint16_t port = platform::freeLocalPort();
    AssociationService service;
    EXPECT_EQ(service.proposeAbstractSyntax(UidValue(verification)), 1);
    EXPECT_EQ(service.proposeAbstractSyntax(UidValue(ctImageStorage)), 1);
    EXPECT_EQ(service.proposeAbstractSyntax(UidValue(verification)), 1);  // already there
    EXPECT_EQ(service.setCallingAeTitle("SCU"), 1);
    EXPECT_EQ(service.setCalledAeTitle("THE-ARCHIVE-NAME"), 1);   // 16 characters fit
    EXPECT_EQ(service.setCalledAeTitle("THE-ARCHIVE-NAMES"), 0);  // 17 do not
    // The peer accepts whatever IDs come: it answers after reading the
    // request, which the script cannot know, so it accepts IDs 1 to 255.
    std::vector<Answered> all;
    for (int id = 1; id < 256; id += 2) all.push_back({static_cast<uint8_t>(id), ContextAccepted, implicitLittle});
    ScriptedPeer peer(ScriptedPeer::Role::accept, port, acceptBytes(all) + releaseResponse, 1);
    ASSERT_EQ(service.requestAssociation("127.0.0.1", portText(port).c_str()), 1);
    EXPECT_EQ(service.acceptedContexts.count(), 2u);  // only the two proposed count
    EXPECT_EQ(service.release(), 1);
    EXPECT_EQ(service.socket.connected, 0);
    peer.finish();

    const auto pdus = splitPdus(peer.received);
    ASSERT_EQ(pdus.size(), 2u);
    AssociateRequestPdu request;
    ASSERT_EQ(decode(pdus[0].bytes, request), 1);
    EXPECT_EQ(request.pduLength + 6, pdus[0].bytes.size());
    EXPECT_EQ(Bytes(pdus[0].bytes.begin() + 10, pdus[0].bytes.begin() + 42),
              Bytes({'T', 'H', 'E', '-', 'A', 'R', 'C', 'H', 'I', 'V', 'E', '-', 'N', 'A', 'M', 'E',  // called
                     'S', 'C', 'U', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));                       // calling
    EXPECT_EQ(Bytes(pdus[0].bytes.begin() + 42, pdus[0].bytes.begin() + 74), Bytes(32, 0));
    EXPECT_STREQ(request.applicationContext.value.text(), "1.2.840.10008.3.1.1.1");
    ASSERT_EQ(request.presentationContexts.count(), 2u);
    PresentationContextItem* first = request.presentationContextAt(0);
    PresentationContextItem* second = request.presentationContextAt(1);
    EXPECT_EQ(first->contextId % 2, 1);
    EXPECT_EQ(second->contextId % 2, 1);
    EXPECT_NE(first->contextId, second->contextId);
    EXPECT_STREQ(first->abstractSyntax.value.text(), verification);
    EXPECT_STREQ(second->abstractSyntax.value.text(), ctImageStorage);
    for (PresentationContextItem* context : {first, second}) {
        ASSERT_EQ(context->transferSyntaxCount(), 1u);
        EXPECT_STREQ(context->transferSyntaxAt(0)->value.text(), implicitLittle);
    }
    EXPECT_EQ(request.userInformation.maximumLengthValue(), 16384u);
    EXPECT_EQ(pdus[1].bytes, releaseRequest);
}

TEST(Negotiation, RequesterEndsOnEveryAnswerButAnAcceptance) {
    struct Case {
        const char* name;
        Bytes answer;
    };
    const Bytes accept = acceptBytes({{1, ContextAccepted, implicitLittle}});
    const Case cases[] = {
        {"accept without an accepted context", acceptBytes({{1, ContextNoReason, implicitLittle}})},
        {"reject", {0x03, 0x00, 0x00, 0x00, 0x00, 0x04, 0x00, 0x01, 0x01, 0x07}},
        {"abort", abortAsSent},
        {"release response", releaseResponse},
        {"a truncated accept", Bytes(accept.begin(), accept.begin() + 40)},
        {"no answer, the peer closes", {}},
        {"HTTP", {'H', 'T', 'T', 'P', '/', '1', '.', '1', ' ', '4', '0', '0'}},
    };
    for (const Case& answer : cases) {
        SCOPED_TRACE(answer.name);
        idCounter = 1;  // the only proposed context gets ID 1
        const uint16_t port = platform::freeLocalPort();
        AssociationService service;
        service.requestTimeoutSeconds = 2;
        service.proposeAbstractSyntax(UidValue(verification));
        ScriptedPeer peer(ScriptedPeer::Role::accept, port, answer.answer, 1);
        EXPECT_EQ(service.requestAssociation("127.0.0.1", portText(port).c_str()), 0);
        EXPECT_EQ(service.socket.connected, 0);
        EXPECT_EQ(service.isEstablished(), 0);
        peer.finish();
    }
}

TEST(Negotiation, NothingToProposeConnectsNowhere) {
    const uint16_t port = platform::freeLocalPort();
    SocketStream listener;
    ASSERT_EQ(listener.listenOn(portText(port).c_str()), 1);
    AssociationService service;
    EXPECT_EQ(service.requestAssociation("127.0.0.1", portText(port).c_str()), 0);
    EXPECT_EQ(service.socket.connected, 0);
    EXPECT_EQ(platform::waitReadable(listener.listenSocket, 0), 0);  // nobody knocked
}

TEST(Negotiation, DestructorReleasesAnEstablishedAssociation) {
    const uint16_t port = platform::freeLocalPort();
    ScriptedPeer peer(ScriptedPeer::Role::accept, port, acceptBytes({{1, ContextAccepted, implicitLittle}}) + releaseResponse,
                      2);
    idCounter = 1;  // the only proposed context gets ID 1
    {
        AssociationService service;
        service.proposeAbstractSyntax(UidValue(verification));
        ASSERT_EQ(service.requestAssociation("127.0.0.1", portText(port).c_str()), 1);
    }
    peer.finish();
    EXPECT_TRUE(peer.closedByOther);
    const auto pdus = splitPdus(peer.received);
    ASSERT_EQ(pdus.size(), 2u);
    EXPECT_EQ(pdus[1].bytes, releaseRequest);
}

// A peer that never answers the A-RELEASE-RQ holds the requester only for
// requestTimeoutSeconds (also the wait for the A-ASSOCIATE-AC), not for the
// message time-out: then the connection is closed and the association over.
TEST(Negotiation, AnUnansweredReleaseEndsAfterTheRequestTimeout) {
    const uint16_t port = platform::freeLocalPort();
    // Quiet for 20 s before it gives up by itself.
    ScriptedPeer peer(ScriptedPeer::Role::accept, port, acceptBytes({{1, ContextAccepted, implicitLittle}}), 20);
    idCounter = 1;
    AssociationService service;
    service.requestTimeoutSeconds = 1;
    service.proposeAbstractSyntax(UidValue(verification));
    ASSERT_EQ(service.requestAssociation("127.0.0.1", portText(port).c_str()), 1);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(service.release(), 1);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GE(seconds, 0.9);  // it did wait for the answer
    EXPECT_LT(seconds, 10.0);
    EXPECT_EQ(service.isEstablished(), 0);
    EXPECT_EQ(service.socket.connected, 0);
    peer.finish();
    EXPECT_TRUE(peer.closedByOther);
    const auto pdus = splitPdus(peer.received);
    ASSERT_EQ(pdus.size(), 2u);
    EXPECT_EQ(pdus[1].bytes, releaseRequest);
}
