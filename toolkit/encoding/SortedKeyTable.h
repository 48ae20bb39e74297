#ifndef DICOMTOOLKIT_ENCODING_SORTEDKEYTABLE_H
#define DICOMTOOLKIT_ENCODING_SORTEDKEYTABLE_H

#include <cstdint>

// One entry of the data dictionary: the tag (group << 16 | element), the VR
// code and the texts, which belong to whoever filled the table (null when
// not kept).
struct KeyedRecord {
    uint32_t tag = 0;
    uint32_t vr = 0;
    char* name = nullptr;
    char* keyword = nullptr;
};

// A table of fixed capacity whose entries, once sorted, ascend by an unsigned
// 32-bit key. Entries go in with insert in any order; sort puts them in key
// order; find looks a key up. A table made without a key array holds records
// only and can be neither sorted nor searched.
class SortedKeyTable {
public:
    // Obtains the record array, and the key array when withKeys is non-zero.
    // When memory is short the arrays are null and the capacity is 0.
    SortedKeyTable(uint32_t capacity, int withKeys);
    ~SortedKeyTable();

    SortedKeyTable(const SortedKeyTable&) = delete;
    SortedKeyTable& operator=(const SortedKeyTable&) = delete;

    // Stores key and record at index count while there is room (at capacity
    // nothing is stored). Returns the last stored record, or null when the
    // table is empty.
    const KeyedRecord* insert(uint32_t key, const KeyedRecord& record);
    // Puts the entries in ascending key order: 1, or 0 when there is no key
    // array or memory for the sort ran out (the order is then undefined).
    // Entries of equal keys end up next to each other in no defined order.
    int sort();
    // The index of an entry with exactly key, or -1 (also for an empty table
    // or one without keys).
    int32_t find(uint32_t key) const;

    KeyedRecord* recordAt(uint32_t index) { return index < count ? &records[index] : nullptr; }
    const KeyedRecord* recordAt(uint32_t index) const { return index < count ? &records[index] : nullptr; }
    uint32_t countOf() const { return count; }

    uint32_t capacity = 0;
    uint32_t count = 0;
    uint32_t* keys = nullptr;
    KeyedRecord* records = nullptr;
};

#endif
