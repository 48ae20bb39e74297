// What dicomtk says to the person reading its output: serve's log lines in
// each format, under systemd and elsewhere, and the messages a person can
// act on (why an association was refused, a busy port, a full disk, a
// message over the limit, an unknown or unreachable move destination, a
// configuration typo); the clients' words for a rejection, a refused
// connection and each C-MOVE status, and store stopping once its
// association has died.

#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "../dimse/DimseFixtures.h"
#include "AnsweringPeer.h"
#include "RetrieveScripts.h"
#include "ServeSupport.h"
#include "stream/SocketStream.h"

using namespace serving;
using association::Bytes;
using association::operator+;

namespace {

const char* const isoTime = R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)";

// The first line of text that contains part, or "".
std::string lineWith(const std::string& text, const std::string& part) {
    for (const std::string& line : lines(text)) {
        if (contains(line, part)) return line;
    }
    return "";
}

void writeText(const std::string& path, const std::string& text) { std::ofstream(path) << text; }

// One log line per case of format and surroundings, for the start line, an
// association's end and its opening, each checked whole but for the
// figures that change from run to run (time, port, duration).
TEST(ServeLog, LinesInEachFormatUnderSystemdAndElsewhere) {
    struct Case {
        const char* what;
        std::vector<std::string> options;
        const char* environment;  // setup for the shell that starts serve
        std::string listening;    // regular expressions of whole lines
        std::string opened;
        std::string released;
    };
    const std::string tail = R"(0 stored, 0 failed, 1 echoes, 0 queries, 0 moves, 0 gets, 0 bytes stored, \d+\.\d{3} s)";
    const std::string from = R"(association from 127\.0\.0\.1:\d+ \(DICOMTK -> ANY-SCP\))";
    const std::string jsonFixed = R"(\{"time":")" + std::string(isoTime) + R"(","level":"info",)";
    const Case cases[] = {
        {"text elsewhere", {}, "export JOURNAL_STREAM= &&",
         std::string(isoTime) + " info dicomtk serve: listening on port \\d+ as DICOMTK, storing into .*",
         std::string(isoTime) + " info " + from + " established: 1 of 1 presentation contexts accepted",
         std::string(isoTime) + " info " + from + " released: " + tail},
        {"text under systemd", {}, "export JOURNAL_STREAM=9:4242 &&",
         "<6>dicomtk serve: listening on port \\d+ as DICOMTK, storing into .*",
         "<6>" + from + " established: 1 of 1 presentation contexts accepted", "<6>" + from + " released: " + tail},
        {"json elsewhere", {"--log-format", "json"}, "export JOURNAL_STREAM= &&",
         jsonFixed + R"("event":"listening","peer":"","calling":"","called":"","message":"dicomtk serve: listening on port \d+ as DICOMTK, storing into [^"]*"\})",
         jsonFixed + R"("event":"association-open","peer":"127\.0\.0\.1:\d+","calling":"DICOMTK","called":"ANY-SCP","message":")" +
             from + R"( established: 1 of 1 presentation contexts accepted","accepted":1,"proposed":1\})",
         jsonFixed + R"("event":"association-released","peer":"127\.0\.0\.1:\d+","calling":"DICOMTK","called":"ANY-SCP","message":")" +
             from + " released: " + tail +
             R"(","stored":0,"failed":0,"echoes":1,"queries":0,"moves":0,"gets":0,"bytes_stored":0,"seconds":\d+\.\d{3}\})"},
        // JSON stays JSON under systemd: the journal keeps the object as it is.
        {"json under systemd", {"--log-format", "json"}, "export JOURNAL_STREAM=9:4242 &&",
         jsonFixed + R"("event":"listening".*)", jsonFixed + R"("event":"association-open".*)",
         jsonFixed + R"("event":"association-released".*)"},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(row.what);
        TemporaryDirectory scratch;
        StorageServer server(scratch.path() + "/store", row.options, row.environment);
        ASSERT_TRUE(server.ready()) << server.output() << server.process().err();
        const ToolRun run = runDicomtk({"echo", "127.0.0.1", server.portText()});
        EXPECT_EQ(run.status, 0) << run.out << run.err;
        ASSERT_TRUE(server.waitFor("released")) << server.output();
        const std::string output = server.output();
        EXPECT_TRUE(std::regex_match(lineWith(output, "listening on port"), std::regex(row.listening))) << output;
        EXPECT_TRUE(std::regex_match(lineWith(output, "established"), std::regex(row.opened))) << output;
        EXPECT_TRUE(std::regex_match(lineWith(output, "released"), std::regex(row.released))) << output;
        EXPECT_EQ(server.stop(), 0);
    }
}

