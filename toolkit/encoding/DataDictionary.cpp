#include "DataDictionary.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "../model/IndexedList.h"

namespace {

// Room for a line of 251 characters and its terminator.
constexpr int lineRoom = 252;

bool isSeparator(char character) {
    return character == ' ' || character == '"' || character == '\'' || character == ',';
}

bool isLineEnd(char character) { return character == '\0' || character == '\n' || character == '\r'; }

int hexDigit(char character) {
    if (character >= '0' && character <= '9') return character - '0';
    if (character >= 'a' && character <= 'f') return character - 'a' + 10;
    if (character >= 'A' && character <= 'F') return character - 'A' + 10;
    return -1;
}

// The next token of the line: skips separators, then takes everything up to
// the next separator or the line's end. Returns false at the line's end.
bool nextToken(const char*& cursor, const char*& start, size_t& length) {
    while (isSeparator(*cursor)) ++cursor;
    if (isLineEnd(*cursor)) return false;
    start = cursor;
    while (!isSeparator(*cursor) && !isLineEnd(*cursor)) ++cursor;
    length = static_cast<size_t>(cursor - start);
    return true;
}

// "0x..." and "0X..." (any first character, at least one more after the x)
// are hexadecimal; anything else is a decimal number as atoi reads it.
// Either way the result is cut to 16 bits.
uint16_t numberOf(const char* token, size_t length) {
    uint32_t value = 0;
    if (length >= 3 && (token[1] == 'x' || token[1] == 'X')) {
        for (size_t index = 2; index < length; ++index) {
            const int digit = hexDigit(token[index]);
            if (digit < 0) break;
            value = ((value << 4) | static_cast<uint32_t>(digit)) & 0xFFFFu;
        }
        return static_cast<uint16_t>(value);
    }
    size_t index = 0;
    while (index < length && (token[index] == '\t' || token[index] == '\v' || token[index] == '\f')) ++index;
    bool negative = false;
    if (index < length && (token[index] == '+' || token[index] == '-')) negative = token[index++] == '-';
    for (; index < length && token[index] >= '0' && token[index] <= '9'; ++index) {
        value = value * 10u + static_cast<uint32_t>(token[index] - '0');
    }
    if (negative) value = 0u - value;
    return static_cast<uint16_t>(value);
}

struct ParsedEntry {
    uint16_t group = 0;
    uint16_t element = 0;
    uint16_t vr = 0;
    char name[DataDictionary::maximumNameLength + 1] = {};
    char keyword[DataDictionary::maximumNameLength + 1] = {};
};

bool isKeywordCharacter(char character) {
    return (character >= 'A' && character <= 'Z') || (character >= 'a' && character <= 'z') ||
           (character >= '0' && character <= '9') || character == '_';
}

// One line of the file: true when it is an entry (at least group, element
// and VR).
bool parseEntry(const char* line, ParsedEntry& entry) {
    if (line[0] != '{') return false;
    const char* cursor = line + 1;
    const char* token = nullptr;
    size_t length = 0;
    if (!nextToken(cursor, token, length)) return false;
    entry.group = numberOf(token, length);
    if (!nextToken(cursor, token, length)) return false;
    entry.element = numberOf(token, length);
    if (!nextToken(cursor, token, length) || length < 2) return false;
    entry.vr = static_cast<uint16_t>(static_cast<uint8_t>(token[0]) << 8 | static_cast<uint8_t>(token[1]));

    while (isSeparator(*cursor)) ++cursor;
    size_t nameLength = 0;
    while (!isLineEnd(*cursor) && *cursor != '"' && nameLength < DataDictionary::maximumNameLength) {
        if (*cursor == '\\') {
            ++cursor;
            if (isLineEnd(*cursor)) break;
        }
        entry.name[nameLength++] = *cursor++;
    }
    entry.name[nameLength] = '\0';
    // A keyword follows only a name that was closed on its line.
    size_t keywordLength = 0;
    if (*cursor == '"') {
        ++cursor;
        while (isSeparator(*cursor)) ++cursor;
        while (isKeywordCharacter(*cursor) && keywordLength < DataDictionary::maximumNameLength) {
            entry.keyword[keywordLength++] = *cursor++;
        }
    }
    entry.keyword[keywordLength] = '\0';
    return true;
}

// A stored copy of a text, or null for an empty one (or when memory ran out).
char* copyText(const char* text) {
    const size_t length = std::strlen(text);
    if (length == 0) return nullptr;
    char* copy = new (std::nothrow) char[length + 1];
    if (copy != nullptr) std::memcpy(copy, text, length + 1);
    return copy;
}

void releaseTexts(KeyedRecord& record) {
    delete[] record.name;
    delete[] record.keyword;
    record.name = nullptr;
    record.keyword = nullptr;
}

uint32_t keyOf(uint16_t group, uint16_t element) { return static_cast<uint32_t>(group) << 16 | element; }

}  // namespace

DataDictionary::DataDictionary(int keep, const char* path) : keepNames(keep) { load(path); }

DataDictionary::~DataDictionary() { clear(); }

