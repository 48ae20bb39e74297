#include "StoreIndex.h"

#include <sqlite3.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <new>
#include <optional>
#include <set>
#include <system_error>

#include "network/AssociationService.h"

// The database, FOLDER/index.sqlite, holds one table per level of the
// hierarchy, each row pointing to its parent:
//
//   patient  (id, specific_character_set, patient attributes)          unique patient_id
//   study    (id, patient_ref, specific_character_set, study attributes)  unique study_instance_uid
//   series   (id, study_ref, specific_character_set, series attributes)   unique series_instance_uid
//   instance (id, series_ref, file, specific_character_set, instance attributes)
//                                                                        unique sop_instance_uid
//
// Every attribute is a TEXT column holding the value as stored, without
// leading spaces and without its trailing padding (spaces or zero bytes; a
// value is cut at its first zero byte). Person names, dates and times have a
// second column, <column>_key, in the form they are matched in: person names
// in ASCII capitals without trailing empty components, dates without the
// dots of the old YYYY.MM.DD form, times as HHMMSS.FFFFFF without colons.
// The patient is identified by Patient ID alone (an object without one
// belongs to the patient whose ID is empty). The attributes of a patient,
// study or series are those of the last object stored under it that has
// them: an element present in a newer object replaces the value, an absent
// one leaves it. An object stored again under a SOP Instance UID already
// indexed replaces the instance and may move it to another series, study or
// patient; an entity left without children disappears.
//
// The file name of the database cannot be a stored object's
// (<SOP Instance UID>.dcm), and the folder scan takes only visible regular
// files named *.dcm, so FolderStore's temporary files (.incoming-*.tmp) and
// SQLite's own (index.sqlite-wal, -shm, -journal) are never indexed.
//
// Matching of a key (an identifier element the attribute table below knows,
// of the requested level or a level above; keys of lower levels are
// returned empty and restrict nothing):
// - empty, or only asterisks: universal, no restriction;
// - a list (values separated by backslashes): an entity matches when one
//   value matches; for UIDs up to 4096 values, for other keys up to 64;
// - UI: equality, never a wildcard;
// - DA and TM: a single value or a range low-high, open at either end; a
//   bound (and a single value) of less precision covers its whole year,
//   month, day, hour, minute or second ("2024" is all of 2024, "1200" is
//   12:00:00 to 12:00:59.999999); an entity without the value never
//   matches a range;
// - AE CS LO SH: equality, or with * and ? a wildcard pattern (nothing else
//   is special: brackets, % and _ are characters like any other);
//   case-sensitive;
// - PN: the same, case-insensitive for ASCII letters, trailing empty
//   components ignored;
// - AS DS IS: equality of the text;
// - ModalitiesInStudy: some series of the study has a matching Modality;
// - the counts, SOPClassesInStudy, PatientComments, Specific Character Set:
//   returned only.
// Values are compared without leading and trailing spaces. A key longer
// than 64 KiB, a value longer than 1 KiB, or a value holding control
// characters (other than ESC of the ISO 2022 character sets) refuses the
// identifier.
//
// Every result carries the Query/Retrieve Level, the unique keys of its
// level and those above (Patient Root: Patient ID at every level; Study
// Root: Study Instance UID at STUDY and below), and each element of the
// identifier: filled from the index when known at that level, with the VR
// of the attribute table; otherwise empty, with the VR it came with (UN when
// it came without one).

