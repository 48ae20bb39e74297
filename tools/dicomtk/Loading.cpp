#include <cstdio>
#include <cstdlib>
#include <iostream>

#include "Commands.h"
#include "encoding/TransferSyntax.h"
#include "platform/ExecutablePath.h"

int fail(const std::string& subject, const std::string& problem) {
    std::cerr << "dicomtk: " << subject << ": " << problem << "\n";
    return 1;
}

int loadDictionary(DataDictionary& dictionary, const std::string& named, const std::string& programPath) {
    std::string requested = named;
    if (requested.empty()) {
        const char* fromEnvironment = std::getenv("DICOMTK_DICTIONARY");
        if (fromEnvironment != nullptr) requested = fromEnvironment;
    }
    if (!requested.empty()) {
        if (dictionary.load(requested.c_str()) == 1) return 1;
        fail(requested, "cannot load the data dictionary");
        return -1;
    }
    // The program's folder: from the system, else from how it was called.
    char executable[4096];
    std::string program = platform::executablePath(executable, sizeof executable) ? executable : programPath;
    const size_t slash = program.find_last_of("/\\");
    const std::string folder = slash == std::string::npos ? std::string(".") : program.substr(0, slash);
    const std::string beside = folder + "/../" DICOMTK_DICTIONARY_DIR "/dicom.dic";
    if (dictionary.load(beside.c_str()) == 1) return 1;
    // The Debian package's layout: /usr/bin/dicomtk, /usr/share/dicomtoolkit/.
    const std::string packaged = folder + "/../share/dicomtoolkit/dicom.dic";
    if (dictionary.load(packaged.c_str()) == 1) return 1;
    return dictionary.load(DICOMTK_INSTALLED_DICTIONARY) == 1 ? 1 : 0;
}

namespace {

std::string describeProblem(const DecodeProblem& problem) {
    if (problem.reason == nullptr) return "cannot be decoded completely";
    char where[64];
    std::snprintf(where, sizeof where, " at (%04X,%04X), byte %u of the data set", problem.group, problem.element,
                  problem.offset);
    return std::string("cannot be decoded: ") + problem.reason + where;
}

}  // namespace

ObjectDataSet* loadDicom(StandardEncodingService& service, const std::string& path, ObjectDataSet** partial) {
    if (partial != nullptr) *partial = nullptr;
    int decoded = 0;
    ObjectDataSet* set = service.loadFile(path.c_str(), &decoded);
    if (set == nullptr) {
        fail(path, "cannot open");
        return nullptr;
    }
    const bool empty = set->fillList.count() == 0;
    if (decoded == 1 && !empty) return set;
    if (empty) {
        fail(path, "not DICOM");
        delete set;
        return nullptr;
    }
    const std::string syntax = transferSyntaxOf(set);
    if (!syntax.empty() && findStandardTransferSyntax(syntax.c_str()) == 0) {
        fail(path, "transfer syntax " + syntax + " is not supported");
    } else {
        fail(path, describeProblem(service.lastProblem));
    }
    if (partial != nullptr) {
        *partial = set;
    } else {
        delete set;
    }
    return nullptr;
}

std::string transferSyntaxOf(DataSet* set) {
    const DataElement* syntax = set->find(0x0002, 0x0010);
    if (syntax == nullptr || syntax->value == nullptr) return "";
    std::string uid(reinterpret_cast<const char*>(syntax->value), syntax->length);
    while (!uid.empty() && (uid.back() == '\0' || uid.back() == ' ')) uid.pop_back();
    return uid;
}

bool holdsBigEndianValues(DataSet* set) {
    return findStandardTransferSyntax(transferSyntaxOf(set).c_str()) == ExplicitBigEndian;
}

bool holdsEncapsulatedPixelData(DataSet* set) {
    return findStandardTransferSyntax(transferSyntaxOf(set).c_str()) == EncapsulatedLittleEndian;
}
