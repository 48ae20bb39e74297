#ifndef DICOMTOOLKIT_MODEL_INDEXEDHEAP_H
#define DICOMTOOLKIT_MODEL_INDEXEDHEAP_H

#include "IndexedList.h"

// A binary min-heap kept in a list's index order: the children of index a are
// 2a+1 and 2a+2. Elements move between nodes by value; nodes are never
// relinked. Order supplies static less(a, b) and greater(a, b). Equal keys are
// not kept in insertion order.
template <typename T, typename Order, template <typename> class List = IndexedList>
class IndexedHeap : public List<T> {
public:
    // Returns 1, or 0 (heap unchanged) when no node could be allocated.
    int heapPush(const T& element) {
        if (this->tryAppend(element) == 0) return 0;
        uint32_t a = this->count() - 1;
        while (a != 0) {
            uint32_t b = (a - 1) / 2;
            T& child = this->at(a)->element;
            T& parent = this->at(b)->element;
            if (!Order::less(child, parent)) break;
            T swapped = child;
            child = parent;
            parent = swapped;
            a = b;
        }
        return 1;
    }

    // Takes the smallest element out and returns it. On an empty heap the
    // extraction slot keeps what it held; callers check count() first.
    T heapPop() {
        if (this->count() == 0) return extracted;
        extracted = this->at(0)->element;
        if (this->count() == 1) {
            this->removeAt(0);
            return extracted;
        }
        T last = this->at(this->count() - 1)->element;
        this->removeAt(this->count() - 1);
        uint32_t a = 0;
        const uint32_t n = this->count();
        for (;;) {
            uint32_t right = 2 * a + 2;
            uint32_t left = 2 * a + 1;
            if (right >= n) {
                if (left < n && Order::less(this->at(left)->element, last)) {
                    this->at(a)->element = this->at(left)->element;
                    a = left;
                }
                break;
            }
            uint32_t chosen = left;
            if (Order::greater(this->at(left)->element, this->at(right)->element)) chosen = right;
            if (!Order::less(this->at(chosen)->element, last)) break;
            this->at(a)->element = this->at(chosen)->element;
            a = chosen;
        }
        this->at(a)->element = last;
        return extracted;
    }

    T extracted{};
};

#endif
