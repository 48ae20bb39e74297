// The storage SOP classes: store as user against a scripted acceptor,
// handleCommand and handleAnyCommand as provider on requests a scripted
// requester sends.

#include <gtest/gtest.h>

#include <string>

#include "DimseFixtures.h"
#include "dimse/StorageSopClass.h"

using namespace dimse;
using association::ctImageStorage;
using association::implicitLittle;
using association::verification;

namespace {

// Keeps what the store operations were given and answers with status.
template <typename Storage>
class Recording : public Storage {
public:
    uint16_t storeDataSet(DataSet* dataSet) override {
        ++ownCalls;
        patientName = valueText(*dataSet, 0x0010, 0x0010);
        return status;
    }
    uint16_t storeAnyDataSet(DataSet* dataSet) override {
        ++anyCalls;
        patientName = valueText(*dataSet, 0x0010, 0x0010);
        return status;
    }
    uint16_t status = 0x0000;
    int ownCalls = 0;
    int anyCalls = 0;
    std::string patientName;
};

std::unique_ptr<ObjectDataSet> image(const char* instanceUid) {
    auto set = std::make_unique<ObjectDataSet>();
    if (instanceUid != nullptr) set->addElement(datasets::textElement(0x0008, 0x0018, instanceUid));
    set->addElement(datasets::textElement(0x0010, 0x0010, "DOE^JOHN"));
    return set;
}

// A C-STORE-RSP to Message ID 3, the first one drawn after the requester's
// only context took ID 1.
Bytes storeResponseBytes(uint16_t status, uint16_t commandField = 0x8001) {
    return association::dataBytes({{1, 0x03,
                                    implicitBytes({datasets::textElement(0x0000, 0x0002, ctImageStorage),
                                                   datasets::u16Element(0x0000, 0x0100, commandField),
                                                   datasets::u16Element(0x0000, 0x0110, 3),
                                                   datasets::u16Element(0x0000, 0x0120, 3),
                                                   datasets::u16Element(0x0000, 0x0800, 0x0101),
                                                   datasets::u16Element(0x0000, 0x0900, status),
                                                   datasets::textElement(0x0000, 0x1000, "1.2.3.4.5")})}});
}

const std::vector<association::Answered> ctAccepted = {{1, ContextAccepted, implicitLittle}};

// A C-STORE-RQ as a requester sends it on contextId, followed by its data
// set when dataSetType announces one. priority -1 leaves (0000,0700) out.
Bytes storeRequestBytes(uint8_t contextId, const char* sopClass, uint16_t dataSetType = 0x0102, int priority = 0) {
    std::vector<DataElement*> elements = {datasets::textElement(0x0000, 0x0002, sopClass),
                                          datasets::u16Element(0x0000, 0x0100, 0x0001),
                                          datasets::u16Element(0x0000, 0x0110, 7),
                                          datasets::u16Element(0x0000, 0x0800, dataSetType),
                                          datasets::textElement(0x0000, 0x1000, "1.2.3.4.5")};
    if (priority >= 0) elements.push_back(datasets::u16Element(0x0000, 0x0700, static_cast<uint16_t>(priority)));
    Bytes bytes = association::dataBytes({{contextId, 0x03, implicitBytes(elements)}});
    if (dataSetType != 0x0101) bytes = bytes + association::dataBytes({{contextId, 0x02, implicitBytes(*image("1.2.3.4.5"))}});
    return bytes;
}

// CT Image Storage on context 1, MR Image Storage on context 3.
const std::vector<association::Proposed> ctAndMr = {{1, ctImageStorage, {implicitLittle}},
                                                    {3, mrImageStorage, {implicitLittle}}};

}  // namespace

