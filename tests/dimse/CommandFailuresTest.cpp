// The builders' failures: no association, no SOP class, no context, a data
// set that cannot be sent. Each returns 0 and sends nothing it should not.

#include <gtest/gtest.h>

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

std::unique_ptr<CommandSet> requestOf(const char* sopClass, uint16_t commandField) {
    auto command = std::make_unique<CommandSet>();
    command->addElement(datasets::textElement(0x0000, 0x0002, sopClass));
    command->addElement(datasets::u16Element(0x0000, 0x0100, commandField));
    command->addElement(datasets::u16Element(0x0000, 0x0110, 7));
    command->addElement(datasets::u16Element(0x0000, 0x0800, commandField == 0x0030 ? 0x0101 : 0x0102));
    return command;
}

std::unique_ptr<ObjectDataSet> someDataSet() {
    auto set = std::make_unique<ObjectDataSet>();
    set->addElement(datasets::textElement(0x0008, 0x0018, "1.2.3.4.5"));
    set->addElement(datasets::textElement(0x0010, 0x0010, "DOE^JOHN"));
    return set;
}

// Every builder, on a SOP class of its service; data is the data set of the
// message for those that carry one.
struct Builder {
    const char* name;
    bool carriesDataSet;
    std::function<int(AssociationService*, DataSet* data)> send;
};

VerificationSopClass verificationClass;
CtImageStorage ctStorage;
PatientRootFind patientFind;
PatientRootMove patientMove;

const Builder builders[] = {
    {"C-ECHO-RQ", false, [](AssociationService* a, DataSet*) { return verificationClass.sendRequest(a); }},
    {"C-STORE-RQ", true, [](AssociationService* a, DataSet* d) { return ctStorage.sendRequest(a, d); }},
    {"C-FIND-RQ", true, [](AssociationService* a, DataSet* d) { return patientFind.sendRequest(a, d); }},
    {"C-MOVE-RQ", true, [](AssociationService* a, DataSet* d) { return patientMove.sendRequest(a, d, "STORE"); }},
    {"C-ECHO-RSP", false,
     [](AssociationService* a, DataSet*) { return verificationClass.sendResponse(a, requestOf(verification, 0x0030).get()); }},
    {"C-STORE-RSP", false,
     [](AssociationService* a, DataSet*) { return ctStorage.sendResponse(a, requestOf(ctImageStorage, 0x0001).get()); }},
    {"C-FIND-RSP", true,
     [](AssociationService* a, DataSet* d) {
         return patientFind.sendResponse(a, requestOf(patientRootFind, 0x0020).get(), 0xFF00, d);
     }},
    {"C-MOVE-RSP", true,
     [](AssociationService* a, DataSet* d) {
         return patientMove.sendResponse(a, requestOf(patientRootMove, 0x0021).get(), 0xC001, 0, 0, 1, 0, d);
     }},
};

const std::vector<association::Proposed> everyService = {{1, verification, {implicitLittle}},
                                                          {3, ctImageStorage, {implicitLittle}},
                                                          {5, patientRootFind, {implicitLittle}},
                                                          {7, patientRootMove, {implicitLittle}}};

// Sends commands as usual and refuses to encode any data set.
class CommandsOnlyService : public AssociationService {
public:
    int encodeForAbstractSyntax(DataSet& set, PdvBuffer& buffer, const UidValue& abstractSyntax) override {
        if ((controlFlags & commandBit) == 0) return 0;
        return AssociationService::encodeForAbstractSyntax(set, buffer, abstractSyntax);
    }
};

}  // namespace

TEST(CommandFailures, EveryBuilderRefusesAMissingOrUnestablishedAssociation) {
    for (const Builder& builder : builders) {
        SCOPED_TRACE(builder.name);
        auto data = someDataSet();
        EXPECT_EQ(builder.send(nullptr, data.get()), 0);
        AssociationService idle;
        EXPECT_EQ(builder.send(&idle, data.get()), 0);
        EXPECT_FALSE(isEmpty(*data));
    }
}

