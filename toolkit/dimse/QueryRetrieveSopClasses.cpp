#include "QueryRetrieveSopClasses.h"

#include <cstring>
#include <memory>

namespace query_uids {
const char* const patientRootFind = "1.2.840.10008.5.1.4.1.2.1.1";
const char* const patientRootMove = "1.2.840.10008.5.1.4.1.2.1.2";
const char* const studyRootFind = "1.2.840.10008.5.1.4.1.2.2.1";
const char* const studyRootMove = "1.2.840.10008.5.1.4.1.2.2.2";
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

// Reads responses until the final one, passing each to sink. 1 with the
// final status, 0 when the association fails first.
template <typename Recognise, typename Sink>
int collectResponses(AssociationService* association, Recognise recognise, Sink sink, uint16_t& finalStatus) {
    for (;;) {
        std::unique_ptr<CommandSet> response(new CommandSet);
        if (!association->readMessage(*response)) return 0;
        std::unique_ptr<ObjectDataSet> data(new ObjectDataSet);
        if (!recognise(response.get(), data.get())) return 0;
        const uint16_t status = response->findU16(0x0000, Status);
        const bool withData = response->findU16(0x0000, CommandDataSetType) != NoDataSet;
        if (!isPendingStatus(status)) {
            sink(response.get(), nullptr);
            finalStatus = status;
            return 1;
        }
        sink(response.get(), withData ? data.get() : nullptr);
    }
}

}  // namespace

int FindSopClass::sopClassUid(UidValue&) { return 0; }

int FindSopClass::findMatches(DataSet*, IndexedList<DataSet*>&) { return 1; }

void FindSopClass::onFindResponse(DataSet*, DataSet*) {}

int FindSopClass::find(AssociationService* association, DataSet* identifier) {
    if (association == nullptr || !sendRequest(association, identifier)) return 0;
    onFindResponse(nullptr, identifier);
    return collectResponses(
        association, [&](DataSet* command, DataSet* data) { return isResponse(command, association, data); },
        [&](DataSet* command, DataSet* data) { onFindResponse(command, data); }, finalStatus);
}

int FindSopClass::handleCommand(AssociationService* association, DataSet* command) {
    UidValue own;
    sopClassUid(own);
    if (association == nullptr || command == nullptr || !isOwnSopClass(command, own)) return 0;
    ObjectDataSet identifier;
    if (!isRequest(command, association, &identifier)) return 0;
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
    const int ended = collectResponses(
        association, [&](DataSet* command, DataSet* data) { return isResponse(command, association, data); },
        [&](DataSet* command, DataSet* data) { onMoveResponse(command, data); }, finalStatus);
    return ended && finalStatus == StatusSuccess ? 1 : 0;
}

int MoveSopClass::handleCommand(AssociationService* association, DataSet* command) {
    UidValue own;
    sopClassUid(own);
    if (association == nullptr || command == nullptr || !isOwnSopClass(command, own)) return 0;
    ObjectDataSet identifier;
    if (!isRequest(command, association, &identifier)) return 0;
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
    // A match that names no SOP class cannot be sent and counts nowhere.
    for (uint32_t index = 0; index < results.count();) {
        UidValue sopClass;
        if (!uidFromElement(sopClass, results.at(index)->element->find(0x0008, 0x0016))) {
            delete results.at(index)->element;
            results.removeAt(index);
        } else {
            ++index;
        }
    }
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

    uint16_t completed = 0, failed = 0, warning = 0;
    uint32_t index = 0;
    for (; index < total; ++index) {
        DataSet* match = results.at(index)->element;
        UidValue sopClass;
        uidFromElement(sopClass, match->find(0x0008, 0x0016));
        DataSet* dataSet = nullptr;
        StorageSopClass* storage = nullptr;
        if (sub->acceptedContextFor(sopClass) == 0 || !prepareSubOperation(match, dataSet, storage) ||
            dataSet == nullptr || storage == nullptr) {
            delete dataSet;
            ++failed;
        } else {
            uint16_t status = 0xFFFF;
            const int answered = storage->store(sub.get(), dataSet, status);
            delete dataSet;
            if (!answered) {
                // The destination is gone: this and every later one failed.
                failed = static_cast<uint16_t>(failed + (total - index));
                break;
            }
            if (status == StatusSuccess) ++completed;
            else if ((status & 0xF000) == 0xB000) ++warning;
            else ++failed;
        }
        if (index + 1 < total) {
            answer(StatusPending, static_cast<uint16_t>(total - index - 1), completed, failed, warning);
        }
    }
    const uint16_t outcome = failed != 0 ? uint16_t{StatusSubOperationsFailed} : uint16_t{StatusSuccess};
    answer(outcome, 0, completed, failed, warning);
    deleteAll(results);
    return 1;
}
