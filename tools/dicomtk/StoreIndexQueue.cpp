// The entries of the store index: an object recorded at once (add, addFile)
// or a moment later (addSoon), from the queue that every later question or
// change takes in first (settle tells its caller how its entry went).

#include <memory>

#include "StoreIndexState.h"
#include "network/AssociationService.h"

using store_index::failed;

namespace store_index {

bool isSafeFileName(const std::string& name) {
    if (name.empty() || name == "." || name == ".." || name.size() > 255) return false;
    for (char character : name) {
        if (character == '/' || character == '\\' || character == '\0') return false;
    }
    return true;
}

int readObject(DataSet* dataSet, const std::string& fileName, IndexedObject& object, std::string& problem) {
    if (dataSet == nullptr) {
        problem = "no data set";
        return 0;
    }
    if (!isSafeFileName(fileName)) {
        problem = "'" + shown(fileName) + "' is not a file name in the store folder";
        return 0;
    }
    object.fileName = fileName;
    if (const DataElement* found = dataSet->find(characterSetGroup, characterSetElement)) {
        object.characterSet = storedText(found);
    }
    for (int level = patientLevel; level <= imageLevel; ++level) {
        std::vector<std::optional<std::string>>& values = object.values[level];
        values.clear();
        for (const Attribute* attribute : storedAttributes(static_cast<Level>(level))) {
            const DataElement* found = dataSet->find(attribute->group, attribute->element);
            values.push_back(found == nullptr ? std::nullopt : std::optional<std::string>(storedText(found)));
            if (attribute == &uniqueKey(static_cast<Level>(level))) {
                object.keys[level] = values.back().value_or("");
                values.back() = object.keys[level];
            }
        }
    }
    const char* const missing[] = {nullptr, "Study Instance UID", "Series Instance UID", "SOP Instance UID"};
    for (int level = imageLevel; level > patientLevel; --level) {
        if (object.keys[level].empty()) {
            problem = std::string("the object has no ") + missing[level];
            return 0;
        }
    }
    return 1;
}

}  // namespace store_index

int StoreIndex::State::addInTransaction(DataSet* dataSet, const std::string& fileName, std::string& problem) {
    IndexedObject object;
    if (!store_index::readObject(dataSet, fileName, object, problem)) return 0;
    if (!backend->begin(problem)) return 0;
    if (backend->add(object, problem) && backend->commit(problem)) return 1;
    backend->rollback();
    return 0;
}

void StoreIndex::State::takeInWaiting() {
    for (Waiting& entry : waiting) {
        std::string why;
        if (!addInTransaction(entry.dataSet.get(), entry.fileName, why)) unsettledFailures[entry.ticket] = why;
    }
    waiting.clear();
}

int StoreIndex::add(DataSet* dataSet, const std::string& fileName) {
    if (!state_->opened) return failed(problem, "the index is not open");
    const auto lock = state_->takenIn();
    std::string why;
    return state_->addInTransaction(dataSet, fileName, why) ? 1 : failed(problem, why);
}

uint64_t StoreIndex::addSoon(std::unique_ptr<DataSet> dataSet, const std::string& fileName) {
    if (!state_->opened || dataSet == nullptr) return 0;
    std::lock_guard<std::mutex> lock(state_->mutex);
    const uint64_t ticket = ++state_->lastTicket;
    state_->waiting.push_back({ticket, std::move(dataSet), fileName});
    return ticket;
}

int StoreIndex::settle(uint64_t ticket) {
    if (!state_->opened) return failed(problem, "the index is not open");
    if (ticket == 0) return failed(problem, "the object was not given to the index");
    const auto lock = state_->takenIn();
    const auto found = state_->unsettledFailures.find(ticket);
    if (found == state_->unsettledFailures.end()) return 1;
    const std::string why = found->second;
    state_->unsettledFailures.erase(found);
    return failed(problem, why);
}

int StoreIndex::addFile(const std::string& fileName) {
    if (!state_->opened) return failed(problem, "the index is not open");
    if (!store_index::isSafeFileName(fileName)) {
        return failed(problem, "'" + shown(fileName) + "' is not a file name in the store folder");
    }
    // Read outside the lock: only the database needs it.
    AssociationService service;
    int decoded = 0;
    std::unique_ptr<ObjectDataSet> set(service.loadFile((state_->folder + "/" + fileName).c_str(), &decoded));
    if (set == nullptr) return failed(problem, "cannot open " + fileName);
    if (decoded != 1) return failed(problem, fileName + " cannot be decoded");
    return add(set.get(), fileName);
}
