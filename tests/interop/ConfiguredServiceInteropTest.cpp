// The configured association service as acceptor for DCMTK's echoscu and
// storescu, run as child processes against 127.0.0.1.

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "../support/ChildProcess.h"
#include "../support/DataSetText.h"
#include "../support/TemporaryFiles.h"
#include "dimse/ConfiguredAssociationService.h"
#include "encoding/DataDictionary.h"
#include "platform/Sockets.h"

using datasets::textElement;
using datasets::u16Element;

namespace {

constexpr int boundSeconds = 60;
const char* const verification = "1.2.840.10008.1.1";
const char* const sampleFolder = "/usr/lib/python3/dist-packages/pydicom/data/test_files";

// Listens on a free port of 127.0.0.1 before the peer starts, and hands the
// first connection (waited for at most boundSeconds) to the service.
class Acceptor {
public:
    Acceptor() : port(platform::freeLocalPort()) {
        listening = port != 0 && listener_.listenOn(std::to_string(port).c_str()) == 1;
    }

    // 1 when the association was established, 0 when it was refused or no
    // peer came.
    int serve(ConfiguredAssociationService& service) {
        if (!listening || platform::waitReadable(listener_.listenSocket, boundSeconds) != 1) return 0;
        if (listener_.acceptOne() != 1) return 0;
        const SocketHandle connection = listener_.dataSocket;
        listener_.dataSocket = 0;
        listener_.connected = 0;
        service.socket.timeoutSeconds = boundSeconds;
        service.requestTimeoutSeconds = boundSeconds;
        return service.serveConnection(connection);
    }

    uint16_t port;
    bool listening = false;

private:
    SocketStream listener_;
};

std::string configurationFile(const TemporaryDirectory& directory, const std::string& text) {
    const std::string path = directory.file("service.cfg");
    writeFile(path, std::vector<uint8_t>(text.begin(), text.end()));
    return path;
}

std::string textOf(DataSet& set, uint16_t group, uint16_t element) {
    const DataElement* found = set.find(group, element);
    if (found == nullptr || found->value == nullptr) return "";
    std::string text(reinterpret_cast<const char*>(found->value), found->length);
    while (!text.empty() && (text.back() == '\0' || text.back() == ' ')) text.pop_back();
    return text;
}

struct Element {
    uint16_t vr;
    std::vector<uint8_t> value;
};

// The elements of a set outside the meta group, group lengths left out.
std::map<uint32_t, Element> elementsOf(DataSet& set) {
    std::map<uint32_t, Element> elements;
    while (DataElement* element = set.nextElement()) {
        if (element->element != 0 && element->group != 0x0002) {
            const uint8_t* value = element->value;
            elements[uint32_t(element->group) << 16 | element->element] = {
                element->vr, std::vector<uint8_t>(value, value + (value != nullptr ? element->length : 0))};
        }
        delete element;
    }
    return elements;
}

std::string vrText(uint16_t vr) { return std::string{static_cast<char>(vr >> 8), static_cast<char>(vr & 0xFF)}; }

// Answers the C-ECHO-RQ in set with success.
int answerEcho(ConfiguredAssociationService& service, DataSet& request) {
    CommandSet response;
    response.addElement(textElement(0x0000, 0x0002, verification));
    response.addElement(u16Element(0x0000, 0x0100, 0x8030));
    response.addElement(u16Element(0x0000, 0x0120, request.findU16(0x0000, 0x0110)));
    response.addElement(u16Element(0x0000, 0x0800, 0x0101));
    response.addElement(u16Element(0x0000, 0x0900, 0x0000));
    return service.sendCommand(response, UidValue(verification));
}

}  // namespace

class ConfiguredServiceInterop : public ::testing::Test {
protected:
    void SetUp() override {
        echoscu = findProgram("echoscu");
        storescu = findProgram("storescu");
        if (echoscu.empty() || storescu.empty()) GTEST_SKIP() << "DCMTK's echoscu and storescu are not installed";
    }
    std::string echoscu, storescu;
    TemporaryDirectory directory;
};

TEST_F(ConfiguredServiceInterop, EchoscuWithTheListedCallingTitleIsServed) {
    ConfiguredAssociationService service(
        configurationFile(directory, "modality  ECHO_SCU  RemoteAE\n").c_str());
    ASSERT_EQ(service.remoteAeTitles.count, 1u);
    Acceptor acceptor;
    ASSERT_TRUE(acceptor.listening);
    ChildProcess peer;
    ASSERT_TRUE(peer.start({echoscu, "-aet", "ECHO_SCU", "-aec", "DICOMTK", "-to", "30", "-ta", "30", "-td", "30",
                           "127.0.0.1", std::to_string(acceptor.port)}));
    ASSERT_EQ(acceptor.serve(service), 1);
    CommandSet request;
    ASSERT_EQ(service.readMessage(request), 1);
    EXPECT_EQ(request.findU16(0x0000, 0x0100), 0x0030);  // C-ECHO-RQ
    ASSERT_EQ(answerEcho(service, request), 1);
    CommandSet nothing;
    EXPECT_EQ(service.readMessage(nothing), 0);  // the peer's release
    EXPECT_EQ(peer.wait(boundSeconds), 0) << peer.out() << peer.err();
}

