#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "DimseFixtures.h"
#include "dimse/QueryRetrieveSopClasses.h"

using association::Bytes;
using association::dataBytes;
using association::operator+;
using datasets::textElement;
using datasets::u16Element;

namespace {

const char* const ctImage = "1.2.840.10008.5.1.4.1.1.2";

// A request command set of the query/retrieve services, implicit VR little endian.
Bytes requestCommand(const char* uid, uint16_t field, uint16_t messageId, const Bytes* destination = nullptr) {
    std::vector<DataElement*> elements = {textElement(0x0000, 0x0002, uid), u16Element(0x0000, 0x0100, field),
                                          u16Element(0x0000, 0x0110, messageId), u16Element(0x0000, 0x0700, 0),
                                          u16Element(0x0000, 0x0800, 0x0102)};
    if (destination != nullptr) elements.push_back(datasets::bytesElement(0x0000, 0x0600, *destination));
    return dimse::implicitBytes(elements);
}

Bytes studyIdentifier() {
    return dimse::implicitBytes({textElement(0x0008, 0x0052, "STUDY "), textElement(0x0020, 0x000D, "1.2.3")});
}

// The responses the peer received: command and, where one followed, data set.
struct Response {
    std::unique_ptr<CommandSet> command;
    bool withData;
};

std::vector<Response> responsesIn(const Bytes& received) {
    std::vector<Response> responses;
    for (const dimse::Message& message : dimse::messagesIn(received)) {
        if (message.command) {
            responses.push_back({dimse::decodeCommand(message.bytes), false});
        } else if (!responses.empty()) {
            responses.back().withData = true;
        }
    }
    return responses;
}

uint16_t statusOf(const Response& response) { return response.command->findU16(0x0000, Status); }

// Matches of a fixed list; each holds the SOP class it is given.
template <typename Base>
class ListedMatches : public Base {
public:
    int findMatches(DataSet*, IndexedList<DataSet*>& results) override {
        if (!searchWorks) return 0;
        for (const std::string& sopClass : sopClasses) {
            auto* match = new ObjectDataSet;
            if (!sopClass.empty()) match->addElement(textElement(0x0008, 0x0016, sopClass));
            match->addElement(textElement(0x0008, 0x0018, "1.2.3." + std::to_string(results.count() + 1)));
            results.tryAppend(match);
        }
        return 1;
    }
    bool searchWorks = true;
    std::vector<std::string> sopClasses;
};

class Finder : public ListedMatches<StudyRootFind> {};

class Mover : public ListedMatches<StudyRootMove> {
public:
    int resolveMoveDestination(const char* destination, char* callingAeTitle, char* host, char* port) override {
        resolved = destination;
        if (!known) return 0;
        std::snprintf(callingAeTitle, 20, "MOVER");
        std::snprintf(host, 64, "127.0.0.1");
        std::snprintf(port, 64, "%s", destinationPort.c_str());
        return 1;
    }
    int prepareSubOperation(DataSet* match, DataSet*& dataSet, StorageSopClass*& storage) override {
        auto* set = new ObjectDataSet;
        set->addElement(textElement(0x0008, 0x0016, ctImage));
        const DataElement* instance = match->find(0x0008, 0x0018);
        set->addElement(datasets::bytesElement(0x0008, 0x0018, Bytes(instance->value, instance->value + instance->length)));
        dataSet = set;
        storage = &ct_;
        return 1;
    }
    bool known = true;
    std::string destinationPort = "1";
    std::string resolved;

private:
    CtImageStorage ct_;
};

// A C-STORE provider on its own thread that answers the statuses given, in turn.
class Destination {
public:
    explicit Destination(std::vector<uint16_t> statuses) : port(platform::freeLocalPort()), statuses_(std::move(statuses)) {
        listener_.listenOn(association::portText(port).c_str());
        listening_ = listener_.listenSocket;
        listener_.listenSocket = 0;
        listener_.listening = 0;
        thread_ = std::thread([this] { serve(); });
    }
    ~Destination() {
        finish();
        platform::closeSocket(listening_);
    }
    // Waits until the sub-association has ended.
    void finish() {
        if (thread_.joinable()) thread_.join();
    }
    int stored = 0;
    uint16_t port;
    // Move Originator AE title and Message ID of each C-STORE request.
    std::vector<std::string> originators;
    std::string lastOriginator;

private:
    class Answering : public StorageSopClass {
    public:
        explicit Answering(Destination& owner) : owner_(owner) {}
        uint16_t storeAnyDataSet(DataSet*) override {
            const size_t index = static_cast<size_t>(owner_.stored++);
            owner_.originators.push_back(owner_.lastOriginator);
            return index < owner_.statuses_.size() ? owner_.statuses_[index] : uint16_t{StatusSuccess};
        }

