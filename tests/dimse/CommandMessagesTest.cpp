// Building and sending the command sets of C-ECHO, C-STORE, C-FIND and
// C-MOVE: the exact bytes on the wire, the Message IDs, and what a response
// takes over from its request.

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>

#include "DimseFixtures.h"
#include "dimse/StorageSopClass.h"
#include "dimse/VerificationSopClass.h"

using namespace dimse;
using association::ctImageStorage;
using association::implicitLittle;
using association::verification;

namespace {

// C-ECHO-RQ, Message ID 1.
const uint8_t echoRequestCommand[] = {
    0x00, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00,  // (0000,0000) Command Group Length, 4 bytes
    0x38, 0x00, 0x00, 0x00,                          //   56
    0x00, 0x00, 0x02, 0x00, 0x12, 0x00, 0x00, 0x00,  // (0000,0002) Affected SOP Class UID, 18 bytes
    '1', '.', '2', '.', '8', '4', '0', '.', '1', '0', '0', '0', '8', '.', '1', '.', '1', 0x00,  //   Verification, zero pad
    0x00, 0x00, 0x00, 0x01, 0x02, 0x00, 0x00, 0x00, 0x30, 0x00,  // (0000,0100) Command Field C-ECHO-RQ
    0x00, 0x00, 0x10, 0x01, 0x02, 0x00, 0x00, 0x00, 0x01, 0x00,  // (0000,0110) Message ID 1
    0x00, 0x00, 0x00, 0x08, 0x02, 0x00, 0x00, 0x00, 0x01, 0x01,  // (0000,0800) Data Set Type: none
};

// C-ECHO-RSP to Message ID 7, Success.
const uint8_t echoResponseCommand[] = {
    0x00, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00,  // (0000,0000) Command Group Length, 4 bytes
    0x42, 0x00, 0x00, 0x00,                          //   66
    0x00, 0x00, 0x02, 0x00, 0x12, 0x00, 0x00, 0x00,  // (0000,0002) Affected SOP Class UID, 18 bytes
    '1', '.', '2', '.', '8', '4', '0', '.', '1', '0', '0', '0', '8', '.', '1', '.', '1', 0x00,  //   Verification, zero pad
    0x00, 0x00, 0x00, 0x01, 0x02, 0x00, 0x00, 0x00, 0x30, 0x80,  // (0000,0100) Command Field C-ECHO-RSP
    0x00, 0x00, 0x20, 0x01, 0x02, 0x00, 0x00, 0x00, 0x07, 0x00,  // (0000,0120) Message ID Being Responded To 7
    0x00, 0x00, 0x00, 0x08, 0x02, 0x00, 0x00, 0x00, 0x01, 0x01,  // (0000,0800) Data Set Type: none
    0x00, 0x00, 0x00, 0x09, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00,  // (0000,0900) Status Success
};

// C-STORE-RQ of a CT image, Message ID 1.
const uint8_t storeRequestCommand[] = {
    0x00, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00,  // (0000,0000) Command Group Length, 4 bytes
    0x5C, 0x00, 0x00, 0x00,                          //   92
    0x00, 0x00, 0x02, 0x00, 0x1A, 0x00, 0x00, 0x00,  // (0000,0002) Affected SOP Class UID, 26 bytes
    '1', '.', '2', '.', '8', '4', '0', '.', '1', '0', '0', '0', '8', '.',  //   CT Image Storage,
    '5', '.', '1', '.', '4', '.', '1', '.', '1', '.', '2', 0x00,            //   zero pad
    0x00, 0x00, 0x00, 0x01, 0x02, 0x00, 0x00, 0x00, 0x01, 0x00,  // (0000,0100) Command Field C-STORE-RQ
    0x00, 0x00, 0x10, 0x01, 0x02, 0x00, 0x00, 0x00, 0x01, 0x00,  // (0000,0110) Message ID 1
    0x00, 0x00, 0x00, 0x07, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00,  // (0000,0700) Priority medium
    0x00, 0x00, 0x00, 0x08, 0x02, 0x00, 0x00, 0x00, 0x02, 0x01,  // (0000,0800) Data Set Type: a data set follows
    0x00, 0x00, 0x00, 0x10, 0x0A, 0x00, 0x00, 0x00,              // (0000,1000) Affected SOP Instance UID, 10 bytes
    '1', '.', '2', '.', '3', '.', '4', '.', '5', 0x00,            //   the data set's (0008,0018), its pad included
};

// C-STORE-RSP to Message ID 7 of a CT image, Success: response fields
// only, no Message ID and no Priority.
const uint8_t storeResponseCommand[] = {
    0x00, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00,  // (0000,0000) Command Group Length, 4 bytes
    0x5C, 0x00, 0x00, 0x00,                          //   92
    0x00, 0x00, 0x02, 0x00, 0x1A, 0x00, 0x00, 0x00,  // (0000,0002) Affected SOP Class UID, 26 bytes
    '1', '.', '2', '.', '8', '4', '0', '.', '1', '0', '0', '0', '8', '.',  //   CT Image Storage,
    '5', '.', '1', '.', '4', '.', '1', '.', '1', '.', '2', 0x00,            //   zero pad
    0x00, 0x00, 0x00, 0x01, 0x02, 0x00, 0x00, 0x00, 0x01, 0x80,  // (0000,0100) Command Field C-STORE-RSP
    0x00, 0x00, 0x20, 0x01, 0x02, 0x00, 0x00, 0x00, 0x07, 0x00,  // (0000,0120) Message ID Being Responded To 7
    0x00, 0x00, 0x00, 0x08, 0x02, 0x00, 0x00, 0x00, 0x01, 0x01,  // (0000,0800) Data Set Type: none
    0x00, 0x00, 0x00, 0x09, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00,  // (0000,0900) Status Success
    0x00, 0x00, 0x00, 0x10, 0x0A, 0x00, 0x00, 0x00,              // (0000,1000) Affected SOP Instance UID, 10 bytes
    '1', '.', '2', '.', '3', '.', '4', '.', '5', 0x00,            //   as in the request
};

// C-FIND-RQ of the patient root model, Message ID 1.
const uint8_t findRequestCommand[] = {
    0x00, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00,  // (0000,0000) Command Group Length, 4 bytes
    0x4C, 0x00, 0x00, 0x00,                          //   76
    0x00, 0x00, 0x02, 0x00, 0x1C, 0x00, 0x00, 0x00,  // (0000,0002) Affected SOP Class UID, 28 bytes
    '1', '.', '2', '.', '8', '4', '0', '.', '1', '0', '0', '0', '8', '.',  //   Patient Root Find,
    '5', '.', '1', '.', '4', '.', '1', '.', '2', '.', '1', '.', '1', 0x00,  //   zero pad
    0x00, 0x00, 0x00, 0x01, 0x02, 0x00, 0x00, 0x00, 0x20, 0x00,  // (0000,0100) Command Field C-FIND-RQ
    0x00, 0x00, 0x10, 0x01, 0x02, 0x00, 0x00, 0x00, 0x01, 0x00,  // (0000,0110) Message ID 1
    0x00, 0x00, 0x00, 0x07, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00,  // (0000,0700) Priority medium
    0x00, 0x00, 0x00, 0x08, 0x02, 0x00, 0x00, 0x00, 0x02, 0x01,  // (0000,0800) Data Set Type: a data set follows
};

// C-FIND-RSP to Message ID 5, Pending with an identifier.
const uint8_t findResponseCommand[] = {
    0x00, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00,  // (0000,0000) Command Group Length, 4 bytes
    0x4C, 0x00, 0x00, 0x00,                          //   76
    0x00, 0x00, 0x02, 0x00, 0x1C, 0x00, 0x00, 0x00,  // (0000,0002) Affected SOP Class UID, 28 bytes
    '1', '.', '2', '.', '8', '4', '0', '.', '1', '0', '0', '0', '8', '.',  //   Patient Root Find,
    '5', '.', '1', '.', '4', '.', '1', '.', '2', '.', '1', '.', '1', 0x00,  //   zero pad
    0x00, 0x00, 0x00, 0x01, 0x02, 0x00, 0x00, 0x00, 0x20, 0x80,  // (0000,0100) Command Field C-FIND-RSP
    0x00, 0x00, 0x20, 0x01, 0x02, 0x00, 0x00, 0x00, 0x05, 0x00,  // (0000,0120) Message ID Being Responded To 5
    0x00, 0x00, 0x00, 0x08, 0x02, 0x00, 0x00, 0x00, 0x02, 0x01,  // (0000,0800) Data Set Type: a data set follows
    0x00, 0x00, 0x00, 0x09, 0x02, 0x00, 0x00, 0x00, 0x00, 0xFF,  // (0000,0900) Status Pending
};

// C-MOVE-RQ of the patient root model to STORESCP, Message ID 1.
const uint8_t moveRequestCommand[] = {
    0x00, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00,  // (0000,0000) Command Group Length, 4 bytes
    0x64, 0x00, 0x00, 0x00,                          //   100
    0x00, 0x00, 0x02, 0x00, 0x1C, 0x00, 0x00, 0x00,  // (0000,0002) Affected SOP Class UID, 28 bytes
    '1', '.', '2', '.', '8', '4', '0', '.', '1', '0', '0', '0', '8', '.',  //   Patient Root Move,
    '5', '.', '1', '.', '4', '.', '1', '.', '2', '.', '1', '.', '2', 0x00,  //   zero pad
    0x00, 0x00, 0x00, 0x01, 0x02, 0x00, 0x00, 0x00, 0x21, 0x00,  // (0000,0100) Command Field C-MOVE-RQ
    0x00, 0x00, 0x10, 0x01, 0x02, 0x00, 0x00, 0x00, 0x01, 0x00,  // (0000,0110) Message ID 1
    0x00, 0x00, 0x00, 0x06, 0x10, 0x00, 0x00, 0x00,              // (0000,0600) Move Destination, 16 bytes
    'S', 'T', 'O', 'R', 'E', 'S', 'C', 'P', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ',  //   the title, space padded
    0x00, 0x00, 0x00, 0x07, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00,  // (0000,0700) Priority medium
    0x00, 0x00, 0x00, 0x08, 0x02, 0x00, 0x00, 0x00, 0x02, 0x01,  // (0000,0800) Data Set Type: a data set follows
};

// C-MOVE-RSP to Message ID 5, Pending: 3 remaining, 2 completed, 1 failed, 0 warning.
const uint8_t moveResponseCommand[] = {
    0x00, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00,  // (0000,0000) Command Group Length, 4 bytes
    0x74, 0x00, 0x00, 0x00,                          //   116
    0x00, 0x00, 0x02, 0x00, 0x1C, 0x00, 0x00, 0x00,  // (0000,0002) Affected SOP Class UID, 28 bytes
    '1', '.', '2', '.', '8', '4', '0', '.', '1', '0', '0', '0', '8', '.',  //   Patient Root Move,
    '5', '.', '1', '.', '4', '.', '1', '.', '2', '.', '1', '.', '2', 0x00,  //   zero pad
    0x00, 0x00, 0x00, 0x01, 0x02, 0x00, 0x00, 0x00, 0x21, 0x80,  // (0000,0100) Command Field C-MOVE-RSP
    0x00, 0x00, 0x20, 0x01, 0x02, 0x00, 0x00, 0x00, 0x05, 0x00,  // (0000,0120) Message ID Being Responded To 5
    0x00, 0x00, 0x00, 0x08, 0x02, 0x00, 0x00, 0x00, 0x01, 0x01,  // (0000,0800) Data Set Type: none
    0x00, 0x00, 0x00, 0x09, 0x02, 0x00, 0x00, 0x00, 0x00, 0xFF,  // (0000,0900) Status Pending
    0x00, 0x00, 0x20, 0x10, 0x02, 0x00, 0x00, 0x00, 0x03, 0x00,  // (0000,1020) Remaining Sub-operations 3
    0x00, 0x00, 0x21, 0x10, 0x02, 0x00, 0x00, 0x00, 0x02, 0x00,  // (0000,1021) Completed Sub-operations 2
    0x00, 0x00, 0x22, 0x10, 0x02, 0x00, 0x00, 0x00, 0x01, 0x00,  // (0000,1022) Failed Sub-operations 1
    0x00, 0x00, 0x23, 0x10, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00,  // (0000,1023) Warning Sub-operations 0
};

// Contexts 1, 3, 5 and 7 for the four SOP classes.
const std::vector<association::Proposed> everyService = {{1, verification, {implicitLittle}},
                                                          {3, ctImageStorage, {implicitLittle}},
                                                          {5, patientRootFind, {implicitLittle}},
                                                          {7, patientRootMove, {implicitLittle}}};

// A request as it arrives: Affected SOP Class UID, Command Field, Message ID,
// Data Set Type, and whatever more a test adds.
std::unique_ptr<CommandSet> requestOf(const char* sopClass, uint16_t commandField, uint16_t messageId,
                                      uint16_t dataSetType) {
    auto command = std::make_unique<CommandSet>();
    command->addElement(datasets::textElement(0x0000, 0x0002, sopClass));
    command->addElement(datasets::u16Element(0x0000, 0x0100, commandField));
    command->addElement(datasets::u16Element(0x0000, 0x0110, messageId));
    command->addElement(datasets::u16Element(0x0000, 0x0800, dataSetType));
    return command;
}

std::unique_ptr<ObjectDataSet> ctImage(const char* instanceUid) {
    auto set = std::make_unique<ObjectDataSet>();
    if (instanceUid != nullptr) set->addElement(datasets::textElement(0x0008, 0x0018, instanceUid));
    set->addElement(datasets::textElement(0x0010, 0x0010, "DOE^JOHN"));
    return set;
}

std::unique_ptr<ObjectDataSet> patientQuery() {
    auto set = std::make_unique<ObjectDataSet>();
    set->addElement(datasets::textElement(0x0008, 0x0052, "PATIENT "));
    set->addElement(datasets::textElement(0x0010, 0x0020, "12345 "));
    return set;
}

class CommandMessages : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(peer.accepted, 1); }

    std::vector<Message> sent() { return messagesIn(peer.hangUp()); }

    AssociationService service;
    AcceptedPeer peer{service, everyService, {}};
};

}  // namespace

