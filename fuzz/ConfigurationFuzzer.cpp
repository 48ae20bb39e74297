// libFuzzer target for the configuration file of ConfiguredAssociationService:
// the input is loaded as a configuration. Every listed value that fits its
// field must then be accepted by its hook: AE titles of up to 16
// characters as calling and called titles, UIDs as application contexts,
// abstract and transfer syntaxes; and a reload of the same file gives the
// same lists.
//
//   build-fuzz/fuzz/configuration_fuzzer -max_total_time=60 CORPUS SEEDS

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "FuzzSupport.h"
#include "dimse/ConfiguredAssociationService.h"

namespace {

using List = ConfiguredAssociationService::ConfigurationList;

// An AE title as the request's 16-byte field holds it.
void checkTitles(const List& list, int (ConfiguredAssociationService::*accept)(const char*),
                 ConfiguredAssociationService& service) {
    for (uint32_t index = 0; index < list.count; ++index) {
        const char* value = list.values[index];
        if (std::strlen(value) > 16 || value[0] == '\0') continue;
        char field[17] = {};
        std::strncpy(field, value, 16);
        if ((service.*accept)(field) != 1) std::abort();
    }
}

template <typename Item>
void checkUids(const List& list, int (ConfiguredAssociationService::*accept)(const Item&),
               ConfiguredAssociationService& service) {
    for (uint32_t index = 0; index < list.count; ++index) {
        const char* value = list.values[index];
        if (std::strlen(value) > 64) continue;
        Item item{UidValue(value)};
        if ((service.*accept)(item) != 1) std::abort();
    }
}

std::string listText(const List& list) {
    std::string text = std::to_string(list.count) + ":";
    for (uint32_t index = 0; index < list.count; ++index) {
        text += std::string(list.values[index]) + "|" + list.firstFields[index] + "\n";
    }
    return text;
}

std::string configurationText(const ConfiguredAssociationService& service) {
    return listText(service.remoteAeTitles) + listText(service.localAeTitles) +
           listText(service.applicationContexts) + listText(service.abstractSyntaxes) +
           listText(service.transferSyntaxes);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > (1u << 20)) return 0;
    const std::string path = fuzzing::scratchFile("configuration-fuzzer-input", data, size);
    if (path.empty()) return 0;
    ConfiguredAssociationService service(path.c_str());
    checkTitles(service.remoteAeTitles, &ConfiguredAssociationService::acceptCallingAeTitle, service);
    checkTitles(service.localAeTitles, &ConfiguredAssociationService::acceptCalledAeTitle, service);
    checkUids<ApplicationContextItem>(service.applicationContexts,
                                      &ConfiguredAssociationService::acceptApplicationContext, service);
    checkUids<AbstractSyntaxItem>(service.abstractSyntaxes, &ConfiguredAssociationService::acceptAbstractSyntax,
                                  service);
    checkUids<TransferSyntaxItem>(service.transferSyntaxes, &ConfiguredAssociationService::acceptTransferSyntax,
                                  service);
    const std::string loaded = configurationText(service);
    if (service.loadConfiguration(path.c_str()) != 1 || configurationText(service) != loaded) std::abort();
    return 0;
}