// --log-level after any command's name: debug adds a line per message,
// warning keeps only the start line (which scripts wait for) and what went
// wrong; a level that is none is refused.
TEST(ServeLog, LevelsChooseTheLines) {
    struct Case {
        const char* level;
        bool opened;
        bool message;
    };
    const Case cases[] = {{"debug", true, true}, {"info", true, false}, {"warning", false, false}};
    for (const Case& row : cases) {
        SCOPED_TRACE(row.level);
        TemporaryDirectory scratch;
        StorageServer server(scratch.path() + "/store", {"--log-level", row.level});
        ASSERT_TRUE(server.ready()) << server.output() << server.process().err();
        const ToolRun run = runDicomtk({"echo", "--log-level", row.level, "127.0.0.1", server.portText()});
        EXPECT_EQ(run.status, 0) << run.out << run.err;
        // A refused association is a warning: written at every level here, after the echo.
        SocketStream socket;
        ASSERT_TRUE(socket.connectTo("127.0.0.1", server.portText().c_str()));
        socket.sendBytes(reinterpret_cast<const uint8_t*>("GARBAGE!"), 8);
        ASSERT_TRUE(server.waitFor("malformed")) << server.output();
        const std::string output = server.output();
        EXPECT_EQ(contains(output, "established: 1 of 1"), row.opened) << output;
        EXPECT_EQ(contains(output, "C-ECHO-RQ (0x0030) on context 1 (1.2.840.10008.1.1)"), row.message) << output;
        EXPECT_EQ(server.stop(), 0);
    }
    const ToolRun wrong = runDicomtk({"dump", "--log-level", "loud", "x.dcm"});
    EXPECT_EQ(wrong.status, 1);
    EXPECT_EQ(wrong.err, "dicomtk: dump: --log-level takes error, warning, info or debug\n");
}

// A refused association names its reason and, once the request was read,
// its AE titles; the client says the same from its side.
TEST(ServeLog, RefusedAssociationsNameTheReasonOnBothSides) {
    TemporaryDirectory scratch;
    const std::string config = scratch.file("policy.cfg");
    writeText(config,
              "# who may call, and what\n"
              "scanner  ALLOWED                RemoteAE\n"
              "here     HERE                   LocalAE\n"
              "ct       1.2.840.10008.5.1.4.1.1.2  SOP\n");
    StorageServer server(scratch.path() + "/store", {"--config", config, "--request-timeout", "1"});
    ASSERT_TRUE(server.ready()) << server.output() << server.process().err();
    EXPECT_TRUE(server.waitFor("policy of " + config +
                             ": calling AE titles ALLOWED; called AE titles HERE; application contexts any; abstract "
                             "syntaxes 1.2.840.10008.5.1.4.1.1.2; transfer syntaxes any"))
        << server.output();
    struct Case {
        const char* what;
        std::vector<std::string> titles;
        std::string logged;
        std::string printed;
    };
    const Case cases[] = {
        {"calling title", {"-aet", "STRANGER", "-aec", "HERE"},
         "(STRANGER -> HERE) not established: rejected: calling AE title not recognised",
         "association rejected: result 1 (rejected-permanent), source 1 (service-user), reason 3 (calling AE title "
         "not recognised)"},
        {"called title", {"-aet", "ALLOWED", "-aec", "ELSEWHERE"},
         "(ALLOWED -> ELSEWHERE) not established: rejected: called AE title not recognised",
         "association rejected: result 1 (rejected-permanent), source 1 (service-user), reason 7 (called AE title "
         "not recognised)"},
        {"no context", {"-aet", "ALLOWED", "-aec", "HERE"},
         "(ALLOWED -> HERE) not established: no acceptable presentation context (0 of 1 proposed accepted)",
         "association accepted, but no presentation context for Verification"},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(row.what);
        std::vector<std::string> arguments = {"echo"};
        arguments.insert(arguments.end(), row.titles.begin(), row.titles.end());
        arguments.insert(arguments.end(), {"127.0.0.1", server.portText()});
        const ToolRun run = runDicomtk(arguments);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.err, "dicomtk: 127.0.0.1:" + server.portText() + ": " + row.printed + "\n");
        EXPECT_TRUE(server.waitFor(row.logged)) << server.output();
    }
    {
        SocketStream silent;
        ASSERT_TRUE(silent.connectTo("127.0.0.1", server.portText().c_str()));
        EXPECT_TRUE(server.waitFor("not established: no association request within the request time-out (1 s)"))
            << server.output();
    }
    {
        SocketStream garbled;
        ASSERT_TRUE(garbled.connectTo("127.0.0.1", server.portText().c_str()));
        garbled.sendBytes(reinterpret_cast<const uint8_t*>("HELLO, WORLD"), 12);
        EXPECT_TRUE(server.waitFor("not established: the first PDU is not a readable A-ASSOCIATE-RQ (malformed)"))
            << server.output();
    }
    EXPECT_EQ(server.stop(), 0);
    // Nothing listening: the system's reason.
    const uint16_t closed = platform::freeLocalPort();
    const ToolRun run = runDicomtk({"echo", "127.0.0.1", std::to_string(closed)});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "dicomtk: 127.0.0.1:" + std::to_string(closed) + ": cannot connect: Connection refused\n");
}

