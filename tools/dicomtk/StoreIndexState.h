#ifndef TOOLS_DICOMTK_STOREINDEXSTATE_H
#define TOOLS_DICOMTK_STOREINDEXSTATE_H

// What StoreIndex holds, shared by its source files: StoreIndex.cpp
// (questions), StoreIndexQueue.cpp (entries, and the queue of those written
// after Success) and StoreIndexScan.cpp (open, and the scan of the folder).

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "IndexBackend.h"
#include "StoreIndex.h"

struct StoreIndex::State {
    explicit State(std::unique_ptr<IndexBackend> made) : backend(std::move(made)) {}

    std::mutex mutex;
    std::unique_ptr<IndexBackend> backend;
    bool opened = false;
    std::string folder;

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
    int addInTransaction(DataSet* dataSet, const std::string& fileName, std::string& problem);
    // Takes in every waiting entry, in order. Called with mutex held.
    void takeInWaiting();
    // The lock of the index, once what waits is taken in: every question
    // and change starts so, and so finds what addSoon was given before it.
    std::unique_lock<std::mutex> takenIn() {
        std::unique_lock<std::mutex> lock(mutex);
        takeInWaiting();
        return lock;
    }
};

namespace store_index {

// Records a failure for the caller: in problem (under the lock) and for the thread.
int failed(std::string& problem, const std::string& why);

// Whether name names a file in the store folder itself.
bool isSafeFileName(const std::string& name);

// The object's entry: 1; 0 with problem set when it cannot be indexed
// (no data set, a file name outside the folder, a missing UID).
int readObject(DataSet* dataSet, const std::string& fileName, IndexedObject& object, std::string& problem);

}  // namespace store_index

#endif
