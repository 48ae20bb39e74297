#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "WireTestSupport.h"
#include "network/UidItems.h"
#include "network/UidValue.h"

namespace {

// Transfer syntax item "1.2.840.10008.1.2" (implicit VR little endian).
const uint8_t implicitLittleEndianItem[] = {
    0x40, 0x00,              // item type transfer syntax, reserved
    0x00, 0x11,              // item length 17
    '1', '.', '2', '.', '8', '4', '0', '.', '1', '0', '0', '0', '8',  // "1.2.840.10008"
    '.', '1', '.', '2',                                               // ".1.2"
};

const std::string sixtyFour(64, '7');

}  // namespace

TEST(UidValue, StartsEmptyWithEveryCharacterZero) {
    UidValue value;
    EXPECT_EQ(value.size(), 0u);
    for (char character : value.characters) EXPECT_EQ(character, '\0');
}

TEST(UidValue, AssigningClearsTheOldCharacters) {
    UidValue value("1.2.840.10008.5.1.4.1.1.2");
    ASSERT_EQ(value.assign("1.2"), 1);
    EXPECT_EQ(value.size(), 3u);
    EXPECT_STREQ(value.text(), "1.2");
    for (uint32_t index = 3; index <= UidValue::capacity; ++index) EXPECT_EQ(value.characters[index], '\0') << index;
}

TEST(UidValue, TakesAtMostSixtyFourCharacters) {
    UidValue full;
    EXPECT_EQ(full.assign(sixtyFour.c_str()), 1);
    EXPECT_EQ(full.size(), 64u);
    EXPECT_EQ(std::strlen(full.text()), 64u);  // still terminated

    struct Case {
        const char* what;
        int (*assign)(UidValue&);
    };
    const Case refused[] = {
        {"65 characters", [](UidValue& v) { return v.assign(std::string(65, '1').c_str()); }},
        {"a null text", [](UidValue& v) { return v.assign(static_cast<const char*>(nullptr)); }},
        {"65 raw bytes", [](UidValue& v) {
             const std::string bytes(65, '2');
             return v.assign(reinterpret_cast<const uint8_t*>(bytes.data()), 65);
         }},
    };
    for (const Case& c : refused) {
        SCOPED_TRACE(c.what);
        UidValue value("1.2.3");
        EXPECT_EQ(c.assign(value), 0);
        EXPECT_EQ(value, UidValue("1.2.3"));  // left as it was
    }
    EXPECT_EQ(UidValue(std::string(65, '1').c_str()).size(), 0u);
}

