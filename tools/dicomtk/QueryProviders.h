#ifndef TOOLS_DICOMTK_QUERYPROVIDERS_H
#define TOOLS_DICOMTK_QUERYPROVIDERS_H

#include <map>
#include <string>
#include <vector>

#include "StorageUser.h"
#include "StoreIndex.h"
#include "dimse/QueryRetrieveSopClasses.h"

// Where C-MOVE may send: AE titles with their host and port, from a text
// file of "AET HOST PORT" lines ('#' starts a comment).
class MoveDestinations {
public:
    struct Place {
        std::string host;
        std::string port;
    };
    // 1, or 0 with problem set (the file cannot be read, or a line is not
    // "AET HOST PORT" with an AE title of 1 to 16 characters).
    int load(const std::string& path);
    const Place* find(const std::string& aeTitle) const;

    std::string problem;

private:
    std::map<std::string, Place> places_;
};

// C-FIND over the store index, in one information model.
class IndexedFind : public FindSopClass {
public:
    IndexedFind(StoreIndex& index, StoreIndex::Model model, const char* uid);
    int sopClassUid(UidValue& out) override;
    int findMatches(DataSet* identifier, IndexedList<DataSet*>& results) override;

    std::string lastProblem;

private:
    StoreIndex& index_;
    StoreIndex::Model model_;
    const char* uid_;
};

// C-MOVE of stored instances, in one information model: every instance the
// identifier selects goes to the destination over a sub-association that
// proposes each SOP class in the three uncompressed encodings, and travels
// in the encoding it was stored in.
class IndexedMove : public MoveSopClass {
public:
    IndexedMove(StoreIndex& index, StoreIndex::Model model, const char* uid, const MoveDestinations& destinations,
                std::string aeTitle);
    int sopClassUid(UidValue& out) override;
    int findMatches(DataSet* identifier, IndexedList<DataSet*>& results) override;
    int prepareSubOperation(DataSet* match, DataSet*& dataSet, StorageSopClass*& storage) override;
    int resolveMoveDestination(const char* destination, char* callingAeTitle, char* host, char* port) override;
    AssociationService* makeSubAssociation() override;

    std::string lastProblem;

private:
    StoreIndex& index_;
    StoreIndex::Model model_;
    const char* uid_;
    const MoveDestinations& destinations_;
    std::string aeTitle_;
    std::map<std::string, StoreIndex::Instance> instances_;
    StoreSender* sub_ = nullptr;
    AnyStorage storage_;
    ToolService loader_;
};

#endif