// The peer that never answers the association request: echo says it waited
// its time-out for an answer.
TEST(ServeLog, ClientSaysWhenNoAnswerCameInTime) {
    SocketStream listener;
    const uint16_t port = platform::freeLocalPort();
    ASSERT_TRUE(listener.listenOn(std::to_string(port).c_str()));
    const ToolRun run = runDicomtk({"echo", "--request-timeout", "1", "127.0.0.1", std::to_string(port)});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "dicomtk: 127.0.0.1:" + std::to_string(port) +
                           ": no answer to the association request within 1 s (--request-timeout)\n");
}

// A keyword the configuration does not know stops serve at start, in one
// line naming the file's line; nothing is served.
TEST(ServeLog, AnUnknownConfigurationKeywordStopsServeNamingItsLine) {
    TemporaryDirectory scratch;
    const std::string config = scratch.file("policy.cfg");
    writeText(config, "# callers\nscanner ALLOWED RemoteAE\nhere HERE LocalTitle\nct 1.2.3 Sop\n");
    const ToolRun run = runDicomtk({"serve", "--port", std::to_string(platform::freeLocalPort()), "--store-dir",
                                    scratch.path() + "/store", "--config", config});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "dicomtk: " + config +
                           ":3: unknown keyword 'LocalTitle' (RemoteAE, LocalAE, Application, Abstract or SOP, "
                           "Transfer)\n");
    EXPECT_FALSE(contains(run.out, "listening")) << run.out;
}

// A message over --max-message-size is logged with the limit.
TEST(ServeLog, AMessageOverTheLimitIsLoggedWithTheLimit) {
    TemporaryDirectory scratch;
    const std::string file = scratch.file("big.dcm");
    ASSERT_TRUE(writeObject(file, {"1.2.826.0.1.3680043.9.7133.60.1", "BIG^ONE", 8000}));
    StorageServer server(scratch.path() + "/store", {"--max-message-size", "4096"});
    ASSERT_TRUE(server.ready()) << server.output() << server.process().err();
    const ToolRun run = runDicomtk({"store", "127.0.0.1", server.portText(), file});
    EXPECT_EQ(run.status, 1) << run.out << run.err;
    EXPECT_TRUE(server.waitFor("aborted by serve: a message of more than 4096 bytes (--max-message-size)"))
        << server.output();
    EXPECT_FALSE(contains(server.output(), "could not be read")) << server.output();
    EXPECT_EQ(server.stop(), 0);
}

// A port another serve holds: refused at start with the system's reason.
TEST(ServeLog, ABusyPortIsRefusedWithTheSystemsReason) {
    TemporaryDirectory scratch;
    StorageServer first(scratch.path() + "/one");
    ASSERT_TRUE(first.ready()) << first.output() << first.process().err();
    const ToolRun second = runDicomtk({"serve", "--port", first.portText(), "--store-dir", scratch.path() + "/two"});
    EXPECT_EQ(second.status, 1);
    EXPECT_EQ(second.err, "dicomtk: serve: cannot listen on port " + first.portText() + ": Address already in use\n");
    EXPECT_EQ(first.stop(), 0);
}

