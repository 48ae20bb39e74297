#include "QueryRetrieveSopClasses.h"

#include <cstring>
#include <memory>
#include <new>

namespace query_uids {
const char* const patientRootFind = "1.2.840.10008.5.1.4.1.2.1.1";
const char* const patientRootMove = "1.2.840.10008.5.1.4.1.2.1.2";
const char* const patientRootGet = "1.2.840.10008.5.1.4.1.2.1.3";
const char* const studyRootFind = "1.2.840.10008.5.1.4.1.2.2.1";
const char* const studyRootMove = "1.2.840.10008.5.1.4.1.2.2.2";
const char* const studyRootGet = "1.2.840.10008.5.1.4.1.2.2.3";
const char* const patientStudyOnlyFind = "1.2.840.10008.5.1.4.1.2.3.1";
const char* const patientStudyOnlyMove = "1.2.840.10008.5.1.4.1.2.3.2";
}  // namespace query_uids

namespace {

// Whether the command's Affected SOP Class UID is own (an absent element
// counts as an empty UID).
bool isOwnSopClass(DataSet* command, const UidValue& own) {
    UidValue affected;
    uidFromElement(affected, command->find(0x0000, AffectedSopClassUid));
    return affected == own;
}

void deleteAll(IndexedList<DataSet*>& results) {
    while (results.count() != 0) {
        delete results.at(0)->element;
        results.removeAt(0);
    }
}

// Drops the matches that name no SOP class: they cannot be sent and count
// nowhere.
void dropMatchesWithoutSopClass(IndexedList<DataSet*>& results) {
    for (uint32_t index = 0; index < results.count();) {
        UidValue sopClass;
        if (!uidFromElement(sopClass, results.at(index)->element->find(0x0008, 0x0016))) {
            delete results.at(index)->element;
            results.removeAt(index);
        } else {
            ++index;
        }
    }
}

// Reads responses to the request of messageId until the final one, passing
// each to sink; before each read, sends the C-CANCEL-RQ once the user asked.
// 1 with the final status, 0 when the association fails first or a message
// answers no request of ours (the association is then aborted).
template <typename Recognise, typename Sink, typename Cancel>
int collectResponses(AssociationService* association, uint16_t messageId, Recognise recognise, Sink sink,
                     Cancel cancel, bool finalWithData, uint16_t& finalStatus) {
    for (;;) {
        if (!cancel()) return 0;
        std::unique_ptr<CommandSet> response(new CommandSet);
        if (!association->readMessage(*response)) return 0;
        std::unique_ptr<ObjectDataSet> data(new ObjectDataSet);
        if (!recognise(response.get(), data.get()) || !respondsTo(response.get(), messageId)) {
            association->abort();
            return 0;
        }
        const uint16_t status = response->findU16(0x0000, Status);
        const bool withData = response->findU16(0x0000, CommandDataSetType) != NoDataSet;
        if (!isPendingStatus(status)) {
            sink(response.get(), withData && finalWithData ? data.get() : nullptr);
            finalStatus = status;
            return 1;
        }
        sink(response.get(), withData ? data.get() : nullptr);
    }
}

// Looks, without waiting, for a C-CANCEL-RQ of the operation messageId: 1
// when one came, 0 when nothing did (a C-CANCEL-RQ of another operation is
// passed over), -1 when the association failed or the peer sent another
// request while this one runs (then aborted).
int cancelArrived(AssociationService* association, uint16_t messageId) {
    CancelRequest cancel;
    while (association->messageWaiting()) {
        CommandSet command;
        if (!association->readMessage(command)) return -1;
        if (cancel.isRequestFor(&command, messageId)) return 1;
        if (!cancel.isRequest(&command)) {
            association->abort();
            return -1;
        }
    }
    return association->isEstablished() ? 0 : -1;
}

// The calling AE title of the association's request without its padding.
void requesterTitle(AssociationService* association, char (&title)[17]) {
    std::memcpy(title, association->AssociateRequestPdu::callingAeTitle, 16);
    title[16] = '\0';
    for (int index = 15; index >= 0 && (title[index] == ' ' || title[index] == '\0'); --index) title[index] = '\0';
}

// The sub-operations of one C-MOVE or C-GET: counts by outcome, the SOP
// Instance UIDs of the failed ones, and the final status they make.
class SubOperations {
public:
    explicit SubOperations(uint32_t total) : total_(total) {}

