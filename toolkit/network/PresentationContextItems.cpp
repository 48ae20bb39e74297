#include "PresentationContextItems.h"

#include "../encoding/ByteOrder.h"

PresentationContextItem::PresentationContextItem() : PresentationContextHead(type, nextOddId8(), 0) {}

PresentationContextItem::PresentationContextItem(const AbstractSyntaxItem& abstract, const TransferSyntaxItem& transfer)
    : PresentationContextHead(type, nextOddId8(), 0), abstractSyntax(abstract) {
    transferSyntaxes.tryAppend(transfer);
}

PresentationContextItem::PresentationContextItem(const PresentationContextItem& other)
    : PresentationContextHead(other), abstractSyntax(other.abstractSyntax) {
    auto& source = const_cast<IndexedValueList<TransferSyntaxItem>&>(other.transferSyntaxes);
    for (uint32_t index = 0; index < source.count(); ++index) transferSyntaxes.tryAppend(source.at(index)->element);
}

PresentationContextItem& PresentationContextItem::operator=(const PresentationContextItem& other) {
    if (this == &other) return *this;
    PresentationContextHead::operator=(other);
    abstractSyntax = other.abstractSyntax;
    while (transferSyntaxes.count() != 0) transferSyntaxes.removeAt(0);
    auto& source = const_cast<IndexedValueList<TransferSyntaxItem>&>(other.transferSyntaxes);
    for (uint32_t index = 0; index < source.count(); ++index) transferSyntaxes.tryAppend(source.at(index)->element);
    return *this;
}

TransferSyntaxItem* PresentationContextItem::transferSyntaxAt(uint32_t index) {
    auto* node = transferSyntaxes.at(index);
    return node != nullptr ? &node->element : nullptr;
}

uint32_t PresentationContextItem::encodedSize() {
    uint32_t length = 4 + abstractSyntax.encodedSize();
    for (uint32_t index = 0; index < transferSyntaxes.count(); ++index) {
        length += transferSyntaxes.at(index)->element.encodedSize();
    }
    itemLength = static_cast<uint16_t>(length);
    return length + 4;
}

int PresentationContextItem::write(ByteStream* stream) {
    writeHeader(stream);
    writeContextHead(stream);
    abstractSyntax.write(stream);
    for (uint32_t index = 0; index < transferSyntaxes.count(); ++index) {
        transferSyntaxes.at(index)->element.write(stream);
    }
    return transferSyntaxes.count() != 0 ? 1 : 0;
}

int PresentationContextItem::readBody(WireReader& enclosing) {
    if (!readHeader(enclosing)) return 0;
    WireReader body = enclosing.enclosed(itemLength);
    if (!readContextHead(body)) {
        body.skipRest();
        return 0;
    }
    // The first sub-item is the abstract syntax and every later one a
    // transfer syntax, whatever type byte each carries.
    int wellFormed = body.u8(abstractSyntax.itemType) && abstractSyntax.readBody(body);
    while (wellFormed && body.left != 0) {
        TransferSyntaxItem transfer;
        wellFormed = body.u8(transfer.itemType) && transfer.readBody(body) && transferSyntaxes.tryAppend(transfer);
    }
    if (!wellFormed) body.skipRest();
    return wellFormed && !body.failed ? 1 : 0;
}

PresentationContextResultItem::PresentationContextResultItem()
    : PresentationContextHead(type, nextId8(), ContextNoReason) {}

PresentationContextResultItem::PresentationContextResultItem(const TransferSyntaxItem& transfer)
    : PresentationContextHead(type, nextId8(), ContextNoReason), transferSyntax(transfer) {}

uint32_t PresentationContextResultItem::encodedSize() {
    const uint32_t length = 4 + transferSyntax.encodedSize();
    itemLength = static_cast<uint16_t>(length);
    return length + 4;
}

int PresentationContextResultItem::write(ByteStream* stream) {
    writeHeader(stream);
    writeContextHead(stream);
    transferSyntax.write(stream);
    stream->flush();
    return 1;
}

int PresentationContextResultItem::readBody(WireReader& enclosing) {
    if (!readHeader(enclosing)) return 0;
    WireReader body = enclosing.enclosed(itemLength);
    int wellFormed = readContextHead(body);
    // A context that was not accepted may come without its transfer syntax.
    if (wellFormed && body.left != 0) {
        wellFormed = body.u8(transferSyntax.itemType) && transferSyntax.readBody(body);
    } else if (wellFormed) {
        transferSyntax.value.clear();
    }
    if (wellFormed && body.left != 0) wellFormed = 0;
    if (!wellFormed) body.skipRest();
    return wellFormed && !body.failed ? 1 : 0;
}