TEST_F(CommandMessages, EchoRequestIsExactlyTheseBytes) {
    VerificationSopClass verificationClass;
    idCounter = 1;
    EXPECT_EQ(verificationClass.sendRequest(&service), 1);
    const auto messages = sent();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].contextId, 1);
    EXPECT_TRUE(messages[0].command);
    EXPECT_EQ(messages[0].bytes, bytesOf(echoRequestCommand));
}

TEST_F(CommandMessages, EchoResponseAnswersMessageSevenAndEmptiesTheRequest) {
    VerificationSopClass verificationClass;
    auto request = requestOf(verification, 0x0030, 7, 0x0101);
    const uint32_t counter = idCounter;
    EXPECT_EQ(verificationClass.sendResponse(&service, request.get()), 1);
    EXPECT_EQ(idCounter, counter);  // a response draws no Message ID
    EXPECT_TRUE(isEmpty(*request));
    const auto messages = sent();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].contextId, 1);
    EXPECT_TRUE(messages[0].command);
    EXPECT_EQ(messages[0].bytes, bytesOf(echoResponseCommand));
}

TEST_F(CommandMessages, EchoResponseCarriesTheStatusAndNothingElseOfTheRequest) {
    VerificationSopClass verificationClass;
    auto request = requestOf(verification, 0x0030, 7, 0x0101);
    // Elements no C-ECHO-RQ should carry; none of them may reach the response.
    request->addElement(datasets::u16Element(0x0000, 0x0120, 9));
    request->addElement(datasets::u16Element(0x0000, 0x0700, 2));
    request->addElement(datasets::u16Element(0x0000, 0x0900, 0xC000));
    request->addElement(datasets::textElement(0x0000, 0x1000, "1.2.3"));
    request->addElement(datasets::textElement(0x0008, 0x0018, "1.2.3"));
    EXPECT_EQ(verificationClass.sendResponse(&service, request.get(), 0x0122), 1);
    const auto messages = sent();
    ASSERT_EQ(messages.size(), 1u);
    auto response = decodeCommand(messages[0].bytes);
    ASSERT_NE(response, nullptr);
    EXPECT_EQ(datasets::describe(response.get()),
              "(0000,0002) 18 312E322E3834302E31303030382E312E3100\n"
              "(0000,0100) 2 3080\n"
              "(0000,0120) 2 0700\n"
              "(0000,0800) 2 0101\n"
              "(0000,0900) 2 2201\n");
}

