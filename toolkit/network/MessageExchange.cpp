// Carrying command sets and data sets over an established association.

#include "../encoding/TransferSyntax.h"
#include "AssociationService.h"

int AssociationService::decodeWithCode(int32_t code, ByteStream* stream, DataSet* set) {
    switch (code) {
        case ImplicitLittleEndian:
            return readImplicitLittle(stream, set);
        case ExplicitLittleEndian:
            return readExplicitLittle(stream, set);
        case ExplicitBigEndian:
            return readExplicitBig(stream, set);
        default:
            return 0;
    }
}

int AssociationService::encodeWithCode(int32_t code, DataSet* set, ByteStream* stream) {
    switch (code) {
        case ImplicitLittleEndian:
            return writeImplicitLittle(set, stream);
        case ExplicitLittleEndian:
            return writeExplicitLittle(set, stream);
        case ExplicitBigEndian:
            return writeExplicitBig(set, stream);
        default:
            return 0;
    }
}

uint8_t AssociationService::presentationContextFor(const UidValue& abstractSyntax) {
    auto& proposed = AssociateRequestPdu::presentationContexts;
    for (uint32_t index = 0; index < proposed.count(); ++index) {
        const PresentationContextItem& context = proposed.at(index)->element;
        if (context.abstractSyntax.value == abstractSyntax) return context.contextId;
    }
    return 0;
}

int AssociationService::abstractSyntaxOfContext(uint8_t contextId, UidValue& abstractSyntax) {
    auto& proposed = AssociateRequestPdu::presentationContexts;
    for (uint32_t index = 0; index < proposed.count(); ++index) {
        const PresentationContextItem& context = proposed.at(index)->element;
        if (context.contextId == contextId) {
            abstractSyntax = context.abstractSyntax.value;
            return 1;
        }
    }
    return 0;
}

uint8_t AssociationService::contextForTransferSyntax(const UidValue& transferSyntax) {
    for (uint32_t index = 0; index < acceptedContexts.count(); ++index) {
        const PresentationContextResultItem& context = acceptedContexts.at(index)->element;
        if (context.transferSyntax.value == transferSyntax) return context.contextId;
    }
    return 0;
}

// Only a context proposed for the abstract syntax may carry its messages: a
// context accepted for another SOP class with the same transfer syntax
// would make the peer decode them under the wrong context.
uint8_t AssociationService::contextForSyntaxes(const UidValue& abstractSyntax, const UidValue& transferSyntax) {
    if (presentationContextFor(abstractSyntax) == 0) return 0;
    for (uint32_t index = 0; index < acceptedContexts.count(); ++index) {
        const PresentationContextResultItem& context = acceptedContexts.at(index)->element;
        UidValue proposedFor;
        if (context.transferSyntax.value == transferSyntax && abstractSyntaxOfContext(context.contextId, proposedFor) &&
            proposedFor == abstractSyntax) {
            return context.contextId;
        }
    }
    return 0;
}

uint8_t AssociationService::acceptedContextFor(const UidValue& abstractSyntax) {
    if (presentationContextFor(abstractSyntax) == 0) return 0;
    for (uint32_t index = 0; index < acceptedContexts.count(); ++index) {
        const PresentationContextResultItem& context = acceptedContexts.at(index)->element;
        UidValue proposedFor;
        if (abstractSyntaxOfContext(context.contextId, proposedFor) && proposedFor == abstractSyntax &&
            encodesTransferSyntax(context.transferSyntax.value)) {
            return context.contextId;
        }
    }
    return 0;
}

int AssociationService::encodesTransferSyntax(const UidValue& transferSyntax) {
    for (const TransferSyntaxRow* row = transferSyntaxTable; row->uid != nullptr; ++row) {
        if (transferSyntax == UidValue(row->uid)) return 1;
    }
    return 0;
}

int AssociationService::transferSyntaxOfContext(uint8_t contextId, UidValue& transferSyntax) {
    for (uint32_t index = 0; index < acceptedContexts.count(); ++index) {
        const PresentationContextResultItem& context = acceptedContexts.at(index)->element;
        if (context.contextId == contextId) {
            transferSyntax = context.transferSyntax.value;
            return 1;
        }
    }
    return 0;
}

int AssociationService::decodeMessage(uint8_t contextId, PdvBuffer& buffer, DataSet& set) {
    UidValue transferSyntax;
    if (!transferSyntaxOfContext(contextId, transferSyntax)) return 0;
    // Command sets travel in implicit VR little endian whatever the context
    // negotiated; only data sets take the context's transfer syntax.
    if (PDataPdu::isCommandMessage()) return readImplicitLittle(&buffer, &set);
    for (const TransferSyntaxRow* row = transferSyntaxTable; row->uid != nullptr; ++row) {
        if (UidValue(row->uid) == transferSyntax) return decodeWithCode(row->code, &buffer, &set);
    }
    return 0;
}

