// Reading received command sets: uidFromElement and the recognisers of the
// eight message classes, alone and with the data set that follows.

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

#include "DimseFixtures.h"

using namespace dimse;
using association::implicitLittle;
using association::verification;

namespace {

DataElement* elementOf(const std::string& bytes) { return datasets::textElement(0x0000, 0x0002, bytes); }

}  // namespace

TEST(UidFromElement, TakesTheValueAndDropsOneTrailingPadByte) {
    const std::string longest(64, '1');
    struct Case {
        const char* name;
        std::string value;
        int expected;
        std::string uid;
    };
    const Case cases[] = {
        {"odd UID padded with a zero byte", std::string("1.2.840.10008.1.1\0", 18), 1, "1.2.840.10008.1.1"},
        {"odd UID padded with a space", "1.2.840.10008.1.2 ", 1, "1.2.840.10008.1.2"},
        {"even UID without padding", "1.2.840.10008.1.20", 1, "1.2.840.10008.1.20"},
        {"a final full stop is no pad", "1.2.", 1, "1.2."},
        {"only one pad byte goes", "1.23  ", 1, "1.23 "},
        {"64 digits", longest, 1, longest},
        {"63 characters and a pad", longest.substr(0, 63) + " ", 1, longest.substr(0, 63)},
        {"66 bytes", longest + "11", 0, ""},
        {"an empty value", "", 1, ""},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(row.name);
        std::unique_ptr<DataElement> element(elementOf(row.value));
        ASSERT_EQ(element->length, row.value.size());
        UidValue uid;
        ASSERT_EQ(uidFromElement(uid, element.get()), row.expected);
        if (row.expected == 1) {
            EXPECT_EQ(std::string(uid.text(), uid.size()), row.uid);
            EXPECT_EQ(uid.text()[uid.size()], '\0');
        }
    }
}

TEST(UidFromElement, RefusesNoElementNoValueAndSixtyFiveBytes) {
    UidValue uid;
    EXPECT_EQ(uidFromElement(uid, nullptr), 0);
    DataElement valueless(0x0000, 0x0002, 0, 0);
    EXPECT_EQ(uidFromElement(uid, &valueless), 0);
    // An odd length as it could stand in an element built by hand.
    std::unique_ptr<DataElement> odd(elementOf(std::string(66, '1')));
    odd->length = 65;
    EXPECT_EQ(uidFromElement(uid, odd.get()), 0);
}

namespace {

// Every recogniser, in the form that takes the command alone.
struct Recogniser {
    const char* name;
    std::function<int(DataSet*)> recognise;
};

EchoRequest echoRequest;
EchoResponse echoResponse;
StoreRequest storeRequest;
StoreResponse storeResponse;
FindRequest findRequest;
FindResponse findResponse;
MoveRequest moveRequest;
MoveResponse moveResponse;

const Recogniser recognisers[] = {
    {"C-ECHO-RQ", [](DataSet* c) { return echoRequest.isRequest(c); }},
    {"C-ECHO-RSP", [](DataSet* c) { return echoResponse.isResponse(c); }},
    {"C-STORE-RQ", [](DataSet* c) { return storeRequest.isRequest(c); }},
    {"C-STORE-RSP", [](DataSet* c) { return storeResponse.isResponse(c); }},
    {"C-FIND-RQ", [](DataSet* c) { return findRequest.isRequest(c); }},
    {"C-FIND-RSP", [](DataSet* c) { return findResponse.isResponse(c); }},
    {"C-MOVE-RQ", [](DataSet* c) { return moveRequest.isRequest(c); }},
    {"C-MOVE-RSP", [](DataSet* c) { return moveResponse.isResponse(c); }},
};

}  // namespace

