// dicomtk get: C-GET as a user, with the Patient Root or Study Root model;
// the objects come back over the same association and become files in a
// folder, as dicomtk serve keeps what it receives.

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <memory>
#include <new>
#include <set>
#include <string>
#include <system_error>
#include <vector>

#include "Commands.h"
#include "FolderStore.h"
#include "ObjectFiles.h"
#include "QueryCommands.h"
#include "StorageUser.h"
#include "platform/DurableFiles.h"

namespace {

const char* const getHelp =
    "usage: dicomtk get [-aet AET] [-aec AET] [--request-timeout S] [-P | -S] -L LEVEL\n"
    "                   [-k KEY=VALUE]... [--out DIR] HOST PORT\n"
    "\n"
    "Asks the peer with C-GET, in the Patient Root (-P, the default) or Study\n"
    "Root (-S) model, for what the keys select at level LEVEL (keys as for\n"
    "find), and receives the objects over the same association. Each becomes\n"
    "DIR/<SOP Instance UID>.dcm (DIR ./dicom-get unless given, made when\n"
    "missing) with meta information, in the transfer syntax it came in, and\n"
    "is answered Success only once the file is complete, on disk and renamed\n"
    "into place; an object whose SOP Instance UID is not a UID is refused\n"
    "(0xC000) and not written. The association proposes the storage SOP\n"
    "classes of the common modalities, uncompressed and in the usual\n"
    "compressed transfer syntaxes (as many as 128 presentation contexts hold),\n"
    "each with the SCP role; below PATIENT level it first asks the peer with\n"
    "C-FIND, on an association of its own, for the SOP Classes in Study and\n"
    "proposes those before the others. On a terminal a progress bar, else one\n"
    "line per object; then the final status and a summary. The answers to the\n"
    "association request and to the release request are awaited S seconds\n"
    "(30). Exit status 0 only when the final status is Success and no object\n"
    "failed. Ctrl-C cancels the retrieve (C-CANCEL) and exits with status 130.\n";

const char* const implicitLittleUid = "1.2.840.10008.1.2";
const char* const explicitLittleUid = "1.2.840.10008.1.2.1";

// The storage SOP classes proposed without being asked, most common first:
// when not all their contexts fit, the later ones lose theirs first.
struct StorageClass {
    const char* uid;
    bool image;  // pixel data that may come compressed
};
const StorageClass commonClasses[] = {
    {"1.2.840.10008.5.1.4.1.1.2", true},        // CT Image
    {"1.2.840.10008.5.1.4.1.1.4", true},        // MR Image
    {"1.2.840.10008.5.1.4.1.1.1", true},        // Computed Radiography Image
    {"1.2.840.10008.5.1.4.1.1.1.1", true},      // Digital X-Ray Image, For Presentation
    {"1.2.840.10008.5.1.4.1.1.1.1.1", true},    // Digital X-Ray Image, For Processing
    {"1.2.840.10008.5.1.4.1.1.6.1", true},      // Ultrasound Image
    {"1.2.840.10008.5.1.4.1.1.3.1", true},      // Ultrasound Multi-frame Image
    {"1.2.840.10008.5.1.4.1.1.7", true},        // Secondary Capture Image
    {"1.2.840.10008.5.1.4.1.1.1.2", true},      // Digital Mammography X-Ray Image, For Presentation
    {"1.2.840.10008.5.1.4.1.1.1.2.1", true},    // Digital Mammography X-Ray Image, For Processing
    {"1.2.840.10008.5.1.4.1.1.12.1", true},     // X-Ray Angiographic Image
    {"1.2.840.10008.5.1.4.1.1.12.2", true},     // X-Ray Radiofluoroscopic Image
    {"1.2.840.10008.5.1.4.1.1.20", true},       // Nuclear Medicine Image
    {"1.2.840.10008.5.1.4.1.1.128", true},      // Positron Emission Tomography Image
    {"1.2.840.10008.5.1.4.1.1.2.1", true},      // Enhanced CT Image
    {"1.2.840.10008.5.1.4.1.1.4.1", true},      // Enhanced MR Image
    {"1.2.840.10008.5.1.4.1.1.481.1", true},    // RT Image
    {"1.2.840.10008.5.1.4.1.1.481.2", true},    // RT Dose
    {"1.2.840.10008.5.1.4.1.1.481.3", false},   // RT Structure Set
    {"1.2.840.10008.5.1.4.1.1.481.5", false},   // RT Plan
    {"1.2.840.10008.5.1.4.1.1.7.1", true},      // Multi-frame Single Bit Secondary Capture Image
    {"1.2.840.10008.5.1.4.1.1.7.2", true},      // Multi-frame Grayscale Byte Secondary Capture Image
    {"1.2.840.10008.5.1.4.1.1.7.3", true},      // Multi-frame Grayscale Word Secondary Capture Image
    {"1.2.840.10008.5.1.4.1.1.7.4", true},      // Multi-frame True Color Secondary Capture Image
};

// The transfer syntaxes besides explicit VR little endian, one context each
// (an acceptor picks one transfer syntax per context, and the objects are
// kept byte for byte, so each needs its own), most common first. The last
// one alone goes with objects without pixel data.
const char* const furtherSyntaxes[] = {
    implicitLittleUid,          // implicit VR little endian: a provider may send values as stored
    "1.2.840.10008.1.2.4.70",   // JPEG Lossless, first-order prediction
    "1.2.840.10008.1.2.4.50",   // JPEG Baseline
    "1.2.840.10008.1.2.4.90",   // JPEG 2000 lossless only
    "1.2.840.10008.1.2.5",      // RLE Lossless
    "1.2.840.10008.1.2.4.91",   // JPEG 2000
    "1.2.840.10008.1.2.4.80",   // JPEG-LS lossless
    "1.2.840.10008.1.2.4.81",   // JPEG-LS near-lossless
    "1.2.840.10008.1.2.4.51",   // JPEG Extended
    "1.2.840.10008.1.2.4.57",   // JPEG Lossless
    "1.2.840.10008.1.2.1.99",   // Deflated explicit VR little endian
};

// An association holds at most 128 presentation contexts; one carries the
// C-GET itself.
constexpr uint32_t storageContexts = 127;

bool isImageClass(const std::string& uid) {
    for (const StorageClass& known : commonClasses) {
        if (uid == known.uid) return known.image;
    }
    return true;  // a class named by the peer: it may well hold pixel data
}

// Registers the storage contexts and role selections on service: the
// classes the peer named first, then the common ones. Every class gets a
// context of explicit and implicit VR little endian first; then the named
// classes every further transfer syntax, and then the common classes the
// further transfer syntaxes in turn, each syntax for every class before the
// next syntax, while contexts remain.
void proposeStorage(StoreSender& service, const std::vector<std::string>& named) {
    std::vector<std::string> classes = named;
    for (const StorageClass& known : commonClasses) {
        bool present = false;
        for (const std::string& uid : named) present = present || uid == known.uid;
        if (!present) classes.push_back(known.uid);
    }
    std::set<std::string> proposed;
    // One more context when there is room; the GET model holds the first.
    auto propose = [&](const std::string& uid, const char* syntax) {
        if (service.proposedAbstractSyntaxes.count() >= storageContexts + 1) return;
        if (!StandardEncodingService::handlesTransferSyntax(syntax)) return;
        service.proposeFor(uid, syntax);
        if (proposed.insert(uid).second) service.proposeRoleSelection(UidValue(uid.c_str()), 0, 1);
    };
    for (const std::string& uid : classes) propose(uid, explicitLittleUid);
    const size_t syntaxCount = sizeof furtherSyntaxes / sizeof furtherSyntaxes[0];
    for (const std::string& uid : named) {
        for (size_t syntax = 0; syntax < syntaxCount; ++syntax) {
            if (isImageClass(uid) || syntax == 0 || syntax + 1 == syntaxCount) propose(uid, furtherSyntaxes[syntax]);
        }
    }
    for (size_t syntax = 0; syntax < syntaxCount; ++syntax) {
        for (size_t index = named.size(); index < classes.size(); ++index) {
            if (isImageClass(classes[index]) || syntax == 0 || syntax + 1 == syntaxCount) {
                propose(classes[index], furtherSyntaxes[syntax]);
            }
        }
    }
}

// The C-FIND user that gathers the SOP classes the matches name.
class SopClassFind : public FindSopClass {
public:
    explicit SopClassFind(const char* uid) : uid_(uid) {}
    int sopClassUid(UidValue& out) override { return out.assign(uid_); }
    void onFindResponse(DataSet* response, DataSet* identifier) override {
        if (response == nullptr || identifier == nullptr) return;
        for (uint16_t element : {uint16_t(0x0062), uint16_t(0x0016)}) {
            const std::string values = elementText(identifier, 0x0008, element);
            size_t start = 0;
            while (start <= values.size()) {
                size_t end = values.find('\\', start);
                if (end == std::string::npos) end = values.size();
                std::string uid = values.substr(start, end - start);
                while (!uid.empty() && (uid.back() == ' ' || uid.back() == '\0')) uid.pop_back();
                if (FolderStore::isSafeUid(uid)) {
                    bool known = false;
                    for (const std::string& found : classes) known = known || found == uid;
                    if (!known) classes.push_back(uid);
                }
                start = end + 1;
            }
        }
    }
    std::vector<std::string> classes;

private:
    const char* uid_;
};

// The SOP classes of what the get selects, as far as the peer tells with
// C-FIND on an association of its own (SOP Classes in Study, or at IMAGE
// level the SOP Class UID); none when it does not. interrupted tells
// whether Ctrl-C cancelled the C-FIND.
std::vector<std::string> sopClassesOfSelection(const QueryOptions& options, bool& interrupted) {
    SopClassFind find(options.studyRoot ? query_uids::studyRootFind : query_uids::patientRootFind);
    ToolService service;
    service.setCallingAeTitle(options.peer.callingAeTitle.c_str());
    service.setCalledAeTitle(options.peer.calledAeTitle.c_str());
    service.requestTimeoutSeconds = options.peer.requestTimeoutSeconds;
    UidValue model;
    find.sopClassUid(model);
    service.proposeAbstractSyntax(model);
    if (!service.requestAssociation(options.peer.host.c_str(), options.peer.port.c_str())) return {};
    std::unique_ptr<ObjectDataSet> identifier = identifierOf(options);
    const bool image = options.level == "IMAGE";
    addQueryKey(*identifier, {0x0008, static_cast<uint16_t>(image ? 0x0016 : 0x0062), "", vrCode('U', 'I')});
    {
        CancelOnInterrupt interrupt(find);
        find.find(&service, identifier.get());
        interrupted = interrupt.interrupted();
    }
    service.release();
    return find.classes;
}

// The C-GET user that keeps every object it receives as a file.
class FolderGet : public GetSopClass {
public:
    FolderGet(const char* uid, AssociationService& association, const QueryOptions& options)
        : uid_(uid), association_(association), options_(options), terminal_(platform::isTerminal(stdout) != 0) {}

