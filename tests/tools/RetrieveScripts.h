#ifndef TESTS_TOOLS_RETRIEVESCRIPTS_H
#define TESTS_TOOLS_RETRIEVESCRIPTS_H

// What the scripted peers of the find, move and get tests send: responses
// of query/retrieve operations, and the A-ASSOCIATE-AC that grants a C-GET
// user the contexts and SCP roles a test wants.

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "../dimse/DimseFixtures.h"
#include "ServeSupport.h"

namespace retrieving {

using association::Bytes;
using association::operator+;
using serving::implicitLittle;
using serving::uidValue;
using serving::textElement;
using serving::u16Element;

const char* const patientRootFindUid = "1.2.840.10008.5.1.4.1.2.1.1";
const char* const patientRootMoveUid = "1.2.840.10008.5.1.4.1.2.1.2";
const char* const patientRootGetUid = "1.2.840.10008.5.1.4.1.2.1.3";
const char* const studyRootFindUid = "1.2.840.10008.5.1.4.1.2.2.1";
const char* const studyRootGetUid = "1.2.840.10008.5.1.4.1.2.2.3";

inline std::string textOf(const UidValue& uid) { return std::string(uid.text(), uid.size()); }

// A value without the padding of its even length.
inline std::string unpadded(std::string text) {
    while (!text.empty() && (text.back() == '\0' || text.back() == ' ')) text.pop_back();
    return text;
}

// One message on contextId in a P-DATA-TF of its own.
inline Bytes commandPdu(uint8_t contextId, const Bytes& command) { return association::dataBytes({{contextId, 0x03, command}}); }
inline Bytes dataSetPdu(uint8_t contextId, const Bytes& dataSet) { return association::dataBytes({{contextId, 0x02, dataSet}}); }

// A response of a query/retrieve operation: its counts are left out where
// given as -1.
inline Bytes retrieveResponse(const char* sopClass, uint16_t field, uint16_t messageId, uint16_t status, bool withData,
                       int remaining = -1, int completed = -1) {
    std::vector<DataElement*> elements = {textElement(0x0000, AffectedSopClassUid, uidValue(sopClass)),
                                          u16Element(0x0000, CommandField, field),
                                          u16Element(0x0000, MessageIdBeingRespondedTo, messageId),
                                          u16Element(0x0000, CommandDataSetType, withData ? DataSetFollows : NoDataSet),
                                          u16Element(0x0000, Status, status)};
    if (remaining >= 0) elements.push_back(u16Element(0x0000, RemainingSubOperations, uint16_t(remaining)));
    if (completed >= 0) {
        elements.push_back(u16Element(0x0000, CompletedSubOperations, uint16_t(completed)));
        elements.push_back(u16Element(0x0000, FailedSubOperations, 0));
        elements.push_back(u16Element(0x0000, WarningSubOperations, 0));
    }
    return dimse::implicitBytes(elements);
}

// The A-ASSOCIATE-AC for request: the contexts of the models accepted in
// implicit VR little endian, for each wanted (SOP class, transfer syntax)
// the first context that offers it accepted in it, the SCP role granted for
// each wanted SOP class, every other context refused. contextOf tells which
// context took each wanted SOP class.
inline Bytes acceptFor(AssociateRequestPdu& request, const std::set<std::string>& models,
                const std::vector<std::pair<std::string, std::string>>& wanted, std::map<std::string, uint8_t>& contextOf) {
    AssociateAcceptPdu accept("ANY-SCP", "DICOMTK");
    accept.setApplicationContext(UidValue("1.2.840.10008.3.1.1.1"));
    UserInformationItem information = association::userInformation(16384);
    std::set<std::pair<std::string, std::string>> open(wanted.begin(), wanted.end());
    for (uint32_t index = 0; index < request.presentationContexts.count(); ++index) {
        PresentationContextItem& proposed = request.presentationContexts.at(index)->element;
        const std::string abstractSyntax = textOf(proposed.abstractSyntax.value);
        std::string chosen;
        for (uint32_t syntax = 0; syntax < proposed.transferSyntaxCount() && chosen.empty(); ++syntax) {
            const std::string offered = textOf(proposed.transferSyntaxAt(syntax)->value);
            if (models.count(abstractSyntax) != 0 && offered == implicitLittle) chosen = offered;
            if (open.erase({abstractSyntax, offered}) != 0) {
                chosen = offered;
                contextOf[abstractSyntax] = proposed.contextId;
            }
        }
        PresentationContextResultItem result(TransferSyntaxItem(chosen.empty() ? implicitLittle : chosen.c_str()));
        result.contextId = proposed.contextId;
        result.resultReason = chosen.empty() ? ContextAbstractSyntaxNotSupported : ContextAccepted;
        accept.appendPresentationContext(result);
    }
    for (const auto& pair : wanted) {
        RoleSelectionItem role;
        role.sopClassUid.assign(pair.first.c_str());
        role.scuRole = 0;
        role.scpRole = 1;
        information.appendRoleSelection(role);
    }
    accept.setUserInformation(information);
    return association::encode(accept);
}

}  // namespace retrieving

#endif
