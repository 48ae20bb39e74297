// dicomtk serve as C-MOVE provider, against destinations on 127.0.0.1: a
// second dicomtk serve, and destinations played by the toolkit that drop
// the sub-association. The C-MOVE requests are built here, so that a Move
// Destination can be what no sound requester sends.

#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ServeSupport.h"
#include "dimse/QueryRetrieveSopClasses.h"
#include "dimse/VerificationSopClass.h"

using namespace serving;

namespace {

const char* const studyRootMove = "1.2.840.10008.5.1.4.1.2.2.2";
const std::string studyOfTwo = "1.2.826.0.1.3680043.9.7133.30.1";
const std::string studyOfThree = "1.2.826.0.1.3680043.9.7133.30.2";

// The instances of a study: SOP Instance UIDs <study>.1.1 onwards, in one series.
std::vector<std::string> instancesOf(const std::string& study, int count) {
    std::vector<std::string> uids;
    for (int number = 1; number <= count; ++number) uids.push_back(study + ".1." + std::to_string(number));
    return uids;
}

// Stores count instances of study into the server at port, as TESTER.
bool storeStudy(uint16_t port, const std::string& study, int count) {
    Requester sender;
    if (!sender.connect(port, {ctImageStorage})) return false;
    bool stored = true;
    for (const std::string& uid : instancesOf(study, count)) {
        std::unique_ptr<ObjectDataSet> set(makeDataSet({uid, "MOVE^MARY", 64}));
        set->addElement(textElement(0x0010, 0x0020, "PID7", vrCode('L', 'O')));
        set->addElement(textElement(0x0020, 0x000D, uidValue(study), vrCode('U', 'I')));
        set->addElement(textElement(0x0020, 0x000E, uidValue(study + ".1"), vrCode('U', 'I')));
        stored = stored && storeByHand(sender, ctImageStorage, &uid, set.get()) == StatusSuccess;
    }
    sender.release();
    return stored;
}

struct MoveOutcome {
    bool ended = false;  // a final response arrived
    uint16_t status = 0xFFFF;
    uint16_t completed = 0xFFFF, failed = 0xFFFF, warning = 0xFFFF;
    int pending = 0;
};

// Sends a Study Root C-MOVE of study with Move Destination destination (the
// value bytes as given) and reads the responses up to the final one.
MoveOutcome moveStudy(AssociationService& service, const std::string& destination, const std::string& study) {
    static uint16_t messageId = 1;
    CommandSet command;
    command.addElement(textElement(0x0000, AffectedSopClassUid, uidValue(studyRootMove)));
    command.addElement(u16Element(0x0000, CommandField, CMoveRequest));
    command.addElement(u16Element(0x0000, MessageId, messageId++));
    command.addElement(u16Element(0x0000, Priority, 0));
    command.addElement(u16Element(0x0000, CommandDataSetType, 0x0000));
    command.addElement(textElement(0x0000, MoveDestination, destination));
    ObjectDataSet identifier;
    identifier.addElement(textElement(0x0008, 0x0052, "STUDY "));
    identifier.addElement(textElement(0x0020, 0x000D, uidValue(study)));
    MoveOutcome outcome;
    const UidValue abstractSyntax(studyRootMove);
    if (!service.sendCommand(command, abstractSyntax) || !service.sendDataSet(identifier, abstractSyntax)) return outcome;
    // Bounded: one pending response per instance at most.
    for (int response = 0; response < 20; ++response) {
        CommandSet answer;
        if (!service.readMessage(answer) || answer.findU16(0x0000, CommandField) != CMoveResponse) return outcome;
        if (answer.findU16(0x0000, CommandDataSetType) != NoDataSet) {
            ObjectDataSet ignored;
            if (!service.readMessage(ignored)) return outcome;
        }
        const uint16_t status = answer.findU16(0x0000, Status);
        if (isPendingStatus(status)) {
            ++outcome.pending;
            continue;
        }
        outcome.ended = true;
        outcome.status = status;
        outcome.completed = answer.findU16(0x0000, CompletedSubOperations);
        outcome.failed = answer.findU16(0x0000, FailedSubOperations);
        outcome.warning = answer.findU16(0x0000, WarningSubOperations);
        return outcome;
    }
    return outcome;
}

void writeDestinations(const std::string& path, const std::vector<std::pair<std::string, uint16_t>>& places) {
    std::ofstream file(path);
    for (const auto& [title, port] : places) file << title << " 127.0.0.1 " << port << "\n";
}

// A move destination played by the toolkit: accepts one association (the
// first that comes within the run time), answers the first `answered`
// C-STOREs with Success and then drops the connection, with neither
// release nor abort.
class DroppingDestination {
public:
    explicit DroppingDestination(int answered) : answered_(answered) {
        for (int attempt = 0; attempt < 5 && !listening_; ++attempt) {
            port = platform::freeLocalPort();
            listening_ = port != 0 && listener_.listenOn(std::to_string(port).c_str()) == 1;
        }
        if (listening_) thread_ = std::thread([this] { run(); });
    }
    ~DroppingDestination() { finish(); }
    DroppingDestination(const DroppingDestination&) = delete;
    DroppingDestination& operator=(const DroppingDestination&) = delete;

