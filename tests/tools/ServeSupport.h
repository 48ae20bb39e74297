#ifndef TESTS_TOOLS_SERVESUPPORT_H
#define TESTS_TOOLS_SERVESUPPORT_H

// What the tests of dicomtk's network commands share: dicomtk run as a
// child process (a storage server in the background, echo and store to
// completion), DICOM objects made for a test, and a sender built on the
// toolkit that can make the C-STORE requests dicomtk store never would.

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "../support/ChildProcess.h"
#include "../support/DataSetText.h"
#include "../support/TemporaryFiles.h"
#include "dimse/CommandMessages.h"
#include "network/AssociationService.h"
#include "platform/Sockets.h"

namespace serving {

using datasets::bytesElement;
using datasets::textElement;
using datasets::u16Element;

const char* const ctImageStorage = "1.2.840.10008.5.1.4.1.1.2";
const char* const mrImageStorage = "1.2.840.10008.5.1.4.1.1.4";
const char* const secondaryCaptureStorage = "1.2.840.10008.5.1.4.1.1.7";
const char* const verification = "1.2.840.10008.1.1";
const char* const implicitLittle = "1.2.840.10008.1.2";
const char* const explicitLittle = "1.2.840.10008.1.2.1";
const char* const explicitBig = "1.2.840.10008.1.2.2";

// Seconds any one run of dicomtk may take before the test gives up on it.
constexpr int runSeconds = 30;

inline std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> found;
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = text.find('\n', start);
        found.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return found;
}

