#ifndef DICOMTOOLKIT_DIMSE_VERIFICATIONSOPCLASS_H
#define DICOMTOOLKIT_DIMSE_VERIFICATIONSOPCLASS_H

#include "CommandMessages.h"

// The Verification SOP class ("1.2.840.10008.1.1") in both roles: echo sends
// a C-ECHO request and waits for the response; handleCommand answers a
// received C-ECHO request with Success.
class VerificationSopClass : public EchoRequest, public EchoResponse {
public:
    static constexpr const char* uid = "1.2.840.10008.1.1";

    int sopClassUid(UidValue& out) override;
    // 1 when a C-ECHO response to this request came back, whatever its
    // status; a response naming another Message ID aborts the association.
    int echo(AssociationService* association);
    // 1 when the command was a C-ECHO request of this SOP class and was
    // answered (the command is then empty), or a C-ECHO response of it; 0
    // otherwise, with the command left as it was for another SOP class.
    int handleCommand(AssociationService* association, DataSet* command);
    // echo, with the status of the response in status.
    int echo(AssociationService* association, uint16_t& status);
};

#endif