TEST(StorageSopClass, EachConcreteClassNamesItsUid) {
    CrImageStorage cr;
    CtImageStorage ct;
    UsMultiframeImageStorage usMultiframe;
    MrImageStorage mr;
    NmImageStorage nm;
    UsImageStorage us;
    ScImageStorage sc;
    StandaloneOverlayStorage overlay;
    StandaloneCurveStorage curve;
    StandaloneModalityLutStorage modalityLut;
    StandaloneVoiLutStorage voiLut;
    PrivateStorageA privateA;
    PrivateStorageB privateB;
    struct Case {
        StorageSopClass* storage;
        const char* uid;
    };
    const Case cases[] = {
        {&cr, "1.2.840.10008.5.1.4.1.1.1"},           {&ct, "1.2.840.10008.5.1.4.1.1.2"},
        {&usMultiframe, "1.2.840.10008.5.1.4.1.1.3"}, {&mr, "1.2.840.10008.5.1.4.1.1.4"},
        {&nm, "1.2.840.10008.5.1.4.1.1.5"},           {&us, "1.2.840.10008.5.1.4.1.1.6"},
        {&sc, "1.2.840.10008.5.1.4.1.1.7"},           {&overlay, "1.2.840.10008.5.1.4.1.1.8"},
        {&curve, "1.2.840.10008.5.1.4.1.1.9"},        {&modalityLut, "1.2.840.10008.5.1.4.1.1.10"},
        {&voiLut, "1.2.840.10008.5.1.4.1.1.11"},      {&privateA, "1.2.840.113619.4.2"},
        {&privateB, "1.2.840.113619.4.3"},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(row.uid);
        UidValue uid;
        // Through either base, as the request and response builders call it.
        EXPECT_EQ(static_cast<StoreRequest*>(row.storage)->sopClassUid(uid), 1);
        EXPECT_EQ(uid, UidValue(row.uid));
        UidValue again;
        EXPECT_EQ(static_cast<StoreResponse*>(row.storage)->sopClassUid(again), 1);
        EXPECT_EQ(again, UidValue(row.uid));
    }
    StorageSopClass plain;
    UidValue none("1.2.3");
    EXPECT_EQ(plain.sopClassUid(none), 0);
    EXPECT_EQ(none.size(), 0u);
}

TEST(StorageSopClass, DefaultStoreOperationsAnswerSuccess) {
    CtImageStorage ct;
    auto data = image("1.2.3.4.5");
    EXPECT_EQ(ct.storeDataSet(data.get()), 0x0000);
    EXPECT_EQ(ct.storeAnyDataSet(data.get()), 0x0000);
    EXPECT_EQ(valueText(*data, 0x0010, 0x0010), "DOE^JOHN");  // left to the caller
}

TEST(StorageSopClass, StoreSendsRequestAndDataSetAndTakesTheResponse) {
    AssociationService service;
    RequestedPeer peer(service, {ctImageStorage}, ctAccepted, storeResponseBytes(0x0000));
    ASSERT_EQ(peer.established, 1);
    CtImageStorage ct;
    auto data = image("1.2.3.4.5");
    EXPECT_EQ(ct.store(&service, data.get()), 1);
    const auto messages = messagesIn(peer.hangUp());
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0].contextId, 1);
    EXPECT_TRUE(messages[0].command);
    auto request = decodeCommand(messages[0].bytes);
    ASSERT_NE(request, nullptr);
    EXPECT_EQ(datasets::describe(request.get()),
              "(0000,0002) 26 312E322E3834302E31303030382E352E312E342E312E312E3200\n"
              "(0000,0100) 2 0100\n"
              "(0000,0110) 2 0300\n"
              "(0000,0700) 2 0000\n"
              "(0000,0800) 2 0201\n"
              "(0000,1000) 10 312E322E332E342E3500\n");
    EXPECT_EQ(messages[1].contextId, 1);
    EXPECT_FALSE(messages[1].command);
    EXPECT_EQ(messages[1].bytes, implicitBytes(*image("1.2.3.4.5")));
}

TEST(StorageSopClass, StoreWithoutSopInstanceUidSendsNoAffectedSopInstanceUid) {
    AssociationService service;
    RequestedPeer peer(service, {ctImageStorage}, ctAccepted, storeResponseBytes(0x0000));
    ASSERT_EQ(peer.established, 1);
    CtImageStorage ct;
    auto data = image(nullptr);
    EXPECT_EQ(ct.store(&service, data.get()), 1);
    const auto messages = messagesIn(peer.hangUp());
    ASSERT_EQ(messages.size(), 2u);
    auto request = decodeCommand(messages[0].bytes);
    ASSERT_NE(request, nullptr);
    EXPECT_FALSE(has(*request, 0x1000));
    EXPECT_EQ(request->findU16(0x0000, 0x0800), 0x0102);
}

