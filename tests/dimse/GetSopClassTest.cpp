// C-GET between two toolkit services on 127.0.0.1: the user proposes the
// storage SOP classes with the SCP role, the provider sends its matches back
// as C-STORE sub-operations where that role was granted, and both agree on
// the counts, the final status and the Failed SOP Instance UID List.

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "DimseFixtures.h"
#include "dimse/QueryRetrieveSopClasses.h"

using association::Bytes;
using association::operator+;
using association::portText;
using datasets::textElement;

namespace {

const char* const ctImage = "1.2.840.10008.5.1.4.1.1.2";
const char* const mrImage = "1.2.840.10008.5.1.4.1.1.4";

// The provider's side: an acceptor that grants the SCP role for the listed
// SOP classes, and a Study Root C-GET provider over a fixed list of matches
// (instance UIDs 1.2.3.1, 1.2.3.2, ...), served on its own thread until the
// user releases.
class Provider {
public:
    Provider(std::set<std::string> granted, std::vector<std::string> matches)
        : port(platform::freeLocalPort()), service_(std::move(granted)), get_(std::move(matches)) {
        SocketStream listener;
        listener.listenOn(portText(port).c_str());
        listening_ = listener.listenSocket;
        listener.listenSocket = 0;
        listener.listening = 0;
        thread_ = std::thread([this] { serve(); });
    }
    ~Provider() {
        thread_.join();
        platform::closeSocket(listening_);
    }

    uint16_t port;
    int handled = 0;

private:
    class Service : public AssociationService {
    public:
        explicit Service(std::set<std::string> granted) : granted_(std::move(granted)) {}
        int acceptRequesterScpRole(const RoleSelectionItem& proposed) override {
            return granted_.count(proposed.sopClassUid.text()) != 0 ? 1 : 0;
        }

    private:
        std::set<std::string> granted_;
    };

    class ListedGet : public StudyRootGet {
    public:
        explicit ListedGet(std::vector<std::string> matches) : matches_(std::move(matches)) {}
        int findMatches(DataSet*, IndexedList<DataSet*>& results) override {
            for (const std::string& sopClass : matches_) {
                auto* match = new ObjectDataSet;
                match->addElement(textElement(0x0008, 0x0016, sopClass));
                match->addElement(textElement(0x0008, 0x0018, "1.2.3." + std::to_string(results.count() + 1)));
                results.tryAppend(match);
            }
            return 1;
        }
        int prepareSubOperation(DataSet* match, DataSet*& dataSet, StorageSopClass*& storage) override {
            std::string sopClass = dimse::valueText(*match, 0x0008, 0x0016);
            while (!sopClass.empty() && (sopClass.back() == '\0' || sopClass.back() == ' ')) sopClass.pop_back();
            auto* set = new ObjectDataSet;
            set->addElement(textElement(0x0008, 0x0016, sopClass));
            set->addElement(textElement(0x0008, 0x0018, dimse::valueText(*match, 0x0008, 0x0018)));
            set->addElement(textElement(0x0010, 0x0010, "DOE^JANE"));
            dataSet = set;
            if (sopClass == ctImage) storage = &ct_;
            else storage = &mr_;
            return 1;
        }

    private:
        std::vector<std::string> matches_;
        CtImageStorage ct_;
        MrImageStorage mr_;
    };

    void serve() {
        service_.requestTimeoutSeconds = 10;
        service_.socket.timeoutSeconds = 10;
        if (platform::waitReadable(listening_, 10) != 1 || service_.serveOnListener(listening_) == 0) return;
        for (;;) {
            CommandSet command;
            if (!service_.readMessage(command)) break;
            if (!get_.handleCommand(&service_, &command)) break;
            ++handled;
        }
        service_.socket.closeAll();
    }

