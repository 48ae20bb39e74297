#include "DataElement.h"

#include <cstring>
#include <new>

#include "DataSet.h"

namespace {

// The all-ones length marks an undefined length. It is kept as it is: rounded
// up it would wrap to 0.
constexpr uint32_t undefinedLength = 0xFFFFFFFFu;

}  // namespace

DataElement::DataElement() = default;

DataElement::DataElement(uint16_t group_, uint16_t element_, uint32_t length_, int allocate)
    : group(group_), element(element_) {
    setLength(length_);
    if (allocate != 0 && length != undefinedLength) {
        value = new (std::nothrow) uint8_t[length == 0 ? 1 : length];
        if (value == nullptr) {
            length = 0;
        } else if ((length_ & 1u) != 0) {
            value[length - 1] = 0;
        }
    }
}

DataElement::DataElement(uint16_t group_, uint16_t element_, uint32_t length_, uint8_t* buffer)
    : DataElement(group_, element_, length_, buffer, 1) {}

DataElement::DataElement(uint16_t group_, uint16_t element_, uint32_t length_, uint8_t* buffer, int owns)
    : group(group_), element(element_), value(buffer), ownsValue(owns) {
    setLength(length_);
    if (buffer != nullptr && (length_ & 1u) != 0 && length != undefinedLength) value[length - 1] = 0;
}

DataElement::~DataElement() {
    if (ownsValue != 0 && value != nullptr) delete[] value;
    deleteItems();
}

void DataElement::setLength(uint32_t requested) {
    length = requested;
    if ((requested & 1u) != 0 && requested != undefinedLength) ++length;
}

void DataElement::deleteItems() {
    if (items == nullptr) return;
    while (items->count() != 0) {
        delete items->at(0)->element;
        items->removeAt(0);
    }
    delete items;
    items = nullptr;
}

bool DataElement::operator>(const DataElement& other) const {
    return group > other.group || (group == other.group && element > other.element);
}

bool DataElement::operator<(const DataElement& other) const {
    return group < other.group || (group == other.group && element < other.element);
}

bool DataElement::sameTag(uint16_t otherGroup, uint16_t otherElement) const {
    return group == otherGroup && element == otherElement;
}

int DataElement::takeValue(DataElement* other) {
    if (other == nullptr || !sameTag(other->group, other->element)) return 0;
    if (other == this) return 1;
    if (ownsValue != 0 && value != nullptr) delete[] value;
    deleteItems();
    length = other->length;
    value = other->value;
    items = other->items;
    ownsValue = other->ownsValue;
    other->length = 0;
    other->value = nullptr;
    other->items = nullptr;
    other->ownsValue = 0;
    other->valueTaken = 1;
    return 1;
}

int DataElement::moveInto(DataSet* sink) {
    if (length == 0 && valueTaken == 0) return 0;
    if (sink == nullptr) return 0;
    DataElement* moved = new (std::nothrow) DataElement(group, element, 0, 0);
    if (moved == nullptr) return 0;
    // The sink counts the element's length when it takes it, so the value
    // goes over first; a refusal gives it back.
    moved->length = length;
    moved->value = value;
    moved->ownsValue = ownsValue;
    if (sink->addElement(moved) == 0) {
        moved->value = nullptr;
        delete moved;
        return 0;
    }
    length = 0;
    value = nullptr;
    ownsValue = 0;
    if (items != nullptr) {
        // Items land on the element just added. One the sink cannot take
        // stays here rather than being lost.
        while (items->count() != 0 && sink->addItem(items->at(0)->element) != 0) items->removeAt(0);
        if (items->count() == 0) {
            delete items;
            items = nullptr;
        }
    }
    return 1;
}

int DataElement::clearValue() {
    if (ownsValue != 0 && value != nullptr) delete[] value;
    deleteItems();
    length = 0;
    value = nullptr;
    ownsValue = 0;
    return 1;
}

DataElement* copyElement(DataElement* target, const DataElement* source) {
    if (source == nullptr) return nullptr;
    bool made = false;
    if (target == nullptr) {
        target = new (std::nothrow) DataElement(source->group, source->element, 0, 0);
        if (target == nullptr) return nullptr;
        made = true;
    }
    target->computedGroupLength = source->computedGroupLength;
    if (source->length != 0 && source->value != nullptr) {
        uint8_t* copy = new (std::nothrow) uint8_t[source->length];
        if (copy == nullptr) {
            if (made) delete target;
            return nullptr;
        }
        std::memcpy(copy, source->value, source->length);
        if (target->ownsValue != 0 && target->value != nullptr) delete[] target->value;
        target->value = copy;
        target->length = source->length;
        target->ownsValue = 1;
    }
    return target;
}
