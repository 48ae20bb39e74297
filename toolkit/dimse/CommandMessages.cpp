#include "CommandMessages.h"

#include <cstring>
#include <initializer_list>
#include <new>

#include "../encoding/ByteOrder.h"

namespace {

// Adds a command element holding its own copy of length bytes. 0 when
// memory runs out (the set keeps what it had).
int addBytes(DataSet& set, uint16_t element, const void* bytes, uint32_t length) {
    auto* made = new (std::nothrow) DataElement(0x0000, element, length, 1);
    if (made == nullptr) return 0;
    if (length != 0 && made->value == nullptr) {
        delete made;
        return 0;
    }
    if (length != 0) std::memcpy(made->value, bytes, length);
    if (set.addElement(made) == 0) {
        delete made;
        return 0;
    }
    return 1;
}

// A 16-bit number in host (little-endian) order, as findU16 reads it.
int addU16(DataSet& set, uint16_t element, uint16_t number) {
    const uint8_t bytes[2] = {static_cast<uint8_t>(number), static_cast<uint8_t>(number >> 8)};
    return addBytes(set, element, bytes, 2);
}

int addUid(DataSet& set, uint16_t element, const UidValue& uid) {
    return addBytes(set, element, uid.text(), uid.size());
}

// Copies source's element of group 0000 into target when source has it;
// 1 also when it has not, 0 when memory runs out.
int copyWhenPresent(DataSet& target, DataSet& source, uint16_t element) {
    const DataElement* found = source.find(0x0000, element);
    if (found == nullptr) return 1;
    if (found->length != 0 && found->value == nullptr) return 1;
    return addBytes(target, element, found->value, found->length);
}

// How many of the given group 0000 elements set holds, counted before a
// response builder drains it: fewer moved into the response means one was
// lost on the way (the response could not take it, or draining ran out of
// memory), and the response must not go out without it.
int countPresent(DataSet& set, std::initializer_list<uint16_t> elements) {
    int count = 0;
    for (const uint16_t element : elements) {
        if (set.find(0x0000, element) != nullptr) ++count;
    }
    return count;
}

uint16_t commandFieldOf(DataSet* command) { return command->findU16(0x0000, CommandField); }

// Sends the command, then the data set when one is given.
int sendWithDataSet(AssociationService* association, CommandSet& command, const UidValue& uid, DataSet* dataSet) {
    if (association->sendCommand(command, uid) == 0) return 0;
    if (dataSet == nullptr) return 1;
    return association->sendDataSet(*dataSet, uid);
}

// The request kinds that must announce a data set: recognised, and with an
// association and a target, the data set that follows is read into it.
int isRequestWithDataSet(DataSet* command, uint16_t field, AssociationService* association, DataSet* target) {
    if (command == nullptr || commandFieldOf(command) != field) return 0;
    if (command->findU16(0x0000, CommandDataSetType) == NoDataSet) return 0;
    if (association == nullptr || target == nullptr) return 1;
    return association->readMessage(*target);
}

// C-FIND and C-MOVE responses: a final response may come without data.
int isResponseWithDataSet(DataSet* command, uint16_t field, AssociationService* association, DataSet* target) {
    if (command == nullptr || commandFieldOf(command) != field) return 0;
    if (target == nullptr || association == nullptr) return 1;
    if (command->findU16(0x0000, CommandDataSetType) == NoDataSet) return 1;
    return association->readMessage(*target);
}

// The head of every request: Affected SOP Class UID, Command Field, Data
// Set Type and a fresh Message ID, which messageId receives.
int addRequestHead(CommandSet& command, const UidValue& uid, uint16_t field, uint16_t dataSetType,
                   uint16_t& messageId) {
    messageId = nextOddId16();
    return addUid(command, AffectedSopClassUid, uid) && addU16(command, CommandField, field) &&
           addU16(command, CommandDataSetType, dataSetType) && addU16(command, MessageId, messageId);
}

// C-FIND, C-MOVE and C-GET responses copy from the request without
// draining it.
int addQueryResponseHead(CommandSet& response, DataSet& request, uint16_t field, uint16_t status, bool withData) {
    const uint16_t messageId = request.findU16(0x0000, MessageId);
    return copyWhenPresent(response, request, AffectedSopClassUid) && copyWhenPresent(response, request, Receiver) &&
           copyWhenPresent(response, request, Initiator) && addU16(response, CommandField, field) &&
           addU16(response, MessageIdBeingRespondedTo, messageId) &&
           addU16(response, CommandDataSetType, withData ? DataSetFollows : NoDataSet) &&
           addU16(response, Status, status);
}

// C-MOVE and C-GET responses: the head, then the sub-operation counts
// (Remaining only while pending or on cancel).
int sendRetrieveResponse(AssociationService* association, DataSet* request, const UidValue& uid, uint16_t field,
                         uint16_t status, const uint16_t (&counts)[4], DataSet* dataSet) {
    CommandSet response;
    if (!addQueryResponseHead(response, *request, field, status, dataSet != nullptr)) return 0;
    if ((status == StatusPending || status == StatusCancel) && !addU16(response, RemainingSubOperations, counts[0])) {
        return 0;
    }
    if (!addU16(response, CompletedSubOperations, counts[1]) || !addU16(response, FailedSubOperations, counts[2]) ||
        !addU16(response, WarningSubOperations, counts[3])) {
        return 0;
    }
    return sendWithDataSet(association, response, uid, dataSet);
}

// A request with an identifier: C-FIND, C-GET (C-MOVE adds its destination).
int sendQueryRequest(AssociationService* association, const UidValue& uid, uint16_t field, DataSet* identifier,
                     uint16_t& messageId) {
    CommandSet command;
    if (!addRequestHead(command, uid, field, DataSetFollows, messageId) || !addU16(command, Priority, 0)) return 0;
    return sendWithDataSet(association, command, uid, identifier);
}

}  // namespace