namespace {

constexpr int schemaVersion = 1;
const char* const databaseName = "index.sqlite";

// Bounds on what a key may hold; beyond them the identifier is refused.
constexpr uint32_t longestKeyElement = 65536;  // bytes of one element's value
constexpr size_t longestKeyValue = 1024;       // bytes of one value of a list
constexpr size_t mostUidValues = 4096;         // values of one UID list
constexpr size_t mostOtherValues = 64;         // values of one list of any other key
constexpr size_t mostParameters = 30000;       // below SQLite's limit of 32766

enum Level : int { patientLevel = 0, studyLevel = 1, seriesLevel = 2, imageLevel = 3 };

const char* const levelNames[] = {"PATIENT", "STUDY", "SERIES", "IMAGE"};
const char* const levelTables[] = {"patient", "study", "series", "instance"};
const char* const levelAliases[] = {"p", "s", "r", "i"};
// The column of each table that points to the row of the level above.
const char* const parentColumns[] = {nullptr, "patient_ref", "study_ref", "series_ref"};

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

// One attribute the index knows: stored in column of its level's table, or
// computed by an SQL expression over the aliases p, s, r, i of the query.
struct Attribute {
    uint16_t group;
    uint16_t element;
    uint16_t vr;
    Level level;
    const char* column;
    Matching matching;
    const char* computed;
};

// The attributes of the Patient Root and Study Root models kept in the index.
// In Study Root the patient attributes are attributes of the study.
const Attribute attributes[] = {
    // PATIENT
    {0x0010, 0x0010, vrCode('P', 'N'), patientLevel, "patient_name", Matching::personName, nullptr},
    {0x0010, 0x0020, vrCode('L', 'O'), patientLevel, "patient_id", Matching::text, nullptr},
    {0x0010, 0x0021, vrCode('L', 'O'), patientLevel, "issuer_of_patient_id", Matching::text, nullptr},
    {0x0010, 0x0030, vrCode('D', 'A'), patientLevel, "patient_birth_date", Matching::date, nullptr},
    {0x0010, 0x0032, vrCode('T', 'M'), patientLevel, "patient_birth_time", Matching::time, nullptr},
    {0x0010, 0x0040, vrCode('C', 'S'), patientLevel, "patient_sex", Matching::text, nullptr},
    {0x0010, 0x1000, vrCode('L', 'O'), patientLevel, "other_patient_ids", Matching::text, nullptr},
    {0x0010, 0x2160, vrCode('S', 'H'), patientLevel, "ethnic_group", Matching::text, nullptr},
    {0x0010, 0x4000, vrCode('L', 'T'), patientLevel, "patient_comments", Matching::none, nullptr},
    {0x0020, 0x1200, vrCode('I', 'S'), patientLevel, nullptr, Matching::none,
     "(SELECT COUNT(*) FROM study WHERE study.patient_ref = p.id)"},
    {0x0020, 0x1202, vrCode('I', 'S'), patientLevel, nullptr, Matching::none,
     "(SELECT COUNT(*) FROM study JOIN series ON series.study_ref = study.id WHERE study.patient_ref = p.id)"},
    {0x0020, 0x1204, vrCode('I', 'S'), patientLevel, nullptr, Matching::none,
     "(SELECT COUNT(*) FROM study JOIN series ON series.study_ref = study.id"
     " JOIN instance ON instance.series_ref = series.id WHERE study.patient_ref = p.id)"},
    // STUDY
    {0x0008, 0x0020, vrCode('D', 'A'), studyLevel, "study_date", Matching::date, nullptr},
    {0x0008, 0x0030, vrCode('T', 'M'), studyLevel, "study_time", Matching::time, nullptr},
    {0x0008, 0x0050, vrCode('S', 'H'), studyLevel, "accession_number", Matching::text, nullptr},
    {0x0008, 0x0061, vrCode('C', 'S'), studyLevel, nullptr, Matching::modalities,
     "(SELECT group_concat(modality, '\\') FROM (SELECT DISTINCT series.modality AS modality FROM series"
     " WHERE series.study_ref = s.id AND series.modality <> '' ORDER BY 1))"},
    {0x0008, 0x0062, vrCode('U', 'I'), studyLevel, nullptr, Matching::none,
     "(SELECT group_concat(uid, '\\') FROM (SELECT DISTINCT instance.sop_class_uid AS uid FROM series"
     " JOIN instance ON instance.series_ref = series.id WHERE series.study_ref = s.id"
     " AND instance.sop_class_uid <> '' ORDER BY 1))"},
    {0x0008, 0x0090, vrCode('P', 'N'), studyLevel, "referring_physician_name", Matching::personName, nullptr},
    {0x0008, 0x1030, vrCode('L', 'O'), studyLevel, "study_description", Matching::text, nullptr},
    {0x0010, 0x1010, vrCode('A', 'S'), studyLevel, "patient_age", Matching::exact, nullptr},
    {0x0010, 0x1020, vrCode('D', 'S'), studyLevel, "patient_size", Matching::exact, nullptr},
    {0x0010, 0x1030, vrCode('D', 'S'), studyLevel, "patient_weight", Matching::exact, nullptr},
    {0x0020, 0x000D, vrCode('U', 'I'), studyLevel, "study_instance_uid", Matching::uid, nullptr},
    {0x0020, 0x0010, vrCode('S', 'H'), studyLevel, "study_id", Matching::text, nullptr},
    {0x0020, 0x1206, vrCode('I', 'S'), studyLevel, nullptr, Matching::none,
     "(SELECT COUNT(*) FROM series WHERE series.study_ref = s.id)"},
    {0x0020, 0x1208, vrCode('I', 'S'), studyLevel, nullptr, Matching::none,
     "(SELECT COUNT(*) FROM series JOIN instance ON instance.series_ref = series.id WHERE series.study_ref = s.id)"},
    // SERIES
    {0x0008, 0x0021, vrCode('D', 'A'), seriesLevel, "series_date", Matching::date, nullptr},
    {0x0008, 0x0031, vrCode('T', 'M'), seriesLevel, "series_time", Matching::time, nullptr},
    {0x0008, 0x0060, vrCode('C', 'S'), seriesLevel, "modality", Matching::text, nullptr},
    {0x0008, 0x103E, vrCode('L', 'O'), seriesLevel, "series_description", Matching::text, nullptr},
    {0x0018, 0x0015, vrCode('C', 'S'), seriesLevel, "body_part_examined", Matching::text, nullptr},
    {0x0020, 0x000E, vrCode('U', 'I'), seriesLevel, "series_instance_uid", Matching::uid, nullptr},
    {0x0020, 0x0011, vrCode('I', 'S'), seriesLevel, "series_number", Matching::exact, nullptr},
    {0x0020, 0x1209, vrCode('I', 'S'), seriesLevel, nullptr, Matching::none,
     "(SELECT COUNT(*) FROM instance WHERE instance.series_ref = r.id)"},
    // IMAGE
    {0x0008, 0x0016, vrCode('U', 'I'), imageLevel, "sop_class_uid", Matching::uid, nullptr},
    {0x0008, 0x0018, vrCode('U', 'I'), imageLevel, "sop_instance_uid", Matching::uid, nullptr},
    {0x0008, 0x0023, vrCode('D', 'A'), imageLevel, "content_date", Matching::date, nullptr},
    {0x0008, 0x0033, vrCode('T', 'M'), imageLevel, "content_time", Matching::time, nullptr},
    {0x0020, 0x0013, vrCode('I', 'S'), imageLevel, "instance_number", Matching::exact, nullptr},
};

// Specific Character Set is kept at every level, from the object that last
// wrote the row, and returned from the row of the requested level.
constexpr uint16_t characterSetGroup = 0x0008, characterSetElement = 0x0005;
constexpr uint16_t levelGroup = 0x0008, levelElement = 0x0052;

const Attribute* findAttribute(uint16_t group, uint16_t element) {
    for (const Attribute& attribute : attributes) {
        if (attribute.group == group && attribute.element == element) return &attribute;
    }
    return nullptr;
}

const Attribute& uniqueKey(Level level) {
    static const Attribute* const keys[] = {findAttribute(0x0010, 0x0020), findAttribute(0x0020, 0x000D),
                                            findAttribute(0x0020, 0x000E), findAttribute(0x0008, 0x0018)};
    return *keys[level];
}

bool hasKeyColumn(const Attribute& attribute) {
    return attribute.column != nullptr && (attribute.matching == Matching::personName ||
                                           attribute.matching == Matching::date || attribute.matching == Matching::time);
}

// The problem text for a value from the wire: printable, and short.
std::string shown(const std::string& text) {
    std::string out;
    for (size_t index = 0; index < text.size() && index < 32; ++index) {
        const auto character = static_cast<unsigned char>(text[index]);
        out += (character >= 0x20 && character < 0x7F) ? static_cast<char>(character) : '?';
    }
    if (text.size() > 32) out += "...";
    return out;
}

// A stored value as the index keeps it: up to its first zero byte, without
// trailing and leading spaces.
std::string storedText(const DataElement* element) {
    if (element == nullptr || element->value == nullptr || element->length == 0) return "";
    const char* bytes = reinterpret_cast<const char*>(element->value);
    const size_t length = element->length == 0xFFFFFFFFu ? 0 : element->length;
    size_t end = 0;
    while (end < length && bytes[end] != '\0') ++end;
    size_t begin = 0;
    while (begin < end && bytes[begin] == ' ') ++begin;
    while (end > begin && bytes[end - 1] == ' ') --end;
    return std::string(bytes + begin, end - begin);
}

std::string trimmedSpaces(const std::string& text) {
    size_t begin = 0, end = text.size();
    while (begin < end && text[begin] == ' ') ++begin;
    while (end > begin && text[end - 1] == ' ') --end;
    return text.substr(begin, end - begin);
}

// Person names compare in ASCII capitals, each component group without
// trailing empty components, without trailing empty groups.
std::string personNameKey(const std::string& name) {
    std::string key;
    std::string group;
    auto finishGroup = [&]() {
        while (!group.empty() && (group.back() == '^' || group.back() == ' ')) group.pop_back();
        key += group;
        group.clear();
    };
    for (char character : name) {
        if (character == '=') {
            finishGroup();
            key += '=';
        } else {
            group += (character >= 'a' && character <= 'z') ? static_cast<char>(character - 'a' + 'A') : character;
        }
    }
    finishGroup();
    while (!key.empty() && key.back() == '=') key.pop_back();
    return key;
}

// Dates compare as YYYYMMDD. A bound given with less precision is filled
// out to the first (lower) or last (upper) day it covers.
std::string dateKey(const std::string& date, bool upper) {
    std::string digits;
    for (char character : date) {
        if (character != '.') digits += character;
    }
    if (digits.empty()) return digits;
    const char* fill = upper ? "99991231" : "00000101";
    if (digits.size() < 8) digits += std::string(fill + digits.size());
    return digits;
}

// Times compare as HHMMSS.FFFFFF; a bound with less precision covers its
// whole hour, minute, second or fraction.
std::string timeKey(const std::string& time, bool upper) {
    std::string whole, fraction;
    bool inFraction = false;
    for (char character : time) {
        if (character == ':') continue;
        if (character == '.' && !inFraction) {
            inFraction = true;
            continue;
        }
        (inFraction ? fraction : whole) += character;
    }
    if (whole.empty() && fraction.empty()) return "";
    const char* fill = upper ? "235959" : "000000";
    if (whole.size() < 6) whole += std::string(fill + whole.size());
    if (fraction.size() > 6) fraction.resize(6);
    fraction += std::string(6 - fraction.size(), upper ? '9' : '0');
    return whole + "." + fraction;
}

std::string storedKey(const Attribute& attribute, const std::string& text) {
    switch (attribute.matching) {
        case Matching::personName: return personNameKey(text);
        case Matching::date: return dateKey(text, false);
        case Matching::time: return timeKey(text, false);
        default: return text;
    }
}

// A DICOM pattern as a GLOB pattern: * and ? keep their meaning, the GLOB
// set brackets are taken literally.
std::string globPattern(const std::string& pattern) {
    std::string glob;
    for (char character : pattern) {
        if (character == '[') glob += "[[]";
        else if (character == ']') glob += "[]]";
        else glob += character;
    }
    return glob;
}

bool hasWildcard(const std::string& value) { return value.find_first_of("*?") != std::string::npos; }

bool onlyAsterisks(const std::string& value) {
    return !value.empty() && value.find_first_not_of('*') == std::string::npos;
}

bool isSafeFileName(const std::string& name) {
    if (name.empty() || name == "." || name == ".." || name.size() > 255) return false;
    for (char character : name) {
        if (character == '/' || character == '\\' || character == '\0') return false;
    }
    return true;
}

// Calls visit(element) for each element of a set that is filling, leaving it as it was.
template <typename Visit>
void forEachElement(DataSet* set, Visit visit) {
    for (uint32_t index = 0; index < set->fillList.count(); ++index) {
        ElementGroup* group = set->fillList.at(index)->element;
        for (uint32_t position = 0; position < group->count(); ++position) visit(group->at(position)->element);
    }
}

// The .dcm files of the folder: visible regular files, sorted by name.
std::vector<std::string> storedFileNames(const std::string& folder) {
    std::vector<std::string> names;
    std::error_code error;
    std::filesystem::directory_iterator entries(folder, error);
    if (error) return names;
    for (const std::filesystem::directory_entry& entry : entries) {
        std::error_code typeError;
        if (!entry.is_regular_file(typeError)) continue;
        const std::string name = entry.path().filename().string();
        if (name.empty() || name[0] == '.' || name.size() < 5 || name.compare(name.size() - 4, 4, ".dcm") != 0) continue;
        names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

thread_local std::string threadProblem;

class Statement {
public:
    Statement() = default;
    ~Statement() { sqlite3_finalize(handle); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    bool prepare(sqlite3* database, const std::string& sql) {
        finish();
        return sqlite3_prepare_v2(database, sql.c_str(), -1, &handle, nullptr) == SQLITE_OK;
    }
    void finish() {
        sqlite3_finalize(handle);
        handle = nullptr;
    }
    void restart() {
        sqlite3_reset(handle);
        sqlite3_clear_bindings(handle);
    }
    void bind(int index, const std::string& text) {
        sqlite3_bind_text(handle, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
    }
    void bind(int index, const std::optional<std::string>& text) {
        if (text) bind(index, *text);
        else sqlite3_bind_null(handle, index);
    }
    void bind(int index, int64_t number) { sqlite3_bind_int64(handle, index, number); }
    // SQLITE_ROW, SQLITE_DONE or an error.
    int step() { return sqlite3_step(handle); }
    int64_t integer(int column) { return sqlite3_column_int64(handle, column); }
    std::string text(int column) {
        const auto* bytes = reinterpret_cast<const char*>(sqlite3_column_text(handle, column));
        if (bytes == nullptr) return "";
        return std::string(bytes, static_cast<size_t>(sqlite3_column_bytes(handle, column)));
    }

    sqlite3_stmt* handle = nullptr;
};

// The values of one object, by level: each attribute's text when the object has the element.
struct ObjectValues {
    std::vector<std::optional<std::string>> stored[4];
    std::optional<std::string> characterSet;
};

// The stored attributes of a level, in the order of their columns.
std::vector<const Attribute*> storedAttributes(Level level) {
    std::vector<const Attribute*> list;
    for (const Attribute& attribute : attributes) {
        if (attribute.level == level && attribute.column != nullptr) list.push_back(&attribute);
    }
    return list;
}

}  // namespace

struct StoreIndex::Database {
    ~Database() {
        takeInWaiting();
        // A connection closes only once its statements are finalized.
        for (int level = 0; level < 4; ++level) {
            select[level].finish();
            update[level].finish();
            insert[level].finish();
        }
        sharingFile.finish();
        sqlite3_close(connection);
    }

    std::mutex mutex;
    sqlite3* connection = nullptr;
    std::string folder;
    // Per level: the row of a unique key (id, parent), its update and its insertion.
    Statement select[4];
    Statement update[4];
    Statement insert[4];
    // The other instances recorded under a file name (file, id).
    Statement sharingFile;

    // Entries given to addSoon and not yet taken in, oldest first, and why
    // those that failed did so, until their caller settles them.
    struct Waiting {
        uint64_t ticket;
        std::unique_ptr<DataSet> dataSet;
        std::string fileName;
    };
    std::vector<Waiting> waiting;
    std::map<uint64_t, std::string> unsettledFailures;
    uint64_t lastTicket = 0;

    // Records one object in a transaction of its own. Called with mutex held.
    bool addInTransaction(DataSet* dataSet, const std::string& fileName, std::string& problem) {
        if (!execute("BEGIN IMMEDIATE", problem)) return false;
        if (addObject(dataSet, fileName, problem) == 1 && execute("COMMIT", problem)) return true;
        std::string ignored;
        execute("ROLLBACK", ignored);
        return false;
    }
    // Takes in every waiting entry, in order. Called with mutex held.
    void takeInWaiting() {
        for (Waiting& entry : waiting) {
            std::string why;
            if (!addInTransaction(entry.dataSet.get(), entry.fileName, why)) unsettledFailures[entry.ticket] = why;
        }
        waiting.clear();
    }

    bool execute(const std::string& sql, std::string& problem) {
        char* message = nullptr;
        if (sqlite3_exec(connection, sql.c_str(), nullptr, nullptr, &message) == SQLITE_OK) return true;
        problem = "index database: " + std::string(message != nullptr ? message : sqlite3_errmsg(connection));
        sqlite3_free(message);
        return false;
    }

    std::string failure(const std::string& doing) { return doing + ": " + sqlite3_errmsg(connection); }

    bool createSchema(std::string& problem);
    bool prepareStatements(std::string& problem);
    // 1 added; 0 the object cannot be indexed (nothing written); -1 the
    // database failed (the transaction is to be rolled back).
    int addObject(DataSet* dataSet, const std::string& fileName, std::string& problem);
    bool dropIfEmpty(Level level, int64_t id, std::string& problem);
    bool scanAll(long& skipped, std::string& problem);
    bool reconcile(long& skipped, std::string& problem);
    int addFile(AssociationService& service, const std::string& name, std::string& problem);
};

bool StoreIndex::Database::createSchema(std::string& problem) {
    std::string sql = "DROP TABLE IF EXISTS instance; DROP TABLE IF EXISTS series;"
                      " DROP TABLE IF EXISTS study; DROP TABLE IF EXISTS patient;";
    for (int level = patientLevel; level <= imageLevel; ++level) {
        sql += std::string(" CREATE TABLE ") + levelTables[level] + " (id INTEGER PRIMARY KEY";
        if (parentColumns[level] != nullptr) sql += std::string(", ") + parentColumns[level] + " INTEGER NOT NULL";
        if (level == imageLevel) sql += ", file TEXT NOT NULL";
        sql += ", specific_character_set TEXT NOT NULL DEFAULT ''";
        for (const Attribute* attribute : storedAttributes(static_cast<Level>(level))) {
            sql += std::string(", ") + attribute->column + " TEXT NOT NULL DEFAULT ''";
            if (hasKeyColumn(*attribute)) sql += std::string(", ") + attribute->column + "_key TEXT NOT NULL DEFAULT ''";
        }
        sql += ");";
    }
    sql +=
        " CREATE UNIQUE INDEX patient_by_id ON patient (patient_id);"
        " CREATE INDEX patient_by_name ON patient (patient_name_key);"
        " CREATE UNIQUE INDEX study_by_uid ON study (study_instance_uid);"
        " CREATE INDEX study_by_patient ON study (patient_ref);"
        " CREATE INDEX study_by_date ON study (study_date_key);"
        " CREATE INDEX study_by_accession ON study (accession_number);"
        " CREATE UNIQUE INDEX series_by_uid ON series (series_instance_uid);"
        " CREATE INDEX series_by_study ON series (study_ref);"
        " CREATE UNIQUE INDEX instance_by_uid ON instance (sop_instance_uid);"
        " CREATE INDEX instance_by_series ON instance (series_ref);"
        " CREATE INDEX instance_by_file ON instance (file);"
        " PRAGMA user_version = " +
        std::to_string(schemaVersion) + ";";
    return execute(sql, problem);
}

// Statement parameters, per level: select (key); update (parent, character
// set, attributes..., id), each attribute with its key column after it and
// the file after the parent for instances; insert in the same order without id.
bool StoreIndex::Database::prepareStatements(std::string& problem) {
    for (int level = patientLevel; level <= imageLevel; ++level) {
        const std::string table = levelTables[level];
        const std::string key = uniqueKey(static_cast<Level>(level)).column;
        const char* parent = parentColumns[level];
        std::string selectSql = "SELECT id, " + std::string(parent != nullptr ? parent : "0") + " FROM " + table +
                                " WHERE " + key + " = ?";
        // The update leaves a row that would not change alone: an object of
        // a series already held mostly repeats its patient, study and series,
        // and a row left alone costs the database no page to write.
        std::string updateSql = "UPDATE " + table + " SET ";
        std::string changed;
        std::string insertColumns, insertValues;
        int parameter = 0;
        auto addColumn = [&](const std::string& column, bool keepWhenAbsent) {
            const std::string number = "?" + std::to_string(++parameter);
            const std::string value = keepWhenAbsent ? "COALESCE(" + number + ", " + column + ")" : number;
            if (insertColumns.empty()) {
                updateSql += column + " = " + value;
                changed = column + " IS NOT " + value;
            } else {
                updateSql += ", " + column + " = " + value;
                changed += " OR " + column + " IS NOT " + value;
                insertColumns += ", ";
                insertValues += ", ";
            }
            insertColumns += column;
            insertValues += keepWhenAbsent ? "COALESCE(" + number + ", '')" : number;
        };
        if (parent != nullptr) addColumn(parent, false);
        if (level == imageLevel) addColumn("file", false);
        addColumn("specific_character_set", true);
        for (const Attribute* attribute : storedAttributes(static_cast<Level>(level))) {
            addColumn(attribute->column, true);
            if (hasKeyColumn(*attribute)) addColumn(std::string(attribute->column) + "_key", true);
        }
        updateSql += " WHERE id = ?" + std::to_string(parameter + 1) + " AND (" + changed + ")";
        const std::string insertSql = "INSERT INTO " + table + " (" + insertColumns + ") VALUES (" + insertValues + ")";
        if (!select[level].prepare(connection, selectSql) || !update[level].prepare(connection, updateSql) ||
            !insert[level].prepare(connection, insertSql)) {
            problem = failure("index database");
            return false;
        }
    }
    if (!sharingFile.prepare(connection, "SELECT id, series_ref FROM instance WHERE file = ? AND id <> ?")) {
        problem = failure("index database");
        return false;
    }
    return true;
}

// Deletes the row when nothing is left under it, and then its parent the same way.
bool StoreIndex::Database::dropIfEmpty(Level level, int64_t id, std::string& problem) {
    while (level != imageLevel) {
        const Level child = static_cast<Level>(level + 1);
        Statement check;
        std::string sql = std::string("SELECT ") + (parentColumns[level] != nullptr ? parentColumns[level] : "0") +
                          ", EXISTS (SELECT 1 FROM " + levelTables[child] + " WHERE " + parentColumns[child] +
                          " = ?1) FROM " + levelTables[level] + " WHERE id = ?1";
        if (!check.prepare(connection, sql)) {
            problem = failure("index database");
            return false;
        }
        check.bind(1, id);
        const int stepped = check.step();
        if (stepped == SQLITE_DONE) return true;
        if (stepped != SQLITE_ROW) {
            problem = failure("index database");
            return false;
        }
        const int64_t parent = check.integer(0);
        if (check.integer(1) != 0) return true;
        Statement drop;
        if (!drop.prepare(connection, std::string("DELETE FROM ") + levelTables[level] + " WHERE id = ?")) {
            problem = failure("index database");
            return false;
        }
        drop.bind(1, id);
        if (drop.step() != SQLITE_DONE) {
            problem = failure("index database");
            return false;
        }
        if (level == patientLevel) return true;
        level = static_cast<Level>(level - 1);
        id = parent;
    }
    return true;
}

// Records one object inside the caller's transaction.
int StoreIndex::Database::addObject(DataSet* dataSet, const std::string& fileName, std::string& problem) {
    if (dataSet == nullptr) {
        problem = "no data set";
        return 0;
    }
    if (!isSafeFileName(fileName)) {
        problem = "'" + shown(fileName) + "' is not a file name in the store folder";
        return 0;
    }
    ObjectValues values;
    if (const DataElement* found = dataSet->find(characterSetGroup, characterSetElement)) {
        values.characterSet = storedText(found);
    }
    std::string keys[4];
    for (int level = patientLevel; level <= imageLevel; ++level) {
        for (const Attribute* attribute : storedAttributes(static_cast<Level>(level))) {
            const DataElement* found = dataSet->find(attribute->group, attribute->element);
            if (found == nullptr) {
                values.stored[level].push_back(std::nullopt);
            } else {
                values.stored[level].push_back(storedText(found));
            }
            if (attribute == &uniqueKey(static_cast<Level>(level))) {
                keys[level] = values.stored[level].back().value_or("");
                values.stored[level].back() = keys[level];
            }
        }
    }
    const char* const missing[] = {nullptr, "Study Instance UID", "Series Instance UID", "SOP Instance UID"};
    for (int level = imageLevel; level > patientLevel; --level) {
        if (keys[level].empty()) {
            problem = std::string("the object has no ") + missing[level];
            return 0;
        }
    }

    // The rows the object leaves, to be dropped when they end up empty.
    std::vector<std::pair<Level, int64_t>> left;
    int64_t parent = 0;
    for (int level = patientLevel; level <= imageLevel; ++level) {
        Statement& lookup = select[level];
        lookup.restart();
        lookup.bind(1, keys[level]);
        int64_t id = 0;
        const int found = lookup.step();
        if (found == SQLITE_ROW) {
            id = lookup.integer(0);
            const int64_t oldParent = lookup.integer(1);
            if (level != patientLevel && oldParent != parent) left.emplace_back(static_cast<Level>(level - 1), oldParent);
        } else if (found != SQLITE_DONE) {
            problem = failure("index database");
            return -1;
        }
        lookup.restart();
        Statement& write = id != 0 ? update[level] : insert[level];
        write.restart();
        int index = 1;
        if (level != patientLevel) write.bind(index++, parent);
        if (level == imageLevel) write.bind(index++, fileName);
        write.bind(index++, values.characterSet);
        const std::vector<const Attribute*> stored = storedAttributes(static_cast<Level>(level));
        for (size_t position = 0; position < stored.size(); ++position) {
            const std::optional<std::string>& text = values.stored[level][position];
            write.bind(index++, text);
            if (hasKeyColumn(*stored[position])) {
                write.bind(index++, text ? std::optional<std::string>(storedKey(*stored[position], *text)) : std::nullopt);
            }
        }
        if (id != 0) write.bind(index++, id);
        const int written = write.step();
        write.restart();
        if (written != SQLITE_DONE) {
            problem = failure("index database");
            return -1;
        }
        parent = id != 0 ? id : sqlite3_last_insert_rowid(connection);
    }
    // A file holds one object: another instance recorded under the same
    // file name was overwritten by this one.
    {
        Statement& overwritten = sharingFile;
        overwritten.restart();
        overwritten.bind(1, fileName);
        overwritten.bind(2, parent);
        std::vector<std::pair<int64_t, int64_t>> rows;
        int stepped;
        while ((stepped = overwritten.step()) == SQLITE_ROW) rows.emplace_back(overwritten.integer(0), overwritten.integer(1));
        overwritten.restart();
        if (stepped != SQLITE_DONE) {
            problem = failure("index database");
            return -1;
        }
        for (const auto& [instance, series] : rows) {
            Statement drop;
            if (!drop.prepare(connection, "DELETE FROM instance WHERE id = ?")) {
                problem = failure("index database");
                return -1;
            }
            drop.bind(1, instance);
            if (drop.step() != SQLITE_DONE) {
                problem = failure("index database");
                return -1;
            }
            left.emplace_back(seriesLevel, series);
        }
    }
    for (const auto& [level, id] : left) {
        if (!dropIfEmpty(level, id, problem)) return -1;
    }
    return 1;
}

int StoreIndex::Database::addFile(AssociationService& service, const std::string& name, std::string& problem) {
    int decoded = 0;
    ObjectDataSet* set = service.loadFile((folder + "/" + name).c_str(), &decoded);
    if (set == nullptr) {
        problem = "cannot open " + name;
        return 0;
    }
    int added = 0;
    if (decoded != 1) {
        problem = name + " cannot be decoded";
    } else {
        added = addObject(set, name, problem);
    }
    delete set;
    return added;
}

// Indexes every .dcm file of the folder, into an empty index.
bool StoreIndex::Database::scanAll(long& skipped, std::string& problem) {
    AssociationService service;
    for (const std::string& name : storedFileNames(folder)) {
        std::string why;
        const int added = addFile(service, name, why);
        if (added < 0) {
            problem = why;
            return false;
        }
        if (added == 0) ++skipped;
    }
    return true;
}

// Brings an existing index up to date with the folder: what was stored
// while the index was not told (a crash between the rename of a file and
// its entry) is added, entries of files that are gone are removed.
bool StoreIndex::Database::reconcile(long& skipped, std::string& problem) {
    const std::vector<std::string> names = storedFileNames(folder);
    const std::set<std::string> onDisk(names.begin(), names.end());
    std::set<std::string> indexed;
    std::vector<std::pair<int64_t, int64_t>> vanished;  // instance, series
    {
        Statement all;
        if (!all.prepare(connection, "SELECT file, id, series_ref FROM instance")) {
            problem = failure("index database");
            return false;
        }
        int stepped;
        while ((stepped = all.step()) == SQLITE_ROW) {
            const std::string file = all.text(0);
            indexed.insert(file);
            if (onDisk.count(file) == 0) vanished.emplace_back(all.integer(1), all.integer(2));
        }
        if (stepped != SQLITE_DONE) {
            problem = failure("index database");
            return false;
        }
    }
    for (const auto& [instance, series] : vanished) {
        Statement drop;
        if (!drop.prepare(connection, "DELETE FROM instance WHERE id = ?")) {
            problem = failure("index database");
            return false;
        }
        drop.bind(1, instance);
        if (drop.step() != SQLITE_DONE || !dropIfEmpty(seriesLevel, series, problem)) {
            if (problem.empty()) problem = failure("index database");
            return false;
        }
    }
    AssociationService service;
    for (const std::string& name : names) {
        if (indexed.count(name) != 0) continue;
        // A second file of an instance indexed under a file that is still
        // there stays out, so that the index does not swap between them.
        int decoded = 0;
        ObjectDataSet* set = service.loadFile((folder + "/" + name).c_str(), &decoded);
        int added = 0;
        if (set != nullptr && decoded == 1) {
            Statement owner;
            std::string indexedFile;
            if (owner.prepare(connection, "SELECT file FROM instance WHERE sop_instance_uid = ?")) {
                owner.bind(1, storedText(set->find(0x0008, 0x0018)));
                if (owner.step() == SQLITE_ROW) indexedFile = owner.text(0);
            }
            std::string why;
            if (indexedFile.empty() || onDisk.count(indexedFile) == 0) added = addObject(set, name, why);
            if (added < 0) problem = why;
        }
        delete set;
        if (added < 0) return false;
        if (added == 0) ++skipped;
    }
    return true;
}

StoreIndex::StoreIndex() = default;
StoreIndex::~StoreIndex() = default;

std::string StoreIndex::lastProblem() { return threadProblem; }

namespace {

// Records a failure for the caller: in problem (under the lock) and for the thread.
int failed(std::string& problem, const std::string& why) {
    problem = why;
    threadProblem = why;
    return 0;
}

bool isDamagedDatabase(int code) { return code == SQLITE_NOTADB || code == SQLITE_CORRUPT; }

void removeDatabaseFiles(const std::string& path) {
    std::error_code error;
    for (const char* suffix : {"", "-wal", "-shm", "-journal"}) std::filesystem::remove(path + suffix, error);
}

}  // namespace

int StoreIndex::open(const std::string& folder, bool rebuild) {
    database_.reset();
    skipped = 0;
    std::error_code error;
    if (!std::filesystem::is_directory(folder, error)) return failed(problem, "no folder " + folder);
    auto database = std::make_unique<Database>();
    database->folder = folder;
    const std::string path = folder + "/" + databaseName;
    std::string why;
    int version = -1;
    for (int attempt = 0; attempt < 2 && version < 0; ++attempt) {
        sqlite3_close(database->connection);
        database->connection = nullptr;
        if (sqlite3_open_v2(path.c_str(), &database->connection, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
            SQLITE_OK) {
            return failed(problem, "cannot open " + path + ": " +
                                       (database->connection != nullptr ? sqlite3_errmsg(database->connection)
                                                                        : std::string("out of memory")));
        }
        sqlite3_busy_timeout(database->connection, 10000);
        Statement query;
        int stepped = SQLITE_ERROR;
        if (query.prepare(database->connection, "PRAGMA user_version")) stepped = query.step();
        if (stepped == SQLITE_ROW) {
            version = static_cast<int>(query.integer(0));
        } else if (attempt == 0 && isDamagedDatabase(sqlite3_errcode(database->connection))) {
            // The index holds nothing that the folder does not: a damaged one is made anew.
            query.finish();
            sqlite3_close(database->connection);
            database->connection = nullptr;
            removeDatabaseFiles(path);
            rebuild = true;
        } else {
            return failed(problem, database->failure("cannot read " + path));
        }
    }
    // Write-ahead logging lets queries run beside a writer of another
    // process; NORMAL syncing keeps the database consistent through a crash,
    // and the reconciliation at the next open recovers what it lost.
    if (!database->execute("PRAGMA journal_mode = WAL; PRAGMA synchronous = NORMAL;", why)) {
        return failed(problem, why);
    }
    if (!database->execute("BEGIN IMMEDIATE", why)) return failed(problem, why);
    bool done;
    if (rebuild || version != schemaVersion) {
        done = database->createSchema(why) && database->prepareStatements(why) && database->scanAll(skipped, why);
    } else {
        done = database->prepareStatements(why) && database->reconcile(skipped, why);
    }
    if (done) done = database->execute("COMMIT", why);
    if (!done) {
        std::string ignored;
        database->execute("ROLLBACK", ignored);
        return failed(problem, why);
    }
    database_ = std::move(database);
    return 1;
}

int StoreIndex::add(DataSet* dataSet, const std::string& fileName) {
    if (database_ == nullptr) return failed(problem, "the index is not open");
    std::lock_guard<std::mutex> lock(database_->mutex);
    database_->takeInWaiting();
    std::string why;
    return database_->addInTransaction(dataSet, fileName, why) ? 1 : failed(problem, why);
}

uint64_t StoreIndex::addSoon(std::unique_ptr<DataSet> dataSet, const std::string& fileName) {
    if (database_ == nullptr || dataSet == nullptr) return 0;
    std::lock_guard<std::mutex> lock(database_->mutex);
    const uint64_t ticket = ++database_->lastTicket;
    database_->waiting.push_back({ticket, std::move(dataSet), fileName});
    return ticket;
}

int StoreIndex::settle(uint64_t ticket) {
    if (database_ == nullptr) return failed(problem, "the index is not open");
    if (ticket == 0) return failed(problem, "the object was not given to the index");
    std::lock_guard<std::mutex> lock(database_->mutex);
    database_->takeInWaiting();
    const auto found = database_->unsettledFailures.find(ticket);
    if (found == database_->unsettledFailures.end()) return 1;
    const std::string why = found->second;
    database_->unsettledFailures.erase(found);
    return failed(problem, why);
}

int StoreIndex::addFile(const std::string& fileName) {
    if (database_ == nullptr) return failed(problem, "the index is not open");
    if (!isSafeFileName(fileName)) {
        return failed(problem, "'" + shown(fileName) + "' is not a file name in the store folder");
    }
    // Read outside the lock: only the database needs it.
    AssociationService service;
    int decoded = 0;
    std::unique_ptr<ObjectDataSet> set(service.loadFile((database_->folder + "/" + fileName).c_str(), &decoded));
    if (set == nullptr) return failed(problem, "cannot open " + fileName);
    if (decoded != 1) return failed(problem, fileName + " cannot be decoded");
    return add(set.get(), fileName);
}

long StoreIndex::count() {
    if (database_ == nullptr) return 0;
    std::lock_guard<std::mutex> lock(database_->mutex);
    database_->takeInWaiting();
    Statement query;
    if (!query.prepare(database_->connection, "SELECT COUNT(*) FROM instance") || query.step() != SQLITE_ROW) return 0;
    return static_cast<long>(query.integer(0));
}

namespace {

// The WHERE clause and parameters of a query, built from the identifier's
// keys. Column names come from the attribute table only; every value from
// the identifier is a bound parameter.
struct Conditions {
    std::string where;
    std::vector<std::string> parameters;

    std::string parameter(const std::string& value) {
        parameters.push_back(value);
        return "?";
    }
};

// The text of the Query/Retrieve Level, or 0 with problem set.
int levelOf(StoreIndex::Model model, DataSet* identifier, Level& level, std::string& problem) {
    if (identifier == nullptr) {
        problem = "no identifier";
        return 0;
    }
    const DataElement* found = identifier->find(levelGroup, levelElement);
    if (found == nullptr) {
        problem = "the identifier has no Query/Retrieve Level (0008,0052)";
        return 0;
    }
    std::string text;
    if (found->value != nullptr && found->length <= 64) {
        text.assign(reinterpret_cast<const char*>(found->value), found->length);
        while (!text.empty() && (text.back() == '\0' || text.back() == ' ')) text.pop_back();
        text = trimmedSpaces(text);
    } else if (found->value != nullptr) {
        text.assign(reinterpret_cast<const char*>(found->value), 64);
    }
    for (int candidate = patientLevel; candidate <= imageLevel; ++candidate) {
        if (text == levelNames[candidate]) {
            level = static_cast<Level>(candidate);
            if (model == StoreIndex::Model::studyRoot && level == patientLevel) {
                problem = "the Study Root model has no PATIENT level";
                return 0;
            }
            if (model != StoreIndex::Model::studyRoot && model != StoreIndex::Model::patientRoot) {
                problem = "unknown query model";
                return 0;
            }
            return 1;
        }
    }
    problem = "the Query/Retrieve Level '" + shown(text) + "' is not PATIENT, STUDY, SERIES or IMAGE";
    return 0;
}

// Splits a key's value into its values (backslash-separated); universal
// when it matches everything. 0 with problem set for a value no text can
// be (control characters, absurd lengths).
int keyValues(const DataElement* element, const Attribute& attribute, std::vector<std::string>& values,
              bool& universal, std::string& problem) {
    char tag[16];
    std::snprintf(tag, sizeof tag, "(%04X,%04X)", attribute.group, attribute.element);
    universal = true;
    values.clear();
    if (element->value == nullptr || element->length == 0 || element->length == 0xFFFFFFFFu) return 1;
    if (element->length > longestKeyElement) {
        problem = std::string("the key ") + tag + " is " + std::to_string(element->length) + " bytes long";
        return 0;
    }
    std::string text(reinterpret_cast<const char*>(element->value), element->length);
    while (!text.empty() && (text.back() == '\0' || text.back() == ' ')) text.pop_back();
    for (char character : text) {
        const auto byte = static_cast<unsigned char>(character);
        if ((byte < 0x20 && byte != 0x1B) || byte == 0x7F) {
            problem = std::string("the key ") + tag + " holds binary data";
            return 0;
        }
    }
    size_t start = 0;
    for (;;) {
        const size_t end = text.find('\\', start);
        std::string value = trimmedSpaces(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (value.size() > longestKeyValue) {
            problem = std::string("a value of the key ") + tag + " is " + std::to_string(value.size()) + " bytes long";
            return 0;
        }
        // "*" matches everything, and so does a list holding it.
        if (onlyAsterisks(value)) {
            values.clear();
            return 1;
        }
        if (!value.empty()) values.push_back(value);
        if (end == std::string::npos) break;
        start = end + 1;
    }
    const size_t most = attribute.matching == Matching::uid ? mostUidValues : mostOtherValues;
    if (values.size() > most) {
        problem = std::string("the key ") + tag + " has " + std::to_string(values.size()) + " values";
        return 0;
    }
    universal = values.empty();
    return 1;
}

// The condition one value of a key sets on column (a qualified column name).
std::string valueCondition(const Attribute& attribute, const std::string& column, const std::string& value,
                           Conditions& conditions) {
    switch (attribute.matching) {
        case Matching::personName: {
            const std::string key = personNameKey(value);
            if (hasWildcard(key)) return column + "_key GLOB " + conditions.parameter(globPattern(key));
            return column + "_key = " + conditions.parameter(key);
        }
        case Matching::text:
        case Matching::modalities:
            if (hasWildcard(value)) return column + " GLOB " + conditions.parameter(globPattern(value));
            return column + " = " + conditions.parameter(value);
        case Matching::date:
        case Matching::time: {
            const bool date = attribute.matching == Matching::date;
            const size_t dash = value.find('-');
            const std::string low = dash == std::string::npos ? value : value.substr(0, dash);
            const std::string high = dash == std::string::npos ? value : value.substr(dash + 1);
            std::string condition = column + "_key <> ''";
            if (!trimmedSpaces(low).empty()) {
                const std::string bound = trimmedSpaces(low);
                condition += " AND " + column + "_key >= " + conditions.parameter(date ? dateKey(bound, false) : timeKey(bound, false));
            }
            if (!trimmedSpaces(high).empty()) {
                const std::string bound = trimmedSpaces(high);
                condition += " AND " + column + "_key <= " + conditions.parameter(date ? dateKey(bound, true) : timeKey(bound, true));
            }
            return condition;
        }
        default:
            return column + " = " + conditions.parameter(value);
    }
}

// Adds the conditions of every matching key of the identifier at the level
// or above. Keys of the levels below are not matched.
int buildConditions(DataSet* identifier, Level level, Conditions& conditions, std::string& problem) {
    int result = 1;
    forEachElement(identifier, [&](DataElement* element) {
        if (result == 0) return;
        const Attribute* attribute = findAttribute(element->group, element->element);
        if (attribute == nullptr || attribute->matching == Matching::none || attribute->level > level) return;
        std::vector<std::string> values;
        bool universal = true;
        if (!keyValues(element, *attribute, values, universal, problem)) {
            result = 0;
            return;
        }
        if (universal) return;
        const std::string alias = levelAliases[attribute->level];
        std::string condition;
        if (attribute->matching == Matching::uid) {
            condition = alias + "." + attribute->column + " IN (";
            for (size_t index = 0; index < values.size(); ++index) {
                condition += (index == 0 ? "" : ", ") + conditions.parameter(values[index]);
            }
            condition += ")";
        } else {
            const std::string column =
                attribute->matching == Matching::modalities ? std::string("m.modality") : alias + "." + attribute->column;
            for (size_t index = 0; index < values.size(); ++index) {
                condition += (index == 0 ? "(" : " OR (") + valueCondition(*attribute, column, values[index], conditions) + ")";
            }
            if (attribute->matching == Matching::modalities) {
                condition = "EXISTS (SELECT 1 FROM series m WHERE m.study_ref = s.id AND (" + condition + "))";
            }
        }
        conditions.where += " AND (" + condition + ")";
    });
    if (result != 0 && conditions.parameters.size() > mostParameters) {
        problem = "the identifier has too many key values";
        return 0;
    }
    return result;
}

std::string fromClause(Level depth) {
    std::string from = " FROM patient p";
    if (depth >= studyLevel) from += " JOIN study s ON s.patient_ref = p.id";
    if (depth >= seriesLevel) from += " JOIN series r ON r.study_ref = s.id";
    if (depth >= imageLevel) from += " JOIN instance i ON i.series_ref = r.id";
    return from;
}

const char* orderClause(Level level) {
    switch (level) {
        case patientLevel: return " ORDER BY p.patient_id";
        case studyLevel: return " ORDER BY s.study_date_key, s.study_time_key, s.study_instance_uid";
        case seriesLevel:
            return " ORDER BY s.study_date_key, s.study_instance_uid, CAST(r.series_number AS INTEGER), "
                   "r.series_instance_uid";
        default:
            return " ORDER BY s.study_date_key, s.study_instance_uid, CAST(r.series_number AS INTEGER), "
                   "r.series_instance_uid, CAST(i.instance_number AS INTEGER), i.sop_instance_uid";
    }
}

bool bindAll(Statement& statement, const Conditions& conditions) {
    for (size_t index = 0; index < conditions.parameters.size(); ++index) {
        if (sqlite3_bind_text(statement.handle, static_cast<int>(index + 1), conditions.parameters[index].data(),
                              static_cast<int>(conditions.parameters[index].size()), SQLITE_TRANSIENT) != SQLITE_OK) {
            return false;
        }
    }
    return true;
}

// One element of each result: from column (an index into the row) or empty.
struct ResultElement {
    uint16_t group;
    uint16_t element;
    uint16_t vr;
    int column;  // -1: empty; -2: the level text
};

// A new element holding text padded to even length (zero byte for UIDs, space otherwise).
DataElement* paddedElement(const ResultElement& wanted, const std::string& text) {
    const bool odd = (text.size() & 1u) != 0;
    const auto length = static_cast<uint32_t>(text.size() + (odd ? 1 : 0));
    auto* made = new (std::nothrow) DataElement(wanted.group, wanted.element, length, 1);
    if (made == nullptr) return nullptr;
    if (made->value == nullptr && length != 0) {
        delete made;
        return nullptr;
    }
    if (!text.empty()) std::memcpy(made->value, text.data(), text.size());
    if (odd) made->value[length - 1] = wanted.vr == vrCode('U', 'I') ? '\0' : ' ';
    made->vr = wanted.vr;
    return made;
}

}  // namespace

int StoreIndex::find(Model model, DataSet* identifier, IndexedList<DataSet*>& results) {
    if (database_ == nullptr) return failed(problem, "the index is not open");
    std::lock_guard<std::mutex> lock(database_->mutex);
    database_->takeInWaiting();
    std::string why;
    Level level = patientLevel;
    if (!levelOf(model, identifier, level, why)) return failed(problem, why);
    Conditions conditions;
    if (!buildConditions(identifier, level, conditions, why)) return failed(problem, why);

    // What each result holds: the requested keys, the level and the unique keys.
    std::map<uint32_t, ResultElement> wanted;
    std::vector<std::string> columns;
    auto want = [&](uint16_t group, uint16_t element, uint16_t vr, const std::string& expression) {
        const uint32_t tag = (static_cast<uint32_t>(group) << 16) | element;
        if (wanted.count(tag) != 0) return;
        int column = -1;
        if (!expression.empty()) {
            column = static_cast<int>(columns.size());
            columns.push_back(expression);
        }
        wanted[tag] = ResultElement{group, element, vr, column};
    };
    want(levelGroup, levelElement, vrCode('C', 'S'), "");
    wanted[(static_cast<uint32_t>(levelGroup) << 16) | levelElement].column = -2;
    const Level top = model == Model::studyRoot ? studyLevel : patientLevel;
    for (int above = top; above <= level; ++above) {
        const Attribute& key = uniqueKey(static_cast<Level>(above));
        want(key.group, key.element, key.vr, std::string(levelAliases[above]) + "." + key.column);
    }
    forEachElement(identifier, [&](DataElement* element) {
        if (element->element == 0x0000 || element->group == 0x0000 || element->group == 0x0002) return;
        if (element->group == characterSetGroup && element->element == characterSetElement) {
            want(element->group, element->element, vrCode('C', 'S'),
                 std::string(levelAliases[level]) + ".specific_character_set");
            return;
        }
        const Attribute* attribute = findAttribute(element->group, element->element);
        if (attribute == nullptr) {
            want(element->group, element->element, element->vr != 0 ? element->vr : vrCode('U', 'N'), "");
        } else if (attribute->level > level) {
            want(attribute->group, attribute->element, attribute->vr, "");
        } else if (attribute->column != nullptr) {
            want(attribute->group, attribute->element, attribute->vr,
                 std::string(levelAliases[attribute->level]) + "." + attribute->column);
        } else {
            want(attribute->group, attribute->element, attribute->vr, attribute->computed);
        }
    });

    std::string sql = "SELECT ";
    for (size_t index = 0; index < columns.size(); ++index) sql += (index == 0 ? "" : ", ") + columns[index];
    sql += fromClause(level) + " WHERE 1" + conditions.where + orderClause(level);
    Statement query;
    if (!query.prepare(database_->connection, sql) || !bindAll(query, conditions)) {
        return failed(problem, database_->failure("index query"));
    }
    const uint32_t before = results.count();
    int stepped = SQLITE_DONE;
    bool complete = true;
    while (complete && (stepped = query.step()) == SQLITE_ROW) {
        auto* result = new (std::nothrow) ObjectDataSet();
        if (result == nullptr) {
            complete = false;
            break;
        }
        for (const auto& [tag, element] : wanted) {
            const std::string text = element.column == -2   ? std::string(levelNames[level])
                                     : element.column == -1 ? std::string()
                                                            : query.text(element.column);
            DataElement* made = paddedElement(element, text);
            if (made == nullptr || result->addElement(made) == 0) {
                delete made;
                complete = false;
                break;
            }
        }
        if (!complete || results.tryAppend(result) == 0) {
            delete result;
            complete = false;
        }
    }
    if (complete && stepped != SQLITE_DONE) {
        why = database_->failure("index query");
        complete = false;
    } else if (!complete) {
        why = "out of memory";
    }
    if (!complete) {
        while (results.count() > before) {
            delete results.at(results.count() - 1)->element;
            results.removeAt(results.count() - 1);
        }
        return failed(problem, why);
    }
    return 1;
}

int StoreIndex::findInstances(Model model, DataSet* identifier, std::vector<Instance>& instances) {
    if (database_ == nullptr) return failed(problem, "the index is not open");
    std::lock_guard<std::mutex> lock(database_->mutex);
    database_->takeInWaiting();
    std::string why;
    Level level = patientLevel;
    if (!levelOf(model, identifier, level, why)) return failed(problem, why);
    // A retrieval names what it wants by the unique key of its level: one
    // that is absent or matches everything would send the whole store.
    const Attribute& key = uniqueKey(level);
    const DataElement* named = identifier->find(key.group, key.element);
    std::vector<std::string> values;
    bool universal = true;
    if (named != nullptr && !keyValues(named, key, values, universal, why)) return failed(problem, why);
    if (universal) {
        char tag[16];
        std::snprintf(tag, sizeof tag, "(%04X,%04X)", key.group, key.element);
        return failed(problem, std::string("a retrieval at the ") + levelNames[level] + " level needs the unique key " +
                                   tag + " with a value");
    }
    Conditions conditions;
    if (!buildConditions(identifier, level, conditions, why)) return failed(problem, why);
    const std::string sql = "SELECT i.file, i.sop_class_uid, i.sop_instance_uid" + fromClause(imageLevel) +
                            " WHERE 1" + conditions.where + orderClause(imageLevel);
    Statement query;
    if (!query.prepare(database_->connection, sql) || !bindAll(query, conditions)) {
        return failed(problem, database_->failure("index query"));
    }
    std::vector<Instance> found;
    int stepped;
    while ((stepped = query.step()) == SQLITE_ROW) {
        found.push_back(Instance{database_->folder + "/" + query.text(0), query.text(1), query.text(2)});
    }
    if (stepped != SQLITE_DONE) return failed(problem, database_->failure("index query"));
    instances.insert(instances.end(), found.begin(), found.end());
    return 1;
}