    void finish() {
        if (thread_.joinable()) thread_.join();
    }

    uint16_t port = 0;
    // Once finished: whether an association came, its calling AE title, and
    // how many C-STOREs were answered.
    bool associated = false;
    std::string callingAeTitle;
    int stored = 0;

private:
    void run() {
        if (platform::waitReadable(listener_.listenSocket, runSeconds) != 1) return;
        AssociationService service;
        service.requestTimeoutSeconds = runSeconds;
        if (service.serveOnListener(listener_.listenSocket) <= 0) return;
        associated = true;
        callingAeTitle = service.AssociateRequestPdu::callingAeTitle;
        while (!callingAeTitle.empty() && callingAeTitle.back() == ' ') callingAeTitle.pop_back();
        for (; stored < answered_; ++stored) {
            CommandSet command;
            ObjectDataSet dataSet;
            if (!service.readMessage(command) || !service.readMessage(dataSet)) break;
            StoreResponse response;
            if (!response.sendResponse(&service, &command, StatusSuccess)) break;
        }
        service.socket.closeAll();
    }

    int answered_;
    SocketStream listener_;
    bool listening_ = false;
    std::thread thread_;
};

// Two dicomtk serves: the source, as MOVER_AE7, holding a study of two
// instances, and the destination it knows as SIXTEENCHARSDEST, a title of
// the most characters an AE title has.
class MoveBetweenServers : public ::testing::Test {
protected:
    const std::string sourceTitle = "MOVER_AE7";
    const std::string destinationTitle = "SIXTEENCHARSDEST";

    void SetUp() override {
        destination_ = std::make_unique<StorageServer>(scratch_.file("destination"), std::vector<std::string>{"--aet", destinationTitle});
        ASSERT_TRUE(destination_->ready()) << destination_->output();
        const std::string places = scratch_.file("destinations");
        writeDestinations(places, {{destinationTitle, destination_->port()}});
        source_ = std::make_unique<StorageServer>(scratch_.file("source"),
                                                  std::vector<std::string>{"--aet", sourceTitle, "--destinations", places});
        ASSERT_TRUE(source_->ready()) << source_->output();
        ASSERT_TRUE(storeStudy(source_->port(), studyOfTwo, 2));
    }

    TemporaryDirectory scratch_;
    std::unique_ptr<StorageServer> destination_;
    std::unique_ptr<StorageServer> source_;
};

}  // namespace

// The sub-association that carries a C-MOVE's objects calls with serve's
// own AE title (--aet), not the requester's nor the destination's: the
// destination's line shows it, and so do the files it stored.
TEST_F(MoveBetweenServers, SubAssociationCallsWithServesOwnAeTitle) {
    Requester requester;
    requester.setCallingAeTitle("ASKER");
    ASSERT_TRUE(requester.connect(source_->port(), {studyRootMove}));
    const MoveOutcome outcome = moveStudy(requester, destinationTitle, studyOfTwo);
    requester.release();
    ASSERT_TRUE(outcome.ended);
    EXPECT_EQ(outcome.status, StatusSuccess);
    EXPECT_EQ(outcome.completed, 2);
    EXPECT_EQ(outcome.failed, 0);
    EXPECT_TRUE(destination_->waitFor("(" + sourceTitle + " -> " + destinationTitle + ") released: 2 stored"))
        << destination_->output();
    for (const std::string& uid : instancesOf(studyOfTwo, 2)) {
        EXPECT_EQ(metaText(destination_->folder() + "/" + uid + ".dcm", 0x0016), sourceTitle) << uid;
    }
    EXPECT_EQ(source_->stop(), 0);
    EXPECT_EQ(destination_->stop(), 0);
}