    private:
        Destination& owner_;
    };

    void serve() {
        AssociationService service;
        service.requestTimeoutSeconds = 10;
        if (platform::waitReadable(listening_, 10) != 1 || service.serveOnListener(listening_) == 0) return;
        Answering storage(*this);
        for (;;) {
            CommandSet command;
            if (!service.readMessage(command)) break;
            lastOriginator = dimse::valueText(command, 0x0000, MoveOriginatorAeTitle) + "/" +
                             (dimse::has(command, MoveOriginatorMessageId)
                                  ? std::to_string(command.findU16(0x0000, MoveOriginatorMessageId))
                                  : "-");
            ObjectDataSet data;
            if (!storage.handleAnyCommand(&service, &command, &data)) break;
        }
        service.socket.closeAll();
    }

    std::vector<uint16_t> statuses_;
    SocketStream listener_;
    SocketHandle listening_ = 0;
    std::thread thread_;
};

const std::vector<association::Proposed> studyRootContexts = {
    {1, query_uids::studyRootFind, {association::implicitLittle}},
    {3, query_uids::studyRootMove, {association::implicitLittle}}};

}  // namespace

TEST(FindSopClass, AnswersEachMatchPendingThenSuccess) {
    struct Case {
        const char* name;
        bool searchWorks;
        size_t matches;
        std::vector<uint16_t> statuses;
    };
    const Case cases[] = {
        {"two matches", true, 2, {StatusPending, StatusPending, StatusSuccess}},
        {"no match", true, 0, {StatusSuccess}},
        {"the search fails", false, 0, {StatusUnableToProcess}},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(row.name);
        AssociationService service;
        dimse::AcceptedPeer peer(service, studyRootContexts,
                                 dataBytes({{1, 0x03, requestCommand(query_uids::studyRootFind, CFindRequest, 7)}}) +
                                     dataBytes({{1, 0x02, studyIdentifier()}}));
        ASSERT_EQ(peer.accepted, 1);
        CommandSet command;
        ASSERT_EQ(service.readMessage(command), 1);
        Finder finder;
        finder.searchWorks = row.searchWorks;
        finder.sopClasses.assign(row.matches, ctImage);
        EXPECT_EQ(finder.handleCommand(&service, &command), 1);
        const auto responses = responsesIn(peer.hangUp());
        ASSERT_EQ(responses.size(), row.statuses.size());
        for (size_t index = 0; index < responses.size(); ++index) {
            EXPECT_EQ(statusOf(responses[index]), row.statuses[index]);
            EXPECT_EQ(responses[index].withData, row.statuses[index] == StatusPending);
            EXPECT_EQ(responses[index].command->findU16(0x0000, MessageIdBeingRespondedTo), 7);
        }
    }
}

TEST(FindSopClass, RefusesARequestOfAnotherModelAndSendsNothing) {
    AssociationService service;
    dimse::AcceptedPeer peer(service, studyRootContexts,
                             dataBytes({{1, 0x03, requestCommand(query_uids::patientRootFind, CFindRequest, 7)}}));
    ASSERT_EQ(peer.accepted, 1);
    CommandSet command;
    ASSERT_EQ(service.readMessage(command), 1);
    Finder finder;
    EXPECT_EQ(finder.handleCommand(&service, &command), 0);
    EXPECT_TRUE(peer.hangUp().empty());
}

