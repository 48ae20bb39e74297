#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "../support/DataSetText.h"
#include "model/DataSet.h"

using datasets::textElement;
using datasets::u16Element;

namespace {

uint32_t u32Value(const DataElement* element) {
    return element->value[0] | element->value[1] << 8 | element->value[2] << 16 |
           static_cast<uint32_t>(element->value[3]) << 24;
}

using Tag = std::pair<uint16_t, uint16_t>;

// Drains the set, returning the tags in the order they came out; group length
// values are collected per group.
std::vector<Tag> drainTags(DataSet& set, std::vector<uint32_t>* groupLengths = nullptr) {
    std::vector<Tag> tags;
    while (DataElement* element = set.nextElement()) {
        tags.emplace_back(element->group, element->element);
        if (element->element == 0 && groupLengths != nullptr) groupLengths->push_back(u32Value(element));
        delete element;
    }
    return tags;
}

}  // namespace

TEST(DataSet, DrainsInTagOrderWithAGroupLengthAtTheHeadOfEachGroup) {
    DataSet set;
    set.addElement(textElement(0x0008, 0x0016, "1.2.840.10008.5.1.4.1.1.2"));  // 25 -> 26
    set.addElement(textElement(0x0010, 0x0010, "DOE^JANE"));
    set.addElement(textElement(0x0008, 0x0018, "1.2.3.4"));  // 7 -> 8
    set.addElement(textElement(0x0010, 0x4000, std::string(300, 'c')));  // a group length past 255
    std::vector<uint32_t> groupLengths;
    EXPECT_EQ(drainTags(set, &groupLengths),
              (std::vector<Tag>{{0x0008, 0x0000}, {0x0008, 0x0016}, {0x0008, 0x0018}, {0x0010, 0x0000}, {0x0010, 0x0010},
                                {0x0010, 0x4000}}));
    EXPECT_EQ(groupLengths, (std::vector<uint32_t>{50, 324}));  // 8 + 26 + 8 + 8; 8 + 8 + 8 + 300
    EXPECT_EQ(set.draining, 0);
    EXPECT_EQ(set.encodedLength, 0);
}

TEST(DataSet, GroupLengthElementsCarryVrUlAndAreRecomputedWhenAdded) {
    DataSet set;
    EXPECT_EQ(set.addElement(new DataElement(0x0028, 0x0000, 4, 1)), 1);  // taken and deleted
    set.addElement(u16Element(0x0028, 0x0010, 512));
    EXPECT_EQ(set.encodedLength, 12 + 10);
    DataElement* first = set.nextElement();
    ASSERT_NE(first, nullptr);
    EXPECT_TRUE(first->sameTag(0x0028, 0x0000));
    EXPECT_EQ(first->length, 4u);
    EXPECT_EQ(first->vr, vrCode('U', 'L'));
    EXPECT_EQ(u32Value(first), 10u);
    delete first;
    EXPECT_EQ(drainTags(set), (std::vector<Tag>{{0x0028, 0x0010}}));
}

TEST(DataSet, EmptySetYieldsNothingAndStaysFilling) {
    DataSet set;
    EXPECT_EQ(set.nextElement(), nullptr);
    EXPECT_EQ(set.draining, 0);
    EXPECT_EQ(set.addElement(u16Element(0x0028, 0x0100, 16)), 1);
    EXPECT_EQ(set.findU16(0x0028, 0x0100), 16);
}

TEST(DataSet, SortsDescendingInsertionsAndUnsignedGroups) {
    DataSet set;
    set.addElement(new DataElement(0xFFFE, 0xE000, 0, 0));
    set.addElement(new DataElement(0x7FE0, 0x0010, 0, 0));
    set.addElement(new DataElement(0x0028, 0x0101, 0, 0));
    set.addElement(new DataElement(0x0028, 0x0100, 0, 0));
    set.addElement(new DataElement(0x0028, 0x0011, 0, 0));
    set.addElement(new DataElement(0x8000, 0x0001, 0, 0));
    EXPECT_EQ(drainTags(set), (std::vector<Tag>{{0x0028, 0x0000},
                                               {0x0028, 0x0011},
                                               {0x0028, 0x0100},
                                               {0x0028, 0x0101},
                                               {0x7FE0, 0x0000},
                                               {0x7FE0, 0x0010},
                                               {0x8000, 0x0000},
                                               {0x8000, 0x0001},
                                               {0xFFFE, 0x0000},
                                               {0xFFFE, 0xE000}}));
}

TEST(DataSet, KeepsBothElementsOfARepeatedTag) {
    DataSet set;
    DataElement* first = textElement(0x0010, 0x0010, "AA");
    set.addElement(first);
    set.addElement(textElement(0x0010, 0x0010, "BB"));
    EXPECT_EQ(set.find(0x0010, 0x0010), first);
    EXPECT_EQ(drainTags(set), (std::vector<Tag>{{0x0010, 0x0000}, {0x0010, 0x0010}, {0x0010, 0x0010}}));
}

