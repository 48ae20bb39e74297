// libFuzzer target for the data dictionary loader: the input is loaded as a
// dictionary file, with names kept and without. Every entry loaded must be
// found again: its tag by lookup (with a name that fits the caller's
// buffer), its keyword by findKeyword and tagFromText. A second load of the
// same file replaces the table with one of the same entries.
//
//   build-fuzz/fuzz/dictionary_fuzzer -max_total_time=60 CORPUS SEEDS

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "FuzzSupport.h"
#include "encoding/DataDictionary.h"

namespace {

void checkEntries(const DataDictionary& dictionary) {
    if (dictionary.table == nullptr) return;
    for (uint32_t index = 0; index < dictionary.entryCount(); ++index) {
        const KeyedRecord* record = dictionary.table->recordAt(index);
        const uint16_t group = static_cast<uint16_t>(record->tag >> 16);
        const uint16_t element = static_cast<uint16_t>(record->tag);
        char name[DataDictionary::maximumNameLength + 1 + 16];
        std::memset(name, 'x', sizeof name);
        dictionary.lookup(group, element, name);
        if (std::memchr(name, '\0', DataDictionary::maximumNameLength + 1) == nullptr) std::abort();
        if (record->name != nullptr && std::strlen(record->name) > DataDictionary::maximumNameLength) std::abort();
        if (record->keyword != nullptr && record->keyword[0] != '\0') {
            uint16_t foundGroup = 0, foundElement = 0;
            if (dictionary.findKeyword(record->keyword, foundGroup, foundElement) != 1) std::abort();
            if (dictionary.tagFromText(record->keyword, foundGroup, foundElement) != 1) std::abort();
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > (1u << 20)) return 0;
    const std::string path = fuzzing::scratchFile("dictionary-fuzzer-input", data, size);
    if (path.empty()) return 0;
    for (int keepNames = 0; keepNames < 2; ++keepNames) {
        DataDictionary dictionary(keepNames, path.c_str());
        checkEntries(dictionary);
        const uint32_t entries = dictionary.entryCount();
        if (entries != 0 && (dictionary.load(path.c_str()) != 1 || dictionary.entryCount() != entries)) std::abort();
        checkEntries(dictionary);
        uint16_t group = 0, element = 0;
        // The input's start as a tag or keyword given on a command line.
        const std::string text(reinterpret_cast<const char*>(data), size < 80 ? size : 80);
        dictionary.tagFromText(text.c_str(), group, element);
        dictionary.clear();
    }
    return 0;
}