    Service service_;
    ListedGet get_;
    SocketHandle listening_ = 0;
    std::thread thread_;
};

// The user's side: records what it receives and answers each C-STORE with
// the next of the statuses given (Success once they run out).
class RecordingGet : public StudyRootGet {
public:
    uint16_t storeRetrievedDataSet(DataSet* command, DataSet* dataSet) override {
        receivedUids.push_back(dimse::valueText(*dataSet, 0x0008, 0x0018));
        originatorPresent = originatorPresent || dimse::has(*command, MoveOriginatorAeTitle);
        const size_t index = receivedUids.size() - 1;
        return index < answers.size() ? answers[index] : uint16_t{StatusSuccess};
    }
    void onGetResponse(DataSet* response, DataSet* dataSet) override {
        if (response == nullptr) {
            if (cancelAtOnce) cancel();
            return;
        }
        Counts counts = {response->findU16(0x0000, Status),
                         dimse::has(*response, RemainingSubOperations)
                             ? static_cast<int>(response->findU16(0x0000, RemainingSubOperations))
                             : -1,
                         response->findU16(0x0000, CompletedSubOperations),
                         response->findU16(0x0000, FailedSubOperations),
                         response->findU16(0x0000, WarningSubOperations)};
        responses.push_back(counts);
        if (dataSet != nullptr) {
            failedList = dimse::valueText(*dataSet, 0x0008, 0x0058);
            while (!failedList.empty() && failedList.back() == '\0') failedList.pop_back();
        }
    }

    struct Counts {
        uint16_t status;
        int remaining;  // -1: absent
        uint16_t completed, failed, warning;
        bool operator==(const Counts& other) const {
            return status == other.status && remaining == other.remaining && completed == other.completed &&
                   failed == other.failed && warning == other.warning;
        }
    };
    std::vector<uint16_t> answers;
    bool cancelAtOnce = false;
    std::vector<std::string> receivedUids;
    std::vector<Counts> responses;
    std::string failedList;
    bool originatorPresent = false;
};

std::ostream& operator<<(std::ostream& out, const RecordingGet::Counts& counts) {
    return out << std::hex << "{0x" << counts.status << std::dec << ", " << counts.remaining << ", "
               << counts.completed << ", " << counts.failed << ", " << counts.warning << "}";
}

}  // namespace

TEST(GetSopClass, SubOperationsGoBackOnTheAssociationWhereTheScpRoleWasGranted) {
    using Counts = RecordingGet::Counts;
    struct Case {
        const char* name;
        std::set<std::string> granted;
        std::vector<std::string> matches;
        std::vector<uint16_t> answers;
        bool cancelAtOnce;
        std::vector<std::string> received;
        std::vector<Counts> responses;
        std::string failedList;
    };
    const Case cases[] = {
        {"three stored", {ctImage, mrImage}, {ctImage, mrImage, ctImage}, {}, false,
         {"1.2.3.1", "1.2.3.2", "1.2.3.3"},
         {{StatusPending, 2, 1, 0, 0}, {StatusPending, 1, 2, 0, 0}, {StatusSuccess, -1, 3, 0, 0}}, ""},
        {"MR not granted: its sub-operation fails", {ctImage}, {ctImage, mrImage, ctImage}, {}, false,
         {"1.2.3.1", "1.2.3.3"},
         {{StatusPending, 2, 1, 0, 0}, {StatusPending, 1, 1, 1, 0}, {StatusSubOperationsFailed, -1, 2, 1, 0}},
         "1.2.3.2"},
        {"nothing granted: every one fails", {}, {ctImage, ctImage}, {}, false, {},
         {{StatusPending, 1, 0, 1, 0}, {StatusSubOperationsAllFailed, -1, 0, 2, 0}}, "1.2.3.1\\1.2.3.2"},
        {"the user refuses one and warns of another", {ctImage}, {ctImage, ctImage, ctImage},
         {StatusSuccess, 0xA700, 0xB007}, false, {"1.2.3.1", "1.2.3.2", "1.2.3.3"},
         {{StatusPending, 2, 1, 0, 0}, {StatusPending, 1, 1, 1, 0}, {StatusSubOperationsFailed, -1, 1, 1, 1}},
         "1.2.3.2"},
        {"no match", {ctImage}, {}, {}, false, {}, {{StatusSuccess, -1, 0, 0, 0}}, ""},
        {"cancelled as soon as asked: one sub-operation, then Cancel", {ctImage}, {ctImage, ctImage, ctImage}, {},
         true, {"1.2.3.1"}, {{StatusCancel, 2, 1, 0, 0}}, ""},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(row.name);
        Provider provider(row.granted, row.matches);
        AssociationService service;
        service.socket.timeoutSeconds = 10;
        for (const char* uid : {query_uids::studyRootGet, ctImage, mrImage}) service.proposeAbstractSyntax(UidValue(uid));
        service.proposeRoleSelection(UidValue(ctImage), 0, 1);
        service.proposeRoleSelection(UidValue(mrImage), 0, 1);
        ASSERT_EQ(service.requestAssociation("127.0.0.1", portText(provider.port).c_str()), 1);
        RecordingGet user;
        user.answers = row.answers;
        user.cancelAtOnce = row.cancelAtOnce;
        ObjectDataSet identifier;
        identifier.addElement(textElement(0x0008, 0x0052, "STUDY "));
        identifier.addElement(textElement(0x0020, 0x000D, "1.2.3"));
        const uint16_t finalStatus = row.responses.back().status;
        EXPECT_EQ(user.get(&service, &identifier), finalStatus == StatusSuccess ? 1 : 0);
        EXPECT_EQ(user.finalStatus, finalStatus);
        EXPECT_EQ(service.isEstablished(), 1);  // the association goes on
        service.release();
        std::vector<std::string> received;
        for (const std::string& uid : user.receivedUids) received.push_back(uid.substr(0, uid.find('\0')));
        EXPECT_EQ(received, row.received);
        EXPECT_EQ(user.received, row.received.size());
        EXPECT_EQ(user.responses, row.responses);
        EXPECT_EQ(user.failedList, row.failedList);
        EXPECT_FALSE(user.originatorPresent);  // only C-MOVE names an originator
    }
}

