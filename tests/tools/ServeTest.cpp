// What dicomtk serve promises, each checked against the server running as a
// child process on 127.0.0.1: nothing received is lost or corrupted, a
// failed write answers a failure and leaves no file, nothing is written
// outside its folder, a second object replaces the first in one step, a bad
// or silent peer holds up no one else, and a signal ends it cleanly.

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <csignal>
#include <memory>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "../network/AssociationFixtures.h"
#include "../support/ScriptedPeer.h"
#include "ServeSupport.h"
#include "dimse/VerificationSopClass.h"

using namespace serving;
using association::Bytes;
using association::operator+;

namespace {

// The folder of a test's server inside a scratch directory, so that a
// name escaping the folder would land beside it.
struct ServerFolders {
    TemporaryDirectory scratch;
    std::string store = scratch.file("store");
    std::string sources = scratch.file("sources");
    ServerFolders() {
        std::filesystem::create_directory(store);
        std::filesystem::create_directory(sources);
    }
};

uint16_t localPort(SocketHandle socket) {
    sockaddr_in address = {};
    socklen_t size = sizeof address;
    if (getsockname(static_cast<int>(socket), reinterpret_cast<sockaddr*>(&address), &size) != 0) return 0;
    return ntohs(address.sin_port);
}

uint32_t echoStatus(AssociationService& service) {
    VerificationSopClass verification;
    uint16_t status = 0xFFFF;
    if (!verification.echo(&service, status)) return noResponse;
    return status;
}

}  // namespace

// Objects of three SOP classes in the three uncompressed transfer syntaxes,
// sent by dicomtk store in one association: each becomes FOLDER/<UID>.dcm
// with the data set's elements exactly as sent and meta information naming
// the object and the transfer syntax it is stored in.
TEST(StorageServer, StoredFilesHoldExactlyTheValuesSent) {
    ServerFolders folders;
    StorageServer server(folders.store);
    ASSERT_TRUE(server.ready()) << server.output();
    struct Source {
        TestObject object;
        std::string transferSyntax;
    };
    const std::vector<Source> sources = {
        {{"1.2.826.0.1.3680043.9.7133.2.1", "IMPLICIT^ONE", 3000, ctImageStorage}, implicitLittle},
        {{"1.2.826.0.1.3680043.9.7133.2.2", "EXPLICIT^TWO", 4000, mrImageStorage}, explicitLittle},
        {{"1.2.826.0.1.3680043.9.7133.2.3", "BIG^THREE", 5000, secondaryCaptureStorage}, explicitBig},
    };
    std::vector<std::string> arguments = {"store", "127.0.0.1", server.portText()};
    for (const Source& source : sources) {
        const std::string path = folders.sources + "/" + source.object.sopInstanceUid + ".src";
        ASSERT_TRUE(writeObject(path, source.object, source.transferSyntax));
        arguments.push_back(path);
    }
    const ToolRun run = runDicomtk(arguments);
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_TRUE(contains(run.out, "3 files sent, 0 failed")) << run.out;

    std::vector<std::string> expectedNames;
    for (const Source& source : sources) {
        const TestObject& object = source.object;
        SCOPED_TRACE(source.transferSyntax);
        const std::string stored = folders.store + "/" + object.sopInstanceUid + ".dcm";
        expectedNames.push_back(object.sopInstanceUid + ".dcm");
        const std::string sent = dataSetText(folders.sources + "/" + object.sopInstanceUid + ".src");
        ASSERT_FALSE(sent.empty());
        EXPECT_EQ(dataSetText(stored), sent);
        const std::vector<uint8_t> bytes = readFile(stored);
        ASSERT_GT(bytes.size(), 132u);
        EXPECT_EQ(std::string(bytes.begin() + 128, bytes.begin() + 132), "DICM");
        EXPECT_EQ(metaText(stored, 0x0002), object.sopClassUid);
        EXPECT_EQ(metaText(stored, 0x0003), object.sopInstanceUid);
        // Big-endian values can only travel, and be kept, as big endian; the
        // little-endian ones in either little-endian syntax.
        const std::string syntax = metaText(stored, 0x0010);
        if (source.transferSyntax == explicitBig) {
            EXPECT_EQ(syntax, explicitBig);
        } else {
            EXPECT_TRUE(syntax == implicitLittle || syntax == explicitLittle) << syntax;
        }
    }
    // No temporary file is left beside them.
    std::sort(expectedNames.begin(), expectedNames.end());
    EXPECT_EQ(namesIn(folders.store), expectedNames);
    // One association carried the three.
    EXPECT_TRUE(server.waitFor("3 stored, 0 failed")) << server.output();
    EXPECT_EQ(server.stop(), 0);
}