int uidFromElement(UidValue& out, const DataElement* element) {
    if (element == nullptr || element->value == nullptr) return 0;
    if (element->length > UidValue::capacity) return 0;
    if (!out.assign(element->value, element->length)) return 0;
    if (out.length != 0) {
        const char last = out.characters[out.length - 1];
        if (last != '.' && (last < '0' || last > '9')) {
            out.characters[out.length - 1] = '\0';
            --out.length;
        }
    }
    return 1;
}

int EchoRequest::sopClassUid(UidValue&) { return 0; }

int EchoRequest::sendRequest(AssociationService* association) {
    if (association == nullptr) return 0;
    UidValue uid;
    if (!sopClassUid(uid)) return 0;
    CommandSet command;
    if (!addRequestHead(command, uid, CEchoRequest, NoDataSet, sentMessageId)) return 0;
    return association->sendCommand(command, uid);
}

bool respondsTo(DataSet* response, uint16_t messageId) {
    return response != nullptr && response->find(0x0000, MessageIdBeingRespondedTo) != nullptr &&
           response->findU16(0x0000, MessageIdBeingRespondedTo) == messageId;
}

int EchoRequest::isRequest(DataSet* command) { return command != nullptr && commandFieldOf(command) == CEchoRequest; }

int EchoResponse::sopClassUid(UidValue&) { return 0; }

int EchoResponse::sendResponse(AssociationService* association, DataSet* request, uint16_t status) {
    if (association == nullptr || request == nullptr) return 0;
    UidValue uid;
    if (!sopClassUid(uid)) return 0;
    const int present = countPresent(*request, {AffectedSopClassUid, MessageId, CommandDataSetType});
    int moved = 0;
    CommandSet response;
    while (DataElement* element = request->nextElement()) {
        // Decided before the Message ID is renamed: a (0000,0120) that came
        // with the request must not stand beside the one answering it.
        const bool kept = element->group == 0x0000 && (element->element == AffectedSopClassUid ||
                                                       element->element == MessageId ||
                                                       element->element == CommandDataSetType);
        if (kept && element->element == MessageId) element->element = MessageIdBeingRespondedTo;
        if (kept && response.addElement(element) != 0) ++moved;
        else delete element;
    }
    if (moved < present) return 0;
    if (!addU16(response, CommandField, CEchoResponse) || !addU16(response, Status, status)) return 0;
    return association->sendCommand(response, uid);
}

int EchoResponse::isResponse(DataSet* command) { return command != nullptr && commandFieldOf(command) == CEchoResponse; }

int StoreRequest::sopClassUid(UidValue&) { return 0; }

int StoreRequest::sendRequest(AssociationService* association, DataSet* dataSet) {
    return sendRequest(association, dataSet, nullptr, 0);
}