TEST_F(CommandMessages, StoreRequestIsExactlyTheseBytesFollowedByTheDataSet) {
    CtImageStorage storage;
    auto image = ctImage("1.2.3.4.5");
    idCounter = 1;
    EXPECT_EQ(storage.sendRequest(&service, image.get()), 1);
    EXPECT_TRUE(isEmpty(*image));  // sent, and so drained
    const auto messages = sent();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0].contextId, 3);
    EXPECT_TRUE(messages[0].command);
    EXPECT_EQ(messages[0].bytes, bytesOf(storeRequestCommand));
    EXPECT_EQ(messages[1].contextId, 3);
    EXPECT_FALSE(messages[1].command);
    EXPECT_EQ(messages[1].bytes, implicitBytes(*ctImage("1.2.3.4.5")));
}

TEST_F(CommandMessages, StoreRequestWithoutSopInstanceUidOrDataSetHasNoAffectedSopInstanceUid) {
    CtImageStorage storage;
    auto image = ctImage(nullptr);
    EXPECT_EQ(storage.sendRequest(&service, image.get()), 1);
    EXPECT_EQ(storage.sendRequest(&service, nullptr), 1);
    const auto messages = sent();
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_FALSE(messages[1].command);
    EXPECT_TRUE(messages[2].command);  // the second request went alone
    for (size_t index : {size_t(0), size_t(2)}) {
        SCOPED_TRACE(index);
        auto command = decodeCommand(messages[index].bytes);
        ASSERT_NE(command, nullptr);
        EXPECT_FALSE(has(*command, 0x1000));
        // A data set is announced even when none is given.
        EXPECT_EQ(command->findU16(0x0000, 0x0800), 0x0102);
        EXPECT_EQ(command->findU16(0x0000, 0x0100), 0x0001);
    }
}