TEST_F(ConfiguredServiceInterop, EchoscuWithAnotherCallingTitleIsRejectedWithReasonThree) {
    ConfiguredAssociationService service(
        configurationFile(directory, "modality  ECHO_SCU  RemoteAE\n").c_str());
    Acceptor acceptor;
    ASSERT_TRUE(acceptor.listening);
    ChildProcess peer;
    ASSERT_TRUE(peer.start({echoscu, "-aet", "INTRUDER", "-aec", "DICOMTK", "-to", "30", "-ta", "30", "-td", "30",
                           "127.0.0.1", std::to_string(acceptor.port)}));
    EXPECT_EQ(acceptor.serve(service), 0);
    EXPECT_NE(peer.wait(boundSeconds), 0) << peer.out() << peer.err();
    // DCMTK names A-ASSOCIATE-RJ reason 3 (service user) this way.
    const std::string output = peer.out() + peer.err();
    EXPECT_NE(output.find("Association Rejected"), std::string::npos) << output;
    EXPECT_NE(output.find("Calling AE Title Not Recognized"), std::string::npos) << output;
}

TEST_F(ConfiguredServiceInterop, StorescuStoresAnImplicitFileThroughExplicitLittleEndianOnly) {
    const std::string source = std::string(sampleFolder) + "/MR_small_implicit.dcm";
    if (!fileExists(source)) GTEST_SKIP() << "pydicom's test files are not installed";
    ConfiguredAssociationService service(
        configurationFile(directory, "only  1.2.840.10008.1.2.1  transfer\n").c_str());
    Acceptor acceptor;
    ASSERT_TRUE(acceptor.listening);
    ChildProcess peer;
    ASSERT_TRUE(peer.start({storescu, "-R", "-aet", "STORE_SCU", "-aec", "DICOMTK", "-to", "30", "-ta", "30", "-td",
                           "30", "127.0.0.1", std::to_string(acceptor.port), source}));
    ASSERT_EQ(acceptor.serve(service), 1) << peer.out() << peer.err();
    for (uint32_t index = 0; index < service.acceptedContexts.count(); ++index) {
        EXPECT_STREQ(service.acceptedContexts.at(index)->element.transferSyntax.value.text(), "1.2.840.10008.1.2.1");
    }

    // The command comes in implicit VR on the explicit context, the data set
    // in explicit VR.
    CommandSet request;
    ASSERT_EQ(service.readMessage(request), 1);
    ASSERT_EQ(request.findU16(0x0000, 0x0100), 0x0001);  // C-STORE-RQ
    const std::string sopClass = textOf(request, 0x0000, 0x0002);
    const std::string sopInstance = textOf(request, 0x0000, 0x1000);
    const uint16_t messageId = request.findU16(0x0000, 0x0110);
    ObjectDataSet stored;
    ASSERT_EQ(service.readMessage(stored), 1);

    CommandSet response;
    response.addElement(textElement(0x0000, 0x0002, sopClass));
    response.addElement(u16Element(0x0000, 0x0100, 0x8001));
    response.addElement(u16Element(0x0000, 0x0120, messageId));
    response.addElement(u16Element(0x0000, 0x0800, 0x0101));
    response.addElement(u16Element(0x0000, 0x0900, 0x0000));
    response.addElement(textElement(0x0000, 0x1000, sopInstance));
    ASSERT_EQ(service.sendCommand(response, UidValue(sopClass.c_str())), 1);
    CommandSet nothing;
    EXPECT_EQ(service.readMessage(nothing), 0);
    EXPECT_EQ(peer.wait(boundSeconds), 0) << peer.out() << peer.err();

    AssociationService files;
    std::unique_ptr<ObjectDataSet> original(files.loadFile(source.c_str()));
    ASSERT_NE(original, nullptr);
    EXPECT_EQ(textOf(*original, 0x0008, 0x0016), sopClass);
    EXPECT_EQ(textOf(*original, 0x0008, 0x0018), sopInstance);
    const std::map<uint32_t, Element> expected = elementsOf(*original);
    const std::map<uint32_t, Element> got = elementsOf(stored);
    ASSERT_GT(expected.size(), 40u);
    ASSERT_EQ(got.size(), expected.size());
    DataDictionary dictionary(0, DICOMTOOLKIT_DICTIONARY);
    for (const auto& [tag, element] : expected) {
        const auto found = got.find(tag);
        ASSERT_NE(found, got.end()) << std::hex << tag;
        EXPECT_EQ(found->second.value, element.value) << std::hex << tag;
        // DCMTK gave the implicit elements the VRs of its own dictionary: ours
        // agrees, but for values whose VR depends on the image (US or SS).
        const uint16_t ours = dictionary.lookup(static_cast<uint16_t>(tag >> 16), static_cast<uint16_t>(tag));
        if (ours == 0) continue;
        const bool pixelDependent = ours == vrCode('U', 'S') && found->second.vr == vrCode('S', 'S');
        if (!pixelDependent) {
            EXPECT_EQ(vrText(found->second.vr), vrText(ours)) << std::hex << tag;
        }
    }
}