// The status is the application's to judge; store reports it.
TEST(StorageSopClass, StoreSucceedsWhateverStatusTheResponseCarries) {
    const uint16_t statuses[] = {0x0000, 0xB000, 0xA700, 0xC000};
    for (const uint16_t status : statuses) {
        SCOPED_TRACE(status);
        CtImageStorage ct;
        {
            AssociationService service;
            RequestedPeer peer(service, {ctImageStorage}, ctAccepted, storeResponseBytes(status));
            ASSERT_EQ(peer.established, 1);
            EXPECT_EQ(ct.store(&service, image("1.2.3.4.5").get()), 1);
            peer.hangUp();
        }
        AssociationService service;
        RequestedPeer peer(service, {ctImageStorage}, ctAccepted, storeResponseBytes(status));
        ASSERT_EQ(peer.established, 1);
        uint16_t received = 0x1234;
        EXPECT_EQ(ct.store(&service, image("1.2.3.4.5").get(), received), 1);
        EXPECT_EQ(received, status);
        peer.hangUp();
    }
}

TEST(StorageSopClass, StoreFailsWithoutACStoreResponse) {
    struct Case {
        const char* name;
        Bytes answer;
    };
    const Case cases[] = {
        {"a C-ECHO-RSP", storeResponseBytes(0x0000, 0x8030)},
        {"a C-STORE-RQ", storeResponseBytes(0x0000, 0x0001)},
        {"A-ABORT", association::abortAsSent},
        {"A-RELEASE-RQ", association::releaseRequest},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(row.name);
        AssociationService service;
        RequestedPeer peer(service, {ctImageStorage}, ctAccepted, row.answer);
        ASSERT_EQ(peer.established, 1);
        CtImageStorage ct;
        EXPECT_EQ(ct.store(&service, image("1.2.3.4.5").get()), 0);
        peer.hangUp();
    }
}

// A plain StorageSopClass has no UID to send under; an MR object has no
// context on an association that accepted CT only.
TEST(StorageSopClass, StoreWithoutASopClassOrContextSendsNothing) {
    AssociationService service;
    RequestedPeer peer(service, {ctImageStorage}, ctAccepted, storeResponseBytes(0x0000));
    ASSERT_EQ(peer.established, 1);
    StorageSopClass plain;
    MrImageStorage mr;
    auto data = image("1.2.3.4.5");
    EXPECT_EQ(plain.store(&service, data.get()), 0);
    EXPECT_EQ(mr.store(&service, data.get()), 0);
    EXPECT_EQ(plain.store(nullptr, data.get()), 0);
    EXPECT_EQ(valueText(*data, 0x0010, 0x0010), "DOE^JOHN");  // not sent
    EXPECT_TRUE(peer.hangUp().empty());
}

TEST(StorageSopClass, HandleCommandAnswersOnlyARequestOfItsOwnSopClass) {
    AssociationService service;
    AcceptedPeer peer(service, ctAndMr, storeRequestBytes(1, ctImageStorage));
    ASSERT_EQ(peer.accepted, 1);
    CommandSet command;
    ASSERT_EQ(service.readMessage(command), 1);
    ObjectDataSet data;
    Recording<MrImageStorage> mr;
    EXPECT_EQ(mr.handleCommand(&service, &command, &data), 0);
    EXPECT_EQ(mr.ownCalls + mr.anyCalls, 0);
    EXPECT_EQ(command.findU16(0x0000, 0x0110), 7);  // left for another SOP class
    EXPECT_TRUE(isEmpty(data));  // and its data set unread
    Recording<CtImageStorage> ct;
    EXPECT_EQ(ct.handleCommand(&service, &command, &data), 1);
    EXPECT_EQ(ct.ownCalls, 1);
    EXPECT_EQ(ct.anyCalls, 0);
    EXPECT_EQ(ct.patientName, "DOE^JOHN");
    EXPECT_EQ(valueText(data, 0x0010, 0x0010), "DOE^JOHN");  // the caller's to keep
    EXPECT_TRUE(isEmpty(command));
    const auto messages = messagesIn(peer.hangUp());
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].contextId, 1);
    EXPECT_TRUE(messages[0].command);
    auto response = decodeCommand(messages[0].bytes);
    ASSERT_NE(response, nullptr);
    EXPECT_EQ(datasets::describe(response.get()),
              "(0000,0002) 26 312E322E3834302E31303030382E352E312E342E312E312E3200\n"
              "(0000,0100) 2 0180\n"
              "(0000,0120) 2 0700\n"
              "(0000,0800) 2 0101\n"
              "(0000,0900) 2 0000\n"
              "(0000,1000) 10 312E322E332E342E3500\n");
}