    void count(uint16_t status, DataSet* match) {
        if (status == StatusSuccess) ++completed;
        else if ((status & 0xF000) == 0xB000) ++warning;
        else fail(match);
    }
    void fail(DataSet* match) {
        ++failed;
        UidValue instance;
        if (uidFromElement(instance, match->find(0x0008, 0x0018))) failedUids_.tryAppend(instance);
    }
    uint16_t remainingAfter(uint32_t index) const { return static_cast<uint16_t>(total_ - index - 1); }
    uint16_t finalStatus() const {
        if (failed == 0 && warning == 0) return StatusSuccess;
        if (completed == 0 && warning == 0) return StatusSubOperationsAllFailed;
        return StatusSubOperationsFailed;
    }
    // The identifier of a final response: the Failed SOP Instance UID List,
    // or null when nothing failed (or memory ran out).
    ObjectDataSet* failedList() {
        if (failedUids_.count() == 0) return nullptr;
        uint32_t length = 0;
        for (uint32_t index = 0; index < failedUids_.count(); ++index) {
            length += failedUids_.at(index)->element.size() + 1;
        }
        length -= 1;
        const uint32_t padded = length + (length % 2);
        std::unique_ptr<ObjectDataSet> list(new (std::nothrow) ObjectDataSet);
        auto* element = new (std::nothrow) DataElement(0x0008, 0x0058, padded, 1);
        if (!list || element == nullptr || (padded != 0 && element->value == nullptr)) {
            delete element;
            return nullptr;
        }
        element->vr = vrCode('U', 'I');
        uint8_t* cursor = element->value;
        for (uint32_t index = 0; index < failedUids_.count(); ++index) {
            const UidValue& uid = failedUids_.at(index)->element;
            if (index != 0) *cursor++ = '\\';
            std::memcpy(cursor, uid.text(), uid.size());
            cursor += uid.size();
        }
        if (padded != length) *cursor = '\0';
        if (list->addElement(element) == 0) {
            delete element;
            return nullptr;
        }
        return list.release();
    }

    uint16_t completed = 0, failed = 0, warning = 0;

private:
    uint32_t total_;
    IndexedValueList<UidValue> failedUids_;
};

}  // namespace

int CancellableUser::cancelWhenAsked(AssociationService* association, const UidValue& sopClass, uint16_t messageId) {
    if (cancelRequested == 0 || cancelSent != 0) return 1;
    class OnContext : public CancelRequest {
    public:
        explicit OnContext(const UidValue& uid) : uid_(uid) {}
        int sopClassUid(UidValue& out) override {
            out = uid_;
            return 1;
        }

    private:
        UidValue uid_;
    } request(sopClass);
    cancelSent = 1;
    return request.sendRequest(association, messageId);
}

int FindSopClass::sopClassUid(UidValue&) { return 0; }

int FindSopClass::findMatches(DataSet*, IndexedList<DataSet*>&) { return 1; }

void FindSopClass::onFindResponse(DataSet*, DataSet*) {}

int FindSopClass::find(AssociationService* association, DataSet* identifier) {
    if (association == nullptr || !sendRequest(association, identifier)) return 0;
    onFindResponse(nullptr, identifier);
    UidValue own;
    sopClassUid(own);
    cancelSent = 0;
    return collectResponses(
        association, sentMessageId,
        [&](DataSet* command, DataSet* data) { return isResponse(command, association, data); },
        [&](DataSet* command, DataSet* data) { onFindResponse(command, data); },
        [&] { return cancelWhenAsked(association, own, sentMessageId); }, false, finalStatus);
}

