#include "VerificationSopClass.h"

int VerificationSopClass::sopClassUid(UidValue& out) { return out.assign(uid); }

int VerificationSopClass::echo(AssociationService* association) {
    uint16_t status = 0;
    return echo(association, status);
}

int VerificationSopClass::echo(AssociationService* association, uint16_t& status) {
    if (association == nullptr) return 0;
    if (!sendRequest(association)) return 0;
    return readCommandAnswer(association, sentMessageId, [this](DataSet* response) { return isResponse(response); },
                             status);
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
