#include "QueryKeys.h"

#include <cstring>

namespace {

// Attributes whose values are UIDs, padded with a zero byte rather than a space.
bool isUidKey(uint16_t group, uint16_t element) {
    return (group == 0x0008 && (element == 0x0016 || element == 0x0018 || element == 0x1150 || element == 0x1155)) ||
           (group == 0x0020 && (element == 0x000D || element == 0x000E || element == 0x0052));
}

}  // namespace

std::string parseQueryKey(const std::string& text, const DataDictionary& dictionary, QueryKey& key) {
    const size_t equals = text.find('=');
    const std::string tag = text.substr(0, equals);
    key.value = equals == std::string::npos ? "" : text.substr(equals + 1);
    if (!dictionary.tagFromText(tag.c_str(), key.group, key.element)) {
        return "key '" + text + "' is not gggg,eeee[=VALUE] or KEYWORD[=VALUE]";
    }
    key.vr = dictionary.lookup(key.group, key.element);
    // Group FFFE holds the item and delimitation tags: an element there
    // would read as an item of the identifier, not as an attribute.
    if (key.group == 0x0000 || key.group == 0x0002 || key.group == 0xFFFE || key.element == 0x0000) {
        return "key '" + text + "' names no attribute of an identifier";
    }
    if (key.value.size() > 1024) return "the value of key " + tag + " is longer than 1024 characters";
    return "";
}

void addQueryKey(DataSet& identifier, const QueryKey& key) {
    std::string value = key.value;
    const bool uid = key.vr == vrCode('U', 'I') || (key.vr == 0 && isUidKey(key.group, key.element));
    if (value.size() % 2 != 0) value.push_back(uid ? '\0' : ' ');
    auto* element = new DataElement(key.group, key.element, static_cast<uint32_t>(value.size()), 1);
    if (!value.empty() && element->value != nullptr) std::memcpy(element->value, value.data(), value.size());
    element->vr = key.vr;
    if (identifier.find(key.group, key.element) != nullptr || !identifier.addElement(element)) delete element;
}