// The moment the Success response arrives, the file is complete under its
// final name, and nothing else is in the folder.
TEST(StorageServer, AnswersSuccessOnlyOnceTheFileIsInPlace) {
    ServerFolders folders;
    StorageServer server(folders.store);
    ASSERT_TRUE(server.ready()) << server.output();
    Requester sender;
    ASSERT_TRUE(sender.connect(server.port(), {ctImageStorage}));
    std::vector<std::string> names;
    for (int index = 1; index <= 4; ++index) {
        SCOPED_TRACE(index);
        const TestObject object = {"1.2.826.0.1.3680043.9.7133.3." + std::to_string(index), "PATIENT^" + std::to_string(index),
                                   static_cast<size_t>(index) * 100000};
        ASSERT_EQ(storeObject(sender, object), StatusSuccess);
        // Checked before anything else is sent, so that the server has had
        // no reason to finish anything after answering.
        std::unique_ptr<ObjectDataSet> expected(makeDataSet(object));
        const std::string path = folders.store + "/" + object.sopInstanceUid + ".dcm";
        EXPECT_EQ(dataSetText(path), datasets::describe(expected.get()));
        names.push_back(object.sopInstanceUid + ".dcm");
        std::sort(names.begin(), names.end());
        EXPECT_EQ(namesIn(folders.store), names);
    }
    sender.release();
    EXPECT_EQ(server.stop(), 0);
}

// With the server's files limited in size (a full disk, as far as the
// server can tell), an object too big to write is answered 0xA700 and
// leaves nothing behind, while smaller objects before and after it are
// stored: the server goes on serving.
TEST(StorageServer, AFailedWriteAnswersOutOfResourcesAndLeavesNoFile) {
    ServerFolders folders;
    // 64 blocks of 512 bytes; the limit holds for root too. A refused write
    // is then an error the server sees, not a signal that ends it.
    StorageServer server(folders.store, {}, "trap '' XFSZ && ulimit -f 64 &&");
    ASSERT_TRUE(server.ready()) << server.output() << server.process().err();
    struct Case {
        const char* uid;
        size_t pixelBytes;
        const char* status;
    };
    const Case cases[] = {
        {"1.2.826.0.1.3680043.9.7133.4.1", 2000, "stored (status 0x0000)"},
        {"1.2.826.0.1.3680043.9.7133.4.2", 100000, "failed (status 0xA700)"},
        {"1.2.826.0.1.3680043.9.7133.4.3", 32766, "failed (status 0xA700)"},  // just over the limit with its header
        {"1.2.826.0.1.3680043.9.7133.4.4", 3000, "stored (status 0x0000)"},
    };
    std::vector<std::string> arguments = {"store", "127.0.0.1", server.portText()};
    for (const Case& row : cases) {
        const std::string path = folders.sources + "/" + row.uid + ".src";
        ASSERT_TRUE(writeObject(path, {row.uid, "FULL^DISK", row.pixelBytes}));
        arguments.push_back(path);
    }
    const ToolRun run = runDicomtk(arguments);
    EXPECT_EQ(run.status, 1) << run.out << run.err;
    for (const Case& row : cases) {
        SCOPED_TRACE(row.uid);
        EXPECT_TRUE(contains(run.out, std::string(row.uid) + ".src: " + row.status)) << run.out;
        const bool stored = contains(row.status, "stored");
        EXPECT_EQ(fileExists(folders.store + "/" + row.uid + ".dcm"), stored);
    }
    EXPECT_TRUE(contains(run.out, "4 files sent, 2 failed")) << run.out;
    // Nothing but the two stored files: no partial file, no temporary.
    EXPECT_EQ(namesIn(folders.store), (std::vector<std::string>{"1.2.826.0.1.3680043.9.7133.4.1.dcm",
                                                                "1.2.826.0.1.3680043.9.7133.4.4.dcm"}));
    // The server says what failed, one line each.
    EXPECT_TRUE(server.waitFor("failed: 0xA700", 2)) << server.output();
    EXPECT_EQ(server.stop(), 0);
}