TEST(StorageSopClass, HandleCommandAnswersWithTheStatusOfTheStoreOperation) {
    struct Case {
        const char* name;
        uint16_t status;
        int priority;  // -1: the request has none
    };
    const Case cases[] = {
        {"success", 0x0000, 0},
        {"out of resources, high priority", 0xA700, 1},
        {"cannot understand, low priority", 0xC000, 2},
        {"coercion of data elements, no priority", 0xB000, -1},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(row.name);
        AssociationService service;
        AcceptedPeer peer(service, ctAndMr, storeRequestBytes(1, ctImageStorage, 0x0102, row.priority));
        ASSERT_EQ(peer.accepted, 1);
        CommandSet command;
        ASSERT_EQ(service.readMessage(command), 1);
        ObjectDataSet data;
        Recording<CtImageStorage> ct;
        ct.status = row.status;
        EXPECT_EQ(ct.handleCommand(&service, &command, &data), 1);
        const auto messages = messagesIn(peer.hangUp());
        ASSERT_EQ(messages.size(), 1u);
        auto response = decodeCommand(messages[0].bytes);
        ASSERT_NE(response, nullptr);
        EXPECT_EQ(response->findU16(0x0000, 0x0900), row.status);
        EXPECT_EQ(response->findU16(0x0000, 0x0120), 7);
        // Whatever the request's priority, the response has none.
        EXPECT_FALSE(has(*response, 0x0700));
        EXPECT_FALSE(has(*response, 0x0110));
    }
}

TEST(StorageSopClass, HandleCommandRefusesARequestThatAnnouncesNoDataSet) {
    AssociationService service;
    AcceptedPeer peer(service, ctAndMr, storeRequestBytes(1, ctImageStorage, 0x0101));
    ASSERT_EQ(peer.accepted, 1);
    CommandSet command;
    ASSERT_EQ(service.readMessage(command), 1);
    ObjectDataSet data;
    Recording<CtImageStorage> ct;
    EXPECT_EQ(ct.handleCommand(&service, &command, &data), 0);
    Recording<StorageSopClass> any;
    EXPECT_EQ(any.handleAnyCommand(&service, &command, &data), 0);
    EXPECT_EQ(ct.ownCalls + ct.anyCalls + any.ownCalls + any.anyCalls, 0);
    EXPECT_EQ(command.findU16(0x0000, 0x0110), 7);
    EXPECT_TRUE(peer.hangUp().empty());
}

TEST(StorageSopClass, HandleCommandRefusesOtherCommandsAndMissingArguments) {
    AssociationService service;
    AcceptedPeer peer(service, ctAndMr, {});
    ASSERT_EQ(peer.accepted, 1);
    Recording<CtImageStorage> ct;
    ObjectDataSet data;
    const uint16_t otherFields[] = {0x8001, 0x0030, 0x0020};
    for (const uint16_t field : otherFields) {
        SCOPED_TRACE(field);
        CommandSet command;
        command.addElement(datasets::textElement(0x0000, 0x0002, ctImageStorage));
        command.addElement(datasets::u16Element(0x0000, 0x0100, field));
        command.addElement(datasets::u16Element(0x0000, 0x0110, 7));
        command.addElement(datasets::u16Element(0x0000, 0x0800, 0x0102));
        EXPECT_EQ(ct.handleCommand(&service, &command, &data), 0);
        EXPECT_EQ(ct.handleAnyCommand(&service, &command, &data), 0);
        EXPECT_EQ(command.findU16(0x0000, 0x0100), field);
    }
    CommandSet command;
    command.addElement(datasets::textElement(0x0000, 0x0002, ctImageStorage));
    command.addElement(datasets::u16Element(0x0000, 0x0100, 0x0001));
    EXPECT_EQ(ct.handleCommand(nullptr, &command, &data), 0);
    EXPECT_EQ(ct.handleCommand(&service, nullptr, &data), 0);
    EXPECT_EQ(ct.handleCommand(&service, &command, nullptr), 0);
    EXPECT_EQ(ct.handleAnyCommand(nullptr, &command, &data), 0);
    EXPECT_EQ(ct.handleAnyCommand(&service, nullptr, &data), 0);
    EXPECT_EQ(ct.handleAnyCommand(&service, &command, nullptr), 0);
    CommandSet anonymous;  // a C-STORE-RQ without (0000,0002)
    anonymous.addElement(datasets::u16Element(0x0000, 0x0100, 0x0001));
    EXPECT_EQ(ct.handleCommand(&service, &anonymous, &data), 0);
    EXPECT_EQ(ct.ownCalls + ct.anyCalls, 0);
    EXPECT_TRUE(peer.hangUp().empty());
}

