#ifndef TOOLS_DICOMTK_INDEXBACKEND_H
#define TOOLS_DICOMTK_INDEXBACKEND_H

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "IndexAttributes.h"

// The database under the store index. StoreIndex does what is the same for
// every database: it reads objects and identifiers, checks the level and
// model rules, parses keys, queues the entries written after Success and
// scans the folder's files; a backend keeps the entries and answers the
// parsed questions. StoreIndex calls one backend from one thread at a time.
//
// A backend keeps one entity per patient, study, series and instance, each
// under its parent, with the attributes of the table in IndexAttributes.cpp.
// The patient is identified by Patient ID alone (an object without one
// belongs to the patient whose ID is empty). The attributes of a patient,
// study or series are those of the last object stored under it that has
// them: an element present in a newer object replaces the value, an absent
// one leaves it. An object stored again under a SOP Instance UID already
// indexed replaces the instance and may move it to another series, study or
// patient; an entity left without children disappears.
//
// Every operation answers 1, or 0 with problem set; what it did is undone
// with the transaction it ran in.

// One object to record, read from its data set.
struct IndexedObject {
    std::string fileName;  // in the store folder
    // Specific Character Set, when the object has one.
    std::optional<std::string> characterSet;
    // Per level, the text of each stored attribute (storedAttributes order),
    // none when the object lacks the element: the entity keeps its value then.
    // The unique key of every level is there (Patient ID possibly empty).
    std::vector<std::optional<std::string>> values[levelCount];
    std::string keys[levelCount];
};

// One matching key: the entity matches when one of the values matches
// (single values, wildcards and ranges, as Matching says). Values are not
// empty and not universal; key forms (storedKey) are still to be made.
struct KeyCondition {
    const Attribute* attribute;
    std::vector<std::string> values;
};

// The entities at level (and, for a retrieval, the instances under them)
// that match every key; keys are of level or above.
struct IndexQuery {
    Level level;
    std::vector<KeyCondition> keys;
};

// One value of each answer to a find: an attribute of the requested level or
// a level above, or the Specific Character Set of the requested level.
struct IndexField {
    const Attribute* attribute;  // null: Specific Character Set
};

// A stored instance of a retrieval.
struct IndexedInstance {
    std::string fileName;
    std::string sopClassUid;
    std::string sopInstanceUid;
    std::string transferSyntaxUid;  // empty when unknown
};

class IndexBackend {
public:
    virtual ~IndexBackend() = default;

    // Connects to the index of the store folder, creating it when absent,
    // and closes any earlier connection. current tells whether it holds
    // entries of this schema; when it does not (new, of another schema,
    // damaged beyond reading), the caller calls create before anything else.
    virtual int open(const std::string& folder, bool& current, std::string& problem) = 0;
    // Ends the connection; what waits in an open transaction is rolled back.
    virtual void close() = 0;
    // Within a transaction: an empty index of this schema, whatever was there.
    virtual int create(std::string& problem) = 0;

    // A transaction: what happens between begin and commit happens at once or
    // (rollback, or a crash) not at all.
    virtual int begin(std::string& problem) = 0;
    virtual int commit(std::string& problem) = 0;
    virtual void rollback() = 0;

    // Records the object under its file name; replaces the instance of the
    // same SOP Instance UID and any instance recorded under the same file
    // (a file holds one object).
    virtual int add(const IndexedObject& object, std::string& problem) = 0;
    // Removes the instance recorded under the file, and entities left empty.
    virtual int removeFile(const std::string& fileName, std::string& problem) = 0;
    // The file names of every instance.
    virtual int files(std::vector<std::string>& names, std::string& problem) = 0;
    // The file name of the instance of a SOP Instance UID; empty when none.
    virtual int fileOf(const std::string& sopInstanceUid, std::string& fileName, std::string& problem) = 0;

    // C-FIND: calls answer once per matching entity at the query's level, in
    // a stable order (the order of StoreIndex::find), with the text of each
    // field (empty when unknown); stops, answering 0, when answer returns 0.
    using Answer = std::function<int(const std::vector<std::string>& texts)>;
    virtual int find(const IndexQuery& query, const std::vector<IndexField>& fields, const Answer& answer,
                     std::string& problem) = 0;
    // C-MOVE: every instance under the matching entities, in the same order.
    virtual int instances(const IndexQuery& query, std::vector<IndexedInstance>& found, std::string& problem) = 0;
    // Number of instances; 0 also when it cannot be told.
    virtual long count() = 0;
};

// The backend of this build: SQLite, or one that cannot be opened.
std::unique_ptr<IndexBackend> makeDefaultIndexBackend();

#endif
