// The store index backend of a build without SQLite (the Windows cross
// build): it cannot be opened, so the store index refuses to open and
// dicomtk serve answers no query and no retrieval.

#include "IndexBackend.h"

namespace {

const char* const unavailable = "this build has no query index";

int refused(std::string& problem) {
    problem = unavailable;
    return 0;
}

class UnavailableIndex : public IndexBackend {
public:
    int open(const std::string&, bool&, std::string& problem) override { return refused(problem); }
    void close() override {}
    int create(std::string& problem) override { return refused(problem); }
    int begin(std::string& problem) override { return refused(problem); }
    int commit(std::string& problem) override { return refused(problem); }
    void rollback() override {}
    int add(const IndexedObject&, std::string& problem) override { return refused(problem); }
    int removeFile(const std::string&, std::string& problem) override { return refused(problem); }
    int files(std::vector<std::string>&, std::string& problem) override { return refused(problem); }
    int fileOf(const std::string&, std::string&, std::string& problem) override { return refused(problem); }
    int find(const IndexQuery&, const std::vector<IndexField>&, const Answer&, std::string& problem) override {
        return refused(problem);
    }
    int instances(const IndexQuery&, std::vector<IndexedInstance>&, std::string& problem) override {
        return refused(problem);
    }
    long count() override { return 0; }
};

}  // namespace

std::unique_ptr<IndexBackend> makeDefaultIndexBackend() { return std::make_unique<UnavailableIndex>(); }