TEST_F(CommandMessages, StoreResponseAnswersMessageSevenAndEmptiesTheRequest) {
    CtImageStorage storage;
    auto request = requestOf(ctImageStorage, 0x0001, 7, 0x0102);
    request->addElement(datasets::u16Element(0x0000, 0x0700, 0));
    request->addElement(datasets::textElement(0x0000, 0x1000, "1.2.3.4.5"));
    const uint32_t counter = idCounter;
    EXPECT_EQ(storage.sendResponse(&service, request.get()), 1);
    EXPECT_EQ(idCounter, counter);
    EXPECT_TRUE(isEmpty(*request));
    const auto messages = sent();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].contextId, 3);
    EXPECT_TRUE(messages[0].command);
    EXPECT_EQ(messages[0].bytes, bytesOf(storeResponseCommand));
}

// A response carries no Priority, whatever the request's.
TEST_F(CommandMessages, StoreResponseCarriesTheStatusAndDropsPriorityAndTheRest) {
    struct Case {
        const char* name;
        int priority;  // -1: absent
        uint16_t status;
    };
    const Case cases[] = {
        {"high priority, warning", 0x0001, 0xB000},
        {"low priority, out of resources", 0x0002, 0xA700},
        {"no priority", -1, 0x0000},
    };
    CtImageStorage storage;
    for (const Case& row : cases) {
        auto request = requestOf(ctImageStorage, 0x0001, 7, 0x0102);
        if (row.priority >= 0) request->addElement(datasets::u16Element(0x0000, 0x0700, static_cast<uint16_t>(row.priority)));
        request->addElement(datasets::u16Element(0x0000, 0x0900, 0xC000));   // not carried over
        request->addElement(datasets::u16Element(0x0000, 0x0120, 99));       // replaced
        request->addElement(datasets::textElement(0x0000, 0x0600, "NOWHERE"));  // dropped
        ASSERT_EQ(storage.sendResponse(&service, request.get(), row.status), 1);
    }
    const auto messages = sent();
    ASSERT_EQ(messages.size(), 3u);
    for (size_t index = 0; index < 3; ++index) {
        SCOPED_TRACE(cases[index].name);
        auto response = decodeCommand(messages[index].bytes);
        ASSERT_NE(response, nullptr);
        char expected[400];
        std::snprintf(expected, sizeof expected,
                      "(0000,0002) 26 312E322E3834302E31303030382E352E312E342E312E312E3200\n"
                      "(0000,0100) 2 0180\n"
                      "(0000,0120) 2 0700\n"
                      "(0000,0800) 2 0101\n"
                      "(0000,0900) 2 %02X%02X\n",
                      cases[index].status & 0xFF, cases[index].status >> 8);
        EXPECT_EQ(datasets::describe(response.get()), expected);
    }
}

