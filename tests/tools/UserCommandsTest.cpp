// dicomtk echo, store and find as users, against peers that answer what
// dicomtk serve never would (a peer on 127.0.0.1 that answers each request
// with bytes made for the test, naming the request's own Message ID),
// against dicomtk serve configured to accept implicit VR little endian
// only, and against DCMTK's storescp doing the same (skipped without it).

#include <gtest/gtest.h>

#include <fstream>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "../dimse/DimseFixtures.h"
#include "AnsweringPeer.h"
#include "ServeSupport.h"

using namespace serving;
using association::Bytes;
using association::operator+;

namespace {

const char* const patientRootFind = "1.2.840.10008.5.1.4.1.2.1.1";

// A response command set in implicit VR little endian, answering the
// request whose Message ID was messageId.
Bytes commandBytes(const std::string& sopClass, uint16_t field, uint16_t dataSetType, uint16_t status,
                   uint16_t messageId) {
    return dimse::implicitBytes({textElement(0x0000, AffectedSopClassUid, uidValue(sopClass)),
                                 u16Element(0x0000, CommandField, field),
                                 u16Element(0x0000, MessageIdBeingRespondedTo, messageId),
                                 u16Element(0x0000, CommandDataSetType, dataSetType),
                                 u16Element(0x0000, Status, status)});
}

// One message of context 1 in a P-DATA-TF of its own.
Bytes commandPdu(const Bytes& command) { return association::dataBytes({{1, 0x03, command}}); }
Bytes dataSetPdu(const Bytes& dataSet) { return association::dataBytes({{1, 0x02, dataSet}}); }

// A peer that accepts the first context that dicomtk proposes (ID 1) in
// transferSyntax, waits for the request (and its data set) and sends what
// answer makes of the request's Message ID; what dicomtk sends afterwards
// it collects, as it comes.
std::unique_ptr<AnsweringPeer> answeringAcceptor(uint16_t port, const char* transferSyntax,
                                                 std::function<Bytes(uint16_t messageId)> answer,
                                                 int quietSeconds = 5) {
    AnsweringPeer::Connection connection;
    connection.opening = association::acceptBytes({{1, ContextAccepted, transferSyntax}});
    connection.script = [answer](AnsweringPeer& peer) {
        std::unique_ptr<CommandSet> request = peer.nextCommand();
        if (request) peer.send(answer(request->findU16(0x0000, MessageId)));
    };
    return std::make_unique<AnsweringPeer>(port, std::vector<AnsweringPeer::Connection>{connection}, quietSeconds);
}

// The types of the PDUs the peer received, in order.
std::vector<uint8_t> pduTypes(const Bytes& received) { return dimse::pduTypesIn(received); }

// The C-STORE-RSP for the object uid, with status, to the request messageId.
Bytes storeResponse(const std::string& uid, uint16_t status, uint16_t messageId) {
    return commandPdu(dimse::implicitBytes({textElement(0x0000, AffectedSopClassUid, uidValue(ctImageStorage)),
                                            u16Element(0x0000, CommandField, CStoreResponse),
                                            u16Element(0x0000, MessageIdBeingRespondedTo, messageId),
                                            u16Element(0x0000, CommandDataSetType, NoDataSet),
                                            u16Element(0x0000, Status, status),
                                            textElement(0x0000, AffectedSopInstanceUid, uidValue(uid))}));
}

Bytes echoResponse(uint16_t messageId) {
    return commandPdu(commandBytes(verification, CEchoResponse, NoDataSet, StatusSuccess, messageId));
}

// Retries connecting until something accepts on port, for at most seconds.
bool waitUntilAccepting(uint16_t port, int seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < deadline) {
        SocketStream probe;
        if (probe.connectTo("127.0.0.1", std::to_string(port).c_str()) == 1) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

}  // namespace

// A pending answer with status 0xFF01 (optional keys not supported) carries
// a match as 0xFF00 does: find prints both and waits for the final answer.
TEST(DicomtkFind, PendingWithUnsupportedOptionalKeysGoesOnLikePending) {
    auto identifier = [](const std::string& name) {
        return dimse::implicitBytes({textElement(0x0008, 0x0052, "PATIENT ", vrCode('C', 'S')),
                                     textElement(0x0010, 0x0010, name, vrCode('P', 'N'))});
    };
    const auto answer = [&](uint16_t id) {
        return commandPdu(commandBytes(patientRootFind, CFindResponse, DataSetFollows, 0xFF00, id)) +
               dataSetPdu(identifier("DOE^ONE ")) +
               commandPdu(commandBytes(patientRootFind, CFindResponse, DataSetFollows, 0xFF01, id)) +
               dataSetPdu(identifier("DOE^TWO ")) +
               commandPdu(commandBytes(patientRootFind, CFindResponse, NoDataSet, StatusSuccess, id)) +
               association::releaseResponse;
    };
    const uint16_t port = platform::freeLocalPort();
    auto peer = answeringAcceptor(port, implicitLittle, answer);
    const ToolRun run = runDicomtk({"find", "-k", "0010,0010", "127.0.0.1", std::to_string(port)});
    peer->finish();
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_TRUE(contains(run.out, "# match 1\n")) << run.out;
    EXPECT_TRUE(contains(run.out, "# match 2\n")) << run.out;
    EXPECT_TRUE(contains(run.out, "DOE^ONE")) << run.out;
    EXPECT_TRUE(contains(run.out, "DOE^TWO")) << run.out;
    ASSERT_FALSE(lines(run.out).empty());
    EXPECT_EQ(lines(run.out).back(), "2 matches, final status 0x0000");
    EXPECT_EQ(run.err, "");
    // Released after the final answer.
    ASSERT_EQ(peer->received.size(), 1u);
    EXPECT_EQ(pduTypes(peer->received[0]).back(), 0x05);
}

// A C-STORE answered with a warning stored the object, changed or doubted:
// store says so per file and in its summary, and exits 1, as only 0x0000
// everywhere exits 0. A failure stays a failure.
TEST(DicomtkStore, AWarningStatusIsReportedAsAWarningAndExitsNonZero) {
    struct Case {
        uint16_t status;
        const char* line;
        const char* summary;
        int exitStatus;
    };
    const Case cases[] = {
        {0x0000, ": stored (status 0x0000)", "1 files sent, 0 failed, 0 with a warning, ", 0},
        {0xB000, ": stored with a warning (status 0xB000)", "1 files sent, 0 failed, 1 with a warning, ", 1},
        {0xB007, ": stored with a warning (status 0xB007)", "1 files sent, 0 failed, 1 with a warning, ", 1},
        {0x0001, ": stored with a warning (status 0x0001)", "1 files sent, 0 failed, 1 with a warning, ", 1},
        {0xA700, ": failed (status 0xA700)", "1 files sent, 1 failed, 0 with a warning, ", 1},
    };
    TemporaryDirectory scratch;
    const std::string file = scratch.file("warned.dcm");
    const std::string uid = "1.2.826.0.1.3680043.9.7133.31.1";
    ASSERT_TRUE(writeObject(file, {uid, "WARNED^ONCE", 64}));
    for (const Case& row : cases) {
        SCOPED_TRACE(row.line);
        const uint16_t port = platform::freeLocalPort();
        auto peer = answeringAcceptor(port, explicitLittle, [&](uint16_t id) {
            return storeResponse(uid, row.status, id) + association::releaseResponse;
        });
        const ToolRun run = runDicomtk({"store", "127.0.0.1", std::to_string(port), file});
        peer->finish();
        EXPECT_EQ(run.status, row.exitStatus) << run.out << run.err;
        EXPECT_TRUE(contains(run.out, file + row.line + "\n")) << run.out;
        ASSERT_EQ(lines(run.out).size(), 2u) << run.out;
        EXPECT_EQ(lines(run.out).back().rfind(row.summary, 0), 0u) << run.out;
    }
}

// An explicit VR little endian file goes as implicit VR little endian to a
// peer that accepts only that: stored, with the same elements and values.
// The peer is dicomtk serve with a configuration that lists only implicit
// VR little endian, then DCMTK's storescp +xi.
TEST(DicomtkStore, AnExplicitFileGoesAsImplicitToAPeerThatAcceptsOnlyImplicit) {
    TemporaryDirectory scratch;
    const std::string uid = "1.2.826.0.1.3680043.9.7133.32.1";
    const std::string source = scratch.file("explicit.dcm");
    ASSERT_TRUE(writeObject(source, {uid, "IMPLICIT^ONLY", 128}, explicitLittle));
    const std::string expected = dataSetText(source);
    ASSERT_NE(expected, "");
    {
        SCOPED_TRACE("dicomtk serve --config");
        const std::string configuration = scratch.file("implicit.cfg");
        const std::string text = std::string("x ") + implicitLittle + " transfer\n";
        writeFile(configuration, std::vector<uint8_t>(text.begin(), text.end()));
        StorageServer server(scratch.file("store"), {"--config", configuration, "--no-fsync"});
        ASSERT_TRUE(server.ready()) << server.output();
        const ToolRun run = runDicomtk({"store", "127.0.0.1", server.portText(), source});
        EXPECT_EQ(run.status, 0) << run.out << run.err;
        EXPECT_TRUE(contains(run.out, source + ": stored (status 0x0000)\n")) << run.out;
        const std::string stored = server.folder() + "/" + uid + ".dcm";
        EXPECT_EQ(metaText(stored, 0x0010), implicitLittle);
        EXPECT_EQ(dataSetText(stored), expected);
        EXPECT_EQ(server.stop(), 0);
    }
    const std::string storescpPath = findProgram("storescp");
    if (storescpPath.empty()) GTEST_SKIP() << "DCMTK's storescp is not installed";
    {
        SCOPED_TRACE("storescp +xi");
        const std::string received = scratch.file("received");
        std::filesystem::create_directory(received);
        const uint16_t port = platform::freeLocalPort();
        ChildProcess storescp;
        ASSERT_TRUE(storescp.start({storescpPath, "+xi", "-od", received, std::to_string(port)}));
        ASSERT_TRUE(waitUntilAccepting(port, runSeconds)) << storescp.err();
        const ToolRun run = runDicomtk({"store", "127.0.0.1", std::to_string(port), source});
        EXPECT_EQ(run.status, 0) << run.out << run.err;
        EXPECT_TRUE(contains(run.out, source + ": stored (status 0x0000)\n")) << run.out;
        const std::vector<std::string> names = namesIn(received);
        ASSERT_EQ(names.size(), 1u);
        const std::string stored = received + "/" + names[0];
        EXPECT_EQ(metaText(stored, 0x0010), implicitLittle);
        EXPECT_EQ(dataSetText(stored), expected);
        storescp.sendSignal(SIGTERM);
        storescp.wait(runSeconds);
    }
}

// An association holds at most 128 presentation contexts: files of 129 SOP
// classes are refused before any connection, in one line; 128 all go.
TEST(DicomtkStore, FilesOfMoreThan128SopClassesAreRefusedBeforeConnecting) {
    TemporaryDirectory scratch;
    std::vector<std::string> files;
    for (int index = 1; index <= 129; ++index) {
        const std::string number = std::to_string(index);
        files.push_back(scratch.file("class" + number + ".dcm"));
        ASSERT_TRUE(writeObject(files.back(), {"1.2.826.0.1.3680043.9.7133.33." + number, "MANY^CLASSES", 16,
                                               "1.2.826.0.1.3680043.9.7133.34." + number}));
    }

    // 129: nobody is called. A connection attempt would wait on the
    // listening socket, made before dicomtk runs.
    SocketStream listener;
    const uint16_t port = platform::freeLocalPort();
    ASSERT_EQ(listener.listenOn(std::to_string(port).c_str()), 1);
    // A short wait for an answer, should dicomtk call after all.
    std::vector<std::string> arguments = {"store", "--request-timeout", "2", "127.0.0.1", std::to_string(port)};
    arguments.insert(arguments.end(), files.begin(), files.end());
    const ToolRun refused = runDicomtk(arguments);
    EXPECT_EQ(refused.status, 1) << refused.out << refused.err;
    EXPECT_EQ(refused.out, "");
    EXPECT_EQ(refused.err,
              "dicomtk: store: the files need more than the 128 presentation contexts of one association\n");
    EXPECT_EQ(platform::waitReadable(listener.listenSocket, 0), 0) << "dicomtk connected";
    listener.closeAll();

    // 128: all stored in one association, by a serve whose configuration
    // lists these private storage SOP classes (it accepts only the
    // standard's without one).
    const std::string configuration = scratch.file("serve.cfg");
    {
        std::ofstream listing(configuration);
        for (int index = 1; index <= 128; ++index) {
            listing << "class" << index << " 1.2.826.0.1.3680043.9.7133.34." << index << " sop\n";
        }
    }
    StorageServer server(scratch.file("store"), {"--no-fsync", "--config", configuration});
    ASSERT_TRUE(server.ready()) << server.output();
    arguments = {"store", "127.0.0.1", server.portText()};
    arguments.insert(arguments.end(), files.begin(), files.end() - 1);
    const ToolRun sent = runDicomtk(arguments);
    EXPECT_EQ(sent.status, 0) << sent.out << sent.err;
    ASSERT_FALSE(lines(sent.out).empty());
    EXPECT_EQ(lines(sent.out).back().rfind("128 files sent, 0 failed, 0 with a warning, ", 0), 0u) << sent.out;
    EXPECT_EQ(namesIn(server.folder()).size(), 128u);
    EXPECT_TRUE(server.waitFor("released: 128 stored, 0 failed")) << server.output();
    EXPECT_EQ(server.stop(), 0);
}

// A peer that answers the C-ECHO but never the A-RELEASE-RQ: echo leaves it
// after --request-timeout and reports the echo; the peer, which would hold
// the connection for 20 s, sees it closed.
TEST(DicomtkEcho, APeerThatNeverAnswersTheReleaseIsLeftAfterTheRequestTimeout) {
    const uint16_t port = platform::freeLocalPort();
    auto peer = answeringAcceptor(port, implicitLittle, echoResponse, 20);
    const auto start = std::chrono::steady_clock::now();
    const ToolRun run = runDicomtk({"echo", "--request-timeout", "1", "127.0.0.1", std::to_string(port)});
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    peer->finish();
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_TRUE(contains(run.out, ": 1 C-ECHO answered with success in ")) << run.out;
    EXPECT_GE(seconds, 0.9);  // it did wait for the answer
    EXPECT_LT(seconds, 10.0);
    ASSERT_EQ(peer->received.size(), 1u);
    EXPECT_EQ(pduTypes(peer->received[0]).back(), 0x05);
    EXPECT_TRUE(peer->closedByOther[0]);
}

// A response that names another Message ID than its request's answers
// nothing of ours: echo and store take it for no answer, abort the
// association (A-ABORT, no release) and exit 1. The same response naming the
// request's own Message ID is taken.
TEST(DicomtkEchoStore, AResponseNamingAnotherMessageIdIsRefused) {
    TemporaryDirectory scratch;
    const std::string file = scratch.file("object.dcm");
    const std::string uid = "1.2.826.0.1.3680043.9.7133.35.1";
    ASSERT_TRUE(writeObject(file, {uid, "WRONG^ID", 64}));
    struct Case {
        const char* what;
        int offset;  // added to the request's Message ID in the response
        int exitStatus;
        uint8_t lastPdu;
    };
    const Case cases[] = {
        {"own Message ID", 0, 0, 0x05},
        {"Message ID + 1", 1, 1, 0x07},
        {"Message ID - 1", -1, 1, 0x07},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(row.what);
        const auto shifted = [&](uint16_t id) { return static_cast<uint16_t>(id + row.offset); };
        {
            const uint16_t port = platform::freeLocalPort();
            auto peer = answeringAcceptor(port, implicitLittle, [&](uint16_t id) {
                return echoResponse(shifted(id)) + association::releaseResponse;
            });
            const ToolRun run = runDicomtk({"echo", "127.0.0.1", std::to_string(port)});
            peer->finish();
            EXPECT_EQ(run.status, row.exitStatus) << run.out << run.err;
            if (row.exitStatus != 0) {
                EXPECT_EQ(run.err, "dicomtk: 127.0.0.1:" + std::to_string(port) + ": no answer to C-ECHO 1\n");
            }
            ASSERT_EQ(peer->received.size(), 1u);
            EXPECT_EQ(pduTypes(peer->received[0]).back(), row.lastPdu);
        }
        {
            const uint16_t port = platform::freeLocalPort();
            auto peer = answeringAcceptor(port, explicitLittle, [&](uint16_t id) {
                return storeResponse(uid, StatusSuccess, shifted(id)) + association::releaseResponse;
            });
            const ToolRun run = runDicomtk({"store", "127.0.0.1", std::to_string(port), file});
            peer->finish();
            EXPECT_EQ(run.status, row.exitStatus) << run.out << run.err;
            if (row.exitStatus != 0) {
                EXPECT_TRUE(contains(run.err, file + ": no C-STORE response from 127.0.0.1:")) << run.err;
                ASSERT_FALSE(lines(run.out).empty());
                EXPECT_EQ(lines(run.out).back().rfind("0 files sent, 1 failed, 0 with a warning, ", 0), 0u) << run.out;
            }
            ASSERT_EQ(peer->received.size(), 1u);
            EXPECT_EQ(pduTypes(peer->received[0]).back(), row.lastPdu);
        }
    }
}
