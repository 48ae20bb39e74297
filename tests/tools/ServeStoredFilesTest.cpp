// How dicomtk serve puts a received object on disk, watched from outside
// the running server: the file reaches the disk before it takes its name,
// the name reaches the disk before Success goes out, a rename that fails
// answers a failure and leaves nothing, and every file names its sender.

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "ServeSupport.h"

using namespace serving;

namespace {

const char* const strace = "/usr/bin/strace";

struct ServerFolders {
    TemporaryDirectory scratch;
    std::string store = scratch.file("store");
    ServerFolders() { std::filesystem::create_directory(store); }
};

// The first line at or after from holding every one of parts; lines.size()
// when none does.
size_t lineWith(const std::vector<std::string>& trace, size_t from, const std::vector<std::string>& parts) {
    for (size_t index = from; index < trace.size(); ++index) {
        bool all = true;
        for (const std::string& part : parts) all = all && contains(trace[index], part);
        if (all) return index;
    }
    return trace.size();
}

// Options that run setup in the shell before the program.
ChildOptions shellSetup(const std::string& setup) {
    ChildOptions options;
    options.setup = setup;
    return options;
}

}  // namespace

// The order that makes Success a promise a crash cannot break, seen in the
// system calls of the running server (strace attached to it): fsync of the
// temporary file, its rename to <SOP Instance UID>.dcm, fsync of the folder,
// and only then the P-DATA-TF that carries the C-STORE response.
TEST(StorageServer, SyncsTheFileThenRenamesItThenSyncsTheFolderThenAnswers) {
    if (!fileExists(strace)) GTEST_SKIP() << "strace is not installed";
    ServerFolders folders;
    StorageServer server(folders.store);
    ASSERT_TRUE(server.ready()) << server.output();
    const std::string traceFile = folders.scratch.file("trace");
    ChildProcess tracer;
    // strace says on its standard error when it has attached: merged into
    // the output the test can wait on.
    ASSERT_TRUE(tracer.start({strace, "-f", "-y", "-x", "-o", traceFile, "-e",
                              "trace=fsync,fdatasync,rename,renameat,renameat2,sendto,write", "-p",
                              std::to_string(server.process().pid())},
                             shellSetup("exec 2>&1;")));
    ASSERT_TRUE(tracer.waitForOutput("attached", runSeconds)) << tracer.out();

    const TestObject object = {"1.2.826.0.1.3680043.9.7133.20.1", "DURABLE^DORA", 20000};
    Requester sender;
    ASSERT_TRUE(sender.connect(server.port(), {ctImageStorage}));
    ASSERT_EQ(storeObject(sender, object), StatusSuccess);
    sender.release();
    // The association's last line: every call of its thread is in the trace.
    ASSERT_TRUE(server.waitFor("released: 1 stored")) << server.output();
    tracer.sendSignal(SIGINT);
    tracer.wait(runSeconds);

    std::vector<std::string> trace;
    {
        std::ifstream file(traceFile);
        for (std::string line; std::getline(file, line);) trace.push_back(line);
    }
    const std::string all = [&] {
        std::string text;
        for (const std::string& line : trace) text += line.substr(0, 240) + "\n";
        return text;
    }();
    const std::string temporary = "/.incoming-" + object.sopInstanceUid + "-";
    const std::string folder = std::filesystem::canonical(folders.store).string();
    const size_t end = trace.size();
    const size_t fileSynced = lineWith(trace, 0, {"fsync(", temporary, ".tmp>)"});
    const size_t renamed = lineWith(trace, 0, {"rename", temporary, "/" + object.sopInstanceUid + ".dcm\""});
    const size_t folderSynced = renamed == end ? end : lineWith(trace, renamed, {"fsync(", "<" + folder + ">)"});
    // The first P-DATA-TF the server sends: the C-STORE response.
    const size_t answered = lineWith(trace, 0, {"sendto(", "socket:", "\"\\x04\\x00"});
    ASSERT_NE(fileSynced, end) << "the temporary file was never synced\n" << all;
    ASSERT_NE(renamed, end) << "no rename to the final name\n" << all;
    ASSERT_NE(folderSynced, end) << "the folder was not synced after the rename\n" << all;
    ASSERT_NE(answered, end) << "no P-DATA-TF sent\n" << all;
    EXPECT_LT(fileSynced, renamed) << all;
    EXPECT_LT(folderSynced, answered) << all;
    EXPECT_EQ(namesIn(folders.store), std::vector<std::string>{object.sopInstanceUid + ".dcm"});
    EXPECT_EQ(server.stop(), 0);
}

