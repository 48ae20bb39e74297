// Requesting, accepting, negotiating and releasing associations.

#include <chrono>

#include "AssociationService.h"

namespace {

// A-ASSOCIATE-RJ reasons sent when an acceptance hook refuses (result 1
// rejected-permanent, source 1 service-user).
constexpr uint8_t rejectedPermanent = 1;
constexpr uint8_t serviceUser = 1;
constexpr uint8_t callingAeTitleNotRecognised = 3;
constexpr uint8_t calledAeTitleNotRecognised = 7;
constexpr uint8_t applicationContextNotSupported = 2;

// Replaces the socket's receive time-out while negotiating and restores it.
class ReceiveTimeout {
public:
    ReceiveTimeout(SocketStream& socket, int32_t seconds) : socket_(socket), usual_(socket.timeoutSeconds) {
        socket.timeoutSeconds = seconds;
    }
    ~ReceiveTimeout() { socket_.timeoutSeconds = usual_; }
    ReceiveTimeout(const ReceiveTimeout&) = delete;
    ReceiveTimeout& operator=(const ReceiveTimeout&) = delete;

private:
    SocketStream& socket_;
    int32_t usual_;
};

}  // namespace

// A new connection starts with nothing received, nothing pending and nothing
// failed.
void AssociationService::startConnection() {
    PDataPdu::resetReceiveState();
    pdvBuffer.discardOutput();
    discardInput();
    discardOutput();
    transportFailed = 0;
    PDataPdu::messageTooLong = 0;
    refusal = Refusal::none;
    socket.sendFailed = 0;
    outputLost = 0;
    established = 0;
    PDataPdu::maximumReceiveLength = announcedMaximumLength;
    PDataPdu::maximumSendLength = 0;
}

void AssociationService::closeConnection() {
    socket.closeAll();
    established = 0;
    PDataPdu::resetReceiveState();
    discardInput();
}

void AssociationService::abortAssociation() {
    // On a connection that already failed there is nobody to tell.
    if (!transportFailed && socket.connected) AbortPdu::write(this);
    closeConnection();
}

int AssociationService::requestAssociation(const char* hostText, const char* portText) {
    PDataPdu::resetReceiveState();
    if (proposedAbstractSyntaxes.count() == 0) return 0;
    if (socket.connected) closeConnection();

    AssociateRequestPdu::emptyPresentationContexts();
    for (uint32_t index = 0; index < proposedAbstractSyntaxes.count(); ++index) {
        // The hook sees the abstract syntax, so that it can propose by SOP class.
        PresentationContextItem context;
        context.setAbstractSyntax(proposedAbstractSyntaxes.at(index)->element);
        if (!proposeTransferSyntaxes(context)) continue;
        AssociateRequestPdu::appendPresentationContext(context);
    }
    UserInformationItem information;
    information.setMaximumLength(MaximumLengthItem(announcedMaximumLength));
    fillImplementationClassUid(information.implementationClassUid);
    fillImplementationVersionName(information.implementationVersionName);
    for (uint32_t index = 0; index < proposedRoleSelections.count(); ++index) {
        information.appendRoleSelection(proposedRoleSelections.at(index)->element);
    }
    AssociateRequestPdu::setUserInformation(information);

    requestFailure = RequestFailure::cannotConnect;
    connectError = 0;
    if (!socket.connectTo(hostText, portText)) {
        connectError = socket.lastSocketError();
        return 0;
    }
    startConnection();
    AssociateRequestPdu::write(this);

    ReceiveTimeout answerTimeout(socket, requestTimeoutSeconds);
    const auto start = std::chrono::steady_clock::now();
    uint8_t type = 0;
    if (socket.sendFailed || !readBytes(&type, 1)) {
        const auto waited = std::chrono::steady_clock::now() - start;
        requestFailure = waited >= std::chrono::seconds(requestTimeoutSeconds) ? RequestFailure::noAnswer
                                                                                : RequestFailure::closed;
        closeConnection();
        return 0;
    }
    requestFailure = RequestFailure::malformedAnswer;
    if (type == AssociateAcceptPdu::type) {
        AssociateAcceptPdu::emptyPresentationContexts();
        if (!AssociateAcceptPdu::readBody(this)) {
            abortAssociation();
            return 0;
        }
        // Only answers to contexts this side proposed count.
        while (acceptedContexts.count() != 0) acceptedContexts.removeAt(0);
        for (uint32_t index = 0; index < AssociateAcceptPdu::presentationContexts.count(); ++index) {
            const PresentationContextResultItem& result = AssociateAcceptPdu::presentationContexts.at(index)->element;
            UidValue proposed;
            if (result.resultReason == ContextAccepted && abstractSyntaxOfContext(result.contextId, proposed)) {
                acceptedContexts.tryAppend(result);
            }
        }
        if (acceptedContexts.count() == 0) {
            requestFailure = RequestFailure::noContext;
            closeConnection();
            return 0;
        }
        PDataPdu::maximumSendLength = AssociateAcceptPdu::userInformation.maximumLengthValue();
        established = 1;
        requestFailure = RequestFailure::none;
        return 1;
    }
    if (type == AssociateRejectPdu::type && AssociateRejectPdu::readBody(this)) requestFailure = RequestFailure::rejected;
    if (type == AbortPdu::type) requestFailure = RequestFailure::aborted;
    closeConnection();
    return 0;
}