// The retired initiator and receiver titles of ACR-NEMA: a C-STORE-RSP
// exchanges them, a C-FIND-RSP and a C-MOVE-RSP carry them as they came.
TEST_F(CommandMessages, RetiredTitlesAreExchangedOnlyByTheStoreResponse) {
    CtImageStorage storage;
    PatientRootFind find;
    PatientRootMove move;
    auto withTitles = [](std::unique_ptr<CommandSet> request) {
        request->addElement(datasets::textElement(0x0000, 0x0200, "TITLEA"));
        request->addElement(datasets::textElement(0x0000, 0x0300, "TITLEB"));
        return request;
    };
    auto storeRequest = withTitles(requestOf(ctImageStorage, 0x0001, 7, 0x0102));
    auto findRequest = withTitles(requestOf(patientRootFind, 0x0020, 7, 0x0102));
    auto moveRequest = withTitles(requestOf(patientRootMove, 0x0021, 7, 0x0102));
    EXPECT_EQ(storage.sendResponse(&service, storeRequest.get()), 1);
    EXPECT_EQ(find.sendResponse(&service, findRequest.get(), nullptr), 1);
    EXPECT_EQ(move.sendResponse(&service, moveRequest.get(), 0x0000, 0, 1, 0, 0, nullptr), 1);
    const auto messages = sent();
    ASSERT_EQ(messages.size(), 3u);
    const char* const expected[][2] = {{"TITLEB", "TITLEA"}, {"TITLEA", "TITLEB"}, {"TITLEA", "TITLEB"}};
    for (size_t index = 0; index < 3; ++index) {
        SCOPED_TRACE(index);
        auto response = decodeCommand(messages[index].bytes);
        ASSERT_NE(response, nullptr);
        EXPECT_EQ(valueText(*response, 0x0000, 0x0200), expected[index][0]);
        EXPECT_EQ(valueText(*response, 0x0000, 0x0300), expected[index][1]);
    }
}

