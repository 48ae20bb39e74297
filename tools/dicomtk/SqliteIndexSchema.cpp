#include <filesystem>
#include <system_error>

#include "SqliteIndex.h"

namespace {

// 2: instances keep their transfer syntax.
constexpr int schemaVersion = 2;
const char* const databaseName = "index.sqlite";
// Below SQLite's limit of 32766 parameters.
constexpr size_t mostSqliteParameters = 30000;

bool isDamagedDatabase(int code) { return code == SQLITE_NOTADB || code == SQLITE_CORRUPT; }

void removeDatabaseFiles(const std::string& path) {
    std::error_code error;
    for (const char* suffix : {"", "-wal", "-shm", "-journal"}) std::filesystem::remove(path + suffix, error);
}

}  // namespace

std::unique_ptr<IndexBackend> makeDefaultIndexBackend() { return std::make_unique<SqliteIndex>(); }

std::string SqliteDialect::placeholder(size_t number) const { return "?" + std::to_string(number); }

size_t SqliteDialect::mostParameters() const { return mostSqliteParameters; }

std::string SqliteDialect::wildcardCondition(const std::string& column, const std::string& pattern) const {
    return column + " GLOB " + pattern;
}

// * and ? keep their meaning, the GLOB set brackets are taken literally.
std::string SqliteDialect::wildcardPattern(const std::string& dicomPattern) const {
    std::string glob;
    for (char character : dicomPattern) {
        if (character == '[') glob += "[[]";
        else if (character == ']') glob += "[]]";
        else glob += character;
    }
    return glob;
}

// group_concat keeps the order of the rows it is given.
std::string SqliteDialect::joinedValues(const std::string& column) const { return "group_concat(" + column + ", '\\')"; }

std::string SqliteDialect::asInteger(const std::string& column) const { return "CAST(" + column + " AS INTEGER)"; }

SqliteIndex::~SqliteIndex() { close(); }

bool SqliteIndex::failed(const std::string& doing, std::string& problem) {
    problem = doing + ": " + (connection_ != nullptr ? sqlite3_errmsg(connection_) : "out of memory");
    return false;
}

bool SqliteIndex::execute(const std::string& sql, std::string& problem) {
    char* message = nullptr;
    if (sqlite3_exec(connection_, sql.c_str(), nullptr, nullptr, &message) == SQLITE_OK) return true;
    problem = "index database: " + std::string(message != nullptr ? message : sqlite3_errmsg(connection_));
    sqlite3_free(message);
    return false;
}

int SqliteIndex::begin(std::string& problem) { return execute("BEGIN IMMEDIATE", problem); }

int SqliteIndex::commit(std::string& problem) { return execute("COMMIT", problem); }

void SqliteIndex::rollback() {
    std::string ignored;
    execute("ROLLBACK", ignored);
}

bool SqliteIndex::finishStatements() {
    for (int level = patientLevel; level <= imageLevel; ++level) {
        select_[level].finish();
        update_[level].finish();
        insert_[level].finish();
    }
    sharingFile_.finish();
    return true;
}

void SqliteIndex::close() {
    // A connection closes only once its statements are finalized.
    finishStatements();
    sqlite3_close(connection_);
    connection_ = nullptr;
}

int SqliteIndex::open(const std::string& folder, bool& current, std::string& problem) {
    close();
    const std::string path = folder + "/" + databaseName;
    int version = -1;
    for (int attempt = 0; attempt < 2 && version < 0; ++attempt) {
        close();
        if (sqlite3_open_v2(path.c_str(), &connection_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) != SQLITE_OK) {
            failed("cannot open " + path, problem);
            close();
            return 0;
        }
        sqlite3_busy_timeout(connection_, 10000);
        SqliteStatement query;
        int stepped = SQLITE_ERROR;
        if (query.prepare(connection_, "PRAGMA user_version")) stepped = query.step();
        if (stepped == SQLITE_ROW) {
            version = static_cast<int>(query.integer(0));
        } else if (attempt == 0 && isDamagedDatabase(sqlite3_errcode(connection_))) {
            // The index holds nothing that the folder does not: a damaged one is made anew.
            query.finish();
            close();
            removeDatabaseFiles(path);
        } else {
            failed("cannot read " + path, problem);
            query.finish();
            close();
            return 0;
        }
    }
    // Write-ahead logging lets queries run beside a writer of another
    // process; NORMAL syncing keeps the database consistent through a crash,
    // and the reconciliation at the next open recovers what it lost.
    current = version == schemaVersion;
    if (!execute("PRAGMA journal_mode = WAL; PRAGMA synchronous = NORMAL;", problem) ||
        (current && !prepareStatements(problem))) {
        close();
        return 0;
    }
    return 1;
}

// Drops and creates the tables, inside the caller's transaction.
int SqliteIndex::create(std::string& problem) {
    std::string sql = "DROP TABLE IF EXISTS instance; DROP TABLE IF EXISTS series;"
                      " DROP TABLE IF EXISTS study; DROP TABLE IF EXISTS patient;";
    for (int level = patientLevel; level <= imageLevel; ++level) {
        sql += std::string(" CREATE TABLE ") + levelTables[level] + " (id INTEGER PRIMARY KEY";
        if (parentColumns[level] != nullptr) sql += std::string(", ") + parentColumns[level] + " INTEGER NOT NULL";
        if (level == imageLevel) sql += ", file TEXT NOT NULL";
        sql += ", specific_character_set TEXT NOT NULL DEFAULT ''";
        for (const Attribute* attribute : storedAttributes(static_cast<Level>(level))) {
            sql += std::string(", ") + attribute->column + " TEXT NOT NULL DEFAULT ''";
            if (hasKeyForm(*attribute)) sql += std::string(", ") + attribute->column + "_key TEXT NOT NULL DEFAULT ''";
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
    return execute(sql, problem) && prepareStatements(problem);
}
bool SqliteIndex::prepareStatements(std::string& problem) {
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
            if (hasKeyForm(*attribute)) addColumn(std::string(attribute->column) + "_key", true);
        }
        updateSql += " WHERE id = ?" + std::to_string(parameter + 1) + " AND (" + changed + ")";
        const std::string insertSql = "INSERT INTO " + table + " (" + insertColumns + ") VALUES (" + insertValues + ")";
        if (!select_[level].prepare(connection_, selectSql) || !update_[level].prepare(connection_, updateSql) ||
            !insert_[level].prepare(connection_, insertSql)) {
            return failed("index database", problem);
        }
    }
    if (!sharingFile_.prepare(connection_, "SELECT id, series_ref FROM instance WHERE file = ? AND id <> ?")) {
        return failed("index database", problem);
    }
    return true;
}