TEST(DataSet, OddLengthValueCountsItsPadByte) {
    DataSet set;
    DataElement* element = textElement(0x0010, 0x0020, "12345");
    EXPECT_EQ(element->length, 6u);
    EXPECT_EQ(element->value[5], 0);
    set.addElement(element);
    EXPECT_EQ(set.encodedLength, 12 + 8 + 6);
}

TEST(DataSet, RefusesWhileDrainingAndFindsNothing) {
    DataSet set;
    set.addElement(u16Element(0x0028, 0x0010, 4));
    set.addElement(u16Element(0x0028, 0x0011, 4));
    delete set.nextElement();  // draining now, halfway
    EXPECT_EQ(set.find(0x0028, 0x0011), nullptr);
    EXPECT_EQ(set.findU16(0x0028, 0x0011), 0);
    DataElement refused(0x0010, 0x0010, 0, 0);
    EXPECT_EQ(set.addElement(&refused), 0);
    DataSet item;
    EXPECT_EQ(set.addItem(&item), 0);
    // The set is destroyed while draining halfway: the remaining elements go with it.
}

TEST(DataSet, AcceptsElementsAgainAfterACompleteDrain) {
    DataSet set;
    set.addElement(u16Element(0x0028, 0x0010, 4));
    drainTags(set);
    EXPECT_EQ(set.encodedLength, 0);
    EXPECT_EQ(set.addElement(u16Element(0x0028, 0x0011, 8)), 1);
    EXPECT_EQ(set.findU16(0x0028, 0x0011), 8);
    EXPECT_EQ(drainTags(set), (std::vector<Tag>{{0x0028, 0x0000}, {0x0028, 0x0011}}));
}

TEST(DataSet, FindU16ReadsOnlyTwoByteValues) {
    DataSet set;
    set.addElement(u16Element(0x0028, 0x0100, 0x1234));
    set.addElement(new DataElement(0x0028, 0x0101, 4, 1));
    set.addElement(new DataElement(0x0028, 0x0102, 2, 0));  // no value
    EXPECT_EQ(set.findU16(0x0028, 0x0100), 0x1234);
    EXPECT_EQ(set.findU16(0x0028, 0x0101), 0);
    EXPECT_EQ(set.findU16(0x0028, 0x0102), 0);
    EXPECT_EQ(set.findU16(0x0028, 0x0103), 0);
    EXPECT_EQ(set.find(0x0029, 0x0100), nullptr);
}

TEST(DataSet, ItemsCountTowardsTheGroupAndTheSet) {
    DataSet set;
    auto* item = new DataSet();
    item->addElement(textElement(0x0008, 0x1150, "1.2"));  // 12 + 8 + 4 = 24
    set.addElement(new DataElement(0x0008, 0x1115, 0, 0));
    EXPECT_EQ(set.addItem(item), 1);
    EXPECT_EQ(set.encodedLength, 12 + 8 + 24 + 12);
    std::vector<uint32_t> groupLengths;
    DataElement* lengthElement = set.nextElement();
    EXPECT_EQ(u32Value(lengthElement), 8u + 24 + 12);
    delete lengthElement;
    DataElement* sequence = set.nextElement();
    ASSERT_NE(sequence->items, nullptr);
    EXPECT_EQ(sequence->items->at(0)->element, item);
    delete sequence;  // deletes its item
}

TEST(DataSet, ItemAddedAfterACompleteDrainIsNeverAttachedToAHandedOutElement) {
    DataSet set;
    set.addElement(new DataElement(0x0008, 0x1115, 0, 0));
    drainTags(set);  // the element is deleted by the caller here
    auto* item = new DataSet();
    EXPECT_EQ(set.addItem(item), 1);
    ASSERT_NE(set.looseItems, nullptr);
    EXPECT_EQ(set.looseItems->count(), 1u);
    EXPECT_EQ(set.encodedLength, 0);
    // The loose item is released with the set (LeakSanitizer checks this).
}

TEST(DataSet, LooseItemsBeforeAnyElementAreKeptApart) {
    DataSet set;
    auto* item = new DataSet();
    item->addElement(u16Element(0x0028, 0x0010, 1));
    EXPECT_EQ(set.addItem(item), 1);
    EXPECT_EQ(set.looseItemsLength, item->encodedLength);
    EXPECT_EQ(set.encodedLength, 0);
    EXPECT_EQ(set.nextElement(), nullptr);
}

TEST(DataSet, ClearDeletesEverythingAndLeavesTheSetFilling) {
    DataSet set;
    set.addElement(u16Element(0x0028, 0x0010, 1));
    set.addElement(u16Element(0x0018, 0x0050, 1));
    EXPECT_EQ(set.clear(), 1);
    EXPECT_EQ(set.draining, 0);
    EXPECT_EQ(set.encodedLength, 0);
    EXPECT_EQ(set.nextElement(), nullptr);
}

