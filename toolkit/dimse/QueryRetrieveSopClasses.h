#ifndef DICOMTOOLKIT_DIMSE_QUERYRETRIEVESOPCLASSES_H
#define DICOMTOOLKIT_DIMSE_QUERYRETRIEVESOPCLASSES_H

#include <csignal>
#include <cstdint>

#include "../model/IndexedList.h"
#include "CommandMessages.h"
#include "StorageSopClass.h"

// The query/retrieve SOP classes: C-FIND searches for composite objects,
// C-MOVE has them sent to a third application entity, C-GET has them sent
// back over the association that asked. Each class carries the user role
// (send the request, pass every response to a sink) and the provider role
// (answer a received request). The provider searches nothing itself:
// matching, the whereabouts of move destinations and the objects to send
// are the application's, through the virtual operations.
//
// A response is pending while its status is 0xFF00 or 0xFF01; the first
// response with any other status is the final one, whether or not it
// carries a data set (peers send pending C-MOVE responses without one). A
// user takes only responses that name its request's Message ID; any other
// message in their place aborts the association and fails the operation.
//
// Cancelling. A user interrupts its running find, move or get with cancel(),
// which only sets a flag and so may be called from a signal handler or
// another thread. The operation looks at the flag before it waits for each
// message: once set, it sends one C-CANCEL-RQ and reads on until the final
// response (0xFE00 from a provider that stopped). A flag set while the
// operation waits is seen once the next message has arrived. The flag stays
// set until the caller clears it (cancelRequested = 0), so that a cancel()
// that came just before an operation began still cancels it.
//
// A provider looks, without waiting, for a C-CANCEL-RQ of the operation
// after each match it sends (C-FIND) and after each sub-operation (C-MOVE,
// C-GET); on one it stops and answers 0xFE00, with the sub-operation counts
// so far for C-MOVE and C-GET. Any other request in the meantime breaks the
// one-operation-at-a-time rule of the association and aborts it.
//
// Final status of C-MOVE and C-GET: Success when every sub-operation
// completed, 0xB000 when some failed or ended with a warning, 0xA702 when
// every one failed; with failures the final response carries an identifier
// with the Failed SOP Instance UID List (0008,0058).

// Statuses of the query/retrieve providers.
enum : uint16_t {
    StatusPendingWarning = 0xFF01,
    StatusSubOperationsFailed = 0xB000,   // C-MOVE or C-GET done, some sub-operations failed or warned
    StatusSubOperationsAllFailed = 0xA702,  // C-MOVE or C-GET: every sub-operation failed
    StatusSopClassNotSupported = 0x0122,
    StatusMoveDestinationUnknown = 0xA801,
    StatusUnableToProcess = 0xC001,
    StatusNoMoveDestination = 0xC002,
    StatusMatchingFailed = 0xC004,
    StatusDestinationUnreachable = 0xC005,
};

inline bool isPendingStatus(uint16_t status) { return status == StatusPending || status == StatusPendingWarning; }

// The cancel flag of a query/retrieve user (see "Cancelling" above).
class CancellableUser {
public:
    virtual ~CancellableUser() = default;
    void cancel() { cancelRequested = 1; }
    volatile std::sig_atomic_t cancelRequested = 0;

protected:
    // Sends the C-CANCEL-RQ for the operation of messageId (on a context of
    // sopClass) once per operation when the flag is set; 0 only when it had
    // to go and could not.
    int cancelWhenAsked(AssociationService* association, const UidValue& sopClass, uint16_t messageId);
    int cancelSent = 0;
};

class FindSopClass : public FindRequest, public FindResponse, public CancellableUser {
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

class MoveSopClass : public MoveRequest, public MoveResponse, public CancellableUser {
public:
    int sopClassUid(UidValue& out) override;
    // As for C-FIND; every match is to hold (0008,0016) SOP Class UID (one
    // without is dropped) and (0008,0018) SOP Instance UID (which the Failed
    // SOP Instance UID List names).
    virtual int findMatches(DataSet* identifier, IndexedList<DataSet*>& results);
    // For one match: the complete data set to send (newly allocated; the
    // handler deletes it) and the storage object to send it with (the
    // application's). Non-zero on success. Default: 0.
    virtual int prepareSubOperation(DataSet* match, DataSet*& dataSet, StorageSopClass*& storage);
    // Where a destination AE title lives: the calling AE title to use (at
    // most 16 characters, in 20 bytes), the host (64 bytes) and the port
    // (64 bytes), all zero-terminated. Non-zero when known. Default: unknown.
    virtual int resolveMoveDestination(const char* destination, char* callingAeTitle, char* host, char* port);
    // The user's sink, called as onFindResponse is, except that the final
    // response comes with its data set when it has one (the Failed SOP
    // Instance UID List).
    virtual void onMoveResponse(DataSet* response, DataSet* dataSet);
    // The service for the sub-association of one C-MOVE: a plain
    // AssociationService unless a derived class supplies another (the
    // caller deletes it).
    virtual AssociationService* makeSubAssociation();

