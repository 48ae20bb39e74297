#ifndef DICOMTOOLKIT_NETWORK_USERINFORMATIONITEM_H
#define DICOMTOOLKIT_NETWORK_USERINFORMATIONITEM_H

#include <cstdint>

#include "../model/IndexedList.h"
#include "../stream/ByteStream.h"
#include "PduItem.h"
#include "UidItems.h"
#include "WireReader.h"

// The maximum PDU length a side announces it can receive (sub-item 0x51).
class MaximumLengthItem : public PduItem<MaximumLengthItem> {
public:
    static constexpr uint8_t type = 0x51;

    MaximumLengthItem() : PduItem(type, 4) {}
    explicit MaximumLengthItem(uint32_t maximum) : PduItem(type, 4), maximumLength(maximum) {}

    void setValue(uint32_t maximum) { maximumLength = maximum; }
    uint32_t value() const { return maximumLength; }

    uint32_t encodedSize();
    int write(ByteStream* stream);
    using PduItem::readBody;
    // 0 for a sub-item whose length is not 4.
    int readBody(WireReader& enclosing);

    uint32_t maximumLength = 0;
};

// SCU/SCP role selection for one SOP class (sub-item 0x54): the roles the
// requester proposes to take for the SOP class, and in an A-ASSOCIATE-AC
// the roles the acceptor lets it take (1 granted, 0 not).
class RoleSelectionItem : public PduItem<RoleSelectionItem> {
public:
    static constexpr uint8_t type = 0x54;

    RoleSelectionItem() : PduItem(type) {}

    uint32_t encodedSize();
    int write(ByteStream* stream);
    using PduItem::readBody;
    int readBody(WireReader& enclosing);

    UidValue sopClassUid;
    uint8_t scuRole = 0;
    uint8_t scpRole = 0;
};

// The user-information item (0x50). As sent it holds the maximum length,
// the implementation class UID, the role selections (none unless some were
// added) and the implementation version name, in that order. As received it
// keeps those and skips sub-items of other types, whose bytes are counted in
// extraLength, so that encodedSize of a received item equals its size on the
// wire while the stored item length never includes them.
class UserInformationItem : public PduItem<UserInformationItem> {
public:
    static constexpr uint8_t type = 0x50;

    UserInformationItem() : PduItem(type) {}
    // The role selections are copied one by one (the list itself is not
    // copyable); a copy short of memory holds fewer of them.
    UserInformationItem(const UserInformationItem& other);
    UserInformationItem& operator=(const UserInformationItem& other);

    // Appends a role selection: 1, or 0 when the list could not grow.
    int appendRoleSelection(const RoleSelectionItem& item) { return roleSelections.tryAppend(item); }
    // The role selection for sopClass, or null.
    const RoleSelectionItem* roleSelectionFor(const UidValue& sopClass);

    void setMaximumLength(const MaximumLengthItem& item) { maximumLength = item; }
    uint32_t maximumLengthValue() const { return maximumLength.value(); }

    uint32_t encodedSize();
    int write(ByteStream* stream);
    using PduItem::readBody;
    // 0 when the item is malformed (a sub-item that does not fit, a name
    // longer than 64 characters); the stream then stands at the item's end,
    // unless the item did not fit its PDU.
    int readBody(WireReader& enclosing);

    uint32_t extraLength = 0;
    MaximumLengthItem maximumLength;
    ImplementationClassUidItem implementationClassUid;
    ImplementationVersionNameItem implementationVersionName;
    IndexedValueList<RoleSelectionItem> roleSelections;
};

#endif
