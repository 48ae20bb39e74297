#include "UserInformationItem.h"

uint32_t MaximumLengthItem::encodedSize() {
    itemLength = 4;
    return 8;
}

int MaximumLengthItem::write(ByteStream* stream) {
    writeHeader(stream);
    stream->writeU32(maximumLength);
    stream->flush();
    return 1;
}

int MaximumLengthItem::readBody(WireReader& enclosing) {
    if (!readHeader(enclosing)) return 0;
    WireReader body = enclosing.enclosed(itemLength);
    if (itemLength != 4) {
        body.skipRest();
        return 0;
    }
    return body.u32(maximumLength);
}

uint32_t RoleSelectionItem::encodedSize() {
    itemLength = static_cast<uint16_t>(sopClassUid.size() + 4);
    return sopClassUid.size() + 8;
}

int RoleSelectionItem::write(ByteStream* stream) {
    itemType = type;
    writeHeader(stream);
    stream->writeU16(static_cast<uint16_t>(sopClassUid.size()));
    stream->writeBytes(reinterpret_cast<const uint8_t*>(sopClassUid.text()), sopClassUid.size());
    stream->writeU8(scuRole).writeU8(scpRole);
    stream->flush();
    return 1;
}

int RoleSelectionItem::readBody(WireReader& enclosing) {
    sopClassUid.clear();
    if (!readHeader(enclosing)) return 0;
    WireReader body = enclosing.enclosed(itemLength);
    uint16_t uidLength = 0;
    uint8_t characters[UidValue::capacity];
    int wellFormed = body.u16(uidLength) && uidLength <= UidValue::capacity && body.bytes(characters, uidLength) &&
                     body.u8(scuRole) && body.u8(scpRole) && body.left == 0;
    if (wellFormed) sopClassUid.assign(characters, uidLength);
    else body.skipRest();
    return wellFormed ? 1 : 0;
}

UserInformationItem::UserInformationItem(const UserInformationItem& other) : PduItem(other) { *this = other; }

UserInformationItem& UserInformationItem::operator=(const UserInformationItem& other) {
    if (this == &other) return *this;
    PduItem::operator=(other);
    extraLength = other.extraLength;
    maximumLength = other.maximumLength;
    implementationClassUid = other.implementationClassUid;
    implementationVersionName = other.implementationVersionName;
    while (roleSelections.count() != 0) roleSelections.removeAt(0);
    auto& source = const_cast<IndexedValueList<RoleSelectionItem>&>(other.roleSelections);
    for (uint32_t index = 0; index < source.count(); ++index) roleSelections.tryAppend(source.at(index)->element);
    return *this;
}

const RoleSelectionItem* UserInformationItem::roleSelectionFor(const UidValue& sopClass) {
    for (uint32_t index = 0; index < roleSelections.count(); ++index) {
        const RoleSelectionItem& item = roleSelections.at(index)->element;
        if (item.sopClassUid == sopClass) return &item;
    }
    return nullptr;
}

uint32_t UserInformationItem::encodedSize() {
    uint32_t length = 8 + implementationClassUid.encodedSize() + implementationVersionName.encodedSize();
    for (uint32_t index = 0; index < roleSelections.count(); ++index) {
        length += roleSelections.at(index)->element.encodedSize();
    }
    maximumLength.encodedSize();
    itemLength = static_cast<uint16_t>(length);
    return length + extraLength + 4;
}

int UserInformationItem::write(ByteStream* stream) {
    writeHeader(stream);
    stream->flush();
    maximumLength.write(stream);
    implementationClassUid.write(stream);
    for (uint32_t index = 0; index < roleSelections.count(); ++index) roleSelections.at(index)->element.write(stream);
    implementationVersionName.write(stream);
    return 1;
}

int UserInformationItem::readBody(WireReader& enclosing) {
    // The item holds what this one carried: a sub-item it lacks (the
    // version name is optional) must not keep a previous peer's value.
    extraLength = 0;
    maximumLength.setValue(0);
    implementationClassUid.value.clear();
    implementationVersionName.value.clear();
    while (roleSelections.count() != 0) roleSelections.removeAt(0);
    if (!readHeader(enclosing)) return 0;
    WireReader body = enclosing.enclosed(itemLength);
    int wellFormed = !body.failed;
    while (wellFormed && body.left != 0) {
        const uint32_t before = body.left;
        uint8_t subType = 0;
        if (!body.u8(subType)) return 0;
        switch (subType) {
            case MaximumLengthItem::type:
                wellFormed = maximumLength.readBody(body);
                break;
            case ImplementationClassUidItem::type:
                wellFormed = implementationClassUid.readBody(body);
                break;
            case RoleSelectionItem::type: {
                RoleSelectionItem selection;
                wellFormed = selection.readBody(body) && roleSelections.tryAppend(selection);
                break;
            }
            case ImplementationVersionNameItem::type:
                wellFormed = implementationVersionName.readBody(body);
                break;
            default: {
                // Sub-items of other kinds (asynchronous operations window,
                // extended negotiation, user identity) are skipped one by one;
                // the ones after them are still read.
                uint8_t skippedReserved = 0;
                uint16_t skippedLength = 0;
                wellFormed = body.u8(skippedReserved) && body.u16(skippedLength) && body.skip(skippedLength);
                extraLength += before - body.left;
                break;
            }
        }
    }
    if (!wellFormed) body.skipRest();
    return wellFormed && !body.failed ? 1 : 0;
}