inline bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// The names in a folder, sorted.
// The store's query index (index.sqlite and the files SQLite keeps beside
// it) is left out: it is no stored object.
inline std::vector<std::string> namesIn(const std::string& folder) {
    std::vector<std::string> names;
    std::error_code error;
    for (auto entry = std::filesystem::directory_iterator(folder, error);
         !error && entry != std::filesystem::directory_iterator(); entry.increment(error)) {
        const std::string name = entry->path().filename().string();
        if (name.rfind("index.sqlite", 0) == 0) continue;
        names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// `dicomtk serve` on a free port of 127.0.0.1, storing into its folder,
// with a request time-out of 2 s unless the test gives other options.
class StorageServer {
public:
    explicit StorageServer(const std::string& folder, std::vector<std::string> options = {}, std::string setup = "")
        : folder_(folder) {
        bool hasTimeout = false;
        for (const std::string& option : options) hasTimeout = hasTimeout || option == "--request-timeout";
        if (!hasTimeout) options.insert(options.end(), {"--request-timeout", "2"});
        // A port that was free a moment ago may be taken by now: try another.
        for (int attempt = 0; attempt < 5 && !ready_; ++attempt) {
            port_ = platform::freeLocalPort();
            if (port_ == 0) continue;
            std::vector<std::string> command = {DICOMTK_PATH, "serve", "--port", portText(), "--store-dir", folder_};
            command.insert(command.end(), options.begin(), options.end());
            process_ = std::make_unique<ChildProcess>();
            ChildOptions limits;
            limits.setup = setup;
            if (!process_->start(command, limits)) break;
            ready_ = process_->waitForOutput("listening on port", runSeconds);
            if (!ready_) process_->wait(runSeconds);
        }
    }

    bool ready() const { return ready_; }
    uint16_t port() const { return port_; }
    std::string portText() const { return std::to_string(port_); }
    const std::string& folder() const { return folder_; }
    ChildProcess& process() { return *process_; }
    std::string output() { return process_->out(); }

    // Waits until the server has printed text count times.
    bool waitFor(const std::string& text, int count = 1) { return process_->waitForOutput(text, runSeconds, count); }

    // Ends the server with the signal; its exit status, -1 when it did not
    // end within the time.
    int stop(int signal = SIGTERM) {
        process_->sendSignal(signal);
        return process_->wait(runSeconds);
    }

private:
    std::string folder_;
    uint16_t port_ = 0;
    bool ready_ = false;
    std::unique_ptr<ChildProcess> process_;
};

inline std::string uidValue(const std::string& uid) {
    return (uid.size() % 2 == 1) ? uid + std::string(1, '\0') : uid;
}

// A small image object: SOP class and instance, a patient name, and pixel
// data of pixelBytes bytes (a pattern that depends on the UID, so objects
// differ in their bytes too).
struct TestObject {
    std::string sopInstanceUid;
    std::string patientName = "DOE^JANE";
    size_t pixelBytes = 64;
    std::string sopClassUid = ctImageStorage;
};

// The object as a data set in memory (little-endian values), with VRs.
inline ObjectDataSet* makeDataSet(const TestObject& object) {
    auto* set = new ObjectDataSet;
    set->addElement(textElement(0x0008, 0x0016, uidValue(object.sopClassUid), vrCode('U', 'I')));
    if (!object.sopInstanceUid.empty()) {
        set->addElement(textElement(0x0008, 0x0018, uidValue(object.sopInstanceUid), vrCode('U', 'I')));
    }
    std::string name = object.patientName;
    if (name.size() % 2 == 1) name += ' ';
    set->addElement(textElement(0x0010, 0x0010, name, vrCode('P', 'N')));
    set->addElement(u16Element(0x0028, 0x0010, 4, vrCode('U', 'S')));
    set->addElement(u16Element(0x0028, 0x0011, static_cast<uint16_t>(object.pixelBytes / 8), vrCode('U', 'S')));
    set->addElement(u16Element(0x0028, 0x0100, 16, vrCode('U', 'S')));
    std::vector<uint8_t> pixels(object.pixelBytes);
    for (size_t index = 0; index < pixels.size(); ++index) {
        pixels[index] = static_cast<uint8_t>(index * 7 + object.sopInstanceUid.size() * 13 + object.patientName.size());
    }
    set->addElement(bytesElement(0x7FE0, 0x0010, pixels, vrCode('O', 'W')));
    return set;
}

// Writes the object as a DICOM file with meta information, its data set in
// transferSyntax (implicit or explicit VR little endian, or explicit VR big
// endian, with the numbers and samples then stored big endian).
inline bool writeObject(const std::string& path, const TestObject& object, const std::string& transferSyntax = explicitLittle) {
    std::unique_ptr<ObjectDataSet> set(makeDataSet(object));
    if (transferSyntax == explicitBig) {
        for (const auto& tag : {std::pair<uint16_t, uint16_t>{0x0028, 0x0010}, {0x0028, 0x0011}, {0x0028, 0x0100}}) {
            DataElement* number = set->find(tag.first, tag.second);
            std::swap(number->value[0], number->value[1]);
        }
        DataElement* pixels = set->find(0x7FE0, 0x0010);
        for (uint32_t index = 0; index + 1 < pixels->length; index += 2) std::swap(pixels->value[index], pixels->value[index + 1]);
    }
    set->addElement(bytesElement(0x0002, 0x0001, {0x00, 0x01}, vrCode('O', 'B')));
    set->addElement(textElement(0x0002, 0x0002, uidValue(object.sopClassUid), vrCode('U', 'I')));
    set->addElement(textElement(0x0002, 0x0003, uidValue(object.sopInstanceUid), vrCode('U', 'I')));
    set->addElement(textElement(0x0002, 0x0010, uidValue(transferSyntax), vrCode('U', 'I')));
    AssociationService service;
    return service.saveFile(path.c_str(), FileWithHeaderExplicit, set.get()) == 1;
}

// The elements of a DICOM file outside the meta group, as text (tag,
// length, value bytes); "" when the file does not load completely.
inline std::string dataSetText(const std::string& path) {
    AssociationService service;
    int decoded = 0;
    std::unique_ptr<ObjectDataSet> set(service.loadFile(path.c_str(), &decoded));
    if (!set || decoded != 1) return "";
    ObjectDataSet withoutMeta;
    while (DataElement* element = set->nextElement()) {
        if (element->group == 0x0002 || withoutMeta.addElement(element) == 0) delete element;
    }
    return datasets::describe(&withoutMeta);
}

// One meta element of a DICOM file as text without its padding.
inline std::string metaText(const std::string& path, uint16_t element) {
    AssociationService service;
    std::unique_ptr<ObjectDataSet> set(service.loadFile(path.c_str()));
    if (!set) return "";
    const DataElement* found = set->find(0x0002, element);
    if (found == nullptr || found->value == nullptr) return "";
    std::string text(reinterpret_cast<const char*>(found->value), found->length);
    while (!text.empty() && (text.back() == '\0' || text.back() == ' ')) text.pop_back();
    return text;
}

// A requester that proposes the transfer syntaxes it is given for every
// abstract syntax.
class Requester : public AssociationService {
public:
    explicit Requester(std::vector<std::string> syntaxes = {implicitLittle}) : syntaxes_(std::move(syntaxes)) {
        setCallingAeTitle("TESTER");
    }
    int proposeTransferSyntaxes(PresentationContextItem& proposed) override {
        for (const std::string& syntax : syntaxes_) proposed.appendTransferSyntax(TransferSyntaxItem(syntax.c_str()));
        return 1;
    }
    bool connect(uint16_t port, const std::vector<std::string>& abstractSyntaxes) {
        for (const std::string& uid : abstractSyntaxes) proposeAbstractSyntax(UidValue(uid.c_str()));
        return requestAssociation("127.0.0.1", std::to_string(port).c_str()) == 1;
    }

private:
    std::vector<std::string> syntaxes_;
};

// The status of a C-STORE response, or noResponse.
constexpr uint32_t noResponse = 0x10000;

// Sends a C-STORE request built here, with commandUid as its Affected SOP
// Instance UID (none when null), then the data set, and reads the response.
inline uint32_t storeByHand(AssociationService& service, const std::string& sopClass, const std::string* commandUid,
                            DataSet* dataSet) {
    static uint16_t messageId = 1;
    CommandSet command;
    command.addElement(textElement(0x0000, AffectedSopClassUid, uidValue(sopClass)));
    command.addElement(u16Element(0x0000, CommandField, CStoreRequest));
    command.addElement(u16Element(0x0000, MessageId, messageId++));
    command.addElement(u16Element(0x0000, Priority, 0));
    command.addElement(u16Element(0x0000, CommandDataSetType, 0x0000));
    if (commandUid != nullptr) command.addElement(textElement(0x0000, AffectedSopInstanceUid, uidValue(*commandUid)));
    const UidValue abstractSyntax(sopClass.c_str());
    if (!service.sendCommand(command, abstractSyntax) || !service.sendDataSet(*dataSet, abstractSyntax)) return noResponse;
    CommandSet response;
    if (!service.readMessage(response) || response.findU16(0x0000, CommandField) != CStoreResponse) return noResponse;
    return response.findU16(0x0000, Status);
}

// storeByHand of the object, its Affected SOP Instance UID the object's own.
inline uint32_t storeObject(AssociationService& service, const TestObject& object) {
    std::unique_ptr<ObjectDataSet> set(makeDataSet(object));
    return storeByHand(service, object.sopClassUid, &object.sopInstanceUid, set.get());
}

}  // namespace serving

#endif