    int sopClassUid(UidValue& out) override { return out.assign(uid_); }

    uint16_t storeRetrievedDataSet(DataSet* command, DataSet* dataSet) override {
        std::string problem;
        const uint16_t status = keep(command, dataSet, problem);
        if (status == StatusSuccess) ++written;
        showProgress(status, problem);
        return status;
    }

    void onGetResponse(DataSet* response, DataSet*) override {
        if (response == nullptr) return;
        const uint16_t status = response->findU16(0x0000, Status);
        completed = response->findU16(0x0000, CompletedSubOperations);
        failed = response->findU16(0x0000, FailedSubOperations);
        warning = response->findU16(0x0000, WarningSubOperations);
        if (isPendingStatus(status)) {
            total = completed + failed + warning + response->findU16(0x0000, RemainingSubOperations);
        }
    }

    // Ends the progress bar's line, when one is shown.
    void endProgressLine() {
        if (terminal_ && barShown_) std::printf("\n");
        barShown_ = false;
    }

    uint32_t written = 0;
    uint64_t bytes = 0;
    uint16_t completed = 0, failed = 0, warning = 0;
    uint32_t total = 0;  // sub-operations in all, once a pending response told

private:
    // Writes the object durably, as dicomtk serve does: a temporary file in
    // the folder, flushed to disk, renamed into place, the folder flushed.
    uint16_t keep(DataSet* command, DataSet* dataSet, std::string& problem) {
        const std::string uid = elementText(dataSet, 0x0008, 0x0018);
        lastUid_ = uid;
        // Only a well-formed UID names a file, so no name from the wire
        // leaves the folder.
        if (!FolderStore::isSafeUid(uid)) {
            problem = "SOP Instance UID '" + uid + "' is not a UID";
            return FolderStore::cannotUnderstand;
        }
        const std::string expected = elementText(command, 0x0000, AffectedSopInstanceUid);
        if (uid != expected) {
            problem = "the data set's SOP Instance UID is not the command's '" + expected + "'";
            return FolderStore::dataSetDoesNotMatch;
        }
        UidValue transferSyntax;
        if (!association_.transferSyntaxOfContext(association_.PDataPdu::currentContextId, transferSyntax)) {
            problem = "the data set's transfer syntax is unknown";
            return FolderStore::cannotUnderstand;
        }
        const std::string& folder = options_.folder;
        const std::string target = folder + "/" + uid + ".dcm";
        // The file names its sender, the peer asked.
        if (!writeObjectFile(association_, dataSet, folder, uid,
                             std::string(transferSyntax.text(), transferSyntax.size()), options_.peer.calledAeTitle,
                             true, problem)) {
            return FolderStore::outOfResources;
        }
        std::error_code error;
        bytes += std::filesystem::file_size(target, error);
        lastPath_ = target;
        return StatusSuccess;
    }

