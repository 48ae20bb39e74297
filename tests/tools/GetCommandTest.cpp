// dicomtk get: its arguments, what it proposes (against a peer that
// answers each request with bytes made for the test), and what it keeps
// from a C-GET provider built on the toolkit (pydicom's compressed sample
// files, each sent in its own transfer syntax).

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "../dimse/DimseFixtures.h"
#include "AnsweringPeer.h"
#include "RetrieveScripts.h"
#include "ServeSupport.h"
#include "dimse/QueryRetrieveSopClasses.h"
#include "encoding/StandardEncodingService.h"

using namespace serving;
using namespace retrieving;
using association::Bytes;
using association::operator+;

namespace {

const char* const sampleFolder = "/usr/lib/python3/dist-packages/pydicom/data/test_files";

// A DICOM file's data set (without its meta group) as text, read with the
// codecs dicomtk uses, which read every standard transfer syntax; "" when
// it does not load completely.
std::string standardDataSetText(const std::string& path) {
    StandardEncodingService service;
    int decoded = 0;
    std::unique_ptr<ObjectDataSet> set(service.loadFile(path.c_str(), &decoded));
    if (!set || decoded != 1) return "";
    ObjectDataSet withoutMeta;
    while (DataElement* element = set->nextElement()) {
        if (element->group == 0x0002 || withoutMeta.addElement(element) == 0) delete element;
    }
    return datasets::describe(&withoutMeta);
}

std::string elementText(DataSet& set, uint16_t group, uint16_t element) {
    return unpadded(dimse::valueText(set, group, element));
}

// dicomtk get's peer played by the toolkit, on its own thread, for at most
// two associations: a Study Root C-FIND provider that answers one match
// naming namedClasses as SOP Classes in Study, and a Study Root C-GET
// provider that sends every file it holds, each on a context of the file's
// own transfer syntax.
class FileProvider {
public:
    FileProvider(std::vector<std::string> files, std::string namedClasses)
        : port(platform::freeLocalPort()), get_(service_, std::move(files)), find_(std::move(namedClasses)) {
        SocketStream listener;
        listener.listenOn(std::to_string(port).c_str());
        listening_ = listener.listenSocket;
        listener.listenSocket = 0;
        listener.listening = 0;
        thread_ = std::thread([this] { serve(); });
    }
    ~FileProvider() {
        if (thread_.joinable()) thread_.join();
        platform::closeSocket(listening_);
    }

    void finish() {
        if (thread_.joinable()) thread_.join();
    }

    uint16_t port;
    int associations = 0;
    bool askedForSopClasses() const { return find_.asked; }

private:
    class Service : public StandardEncodingService {
    public:
        int acceptRequesterScpRole(const RoleSelectionItem&) override { return 1; }
        int acceptTransferSyntax(const TransferSyntaxItem& proposed) override {
            return handlesTransferSyntax(proposed.value.text());
        }
    };

    class AnyClass : public StorageSopClass {
    public:
        int sopClassUid(UidValue& out) override { return out.assign(sopClass.c_str()); }
        std::string sopClass;
    };

    class NamingFind : public StudyRootFind {
    public:
        explicit NamingFind(std::string named) : named_(std::move(named)) {}
        int findMatches(DataSet* identifier, IndexedList<DataSet*>& results) override {
            asked = identifier->find(0x0008, 0x0062) != nullptr;
            auto* match = new ObjectDataSet;
            match->addElement(textElement(0x0008, 0x0052, "STUDY ", vrCode('C', 'S')));
            match->addElement(textElement(0x0008, 0x0062, uidValue(named_), vrCode('U', 'I')));
            results.tryAppend(match);
            return 1;
        }
        bool asked = false;

    private:
        std::string named_;
    };