// Reads the first PDU of a new connection, which must be an A-ASSOCIATE-RQ,
// into the request; it must arrive within requestTimeoutSeconds.
int AssociationService::readRequest() {
    AssociateRequestPdu::emptyPresentationContexts();
    ReceiveTimeout requestTimeout(socket, requestTimeoutSeconds);
    const auto start = std::chrono::steady_clock::now();
    uint8_t type = 0;
    if (!readBytes(&type, 1)) {
        // Nothing came: the time-out ran out, or the peer closed first.
        const auto waited = std::chrono::steady_clock::now() - start;
        refusal = waited >= std::chrono::seconds(requestTimeoutSeconds) ? Refusal::silent : Refusal::closed;
        return 0;
    }
    refusal = Refusal::malformed;
    if (type != AssociateRequestPdu::type) return 0;
    AssociateRequestPdu::pduType = type;
    if (!AssociateRequestPdu::readBody(this)) return 0;
    refusal = Refusal::none;
    return 1;
}

int AssociationService::negotiate() {
    AssociateRejectPdu& reject = *this;
    reject.result = rejectedPermanent;
    reject.source = serviceUser;
    if (!acceptCallingAeTitle(AssociateRequestPdu::callingAeTitle)) {
        reject.reason = callingAeTitleNotRecognised;
        refusal = Refusal::callingAeTitle;
        AssociateRejectPdu::write(this);
        return 0;
    }
    if (!acceptCalledAeTitle(AssociateRequestPdu::calledAeTitle)) {
        reject.reason = calledAeTitleNotRecognised;
        refusal = Refusal::calledAeTitle;
        AssociateRejectPdu::write(this);
        return 0;
    }
    if (!acceptApplicationContext(AssociateRequestPdu::applicationContext)) {
        reject.reason = applicationContextNotSupported;
        refusal = Refusal::applicationContext;
        AssociateRejectPdu::write(this);
        return 0;
    }

    AssociateAcceptPdu::setCalledAeTitle(AssociateRequestPdu::calledAeTitle);
    AssociateAcceptPdu::setCallingAeTitle(AssociateRequestPdu::callingAeTitle);
    AssociateAcceptPdu::setApplicationContext(AssociateRequestPdu::applicationContext.value);
    // Every role selection proposed is answered: the SCU role as proposed,
    // the SCP role where the policy lets the requester take it.
    UserInformationItem roleAnswers;
    auto& proposedRoles = AssociateRequestPdu::userInformation.roleSelections;
    for (uint32_t index = 0; index < proposedRoles.count(); ++index) {
        RoleSelectionItem answer = proposedRoles.at(index)->element;
        answer.scpRole = answer.scpRole != 0 && acceptRequesterScpRole(answer) ? 1 : 0;
        answer.scuRole = answer.scuRole != 0 ? 1 : 0;
        roleAnswers.appendRoleSelection(answer);
    }
    AssociateAcceptPdu::setUserInformation(AssociateRequestPdu::userInformation);
    while (AssociateAcceptPdu::userInformation.roleSelections.count() != 0) {
        AssociateAcceptPdu::userInformation.roleSelections.removeAt(0);
    }
    for (uint32_t index = 0; index < roleAnswers.roleSelections.count(); ++index) {
        AssociateAcceptPdu::userInformation.appendRoleSelection(roleAnswers.roleSelections.at(index)->element);
    }
    AssociateAcceptPdu::emptyPresentationContexts();
    while (acceptedContexts.count() != 0) acceptedContexts.removeAt(0);

    for (uint32_t index = 0; index < AssociateRequestPdu::presentationContexts.count(); ++index) {
        PresentationContextItem& proposed = AssociateRequestPdu::presentationContexts.at(index)->element;
        PresentationContextResultItem result;
        result.contextId = proposed.contextId;
        result.resultReason = ContextNoReason;
        // A context that is not accepted names the first proposed transfer
        // syntax; the peer ignores it, but some peers expect the sub-item.
        if (proposed.transferSyntaxCount() != 0) result.transferSyntax = *proposed.transferSyntaxAt(0);
        for (uint32_t choice = 0; choice < proposed.transferSyntaxCount(); ++choice) {
            if (acceptTransferSyntax(*proposed.transferSyntaxAt(choice))) {
                result.transferSyntax = *proposed.transferSyntaxAt(choice);
                result.resultReason = ContextAccepted;
                acceptedContexts.tryAppend(result);
                break;
            }
        }
        if (!acceptAbstractSyntax(proposed.abstractSyntax)) result.resultReason = ContextAbstractSyntaxNotSupported;
        result.transferSyntax.itemType = TransferSyntaxItem::type;
        AssociateAcceptPdu::appendPresentationContext(result);
    }

    if (acceptedContexts.count() == 0) {
        // The answer still echoes the request's user information (write
        // counts only the sub-items it sends).
        AssociateAcceptPdu::write(this);
        refusal = Refusal::noContext;
        return 0;
    }
    UserInformationItem information;
    information.setMaximumLength(MaximumLengthItem(announcedMaximumLength));
    fillImplementationClassUid(information.implementationClassUid);
    fillImplementationVersionName(information.implementationVersionName);
    for (uint32_t index = 0; index < roleAnswers.roleSelections.count(); ++index) {
        information.appendRoleSelection(roleAnswers.roleSelections.at(index)->element);
    }
    AssociateAcceptPdu::setUserInformation(information);
    AssociateAcceptPdu::write(this);
    if (socket.sendFailed) {
        refusal = Refusal::closed;
        return 0;
    }
    PDataPdu::maximumSendLength = AssociateRequestPdu::userInformation.maximumLengthValue();
    established = 1;
    return 1;
}

