#ifndef TESTS_SUPPORT_DATASETTEXT_H
#define TESTS_SUPPORT_DATASETTEXT_H

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "model/DataSet.h"

// Small helpers for building data sets and comparing them as text.
namespace datasets {

inline DataElement* bytesElement(uint16_t group, uint16_t element, const std::vector<uint8_t>& bytes, uint16_t vr = 0) {
    auto* made = new DataElement(group, element, static_cast<uint32_t>(bytes.size()), 1);
    if (!bytes.empty()) std::memcpy(made->value, bytes.data(), bytes.size());
    made->vr = vr;
    return made;
}

inline DataElement* textElement(uint16_t group, uint16_t element, const std::string& text, uint16_t vr = 0) {
    return bytesElement(group, element, std::vector<uint8_t>(text.begin(), text.end()), vr);
}

// A 16-bit number, little endian.
inline DataElement* u16Element(uint16_t group, uint16_t element, uint16_t number, uint16_t vr = 0) {
    return bytesElement(group, element, {static_cast<uint8_t>(number), static_cast<uint8_t>(number >> 8)}, vr);
}

// Drains the set and renders one line per element, "(gggg,eeee) length hexbytes",
// with the elements of items indented under their element. Group length
// elements are left out unless withGroupLengths is set.
inline std::string describe(DataSet* set, bool withGroupLengths = false, int depth = 0) {
    std::string text;
    while (DataElement* element = set->nextElement()) {
        if (element->element != 0 || withGroupLengths) {
            char header[64];
            std::snprintf(header, sizeof header, "%*s(%04X,%04X) %u ", depth * 2, "", element->group, element->element,
                          element->length);
            text += header;
            for (uint32_t index = 0; index < element->length && element->value != nullptr; ++index) {
                char hex[3];
                std::snprintf(hex, sizeof hex, "%02X", element->value[index]);
                text += hex;
            }
            text += "\n";
            if (element->items != nullptr) {
                for (uint32_t index = 0; index < element->items->count(); ++index) {
                    text += std::string(depth * 2 + 1, ' ') + "item\n";
                    text += describe(element->items->at(index)->element, withGroupLengths, depth + 1);
                }
            }
        }
        delete element;
    }
    return text;
}

}  // namespace datasets

#endif