// The user reads responses until one that is not pending, whether or not the
// pending ones carry a data set.
TEST(MoveSopClass, UserTakesTheFirstResponseThatIsNotPendingAsTheFinalOne) {
    auto response = [](uint16_t status, uint16_t remaining) {
        return dimse::implicitBytes({textElement(0x0000, 0x0002, query_uids::studyRootMove),
                                     u16Element(0x0000, 0x0100, CMoveResponse), u16Element(0x0000, 0x0120, 1),
                                     u16Element(0x0000, 0x0800, 0x0101), u16Element(0x0000, 0x0900, status),
                                     u16Element(0x0000, 0x1020, remaining), u16Element(0x0000, 0x1021, 1),
                                     u16Element(0x0000, 0x1022, 0), u16Element(0x0000, 0x1023, 0)});
    };
    AssociationService service;
    dimse::RequestedPeer peer(service, {query_uids::studyRootMove}, {{1, ContextAccepted, association::implicitLittle}},
                              dataBytes({{1, 0x03, response(StatusPending, 1)}}) +
                                  dataBytes({{1, 0x03, response(StatusPending, 0)}}) +
                                  dataBytes({{1, 0x03, response(StatusSuccess, 0)}}));
    ASSERT_EQ(peer.established, 1);
    ObjectDataSet identifier;
    identifier.addElement(textElement(0x0008, 0x0052, "STUDY "));
    StudyRootMove mover;
    idCounter = 1;  // the request is Message ID 1, which the responses name
    EXPECT_EQ(mover.move(&service, &identifier, "DEST"), 1);
    EXPECT_EQ(mover.finalStatus, StatusSuccess);
    // The request went out with the destination padded to 16 bytes.
    const auto messages = dimse::messagesIn(peer.hangUp());
    ASSERT_GE(messages.size(), 1u);
    auto command = dimse::decodeCommand(messages[0].bytes);
    ASSERT_TRUE(command);
    EXPECT_EQ(dimse::valueText(*command, 0x0000, MoveDestination), "DEST            ");
}

// The provider's failures before any sub-operation, each in a single response.
TEST(MoveSopClass, ProviderAnswersEachRefusalWithItsStatus) {
    const Bytes padded = {'S', 'T', 'O', 'R', 'E', 'S', 'C', 'P', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' '};
    Bytes overlong = padded;
    overlong.insert(overlong.end(), 48, 'X');
    const Bytes empty16(16, ' ');
    struct Case {
        const char* name;
        const Bytes* destination;
        bool known, searchWorks;
        uint16_t status;
    };
    const Case cases[] = {
        {"no Move Destination", nullptr, true, true, StatusUnableToProcess},
        {"a Move Destination of spaces", &empty16, true, true, StatusNoMoveDestination},
        {"an unknown destination", &padded, false, true, StatusMoveDestinationUnknown},
        {"a destination longer than an AE title", &overlong, true, true, StatusMoveDestinationUnknown},
        {"the search fails", &padded, true, false, StatusMatchingFailed},
        {"the destination does not answer", &padded, true, true, StatusDestinationUnreachable},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(row.name);
        AssociationService service;
        dimse::AcceptedPeer peer(
            service, studyRootContexts,
            dataBytes({{3, 0x03, requestCommand(query_uids::studyRootMove, CMoveRequest, 9, row.destination)}}) +
                dataBytes({{3, 0x02, studyIdentifier()}}));
        ASSERT_EQ(peer.accepted, 1);
        CommandSet command;
        ASSERT_EQ(service.readMessage(command), 1);
        Mover mover;
        mover.known = row.known;
        mover.searchWorks = row.searchWorks;
        mover.sopClasses = {ctImage};
        mover.destinationPort = association::portText(platform::freeLocalPort());  // nobody listens there
        EXPECT_EQ(mover.handleCommand(&service, &command), 1);
        const auto responses = responsesIn(peer.hangUp());
        ASSERT_EQ(responses.size(), 1u);
        EXPECT_EQ(statusOf(responses[0]), row.status);
        EXPECT_FALSE(responses[0].withData);
        EXPECT_EQ(responses[0].command->findU16(0x0000, CompletedSubOperations), 0);
        EXPECT_FALSE(dimse::has(*responses[0].command, RemainingSubOperations));
        if (row.known && row.destination == &padded) {
            EXPECT_EQ(mover.resolved, "STORESCP");  // the padding removed
        }
    }
}

