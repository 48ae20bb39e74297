// libFuzzer target for loadFile, of the base service and of
// StandardEncodingService: the input is loaded as a file as it is (a bare
// data set, or a file whose own preamble and "DICM" make it one with meta
// information) and behind a 128-byte preamble and "DICM" (so that it is read
// from a meta group on). A set that loads to its end is saved with meta
// information in explicit VR and loaded again: its elements and items
// outside the meta group must come back the same.
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

void checkFile(AssociationService& service, const uint8_t* data, size_t size) {
    const std::string path = scratchFile("file-fuzzer-input", data, size);
    if (path.empty()) return;
    int decoded = 0;
    std::unique_ptr<ObjectDataSet> first(service.loadFile(path.c_str(), &decoded));
    if (first == nullptr || decoded != 1) return;
    const std::string expected = describe(first.get(), 0x0003);
    std::unique_ptr<ObjectDataSet> again(service.loadFile(path.c_str(), &decoded));
    if (again == nullptr || decoded != 1) std::abort();
    const std::string saved = path + ".saved";
    if (service.saveFile(saved.c_str(), FileWithHeaderExplicit, again.get()) == 1) {
        std::unique_ptr<ObjectDataSet> second(service.loadFile(saved.c_str(), &decoded));
        if (second == nullptr || decoded != 1) std::abort();
        if (describe(second.get(), 0x0003) != expected) std::abort();
    }
    std::remove(saved.c_str());
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
