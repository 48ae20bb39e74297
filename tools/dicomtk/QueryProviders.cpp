#include "QueryProviders.h"

#include <cstring>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>

#include "IndexAttributes.h"
#include "NetworkOptions.h"
#include "encoding/StandardTransferSyntaxes.h"
#include "encoding/SyntaxConversion.h"
#include "encoding/TransferSyntax.h"

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

IndexedFind::IndexedFind(StoreIndex& index, StoreIndex::Model model, const char* uid, std::string aeTitle,
                         const DataDictionary* dictionary)
    : index_(index), model_(model), uid_(uid), aeTitle_(std::move(aeTitle)), dictionary_(dictionary) {}

int IndexedFind::sopClassUid(UidValue& out) { return out.assign(uid_); }

int IndexedFind::handleCommand(AssociationService* association, DataSet* command) {
    association_ = association;
    const int handled = FindSopClass::handleCommand(association, command);
    association_ = nullptr;
    return handled;
}

int IndexedFind::findMatches(DataSet* identifier, IndexedList<DataSet*>& results) {
    if (!index_.find(model_, identifier, results)) {
        lastProblem = StoreIndex::lastProblem();
        return 0;
    }
    const std::string levelText = elementText(identifier, levelGroup, levelElement);
    const Level level = levelText == "IMAGE" ? imageLevel : levelText == "SERIES" ? seriesLevel : studyLevel;
    for (uint32_t index = 0; index < results.count(); ++index) {
        auto& answer = results.at(index)->element;
        DataSet* made = completed(answer, identifier, level);
        if (made == nullptr) continue;
        delete answer;
        answer = made;
    }
    return 1;
}