// Sub-operations as they went: pending responses count what is done, and the
// final one says whether any failed.
TEST(MoveSopClass, ProviderCountsEverySubOperationByItsOutcome) {
    struct Counts {
        uint16_t status, remaining, completed, failed;
    };
    struct Case {
        const char* name;
        std::vector<std::string> matches;
        std::vector<uint16_t> destinationAnswers;
        std::vector<Counts> responses;
        std::string failedList;  // of the final response; empty: no data set
    };
    const Case cases[] = {
        {"three stored", {ctImage, ctImage, ctImage}, {},
         {{StatusPending, 2, 1, 0}, {StatusPending, 1, 2, 0}, {StatusSuccess, 0, 3, 0}}, ""},
        {"the second refused", {ctImage, ctImage, ctImage}, {StatusSuccess, 0xA700},
         {{StatusPending, 2, 1, 0}, {StatusPending, 1, 1, 1}, {StatusSubOperationsFailed, 0, 2, 1}}, "1.2.3.2"},
        {"every one refused", {ctImage, ctImage}, {0xA700, 0xC000},
         {{StatusPending, 1, 0, 1}, {StatusSubOperationsAllFailed, 0, 0, 2}}, "1.2.3.1\\1.2.3.2"},
        {"a match without SOP class is dropped", {ctImage, ""}, {}, {{StatusSuccess, 0, 1, 0}}, ""},
        {"no match", {}, {}, {{StatusSuccess, 0, 0, 0}}, ""},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(row.name);
        const Bytes destination = {'S', 'T', 'O', 'R', 'E', 'S', 'C', 'P'};
        AssociationService service;
        dimse::AcceptedPeer peer(
            service, studyRootContexts,
            dataBytes({{3, 0x03, requestCommand(query_uids::studyRootMove, CMoveRequest, 9, &destination)}}) +
                dataBytes({{3, 0x02, studyIdentifier()}}));
        ASSERT_EQ(peer.accepted, 1);
        CommandSet command;
        ASSERT_EQ(service.readMessage(command), 1);
        std::unique_ptr<Destination> store;
        Mover mover;
        mover.sopClasses = row.matches;
        if (!row.matches.empty()) {
            store = std::make_unique<Destination>(row.destinationAnswers);
            mover.destinationPort = association::portText(store->port);
        }
        EXPECT_EQ(mover.handleCommand(&service, &command), 1);
        store.reset();
        const Bytes received = peer.hangUp();
        const auto responses = responsesIn(received);
        ASSERT_EQ(responses.size(), row.responses.size());
        const auto messages = dimse::messagesIn(received);
        ASSERT_FALSE(messages.empty());
        if (row.failedList.empty()) {
            EXPECT_TRUE(messages.back().command);
        } else {
            ASSERT_FALSE(messages.back().command);
            auto list = dimse::decodeDataSet(messages.back().bytes);
            ASSERT_NE(list, nullptr);
            std::string text = dimse::valueText(*list, 0x0008, 0x0058);
            while (!text.empty() && text.back() == '\0') text.pop_back();
            EXPECT_EQ(text, row.failedList);
        }
        for (size_t index = 0; index < responses.size(); ++index) {
            SCOPED_TRACE(index);
            const CommandSet& response = *responses[index].command;
            EXPECT_EQ(statusOf(responses[index]), row.responses[index].status);
            if (row.responses[index].status == StatusPending) {
                EXPECT_EQ(const_cast<CommandSet&>(response).findU16(0x0000, RemainingSubOperations),
                          row.responses[index].remaining);
            } else {
                EXPECT_FALSE(dimse::has(const_cast<CommandSet&>(response), RemainingSubOperations));
            }
            EXPECT_EQ(const_cast<CommandSet&>(response).findU16(0x0000, CompletedSubOperations),
                      row.responses[index].completed);
            EXPECT_EQ(const_cast<CommandSet&>(response).findU16(0x0000, FailedSubOperations), row.responses[index].failed);
        }
    }
}

