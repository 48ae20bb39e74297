#include <cstdio>
#include <cstring>
#include <iostream>

#include "Commands.h"
#include "encoding/TransferSyntax.h"

int fail(const std::string& subject, const std::string& problem) {
    std::cerr << "dicomtk: " << subject << ": " << problem << "\n";
    return 1;
}

namespace {

bool hasDicomPrefix(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return false;
    char prefix[4] = {};
    const bool found = std::fseek(file, 128, SEEK_SET) == 0 && std::fread(prefix, 1, 4, file) == 4 &&
                       std::memcmp(prefix, "DICM", 4) == 0;
    std::fclose(file);
    return found;
}

}  // namespace

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
    if (!hasDicomPrefix(path) || empty) {
        fail(path, "not DICOM");
        delete set;
        return nullptr;
    }
    fail(path, "cannot be decoded completely (damaged data, or an element of undefined length)");
    if (partial != nullptr) {
        *partial = set;
    } else {
        delete set;
    }
    return nullptr;
}

bool holdsBigEndianValues(DataSet* set) {
    const DataElement* syntax = set->find(0x0002, 0x0010);
    if (syntax == nullptr || syntax->value == nullptr) return false;
    std::string uid(reinterpret_cast<const char*>(syntax->value), syntax->length);
    while (!uid.empty() && (uid.back() == '\0' || uid.back() == ' ')) uid.pop_back();
    return findTransferSyntax(uid.c_str()) == ExplicitBigEndian;
}