// A SOP Instance UID that is not 1 to 64 characters of digits in
// dot-separated components is refused with a status of the 0xC000 range,
// and a data set whose UID is not the command's with one of the 0xA900
// range; nothing is written, in the folder or beside it. The association
// goes on: a good object sent after them all is stored.
TEST(StorageServer, UidsThatAreNotFileNamesAreRefusedAndNothingIsWritten) {
    ServerFolders folders;
    StorageServer server(folders.store);
    ASSERT_TRUE(server.ready()) << server.output();
    const std::string sixtyFive = "1." + std::string(63, '3');
    const std::string sixtyFour = "1." + std::string(62, '4');
    struct Case {
        const char* what;
        std::string dataSetUid;  // "" leaves (0008,0018) out
        std::string commandUid;  // the command's Affected SOP Instance UID
        uint16_t statusRange;    // 0xC000 or 0xA900
    };
    const std::vector<Case> cases = {
        {"a parent-folder path", "../x", "../x", 0xC000},
        {"an absolute path", "/etc/x", "/etc/x", 0xC000},
        {"the parent folder", "..", "..", 0xC000},
        {"the folder itself", ".", ".", 0xC000},
        {"a UID with a slash", "1.2.3/4", "1.2.3/4", 0xC000},
        {"a UID of 65 characters", sixtyFive, sixtyFive, 0xC000},
        {"a letter", "1.2.3a", "1.2.3a", 0xC000},
        {"a space inside", "1.2 .3", "1.2 .3", 0xC000},
        {"a backslash", "1.2\\3", "1.2\\3", 0xC000},
        {"a byte above 127", "1.2.\xE9", "1.2.\xE9", 0xC000},
        {"a NUL inside", std::string("1.2\0.3", 6), std::string("1.2\0.3", 6), 0xC000},
        {"a name with its own extension", "1.2.3.dcm", "1.2.3.dcm", 0xC000},
        {"two dots in a row", "1..2", "1..2", 0xC000},
        {"a trailing dot", "1.2.", "1.2.", 0xC000},
        {"a leading dot", ".1.2", ".1.2", 0xC000},
        {"a dash", "-1.2", "-1.2", 0xC000},
        {"no SOP Instance UID in the data set", "", "1.2.826.0.1.3680043.9.7133.5.1", 0xC000},
        {"a data set UID other than the command's", "1.2.826.0.1.3680043.9.7133.5.2",
         "1.2.826.0.1.3680043.9.7133.5.3", 0xA900},
        {"a command without Affected SOP Instance UID", "1.2.826.0.1.3680043.9.7133.5.4", "(none)", 0xA900},
        {"an unsafe command UID over a good data set UID", "1.2.826.0.1.3680043.9.7133.5.5", "../1.2", 0xA900},
    };
    const bool etcHadIt = fileExists("/etc/x.dcm") || fileExists("/etc/x");
    Requester sender;
    ASSERT_TRUE(sender.connect(server.port(), {ctImageStorage}));
    for (const Case& row : cases) {
        SCOPED_TRACE(row.what);
        TestObject object = {row.dataSetUid, "PATH^SAFETY", 64};
        std::unique_ptr<ObjectDataSet> set(makeDataSet(object));
        const bool withCommandUid = row.commandUid != "(none)";
        const uint32_t status = storeByHand(sender, ctImageStorage, withCommandUid ? &row.commandUid : nullptr, set.get());
        ASSERT_NE(status, noResponse);
        EXPECT_EQ(status & 0xFF00u, row.statusRange) << std::hex << status;
        EXPECT_EQ(namesIn(folders.store), std::vector<std::string>{});
        EXPECT_EQ(namesIn(folders.scratch.path()), (std::vector<std::string>{"sources", "store"}));
        EXPECT_EQ(namesIn(folders.sources), std::vector<std::string>{});
    }
    if (!etcHadIt) {
        EXPECT_FALSE(fileExists("/etc/x.dcm") || fileExists("/etc/x"));
    }
    // The longest UID that is a file name is stored, in the same association.
    ASSERT_EQ(storeObject(sender, {sixtyFour, "LONGEST^UID", 64}), StatusSuccess);
    EXPECT_EQ(namesIn(folders.store), std::vector<std::string>{sixtyFour + ".dcm"});
    sender.release();
    // Each refusal is one line of the server's.
    EXPECT_TRUE(server.waitFor("C-STORE of", cases.size())) << server.output();
    EXPECT_TRUE(server.waitFor(std::to_string(cases.size()) + " failed")) << server.output();
    EXPECT_EQ(server.stop(), 0);
}

