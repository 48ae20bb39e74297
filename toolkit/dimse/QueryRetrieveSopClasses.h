#ifndef DICOMTOOLKIT_DIMSE_QUERYRETRIEVESOPCLASSES_H
#define DICOMTOOLKIT_DIMSE_QUERYRETRIEVESOPCLASSES_H

#include <cstdint>

#include "../model/IndexedList.h"
#include "CommandMessages.h"
#include "StorageSopClass.h"

// The query/retrieve SOP classes: C-FIND searches for composite objects,
// C-MOVE has them sent to a third application entity. Each class carries the
// user role (send the request, pass every response to a sink) and the
// provider role (answer a received request). The provider searches nothing
// itself: matching, the whereabouts of move destinations and the objects to
// send are the application's, through the virtual operations.
//
// A response is pending while its status is 0xFF00 or 0xFF01; the first
// response with any other status is the final one, whether or not it
// carries a data set (peers send pending C-MOVE responses without one).

// Statuses of the query/retrieve providers.
enum : uint16_t {
    StatusPendingWarning = 0xFF01,
    StatusSubOperationsFailed = 0xB000,   // C-MOVE done, some sub-operations failed
    StatusMoveDestinationUnknown = 0xA801,
    StatusUnableToProcess = 0xC001,
    StatusNoMoveDestination = 0xC002,
    StatusMatchingFailed = 0xC004,
    StatusDestinationUnreachable = 0xC005,
};

inline bool isPendingStatus(uint16_t status) { return status == StatusPending || status == StatusPendingWarning; }

class FindSopClass : public FindRequest, public FindResponse {
public:
    int sopClassUid(UidValue& out) override;
    // The provider's search: appends one newly allocated data set per match
    // to results, in answer order (the handler deletes them). Non-zero when
    // the search was carried out, even with no match. Default: no match.
    virtual int findMatches(DataSet* identifier, IndexedList<DataSet*>& results);
    // The user's sink: (null, the identifier sent) once the request is out,
    // then (response, its identifier) per pending response and (final
    // response, null). Response and identifier are deleted after the call.
    virtual void onFindResponse(DataSet* response, DataSet* identifier);

    // 1 when the final response arrived (finalStatus then holds its status), 0 otherwise.
    int find(AssociationService* association, DataSet* identifier);
    // 0 when the command is not a C-FIND request of this SOP class or its
    // identifier cannot be read; 1 once it has been answered.
    int handleCommand(AssociationService* association, DataSet* command);

    uint16_t finalStatus = 0;
};

class MoveSopClass : public MoveRequest, public MoveResponse {
public:
    int sopClassUid(UidValue& out) override;
    // As for C-FIND; every match is to hold (0008,0016) SOP Class UID.
    virtual int findMatches(DataSet* identifier, IndexedList<DataSet*>& results);
    // For one match: the complete data set to send (newly allocated; the
    // handler deletes it) and the storage object to send it with (the
    // application's). Non-zero on success. Default: 0.
    virtual int prepareSubOperation(DataSet* match, DataSet*& dataSet, StorageSopClass*& storage);
    // Where a destination AE title lives: the calling AE title to use (at
    // most 16 characters, in 20 bytes), the host (64 bytes) and the port
    // (64 bytes), all zero-terminated. Non-zero when known. Default: unknown.
    virtual int resolveMoveDestination(const char* destination, char* callingAeTitle, char* host, char* port);
    // The user's sink, called as onFindResponse is.
    virtual void onMoveResponse(DataSet* response, DataSet* dataSet);
    // The service for the sub-association of one C-MOVE: a plain
    // AssociationService unless a derived class supplies another (the
    // caller deletes it).
    virtual AssociationService* makeSubAssociation();

    // 1 when the final response arrived with status 0x0000, else 0
    // (finalStatus holds the final status when one arrived).
    int move(AssociationService* association, DataSet* identifier, const char* destination);
    // 0 when the command is not a C-MOVE request of this SOP class or its
    // identifier cannot be read; 1 once it has been answered.
    int handleCommand(AssociationService* association, DataSet* command);

    uint16_t finalStatus = 0;
};

// The three information models, FIND and MOVE each.
template <const char* const* Uid>
class NamedFind : public FindSopClass {
public:
    int sopClassUid(UidValue& out) override { return out.assign(*Uid); }
};

template <const char* const* Uid>
class NamedMove : public MoveSopClass {
public:
    int sopClassUid(UidValue& out) override { return out.assign(*Uid); }
};

namespace query_uids {
extern const char* const patientRootFind;
extern const char* const patientRootMove;
extern const char* const studyRootFind;
extern const char* const studyRootMove;
extern const char* const patientStudyOnlyFind;
extern const char* const patientStudyOnlyMove;
}  // namespace query_uids

class PatientRootFind : public NamedFind<&query_uids::patientRootFind> {};
class PatientRootMove : public NamedMove<&query_uids::patientRootMove> {};
class StudyRootFind : public NamedFind<&query_uids::studyRootFind> {};
class StudyRootMove : public NamedMove<&query_uids::studyRootMove> {};
class PatientStudyOnlyFind : public NamedFind<&query_uids::patientStudyOnlyFind> {};
class PatientStudyOnlyMove : public NamedMove<&query_uids::patientStudyOnlyMove> {};

#endif
