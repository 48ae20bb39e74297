#include "VerificationSopClass.h"

int VerificationSopClass::sopClassUid(UidValue& out) { return out.assign(uid); }

int VerificationSopClass::echo(AssociationService* association) {
    uint16_t status = 0;
    return echo(association, status);
}

int VerificationSopClass::echo(AssociationService* association, uint16_t& status) {
    if (association == nullptr) return 0;
    if (!sendRequest(association)) return 0;
    CommandSet response;
    if (!association->readMessage(response)) return 0;
    status = response.findU16(0x0000, Status);
    if (!isResponse(&response)) return 0;
    if (!respondsTo(&response, sentMessageId)) {
        // A response to no request of ours: the peer has lost the thread.
        association->abort();
        return 0;
    }
    return 1;
}

int VerificationSopClass::handleCommand(AssociationService* association, DataSet* command) {
    UidValue own;
    sopClassUid(own);
    if (association == nullptr || command == nullptr) return 0;
    UidValue affected;
    if (!uidFromElement(affected, command->find(0x0000, AffectedSopClassUid)) || affected != own) return 0;
    if (isRequest(command)) return sendResponse(association, command);
    return isResponse(command);
}