// Without a SOP class of its own a C-STORE-RSP goes out under the request's
// Affected SOP Class UID, on the context proposed for it.
TEST_F(CommandMessages, StoreResponseWithoutOwnUidAnswersUnderTheRequestsUid) {
    StoreResponse anyStorage;
    auto request = requestOf(ctImageStorage, 0x0001, 7, 0x0102);
    EXPECT_EQ(anyStorage.sendResponse(&service, request.get()), 1);
    CommandSet anonymous;  // a request without (0000,0002)
    anonymous.addElement(datasets::u16Element(0x0000, 0x0100, 0x0001));
    anonymous.addElement(datasets::u16Element(0x0000, 0x0110, 9));
    anonymous.addElement(datasets::u16Element(0x0000, 0x0800, 0x0102));
    EXPECT_EQ(anyStorage.sendResponse(&service, &anonymous), 0);
    EXPECT_TRUE(has(anonymous, 0x0110));  // refused before the request is drained
    const auto messages = sent();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].contextId, 3);
    auto response = decodeCommand(messages[0].bytes);
    ASSERT_NE(response, nullptr);
    EXPECT_EQ(valueText(*response, 0x0000, 0x0002), std::string(ctImageStorage) + '\0');
    EXPECT_EQ(response->findU16(0x0000, 0x0120), 7);
}

TEST_F(CommandMessages, FindRequestIsExactlyTheseBytesFollowedByTheIdentifier) {
    PatientRootFind find;
    auto query = patientQuery();
    idCounter = 1;
    EXPECT_EQ(find.sendRequest(&service, query.get()), 1);
    EXPECT_EQ(find.sendRequest(&service, nullptr), 1);
    const auto messages = sent();
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_EQ(messages[0].contextId, 5);
    EXPECT_TRUE(messages[0].command);
    EXPECT_EQ(messages[0].bytes, bytesOf(findRequestCommand));
    EXPECT_EQ(messages[1].contextId, 5);
    EXPECT_FALSE(messages[1].command);
    EXPECT_EQ(messages[1].bytes, implicitBytes(*patientQuery()));
    // Without an identifier the command goes alone, still announcing one.
    EXPECT_TRUE(messages[2].command);
    auto second = decodeCommand(messages[2].bytes);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(second->findU16(0x0000, 0x0800), 0x0102);
}

