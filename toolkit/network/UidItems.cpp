#include "UidItems.h"

uint32_t UidItem::encodedSize() {
    itemLength = static_cast<uint16_t>(value.size());
    return value.size() + 4u;
}

int UidItem::write(ByteStream* stream) {
    writeHeader(stream);
    // The stored length decides, as it does for the header.
    const uint32_t count = itemLength < UidValue::capacity ? itemLength : UidValue::capacity;
    stream->writeBytes(reinterpret_cast<const uint8_t*>(value.text()), count);
    stream->flush();
    return 1;
}

int UidItem::readBody(WireReader& enclosing) {
    value.clear();
    if (!readHeader(enclosing)) return 0;
    WireReader body = enclosing.enclosed(itemLength);
    uint8_t characters[UidValue::capacity];
    if (itemLength > UidValue::capacity) {
        body.skipRest();
        return 0;
    }
    if (!body.bytes(characters, itemLength)) return 0;
    return value.assign(characters, itemLength);
}
