#ifndef DICOMTK_QUERYKEYS_H
#define DICOMTK_QUERYKEYS_H

// The keys of dicomtk find and move: "-k TAG[=VALUE]" read into a key and
// added to the identifier of the query.

#include <cstdint>
#include <string>

#include "encoding/DataDictionary.h"
#include "model/DataSet.h"

struct QueryKey {
    uint16_t group;
    uint16_t element;
    std::string value;
    uint16_t vr = 0;
};

// "TAG" or "TAG=VALUE", TAG a tag gggg,eeee or a keyword of the
// dictionary; "" or the problem. Command and meta groups, group lengths and
// the item tags of group FFFE name no attribute of an identifier.
std::string parseQueryKey(const std::string& text, const DataDictionary& dictionary, QueryKey& key);

// Adds the key's element to the identifier, its value padded to an even
// length (with a zero byte for a UID, a space otherwise); a tag the
// identifier holds already keeps its first value.
void addQueryKey(DataSet& identifier, const QueryKey& key);

#endif
