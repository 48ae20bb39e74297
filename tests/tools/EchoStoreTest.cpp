// dicomtk echo and dicomtk store as a user runs them against dicomtk serve
// on 127.0.0.1: what they print, what arrives, and their exit status.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "ServeSupport.h"

using namespace serving;

TEST(NetworkCommands, EachHasHelp) {
    for (const char* command : {"echo", "store", "serve"}) {
        SCOPED_TRACE(command);
        const ToolRun run = runDicomtk({command, "--help"});
        EXPECT_EQ(run.status, 0);
        EXPECT_TRUE(contains(run.out, std::string("usage: dicomtk ") + command)) << run.out;
        EXPECT_EQ(run.err, "");
    }
}

TEST(DicomtkEcho, PrintsOneLineWithThePeerAndTheCount) {
    TemporaryDirectory scratch;
    StorageServer server(scratch.file("store"));
    ASSERT_TRUE(server.ready()) << server.output();
    const std::string peer = "127.0.0.1:" + server.portText();
    struct Case {
        std::vector<std::string> options;
        std::string line;
    };
    const std::vector<Case> cases = {
        {{}, peer + ": 1 C-ECHO answered with success in "},
        {{"--repeat", "5"}, peer + ": 5 C-ECHO answered with success in "},
        {{"-aet", "ECHOER", "-aec", "STORE-HERE"}, peer + ": 1 C-ECHO answered with success in "},
    };
    size_t associations = 0;
    for (const Case& row : cases) {
        SCOPED_TRACE(row.line);
        std::vector<std::string> arguments = {"echo"};
        arguments.insert(arguments.end(), row.options.begin(), row.options.end());
        arguments.insert(arguments.end(), {"127.0.0.1", server.portText()});
        const ToolRun run = runDicomtk(arguments);
        EXPECT_EQ(run.status, 0) << run.err;
        ASSERT_EQ(lines(run.out).size(), 1u) << run.out;
        EXPECT_EQ(run.out.rfind(row.line, 0), 0u) << run.out;
        EXPECT_EQ(run.out.substr(run.out.size() - 3), " s\n");
        EXPECT_EQ(run.err, "");
        EXPECT_TRUE(server.waitFor(") released", ++associations)) << server.output();
    }
    // All the repeated echoes went over one association; the titles given
    // are the ones the server saw.
    EXPECT_TRUE(contains(server.output(), "(DICOMTK -> ANY-SCP) released: 0 stored, 0 failed, 5 echoes")) << server.output();
    EXPECT_TRUE(contains(server.output(), "(ECHOER -> STORE-HERE) released: 0 stored, 0 failed, 1 echoes"))
        << server.output();
    EXPECT_EQ(server.stop(), 0);
}

// Nobody listening: one line naming the peer, a non-zero exit status, and
// nothing on standard output.
TEST(DicomtkEcho, NothingListeningIsOneLineNamingThePeer) {
    const uint16_t port = platform::freeLocalPort();
    ASSERT_NE(port, 0);
    const ToolRun run = runDicomtk({"echo", "127.0.0.1", std::to_string(port)});
    EXPECT_NE(run.status, 0);
    EXPECT_NE(run.status, -1) << "did not end by itself";
    EXPECT_EQ(run.out, "");
    ASSERT_EQ(lines(run.err).size(), 1u) << run.err;
    EXPECT_EQ(run.err.rfind("dicomtk: 127.0.0.1:" + std::to_string(port) + ": ", 0), 0u) << run.err;
}