// Each C-STORE of a C-MOVE names the AE title that asked and the C-MOVE's
// Message ID as Move Originator.
TEST(MoveSopClass, SubOperationsNameTheMoveOriginator) {
    const Bytes destination = {'S', 'T', 'O', 'R', 'E', 'S', 'C', 'P'};
    AssociationService service;
    dimse::AcceptedPeer peer(service, studyRootContexts,
                             dataBytes({{3, 0x03, requestCommand(query_uids::studyRootMove, CMoveRequest, 9, &destination)}}) +
                                 dataBytes({{3, 0x02, studyIdentifier()}}));
    ASSERT_EQ(peer.accepted, 1);
    CommandSet command;
    ASSERT_EQ(service.readMessage(command), 1);
    auto store = std::make_unique<Destination>(std::vector<uint16_t>{});
    Mover mover;
    mover.sopClasses = {ctImage, ctImage};
    mover.destinationPort = association::portText(store->port);
    EXPECT_EQ(mover.handleCommand(&service, &command), 1);
    store->finish();
    // The requester's calling AE title "PEER", the C-MOVE's Message ID 9.
    EXPECT_EQ(store->originators, (std::vector<std::string>{"PEER/9", "PEER/9"}));
    peer.hangUp();
}

// A C-CANCEL-RQ of the operation stops the provider after the match or
// sub-operation under way: a final 0xFE00 with the counts so far.
TEST(QueryRetrieveProviders, StopOnACancelOfTheirOperation) {
    const Bytes cancelOf9 = dimse::implicitBytes({u16Element(0x0000, CommandField, CCancelRequest),
                                                  u16Element(0x0000, MessageIdBeingRespondedTo, 9),
                                                  u16Element(0x0000, CommandDataSetType, NoDataSet)});
    const Bytes cancelOf8 = dimse::implicitBytes({u16Element(0x0000, CommandField, CCancelRequest),
                                                  u16Element(0x0000, MessageIdBeingRespondedTo, 8),
                                                  u16Element(0x0000, CommandDataSetType, NoDataSet)});
    {
        SCOPED_TRACE("C-FIND: one match, then Cancel");
        AssociationService service;
        dimse::AcceptedPeer peer(service, studyRootContexts,
                                 dataBytes({{1, 0x03, requestCommand(query_uids::studyRootFind, CFindRequest, 9)}}) +
                                     dataBytes({{1, 0x02, studyIdentifier()}}) + dataBytes({{1, 0x03, cancelOf9}}));
        ASSERT_EQ(peer.accepted, 1);
        CommandSet command;
        ASSERT_EQ(service.readMessage(command), 1);
        Finder finder;
        finder.sopClasses.assign(3, ctImage);
        EXPECT_EQ(finder.handleCommand(&service, &command), 1);
        const auto responses = responsesIn(peer.hangUp());
        ASSERT_EQ(responses.size(), 2u);
        EXPECT_EQ(statusOf(responses[0]), StatusPending);
        EXPECT_EQ(statusOf(responses[1]), StatusCancel);
        EXPECT_FALSE(responses[1].withData);
    }
    {
        SCOPED_TRACE("C-FIND: a cancel of another operation is passed over");
        AssociationService service;
        dimse::AcceptedPeer peer(service, studyRootContexts,
                                 dataBytes({{1, 0x03, requestCommand(query_uids::studyRootFind, CFindRequest, 9)}}) +
                                     dataBytes({{1, 0x02, studyIdentifier()}}) + dataBytes({{1, 0x03, cancelOf8}}));
        ASSERT_EQ(peer.accepted, 1);
        CommandSet command;
        ASSERT_EQ(service.readMessage(command), 1);
        Finder finder;
        finder.sopClasses.assign(3, ctImage);
        EXPECT_EQ(finder.handleCommand(&service, &command), 1);
        const auto responses = responsesIn(peer.hangUp());
        ASSERT_EQ(responses.size(), 4u);
        EXPECT_EQ(statusOf(responses[3]), StatusSuccess);
    }
    {
        SCOPED_TRACE("C-MOVE: one sub-operation, then Cancel with the counts");
        const Bytes destination = {'S', 'T', 'O', 'R', 'E', 'S', 'C', 'P'};
        AssociationService service;
        dimse::AcceptedPeer peer(
            service, studyRootContexts,
            dataBytes({{3, 0x03, requestCommand(query_uids::studyRootMove, CMoveRequest, 9, &destination)}}) +
                dataBytes({{3, 0x02, studyIdentifier()}}) + dataBytes({{3, 0x03, cancelOf9}}));
        ASSERT_EQ(peer.accepted, 1);
        CommandSet command;
        ASSERT_EQ(service.readMessage(command), 1);
        auto store = std::make_unique<Destination>(std::vector<uint16_t>{});
        Mover mover;
        mover.sopClasses.assign(3, ctImage);
        mover.destinationPort = association::portText(store->port);
        EXPECT_EQ(mover.handleCommand(&service, &command), 1);
        store.reset();
        const auto responses = responsesIn(peer.hangUp());
        ASSERT_EQ(responses.size(), 1u);
        EXPECT_EQ(statusOf(responses[0]), StatusCancel);
        EXPECT_EQ(responses[0].command->findU16(0x0000, RemainingSubOperations), 2);
        EXPECT_EQ(responses[0].command->findU16(0x0000, CompletedSubOperations), 1);
        EXPECT_EQ(responses[0].command->findU16(0x0000, FailedSubOperations), 0);
    }
}