int FindSopClass::handleCommand(AssociationService* association, DataSet* command) {
    UidValue own;
    sopClassUid(own);
    if (association == nullptr || command == nullptr || !isOwnSopClass(command, own)) return 0;
    ObjectDataSet identifier;
    if (!isRequest(command, association, &identifier)) return 0;
    const uint16_t messageId = command->findU16(0x0000, MessageId);
    IndexedList<DataSet*> results;
    if (!findMatches(&identifier, results)) {
        deleteAll(results);
        sendResponse(association, command, StatusUnableToProcess, nullptr);
        return 1;
    }
    while (results.count() != 0) {
        DataSet* match = results.at(0)->element;
        results.removeAt(0);
        sendResponse(association, command, StatusPending, match);
        delete match;
        const int cancelled = cancelArrived(association, messageId);
        if (cancelled != 0) {
            deleteAll(results);
            if (cancelled > 0) sendResponse(association, command, StatusCancel, nullptr);
            return 1;
        }
    }
    sendResponse(association, command, StatusSuccess, nullptr);
    return 1;
}

int MoveSopClass::sopClassUid(UidValue&) { return 0; }

int MoveSopClass::findMatches(DataSet*, IndexedList<DataSet*>&) { return 1; }

int MoveSopClass::prepareSubOperation(DataSet*, DataSet*&, StorageSopClass*&) { return 0; }

int MoveSopClass::resolveMoveDestination(const char*, char*, char*, char*) { return 0; }

void MoveSopClass::onMoveResponse(DataSet*, DataSet*) {}

AssociationService* MoveSopClass::makeSubAssociation() { return new AssociationService; }

int MoveSopClass::move(AssociationService* association, DataSet* identifier, const char* destination) {
    if (association == nullptr || !sendRequest(association, identifier, destination)) return 0;
    onMoveResponse(nullptr, identifier);
    finalStatus = 0xFFFF;
    UidValue own;
    sopClassUid(own);
    cancelSent = 0;
    const int ended = collectResponses(
        association, sentMessageId,
        [&](DataSet* command, DataSet* data) { return isResponse(command, association, data); },
        [&](DataSet* command, DataSet* data) { onMoveResponse(command, data); },
        [&] { return cancelWhenAsked(association, own, sentMessageId); }, true, finalStatus);
    return ended && finalStatus == StatusSuccess ? 1 : 0;
}