TEST(Recognisers, KnowTheirCommandFieldAndWhetherADataSetMustFollow) {
    struct Case {
        const char* name;
        std::vector<uint8_t> commandField;  // empty: absent
        int dataSetType;                    // -1: absent
        const char* expected;               // one digit per recogniser, in table order
    };
    const Case cases[] = {
        {"C-ECHO-RQ", {0x30, 0x00}, 0x0101, "10000000"},
        {"C-ECHO-RQ that announces a data set", {0x30, 0x00}, 0x0102, "10000000"},
        {"C-ECHO-RSP", {0x30, 0x80}, 0x0101, "01000000"},
        {"C-STORE-RQ", {0x01, 0x00}, 0x0102, "00100000"},
        {"C-STORE-RQ without a data set", {0x01, 0x00}, 0x0101, "00000000"},
        {"C-STORE-RQ without a Data Set Type", {0x01, 0x00}, -1, "00100000"},
        {"C-STORE-RQ with Data Set Type 0", {0x01, 0x00}, 0x0000, "00100000"},
        {"C-STORE-RSP", {0x01, 0x80}, 0x0101, "00010000"},
        {"C-FIND-RQ", {0x20, 0x00}, 0x0102, "00001000"},
        {"C-FIND-RQ without a data set", {0x20, 0x00}, 0x0101, "00000000"},
        {"C-FIND-RSP pending", {0x20, 0x80}, 0x0102, "00000100"},
        {"C-FIND-RSP final", {0x20, 0x80}, 0x0101, "00000100"},
        {"C-MOVE-RQ", {0x21, 0x00}, 0x0102, "00000010"},
        {"C-MOVE-RQ without a data set", {0x21, 0x00}, 0x0101, "00000000"},
        {"C-MOVE-RSP final", {0x21, 0x80}, 0x0101, "00000001"},
        {"C-GET-RQ", {0x10, 0x00}, 0x0102, "00000000"},
        {"no Command Field", {}, 0x0101, "00000000"},
        {"a Command Field of four bytes", {0x30, 0x00, 0x00, 0x00}, 0x0101, "00000000"},
        {"the bytes of C-ECHO-RQ swapped", {0x00, 0x30}, 0x0101, "00000000"},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(row.name);
        CommandSet command;
        command.addElement(datasets::textElement(0x0000, 0x0002, verification));
        if (!row.commandField.empty()) command.addElement(datasets::bytesElement(0x0000, 0x0100, row.commandField));
        if (row.dataSetType >= 0) {
            command.addElement(datasets::u16Element(0x0000, 0x0800, static_cast<uint16_t>(row.dataSetType)));
        }
        std::string results;
        for (const Recogniser& recogniser : recognisers) results += recogniser.recognise(&command) ? '1' : '0';
        EXPECT_EQ(results, row.expected);
    }
    for (const Recogniser& recogniser : recognisers) {
        SCOPED_TRACE(recogniser.name);
        EXPECT_EQ(recogniser.recognise(nullptr), 0);
    }
}

namespace {

// The recognisers of the messages that may carry a data set, in their
// reading form.
struct ReadingRecogniser {
    const char* name;
    uint16_t commandField;
    bool request;
    std::function<int(DataSet*, AssociationService*, DataSet*)> recognise;
};

const ReadingRecogniser readingRecognisers[] = {
    {"C-STORE-RQ", 0x0001, true, [](DataSet* c, AssociationService* a, DataSet* t) { return storeRequest.isRequest(c, a, t); }},
    {"C-FIND-RQ", 0x0020, true, [](DataSet* c, AssociationService* a, DataSet* t) { return findRequest.isRequest(c, a, t); }},
    {"C-MOVE-RQ", 0x0021, true, [](DataSet* c, AssociationService* a, DataSet* t) { return moveRequest.isRequest(c, a, t); }},
    {"C-FIND-RSP", 0x8020, false,
     [](DataSet* c, AssociationService* a, DataSet* t) { return findResponse.isResponse(c, a, t); }},
    {"C-MOVE-RSP", 0x8021, false,
     [](DataSet* c, AssociationService* a, DataSet* t) { return moveResponse.isResponse(c, a, t); }},
};

const std::vector<association::Proposed> verificationContext = {{1, verification, {implicitLittle}}};

Bytes commandWith(uint16_t commandField, uint16_t dataSetType) {
    return association::dataBytes({{1, 0x03,
                                    implicitBytes({datasets::textElement(0x0000, 0x0002, verification),
                                                   datasets::u16Element(0x0000, 0x0100, commandField),
                                                   datasets::u16Element(0x0000, 0x0110, 5),
                                                   datasets::u16Element(0x0000, 0x0800, dataSetType)})}});
}

Bytes patientDataSet() {
    ObjectDataSet set;
    set.addElement(datasets::textElement(0x0010, 0x0010, "DOE^JOHN"));
    return association::dataBytes({{1, 0x02, implicitBytes(set)}});
}

}  // namespace

