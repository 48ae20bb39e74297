#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "model/DataElement.h"
#include "../support/DataSetText.h"
#include "model/DataSet.h"

using datasets::textElement;
using datasets::u16Element;

namespace {

std::string valueText(const DataElement* element) {
    return std::string(reinterpret_cast<const char*>(element->value), element->length);
}

}  // namespace

TEST(DataElement, ConstructorsRoundOddLengthsUpWithAZeroPad) {
    DataElement allocated(0x0010, 0x0010, 5, 1);
    EXPECT_EQ(allocated.length, 6u);
    ASSERT_NE(allocated.value, nullptr);
    EXPECT_EQ(allocated.value[5], 0);
    EXPECT_EQ(allocated.ownsValue, 1);

    uint8_t buffer[4] = {'A', 'B', 'C', 0x7F};
    DataElement borrowed(0x0010, 0x0020, 3, buffer, 0);
    EXPECT_EQ(borrowed.length, 4u);
    EXPECT_EQ(buffer[3], 0);  // the pad byte of the caller's buffer is cleared
    EXPECT_EQ(borrowed.ownsValue, 0);

    DataElement noBuffer(0x0010, 0x0030, 7, 0);
    EXPECT_EQ(noBuffer.length, 8u);
    EXPECT_EQ(noBuffer.value, nullptr);
    EXPECT_EQ(noBuffer.ownsValue, 1);

    DataElement empty;
    EXPECT_TRUE(empty.sameTag(0, 0));
    EXPECT_EQ(empty.length, 0u);
    EXPECT_EQ(empty.vr, 0);
    EXPECT_EQ(empty.items, nullptr);
}

TEST(DataElement, UndefinedLengthIsNotRoundedToZero) {
    DataElement element(0x0008, 0x1115, 0xFFFFFFFFu, 0);
    EXPECT_EQ(element.length, 0xFFFFFFFFu);
}

TEST(DataElement, ComparesTagsAsUnsignedNumbers) {
    DataElement low(0x0028, 0x0010, 0, 0);
    DataElement high(0xFFFE, 0xE000, 0, 0);
    DataElement sameGroup(0x0028, 0x0011, 0, 0);
    EXPECT_TRUE(low < high);
    EXPECT_TRUE(high > low);
    EXPECT_TRUE(low < sameGroup);
    EXPECT_FALSE(low < low);
    EXPECT_FALSE(low > low);
}

TEST(DataElement, TakeValueMovesValueAndItemsOfTheSameTagOnly) {
    DataElement* source = textElement(0x0010, 0x0010, "DOE^JOHN");
    source->items = new IndexedList<DataSet*>();
    source->items->append(new DataSet());
    DataElement target(0x0010, 0x0010, 4, 1);
    DataElement other(0x0010, 0x0020, 0, 0);

    EXPECT_EQ(other.takeValue(source), 0);
    EXPECT_EQ(target.takeValue(nullptr), 0);
    EXPECT_EQ(target.takeValue(source), 1);
    EXPECT_EQ(valueText(&target), "DOE^JOHN");
    ASSERT_NE(target.items, nullptr);
    EXPECT_EQ(target.items->count(), 1u);
    EXPECT_EQ(source->length, 0u);
    EXPECT_EQ(source->value, nullptr);
    EXPECT_EQ(source->items, nullptr);
    EXPECT_EQ(source->ownsValue, 0);
    EXPECT_EQ(source->valueTaken, 1);
    EXPECT_EQ(target.takeValue(&target), 1);  // taking from itself keeps the value
    EXPECT_EQ(valueText(&target), "DOE^JOHN");
    delete source;
}

TEST(DataElement, MoveIntoHandsValueAndItemsToANewElementOfTheSink) {
    DataElement* source = textElement(0x0008, 0x1115, "SEQ!");
    source->items = new IndexedList<DataSet*>();
    auto* item = new DataSet();
    item->addElement(textElement(0x0008, 0x1150, "1.2.3"));
    source->items->append(item);
    DataSet sink;

    EXPECT_EQ(source->moveInto(&sink), 1);
    EXPECT_EQ(source->length, 0u);
    EXPECT_EQ(source->value, nullptr);
    EXPECT_EQ(source->items, nullptr);
    DataElement* moved = sink.find(0x0008, 0x1115);
    ASSERT_NE(moved, nullptr);
    EXPECT_EQ(valueText(moved), "SEQ!");
    ASSERT_NE(moved->items, nullptr);
    EXPECT_EQ(moved->items->at(0)->element, item);
    // 12 + (8 + 4) for the element, and the item's own size + 12.
    EXPECT_EQ(sink.encodedLength, 12 + 12 + item->encodedLength + 12);
    delete source;

    DataElement emptyElement(0x0010, 0x0010, 0, 0);
    EXPECT_EQ(emptyElement.moveInto(&sink), 0);
}

TEST(DataElement, MoveIntoADrainingSinkKeepsTheValue) {
    DataSet sink;
    sink.addElement(textElement(0x0008, 0x0020, "20260101"));
    delete sink.nextElement();  // sink is draining now
    DataElement* source = textElement(0x0010, 0x0010, "KEEP");
    EXPECT_EQ(source->moveInto(&sink), 0);
    EXPECT_EQ(valueText(source), "KEEP");
    delete source;
}

TEST(DataElement, ClearValueReleasesValueAndItems) {
    DataElement* element = textElement(0x0008, 0x1115, "ABCD");
    element->items = new IndexedList<DataSet*>();
    element->items->append(new DataSet());
    EXPECT_EQ(element->clearValue(), 1);
    EXPECT_EQ(element->length, 0u);
    EXPECT_EQ(element->value, nullptr);
    EXPECT_EQ(element->items, nullptr);
    delete element;
}

TEST(DataElement, CopyElementCopiesTagAndValueBytesIntoAnOwnBuffer) {
    DataElement* source = textElement(0x0020, 0x000D, "1.2.840.1");
    source->vr = vrCode('U', 'I');
    DataElement* copy = copyElement(nullptr, source);
    ASSERT_NE(copy, nullptr);
    EXPECT_TRUE(copy->sameTag(0x0020, 0x000D));
    EXPECT_NE(copy->value, source->value);
    EXPECT_EQ(valueText(copy), valueText(source));
    EXPECT_EQ(copy->ownsValue, 1);
    EXPECT_EQ(copy->vr, 0);  // vr is not copied

    DataElement target(0x0020, 0x000D, 2, 1);
    EXPECT_EQ(copyElement(&target, source), &target);
    EXPECT_EQ(valueText(&target), valueText(source));

    DataElement emptySource(0x0020, 0x000E, 0, 0);
    DataElement* emptyCopy = copyElement(nullptr, &emptySource);
    ASSERT_NE(emptyCopy, nullptr);
    EXPECT_EQ(emptyCopy->length, 0u);
    EXPECT_EQ(emptyCopy->value, nullptr);
    delete emptyCopy;
    delete copy;
    delete source;
}
