#ifndef DICOMTOOLKIT_MODEL_INDEXEDLIST_H
#define DICOMTOOLKIT_MODEL_INDEXEDLIST_H

#include <cstdint>
#include <new>

// A doubly linked list addressed by position. A remembered cursor makes the
// ascending walk at(0), at(1), ... cost one step per call; any other access
// walks from the nearer end. Every append allocates one node.
//
// IndexedList holds pointers and never deletes what they point to: the holder
// deletes the objects before removing the nodes. IndexedValueList holds copies
// and destroys them with their nodes.
//
// When a node cannot be allocated, append leaves the list unchanged; callers
// that must know compare count() before and after, or use tryAppend.
template <typename T>
class IndexedList {
public:
    struct Node {
        T element;
        Node* previous;
        Node* next;
    };

    IndexedList() = default;
    IndexedList(const IndexedList&) = delete;
    IndexedList& operator=(const IndexedList&) = delete;

    virtual ~IndexedList() {
        if (ownsNodes == 1) {
            while (count_ != 0) removeAt(0);
        }
    }

    uint32_t count() const { return count_; }

    T append(const T& element) {
        tryAppend(element);
        return element;
    }

    // Same as append, but reports whether the node could be allocated (1) or not (0).
    int tryAppend(const T& element) {
        Node* node = new (std::nothrow) Node{element, tail_, nullptr};
        if (node == nullptr) return 0;
        if (tail_ != nullptr) tail_->next = node;
        else head_ = node;
        tail_ = node;
        ++count_;
        return 1;
    }

    Node* at(uint32_t index) {
        if (index >= count_) return nullptr;
        if (cursor_ != nullptr && index == cursorIndex_ + 1) {
            cursor_ = cursor_->next;
            cursorIndex_ = index;
            return cursor_;
        }
        cursor_ = walkTo(index);
        cursorIndex_ = index;
        return cursor_;
    }

    int removeAt(uint32_t index) {
        cursor_ = nullptr;
        cursorIndex_ = 0;
        if (index >= count_) return 0;
        Node* node = walkTo(index);
        if (node->previous != nullptr) node->previous->next = node->next;
        else head_ = node->next;
        if (node->next != nullptr) node->next->previous = node->previous;
        else tail_ = node->previous;
        delete node;
        --count_;
        return 1;
    }

protected:
    Node* walkTo(uint32_t index) const {
        Node* node;
        if (index < count_ / 2) {
            node = head_;
            for (uint32_t step = 0; step < index; ++step) node = node->next;
        } else {
            node = tail_;
            for (uint32_t step = count_ - index - 1; step != 0; --step) node = node->previous;
        }
        return node;
    }

private:
    Node* head_ = nullptr;
    Node* tail_ = nullptr;
    Node* cursor_ = nullptr;
    uint32_t cursorIndex_ = 0;
    uint32_t count_ = 0;

public:
    int32_t ownsNodes = 1;
};

// The same list holding copies of its elements.
template <typename V>
class IndexedValueList : public IndexedList<V> {};

#endif