// A second object with a UID already stored replaces the first, and a
// reader looking at the file meanwhile sees one of the two, complete, and
// never a mixture or a part.
TEST(StorageServer, ASecondObjectWithTheSameUidReplacesTheFirstInOneStep) {
    ServerFolders folders;
    StorageServer server(folders.store, {"--no-fsync"});
    ASSERT_TRUE(server.ready()) << server.output();
    const std::string uid = "1.2.826.0.1.3680043.9.7133.6.1";
    const std::string path = folders.store + "/" + uid + ".dcm";
    const TestObject first = {uid, "FIRST^VERSION", 200000};
    const TestObject second = {uid, "SECOND^VERSION^LONGER", 300000};
    Requester sender;
    ASSERT_TRUE(sender.connect(server.port(), {ctImageStorage}));
    ASSERT_EQ(storeObject(sender, first), StatusSuccess);
    const std::vector<uint8_t> firstBytes = readFile(path);
    ASSERT_EQ(storeObject(sender, second), StatusSuccess);
    const std::vector<uint8_t> secondBytes = readFile(path);
    std::unique_ptr<ObjectDataSet> expected(makeDataSet(second));
    EXPECT_EQ(dataSetText(path), datasets::describe(expected.get()));
    EXPECT_EQ(namesIn(folders.store), std::vector<std::string>{uid + ".dcm"});
    ASSERT_NE(firstBytes, secondBytes);

    std::atomic<bool> storing{true};
    std::atomic<int> reads{0}, torn{0};
    std::thread reader([&] {
        // Bounded: the storing ends, and so does this loop.
        for (int round = 0; round < 100000 && storing; ++round) {
            const std::vector<uint8_t> seen = readFile(path);
            ++reads;
            if (seen != firstBytes && seen != secondBytes) ++torn;
        }
    });
    for (int round = 0; round < 20; ++round) {
        EXPECT_EQ(storeObject(sender, round % 2 == 0 ? first : second), StatusSuccess);
    }
    storing = false;
    reader.join();
    EXPECT_GT(reads, 0);
    EXPECT_EQ(torn, 0);
    EXPECT_EQ(readFile(path), secondBytes);
    EXPECT_EQ(namesIn(folders.store), std::vector<std::string>{uid + ".dcm"});
    sender.release();
    EXPECT_EQ(server.stop(), 0);
}