    class FileGet : public StudyRootGet {
    public:
        FileGet(Service& service, std::vector<std::string> files) : service_(service), files_(std::move(files)) {}
        int findMatches(DataSet*, IndexedList<DataSet*>& results) override {
            for (size_t index = 0; index < files_.size(); ++index) {
                std::unique_ptr<ObjectDataSet> file(service_.loadFile(files_[index].c_str()));
                if (!file) continue;
                auto* match = new ObjectDataSet;
                match->addElement(textElement(0x0008, 0x0016, dimse::valueText(*file, 0x0008, 0x0016)));
                match->addElement(textElement(0x0008, 0x0018, dimse::valueText(*file, 0x0008, 0x0018)));
                match->addElement(textElement(0x0009, 0x0010, std::to_string(index)));
                results.tryAppend(match);
            }
            return 1;
        }
        int prepareSubOperation(DataSet* match, DataSet*& dataSet, StorageSopClass*& storage) override {
            const size_t index = std::stoul(dimse::valueText(*match, 0x0009, 0x0010));
            std::unique_ptr<ObjectDataSet> file(service_.loadFile(files_[index].c_str()));
            if (!file) return 0;
            storage_.sopClass = elementText(*file, 0x0008, 0x0016);
            service_.preferredTransferSyntax.assign(elementText(*file, 0x0002, 0x0010).c_str());
            auto* set = new ObjectDataSet;
            while (DataElement* element = file->nextElement()) {
                if (element->group == 0x0002 || set->addElement(element) == 0) delete element;
            }
            dataSet = set;
            storage = &storage_;
            return 1;
        }

    private:
        Service& service_;
        std::vector<std::string> files_;
        AnyClass storage_;
    };

    void serve() {
        service_.requestTimeoutSeconds = 10;
        service_.socket.timeoutSeconds = 10;
        for (int round = 0; round < 2; ++round) {
            if (platform::waitReadable(listening_, 10) != 1 || service_.serveOnListener(listening_) == 0) return;
            ++associations;
            for (;;) {
                CommandSet command;
                if (!service_.readMessage(command)) break;
                if (!find_.handleCommand(&service_, &command) && !get_.handleCommand(&service_, &command)) break;
            }
            service_.socket.closeAll();
        }
    }

    Service service_;
    FileGet get_;
    NamingFind find_;
    SocketHandle listening_ = 0;
    std::thread thread_;
};

}  // namespace

