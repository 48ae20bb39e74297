#ifndef DICOMTOOLKIT_DIMSE_COMMANDMESSAGES_H
#define DICOMTOOLKIT_DIMSE_COMMANDMESSAGES_H

#include <cstdint>

#include "../model/DataElement.h"
#include "../model/DataSet.h"
#include "../network/AssociationService.h"
#include "../network/UidValue.h"

// The command sets of C-ECHO, C-STORE, C-FIND, C-MOVE, C-GET and C-CANCEL.
// A request class builds its request, sends it (with its data set when there
// is one) and recognises a received request; a response class builds and
// sends the response to a received request and recognises a received
// response. Each built command set lives for one call; the only state is the
// Message ID of the last request a request class sent (sentMessageId), which
// the response must name in its Message ID Being Responded To.
//
// A response carries the response fields only: Affected SOP Class UID,
// Command Field, Message ID Being Responded To, Data Set Type, Status and
// the fields of its service, never the request's Message ID or Priority.
//
// The message classes do not know their SOP class: sopClassUid, which a SOP
// class overrides once for its request and response bases, yields the UID
// written as Affected SOP Class UID and used as the abstract syntax by which
// the association picks the presentation context.

// Command Field codes.
enum : uint16_t {
    CStoreRequest = 0x0001,
    CStoreResponse = 0x8001,
    CFindRequest = 0x0020,
    CFindResponse = 0x8020,
    CMoveRequest = 0x0021,
    CMoveResponse = 0x8021,
    CGetRequest = 0x0010,
    CGetResponse = 0x8010,
    CEchoRequest = 0x0030,
    CEchoResponse = 0x8030,
    CCancelRequest = 0x0FFF,
};

// Data Set Type values.
enum : uint16_t {
    NoDataSet = 0x0101,
    DataSetFollows = 0x0102,
};

// Status values the toolkit writes or tests.
enum : uint16_t {
    StatusSuccess = 0x0000,
    StatusPending = 0xFF00,
    StatusCancel = 0xFE00,
};

// Command elements, all of group 0000.
enum : uint16_t {
    AffectedSopClassUid = 0x0002,
    CommandField = 0x0100,
    MessageId = 0x0110,
    MessageIdBeingRespondedTo = 0x0120,
    Initiator = 0x0200,
    Receiver = 0x0300,
    MoveDestination = 0x0600,
    Priority = 0x0700,
    CommandDataSetType = 0x0800,
    Status = 0x0900,
    AffectedSopInstanceUid = 0x1000,
    RemainingSubOperations = 0x1020,
    CompletedSubOperations = 0x1021,
    FailedSubOperations = 0x1022,
    WarningSubOperations = 0x1023,
    MoveOriginatorAeTitle = 0x1030,
    MoveOriginatorMessageId = 0x1031,
};

// A UID from an element's value: 0 for a null element, one without a value
// or a value longer than 64 bytes. One trailing byte that is neither a full
// stop nor a digit is a pad byte and is dropped.
int uidFromElement(UidValue& out, const DataElement* element);

// Whether response names messageId as its Message ID Being Responded To (a
// response without one names none).
bool respondsTo(DataSet* response, uint16_t messageId);

// Reads the answer to the request just sent with messageId, without a data
// set: 1 with its status when it is a response of the kind isExpected
// recognises and names the request. A response to another request aborts
// the association (the peer has lost the thread); 0 then and otherwise.
template <class Recognise>
int readCommandAnswer(AssociationService* association, uint16_t messageId, Recognise isExpected, uint16_t& status) {
    CommandSet response;
    if (!association->readMessage(response)) return 0;
    status = response.findU16(0x0000, Status);
    if (!isExpected(&response)) return 0;
    if (!respondsTo(&response, messageId)) {
        association->abort();
        return 0;
    }
    return 1;
}

class EchoRequest {
public:
    virtual ~EchoRequest() = default;
    virtual int sopClassUid(UidValue& out);
    int sendRequest(AssociationService* association);
    int isRequest(DataSet* command);

    // The Message ID of the last request sent (0 before the first).
    uint16_t sentMessageId = 0;
};

class EchoResponse {
public:
    virtual ~EchoResponse() = default;
    virtual int sopClassUid(UidValue& out);
    // Consumes the request: afterwards it is empty.
    int sendResponse(AssociationService* association, DataSet* request, uint16_t status);
    int sendResponse(AssociationService* association, DataSet* request) {
        return sendResponse(association, request, StatusSuccess);
    }
    int isResponse(DataSet* command);
};

class StoreRequest {
public:
    virtual ~StoreRequest() = default;
    virtual int sopClassUid(UidValue& out);
    int sendRequest(AssociationService* association, DataSet* dataSet);
    // A sub-operation of a C-MOVE: the request names the AE title that asked
    // for the move (at most 16 characters, else 0 and nothing sent) and the
    // Message ID of its C-MOVE request.
    int sendRequest(AssociationService* association, DataSet* dataSet, const char* moveOriginatorAeTitle,
                    uint16_t moveOriginatorMessageId);
    // With an association and a target, reads the data set that follows.
    int isRequest(DataSet* command, AssociationService* association, DataSet* target);
    int isRequest(DataSet* command) { return isRequest(command, nullptr, nullptr); }