TEST(CommandFailures, EveryResponseBuilderRefusesAMissingRequest) {
    AssociationService service;
    AcceptedPeer peer(service, everyService, {});
    ASSERT_EQ(peer.accepted, 1);
    EXPECT_EQ(verificationClass.sendResponse(&service, nullptr), 0);
    EXPECT_EQ(ctStorage.sendResponse(&service, nullptr), 0);
    EXPECT_EQ(patientFind.sendResponse(&service, nullptr, nullptr), 0);
    EXPECT_EQ(patientMove.sendResponse(&service, nullptr, 0x0000, 0, 0, 0, 0, nullptr), 0);
    EXPECT_TRUE(peer.hangUp().empty());
}

// The message classes alone have no SOP class; only the C-STORE-RSP can
// borrow the request's.
TEST(CommandFailures, MessageClassesWithoutASopClassSendNothing) {
    EchoRequest echoRequest;
    EchoResponse echoResponse;
    StoreRequest storeRequest;
    FindRequest findRequest;
    FindResponse findResponse;
    MoveRequest moveRequest;
    MoveResponse moveResponse;
    UidValue uid("1.2.3");
    EXPECT_EQ(echoRequest.sopClassUid(uid), 0);
    const Builder bare[] = {
        {"C-ECHO-RQ", false, [&](AssociationService* a, DataSet*) { return echoRequest.sendRequest(a); }},
        {"C-ECHO-RSP", false,
         [&](AssociationService* a, DataSet*) { return echoResponse.sendResponse(a, requestOf(verification, 0x0030).get()); }},
        {"C-STORE-RQ", true, [&](AssociationService* a, DataSet* d) { return storeRequest.sendRequest(a, d); }},
        {"C-FIND-RQ", true, [&](AssociationService* a, DataSet* d) { return findRequest.sendRequest(a, d); }},
        {"C-FIND-RSP", true,
         [&](AssociationService* a, DataSet* d) {
             return findResponse.sendResponse(a, requestOf(patientRootFind, 0x0020).get(), 0xFF00, d);
         }},
        {"C-MOVE-RQ", true, [&](AssociationService* a, DataSet* d) { return moveRequest.sendRequest(a, d, "STORE"); }},
        {"C-MOVE-RSP", true,
         [&](AssociationService* a, DataSet* d) {
             return moveResponse.sendResponse(a, requestOf(patientRootMove, 0x0021).get(), 0xFF00, 1, 0, 0, 0, d);
         }},
    };
    AssociationService service;
    AcceptedPeer peer(service, everyService, {});
    ASSERT_EQ(peer.accepted, 1);
    for (const Builder& builder : bare) {
        SCOPED_TRACE(builder.name);
        auto data = someDataSet();
        EXPECT_EQ(builder.send(&service, data.get()), 0);
        EXPECT_FALSE(isEmpty(*data));
    }
    // The C-ECHO-RSP refuses before it consumes the request.
    auto request = requestOf(verification, 0x0030);
    EXPECT_EQ(echoResponse.sendResponse(&service, request.get()), 0);
    EXPECT_TRUE(has(*request, 0x0110));
    EXPECT_TRUE(peer.hangUp().empty());
}

// An association that accepted only Verification has no context for the
// other three services: the command is not sent, so neither is the data set.
TEST(CommandFailures, ACommandWithoutAContextLeavesItsDataSetUnsent) {
    AssociationService service;
    AcceptedPeer peer(service, {{1, verification, {implicitLittle}}}, {});
    ASSERT_EQ(peer.accepted, 1);
    for (const Builder& builder : builders) {
        if (std::string(builder.name) == "C-ECHO-RQ" || std::string(builder.name) == "C-ECHO-RSP") continue;
        SCOPED_TRACE(builder.name);
        auto data = someDataSet();
        EXPECT_EQ(builder.send(&service, data.get()), 0);
        EXPECT_EQ(valueText(*data, 0x0010, 0x0010), "DOE^JOHN");
    }
    EXPECT_TRUE(peer.hangUp().empty());
}

TEST(CommandFailures, ADataSetThatCannotBeSentFailsTheMessageAfterItsCommand) {
    for (const Builder& builder : builders) {
        if (!builder.carriesDataSet) continue;
        SCOPED_TRACE(builder.name);
        CommandsOnlyService service;
        AcceptedPeer peer(service, everyService, {});
        ASSERT_EQ(peer.accepted, 1);
        auto data = someDataSet();
        EXPECT_EQ(builder.send(&service, data.get()), 0);
        const auto messages = messagesIn(peer.hangUp());
        ASSERT_EQ(messages.size(), 1u);
        EXPECT_TRUE(messages[0].command);
    }
}
