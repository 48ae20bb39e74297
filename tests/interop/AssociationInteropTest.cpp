// The upper layer against DCMTK's tools on 127.0.0.1, each run as a child
// process: our acceptor serves echoscu (and storescu, which proposes what
// its configuration file says), our requester talks to storescp and
// dcmqrscp. The C-ECHO messages are built by hand. A test whose DCMTK tool
// is not installed reports itself skipped.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "../support/ChildProcess.h"
#include "../support/DataSetText.h"
#include "../support/Loopback.h"
#include "../support/TemporaryFiles.h"
#include "network/AssociationService.h"
#include "platform/Sockets.h"

using datasets::textElement;
using datasets::u16Element;

namespace {

const char* const verificationUid = "1.2.840.10008.1.1";
const char* const implicitLittleEndianUid = "1.2.840.10008.1.2";
const char* const ctImageStorageUid = "1.2.840.10008.5.1.4.1.1.2";
// Every wait of a test on a peer ends after this long.
constexpr int peerSeconds = 30;

// Command fields of the C-ECHO messages.
constexpr uint16_t echoRequestField = 0x0030;
constexpr uint16_t echoResponseField = 0x8030;
constexpr uint16_t noDataSet = 0x0101;

void fillEchoRequest(CommandSet& set, uint16_t messageId) {
    set.addElement(textElement(0x0000, 0x0002, verificationUid));
    set.addElement(u16Element(0x0000, 0x0100, echoRequestField));
    set.addElement(u16Element(0x0000, 0x0110, messageId));
    set.addElement(u16Element(0x0000, 0x0800, noDataSet));
}

void fillEchoResponse(CommandSet& set, uint16_t messageId, uint16_t status) {
    set.addElement(textElement(0x0000, 0x0002, verificationUid));
    set.addElement(u16Element(0x0000, 0x0100, echoResponseField));
    set.addElement(u16Element(0x0000, 0x0120, messageId));
    set.addElement(u16Element(0x0000, 0x0800, noDataSet));
    set.addElement(u16Element(0x0000, 0x0900, status));
}

// The value bytes of an element as received, or "<absent>".
std::string valueBytes(DataSet& set, uint16_t group, uint16_t element) {
    DataElement* found = set.find(group, element);
    if (found == nullptr) return "<absent>";
    return std::string(reinterpret_cast<const char*>(found->value), found->length);
}

// The Verification UID as it travels in a command set: padded with one NUL
// to an even length.
const std::string verificationValue("1.2.840.10008.1.1\0", 18);

// A title field of a PDU without the spaces or NULs that pad it.
std::string title(const char* field) {
    std::string text(field);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\0')) text.pop_back();
    return text;
}

// Whether the peer closes the connection within peerSeconds, sending
// nothing more.
bool peerCloses(SocketHandle connection) {
    if (platform::waitReadable(connection, peerSeconds) != 1) return false;
    uint8_t byte = 0;
    return platform::receiveSome(connection, &byte, 1) == 0;
}

// An acceptor or requester whose every wait on the peer ends after peerSeconds.
class BoundedService : public AssociationService {
public:
    BoundedService() {
        requestTimeoutSeconds = peerSeconds;
        socket.setTimeout(peerSeconds);
    }
};

class AssociationInterop : public ::testing::Test {
protected:
    // A failed test shows what the peers logged.
    void TearDown() override {
        if (!HasFailure()) return;
        for (const auto& entry : std::filesystem::directory_iterator(directory.path())) {
            if (entry.path().extension() != ".log") continue;
            std::printf("==== %s\n%s\n", entry.path().filename().c_str(), readTextFile(entry.path().string()).c_str());
        }
    }

    std::string log(const std::string& name) const { return directory.file(name + ".log"); }

