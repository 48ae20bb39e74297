#include "ObjectFiles.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <new>
#include <random>
#include <system_error>

#include "encoding/TransferSyntax.h"
#include "platform/DurableFiles.h"

std::string temporaryName(const std::string& uid) {
    static const uint64_t processTag = std::random_device{}() ^ (static_cast<uint64_t>(std::random_device{}()) << 32);
    static std::atomic<uint64_t> counter{0};
    char tag[40];
    std::snprintf(tag, sizeof tag, "%016llx-%llu", static_cast<unsigned long long>(processTag),
                  static_cast<unsigned long long>(counter++));
    return ".incoming-" + uid + "-" + tag + ".tmp";
}

int setMetaText(DataSet* set, uint16_t element, uint16_t vr, const std::string& text, uint8_t pad) {
    const uint32_t length = static_cast<uint32_t>(text.size() + (text.size() & 1u));
    auto* value = new (std::nothrow) uint8_t[length == 0 ? 1 : length];
    if (value == nullptr) return 0;
    std::memset(value, pad, length == 0 ? 1 : length);
    std::memcpy(value, text.data(), text.size());
    DataElement* meta = set->find(0x0002, element);
    if (meta == nullptr) {
        meta = new (std::nothrow) DataElement(0x0002, element, length, value, 1);
        if (meta == nullptr) {
            delete[] value;
            return 0;
        }
        meta->vr = vr;
        if (set->addElement(meta) == 0) {
            delete meta;
            return 0;
        }
        return 1;
    }
    if (meta->ownsValue != 0) delete[] meta->value;
    meta->value = value;
    meta->length = length;
    meta->ownsValue = 1;
    return 1;
}

int writeObjectFile(AssociationService& association, DataSet* dataSet, const std::string& folder,
                    const std::string& uid, const std::string& transferSyntax, const std::string& sender, bool sync,
                    std::string& problem) {
    const std::string target = folder + "/" + uid + ".dcm";
    const std::string temporary = folder + "/" + temporaryName(uid);
    association.addMetaHeader(dataSet);
    errno = 0;
    int written = setMetaText(dataSet, 0x0010, vrCode('U', 'I'), transferSyntax, 0x00) &&
                  (sender.empty() || setMetaText(dataSet, 0x0016, vrCode('A', 'E'), sender, ' ')) &&
                  association.saveFile(temporary.c_str(), FileWithHeaderExplicit, dataSet);
    if (written && sync) written = platform::syncFile(temporary.c_str());
    if (written) written = platform::replaceFile(temporary.c_str(), target.c_str());
    if (!written) {
        // The system's reason (disk full, permission denied) before remove can change it.
        const int error = errno;
        std::remove(temporary.c_str());
        problem = "cannot write " + target + ": " +
                  (error != 0 ? std::generic_category().message(error) : std::string("out of memory or not encodable"));
        return 0;
    }
    // The new name must survive a crash too before the object counts as kept.
    if (sync && !platform::syncDirectory(folder.c_str())) {
        problem = "cannot sync the folder " + folder;
        return 0;
    }
    return 1;
}

std::string fileTransferSyntax(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    char preamble[132];
    if (!file.read(preamble, sizeof preamble) || std::memcmp(preamble + 128, "DICM", 4) != 0) return "";
    // The meta group is explicit VR little endian: tag, VR, then a 16-bit
    // length, or two reserved bytes and a 32-bit one for OB, OW, UN, SQ, UT.
    for (int element = 0; element < 64; ++element) {
        unsigned char header[8];
        if (!file.read(reinterpret_cast<char*>(header), sizeof header)) return "";
        const unsigned group = header[0] | header[1] << 8;
        const unsigned number = header[2] | header[3] << 8;
        if (group != 0x0002) return "";
        const std::string vr(reinterpret_cast<char*>(header + 4), 2);
        uint32_t length = header[6] | header[7] << 8;
        if (vr == "OB" || vr == "OW" || vr == "UN" || vr == "SQ" || vr == "UT") {
            unsigned char wide[4];
            if (!file.read(reinterpret_cast<char*>(wide), sizeof wide)) return "";
            length = wide[0] | wide[1] << 8 | wide[2] << 16 | static_cast<uint32_t>(wide[3]) << 24;
        }
        if (number == 0x0010) {
            if (length > 64) return "";
            std::string value(length, '\0');
            if (!file.read(&value[0], length)) return "";
            while (!value.empty() && (value.back() == '\0' || value.back() == ' ')) value.pop_back();
            return value;
        }
        if (length > 1 << 16 || !file.seekg(length, std::ios::cur)) return "";
    }
    return "";
}
