// The Verification SOP class: echo as user against a scripted acceptor,
// handleCommand as provider on requests a scripted requester sends.

#include <gtest/gtest.h>

#include <string>

#include "DimseFixtures.h"
#include "dimse/VerificationSopClass.h"

using namespace dimse;
using association::ctImageStorage;
using association::implicitLittle;
using association::verification;

namespace {

// A C-ECHO-RSP to Message ID 3, the first one drawn after the requester's
// only context took ID 1.
Bytes echoResponseBytes(uint16_t status, uint16_t commandField = 0x8030) {
    return association::dataBytes({{1, 0x03,
                                    implicitBytes({datasets::textElement(0x0000, 0x0002, verification),
                                                   datasets::u16Element(0x0000, 0x0100, commandField),
                                                   datasets::u16Element(0x0000, 0x0120, 3),
                                                   datasets::u16Element(0x0000, 0x0800, 0x0101),
                                                   datasets::u16Element(0x0000, 0x0900, status)})}});
}

const std::vector<association::Answered> verificationAccepted = {{1, ContextAccepted, implicitLittle}};

const std::vector<association::Proposed> verificationProposed = {{1, verification, {implicitLittle}}};

// A C-ECHO-RQ with Message ID 7 whose Affected SOP Class UID is the given
// bytes (absent when null).
std::unique_ptr<CommandSet> echoRequestWith(const std::string* sopClass, uint16_t commandField = 0x0030) {
    auto command = std::make_unique<CommandSet>();
    if (sopClass != nullptr) command->addElement(datasets::textElement(0x0000, 0x0002, *sopClass));
    command->addElement(datasets::u16Element(0x0000, 0x0100, commandField));
    command->addElement(datasets::u16Element(0x0000, 0x0110, 7));
    command->addElement(datasets::u16Element(0x0000, 0x0800, 0x0101));
    return command;
}

}  // namespace

TEST(VerificationSopClass, NamesTheVerificationUid) {
    VerificationSopClass verificationClass;
    UidValue uid;
    EXPECT_EQ(verificationClass.sopClassUid(uid), 1);
    EXPECT_EQ(uid, UidValue("1.2.840.10008.1.1"));
    EXPECT_STREQ(VerificationSopClass::uid, "1.2.840.10008.1.1");
}

TEST(VerificationSopClass, EchoSendsTheRequestAndTakesTheResponse) {
    AssociationService service;
    RequestedPeer peer(service, {verification}, verificationAccepted, echoResponseBytes(0x0000));
    ASSERT_EQ(peer.established, 1);
    VerificationSopClass verificationClass;
    EXPECT_EQ(verificationClass.echo(&service), 1);
    const auto messages = messagesIn(peer.hangUp());
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].contextId, 1);
    EXPECT_TRUE(messages[0].command);
    auto request = decodeCommand(messages[0].bytes);
    ASSERT_NE(request, nullptr);
    EXPECT_EQ(datasets::describe(request.get()),
              "(0000,0002) 18 312E322E3834302E31303030382E312E3100\n"
              "(0000,0100) 2 3000\n"
              "(0000,0110) 2 0300\n"
              "(0000,0800) 2 0101\n");
}

// The status is the peer's business: an answer is an answer.
TEST(VerificationSopClass, EchoSucceedsWhateverStatusTheResponseCarries) {
    const uint16_t statuses[] = {0x0000, 0x0110, 0xC000, 0xFFFF};
    for (const uint16_t status : statuses) {
        SCOPED_TRACE(status);
        VerificationSopClass verificationClass;
        {
            AssociationService service;
            RequestedPeer peer(service, {verification}, verificationAccepted, echoResponseBytes(status));
            ASSERT_EQ(peer.established, 1);
            EXPECT_EQ(verificationClass.echo(&service), 1);
            peer.hangUp();
        }
        AssociationService service;
        RequestedPeer peer(service, {verification}, verificationAccepted, echoResponseBytes(status));
        ASSERT_EQ(peer.established, 1);
        uint16_t received = 0x1234;
        EXPECT_EQ(verificationClass.echo(&service, received), 1);
        EXPECT_EQ(received, status);
        peer.hangUp();
    }
}

TEST(VerificationSopClass, EchoFailsWithoutACEchoResponse) {
    struct Case {
        const char* name;
        Bytes answer;
    };
    const Case cases[] = {
        {"a C-STORE-RSP", echoResponseBytes(0x0000, 0x8001)},
        {"a C-ECHO-RQ", echoResponseBytes(0x0000, 0x0030)},
        {"A-ABORT", association::abortAsSent},
        {"A-RELEASE-RQ", association::releaseRequest},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(row.name);
        AssociationService service;
        RequestedPeer peer(service, {verification}, verificationAccepted, row.answer);
        ASSERT_EQ(peer.established, 1);
        VerificationSopClass verificationClass;
        EXPECT_EQ(verificationClass.echo(&service), 0);
        peer.hangUp();
    }
}