TEST(DataSet, SubclassesAreDeletedThroughTheBase) {
    std::unique_ptr<DataSet> command(new CommandSet());
    std::unique_ptr<DataSet> object(new ObjectDataSet());
    command->addElement(u16Element(0x0000, 0x0100, 0x0030));
    command->addElement(u16Element(0x0000, 0x0800, 0x0101));
    object->addElement(textElement(0x0010, 0x0010, "X"));
    EXPECT_EQ(command->findU16(0x0000, 0x0800), 0x0101);
}

TEST(DataSet, RestoreIdiomKeepsEveryElement) {
    DataSet source;
    source.addElement(textElement(0x0010, 0x0010, "DOE^JOHN"));
    source.addElement(u16Element(0x0028, 0x0010, 256));
    DataSet scratch;
    int seen = 0;
    while (DataElement* element = source.nextElement()) {
        ++seen;
        scratch.addElement(element);
    }
    while (DataElement* element = scratch.nextElement()) source.addElement(element);
    EXPECT_EQ(seen, 4);  // two group length elements and two elements
    EXPECT_EQ(source.findU16(0x0028, 0x0010), 256);
    EXPECT_EQ(source.encodedLength, 12 + 16 + 12 + 10);
}

TEST(DataSet, CopyDataSetCopiesValuesAndLeavesTheSourceIntact) {
    DataSet source;
    DataElement* name = textElement(0x0010, 0x0010, "DOE^JOHN");
    source.addElement(name);
    source.addElement(u16Element(0x0028, 0x0010, 256));
    DataSet* copy = copyDataSet(nullptr, &source);
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(copy->encodedLength, source.encodedLength);
    DataElement* copiedName = copy->find(0x0010, 0x0010);
    ASSERT_NE(copiedName, nullptr);
    EXPECT_NE(copiedName, name);
    EXPECT_NE(copiedName->value, name->value);
    EXPECT_EQ(std::memcmp(copiedName->value, "DOE^JOHN", 8), 0);
    EXPECT_EQ(copy->findU16(0x0028, 0x0010), 256);
    EXPECT_EQ(source.find(0x0010, 0x0010), name);
    EXPECT_EQ(source.findU16(0x0028, 0x0010), 256);

    DataSet target;
    EXPECT_EQ(copyDataSet(&target, &source), &target);
    EXPECT_EQ(target.findU16(0x0028, 0x0010), 256);
    EXPECT_EQ(copyDataSet(&target, nullptr), nullptr);
    delete copy;
}

namespace {

// The group length elements a drain hands out: (group, whether computed
// for a group that arrived without one), in order.
std::vector<std::pair<uint16_t, int32_t>> drainGroupLengths(DataSet& set) {
    std::vector<std::pair<uint16_t, int32_t>> found;
    while (DataElement* element = set.nextElement()) {
        if (element->element == 0) found.emplace_back(element->group, element->computedGroupLength);
        delete element;
    }
    return found;
}

DataElement* groupLengthElement(uint16_t group) {
    auto* element = new DataElement(group, 0x0000, 4, 1);
    std::memset(element->value, 0, 4);
    return element;
}

}  // namespace

TEST(DataSet, RecordsWhichGroupsArrivedWithAGroupLength) {
    // A reader adds a group length before the rest of its group, and it can
    // come alone: the record waits for the group and heads nothing without it.
    DataSet set;
    set.addElement(groupLengthElement(0x0010));
    set.addElement(groupLengthElement(0x0020));  // no element of group 0020 follows
    set.addElement(textElement(0x0008, 0x0060, "CT"));
    set.addElement(textElement(0x0010, 0x0010, "A^B"));
    set.addElement(textElement(0x0018, 0x0015, "HEAD"));
    set.addElement(groupLengthElement(0x0018));  // after the group's elements
    const std::vector<std::pair<uint16_t, int32_t>> expected = {{0x0008, 1}, {0x0010, 0}, {0x0018, 0}};
    EXPECT_EQ(drainGroupLengths(set), expected);

    // Filling again, the set starts without records.
    set.addElement(textElement(0x0010, 0x0010, "A^B"));
    set.addElement(textElement(0x0020, 0x000D, "1.2"));
    const std::vector<std::pair<uint16_t, int32_t>> fresh = {{0x0010, 1}, {0x0020, 1}};
    EXPECT_EQ(drainGroupLengths(set), fresh);
}

TEST(DataSet, DrainingIntoAnotherSetAndCopyingCarryTheRecord) {
    DataSet source;
    source.addElement(groupLengthElement(0x0010));
    source.addElement(textElement(0x0010, 0x0010, "A^B"));
    source.addElement(textElement(0x0008, 0x0060, "CT"));

    std::unique_ptr<DataSet> copy(copyDataSet(nullptr, &source));
    ASSERT_NE(copy, nullptr);
    DataSet refilled;
    while (DataElement* element = source.nextElement()) {
        if (refilled.addElement(element) == 0) delete element;
    }
    const std::vector<std::pair<uint16_t, int32_t>> expected = {{0x0008, 1}, {0x0010, 0}};
    EXPECT_EQ(drainGroupLengths(*copy), expected);
    EXPECT_EQ(drainGroupLengths(refilled), expected);
}