namespace {

// A C-STORE-RQ command set (implicit VR little endian) whose Affected SOP
// Instance UID claims 0xFFFFFFF0 bytes and holds three.
const uint8_t storeCommandWithHugeLength[] = {
    0x00, 0x00, 0x02, 0x00,  // (0000,0002) Affected SOP Class UID
    0x1A, 0x00, 0x00, 0x00,  // length 26
    '1', '.', '2', '.', '8', '4', '0', '.', '1', '0', '0', '0', '8', '.', '5', '.', '1', '.', '4', '.', '1', '.', '1',
    '.', '2', 0x00,          // CT Image Storage, padded
    0x00, 0x00, 0x00, 0x01,  // (0000,0100) Command Field
    0x02, 0x00, 0x00, 0x00,  // length 2
    0x01, 0x00,              // C-STORE-RQ
    0x00, 0x00, 0x10, 0x01,  // (0000,0110) Message ID
    0x02, 0x00, 0x00, 0x00,  // length 2
    0x07, 0x00,              // 7
    0x00, 0x00, 0x00, 0x08,  // (0000,0800) Command Data Set Type
    0x02, 0x00, 0x00, 0x00,  // length 2
    0x00, 0x00,              // a data set follows
    0x00, 0x00, 0x00, 0x10,  // (0000,1000) Affected SOP Instance UID
    0xF0, 0xFF, 0xFF, 0xFF,  // length 0xFFFFFFF0
    '1', '.', '2',           // and three bytes
};

// A C-STORE-RQ command set whose Message ID element claims 64 bytes where
// two follow (the command ends there).
const uint8_t storeCommandCutShort[] = {
    0x00, 0x00, 0x00, 0x01,  // (0000,0100) Command Field
    0x02, 0x00, 0x00, 0x00,  // length 2
    0x01, 0x00,              // C-STORE-RQ
    0x00, 0x00, 0x10, 0x01,  // (0000,0110) Message ID
    0x40, 0x00, 0x00, 0x00,  // length 64
    0x07, 0x00,              // two bytes of it
};

// A well-formed C-STORE-RQ for CT Image Storage and instance 1.2.3.
const uint8_t storeCommand[] = {
    0x00, 0x00, 0x02, 0x00,  // (0000,0002) Affected SOP Class UID
    0x1A, 0x00, 0x00, 0x00,  // length 26
    '1', '.', '2', '.', '8', '4', '0', '.', '1', '0', '0', '0', '8', '.', '5', '.', '1', '.', '4', '.', '1', '.', '1',
    '.', '2', 0x00,          // CT Image Storage, padded
    0x00, 0x00, 0x00, 0x01,  // (0000,0100) Command Field
    0x02, 0x00, 0x00, 0x00,  // length 2
    0x01, 0x00,              // C-STORE-RQ
    0x00, 0x00, 0x10, 0x01,  // (0000,0110) Message ID
    0x02, 0x00, 0x00, 0x00,  // length 2
    0x07, 0x00,              // 7
    0x00, 0x00, 0x00, 0x07,  // (0000,0700) Priority
    0x02, 0x00, 0x00, 0x00,  // length 2
    0x00, 0x00,              // medium
    0x00, 0x00, 0x00, 0x08,  // (0000,0800) Command Data Set Type
    0x02, 0x00, 0x00, 0x00,  // length 2
    0x00, 0x00,              // a data set follows
    0x00, 0x00, 0x00, 0x10,  // (0000,1000) Affected SOP Instance UID
    0x06, 0x00, 0x00, 0x00,  // length 6
    '1', '.', '2', '.', '3', 0x00,
};

// A data set (implicit VR little endian) whose Patient's Name claims 2 GiB.
const uint8_t dataSetWithHugeLength[] = {
    0x08, 0x00, 0x18, 0x00,  // (0008,0018) SOP Instance UID
    0x06, 0x00, 0x00, 0x00,  // length 6
    '1', '.', '2', '.', '3', 0x00,
    0x10, 0x00, 0x10, 0x00,  // (0010,0010) Patient's Name
    0x00, 0x00, 0x00, 0x80,  // length 0x80000000
    'D', 'O', 'E', ' ',      // and four bytes
};

// A C-FIND-RQ command set: a service the server does not offer.
const uint8_t findCommand[] = {
    0x00, 0x00, 0x00, 0x01,  // (0000,0100) Command Field
    0x02, 0x00, 0x00, 0x00,  // length 2
    0x20, 0x00,              // C-FIND-RQ
    0x00, 0x00, 0x10, 0x01,  // (0000,0110) Message ID
    0x02, 0x00, 0x00, 0x00,  // length 2
    0x09, 0x00,              // 9
};

Bytes bytesOf(const uint8_t* bytes, size_t count) { return Bytes(bytes, bytes + count); }

// A P-DATA-TF whose one PDV claims 100 bytes of the 12 the PDU holds.
const uint8_t pduWithOverlongPdv[] = {
    0x04, 0x00,              // P-DATA-TF, reserved
    0x00, 0x00, 0x00, 0x0C,  // PDU length 12
    0x00, 0x00, 0x00, 0x64,  // PDV length 100
    0x01, 0x03,              // context 1, last fragment of a command
    0x00, 0x00, 0x00, 0x01, 0x02, 0x00,  // six bytes of a command
};

// The first PDU of a peer: an A-ASSOCIATE-RQ proposing CT Image Storage in
// implicit VR little endian as context 1.
Bytes associateRequest() {
    return association::requestBytes({{1, ctImageStorage, {implicitLittle}}}, 16384, "HOSTILE", "DICOMTK");
}

Bytes withLength32(Bytes bytes, size_t at, uint32_t value) {
    for (int index = 0; index < 4; ++index) bytes[at + index] = static_cast<uint8_t>(value >> (24 - 8 * index));
    return bytes;
}

}  // namespace

