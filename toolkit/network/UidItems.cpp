#include "UidItems.h"

uint32_t UidItem::encodedSize() {
    itemLength = static_cast<uint16_t>(value.size());
    return value.size() + 4u;
}

int UidItem::write(ByteStream* stream) {
    stream->writeU8(itemType).writeU8(reserved).writeU16(itemLength);
    // The stored length decides, as it does for the header.
    const uint32_t count = itemLength < UidValue::capacity ? itemLength : UidValue::capacity;
    stream->writeBytes(reinterpret_cast<const uint8_t*>(value.text()), count);
    stream->flush();
    return 1;
}

int UidItem::read(ByteStream* stream) {
    WireReader reader(stream, WireReader::unbounded);
    if (!reader.u8(itemType)) return 0;
    return readBody(reader);
}

int UidItem::readBody(ByteStream* stream) {
    WireReader reader(stream, WireReader::unbounded);
    return readBody(reader);
}

int UidItem::readBody(WireReader& enclosing) {
    value.clear();
    if (!enclosing.u8(reserved) || !enclosing.u16(itemLength)) return 0;
    WireReader body = enclosing.enclosed(itemLength);
    uint8_t characters[UidValue::capacity];
    if (itemLength > UidValue::capacity) {
        body.skipRest();
        return 0;
    }
    if (!body.bytes(characters, itemLength)) return 0;
    return value.assign(characters, itemLength);
}
