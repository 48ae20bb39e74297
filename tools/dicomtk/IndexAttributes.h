#ifndef TOOLS_DICOMTK_INDEXATTRIBUTES_H
#define TOOLS_DICOMTK_INDEXATTRIBUTES_H

#include <cstdint>
#include <string>
#include <vector>

#include "model/DataSet.h"

// What the store index knows of the Patient Root and Study Root models, the
// same for every backend: the levels, the attribute table (which attribute
// is kept at which level, how a key of it is matched), and the forms in
// which stored values and keys are compared.

enum Level : int { patientLevel = 0, studyLevel = 1, seriesLevel = 2, imageLevel = 3 };
constexpr int levelCount = 4;

// The Query/Retrieve Level (0008,0052) text of each level.
extern const char* const levelNames[levelCount];

// How a key is matched.
enum class Matching {
    text,        // single value or wildcards * and ?, case-sensitive (AE CS LO SH)
    personName,  // the same, case-insensitive for ASCII letters (PN)
    date,        // single value or range (DA)
    time,        // single value or range (TM)
    uid,         // single value or list (UI)
    exact,       // single value (AS DS IS)
    modalities,  // ModalitiesInStudy: some series of the study has a matching Modality
    none,        // returned only, never matched
};

// Where the value of an attribute comes from.
enum class Source {
    stored,          // the column of its level's entity
    count,           // the number of entities at level below under the entity
    distinctValues,  // the distinct non-empty values of column at level below under
                     // the entity, sorted, separated by backslashes
};

// One attribute the index knows. The column names are those of the tables
// of the SQL backends, and also name the attribute within the index.
struct Attribute {
    uint16_t group;
    uint16_t element;
    uint16_t vr;
    Level level;
    const char* column;  // stored: its column; distinctValues: the column below; count: null
    Matching matching;
    Source source;
    Level below;  // count and distinctValues: the level gathered; stored: level
};

// Specific Character Set is kept at every level, from the object that last
// wrote the entity, and returned from the entity of the requested level.
constexpr uint16_t characterSetGroup = 0x0008, characterSetElement = 0x0005;
constexpr uint16_t levelGroup = 0x0008, levelElement = 0x0052;

// The attribute of a tag, or null.
const Attribute* findAttribute(uint16_t group, uint16_t element);
// Patient ID, Study Instance UID, Series Instance UID, SOP Instance UID.
const Attribute& uniqueKey(Level level);
// The stored attributes of a level, in the order of their columns.
const std::vector<const Attribute*>& storedAttributes(Level level);
// Whether a stored attribute has a second value in the form it is matched
// in (person names, dates, times): the key form, storedKey.
bool hasKeyForm(const Attribute& attribute);

// A stored value as the index keeps it: up to its first zero byte, without
// trailing and leading spaces.
std::string storedText(const DataElement* element);
// The key form of a stored value (person names, dates, times), or the value.
std::string storedKey(const Attribute& attribute, const std::string& text);
// Person names compare in ASCII capitals, each component group without
// trailing empty components, without trailing empty groups.
std::string personNameKey(const std::string& name);
// Dates compare as YYYYMMDD. A bound given with less precision is filled
// out to the first (lower) or last (upper) day it covers.
std::string dateKey(const std::string& date, bool upper);
// Times compare as HHMMSS.FFFFFF; a bound with less precision covers its
// whole hour, minute, second or fraction.
std::string timeKey(const std::string& time, bool upper);

std::string trimmedSpaces(const std::string& text);
bool hasWildcard(const std::string& value);
bool onlyAsterisks(const std::string& value);
// The problem text for a value from the wire: printable, and short.
std::string shown(const std::string& text);
// "(GGGG,EEEE)".
std::string tagText(uint16_t group, uint16_t element);

// Calls visit(element) for each element of a set that is filling, leaving it as it was.
template <typename Visit>
void forEachElement(DataSet* set, Visit visit) {
    for (uint32_t index = 0; index < set->fillList.count(); ++index) {
        ElementGroup* group = set->fillList.at(index)->element;
        for (uint32_t position = 0; position < group->count(); ++position) visit(group->at(position)->element);
    }
}

#endif
