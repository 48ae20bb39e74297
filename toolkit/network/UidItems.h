#ifndef DICOMTOOLKIT_NETWORK_UIDITEMS_H
#define DICOMTOOLKIT_NETWORK_UIDITEMS_H

#include <cstdint>

#include "../stream/ByteStream.h"
#include "PduItem.h"
#include "UidValue.h"
#include "WireReader.h"

// The items whose whole body is one text: the header followed by the
// characters of the value, with no terminator.
//
// encodedSize refreshes the stored item length and returns the total size;
// write emits the stored length, so a caller that writes an item alone sizes
// it first. A received value longer than 64 characters makes the item
// malformed: readBody returns 0 after consuming the item's bytes.
class UidItem : public PduItem<UidItem> {
public:
    explicit UidItem(uint8_t type) : PduItem(type) {}
    UidItem(uint8_t type, const UidValue& initial) : PduItem(type), value(initial) {}
    UidItem(uint8_t type, const char* text) : PduItem(type), value(text) {}

    void setValue(const UidValue& text) { value = text; }
    int setValue(const char* text) { return value.assign(text); }

    uint32_t encodedSize();
    int write(ByteStream* stream);
    using PduItem::readBody;
    int readBody(WireReader& enclosing);

    UidValue value;
};

template <uint8_t Type>
class TypedUidItem : public UidItem {
public:
    static constexpr uint8_t type = Type;
    TypedUidItem() : UidItem(Type) {}
    explicit TypedUidItem(const UidValue& initial) : UidItem(Type, initial) {}
    explicit TypedUidItem(const char* text) : UidItem(Type, text) {}
};

// Application context name, one in each A-ASSOCIATE-RQ and -AC.
class ApplicationContextItem : public TypedUidItem<0x10> {
public:
    using TypedUidItem::TypedUidItem;
};

// Abstract syntax (SOP class UID) of a proposed presentation context.
class AbstractSyntaxItem : public TypedUidItem<0x30> {
public:
    using TypedUidItem::TypedUidItem;
};

// Transfer syntax of a presentation context, proposed or accepted.
class TransferSyntaxItem : public TypedUidItem<0x40> {
public:
    using TypedUidItem::TypedUidItem;
};

// Sub-items of the user-information item.
class ImplementationClassUidItem : public TypedUidItem<0x52> {
public:
    using TypedUidItem::TypedUidItem;
};

class ImplementationVersionNameItem : public TypedUidItem<0x55> {
public:
    using TypedUidItem::TypedUidItem;
};

#endif