int MoveSopClass::handleCommand(AssociationService* association, DataSet* command) {
    UidValue own;
    sopClassUid(own);
    if (association == nullptr || command == nullptr || !isOwnSopClass(command, own)) return 0;
    ObjectDataSet identifier;
    if (!isRequest(command, association, &identifier)) return 0;
    const uint16_t messageId = command->findU16(0x0000, MessageId);
    auto answer = [&](uint16_t status, uint16_t remaining, uint16_t completed, uint16_t failed, uint16_t warning) {
        sendResponse(association, command, status, remaining, completed, failed, warning, nullptr);
    };

    const DataElement* destinationElement = command->find(0x0000, MoveDestination);
    if (destinationElement == nullptr) {
        answer(StatusUnableToProcess, 0, 0, 0, 0);
        return 1;
    }
    // An AE title has at most 16 characters: more than 16 before the padding
    // is no title, and no destination (rather than the first 16 of it).
    if (destinationElement->value != nullptr) {
        for (uint32_t index = 16; index < destinationElement->length; ++index) {
            const uint8_t byte = destinationElement->value[index];
            if (byte != ' ' && byte != '\0') {
                answer(StatusMoveDestinationUnknown, 0, 0, 0, 0);
                return 1;
            }
        }
    }
    // The title without the spaces (or zero bytes) that pad it.
    char destination[17] = {};
    const uint32_t taken = destinationElement->value == nullptr ? 0
                           : destinationElement->length < 16 ? destinationElement->length
                                                             : 16;
    if (taken != 0) std::memcpy(destination, destinationElement->value, taken);
    for (int index = static_cast<int>(taken) - 1; index >= 0 && (destination[index] == ' ' || destination[index] == '\0');
         --index) {
        destination[index] = '\0';
    }
    if (destination[0] == '\0') {
        answer(StatusNoMoveDestination, 0, 0, 0, 0);
        return 1;
    }
    char callingAeTitle[20] = {}, host[64] = {}, port[64] = {};
    if (!resolveMoveDestination(destination, callingAeTitle, host, port)) {
        answer(StatusMoveDestinationUnknown, 0, 0, 0, 0);
        return 1;
    }
    callingAeTitle[sizeof callingAeTitle - 1] = host[sizeof host - 1] = port[sizeof port - 1] = '\0';
    IndexedList<DataSet*> results;
    if (!findMatches(&identifier, results)) {
        deleteAll(results);
        answer(StatusMatchingFailed, 0, 0, 0, 0);
        return 1;
    }
    dropMatchesWithoutSopClass(results);
    const uint32_t total = results.count();
    if (total == 0) {
        answer(StatusSuccess, 0, 0, 0, 0);
        return 1;
    }

    std::unique_ptr<AssociationService> sub(makeSubAssociation());
    if (!sub) {
        deleteAll(results);
        answer(StatusDestinationUnreachable, 0, 0, 0, 0);
        return 1;
    }
    sub->setApplicationContext(UidValue("1.2.840.10008.3.1.1.1"));
    sub->setCallingAeTitle(callingAeTitle);
    sub->setCalledAeTitle(destination);
    for (uint32_t index = 0; index < total; ++index) {
        UidValue sopClass;
        uidFromElement(sopClass, results.at(index)->element->find(0x0008, 0x0016));
        sub->proposeAbstractSyntax(sopClass);
    }
    if (!sub->requestAssociation(host, port)) {
        deleteAll(results);
        answer(StatusDestinationUnreachable, 0, 0, 0, 0);
        return 1;
    }

    char originator[17];
    requesterTitle(association, originator);
    SubOperations done(total);
    for (uint32_t index = 0; index < total; ++index) {
        DataSet* match = results.at(index)->element;
        UidValue sopClass;
        uidFromElement(sopClass, match->find(0x0008, 0x0016));
        DataSet* dataSet = nullptr;
        StorageSopClass* storage = nullptr;
        if (sub->acceptedContextFor(sopClass) == 0 || !prepareSubOperation(match, dataSet, storage) ||
            dataSet == nullptr || storage == nullptr) {
            delete dataSet;
            done.fail(match);
        } else {
            uint16_t status = 0xFFFF;
            const int answered = storage->store(sub.get(), dataSet, status, originator, messageId);
            delete dataSet;
            if (!answered) {
                // The destination is gone: this and every later one failed.
                for (uint32_t rest = index; rest < total; ++rest) done.fail(results.at(rest)->element);
                break;
            }
            done.count(status, match);
        }
        if (index + 1 < total) {
            const int cancelled = cancelArrived(association, messageId);
            if (cancelled < 0) {
                deleteAll(results);
                return 1;
            }
            if (cancelled > 0) {
                std::unique_ptr<ObjectDataSet> list(done.failedList());
                sendResponse(association, command, StatusCancel, done.remainingAfter(index), done.completed,
                             done.failed, done.warning, list.get());
                deleteAll(results);
                return 1;
            }
            answer(StatusPending, done.remainingAfter(index), done.completed, done.failed, done.warning);
        }
    }
    std::unique_ptr<ObjectDataSet> list(done.failedList());
    sendResponse(association, command, done.finalStatus(), 0, done.completed, done.failed, done.warning, list.get());
    deleteAll(results);
    return 1;
}

int GetSopClass::sopClassUid(UidValue&) { return 0; }

int GetSopClass::findMatches(DataSet*, IndexedList<DataSet*>&) { return 1; }

int GetSopClass::prepareSubOperation(DataSet*, DataSet*&, StorageSopClass*&) { return 0; }

uint16_t GetSopClass::storeRetrievedDataSet(DataSet*, DataSet*) { return StatusSuccess; }

void GetSopClass::onGetResponse(DataSet*, DataSet*) {}