// One request serves every response: the C-FIND-RSP builder leaves it as it was.
TEST_F(CommandMessages, FindResponsesPendingThenFinalFromOneRequest) {
    PatientRootFind find;
    auto request = requestOf(patientRootFind, 0x0020, 5, 0x0102);
    request->addElement(datasets::u16Element(0x0000, 0x0700, 0));
    auto match = patientQuery();
    EXPECT_EQ(find.sendResponse(&service, request.get(), match.get()), 1);
    auto second = patientQuery();
    EXPECT_EQ(find.sendResponse(&service, request.get(), 0xFF01, second.get()), 1);
    EXPECT_EQ(find.sendResponse(&service, request.get(), nullptr), 1);
    EXPECT_EQ(find.sendResponse(&service, request.get(), 0xC001, nullptr), 1);
    EXPECT_EQ(request->findU16(0x0000, 0x0110), 5);  // still whole
    const auto messages = sent();
    ASSERT_EQ(messages.size(), 6u);
    EXPECT_EQ(messages[0].contextId, 5);
    EXPECT_EQ(messages[0].bytes, bytesOf(findResponseCommand));
    EXPECT_FALSE(messages[1].command);
    EXPECT_EQ(messages[1].bytes, implicitBytes(*patientQuery()));
    struct Expected {
        size_t index;
        uint16_t status;
        uint16_t dataSetType;
    };
    const Expected responses[] = {{2, 0xFF01, 0x0102}, {4, 0x0000, 0x0101}, {5, 0xC001, 0x0101}};
    for (const Expected& expected : responses) {
        SCOPED_TRACE(expected.index);
        ASSERT_TRUE(messages[expected.index].command);
        auto response = decodeCommand(messages[expected.index].bytes);
        ASSERT_NE(response, nullptr);
        EXPECT_EQ(response->findU16(0x0000, 0x0100), 0x8020);
        EXPECT_FALSE(has(*response, 0x0110));  // response fields only
        EXPECT_FALSE(has(*response, 0x0700));
        EXPECT_EQ(response->findU16(0x0000, 0x0120), 5);
        EXPECT_EQ(response->findU16(0x0000, 0x0900), expected.status);
        EXPECT_EQ(response->findU16(0x0000, 0x0800), expected.dataSetType);
    }
    EXPECT_FALSE(messages[3].command);
}

TEST_F(CommandMessages, MoveRequestIsExactlyTheseBytesFollowedByTheIdentifier) {
    PatientRootMove move;
    auto query = patientQuery();
    idCounter = 1;
    EXPECT_EQ(move.sendRequest(&service, query.get(), "STORESCP"), 1);
    const auto messages = sent();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0].contextId, 7);
    EXPECT_TRUE(messages[0].command);
    EXPECT_EQ(messages[0].bytes, bytesOf(moveRequestCommand));
    EXPECT_EQ(messages[1].contextId, 7);
    EXPECT_FALSE(messages[1].command);
    EXPECT_EQ(messages[1].bytes, implicitBytes(*patientQuery()));
}

TEST_F(CommandMessages, MoveDestinationFillsSixteenBytesWithSpaces) {
    struct Case {
        const char* destination;
        int expected;
        const char* field;  // null: nothing sent
    };
    const Case cases[] = {
        {"STORE", 1, "STORE           "},
        {"ABCDEFGHIJKLMNOP", 1, "ABCDEFGHIJKLMNOP"},
        {"", 1, "                "},
        {"ABCDEFGHIJKLMNOPQ", 0, nullptr},
        // 17 characters even when the last is a pad space: refused, not cut.
        {"ABCDEFGHIJKLMNOP ", 0, nullptr},
        {"                 ", 0, nullptr},
        {"A-TITLE-FAR-LONGER-THAN-SIXTEEN-CHARACTERS-AS-A-CALLER-MIGHT-PASS", 0, nullptr},
        {nullptr, 0, nullptr},
    };
    PatientRootMove move;
    for (const Case& row : cases) {
        auto query = patientQuery();
        EXPECT_EQ(move.sendRequest(&service, query.get(), row.destination), row.expected)
            << (row.destination != nullptr ? row.destination : "null");
        if (row.expected == 0) {
            EXPECT_FALSE(isEmpty(*query));  // not sent
        }
    }
    const auto messages = sent();
    size_t index = 0;
    for (const Case& row : cases) {
        if (row.field == nullptr) continue;
        SCOPED_TRACE(row.destination);
        ASSERT_LT(index + 1, messages.size());
        auto command = decodeCommand(messages[index].bytes);
        ASSERT_NE(command, nullptr);
        EXPECT_EQ(valueText(*command, 0x0000, 0x0600), row.field);
        index += 2;
    }
    EXPECT_EQ(index, messages.size());
}