    // A CT object in a DICOM file, for storescu to offer.
    std::string writeCtFile() {
        const std::string path = directory.file("ct.dcm");
        AssociationService files;
        DataSet set;
        set.addElement(textElement(0x0008, 0x0016, ctImageStorageUid, vrCode('U', 'I')));
        set.addElement(textElement(0x0008, 0x0018, "1.2.826.0.1.3680043.9.7133.1.77", vrCode('U', 'I')));
        set.addElement(textElement(0x0008, 0x0060, "CT", vrCode('C', 'S')));
        set.addElement(textElement(0x0010, 0x0010, "DOE^JANE", vrCode('P', 'N')));
        EXPECT_EQ(files.saveFile(path.c_str(), FileWithHeaderExplicit, &set), 1);
        return path;
    }

    // A storescu configuration whose profile "ExplicitOnly" proposes CT
    // image storage with explicit VR little endian alone.
    std::string writeExplicitOnlyProfile() {
        const std::string path = directory.file("explicit.cfg");
        const std::string text =
            "[[TransferSyntaxes]]\n"
            "[ExplicitOnly]\n"
            "TransferSyntax1 = LittleEndianExplicit\n"
            "[[PresentationContexts]]\n"
            "[CtExplicit]\n"
            "PresentationContext1 = CTImageStorage\\ExplicitOnly\n"
            "[[Profiles]]\n"
            "[ExplicitOnly]\n"
            "PresentationContexts = CtExplicit\n";
        writeFile(path, std::vector<uint8_t>(text.begin(), text.end()));
        return path;
    }

    std::vector<std::string> echoscuArguments(const std::string& port, int repeat,
                                              const std::vector<std::string>& options = {}) const {
        std::vector<std::string> arguments = {echoscu, "-d", "-aet", "ECHOSCU", "-aec", "DICOMTK-TEST",
                                              "-to", "30", "-ta", "30", "-td", "30"};
        if (repeat > 1) arguments.insert(arguments.end(), {"--repeat", std::to_string(repeat)});
        arguments.insert(arguments.end(), options.begin(), options.end());
        arguments.insert(arguments.end(), {"127.0.0.1", port});
        return arguments;
    }

    // Starts storescp on a free port with options, and waits until it
    // accepts connections.
    bool startStorescp(ChildProcess& child, std::string& port, const std::vector<std::string>& options,
                       const std::string& name) {
        std::error_code error;
        std::filesystem::create_directory(directory.file("received"), error);
        for (int attempt = 0; attempt < 3; ++attempt) {
            port = std::to_string(platform::freeLocalPort());
            std::vector<std::string> arguments = {storescp, "-d", "--aetitle", "STORESCP", "--output-directory",
                                                  directory.file("received"), "-ta", "30", "-ts", "30"};
            arguments.insert(arguments.end(), options.begin(), options.end());
            arguments.push_back(port);
            if (!child.start(arguments, ChildOptions::loggingTo(log(name)))) return false;
            if (waitUntilAccepting(child, port, peerSeconds)) return true;
            child.kill();  // the port may have been taken meanwhile: another one
        }
        return false;
    }

    // Reads count C-ECHO-RQs and answers each with success; their message IDs.
    std::vector<uint16_t> answerEchoes(AssociationService& service, int count) {
        std::vector<uint16_t> ids;
        for (int index = 0; index < count; ++index) {
            CommandSet request;
            if (service.readMessage(request) != 1) {
                ADD_FAILURE() << "C-ECHO-RQ " << index + 1 << " of " << count << " not read";
                break;
            }
            EXPECT_EQ(valueBytes(request, 0x0000, 0x0002), verificationValue);
            EXPECT_EQ(request.findU16(0x0000, 0x0100), echoRequestField);
            EXPECT_EQ(request.findU16(0x0000, 0x0800), noDataSet);
            const uint16_t id = request.findU16(0x0000, 0x0110);
            ids.push_back(id);
            request.clear();
            CommandSet response;
            fillEchoResponse(response, id, 0x0000);
            EXPECT_EQ(service.sendCommand(response, UidValue(verificationUid)), 1);
        }
        return ids;
    }