int AssociationService::acceptAssociation(const char* portText) {
    PDataPdu::resetReceiveState();
    if (socket.connected) closeConnection();
    if (!socket.listenOn(portText) || !socket.acceptOne()) return 0;
    if (serveAccepted()) return 1;
    closeConnection();
    return 0;
}

SocketHandle AssociationService::serveAssociations(const char* portText) {
    PDataPdu::resetReceiveState();
    if (socket.connected) closeConnection();
    if (!socket.listenOn(portText)) return -1;
    const SocketHandle listening = socket.listenSocket;
    socket.listenSocket = 0;
    socket.listening = 0;
    return serveOnListener(listening);
}

SocketHandle AssociationService::serveOnListener(SocketHandle listening) {
    if (socket.connected) closeConnection();
    for (;;) {
        socket.listenSocket = listening;
        socket.listening = 1;
        const int accepted = socket.acceptOne();
        // The listening socket is the caller's while a connection negotiates:
        // whatever ends this connection leaves it open for the next one.
        socket.listenSocket = 0;
        socket.listening = 0;
        if (!accepted) return 0;
        if (serveAccepted()) return listening;
        closeConnection();
    }
}

int AssociationService::serveConnection(SocketHandle connection) {
    if (socket.connected) closeConnection();
    socket.dataSocket = connection;
    socket.connected = 1;
    socket.setNoDelay();
    if (serveAccepted()) return 1;
    closeConnection();
    return 0;
}

// Negotiates on the connection just accepted or adopted: 1 established; 0
// not, with the peer told why (A-ASSOCIATE-RJ or -AC from negotiate, A-ABORT
// for a first PDU that is no readable A-ASSOCIATE-RQ) unless the connection
// failed. The caller closes the connection on 0.
int AssociationService::serveAccepted() {
    startConnection();
    if (!readRequest()) {
        abortAssociation();
        return 0;
    }
    return negotiate();
}

namespace {

// The roles of the requester for sopClass: the default pair unless the
// request proposed a role selection for it and the answer answered it.
void negotiatedRoles(UserInformationItem& request, UserInformationItem& answer, const UidValue& sopClass, int& scu,
                     int& scp) {
    scu = 1;
    scp = 0;
    const RoleSelectionItem* proposed = request.roleSelectionFor(sopClass);
    const RoleSelectionItem* answered = answer.roleSelectionFor(sopClass);
    if (proposed == nullptr || answered == nullptr) return;
    scu = proposed->scuRole != 0 && answered->scuRole != 0 ? 1 : 0;
    scp = proposed->scpRole != 0 && answered->scpRole != 0 ? 1 : 0;
}

}  // namespace

int AssociationService::requesterIsScuFor(const UidValue& sopClass) {
    int scu = 0, scp = 0;
    negotiatedRoles(AssociateRequestPdu::userInformation, AssociateAcceptPdu::userInformation, sopClass, scu, scp);
    return scu;
}

int AssociationService::requesterIsScpFor(const UidValue& sopClass) {
    int scu = 0, scp = 0;
    negotiatedRoles(AssociateRequestPdu::userInformation, AssociateAcceptPdu::userInformation, sopClass, scu, scp);
    return scp;
}

int AssociationService::abort() {
    abortAssociation();
    return 1;
}

int AssociationService::release() {
    PDataPdu::resetReceiveState();
    if (isEstablished()) {
        ReleaseRequestPdu::write(this);
        ReceiveTimeout answerTimeout(socket, requestTimeoutSeconds);
        uint8_t type = 0;
        if (!socket.sendFailed && readBytes(&type, 1) && type == ReleaseResponsePdu::type) {
            ReleaseResponsePdu::pduType = type;
            ReleaseResponsePdu::readBody(this);
        }
    }
    closeConnection();
    return 1;
}
