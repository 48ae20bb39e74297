// The command sets of C-GET and C-CANCEL: the exact bytes on the wire,
// decoding them back, and the damaged ones no class takes.

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "DimseFixtures.h"
#include "dimse/QueryRetrieveSopClasses.h"

using namespace dimse;
using association::implicitLittle;

namespace {

const char* const studyRootGetUid = "1.2.840.10008.5.1.4.1.2.2.3";

// C-GET-RQ of the study root model, Message ID 1.
const uint8_t getRequestCommand[] = {
    0x00, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00,  // (0000,0000) Command Group Length, 4 bytes
    0x4C, 0x00, 0x00, 0x00,                          //   76
    0x00, 0x00, 0x02, 0x00, 0x1C, 0x00, 0x00, 0x00,  // (0000,0002) Affected SOP Class UID, 28 bytes
    '1', '.', '2', '.', '8', '4', '0', '.', '1', '0', '0', '0', '8', '.',  //   Study Root Get,
    '5', '.', '1', '.', '4', '.', '1', '.', '2', '.', '2', '.', '3', 0x00,  //   zero pad
    0x00, 0x00, 0x00, 0x01, 0x02, 0x00, 0x00, 0x00, 0x10, 0x00,  // (0000,0100) Command Field C-GET-RQ
    0x00, 0x00, 0x10, 0x01, 0x02, 0x00, 0x00, 0x00, 0x01, 0x00,  // (0000,0110) Message ID 1
    0x00, 0x00, 0x00, 0x07, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00,  // (0000,0700) Priority medium
    0x00, 0x00, 0x00, 0x08, 0x02, 0x00, 0x00, 0x00, 0x02, 0x01,  // (0000,0800) Data Set Type: a data set follows
};

// C-GET-RSP to Message ID 5, Pending: 3 remaining, 2 completed, 1 failed,
// 0 warning. Response fields only: no Message ID, no Priority.
const uint8_t getResponseCommand[] = {
    0x00, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00,  // (0000,0000) Command Group Length, 4 bytes
    0x74, 0x00, 0x00, 0x00,                          //   116
    0x00, 0x00, 0x02, 0x00, 0x1C, 0x00, 0x00, 0x00,  // (0000,0002) Affected SOP Class UID, 28 bytes
    '1', '.', '2', '.', '8', '4', '0', '.', '1', '0', '0', '0', '8', '.',  //   Study Root Get,
    '5', '.', '1', '.', '4', '.', '1', '.', '2', '.', '2', '.', '3', 0x00,  //   zero pad
    0x00, 0x00, 0x00, 0x01, 0x02, 0x00, 0x00, 0x00, 0x10, 0x80,  // (0000,0100) Command Field C-GET-RSP
    0x00, 0x00, 0x20, 0x01, 0x02, 0x00, 0x00, 0x00, 0x05, 0x00,  // (0000,0120) Message ID Being Responded To 5
    0x00, 0x00, 0x00, 0x08, 0x02, 0x00, 0x00, 0x00, 0x01, 0x01,  // (0000,0800) Data Set Type: none
    0x00, 0x00, 0x00, 0x09, 0x02, 0x00, 0x00, 0x00, 0x00, 0xFF,  // (0000,0900) Status Pending
    0x00, 0x00, 0x20, 0x10, 0x02, 0x00, 0x00, 0x00, 0x03, 0x00,  // (0000,1020) Remaining Sub-operations 3
    0x00, 0x00, 0x21, 0x10, 0x02, 0x00, 0x00, 0x00, 0x02, 0x00,  // (0000,1021) Completed Sub-operations 2
    0x00, 0x00, 0x22, 0x10, 0x02, 0x00, 0x00, 0x00, 0x01, 0x00,  // (0000,1022) Failed Sub-operations 1
    0x00, 0x00, 0x23, 0x10, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00,  // (0000,1023) Warning Sub-operations 0
};

// C-CANCEL-RQ of the operation of Message ID 5: no SOP class UID.
const uint8_t cancelRequestCommand[] = {
    0x00, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00,  // (0000,0000) Command Group Length, 4 bytes
    0x1E, 0x00, 0x00, 0x00,                          //   30
    0x00, 0x00, 0x00, 0x01, 0x02, 0x00, 0x00, 0x00, 0xFF, 0x0F,  // (0000,0100) Command Field C-CANCEL-RQ
    0x00, 0x00, 0x20, 0x01, 0x02, 0x00, 0x00, 0x00, 0x05, 0x00,  // (0000,0120) Message ID Being Responded To 5
    0x00, 0x00, 0x00, 0x08, 0x02, 0x00, 0x00, 0x00, 0x01, 0x01,  // (0000,0800) Data Set Type: none
};

class StudyGetMessages : public GetRequest, public GetResponse {
public:
    int sopClassUid(UidValue& out) override { return out.assign(studyRootGetUid); }
};

class StudyGetCancel : public CancelRequest {
public:
    int sopClassUid(UidValue& out) override { return out.assign(studyRootGetUid); }
};

const std::vector<association::Proposed> getContexts = {{1, association::verification, {implicitLittle}},
                                                         {3, studyRootGetUid, {implicitLittle}}};

std::unique_ptr<ObjectDataSet> studyQuery() {
    auto set = std::make_unique<ObjectDataSet>();
    set->addElement(datasets::textElement(0x0008, 0x0052, "STUDY "));
    set->addElement(datasets::textElement(0x0020, 0x000D, "1.2.3"));
    return set;
}

// The golden bytes with the 16-bit value at offset replaced.
Bytes withU16At(Bytes bytes, size_t offset, uint16_t value) {
    bytes[offset] = static_cast<uint8_t>(value);
    bytes[offset + 1] = static_cast<uint8_t>(value >> 8);
    return bytes;
}

class RetrieveMessages : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(peer.accepted, 1); }
    std::vector<Message> sent() { return messagesIn(peer.hangUp()); }

    AssociationService service;
    AcceptedPeer peer{service, getContexts, {}};
};

}  // namespace