// An AE title has at most 16 characters: a Move Destination with more than
// 16 before its padding names no destination (0xA801), even when its first
// 16 are a known title, and nothing is sent; spaces after the 16th are
// padding. A shorter prefix of a known title is unknown too.
TEST_F(MoveBetweenServers, DestinationOfMoreThanSixteenCharactersIsUnknown) {
    struct Case {
        const char* what;
        std::string destination;  // the value bytes
        uint16_t status;
        uint16_t completed;
    };
    const std::vector<Case> cases = {
        {"the known title, 16 characters", destinationTitle, StatusSuccess, 2},
        {"the known title and two spaces", destinationTitle + "  ", StatusSuccess, 2},
        {"17 characters, the first 16 known", destinationTitle + "X ", StatusMoveDestinationUnknown, 0},
        {"17 characters, zero-padded", destinationTitle + "X" + std::string(1, '\0'), StatusMoveDestinationUnknown, 0},
        {"the first 15 of the known title", destinationTitle.substr(0, 15) + " ", StatusMoveDestinationUnknown, 0},
    };
    Requester requester;
    ASSERT_TRUE(requester.connect(source_->port(), {studyRootMove}));
    for (const Case& row : cases) {
        SCOPED_TRACE(row.what);
        const MoveOutcome outcome = moveStudy(requester, row.destination, studyOfTwo);
        ASSERT_TRUE(outcome.ended);
        EXPECT_EQ(outcome.status, row.status) << std::hex << outcome.status;
        if (row.status == StatusSuccess) {
            EXPECT_EQ(outcome.completed, row.completed);
        }
    }
    requester.release();
    EXPECT_EQ(source_->stop(), 0);
    EXPECT_EQ(destination_->stop(), 0);
    // Only the two sound requests reached the destination.
    size_t associations = 0;
    for (const std::string& line : lines(destination_->output())) associations += contains(line, ") released: ");
    EXPECT_EQ(associations, 2u) << destination_->output();
}

// A destination that drops the sub-association (after accepting it, or
// after answering the first C-STORE) fails the sub-operation under way and
// every one after it: the final response counts them all as failed.
TEST(StorageServerMove, DestinationThatDropsFailsEveryRemainingSubOperation) {
    struct Case {
        const char* what;
        std::string title;
        int answered;  // C-STOREs the destination answers before it drops
        std::string study;
        uint16_t completed, failed;
        uint16_t status;  // 0xA702 when every one failed
    };
    const std::vector<Case> cases = {
        {"drops once accepted, two instances", "DROPS_AT_ONCE", 0, studyOfTwo, 0, 2, StatusSubOperationsAllFailed},
        {"drops after one, three instances", "DROPS_AFTER_ONE", 1, studyOfThree, 1, 2, StatusSubOperationsFailed},
    };
    TemporaryDirectory scratch;
    std::vector<std::unique_ptr<DroppingDestination>> destinations;
    std::vector<std::pair<std::string, uint16_t>> places;
    for (const Case& row : cases) {
        destinations.push_back(std::make_unique<DroppingDestination>(row.answered));
        ASSERT_NE(destinations.back()->port, 0);
        places.emplace_back(row.title, destinations.back()->port);
    }
    writeDestinations(scratch.file("destinations"), places);
    StorageServer server(scratch.file("store"), {"--aet", "MOVER_AE8", "--destinations", scratch.file("destinations")});
    ASSERT_TRUE(server.ready()) << server.output();
    ASSERT_TRUE(storeStudy(server.port(), studyOfTwo, 2));
    ASSERT_TRUE(storeStudy(server.port(), studyOfThree, 3));

    Requester requester;
    ASSERT_TRUE(requester.connect(server.port(), {studyRootMove, verification}));
    for (size_t index = 0; index < cases.size(); ++index) {
        const Case& row = cases[index];
        SCOPED_TRACE(row.what);
        const MoveOutcome outcome = moveStudy(requester, row.title, row.study);
        destinations[index]->finish();
        ASSERT_TRUE(outcome.ended);
        EXPECT_EQ(outcome.status, row.status) << std::hex << outcome.status;
        EXPECT_EQ(outcome.completed, row.completed);
        EXPECT_EQ(outcome.failed, row.failed);
        EXPECT_EQ(outcome.warning, 0);
        EXPECT_TRUE(destinations[index]->associated);
        EXPECT_EQ(destinations[index]->stored, row.answered);
        EXPECT_EQ(destinations[index]->callingAeTitle, "MOVER_AE8");
    }
    // The association that asked goes on.
    VerificationSopClass verificationClass;
    uint16_t status = 0xFFFF;
    EXPECT_TRUE(verificationClass.echo(&requester, status));
    EXPECT_EQ(status, StatusSuccess);
    requester.release();
    EXPECT_EQ(server.stop(), 0);
}
