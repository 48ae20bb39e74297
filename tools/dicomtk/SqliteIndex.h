#ifndef TOOLS_DICOMTK_SQLITEINDEX_H
#define TOOLS_DICOMTK_SQLITEINDEX_H

#include <sqlite3.h>

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "IndexBackend.h"
#include "SqlQuery.h"

// The store index in SQLite: the database FOLDER/index.sqlite, with the
// tables of SqlQuery.h. SqliteIndex.cpp writes and asks;
// SqliteIndexSchema.cpp connects, creates the tables and tells an index of
// another schema (or a damaged one) from a current one.
//
// The file name of the database cannot be a stored object's
// (<SOP Instance UID>.dcm), nor can SQLite's own files (index.sqlite-wal,
// -shm, -journal).

// One prepared statement.
class SqliteStatement {
public:
    SqliteStatement() = default;
    ~SqliteStatement() { sqlite3_finalize(handle); }
    SqliteStatement(const SqliteStatement&) = delete;
    SqliteStatement& operator=(const SqliteStatement&) = delete;

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
    bool bind(int index, const std::string& text) {
        return sqlite3_bind_text(handle, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT) == SQLITE_OK;
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

// SQLite's SQL: numbered ? parameters, GLOB for wildcards, group_concat.
class SqliteDialect : public SqlDialect {
public:
    std::string placeholder(size_t number) const override;
    size_t mostParameters() const override;
    std::string wildcardCondition(const std::string& column, const std::string& pattern) const override;
    std::string wildcardPattern(const std::string& dicomPattern) const override;
    std::string joinedValues(const std::string& column) const override;
    std::string asInteger(const std::string& column) const override;
};

class SqliteIndex : public IndexBackend {
public:
    SqliteIndex() = default;
    ~SqliteIndex() override;

    int open(const std::string& folder, bool& current, std::string& problem) override;
    void close() override;
    int create(std::string& problem) override;
    int begin(std::string& problem) override;
    int commit(std::string& problem) override;
    void rollback() override;
    int add(const IndexedObject& object, std::string& problem) override;
    int removeFile(const std::string& fileName, std::string& problem) override;
    int files(std::vector<std::string>& names, std::string& problem) override;
    int fileOf(const std::string& sopInstanceUid, std::string& fileName, std::string& problem) override;
    int find(const IndexQuery& query, const std::vector<IndexField>& fields, const Answer& answer,
             std::string& problem) override;
    int instances(const IndexQuery& query, std::vector<IndexedInstance>& found, std::string& problem) override;
    long count() override;

private:
    bool execute(const std::string& sql, std::string& problem);
    // problem = doing: SQLite's message; false.
    bool failed(const std::string& doing, std::string& problem);
    bool prepareStatements(std::string& problem);
    bool finishStatements();
    // Runs a prepared question, bound to its parameters, calling row for each row.
    template <typename Row>
    bool ask(SqlQuery& query, Row row, std::string& problem);
    bool removeInstances(const std::vector<std::pair<int64_t, int64_t>>& instances, std::string& problem);
    bool dropIfEmpty(Level level, int64_t id, std::string& problem);

    sqlite3* connection_ = nullptr;
    SqliteDialect dialect_;
    // Per level: the row of a unique key (id, parent), its update and its insertion.
    SqliteStatement select_[levelCount];
    SqliteStatement update_[levelCount];
    SqliteStatement insert_[levelCount];
    // The other instances recorded under a file name (file, id).
    SqliteStatement sharingFile_;
};

#endif