// A rename that fails (the final name is taken by a folder that is not
// empty) answers 0xA700, leaves the folder as it was and no temporary file;
// the association goes on and stores the next object.
TEST(StorageServer, AFailedRenameAnswersOutOfResourcesAndLeavesNoTemporaryFile) {
    ServerFolders folders;
    StorageServer server(folders.store);
    ASSERT_TRUE(server.ready()) << server.output();
    const TestObject blocked = {"1.2.826.0.1.3680043.9.7133.21.1", "BLOCKED^BOB", 2000};
    const TestObject next = {"1.2.826.0.1.3680043.9.7133.21.2", "NEXT^NED", 2000};
    const std::string taken = folders.store + "/" + blocked.sopInstanceUid + ".dcm";
    std::filesystem::create_directory(taken);
    writeFile(taken + "/keep", {'k', 'e', 'p', 't'});

    Requester sender;
    ASSERT_TRUE(sender.connect(server.port(), {ctImageStorage}));
    EXPECT_EQ(storeObject(sender, blocked), 0xA700u);
    EXPECT_EQ(namesIn(folders.store), std::vector<std::string>{blocked.sopInstanceUid + ".dcm"});
    EXPECT_TRUE(std::filesystem::is_directory(taken));
    EXPECT_EQ(readFile(taken + "/keep"), (std::vector<uint8_t>{'k', 'e', 'p', 't'}));
    EXPECT_EQ(storeObject(sender, next), StatusSuccess);
    EXPECT_EQ(namesIn(folders.store),
              (std::vector<std::string>{blocked.sopInstanceUid + ".dcm", next.sopInstanceUid + ".dcm"}));
    sender.release();
    EXPECT_TRUE(server.waitFor("failed: 0xA700")) << server.output();
    EXPECT_EQ(server.stop(), 0);
}

// Source Application Entity Title (0002,0016) of a stored file is the
// calling AE title of the association that brought it, without the spaces
// that pad it on the wire and padded to even length with a space in the
// file, whoever sends: the toolkit's requester or dicomtk store.
TEST(StorageServer, StoredFilesNameTheCallingAeTitleAsTheirSource) {
    ServerFolders folders;
    StorageServer server(folders.store);
    ASSERT_TRUE(server.ready()) << server.output();
    struct Case {
        std::string callingAeTitle;
        std::string fileValue;  // the element's value bytes in the file
        bool withDicomtkStore;
    };
    const std::vector<Case> cases = {
        {"SCANNER", "SCANNER ", false},
        {"CT_ROOM_2", "CT_ROOM_2 ", false},
        {"SIXTEEN_CHARS_AE", "SIXTEEN_CHARS_AE", false},
        {"MODALITY4", "MODALITY4 ", true},
    };
    for (size_t index = 0; index < cases.size(); ++index) {
        const Case& row = cases[index];
        SCOPED_TRACE(row.callingAeTitle);
        const TestObject object = {"1.2.826.0.1.3680043.9.7133.22." + std::to_string(index + 1), "SENT^BY", 64};
        if (row.withDicomtkStore) {
            const std::string source = folders.scratch.file("source.dcm");
            ASSERT_TRUE(writeObject(source, object));
            const ToolRun run = runDicomtk({"store", "-aet", row.callingAeTitle, "127.0.0.1", server.portText(), source});
            ASSERT_EQ(run.status, 0) << run.out << run.err;
        } else {
            Requester sender;
            sender.setCallingAeTitle(row.callingAeTitle.c_str());
            ASSERT_TRUE(sender.connect(server.port(), {ctImageStorage}));
            ASSERT_EQ(storeObject(sender, object), StatusSuccess);
            sender.release();
        }
        const std::string stored = folders.store + "/" + object.sopInstanceUid + ".dcm";
        EXPECT_EQ(metaText(stored, 0x0016), row.callingAeTitle);
        // The element as bytes: explicit VR little endian, AE, even length.
        std::string element = std::string("\x02\x00\x16\x00", 4) + "AE" +
                              std::string(1, static_cast<char>(row.fileValue.size())) + std::string(1, '\0') +
                              row.fileValue;
        const std::vector<uint8_t> bytes = readFile(stored);
        EXPECT_TRUE(contains(std::string(bytes.begin(), bytes.end()), element));
    }
    EXPECT_EQ(server.stop(), 0);
}
