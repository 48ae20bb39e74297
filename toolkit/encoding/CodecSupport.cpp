#include "CodecSupport.h"

#include <new>

#include "ValueOutput.h"

namespace codec {

bool usesLongForm(uint16_t vr) {
    switch (vr) {
        case vrCode('O', 'B'):
        case vrCode('O', 'D'):
        case vrCode('O', 'F'):
        case vrCode('O', 'L'):
        case vrCode('O', 'V'):
        case vrCode('O', 'W'):
        case vrCode('S', 'Q'):
        case vrCode('S', 'V'):
        case vrCode('U', 'C'):
        case vrCode('U', 'N'):
        case vrCode('U', 'R'):
        case vrCode('U', 'T'):
        case vrCode('U', 'V'):
            return true;
        default:
            return false;
    }
}

uint16_t number16(const uint8_t* bytes, int32_t order) {
    return order == ByteStream::littleEndian ? static_cast<uint16_t>(bytes[0] | bytes[1] << 8)
                                             : static_cast<uint16_t>(bytes[0] << 8 | bytes[1]);
}

uint32_t number32(const uint8_t* bytes, int32_t order) {
    const uint32_t first = number16(bytes, order), second = number16(bytes + 2, order);
    return order == ByteStream::littleEndian ? (first | second << 16) : (first << 16 | second);
}

DataElement* newElement(uint16_t group, uint16_t element, uint16_t vr, uint32_t length, uint8_t* value) {
    auto* made = new (std::nothrow) DataElement();
    if (made == nullptr) {
        delete[] value;
        return nullptr;
    }
    made->group = group;
    made->element = element;
    made->vr = vr;
    made->length = length;
    made->value = value;
    return made;
}

void writeTag(ByteStream& stream, uint16_t group, uint16_t element) { stream.writeU16(group).writeU16(element); }

int writeGroupLength(ByteStream& stream, uint16_t group, uint64_t groupSize, bool explicitVr) {
    if (groupSize > 0xFFFFFFFFu) return 0;
    writeTag(stream, group, 0x0000);
    if (explicitVr) {
        stream.writeU8('U').writeU8('L').writeU16(4);
    } else {
        stream.writeU32(4);
    }
    stream.writeU32(static_cast<uint32_t>(groupSize));
    return 1;
}

void writeElementHeader(ByteStream& stream, uint16_t group, uint16_t element, uint16_t vr, uint32_t length,
                        bool explicitVr) {
    writeTag(stream, group, element);
    if (!explicitVr) {
        stream.writeU32(length);
        return;
    }
    stream.writeU8(static_cast<uint8_t>(vr >> 8)).writeU8(static_cast<uint8_t>(vr));
    if (usesLongForm(vr)) {
        stream.writeU16(0).writeU32(length);
    } else {
        stream.writeU16(static_cast<uint16_t>(length));
    }
}

int writePlainValue(ByteStream& stream, DataElement* element) {
    const uint32_t length = element->length;
    if (length == undefinedLength || (length != 0 && element->value == nullptr)) return 0;
    if (length != 0 && writeElementValue(stream, element, length) == 0) return 0;
    if ((length & 1u) != 0) stream.writeU8(0);
    return 1;
}

uint64_t EncodedSizes::contentsSize(DataSet* set, bool explicitVr, int depth) const {
    uint64_t size = 0;
    for (uint32_t groupIndex = 0; groupIndex < set->fillList.count(); ++groupIndex) {
        ElementGroup* group = set->fillList.at(groupIndex)->element;
        if (writesGroupLength(group)) size += groupLengthSize;
        for (uint32_t index = 0; index < group->count(); ++index) {
            size += elementSize(group->at(index)->element, explicitVr, depth);
        }
        if (size >= impossibleSize) return impossibleSize;
    }
    return size;
}

uint64_t EncodedSizes::remainingGroupSize(DataSet* source, bool explicitVr, int depth) const {
    uint64_t size = 0;
    ElementGroup* group = source->drainingGroup;
    if (group == nullptr) return 0;
    for (uint32_t index = 0; index < group->count(); ++index) {
        size += elementSize(group->at(index)->element, explicitVr, depth);
    }
    return size;
}

}  // namespace codec