    // The Message ID of the last request sent (0 before the first).
    uint16_t sentMessageId = 0;
};

class StoreResponse {
public:
    virtual ~StoreResponse() = default;
    virtual int sopClassUid(UidValue& out);
    // Consumes the request: afterwards it is empty. Without a SOP class UID
    // of its own, answers under the request's Affected SOP Class UID.
    int sendResponse(AssociationService* association, DataSet* request, uint16_t status);
    int sendResponse(AssociationService* association, DataSet* request) {
        return sendResponse(association, request, StatusSuccess);
    }
    int isResponse(DataSet* command);
};

class FindRequest {
public:
    virtual ~FindRequest() = default;
    virtual int sopClassUid(UidValue& out);
    int sendRequest(AssociationService* association, DataSet* identifier);
    int isRequest(DataSet* command, AssociationService* association, DataSet* target);
    int isRequest(DataSet* command) { return isRequest(command, nullptr, nullptr); }

    // The Message ID of the last request sent (0 before the first).
    uint16_t sentMessageId = 0;
};

class FindResponse {
public:
    virtual ~FindResponse() = default;
    virtual int sopClassUid(UidValue& out);
    // Leaves the request as it was, so one request serves every response.
    int sendResponse(AssociationService* association, DataSet* request, uint16_t status, DataSet* identifier);
    // Pending with the identifier, or the final Success without one.
    int sendResponse(AssociationService* association, DataSet* request, DataSet* identifier) {
        return sendResponse(association, request, identifier != nullptr ? StatusPending : StatusSuccess, identifier);
    }
    int isResponse(DataSet* command, AssociationService* association, DataSet* target);
    int isResponse(DataSet* command) { return isResponse(command, nullptr, nullptr); }
};

class MoveRequest {
public:
    virtual ~MoveRequest() = default;
    virtual int sopClassUid(UidValue& out);
    // destination: an AE title of at most 16 characters (a longer one is
    // refused: 0, nothing sent).
    int sendRequest(AssociationService* association, DataSet* identifier, const char* destination);
    int isRequest(DataSet* command, AssociationService* association, DataSet* target);
    int isRequest(DataSet* command) { return isRequest(command, nullptr, nullptr); }

    // The Message ID of the last request sent (0 before the first).
    uint16_t sentMessageId = 0;
};

class MoveResponse {
public:
    virtual ~MoveResponse() = default;
    virtual int sopClassUid(UidValue& out);
    // Leaves the request as it was.
    int sendResponse(AssociationService* association, DataSet* request, uint16_t status, uint16_t remaining,
                     uint16_t completed, uint16_t failed, uint16_t warning, DataSet* dataSet);
    int isResponse(DataSet* command, AssociationService* association, DataSet* target);
    int isResponse(DataSet* command) { return isResponse(command, nullptr, nullptr); }
};

class GetRequest {
public:
    virtual ~GetRequest() = default;
    virtual int sopClassUid(UidValue& out);
    int sendRequest(AssociationService* association, DataSet* identifier);
    int isRequest(DataSet* command, AssociationService* association, DataSet* target);
    int isRequest(DataSet* command) { return isRequest(command, nullptr, nullptr); }

    // The Message ID of the last request sent (0 before the first).
    uint16_t sentMessageId = 0;
};

// The C-GET-RSP: laid out as the C-MOVE-RSP.
class GetResponse {
public:
    virtual ~GetResponse() = default;
    virtual int sopClassUid(UidValue& out);
    // Leaves the request as it was. Remaining Sub-operations goes out only
    // with Pending and Cancel.
    int sendResponse(AssociationService* association, DataSet* request, uint16_t status, uint16_t remaining,
                     uint16_t completed, uint16_t failed, uint16_t warning, DataSet* dataSet);
    int isResponse(DataSet* command, AssociationService* association, DataSet* target);
    int isResponse(DataSet* command) { return isResponse(command, nullptr, nullptr); }
};

// The C-CANCEL-RQ: Command Field, Message ID Being Responded To (the
// Message ID of the operation to cancel) and Data Set Type, no SOP class UID
// and no response. sopClassUid names the abstract syntax of the operation,
// whose context the request travels on.
class CancelRequest {
public:
    virtual ~CancelRequest() = default;
    virtual int sopClassUid(UidValue& out);
    int sendRequest(AssociationService* association, uint16_t messageIdBeingRespondedTo);
    // A C-CANCEL-RQ (of any operation).
    int isRequest(DataSet* command);
    // A C-CANCEL-RQ of the operation whose request had messageId.
    int isRequestFor(DataSet* command, uint16_t messageId);
};

#endif