int AssociationService::encodeForAbstractSyntax(DataSet& set, PdvBuffer& buffer, const UidValue& abstractSyntax) {
    for (const TransferSyntaxRow* row = transferSyntaxTable; row->uid != nullptr; ++row) {
        const uint8_t id = contextForSyntaxes(abstractSyntax, UidValue(row->uid));
        if (id == 0) continue;
        const int32_t code = (controlFlags & commandBit) != 0 ? ImplicitLittleEndian : row->code;
        return encodeWithCode(code, &set, &buffer) ? id : 0;
    }
    return 0;
}

int AssociationService::encodeOnFirstContext(DataSet& set, PdvBuffer& buffer) {
    for (const TransferSyntaxRow* row = transferSyntaxTable; row->uid != nullptr; ++row) {
        const uint8_t id = contextForTransferSyntax(UidValue(row->uid));
        if (id == 0) continue;
        const int32_t code = (controlFlags & commandBit) != 0 ? ImplicitLittleEndian : row->code;
        return encodeWithCode(code, &set, &buffer) ? id : 0;
    }
    return 0;
}

int AssociationService::sendMessage(DataSet& set, const UidValue* abstractSyntax, uint8_t command) {
    if (!isEstablished()) return 0;
    if (abstractSyntax != nullptr && presentationContextFor(*abstractSyntax) == 0) return 0;
    // The encoders read the command bit to choose the command encoding.
    controlFlags = command;
    itemBytesLeft = 0;
    pdvBuffer.discardOutput();
    const int id = abstractSyntax != nullptr ? encodeForAbstractSyntax(set, pdvBuffer, *abstractSyntax)
                                             : encodeOnFirstContext(set, pdvBuffer);
    if (id == 0 || pdvBuffer.outputLost) {
        // Nothing of a message that could not be encoded whole may go out
        // with the next one.
        pdvBuffer.discardOutput();
        return 0;
    }
    currentContextId = static_cast<uint8_t>(id);
    controlFlags = command;
    PDataPdu::write(this);
    if (outputLost) {
        // Part of a PDU never went out: the peer cannot read on.
        abortAssociation();
        return 0;
    }
    return socket.sendFailed ? 0 : 1;
}

int AssociationService::sendCommand(DataSet& set, const UidValue& abstractSyntax) {
    return sendMessage(set, &abstractSyntax, commandBit);
}

int AssociationService::sendDataSet(DataSet& set, const UidValue& abstractSyntax) {
    return sendMessage(set, &abstractSyntax, 0);
}

int AssociationService::sendCommand(DataSet& set) { return sendMessage(set, nullptr, commandBit); }

int AssociationService::sendDataSet(DataSet& set) { return sendMessage(set, nullptr, 0); }

int AssociationService::readMessage(DataSet& set) {
    readEnding = ReadEnding::none;
    if (!isEstablished()) return 0;
    int received = 1;
    if (PDataPdu::pduLength != 0) received = PDataPdu::readBody(this);
    while (received && !messageComplete) {
        uint8_t type = 0;
        if (!readBytes(&type, 1)) {
            readEnding = ReadEnding::connectionLost;
            closeConnection();
            return 0;
        }
        switch (type) {
            case PDataPdu::pduType:
                received = PDataPdu::readBody(this);
                break;
            case ReleaseRequestPdu::type:
                if (!ReleaseRequestPdu::readBody(this)) {
                    received = 0;
                    break;
                }
                // Answered; the peer closes the connection.
                ReleaseResponsePdu::write(this);
                established = 0;
                readEnding = ReadEnding::released;
                return 0;
            case ReleaseResponsePdu::type:
            case AbortPdu::type:
                readEnding = ReadEnding::abortedByPeer;
                closeConnection();
                return 0;
            default:
                // An association PDU, or no PDU at all: the association
                // cannot go on. Its body is not read: it could be of any
                // length, and the request held here must stay as negotiated.
                received = 0;
                break;
        }
    }
    if (!received) {
        // A broken connection is closed; a peer that broke the protocol is told.
        readEnding = transportFailed ? ReadEnding::connectionLost : ReadEnding::protocolError;
        if (transportFailed) closeConnection();
        else abortAssociation();
        return 0;
    }
    messageComplete = 0;
    itemBytesLeft = 0;
    const int decoded = decodeMessage(currentContextId, pdvBuffer, set);
    // A message that decoded short leaves nothing behind for the next one.
    pdvBuffer.discardInput();
    if (!decoded) {
        readEnding = ReadEnding::undecodable;
        abortAssociation();
        return 0;
    }
    return 1;
}

int AssociationService::messageWaiting() {
    if (!isEstablished()) return 0;
    if (availableCount() != 0 || PDataPdu::pduLength != 0) return 1;
    // A socket without input fails the read at once (rawRead), and readAhead
    // leaves the stream as it was when it fails.
    const int32_t usual = socket.timeoutSeconds;
    socket.timeoutSeconds = 0;
    pollingInput = 1;
    const int arrived = readAhead(1);
    pollingInput = 0;
    socket.timeoutSeconds = usual;
    return arrived || transportFailed ? 1 : 0;
}
