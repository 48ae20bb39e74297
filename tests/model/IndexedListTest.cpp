#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "model/IndexedHeap.h"
#include "model/IndexedList.h"

namespace {


std::vector<int> walk(IndexedList<int*>& list) {
    std::vector<int> seen;
    for (uint32_t index = 0; index < list.count(); ++index) seen.push_back(*list.at(index)->element);
    return seen;
}

struct IntOrder {
    static bool less(int a, int b) { return a < b; }
    static bool greater(int a, int b) { return a > b; }
};

struct StringOrder {
    static bool less(const std::string& a, const std::string& b) { return a < b; }
    static bool greater(const std::string& a, const std::string& b) { return a > b; }
};

}  // namespace

TEST(IndexedList, AtPastTheEndReturnsNullAndRemoveAtPastTheEndFails) {
    int values[3] = {10, 20, 30};
    IndexedList<int*> list;
    for (int& value : values) list.append(&value);
    EXPECT_EQ(list.at(3), nullptr);
    EXPECT_EQ(list.at(1)->element, &values[1]);
    EXPECT_EQ(list.removeAt(3), 0);
    EXPECT_EQ(list.count(), 3u);
    EXPECT_EQ(walk(list), (std::vector<int>{10, 20, 30}));
}

TEST(IndexedList, SingleNodeIsHeadAndTailAndRemovingItEmptiesTheList) {
    int value = 7;
    IndexedList<int*> list;
    EXPECT_EQ(list.append(&value), &value);
    ASSERT_NE(list.at(0), nullptr);
    EXPECT_EQ(list.at(0), list.at(list.count() - 1));
    EXPECT_EQ(list.removeAt(0), 1);
    EXPECT_EQ(list.count(), 0u);
    EXPECT_EQ(list.at(0), nullptr);
    // Appending again after emptying links a fresh head.
    list.append(&value);
    EXPECT_EQ(walk(list), (std::vector<int>{7}));
}

TEST(IndexedList, WalksInAppendOrderAndRemovesFromAnyPosition) {
    int values[7] = {0, 1, 2, 3, 4, 5, 6};
    IndexedList<int*> list;
    for (int& value : values) list.append(&value);
    EXPECT_EQ(walk(list), (std::vector<int>{0, 1, 2, 3, 4, 5, 6}));
    // Back half, front half, the ends: each unlink must keep both directions intact.
    EXPECT_EQ(list.removeAt(5), 1);
    EXPECT_EQ(list.removeAt(1), 1);
    EXPECT_EQ(list.removeAt(0), 1);
    EXPECT_EQ(list.removeAt(list.count() - 1), 1);
    EXPECT_EQ(walk(list), (std::vector<int>{2, 3, 4}));
    // A descending walk goes through the tail-side path.
    EXPECT_EQ(*list.at(2)->element, 4);
    EXPECT_EQ(*list.at(1)->element, 3);
    EXPECT_EQ(*list.at(0)->element, 2);
}

TEST(IndexedList, CursorIsClearedByRemoveSoTheNextAtWalksAfresh) {
    int values[4] = {0, 1, 2, 3};
    IndexedList<int*> list;
    for (int& value : values) list.append(&value);
    list.at(0);
    list.at(1);  // cursor on index 1, the node holding 1
    list.removeAt(0);
    // Index 2 now holds 3; a cursor left in place would step on to 2.
    EXPECT_EQ(*list.at(2)->element, 3);
    EXPECT_EQ(walk(list), (std::vector<int>{1, 2, 3}));
}

namespace {

// Counts its destructions.
struct Held {
    explicit Held(int* count) : destroyed(count) {}
    ~Held() { ++*destroyed; }
    int* destroyed;
};

}  // namespace

TEST(IndexedList, NonOwningListLeavesNodesToItsHolder) {
    int destroyed = 0;
    Held* first = new Held(&destroyed);
    Held* second = new Held(&destroyed);
    auto* list = new IndexedList<Held*>();
    list->append(first);
    list->append(second);
    list->removeAt(0);
    delete list;  // removes the node of second on the way
    // Neither removal nor destruction touches the objects pointed to.
    EXPECT_EQ(destroyed, 0);
    if (destroyed == 0) {
        delete first;
        delete second;
    }
    EXPECT_EQ(destroyed, 2);
}

TEST(IndexedValueList, OwnsAndDestroysItsCopies) {
    IndexedValueList<std::string> list;
    std::string text = "a value long enough to live on the heap";
    list.append(text);
    text[0] = 'X';
    EXPECT_EQ(list.at(0)->element, "a value long enough to live on the heap");
    EXPECT_EQ(list.removeAt(0), 1);
}

TEST(IndexedHeap, PopsInAscendingOrderForManyPushOrders) {
    const std::vector<std::vector<int>> cases = {
        {5, 3, 8, 1},
        {1, 2, 3, 4, 5, 6, 7, 8, 9},
        {9, 8, 7, 6, 5, 4, 3, 2, 1},
        {4, 4, 2, 2, 9, 1, 1},
        {42},
    };
    for (const auto& pushes : cases) {
        IndexedHeap<int, IntOrder> heap;
        for (int value : pushes) EXPECT_EQ(heap.heapPush(value), 1);
        std::vector<int> popped;
        while (heap.count() != 0) popped.push_back(heap.heapPop());
        std::vector<int> sorted = pushes;
        std::sort(sorted.begin(), sorted.end());
        EXPECT_EQ(popped, sorted);
    }
}

TEST(IndexedHeap, PopOnEmptyHeapReturnsTheLastExtractedValue) {
    IndexedHeap<int, IntOrder> heap;
    heap.heapPush(3);
    EXPECT_EQ(heap.heapPop(), 3);
    EXPECT_EQ(heap.count(), 0u);
    EXPECT_EQ(heap.heapPop(), 3);
}

TEST(IndexedHeap, SortsPseudoRandomKeysOverValueList) {
    IndexedHeap<std::string, StringOrder, IndexedValueList> heap;
    uint32_t state = 12345;
    std::vector<std::string> keys;
    for (int index = 0; index < 500; ++index) {
        state = state * 1103515245u + 12345u;
        keys.push_back(std::to_string((state >> 8) % 1000));
        heap.heapPush(keys.back());
    }
    std::sort(keys.begin(), keys.end());
    std::vector<std::string> popped;
    while (heap.count() != 0) popped.push_back(heap.heapPop());
    EXPECT_EQ(popped, keys);
}
