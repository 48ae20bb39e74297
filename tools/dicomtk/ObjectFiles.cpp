#include "ObjectFiles.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <new>
#include <random>

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
    int written = setMetaText(dataSet, 0x0010, vrCode('U', 'I'), transferSyntax, 0x00) &&
                  (sender.empty() || setMetaText(dataSet, 0x0016, vrCode('A', 'E'), sender, ' ')) &&
                  association.saveFile(temporary.c_str(), FileWithHeaderExplicit, dataSet);
    if (written && sync) written = platform::syncFile(temporary.c_str());
    if (written) written = platform::replaceFile(temporary.c_str(), target.c_str());
    if (!written) {
        std::remove(temporary.c_str());
        problem = "cannot write " + target;
        return 0;
    }
    // The new name must survive a crash too before the object counts as kept.
    if (sync && !platform::syncDirectory(folder.c_str())) {
        problem = "cannot sync the folder " + folder;
        return 0;
    }
    return 1;
}
