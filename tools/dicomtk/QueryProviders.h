#ifndef TOOLS_DICOMTK_QUERYPROVIDERS_H
#define TOOLS_DICOMTK_QUERYPROVIDERS_H

#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "IndexAttributes.h"
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

// C-FIND over the store index, in one information model. Each answer also
// carries Retrieve AE Title (0008,0054), the server's AE title, and when
// asked for Instance Availability (0008,0056) ONLINE; at the IMAGE level a
// return key the index does not keep (Rows, Columns, Number of Frames...)
// is taken from the stored file, in the byte order of the association's
// context, with its VR (empty when the file lacks it or holds a sequence).
class IndexedFind : public FindSopClass {
public:
    IndexedFind(StoreIndex& index, StoreIndex::Model model, const char* uid, std::string aeTitle = "",
                const DataDictionary* dictionary = nullptr);
    int sopClassUid(UidValue& out) override;
    int findMatches(DataSet* identifier, IndexedList<DataSet*>& results) override;
    int handleCommand(AssociationService* association, DataSet* command);

    std::string lastProblem;

private:
    // The values of the answer taken from elsewhere than the index; they
    // replace what it holds.
    DataSet* completed(DataSet* answer, DataSet* identifier, Level level);

    StoreIndex& index_;
    StoreIndex::Model model_;
    const char* uid_;
    std::string aeTitle_;
    const DataDictionary* dictionary_;
    AssociationService* association_ = nullptr;
    ToolService loader_;
};

// C-MOVE of stored instances, in one information model: every instance the
// identifier selects goes to the destination over a sub-association that
// proposes each SOP class in the transfer syntaxes its instances are kept
// in (and, for the uncompressed ones, in the other uncompressed ones); each
// travels as StoreSender sends it. A sub-operation that fails is reported
// through report (the object, its syntax, the destination and why).
class IndexedMove : public MoveSopClass {
public:
    IndexedMove(StoreIndex& index, StoreIndex::Model model, const char* uid, const MoveDestinations& destinations,
                std::string aeTitle, const DataDictionary* dictionary = nullptr);
    int sopClassUid(UidValue& out) override;
    int findMatches(DataSet* identifier, IndexedList<DataSet*>& results) override;
    int prepareSubOperation(DataSet* match, DataSet*& dataSet, StorageSopClass*& storage) override;
    int resolveMoveDestination(const char* destination, char* callingAeTitle, char* host, char* port) override;
    AssociationService* makeSubAssociation() override;

    std::string lastProblem;
    // Told each failed sub-operation as it happens (then not in lastProblem).
    std::function<void(const std::string&)> report;

private:
    void failSubOperation(const std::string& problem);

    StoreIndex& index_;
    StoreIndex::Model model_;
    const char* uid_;
    const MoveDestinations& destinations_;
    std::string aeTitle_;
    const DataDictionary* dictionary_;
    std::string destination_;
    std::map<std::string, StoreIndex::Instance> instances_;
    // The instances prepareSubOperation was asked for in this retrieval.
    std::set<std::string> offered_;
    StoreSender* sub_ = nullptr;
    AnyStorage storage_;
    ToolService loader_;
};

// C-GET of stored instances, in one information model: every instance the
// identifier selects goes back on the requester's own association, as a
// C-STORE on a context of its SOP class for which the requester took the
// SCP role, in the transfer syntax it is kept in when a context accepted
// that, otherwise converted into an accepted uncompressed one, as C-MOVE
// sends it. A sub-operation that fails is reported through report.
class IndexedGet : public GetSopClass {
public:
    IndexedGet(StoreIndex& index, StoreIndex::Model model, const char* uid, const DataDictionary* dictionary = nullptr);
    int sopClassUid(UidValue& out) override;
    int findMatches(DataSet* identifier, IndexedList<DataSet*>& results) override;
    int prepareSubOperation(DataSet* match, DataSet*& dataSet, StorageSopClass*& storage) override;
    // GetSopClass::handleCommand over an association of dicomtk (whose
    // encoders take the syntax chosen for each sub-operation).
    int handleCommand(AssociationService* association, DataSet* command);

    std::string lastProblem;
    // Told each failed sub-operation as it happens (then not in lastProblem).
    std::function<void(const std::string&)> report;

private:
    void failSubOperation(const std::string& problem);

    StoreIndex& index_;
    StoreIndex::Model model_;
    const char* uid_;
    const DataDictionary* dictionary_;
    std::map<std::string, StoreIndex::Instance> instances_;
    ToolService* association_ = nullptr;
    AnyStorage storage_;
    ToolService loader_;
};

#endif
