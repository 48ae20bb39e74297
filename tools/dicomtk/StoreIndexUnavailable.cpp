// The store index of a build without SQLite (the Windows cross build): it
// cannot be opened, so dicomtk serve answers no query and no retrieval.

#include "StoreIndex.h"

namespace {

const char* const unavailable = "this build has no query index";

thread_local std::string threadProblem;

int refused(std::string& problem) {
    problem = unavailable;
    threadProblem = unavailable;
    return 0;
}

}  // namespace

struct StoreIndex::Database {};

StoreIndex::StoreIndex() = default;
StoreIndex::~StoreIndex() = default;

int StoreIndex::open(const std::string&, bool) { return refused(problem); }
int StoreIndex::add(DataSet*, const std::string&) { return refused(problem); }
uint64_t StoreIndex::addSoon(std::unique_ptr<DataSet>, const std::string&) { return 0; }
int StoreIndex::settle(uint64_t) { return refused(problem); }
int StoreIndex::addFile(const std::string&) { return refused(problem); }
int StoreIndex::find(Model, DataSet*, IndexedList<DataSet*>&) { return refused(problem); }
int StoreIndex::findInstances(Model, DataSet*, std::vector<Instance>&) { return refused(problem); }
long StoreIndex::count() { return 0; }
std::string StoreIndex::lastProblem() { return threadProblem; }
