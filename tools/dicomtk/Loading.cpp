#include <cstdio>
#include <iostream>

#include "Commands.h"

int fail(const std::string& subject, const std::string& problem) {
    std::cerr << "dicomtk: " << subject << ": " << problem << "\n";
    return 1;
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