int DataDictionary::load(const char* path) {
    if (path == nullptr) return 0;
    std::FILE* file = std::fopen(path, "r");
    if (file == nullptr) return 0;

    IndexedValueList<KeyedRecord> entries;
    bool complete = true;
    char line[lineRoom];
    ParsedEntry entry;
    // A last line without a line end is an entry like any other.
    while (std::fgets(line, sizeof line, file) != nullptr) {
        if (!parseEntry(line, entry)) continue;
        KeyedRecord record;
        record.tag = keyOf(entry.group, entry.element);
        record.vr = entry.vr;
        if (keepNames != 0) {
            record.name = copyText(entry.name);
            record.keyword = copyText(entry.keyword);
        }
        if (entries.tryAppend(record) == 0) {
            releaseTexts(record);
            complete = false;
            break;
        }
    }
    std::fclose(file);

    auto releaseEntries = [&entries]() {
        for (uint32_t index = 0; index < entries.count(); ++index) releaseTexts(entries.at(index)->element);
    };
    if (!complete) {
        releaseEntries();
        return 0;
    }
    if (entries.count() == 0) return 0;

    clear();
    table = new (std::nothrow) SortedKeyTable(entries.count(), 1);
    if (table == nullptr || table->capacity != entries.count()) {
        delete table;
        table = nullptr;
        releaseEntries();
        return 0;
    }
    for (uint32_t index = 0; index < entries.count(); ++index) {
        const KeyedRecord& record = entries.at(index)->element;
        table->insert(record.tag, record);
    }
    if (table->sort() == 0) {
        clear();
        return 0;
    }
    return 1;
}

int DataDictionary::clear() {
    if (table != nullptr) {
        for (uint32_t index = 0; index < table->countOf(); ++index) releaseTexts(*table->recordAt(index));
        delete table;
        table = nullptr;
    }
    return 1;
}

const KeyedRecord* DataDictionary::recordFor(uint16_t group, uint16_t element) const {
    if (table == nullptr) return nullptr;
    const int32_t index = table->find(keyOf(group, element));
    return index < 0 ? nullptr : table->recordAt(static_cast<uint32_t>(index));
}

uint16_t DataDictionary::lookup(uint16_t group, uint16_t element, char* nameOut) const {
    if (nameOut != nullptr) nameOut[0] = '\0';
    const KeyedRecord* record = recordFor(group, element);
    if (record == nullptr) return 0;
    if (nameOut != nullptr && record->name != nullptr) {
        std::strncpy(nameOut, record->name, maximumNameLength);
        nameOut[maximumNameLength] = '\0';
    }
    return static_cast<uint16_t>(record->vr);
}

const char* DataDictionary::nameOf(uint16_t group, uint16_t element) const {
    const KeyedRecord* record = recordFor(group, element);
    return record != nullptr ? record->name : nullptr;
}

const char* DataDictionary::keywordOf(uint16_t group, uint16_t element) const {
    const KeyedRecord* record = recordFor(group, element);
    return record != nullptr ? record->keyword : nullptr;
}

int DataDictionary::findKeyword(const char* keyword, uint16_t& group, uint16_t& element) const {
    if (table == nullptr || keyword == nullptr || keyword[0] == '\0') return 0;
    for (uint32_t index = 0; index < table->countOf(); ++index) {
        const KeyedRecord* record = table->recordAt(index);
        // The first letters differ for nearly every record: comparing them
        // first keeps the walk over several thousand keywords short.
        if (record->keyword != nullptr && record->keyword[0] == keyword[0] &&
            std::strcmp(record->keyword, keyword) == 0) {
            group = static_cast<uint16_t>(record->tag >> 16);
            element = static_cast<uint16_t>(record->tag);
            return 1;
        }
    }
    return 0;
}

int DataDictionary::tagFromText(const char* text, uint16_t& group, uint16_t& element) const {
    if (text == nullptr) return 0;
    // Eight hexadecimal digits, with an optional comma after the fourth and
    // optional parentheses around the whole.
    const size_t length = std::strlen(text);
    size_t start = 0, end = length;
    if (length >= 2 && text[0] == '(' && text[length - 1] == ')') {
        start = 1;
        end = length - 1;
    }
    uint32_t digits = 0, value = 0;
    bool wellFormed = end > start;
    for (size_t index = start; index < end; ++index) {
        if (text[index] == ',' && digits == 4 && index == start + 4) continue;
        const int digit = hexDigit(text[index]);
        if (digit < 0 || digits == 8) {
            wellFormed = false;
            break;
        }
        value = value << 4 | static_cast<uint32_t>(digit);
        ++digits;
    }
    if (wellFormed && digits == 8) {
        group = static_cast<uint16_t>(value >> 16);
        element = static_cast<uint16_t>(value);
        return 1;
    }
    return findKeyword(text, group, element);
}

int DataDictionary::assignVr(DataElement* element) const {
    if (element == nullptr) return 0;
    element->vr = lookup(element->group, element->element);
    return element->vr != 0 ? 1 : 0;
}

int DataDictionary::assignVrs(DataSet* set) const {
    if (set == nullptr) return 1;
    DataSet scratch;
    while (DataElement* element = set->nextElement()) {
        assignVr(element);
        if (scratch.addElement(element) == 0) delete element;
    }
    while (DataElement* element = scratch.nextElement()) {
        if (set->addElement(element) == 0) delete element;
    }
    return 1;
}
