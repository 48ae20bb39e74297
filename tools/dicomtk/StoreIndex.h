#ifndef TOOLS_DICOMTK_STOREINDEX_H
#define TOOLS_DICOMTK_STOREINDEX_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "model/DataSet.h"
#include "model/IndexedList.h"

class IndexBackend;

// The index of what dicomtk serve has stored, in an SQLite database in the
// store folder: the patient, study, series and instance attributes that the
// Patient Root and Study Root query models use as keys, and the file of
// each instance. Queries (C-FIND) and retrievals (C-MOVE) are answered from
// it. One object may be used by several threads at once.
//
// The database is a backend (IndexBackend.h): SQLite by default; the
// reading of objects and identifiers, the queue of entries written after
// Success and the scan of the folder are StoreIndex's, for every backend.
class StoreIndex {
public:
    // Query/retrieve information models.
    enum class Model { patientRoot, studyRoot };

    // One stored instance to send.
    struct Instance {
        std::string path;  // the file, folder included
        std::string sopClassUid;
        std::string sopInstanceUid;
        std::string transferSyntaxUid;  // as the file was stored; empty when unknown
    };

    // An index over the backend of this build (SQLite, or one that cannot
    // be opened in a build without it).
    StoreIndex();
    // An index over another backend.
    explicit StoreIndex(std::unique_ptr<IndexBackend> backend);
    ~StoreIndex();
    StoreIndex(const StoreIndex&) = delete;
    StoreIndex& operator=(const StoreIndex&) = delete;

    // Opens (or creates) the index in folder. When the database is new, or
    // rebuild is set, it is (re)built by scanning the folder's *.dcm files.
    // 1, or 0 with problem set.
    //
    // The SQLite database is FOLDER/index.sqlite. An existing index is
    // brought up to date with the folder: files it does not know are added,
    // entries whose file is gone are removed (so a crash between storing a
    // file and indexing it loses nothing); a damaged one, or one of another schema,
    // is built anew. skipped then counts the .dcm files that could not be
    // indexed (not decodable, or without the UIDs). Not to be called while
    // other threads use the object.
    int open(const std::string& folder, bool rebuild);

    // Records one stored instance, from the data set as stored, under its
    // file name in the folder; replaces the entry of an earlier object with
    // the same SOP Instance UID. 1, or 0 with problem set.
    // The set is read with DataSet::find, so it must still be filling (not
    // drained by saveFile). In one transaction.
    int add(DataSet* dataSet, const std::string& fileName);

    // The same as add, a moment later: the entry waits until the next call
    // that reads or changes the index (or settle) takes it in, entries in
    // the order given. Whoever asks the index once this returns finds the
    // instance, and the caller may answer its peer before the database
    // work. Takes the data set. A ticket for settle, or 0 when the index is
    // not open.
    uint64_t addSoon(std::unique_ptr<DataSet> dataSet, const std::string& fileName);

    // Takes in what waits and tells how the entry of ticket went: 1 added,
    // or 0 with problem set (also for a ticket of 0). Every ticket is
    // settled once; one that is not leaves its failure behind.
    int settle(uint64_t ticket);

    // The same for a file already in the folder (fileName is its name
    // there), read from the file: for a caller whose data set was drained
    // when the file was written. 1, or 0 with problem set.
    int addFile(const std::string& fileName);

    // C-FIND: appends one newly allocated data set per matching entity at
    // the identifier's Query/Retrieve Level (0008,0052) to results (the
    // caller deletes them). Each carries the requested return keys (the
    // identifier's elements) filled from the index (empty when unknown), the
    // Query/Retrieve Level and the unique keys of its level and the levels
    // above. Matching: single value, wildcards * and ?, universal (empty)
    // match, date/time ranges, backslash-separated UID lists; case-sensitive
    // except person names (the rules in detail at the top of StoreIndex.cpp,
    // the attributes known in IndexAttributes.cpp). 1 when the query was
    // carried out (also with no match); 0 for a level the model does not
    // have or a broken identifier (problem set).
    int find(Model model, DataSet* identifier, IndexedList<DataSet*>& results);

    // C-MOVE: every stored instance under the entities the identifier
    // selects at its level, in a stable order. 1, or 0 as for find; 0 also
    // when the unique key of the level is absent or empty (or *), since such a
    // retrieval would send the whole store.
    int findInstances(Model model, DataSet* identifier, std::vector<Instance>& instances);

    // The file of the stored instance of a SOP Instance UID (folder
    // included): 1 with path set, or 0 (none, or problem set).
    int pathOf(const std::string& sopInstanceUid, std::string& path);

    // Number of instances indexed.
    long count();

    // Why the last call failed. With several threads, use lastProblem().
    std::string problem;
    // The reason of the last failed call made by the calling thread.
    static std::string lastProblem();
    // Files the last open could not index.
    long skipped = 0;

private:
    struct State;
    std::unique_ptr<State> state_;
};

#endif
