#include "FolderStore.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "ObjectFiles.h"
#include "StorageUser.h"
#include "platform/DurableFiles.h"

namespace {

// The calling AE title of the association without the spaces that pad it.
std::string callingAeTitleOf(AssociationService* association) {
    std::string title(association->AssociateRequestPdu::callingAeTitle);
    const size_t first = title.find_first_not_of(' ');
    if (first == std::string::npos) return "";
    return title.substr(first, title.find_last_not_of(' ') - first + 1);
}

}  // namespace

// The attributes the index keeps are in groups 0008, 0010, 0018 and 0020; a copy
// of those is all it needs of an object, whose data set saving drains.
static DataSet* indexedAttributes(DataSet* dataSet) {
    auto* copy = new (std::nothrow) ObjectDataSet;
    if (copy == nullptr) return nullptr;
    for (uint32_t index = 0; index < dataSet->fillList.count(); ++index) {
        ElementGroup* group = dataSet->fillList.at(index)->element;
        const uint16_t number = group->groupNumber;
        if (number != 0x0008 && number != 0x0010 && number != 0x0018 && number != 0x0020) continue;
        for (uint32_t position = 0; position < group->count(); ++position) {
            const DataElement* source = group->at(position)->element;
            if (source->items != nullptr) continue;
            DataElement* element = copyElement(nullptr, source);
            if (element == nullptr) continue;
            element->vr = source->vr;
            if (copy->addElement(element) == 0) delete element;
        }
    }
    return copy;
}

FolderStore::FolderStore(std::string folder, bool sync, StoreIndex* index)
    : folder_(std::move(folder)), sync_(sync), index_(index) {}

bool FolderStore::isSafeUid(const std::string& uid) {
    if (uid.empty() || uid.size() > 64) return false;
    bool componentStarted = false;
    for (char character : uid) {
        if (character == '.') {
            if (!componentStarted) return false;
            componentStarted = false;
        } else if (character >= '0' && character <= '9') {
            componentStarted = true;
        } else {
            return false;
        }
    }
    return componentStarted;
}

int FolderStore::handleStore(AssociationService* association, DataSet* command) {
    association_ = association;
    expectedUid_ = elementText(command, 0x0000, AffectedSopInstanceUid);
    lastStatus = 0xFFFF;
    lastProblem = "the data set could not be read";
    lastUid = expectedUid_;
    replaced.clear();
    ObjectDataSet dataSet;
    const int answered = handleAnyCommand(association, command, &dataSet);
    association_ = nullptr;
    settleIndexEntry();
    return answered;
}

FolderStore::~FolderStore() { settleIndexEntry(); }

void FolderStore::settleIndexEntry() {
    if (indexTicket_ == 0) return;
    const uint64_t ticket = indexTicket_;
    indexTicket_ = 0;
    // The object is stored either way; an entry the index missed comes back
    // when it is rebuilt (serve --reindex).
    if (!index_->settle(ticket)) lastProblem = "stored, but not indexed: " + StoreIndex::lastProblem();
}

uint16_t FolderStore::storeAnyDataSet(DataSet* dataSet) {
    settleIndexEntry();
    const std::string uid = elementText(dataSet, 0x0008, 0x0018);
    lastUid = uid;
    lastProblem.clear();
    if (!isSafeUid(uid)) {
        lastProblem = "SOP Instance UID '" + uid + "' is not a UID";
        return lastStatus = cannotUnderstand;
    }
    if (uid != expectedUid_) {
        lastProblem = "the data set's SOP Instance UID " + uid + " is not the command's '" + expectedUid_ + "'";
        return lastStatus = dataSetDoesNotMatch;
    }
    UidValue transferSyntax;
    if (association_ == nullptr ||
        !association_->transferSyntaxOfContext(association_->PDataPdu::currentContextId, transferSyntax)) {
        lastProblem = "the data set's transfer syntax is unknown";
        return lastStatus = cannotUnderstand;
    }
    const std::string name = uid + ".dcm";
    const std::string previousSyntax = fileTransferSyntax(folder_ + "/" + name);
    std::unique_ptr<DataSet> attributes(index_ != nullptr ? indexedAttributes(dataSet) : nullptr);
    // The index keeps the syntax of the file, for retrievals to propose it.
    if (attributes && !setMetaText(attributes.get(), 0x0010, vrCode('U', 'I'),
                                   std::string(transferSyntax.text(), transferSyntax.size()), 0x00)) {
        attributes.reset();
    }
    // The file names its sender: Source Application Entity Title is the
    // calling AE title of the association it came in.
    if (!writeObjectFile(*association_, dataSet, folder_, uid, std::string(transferSyntax.text(), transferSyntax.size()),
                         callingAeTitleOf(association_), sync_, lastProblem)) {
        return lastStatus = outOfResources;
    }
    if (!previousSyntax.empty()) {
        replaced = "SOP Instance UID " + uid + " was stored already (transfer syntax " + previousSyntax +
                   "); replaced by the one received (transfer syntax " +
                   std::string(transferSyntax.text(), std::strlen(transferSyntax.text())) + ")";
    }
    // The index takes the entry in before anyone asks it again, while
    // Success goes out; handleStore learns afterwards how that went.
    if (index_ != nullptr) {
        if (!attributes) {
            lastProblem = "stored, but not indexed: out of memory";
        } else {
            indexTicket_ = index_->addSoon(std::move(attributes), name);
            if (indexTicket_ == 0) lastProblem = "stored, but not indexed: the index is not open";
        }
    }
    return lastStatus = StatusSuccess;
}
