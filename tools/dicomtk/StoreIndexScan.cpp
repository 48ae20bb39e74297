// Opening the store index: a new one (or one asked to be rebuilt, or one
// its backend cannot use) is built by scanning the folder's files; an
// existing one is brought up to date with them.
//
// The folder scan takes only visible regular files named *.dcm, so
// FolderStore's temporary files (.incoming-*.tmp) and a database's own
// files (index.sqlite and its -wal, -shm, -journal) are never indexed.

#include <algorithm>
#include <filesystem>
#include <set>
#include <system_error>

#include "StoreIndexState.h"
#include "network/AssociationService.h"

using store_index::failed;

namespace {

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

// The object of a file of the folder, or null when it cannot be read.
std::unique_ptr<ObjectDataSet> loaded(AssociationService& service, const std::string& folder, const std::string& name) {
    int decoded = 0;
    std::unique_ptr<ObjectDataSet> set(service.loadFile((folder + "/" + name).c_str(), &decoded));
    if (decoded != 1) set.reset();
    return set;
}

// Indexes the object of a file: 1 added, 0 it cannot be indexed (it counts
// as skipped), -1 the backend failed (problem set).
int indexed(IndexBackend& backend, DataSet* set, const std::string& name, std::string& problem) {
    IndexedObject object;
    std::string why;
    if (set == nullptr || !store_index::readObject(set, name, object, why)) return 0;
    return backend.add(object, problem) ? 1 : -1;
}

// Indexes every .dcm file of the folder, into an empty index.
bool scanAll(IndexBackend& backend, const std::string& folder, long& skipped, std::string& problem) {
    AssociationService service;
    for (const std::string& name : storedFileNames(folder)) {
        const int added = indexed(backend, loaded(service, folder, name).get(), name, problem);
        if (added < 0) return false;
        if (added == 0) ++skipped;
    }
    return true;
}

// Brings an existing index up to date with the folder: what was stored
// while the index was not told (a crash between the rename of a file and
// its entry) is added, entries of files that are gone are removed.
bool reconcile(IndexBackend& backend, const std::string& folder, long& skipped, std::string& problem) {
    const std::vector<std::string> names = storedFileNames(folder);
    const std::set<std::string> onDisk(names.begin(), names.end());
    std::vector<std::string> indexedNames;
    if (!backend.files(indexedNames, problem)) return false;
    const std::set<std::string> known(indexedNames.begin(), indexedNames.end());
    for (const std::string& name : known) {
        if (onDisk.count(name) == 0 && !backend.removeFile(name, problem)) return false;
    }
    AssociationService service;
    for (const std::string& name : names) {
        if (known.count(name) != 0) continue;
        // A second file of an instance indexed under a file that is still
        // there stays out, so that the index does not swap between them.
        std::unique_ptr<ObjectDataSet> set = loaded(service, folder, name);
        int added = 0;
        if (set != nullptr) {
            std::string indexedFile, ignored;
            backend.fileOf(storedText(set->find(0x0008, 0x0018)), indexedFile, ignored);
            if (indexedFile.empty() || onDisk.count(indexedFile) == 0) added = indexed(backend, set.get(), name, problem);
        }
        if (added < 0) return false;
        if (added == 0) ++skipped;
    }
    return true;
}

}  // namespace

int StoreIndex::open(const std::string& folder, bool rebuild) {
    if (state_->opened) {
        // What waits is written before the index closes.
        const auto lock = state_->takenIn();
        state_->opened = false;
    }
    state_->backend->close();
    skipped = 0;
    std::error_code error;
    if (!std::filesystem::is_directory(folder, error)) return failed(problem, "no folder " + folder);
    state_->folder = folder;
    IndexBackend& backend = *state_->backend;
    std::string why;
    bool current = false;
    if (!backend.open(folder, current, why)) return failed(problem, why);
    bool done = backend.begin(why) != 0;
    if (done) {
        if (rebuild || !current) {
            done = backend.create(why) && scanAll(backend, folder, skipped, why);
        } else {
            done = reconcile(backend, folder, skipped, why);
        }
        if (done) done = backend.commit(why) != 0;
        if (!done) backend.rollback();
    }
    if (!done) {
        backend.close();
        return failed(problem, why);
    }
    state_->opened = true;
    return 1;
}
