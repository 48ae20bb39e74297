#include "AssociationService.h"

#include <cstring>

namespace {

const char* const implicitLittleEndianUid = "1.2.840.10008.1.2";

}  // namespace

AssociationService::AssociationService() {
    setReadOrder(bigEndian);
    setWriteOrder(bigEndian);
    // The DICOM application context, which every request names, and titles
    // that peers accept (an empty title is not valid on the wire); the
    // caller or a derived service sets its own.
    AssociateRequestPdu::setApplicationContext(UidValue("1.2.840.10008.3.1.1.1"));
    AssociateRequestPdu::setCallingAeTitle("DICOMTK");
    AssociateRequestPdu::setCalledAeTitle("ANY-SCP");
}

AssociationService::~AssociationService() {
    if (isEstablished()) release();
    socket.closeAll();
}

int AssociationService::rawRead(uint8_t* buffer, uint32_t maximum) {
    const int got = socket.receiveBytes(buffer, maximum);
    if (got == 0 && pollingInput) return -1;
    if (got < 0) transportFailed = 1;
    return got;
}

int AssociationService::rawWrite(const uint8_t* buffer, uint32_t count) { return socket.sendBytes(buffer, count); }

int AssociationService::acceptTransferSyntax(const TransferSyntaxItem& proposed) {
    return std::strcmp(proposed.value.text(), implicitLittleEndianUid) == 0 ? 1 : 0;
}

int AssociationService::acceptCallingAeTitle(const char*) { return 1; }

int AssociationService::acceptCalledAeTitle(const char*) { return 1; }

int AssociationService::acceptApplicationContext(const ApplicationContextItem&) { return 1; }

int AssociationService::acceptPeer(const SocketAddress&, const AssociateRequestPdu&) { return 1; }

int AssociationService::acceptAbstractSyntax(const AbstractSyntaxItem&) { return 1; }

int AssociationService::acceptRequesterScpRole(const RoleSelectionItem&) { return 0; }

int AssociationService::proposeTransferSyntaxes(PresentationContextItem& proposed) {
    return proposed.appendTransferSyntax(TransferSyntaxItem(implicitLittleEndianUid));
}

int AssociationService::fillImplementationClassUid(ImplementationClassUidItem& item) {
    return item.setValue("TEVAR/gcc2.5.8/DECMIPS/ZRN");
}

int AssociationService::fillImplementationVersionName(ImplementationVersionNameItem& item) {
    return item.setValue("0.1B/WIN32");
}

int AssociationService::proposeAbstractSyntax(const UidValue& abstractSyntax) {
    for (uint32_t index = 0; index < proposedAbstractSyntaxes.count(); ++index) {
        if (proposedAbstractSyntaxes.at(index)->element.value == abstractSyntax) return 1;
    }
    return proposedAbstractSyntaxes.tryAppend(AbstractSyntaxItem(abstractSyntax));
}

int AssociationService::proposeAnotherContext(const UidValue& abstractSyntax) {
    return proposedAbstractSyntaxes.tryAppend(AbstractSyntaxItem(abstractSyntax));
}

int AssociationService::proposeRoleSelection(const UidValue& sopClass, uint8_t scuRole, uint8_t scpRole) {
    RoleSelectionItem selection;
    selection.sopClassUid = sopClass;
    selection.scuRole = scuRole;
    selection.scpRole = scpRole;
    for (uint32_t index = 0; index < proposedRoleSelections.count(); ++index) {
        RoleSelectionItem& registered = proposedRoleSelections.at(index)->element;
        if (registered.sopClassUid == sopClass) {
            registered = selection;
            return 1;
        }
    }
    return proposedRoleSelections.tryAppend(selection);
}

int AssociationService::setApplicationContext(const UidValue& name) {
    AssociateRequestPdu::setApplicationContext(name);
    return 1;
}

int AssociationService::setCallingAeTitle(const char* title) { return AssociateRequestPdu::setCallingAeTitle(title); }

int AssociationService::setCalledAeTitle(const char* title) { return AssociateRequestPdu::setCalledAeTitle(title); }