    // Our requester's C-ECHO-RQ, answered with success.
    void expectEchoAnswered(AssociationService& service, uint16_t messageId) {
        CommandSet request;
        fillEchoRequest(request, messageId);
        ASSERT_EQ(service.sendCommand(request, UidValue(verificationUid)), 1);
        CommandSet response;
        ASSERT_EQ(service.readMessage(response), 1);
        EXPECT_EQ(valueBytes(response, 0x0000, 0x0002), verificationValue);
        EXPECT_EQ(response.findU16(0x0000, 0x0100), echoResponseField);
        EXPECT_EQ(response.findU16(0x0000, 0x0120), messageId);
        EXPECT_EQ(response.findU16(0x0000, 0x0800), noDataSet);
        ASSERT_NE(response.find(0x0000, 0x0900), nullptr);
        EXPECT_EQ(response.findU16(0x0000, 0x0900), 0x0000);
        response.clear();
    }

    // Checks what our acceptor negotiated with echoscu: contexts
    // Verification contexts, all accepted with implicit VR little endian,
    // and the titles.
    void expectEchoscuContexts(AssociationService& service, uint32_t contexts = 1) {
        EXPECT_TRUE(service.isEstablished());
        EXPECT_EQ(title(service.AssociateRequestPdu::callingAeTitle), "ECHOSCU");
        EXPECT_EQ(title(service.AssociateRequestPdu::calledAeTitle), "DICOMTK-TEST");
        ASSERT_EQ(service.acceptedContexts.count(), contexts);
        for (uint32_t index = 0; index < contexts; ++index) {
            const PresentationContextResultItem& accepted = service.acceptedContexts.at(index)->element;
            EXPECT_EQ(accepted.resultReason, ContextAccepted);
            EXPECT_STREQ(accepted.transferSyntax.value.text(), implicitLittleEndianUid);
            UidValue abstractSyntax;
            ASSERT_EQ(service.abstractSyntaxOfContext(accepted.contextId, abstractSyntax), 1);
            EXPECT_STREQ(abstractSyntax.text(), verificationUid);
        }
    }

    // After the last message: the peer's A-RELEASE-RQ ends readMessage with
    // 0, answered, and the peer then closes the connection.
    void expectReleasedByPeer(AssociationService& service) {
        CommandSet after;
        EXPECT_EQ(service.readMessage(after), 0);
        EXPECT_FALSE(service.isEstablished());
        ASSERT_EQ(service.socket.connected, 1) << "the connection is left to the peer to close";
        EXPECT_TRUE(peerCloses(service.socket.dataSocket));
    }