    void showProgress(uint16_t status, const std::string& problem) {
        ++shown_;
        if (status != StatusSuccess) {
            endProgressLine();
            fail(peerName(options_.peer), "object " + lastUid_ + " refused (status " + hex16(status) + "): " + problem);
        } else if (!terminal_) {
            std::printf("%s: received\n", lastPath_.c_str());
        }
        if (terminal_) {
            const int width = 30;
            const uint32_t all = total > shown_ ? total : shown_;
            const int filled = total == 0 ? 0 : static_cast<int>(width * uint64_t(shown_) / all);
            std::printf("\r[%s%s] %u/%s objects  %.1f MB ", std::string(filled, '#').c_str(),
                        std::string(width - filled, '.').c_str(), shown_,
                        total == 0 ? "?" : std::to_string(all).c_str(), bytes / 1e6);
            barShown_ = true;
        }
        std::fflush(stdout);
    }

    const char* uid_;
    AssociationService& association_;
    const QueryOptions& options_;
    bool terminal_;
    bool barShown_ = false;
    uint32_t shown_ = 0;
    std::string lastUid_;
    std::string lastPath_;
};

}  // namespace

int runGet(const std::vector<std::string>& arguments, const std::string& programPath) {
    if (printedHelp(arguments, getHelp)) return 0;
    DataDictionary dictionary(1, nullptr);
    loadDictionary(dictionary, "", programPath);
    QueryOptions options;
    const std::string problem = parseQuery(arguments, QueryKind::get, dictionary, options);
    if (!problem.empty()) {
        std::cerr << getHelp;
        return fail("get", problem);
    }
    std::error_code error;
    std::filesystem::create_directories(options.folder, error);
    if (!std::filesystem::is_directory(options.folder, error)) {
        return fail(options.folder, "is not a folder and cannot be made one");
    }

    std::vector<std::string> named;
    if (options.level != "PATIENT") {
        bool interrupted = false;
        named = sopClassesOfSelection(options, interrupted);
        if (interrupted) return reportCancelled(options.peer, false, 0);
    }

    const char* uid = options.studyRoot ? query_uids::studyRootGet : query_uids::patientRootGet;
    StoreSender service;
    service.setCallingAeTitle(options.peer.callingAeTitle.c_str());
    service.setCalledAeTitle(options.peer.calledAeTitle.c_str());
    service.requestTimeoutSeconds = options.peer.requestTimeoutSeconds;
    service.proposeAbstractSyntax(UidValue(uid));
    proposeStorage(service, named);
    if (!service.requestAssociation(options.peer.host.c_str(), options.peer.port.c_str())) {
        return fail(peerName(options.peer), associationFailureText(service, "the C-GET model"));
    }
    // The peer may take the storage classes and still refuse the model.
    if (service.acceptedContextFor(UidValue(uid)) == 0) {
        service.release();
        return fail(peerName(options.peer), std::string("no association for C-GET: the model ") + uid +
                                                " was not accepted");
    }
    bool anyScpRole = false;
    for (uint32_t index = 0; index < service.proposedRoleSelections.count() && !anyScpRole; ++index) {
        anyScpRole = service.requesterIsScpFor(service.proposedRoleSelections.at(index)->element.sopClassUid) != 0;
    }
    if (!anyScpRole) {
        fail(peerName(options.peer), "granted the SCP role for no storage SOP class: it cannot send objects back");
    }
    FolderGet get(uid, service, options);
    std::unique_ptr<ObjectDataSet> identifier = identifierOf(options);
    const double start = secondsNow();
    bool interrupted = false;
    {
        CancelOnInterrupt interrupt(get);
        get.get(&service, identifier.get());
        interrupted = interrupt.interrupted();
    }
    service.release();
    get.endProgressLine();
    const double seconds = secondsNow() - start;
    const bool finalResponse = get.finalStatus != 0xFFFF;
    if (finalResponse) {
        std::printf("final %s: completed %u, failed %u, warning %u\n", hex16(get.finalStatus).c_str(), get.completed,
                    get.failed, get.warning);
    }
    std::printf("%u objects received, %u written to %s, %u refused, %.1f MB in %.2f s\n", get.received, get.written,
                options.folder.c_str(), get.refused, get.bytes / 1e6, seconds);
    if (interrupted) return reportCancelled(options.peer, finalResponse, get.finalStatus);
    if (!finalResponse) return fail(peerName(options.peer), "the retrieve ended without a final response");
    return get.finalStatus == StatusSuccess && get.failed == 0 && get.refused == 0 ? 0 : 1;
}