// While one association is open and idle, another connection misbehaves:
// before negotiating (garbage, a hostile A-ASSOCIATE-RQ) or after (DIMSE
// messages with absurd lengths, a PDV past its PDU, a service that is not
// offered). That connection alone ends, with a line from the server saying
// so; the idle association still answers, and a new peer is served.
TEST(StorageServer, BadPeersEndOnlyTheirOwnAssociation) {
    using association::dataBytes;
    const Bytes request = associateRequest();
    struct Case {
        const char* what;
        Bytes script;
        const char* serverSays;  // part of the server's line about it
    };
    const std::vector<Case> cases = {
        {"an HTTP request", {'G', 'E', 'T', ' ', '/', ' ', 'H', 'T', 'T', 'P', '/', '1', '.', '1', '\r', '\n', '\r', '\n'},
         "not established"},
        {"an A-ASSOCIATE-RQ claiming nearly 4 GiB", withLength32(request, 2, 0xFFFFFFF0u), "not established"},
        {"an A-ASSOCIATE-RQ shorter than it claims, then silence", Bytes(request.begin(), request.begin() + 40),
         "not established"},
        {"a C-STORE command with an element of 0xFFFFFFF0 bytes",
         request + dataBytes({{1, 0x03, bytesOf(storeCommandWithHugeLength, sizeof storeCommandWithHugeLength)}}),
         "aborted"},
        {"a C-STORE command ending inside an element",
         request + dataBytes({{1, 0x03, bytesOf(storeCommandCutShort, sizeof storeCommandCutShort)}}), "aborted"},
        {"a C-STORE data set with an element of 2 GiB",
         request + dataBytes({{1, 0x03, bytesOf(storeCommand, sizeof storeCommand)}}) +
             dataBytes({{1, 0x02, bytesOf(dataSetWithHugeLength, sizeof dataSetWithHugeLength)}}),
         "failed"},
        {"a PDV running past its PDU", request + bytesOf(pduWithOverlongPdv, sizeof pduWithOverlongPdv), "aborted"},
        {"a command on a context never proposed",
         request + dataBytes({{9, 0x03, bytesOf(storeCommand, sizeof storeCommand)}}), "aborted"},
        {"a second A-ASSOCIATE-RQ inside the association", request + request, "aborted"},
        {"a C-FIND request", request + dataBytes({{1, 0x03, bytesOf(findCommand, sizeof findCommand)}}), "aborted"},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(row.what);
        ServerFolders folders;
        StorageServer server(folders.store);
        ASSERT_TRUE(server.ready()) << server.output();
        Requester idle;
        ASSERT_TRUE(idle.connect(server.port(), {verification, ctImageStorage}));

        ScriptedPeer hostile(ScriptedPeer::Role::connect, server.port(), row.script, 10);
        hostile.finish();
        EXPECT_TRUE(hostile.closedByOther) << "the server left the bad peer's connection open";
        // The server's line about the bad peer; about the idle association
        // only the line of its opening: it has not ended.
        EXPECT_TRUE(server.waitFor(row.serverSays)) << server.output();
        const std::string idlePeer = "127.0.0.1:" + std::to_string(localPort(idle.socket.dataSocket));
        for (const std::string& line : lines(server.output())) {
            EXPECT_TRUE(!contains(line, idlePeer) || contains(line, " established: ")) << server.output();
        }

        EXPECT_EQ(echoStatus(idle), StatusSuccess);
        EXPECT_EQ(storeObject(idle, {"1.2.826.0.1.3680043.9.7133.7.1", "AFTER^ATTACK", 64}), StatusSuccess);
        const ToolRun echo = runDicomtk({"echo", "127.0.0.1", server.portText()});
        EXPECT_EQ(echo.status, 0) << echo.err;
        idle.release();
        EXPECT_EQ(namesIn(folders.store), std::vector<std::string>{"1.2.826.0.1.3680043.9.7133.7.1.dcm"});
        EXPECT_EQ(server.stop(), 0);
    }
}