int StoreRequest::sendRequest(AssociationService* association, DataSet* dataSet, const char* moveOriginatorAeTitle,
                              uint16_t moveOriginatorMessageId) {
    if (association == nullptr) return 0;
    const size_t titleSize = moveOriginatorAeTitle != nullptr ? std::strlen(moveOriginatorAeTitle) : 0;
    if (titleSize > 16) return 0;
    UidValue uid;
    if (!sopClassUid(uid)) return 0;
    CommandSet command;
    if (!addRequestHead(command, uid, CStoreRequest, DataSetFollows, sentMessageId) || !addU16(command, Priority, 0)) {
        return 0;
    }
    if (moveOriginatorAeTitle != nullptr) {
        // The title over an even number of bytes, padded with a space.
        char title[18] = {};
        std::memcpy(title, moveOriginatorAeTitle, titleSize);
        const uint32_t length = static_cast<uint32_t>(titleSize + (titleSize % 2));
        if (titleSize % 2 != 0) title[titleSize] = ' ';
        if (!addBytes(command, MoveOriginatorAeTitle, title, length) ||
            !addU16(command, MoveOriginatorMessageId, moveOriginatorMessageId)) {
            return 0;
        }
    }
    if (dataSet != nullptr) {
        const DataElement* instance = dataSet->find(0x0008, 0x0018);
        if (instance != nullptr && instance->value != nullptr &&
            !addBytes(command, AffectedSopInstanceUid, instance->value, instance->length)) {
            return 0;
        }
    }
    return sendWithDataSet(association, command, uid, dataSet);
}

int StoreRequest::isRequest(DataSet* command, AssociationService* association, DataSet* target) {
    return isRequestWithDataSet(command, CStoreRequest, association, target);
}

int StoreResponse::sopClassUid(UidValue&) { return 0; }

int StoreResponse::sendResponse(AssociationService* association, DataSet* request, uint16_t status) {
    if (association == nullptr || request == nullptr) return 0;
    UidValue uid;
    if (!sopClassUid(uid) && !uidFromElement(uid, request->find(0x0000, AffectedSopClassUid))) return 0;
    const uint16_t messageId = request->findU16(0x0000, MessageId);
    const int present = countPresent(*request, {AffectedSopClassUid, AffectedSopInstanceUid, Initiator, Receiver});
    int moved = 0;
    CommandSet response;
    while (DataElement* element = request->nextElement()) {
        bool kept = false;
        if (element->group == 0x0000) {
            // The retired initiator and receiver exchange places.
            if (element->element == Initiator) element->element = Receiver;
            else if (element->element == Receiver) element->element = Initiator;
            kept = element->element == AffectedSopClassUid || element->element == AffectedSopInstanceUid ||
                   element->element == Initiator || element->element == Receiver;
        }
        if (kept && response.addElement(element) != 0) ++moved;
        else delete element;
    }
    if (moved < present) return 0;
    if (!addU16(response, CommandField, CStoreResponse) || !addU16(response, MessageIdBeingRespondedTo, messageId) ||
        !addU16(response, CommandDataSetType, NoDataSet) || !addU16(response, Status, status)) {
        return 0;
    }
    return association->sendCommand(response, uid);
}

int StoreResponse::isResponse(DataSet* command) { return command != nullptr && commandFieldOf(command) == CStoreResponse; }

int FindRequest::sopClassUid(UidValue&) { return 0; }

int FindRequest::sendRequest(AssociationService* association, DataSet* identifier) {
    if (association == nullptr) return 0;
    UidValue uid;
    if (!sopClassUid(uid)) return 0;
    return sendQueryRequest(association, uid, CFindRequest, identifier, sentMessageId);
}

int FindRequest::isRequest(DataSet* command, AssociationService* association, DataSet* target) {
    return isRequestWithDataSet(command, CFindRequest, association, target);
}

int FindResponse::sopClassUid(UidValue&) { return 0; }

int FindResponse::sendResponse(AssociationService* association, DataSet* request, uint16_t status,
                               DataSet* identifier) {
    if (association == nullptr || request == nullptr) return 0;
    UidValue uid;
    if (!sopClassUid(uid)) return 0;
    CommandSet response;
    if (!addQueryResponseHead(response, *request, CFindResponse, status, identifier != nullptr)) return 0;
    return sendWithDataSet(association, response, uid, identifier);
}

