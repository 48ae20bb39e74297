#ifndef DICOMTOOLKIT_MODEL_DATAELEMENT_H
#define DICOMTOOLKIT_MODEL_DATAELEMENT_H

#include <cstdint>

#include "IndexedList.h"

class DataSet;

// One DICOM attribute: its tag, its value bytes exactly as they arrived and,
// for a sequence, its items. Value buffers are allocated with new[] and, when
// ownsValue is set, released with delete[]; a caller that hands a buffer over
// must have allocated it the same way.
//
// Odd lengths are rounded up to even with a 0x00 pad byte. When a value
// buffer cannot be allocated the element holds no value: value is null and
// length is 0.
class DataElement {
public:
    DataElement();
    DataElement(uint16_t group, uint16_t element, uint32_t length, int allocate);
    DataElement(uint16_t group, uint16_t element, uint32_t length, uint8_t* buffer);
    DataElement(uint16_t group, uint16_t element, uint32_t length, uint8_t* buffer, int owns);
    ~DataElement();

    DataElement(const DataElement&) = delete;
    DataElement& operator=(const DataElement&) = delete;

    bool operator>(const DataElement& other) const;
    bool operator<(const DataElement& other) const;
    bool sameTag(uint16_t otherGroup, uint16_t otherElement) const;

    // Moves other's value and items into this element (same tag only).
    int takeValue(DataElement* other);
    // Hands value and items over to a new element of the same tag in sink.
    int moveInto(DataSet* sink);
    // Releases value and items.
    int clearValue();

    uint16_t group = 0;
    uint16_t element = 0;
    uint32_t length = 0;
    uint8_t* value = nullptr;
    int32_t ownsValue = 1;
    int32_t valueTaken = 0;
    IndexedList<DataSet*>* items = nullptr;
    uint16_t vr = 0;
    // Set on a group length element (gggg,0000) that DataSet::nextElement
    // computed for a group that arrived without one: a set it is added to
    // records no group length for that group.
    int32_t computedGroupLength = 0;

private:
    void setLength(uint32_t requested);
    void deleteItems();
};

// Copies tag and value bytes of source into target (a new element when target
// is null). Items and vr are not copied; whether a group length element was
// computed is. Returns target, or null when the
// value buffer could not be allocated (a target made here is then deleted).
DataElement* copyElement(DataElement* target, const DataElement* source);

// VR codes: the two letters, the first in the high byte.
constexpr uint16_t vrCode(char first, char second) {
    return static_cast<uint16_t>((static_cast<uint8_t>(first) << 8) | static_cast<uint8_t>(second));
}

#endif
