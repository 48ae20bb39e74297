#include "ConfiguredAssociationService.h"

#include <cstring>
#include <initializer_list>
#include <new>

#include "../platform/SharedFile.h"

namespace {

constexpr int listCount = 5;

bool isBlank(char character) { return character == ' ' || character == '\t' || character == '\n'; }

// Reads the next line, without its line end (and without a carriage return
// before it), into buffer, which has room for lineLimit characters and a
// terminator. 1 a line, 0 the end of the file, -1 a line longer than
// lineLimit characters, read to its end and not kept.
int readLine(std::FILE* file, char* buffer) {
    int length = 0;
    bool anything = false;
    bool tooLong = false;
    int character;
    while ((character = std::getc(file)) != EOF) {
        anything = true;
        if (character == '\n') break;
        if (length < ConfiguredAssociationService::lineLimit) {
            buffer[length++] = static_cast<char>(character);
        } else {
            tooLong = true;
        }
    }
    buffer[length] = '\0';
    if (!anything) return 0;
    if (tooLong) return -1;
    if (length != 0 && buffer[length - 1] == '\r') buffer[length - 1] = '\0';
    return 1;
}

struct Field {
    const char* start = nullptr;
    size_t length = 0;
};

// The first three fields of a line: true when there are three.
bool splitFields(const char* line, Field (&fields)[3]) {
    const char* cursor = line;
    for (Field& field : fields) {
        while (*cursor != '\0' && isBlank(*cursor)) ++cursor;
        if (*cursor == '\0') return false;
        field.start = cursor;
        while (*cursor != '\0' && !isBlank(*cursor)) ++cursor;
        field.length = static_cast<size_t>(cursor - field.start);
    }
    return true;
}

bool sameWordIgnoringCase(const Field& field, const char* word) {
    const size_t length = std::strlen(word);
    if (field.length != length) return false;
    for (size_t index = 0; index < length; ++index) {
        char character = field.start[index];
        if (character >= 'A' && character <= 'Z') character = static_cast<char>(character - 'A' + 'a');
        if (character != word[index]) return false;
    }
    return true;
}

char* copyField(const Field& field) {
    char* copy = new (std::nothrow) char[field.length + 1];
    if (copy == nullptr) return nullptr;
    std::memcpy(copy, field.start, field.length);
    copy[field.length] = '\0';
    return copy;
}

void releaseList(ConfiguredAssociationService::ConfigurationList& list) {
    if (list.values != nullptr || list.firstFields != nullptr) {
        for (uint32_t index = 0; index < list.count; ++index) {
            if (list.values != nullptr) delete[] list.values[index];
            if (list.firstFields != nullptr) delete[] list.firstFields[index];
        }
    }
    delete[] list.values;
    delete[] list.firstFields;
    list.values = nullptr;
    list.firstFields = nullptr;
    list.count = 0;
}

int matchesTitle(const ConfiguredAssociationService::ConfigurationList& list, const char* title) {
    if (list.count == 0) return 1;
    // The request's 16-byte field, cut at its first blank.
    char cut[17] = {};
    for (int index = 0; title != nullptr && index < 16 && title[index] != '\0'; ++index) cut[index] = title[index];
    for (char& character : cut) {
        if (isBlank(character)) {
            character = '\0';
            break;
        }
    }
    for (uint32_t index = 0; index < list.count; ++index) {
        if (std::strcmp(list.values[index], cut) == 0) return 1;
    }
    return 0;
}

int matchesUid(const ConfiguredAssociationService::ConfigurationList& list, const UidValue& proposed) {
    if (list.count == 0) return 1;
    for (uint32_t index = 0; index < list.count; ++index) {
        UidValue listed;
        if (listed.assign(list.values[index]) == 1 && listed == proposed) return 1;
    }
    return 0;
}

}  // namespace

ConfiguredAssociationService::ConfiguredAssociationService(const char* configurationPath) {
    loadConfiguration(configurationPath);
}

ConfiguredAssociationService::~ConfiguredAssociationService() { releaseConfiguration(); }

void ConfiguredAssociationService::releaseConfiguration() {
    for (ConfigurationList* list : {&abstractSyntaxes, &transferSyntaxes, &applicationContexts, &remoteAeTitles,
                                    &localAeTitles}) {
        releaseList(*list);
    }
}

