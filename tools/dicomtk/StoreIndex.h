#ifndef TOOLS_DICOMTK_STOREINDEX_H
#define TOOLS_DICOMTK_STOREINDEX_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "model/DataSet.h"
#include "model/IndexedList.h"

// The index of what dicomtk serve has stored, in an SQLite database in the
// store folder: the patient, study, series and instance attributes that the
// Patient Root and Study Root query models use as keys, and the file of
// each instance. Queries (C-FIND) and retrievals (C-MOVE) are answered from
// it. One object may be used by several threads at once.
class StoreIndex {
public:
    // Query/retrieve information models.
    enum class Model { patientRoot, studyRoot };

    // One stored instance to send.
    struct Instance {
        std::string path;  // the file, folder included
        std::string sopClassUid;
        std::string sopInstanceUid;
    };

    StoreIndex();
    ~StoreIndex();
    StoreIndex(const StoreIndex&) = delete;
    StoreIndex& operator=(const StoreIndex&) = delete;

    // Opens (or creates) the index in folder. When the database is new, or
    // rebuild is set, it is (re)built by scanning the folder's *.dcm files.
    // 1, or 0 with problem set.
    int open(const std::string& folder, bool rebuild);

    // Records one stored instance, from the data set as stored, under its
    // file name in the folder; replaces the entry of an earlier object with
    // the same SOP Instance UID. 1, or 0 with problem set.
    int add(DataSet* dataSet, const std::string& fileName);

    // C-FIND: appends one newly allocated data set per matching entity at
    // the identifier's Query/Retrieve Level (0008,0052) to results (the
    // caller deletes them). Each carries the requested return keys (the
    // identifier's elements) filled from the index (empty when unknown), the
    // Query/Retrieve Level and the unique keys of its level and the levels
    // above. Matching: single value, wildcards * and ?, universal (empty)
    // match, date/time ranges, backslash-separated UID lists; case-sensitive
    // except person names. 1 when the query was carried out (also with no
    // match); 0 for a level the model does not have or a broken identifier
    // (problem set).
    int find(Model model, DataSet* identifier, IndexedList<DataSet*>& results);

    // C-MOVE: every stored instance under the entities the identifier
    // selects at its level, in a stable order. 1, or 0 as for find.
    int findInstances(Model model, DataSet* identifier, std::vector<Instance>& instances);

    // Number of instances indexed.
    long count();

    std::string problem;

private:
    struct Database;
    std::unique_ptr<Database> database_;
};

#endif
