#ifndef DICOMTOOLKIT_NETWORK_PRESENTATIONCONTEXTITEMS_H
#define DICOMTOOLKIT_NETWORK_PRESENTATIONCONTEXTITEMS_H

#include <cstdint>

#include "../model/IndexedList.h"
#include "../stream/ByteStream.h"
#include "PduItem.h"
#include "UidItems.h"
#include "WireReader.h"

// Result/reason values of a presentation context in an A-ASSOCIATE-AC.
enum : uint8_t {
    ContextAccepted = 0,
    ContextNoReason = 2,
    ContextAbstractSyntaxNotSupported = 3,
};

// The four bytes after the header of both context items: the context's ID, a
// reserved byte, the result/reason (0 in a proposal) and a reserved byte.
template <typename Item>
class PresentationContextHead : public PduItem<Item> {
public:
    uint8_t contextId;
    uint8_t reserved2 = 0;
    uint8_t resultReason;
    uint8_t reserved3 = 0;

protected:
    PresentationContextHead(uint8_t type, uint8_t id, uint8_t result)
        : PduItem<Item>(type), contextId(id), resultReason(result) {}

    void writeContextHead(ByteStream* stream) const {
        stream->writeU8(contextId).writeU8(reserved2).writeU8(resultReason).writeU8(reserved3);
    }
    int readContextHead(WireReader& body) {
        return body.u8(contextId) && body.u8(reserved2) && body.u8(resultReason) && body.u8(reserved3);
    }
};

// A proposed presentation context (item 0x20 of an A-ASSOCIATE-RQ): its ID,
// one abstract syntax and the transfer syntaxes in proposal order. A new item
// draws an odd ID from the process-wide counter; a copy keeps its source's.
class PresentationContextItem : public PresentationContextHead<PresentationContextItem> {
public:
    static constexpr uint8_t type = 0x20;

    PresentationContextItem();
    PresentationContextItem(const AbstractSyntaxItem& abstract, const TransferSyntaxItem& transfer);
    PresentationContextItem(const PresentationContextItem& other);
    PresentationContextItem& operator=(const PresentationContextItem& other);
    ~PresentationContextItem() = default;

    void setAbstractSyntax(const AbstractSyntaxItem& abstract) { abstractSyntax = abstract; }
    // 1, or 0 when the list could not grow.
    int appendTransferSyntax(const TransferSyntaxItem& transfer) { return transferSyntaxes.tryAppend(transfer); }
    uint32_t transferSyntaxCount() const { return transferSyntaxes.count(); }
    TransferSyntaxItem* transferSyntaxAt(uint32_t index);

    uint32_t encodedSize();
    // Writes the item; 0 (after writing it) when it has no transfer syntax.
    int write(ByteStream* stream);
    using PduItem::readBody;
    // Reads the item within an enclosing PDU. 0 when it is malformed: its
    // sub-items do not add up to its length, or one of them is. The stream
    // then stands at the item's end, unless the item did not fit its PDU.
    int readBody(WireReader& enclosing);

    AbstractSyntaxItem abstractSyntax;
    IndexedValueList<TransferSyntaxItem> transferSyntaxes;
};

// The answer to one proposed context (item 0x21 of an A-ASSOCIATE-AC): the
// context's ID, the result and the one transfer syntax accepted.
class PresentationContextResultItem : public PresentationContextHead<PresentationContextResultItem> {
public:
    static constexpr uint8_t type = 0x21;

    PresentationContextResultItem();
    explicit PresentationContextResultItem(const TransferSyntaxItem& transfer);

    uint32_t encodedSize();
    int write(ByteStream* stream);
    using PduItem::readBody;
    int readBody(WireReader& enclosing);

    TransferSyntaxItem transferSyntax;
};

#endif