// One pass over the file. Counting, it adds one to the count of each entry's
// list; filling, it stores copies of the entries into the arrays made for
// those counts, never past them, and leaves each count at what it stored.
// 1, or 0 on a read error or when memory ran out.
int ConfiguredAssociationService::readPass(std::FILE* file, bool filling) {
    struct Keyword {
        const char* word;
        ConfigurationList* list;
        uint32_t valueLimit;
    };
    const Keyword keywords[] = {
        {"remoteae", &remoteAeTitles, fieldLimit},     {"localae", &localAeTitles, fieldLimit},
        {"abstract", &abstractSyntaxes, UidValue::capacity}, {"sop", &abstractSyntaxes, UidValue::capacity},
        {"transfer", &transferSyntaxes, UidValue::capacity}, {"application", &applicationContexts, UidValue::capacity},
    };
    ConfigurationList* const lists[listCount] = {&abstractSyntaxes, &transferSyntaxes, &applicationContexts,
                                                 &remoteAeTitles, &localAeTitles};
    uint32_t stored[listCount] = {};

    char line[lineLimit + 1];
    int read;
    uint32_t lineNumber = 0;
    while ((read = readLine(file, line)) != 0) {
        ++lineNumber;
        if (read < 0 || line[0] == '#') continue;
        Field fields[3];
        if (!splitFields(line, fields)) continue;
        const Keyword* keyword = nullptr;
        for (const Keyword& candidate : keywords) {
            if (sameWordIgnoringCase(fields[2], candidate.word)) keyword = &candidate;
        }
        if (keyword == nullptr && !filling && unknownKeywordLine == 0) {
            unknownKeywordLine = lineNumber;
            const size_t length = fields[2].length < fieldLimit ? fields[2].length : fieldLimit;
            std::memcpy(unknownKeyword, fields[2].start, length);
            unknownKeyword[length] = '\0';
        }
        // A value too long for its list is skipped whole: cut, it would be
        // another value.
        if (keyword == nullptr || fields[0].length > fieldLimit || fields[1].length > keyword->valueLimit) continue;
        ConfigurationList& list = *keyword->list;
        if (!filling) {
            ++list.count;
            continue;
        }
        int index = 0;
        while (lists[index] != &list) ++index;
        if (stored[index] >= list.count) continue;  // the file grew between the passes
        char* value = copyField(fields[1]);
        char* firstField = copyField(fields[0]);
        if (value == nullptr || firstField == nullptr) {
            delete[] value;
            delete[] firstField;
            return 0;
        }
        list.values[stored[index]] = value;
        list.firstFields[stored[index]] = firstField;
        ++stored[index];
    }
    if (std::ferror(file)) return 0;
    if (filling) {
        // Entries that did not come again (the file shrank) are no entries.
        for (int index = 0; index < listCount; ++index) lists[index]->count = stored[index];
    }
    return 1;
}

int ConfiguredAssociationService::loadConfiguration(const char* path) {
    releaseConfiguration();
    unknownKeywordLine = 0;
    unknownKeyword[0] = '\0';
    if (path == nullptr) return 0;
    // Nobody may change the file between the counting and the filling pass.
    std::FILE* file = platform::openTextDenyingWriters(path);
    if (file == nullptr) return 0;

    int result = readPass(file, false);
    for (ConfigurationList* list : {&abstractSyntaxes, &transferSyntaxes, &applicationContexts, &remoteAeTitles,
                                    &localAeTitles}) {
        if (result == 0 || list->count == 0) continue;
        list->values = new (std::nothrow) char*[list->count]();
        list->firstFields = new (std::nothrow) char*[list->count]();
        if (list->values == nullptr || list->firstFields == nullptr) result = 0;
    }
    if (result == 1 && std::fseek(file, 0, SEEK_SET) != 0) result = 0;
    if (result == 1) result = readPass(file, true);
    std::fclose(file);
    if (result == 0) releaseConfiguration();
    return result;
}

int ConfiguredAssociationService::acceptTransferSyntax(const TransferSyntaxItem& proposed) {
    return matchesUid(transferSyntaxes, proposed.value);
}

int ConfiguredAssociationService::acceptCallingAeTitle(const char* callingAeTitle) {
    return matchesTitle(remoteAeTitles, callingAeTitle);
}

int ConfiguredAssociationService::acceptCalledAeTitle(const char* calledAeTitle) {
    return matchesTitle(localAeTitles, calledAeTitle);
}

int ConfiguredAssociationService::acceptApplicationContext(const ApplicationContextItem& proposed) {
    return matchesUid(applicationContexts, proposed.value);
}

int ConfiguredAssociationService::acceptAbstractSyntax(const AbstractSyntaxItem& proposed) {
    return matchesUid(abstractSyntaxes, proposed.value);
}
