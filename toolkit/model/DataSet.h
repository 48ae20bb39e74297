#ifndef DICOMTOOLKIT_MODEL_DATASET_H
#define DICOMTOOLKIT_MODEL_DATASET_H

#include <cstdint>

#include "DataElement.h"
#include "IndexedHeap.h"

// Orders element pointers by (group, element), unsigned.
struct ElementOrder {
    static bool less(const DataElement* a, const DataElement* b) { return *a < *b; }
    static bool greater(const DataElement* a, const DataElement* b) { return *a > *b; }
};

// All elements of one group inside a DataSet, as a heap by tag. The group
// holds pointers only and never deletes elements.
class ElementGroup : public IndexedHeap<DataElement*, ElementOrder> {
public:
    explicit ElementGroup(uint16_t number);

    uint16_t groupNumber;
    // Encoded bytes of the group's contents, without its own group length element.
    int32_t groupLength = 0;
    // The group arrived with a group length element (or one was added to
    // it): writers that keep what they read write one again.
    int32_t hadGroupLength = 0;
};

struct GroupOrder {
    static bool less(const ElementGroup* a, const ElementGroup* b) { return a->groupNumber < b->groupNumber; }
    static bool greater(const ElementGroup* a, const ElementGroup* b) { return a->groupNumber > b->groupNumber; }
};

// The elements of one data set (or sequence item). A set is a priority queue:
// elements go in with addElement in any order and come out with nextElement,
// smallest tag first, each group headed by a freshly computed group length
// element (gggg,0000). find works only while the set is filling.
//
// A group length element added to a set is not kept (its value is always
// recomputed), but the set records that its group had one
// (ElementGroup::hadGroupLength), also when it comes before the rest of its
// group (as it does in a file); the one nextElement hands out for a group without that
// record is marked computedGroupLength. Draining one set into another
// carries the record, and writers that keep an object's encoding write
// group lengths only where it had them.
//
// encodedLength is the size of the set encoded with 8-byte element headers,
// group length elements included; items count their own size plus 12.
class DataSet : public IndexedHeap<ElementGroup*, GroupOrder> {
public:
    DataSet();
    virtual ~DataSet();

    DataSet(const DataSet&) = delete;
    DataSet& operator=(const DataSet&) = delete;

    // Attaches item to the last element added (or keeps it as a loose item
    // when no element has been added since the set was last drained).
    // Returns 1, or 0 when refused; the caller then keeps the item.
    virtual int addItem(DataSet* item);
    // Takes ownership on 1; on 0 the caller keeps the element. Group length
    // elements are deleted at once (they are always recomputed); one not
    // marked computedGroupLength records that its group has one.
    virtual int addElement(DataElement* element);
    // The next element in tag order, owned by the caller from now on, or null
    // when the set is exhausted (it is then filling again, empty).
    virtual DataElement* nextElement();
    // Drains and deletes every element.
    virtual int clear();

    DataElement* find(uint16_t group, uint16_t element);
    // The first two value bytes of an element of length 2, little endian; 0 otherwise.
    uint16_t findU16(uint16_t group, uint16_t element);

    ElementGroup* drainingGroup = nullptr;
    ElementGroup* fillingGroup = nullptr;
    DataElement* lastElement = nullptr;
    int32_t encodedLength = 0;
    int32_t draining = 0;
    IndexedList<ElementGroup*> fillList;
    IndexedList<DataSet*>* looseItems = nullptr;
    int32_t looseItemsLength = 0;
    // Groups whose group length element came before any other of their
    // elements, while the set fills.
    IndexedList<uint16_t> groupLengthsAhead;

private:
    int startDraining();
    // The filling group of that number, or null.
    ElementGroup* groupFor(uint16_t number);
    // Records that the group of that number has a group length element.
    int recordGroupLength(uint16_t number);
};

// The command part of a DIMSE message.
class CommandSet : public DataSet {
public:
    ~CommandSet() override;
};

// The data part of a DIMSE message, and the data set of a DICOM file.
class ObjectDataSet : public DataSet {
public:
    ~ObjectDataSet() override;
};

// Copies every element's tag and value bytes from source into target (a new
// set when target is null), leaving source as it was. Returns target, or null
// when memory ran out (a set made here is then deleted; source is intact).
DataSet* copyDataSet(DataSet* target, DataSet* source);

#endif