TEST(StorageSopClass, HandleCommandFailsWhenTheDataSetCannotBeRead) {
    AssociationService service;
    // The command announcing a data set, and an A-ABORT in place of the data set.
    const auto pdus = association::splitPdus(storeRequestBytes(1, ctImageStorage));
    ASSERT_EQ(pdus.size(), 2u);
    AcceptedPeer peer(service, ctAndMr, pdus[0].bytes + association::abortAsSent);
    ASSERT_EQ(peer.accepted, 1);
    CommandSet command;
    ASSERT_EQ(service.readMessage(command), 1);
    ObjectDataSet data;
    Recording<CtImageStorage> ct;
    EXPECT_EQ(ct.handleCommand(&service, &command, &data), 0);
    EXPECT_EQ(ct.ownCalls, 0);
    EXPECT_TRUE(peer.hangUp().empty());
}

// A plain StorageSopClass serves every storage SOP class the association
// accepted: the response goes out on the context proposed for the request's
// SOP class. A concrete class answers on the context of its own.
TEST(StorageSopClass, HandleAnyCommandAnswersEveryStorageSopClass) {
    AssociationService service;
    AcceptedPeer peer(service, ctAndMr, storeRequestBytes(3, mrImageStorage) + storeRequestBytes(1, ctImageStorage) +
                                            storeRequestBytes(3, mrImageStorage));
    ASSERT_EQ(peer.accepted, 1);
    Recording<StorageSopClass> any;
    any.status = 0xB000;
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        CommandSet command;
        ASSERT_EQ(service.readMessage(command), 1);
        ObjectDataSet data;
        EXPECT_EQ(any.handleAnyCommand(&service, &command, &data), 1);
        EXPECT_EQ(valueText(data, 0x0010, 0x0010), "DOE^JOHN");
    }
    EXPECT_EQ(any.anyCalls, 2);
    EXPECT_EQ(any.ownCalls, 0);
    Recording<CtImageStorage> ct;
    CommandSet command;
    ASSERT_EQ(service.readMessage(command), 1);
    ObjectDataSet data;
    EXPECT_EQ(ct.handleAnyCommand(&service, &command, &data), 1);
    EXPECT_EQ(ct.anyCalls, 1);
    const auto messages = messagesIn(peer.hangUp());
    ASSERT_EQ(messages.size(), 3u);
    const struct {
        uint8_t contextId;
        const char* sopClass;
        uint16_t status;
    } expected[] = {{3, mrImageStorage, 0xB000}, {1, ctImageStorage, 0xB000}, {1, mrImageStorage, 0x0000}};
    for (size_t index = 0; index < 3; ++index) {
        SCOPED_TRACE(index);
        EXPECT_EQ(messages[index].contextId, expected[index].contextId);
        auto response = decodeCommand(messages[index].bytes);
        ASSERT_NE(response, nullptr);
        EXPECT_EQ(response->findU16(0x0000, 0x0100), 0x8001);
        EXPECT_EQ(valueText(*response, 0x0000, 0x0002), std::string(expected[index].sopClass) + '\0');
        EXPECT_EQ(response->findU16(0x0000, 0x0900), expected[index].status);
    }
}

// Without a UID of its own, handleCommand of a plain StorageSopClass has
// nothing to match: every request is someone else's.
TEST(StorageSopClass, HandleCommandOfAPlainClassTakesNoRequest) {
    AssociationService service;
    AcceptedPeer peer(service, ctAndMr, storeRequestBytes(1, ctImageStorage));
    ASSERT_EQ(peer.accepted, 1);
    CommandSet command;
    ASSERT_EQ(service.readMessage(command), 1);
    ObjectDataSet data;
    Recording<StorageSopClass> plain;
    EXPECT_EQ(plain.handleCommand(&service, &command, &data), 0);
    EXPECT_EQ(plain.ownCalls + plain.anyCalls, 0);
    EXPECT_TRUE(peer.hangUp().empty());
}
