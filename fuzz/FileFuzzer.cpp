// libFuzzer target for loadFile, of the base service and of
// StandardEncodingService: the input is loaded as a file as it is (a bare
// data set, or a file whose own preamble and "DICM" make it one with meta
// information) and behind a 128-byte preamble and "DICM" (so that it is read
// from a meta group on). A set that loads to its end is saved with meta
// information in explicit VR; the saved file must load to its end, and
// saved and loaded once more, hold the same elements and items outside the
// meta group.
//
//   build-fuzz/fuzz/file_fuzzer -max_total_time=60 CORPUS SEEDS

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "encoding/StandardEncodingService.h"
#include "network/AssociationService.h"

namespace {

using fuzzing::describe;
using fuzzing::scratchFile;

// Loads path to its end and saves it with meta information in explicit VR
// at saved: 1, or 0 when it does not load or save (decoded then tells which).
int loadAndSave(AssociationService& service, const std::string& path, const std::string& saved, int& decoded) {
    std::unique_ptr<ObjectDataSet> set(service.loadFile(path.c_str(), &decoded));
    if (set == nullptr || decoded != 1) return 0;
    return service.saveFile(saved.c_str(), FileWithHeaderExplicit, set.get());
}

std::string loadedText(AssociationService& service, const std::string& path) {
    int decoded = 0;
    std::unique_ptr<ObjectDataSet> set(service.loadFile(path.c_str(), &decoded));
    if (set == nullptr || decoded != 1) std::abort();
    return describe(set.get(), 0x0003);
}

// The first save may change how a value is held (a meta group without a
// Transfer Syntax UID gets implicit VR, where an element whose value is a
// run of items reads as a sequence); from then on a file that loads and is
// saved again must hold what it held.
void checkFile(AssociationService& service, const uint8_t* data, size_t size) {
    const std::string path = scratchFile("file-fuzzer-input", data, size);
    if (path.empty()) return;
    const std::string once = path + ".once", twice = path + ".twice";
    int decoded = 0;
    if (loadAndSave(service, path, once, decoded) == 1) {
        const std::string expected = loadedText(service, once);
        const int saved = loadAndSave(service, once, twice, decoded);
        if (saved != 1 && decoded != 1) std::abort();
        // A save may still fail (a set holding two Transfer Syntax UIDs hands
        // them out in either order, and the last one written decides); what
        // it left behind is then no file to compare.
        if (saved == 1 && loadedText(service, twice) != expected) std::abort();
    }
    std::remove(once.c_str());
    std::remove(twice.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > (1u << 20)) return 0;
    std::vector<uint8_t> withHeader(132, 0);
    withHeader[128] = 'D';
    withHeader[129] = 'I';
    withHeader[130] = 'C';
    withHeader[131] = 'M';
    withHeader.insert(withHeader.end(), data, data + size);
    AssociationService base;
    checkFile(base, data, size);
    checkFile(base, withHeader.data(), withHeader.size());
    StandardEncodingService standard;
    checkFile(standard, data, size);
    checkFile(standard, withHeader.data(), withHeader.size());
    return 0;
}