int GetSopClass::get(AssociationService* association, DataSet* identifier) {
    finalStatus = 0xFFFF;
    if (association == nullptr || !sendRequest(association, identifier)) return 0;
    onGetResponse(nullptr, identifier);
    UidValue own;
    sopClassUid(own);
    cancelSent = 0;
    for (;;) {
        if (!cancelWhenAsked(association, own, sentMessageId)) return 0;
        std::unique_ptr<CommandSet> command(new CommandSet);
        if (!association->readMessage(*command)) return 0;
        std::unique_ptr<ObjectDataSet> data(new ObjectDataSet);
        StoreResponse storeAnswer;
        if (storeAnswer.isResponse(command.get())) {
            association->abort();
            return 0;
        }
        if (command->findU16(0x0000, CommandField) == CStoreRequest) {
            StoreRequest storeRequest;
            if (!storeRequest.isRequest(command.get(), association, data.get())) {
                association->abort();
                return 0;
            }
            UidValue sopClass;
            uidFromElement(sopClass, command->find(0x0000, AffectedSopClassUid));
            uint16_t status = StatusSopClassNotSupported;
            if (association->requesterIsScpFor(sopClass)) status = storeRetrievedDataSet(command.get(), data.get());
            ++received;
            if (status != StatusSuccess) ++refused;
            if (!storeAnswer.sendResponse(association, command.get(), status)) return 0;
            continue;
        }
        if (!isResponse(command.get(), association, data.get()) || !respondsTo(command.get(), sentMessageId)) {
            association->abort();
            return 0;
        }
        const uint16_t status = command->findU16(0x0000, Status);
        const bool withData = command->findU16(0x0000, CommandDataSetType) != NoDataSet;
        onGetResponse(command.get(), withData ? data.get() : nullptr);
        if (!isPendingStatus(status)) {
            finalStatus = status;
            return status == StatusSuccess ? 1 : 0;
        }
    }
}

int GetSopClass::handleCommand(AssociationService* association, DataSet* command) {
    UidValue own;
    sopClassUid(own);
    if (association == nullptr || command == nullptr || !isOwnSopClass(command, own)) return 0;
    ObjectDataSet identifier;
    if (!isRequest(command, association, &identifier)) return 0;
    const uint16_t messageId = command->findU16(0x0000, MessageId);
    IndexedList<DataSet*> results;
    if (!findMatches(&identifier, results)) {
        deleteAll(results);
        sendResponse(association, command, StatusMatchingFailed, 0, 0, 0, 0, nullptr);
        return 1;
    }
    dropMatchesWithoutSopClass(results);
    const uint32_t total = results.count();
    SubOperations done(total);
    bool cancelled = false;
    for (uint32_t index = 0; index < total; ++index) {
        DataSet* match = results.at(index)->element;
        UidValue sopClass;
        uidFromElement(sopClass, match->find(0x0008, 0x0016));
        DataSet* dataSet = nullptr;
        StorageSopClass* storage = nullptr;
        // Only where the requester took the SCP role may this side send it
        // a C-STORE request.
        if (association->acceptedContextFor(sopClass) == 0 || !association->requesterIsScpFor(sopClass) ||
            !prepareSubOperation(match, dataSet, storage) || dataSet == nullptr || storage == nullptr) {
            delete dataSet;
            done.fail(match);
        } else {
            const int sent = storage->sendRequest(association, dataSet);
            delete dataSet;
            if (!sent) {
                if (!association->isEstablished()) {
                    deleteAll(results);
                    return 1;
                }
                done.fail(match);
            } else {
                // The C-STORE response, with perhaps a C-CANCEL before it.
                for (;;) {
                    CommandSet response;
                    if (!association->readMessage(response)) {
                        deleteAll(results);
                        return 1;
                    }
                    CancelRequest cancel;
                    if (cancel.isRequest(&response)) {
                        if (cancel.isRequestFor(&response, messageId)) cancelled = true;
                        continue;
                    }
                    if (!storage->isResponse(&response) || !respondsTo(&response, storage->sentMessageId)) {
                        association->abort();
                        deleteAll(results);
                        return 1;
                    }
                    done.count(response.findU16(0x0000, Status), match);
                    break;
                }
            }
        }
        if (index + 1 < total) {
            if (!cancelled) {
                const int arrived = cancelArrived(association, messageId);
                if (arrived < 0) {
                    deleteAll(results);
                    return 1;
                }
                cancelled = arrived > 0;
            }
            if (cancelled) {
                std::unique_ptr<ObjectDataSet> list(done.failedList());
                sendResponse(association, command, StatusCancel, done.remainingAfter(index), done.completed,
                             done.failed, done.warning, list.get());
                deleteAll(results);
                return 1;
            }
            sendResponse(association, command, StatusPending, done.remainingAfter(index), done.completed, done.failed,
                         done.warning, nullptr);
        }
    }
    std::unique_ptr<ObjectDataSet> list(done.failedList());
    sendResponse(association, command, done.finalStatus(), 0, done.completed, done.failed, done.warning, list.get());
    deleteAll(results);
    return 1;
}
