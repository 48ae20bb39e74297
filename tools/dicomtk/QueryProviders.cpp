#include "QueryProviders.h"

#include <cstring>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>

#include "NetworkOptions.h"

int MoveDestinations::load(const std::string& path) {
    std::ifstream file(path);
    if (!file) {
        problem = "cannot be read";
        return 0;
    }
    std::string line;
    int number = 0;
    while (std::getline(file, line)) {
        ++number;
        const size_t comment = line.find('#');
        if (comment != std::string::npos) line.erase(comment);
        std::istringstream words(line);
        std::string aeTitle, host, port, extra;
        if (!(words >> aeTitle)) continue;
        if (!(words >> host >> port) || (words >> extra) || !isValidAeTitle(aeTitle) || host.size() > 63 ||
            port.size() > 63) {
            problem = "line " + std::to_string(number) + " is not 'AET HOST PORT'";
            return 0;
        }
        places_[aeTitle] = {host, port};
    }
    return 1;
}

const MoveDestinations::Place* MoveDestinations::find(const std::string& aeTitle) const {
    const auto found = places_.find(aeTitle);
    return found == places_.end() ? nullptr : &found->second;
}

IndexedFind::IndexedFind(StoreIndex& index, StoreIndex::Model model, const char* uid)
    : index_(index), model_(model), uid_(uid) {}

int IndexedFind::sopClassUid(UidValue& out) { return out.assign(uid_); }

int IndexedFind::findMatches(DataSet* identifier, IndexedList<DataSet*>& results) {
    if (index_.find(model_, identifier, results)) return 1;
    lastProblem = StoreIndex::lastProblem();
    return 0;
}

IndexedMove::IndexedMove(StoreIndex& index, StoreIndex::Model model, const char* uid,
                         const MoveDestinations& destinations, std::string aeTitle)
    : index_(index), model_(model), uid_(uid), destinations_(destinations), aeTitle_(std::move(aeTitle)) {}

int IndexedMove::sopClassUid(UidValue& out) { return out.assign(uid_); }

int IndexedMove::findMatches(DataSet* identifier, IndexedList<DataSet*>& results) {
    instances_.clear();
    sub_ = nullptr;
    std::vector<StoreIndex::Instance> found;
    if (!index_.findInstances(model_, identifier, found)) {
        lastProblem = StoreIndex::lastProblem();
        return 0;
    }
    for (const StoreIndex::Instance& instance : found) {
        if (!instances_.emplace(instance.sopInstanceUid, instance).second) continue;
        // A match names its SOP class and instance; the file is looked up again when it is sent.
        auto* match = new ObjectDataSet;
        for (const auto& [element, text] : {std::pair<uint16_t, std::string>{0x0016, instance.sopClassUid},
                                            std::pair<uint16_t, std::string>{0x0018, instance.sopInstanceUid}}) {
            std::string padded = text;
            if (padded.size() % 2 != 0) padded.push_back('\0');
            auto* made = new DataElement(0x0008, element, static_cast<uint32_t>(padded.size()), 1);
            if (!padded.empty() && made->value != nullptr) std::memcpy(made->value, padded.data(), padded.size());
            made->vr = vrCode('U', 'I');
            if (!match->addElement(made)) delete made;
        }
        if (!results.tryAppend(match)) delete match;
    }
    return 1;
}

int IndexedMove::prepareSubOperation(DataSet* match, DataSet*& dataSet, StorageSopClass*& storage) {
    const auto found = instances_.find(elementText(match, 0x0008, 0x0018));
    if (found == instances_.end() || sub_ == nullptr) return 0;
    int decoded = 0;
    std::unique_ptr<ObjectDataSet> file(loader_.loadFile(found->second.path.c_str(), &decoded));
    if (!file || !decoded) {
        lastProblem = found->second.path + " cannot be read";
        return 0;
    }
    std::string syntax = transferSyntaxOf(file.get());
    if (syntax.empty()) syntax = "1.2.840.10008.1.2";
    if (!sub_->canSend(found->second.sopClassUid, syntax)) {
        lastProblem = "the destination accepted no context for " + found->second.sopClassUid + " in " + syntax;
        return 0;
    }
    sub_->currentSyntax = syntax;
    storage_.sopClass = found->second.sopClassUid;
    dataSet = withoutMetaGroup(file.get());
    storage = &storage_;
    return 1;
}

int IndexedMove::resolveMoveDestination(const char* destination, char* callingAeTitle, char* host, char* port) {
    const MoveDestinations::Place* place = destinations_.find(destination);
    if (place == nullptr) {
        lastProblem = std::string("move destination '") + destination + "' is unknown";
        return 0;
    }
    std::snprintf(callingAeTitle, 20, "%s", aeTitle_.c_str());
    std::snprintf(host, 64, "%s", place->host.c_str());
    std::snprintf(port, 64, "%s", place->port.c_str());
    return 1;
}

AssociationService* IndexedMove::makeSubAssociation() {
    auto* sub = new StoreSender;
    std::set<std::string> classes;
    for (const auto& entry : instances_) classes.insert(entry.second.sopClassUid);
    for (const std::string& sopClass : classes) sub->proposeUncompressed(sopClass);
    sub_ = sub;
    return sub;
}