TEST(UidValue, EqualityComparesTheCountedBytesWithoutTrimming) {
    const uint8_t withNul[] = {'1', '.', '2', '\0'};
    const uint8_t withSpace[] = {'1', '.', '2', ' '};
    UidValue nulPadded, spacePadded;
    nulPadded.assign(withNul, 4);
    spacePadded.assign(withSpace, 4);
    EXPECT_EQ(nulPadded.size(), 4u);

    struct Case {
        const char* what;
        UidValue left, right;
        bool equal;
    };
    const Case cases[] = {
        {"same text", UidValue("1.2.840.10008.1.2"), UidValue("1.2.840.10008.1.2"), true},
        {"one a prefix of the other", UidValue("1.2.840.10008.1.2"), UidValue("1.2.840.10008.1.2.1"), false},
        {"trailing NUL inside the length", nulPadded, UidValue("1.2"), false},
        {"trailing space inside the length", spacePadded, UidValue("1.2"), false},
        {"same length, last byte differs", UidValue("1.2.3"), UidValue("1.2.4"), false},
        {"both empty", UidValue(), UidValue(""), true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(c.left == c.right, c.equal);
        EXPECT_EQ(c.right == c.left, c.equal);
        EXPECT_EQ(c.left != c.right, !c.equal);
    }
}

TEST(UidItem, EachClassEncodesAnEmptyValueAsItsFourByteHeader) {
    struct Case {
        const char* what;
        UidItem item;
        uint8_t type;
    };
    const Case cases[] = {
        {"application context", ApplicationContextItem(""), 0x10},
        {"abstract syntax", AbstractSyntaxItem(""), 0x30},
        {"transfer syntax", TransferSyntaxItem(""), 0x40},
        {"implementation class UID", ImplementationClassUidItem(""), 0x52},
        {"implementation version name", ImplementationVersionNameItem(""), 0x55},
    };
    for (Case c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(c.item.encodedSize(), 4u);
        EXPECT_EQ(encoded(c.item), std::vector<uint8_t>({c.type, 0x00, 0x00, 0x00}));
    }
}

TEST(UidItem, EncodesATransferSyntax) {
    TransferSyntaxItem item("1.2.840.10008.1.2");
    EXPECT_EQ(item.encodedSize(), 21u);
    EXPECT_EQ(item.itemLength, 17u);
    EXPECT_EQ(encoded(item), bytesOf(implicitLittleEndianItem));
}

TEST(UidItem, ReadTakesTheTypeByteItFinds) {
    // read stores the type byte without comparing it with the class's own.
    WireStream stream(withSentinel(bytesOf(implicitLittleEndianItem)));
    AbstractSyntaxItem item;
    EXPECT_EQ(item.read(&stream), 1);
    EXPECT_EQ(item.itemType, 0x40);
    EXPECT_EQ(item.reserved, 0x00);
    EXPECT_EQ(item.itemLength, 17u);
    EXPECT_EQ(item.value, UidValue("1.2.840.10008.1.2"));
    EXPECT_EQ(item.encodedSize(), 21u);
    expectOnlySentinelLeft(stream);
}

TEST(UidItem, ReadBodyAfterTheTypeByteKeepsTheConstructorsType) {
    const std::vector<uint8_t> bytes = bytesOf(implicitLittleEndianItem);
    WireStream stream(withSentinel(std::vector<uint8_t>(bytes.begin() + 1, bytes.end())));
    ImplementationClassUidItem item;
    EXPECT_EQ(item.readBody(&stream), 1);
    EXPECT_EQ(item.itemType, 0x52);
    EXPECT_EQ(item.value, UidValue("1.2.840.10008.1.2"));
    expectOnlySentinelLeft(stream);
}

TEST(UidItem, RoundTripsValuesFromEmptyToSixtyFourCharacters) {
    for (const std::string& text : {std::string(), std::string("1"), std::string("OFFIS_DCMTK_367"), sixtyFour}) {
        SCOPED_TRACE(text);
        ImplementationVersionNameItem sent(text.c_str());
        WireStream stream(withSentinel(encoded(sent)));
        ImplementationVersionNameItem received;
        EXPECT_EQ(received.read(&stream), 1);
        EXPECT_EQ(received.value, sent.value);
        EXPECT_EQ(received.itemLength, text.size());
        expectOnlySentinelLeft(stream);
    }
}

TEST(UidItem, ATrailingNulReadInsideTheLengthIsPartOfTheValue) {
    const uint8_t bytes[] = {
        0x40, 0x00, 0x00, 0x04,  // transfer syntax item, length 4
        '1', '.', '2', 0x00,     // "1.2" and a NUL the peer counted
    };
    WireStream stream(bytesOf(bytes));
    TransferSyntaxItem item;
    ASSERT_EQ(item.read(&stream), 1);
    EXPECT_EQ(item.value.size(), 4u);
    EXPECT_NE(item.value, UidValue("1.2"));
}

TEST(UidItem, WritingWithoutSizingSendsTheOldLength) {
    TransferSyntaxItem item("1.2");
    item.encodedSize();
    item.setValue("1.2.840.10008.1.2");
    WireStream stream;
    item.write(&stream);
    EXPECT_EQ(stream.output, std::vector<uint8_t>({0x40, 0x00, 0x00, 0x03, '1', '.', '2'}));
}

TEST(UidItem, SettingAValueLongerThanSixtyFourIsRefused) {
    TransferSyntaxItem item("1.2.840.10008.1.2");
    EXPECT_EQ(item.setValue(std::string(65, '9').c_str()), 0);
    EXPECT_EQ(item.value, UidValue("1.2.840.10008.1.2"));
}

TEST(UidItem, AValueLongerThanSixtyFourIsMalformedAndSkipped) {
    std::vector<uint8_t> bytes = {0x40, 0x00, 0x00, 0x41};  // length 65
    bytes.insert(bytes.end(), 65, '1');
    WireStream stream(withSentinel(bytes));
    TransferSyntaxItem item("1.2");
    EXPECT_EQ(item.read(&stream), 0);
    EXPECT_EQ(item.value.size(), 0u);
    expectOnlySentinelLeft(stream);  // the item's bytes are consumed, and no more
}

TEST(UidItem, MalformedOrCutItemsFailWithinTheirBound) {
    // Each variant is read as an enclosing item would read it: the type byte,
    // then readBody within the bytes the enclosing item has left (the
    // variant's own size). The byte after them is never taken.
    const std::vector<uint8_t> good = bytesOf(implicitLittleEndianItem);
    auto withLength = [&](uint8_t high, uint8_t low) {
        std::vector<uint8_t> bytes = good;
        bytes[2] = high;
        bytes[3] = low;
        return bytes;
    };
    struct Case {
        const char* what;
        std::vector<uint8_t> bytes;
    };
    std::vector<Case> cases = {
        {"length one more than the bytes", withLength(0x00, 0x12)},
        {"length 64, far beyond the bytes", withLength(0x00, 0x40)},
        {"length 65 (too long a value)", withLength(0x00, 0x41)},
        {"length 0xFFFF", withLength(0xFF, 0xFF)},
    };
    for (size_t cut = 1; cut < good.size(); ++cut) {
        cases.push_back({"cut short", std::vector<uint8_t>(good.begin(), good.begin() + cut)});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.what << " (" << c.bytes.size() << " bytes)");
        WireStream stream(withSentinel(c.bytes));
        WireReader enclosing(&stream, static_cast<uint32_t>(c.bytes.size()));
        TransferSyntaxItem item;
        EXPECT_TRUE(enclosing.u8(item.itemType));
        EXPECT_EQ(item.readBody(enclosing), 0);
        expectSentinelUnread(stream);
        enclosing.skipRest();  // as the enclosing reader does on failure
        expectOnlySentinelLeft(stream);
    }
}