int FindResponse::isResponse(DataSet* command, AssociationService* association, DataSet* target) {
    return isResponseWithDataSet(command, CFindResponse, association, target);
}

int MoveRequest::sopClassUid(UidValue&) { return 0; }

int MoveRequest::sendRequest(AssociationService* association, DataSet* identifier, const char* destination) {
    if (association == nullptr || destination == nullptr) return 0;
    const size_t size = std::strlen(destination);
    if (size > 16) return 0;
    UidValue uid;
    if (!sopClassUid(uid)) return 0;
    // The title over a field of 16 spaces, no terminator.
    uint8_t field[16];
    std::memset(field, ' ', sizeof field);
    std::memcpy(field, destination, size);
    CommandSet command;
    if (!addRequestHead(command, uid, CMoveRequest, DataSetFollows, sentMessageId) || !addU16(command, Priority, 0) ||
        !addBytes(command, MoveDestination, field, sizeof field)) {
        return 0;
    }
    return sendWithDataSet(association, command, uid, identifier);
}

int MoveRequest::isRequest(DataSet* command, AssociationService* association, DataSet* target) {
    return isRequestWithDataSet(command, CMoveRequest, association, target);
}

int MoveResponse::sopClassUid(UidValue&) { return 0; }

int MoveResponse::sendResponse(AssociationService* association, DataSet* request, uint16_t status,
                               uint16_t remaining, uint16_t completed, uint16_t failed, uint16_t warning,
                               DataSet* dataSet) {
    if (association == nullptr || request == nullptr) return 0;
    UidValue uid;
    if (!sopClassUid(uid)) return 0;
    const uint16_t counts[4] = {remaining, completed, failed, warning};
    return sendRetrieveResponse(association, request, uid, CMoveResponse, status, counts, dataSet);
}

int MoveResponse::isResponse(DataSet* command, AssociationService* association, DataSet* target) {
    return isResponseWithDataSet(command, CMoveResponse, association, target);
}

int GetRequest::sopClassUid(UidValue&) { return 0; }

int GetRequest::sendRequest(AssociationService* association, DataSet* identifier) {
    if (association == nullptr) return 0;
    UidValue uid;
    if (!sopClassUid(uid)) return 0;
    return sendQueryRequest(association, uid, CGetRequest, identifier, sentMessageId);
}

int GetRequest::isRequest(DataSet* command, AssociationService* association, DataSet* target) {
    return isRequestWithDataSet(command, CGetRequest, association, target);
}

int GetResponse::sopClassUid(UidValue&) { return 0; }

int GetResponse::sendResponse(AssociationService* association, DataSet* request, uint16_t status,
                              uint16_t remaining, uint16_t completed, uint16_t failed, uint16_t warning,
                              DataSet* dataSet) {
    if (association == nullptr || request == nullptr) return 0;
    UidValue uid;
    if (!sopClassUid(uid)) return 0;
    const uint16_t counts[4] = {remaining, completed, failed, warning};
    return sendRetrieveResponse(association, request, uid, CGetResponse, status, counts, dataSet);
}

int GetResponse::isResponse(DataSet* command, AssociationService* association, DataSet* target) {
    return isResponseWithDataSet(command, CGetResponse, association, target);
}

int CancelRequest::sopClassUid(UidValue&) { return 0; }

int CancelRequest::sendRequest(AssociationService* association, uint16_t messageIdBeingRespondedTo) {
    if (association == nullptr) return 0;
    UidValue uid;
    if (!sopClassUid(uid)) return 0;
    CommandSet command;
    if (!addU16(command, CommandField, CCancelRequest) ||
        !addU16(command, MessageIdBeingRespondedTo, messageIdBeingRespondedTo) ||
        !addU16(command, CommandDataSetType, NoDataSet)) {
        return 0;
    }
    return association->sendCommand(command, uid);
}

int CancelRequest::isRequest(DataSet* command) {
    return command != nullptr && commandFieldOf(command) == CCancelRequest &&
           command->find(0x0000, MessageIdBeingRespondedTo) != nullptr;
}

int CancelRequest::isRequestFor(DataSet* command, uint16_t messageId) {
    return isRequest(command) && respondsTo(command, messageId);
}