TEST_F(RetrieveMessages, GetRequestIsExactlyTheseBytesFollowedByTheIdentifier) {
    StudyGetMessages get;
    auto query = studyQuery();
    idCounter = 1;
    EXPECT_EQ(get.sendRequest(&service, query.get()), 1);
    EXPECT_EQ(get.sentMessageId, 1);
    const auto messages = sent();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0].contextId, 3);
    EXPECT_TRUE(messages[0].command);
    EXPECT_EQ(messages[0].bytes, bytesOf(getRequestCommand));
    EXPECT_FALSE(messages[1].command);
    EXPECT_EQ(messages[1].bytes, implicitBytes(*studyQuery()));
}

TEST_F(RetrieveMessages, GetResponseIsExactlyTheseBytesWhenPending) {
    StudyGetMessages get;
    auto request = decodeCommand(withU16At(bytesOf(getRequestCommand), 66, 5));  // Message ID 5
    ASSERT_NE(request, nullptr);
    EXPECT_EQ(get.sendResponse(&service, request.get(), StatusPending, 3, 2, 1, 0, nullptr), 1);
    EXPECT_EQ(request->findU16(0x0000, MessageId), 5);  // left as it was
    const auto messages = sent();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].contextId, 3);
    EXPECT_EQ(messages[0].bytes, bytesOf(getResponseCommand));
}

TEST_F(RetrieveMessages, CancelRequestIsExactlyTheseBytesOnTheOperationsContext) {
    StudyGetCancel cancel;
    EXPECT_EQ(cancel.sendRequest(&service, 5), 1);
    const auto messages = sent();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].contextId, 3);
    EXPECT_TRUE(messages[0].command);
    EXPECT_EQ(messages[0].bytes, bytesOf(cancelRequestCommand));
}

TEST(RetrieveMessageDecoding, GoldenCommandsDecodeToTheirFields) {
    StudyGetMessages get;
    CancelRequest cancel;
    auto request = decodeCommand(bytesOf(getRequestCommand));
    ASSERT_NE(request, nullptr);
    EXPECT_EQ(get.isRequest(request.get()), 1);
    EXPECT_EQ(get.isResponse(request.get()), 0);
    EXPECT_EQ(request->findU16(0x0000, MessageId), 1);
    EXPECT_EQ(valueText(*request, 0x0000, AffectedSopClassUid), std::string(studyRootGetUid) + '\0');

    auto response = decodeCommand(bytesOf(getResponseCommand));
    ASSERT_NE(response, nullptr);
    EXPECT_EQ(get.isResponse(response.get()), 1);
    EXPECT_EQ(get.isRequest(response.get()), 0);
    EXPECT_TRUE(respondsTo(response.get(), 5));
    EXPECT_FALSE(respondsTo(response.get(), 1));
    EXPECT_EQ(response->findU16(0x0000, Status), StatusPending);
    EXPECT_EQ(response->findU16(0x0000, RemainingSubOperations), 3);
    EXPECT_EQ(response->findU16(0x0000, CompletedSubOperations), 2);
    EXPECT_EQ(response->findU16(0x0000, FailedSubOperations), 1);
    EXPECT_EQ(response->findU16(0x0000, WarningSubOperations), 0);

    auto cancelCommand = decodeCommand(bytesOf(cancelRequestCommand));
    ASSERT_NE(cancelCommand, nullptr);
    EXPECT_EQ(cancel.isRequest(cancelCommand.get()), 1);
    EXPECT_EQ(cancel.isRequestFor(cancelCommand.get(), 5), 1);
    EXPECT_EQ(cancel.isRequestFor(cancelCommand.get(), 7), 0);
    EXPECT_EQ(get.isRequest(cancelCommand.get()), 0);
}

