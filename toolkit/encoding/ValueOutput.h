#ifndef DICOMTOOLKIT_ENCODING_VALUEOUTPUT_H
#define DICOMTOOLKIT_ENCODING_VALUEOUTPUT_H

#include <cstdint>

#include "../model/DataElement.h"
#include "../stream/ByteStream.h"

// Writes the first length bytes of an element's value. The writers drain
// the set they write and delete each element once written, so a large value
// the element owns is handed to the stream as it is instead of copied: one
// copy of a large object in memory, not two. Meta group elements stay whole
// (the writers keep the transfer syntax element after writing it).
inline int writeElementValue(ByteStream& stream, DataElement* element, uint32_t length) {
    constexpr uint32_t adoptedSize = 256u << 10;
    if (length >= adoptedSize && element->ownsValue != 0 && element->group != 0x0002 &&
        stream.writeAdopted(element->value, length) != 0) {
        element->value = nullptr;
        element->ownsValue = 0;
        return 1;
    }
    return stream.writeBytes(element->value, length);
}

#endif