TEST(DicomtkGet, BadArgumentsAreRefusedWithAMessage) {
    TemporaryDirectory scratch;
    const std::string file = scratch.file("plain");
    writeFile(file, {'x'});
    struct Case {
        std::vector<std::string> arguments;
        std::string message;
    };
    const std::vector<Case> cases = {
        {{"get", "127.0.0.1", "104"}, "dicomtk: get: -L LEVEL is needed"},
        {{"get", "-L", "FRAME", "127.0.0.1", "104"}, "dicomtk: get: level 'FRAME' is none of PATIENT, STUDY, SERIES, IMAGE"},
        {{"get", "-S", "-L", "PATIENT", "127.0.0.1", "104"}, "dicomtk: get: the Study Root model has no PATIENT level"},
        {{"get", "-P", "-S", "-L", "STUDY", "127.0.0.1", "104"}, "dicomtk: get: -P and -S exclude each other"},
        {{"get", "-L", "STUDY", "-k", "NoSuchKeyword=1", "127.0.0.1", "104"},
         "dicomtk: get: key 'NoSuchKeyword=1' is not gggg,eeee[=VALUE] or KEYWORD[=VALUE]"},
        {{"get", "-L", "STUDY", "-k", "0002,0010=1", "127.0.0.1", "104"},
         "dicomtk: get: key '0002,0010=1' names no attribute of an identifier"},
        {{"get", "-L", "STUDY", "-k"}, "dicomtk: get: missing value after -k"},
        {{"get", "-L", "STUDY", "127.0.0.1", "104", "--out"}, "dicomtk: get: missing value after --out"},
        {{"get", "-L", "STUDY", "--out", "", "127.0.0.1", "104"}, "dicomtk: get: --out needs a folder"},
        {{"get", "-L", "STUDY", "--dest", "X", "127.0.0.1", "104"}, "dicomtk: get: unknown option --dest"},
        {{"get", "-L", "STUDY", "127.0.0.1"}, "dicomtk: get: HOST and PORT are needed"},
        {{"get", "-L", "STUDY", "127.0.0.1", "104", "extra"}, "dicomtk: get: unexpected argument extra"},
        {{"get", "-L", "STUDY", "-aec", "SEVENTEEN-LETTERS", "127.0.0.1", "104"},
         "dicomtk: get: called AE title 'SEVENTEEN-LETTERS' is not valid"},
        {{"get", "-L", "STUDY", "--request-timeout", "0", "127.0.0.1", "104"},
         "dicomtk: get: --request-timeout needs seconds from 1 to 3600"},
        {{"get", "-L", "STUDY", "--out", file, "127.0.0.1", "104"},
         "dicomtk: " + file + ": is not a folder and cannot be made one"},
        {{"find", "--out", "x", "127.0.0.1", "104"}, "dicomtk: find: unknown option --out"},
        {{"move", "-L", "STUDY", "--out", "x", "--dest", "X", "127.0.0.1", "104"}, "dicomtk: move: unknown option --out"},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(row.message);
        const ToolRun run = runDicomtk(row.arguments);
        EXPECT_EQ(run.status, 1) << run.err;
        EXPECT_EQ(run.out, "");
        ASSERT_FALSE(lines(run.err).empty());
        EXPECT_EQ(lines(run.err).back(), row.message);
    }
    const ToolRun help = runDicomtk({"get", "--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind("usage: dicomtk get ", 0), 0u) << help.out;
}

// A STUDY level get asks the peer first, on an association of its own,
// which SOP classes the study holds; the association of the C-GET then
// offers those in every transfer syntax dicomtk keeps, and the common
// storage classes besides, each with a role selection asking for the SCP
// role, within the 128 contexts of one association.
TEST(DicomtkGet, ProposesTheNamedAndTheCommonStorageClassesWithTheScpRole) {
    const std::string named = "1.2.826.0.1.3680043.9.7133.77.1";
    const std::vector<std::string> common = {
        "1.2.840.10008.5.1.4.1.1.2",     "1.2.840.10008.5.1.4.1.1.4",     "1.2.840.10008.5.1.4.1.1.1",
        "1.2.840.10008.5.1.4.1.1.1.1",   "1.2.840.10008.5.1.4.1.1.1.1.1", "1.2.840.10008.5.1.4.1.1.6.1",
        "1.2.840.10008.5.1.4.1.1.3.1",   "1.2.840.10008.5.1.4.1.1.7",     "1.2.840.10008.5.1.4.1.1.7.1",
        "1.2.840.10008.5.1.4.1.1.7.2",   "1.2.840.10008.5.1.4.1.1.7.3",   "1.2.840.10008.5.1.4.1.1.7.4",
        "1.2.840.10008.5.1.4.1.1.20",    "1.2.840.10008.5.1.4.1.1.128",   "1.2.840.10008.5.1.4.1.1.481.1",
        "1.2.840.10008.5.1.4.1.1.481.2", "1.2.840.10008.5.1.4.1.1.481.3", "1.2.840.10008.5.1.4.1.1.481.5",
        "1.2.840.10008.5.1.4.1.1.2.1",   "1.2.840.10008.5.1.4.1.1.4.1",   "1.2.840.10008.5.1.4.1.1.1.2",
        "1.2.840.10008.5.1.4.1.1.1.2.1", "1.2.840.10008.5.1.4.1.1.12.1",  "1.2.840.10008.5.1.4.1.1.12.2",
    };
    const std::vector<std::string> everySyntax = {
        explicitLittle,           implicitLittle,           "1.2.840.10008.1.2.4.50", "1.2.840.10008.1.2.4.51",
        "1.2.840.10008.1.2.4.57", "1.2.840.10008.1.2.4.70", "1.2.840.10008.1.2.4.80", "1.2.840.10008.1.2.4.81",
        "1.2.840.10008.1.2.4.90", "1.2.840.10008.1.2.4.91", "1.2.840.10008.1.2.5",
    };

    std::unique_ptr<CommandSet> findRequest;
    Bytes findIdentifier;
    AssociateRequestPdu getAssociation;
    bool requestDecoded = false;
    AnsweringPeer::Connection find;
    find.opening = association::acceptBytes({{1, ContextAccepted, implicitLittle}});
    find.script = [&](AnsweringPeer& peer) {
        findRequest = peer.nextCommand(&findIdentifier);
        if (!findRequest) return;
        const uint16_t id = findRequest->findU16(0x0000, MessageId);
        const Bytes match = dimse::implicitBytes({textElement(0x0008, 0x0052, "STUDY ", vrCode('C', 'S')),
                                                  textElement(0x0008, 0x0062, uidValue(named + "\\" + common[0]),
                                                              vrCode('U', 'I'))});
        peer.send(commandPdu(1, retrieveResponse(studyRootFindUid, CFindResponse, id, StatusPending, true)) +
                  dataSetPdu(1, match) +
                  commandPdu(1, retrieveResponse(studyRootFindUid, CFindResponse, id, StatusSuccess, false)) +
                  association::releaseResponse);
    };
    AnsweringPeer::Connection get;
    get.script = [&](AnsweringPeer& peer) {
        requestDecoded = peer.associateRequest(getAssociation);
        if (!requestDecoded) return;
        std::map<std::string, uint8_t> contextOf;
        peer.send(acceptFor(getAssociation, {studyRootGetUid}, {}, contextOf));
        std::unique_ptr<CommandSet> request = peer.nextCommand();
        if (!request) return;
        peer.send(commandPdu(peer.lastContextId, retrieveResponse(studyRootGetUid, CGetResponse, request->findU16(0x0000, MessageId),
                                                 StatusSuccess, false, -1, 0)) +
                  association::releaseResponse);
    };
    const uint16_t port = platform::freeLocalPort();
    AnsweringPeer peer(port, {find, get});
    TemporaryDirectory scratch;
    const ToolRun run = runDicomtk({"get", "-S", "-L", "STUDY", "-k", "StudyInstanceUID=1.2.3", "--out",
                                   scratch.file("out"), "127.0.0.1", std::to_string(port)});
    peer.finish();
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_TRUE(contains(run.out, "final 0x0000: completed 0, failed 0, warning 0\n")) << run.out;

    // The C-FIND asked for the SOP Classes in Study, with the get's keys.
    ASSERT_TRUE(findRequest != nullptr);
    EXPECT_EQ(findRequest->findU16(0x0000, CommandField), CFindRequest);
    std::unique_ptr<ObjectDataSet> identifier = dimse::decodeDataSet(findIdentifier);
    ASSERT_TRUE(identifier != nullptr);
    EXPECT_EQ(dimse::valueText(*identifier, 0x0008, 0x0062), "");
    EXPECT_EQ(elementText(*identifier, 0x0008, 0x0052), "STUDY");
    EXPECT_EQ(elementText(*identifier, 0x0020, 0x000D), "1.2.3");

    ASSERT_TRUE(requestDecoded);
    const uint32_t contexts = getAssociation.presentationContexts.count();
    EXPECT_EQ(contexts, 128u);
    EXPECT_EQ(textOf(getAssociation.presentationContexts.at(0)->element.abstractSyntax.value), studyRootGetUid);
    std::set<uint8_t> ids;
    for (uint32_t index = 0; index < contexts; ++index) {
        const uint8_t id = getAssociation.presentationContexts.at(index)->element.contextId;
        EXPECT_EQ(id % 2, 1) << int(id);
        ids.insert(id);
    }
    EXPECT_EQ(ids.size(), contexts) << "context IDs repeat";
    // Each class's offers, and its role selection.
    std::map<std::string, std::set<std::string>> offered;
    for (uint32_t index = 1; index < contexts; ++index) {
        PresentationContextItem& context = getAssociation.presentationContexts.at(index)->element;
        for (uint32_t syntax = 0; syntax < context.transferSyntaxCount(); ++syntax) {
            offered[textOf(context.abstractSyntax.value)].insert(textOf(context.transferSyntaxAt(syntax)->value));
        }
    }
    std::map<std::string, std::pair<int, int>> roles;
    UserInformationItem& information = getAssociation.userInformation;
    for (uint32_t index = 0; index < information.roleSelections.count(); ++index) {
        const RoleSelectionItem& role = information.roleSelections.at(index)->element;
        roles[textOf(role.sopClassUid)] = {role.scuRole, role.scpRole};
    }
    for (const std::string& syntax : everySyntax) {
        EXPECT_EQ(offered[named].count(syntax), 1u) << "the named class in " << syntax;
        EXPECT_EQ(offered[common[0]].count(syntax), 1u) << "CT, named too, in " << syntax;
    }
    EXPECT_EQ(offered[named].count("1.2.840.10008.1.2.1.99"), StandardEncodingService::handlesTransferSyntax(
                                                                   "1.2.840.10008.1.2.1.99") ? 1u : 0u);
    for (const std::string& uid : common) {
        EXPECT_EQ(offered[uid].count(explicitLittle), 1u) << uid;
        EXPECT_EQ(offered[uid].count(implicitLittle), 1u) << uid;
    }
    for (const std::string& uid : {std::string("1.2.840.10008.5.1.4.1.1.4"), std::string("1.2.840.10008.5.1.4.1.1.7")}) {
        for (const char* syntax : {"1.2.840.10008.1.2.4.70", "1.2.840.10008.1.2.4.50", "1.2.840.10008.1.2.4.90"}) {
            EXPECT_EQ(offered[uid].count(syntax), 1u) << uid << " in " << syntax;
        }
    }
    EXPECT_EQ(roles.size(), common.size() + 1);
    for (const auto& entry : offered) {
        EXPECT_EQ(roles[entry.first], std::make_pair(0, 1)) << entry.first;
    }
}

// What a toolkit provider sends in JPEG, JPEG-LS, JPEG 2000, RLE,
// deflated and uncompressed transfer syntaxes arrives in that transfer
// syntax with the same elements and values, each as DIR/<SOP Instance
// UID>.dcm; an object whose SOP Instance UID is no UID is refused with
// 0xC000 and written nowhere, and the get exits 1. The study's SOP classes
// that the C-FIND named (Secondary Capture, RT Dose) get the rarer syntaxes
// too.
TEST(DicomtkGet, KeepsEachObjectInTheTransferSyntaxItCameIn) {
    if (!std::filesystem::is_directory(sampleFolder)) GTEST_SKIP() << "pydicom's test files are not installed";
    TemporaryDirectory scratch;
    std::vector<std::string> files;
    for (const char* name : {"CT_small.dcm", "MR_small_jp2klossless.dcm", "SC_rgb_jpeg_dcmtk.dcm", "SC_rgb_jpeg_gdcm.dcm",
                             "JPGExtended.dcm", "rtdose_rle.dcm", "JPEG2000.dcm", "image_dfl.dcm"}) {
        files.push_back(std::string(sampleFolder) + "/" + name);
    }
    if (!StandardEncodingService::handlesTransferSyntax("1.2.840.10008.1.2.1.99")) files.pop_back();
    const std::string implicitFile = scratch.file("implicit.dcm");
    ASSERT_TRUE(writeObject(implicitFile, {"1.2.826.0.1.3680043.9.7133.37.1", "IMPLICIT^KEPT", 64}, implicitLittle));
    files.push_back(implicitFile);
    const std::string unsafeUid = "1.2.3/../4";
    const std::string unsafeFile = scratch.file("unsafe.dcm");
    ASSERT_TRUE(writeObject(unsafeFile, {unsafeUid, "UNSAFE^NAME", 64}));
    files.push_back(unsafeFile);

    FileProvider provider(files, "1.2.840.10008.5.1.4.1.1.7\\1.2.840.10008.5.1.4.1.1.481.2");
    const std::string out = scratch.file("deep/out");
    const ToolRun run = runDicomtk({"get", "-S", "-L", "STUDY", "-k", "StudyInstanceUID=1.2.3", "--out", out,
                                   "127.0.0.1", std::to_string(provider.port)});
    provider.finish();
    EXPECT_EQ(run.status, 1) << run.out << run.err;
    EXPECT_TRUE(provider.askedForSopClasses());
    EXPECT_EQ(provider.associations, 2);
    const size_t kept = files.size() - 1;
    EXPECT_TRUE(contains(run.out, "final 0xB000: completed " + std::to_string(kept) + ", failed 1, warning 0\n"))
        << run.out;
    EXPECT_TRUE(contains(run.out, std::to_string(files.size()) + " objects received, " + std::to_string(kept) +
                                      " written to " + out + ", 1 refused, "))
        << run.out;
    EXPECT_TRUE(contains(run.err, "object " + unsafeUid + " refused (status 0xC000): SOP Instance UID '" + unsafeUid +
                                      "' is not a UID\n"))
        << run.err;

    std::vector<std::string> expectedNames;
    for (size_t index = 0; index < kept; ++index) {
        SCOPED_TRACE(files[index]);
        StandardEncodingService service;
        std::unique_ptr<ObjectDataSet> source(service.loadFile(files[index].c_str()));
        ASSERT_TRUE(source != nullptr);
        const std::string uid = elementText(*source, 0x0008, 0x0018);
        const std::string syntax = elementText(*source, 0x0002, 0x0010);
        const std::string arrived = out + "/" + uid + ".dcm";
        expectedNames.push_back(uid + ".dcm");
        EXPECT_TRUE(contains(run.out, arrived + ": received\n")) << run.out;
        EXPECT_EQ(metaText(arrived, 0x0010), syntax);
        EXPECT_EQ(metaText(arrived, 0x0003), uid);
        EXPECT_EQ(metaText(arrived, 0x0016), "ANY-SCP");
        const std::string expected = standardDataSetText(files[index]);
        ASSERT_NE(expected, "");
        EXPECT_EQ(standardDataSetText(arrived), expected);
    }
    std::sort(expectedNames.begin(), expectedNames.end());
    EXPECT_EQ(namesIn(out), expectedNames);
    EXPECT_FALSE(std::filesystem::exists(scratch.file("deep/4.dcm")));
}