// A write the system refuses (the file size limit, as a full disk would)
// is logged with the system's words; an object received again under the
// same SOP Instance UID is a warning naming both transfer syntaxes.
TEST(ServeLog, WriteFailuresAndReplacedObjectsSayWhatHappened) {
    TemporaryDirectory scratch;
    const std::string small = scratch.file("small.dcm");
    const std::string big = scratch.file("big.dcm");
    const std::string uid = "1.2.826.0.1.3680043.9.7133.60.2";
    ASSERT_TRUE(writeObject(small, {uid, "SMALL^ONE", 64}, explicitLittle));
    ASSERT_TRUE(writeObject(big, {"1.2.826.0.1.3680043.9.7133.60.3", "BIG^ONE", 100000}));
    StorageServer server(scratch.path() + "/store", {}, "trap '' XFSZ && ulimit -f 64 &&");
    ASSERT_TRUE(server.ready()) << server.output() << server.process().err();
    EXPECT_EQ(runDicomtk({"store", "127.0.0.1", server.portText(), small, big}).status, 1);
    EXPECT_TRUE(server.waitFor(".dcm: File too large")) << server.output();
    const std::string failure = lineWith(server.output(), "C-STORE of '1.2.826.0.1.3680043.9.7133.60.3' failed");
    EXPECT_TRUE(contains(failure, "0xA700, cannot write " + scratch.path() + "/store/1.2.826.0.1.3680043.9.7133.60.3.dcm: File too large"))
        << server.output();
    ASSERT_TRUE(writeObject(small, {uid, "SMALL^ONE", 64}, implicitLittle));
    EXPECT_EQ(runDicomtk({"store", "127.0.0.1", server.portText(), small}).status, 0);
    EXPECT_TRUE(server.waitFor(" warning association from ")) << server.output();
    EXPECT_TRUE(contains(server.output(), "SOP Instance UID " + uid + " was stored already (transfer syntax " +
                                              explicitLittle + "); replaced by the one received (transfer syntax " +
                                              implicitLittle + ")"))
        << server.output();
    EXPECT_EQ(server.stop(), 0);
}

// A C-MOVE to a destination serve does not know, and to one that does not
// answer: the client prints the status with its meaning, serve logs the
// title (and the address and the system's reason).
TEST(ServeLog, UnknownAndUnreachableMoveDestinationsAreLogged) {
    TemporaryDirectory scratch;
    const uint16_t nobody = platform::freeLocalPort();
    const std::string destinations = scratch.file("destinations.txt");
    writeText(destinations, "GONE 127.0.0.1 " + std::to_string(nobody) + "\n");
    StorageServer server(scratch.path() + "/store", {"--destinations", destinations});
    ASSERT_TRUE(server.ready()) << server.output() << server.process().err();
    {
        // An object the index takes: with Patient ID, Study and Series Instance UIDs.
        const std::string uid = "1.2.826.0.1.3680043.9.7133.60.4";
        Requester sender;
        ASSERT_TRUE(sender.connect(server.port(), {ctImageStorage}));
        std::unique_ptr<ObjectDataSet> set(makeDataSet({uid, "MOVE^ME", 64}));
        set->addElement(textElement(0x0010, 0x0020, "PID9", vrCode('L', 'O')));
        set->addElement(textElement(0x0020, 0x000D, uidValue(uid + ".7"), vrCode('U', 'I')));
        set->addElement(textElement(0x0020, 0x000E, uidValue(uid + ".8"), vrCode('U', 'I')));
        ASSERT_EQ(storeByHand(sender, ctImageStorage, &uid, set.get()), StatusSuccess);
        sender.release();
    }
    const ToolRun unknown =
        runDicomtk({"move", "-L", "PATIENT", "-k", "PatientID=PID9", "--dest", "NOWHERE", "127.0.0.1", server.portText()});
    EXPECT_TRUE(contains(unknown.out, "final 0xA801 move destination unknown:")) << unknown.out << unknown.err;
    EXPECT_TRUE(server.waitFor("C-MOVE: move destination 'NOWHERE' is unknown (0xA801)")) << server.output();
    const ToolRun unreachable =
        runDicomtk({"move", "-L", "PATIENT", "-k", "PatientID=PID9", "--dest", "GONE", "127.0.0.1", server.portText()});
    EXPECT_TRUE(contains(unreachable.out, "final 0xC005 unable to process: ")) << unreachable.out << unreachable.err;
    EXPECT_TRUE(server.waitFor("C-MOVE: move destination GONE (127.0.0.1:" + std::to_string(nobody) +
                               ") unreachable: cannot connect: Connection refused"))
        << server.output();
    EXPECT_EQ(server.stop(), 0);
}