// Connections that say nothing wait for their request time-out on their own
// threads: another peer's echo is answered meanwhile, well before the
// silent ones are dropped.
TEST(StorageServer, SilentConnectionsDoNotHoldUpOtherPeers) {
    ServerFolders folders;
    // A time-out longer than a run of dicomtk may take: a server that served
    // one connection at a time would make the echo below time out.
    StorageServer server(folders.store, {"--request-timeout", "120"});
    ASSERT_TRUE(server.ready()) << server.output();
    std::vector<std::unique_ptr<SocketStream>> silent;
    for (int index = 0; index < 3; ++index) {
        silent.push_back(std::make_unique<SocketStream>());
        ASSERT_EQ(silent.back()->connectTo("127.0.0.1", server.portText().c_str()), 1);
    }
    const ToolRun echo = runDicomtk({"echo", "127.0.0.1", server.portText()});
    EXPECT_EQ(echo.status, 0) << echo.err;
    EXPECT_TRUE(contains(echo.out, "1 C-ECHO answered with success")) << echo.out;
    // The silent connections do not hold up the stop either.
    EXPECT_EQ(server.stop(), 0);
    for (auto& connection : silent) {
        EXPECT_EQ(platform::waitReadable(connection->dataSocket, runSeconds), 1) << "still open after the stop";
    }
}

// With --max-associations 2 and two associations open, a third request is
// not answered until one of them ends; then it is.
TEST(StorageServer, ServesNoMoreThanMaxAssociationsAtOnce) {
    ServerFolders folders;
    StorageServer server(folders.store, {"--max-associations", "2"});
    ASSERT_TRUE(server.ready()) << server.output();
    Requester first, second;
    ASSERT_TRUE(first.connect(server.port(), {verification}));
    ASSERT_TRUE(second.connect(server.port(), {verification}));

    SocketStream third;
    ASSERT_EQ(third.connectTo("127.0.0.1", server.portText().c_str()), 1);
    const Bytes request = association::requestBytes({{1, verification, {implicitLittle}}}, 16384, "THIRD", "DICOMTK");
    ASSERT_EQ(third.sendBytes(request.data(), static_cast<uint32_t>(request.size())), 1);
    // Not answered while two are served (the server's request time-out is
    // 2 s; one served at once would have answered, or dropped it, by then).
    EXPECT_EQ(platform::waitReadable(third.dataSocket, 3), 0);
    EXPECT_EQ(echoStatus(second), StatusSuccess);

    first.release();
    ASSERT_EQ(platform::waitReadable(third.dataSocket, runSeconds), 1);
    uint8_t type = 0;
    ASSERT_EQ(third.receiveBytes(&type, 1), 1);
    EXPECT_EQ(type, 0x02) << "A-ASSOCIATE-AC expected";
    third.closeAll();
    second.release();
    EXPECT_EQ(server.stop(), 0);
}