TEST_F(CommandMessages, MoveResponseIsExactlyTheseBytesWhenPending) {
    PatientRootMove move;
    auto request = requestOf(patientRootMove, 0x0021, 5, 0x0102);
    EXPECT_EQ(move.sendResponse(&service, request.get(), 0xFF00, 3, 2, 1, 0, nullptr), 1);
    const auto messages = sent();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].contextId, 7);
    EXPECT_TRUE(messages[0].command);
    EXPECT_EQ(messages[0].bytes, bytesOf(moveResponseCommand));
}

TEST_F(CommandMessages, MoveResponseCountsRemainingOnlyWhilePendingOrCancelled) {
    struct Case {
        const char* name;
        uint16_t status;
        bool withDataSet;
        bool remaining;
    };
    const Case cases[] = {
        {"success", 0x0000, false, false},
        {"pending", 0xFF00, false, true},
        {"cancel", 0xFE00, false, true},
        {"warning", 0xB000, false, false},
        {"unable to process, with the failed UIDs", 0xC001, true, false},
    };
    PatientRootMove move;
    auto request = requestOf(patientRootMove, 0x0021, 5, 0x0102);
    for (const Case& row : cases) {
        std::unique_ptr<ObjectDataSet> failed;
        if (row.withDataSet) {
            failed = std::make_unique<ObjectDataSet>();
            failed->addElement(datasets::textElement(0x0008, 0x0058, "1.2.3.44"));
        }
        EXPECT_EQ(move.sendResponse(&service, request.get(), row.status, 4, 5, 6, 7, failed.get()), 1) << row.name;
    }
    const auto messages = sent();
    size_t index = 0;
    for (const Case& row : cases) {
        SCOPED_TRACE(row.name);
        ASSERT_LT(index, messages.size());
        auto response = decodeCommand(messages[index++].bytes);
        ASSERT_NE(response, nullptr);
        EXPECT_EQ(response->findU16(0x0000, 0x0900), row.status);
        EXPECT_EQ(has(*response, 0x1020), row.remaining);
        if (row.remaining) {
            EXPECT_EQ(response->findU16(0x0000, 0x1020), 4);
        }
        EXPECT_EQ(response->findU16(0x0000, 0x1021), 5);
        EXPECT_EQ(response->findU16(0x0000, 0x1022), 6);
        EXPECT_EQ(response->findU16(0x0000, 0x1023), 7);
        EXPECT_EQ(response->findU16(0x0000, 0x0800), row.withDataSet ? 0x0102 : 0x0101);
        if (row.withDataSet) {
            ASSERT_LT(index, messages.size());
            EXPECT_FALSE(messages[index].command);
            auto data = decodeDataSet(messages[index++].bytes);
            ASSERT_NE(data, nullptr);
            EXPECT_EQ(valueText(*data, 0x0008, 0x0058), "1.2.3.44");
        }
    }
    EXPECT_EQ(index, messages.size());
}

// Message IDs come from the counter that presentation context IDs share.
TEST_F(CommandMessages, RequestsDrawOddMessageIdsFromTheSharedCounter) {
    VerificationSopClass verificationClass;
    idCounter = 1;
    ASSERT_EQ(verificationClass.sendRequest(&service), 1);
    ASSERT_EQ(verificationClass.sendRequest(&service), 1);
    idCounter = 1;
    ASSERT_EQ(verificationClass.sendRequest(&service), 1);
    EXPECT_EQ(nextOddId8(), 3);  // as when a context is proposed in between
    ASSERT_EQ(verificationClass.sendRequest(&service), 1);
    PatientRootFind find;
    PatientRootMove move;
    CtImageStorage storage;
    ASSERT_EQ(find.sendRequest(&service, nullptr), 1);
    ASSERT_EQ(move.sendRequest(&service, nullptr, "STORE"), 1);
    ASSERT_EQ(storage.sendRequest(&service, nullptr), 1);
    const auto messages = sent();
    ASSERT_EQ(messages.size(), 7u);
    const uint16_t expected[] = {1, 3, 1, 5, 7, 9, 11};
    for (size_t index = 0; index < messages.size(); ++index) {
        auto command = decodeCommand(messages[index].bytes);
        ASSERT_NE(command, nullptr);
        EXPECT_EQ(command->findU16(0x0000, 0x0110), expected[index]) << index;
    }
}
