#ifndef TOOLS_DICOMTK_SQLQUERY_H
#define TOOLS_DICOMTK_SQLQUERY_H

#include <string>
#include <vector>

#include "IndexBackend.h"

// The questions of the store index in SQL, for every SQL backend: the
// tables, their columns, and the translation of matching keys into a
// WHERE clause. Column and table names come from the attribute table only;
// every value from an identifier is a bound parameter, never SQL text.
//
// The tables (created by each backend, with the types of its database):
//
//   patient  (id, specific_character_set, patient attributes)          unique patient_id
//   study    (id, patient_ref, specific_character_set, study attributes)  unique study_instance_uid
//   series   (id, study_ref, specific_character_set, series attributes)   unique series_instance_uid
//   instance (id, series_ref, file, specific_character_set, instance attributes)
//                                                                        unique sop_instance_uid
//
// Every attribute is a text column holding the value as stored, without
// leading spaces and without its trailing padding (spaces or zero bytes; a
// value is cut at its first zero byte). Person names, dates and times have a
// second column, <column>_key, in the form they are matched in (storedKey):
// person names in ASCII capitals without trailing empty components, so that
// a case-sensitive comparison ignores the case of ASCII letters; dates
// without the dots of the old YYYY.MM.DD form, times as HHMMSS.FFFFFF
// without colons, so that ranges compare as text.

extern const char* const levelTables[levelCount];
// The column of each table that points to the row of the level above (null for patient).
extern const char* const parentColumns[levelCount];

// What differs between SQL databases in those questions.
class SqlDialect {
public:
    virtual ~SqlDialect() = default;
    // The placeholder of parameter number (from 1): ?1 in SQLite, $1 in PostgreSQL.
    virtual std::string placeholder(size_t number) const = 0;
    // The most parameters a statement may have.
    virtual size_t mostParameters() const = 0;
    // The condition that column matches pattern, the placeholder of a
    // parameter holding wildcardPattern of a DICOM pattern.
    virtual std::string wildcardCondition(const std::string& column, const std::string& pattern) const = 0;
    // A DICOM pattern (* any run of characters, ? one character, every
    // other character itself) in the pattern language of wildcardCondition:
    // GLOB's with brackets taken literally, or LIKE's with % _ and the
    // escape character escaped.
    virtual std::string wildcardPattern(const std::string& dicomPattern) const = 0;
    // The aggregate joining the text of column over rows with backslashes,
    // in ascending order.
    virtual std::string joinedValues(const std::string& column) const = 0;
    // column (text) as an integer to sort by; text that is no number sorts as 0.
    virtual std::string asInteger(const std::string& column) const = 0;
};

// One SELECT and its parameters, in the order of their placeholders.
class SqlQuery {
public:
    explicit SqlQuery(const SqlDialect& dialect) : dialect_(dialect) {}

    // The fields of every entity at the query's level that matches the keys,
    // in the order of the answers of StoreIndex::find. 0 with problem set
    // when the keys have more values than a statement can take.
    int find(const IndexQuery& query, const std::vector<IndexField>& fields, std::string& problem);
    // file, sop_class_uid, sop_instance_uid, transfer_syntax_uid of every instance under them.
    int instances(const IndexQuery& query, std::string& problem);

    std::string sql;
    std::vector<std::string> parameters;

private:
    std::string parameter(const std::string& value);
    std::string expression(const IndexField& field, Level level);
    std::string keyCondition(const KeyCondition& key);
    std::string valueCondition(const Attribute& attribute, const std::string& column, const std::string& value);
    int where(const IndexQuery& query, Level depth, std::string& problem);

    const SqlDialect& dialect_;
};

#endif