// SIGTERM and SIGINT end the server with exit status 0 while an association
// is in the middle of sending an object, another is idle and a connection
// has said nothing: what was stored stays, the object cut off leaves no
// file and no temporary.
TEST(StorageServer, SigtermAndSigintEndItCleanly) {
    for (const int signal : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(signal == SIGTERM ? "SIGTERM" : "SIGINT");
        ServerFolders folders;
        StorageServer server(folders.store, {"--request-timeout", "60"});
        ASSERT_TRUE(server.ready()) << server.output();
        const std::string storedUid = "1.2.826.0.1.3680043.9.7133.8.1";
        Requester idle;
        ASSERT_TRUE(idle.connect(server.port(), {ctImageStorage}));
        ASSERT_EQ(storeObject(idle, {storedUid, "STORED^BEFORE", 1000}), StatusSuccess);

        // The command and the first part of a data set; the rest never comes.
        Requester cutOff;
        ASSERT_TRUE(cutOff.connect(server.port(), {ctImageStorage}));
        const uint8_t context = cutOff.contextForSyntaxes(UidValue(ctImageStorage), UidValue(implicitLittle));
        ASSERT_NE(context, 0);
        Bytes part = association::dataBytes({{context, 0x03, bytesOf(storeCommand, sizeof storeCommand)}}) +
                     association::dataBytes({{context, 0x00, Bytes(8000, 0x00)}});
        // The first fragment starts as a data set: SOP Instance UID 1.2.3.
        const Bytes head = bytesOf(dataSetWithHugeLength, 14);
        std::copy(head.begin(), head.end(), part.end() - 8000);
        ASSERT_EQ(cutOff.socket.sendBytes(part.data(), static_cast<uint32_t>(part.size())), 1);

        SocketStream silent;
        ASSERT_EQ(silent.connectTo("127.0.0.1", server.portText().c_str()), 1);

        EXPECT_EQ(server.stop(signal), 0) << server.output();
        EXPECT_TRUE(contains(server.output(), "dicomtk serve: stopped")) << server.output();
        EXPECT_EQ(namesIn(folders.store), std::vector<std::string>{storedUid + ".dcm"});
        EXPECT_EQ(namesIn(folders.scratch.path()), (std::vector<std::string>{"sources", "store"}));
    }
}

// --config: the configuration file decides who may associate, and a file
// that cannot be read stops the server rather than accepting everyone.
TEST(StorageServer, ConfigurationFileDecidesWhoMayAssociate) {
    TemporaryDirectory scratch;
    const std::string configuration = scratch.file("accept.cfg");
    {
        std::ofstream file(configuration);
        file << "# who may send\nscanner ECHOER remoteae\n";
    }
    StorageServer server(scratch.file("store"), {"--config", configuration});
    ASSERT_TRUE(server.ready()) << server.output();
    const ToolRun listed = runDicomtk({"echo", "-aet", "ECHOER", "127.0.0.1", server.portText()});
    EXPECT_EQ(listed.status, 0) << listed.err;
    const ToolRun other = runDicomtk({"echo", "-aet", "INTRUDER", "127.0.0.1", server.portText()});
    EXPECT_NE(other.status, 0);
    EXPECT_TRUE(contains(other.err, "reason 3 (calling AE title not recognised)")) << other.err;

    const ToolRun missing = runDicomtk({"serve", "--port", "1", "--store-dir", scratch.file("other"), "--config",
                                        scratch.file("missing.cfg")});
    EXPECT_EQ(missing.status, 1);
    EXPECT_TRUE(contains(missing.err, "missing.cfg")) << missing.err;
    EXPECT_TRUE(contains(missing.err, "cannot read the configuration")) << missing.err;
}