// What one side sends the other recognises, identifier and counts included.
TEST_F(RetrieveMessages, GetMessagesRoundTripThroughTheWire) {
    StudyGetMessages get;
    auto query = studyQuery();
    ASSERT_EQ(get.sendRequest(&service, query.get()), 1);
    // The request as the provider reads it.
    auto request = decodeCommand(withU16At(bytesOf(getRequestCommand), 66, get.sentMessageId));
    ASSERT_NE(request, nullptr);
    std::unique_ptr<ObjectDataSet> failed(new ObjectDataSet);
    failed->addElement(datasets::textElement(0x0008, 0x0058, "1.2.3.44"));
    ASSERT_EQ(get.sendResponse(&service, request.get(), StatusSubOperationsFailed, 9, 4, 1, 2, failed.get()), 1);
    const auto messages = sent();
    ASSERT_EQ(messages.size(), 4u);
    auto sentRequest = decodeCommand(messages[0].bytes);
    ASSERT_NE(sentRequest, nullptr);
    EXPECT_EQ(get.isRequest(sentRequest.get()), 1);
    EXPECT_EQ(sentRequest->findU16(0x0000, MessageId), get.sentMessageId);
    auto identifier = decodeDataSet(messages[1].bytes);
    ASSERT_NE(identifier, nullptr);
    EXPECT_EQ(valueText(*identifier, 0x0020, 0x000D), std::string("1.2.3") + '\0');
    auto response = decodeCommand(messages[2].bytes);
    ASSERT_NE(response, nullptr);
    EXPECT_EQ(get.isResponse(response.get()), 1);
    EXPECT_TRUE(respondsTo(response.get(), get.sentMessageId));
    EXPECT_EQ(response->findU16(0x0000, Status), StatusSubOperationsFailed);
    EXPECT_FALSE(has(*response, RemainingSubOperations));  // final: no remaining count
    EXPECT_EQ(response->findU16(0x0000, CompletedSubOperations), 4);
    EXPECT_EQ(response->findU16(0x0000, FailedSubOperations), 1);
    EXPECT_EQ(response->findU16(0x0000, WarningSubOperations), 2);
    EXPECT_EQ(response->findU16(0x0000, CommandDataSetType), DataSetFollows);
    auto list = decodeDataSet(messages[3].bytes);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(valueText(*list, 0x0008, 0x0058), "1.2.3.44");
}

TEST(RetrieveMessageDecoding, DamagedCommandsAreTakenByNoClass) {
    const Bytes get = bytesOf(getRequestCommand), response = bytesOf(getResponseCommand),
                cancel = bytesOf(cancelRequestCommand);
    // Offsets of values in the golden bytes.
    const size_t uidLength = 16, getField = 56, getDataSetType = 86, responseField = 56, cancelField = 20;
    struct Case {
        const char* what;
        Bytes bytes;
        bool decodes;
    };
    const Case cases[] = {
        {"a C-GET-RQ cut inside an element", Bytes(get.begin(), get.end() - 1), false},
        {"a C-GET-RQ with an element length beyond its end", withU16At(get, uidLength, 0xFFF0), false},
        {"a C-GET-RQ with the C-MOVE-RQ field", withU16At(get, getField, CMoveRequest), true},
        {"a C-GET-RQ that announces no identifier", withU16At(get, getDataSetType, NoDataSet), true},
        {"a C-GET-RSP with the C-MOVE-RSP field", withU16At(response, responseField, CMoveResponse), true},
        {"a C-CANCEL-RQ with another field", withU16At(cancel, cancelField, 0x0FFE), true},
        {"a C-CANCEL-RQ without Message ID Being Responded To",
         implicitBytes({datasets::u16Element(0x0000, CommandField, CCancelRequest),
                        datasets::u16Element(0x0000, CommandDataSetType, NoDataSet)}),
         true},
    };
    StudyGetMessages getMessages;
    CancelRequest cancelRequest;
    for (const Case& row : cases) {
        SCOPED_TRACE(row.what);
        auto command = decodeCommand(row.bytes);
        if (!row.decodes) {
            EXPECT_EQ(command, nullptr);
            continue;
        }
        ASSERT_NE(command, nullptr);
        EXPECT_EQ(getMessages.isRequest(command.get()), 0);
        EXPECT_EQ(getMessages.isResponse(command.get()), 0);
        EXPECT_EQ(cancelRequest.isRequest(command.get()), 0);
    }
}
