#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "encoding/SyntaxConversion.h"
#include "encoding/TransferSyntax.h"
#include "../support/DataSetText.h"

using datasets::bytesElement;

namespace {

using Bytes = std::vector<uint8_t>;

Bytes valueOf(DataSet& set, uint16_t group, uint16_t element) {
    const DataElement* found = set.find(group, element);
    if (found == nullptr || found->value == nullptr) return {};
    return Bytes(found->value, found->value + found->length);
}

uint16_t vrOf(DataSet& set, uint16_t group, uint16_t element) {
    const DataElement* found = set.find(group, element);
    return found == nullptr ? 0 : found->vr;
}

// A big endian object as explicit VR big endian reads it: every binary VR,
// text, OB, 16-bit OW pixel data and a sequence item holding a US.
std::unique_ptr<DataSet> bigEndianObject() {
    auto set = std::make_unique<DataSet>();
    set->addElement(bytesElement(0x0008, 0x0060, {'M', 'R'}, vrCode('C', 'S')));
    set->addElement(bytesElement(0x0018, 0x9219, {0xFF, 0xFE}, vrCode('S', 'S')));
    set->addElement(bytesElement(0x0020, 0x9157, {0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x02}, vrCode('U', 'L')));
    set->addElement(bytesElement(0x0028, 0x0010, {0x01, 0x02}, vrCode('U', 'S')));
    set->addElement(bytesElement(0x0028, 0x0100, {0x00, 0x10}, vrCode('U', 'S')));
    set->addElement(bytesElement(0x0018, 0x9087, {1, 2, 3, 4, 5, 6, 7, 8}, vrCode('F', 'D')));
    set->addElement(bytesElement(0x0020, 0x9165, {0x00, 0x28, 0x00, 0x10}, vrCode('A', 'T')));
    set->addElement(bytesElement(0x0029, 0x1010, {1, 2, 3, 4}, vrCode('O', 'B')));
    set->addElement(bytesElement(0x7FE0, 0x0010, {0x12, 0x34, 0x56, 0x78}, vrCode('O', 'W')));
    auto* sequence = new DataElement(0x0008, 0x1140, 0, 0);
    sequence->vr = vrCode('S', 'Q');
    set->addElement(sequence);
    auto* item = new DataSet;
    item->addElement(bytesElement(0x0028, 0x0011, {0xAB, 0xCD}, vrCode('U', 'S')));
    set->addItem(item);
    return set;
}

TEST(SyntaxConversion, BigToLittleEndianSwapsEachBinaryValueByItsSize) {
    std::unique_ptr<DataSet> set = bigEndianObject();
    ConversionProblem problem;
    ASSERT_EQ(convertUncompressedValues(set.get(), ExplicitBigEndian, ImplicitLittleEndian, nullptr, problem), 1)
        << problem.reason;
    EXPECT_EQ(valueOf(*set, 0x0008, 0x0060), (Bytes{'M', 'R'}));
    EXPECT_EQ(valueOf(*set, 0x0018, 0x9219), (Bytes{0xFE, 0xFF}));
    EXPECT_EQ(valueOf(*set, 0x0020, 0x9157), (Bytes{0x01, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00}));
    EXPECT_EQ(valueOf(*set, 0x0028, 0x0010), (Bytes{0x02, 0x01}));
    EXPECT_EQ(valueOf(*set, 0x0018, 0x9087), (Bytes{8, 7, 6, 5, 4, 3, 2, 1}));
    EXPECT_EQ(valueOf(*set, 0x0020, 0x9165), (Bytes{0x28, 0x00, 0x10, 0x00}));  // AT: group and element each
    EXPECT_EQ(valueOf(*set, 0x0029, 0x1010), (Bytes{1, 2, 3, 4}));
    EXPECT_EQ(valueOf(*set, 0x7FE0, 0x0010), (Bytes{0x34, 0x12, 0x78, 0x56}));
    DataSet* item = set->find(0x0008, 0x1140)->items->at(0)->element;
    EXPECT_EQ(valueOf(*item, 0x0028, 0x0011), (Bytes{0xCD, 0xAB}));
}

TEST(SyntaxConversion, SameByteOrderLeavesEveryValueAlone) {
    std::unique_ptr<DataSet> set = bigEndianObject();
    ConversionProblem problem;
    ASSERT_EQ(convertUncompressedValues(set.get(), ExplicitLittleEndian, ImplicitLittleEndian, nullptr, problem), 1);
    EXPECT_EQ(valueOf(*set, 0x0028, 0x0010), (Bytes{0x01, 0x02}));
    EXPECT_EQ(valueOf(*set, 0x7FE0, 0x0010), (Bytes{0x12, 0x34, 0x56, 0x78}));
}

TEST(SyntaxConversion, ImplicitToExplicitTakesTheDictionarysVrsAndThePixelDataOfItsBits) {
    DataDictionary dictionary(0, DICOMTOOLKIT_DICTIONARY);
    ASSERT_GT(dictionary.entryCount(), 0u);
    DataSet set;
    set.addElement(bytesElement(0x0028, 0x0010, {0x00, 0x02}));
    set.addElement(bytesElement(0x0028, 0x0100, {0x08, 0x00}));
    set.addElement(bytesElement(0x0028, 0x0103, {0x01, 0x00}));
    set.addElement(bytesElement(0x0028, 0x0106, {0xFF, 0xFF}));
    set.addElement(bytesElement(0x0029, 0x1010, {1, 2}));
    set.addElement(bytesElement(0x7FE0, 0x0010, {1, 2, 3, 4}));
    ConversionProblem problem;
    ASSERT_EQ(convertUncompressedValues(&set, ImplicitLittleEndian, ExplicitLittleEndian, &dictionary, problem), 1);
    EXPECT_EQ(vrOf(set, 0x0028, 0x0010), vrCode('U', 'S'));
    EXPECT_EQ(vrOf(set, 0x0028, 0x0106), vrCode('S', 'S'));  // Pixel Representation 1
    EXPECT_EQ(vrOf(set, 0x7FE0, 0x0010), vrCode('O', 'B'));  // Bits Allocated 8
    EXPECT_EQ(vrOf(set, 0x0029, 0x1010), 0);                 // private: written as UN
    EXPECT_EQ(valueOf(set, 0x0028, 0x0010), (Bytes{0x00, 0x02}));
}

TEST(SyntaxConversion, ImplicitToBigEndianSwapsByTheDictionarysVrs) {
    DataDictionary dictionary(0, DICOMTOOLKIT_DICTIONARY);
    DataSet set;
    set.addElement(bytesElement(0x0028, 0x0010, {0x00, 0x02}));
    set.addElement(bytesElement(0x0028, 0x0100, {0x10, 0x00}));
    set.addElement(bytesElement(0x7FE0, 0x0010, {1, 2, 3, 4}));
    ConversionProblem problem;
    ASSERT_EQ(convertUncompressedValues(&set, ImplicitLittleEndian, ExplicitBigEndian, &dictionary, problem), 1);
    EXPECT_EQ(valueOf(set, 0x0028, 0x0010), (Bytes{0x02, 0x00}));
    EXPECT_EQ(valueOf(set, 0x7FE0, 0x0010), (Bytes{2, 1, 4, 3}));
    EXPECT_EQ(vrOf(set, 0x7FE0, 0x0010), vrCode('O', 'W'));
}

TEST(SyntaxConversion, ItemsUnderUnStayImplicitLittleEndian) {
    DataSet set;
    auto* unknown = new DataElement(0x0029, 0x1020, 0, 0);
    unknown->vr = vrCode('U', 'N');
    set.addElement(unknown);
    auto* item = new DataSet;
    item->addElement(bytesElement(0x0028, 0x0010, {0x01, 0x02}, vrCode('U', 'S')));
    set.addItem(item);
    ConversionProblem problem;
    ASSERT_EQ(convertUncompressedValues(&set, ExplicitBigEndian, ExplicitLittleEndian, nullptr, problem), 1);
    EXPECT_EQ(valueOf(*set.find(0x0029, 0x1020)->items->at(0)->element, 0x0028, 0x0010), (Bytes{0x01, 0x02}));
}

struct RefusedCase {
    const char* name;
    int32_t from;
    int32_t to;
    std::vector<DataElement*> (*elements)();
    uint16_t group;
    uint16_t element;
};

const RefusedCase refusedCases[] = {
    {"8-bit OW pixel data", ExplicitBigEndian, ExplicitLittleEndian,
     [] {
         return std::vector<DataElement*>{bytesElement(0x0028, 0x0100, {0x00, 0x08}, vrCode('U', 'S')),
                                          bytesElement(0x7FE0, 0x0010, {1, 2}, vrCode('O', 'W'))};
     },
     0x7FE0, 0x0010},
    {"OW pixel data without Bits Allocated", ExplicitLittleEndian, ExplicitBigEndian,
     [] { return std::vector<DataElement*>{bytesElement(0x7FE0, 0x0010, {1, 2}, vrCode('O', 'W'))}; }, 0x7FE0, 0x0010},
    {"UN value", ExplicitBigEndian, ImplicitLittleEndian,
     [] { return std::vector<DataElement*>{bytesElement(0x0029, 0x1010, {1, 2}, vrCode('U', 'N'))}; }, 0x0029, 0x1010},
    {"implicit private element", ImplicitLittleEndian, ExplicitBigEndian,
     [] { return std::vector<DataElement*>{bytesElement(0x0029, 0x1010, {1, 2})}; }, 0x0029, 0x1010},
    {"UL of six bytes", ExplicitBigEndian, ExplicitLittleEndian,
     [] { return std::vector<DataElement*>{bytesElement(0x0020, 0x9157, {1, 2, 3, 4, 5, 6}, vrCode('U', 'L'))}; }, 0x0020,
     0x9157},
    {"compressed target", ExplicitLittleEndian, 103,
     [] { return std::vector<DataElement*>{}; }, 0, 0},
};

TEST(SyntaxConversion, RefusesWhatCannotChangeItsEncodingSafely) {
    for (const RefusedCase& refused : refusedCases) {
        SCOPED_TRACE(refused.name);
        DataSet set;
        for (DataElement* element : refused.elements()) set.addElement(element);
        ConversionProblem problem;
        EXPECT_EQ(convertUncompressedValues(&set, refused.from, refused.to, nullptr, problem), 0);
        EXPECT_NE(problem.reason, nullptr);
        EXPECT_EQ(problem.group, refused.group);
        EXPECT_EQ(problem.element, refused.element);
    }
}

}  // namespace