    // 1 when the final response arrived with status 0x0000, else 0
    // (finalStatus holds the final status when one arrived).
    int move(AssociationService* association, DataSet* identifier, const char* destination);
    // 0 when the command is not a C-MOVE request of this SOP class or its
    // identifier cannot be read; 1 once it has been answered. Every C-STORE
    // request names the requester's calling AE title and the C-MOVE's
    // Message ID as Move Originator.
    int handleCommand(AssociationService* association, DataSet* command);

    uint16_t finalStatus = 0;
};

// C-GET, both roles.
//
// User: get sends the C-GET-RQ and then, on the same association, answers
// each C-STORE-RQ sub-operation with the status storeRetrievedDataSet
// returns, until the final C-GET-RSP. The association must have proposed a
// context for each storage SOP class to receive and a role selection with
// SCP role for it (proposeAbstractSyntax and proposeRoleSelection(uid, 0,
// 1)); a C-STORE-RQ of a SOP class whose SCP role was not granted is
// answered 0x0122 without the hook.
//
// Provider: handleCommand finds the matches and sends each as a C-STORE-RQ
// on the requester's own association, on a context of its SOP class for
// which the requester took the SCP role; a match without such a context
// fails. A pending C-GET-RSP with the counts follows every sub-operation but
// the last; the final status follows the rule above.
class GetSopClass : public GetRequest, public GetResponse, public CancellableUser {
public:
    int sopClassUid(UidValue& out) override;
    // As for C-MOVE.
    virtual int findMatches(DataSet* identifier, IndexedList<DataSet*>& results);
    virtual int prepareSubOperation(DataSet* match, DataSet*& dataSet, StorageSopClass*& storage);
    // The user's store: command is the C-STORE-RQ, dataSet the object it
    // brought (both deleted after the call); returns the C-STORE status to
    // answer. Default: Success, keeping nothing.
    virtual uint16_t storeRetrievedDataSet(DataSet* command, DataSet* dataSet);
    // The user's sink, called as onMoveResponse is.
    virtual void onGetResponse(DataSet* response, DataSet* dataSet);

    // 1 when the final response arrived with status 0x0000, else 0
    // (finalStatus holds the final status when one arrived, else 0xFFFF).
    int get(AssociationService* association, DataSet* identifier);
    // 0 when the command is not a C-GET request of this SOP class or its
    // identifier cannot be read; 1 once it has been answered (or the
    // association ended under it).
    int handleCommand(AssociationService* association, DataSet* command);

    uint16_t finalStatus = 0;
    // What the user received: sub-operations answered, and of them the
    // ones answered with another status than Success.
    uint32_t received = 0;
    uint32_t refused = 0;
};

// The three information models, FIND and MOVE each; GET for the Patient
// Root and Study Root models.
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

template <const char* const* Uid>
class NamedGet : public GetSopClass {
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
extern const char* const patientRootGet;
extern const char* const studyRootGet;
}  // namespace query_uids

class PatientRootFind : public NamedFind<&query_uids::patientRootFind> {};
class PatientRootMove : public NamedMove<&query_uids::patientRootMove> {};
class StudyRootFind : public NamedFind<&query_uids::studyRootFind> {};
class StudyRootMove : public NamedMove<&query_uids::studyRootMove> {};
class PatientStudyOnlyFind : public NamedFind<&query_uids::patientStudyOnlyFind> {};
class PatientStudyOnlyMove : public NamedMove<&query_uids::patientStudyOnlyMove> {};
class PatientRootGet : public NamedGet<&query_uids::patientRootGet> {};
class StudyRootGet : public NamedGet<&query_uids::studyRootGet> {};

#endif
