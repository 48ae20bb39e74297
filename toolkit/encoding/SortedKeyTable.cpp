#include "SortedKeyTable.h"

#include <new>

#include "../model/IndexedHeap.h"

namespace {

struct KeyedEntry {
    uint32_t key;
    KeyedRecord record;
};

struct KeyOrder {
    static bool less(const KeyedEntry& a, const KeyedEntry& b) { return a.key < b.key; }
    static bool greater(const KeyedEntry& a, const KeyedEntry& b) { return a.key > b.key; }
};

}  // namespace

SortedKeyTable::SortedKeyTable(uint32_t wantedCapacity, int withKeys) {
    records = new (std::nothrow) KeyedRecord[wantedCapacity];
    if (records != nullptr && withKeys != 0) {
        keys = new (std::nothrow) uint32_t[wantedCapacity];
        if (keys == nullptr) {
            delete[] records;
            records = nullptr;
        }
    }
    if (records != nullptr) capacity = wantedCapacity;
}

SortedKeyTable::~SortedKeyTable() {
    delete[] keys;
    delete[] records;
}

const KeyedRecord* SortedKeyTable::insert(uint32_t key, const KeyedRecord& record) {
    if (count < capacity) {
        if (keys != nullptr) keys[count] = key;
        records[count] = record;
        ++count;
    }
    return count != 0 ? &records[count - 1] : nullptr;
}

int SortedKeyTable::sort() {
    if (keys == nullptr) return 0;
    // A table filled in key order (as the shipped dictionary is) is sorted
    // already; the heap would only give the same order back.
    uint32_t ascending = 1;
    while (ascending < count && keys[ascending - 1] <= keys[ascending]) ++ascending;
    if (ascending >= count) return 1;

    IndexedHeap<KeyedEntry, KeyOrder, IndexedValueList> heap;
    uint32_t pushed = 0;
    while (pushed < count && heap.heapPush(KeyedEntry{keys[pushed], records[pushed]}) != 0) ++pushed;
    // Indexes 0 .. pushed-1 are exactly the entries in the heap, so they are
    // refilled from it in every case; entries that found no room stay where
    // they are, and the table is then not in order.
    for (uint32_t index = 0; index < pushed; ++index) {
        const KeyedEntry entry = heap.heapPop();
        keys[index] = entry.key;
        records[index] = entry.record;
    }
    return pushed == count ? 1 : 0;
}

int32_t SortedKeyTable::find(uint32_t key) const {
    if (keys == nullptr || count == 0) return -1;
    const int64_t size = count;
    // A probe that narrows by a halving step, then a scan from where it
    // stopped: the scan alone decides, so a probe that ends off the key
    // still finds it.
    int64_t at = size / 2;
    int64_t step = size / 2 - 1;
    while (keys[at] != key) {
        at += keys[at] > key ? -step : step;
        if (at >= size) {
            at = size - 1;
            break;
        }
        if (at <= 0) {
            at = 0;
            break;
        }
        if (step == 0) break;
        step /= 2;
    }
    if (keys[at] == key) return static_cast<int32_t>(at);
    if (keys[at] < key) {
        for (int64_t index = at + 1; index < size && keys[index] <= key; ++index) {
            if (keys[index] == key) return static_cast<int32_t>(index);
        }
        return -1;
    }
    for (int64_t index = at - 1; index >= 0 && keys[index] >= key; --index) {
        if (keys[index] == key) return static_cast<int32_t>(index);
    }
    return -1;
}