    TemporaryDirectory directory;
    std::string echoscu = findProgram("echoscu");
    std::string storescu = findProgram("storescu");
    std::string storescp = findProgram("storescp");
    std::string dcmqrscp = findProgram("dcmqrscp");
};

#define REQUIRE_TOOL(path, name) \
    if ((path).empty()) GTEST_SKIP() << "DCMTK's " name " is not installed"

// Each row is one association of echoscu with our acceptor, all on the same
// listener and service: its echoes are answered, and it ends with the
// peer's release (answered; the peer then closes) or its abort.
TEST_F(AssociationInterop, EchoscuEchoesWithOurAcceptorAndEnds) {
    REQUIRE_TOOL(echoscu, "echoscu");
    struct Case {
        const char* name;
        int repeat;
        std::vector<std::string> options;
        uint32_t contexts;  // Verification contexts proposed, each accepted
        bool aborts;
    };
    const Case cases[] = {
        {"one echo", 1, {}, 1, false},
        {"five echoes in one association", 5, {}, 1, false},
        // 128 contexts of 38 transfer syntaxes each: a request of about 100 KB.
        {"every context and transfer syntax echoscu can propose", 2, {"-ppc", "128", "-pts", "38"}, 128, false},
        {"aborted after its echoes", 2, {"--abort"}, 1, true},
    };
    LoopbackListener listener(peerSeconds);
    ASSERT_NE(listener.handle, 0);
    BoundedService service;
    int row = 0;
    for (const Case& echo : cases) {
        SCOPED_TRACE(echo.name);
        const std::string name = "echoscu-" + std::to_string(++row);
        ChildProcess peer;
        ASSERT_TRUE(peer.start(echoscuArguments(listener.port, echo.repeat, echo.options),
                               ChildOptions::loggingTo(log(name))));
        ASSERT_EQ(service.serveOnListener(listener.handle), listener.handle);
        expectEchoscuContexts(service, echo.contexts);
        const std::vector<uint16_t> ids = answerEchoes(service, echo.repeat);
        EXPECT_EQ(std::set<uint16_t>(ids.begin(), ids.end()).size(), static_cast<size_t>(echo.repeat))
            << "every request has its own message ID";
        if (echo.aborts) {
            CommandSet after;
            EXPECT_EQ(service.readMessage(after), 0);
            EXPECT_FALSE(service.isEstablished());
            EXPECT_EQ(service.socket.connected, 0) << "an aborted association's connection is closed";
        } else {
            expectReleasedByPeer(service);
        }
        int status = -1;
        ASSERT_TRUE(peer.waitForExit(peerSeconds * 1000, status));
        EXPECT_EQ(status, 0);
        const std::string text = readTextFile(log(name));
        EXPECT_EQ(countOccurrences(text, "Received Echo Response (Success)"), echo.repeat);
        EXPECT_EQ(countOccurrences(text, "Accepted Transfer Syntax: =LittleEndianImplicit"),
                  static_cast<int>(echo.contexts));
        EXPECT_NE(text.find(echo.aborts ? "Aborting Association" : "Releasing Association"), std::string::npos);
        EXPECT_EQ(text.find("\nE: "), std::string::npos) << "echoscu logged an error";
    }
}

// storescu proposes only explicit VR little endian: the default acceptor
// takes no context (result 2), the negotiation fails, and the listener
// serves the next peer, also inside serveOnListener, which goes on
// accepting after a failed negotiation.
TEST_F(AssociationInterop, PeerProposingOnlyExplicitVrGetsNoContextAndTheNextPeerIsServed) {
    REQUIRE_TOOL(storescu, "storescu");
    REQUIRE_TOOL(echoscu, "echoscu");
    const std::string file = writeCtFile();
    const std::string profile = writeExplicitOnlyProfile();
    LoopbackListener listener(peerSeconds);
    ASSERT_NE(listener.handle, 0);
    const std::vector<std::string> storescuArguments = {
        storescu, "-d", "-xf", profile, "ExplicitOnly", "-to", "30", "-ta", "30", "127.0.0.1", listener.port, file};

    BoundedService service;
    {
        ChildProcess explicitOnly;
        ASSERT_TRUE(explicitOnly.start(storescuArguments, ChildOptions::loggingTo(log("storescu-first"))));
        ASSERT_TRUE(listener.connectionWaiting());
        SocketAddress peerAddress = {};
        const intptr_t connection = platform::acceptSocket(listener.handle, peerAddress);
        ASSERT_GT(connection, 0);
        EXPECT_EQ(service.serveConnection(connection), 0);
        EXPECT_FALSE(service.isEstablished());
        EXPECT_EQ(service.acceptedContexts.count(), 0u);
        ASSERT_EQ(service.AssociateAcceptPdu::presentationContexts.count(), 1u);
        const PresentationContextResultItem& answer = service.AssociateAcceptPdu::presentationContexts.at(0)->element;
        EXPECT_EQ(answer.resultReason, ContextNoReason);
        EXPECT_EQ(answer.contextId, 1);
        int status = -1;
        ASSERT_TRUE(explicitOnly.waitForExit(peerSeconds * 1000, status));
        EXPECT_NE(status, 0);
        const std::string text = readTextFile(log("storescu-first"));
        EXPECT_NE(text.find("Context ID:        1 (No Reason)"), std::string::npos);
        EXPECT_NE(text.find("No Acceptable Presentation Contexts"), std::string::npos);
        EXPECT_EQ(text.find("Sending Store Request"), std::string::npos);
    }
    {
        // The explicit-only peer is queued first, echoscu after it.
        ChildProcess explicitOnly;
        ASSERT_TRUE(explicitOnly.start(storescuArguments, ChildOptions::loggingTo(log("storescu-second"))));
        ASSERT_TRUE(listener.connectionWaiting());
        ChildProcess echo;
        ASSERT_TRUE(echo.start(echoscuArguments(listener.port, 1), ChildOptions::loggingTo(log("echoscu"))));
        ASSERT_EQ(service.serveOnListener(listener.handle), listener.handle);
        expectEchoscuContexts(service);
        answerEchoes(service, 1);
        expectReleasedByPeer(service);
        int status = -1;
        ASSERT_TRUE(explicitOnly.waitForExit(peerSeconds * 1000, status));
        EXPECT_NE(status, 0);
        ASSERT_TRUE(echo.waitForExit(peerSeconds * 1000, status));
        EXPECT_EQ(status, 0);
    }
}

// Our requester against storescp: an unknown SOP class and Verification
// proposed, only Verification accepted, three echoes on its context, then
// release; twice, so storescp is seen to go on serving.
TEST_F(AssociationInterop, OurRequesterEchoesWithStorescpAndReleases) {
    REQUIRE_TOOL(storescp, "storescp");
    ChildProcess peer;
    std::string port;
    ASSERT_TRUE(startStorescp(peer, port, {}, "storescp"));
    BoundedService service;
    ASSERT_EQ(service.setCalledAeTitle("STORESCP"), 1);
    ASSERT_EQ(service.proposeAbstractSyntax(UidValue("1.2.826.0.1.3680043.9.7133.99.1")), 1);
    ASSERT_EQ(service.proposeAbstractSyntax(UidValue(verificationUid)), 1);
    uint16_t messageId = 40;
    for (int association = 1; association <= 2; ++association) {
        SCOPED_TRACE("association " + std::to_string(association));
        ASSERT_EQ(service.requestAssociation("127.0.0.1", port.c_str()), 1);
        ASSERT_EQ(service.acceptedContexts.count(), 1u);
        const PresentationContextResultItem& accepted = service.acceptedContexts.at(0)->element;
        EXPECT_EQ(accepted.contextId, service.presentationContextFor(UidValue(verificationUid)));
        EXPECT_STREQ(accepted.transferSyntax.value.text(), implicitLittleEndianUid);
        EXPECT_EQ(title(service.AssociateAcceptPdu::calledAeTitle), "STORESCP");
        for (int echo = 0; echo < 3; ++echo) expectEchoAnswered(service, ++messageId);
        EXPECT_EQ(service.release(), 1);
        EXPECT_FALSE(service.isEstablished());
        EXPECT_EQ(service.socket.connected, 0);
        EXPECT_TRUE(peer.running());
    }
    const std::string text = readTextFile(log("storescp"));
    EXPECT_EQ(countOccurrences(text, "Received Echo Request"), 6);
    EXPECT_EQ(countOccurrences(text, "I: Association Release\n"), 2);
    EXPECT_EQ(text.find("Aborted"), std::string::npos);
}

// storescp told to refuse every association: requestAssociation gives 0,
// nothing stays connected, and the A-ASSOCIATE-RJ read is storescp's
// (rejected permanent, by the service user, no reason given). Told to reject
// requests without an implementation class UID, it accepts ours, which has one.
TEST_F(AssociationInterop, StorescpRefusingGivesNoAssociation) {
    REQUIRE_TOOL(storescp, "storescp");
    struct Case {
        const char* option;
        int established;
    };
    const Case cases[] = {
        {"--refuse", 0},
        {"--reject", 1},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(row.option);
        ChildProcess peer;
        std::string port;
        ASSERT_TRUE(startStorescp(peer, port, {row.option}, std::string("storescp") + row.option));
        BoundedService service;
        service.setCalledAeTitle("STORESCP");
        service.proposeAbstractSyntax(UidValue(verificationUid));
        // Twice: storescp goes on listening after refusing.
        for (int attempt = 0; attempt < 2; ++attempt) {
            AssociateRejectPdu& reject = service;
            reject.result = reject.source = reject.reason = 0;
            EXPECT_EQ(service.requestAssociation("127.0.0.1", port.c_str()), row.established);
            EXPECT_EQ(service.isEstablished(), row.established);
            if (row.established) {
                EXPECT_EQ(service.release(), 1);
            } else {
                EXPECT_EQ(service.socket.connected, 0);
                EXPECT_EQ(reject.result, 1);
                EXPECT_EQ(reject.source, 1);
                EXPECT_EQ(reject.reason, 1);
            }
            EXPECT_TRUE(peer.running());
        }
    }
}

// Our requester against dcmqrscp, which knows one called AE title, QRSCP,
// and serves each association in a process of its own: the title it knows
// gets an association and an echo; another is refused as not recognised
// (rejected permanent, service user, reason 7); dcmqrscp goes on serving.
TEST_F(AssociationInterop, DcmqrscpAcceptsOnlyItsCalledTitle) {
    REQUIRE_TOOL(dcmqrscp, "dcmqrscp");
    std::error_code error;
    std::filesystem::create_directory(directory.file("archive"), error);
    ChildProcess peer;
    std::string port;
    for (int attempt = 0; attempt < 3 && port.empty(); ++attempt) {
        const std::string candidate = std::to_string(platform::freeLocalPort());
        const std::string configuration = directory.file("dcmqrscp.cfg");
        const std::string text = "NetworkTCPPort = " + candidate +
                                 "\nMaxPDUSize = 16384\nMaxAssociations = 4\n"
                                 "HostTable BEGIN\nHostTable END\n"
                                 "VendorTable BEGIN\nVendorTable END\n"
                                 "AETable BEGIN\nQRSCP " + directory.file("archive") +
                                 " RW (10, 1024mb) ANY\nAETable END\n";
        writeFile(configuration, std::vector<uint8_t>(text.begin(), text.end()));
        ASSERT_TRUE(peer.start({dcmqrscp, "-d", "-c", configuration, "-ta", "30", "-td", "30", candidate},
                               ChildOptions::loggingTo(log("dcmqrscp"))));
        if (waitUntilAccepting(peer, candidate, peerSeconds)) port = candidate;
        else peer.kill();
    }
    ASSERT_FALSE(port.empty());
    struct Case {
        const char* calledTitle;
        int established;
    };
    const Case cases[] = {
        {"QRSCP", 1},
        {"ELSEWHERE", 0},
        {"QRSCP", 1},
    };
    uint16_t messageId = 7;
    for (const Case& row : cases) {
        SCOPED_TRACE(row.calledTitle);
        BoundedService service;
        service.setCalledAeTitle(row.calledTitle);
        service.proposeAbstractSyntax(UidValue(verificationUid));
        AssociateRejectPdu& reject = service;
        reject.result = reject.source = reject.reason = 0;
        ASSERT_EQ(service.requestAssociation("127.0.0.1", port.c_str()), row.established);
        if (row.established) {
            EXPECT_EQ(title(service.AssociateAcceptPdu::calledAeTitle), "QRSCP");
            expectEchoAnswered(service, ++messageId);
            EXPECT_EQ(service.release(), 1);
        } else {
            EXPECT_EQ(service.socket.connected, 0);
            EXPECT_EQ(reject.result, 1);
            EXPECT_EQ(reject.source, 1);
            EXPECT_EQ(reject.reason, 7);
        }
        EXPECT_TRUE(peer.running());
    }
    const std::string text = readTextFile(log("dcmqrscp"));
    EXPECT_EQ(countOccurrences(text, "Received Echo SCP RQ"), 2);
    EXPECT_EQ(countOccurrences(text, "Refusing Association (BadAEService)"), 1);
}

}  // namespace