TEST(Recognisers, ReadTheDataSetThatFollowsIntoTheTarget) {
    for (const ReadingRecogniser& recogniser : readingRecognisers) {
        SCOPED_TRACE(recogniser.name);
        AssociationService service;
        AcceptedPeer peer(service, verificationContext, commandWith(recogniser.commandField, 0x0102) + patientDataSet());
        ASSERT_EQ(peer.accepted, 1);
        CommandSet command;
        ASSERT_EQ(service.readMessage(command), 1);
        ObjectDataSet target;
        EXPECT_EQ(recogniser.recognise(&command, &service, &target), 1);
        EXPECT_EQ(valueText(target, 0x0010, 0x0010), "DOE^JOHN");
        EXPECT_TRUE(peer.hangUp().empty());
    }
}

// Each of these returns without touching the association: the data set the
// peer sent after the command is still there to be read.
TEST(Recognisers, LeaveTheDataSetUnreadWhenThereIsNothingToReadInto) {
    struct Case {
        const char* name;
        uint16_t dataSetType;
        bool withAssociation;
        bool withTarget;
        int requestResult;
        int responseResult;
    };
    const Case cases[] = {
        {"no data set announced", 0x0101, true, true, 0, 1},
        {"no target", 0x0102, true, false, 1, 1},
        {"no association", 0x0102, false, true, 1, 1},
    };
    for (const Case& row : cases) {
        for (const ReadingRecogniser& recogniser : readingRecognisers) {
            SCOPED_TRACE(std::string(row.name) + ", " + recogniser.name);
            AssociationService service;
            AcceptedPeer peer(service, verificationContext, commandWith(recogniser.commandField, row.dataSetType) + patientDataSet());
            ASSERT_EQ(peer.accepted, 1);
            CommandSet command;
            ASSERT_EQ(service.readMessage(command), 1);
            ObjectDataSet target;
            EXPECT_EQ(recogniser.recognise(&command, row.withAssociation ? &service : nullptr, row.withTarget ? &target : nullptr),
                      recogniser.request ? row.requestResult : row.responseResult);
            EXPECT_TRUE(isEmpty(target));
            ObjectDataSet following;
            ASSERT_EQ(service.readMessage(following), 1);
            EXPECT_EQ(valueText(following, 0x0010, 0x0010), "DOE^JOHN");
            peer.hangUp();
        }
    }
}

TEST(Recognisers, FailWhenTheDataSetCannotBeRead) {
    const Bytes ends[] = {association::abortAsSent, association::releaseRequest};
    for (const Bytes& end : ends) {
        for (const ReadingRecogniser& recogniser : readingRecognisers) {
            SCOPED_TRACE(std::string(recogniser.name) + (end == association::abortAsSent ? " then A-ABORT" : " then A-RELEASE-RQ"));
            AssociationService service;
            AcceptedPeer peer(service, verificationContext, commandWith(recogniser.commandField, 0x0102) + end);
            ASSERT_EQ(peer.accepted, 1);
            CommandSet command;
            ASSERT_EQ(service.readMessage(command), 1);
            ObjectDataSet target;
            EXPECT_EQ(recogniser.recognise(&command, &service, &target), 0);
            peer.hangUp();
        }
    }
}
