#include "SqliteIndex.h"

#include <utility>

// Deletes the row when nothing is left under it, and then its parent the same way.
bool SqliteIndex::dropIfEmpty(Level level, int64_t id, std::string& problem) {
    while (level != imageLevel) {
        const Level child = static_cast<Level>(level + 1);
        SqliteStatement check;
        std::string sql = std::string("SELECT ") + (parentColumns[level] != nullptr ? parentColumns[level] : "0") +
                          ", EXISTS (SELECT 1 FROM " + levelTables[child] + " WHERE " + parentColumns[child] +
                          " = ?1) FROM " + levelTables[level] + " WHERE id = ?1";
        if (!check.prepare(connection_, sql)) return failed("index database", problem);
        check.bind(1, id);
        const int stepped = check.step();
        if (stepped == SQLITE_DONE) return true;
        if (stepped != SQLITE_ROW) return failed("index database", problem);
        const int64_t parent = check.integer(0);
        if (check.integer(1) != 0) return true;
        SqliteStatement drop;
        if (!drop.prepare(connection_, std::string("DELETE FROM ") + levelTables[level] + " WHERE id = ?")) {
            return failed("index database", problem);
        }
        drop.bind(1, id);
        if (drop.step() != SQLITE_DONE) return failed("index database", problem);
        if (level == patientLevel) return true;
        level = static_cast<Level>(level - 1);
        id = parent;
    }
    return true;
}

// Deletes instances (instance, series ids), and their series (and above) when left empty.
bool SqliteIndex::removeInstances(const std::vector<std::pair<int64_t, int64_t>>& instances, std::string& problem) {
    for (const auto& [instance, series] : instances) {
        SqliteStatement drop;
        if (!drop.prepare(connection_, "DELETE FROM instance WHERE id = ?")) return failed("index database", problem);
        drop.bind(1, instance);
        if (drop.step() != SQLITE_DONE) return failed("index database", problem);
        if (!dropIfEmpty(seriesLevel, series, problem)) return false;
    }
    return true;
}

// Statement parameters as prepareStatements lays them out.
int SqliteIndex::add(const IndexedObject& object, std::string& problem) {
    // The rows the object leaves, to be dropped when they end up empty.
    std::vector<std::pair<Level, int64_t>> left;
    int64_t parent = 0;
    for (int level = patientLevel; level <= imageLevel; ++level) {
        SqliteStatement& lookup = select_[level];
        lookup.restart();
        lookup.bind(1, object.keys[level]);
        int64_t id = 0;
        const int found = lookup.step();
        if (found == SQLITE_ROW) {
            id = lookup.integer(0);
            const int64_t oldParent = lookup.integer(1);
            if (level != patientLevel && oldParent != parent) left.emplace_back(static_cast<Level>(level - 1), oldParent);
        } else if (found != SQLITE_DONE) {
            return failed("index database", problem);
        }
        lookup.restart();
        SqliteStatement& write = id != 0 ? update_[level] : insert_[level];
        write.restart();
        int index = 1;
        if (level != patientLevel) write.bind(index++, parent);
        if (level == imageLevel) write.bind(index++, object.fileName);
        write.bind(index++, object.characterSet);
        const std::vector<const Attribute*>& stored = storedAttributes(static_cast<Level>(level));
        for (size_t position = 0; position < stored.size(); ++position) {
            const std::optional<std::string>& text = object.values[level][position];
            write.bind(index++, text);
            if (hasKeyForm(*stored[position])) {
                write.bind(index++, text ? std::optional<std::string>(storedKey(*stored[position], *text)) : std::nullopt);
            }
        }
        if (id != 0) write.bind(index++, id);
        const int written = write.step();
        write.restart();
        if (written != SQLITE_DONE) return failed("index database", problem);
        parent = id != 0 ? id : sqlite3_last_insert_rowid(connection_);
    }
    // A file holds one object: another instance recorded under the same
    // file name was overwritten by this one.
    std::vector<std::pair<int64_t, int64_t>> overwritten;  // instance, series
    sharingFile_.restart();
    sharingFile_.bind(1, object.fileName);
    sharingFile_.bind(2, parent);
    int stepped;
    while ((stepped = sharingFile_.step()) == SQLITE_ROW) overwritten.emplace_back(sharingFile_.integer(0), sharingFile_.integer(1));
    sharingFile_.restart();
    if (stepped != SQLITE_DONE) return failed("index database", problem);
    if (!removeInstances(overwritten, problem)) return 0;
    for (const auto& [level, id] : left) {
        if (!dropIfEmpty(level, id, problem)) return 0;
    }
    return 1;
}