TEST(DicomtkEcho, BadArgumentsAreRefusedWithAMessage) {
    struct Case {
        std::vector<std::string> arguments;
        std::string message;
    };
    const std::vector<Case> cases = {
        {{"echo", "--repeat", "0", "127.0.0.1", "104"}, "dicomtk: echo: --repeat needs a count from 1 on, not '0'"},
        {{"echo", "--repeat", "x", "127.0.0.1", "104"}, "dicomtk: echo: --repeat needs a count from 1 on, not 'x'"},
        {{"echo", "127.0.0.1"}, "dicomtk: echo: HOST and PORT are needed"},
        {{"echo", "-aet", "SEVENTEEN-LETTERS", "127.0.0.1", "104"}, "calling AE title 'SEVENTEEN-LETTERS' is not valid"},
        {{"echo", "-aec", "", "127.0.0.1", "104"}, "called AE title '' is not valid"},
        {{"echo", "--frobnicate", "127.0.0.1", "104"}, "unknown option --frobnicate"},
        {{"echo", "127.0.0.1", "104", "extra"}, "unexpected argument extra"},
        {{"echo", "--request-timeout", "0", "127.0.0.1", "104"}, "dicomtk: echo: --request-timeout needs seconds from 1 to 3600"},
        {{"store", "--request-timeout", "3601", "127.0.0.1", "104", "x.dcm"},
         "dicomtk: store: --request-timeout needs seconds from 1 to 3600"},
        {{"find", "--request-timeout", "1s", "127.0.0.1", "104"}, "dicomtk: find: --request-timeout needs seconds from 1 to 3600"},
        {{"store", "127.0.0.1", "104"}, "dicomtk: store: no file to send"},
        {{"serve", "--port", "0"}, "dicomtk: serve: --port needs a port number"},
        {{"serve", "--max-associations", "0"}, "dicomtk: serve: --max-associations needs a count from 1 to 1000"},
        {{"serve", "--request-timeout", "never"}, "dicomtk: serve: --request-timeout needs seconds from 1 to 3600"},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(row.message);
        const ToolRun run = runDicomtk(row.arguments);
        EXPECT_NE(run.status, 0);
        EXPECT_NE(run.status, -1);
        EXPECT_TRUE(contains(run.err, row.message)) << run.err;
    }
}

// -r sends every file under the directories given, all in one association,
// one line per file with its status and a summary line.
TEST(DicomtkStore, SendsDirectoriesRecursivelyInOneAssociation) {
    TemporaryDirectory scratch;
    StorageServer server(scratch.file("store"));
    ASSERT_TRUE(server.ready()) << server.output();
    const std::string tree = scratch.file("tree");
    std::filesystem::create_directories(tree + "/series1/deeper");
    std::filesystem::create_directories(tree + "/series2");
    const std::vector<std::string> files = {"series1/a.dcm", "series1/deeper/b", "series2/c.dcm", "top.dcm"};
    std::vector<std::string> expected;
    for (size_t index = 0; index < files.size(); ++index) {
        const std::string uid = "1.2.826.0.1.3680043.9.7133.9." + std::to_string(index + 1);
        ASSERT_TRUE(writeObject(tree + "/" + files[index], {uid, "TREE^WALK", 100 * (index + 1)},
                                index % 2 == 0 ? explicitLittle : implicitLittle));
        expected.push_back(uid + ".dcm");
    }
    const std::string single = scratch.file("single.dcm");
    ASSERT_TRUE(writeObject(single, {"1.2.826.0.1.3680043.9.7133.9.9", "SINGLE^FILE", 64}));
    expected.push_back("1.2.826.0.1.3680043.9.7133.9.9.dcm");

    const ToolRun run = runDicomtk({"store", "-r", "127.0.0.1", server.portText(), tree, single});
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_EQ(run.err, "");
    const std::vector<std::string> printed = lines(run.out);
    ASSERT_EQ(printed.size(), files.size() + 2) << run.out;
    for (const std::string& file : files) {
        EXPECT_TRUE(contains(run.out, tree + "/" + file + ": stored (status 0x0000)\n")) << file << "\n" << run.out;
    }
    EXPECT_TRUE(contains(run.out, single + ": stored (status 0x0000)\n")) << run.out;
    EXPECT_EQ(printed.back().rfind("5 files sent, 0 failed, ", 0), 0u) << printed.back();
    EXPECT_TRUE(contains(printed.back(), " MB/s)")) << printed.back();
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(namesIn(server.folder()), expected);
    EXPECT_TRUE(server.waitFor("(DICOMTK -> ANY-SCP) released: 5 stored, 0 failed, 0 echoes")) << server.output();
    EXPECT_EQ(server.stop(), 0);
}

// Files of one SOP class in the three transfer syntaxes: each needs a
// presentation context of its own, since the peer accepts one transfer
// syntax per context. All three are stored, in one association, each with
// its values as sent (the big-endian one can only travel as big endian).
TEST(DicomtkStore, OneSopClassInThreeTransferSyntaxesGoesInOneAssociation) {
    TemporaryDirectory scratch;
    StorageServer server(scratch.file("store"));
    ASSERT_TRUE(server.ready()) << server.output();
    const std::vector<std::pair<std::string, std::string>> files = {
        {"1.2.826.0.1.3680043.9.7133.12.1", implicitLittle},
        {"1.2.826.0.1.3680043.9.7133.12.2", explicitBig},
        {"1.2.826.0.1.3680043.9.7133.12.3", explicitLittle},
    };
    std::vector<std::string> arguments = {"store", "127.0.0.1", server.portText()};
    for (const auto& file : files) {
        ASSERT_TRUE(writeObject(scratch.file(file.first + ".src"), {file.first, "ONE^CLASS", 96, mrImageStorage}, file.second));
        arguments.push_back(scratch.file(file.first + ".src"));
    }
    const ToolRun run = runDicomtk(arguments);
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    for (const auto& file : files) {
        SCOPED_TRACE(file.second);
        const std::string stored = server.folder() + "/" + file.first + ".dcm";
        EXPECT_EQ(dataSetText(stored), dataSetText(scratch.file(file.first + ".src")));
        if (file.second == explicitBig) {
            EXPECT_EQ(metaText(stored, 0x0010), explicitBig);
        }
    }
    EXPECT_TRUE(server.waitFor("(DICOMTK -> ANY-SCP) released: 3 stored, 0 failed")) << server.output();
    EXPECT_EQ(server.stop(), 0);
}

