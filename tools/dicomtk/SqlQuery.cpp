#include "SqlQuery.h"

const char* const levelTables[levelCount] = {"patient", "study", "series", "instance"};
const char* const parentColumns[levelCount] = {nullptr, "patient_ref", "study_ref", "series_ref"};

namespace {

// The alias of each level's table in a question.
const char* const levelAliases[levelCount] = {"p", "s", "r", "i"};

std::string aliased(Level level, const std::string& column) { return std::string(levelAliases[level]) + "." + column; }

// The tables from the level below level down to below, joined, with the
// condition that ties them to the entity of level (by its alias).
std::string under(Level level, Level below) {
    std::string from = std::string(" FROM ") + levelTables[level + 1];
    for (int joined = level + 2; joined <= below; ++joined) {
        from += std::string(" JOIN ") + levelTables[joined] + " ON " + levelTables[joined] + "." + parentColumns[joined] +
                " = " + levelTables[joined - 1] + ".id";
    }
    return from + " WHERE " + levelTables[level + 1] + "." + parentColumns[level + 1] + " = " + levelAliases[level] + ".id";
}

std::string fromClause(Level depth) {
    std::string from = " FROM patient p";
    if (depth >= studyLevel) from += " JOIN study s ON s.patient_ref = p.id";
    if (depth >= seriesLevel) from += " JOIN series r ON r.study_ref = s.id";
    if (depth >= imageLevel) from += " JOIN instance i ON i.series_ref = r.id";
    return from;
}

std::string orderClause(Level level, const SqlDialect& dialect) {
    std::string order = level == patientLevel ? " ORDER BY p.patient_id"
                         : level == studyLevel
                             ? " ORDER BY s.study_date_key, s.study_time_key, s.study_instance_uid"
                             : " ORDER BY s.study_date_key, s.study_instance_uid, " + dialect.asInteger("r.series_number") +
                                   ", r.series_instance_uid";
    if (level == imageLevel) order += ", " + dialect.asInteger("i.instance_number") + ", i.sop_instance_uid";
    return order;
}

}  // namespace

std::string SqlQuery::parameter(const std::string& value) {
    parameters.push_back(value);
    return dialect_.placeholder(parameters.size());
}

// The SQL of one field at the requested level.
std::string SqlQuery::expression(const IndexField& field, Level level) {
    if (field.attribute == nullptr) return aliased(level, "specific_character_set");
    const Attribute& attribute = *field.attribute;
    switch (attribute.source) {
        case Source::count: return "(SELECT COUNT(*)" + under(attribute.level, attribute.below) + ")";
        case Source::distinctValues: {
            const std::string column = std::string(levelTables[attribute.below]) + "." + attribute.column;
            return "(SELECT " + dialect_.joinedValues("gathered_value") + " FROM (SELECT DISTINCT " + column +
                   " AS gathered_value" + under(attribute.level, attribute.below) + " AND " + column +
                   " <> '' ORDER BY 1) AS gathered)";
        }
        default: return aliased(attribute.level, attribute.column);
    }
}

// The condition one value of a key sets on column (a qualified column name).
std::string SqlQuery::valueCondition(const Attribute& attribute, const std::string& column, const std::string& value) {
    switch (attribute.matching) {
        case Matching::personName: {
            const std::string key = personNameKey(value);
            if (hasWildcard(key)) return dialect_.wildcardCondition(column + "_key", parameter(dialect_.wildcardPattern(key)));
            return column + "_key = " + parameter(key);
        }
        case Matching::text:
        case Matching::modalities:
            if (hasWildcard(value)) return dialect_.wildcardCondition(column, parameter(dialect_.wildcardPattern(value)));
            return column + " = " + parameter(value);
        case Matching::date:
        case Matching::time: {
            const bool date = attribute.matching == Matching::date;
            const size_t dash = value.find('-');
            // A wildcard matches the key form (no dots, no colons).
            if (hasWildcard(value)) {
                std::string pattern;
                for (char character : value) {
                    if (character != (date ? '.' : ':')) pattern += character;
                }
                return dialect_.wildcardCondition(column + "_key", parameter(dialect_.wildcardPattern(pattern)));
            }
            // A single value matches exactly: a date of fewer than eight
            // digits matches no stored date, a time matches the same time
            // of day written with or without colons and trailing zeros.
            if (dash == std::string::npos) {
                if (!date) return column + "_key = " + parameter(timeKey(value, false));
                std::string digits;
                for (char character : value) {
                    if (character != '.') digits += character;
                }
                return column + "_key = " + parameter(digits);
            }
            const std::string low = trimmedSpaces(dash == std::string::npos ? value : value.substr(0, dash));
            const std::string high = trimmedSpaces(dash == std::string::npos ? value : value.substr(dash + 1));
            std::string condition = column + "_key <> ''";
            if (!low.empty()) condition += " AND " + column + "_key >= " + parameter(date ? dateKey(low, false) : timeKey(low, false));
            if (!high.empty()) condition += " AND " + column + "_key <= " + parameter(date ? dateKey(high, true) : timeKey(high, true));
            return condition;
        }
        default:
            return column + " = " + parameter(value);
    }
}

std::string SqlQuery::keyCondition(const KeyCondition& key) {
    const Attribute& attribute = *key.attribute;
    std::string condition;
    if (attribute.matching == Matching::uid) {
        condition = aliased(attribute.level, attribute.column) + " IN (";
        for (size_t index = 0; index < key.values.size(); ++index) {
            condition += (index == 0 ? "" : ", ") + parameter(key.values[index]);
        }
        return condition + ")";
    }
    // ModalitiesInStudy matches when some series of the study matches.
    const bool gathered = attribute.source == Source::distinctValues;
    const std::string column = gathered ? std::string(levelTables[attribute.below]) + "." + attribute.column
                                        : aliased(attribute.level, attribute.column);
    for (size_t index = 0; index < key.values.size(); ++index) {
        condition += (index == 0 ? "(" : " OR (") + valueCondition(attribute, column, key.values[index]) + ")";
    }
    if (gathered) condition = "EXISTS (SELECT 1" + under(attribute.level, attribute.below) + " AND (" + condition + "))";
    return condition;
}

// FROM and WHERE down to depth, with the condition of every key.
int SqlQuery::where(const IndexQuery& query, Level depth, std::string& problem) {
    sql += fromClause(depth) + " WHERE 1 = 1";
    for (const KeyCondition& key : query.keys) sql += " AND (" + keyCondition(key) + ")";
    if (parameters.size() > dialect_.mostParameters()) {
        problem = "the identifier has too many key values";
        return 0;
    }
    return 1;
}

int SqlQuery::find(const IndexQuery& query, const std::vector<IndexField>& fields, std::string& problem) {
    sql = "SELECT ";
    parameters.clear();
    for (size_t index = 0; index < fields.size(); ++index) {
        sql += (index == 0 ? "" : ", ") + expression(fields[index], query.level);
    }
    if (!where(query, query.level, problem)) return 0;
    sql += orderClause(query.level, dialect_);
    return 1;
}

int SqlQuery::instances(const IndexQuery& query, std::string& problem) {
    sql = "SELECT i.file, i.sop_class_uid, i.sop_instance_uid, i.transfer_syntax_uid";
    parameters.clear();
    if (!where(query, imageLevel, problem)) return 0;
    sql += orderClause(imageLevel, dialect_);
    return 1;
}
