// libFuzzer target for the keys of dicomtk find ("-k TAG[=VALUE]", with the
// standard data dictionary for keywords): the input, up to its first zero
// byte as on a command line, is parsed as a key. A key that parses is added
// to an identifier, whose element must hold the value padded to an even
// length; the identifier encoded and decoded again must hold the same
// element; and the tag written gggg,eeee must parse to the same tag.
//
//   build-fuzz/fuzz/find_key_fuzzer -max_total_time=60 CORPUS SEEDS

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "FuzzSupport.h"
#include "QueryKeys.h"
#include "network/AssociationService.h"

namespace {

std::string valueOf(DataSet& set, uint16_t group, uint16_t element) {
    DataElement* found = set.find(group, element);
    if (found == nullptr) std::abort();
    return found->value != nullptr ? std::string(reinterpret_cast<char*>(found->value), found->length) : "";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const DataDictionary dictionary(1, FUZZ_DICTIONARY_PATH);
    if (size > 4096) return 0;
    const std::string text(reinterpret_cast<const char*>(data), strnlen(reinterpret_cast<const char*>(data), size));
    QueryKey key;
    if (!parseQueryKey(text, dictionary, key).empty()) return 0;
    ObjectDataSet identifier;
    addQueryKey(identifier, key);
    const std::string value = valueOf(identifier, key.group, key.element);
    if (value.size() != key.value.size() + (key.value.size() & 1u) || value.compare(0, key.value.size(), key.value) != 0) {
        std::abort();
    }

    AssociationService service;
    fuzzing::MemoryStream encoded(nullptr, 0);
    if (service.writeImplicitLittle(&identifier, &encoded) != 1) std::abort();
    encoded.flush();
    fuzzing::MemoryStream input(encoded.output.data(), encoded.output.size());
    if (!encoded.output.empty()) input.readAhead(static_cast<uint32_t>(encoded.output.size()));
    ObjectDataSet decoded;
    service.itemBytesLeft = 0;
    if (service.readImplicitLittle(&input, &decoded) != 1) std::abort();
    if (valueOf(decoded, key.group, key.element) != value) std::abort();

    char tagText[16];
    std::snprintf(tagText, sizeof tagText, "%04X,%04X", key.group, key.element);
    QueryKey again;
    if (!parseQueryKey(tagText, dictionary, again).empty() || again.group != key.group || again.element != key.element) {
        std::abort();
    }
    return 0;
}
