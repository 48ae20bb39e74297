#include "StoreIndex.h"

struct StoreIndex::Database {};

StoreIndex::StoreIndex() = default;
StoreIndex::~StoreIndex() = default;

int StoreIndex::open(const std::string&, bool) {
    problem = "this build has no query index";
    return 0;
}

int StoreIndex::add(DataSet*, const std::string&) { return 0; }

int StoreIndex::find(Model, DataSet*, IndexedList<DataSet*>&) { return 0; }

int StoreIndex::findInstances(Model, DataSet*, std::vector<Instance>&) { return 0; }

long StoreIndex::count() { return 0; }
