#include <iostream>

#include "Commands.h"
#include "encoding/TransferSyntax.h"

int fail(const std::string& subject, const std::string& problem) {
    std::cerr << "dicomtk: " << subject << ": " << problem << "\n";
    return 1;
}


ObjectDataSet* loadDicom(AssociationService& service, const std::string& path, ObjectDataSet** partial) {
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
    if (!syntax.empty() && findTransferSyntax(syntax.c_str()) == 0) {
        fail(path, "transfer syntax " + syntax + " is not supported");
    } else {
        fail(path, "cannot be decoded completely (damaged data, or an element of undefined length)");
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

bool holdsBigEndianValues(DataSet* set) { return findTransferSyntax(transferSyntaxOf(set).c_str()) == ExplicitBigEndian; }
