#ifndef DICOMTOOLKIT_ENCODING_DATADICTIONARY_H
#define DICOMTOOLKIT_ENCODING_DATADICTIONARY_H

#include <cstdint>

#include "../model/DataSet.h"
#include "SortedKeyTable.h"

// The VR, name and keyword of each known tag, loaded from a text file, so
// that elements decoded from implicit VR (which carry vr 0) can be given
// their VR before they are written in explicit VR, and so that programs can
// show names and take keywords where they take tags.
//
// The file is read line by line, at most 251 characters at a time; a line
// that does not start with "{" is ignored. An entry is
//
//   {0x0010, 0x0010, "PN", "Patient's Name", "PatientName"}
//
// with fields separated by runs of spaces, double quotes, single quotes and
// commas (not tabs): group and element (hexadecimal after "0x" or "0X",
// otherwise decimal, cut to 16 bits), the VR (the token's first two
// letters), the name (up to the next double quote; a backslash takes the
// character after it literally), and after the name's closing quote an
// optional keyword (letters, digits and underscores). Anything after that is
// ignored. A line that ends before the VR is no entry.
class DataDictionary {
public:
    // Names are at most this long: an entry is one line of the file.
    static constexpr uint32_t maximumNameLength = 250;

    // keepNames 0 keeps neither names nor keywords. Calls load(path), whose
    // result is not reported: lookups answer 0 when it failed.
    DataDictionary(int keepNames, const char* path);
    ~DataDictionary();

    DataDictionary(const DataDictionary&) = delete;
    DataDictionary& operator=(const DataDictionary&) = delete;

    // Builds a new table from the file: 1, or 0 when path is null, the file
    // does not open, it holds no entry (the previous table stays in use then)
    // or memory ran out (no table is left then).
    int load(const char* path);
    // Releases the table and every stored name; returns 1.
    int clear();

    // The VR code for the tag, or 0 when there is no table or no such entry.
    // When nameOut is given it becomes "" and then the entry's stored name;
    // it must have room for maximumNameLength + 1 characters.
    uint16_t lookup(uint16_t group, uint16_t element, char* nameOut = nullptr) const;
    // The entry's stored name or keyword, or null.
    const char* nameOf(uint16_t group, uint16_t element) const;
    const char* keywordOf(uint16_t group, uint16_t element) const;
    // The tag of the entry with exactly this keyword (letter case counts):
    // 1 with group and element set, or 0 with both left as they were.
    int findKeyword(const char* keyword, uint16_t& group, uint16_t& element) const;
    // A tag written "gggg,eeee", "(gggg,eeee)" or "ggggeeee" in hexadecimal,
    // or a keyword: 1 with group and element set, or 0.
    int tagFromText(const char* text, uint16_t& group, uint16_t& element) const;

    // Sets element's vr to the dictionary's (0 for an unknown tag, so an
    // earlier VR is lost); 1 when that is non-zero.
    int assignVr(DataElement* element) const;
    // assignVr on every element of set, which is drained and refilled (group
    // length elements are dropped on the way and made again when the set is
    // next drained). Returns 1.
    int assignVrs(DataSet* set) const;

    uint32_t entryCount() const { return table != nullptr ? table->countOf() : 0; }

    SortedKeyTable* table = nullptr;
    int32_t keepNames = 1;

private:
    const KeyedRecord* recordFor(uint16_t group, uint16_t element) const;
};

#endif
