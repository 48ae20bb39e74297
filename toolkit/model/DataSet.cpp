#include "DataSet.h"

#include <new>

namespace {

// Bytes an element takes when encoded with a 4-byte tag and a 4-byte length.
uint32_t encodedElementSize(uint32_t length) { return 8u + length + (length & 1u); }

// The running totals are signed 32-bit counts; they wrap rather than overflow.
void addTo(int32_t& total, uint32_t amount) {
    total = static_cast<int32_t>(static_cast<uint32_t>(total) + amount);
}

void subtractFrom(int32_t& total, uint32_t amount) {
    total = static_cast<int32_t>(static_cast<uint32_t>(total) - amount);
}

constexpr uint32_t groupLengthElementSize = 12;
constexpr uint32_t itemHeaderSize = 12;

}  // namespace

ElementGroup::ElementGroup(uint16_t number) : groupNumber(number) {}

DataSet::DataSet() = default;

DataSet::~DataSet() {
    if (draining == 0) startDraining();
    if (draining != 0) {
        while (DataElement* element = DataSet::nextElement()) delete element;
    }
    if (looseItems != nullptr) {
        while (looseItems->count() != 0) {
            delete looseItems->at(0)->element;
            looseItems->removeAt(0);
        }
        delete looseItems;
    }
}

CommandSet::~CommandSet() = default;
ObjectDataSet::~ObjectDataSet() = default;

ElementGroup* DataSet::groupFor(uint16_t number) {
    for (uint32_t index = 0; index < fillList.count(); ++index) {
        ElementGroup* candidate = fillList.at(index)->element;
        if (candidate->groupNumber == number) return candidate;
    }
    return nullptr;
}

int DataSet::recordGroupLength(uint16_t number) {
    ElementGroup* group = groupFor(number);
    if (group != nullptr) {
        group->hadGroupLength = 1;
        return 1;
    }
    // A group length comes before the rest of its group: the record waits
    // for the group's first element.
    for (uint32_t index = 0; index < groupLengthsAhead.count(); ++index) {
        if (groupLengthsAhead.at(index)->element == number) return 1;
    }
    return groupLengthsAhead.tryAppend(number);
}

int DataSet::addElement(DataElement* element) {
    if (draining != 0 || element == nullptr) return 0;
    if (element->element == 0) {
        // Without memory for the record it is lost, not the data.
        if (element->computedGroupLength == 0) recordGroupLength(element->group);
        delete element;
        return 1;
    }
    ElementGroup* group = groupFor(element->group);
    const uint32_t size = encodedElementSize(element->length);
    if (group == nullptr) {
        group = new (std::nothrow) ElementGroup(element->group);
        if (group == nullptr) return 0;
        if (fillList.tryAppend(group) == 0 || group->heapPush(element) == 0) {
            if (fillList.count() != 0 && fillList.at(fillList.count() - 1)->element == group) {
                fillList.removeAt(fillList.count() - 1);
            }
            delete group;
            return 0;
        }
        addTo(encodedLength, groupLengthElementSize);
        for (uint32_t index = 0; index < groupLengthsAhead.count(); ++index) {
            if (groupLengthsAhead.at(index)->element != group->groupNumber) continue;
            group->hadGroupLength = 1;
            groupLengthsAhead.removeAt(index);
            break;
        }
    } else if (group->heapPush(element) == 0) {
        return 0;
    }
    addTo(encodedLength, size);
    addTo(group->groupLength, size);
    fillingGroup = group;
    lastElement = element;
    return 1;
}

int DataSet::addItem(DataSet* item) {
    if (draining != 0 || item == nullptr) return 0;
    if (lastElement != nullptr) {
        if (lastElement->items == nullptr) {
            lastElement->items = new (std::nothrow) IndexedList<DataSet*>();
            if (lastElement->items == nullptr) return 0;
        }
        if (lastElement->items->tryAppend(item) == 0) return 0;
        const uint32_t size = static_cast<uint32_t>(item->encodedLength) + itemHeaderSize;
        addTo(fillingGroup->groupLength, size);
        addTo(encodedLength, size);
        return 1;
    }
    if (looseItems == nullptr) {
        looseItems = new (std::nothrow) IndexedList<DataSet*>();
        if (looseItems == nullptr) return 0;
    }
    if (looseItems->tryAppend(item) == 0) return 0;
    addTo(looseItemsLength, static_cast<uint32_t>(item->encodedLength));
    return 1;
}