// A response that names another Message ID than the request's fails the
// operation and aborts the association.
TEST(QueryRetrieveUsers, AResponseToAnotherMessageAbortsTheAssociation) {
    auto response = [](uint16_t respondedTo) {
        return dimse::implicitBytes({textElement(0x0000, 0x0002, query_uids::studyRootFind),
                                     u16Element(0x0000, 0x0100, CFindResponse), u16Element(0x0000, 0x0120, respondedTo),
                                     u16Element(0x0000, 0x0800, 0x0101), u16Element(0x0000, 0x0900, StatusSuccess)});
    };
    for (const uint16_t respondedTo : {uint16_t{1}, uint16_t{2}}) {
        SCOPED_TRACE(respondedTo);
        AssociationService service;
        dimse::RequestedPeer peer(service, {query_uids::studyRootFind},
                                  {{1, ContextAccepted, association::implicitLittle}},
                                  dataBytes({{1, 0x03, response(respondedTo)}}));
        ASSERT_EQ(peer.established, 1);
        ObjectDataSet identifier;
        identifier.addElement(textElement(0x0008, 0x0052, "STUDY "));
        StudyRootFind finder;
        idCounter = 1;  // the request is Message ID 1
        EXPECT_EQ(finder.find(&service, &identifier), respondedTo == 1 ? 1 : 0);
        EXPECT_EQ(service.isEstablished(), respondedTo == 1 ? 1 : 0);
        const auto types = dimse::pduTypesIn(peer.hangUp());
        ASSERT_FALSE(types.empty());
        EXPECT_EQ(types.back() == 0x07, respondedTo != 1);  // A-ABORT
    }
}