namespace {

DataElement* textElement(uint16_t group, uint16_t element, uint16_t vr, const std::string& text) {
    std::string padded = text;
    if (padded.size() % 2 != 0) padded.push_back(vr == vrCode('U', 'I') ? '\0' : ' ');
    auto* made = new DataElement(group, element, static_cast<uint32_t>(padded.size()), 1);
    if (!padded.empty() && made->value == nullptr) {
        delete made;
        return nullptr;
    }
    if (!padded.empty()) std::memcpy(made->value, padded.data(), padded.size());
    made->vr = vr;
    return made;
}

// The transfer syntax code a file's elements outside Pixel Data are in.
int32_t elementsCode(const std::string& syntax) {
    const int32_t code = findStandardTransferSyntax(syntax.c_str());
    return code == ImplicitLittleEndian || code == ExplicitBigEndian ? code : ExplicitLittleEndian;
}

// The instances a retrieval's identifier selects, each as a match naming
// its SOP class and instance (the file is looked up again when it is sent),
// and by SOP Instance UID in instances. 1, or 0 with problem set.
int matchInstances(StoreIndex& index, StoreIndex::Model model, DataSet* identifier, IndexedList<DataSet*>& results,
                   std::map<std::string, StoreIndex::Instance>& instances, std::string& problem) {
    instances.clear();
    std::vector<StoreIndex::Instance> found;
    if (!index.findInstances(model, identifier, found)) {
        problem = StoreIndex::lastProblem();
        return 0;
    }
    for (const StoreIndex::Instance& instance : found) {
        if (!instances.emplace(instance.sopInstanceUid, instance).second) continue;
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

// A stored instance read for sending: its data set without the meta group,
// and the transfer syntax it is kept in. Null when the file cannot be read.
DataSet* loadForSending(ToolService& loader, const StoreIndex::Instance& instance, std::string& syntax) {
    int decoded = 0;
    std::unique_ptr<ObjectDataSet> file(loader.loadFile(instance.path.c_str(), &decoded));
    if (!file || !decoded) return nullptr;
    syntax = transferSyntaxOf(file.get());
    if (syntax.empty()) syntax = "1.2.840.10008.1.2";
    return withoutMetaGroup(file.get());
}

}  // namespace

DataSet* IndexedFind::completed(DataSet* answer, DataSet* identifier, Level level) {
    std::map<uint32_t, DataElement*> replacements;
    auto replace = [&](DataElement* element) {
        if (element == nullptr) return;
        const uint32_t tag = static_cast<uint32_t>(element->group) << 16 | element->element;
        delete replacements[tag];
        replacements[tag] = element;
    };
    if (!aeTitle_.empty()) replace(textElement(0x0008, 0x0054, vrCode('A', 'E'), aeTitle_));
    if (identifier->find(0x0008, 0x0056) != nullptr) replace(textElement(0x0008, 0x0056, vrCode('C', 'S'), "ONLINE"));

    // Return keys of the IMAGE level that the index does not keep.
    std::vector<const DataElement*> fromFile;
    if (level == imageLevel) {
        forEachElement(identifier, [&](DataElement* element) {
            if (element->group <= 0x0002 || element->element == 0x0000 || element->items != nullptr) return;
            if (element->group == 0x0008 && (element->element == 0x0005 || element->element == 0x0052 ||
                                             element->element == 0x0054 || element->element == 0x0056)) {
                return;
            }
            if (findAttribute(element->group, element->element) == nullptr) fromFile.push_back(element);
        });
    }
    std::string path;
    if (!fromFile.empty() && index_.pathOf(elementText(answer, 0x0008, 0x0018), path)) {
        int decoded = 0;
        std::unique_ptr<ObjectDataSet> file(loader_.loadFile(path.c_str(), &decoded));
        UidValue answerSyntax;
        const bool knownSyntax = association_ != nullptr &&
                                 association_->transferSyntaxOfContext(association_->PDataPdu::currentContextId,
                                                                       answerSyntax);
        if (file && decoded && knownSyntax) {
            ObjectDataSet values;
            for (const DataElement* wanted : fromFile) {
                const DataElement* found = file->find(wanted->group, wanted->element);
                if (found == nullptr || found->items != nullptr) continue;
                DataElement* copy = copyElement(nullptr, found);
                if (copy == nullptr) continue;
                copy->vr = found->vr;
                if (!values.addElement(copy)) delete copy;
            }
            ConversionProblem why;
            const std::string answerUid(answerSyntax.text(), std::strlen(answerSyntax.text()));
            if (convertUncompressedValues(&values, elementsCode(transferSyntaxOf(file.get())), elementsCode(answerUid),
                                          dictionary_, why)) {
                while (DataElement* element = values.nextElement()) {
                    if (element->element == 0x0000) delete element;
                    else replace(element);
                }
            }
        }
    }
    if (replacements.empty()) return nullptr;
    auto* made = new ObjectDataSet;
    while (DataElement* element = answer->nextElement()) {
        const uint32_t tag = static_cast<uint32_t>(element->group) << 16 | element->element;
        const auto found = replacements.find(tag);
        if (found != replacements.end() && found->second == nullptr) {
            delete element;
            continue;
        }
        if (found != replacements.end()) {
            delete element;
            element = found->second;
            found->second = nullptr;
        }
        if (!made->addElement(element)) delete element;
    }
    for (auto& [tag, element] : replacements) {
        if (element != nullptr && !made->addElement(element)) delete element;
    }
    return made;
}

IndexedMove::IndexedMove(StoreIndex& index, StoreIndex::Model model, const char* uid,
                         const MoveDestinations& destinations, std::string aeTitle, const DataDictionary* dictionary)
    : index_(index),
      model_(model),
      uid_(uid),
      destinations_(destinations),
      aeTitle_(std::move(aeTitle)),
      dictionary_(dictionary) {}

int IndexedMove::sopClassUid(UidValue& out) { return out.assign(uid_); }

int IndexedMove::findMatches(DataSet* identifier, IndexedList<DataSet*>& results) {
    sub_ = nullptr;
    return matchInstances(index_, model_, identifier, results, instances_, lastProblem);
}

// Every failed sub-operation is told at once through report when there is
// one; lastProblem otherwise keeps the last.
void IndexedMove::failSubOperation(const std::string& problem) {
    if (report) report(problem);
    else lastProblem = problem;
}

int IndexedMove::prepareSubOperation(DataSet* match, DataSet*& dataSet, StorageSopClass*& storage) {
    const auto found = instances_.find(elementText(match, 0x0008, 0x0018));
    if (found == instances_.end() || sub_ == nullptr) return 0;
    const StoreIndex::Instance& instance = found->second;
    offered_.insert(instance.sopInstanceUid);
    std::string syntax;
    std::unique_ptr<DataSet> set(loadForSending(loader_, instance, syntax));
    if (!set) {
        failSubOperation(instance.path + " cannot be read");
        return 0;
    }
    std::string why;
    if (!sub_->prepareToSend(instance.sopClassUid, syntax, set.get(), why)) {
        failSubOperation("instance " + instance.sopInstanceUid + " (" + instance.sopClassUid + ", transfer syntax " +
                         syntax + ") not sent to " + destination_ + ": " + why);
        return 0;
    }
    storage_.sopClass = instance.sopClassUid;
    dataSet = set.release();
    storage = &storage_;
    return 1;
}

int IndexedMove::resolveMoveDestination(const char* destination, char* callingAeTitle, char* host, char* port) {
    const MoveDestinations::Place* place = destinations_.find(destination);
    if (place == nullptr) {
        lastProblem = std::string("move destination '") + destination +
                      "' is unknown (0xA801): it is not among the --destinations";
        return 0;
    }
    destination_ = std::string(destination) + " (" + place->host + ":" + place->port + ")";
    std::snprintf(callingAeTitle, 20, "%s", aeTitle_.c_str());
    std::snprintf(host, 64, "%s", place->host.c_str());
    std::snprintf(port, 64, "%s", place->port.c_str());
    return 1;
}

AssociationService* IndexedMove::makeSubAssociation() {
    auto* sub = new StoreSender;
    for (const auto& entry : instances_) {
        const std::string& syntax = entry.second.transferSyntaxUid;
        sub->proposeFor(entry.second.sopClassUid, syntax.empty() ? "1.2.840.10008.1.2" : syntax);
    }
    sub->dictionary = dictionary_;
    offered_.clear();
    // The handler skips an instance of a SOP class the destination accepted
    // no context for, and every instance after the destination went away:
    // each is told here, while the negotiation can still be asked.
    sub->whenDone = [this, sub] {
        // The destination never answered as it should: one line with the
        // system's or the peer's reason, not one per instance.
        if (sub->requestFailure != AssociationService::RequestFailure::none && offered_.empty()) {
            failSubOperation("move destination " + destination_ + " unreachable: " +
                             associationFailureText(*sub, "the SOP classes to send") + "; " +
                             std::to_string(instances_.size()) + " instances not sent");
            sub_ = nullptr;
            return;
        }
        for (const auto& [uid, instance] : instances_) {
            if (offered_.count(uid) != 0) continue;
            const std::string syntax = instance.transferSyntaxUid.empty() ? "1.2.840.10008.1.2" : instance.transferSyntaxUid;
            failSubOperation("instance " + uid + " (" + instance.sopClassUid + ", transfer syntax " + syntax +
                             ") not sent to " + destination_ + ": " +
                             (sub->sendingSyntax(instance.sopClassUid, syntax).empty()
                                  ? "no context for its SOP class in that or a convertible syntax was accepted"
                                  : "the association ended before it was sent"));
        }
        sub_ = nullptr;
    };
    sub_ = sub;
    return sub;
}

IndexedGet::IndexedGet(StoreIndex& index, StoreIndex::Model model, const char* uid, const DataDictionary* dictionary)
    : index_(index), model_(model), uid_(uid), dictionary_(dictionary) {}

int IndexedGet::sopClassUid(UidValue& out) { return out.assign(uid_); }

int IndexedGet::findMatches(DataSet* identifier, IndexedList<DataSet*>& results) {
    return matchInstances(index_, model_, identifier, results, instances_, lastProblem);
}

void IndexedGet::failSubOperation(const std::string& problem) {
    if (report) report(problem);
    else lastProblem = problem;
}

int IndexedGet::prepareSubOperation(DataSet* match, DataSet*& dataSet, StorageSopClass*& storage) {
    const auto found = instances_.find(elementText(match, 0x0008, 0x0018));
    if (found == instances_.end() || association_ == nullptr) return 0;
    const StoreIndex::Instance& instance = found->second;
    std::string syntax;
    std::unique_ptr<DataSet> set(loadForSending(loader_, instance, syntax));
    if (!set) {
        failSubOperation(instance.path + " cannot be read");
        return 0;
    }
    std::string chosen, why;
    if (!prepareToSendOn(*association_, instance.sopClassUid, syntax, set.get(), dictionary_, chosen, why)) {
        failSubOperation("instance " + instance.sopInstanceUid + " (" + instance.sopClassUid + ", transfer syntax " +
                         syntax + ") not sent back to the requester: " + why);
        return 0;
    }
    // The C-STORE request goes out on the context that carries chosen.
    association_->preferredTransferSyntax.assign(chosen.c_str());
    storage_.sopClass = instance.sopClassUid;
    dataSet = set.release();
    storage = &storage_;
    return 1;
}

int IndexedGet::handleCommand(AssociationService* association, DataSet* command) {
    association_ = dynamic_cast<ToolService*>(association);
    const int handled = association_ != nullptr && GetSopClass::handleCommand(association, command);
    if (association_ != nullptr) association_->preferredTransferSyntax.clear();
    association_ = nullptr;
    return handled;
}