// A C-STORE request on a context whose SCP role the user did not get is
// answered 0x0122 without reaching the application.
TEST(GetSopClass, UserRefusesAStoreOfASopClassWhoseScpRoleItDidNotTake) {
    const Bytes store =
        association::dataBytes({{3, 0x03, dimse::implicitBytes({textElement(0x0000, 0x0002, ctImage),
                                                                 datasets::u16Element(0x0000, 0x0100, CStoreRequest),
                                                                 datasets::u16Element(0x0000, 0x0110, 11),
                                                                 datasets::u16Element(0x0000, 0x0800, DataSetFollows),
                                                                 textElement(0x0000, 0x1000, "1.2.3.1")})}}) +
        association::dataBytes(
            {{3, 0x02, dimse::implicitBytes({textElement(0x0008, 0x0018, "1.2.3.1")})}});
    const Bytes finalResponse = association::dataBytes(
        {{1, 0x03, dimse::implicitBytes({textElement(0x0000, 0x0002, query_uids::studyRootGet),
                                         datasets::u16Element(0x0000, 0x0100, CGetResponse),
                                         datasets::u16Element(0x0000, 0x0120, 1),
                                         datasets::u16Element(0x0000, 0x0800, NoDataSet),
                                         datasets::u16Element(0x0000, 0x0900, StatusSuccess),
                                         datasets::u16Element(0x0000, 0x1021, 1),
                                         datasets::u16Element(0x0000, 0x1022, 0),
                                         datasets::u16Element(0x0000, 0x1023, 0)})}});
    AssociationService service;
    // No role selection answered: the user is no SCP for CT.
    dimse::RequestedPeer peer(service, {query_uids::studyRootGet, ctImage},
                              {{1, ContextAccepted, association::implicitLittle},
                               {3, ContextAccepted, association::implicitLittle}},
                              store + finalResponse);
    ASSERT_EQ(peer.established, 1);
    RecordingGet user;
    ObjectDataSet identifier;
    identifier.addElement(textElement(0x0008, 0x0052, "STUDY "));
    idCounter = 1;
    EXPECT_EQ(user.get(&service, &identifier), 1);
    EXPECT_TRUE(user.receivedUids.empty());
    EXPECT_EQ(user.received, 1u);
    EXPECT_EQ(user.refused, 1u);
    const auto messages = dimse::messagesIn(peer.hangUp());
    ASSERT_EQ(messages.size(), 3u);  // C-GET-RQ, identifier, C-STORE-RSP
    auto response = dimse::decodeCommand(messages[2].bytes);
    ASSERT_NE(response, nullptr);
    EXPECT_EQ(messages[2].contextId, 3);
    EXPECT_EQ(response->findU16(0x0000, CommandField), CStoreResponse);
    EXPECT_EQ(response->findU16(0x0000, MessageIdBeingRespondedTo), 11);
    EXPECT_EQ(response->findU16(0x0000, Status), StatusSopClassNotSupported);
}
