#ifndef DICOMTOOLKIT_NETWORK_PDUITEM_H
#define DICOMTOOLKIT_NETWORK_PDUITEM_H

#include <cstdint>

#include "../stream/ByteStream.h"
#include "WireReader.h"

// What every item and sub-item of an association PDU shares: the header
// (type, a reserved byte and the 16-bit length of what follows, all big
// endian) and the two ways of reading one on its own. Item derives from
// PduItem<Item> and brings its own body codec: encodedSize, write, and
// readBody(WireReader&), which reads what follows the type byte within the
// bytes an enclosing PDU or item has left. Read on its own, an item is
// bounded by nothing but the stream.
template <typename Item>
class PduItem {
public:
    // Takes the type byte, then the rest of the item.
    int read(ByteStream* stream) {
        WireReader reader(stream, WireReader::unbounded);
        if (!reader.u8(itemType)) return 0;
        return static_cast<Item*>(this)->readBody(reader);
    }

    // Reads what follows the type byte.
    int readBody(ByteStream* stream) {
        WireReader reader(stream, WireReader::unbounded);
        return static_cast<Item*>(this)->readBody(reader);
    }

    uint8_t itemType;
    uint8_t reserved = 0;
    uint16_t itemLength;

protected:
    explicit PduItem(uint8_t type, uint16_t length = 0) : itemType(type), itemLength(length) {}

    // Emits the stored header: a caller that writes an item sizes it first.
    void writeHeader(ByteStream* stream) const { stream->writeU8(itemType).writeU8(reserved).writeU16(itemLength); }

    // The reserved byte and the length that follow the type byte.
    int readHeader(WireReader& enclosing) { return enclosing.u8(reserved) && enclosing.u16(itemLength); }
};

#endif