TEST(VerificationSopClass, EchoSendsNothingWithoutAVerificationContext) {
    AssociationService service;
    RequestedPeer peer(service, {ctImageStorage}, {{1, ContextAccepted, implicitLittle}}, echoResponseBytes(0x0000));
    ASSERT_EQ(peer.established, 1);
    VerificationSopClass verificationClass;
    EXPECT_EQ(verificationClass.echo(&service), 0);
    EXPECT_TRUE(peer.hangUp().empty());
    AssociationService idle;
    EXPECT_EQ(verificationClass.echo(&idle), 0);
    EXPECT_EQ(verificationClass.echo(nullptr), 0);
}

TEST(VerificationSopClass, HandleCommandAnswersAReceivedEchoRequest) {
    AssociationService service;
    AcceptedPeer peer(service, verificationProposed, association::dataBytes({{1, 0x03, association::echoRequest(7)}}));
    ASSERT_EQ(peer.accepted, 1);
    CommandSet command;
    ASSERT_EQ(service.readMessage(command), 1);
    VerificationSopClass verificationClass;
    EXPECT_EQ(verificationClass.handleCommand(&service, &command), 1);
    EXPECT_TRUE(isEmpty(command));  // consumed by the response
    const auto messages = messagesIn(peer.hangUp());
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].contextId, 1);
    auto response = decodeCommand(messages[0].bytes);
    ASSERT_NE(response, nullptr);
    EXPECT_EQ(datasets::describe(response.get()),
              "(0000,0002) 18 312E322E3834302E31303030382E312E3100\n"
              "(0000,0100) 2 3080\n"
              "(0000,0120) 2 0700\n"
              "(0000,0800) 2 0101\n"
              "(0000,0900) 2 0000\n");
}

// Whether a command is this SOP class's is decided by its Affected SOP Class
// UID, one pad byte dropped; a refused command is left as it was, for
// another SOP class to take.
TEST(VerificationSopClass, HandleCommandTakesOnlyItsOwnSopClassAndService) {
    const std::string zeroPadded("1.2.840.10008.1.1\0", 18);
    const std::string spacePadded("1.2.840.10008.1.1 ");
    const std::string twoPads("1.2.840.10008.1.1  ");  // stored as 20 bytes, a zero after the spaces
    const std::string storage(ctImageStorage);
    const std::string empty;
    struct Case {
        const char* name;
        const std::string* sopClass;
        uint16_t commandField;
        int expected;
        bool answered;
    };
    const Case cases[] = {
        {"request padded with a zero byte", &zeroPadded, 0x0030, 1, true},
        {"request padded with a space", &spacePadded, 0x0030, 1, true},
        {"response", &zeroPadded, 0x8030, 1, false},
        {"request with two pad bytes", &twoPads, 0x0030, 0, false},
        {"request of another SOP class", &storage, 0x0030, 0, false},
        {"request with an empty SOP class UID", &empty, 0x0030, 0, false},
        {"request without a SOP class UID", nullptr, 0x0030, 0, false},
        {"C-STORE-RQ of Verification", &zeroPadded, 0x0001, 0, false},
        {"C-FIND-RSP of Verification", &zeroPadded, 0x8020, 0, false},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(row.name);
        AssociationService service;
        AcceptedPeer peer(service, verificationProposed, {});
        ASSERT_EQ(peer.accepted, 1);
        auto command = echoRequestWith(row.sopClass, row.commandField);
        VerificationSopClass verificationClass;
        EXPECT_EQ(verificationClass.handleCommand(&service, command.get()), row.expected);
        if (!row.answered) {
            EXPECT_EQ(command->findU16(0x0000, 0x0110), 7);
            EXPECT_EQ(command->findU16(0x0000, 0x0100), row.commandField);
        }
        const auto messages = messagesIn(peer.hangUp());
        ASSERT_EQ(messages.size(), row.answered ? 1u : 0u);
        if (row.answered) {
            auto response = decodeCommand(messages[0].bytes);
            ASSERT_NE(response, nullptr);
            EXPECT_EQ(response->findU16(0x0000, 0x0100), 0x8030);
            EXPECT_EQ(valueText(*response, 0x0000, 0x0002), *row.sopClass);  // carried over as it came
        }
    }
}

TEST(VerificationSopClass, HandleCommandRefusesWithoutAssociationOrCommand) {
    VerificationSopClass verificationClass;
    auto command = echoRequestWith(nullptr);
    AssociationService idle;
    EXPECT_EQ(verificationClass.handleCommand(nullptr, command.get()), 0);
    EXPECT_EQ(verificationClass.handleCommand(&idle, nullptr), 0);
    EXPECT_EQ(command->findU16(0x0000, 0x0110), 7);
}