// Files that cannot be used are named on standard error and skipped; the
// others are still sent; the exit status says that something failed.
TEST(DicomtkStore, AFileThatCannotBeReadIsReportedAndSkipped) {
    TemporaryDirectory scratch;
    StorageServer server(scratch.file("store"));
    ASSERT_TRUE(server.ready()) << server.output();
    const std::string good1 = scratch.file("good1.dcm"), good2 = scratch.file("good2.dcm");
    ASSERT_TRUE(writeObject(good1, {"1.2.826.0.1.3680043.9.7133.10.1", "GOOD^ONE", 64}));
    ASSERT_TRUE(writeObject(good2, {"1.2.826.0.1.3680043.9.7133.10.2", "GOOD^TWO", 64}));
    const std::string text = scratch.file("notes.txt");
    writeFile(text, std::vector<uint8_t>(300, 'x'));
    const std::string missing = scratch.file("missing.dcm");
    const std::string withoutUid = scratch.file("nouid.dcm");
    ASSERT_TRUE(writeObject(withoutUid, {"", "NO^UID", 64}));
    const std::string folder = scratch.file("folder");
    std::filesystem::create_directory(folder);

    const ToolRun run = runDicomtk({"store", "127.0.0.1", server.portText(), text, good1, missing, withoutUid, folder, good2});
    EXPECT_EQ(run.status, 1) << run.out << run.err;
    for (const std::string& message : {"dicomtk: " + text + ": not DICOM", "dicomtk: " + missing + ": cannot open",
                                       "dicomtk: " + withoutUid + ": has no SOP Class UID or SOP Instance UID",
                                       "dicomtk: " + folder + ": is a directory"}) {
        EXPECT_TRUE(contains(run.err, message)) << message << "\n" << run.err;
    }
    EXPECT_EQ(lines(run.err).size(), 4u) << run.err;
    EXPECT_TRUE(contains(run.out, good1 + ": stored (status 0x0000)\n")) << run.out;
    EXPECT_TRUE(contains(run.out, good2 + ": stored (status 0x0000)\n")) << run.out;
    EXPECT_EQ(lines(run.out).back().rfind("2 files sent, 4 failed, ", 0), 0u) << run.out;
    EXPECT_EQ(namesIn(server.folder()), (std::vector<std::string>{"1.2.826.0.1.3680043.9.7133.10.1.dcm",
                                                                   "1.2.826.0.1.3680043.9.7133.10.2.dcm"}));
    EXPECT_EQ(server.stop(), 0);
}

// Nothing to send at all, or nobody to send it to: a message and exit 1.
TEST(DicomtkStore, NoUsableFileOrNoPeerFails) {
    TemporaryDirectory scratch;
    const std::string good = scratch.file("good.dcm");
    ASSERT_TRUE(writeObject(good, {"1.2.826.0.1.3680043.9.7133.11.1", "GOOD^ONE", 64}));
    const uint16_t port = platform::freeLocalPort();
    const ToolRun nobody = runDicomtk({"store", "127.0.0.1", std::to_string(port), good});
    EXPECT_EQ(nobody.status, 1);
    EXPECT_EQ(nobody.err.rfind("dicomtk: 127.0.0.1:" + std::to_string(port) + ": ", 0), 0u) << nobody.err;
    EXPECT_EQ(lines(nobody.err).size(), 1u) << nobody.err;

    const ToolRun nothing = runDicomtk({"store", "127.0.0.1", std::to_string(port), scratch.file("missing.dcm")});
    EXPECT_EQ(nothing.status, 1);
    EXPECT_TRUE(contains(nothing.err, "missing.dcm: cannot open")) << nothing.err;
    EXPECT_EQ(nothing.out, "0 files sent, 1 failed\n");
}