template <typename Row>
bool SqliteIndex::ask(SqlQuery& query, Row row, std::string& problem) {
    SqliteStatement statement;
    if (!statement.prepare(connection_, query.sql)) return failed("index query", problem);
    for (size_t index = 0; index < query.parameters.size(); ++index) {
        if (!statement.bind(static_cast<int>(index + 1), query.parameters[index])) return failed("index query", problem);
    }
    int stepped;
    while ((stepped = statement.step()) == SQLITE_ROW) {
        if (!row(statement)) return false;
    }
    return stepped == SQLITE_DONE || failed("index query", problem);
}

int SqliteIndex::removeFile(const std::string& fileName, std::string& problem) {
    std::vector<std::pair<int64_t, int64_t>> recorded;  // instance, series
    SqlQuery query(dialect_);
    query.sql = "SELECT id, series_ref FROM instance WHERE file = ?1";
    query.parameters.push_back(fileName);
    auto take = [&](SqliteStatement& row) {
        recorded.emplace_back(row.integer(0), row.integer(1));
        return true;
    };
    return ask(query, take, problem) && removeInstances(recorded, problem) ? 1 : 0;
}

int SqliteIndex::files(std::vector<std::string>& names, std::string& problem) {
    SqlQuery query(dialect_);
    query.sql = "SELECT file FROM instance";
    auto take = [&](SqliteStatement& row) {
        names.push_back(row.text(0));
        return true;
    };
    return ask(query, take, problem) ? 1 : 0;
}

int SqliteIndex::fileOf(const std::string& sopInstanceUid, std::string& fileName, std::string& problem) {
    fileName.clear();
    SqlQuery query(dialect_);
    query.sql = "SELECT file FROM instance WHERE sop_instance_uid = ?1";
    query.parameters.push_back(sopInstanceUid);
    auto take = [&](SqliteStatement& row) {
        fileName = row.text(0);
        return false;
    };
    return ask(query, take, problem) || !fileName.empty() ? 1 : 0;
}

int SqliteIndex::find(const IndexQuery& question, const std::vector<IndexField>& fields, const Answer& answer,
                      std::string& problem) {
    SqlQuery query(dialect_);
    if (!query.find(question, fields, problem)) return 0;
    std::vector<std::string> texts(fields.size());
    auto take = [&](SqliteStatement& row) {
        for (size_t column = 0; column < texts.size(); ++column) texts[column] = row.text(static_cast<int>(column));
        return answer(texts) != 0;
    };
    return ask(query, take, problem) ? 1 : 0;
}

int SqliteIndex::instances(const IndexQuery& question, std::vector<IndexedInstance>& found, std::string& problem) {
    SqlQuery query(dialect_);
    if (!query.instances(question, problem)) return 0;
    std::vector<IndexedInstance> rows;
    auto take = [&](SqliteStatement& row) {
        rows.push_back(IndexedInstance{row.text(0), row.text(1), row.text(2), row.text(3)});
        return true;
    };
    if (!ask(query, take, problem)) return 0;
    found.insert(found.end(), rows.begin(), rows.end());
    return 1;
}

long SqliteIndex::count() {
    SqliteStatement query;
    if (!query.prepare(connection_, "SELECT COUNT(*) FROM instance") || query.step() != SQLITE_ROW) return 0;
    return static_cast<long>(query.integer(0));
}