int DataSet::startDraining() {
    drainingGroup = nullptr;
    // Elements leave the set from now on: the remembered targets of addItem
    // must not outlive their ownership.
    fillingGroup = nullptr;
    lastElement = nullptr;
    // A group length whose group never came heads nothing.
    while (groupLengthsAhead.count() != 0) groupLengthsAhead.removeAt(0);
    while (fillList.count() != 0) {
        ElementGroup* group = fillList.at(0)->element;
        fillList.removeAt(0);
        if (heapPush(group) == 0) {
            // No node for the group: its elements cannot be handed out, so
            // they are released rather than leaked.
            while (group->count() != 0) delete group->heapPop();
            delete group;
        }
    }
    draining = 1;
    if (count() == 0) draining = 0;
    return draining;
}

DataElement* DataSet::nextElement() {
    if (draining == 0 && startDraining() == 0) return nullptr;
    if (drainingGroup == nullptr) {
        if (count() == 0) {
            draining = 0;
            return nullptr;
        }
        drainingGroup = heapPop();
        subtractFrom(encodedLength, groupLengthElementSize);
        uint8_t* bytes = new (std::nothrow) uint8_t[4];
        if (bytes != nullptr) {
            const uint32_t groupLength = static_cast<uint32_t>(drainingGroup->groupLength);
            bytes[0] = static_cast<uint8_t>(groupLength);
            bytes[1] = static_cast<uint8_t>(groupLength >> 8);
            bytes[2] = static_cast<uint8_t>(groupLength >> 16);
            bytes[3] = static_cast<uint8_t>(groupLength >> 24);
            DataElement* lengthElement = new (std::nothrow) DataElement(drainingGroup->groupNumber, 0, 4, bytes);
            if (lengthElement != nullptr) {
                lengthElement->vr = vrCode('U', 'L');
                lengthElement->computedGroupLength = drainingGroup->hadGroupLength != 0 ? 0 : 1;
                return lengthElement;
            }
            delete[] bytes;
        }
        // Without memory for it the group is handed out without its length element.
    }
    if (drainingGroup->count() != 0) {
        DataElement* element = drainingGroup->heapPop();
        const uint32_t size = encodedElementSize(element->length);
        subtractFrom(drainingGroup->groupLength, size);
        subtractFrom(encodedLength, size);
        return element;
    }
    delete drainingGroup;
    drainingGroup = nullptr;
    return nextElement();
}

int DataSet::clear() {
    while (DataElement* element = nextElement()) delete element;
    return 1;
}

DataElement* DataSet::find(uint16_t group, uint16_t element) {
    for (uint32_t index = 0; index < fillList.count(); ++index) {
        ElementGroup* candidate = fillList.at(index)->element;
        if (candidate->groupNumber != group) continue;
        for (uint32_t position = 0; position < candidate->count(); ++position) {
            DataElement* found = candidate->at(position)->element;
            if (found->element == element) return found;
        }
        return nullptr;
    }
    return nullptr;
}

uint16_t DataSet::findU16(uint16_t group, uint16_t element) {
    const DataElement* found = find(group, element);
    if (found == nullptr || found->value == nullptr || found->length != 2) return 0;
    return static_cast<uint16_t>(found->value[0] | (found->value[1] << 8));
}

DataSet* copyDataSet(DataSet* target, DataSet* source) {
    if (source == nullptr) return nullptr;
    bool made = false;
    if (target == nullptr) {
        target = new (std::nothrow) DataSet();
        if (target == nullptr) return nullptr;
        made = true;
    }
    bool complete = true;
    DataSet scratch;
    while (DataElement* element = source->nextElement()) {
        DataElement* copy = copyElement(nullptr, element);
        if (copy == nullptr) {
            complete = false;
        } else if (target->addElement(copy) == 0) {
            delete copy;
            complete = false;
        }
        // Group length elements are dropped here and recomputed on the next
        // drain; where the source's group had one, both sets record it.
        if (scratch.addElement(element) == 0) {
            delete element;
            complete = false;
        }
    }
    while (DataElement* element = scratch.nextElement()) {
        if (source->addElement(element) == 0) delete element;
    }
    if (!complete) {
        if (made) delete target;
        return nullptr;
    }
    return target;
}