// Each final C-MOVE status is printed with what it means.
TEST(DicomtkMoveStatus, PrintsTheMeaningBesideEachStatus) {
    struct Case {
        uint16_t status;
        const char* line;
    };
    const Case cases[] = {
        {0x0000, "final 0x0000 success: "},
        {0xA801, "final 0xA801 move destination unknown: "},
        {0xA702, "final 0xA702 out of resources: cannot perform the sub-operations: "},
        {0xB000, "final 0xB000 sub-operations complete, one or more failures or warnings: "},
        {0xFE00, "final 0xFE00 cancelled: "},
        {0xC123, "final 0xC123 unable to process: "},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(row.line);
        const uint16_t port = platform::freeLocalPort();
        AnsweringPeer::Connection connection;
        connection.opening = association::acceptBytes({{1, ContextAccepted, implicitLittle}});
        const uint16_t status = row.status;
        connection.script = [status](AnsweringPeer& peer) {
            std::unique_ptr<CommandSet> request = peer.nextCommand();
            if (!request) return;
            peer.send(association::dataBytes(
                          {{1, 0x03,
                            dimse::implicitBytes({textElement(0x0000, AffectedSopClassUid, uidValue(retrieving::patientRootMoveUid)),
                                                  u16Element(0x0000, CommandField, CMoveResponse),
                                                  u16Element(0x0000, MessageIdBeingRespondedTo,
                                                             request->findU16(0x0000, MessageId)),
                                                  u16Element(0x0000, CommandDataSetType, NoDataSet),
                                                  u16Element(0x0000, Status, status)})}}) +
                      association::releaseResponse);
        };
        AnsweringPeer peer(port, {connection});
        const ToolRun run =
            runDicomtk({"move", "-L", "PATIENT", "-k", "PatientID=P1", "--dest", "X", "127.0.0.1", std::to_string(port)});
        peer.finish();
        EXPECT_TRUE(contains(run.out, row.line)) << run.out << run.err;
    }
}

// A peer that answers the first C-STORE and then aborts: store says once
// how many files were not sent, instead of a line per file.
TEST(DicomtkStoreEnding, StopsOnceTheAssociationHasDied) {
    TemporaryDirectory scratch;
    std::vector<std::string> files;
    for (int index = 1; index <= 4; ++index) {
        const std::string uid = "1.2.826.0.1.3680043.9.7133.61." + std::to_string(index);
        files.push_back(scratch.file(uid + ".dcm"));
        ASSERT_TRUE(writeObject(files.back(), {uid, "ABORT^ME", 64}));
    }
    const uint16_t port = platform::freeLocalPort();
    AnsweringPeer::Connection connection;
    connection.opening = association::acceptBytes({{1, ContextAccepted, explicitLittle}});
    connection.script = [](AnsweringPeer& peer) {
        std::unique_ptr<CommandSet> request = peer.nextCommand();
        if (!request) return;
        peer.send(association::dataBytes(
                      {{1, 0x03,
                        dimse::implicitBytes({textElement(0x0000, AffectedSopClassUid, uidValue(ctImageStorage)),
                                              u16Element(0x0000, CommandField, CStoreResponse),
                                              u16Element(0x0000, MessageIdBeingRespondedTo,
                                                         request->findU16(0x0000, MessageId)),
                                              u16Element(0x0000, CommandDataSetType, NoDataSet),
                                              u16Element(0x0000, Status, StatusSuccess),
                                              textElement(0x0000, AffectedSopInstanceUid,
                                                          uidValue("1.2.826.0.1.3680043.9.7133.61.1"))})}}) +
                  association::abortAsSent);
    };
    AnsweringPeer peer(port, {connection}, 2);
    std::vector<std::string> arguments = {"store", "127.0.0.1", std::to_string(port)};
    arguments.insert(arguments.end(), files.begin(), files.end());
    const ToolRun run = runDicomtk(arguments);
    peer.finish();
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(contains(run.out, files[0] + ": stored (status 0x0000)")) << run.out;
    // The second file may have gone out before the abort arrived: it is
    // then reported as unanswered, and the rest as not sent.
    const std::vector<std::string> errors = lines(run.err);
    ASSERT_FALSE(errors.empty()) << run.err;
    EXPECT_TRUE(std::regex_search(run.err, std::regex("the association has ended; [23] of 4 files not sent, starting with ")))
        << run.err;
    EXPECT_LE(errors.size(), 2u) << run.err;
    EXPECT_TRUE(contains(lines(run.out).back(), "1 files sent, 3 failed")) << run.out;
}

}  // namespace
